#pragma once

#include "soaksupport.h"
#include "testhost.h"
#include "threadpeer.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <cstring>
#include <sys/eventfd.h>
#include <vector>

// A TCP peer on its own thread for long runs: it sends a stream generated
// from a seed (so a gibibyte needs no buffer), checks what it receives
// against the other peer's stream, hashes both directions with SHA-256,
// can read at a set rate, and can close every connection at once.
// Listens on a loopback port chosen by the system.
class CSoakPeer
{
public:
    // The stream of a seed repeats a block of prime length, so a shifted,
    // lost or doubled 512-byte block never lines up again.
    static constexpr int kBlock = 65521;

    static QByteArray PatternBlock(quint32 nSeed)
    {
        QByteArray block(kBlock, Qt::Uninitialized);
        QRandomGenerator gen(nSeed);
        for (char& c : block)
            c = char(gen.generate());
        return block;
    }

    explicit CSoakPeer(quint32 nSeed, int nReceiveBuffer = 0) : m_sendBlock(PatternBlock(nSeed))
    {
        m_hListen = ListenLoopback(&m_nPort, nReceiveBuffer, 64);
        m_hWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        m_thread = std::thread([this] { Run(); });
    }
    ~CSoakPeer()
    {
        m_bStop = true;
        Wake();
        m_thread.join();
        ::close(m_hWake);
        if (m_hConn >= 0)
            ::close(m_hConn);
        ::close(m_hListen);
    }

    quint16 Port() const { return m_nPort; }
    QByteArray Setup() const { return "TCP:" + QByteArray::number(m_nPort) + ",127.0.0.1"; }

    // What the peer expects to receive: the stream of the other peer's seed.
    void ExpectStream(quint32 nSeed)
    {
        std::lock_guard lock(m_mutex);
        m_expectBlock = PatternBlock(nSeed);
    }
    // Sends nBytes more of the stream once connected.
    void AddToSend(qint64 nBytes)
    {
        m_nToSend += nBytes;
        Wake();
    }
    // Bytes per second the peer reads; 0 reads as fast as data comes.
    void SetReadRate(qint64 nBytesPerSecond)
    {
        std::lock_guard lock(m_mutex);
        m_nReadRate = nBytesPerSecond;
        m_nReadSinceRate = 0;
        m_rateClock.start();
        Wake();
    }
    void SetCloseAtOnce(bool b) { m_bCloseAtOnce = b; }

