#include "benchcases.h"

#include "benchnet.h"
#include "consoleload.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <memory>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "benchrig.h"


namespace {

// strInPlugin: an absolute plug-in path for IN-->OUT, or empty.
// bListeningInput: the relay's Input listens and the benchmark connects;
// with TLS when strTlsDir names the folder of the test certificates.
// bConsoleLoad: trelvaned serves its web console, watched by CConsoleLoad
// while the bytes flow.
bool RunTcpStreams(const SBenchOptions& options, const QString& strCase, const QString& strInPlugin,
                   bool bInToOut, bool bOutToIn, const FReport& report, bool bListeningInput = false,
                   const QString& strTlsDir = QString(), bool bConsoleLoad = false)
{
    SRig rig;
    CConsoleLoad load;
    const int nHttpPort = bConsoleLoad || strCase == QStringLiteral("console_quiet") ? FreeLoopbackPort() : 0;
    if (nHttpPort > 0)
        rig.m_relay.SetExtraArguments({QStringLiteral("--http"), QString::number(nHttpPort)});
    SRelayEnd in, out;
    in.m_strDll = QFile::encodeName(strInPlugin);
    in.m_strTlsDir = strTlsDir;
    bool bInReady;
    if (bListeningInput) {
        in.m_kind = strTlsDir.isEmpty() ? SRelayEnd::TcpListen : SRelayEnd::TlsListen;
        in.m_nPort = FreeLoopbackPort();
        bInReady = in.m_nPort > 0;
    } else {
        bInReady = ListenTcpEnd(&rig.m_hInListen, &in);
    }
    if (!bInReady || !ListenTcpEnd(&rig.m_hOutListen, &out) || !rig.Start(options, in, out, qPrintable(strCase)))
        return false;
    // The gateway says nothing when a plug-in fails to load; make sure this
    // one is in the relay before its figure is taken.
    if (!strInPlugin.isEmpty() && !rig.m_relay.HasMapped(QFileInfo(strInPlugin).fileName())) {
        Fail(QStringLiteral("%1: the relay did not load %2\n%3").arg(strCase, strInPlugin, rig.m_relay.LogTail()));
        return false;
    }

    if (bConsoleLoad && !load.Start(nHttpPort, 10000)) {
        Fail(strCase + QStringLiteral(": the console's event streams did not open\n") + rig.m_relay.LogTail());
        return false;
    }

    CPatternStream forward, backward;
    const double fCpu0 = rig.m_relay.CpuSeconds();
    const double fStart = NowSeconds();
    if (bInToOut)
        forward.Start(rig.m_hIn, rig.m_hOut, options.m_nBytes, nullptr);
    if (bOutToIn)
        backward.Start(rig.m_hOut, rig.m_hIn, options.m_nBytes, nullptr);
    double fEnd = fStart;
    uint64_t nBytes = 0;
    bool bOk = true;
    for (auto [pStream, bUsed] : {std::pair {&forward, bInToOut}, std::pair {&backward, bOutToIn}}) {
        if (!bUsed)
            continue;
        pStream->Join();
        if (!pStream->Ok()) {
            Fail(strCase + QStringLiteral(": ") + pStream->Error() + QLatin1Char('\n') + rig.m_relay.LogTail());
            bOk = false;
        }
        fEnd = std::max(fEnd, pStream->LastByteTime());
        nBytes += pStream->Received();
    }
    const double fCpu = rig.m_relay.CpuSeconds() - fCpu0;
    if (bConsoleLoad) {
        load.Stop();
        report(strCase + QStringLiteral("_scrapes"), load.Scrapes());
        report(strCase + QStringLiteral("_failed_scrapes"), load.FailedScrapes());
        report(strCase + QStringLiteral("_stream_KiB"), double(load.StreamBytes()) / 1024);
    }
    if (!bOk)
        return false;
    report(strCase + QStringLiteral("_MBps"), double(nBytes) / (fEnd - fStart) / 1e6);
    ReportRelayFootprint(rig, strCase, fCpu, nBytes, report);
    return true;
}

} // namespace

bool RunThroughputCase(const SBenchOptions& options, bool bInToOut, bool bOutToIn, const FReport& report)
{
    const QString strCase = bInToOut && bOutToIn ? QStringLiteral("both")
                            : bInToOut           ? QStringLiteral("in2out")
                                                 : QStringLiteral("out2in");
    return RunTcpStreams(options, strCase, {}, bInToOut, bOutToIn, report);
}

bool RunListenCase(const SBenchOptions& options, const FReport& report)
{
    return RunTcpStreams(options, QStringLiteral("listen"), {}, true, true, report, true);
}

