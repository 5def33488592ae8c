#pragma once

// The rig the benchmark cases share: the relay with the benchmark's ends of
// its two ports, pattern streams through it, and small helpers.

#include "benchcases.h"
#include "benchnet.h"

#include <QProcess>
#include <QString>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <termios.h>
#include <sys/socket.h>
#include <unistd.h>


inline constexpr int kConnectTimeoutMs = 10000;
// A stream that delivers nothing for this long has stalled.
inline constexpr double kStallSeconds = 10.0;
inline constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

inline void Fail(const QString& strWhat)
{
    std::fprintf(stderr, "trelvane-bench: %s\n", qPrintable(strWhat));
}

inline void CloseFd(int& hFd)
{
    if (hFd >= 0)
        ::close(hFd);
    hFd = -1;
}

// The relay with the benchmark's ends of its two ports.
struct SRig
{
    CRelayProcess m_relay;
    int m_hInListen = -1;
    int m_hOutListen = -1;
    int m_hIn = -1;        // our end of the relay's Input (socket or pty master)
    int m_hOut = -1;       // our end of the relay's Output (TCP socket or UDP socket)
    int m_hPtySlave = -1;  // kept open so the line keeps its raw settings
    // A listening TLS Input: socat, the TLS client between the benchmark and
    // the relay (the same for every relay), with the CA that vouches for it.
    QProcess m_tlsClient;

    ~SRig()
    {
        // The relay goes first, so it never sees its peers close.
        m_relay.Stop();
        m_tlsClient.kill();
        m_tlsClient.waitForFinished(5000);
        for (int* ph : {&m_hInListen, &m_hOutListen, &m_hIn, &m_hOut, &m_hPtySlave})
            CloseFd(*ph);
    }

    bool Start(const SBenchOptions& options, const SRelayEnd& in, const SRelayEnd& out, const char* pszCase)
    {
        QString strError;
        const QString strDir = options.m_strWorkDir + QLatin1Char('/') + RelayName(options.m_kind)
                               + QLatin1Char('-') + QLatin1String(pszCase);
        if (!m_relay.Start(options.m_kind, options.m_strTrelvaned, in, out, strDir, &strError)) {
            Fail(strError);
            return false;
        }
        bool bOk;
        if (out.m_kind == SRelayEnd::TcpListen) {
            // The relay's Output listens (a device server's shape): we are
            // its client.
            m_hOut = ConnectLoopback(out.m_nPort, kConnectTimeoutMs);
            bOk = m_hOut >= 0;
        } else if (in.m_kind == SRelayEnd::TcpListen || in.m_kind == SRelayEnd::TlsListen) {
            // The relay's Input listens: we are its client. socat opens its
            // Output only once that client is there.
            int nPort = in.m_nPort;
            if (in.m_kind == SRelayEnd::TlsListen) {
                nPort = FreeLoopbackPort();
                m_tlsClient.setProcessChannelMode(QProcess::ForwardedErrorChannel);
                m_tlsClient.start(QStringLiteral("socat"),
                                  {QStringLiteral("-b"), QStringLiteral("65536"),
                                   QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(nPort),
                                   // The relay may not listen yet: socat tries again.
                                   QStringLiteral("OPENSSL:127.0.0.1:%1,cafile=%2/ca.pem,commonname=localhost,"
                                                  "retry=100,interval=0.05")
                                       .arg(in.m_nPort)
                                       .arg(in.m_strTlsDir)});
            }
            m_hIn = ConnectLoopback(nPort, kConnectTimeoutMs);
            bOk = m_hIn >= 0 && (m_hOut = AcceptOne(m_hOutListen, kConnectTimeoutMs)) >= 0;
        } else if (m_hInListen >= 0 && m_hOutListen >= 0)
            bOk = AcceptBoth(m_hInListen, &m_hIn, m_hOutListen, &m_hOut, kConnectTimeoutMs);
        else if (m_hInListen >= 0)
            bOk = (m_hIn = AcceptOne(m_hInListen, kConnectTimeoutMs)) >= 0;
        else
            bOk = (m_hOut = AcceptOne(m_hOutListen, kConnectTimeoutMs)) >= 0;
        if (!bOk) {
            Fail(QStringLiteral("%1: the relay did not connect (%2)\n%3")
                     .arg(QLatin1String(pszCase), m_relay.Arguments().join(QLatin1Char(' ')), m_relay.LogTail()));
            return false;
        }
        // Data that arrives while trelvaned still connects its Output would
        // make it start the Output a second time; wait for its log instead.
        if (!m_relay.WaitBothPortsStarted(kConnectTimeoutMs, in.m_kind == SRelayEnd::TcpListen
                                                                 || in.m_kind == SRelayEnd::TlsListen
                                                                 || out.m_kind == SRelayEnd::TcpListen)) {
            Fail(QStringLiteral("%1: the relay did not report both ports started\n%2")
                     .arg(QLatin1String(pszCase), m_relay.LogTail()));
            return false;
        }
        return true;
    }
};

