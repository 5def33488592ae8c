#pragma once

#include "stream/tlssession.h"

#include <QString>
#include <QtGlobal>

// What has passed through the gateway since the program started. Index 0
// is IN-->OUT (blocks read on the Input), 1 is OUT-->IN.
struct STrafficCounters
{
    quint64 m_nBlocksReceived[2] {};
    quint64 m_nBytesReceived[2] {};
    // Sends handed to the other port (a plug-in's -1 pass sends again). A
    // block dropped for lack of a client counts under m_nNoClient only.
    quint64 m_nBlocksSent[2] {};
    quint64 m_nBytesSent[2] {};
    // Blocks dropped as the response to an initial string (the two
    // "Don't Send Response" options), and for lack of a listening client.
    quint64 m_nHeldBack[2] {};
    quint64 m_nNoClient[2] {};
    // Datagrams dropped because their sender is not in the port's allow=
    // list (both ports together).
    quint64 m_nNotAllowed = 0;
    // Clients a listening TCP or TLS port turned away, by port (0 the Input,
    // 1 the Output) and reason (kRefusalReasons: the port in use under its
    // clients= policy, an address not in allow=, a TLS handshake that failed
    // or had no place).
    static constexpr int kRefusalReasons = 3;
    quint64 m_nRefused[2][kRefusalReasons] {};
    // Error results of DllInit, DllTransfer, DllAfterSend and DllQuit.
    quint64 m_nPluginErrors = 0;
    // Restarts after the Input's far end closed or its carrier dropped
    // (failures), and apart from them restarts because the last client of a
    // listening Input left.
    quint64 m_nRestarts = 0;
    quint64 m_nClientRestarts = 0;
    // TLS handshakes that failed, by port and ETlsFailure.
    quint64 m_nTlsFailures[2][kTlsFailureKinds] {};
    // Client sessions of listening ports that have ended, by port: how many,
    // their bytes (read and sent) in all, and how many had at most
    // kSessionBucketBytes[b] bytes.
    static constexpr int kSessionBuckets = 6;
    static constexpr quint64 kSessionBucketBytes[kSessionBuckets] = {1024, 16384, 262144, 4194304, 67108864,
                                                                     1073741824};
    quint64 m_nSessions[2] {};
    quint64 m_nSessionBytes[2] {};
    quint64 m_nSessionBuckets[2][kSessionBuckets] {};
    // Not a count: the clients of each listening port when the counters were
    // taken (-1: the port does not listen).
    int m_nClients[2] {-1, -1};
    // Output starts after the Output's far end closed or its line went away.
    quint64 m_nReconnects = 0;
};

// One line: "in-->out received=BLOCKS/BYTES sent=BLOCKS/BYTES held-back=N
// no-client=N; out-->in ...; plugin-errors=N restarts=N reconnects=N", then
// " not-allowed=N" once a datagram has been dropped for its sender, and
// " refused=policy:N/address:N/handshake:N" (both ports) once a listening
// port has turned a client away, " client-restarts=N" once the last client
// of a listening Input has left, " tls-failures=REASON:N/..." (reasons with
// failures) once a TLS handshake has failed, " sessions=N/BYTES" once a
// client session has ended, and " clients=input:N/output:N" (listening
// ports only) while a port listens.
QString FormatCounters(const STrafficCounters& counters);
