// The device server's shape: the relay's Input is a serial line (a
// pseudo-terminal whose master end is the benchmark's), its Output a
// listening TCP port on loopback that the benchmark connects to, as
// programs on the network connect to a box serving its COM1.

#include "benchrig.h"

#include "stream/telnetcodec.h"

#include <QFileInfo>

#include <mutex>

namespace {

// The program on the network of the rfc2217 cases speaks Telnet, as an RFC
// 2217 client does: what it reads has the Telnet sequences taken out (and
// the server's negotiation answered), what it sends has 0xFF doubled. The
// socket's writes are whole and one at a time, so a reply never splits an
// escaped send.
class CTelnetPeer : private ITelnetOwner
{
public:
    explicit CTelnetPeer(int hSocket) : m_hSocket(hSocket), m_codec(*this, ETelnetRole::Client) {}

    int Socket() const { return m_hSocket; }
    // Data bytes of one read of the socket (at most kChunk), -1 at its end.
    qsizetype Read(QByteArray* pData)
    {
        char buffer[kChunk];
        const ssize_t n = ::read(m_hSocket, buffer, sizeof buffer);
        if (n <= 0)
            return n < 0 && errno == EINTR ? 0 : -1;
        pData->clear();
        m_codec.Decode(QByteArrayView(buffer, n), *pData);
        const QByteArray strReplies = m_codec.TakeOutput();
        if (!strReplies.isEmpty() && !WriteRaw(strReplies.constData(), size_t(strReplies.size())))
            return -1;
        return pData->size();
    }
    bool Write(const char* pData, size_t nLen)
    {
        QByteArray strEscaped;
        strEscaped.reserve(qsizetype(nLen + nLen / 128 + 16));
        for (size_t i = 0; i < nLen; ++i) {
            strEscaped.append(pData[i]);
            if (uchar(pData[i]) == Telnet::kIac)
                strEscaped.append(pData[i]);
        }
        return WriteRaw(strEscaped.constData(), size_t(strEscaped.size()));
    }

private:
    bool WriteRaw(const char* pData, size_t nLen)
    {
        const std::lock_guard lock(m_mutex);
        return WriteAll(m_hSocket, pData, nLen);
    }
    void OnSubnegotiation(uchar, QByteArrayView) override {}

