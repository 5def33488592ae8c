#include "metricsserver.h"

#include "boundedlistener.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpSocket>

CMetricsServer::CMetricsServer(FSnapshot fnSnapshot, QObject* pParent)
    : QAbstractHttpServer(pParent), m_fnSnapshot(std::move(fnSnapshot))
{
}

bool CMetricsServer::Listen(const QHostAddress& address, quint16 nPort, QString* pstrError)
{
    // A listener of our own rather than listen(), which only logs why the
    // port cannot be had, and which sets no bounds.
    auto* pServer = new CBoundedListener(SConnectionBounds(), this);
    if (!pServer->listen(address, nPort)) {
        *pstrError = pServer->errorString();
        delete pServer;
        return false;
    }
    bind(pServer);
    return true;
}

bool CMetricsServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* pSocket)
{
    if (request.method() != QHttpServerRequest::Method::Get || request.url().path() != u"/metrics")
        return false;
    makeResponder(request, pSocket)
        .write(FormatMetrics(m_fnSnapshot()), QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8"));
    return true;
}

void CMetricsServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* pSocket)
{
    makeResponder(request, pSocket).write(QHttpServerResponder::StatusCode::NotFound);
}
