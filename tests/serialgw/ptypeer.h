#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

// The far end of a serial line: a pseudo-terminal whose master side is
// served by a thread of its own, so it keeps reading and writing whatever
// the gateway's thread waits for. The gateway opens the slave (Slave()).
class CPtyPeer
{
public:
    CPtyPeer()
    {
        m_hMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_hMaster < 0 || grantpt(m_hMaster) != 0 || unlockpt(m_hMaster) != 0)
            return;
        m_strSlave = QString::fromLocal8Bit(ptsname(m_hMaster));
        // Raw from the start: bytes written before the port opens are not
        // echoed or translated.
        termios t {};
        tcgetattr(m_hMaster, &t);
        cfmakeraw(&t);
        tcsetattr(m_hMaster, TCSANOW, &t);
        m_thread = std::thread([this] { Run(); });
    }
    ~CPtyPeer()
    {
        m_bStop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_hMaster >= 0)
            ::close(m_hMaster);
    }

    bool IsValid() const { return m_hMaster >= 0 && !m_strSlave.isEmpty(); }
    const QString& Slave() const { return m_strSlave; }

    void Send(const QByteArray& data)
    {
        std::lock_guard lock(m_mutex);
        m_outgoing += data;
    }
    // Writes at once from the calling thread (before the gateway opens).
    bool SendNow(const QByteArray& data)
    {
        std::lock_guard lock(m_mutex);
        return ::write(m_hMaster, data.constData(), size_t(data.size())) == data.size();
    }
    QByteArray Received()
    {
        std::lock_guard lock(m_mutex);
        return m_received;
    }
    qint64 ReceivedSize()
    {
        std::lock_guard lock(m_mutex);
        return m_received.size();
    }
    qint64 PendingSend()
    {
        std::lock_guard lock(m_mutex);
        return m_outgoing.size() - m_nOutOffset;
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
        if (m_hMaster >= 0)
            ::close(m_hMaster);
        m_hMaster = -1;
    }

private:
    void Run()
    {
        char buffer[65536];
        while (!m_bStop) {
            pollfd pfd {m_hMaster, POLLIN, 0};
            {
                std::lock_guard lock(m_mutex);
                if (m_nOutOffset < m_outgoing.size())
                    pfd.events |= POLLOUT;
            }
            ::poll(&pfd, 1, 10);
            if ((pfd.revents & POLLHUP) && !(pfd.revents & POLLIN)) {
                // No slave open yet (or any more): nothing to do but wait.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            if (pfd.revents & POLLIN) {
                const int nWant = m_nReadChunk > 0 ? int(std::min<size_t>(size_t(m_nReadChunk), sizeof buffer))
                                                   : int(sizeof buffer);
                const ssize_t n = ::read(m_hMaster, buffer, size_t(nWant));
                if (n > 0) {
                    std::lock_guard lock(m_mutex);
                    m_received.append(buffer, n);
                }
                if (m_nPauseUs > 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(m_nPauseUs));
            }
            if (pfd.revents & POLLOUT) {
                std::lock_guard lock(m_mutex);
                const ssize_t n = ::write(m_hMaster, m_outgoing.constData() + m_nOutOffset,
                                          size_t(std::min<qint64>(m_outgoing.size() - m_nOutOffset, 4096)));
                if (n > 0)
                    m_nOutOffset += n;
            }
        }
    }

    int m_hMaster = -1;
    QString m_strSlave;
    std::thread m_thread;
    std::mutex m_mutex;
    QByteArray m_received;
    QByteArray m_outgoing;
    qint64 m_nOutOffset = 0;
    std::atomic<bool> m_bStop {false};
    std::atomic<int> m_nReadChunk {0};
    std::atomic<int> m_nPauseUs {0};
};
