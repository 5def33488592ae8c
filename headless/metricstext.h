#pragma once

#include "trafficcounters.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// What trelvaned serves at /metrics, taken at the moment of the request.
struct SMetricsSnapshot
{
    STrafficCounters m_counters;
    bool m_bInputStarted = false;
    bool m_bOutputStarted = false;
    // Milliseconds since the epoch; 0: not yet.
    qint64 m_nLastStartMs = 0;
    qint64 m_nLastFailureMs = 0;
    QString m_strLastFailure; // as FailureForm() gives it
    // TLS files of the started ports: notAfter in seconds since the epoch
    // by port (0 Input, 1 Output) and file (0 Certificate=, 1 CA=); 0: none.
    qint64 m_nTlsExpiry[2][2] {};
};

// The snapshot in the Prometheus text exposition format (version 0.0.4):
// HELP and TYPE lines, then the samples, names beginning with "trelvane_".
QByteArray FormatMetrics(const SMetricsSnapshot& snapshot);

// The label a Message list line (without its time stamp) or a message box
// gives the last failure: its fixed text, with numbers, reasons, ports and
// addresses as %d and %s ("TCP Connect Error:%d,port:%d,addr:%s"), so that
// the label takes a bounded set of values; "other" for a failure line of
// another kind. Empty when the text reports no failure: progress ("Connect
// TCP...", "Done!") or a client that comes or leaves ("TCP Client
// Disconnected,...", "Remote Output closed,wait for new client!").
QString FailureForm(const QString& strText);

// --metrics: "PORT" (loopback), "ADDRESS:PORT" or "[IPv6]:PORT"; the address
// is a numeric literal. False with the reason.
// strOption names the option in the reason.
bool ParseMetricsAddress(const QString& strValue, QHostAddress* pAddress, quint16* pnPort, QString* pstrError,
                         const QString& strOption = QStringLiteral("--metrics"));