namespace {

// A CA and a server certificate for localhost signed by it, in strDir
// (ca.pem, server.pem, server.key), made with the openssl command.
bool MakeTestCertificates(const QString& strDir)
{
    QFile ext(strDir + QStringLiteral("/server.ext"));
    if (!ext.open(QIODevice::WriteOnly) || ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n") < 0)
        return false;
    ext.close();
    const QString strNewKey = QStringLiteral("-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes");
    const QStringList commands = {
        QStringLiteral("req -x509 %1 -days 30 -subj /CN=Bench-CA -keyout ca.key -out ca.pem").arg(strNewKey),
        QStringLiteral("req %1 -subj /CN=localhost -keyout server.key -out server.csr").arg(strNewKey),
        QStringLiteral("x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 "
                       "-extfile server.ext -out server.pem"),
    };
    for (const QString& strCommand : commands) {
        QProcess openssl;
        openssl.setWorkingDirectory(strDir);
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"), strCommand.split(QLatin1Char(' ')));
        if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
            Fail(QStringLiteral("tls: openssl %1 failed (is the openssl package installed?)\n%2")
                     .arg(strCommand, QString::fromLocal8Bit(openssl.readAll())));
            return false;
        }
    }
    return true;
}

} // namespace

bool RunTlsCase(const SBenchOptions& options, const FReport& report)
{
    const QString strDir = options.m_strWorkDir + QStringLiteral("/tls-certificates");
    if (!QFileInfo::exists(strDir + QStringLiteral("/server.pem"))
        && !(QDir().mkpath(strDir) && MakeTestCertificates(strDir)))
        return false;
    return RunTcpStreams(options, QStringLiteral("tls"), {}, true, true, report, true, strDir);
}

bool RunConsoleCase(const SBenchOptions& options, const FReport& report)
{
    if (!IsTrelvaned(options.m_kind)) {
        std::fprintf(stderr, "trelvane-bench: console: %s has no web console, skipped\n",
                     qPrintable(RelayName(options.m_kind)));
        return true;
    }
    // The same relay both ways, with the console unwatched and then watched,
    // long enough for a few dozen scrapes.
    SBenchOptions longer = options;
    longer.m_nBytes = std::max<uint64_t>(options.m_nBytes, uint64_t(1) << 30);
    QMap<QString, double> figures;
    const FReport keep = [&](const QString& strMetric, double fValue) {
        figures.insert(strMetric, fValue);
        report(strMetric, fValue);
    };
    if (!RunTcpStreams(longer, QStringLiteral("console_quiet"), {}, true, true, keep)
        || !RunTcpStreams(longer, QStringLiteral("console"), {}, true, true, keep, false, {}, true))
        return false;
    report(QStringLiteral("console_throughput_change_pct"),
           (figures.value(QStringLiteral("console_MBps")) / figures.value(QStringLiteral("console_quiet_MBps")) - 1) * 100);
    report(QStringLiteral("console_peak_rss_change_KiB"),
           figures.value(QStringLiteral("console_peak_rss_KiB")) - figures.value(QStringLiteral("console_quiet_peak_rss_KiB")));
    return true;
}

bool RunPluginCase(const SBenchOptions& options, const FReport& report)
{
    if (!IsTrelvaned(options.m_kind)) {
        std::fprintf(stderr, "trelvane-bench: plugin: %s has no plug-ins, skipped\n",
                     qPrintable(RelayName(options.m_kind)));
        return true;
    }
    const QFileInfo plugin(options.m_strPlugin);
    if (!plugin.isFile()) {
        Fail(QStringLiteral("plugin: %1 was not built").arg(options.m_strPlugin));
        return false;
    }
    return RunTcpStreams(options, QStringLiteral("plugin"), plugin.absoluteFilePath(), true, false, report);
}


