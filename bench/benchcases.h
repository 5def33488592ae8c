#pragma once

#include "benchrelay.h"

#include <QString>
#include <cstdint>
#include <functional>

struct SBenchOptions
{
    ERelayKind m_kind = ERelayKind::SocatB512;
    QString m_strTrelvaned;       // path of trelvaned
    QString m_strPlugin;          // the copying plug-in of the "plugin" case
    QString m_strWorkDir;         // scratch folder for settings, profile, logs
    uint64_t m_nBytes = 128u << 20; // per direction in the TCP throughput cases
    int m_nRounds = 10000;        // round trips per latency case
    int m_nSoakSeconds = 60;
};

// Receives one measured value: metric name (e.g. "in2out_MBps") and value.
using FReport = std::function<void(const QString& strMetric, double fValue)>;

// The cases; each starts its own relay process and reports its metrics.
// False (with a message on stderr) when the case could not be measured or
// the relayed bytes were not exactly the bytes sent.
bool RunThroughputCase(const SBenchOptions& options, bool bInToOut, bool bOutToIn, const FReport& report);
// Both ways at once with the relay's Input listening (trelvaned
// "TCP:port@127.0.0.1", socat TCP-LISTEN) and the benchmark as its client.
bool RunListenCase(const SBenchOptions& options, const FReport& report);
// Both ways at once with the relay's Input listening with TLS (trelvaned
// "TLS:port@127.0.0.1", socat OPENSSL-LISTEN) and the benchmark as its
// client through a socat TLS client, with test certificates made by the
// openssl command.
bool RunTlsCase(const SBenchOptions& options, const FReport& report);
// Both ways at once (at least 1 GiB each way) with trelvaned's web console
// on, unwatched and then watched by 50 event streams and a scrape every
// 100 ms: the change of the throughput (percent) and of the peak resident
// set (KiB).
bool RunConsoleCase(const SBenchOptions& options, const FReport& report);
// Input->Output through a copying IN-->OUT plug-in; trelvaned only.
bool RunPluginCase(const SBenchOptions& options, const FReport& report);
bool RunLatencyCase(const SBenchOptions& options, int nMessageSize, const FReport& report);
bool RunUdpCase(const SBenchOptions& options, const FReport& report);
bool RunPtyCase(const SBenchOptions& options, const FReport& report);
// The device server's shape: a pseudo-terminal as the Input line, a
// listening TCP Output the benchmark connects to. "line": throughput and
// CPU line -> TCP, then TCP -> line; "lineplugin": line -> TCP through the
// copying plug-in (trelvaned only); "latline": 1-byte round trips from the
// line to a program on the network that answers at once.
bool RunLineCase(const SBenchOptions& options, const FReport& report);
bool RunLinePluginCase(const SBenchOptions& options, const FReport& report);
bool RunLineLatencyCase(const SBenchOptions& options, const FReport& report);
// The same shape with the listening port serving RFC 2217 (trelvaned
// "TCP:port@127.0.0.1;rfc2217", ser2net "telnet(rfc2217),tcp,..."): the
// benchmark speaks Telnet; the pattern's 0xFF bytes are doubled on the wire.
bool RunLineComPortCase(const SBenchOptions& options, const FReport& report);
bool RunSoakCase(const SBenchOptions& options, const FReport& report);
