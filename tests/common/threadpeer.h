#pragma once

#include "peerbuffers.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// A listening TCP socket on a loopback port chosen by the system; its port
// goes to *pPort. A receive buffer size set here is inherited by accepted
// connections (small ones make a slow consumer stall sooner).
inline int ListenLoopback(quint16* pPort, int nReceiveBuffer = 0, int nBacklog = 4)
{
    const int h = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nReceiveBuffer > 0)
        ::setsockopt(h, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof nReceiveBuffer);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(h, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(h, nBacklog);
    socklen_t nSize = sizeof addr;
    ::getsockname(h, reinterpret_cast<sockaddr*>(&addr), &nSize);
    *pPort = ntohs(addr.sin_port);
    return h;
}

// A TCP peer on its own thread, for cases where the gateway's thread waits
// inside a send: the peer keeps running whatever the gateway does. Listens
// on a loopback port chosen by the system and serves one connection.
class CThreadPeer : public CPeerBuffers
{
public:
    explicit CThreadPeer(int nReceiveBuffer = 0)
    {
        m_hListen = ListenLoopback(&m_nPort, nReceiveBuffer);
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
            if (m_hConn >= 0 && PendingSend() > 0)
                fds[1].events |= POLLOUT;
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
                    AppendReceived(buffer, n);
                } else if (n == 0) {
                    // The gateway closed; stop asking, or poll reports the
                    // end of the stream again and again.
                    m_bConnected = false;
                    m_bAtEnd = true;
                }
            }
            if (fds[1].revents & POLLOUT) {
                WritePending(qint64(1) << 40, [this](const char* pData, size_t nLen) {
                    return ::send(m_hConn, pData, nLen, MSG_DONTWAIT | MSG_NOSIGNAL);
                });
            }
        }
    }

    int m_hListen = -1;
    int m_hConn = -1;
    quint16 m_nPort = 0;
    std::thread m_thread;
    std::atomic<bool> m_bStop {false};
    std::atomic<bool> m_bConnected {false};
    std::atomic<bool> m_bCloseConn {false};
    bool m_bAtEnd = false; // peer thread only
};
