#pragma once

#include "metricstext.h"

#include <QAbstractHttpServer>

#include <functional>

// Serves GET /metrics over HTTP with Qt's HTTP server module (request
// parsing, keep-alive and pipelining are the module's); every other method
// or path gets 404. Runs on the gateway's thread and never waits for a
// client: the text is made at the request and queued on the socket.
class CMetricsServer : public QAbstractHttpServer
{
    Q_OBJECT
public:
    using FSnapshot = std::function<SMetricsSnapshot()>;

    explicit CMetricsServer(FSnapshot fnSnapshot, QObject* pParent = nullptr);

    // False with the system's reason (the port is in use, say).
    bool Listen(const QHostAddress& address, quint16 nPort, QString* pstrError);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* pSocket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* pSocket) override;

private:
    FSnapshot m_fnSnapshot;
};
