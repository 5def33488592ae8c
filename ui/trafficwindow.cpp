#include "trafficwindow.h"

#include "trafficobserver.h"

#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

CTrafficWindow::CTrafficWindow(CTrafficObserver* pObserver, QWidget* pParent)
    : QWidget(pParent, Qt::Window),
      m_pObserver(pObserver),
      m_trace([this](const QByteArray& record) { OnRecord(record); }),
      m_pCounters(new QLabel(this)),
      m_pBlocks(new QPlainTextEdit(this))
{
    setWindowTitle(QStringLiteral("Traffic"));
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    m_pCounters->setFont(fixed);
    m_pCounters->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pBlocks->setFont(fixed);
    m_pBlocks->setReadOnly(true);
    m_pBlocks->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(m_pCounters);
    pLayout->addWidget(new QLabel(QStringLiteral("Latest blocks:"), this));
    pLayout->addWidget(m_pBlocks, 1);
    resize(760, 520);
    m_refresh.setInterval(kRefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &CTrafficWindow::Refresh);
    Refresh();
}

CTrafficWindow::~CTrafficWindow()
{
    if (m_pObserver->Trace() == &m_trace)
        m_pObserver->SetTrace(nullptr);
}

bool CTrafficWindow::StartFileTrace(const QString& strPath, QString* pstrError)
{
    StopFileTrace();
    // Only a regular file (or a new one): a FIFO or device could stall the
    // relay, which writes the records as the blocks pass.
    const QFileInfo info(strPath);
    if (info.exists() && !info.isFile()) {
        *pstrError = QStringLiteral("%1 is not a regular file.").arg(strPath);
        return false;
    }
    m_file.setFileName(strPath);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        *pstrError = QStringLiteral("Cannot write %1: %2").arg(strPath, m_file.errorString());
        return false;
    }
    UpdateHook();
    return true;
}

void CTrafficWindow::StopFileTrace()
{
    m_file.close();
    UpdateHook();
}

void CTrafficWindow::showEvent(QShowEvent* pEvent)
{
    QWidget::showEvent(pEvent);
    UpdateHook();
    Refresh();
}

void CTrafficWindow::hideEvent(QHideEvent* pEvent)
{
    QWidget::hideEvent(pEvent);
    UpdateHook();
}

void CTrafficWindow::UpdateHook()
{
    const bool bOn = m_file.isOpen() || isVisible();
    m_pObserver->SetTrace(bOn ? &m_trace : nullptr);
    // The refresh also flushes the trace file now and then.
    if (bOn)
        m_refresh.start();
    else
        m_refresh.stop();
    if (!isVisible()) {
        m_latest.clear();
        m_bLatestChanged = true;
    }
}

void CTrafficWindow::OnRecord(const QByteArray& record)
{
    if (m_file.isOpen())
        m_file.write(record);
    if (!isVisible())
        return;
    m_latest.push_back(record);
    if (m_latest.size() > kLatestRecords)
        m_latest.pop_front();
    m_bLatestChanged = true;
}

void CTrafficWindow::Refresh()
{
    if (m_file.isOpen())
        m_file.flush();
    QString strCounters = FormatCounters(m_pObserver->Counters());
    strCounters.replace(QStringLiteral("; "), QStringLiteral("\n"));
    if (m_file.isOpen())
        strCounters += QStringLiteral("\ntracing to ") + m_file.fileName();
    m_pCounters->setText(strCounters);
    if (!m_bLatestChanged)
        return;
    m_bLatestChanged = false;
    QByteArray text;
    for (const QByteArray& record : m_latest)
        text += record;
    m_pBlocks->setPlainText(QString::fromLatin1(text));
    m_pBlocks->moveCursor(QTextCursor::End);
}

QString CTrafficWindow::CountersText() const
{
    return m_pCounters->text();
}

QString CTrafficWindow::BlocksText() const
{
    return m_pBlocks->toPlainText();
}
