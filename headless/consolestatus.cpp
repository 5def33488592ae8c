#include "consolestatus.h"

#include "consolefeed.h"
#include "gateway.h"
#include "headlesshost.h"
#include "metricstext.h"
#include "settingscheck.h"
#include "setup/setupstring.h"
#include "socket/portsocket.h"
#include "transferplugin.h"
#include "trelvanedoc.h"

#include <QDateTime>
#include <QJsonArray>
#include <QTimer>

namespace {

QJsonValue Time(qint64 nMs)
{
    return nMs > 0 ? QJsonValue(double(nMs)) : QJsonValue(QJsonValue::Null);
}

QString Text(const QByteArray& bytes)
{
    return EscapeControls(QString::fromUtf8(bytes));
}

QJsonObject PortJson(const SConsoleSources& sources, bool bInput, const QString& strStep)
{
    CGateway& gateway = *sources.pGateway;
    const QByteArray strSetup = bInput ? sources.pDoc->m_strInSetup : sources.pDoc->m_strOutSetup;
    const SSetupReport report = DescribeSetup(SetupStringText(strSetup), gateway.SerialPortMap(), SProbe());
    QJsonObject port;
    port[QStringLiteral("setup")] = Text(strSetup);
    port[QStringLiteral("meaning")] = report.m_strDescription;
    port[QStringLiteral("status")] = sources.pHost->StatusText(bInput);

    const CPortSocket* pSocket = bInput ? gateway.m_pInSocket : gateway.m_pOutSocket;
    const bool bStarted = bInput ? gateway.IsInputStarted() : gateway.m_bOutStarted;
    QString strState = QStringLiteral("stopped");
    QJsonArray clients;
    if (gateway.IsOpening(bInput)) {
        strState = QStringLiteral("starting");
        port[QStringLiteral("step")] = strStep;
    } else if (bStarted && pSocket && (pSocket->IsListening() || pSocket->IsFollowingPeer())) {
        strState = QStringLiteral("listening");
        for (const SSocketAddress& peer : pSocket->Clients()) {
            clients.append(QJsonObject {{QStringLiteral("address"), QString::fromLatin1(peer.AddressText())},
                                        {QStringLiteral("port"), int(peer.Port())}});
        }
    } else if (bStarted) {
        strState = QStringLiteral("connected");
    } else if (bInput && sources.pRetryTimer && sources.pRetryTimer->isActive()) {
        strState = QStringLiteral("retrying");
        port[QStringLiteral("retry_in_ms")] = sources.pRetryTimer->remainingTime();
    }
    port[QStringLiteral("state")] = strState;
    port[QStringLiteral("clients")] = clients;

    const QByteArray strDll = bInput ? sources.pDoc->m_strInDll : sources.pDoc->m_strOutDll;
    const CTransferPlugin* pPlugin = bInput ? gateway.InToOut().Plugin() : gateway.OutToIn().Plugin();
    QJsonObject plugin;
    plugin[QStringLiteral("direction")] = bInput ? QStringLiteral("in_to_out") : QStringLiteral("out_to_in");
    plugin[QStringLiteral("name")] = Text(strDll);
    plugin[QStringLiteral("state")] = strDll.isEmpty() ? QStringLiteral("none")
                                    : pPlugin          ? QStringLiteral("loaded")
                                                       : QStringLiteral("not loaded");
    plugin[QStringLiteral("file")] = pPlugin ? Text(pPlugin->FileName()) : QString();
    port[QStringLiteral("plugin")] = plugin;
    return port;
}

QJsonObject DirectionJson(const STrafficCounters& c, int d, double dRate)
{
    return {{QStringLiteral("received_blocks"), double(c.m_nBlocksReceived[d])},
            {QStringLiteral("received_bytes"), double(c.m_nBytesReceived[d])},
            {QStringLiteral("sent_blocks"), double(c.m_nBlocksSent[d])},
            {QStringLiteral("sent_bytes"), double(c.m_nBytesSent[d])},
            {QStringLiteral("held_back"), double(c.m_nHeldBack[d])},
            {QStringLiteral("no_client"), double(c.m_nNoClient[d])},
            {QStringLiteral("rate"), dRate}};
}

QJsonObject CheckJson(const SConsoleSources& sources)
{
    // The text alone: no device, file, name or port is probed (the
    // gateway's own listening ports are taken), and no file name of the
    // profile's [TLS] is mentioned.
    const SCheckReport report = CheckSettings(sources.pDoc->GetFields(), sources.pGateway->SerialPortMap(), false);
    QJsonArray lines, problems;
    for (const QString& strLine : report.m_listLines)
        lines.append(EscapeControls(strLine));
    for (const SCheckProblem& problem : report.m_listProblems) {
        problems.append(QJsonObject {
            {QStringLiteral("severity"), problem.m_bStops ? QStringLiteral("error") : QStringLiteral("warning")},
            {QStringLiteral("text"), EscapeControls(problem.m_strText)}});
    }
    return {{QStringLiteral("lines"), lines}, {QStringLiteral("problems"), problems}};
}

} // namespace

