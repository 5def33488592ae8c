#pragma once

#include "datatrace.h"

#include <QByteArray>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <deque>
#include <memory>

class CLineOutput;
class CTrafficObserver;
class QLabel;
class QPlainTextEdit;

// The traffic of the gateway for the desktop: a window with the counters
// and the latest blocks, live, and a data trace into a file the user picks.
// Records are made only while the file is open or the window is shown, so
// with neither the relay runs without a trace.
class CTrafficWindow : public QWidget
{
    Q_OBJECT
public:
    enum { kLatestRecords = 200, kRefreshMs = 250, kFileQueueBytes = 4 * 1024 * 1024 };

    CTrafficWindow(CTrafficObserver* pObserver, QWidget* pParent = nullptr);
    ~CTrafficWindow() override;

    // Appends the records to strPath from now on, from a thread of its
    // own. False with the reason.
    bool StartFileTrace(const QString& strPath, QString* pstrError);
    void StopFileTrace();
    bool IsFileTracing() const { return m_pFile != nullptr; }
    QString FileTracePath() const { return m_strFilePath; }

signals:
    // The file could not be written: tracing into it has stopped. Said
    // once per file, with what was lost.
    void fileTraceFailed(const QString& strText);

public:

    // What the window shows (after its next refresh).
    QString CountersText() const;
    QString BlocksText() const;

protected:
    void showEvent(QShowEvent* pEvent) override;
    void hideEvent(QHideEvent* pEvent) override;

private:
    void OnRecord(const QByteArray& record);
    void Refresh();
    void UpdateHook();
    void OnFileTraceFailed();

    CTrafficObserver* m_pObserver;
    CDataTrace m_trace;
    std::unique_ptr<CLineOutput> m_pFile;
    QString m_strFilePath;
    std::atomic<int> m_nFileErrno {0}; // set by the file's writer
    std::deque<QByteArray> m_latest;
    bool m_bLatestChanged = false;
    QLabel* m_pCounters;
    QPlainTextEdit* m_pBlocks;
    QTimer m_refresh;
};
