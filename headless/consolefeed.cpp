#include "consolefeed.h"

#include "metricstext.h"

#include <chrono>
#include <cstring>

namespace {

// The longest part of one block kept for the Traffic view.
constexpr int kMaxBlockBytes = 4096;

qint64 NowMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

QString Bounded(const QString& strText)
{
    return strText.size() <= CConsoleFeed::kMaxLineChars ? strText
                                                         : strText.left(CConsoleFeed::kMaxLineChars) + u'…';
}

} // namespace

CConsoleFeed::CConsoleFeed(CTrafficObserver* pObserver, QObject* pParent)
    : QObject(pParent), m_pObserver(pObserver)
{
}

CConsoleFeed::~CConsoleFeed()
{
    SetBlocksWanted(false);
}

void CConsoleFeed::AddLine(const QString& strLine)
{
    if (m_lines.size() >= kMaxLines)
        m_lines.pop_front();
    m_lines.push_back({m_nNextId++, Bounded(strLine), {}});
    // Without its "HH:mm:ss," time stamp.
    m_bLastIsFailure = !FailureForm(strLine.mid(9)).isEmpty();
    emit lineChanged(m_lines.back());
}

void CConsoleFeed::Explain(const QString& strWhy)
{
    if (strWhy.isEmpty())
        return;
    if (m_lastFailure.nTimeMs != 0 && m_lastFailure.strWhy.isEmpty())
        m_lastFailure.strWhy = Bounded(strWhy);
    if (m_bLastIsFailure && !m_lines.empty() && m_lines.back().strWhy.isEmpty()) {
        m_lines.back().strWhy = Bounded(strWhy);
        emit lineChanged(m_lines.back());
        return;
    }
    if (m_lines.size() >= kMaxLines)
        m_lines.pop_front();
    m_lines.push_back({m_nNextId++, {}, Bounded(strWhy)});
    m_bLastIsFailure = false;
    emit lineChanged(m_lines.back());
}

void CConsoleFeed::NoteFailure(const QString& strText, qint64 nTimeMs)
{
    m_lastFailure = {nTimeMs, Bounded(strText), {}};
}

void CConsoleFeed::Sample(qint64 nNowMs)
{
    // A clock set back starts the history afresh.
    if (!m_history.empty() && nNowMs < m_history.back().nTimeMs)
        m_history.clear();
    const STrafficCounters& counters = m_pObserver->Counters();
    m_history.push_back({nNowMs, {counters.m_nBytesReceived[0], counters.m_nBytesReceived[1]}});
    while (m_history.size() > kHistorySamples + 1)
        m_history.pop_front();
}

double CConsoleFeed::Rate(int nDirection) const
{
    if (m_history.size() < 2)
        return 0;
    const SSample& last = m_history.back();
    const SSample& before = m_history[m_history.size() - 2];
    if (last.nTimeMs <= before.nTimeMs)
        return 0;
    return double(last.nBytes[nDirection] - before.nBytes[nDirection]) * 1000.0
         / double(last.nTimeMs - before.nTimeMs);
}

void CConsoleFeed::SetBlocksWanted(bool bWanted)
{
    if (bWanted == (m_pObserver->Tap() == this))
        return;
    if (bWanted && m_pObserver->Tap())
        return; // another view has the tap
    m_pObserver->SetTap(bWanted ? this : nullptr);
    if (bWanted) {
        m_latest.resize(kLatestRecords);
    } else {
        // The buffers go too: a plug-in's long blocks need not stay in memory.
        m_latest.clear();
        m_latest.shrink_to_fit();
        m_nTaken = m_nSent = 0;
    }
}

void CConsoleFeed::OnTraffic(bool bInToOut, CDataTrace::EStage stage, const char* pData, int nLen, int nPass)
{
    SRecord& record = m_latest[m_nTaken++ % kLatestRecords];
    record.nTime = NowMicroseconds();
    record.bInToOut = bInToOut;
    record.stage = stage;
    record.nLen = nLen;
    record.nPass = nPass;
    // Into the slot's own buffer: no allocation once it has held a block this long.
    const int nKept = pData ? qBound(0, nLen, kMaxBlockBytes) : 0;
    record.bytes.resize(nKept);
    if (nKept > 0)
        std::memcpy(record.bytes.data(), pData, size_t(nKept));
}

QByteArray CConsoleFeed::Format(quint64 nFrom) const
{
    QByteArray text;
    if (m_latest.empty())
        return text;
    nFrom = qMax(nFrom, m_nTaken > quint64(kLatestRecords) ? m_nTaken - kLatestRecords : 0);
    qint64 nTime = 0;
    CDataTrace format([&text](const QByteArray& record) { text += record; });
    format.SetClock([&nTime] { return nTime; });
    for (quint64 n = nFrom; n < m_nTaken; ++n) {
        const SRecord& record = m_latest[n % kLatestRecords];
        nTime = record.nTime;
        const bool bData = record.stage == CDataTrace::Received || record.stage == CDataTrace::Sent;
        if (!bData) {
            format.Record(record.bInToOut, record.stage, nullptr, record.nLen, record.nPass);
            continue;
        }
        format.Record(record.bInToOut, record.stage, record.bytes.constData(), int(record.bytes.size()),
                      record.nPass);
        if (record.nLen > record.bytes.size())
            text += "  (the first " + QByteArray::number(record.bytes.size()) + " of "
                  + QByteArray::number(record.nLen) + " bytes)\n";
    }
    return text;
}

QByteArray CConsoleFeed::TakeNewBlocks()
{
    const QByteArray text = Format(m_nSent);
    m_nSent = m_nTaken;
    return text;
}

QByteArray CConsoleFeed::LatestBlocks() const
{
    return Format(0);
}
