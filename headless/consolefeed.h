#pragma once

#include "datatrace.h"
#include "trafficobserver.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>
#include <vector>

// What the web console shows beyond the gateway's own state, gathered as it
// happens: the latest Message list lines, each failure with its plain
// explanation; the last failure; the bytes read each way, a sample a
// second for the last ten minutes; and, only while someone watches them,
// the latest blocks. Everything is bounded.
class CConsoleFeed : public QObject, private ITrafficTap
{
    Q_OBJECT
public:
    enum { kMaxLines = 1000, kMaxLineChars = 2000, kHistorySamples = 600, kLatestRecords = 200 };

    struct SLine
    {
        quint64 nId = 0;  // counts from 1 in this run of the program
        QString strLine;  // "HH:mm:ss,text" as the Message list has it; empty for an explanation alone
        QString strWhy;   // the plain explanation, when one came with it
    };
    struct SFailure
    {
        qint64 nTimeMs = 0; // 0: none yet
        QString strText;
        QString strWhy;
    };
    // Bytes read each way at one moment (milliseconds since the epoch).
    struct SSample
    {
        qint64 nTimeMs;
        quint64 nBytes[2];
    };

    explicit CConsoleFeed(CTrafficObserver* pObserver, QObject* pParent = nullptr);
    ~CConsoleFeed() override;

    // A Message list line, with its "HH:mm:ss," time stamp.
    void AddLine(const QString& strLine);
    // Why the latest failure happened: goes beside the failure line (or
    // stands alone when no failure line waits for it).
    void Explain(const QString& strWhy);
    // A failure line or message box (as the runner counts them).
    void NoteFailure(const QString& strText, qint64 nTimeMs);

    const std::deque<SLine>& Lines() const { return m_lines; }
    const SFailure& LastFailure() const { return m_lastFailure; }
    const std::deque<SSample>& History() const { return m_history; }
    // Bytes a second each way over the last two samples.
    double Rate(int nDirection) const;
    // Takes a sample of the counters (the console does, once a second).
    void Sample(qint64 nNowMs);

    // The latest blocks are taken only while wanted.
    void SetBlocksWanted(bool bWanted);
    // The records taken since the last call (at most kLatestRecords),
    // formatted as the data trace writes them; empty when none.
    QByteArray TakeNewBlocks();
    // The latest records, however many were sent before.
    QByteArray LatestBlocks() const;

signals:
    // A new line, or an explanation added to the line nId.
    void lineChanged(const CConsoleFeed::SLine& line);

private:
    struct SRecord
    {
        qint64 nTime = 0;
        bool bInToOut = true;
        CDataTrace::EStage stage = CDataTrace::Received;
        int nLen = 0;
        int nPass = 1;
        QByteArray bytes; // data stages only
    };

    void OnTraffic(bool bInToOut, CDataTrace::EStage stage, const char* pData, int nLen, int nPass) override;
    QByteArray Format(quint64 nFrom) const;

    CTrafficObserver* m_pObserver;
    std::deque<SLine> m_lines;
    quint64 m_nNextId = 1;
    bool m_bLastIsFailure = false;
    SFailure m_lastFailure;
    std::deque<SSample> m_history;
    std::vector<SRecord> m_latest;
    quint64 m_nTaken = 0;
    quint64 m_nSent = 0;
};

Q_DECLARE_METATYPE(CConsoleFeed::SLine)
