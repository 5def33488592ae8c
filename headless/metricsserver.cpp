#include "metricsserver.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

#include <unistd.h>

namespace {

// Bounds the HTTP module (as of Qt 6.4) does not set: it keeps a request's
// headers and body in memory however long they are, and keeps every
// connection open for as long as its client likes.
constexpr qint64 kMaxRequestBytes = 32 * 1024; // a scrape's GET has a few hundred bytes
constexpr int kMaxConnections = 16;
constexpr int kIdleMs = 60000;

// Hands the HTTP server its connections within those bounds: a connection
// past one of them is closed without an answer.
class CMetricsListener : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr hSocket) override
    {
        if (m_nOpen >= kMaxConnections) {
            ::close(int(hSocket));
            return;
        }
        auto* pSocket = new QTcpSocket(this);
        if (!pSocket->setSocketDescriptor(hSocket)) {
            ::close(int(hSocket));
            delete pSocket;
            return;
        }
        ++m_nOpen;
        connect(pSocket, &QObject::destroyed, this, [this] { --m_nOpen; });
        // The module reads a request inside a transaction of the socket, so
        // the whole request stays in this buffer until it is answered: once
        // the buffer is full no more is read, and the connection is closed.
        pSocket->setReadBufferSize(kMaxRequestBytes);
        auto* pIdle = new QTimer(pSocket);
        pIdle->setSingleShot(true);
        connect(pIdle, &QTimer::timeout, pSocket, &QTcpSocket::abort);
        pIdle->start(kIdleMs);
        // Bytes received since the last answer went out. Connected before
        // the HTTP server's own handler, so it runs first.
        auto pnPending = std::make_shared<qint64>(0);
        connect(pSocket, &QTcpSocket::readyRead, this, [pSocket, pIdle, pnPending] {
            pIdle->start(kIdleMs);
            *pnPending += pSocket->bytesAvailable();
            // After the module's handler has seen the data, which reads
            // from the socket as long as it is open.
            if (*pnPending >= kMaxRequestBytes)
                QMetaObject::invokeMethod(pSocket, &QTcpSocket::abort, Qt::QueuedConnection);
        });
        connect(pSocket, &QTcpSocket::bytesWritten, this, [pIdle, pnPending] {
            *pnPending = 0;
            pIdle->start(kIdleMs);
        });
        addPendingConnection(pSocket);
    }

private:
    int m_nOpen = 0;
};

} // namespace

CMetricsServer::CMetricsServer(FSnapshot fnSnapshot, QObject* pParent)
    : QAbstractHttpServer(pParent), m_fnSnapshot(std::move(fnSnapshot))
{
}

bool CMetricsServer::Listen(const QHostAddress& address, quint16 nPort, QString* pstrError)
{
    // A listener of our own rather than listen(), which only logs why the
    // port cannot be had, and which sets no bounds.
    auto* pServer = new CMetricsListener(this);
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
