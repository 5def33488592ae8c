#include "consoleserver.h"

#include "consoleroute.h"
#include "gateway.h"
#include "headlesshost.h"

#include <QDateTime>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QSslSocket>
#include <QTcpSocket>

#include <fcntl.h>

namespace {

using EStatus = QHttpServerResponder::StatusCode;

// What a stream's client may send after its request (nothing is expected).
constexpr qint64 kMaxStreamInput = 4096;

QByteArray Event(const char* pszName, const QJsonObject& data)
{
    return QByteArrayLiteral("event: ") + pszName + QByteArrayLiteral("\ndata: ")
         + QJsonDocument(data).toJson(QJsonDocument::Compact) + QByteArrayLiteral("\n\n");
}

QByteArray MethodName(QHttpServerRequest::Method eMethod)
{
    // Only GET is served: the others need no exact name.
    return eMethod == QHttpServerRequest::Method::Get ? QByteArrayLiteral("GET") : QByteArrayLiteral("OTHER");
}

// The page may load nothing from elsewhere, nor be framed by another site.
const QByteArray kPolicy = QByteArrayLiteral(
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
    "img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");

} // namespace

CConsoleServer::CConsoleServer(const SConsoleSources& sources, QObject* pParent)
    : QAbstractHttpServer(pParent), m_sources(sources)
{
    qRegisterMetaType<CConsoleFeed::SLine>();
    connect(m_sources.pFeed, &CConsoleFeed::lineChanged, this, &CConsoleServer::OnLine);
    m_tick.setInterval(kTickMs);
    connect(&m_tick, &QTimer::timeout, this, &CConsoleServer::OnTick);
    m_stateSoon.setSingleShot(true);
    m_stateSoon.setInterval(50);
    connect(&m_stateSoon, &QTimer::timeout, this, &CConsoleServer::SendStateIfChanged);
}

CConsoleServer::~CConsoleServer()
{
    m_sources.pFeed->SetBlocksWanted(false);
}

bool CConsoleServer::Listen(const QHostAddress& address, quint16 nPort, const SAccess& access, QString* pstrError)
{
    SConnectionBounds bounds;
    m_pListener = new CBoundedListener(bounds, this);
    m_pListener->SetAllowed(access.allowed);
    if (access.tls)
        m_pListener->SetTls(*access.tls);
    if (!m_pListener->listen(address, nPort)) {
        *pstrError = m_pListener->errorString();
        delete m_pListener;
        m_pListener = nullptr;
        return false;
    }
    bind(m_pListener);
    // The history of the rates is kept whether anyone watches or not.
    m_sources.pFeed->Sample(QDateTime::currentMSecsSinceEpoch());
    m_tick.start();
    return true;
}

bool CConsoleServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* pSocket)
{
    const QUrl url = request.url();
    QByteArray strTarget = url.path(QUrl::FullyEncoded).toLatin1();
    if (url.hasQuery())
        strTarget += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    const SConsoleRoute route = ParseConsoleRoute(MethodName(request.method()), strTarget);
    QHttpServerResponder responder = makeResponder(request, pSocket);
    switch (route.eWhat) {
    case SConsoleRoute::Page: {
        QFile page(QStringLiteral(":/console/index.html"));
        page.open(QIODevice::ReadOnly);
        responder.write(page.readAll(), {{"Content-Type", "text/html; charset=utf-8"},
                                         {"Cache-Control", "no-store"},
                                         {"Content-Security-Policy", kPolicy},
                                         {"X-Content-Type-Options", "nosniff"},
                                         {"Referrer-Policy", "no-referrer"}});
        return true;
    }
    case SConsoleRoute::Status: {
        QJsonObject status = StatusJson(m_sources, m_strSteps);
        DropClosed();
        status[QStringLiteral("event_streams")] = int(m_streams.size());
        responder.write(QJsonDocument(status).toJson(QJsonDocument::Compact),
                        {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"},
                         {"X-Content-Type-Options", "nosniff"}});
        return true;
    }
    case SConsoleRoute::Metrics:
        responder.write(FormatMetrics(m_sources.fnSnapshot()),
                        QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8"));
        return true;
    case SConsoleRoute::Events:
        if (int(m_streams.size()) >= kMaxStreams) {
            responder.write(QByteArrayLiteral("too many event streams\n"),
                            {{"Content-Type", "text/plain"}, {"Retry-After", "10"}}, EStatus::ServiceUnavailable);
            return true;
        }
        OpenStream(pSocket, route.bTraffic);
        return true;
    case SConsoleRoute::BadRequest:
        responder.write(EStatus::BadRequest);
        return true;
    case SConsoleRoute::MethodNotAllowed:
        responder.write({{"Allow", "GET"}}, EStatus::MethodNotAllowed);
        return true;
    case SConsoleRoute::NotFound:
        break;
    }
    responder.write(EStatus::NotFound);
    return true;
}

void CConsoleServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* pSocket)
{
    makeResponder(request, pSocket).write(EStatus::NotFound);
}

bool CConsoleServer::SStream::IsOpen() const
{
    if (pPlain)
        return pPlain->IsOpen();
    return pSocket && pSocket->state() == QAbstractSocket::ConnectedState;
}

