// The report's measures and targets.

#include "benchtargets.h"

namespace BenchTargets {

const QString kTrelvaned = QStringLiteral("trelvaned");
const QString kBaseline = QStringLiteral("baseline");
const QString kSocat = QStringLiteral("socat-b512");
const QString kSocat8k = QStringLiteral("socat-8k");
const QString kSer2net = QStringLiteral("ser2net");

namespace {

const SMetric kMetrics[] = {
    {"in2out_MBps", "TCP->TCP throughput, Input->Output", "MB/s", ETarget::AtLeast, 2.0},
    {"out2in_MBps", "TCP->TCP throughput, Output->Input", "MB/s", ETarget::AtLeast, 2.0},
    {"both_MBps", "TCP->TCP throughput, both ways at once (sum)", "MB/s", ETarget::AtLeast, 2.0},
    {"listen_MBps", "TCP->TCP both ways, listening Input (socat TCP-LISTEN)", "MB/s", ETarget::AtLeast, 2.0},
    {"listen_cpu_s_per_GiB", "relay CPU per GiB, listening Input", "s/GiB", ETarget::AtMost, 0.5},
    // Beside socat OPENSSL-LISTEN, without a target of its own.
    {"tls_MBps", "TLS->TCP both ways, listening TLS Input (socat OPENSSL-LISTEN)", "MB/s", ETarget::None, 0},
    {"tls_cpu_s_per_GiB", "relay CPU per GiB, listening TLS Input", "s/GiB", ETarget::None, 0},
    {"in2out_cpu_s_per_GiB", "relay CPU per GiB, Input->Output", "s/GiB", ETarget::AtMost, 0.5},
    {"out2in_cpu_s_per_GiB", "relay CPU per GiB, Output->Input", "s/GiB", ETarget::AtMost, 0.5},
    {"both_cpu_s_per_GiB", "relay CPU per GiB, both ways", "s/GiB", ETarget::AtMost, 0.5},
    {"lat1_p50_us", "round trip, 1-byte message, p50", "µs", ETarget::AtMost, 1.0},
    {"lat1_p99_us", "round trip, 1-byte message, p99", "µs", ETarget::AtMost, 1.2},
    {"lat512_p50_us", "round trip, 512-byte message, p50", "µs", ETarget::AtMost, 1.0},
    {"lat512_p99_us", "round trip, 512-byte message, p99", "µs", ETarget::AtMost, 1.2},
    {"lat1500_p50_us", "round trip, 1500-byte message (3 blocks), p50", "µs", ETarget::None, 0},
    {"lat1500_p99_us", "round trip, 1500-byte message (3 blocks), p99", "µs", ETarget::None, 0},
    {"udp_MBps", "TCP->UDP Output throughput", "MB/s", ETarget::AtLeast, 1.5},
    {"udp_dgps", "TCP->UDP Output datagrams", "1/s", ETarget::None, 0},
    {"udp_loss_pct", "TCP->UDP Output loss", "%", ETarget::None, 0},
    {"udp_largest_datagram", "largest UDP datagram", "bytes", ETarget::None, 0},
    {"pty_MBps", "pty Input -> TCP throughput", "MB/s", ETarget::AtLeast, 1.5},
    {"pty_cpu_s_per_GiB", "relay CPU per GiB, pty Input", "s/GiB", ETarget::None, 0},
    // The device server's shape: a line (pty) Input, a listening TCP Output.
    {"line2tcp_MBps", "line -> TCP, pty Input to a listening TCP Output", "MB/s", ETarget::None, 0},
    {"tcp2line_MBps", "TCP -> line, listening TCP Output to a pty Input", "MB/s", ETarget::None, 0},
    {"line2tcp_cpu_s_per_GiB", "relay CPU per GiB, line -> TCP", "s/GiB", ETarget::None, 0},
    {"tcp2line_cpu_s_per_GiB", "relay CPU per GiB, TCP -> line", "s/GiB", ETarget::None, 0},
    {"latline_p50_us", "round trip line -> TCP -> line, 1 byte, p50", "µs", ETarget::None, 0},
    {"latline_p99_us", "round trip line -> TCP -> line, 1 byte, p99", "µs", ETarget::None, 0},
    {"rfc2217_line2tcp_MBps", "line -> TCP, listening port with rfc2217 (ser2net telnet(rfc2217))", "MB/s",
     ETarget::None, 0},
    {"rfc2217_tcp2line_MBps", "TCP -> line, listening port with rfc2217", "MB/s", ETarget::None, 0},
    {"rfc2217_line2tcp_cpu_s_per_GiB", "relay CPU per GiB, line -> TCP with rfc2217", "s/GiB", ETarget::None, 0},
    {"rfc2217_tcp2line_cpu_s_per_GiB", "relay CPU per GiB, TCP -> line with rfc2217", "s/GiB", ETarget::None, 0},
    {"lineplugin_MBps", "line -> TCP through a copying plug-in", "MB/s", ETarget::None, 0, "line2tcp_MBps"},
    {"lineplugin_cpu_s_per_GiB", "relay CPU per GiB, line -> TCP through a copying plug-in", "s/GiB",
     ETarget::None, 0, "line2tcp_cpu_s_per_GiB"},
    // socat has no plug-ins: compared with its plain Input->Output figures.
    {"plugin_MBps", "TCP->TCP Input->Output through a copying plug-in", "MB/s", ETarget::AtLeast, 1.0,
     "in2out_MBps"},
    {"plugin_cpu_s_per_GiB", "relay CPU per GiB, through a copying plug-in", "s/GiB", ETarget::None, 0,
     "in2out_cpu_s_per_GiB"},
    {"peak_rss_KiB", "relay peak resident memory (VmHWM)", "KiB", ETarget::None, 0},
    {"tls_peak_rss_KiB", "relay peak resident memory (VmHWM), TLS case", "KiB", ETarget::None, 0},
    {"console_throughput_change_pct", "both ways with the web console watched (50 event streams, a scrape every "
     "100 ms): throughput change", "%", ETarget::None, 0},
    {"console_peak_rss_change_KiB", "the same: peak resident memory change", "KiB", ETarget::None, 0},
    {"soak_MBps", "soak, both ways (sum)", "MB/s", ETarget::None, 0},
    {"soak_rss_10s_KiB", "soak, resident memory at 10 s", "KiB", ETarget::None, 0},
    {"soak_rss_end_KiB", "soak, resident memory at the end", "KiB", ETarget::None, 0},
    {"soak_rss_max_KiB", "soak, largest resident memory", "KiB", ETarget::None, 0},
};

const SPeerTarget kPeerTargets[] = {
    {kSocat8k, "in2out_MBps", ETarget::AtLeast, 1.0},
    {kSocat8k, "out2in_MBps", ETarget::AtLeast, 1.0},
    {kSocat8k, "both_MBps", ETarget::AtLeast, 1.0},
    {kSocat8k, "in2out_cpu_s_per_GiB", ETarget::AtMost, 1.0},
    {kSocat8k, "out2in_cpu_s_per_GiB", ETarget::AtMost, 1.0},
    {kSocat8k, "both_cpu_s_per_GiB", ETarget::AtMost, 1.0},
    // Each block with a plug-in goes to the system on its own (one send per
    // block): no worse than the build before blocks were gathered.
    {kBaseline, "plugin_MBps", ETarget::AtLeast, 1.0},
    // The serial line: ahead of socat with its 8 KiB buffer, cheaper, and
    // no slower a round trip; ser2net behind on every figure; a plug-in on
    // the line no slower than before.
    {kSocat8k, "line2tcp_MBps", ETarget::AtLeast, 1.2},
    {kSocat8k, "tcp2line_MBps", ETarget::AtLeast, 1.2},
    {kSocat8k, "line2tcp_cpu_s_per_GiB", ETarget::AtMost, 0.8},
    {kSocat8k, "tcp2line_cpu_s_per_GiB", ETarget::AtMost, 0.8},
    {kSocat8k, "latline_p50_us", ETarget::AtMost, 1.0},
    {kSer2net, "line2tcp_MBps", ETarget::AtLeast, 1.0},
    {kSer2net, "tcp2line_MBps", ETarget::AtLeast, 1.0},
    {kSer2net, "line2tcp_cpu_s_per_GiB", ETarget::AtMost, 1.0},
    {kSer2net, "tcp2line_cpu_s_per_GiB", ETarget::AtMost, 1.0},
    {kSer2net, "latline_p50_us", ETarget::AtMost, 1.0},
    {kSer2net, "latline_p99_us", ETarget::AtMost, 1.0},
    {kBaseline, "lineplugin_MBps", ETarget::AtLeast, 1.0},
    {kBaseline, "udp_dgps", ETarget::AtLeast, 2.0},
    {kBaseline, "lat1_p50_us", ETarget::AtMost, 1.0},
    {kBaseline, "lat1_p99_us", ETarget::AtMost, 1.0},
    {kBaseline, "lat512_p50_us", ETarget::AtMost, 1.0},
    {kBaseline, "lat512_p99_us", ETarget::AtMost, 1.0},
};

const SPeer kPeers[] = {
    {kSocat, "socat -b 512", true},
    {kSocat8k, "socat 8 KiB", true},
    {kBaseline, "baseline", false},
    {kSer2net, "ser2net 64 KiB", true},
};

} // namespace

std::span<const SMetric> Metrics()
{
    return kMetrics;
}

std::span<const SPeer> Peers()
{
    return kPeers;
}

bool IsRoundTrip(const SMetric& metric)
{
    return QLatin1String(metric.m_pszKey).startsWith(QLatin1String("lat"));
}

SPeerTarget TargetOf(const SPeer& peer, const SMetric& metric)
{
    if (&peer == &kPeers[0])
        return {peer.m_strRelay, metric.m_pszKey, metric.m_target, metric.m_fRatio};
    for (const SPeerTarget& target : kPeerTargets) {
        if (&target.m_strRelay == &peer.m_strRelay && qstrcmp(target.m_pszKey, metric.m_pszKey) == 0)
            return target;
    }
    return {peer.m_strRelay, metric.m_pszKey, ETarget::None, 0};
}

} // namespace BenchTargets
