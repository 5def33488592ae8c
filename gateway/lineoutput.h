#pragma once

#include <QByteArray>

#include <functional>
#include <memory>
#include <vector>

// Writes lines to file descriptors from a thread of its own, so that the
// caller never waits for the reader: a stalled pipe, a stuck journal or a
// paused pager cannot hold up the relay or the handling of signals.
//
// It may serve several streams (standard output and standard error, say).
// Streams that lead to the same place (one pipe, file or terminal, as with
// 2>&1 or the journal) share one queue and one writer, so their lines come
// out in the order they were written here; streams that lead to different
// places each get their own, so one stalled reader holds up no other.
//
// Lines are queued up to a bound per queue. When the queue is full,
// DropWhenFull drops the line and counts it; once the output moves again, a
// notice line made by the stream's function says how many were dropped, in
// their place. WaitWhenFull (for regular files, which always make progress)
// waits for room instead, so nothing is lost.
class CLineOutput
{
public:
    enum EWhenFull { DropWhenFull, WaitWhenFull };
    using FNotice = std::function<QByteArray(quint64 nDropped)>;
    // The first write that failed, other than to a reader that went away
    // (EPIPE): its error number. Called once, from the writer's thread.
    using FFailed = std::function<void(int nErrno)>;
    struct SStream
    {
        int hFile;
        FNotice fnNotice;
    };

    CLineOutput(std::vector<SStream> streams, EWhenFull whenFull, qsizetype nMaxQueued);
    CLineOutput(int hFile, EWhenFull whenFull, FNotice fnNotice, qsizetype nMaxQueued)
        : CLineOutput(std::vector<SStream> {{hFile, std::move(fnNotice)}}, whenFull, nMaxQueued)
    {
    }
    // Gives the queues kCloseWaitMs to drain, then leaves a stalled writer
    // behind (it closes an owned descriptor when it is done).
    ~CLineOutput();
    CLineOutput(const CLineOutput&) = delete;
    CLineOutput& operator=(const CLineOutput&) = delete;

    // The descriptors are closed once everything is written.
    void SetOwnsFiles();
    void SetOnFailure(FFailed fnFailed);

    // Queues whole lines (with their line feeds) as one record of stream
    // nStream. Never waits in DropWhenFull mode.
    void Write(int nStream, const QByteArray& lines);
    void Write(const QByteArray& lines) { Write(0, lines); }
    // Waits up to nMs until everything queued so far is written. False
    // when a reader did not take it in time.
    bool Flush(int nMs);
    // Lines dropped so far in all.
    quint64 DroppedLines() const;
    // What was not written because a write failed: bytes and records,
    // counting everything given after the failure too.
    quint64 LostBytes() const;
    quint64 LostRecords() const;

    enum { kCloseWaitMs = 2000 };

private:
    struct SLane;
    quint64 SumOfLanes(quint64 SLane::*pField) const;
    std::vector<std::shared_ptr<SLane>> m_lanes;
    std::vector<int> m_laneOfStream;
    std::vector<int> m_indexInLane; // of each stream
};
