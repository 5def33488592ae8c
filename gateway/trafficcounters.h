#pragma once

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
    // Restarts after the Input's far end closed or its carrier dropped.
    quint64 m_nRestarts = 0;
    // Output starts after the Output's far end closed or its line went away.
    quint64 m_nReconnects = 0;
};

// One line: "in-->out received=BLOCKS/BYTES sent=BLOCKS/BYTES held-back=N
// no-client=N; out-->in ...; plugin-errors=N restarts=N reconnects=N", then
// " not-allowed=N" once a datagram has been dropped for its sender, and
// " refused=policy:N/address:N/handshake:N" (both ports) once a listening
// port has turned a client away.
QString FormatCounters(const STrafficCounters& counters);
