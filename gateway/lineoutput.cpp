#include "lineoutput.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Where a descriptor leads, to tell whether two lead to the same place.
bool SamePlace(int hA, int hB)
{
    struct stat a {}, b {};
    if (hA == hB)
        return true;
    return ::fstat(hA, &a) == 0 && ::fstat(hB, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

// One queue and its writer thread, for the streams that lead to one place.
struct CLineOutput::SLane
{
    struct SEntry
    {
        int nStream; // index into streams
        QByteArray data;
    };

    std::vector<SStream> streams;
    EWhenFull whenFull;
    qsizetype nMaxQueued;

    std::mutex mutex;
    std::condition_variable wake;    // for the writer: lines or the end
    std::condition_variable written; // for callers: room or everything written
    std::deque<SEntry> queue;
    qsizetype nQueuedBytes = 0;
    std::vector<quint64> droppedNow;   // per stream, since its last notice
    quint64 nDroppedTotal = 0;
    quint64 nQueuedSerial = 0;  // bytes ever queued
    quint64 nWrittenSerial = 0; // bytes ever handed to the kernel (or given up)
    quint64 nLostBytes = 0;
    quint64 nLostRecords = 0;
    bool bEnd = false;
    bool bBroken = false;       // a write failed: discard everything
    bool bOwnsFiles = false;
    FFailed fnFailed;

    bool AnyDropped() const
    {
        for (const quint64 n : droppedNow) {
            if (n > 0)
                return true;
        }
        return false;
    }

    // Under the mutex: the notices for the lines dropped so far, queued.
    void QueueNotices()
    {
        for (size_t i = 0; i < streams.size(); ++i) {
            if (droppedNow[i] == 0)
                continue;
            QByteArray notice = streams[i].fnNotice(droppedNow[i]);
            droppedNow[i] = 0;
            nQueuedBytes += notice.size();
            nQueuedSerial += quint64(notice.size());
            queue.push_back({int(i), std::move(notice)});
        }
    }

    void Run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return !queue.empty() || AnyDropped() || bEnd; });
            if (queue.empty() && AnyDropped())
                QueueNotices();
            if (queue.empty())
                break; // the end, and nothing left
            std::deque<SEntry> batch;
            batch.swap(queue);
            nQueuedBytes = 0;
            written.notify_all();
            lock.unlock();
            const auto [nFailed, nErrno, nDone] = WriteBatch(batch);
            quint64 nBatchBytes = 0;
            for (const SEntry& entry : batch)
                nBatchBytes += quint64(entry.data.size());
            lock.lock();
            nWrittenSerial += nBatchBytes;
            if (nFailed < batch.size()) {
                // The failed record and all after it are lost.
                bBroken = true;
                nLostBytes += nBatchBytes - nDone;
                nLostRecords += quint64(batch.size() - nFailed);
                if (nErrno != EPIPE && fnFailed)
                    fnFailed(nErrno);
                fnFailed = nullptr;
            }
            written.notify_all();
        }
        if (bOwnsFiles) {
            for (const SStream& stream : streams)
                ::close(stream.hFile);
        }
    }

    struct SBatchResult
    {
        size_t nFailed;   // the first record not written whole; size() when all were
        int nErrno;
        quint64 nDone;    // bytes written
    };

    // Writes the records in order, each run of one stream's records at once.
    SBatchResult WriteBatch(const std::deque<SEntry>& batch) const
    {
        quint64 nDone = 0;
        QByteArray run;
        for (size_t i = 0; i < batch.size();) {
            size_t j = i + 1;
            while (j < batch.size() && batch[j].nStream == batch[i].nStream)
                ++j;
            const QByteArray* pData = &batch[i].data;
            if (j - i > 1) {
                run.clear();
                for (size_t k = i; k < j; ++k)
                    run += batch[k].data;
                pData = &run;
            }
            qsizetype nWritten = 0;
            const int nErrno = WriteAll(streams[size_t(batch[i].nStream)].hFile, *pData, &nWritten);
            if (nErrno != 0) {
                // The first record of the run that did not go out whole.
                size_t k = i;
                for (qsizetype nEnd = batch[k].data.size(); nEnd <= nWritten; nEnd += batch[++k].data.size()) {
                }
                return {k, nErrno, nDone + quint64(nWritten)};
            }
            nDone += quint64(pData->size());
            i = j;
        }
        return {batch.size(), 0, nDone};
    }

    // 0, or the error that stopped the writing after *pnWritten bytes.
    static int WriteAll(int hFile, const QByteArray& chunk, qsizetype* pnWritten)
    {
        const char* p = chunk.constData();
        qsizetype nLeft = chunk.size();
        while (nLeft > 0) {
            const ssize_t n = ::write(hFile, p, size_t(nLeft));
            if (n > 0) {
                p += n;
                nLeft -= n;
                *pnWritten += n;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // Someone else made the descriptor non-blocking.
                pollfd fd {hFile, POLLOUT, 0};
                ::poll(&fd, 1, -1);
            } else {
                return n == 0 ? ENOSPC : errno; // EPIPE, EBADF, a full disk: stop writing
            }
        }
        return 0;
    }
};