bool RunLatencyCase(const SBenchOptions& options, int nMessageSize, const FReport& report)
{
    const QString strCase = QStringLiteral("lat%1").arg(nMessageSize);
    // Relay and peers share one CPU: on small virtual machines a wake-up on
    // the other CPU costs tens of microseconds at random and would hide the
    // relay's own cost.
    CPinToOneCpu pin;
    SRig rig;
    SRelayEnd in, out;
    if (!ListenTcpEnd(&rig.m_hInListen, &in) || !ListenTcpEnd(&rig.m_hOutListen, &out)
        || !rig.Start(options, in, out, qPrintable(strCase)))
        return false;
    SetNoDelay(rig.m_hIn);
    SetNoDelay(rig.m_hOut);

    // The Output peer sends back whatever arrives.
    const int hOut = rig.m_hOut;
    std::thread echo([hOut] {
        std::vector<char> buffer(kChunk);
        for (;;) {
            const ssize_t n = ::read(hOut, buffer.data(), buffer.size());
            if (n <= 0 || !WriteAll(hOut, buffer.data(), size_t(n)))
                return;
        }
    });

    // A message longer than a block can meet Nagle's rule in a relay (about
    // 40 ms a round trip): fewer rounds keep the run short.
    const int nRounds = nMessageSize > 512 ? std::max(20, options.m_nRounds / 50) : options.m_nRounds;
    const int nWarmup = std::max(10, nRounds / 20);
    std::vector<double> rtts;
    rtts.reserve(size_t(nRounds));
    std::vector<char> reply(static_cast<size_t>(nMessageSize));
    QString strError;
    for (int i = 0; i < nWarmup + nRounds && strError.isEmpty(); ++i) {
        const char* pMessage = Pattern(uint64_t(i) * 7919);
        const double fStart = NowSeconds();
        if (!WriteAll(rig.m_hIn, pMessage, size_t(nMessageSize))) {
            strError = QStringLiteral("write failed");
            break;
        }
        size_t nGot = 0;
        while (nGot < reply.size()) {
            if (!WaitReadable(rig.m_hIn, int(kStallSeconds * 1000))) {
                strError = QStringLiteral("no echo within %1 s").arg(kStallSeconds);
                break;
            }
            const ssize_t n = ::read(rig.m_hIn, reply.data() + nGot, reply.size() - nGot);
            if (n <= 0) {
                strError = QStringLiteral("stream closed");
                break;
            }
            nGot += size_t(n);
        }
        if (strError.isEmpty() && std::memcmp(reply.data(), pMessage, reply.size()) != 0)
            strError = QStringLiteral("echo differs from the message");
        if (i >= nWarmup)
            rtts.push_back((NowSeconds() - fStart) * 1e6);
    }
    ::shutdown(rig.m_hOut, SHUT_RDWR);
    echo.join();
    if (!strError.isEmpty()) {
        Fail(strCase + QStringLiteral(": ") + strError + QLatin1Char('\n') + rig.m_relay.LogTail());
        return false;
    }
    report(strCase + QStringLiteral("_p50_us"), Percentile(rtts, 0.50));
    report(strCase + QStringLiteral("_p99_us"), Percentile(rtts, 0.99));
    return true;
}

