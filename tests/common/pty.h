#pragma once

#include "peerbuffers.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

// A serial device path that never exists. A line that must stay gone is
// mapped here: the system may hand a closed pty's number to a new terminal.
inline const QString kMissingDevice = QStringLiteral("/dev/trelvane-no-such-tty");

// A pseudo-terminal pair: the code under test opens the slave through a
// [Serial Ports] entry, the test plays the far end on the master.
class CPty
{
public:
    CPty()
    {
        m_hMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_hMaster < 0 || grantpt(m_hMaster) != 0 || unlockpt(m_hMaster) != 0)
            return;
        m_strSlave = QString::fromLocal8Bit(ptsname(m_hMaster));
        // Raw from the start: bytes written before the slave opens are not
        // echoed or translated.
        termios t {};
        tcgetattr(m_hMaster, &t);
        cfmakeraw(&t);
        tcsetattr(m_hMaster, TCSANOW, &t);
    }
    ~CPty() { CloseMaster(); }
    CPty(const CPty&) = delete;
    CPty& operator=(const CPty&) = delete;

    bool IsValid() const { return m_hMaster >= 0 && !m_strSlave.isEmpty(); }
    const QString& Slave() const { return m_strSlave; }
    // Closes the master: the line vanishes.
    void CloseMaster()
    {
        if (m_hMaster >= 0)
            ::close(m_hMaster);
        m_hMaster = -1;
    }
    bool Send(const QByteArray& data) const
    {
        return ::write(m_hMaster, data.constData(), size_t(data.size())) == data.size();
    }
    // One read of at most nMax bytes of what waits on the master.
    QByteArray Take(int nMax = 65536) const
    {
        QByteArray buf(nMax, Qt::Uninitialized);
        const ssize_t n = ::read(m_hMaster, buf.data(), size_t(nMax));
        return n > 0 ? buf.left(int(n)) : QByteArray();
    }
    // Everything that waits on the master.
    QByteArray TakeAll() const
    {
        QByteArray all;
        for (QByteArray chunk; !(chunk = Take()).isEmpty();)
            all += chunk;
        return all;
    }
    int Waiting() const
    {
        int n = 0;
        ioctl(m_hMaster, FIONREAD, &n);
        return n;
    }

    int m_hMaster = -1;
    QString m_strSlave;
};

// A pseudo-terminal whose master is served by a thread of its own, so it
// keeps reading and writing while the thread under test waits.
class CPtyPeer : public CPeerBuffers
{
public:
    CPtyPeer()
    {
        if (m_pty.IsValid())
            m_thread = std::thread([this] { Run(); });
    }
    ~CPtyPeer() { CloseMaster(); }

    bool IsValid() const { return m_pty.IsValid(); }
    const QString& Slave() const { return m_pty.Slave(); }

    // Writes at once from the calling thread (before the slave opens).
    bool SendNow(const QByteArray& data)
    {
        std::lock_guard lock(m_mutex);
        return m_pty.Send(data);
    }
    // A slow reader: at most nChunk bytes per read, then a pause.
    void SetSlowReader(int nChunk, std::chrono::microseconds pause)
    {
        m_nReadChunk = nChunk;
        m_nPauseUs = int(pause.count());
    }
    // Closes the master (the line vanishes) and waits until it is closed.
    void CloseMaster()
    {
        m_bStop = true;
        if (m_thread.joinable())
            m_thread.join();
        std::lock_guard lock(m_mutex);
        m_pty.CloseMaster();
    }

private:
    void Run()
    {
        while (!m_bStop) {
            pollfd pfd {m_pty.m_hMaster, short((m_bRead ? POLLIN : 0) | (PendingSend() > 0 ? POLLOUT : 0)), 0};
            ::poll(&pfd, 1, 10);
            if ((pfd.revents & POLLHUP) && !(pfd.revents & POLLIN)) {
                // No slave open yet (or any more): nothing to do but wait.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            if (pfd.revents & POLLIN) {
                const QByteArray chunk = m_pty.Take(m_nReadChunk > 0 ? m_nReadChunk.load() : 65536);
                AppendReceived(chunk.constData(), chunk.size());
                if (m_nPauseUs > 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(m_nPauseUs));
            }
            if (pfd.revents & POLLOUT) {
                WritePending(4096, [this](const char* pData, size_t nLen) {
                    return ::write(m_pty.m_hMaster, pData, nLen);
                });
            }
        }
    }

public:
    // Off: the peer leaves what the line brings unread (it fills up).
    std::atomic<bool> m_bRead {true};

private:
    CPty m_pty;
    std::thread m_thread;
    std::atomic<bool> m_bStop {false};
    std::atomic<int> m_nReadChunk {0};
    std::atomic<int> m_nPauseUs {0};
};