void CConsoleServer::OpenStream(QTcpSocket* pSocket, bool bTraffic)
{
    // The socket is the stream's from now on: the HTTP module reads no more
    // requests from it, and the listener's request bounds no longer apply.
    QObject::disconnect(pSocket, nullptr, this, nullptr);
    m_pListener->Release(pSocket);
    const QByteArray strHeader = QByteArrayLiteral("HTTP/1.1 200 OK\r\n"
                                                   "Content-Type: text/event-stream\r\n"
                                                   "Cache-Control: no-store\r\n"
                                                   "X-Content-Type-Options: nosniff\r\n"
                                                   "\r\n"
                                                   // A browser tries again this many ms after the stream breaks.
                                                   "retry: 1000\n\n");
    SStream newStream;
    newStream.bTraffic = bTraffic;
    // A plain stream leaves Qt's socket for a descriptor that is watched
    // only while it has bytes to send (see CEventStream).
    const int hOwn = qobject_cast<QSslSocket*>(pSocket)
                         ? -1
                         : ::fcntl(int(pSocket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    if (hOwn >= 0) {
        pSocket->abort(); // closes Qt's descriptor only: the connection stays with hOwn
        newStream.pPlain = new CEventStream(hOwn, this);
        newStream.pPlain->Write(strHeader);
    } else {
        connect(pSocket, &QTcpSocket::readyRead, this, [pSocket, nRead = qint64(0)]() mutable {
            // Nothing is expected; a client that keeps sending is closed.
            nRead += pSocket->skip(pSocket->bytesAvailable());
            if (nRead > kMaxStreamInput)
                pSocket->abort();
        });
        connect(pSocket, &QTcpSocket::disconnected, this, [this] { DropClosed(); }, Qt::QueuedConnection);
        pSocket->write(strHeader);
        newStream.pSocket = pSocket;
    }
    m_streams.push_back(newStream);
    SStream& stream = m_streams.back();
    Send(stream, Event("status", StatusJson(m_sources, m_strSteps)));
    if (bTraffic) {
        UpdateBlocksWanted();
        Send(stream, Event("blocks", {{QStringLiteral("reset"), true},
                                      {QStringLiteral("text"), QString::fromLatin1(m_sources.pFeed->LatestBlocks())}}));
    }
}

void CConsoleServer::Send(SStream& stream, const QByteArray& strEvent)
{
    if (!stream.IsOpen())
        return;
    // A reader that does not keep up loses its stream, not the gateway's
    // memory; its browser connects again.
    if (stream.pPlain) {
        if (stream.pPlain->Backlog() > kMaxStreamBacklog)
            stream.pPlain->Close();
        else
            stream.pPlain->Write(strEvent);
        return;
    }
    if (stream.pSocket->bytesToWrite() > kMaxStreamBacklog) {
        stream.pSocket->abort();
        return;
    }
    stream.pSocket->write(strEvent);
}

void CConsoleServer::Broadcast(const QByteArray& strEvent, bool bTrafficOnly)
{
    for (SStream& stream : m_streams) {
        if (!bTrafficOnly || stream.bTraffic)
            Send(stream, strEvent);
    }
}

void CConsoleServer::DropClosed()
{
    std::erase_if(m_streams, [](const SStream& stream) {
        if (stream.IsOpen())
            return false;
        if (stream.pPlain)
            stream.pPlain->deleteLater();
        return true;
    });
    UpdateBlocksWanted();
}

void CConsoleServer::UpdateBlocksWanted()
{
    m_sources.pFeed->SetBlocksWanted(
        std::any_of(m_streams.cbegin(), m_streams.cend(), [](const SStream& stream) { return stream.bTraffic; }));
}

void CConsoleServer::OnLine(const CConsoleFeed::SLine& line)
{
    // The progress line a port's start has reached.
    for (int n = 0; n < 2; ++n) {
        if (m_sources.pGateway->IsOpening(n == 0) && !line.strLine.isEmpty())
            m_strSteps[n] = line.strLine.mid(9);
    }
    if (!m_streams.empty()) {
        Broadcast(Event("line", LineJson(line.nId, line.strLine, line.strWhy)));
        if (!m_stateSoon.isActive())
            m_stateSoon.start();
    }
}

QByteArray CConsoleServer::StateEvent()
{
    QJsonObject state = PortsJson(m_sources, m_strSteps);
    AddLastEvents(m_sources, &state);
    return Event("state", state);
}

void CConsoleServer::SendStateIfChanged()
{
    if (m_streams.empty())
        return;
    QByteArray strState = StateEvent();
    if (strState == m_strLastState)
        return;
    m_strLastState = std::move(strState);
    Broadcast(m_strLastState);
}

void CConsoleServer::SettingsChanged()
{
    if (m_streams.empty())
        return;
    Broadcast(Event("status", StatusJson(m_sources, m_strSteps)));
    m_strLastState.clear();
}

void CConsoleServer::OnTick()
{
    const qint64 nNow = QDateTime::currentMSecsSinceEpoch();
    m_sources.pFeed->Sample(nNow);
    if (m_streams.empty())
        return;
    DropClosed();
    Broadcast(Event("counters", CountersJson(m_sources)));
    SendStateIfChanged();
    const QByteArray blocks = m_sources.pFeed->TakeNewBlocks();
    if (!blocks.isEmpty())
        Broadcast(Event("blocks", {{QStringLiteral("reset"), false}, {QStringLiteral("text"), QString::fromLatin1(blocks)}}),
                  true);
}
