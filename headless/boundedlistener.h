#pragma once

#include "setup/addressfilter.h"

#include <QSslConfiguration>
#include <QTcpServer>

#include <list>
#include <optional>

// Bounds for the connections of a small HTTP endpoint (/metrics, and later
// a console on the same port). Qt's HTTP server module (as of Qt 6.4)
// keeps a request in memory however long it is, and a connection open for
// as long as its client likes.
struct SConnectionBounds
{
    int m_nMaxConnections = 16;
    qint64 m_nMaxRequestBytes = 32 * 1024; // a scrape's GET has a few hundred bytes
    // A connection with no request under way (new, or answered) is closed
    // when no byte comes within this.
    int m_nIdleMs = 5000;
    // A request must be answered within this of its first byte, however
    // slowly the rest of it trickles in.
    int m_nRequestMs = 5000;
};

// Accepts connections within the bounds and hands them on as pending
// connections (to QAbstractHttpServer::bind, say). When every place is
// taken, the connection idle the longest gives way to the newcomer (or,
// with none idle, the one whose request began first): a client that holds
// places without asking cannot keep others out.
class CBoundedListener : public QTcpServer
{
public:
    explicit CBoundedListener(const SConnectionBounds& bounds, QObject* pParent = nullptr);
    ~CBoundedListener() override;

    // Only clients from these addresses are taken (empty: every address);
    // others are closed at once, unanswered.
    void SetAllowed(const CAddressFilter& allowed) { m_allowed = allowed; }
    // Every connection runs TLS with this configuration; its handshake must
    // be over within the idle bound.
    void SetTls(const QSslConfiguration& configuration) { m_tls = configuration; }
    // The connection goes on as a long-lived stream of the server's (an
    // event stream): no longer counted among the connections, nor closed
    // for being idle. The server bounds streams itself.
    void Release(QTcpSocket* pSocket);

protected:
    void incomingConnection(qintptr hSocket) override;

private:
    class CWatch;
    bool MakeRoom();

    SConnectionBounds m_bounds;
    CAddressFilter m_allowed;
    std::optional<QSslConfiguration> m_tls;
    std::list<CWatch*> m_watches; // the open connections
};
