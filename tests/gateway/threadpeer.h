#pragma once

#include <QByteArray>

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// A TCP peer on its own thread, for cases where the gateway's thread waits
// inside a send: the peer keeps running whatever the gateway does. Listens
// on a loopback port chosen by the system and serves one connection.
class CThreadPeer
{
public:
    explicit CThreadPeer(int nReceiveBuffer = 0)
    {
        m_hListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (nReceiveBuffer > 0)
            ::setsockopt(m_hListen, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof nReceiveBuffer);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_hListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_hListen, 4);
        socklen_t nSize = sizeof addr;
        ::getsockname(m_hListen, reinterpret_cast<sockaddr*>(&addr), &nSize);
        m_nPort = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~CThreadPeer()
    {
        m_bStop = true;
        m_thread.join();
        if (m_hConn >= 0)
            ::close(m_hConn);
        ::close(m_hListen);
    }

    QByteArray Setup() const { return "TCP:" + QByteArray::number(m_nPort) + ",127.0.0.1"; }
    void Send(const QByteArray& data)
    {
        std::lock_guard lock(m_mutex);
        m_outgoing += data;
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
    bool Connected() const { return m_bConnected; }
    void CloseConnection() { m_bCloseConn = true; }

    std::atomic<bool> m_bRead {true};
    std::atomic<int> m_nAccepted {0};

private:
    void Run()
    {
        char buffer[65536];
        while (!m_bStop) {
            if (m_bCloseConn && m_hConn >= 0) {
                ::close(m_hConn);
                m_hConn = -1;
                m_bConnected = false;
                m_bCloseConn = false;
            }
            pollfd fds[2] = {{m_hListen, POLLIN, 0}, {m_hConn, short(m_bRead && !m_bAtEnd ? POLLIN : 0), 0}};
            {
                std::lock_guard lock(m_mutex);
                if (m_hConn >= 0 && m_nOutOffset < m_outgoing.size())
                    fds[1].events |= POLLOUT;
            }
            ::poll(fds, 2, 10);
            if (fds[0].revents & POLLIN) {
                const int h = ::accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
                if (h >= 0) {
                    if (m_hConn >= 0)
                        ::close(m_hConn);
                    m_hConn = h;
                    m_bConnected = true;
                    m_bAtEnd = false;
                    ++m_nAccepted;
                }
                continue;
            }
            if (m_hConn < 0)
                continue;
            if (fds[1].revents & POLLIN) {
                const ssize_t n = ::recv(m_hConn, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0) {
                    std::lock_guard lock(m_mutex);
                    m_received.append(buffer, n);
                } else if (n == 0) {
                    // The gateway closed; stop asking, or poll reports the
                    // end of the stream again and again.
                    m_bConnected = false;
                    m_bAtEnd = true;
                }
            }
            if (fds[1].revents & POLLOUT) {
                std::lock_guard lock(m_mutex);
                const ssize_t n = ::send(m_hConn, m_outgoing.constData() + m_nOutOffset,
                                         size_t(m_outgoing.size() - m_nOutOffset), MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0)
                    m_nOutOffset += n;
            }
        }
    }

    int m_hListen = -1;
    int m_hConn = -1;
    quint16 m_nPort = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    QByteArray m_received;
    QByteArray m_outgoing;
    qint64 m_nOutOffset = 0;
    std::atomic<bool> m_bStop {false};
    std::atomic<bool> m_bConnected {false};
    std::atomic<bool> m_bCloseConn {false};
    bool m_bAtEnd = false; // peer thread only
};
