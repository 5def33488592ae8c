#include "tcplistener.h"

#include "setup/wsaerror.h"
#include "socket/boundsocket.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <list>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Pending connections the system keeps while nobody accepts (restart gap).
constexpr int kBacklog = 16;
// How soon a busy port is asked again to take a waiting client, and how
// soon accepting is tried again after the system refused it.
constexpr int kRetryMs = 10;
constexpr int kErrorRetryMs = 200;

// Listening sockets kept across a restart, by setup.
struct SKept
{
    QByteArray strKey;
    int hListen;
    QTimer* pExpiry;
};
std::list<SKept>& Kept()
{
    static std::list<SKept> s_kept;
    return s_kept;
}

int TakeKept(const QByteArray& strKey)
{
    for (auto it = Kept().begin(); it != Kept().end(); ++it) {
        if (it->strKey == strKey) {
            const int hListen = it->hListen;
            delete it->pExpiry;
            Kept().erase(it);
            return hListen;
        }
    }
    return -1;
}

quint16 PortOf(int hListen)
{
    SSocketAddress local;
    local.nLength = sizeof local.storage;
    if (::getsockname(hListen, local.Get(), &local.nLength) != 0)
        return 0;
    return local.Port();
}

// A kept socket of another setup on the same port (other local address)
// would make the new bind fail: the new setup wins.
void ReleaseKeptPort(quint16 nPort)
{
    if (nPort == 0)
        return;
    for (auto it = Kept().begin(); it != Kept().end();) {
        if (PortOf(it->hListen) == nPort) {
            ::close(it->hListen);
            delete it->pExpiry;
            it = Kept().erase(it);
        } else {
            ++it;
        }
    }
}

void Keep(const QByteArray& strKey, int hListen)
{
    auto* pExpiry = new QTimer;
    pExpiry->setSingleShot(true);
    pExpiry->setTimerType(Qt::PreciseTimer);
    QObject::connect(pExpiry, &QTimer::timeout, [pExpiry] {
        for (auto it = Kept().begin(); it != Kept().end(); ++it) {
            if (it->pExpiry == pExpiry) {
                ::close(it->hListen);
                Kept().erase(it);
                break;
            }
        }
        pExpiry->deleteLater();
    });
    Kept().push_back({strKey, hListen, pExpiry});
    pExpiry->start(CTcpListener::kKeepMs);
}

} // namespace

void TurnAwayClient(int hClient, const QByteArray& strLine)
{
    // The line fits any socket's send buffer; it goes out before the FIN.
    if (!strLine.isEmpty())
        ::send(hClient, strLine.constData(), size_t(strLine.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(hClient, SHUT_WR);
    // Bytes the client already sent would make the close a reset, which may
    // overtake the line at the client: take them first.
    char buffer[512];
    for (int i = 0; i < 16 && ::recv(hClient, buffer, sizeof buffer, MSG_DONTWAIT) > 0; ++i) {
    }
    ::close(hClient);
}

CTcpListener* CTcpListener::Open(const QByteArray& strKey, const SSocketAddress& local, int* pnError)
{
    int hListen = TakeKept(strKey);
    if (hListen < 0) {
        ReleaseKeptPort(local.Port());
        hListen = OpenBoundSocket(SOCK_STREAM, local, pnError);
        if (hListen < 0)
            return nullptr;
        if (::listen(hListen, kBacklog) != 0) {
            *pnError = WsaErrorFromErrno(errno);
            ::close(hListen);
            return nullptr;
        }
    }
    return new CTcpListener(strKey, hListen);
}

CTcpListener::CTcpListener(const QByteArray& strKey, int hListen) : m_strKey(strKey), m_hListen(hListen)
{
    m_pNotifier = new QSocketNotifier(m_hListen, QSocketNotifier::Read, this);
    m_pNotifier->setEnabled(false);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CTcpListener::OnAcceptable);
}

CTcpListener::~CTcpListener()
{
    m_pNotifier->setEnabled(false);
    if (m_bKeep)
        Keep(m_strKey, m_hListen);
    else
        ::close(m_hListen);
}

void CTcpListener::Resume()
{
    if (!m_bKeep)
        m_pNotifier->setEnabled(true);
}

void CTcpListener::KeepForRestart()
{
    m_bKeep = true;
    m_pNotifier->setEnabled(false);
}

quint16 CTcpListener::LocalPort() const
{
    return PortOf(m_hListen);
}

void CTcpListener::PauseFor(int nMs)
{
    m_pNotifier->setEnabled(false);
    QTimer::singleShot(nMs, this, &CTcpListener::Resume);
}

void CTcpListener::OnAcceptable()
{
    for (;;) {
        if (m_bKeep)
            return;
        if (m_fnReady && !m_fnReady()) {
            // The client waits in the backlog until the port can take it.
            PauseFor(kRetryMs);
            return;
        }
        SSocketAddress peer;
        peer.nLength = sizeof peer.storage;
        const int hClient = ::accept4(m_hListen, peer.Get(), &peer.nLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (hClient >= 0) {
            m_fnAccept(hClient, peer);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            PauseFor(kErrorRetryMs); // out of descriptors or memory: try again later
        return;
    }
}
