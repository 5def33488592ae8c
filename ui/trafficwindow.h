#pragma once

#include "datatrace.h"
#include "trafficobserver.h"

#include <QByteArray>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

class CLineOutput;
class QLabel;
class QPlainTextEdit;

// The traffic of the gateway for the desktop: a window with the counters,
// the rate each way and the latest blocks, live, and a data trace into a
// file the user picks. Events are taken only while the file is open or the
// window is shown, so with neither the relay runs without a trace.
//
// The window keeps the latest blocks raw, in a ring of slots whose buffers
// are reused, and formats them only when it draws (every kRefreshMs): the
// relay pays a copy per block, not a dump. The counters and rates are
// drawn every kRefreshMs, the blocks every kBlocksRefreshMs (a text view
// of thousands of lines is the costly part). Reading the clock costs more
// than the copy on some machines, so the blocks handled in one wake-up of
// the event loop share a reading, taken again every kClockEvery blocks.
class CTrafficWindow : public QWidget, private ITrafficTap
{
    Q_OBJECT
public:
    enum { kLatestRecords = 200, kRefreshMs = 250, kBlocksRefreshMs = 1000, kClockEvery = 32 };
    enum { kFileQueueBytes = 4 * 1024 * 1024 };
    // Microseconds since the epoch: the time of each block and of the rates.
    using FClock = qint64 (*)();

    CTrafficWindow(CTrafficObserver* pObserver, QWidget* pParent = nullptr);
    ~CTrafficWindow() override;

    // Appends the records to strPath from now on, from a thread of its
    // own. False with the reason.
    bool StartFileTrace(const QString& strPath, QString* pstrError);
    void StopFileTrace();
    bool IsFileTracing() const { return m_pFile != nullptr; }
    QString FileTracePath() const { return m_strFilePath; }

    // What the window shows (after its next refresh).
    QString CountersText() const;
    QString BlocksText() const;
    // Brings the counters and rates shown up to date, and the blocks when
    // kBlocksRefreshMs have passed or bAll; the timer calls it while the
    // window is shown or a file is traced.
    void Refresh(bool bAll = false);
    // Tests put a clock of their own in.
    void SetClock(FClock fnClock)
    {
        m_fnClock = fnClock;
        m_samples.clear();
    }

signals:
    // The file could not be written: tracing into it has stopped. Said
    // once per file, with what was lost.
    void fileTraceFailed(const QString& strText);

protected:
    void showEvent(QShowEvent* pEvent) override;
    void hideEvent(QHideEvent* pEvent) override;

private:
    // One of the latest events, as it came.
    struct SRecord
    {
        qint64 nTime = 0;
        bool bInToOut = true;
        CDataTrace::EStage stage = CDataTrace::Received;
        int nLen = 0;
        int nPass = 1;
        // The bytes (nLen of them for data stages); kept across reuses.
        std::unique_ptr<char[]> pData;
        int nCapacity = 0;
    };
    // The bytes read each way at a moment, for the rates.
    struct SSample
    {
        qint64 nTime;
        quint64 nBytes[2];
    };

    void OnTraffic(bool bInToOut, CDataTrace::EStage stage, const char* pData, int nLen, int nPass) override;
    void UpdateHook();
    void ClearLatest();
    void OnFileTraceFailed();
    QString RatesText(int nDirection) const;

    CTrafficObserver* m_pObserver;
    CDataTrace m_trace;
    std::unique_ptr<CLineOutput> m_pFile;
    QString m_strFilePath;
    std::atomic<int> m_nFileErrno {0}; // set by the file's writer
    // What OnTraffic does, set as the file opens and closes and the window
    // shows and hides.
    bool m_bFileTracing = false;
    bool m_bTaking = false;
    FClock m_fnClock;
    std::vector<SRecord> m_latest;
    // Events taken so far; the latest is at (m_nTaken - 1) % kLatestRecords.
    quint64 m_nTaken = 0;
    // The clock reading the next blocks get, for as many more blocks.
    qint64 m_nClockReading = 0;
    int m_nReadingLeft = 0;
    QMetaObject::Connection m_wakeups[2];
    quint64 m_nTakenShown = 0;
    qint64 m_nBlocksShownAt = 0;
    std::deque<SSample> m_samples;
    QLabel* m_pCounters;
    QPlainTextEdit* m_pBlocks;
    QTimer m_refresh;
};