CLineOutput::CLineOutput(std::vector<SStream> streams, EWhenFull whenFull, qsizetype nMaxQueued)
{
    for (SStream& stream : streams) {
        size_t nLane = 0;
        while (nLane < m_lanes.size() && !SamePlace(m_lanes[nLane]->streams.front().hFile, stream.hFile))
            ++nLane;
        if (nLane == m_lanes.size()) {
            m_lanes.push_back(std::make_shared<SLane>());
            m_lanes.back()->whenFull = whenFull;
            m_lanes.back()->nMaxQueued = nMaxQueued;
        }
        SLane& lane = *m_lanes[nLane];
        m_laneOfStream.push_back(int(nLane));
        m_indexInLane.push_back(int(lane.streams.size()));
        lane.streams.push_back(std::move(stream));
        lane.droppedNow.push_back(0);
    }
    // The thread keeps its lane alive should it outlive this object.
    for (const std::shared_ptr<SLane>& pLane : m_lanes)
        std::thread([pLane] { pLane->Run(); }).detach();
}

CLineOutput::~CLineOutput()
{
    Flush(kCloseWaitMs);
    for (const std::shared_ptr<SLane>& pLane : m_lanes) {
        std::lock_guard lock(pLane->mutex);
        pLane->fnFailed = nullptr;
        pLane->bEnd = true;
        pLane->wake.notify_all();
    }
}

void CLineOutput::SetOwnsFiles()
{
    for (const std::shared_ptr<SLane>& pLane : m_lanes) {
        std::lock_guard lock(pLane->mutex);
        pLane->bOwnsFiles = true;
    }
}

void CLineOutput::SetOnFailure(FFailed fnFailed)
{
    for (const std::shared_ptr<SLane>& pLane : m_lanes) {
        std::lock_guard lock(pLane->mutex);
        pLane->fnFailed = fnFailed;
    }
}

void CLineOutput::Write(int nStream, const QByteArray& lines)
{
    SLane& s = *m_lanes[size_t(m_laneOfStream[size_t(nStream)])];
    const int nLocal = m_indexInLane[size_t(nStream)];
    std::unique_lock lock(s.mutex);
    if (s.bBroken) {
        s.nLostBytes += quint64(lines.size());
        ++s.nLostRecords;
        return;
    }
    if (s.whenFull == WaitWhenFull) {
        s.written.wait(lock, [&] { return s.nQueuedBytes < s.nMaxQueued || s.bBroken; });
    } else if (s.nQueuedBytes + lines.size() > s.nMaxQueued) {
        s.droppedNow[size_t(nLocal)] += quint64(lines.count('\n'));
        s.nDroppedTotal += quint64(lines.count('\n'));
        return;
    }
    if (s.AnyDropped())
        s.QueueNotices();
    s.queue.push_back({nLocal, lines});
    s.nQueuedBytes += lines.size();
    s.nQueuedSerial += quint64(lines.size());
    s.wake.notify_one();
}

bool CLineOutput::Flush(int nMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    bool bAll = true;
    for (const std::shared_ptr<SLane>& pLane : m_lanes) {
        SLane& s = *pLane;
        std::unique_lock lock(s.mutex);
        const quint64 nTarget = s.nQueuedSerial;
        bAll = s.written.wait_until(lock, deadline, [&] { return s.nWrittenSerial >= nTarget || s.bBroken; }) && bAll;
    }
    return bAll;
}

quint64 CLineOutput::SumOfLanes(quint64 SLane::*pField) const
{
    quint64 n = 0;
    for (const std::shared_ptr<SLane>& pLane : m_lanes) {
        std::lock_guard lock(pLane->mutex);
        n += (*pLane).*pField;
    }
    return n;
}

quint64 CLineOutput::DroppedLines() const
{
    return SumOfLanes(&SLane::nDroppedTotal);
}

quint64 CLineOutput::LostBytes() const
{
    return SumOfLanes(&SLane::nLostBytes);
}

quint64 CLineOutput::LostRecords() const
{
    return SumOfLanes(&SLane::nLostRecords);
}