    int m_hSocket;
    CTelnetCodec m_codec;
    std::mutex m_mutex;
};

// One direction through the Telnet peer: pattern bytes written (escaped)
// to the socket and read from the line, or written to the line and read
// (decoded) from the socket. Meanwhile the socket's other way is read too,
// for the server's negotiation and notifications.
bool TelnetOneWay(CTelnetPeer& peer, int hLine, bool bToLine, uint64_t nBytes, double* pfSeconds, QString* pstrError)
{
    std::atomic<bool> bDone {false};
    uint64_t nSent = 0;
    const double fStart = NowSeconds();
    std::thread sender([&] {
        while (nSent < nBytes && !bDone) {
            const size_t nLen = size_t(std::min<uint64_t>(kChunk, nBytes - nSent));
            if (bToLine ? !peer.Write(Pattern(nSent), nLen) : !WriteAll(hLine, Pattern(nSent), nLen))
                return;
            nSent += nLen;
        }
    });
    uint64_t nReceived = 0;
    std::vector<char> buffer(kChunk);
    QByteArray strData;
    std::thread drain;
    if (bToLine) {
        // The server's own bytes (answers, notifications) are read and answered.
        drain = std::thread([&] {
            QByteArray strIgnored;
            while (!bDone) {
                if (WaitReadable(peer.Socket(), 100) && peer.Read(&strIgnored) < 0)
                    return;
            }
        });
    }
    while (nReceived < nBytes && pstrError->isEmpty()) {
        const int hFrom = bToLine ? hLine : peer.Socket();
        if (!WaitReadable(hFrom, int(kStallSeconds * 1000))) {
            *pstrError = QStringLiteral("stalled after %1 of %2 bytes").arg(nReceived).arg(nBytes);
            break;
        }
        qsizetype n;
        const char* pGot;
        if (bToLine) {
            n = ::read(hLine, buffer.data(), buffer.size());
            pGot = buffer.data();
        } else {
            n = peer.Read(&strData);
            pGot = strData.constData();
        }
        if (n < 0) {
            *pstrError = QStringLiteral("stream closed after %1 bytes").arg(nReceived);
            break;
        }
        if (n > 0 && std::memcmp(pGot, Pattern(nReceived), size_t(n)) != 0) {
            *pstrError = QStringLiteral("bytes differ from the sent ones near offset %1").arg(nReceived);
            break;
        }
        nReceived += uint64_t(n);
    }
    *pfSeconds = NowSeconds() - fStart;
    bDone = true;
    if (!pstrError->isEmpty())
        ::shutdown(peer.Socket(), SHUT_RDWR);
    sender.join();
    if (drain.joinable())
        drain.join();
    return pstrError->isEmpty();
}

// A line relay is ready once a byte written into the line comes out of its
// TCP port: socat and ser2net give no sign of having taken their client.
// The probe bytes are read away before the measurement starts.
bool AwaitLineRelay(const SRig& rig, const QString& strCase)
{
    const char probe = 0x55;
    char sink[4096];
    bool bThrough = false;
    for (const double fEnd = NowSeconds() + kConnectTimeoutMs / 1000.0; !bThrough && NowSeconds() < fEnd;) {
        if (!WriteAll(rig.m_hIn, &probe, 1))
            break;
        bThrough = WaitReadable(rig.m_hOut, 50);
    }
    while (bThrough && WaitReadable(rig.m_hOut, 200)) {
        if (::read(rig.m_hOut, sink, sizeof sink) <= 0)
            bThrough = false;
    }
    if (!bThrough)
        Fail(strCase + QStringLiteral(": no byte came through the line\n") + rig.m_relay.LogTail());
    return bThrough;
}

bool StartLineRig(const SBenchOptions& options, SRig& rig, const QString& strCase, const QString& strInPlugin = {})
{
    SRelayEnd in, out;
    in.m_strDll = QFile::encodeName(strInPlugin);
    out.m_kind = SRelayEnd::TcpListen;
    out.m_nPort = FreeLoopbackPort();
    if (out.m_nPort <= 0 || !OpenPtyEnd(rig, &in) || !rig.Start(options, in, out, qPrintable(strCase)))
        return false;
    if (!strInPlugin.isEmpty() && !rig.m_relay.HasMapped(QFileInfo(strInPlugin).fileName())) {
        Fail(QStringLiteral("%1: the relay did not load %2\n%3").arg(strCase, strInPlugin, rig.m_relay.LogTail()));
        return false;
    }
    return AwaitLineRelay(rig, strCase);
}

// One direction through the rig: its throughput and the relay's CPU per GiB.
bool MeasureOneWay(SRig& rig, int hSend, int hReceive, uint64_t nBytes, const QString& strName,
                   const FReport& report)
{
    CPatternStream stream;
    const double fCpu0 = rig.m_relay.CpuSeconds();
    const double fStart = NowSeconds();
    stream.Start(hSend, hReceive, nBytes, nullptr);
    stream.Join();
    const double fCpu = rig.m_relay.CpuSeconds() - fCpu0;
    if (!stream.Ok()) {
        Fail(strName + QStringLiteral(": ") + stream.Error() + QLatin1Char('\n') + rig.m_relay.LogTail());
        return false;
    }
    report(strName + QStringLiteral("_MBps"), double(stream.Received()) / (stream.LastByteTime() - fStart) / 1e6);
    ReportRelayFootprint(rig, strName, fCpu, stream.Received(), report);
    return true;
}

} // namespace

bool RunLineCase(const SBenchOptions& options, const FReport& report)
{
    // Half the TCP cases' amount each way: a pseudo-terminal is slower.
    SRig rig;
    const uint64_t nBytes = options.m_nBytes / 2;
    return StartLineRig(options, rig, QStringLiteral("line"))
        && MeasureOneWay(rig, rig.m_hIn, rig.m_hOut, nBytes, QStringLiteral("line2tcp"), report)
        && MeasureOneWay(rig, rig.m_hOut, rig.m_hIn, nBytes, QStringLiteral("tcp2line"), report);
}

bool RunLinePluginCase(const SBenchOptions& options, const FReport& report)
{
    if (!IsTrelvaned(options.m_kind)) {
        std::fprintf(stderr, "trelvane-bench: lineplugin: %s has no plug-ins, skipped\n",
                     qPrintable(RelayName(options.m_kind)));
        return true;
    }
    const QFileInfo plugin(options.m_strPlugin);
    if (!plugin.exists()) {
        Fail(QStringLiteral("lineplugin: %1 not found").arg(options.m_strPlugin));
        return false;
    }
    SRig rig;
    return StartLineRig(options, rig, QStringLiteral("lineplugin"), plugin.absoluteFilePath())
        && MeasureOneWay(rig, rig.m_hIn, rig.m_hOut, options.m_nBytes / 2, QStringLiteral("lineplugin"), report);
}

