#include "trafficwindow.h"

#include "lineoutput.h"
#include "tracefile.h"
#include "trafficobserver.h"

#include <QAbstractEventDispatcher>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include <chrono>
#include <cstring>

namespace {

qint64 NowMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

// The rates are the bytes read over about the last second.
constexpr qint64 kRateSpanUs = 1000000;

QString FormatRate(double dBytesPerSecond)
{
    if (dBytesPerSecond < 1000)
        return QStringLiteral("%1 B/s").arg(qRound64(dBytesPerSecond));
    if (dBytesPerSecond < 1e6)
        return QStringLiteral("%1 kB/s").arg(dBytesPerSecond / 1e3, 0, 'f', 1);
    if (dBytesPerSecond < 1e9)
        return QStringLiteral("%1 MB/s").arg(dBytesPerSecond / 1e6, 0, 'f', 1);
    return QStringLiteral("%1 GB/s").arg(dBytesPerSecond / 1e9, 0, 'f', 2);
}

} // namespace

CTrafficWindow::CTrafficWindow(CTrafficObserver* pObserver, QWidget* pParent)
    : QWidget(pParent, Qt::Window),
      m_pObserver(pObserver),
      m_trace([this](const QByteArray& record) {
          if (m_pFile)
              m_pFile->Write(record);
      }),
      m_fnClock(NowMicroseconds),
      m_latest(kLatestRecords),
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
    connect(&m_refresh, &QTimer::timeout, this, [this] { Refresh(); });
    Refresh(true);
}

CTrafficWindow::~CTrafficWindow()
{
    if (m_pObserver->Tap() == this)
        m_pObserver->SetTap(nullptr);
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
    Refresh(true);
}

void CTrafficWindow::hideEvent(QHideEvent* pEvent)
{
    QWidget::hideEvent(pEvent);
    UpdateHook();
}

void CTrafficWindow::UpdateHook()
{
    m_bFileTracing = m_pFile != nullptr;
    m_bTaking = isVisible();
    const bool bOn = m_bFileTracing || m_bTaking;
    m_pObserver->SetTap(bOn ? this : nullptr);
    // A block after a wait gets a new clock reading.
    const bool bWatching = bool(m_wakeups[0]);
    if (bOn && !bWatching) {
        if (QAbstractEventDispatcher* pDispatcher = QAbstractEventDispatcher::instance(thread())) {
            const auto fnInvalidate = [this] { m_nReadingLeft = 0; };
            m_wakeups[0] = connect(pDispatcher, &QAbstractEventDispatcher::aboutToBlock, this, fnInvalidate);
            m_wakeups[1] = connect(pDispatcher, &QAbstractEventDispatcher::awake, this, fnInvalidate);
        }
    } else if (!bOn && bWatching) {
        disconnect(m_wakeups[0]);
        disconnect(m_wakeups[1]);
    }
    if (bOn)
        m_refresh.start();
    else
        m_refresh.stop();
    if (!isVisible())
        ClearLatest();
}

void CTrafficWindow::ClearLatest()
{
    // The buffers go too: a plug-in's long blocks need not stay in memory.
    for (SRecord& record : m_latest) {
        record.pData.reset();
        record.nCapacity = 0;
    }
    m_nTaken = 0;
    m_nTakenShown = ~quint64(0);
    m_samples.clear();
}

void CTrafficWindow::OnTraffic(bool bInToOut, CDataTrace::EStage stage, const char* pData, int nLen, int nPass)
{
    if (m_bFileTracing)
        m_trace.Record(bInToOut, stage, pData, nLen, nPass);
    if (!m_bTaking)
        return;
    SRecord& record = m_latest[m_nTaken++ % kLatestRecords];
    if (m_nReadingLeft-- <= 0) {
        m_nClockReading = m_fnClock();
        m_nReadingLeft = kClockEvery - 1;
    }
    record.nTime = m_nClockReading;
    record.bInToOut = bInToOut;
    record.stage = stage;
    record.nLen = nLen;
    record.nPass = nPass;
    // Into the slot's own buffer: no allocation once it has held a block
    // this long.
    if (pData && nLen > 0) {
        if (nLen > record.nCapacity) {
            record.pData.reset(new char[size_t(nLen)]);
            record.nCapacity = nLen;
        }
        std::memcpy(record.pData.get(), pData, size_t(nLen));
    }
}

void CTrafficWindow::Refresh(bool bAll)
{
    const STrafficCounters& counters = m_pObserver->Counters();
    const qint64 nNow = m_fnClock();
    // A clock set back starts the rates afresh.
    if (!m_samples.empty() && nNow < m_samples.back().nTime)
        m_samples.clear();
    m_samples.push_back({nNow, {counters.m_nBytesReceived[0], counters.m_nBytesReceived[1]}});
    while (m_samples.size() > 2 && m_samples[1].nTime <= nNow - kRateSpanUs)
        m_samples.pop_front();

    // "in-->out ...; out-->in ...; plugin-errors=...", a line each, with
    // the rate beside each direction's totals.
    QStringList lines = FormatCounters(counters).split(QStringLiteral("; "));
    for (int d = 0; d < 2 && d < lines.size(); ++d)
        lines[d] += RatesText(d);
    if (m_pFile)
        lines.append(QStringLiteral("tracing to ") + m_strFilePath);
    m_pCounters->setText(lines.join(u'\n'));

    if (m_nTaken == m_nTakenShown || (!bAll && nNow - m_nBlocksShownAt < qint64(kBlocksRefreshMs) * 1000))
        return;
    m_nTakenShown = m_nTaken;
    m_nBlocksShownAt = nNow;
    // Oldest first, each formatted as the trace file has it, with its own time.
    QByteArray text;
    qint64 nTime = 0;
    CDataTrace format([&text](const QByteArray& record) { text += record; });
    format.SetClock([&nTime] { return nTime; });
    const quint64 nCount = std::min<quint64>(m_nTaken, kLatestRecords);
    for (quint64 n = m_nTaken - nCount; n < m_nTaken; ++n) {
        const SRecord& record = m_latest[n % kLatestRecords];
        nTime = record.nTime;
        const bool bData = record.stage == CDataTrace::Received || record.stage == CDataTrace::Sent;
        format.Record(record.bInToOut, record.stage, bData ? record.pData.get() : nullptr, record.nLen, record.nPass);
    }
    m_pBlocks->setPlainText(QString::fromLatin1(text));
    m_pBlocks->moveCursor(QTextCursor::End);
}

QString CTrafficWindow::RatesText(int nDirection) const
{
    double dRate = 0;
    if (m_samples.size() >= 2 && m_samples.back().nTime > m_samples.front().nTime) {
        const quint64 nBytes = m_samples.back().nBytes[nDirection] - m_samples.front().nBytes[nDirection];
        dRate = double(nBytes) * 1e6 / double(m_samples.back().nTime - m_samples.front().nTime);
    }
    return QStringLiteral(" rate=") + FormatRate(dRate);
}

QString CTrafficWindow::CountersText() const
{
    return m_pCounters->text();
}

QString CTrafficWindow::BlocksText() const
{
    return m_pBlocks->toPlainText();
}