// One direction of pattern bytes: a sender thread writes, a receiver thread
// reads and compares every byte with the pattern.
class CPatternStream
{
public:
    void Start(int hSend, int hReceive, uint64_t nLimit, const std::atomic<bool>* pbStop)
    {
        m_hSend = hSend;
        m_sender = std::thread([=, this] { RunSender(hSend, nLimit, pbStop); });
        m_receiver = std::thread([=, this] { RunReceiver(hReceive); });
    }
    void Join()
    {
        m_sender.join();
        m_receiver.join();
    }
    uint64_t Received() const { return m_nReceived.load(); }
    bool Ok() const { return m_strError.isEmpty(); }
    QString Error() const { return m_strError; }
    double LastByteTime() const { return m_fLastByte; }

private:
    void RunSender(int hSend, uint64_t nLimit, const std::atomic<bool>* pbStop)
    {
        uint64_t nSent = 0;
        while (nSent < nLimit && !(pbStop && pbStop->load(std::memory_order_relaxed))) {
            const size_t nLen = size_t(std::min<uint64_t>(kChunk, nLimit - nSent));
            const ssize_t n = ::write(hSend, Pattern(nSent), nLen);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                m_strSendError = QStringLiteral("write failed: %1").arg(QString::fromLocal8Bit(strerror(errno)));
                break;
            }
            nSent += uint64_t(n);
            m_nSent.store(nSent);
        }
        m_bSendDone.store(true);
    }

    void RunReceiver(int hReceive)
    {
        std::vector<char> buffer(kChunk);
        uint64_t nReceived = 0;
        double fLastData = NowSeconds();
        for (;;) {
            if (m_bSendDone.load() && nReceived >= m_nSent.load())
                break;
            if (!WaitReadable(hReceive, 100)) {
                if (NowSeconds() - fLastData > kStallSeconds) {
                    m_strError = QStringLiteral("stalled after %1 of %2 bytes").arg(nReceived).arg(m_nSent.load());
                    break;
                }
                continue;
            }
            const ssize_t n = ::read(hReceive, buffer.data(), buffer.size());
            if (n <= 0) {
                if (n < 0 && errno == EINTR)
                    continue;
                m_strError = QStringLiteral("stream closed after %1 bytes").arg(nReceived);
                break;
            }
            if (std::memcmp(buffer.data(), Pattern(nReceived), size_t(n)) != 0) {
                m_strError = QStringLiteral("bytes differ from the sent ones near offset %1").arg(nReceived);
                break;
            }
            nReceived += uint64_t(n);
            m_nReceived.store(nReceived);
            fLastData = m_fLastByte = NowSeconds();
        }
        // A sender still blocked in its write gives up too.
        if (!m_strError.isEmpty())
            ::shutdown(m_hSend, SHUT_RDWR);
        if (m_strError.isEmpty() && !m_strSendError.isEmpty())
            m_strError = m_strSendError;
        if (m_strError.isEmpty() && nReceived != m_nSent.load())
            m_strError = QStringLiteral("received %1 bytes, sent %2").arg(nReceived).arg(m_nSent.load());
    }

    std::thread m_sender;
    std::thread m_receiver;
    int m_hSend = -1;
    std::atomic<uint64_t> m_nSent {0};
    std::atomic<uint64_t> m_nReceived {0};
    std::atomic<bool> m_bSendDone {false};
    QString m_strSendError;
    QString m_strError;
    double m_fLastByte = 0;
};