bool RunLineLatencyCase(const SBenchOptions& options, const FReport& report)
{
    // As the TCP round trips: relay and peers on one CPU.
    CPinToOneCpu pin;
    SRig rig;
    if (!StartLineRig(options, rig, QStringLiteral("latline")))
        return false;
    SetNoDelay(rig.m_hOut);
    // The program on the network answers every byte of the device at once.
    const int hOut = rig.m_hOut;
    std::thread echo([hOut] {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(hOut, buffer, sizeof buffer);
            if (n <= 0 || !WriteAll(hOut, buffer, size_t(n)))
                return;
        }
    });
    const int nRounds = options.m_nRounds;
    const int nWarmup = std::max(10, nRounds / 20);
    std::vector<double> rtts;
    rtts.reserve(size_t(nRounds));
    QString strError;
    for (int i = 0; i < nWarmup + nRounds && strError.isEmpty(); ++i) {
        const char cByte = *Pattern(uint64_t(i) * 7919);
        const double fStart = NowSeconds();
        char cReply = 0;
        if (!WriteAll(rig.m_hIn, &cByte, 1))
            strError = QStringLiteral("write failed");
        else if (!WaitReadable(rig.m_hIn, int(kStallSeconds * 1000)))
            strError = QStringLiteral("no echo within %1 s").arg(kStallSeconds);
        else if (::read(rig.m_hIn, &cReply, 1) != 1 || cReply != cByte)
            strError = QStringLiteral("echo differs from the byte sent");
        if (i >= nWarmup)
            rtts.push_back((NowSeconds() - fStart) * 1e6);
    }
    ::shutdown(rig.m_hOut, SHUT_RDWR);
    echo.join();
    if (!strError.isEmpty()) {
        Fail(QStringLiteral("latline: ") + strError + QLatin1Char('\n') + rig.m_relay.LogTail());
        return false;
    }
    report(QStringLiteral("latline_p50_us"), Percentile(rtts, 0.50));
    report(QStringLiteral("latline_p99_us"), Percentile(rtts, 0.99));
    return true;
}

bool RunLineComPortCase(const SBenchOptions& options, const FReport& report)
{
    if (!IsTrelvaned(options.m_kind) && options.m_kind != ERelayKind::Ser2net) {
        std::fprintf(stderr, "trelvane-bench: line2217: %s serves no RFC 2217, skipped\n",
                     qPrintable(RelayName(options.m_kind)));
        return true;
    }
    SRig rig;
    SRelayEnd in, out;
    out.m_kind = SRelayEnd::TcpListen;
    out.m_nPort = FreeLoopbackPort();
    out.m_bRfc2217 = true;
    if (out.m_nPort <= 0 || !OpenPtyEnd(rig, &in) || !rig.Start(options, in, out, "line2217"))
        return false;
    CTelnetPeer peer(rig.m_hOut);
    // Through once a data byte written into the line comes out of the
    // Telnet stream; then what is left of the probes is read away.
    QByteArray strData;
    bool bThrough = false;
    const char probe = 0x55;
    for (const double fEnd = NowSeconds() + kConnectTimeoutMs / 1000.0; !bThrough && NowSeconds() < fEnd;) {
        if (!WriteAll(rig.m_hIn, &probe, 1))
            break;
        if (WaitReadable(rig.m_hOut, 50) && peer.Read(&strData) > 0)
            bThrough = true;
    }
    while (bThrough && WaitReadable(rig.m_hOut, 200)) {
        if (peer.Read(&strData) < 0)
            bThrough = false;
    }
    if (!bThrough) {
        Fail(QStringLiteral("line2217: no byte came through the line\n") + rig.m_relay.LogTail());
        return false;
    }
    // The pattern holds every byte value, 0xFF among them (doubled on the wire).
    const uint64_t nBytes = options.m_nBytes / 2;
    for (const bool bToLine : {false, true}) {
        const QString strName = bToLine ? QStringLiteral("rfc2217_tcp2line") : QStringLiteral("rfc2217_line2tcp");
        const double fCpu0 = rig.m_relay.CpuSeconds();
        double fSeconds = 0;
        QString strError;
        if (!TelnetOneWay(peer, rig.m_hIn, bToLine, nBytes, &fSeconds, &strError)) {
            Fail(strName + QStringLiteral(": ") + strError + QLatin1Char('\n') + rig.m_relay.LogTail());
            return false;
        }
        report(strName + QStringLiteral("_MBps"), double(nBytes) / fSeconds / 1e6);
        ReportRelayFootprint(rig, strName, rig.m_relay.CpuSeconds() - fCpu0, nBytes, report);
    }
    return true;
}
