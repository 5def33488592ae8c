#include "messagebox.h"

#include <QPointer>
#include <QPushButton>
#include <QStringList>

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

namespace {

// The boxes of one parent that wait for the box on screen: a failure that
// shows two boxes ("OpenComm Error!", then "Output Port Connect Error!") is
// read cause first, each box opening when the one before it is closed.
class CMessageBoxQueue : public QObject
{
public:
    explicit CMessageBoxQueue(QWidget* pParent) : QObject(pParent), m_pParent(pParent)
    {
        setObjectName(Name());
    }
    static QString Name() { return QStringLiteral("trelvane-message-box-queue"); }

    void Show(const QString& strText)
    {
        // A failure that repeats (a restart every 300 ms on an unattended
        // gateway) must not heap up windows: a text on screen is brought
        // forward, a text already waiting is not queued twice.
        if (m_pOpen && m_pOpen->text() == strText) {
            m_pOpen->raise();
            return;
        }
        if (m_waiting.contains(strText))
            return;
        m_waiting.append(strText);
        if (!m_pOpen)
            ShowNext();
    }

private:
    void ShowNext()
    {
        if (m_waiting.isEmpty())
            return;
        auto* pBox = new QMessageBox(QMessageBox::Warning, AppTitle(), m_waiting.takeFirst(), QMessageBox::Ok,
                                     m_pParent);
        pBox->setTextFormat(Qt::PlainText);
        pBox->setEscapeButton(QMessageBox::Ok);
        pBox->setWindowModality(Qt::NonModal);
        m_pOpen = pBox;
        QObject::connect(pBox, &QDialog::finished, this, [this, pBox] {
            pBox->deleteLater();
            if (m_pOpen == pBox)
                m_pOpen = nullptr;
            ShowNext();
        });
        pBox->show();
    }

    QWidget* m_pParent;
    QPointer<QMessageBox> m_pOpen;
    QStringList m_waiting;
};

} // namespace

void ShowAppMessage(QWidget* pParent, const QString& strText)
{
    auto* pQueue = dynamic_cast<CMessageBoxQueue*>(
        pParent->findChild<QObject*>(CMessageBoxQueue::Name(), Qt::FindDirectChildrenOnly));
    if (!pQueue)
        pQueue = new CMessageBoxQueue(pParent);
    pQueue->Show(strText);
}