    qint64 Sent() const { return m_nSent; }
    qint64 Received() const { return m_nReceived; }
    int Accepted() const { return m_nAccepted; }
    bool Connected() const { return m_bConnected; }
    // Offset of the first received byte that differs from the expected
    // stream, -1 while everything matched.
    qint64 FirstMismatch() const { return m_nFirstMismatch; }
    QByteArray SentHash()
    {
        std::lock_guard lock(m_mutex);
        return m_sentHash.result().toHex();
    }
    QByteArray ReceivedHash()
    {
        std::lock_guard lock(m_mutex);
        return m_receivedHash.result().toHex();
    }

private:
    void Wake()
    {
        const quint64 nOne = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_hWake, &nOne, sizeof nOne);
    }

    void Run()
    {
        std::vector<char> receive(65536);
        while (!m_bStop) {
            const bool bWantSend = m_hConn >= 0 && m_nSent < m_nToSend;
            const qint64 nReadAllowed = ReadAllowance();
            pollfd fds[3] = {{m_hListen, POLLIN, 0},
                             {m_hConn, short((nReadAllowed > 0 ? POLLIN : 0) | (bWantSend ? POLLOUT : 0)), 0},
                             {m_hWake, POLLIN, 0}};
            ::poll(fds, 3, 10);
            if (fds[2].revents & POLLIN) {
                quint64 nCount = 0;
                [[maybe_unused]] const ssize_t n = ::read(m_hWake, &nCount, sizeof nCount);
            }
            if (fds[0].revents & POLLIN) {
                const int h = ::accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
                if (h >= 0) {
                    ++m_nAccepted;
                    if (m_bCloseAtOnce) {
                        ::close(h);
                    } else {
                        if (m_hConn >= 0)
                            ::close(m_hConn);
                        m_hConn = h;
                        m_bConnected = true;
                    }
                }
                continue;
            }
            if (m_hConn < 0)
                continue;
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(m_hConn, receive.data(), size_t(qMin<qint64>(nReadAllowed, qint64(receive.size()))),
                                         MSG_DONTWAIT);
                if (n > 0)
                    Consume(receive.data(), n);
                else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    Disconnect();
            }
            if (m_hConn >= 0 && (fds[1].revents & POLLOUT))
                SendSome();
        }
    }

    qint64 ReadAllowance()
    {
        std::lock_guard lock(m_mutex);
        if (m_nReadRate <= 0)
            return 65536;
        return m_nReadRate * m_rateClock.elapsed() / 1000 - m_nReadSinceRate;
    }

    void Consume(const char* p, qint64 n)
    {
        std::lock_guard lock(m_mutex);
        m_receivedHash.addData(QByteArrayView(p, n));
        m_nReadSinceRate += n;
        qint64 nPos = m_nReceived;
        for (qint64 i = 0; i < n && m_nFirstMismatch < 0 && !m_expectBlock.isEmpty();) {
            const int nAt = int(nPos % kBlock);
            const qint64 nRun = qMin<qint64>(n - i, kBlock - nAt);
            if (std::memcmp(p + i, m_expectBlock.constData() + nAt, size_t(nRun)) != 0) {
                for (qint64 k = 0; k < nRun; ++k) {
                    if (p[i + k] != m_expectBlock[nAt + k]) {
                        m_nFirstMismatch = nPos + k;
                        break;
                    }
                }
            }
            i += nRun;
            nPos += nRun;
        }
        m_nReceived += n;
    }

    void SendSome()
    {
        const int nAt = int(m_nSent % kBlock);
        const qint64 nLen = qMin<qint64>(m_nToSend - m_nSent, kBlock - nAt);
        const ssize_t n = ::send(m_hConn, m_sendBlock.constData() + nAt, size_t(nLen), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            std::lock_guard lock(m_mutex);
            m_sentHash.addData(QByteArrayView(m_sendBlock.constData() + nAt, n));
            m_nSent += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            Disconnect();
        }
    }

    void Disconnect()
    {
        ::close(m_hConn);
        m_hConn = -1;
        m_bConnected = false;
    }

    const QByteArray m_sendBlock;
    QByteArray m_expectBlock;
    int m_hListen = -1;
    int m_hConn = -1;
    int m_hWake = -1;
    quint16 m_nPort = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    QCryptographicHash m_sentHash {QCryptographicHash::Sha256};
    QCryptographicHash m_receivedHash {QCryptographicHash::Sha256};
    qint64 m_nReadRate = 0;
    qint64 m_nReadSinceRate = 0;
    QElapsedTimer m_rateClock;
    std::atomic<qint64> m_nToSend {0};
    std::atomic<qint64> m_nSent {0};
    std::atomic<qint64> m_nReceived {0};
    std::atomic<qint64> m_nFirstMismatch {-1};
    std::atomic<int> m_nAccepted {0};
    std::atomic<bool> m_bConnected {false};
    std::atomic<bool> m_bCloseAtOnce {false};
    std::atomic<bool> m_bStop {false};
};

// Startup / Reset between two soak peers (Output with the Input); true once
// both are connected.
inline bool StartBetween(SGatewayRig& rig, const CSoakPeer& inPeer, const CSoakPeer& outPeer)
{
    rig.Start(inPeer.Setup(), outPeer.Setup());
    return soak::WaitFor([&] { return inPeer.Connected() && outPeer.Connected(); }, 5000);
}
