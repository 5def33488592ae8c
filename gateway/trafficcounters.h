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
    // Error results of DllInit, DllTransfer, DllAfterSend and DllQuit.
    quint64 m_nPluginErrors = 0;
    // Restarts after the Input's far end closed or its carrier dropped.
    quint64 m_nRestarts = 0;
    // Output starts after the Output's far end closed or its line went away.
    quint64 m_nReconnects = 0;
};

// One line: "in-->out received=BLOCKS/BYTES sent=BLOCKS/BYTES held-back=N
// no-client=N; out-->in ...; plugin-errors=N restarts=N reconnects=N", then
// " not-allowed=N" once a datagram has been dropped for its sender.
QString FormatCounters(const STrafficCounters& counters);
