#include "lineoutput.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

struct CLineOutput::SState
{
    int hFile;
    EWhenFull whenFull;
    FNotice fnNotice;
    qsizetype nMaxQueued;

    std::mutex mutex;
    std::condition_variable wake;    // for the writer: lines or the end
    std::condition_variable written; // for callers: room or everything written
    QByteArray queue;
    quint64 nDroppedNow = 0;   // dropped since the last notice
    quint64 nDroppedTotal = 0;
    quint64 nQueuedSerial = 0; // bytes ever queued
    quint64 nWrittenSerial = 0; // bytes ever handed to the kernel (or given up)
    bool bEnd = false;
    bool bBroken = false;      // the reader went away: discard everything

    // Under the mutex: the notice for the lines dropped so far, queued.
    void QueueNotice()
    {
        const QByteArray notice = fnNotice(nDroppedNow);
        nDroppedNow = 0;
        queue += notice;
        nQueuedSerial += quint64(notice.size());
    }

    void Run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return !queue.isEmpty() || nDroppedNow > 0 || bEnd; });
            if (queue.isEmpty() && nDroppedNow > 0)
                QueueNotice();
            if (queue.isEmpty())
                return; // the end, and nothing left
            QByteArray chunk;
            chunk.swap(queue);
            written.notify_all();
            lock.unlock();
            const bool bOk = WriteAll(chunk);
            lock.lock();
            nWrittenSerial += quint64(chunk.size());
            if (!bOk)
                bBroken = true;
            written.notify_all();
        }
    }

    bool WriteAll(const QByteArray& chunk) const
    {
        const char* p = chunk.constData();
        qsizetype nLeft = chunk.size();
        while (nLeft > 0) {
            const ssize_t n = ::write(hFile, p, size_t(nLeft));
            if (n > 0) {
                p += n;
                nLeft -= n;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // Someone else made the descriptor non-blocking.
                pollfd fd {hFile, POLLOUT, 0};
                ::poll(&fd, 1, -1);
            } else {
                return false; // EPIPE, EBADF, a full disk: stop writing
            }
        }
        return true;
    }
};

CLineOutput::CLineOutput(int hFile, EWhenFull whenFull, FNotice fnNotice, qsizetype nMaxQueued)
    : m_pState(std::make_shared<SState>())
{
    m_pState->hFile = hFile;
    m_pState->whenFull = whenFull;
    m_pState->fnNotice = std::move(fnNotice);
    m_pState->nMaxQueued = nMaxQueued;
    // The thread keeps the state alive should it outlive this object.
    std::thread([pState = m_pState] { pState->Run(); }).detach();
}

CLineOutput::~CLineOutput()
{
    Flush(kCloseWaitMs);
    std::lock_guard lock(m_pState->mutex);
    m_pState->bEnd = true;
    m_pState->wake.notify_all();
}

void CLineOutput::Write(const QByteArray& lines)
{
    SState& s = *m_pState;
    std::unique_lock lock(s.mutex);
    if (s.bBroken)
        return;
    if (s.whenFull == WaitWhenFull) {
        s.written.wait(lock, [&] { return s.queue.size() < s.nMaxQueued || s.bBroken; });
    } else if (s.queue.size() + lines.size() > s.nMaxQueued) {
        s.nDroppedNow += quint64(lines.count('\n'));
        s.nDroppedTotal += quint64(lines.count('\n'));
        return;
    }
    if (s.nDroppedNow > 0)
        s.QueueNotice();
    s.queue += lines;
    s.nQueuedSerial += quint64(lines.size());
    s.wake.notify_one();
}

bool CLineOutput::Flush(int nMs)
{
    SState& s = *m_pState;
    std::unique_lock lock(s.mutex);
    const quint64 nTarget = s.nQueuedSerial;
    return s.written.wait_for(lock, std::chrono::milliseconds(nMs),
                              [&] { return s.nWrittenSerial >= nTarget || s.bBroken; });
}

quint64 CLineOutput::DroppedLines() const
{
    std::lock_guard lock(m_pState->mutex);
    return m_pState->nDroppedTotal;
}
