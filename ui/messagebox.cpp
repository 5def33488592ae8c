#include "messagebox.h"

#include <QPushButton>

QString AppTitle()
{
    return QStringLiteral("Halvoren Windows Application");
}

QMessageBox::StandardButton AppMessageBox(QWidget* pParent, const QString& strText,
                                          QMessageBox::StandardButtons buttons)
{
    const bool bQuestion = buttons.testAnyFlags(QMessageBox::Yes | QMessageBox::No);
    QMessageBox box(bQuestion ? QMessageBox::Question : QMessageBox::Warning, AppTitle(),
                    strText, buttons, pParent);
    box.setTextFormat(Qt::PlainText); // file names are text, never markup
    if (buttons.testFlag(QMessageBox::Cancel))
        box.setEscapeButton(QMessageBox::Cancel);
    else if (buttons.testFlag(QMessageBox::Ok))
        box.setEscapeButton(QMessageBox::Ok);
    if (buttons.testFlag(QMessageBox::Yes))
        box.setDefaultButton(QMessageBox::Yes);
    const auto eResult = static_cast<QMessageBox::StandardButton>(box.exec());
    if (eResult != QMessageBox::NoButton && buttons.testFlag(eResult))
        return eResult;
    // Closed without a button (for example by its owner going away).
    return buttons.testFlag(QMessageBox::Cancel) ? QMessageBox::Cancel : QMessageBox::Ok;
}
