#pragma once

#include <QByteArray>

#include <functional>
#include <memory>

// Writes lines to a file descriptor from a thread of its own, so that the
// caller never waits for the reader: a stalled pipe, a stuck journal or a
// paused pager cannot hold up the relay or the handling of signals.
// Lines are queued up to a bound. When the queue is full, DropWhenFull
// drops the line and counts it; once the output moves again, a notice line
// made by the given function says how many were dropped, in their place.
// WaitWhenFull (for regular files, which always make progress) waits for
// room instead, so nothing is lost.
class CLineOutput
{
public:
    enum EWhenFull { DropWhenFull, WaitWhenFull };
    using FNotice = std::function<QByteArray(quint64 nDropped)>;

    CLineOutput(int hFile, EWhenFull whenFull, FNotice fnNotice, qsizetype nMaxQueued);
    // Gives the queue kCloseWaitMs to drain, then leaves a stalled writer
    // behind (the descriptor stays open; the process is about to end).
    ~CLineOutput();
    CLineOutput(const CLineOutput&) = delete;
    CLineOutput& operator=(const CLineOutput&) = delete;

    // Queues whole lines (with their line feeds). Never waits in
    // DropWhenFull mode.
    void Write(const QByteArray& lines);
    // Waits up to nMs until everything queued so far is written. False
    // when the reader did not take it in time.
    bool Flush(int nMs);
    // Lines dropped so far in all.
    quint64 DroppedLines() const;

    enum { kCloseWaitMs = 2000 };

private:
    struct SState;
    std::shared_ptr<SState> m_pState;
};