bool RunUdpCase(const SBenchOptions& options, const FReport& report)
{
    SRig rig;
    SRelayEnd in, out;
    out.m_kind = SRelayEnd::Udp;
    if (!ListenTcpEnd(&rig.m_hInListen, &in))
        return false;
    rig.m_hOut = BindUdpLoopback(&out.m_nPort);
    if (rig.m_hOut < 0) {
        Fail(QStringLiteral("cannot bind a UDP socket"));
        return false;
    }
    // A large queue, so losses are the relay's and not our reader's.
    const int nQueue = 16 << 20;
    if (::setsockopt(rig.m_hOut, SOL_SOCKET, SO_RCVBUFFORCE, &nQueue, sizeof nQueue) != 0)
        ::setsockopt(rig.m_hOut, SOL_SOCKET, SO_RCVBUF, &nQueue, sizeof nQueue);
    if (!rig.Start(options, in, out, "udp"))
        return false;

    const uint64_t nLimit = options.m_nBytes / 2;
    std::atomic<bool> bSendDone {false};
    const double fStart = NowSeconds();
    const int hIn = rig.m_hIn;
    std::thread sender([hIn, nLimit, &bSendDone] {
        for (uint64_t nSent = 0; nSent < nLimit;) {
            const ssize_t n = ::write(hIn, Pattern(nSent), size_t(std::min<uint64_t>(kChunk, nLimit - nSent)));
            if (n <= 0)
                break;
            nSent += uint64_t(n);
        }
        bSendDone.store(true);
    });
    // Many datagrams per system call, so the receiver is not what limits
    // the figure.
    constexpr int kBatch = 64;
    constexpr size_t kDatagramMax = 65536;
    std::vector<char> buffer(kBatch * kDatagramMax);
    mmsghdr messages[kBatch] {};
    iovec parts[kBatch];
    for (int i = 0; i < kBatch; ++i) {
        parts[i].iov_base = buffer.data() + size_t(i) * kDatagramMax;
        parts[i].iov_len = kDatagramMax;
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    uint64_t nReceived = 0;
    uint64_t nDatagrams = 0;
    long nLargest = 0;
    bool bExact = true;
    double fLast = fStart;
    for (;;) {
        if (bSendDone.load() && nReceived >= nLimit)
            break;
        const int nGot = ::recvmmsg(rig.m_hOut, messages, kBatch, MSG_DONTWAIT, nullptr);
        if (nGot <= 0) {
            // Once the sender is done, a quiet half second means the rest is lost.
            if (!WaitReadable(rig.m_hOut, 100)
                && ((bSendDone.load() && NowSeconds() - fLast > 0.5) || NowSeconds() - fLast > kStallSeconds))
                break;
            continue;
        }
        for (int i = 0; i < nGot; ++i) {
            const size_t n = messages[i].msg_len;
            if (bExact && std::memcmp(parts[i].iov_base, Pattern(nReceived), n) != 0)
                bExact = false;
            nReceived += uint64_t(n);
            ++nDatagrams;
            nLargest = std::max<long>(nLargest, long(n));
        }
        fLast = NowSeconds();
    }
    sender.join();
    if (nDatagrams == 0) {
        Fail(QStringLiteral("udp: no datagram arrived\n") + rig.m_relay.LogTail());
        return false;
    }
    const double fSeconds = fLast - fStart;
    report(QStringLiteral("udp_MBps"), double(nReceived) / fSeconds / 1e6);
    report(QStringLiteral("udp_dgps"), double(nDatagrams) / fSeconds);
    report(QStringLiteral("udp_loss_pct"), 100.0 * double(nLimit - std::min(nLimit, nReceived)) / double(nLimit));
    report(QStringLiteral("udp_largest_datagram"), double(nLargest));
    // 1 when every byte arrived in order and unchanged.
    report(QStringLiteral("udp_exact"), bExact && nReceived == nLimit ? 1 : 0);
    return true;
}

bool RunPtyCase(const SBenchOptions& options, const FReport& report)
{
    SRig rig;
    SRelayEnd in, out;
    if (!OpenPtyEnd(rig, &in))
        return false;
    if (!ListenTcpEnd(&rig.m_hOutListen, &out) || !rig.Start(options, in, out, "pty"))
        return false;

    CPatternStream stream;
    const double fCpu0 = rig.m_relay.CpuSeconds();
    const double fStart = NowSeconds();
    stream.Start(rig.m_hIn, rig.m_hOut, options.m_nBytes / 4, nullptr);
    stream.Join();
    const double fCpu = rig.m_relay.CpuSeconds() - fCpu0;
    if (!stream.Ok()) {
        Fail(QStringLiteral("pty: ") + stream.Error() + QLatin1Char('\n') + rig.m_relay.LogTail());
        return false;
    }
    report(QStringLiteral("pty_MBps"), double(stream.Received()) / (stream.LastByteTime() - fStart) / 1e6);
    ReportRelayFootprint(rig, QStringLiteral("pty"), fCpu, stream.Received(), report);
    return true;
}

bool RunSoakCase(const SBenchOptions& options, const FReport& report)
{
    SRig rig;
    SRelayEnd in, out;
    if (!ListenTcpEnd(&rig.m_hInListen, &in) || !ListenTcpEnd(&rig.m_hOutListen, &out)
        || !rig.Start(options, in, out, "soak"))
        return false;
    std::atomic<bool> bStop {false};
    CPatternStream forward, backward;
    const double fStart = NowSeconds();
    forward.Start(rig.m_hIn, rig.m_hOut, UINT64_MAX, &bStop);
    backward.Start(rig.m_hOut, rig.m_hIn, UINT64_MAX, &bStop);
    // Resident size once per second; the first ten seconds are the warm-up.
    long nAtTen = -1;
    long nLast = -1;
    long nMax = 0;
    for (int nSecond = 1; nSecond <= options.m_nSoakSeconds; ++nSecond) {
        while (NowSeconds() < fStart + nSecond)
            ::usleep(20000);
        nLast = rig.m_relay.RssKiB();
        nMax = std::max(nMax, nLast);
        if (nSecond == std::min(10, options.m_nSoakSeconds))
            nAtTen = nLast;
    }
    bStop.store(true);
    forward.Join();
    backward.Join();
    if (!forward.Ok() || !backward.Ok()) {
        Fail(QStringLiteral("soak: ") + forward.Error() + QLatin1Char(' ') + backward.Error());
        return false;
    }
    const double fSeconds = std::max(forward.LastByteTime(), backward.LastByteTime()) - fStart;
    report(QStringLiteral("soak_MBps"), double(forward.Received() + backward.Received()) / fSeconds / 1e6);
    report(QStringLiteral("soak_rss_10s_KiB"), double(nAtTen));
    report(QStringLiteral("soak_rss_end_KiB"), double(nLast));
    report(QStringLiteral("soak_rss_max_KiB"), double(nMax));
    report(QStringLiteral("soak_peak_rss_KiB"), double(rig.m_relay.PeakRssKiB()));
    return true;
}
