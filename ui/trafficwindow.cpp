#include "trafficwindow.h"

#include "lineoutput.h"
#include "tracefile.h"
#include "trafficobserver.h"

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
    // relay, which waits for room in the queue of records.
    const STraceFileOpen file = OpenTraceFile(strPath, true);
    if (file.m_hFile < 0) {
        *pstrError = file.m_bNotRegular ? QStringLiteral("%1 is not a regular file.").arg(strPath)
                                        : QStringLiteral("Cannot write %1: %2").arg(strPath, file.m_strReason);
        return false;
    }
    m_pFile = std::make_unique<CLineOutput>(file.m_hFile, CLineOutput::WaitWhenFull, nullptr, kFileQueueBytes);
    m_pFile->SetOwnsFiles();
    m_strFilePath = strPath;
    m_nFileErrno = 0;
    m_pFile->SetOnFailure([this](int nErrno) {
        m_nFileErrno = nErrno;
        QMetaObject::invokeMethod(this, &CTrafficWindow::OnFileTraceFailed, Qt::QueuedConnection);
    });
    UpdateHook();
    return true;
}

void CTrafficWindow::StopFileTrace()
{
    if (m_pFile) {
        // What is queued goes out first; should that fail, it is said.
        m_pFile->Flush(CLineOutput::kCloseWaitMs);
        OnFileTraceFailed();
    }
    m_pFile.reset();
    UpdateHook();
}

void CTrafficWindow::OnFileTraceFailed()
{
    if (!m_pFile || m_nFileErrno == 0)
        return;
    QString strText =
        TraceFailureText(m_strFilePath, m_nFileErrno, m_pFile->LostBytes(), m_pFile->LostRecords()) + u'.';
    strText[0] = strText[0].toUpper();
    m_nFileErrno = 0;
    m_pFile.reset();
    UpdateHook();
    emit fileTraceFailed(strText);
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
    const bool bOn = m_pFile || isVisible();
    m_pObserver->SetTrace(bOn ? &m_trace : nullptr);
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
    if (m_pFile)
        m_pFile->Write(record);
    if (!isVisible())
        return;
    m_latest.push_back(record);
    if (m_latest.size() > kLatestRecords)
        m_latest.pop_front();
    m_bLatestChanged = true;
}

void CTrafficWindow::Refresh()
{
    QString strCounters = FormatCounters(m_pObserver->Counters());
    strCounters.replace(QStringLiteral("; "), QStringLiteral("\n"));
    if (m_pFile)
        strCounters += QStringLiteral("\ntracing to ") + m_strFilePath;
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
