#include "boundedlistener.h"

#include <QElapsedTimer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

#include <sys/socket.h>
#include <unistd.h>

// How long a refused request's connection stays for its answer to be read.
static constexpr int kRefusedGraceMs = 1000;

// Follows one connection: whether a request is under way, since when, and
// closes it when a bound is passed. A child of the socket.
class CBoundedListener::CWatch : public QObject
{
public:
    CWatch(CBoundedListener* pListener, QTcpSocket* pSocket)
        : QObject(pSocket), m_pListener(pListener), m_pSocket(pSocket), m_bounds(pListener->m_bounds)
    {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &CWatch::Close);
        // Connected before the HTTP server's own handlers, so these run first.
        connect(pSocket, &QTcpSocket::readyRead, this, &CWatch::OnReadyRead);
        connect(pSocket, &QTcpSocket::bytesWritten, this, &CWatch::OnAnswered);
        connect(pSocket, &QTcpSocket::disconnected, this, &CWatch::Detach);
        m_since.start();
        m_timer.start(m_bounds.m_nIdleMs);
    }
    ~CWatch() override { Detach(); }

    // No longer counted by the listener (closed, or the listener is going).
    void Detach()
    {
        if (m_pListener)
            m_pListener->m_watches.remove(this);
        m_pListener = nullptr;
    }

    bool InRequest() const { return m_nPending > 0; }
    QTcpSocket* Socket() const { return m_pSocket; }
    // Milliseconds idle, or since the request began.
    qint64 Age() const { return m_since.elapsed(); }

    void Close()
    {
        Detach();
        m_timer.stop();
        m_pSocket->abort();
    }

private:
    void OnReadyRead()
    {
        if (m_nPending == 0) {
            // The first byte of a request: its deadline runs from here, and
            // later bytes do not push it back.
            m_since.start();
            m_timer.start(m_bounds.m_nRequestMs);
        }
        m_nPending += m_pSocket->bytesAvailable();
        // The module reads a request inside a transaction of the socket, so
        // the whole request stays in the read buffer until it is answered:
        // once the buffer is full no more is read. Closed after the
        // module's handler has seen the data.
        if (m_nPending >= m_bounds.m_nMaxRequestBytes)
            QMetaObject::invokeMethod(this, &CWatch::Refuse, Qt::QueuedConnection);
    }

    // A request too large to be taken is answered "400 Bad Request" and its
    // sending side shut: nothing more of it is read, and the connection is
    // cut off a moment later. (Closed with its unread bytes at once, the
    // system would reset it before the answer could be read.)
    void Refuse()
    {
        if (!m_pListener)
            return;
        Detach();
        m_pSocket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        m_pSocket->flush();
        ::shutdown(int(m_pSocket->socketDescriptor()), SHUT_WR);
        disconnect(&m_timer, nullptr, this, nullptr);
        connect(&m_timer, &QTimer::timeout, m_pSocket, &QTcpSocket::abort);
        m_timer.start(kRefusedGraceMs);
    }

    void OnAnswered()
    {
        m_nPending = 0;
        m_since.start();
        m_timer.start(m_bounds.m_nIdleMs);
    }

    CBoundedListener* m_pListener;
    QTcpSocket* m_pSocket;
    const SConnectionBounds m_bounds;
    QTimer m_timer;
    QElapsedTimer m_since;
    qint64 m_nPending = 0; // bytes received since the last answer went out
};

CBoundedListener::CBoundedListener(const SConnectionBounds& bounds, QObject* pParent)
    : QTcpServer(pParent), m_bounds(bounds)
{
}

CBoundedListener::~CBoundedListener()
{
    // The sockets, children of this listener, and their watches go after
    // this body.
    while (!m_watches.empty())
        m_watches.front()->Detach();
}

bool CBoundedListener::MakeRoom()
{
    if (int(m_watches.size()) < m_bounds.m_nMaxConnections)
        return true;
    // The longest idle first; else the request that began first.
    auto victim = m_watches.end();
    for (auto it = m_watches.begin(); it != m_watches.end(); ++it) {
        if (victim == m_watches.end() || (*it)->InRequest() < (*victim)->InRequest()
            || ((*it)->InRequest() == (*victim)->InRequest() && (*it)->Age() > (*victim)->Age()))
            victim = it;
    }
    if (victim == m_watches.end())
        return false;
    (*victim)->Close();
    return int(m_watches.size()) < m_bounds.m_nMaxConnections;
}

void CBoundedListener::Release(QTcpSocket* pSocket)
{
    const auto it = std::find_if(m_watches.begin(), m_watches.end(),
                                 [pSocket](const CWatch* pWatch) { return pWatch->Socket() == pSocket; });
    if (it != m_watches.end())
        delete *it; // leaves the list as it goes
}

void CBoundedListener::incomingConnection(qintptr hSocket)
{
    if (!m_allowed.IsEmpty()) {
        SSocketAddress peer;
        peer.nLength = sizeof(peer.storage);
        if (::getpeername(int(hSocket), peer.Get(), &peer.nLength) != 0 || !m_allowed.Allows(peer)) {
            ::close(int(hSocket));
            return;
        }
    }
    if (!MakeRoom()) {
        ::close(int(hSocket));
        return;
    }
    QTcpSocket* pSocket = nullptr;
    if (m_tls) {
        auto* pSsl = new QSslSocket(this);
        pSsl->setSslConfiguration(*m_tls);
        pSocket = pSsl;
    } else {
        pSocket = new QTcpSocket(this);
    }
    if (!pSocket->setSocketDescriptor(hSocket)) {
        ::close(int(hSocket));
        delete pSocket;
        return;
    }
    pSocket->setReadBufferSize(m_bounds.m_nMaxRequestBytes);
    m_watches.push_back(new CWatch(this, pSocket));
    if (m_tls)
        static_cast<QSslSocket*>(pSocket)->startServerEncryption();
    addPendingConnection(pSocket);
}
