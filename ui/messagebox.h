#pragma once

#include <QMessageBox>
#include <QString>

// The application title: caption of every message box and the second half
// of the main window's caption.
QString AppTitle();

// A modal message box with the application title as caption. Boxes with
// only OK carry the exclamation icon, questions the question icon. Returns
// the button that closed it (Escape or the close box give Cancel when the
// box has one, else OK).
QMessageBox::StandardButton AppMessageBox(QWidget* pParent, const QString& strText,
                                          QMessageBox::StandardButtons buttons = QMessageBox::Ok);