QJsonObject PortsJson(const SConsoleSources& sources, const QString strSteps[2])
{
    return {{QStringLiteral("input"), PortJson(sources, true, strSteps[0])},
            {QStringLiteral("output"), PortJson(sources, false, strSteps[1])}};
}

QJsonObject CountersJson(const SConsoleSources& sources)
{
    const STrafficCounters& c = sources.pGateway->Observer().Counters();
    return {{QStringLiteral("in_to_out"), DirectionJson(c, 0, sources.pFeed->Rate(0))},
            {QStringLiteral("out_to_in"), DirectionJson(c, 1, sources.pFeed->Rate(1))},
            {QStringLiteral("plugin_errors"), double(c.m_nPluginErrors)},
            {QStringLiteral("restarts"), double(c.m_nRestarts)},
            {QStringLiteral("reconnects"), double(c.m_nReconnects)},
            {QStringLiteral("not_allowed"), double(c.m_nNotAllowed)},
            {QStringLiteral("time"), double(QDateTime::currentMSecsSinceEpoch())}};
}

QJsonObject HistoryJson(const SConsoleSources& sources)
{
    QJsonArray times, rates[2];
    const auto& history = sources.pFeed->History();
    for (size_t i = 1; i < history.size(); ++i) {
        const qint64 nSpan = history[i].nTimeMs - history[i - 1].nTimeMs;
        times.append(double(history[i].nTimeMs));
        for (int d = 0; d < 2; ++d) {
            const quint64 nBytes = history[i].nBytes[d] - history[i - 1].nBytes[d];
            rates[d].append(nSpan > 0 ? double(nBytes) * 1000.0 / double(nSpan) : 0.0);
        }
    }
    return {{QStringLiteral("time"), times},
            {QStringLiteral("in_to_out"), rates[0]},
            {QStringLiteral("out_to_in"), rates[1]}};
}

void AddLastEvents(const SConsoleSources& sources, QJsonObject* pObject)
{
    const SMetricsSnapshot snapshot = sources.fnSnapshot();
    (*pObject)[QStringLiteral("last_start")] = Time(snapshot.m_nLastStartMs);
    const CConsoleFeed::SFailure& failure = sources.pFeed->LastFailure();
    (*pObject)[QStringLiteral("last_failure")] =
        failure.nTimeMs == 0 ? QJsonValue(QJsonValue::Null)
                             : QJsonValue(QJsonObject {{QStringLiteral("time"), double(failure.nTimeMs)},
                                                       {QStringLiteral("text"), EscapeControls(failure.strText)},
                                                       {QStringLiteral("form"), snapshot.m_strLastFailure},
                                                       {QStringLiteral("why"), EscapeControls(failure.strWhy)}});
}

QJsonObject LineJson(quint64 nId, const QString& strLine, const QString& strWhy)
{
    return {{QStringLiteral("id"), double(nId)},
            {QStringLiteral("line"), EscapeControls(strLine)},
            {QStringLiteral("why"), EscapeControls(strWhy)}};
}

QJsonObject StatusJson(const SConsoleSources& sources, const QString strSteps[2])
{
    QJsonObject status = PortsJson(sources, strSteps);
    status[QStringLiteral("version")] = QStringLiteral(TRELVANE_VERSION);
    status[QStringLiteral("settings")] = sources.strSettingsName;
    status[QStringLiteral("counters")] = CountersJson(sources);
    status[QStringLiteral("history")] = HistoryJson(sources);
    AddLastEvents(sources, &status);
    status[QStringLiteral("check")] = CheckJson(sources);
    QJsonArray messages;
    for (const CConsoleFeed::SLine& line : sources.pFeed->Lines())
        messages.append(LineJson(line.nId, line.strLine, line.strWhy));
    status[QStringLiteral("messages")] = messages;
    return status;
}
