#include "trafficcounters.h"

#include <QStringList>

QString FormatCounters(const STrafficCounters& c)
{
    QString strText;
    for (int d = 0; d < 2; ++d) {
        strText += QStringLiteral("%1 received=%2/%3 sent=%4/%5 held-back=%6 no-client=%7; ")
                       .arg(d == 0 ? QStringLiteral("in-->out") : QStringLiteral("out-->in"))
                       .arg(c.m_nBlocksReceived[d])
                       .arg(c.m_nBytesReceived[d])
                       .arg(c.m_nBlocksSent[d])
                       .arg(c.m_nBytesSent[d])
                       .arg(c.m_nHeldBack[d])
                       .arg(c.m_nNoClient[d]);
    }
    strText += QStringLiteral("plugin-errors=%1 restarts=%2 reconnects=%3")
                   .arg(c.m_nPluginErrors)
                   .arg(c.m_nRestarts)
                   .arg(c.m_nReconnects);
    // Only a port with an allow= list can drop datagrams for their sender;
    // the line stays as it was everywhere else.
    if (c.m_nNotAllowed > 0)
        strText += QStringLiteral(" not-allowed=%1").arg(c.m_nNotAllowed);
    quint64 nRefused[STrafficCounters::kRefusalReasons] {};
    for (int r = 0; r < STrafficCounters::kRefusalReasons; ++r)
        nRefused[r] = c.m_nRefused[0][r] + c.m_nRefused[1][r];
    if (nRefused[0] + nRefused[1] + nRefused[2] > 0) {
        strText += QStringLiteral(" refused=policy:%1/address:%2/handshake:%3")
                       .arg(nRefused[0])
                       .arg(nRefused[1])
                       .arg(nRefused[2]);
    }
    if (c.m_nClientRestarts > 0)
        strText += QStringLiteral(" client-restarts=%1").arg(c.m_nClientRestarts);
    QStringList failures;
    for (int f = 0; f < kTlsFailureKinds; ++f) {
        if (const quint64 n = c.m_nTlsFailures[0][f] + c.m_nTlsFailures[1][f])
            failures.append(QStringLiteral("%1:%2").arg(QLatin1String(TlsFailureName(f))).arg(n));
    }
    if (!failures.isEmpty())
        strText += QStringLiteral(" tls-failures=") + failures.join(u'/');
    if (const quint64 nSessions = c.m_nSessions[0] + c.m_nSessions[1])
        strText += QStringLiteral(" sessions=%1/%2").arg(nSessions).arg(c.m_nSessionBytes[0] + c.m_nSessionBytes[1]);
    QStringList clients;
    for (int p = 0; p < 2; ++p) {
        if (c.m_nClients[p] >= 0)
            clients.append(QStringLiteral("%1:%2").arg(p == 0 ? QLatin1String("input") : QLatin1String("output"))
                               .arg(c.m_nClients[p]));
    }
    if (!clients.isEmpty())
        strText += QStringLiteral(" clients=") + clients.join(u'/');
    return strText;
}
