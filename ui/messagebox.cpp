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

void ShowAppMessage(QWidget* pParent, const QString& strText)
{
    // A failure that repeats (a restart every 300 ms on an unattended
    // gateway) must not heap up windows.
    for (QMessageBox* pOpen : pParent->findChildren<QMessageBox*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (pOpen->isVisible() && pOpen->text() == strText) {
            pOpen->raise();
            return;
        }
    }
    auto* pBox = new QMessageBox(QMessageBox::Warning, AppTitle(), strText, QMessageBox::Ok, pParent);
    pBox->setTextFormat(Qt::PlainText);
    pBox->setEscapeButton(QMessageBox::Ok);
    pBox->setWindowModality(Qt::NonModal);
    QObject::connect(pBox, &QDialog::finished, pBox, &QObject::deleteLater);
    pBox->show();
}