inline bool ListenTcpEnd(int* phListen, SRelayEnd* pEnd)
{
    pEnd->m_kind = SRelayEnd::Tcp;
    *phListen = ListenLoopback(&pEnd->m_nPort);
    if (*phListen < 0)
        Fail(QStringLiteral("cannot listen on loopback"));
    return *phListen >= 0;
}

inline double Percentile(std::vector<double> values, double fFraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t nIndex = std::min(values.size() - 1, size_t(std::ceil(fFraction * double(values.size()))) - 1);
    return values[nIndex];
}

inline void ReportRelayFootprint(const SRig& rig, const QString& strCase, double fCpu, uint64_t nBytes,
                          const FReport& report)
{
    if (nBytes > 0)
        report(strCase + QStringLiteral("_cpu_s_per_GiB"), fCpu / (double(nBytes) / kGiB));
    report(strCase + QStringLiteral("_peak_rss_KiB"), double(rig.m_relay.PeakRssKiB()));
}


// Pins the calling thread, and so the relay and threads started from it, to
// one CPU for its lifetime; the old mask comes back afterwards.
class CPinToOneCpu
{
public:
    CPinToOneCpu()
    {
        if (::sched_getaffinity(0, sizeof m_old, &m_old) != 0)
            return;
        for (int nCpu = 0; nCpu < CPU_SETSIZE; ++nCpu) {
            if (CPU_ISSET(nCpu, &m_old)) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(nCpu, &one);
                m_bPinned = ::sched_setaffinity(0, sizeof one, &one) == 0;
                break;
            }
        }
    }
    ~CPinToOneCpu()
    {
        if (m_bPinned)
            ::sched_setaffinity(0, sizeof m_old, &m_old);
    }
    CPinToOneCpu(const CPinToOneCpu&) = delete;
    CPinToOneCpu& operator=(const CPinToOneCpu&) = delete;

private:
    cpu_set_t m_old;
    bool m_bPinned = false;
};

// A pseudo-terminal as the relay's serial line: the relay opens the slave
// (pEnd->m_strPtyPath), the benchmark keeps the master (rig.m_hIn) and a
// raw slave descriptor, so the line keeps its settings between opens.
inline bool OpenPtyEnd(SRig& rig, SRelayEnd* pEnd)
{
    pEnd->m_kind = SRelayEnd::Pty;
    rig.m_hIn = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (rig.m_hIn < 0 || ::grantpt(rig.m_hIn) != 0 || ::unlockpt(rig.m_hIn) != 0) {
        Fail(QStringLiteral("cannot open a pseudo-terminal"));
        return false;
    }
    pEnd->m_strPtyPath = QString::fromLocal8Bit(::ptsname(rig.m_hIn));
    rig.m_hPtySlave = ::open(::ptsname(rig.m_hIn), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio {};
    if (rig.m_hPtySlave < 0 || ::tcgetattr(rig.m_hPtySlave, &tio) != 0) {
        Fail(QStringLiteral("cannot open %1").arg(pEnd->m_strPtyPath));
        return false;
    }
    ::cfmakeraw(&tio);
    ::tcsetattr(rig.m_hPtySlave, TCSANOW, &tio);
    return true;
}
