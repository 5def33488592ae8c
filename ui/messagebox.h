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

// The same box with OK only, shown without waiting: it stays on screen until
// the operator closes it while everything else goes on. While a box of
// pParent is open, the next one waits and opens when it is closed, so boxes
// are read in the order they were shown. A text already open is brought
// forward, one already waiting is not queued again.
void ShowAppMessage(QWidget* pParent, const QString& strText);
