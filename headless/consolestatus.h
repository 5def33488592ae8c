#pragma once

#include <QJsonObject>
#include <QString>

#include <functional>

class CConsoleFeed;
class CGateway;
class CHeadlessHost;
class CTrelvaneDoc;
class QTimer;
struct SMetricsSnapshot;

// Where the web console reads the gateway's state from; nothing of it is
// changed. The field names of the JSON made here are documented in
// docs/headless.md and stay as they are.
struct SConsoleSources
{
    CGateway* pGateway = nullptr;
    const CTrelvaneDoc* pDoc = nullptr;
    const CHeadlessHost* pHost = nullptr;
    const QTimer* pRetryTimer = nullptr; // runs while the Input waits to be tried again
    std::function<SMetricsSnapshot()> fnSnapshot;
    CConsoleFeed* pFeed = nullptr;
    QString strSettingsName; // the settings file's name, or "command line"
};

// "input" and "output": setup string, meaning, state, step, clients,
// status text, plug-in. strSteps: the progress line each port's start
// reached.
QJsonObject PortsJson(const SConsoleSources& sources, const QString strSteps[2]);
// The counters as SIGUSR1 prints them, with the rate each way.
QJsonObject CountersJson(const SConsoleSources& sources);
// The history of the rates: one sample a second, oldest first.
QJsonObject HistoryJson(const SConsoleSources& sources);
// "last_start" and "last_failure" (null before the first).
void AddLastEvents(const SConsoleSources& sources, QJsonObject* pObject);
// One entry of the Message list: id, line, why.
QJsonObject LineJson(quint64 nId, const QString& strLine, const QString& strWhy);
// Everything /api/status answers.
QJsonObject StatusJson(const SConsoleSources& sources, const QString strSteps[2]);
