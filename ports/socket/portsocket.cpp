// A socket port's handle and its life: creation, the connect, keepalive,
// the far end closing, and closing. Reading is in socketreceive.cpp, sending
// in socketsend.cpp, the far ends (listening, a followed peer, names) in
// socketpeers.cpp.

#include "portsocket.h"

#include "portowner.h"
#include "setup/wsaerror.h"
#include "socket/boundsocket.h"
#include "socket/comportserver.h"
#include "socket/drainwatch.h"
#include "socket/hangupwatch.h"
#include "socket/hostlookup.h"
#include "socket/sharedclients.h"
#include "socket/tcplistener.h"
#include "socket/tcpoptions.h"
#include "socket/tlsnewcomers.h"
#include "stream/tlscontext.h"
#include "stream/tlshandshake.h"
#include "stream/tlssession.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <utility>

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

CPortSocket::SKeepAlive CPortSocket::s_keepAlive = CPortSocket::kDefaultKeepAlive;

CPortSocket::CPortSocket(int nSocketType, IPortOwner* pOwner, bool bInput)
    : m_pOwner(pOwner), m_nSocketType(nSocketType), m_bInput(bInput)
{
}

CPortSocket::~CPortSocket()
{
    Close();
}

bool CPortSocket::Create(const SSocketAddress* pLocal)
{
    Close();
    const SSocketAddress local = pLocal ? *pLocal : IPv4Address(htonl(INADDR_ANY), 0);
    const int hSocket = OpenBoundSocket(m_nSocketType == SocketTcp ? SOCK_STREAM : SOCK_DGRAM, local, &m_nLastError);
    if (hSocket < 0)
        return false;
    AttachHandle(hSocket);
    return true;
}

void CPortSocket::AttachHandle(int hSocket)
{
    m_hSocket = hSocket;
    if (m_nSocketType == SocketTcp)
        EnableKeepAlive();
    m_pReadNotifier = new QSocketNotifier(m_hSocket, QSocketNotifier::Read, this);
    m_pReadNotifier->setEnabled(false);
    connect(m_pReadNotifier, &QSocketNotifier::activated, this, &CPortSocket::OnReceive);
    m_pWriteNotifier = new QSocketNotifier(m_hSocket, QSocketNotifier::Write, this);
    m_pWriteNotifier->setEnabled(false);
    connect(m_pWriteNotifier, &QSocketNotifier::activated, this, &CPortSocket::OnSend);
}

void CPortSocket::EnableKeepAlive()
{
    SetTcpKeepAlive(m_hSocket, s_keepAlive.nIdleSeconds, s_keepAlive.nIntervalSeconds, s_keepAlive.nProbes);
}

void CPortSocket::OnLivenessCheck()
{
    if (IsClosed() || !IsTcpAckOverdue(m_hSocket, s_keepAlive.nAckTimeoutMs))
        return;
    LogError("Receive Error Code:", WSAETIMEDOUT);
    OnClose();
}

bool CPortSocket::Connect(const SSocketAddress& peer)
{
    SetNoDelay();
    if (::connect(m_hSocket, peer.Get(), peer.nLength) == 0) {
        if (IsConnectedToSelf()) {
            m_nLastError = WSAECONNREFUSED;
            return false;
        }
        m_bWritable = true;
        return true;
    }
    m_nLastError = WsaErrorFromErrno(errno);
    return false;
}

void CPortSocket::AwaitConnect(int nTimeoutMs, std::function<void(int nResult)> fnDone)
{
    m_fnConnected = std::move(fnDone);
    if (!m_pConnectTimer) {
        m_pConnectTimer = new QTimer(this);
        m_pConnectTimer->setSingleShot(true);
        // A coarse timer may fire up to 5 % early: a connect is given its
        // full time.
        m_pConnectTimer->setTimerType(Qt::PreciseTimer);
        connect(m_pConnectTimer, &QTimer::timeout, this, [this] { FinishConnect(-1); });
    }
    m_pConnectTimer->start(nTimeoutMs);
    m_bWritable = false;
    m_pWriteNotifier->setEnabled(true);
}

void CPortSocket::FinishConnect(int nResult)
{
    m_pConnectTimer->stop();
    if (m_pWriteNotifier)
        m_pWriteNotifier->setEnabled(false);
    if (nResult != -1) {
        // Connected means writable and no pending error.
        int nError = 0;
        socklen_t nSize = sizeof nError;
        ::getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &nSize);
        nResult = nError != 0 ? WsaErrorFromErrno(nError) : IsConnectedToSelf() ? WSAECONNREFUSED : 0;
    }
    auto fnDone = std::exchange(m_fnConnected, {});
    fnDone(nResult);
}

void CPortSocket::SetTlsContext(std::shared_ptr<CTlsContext> pContext,
                                std::function<std::shared_ptr<CTlsContext>()> fnCurrent)
{
    m_pTlsContext = std::move(pContext);
    m_fnTlsCurrent = std::move(fnCurrent);
}

QByteArray ClientSubjectSuffix(const CTlsSession* pTls)
{
    const QByteArray strSubject = pTls ? pTls->PeerSubject() : QByteArray();
    return strSubject.isEmpty() ? strSubject : ",subject:" + strSubject;
}

int CPortSocket::ClientCount() const
{
    if (!m_pListener)
        return -1;
    return m_pShared ? m_pShared->Count() : (m_hSocket >= 0 ? 1 : 0);
}

void CPortSocket::StartTls(std::shared_ptr<CTlsContext> pContext, const QByteArray& strHost,
                           std::function<void(bool bOk, const QByteArray& strWhy)> fnDone)
{
    m_pTlsContext = std::move(pContext);
    m_pHandshakeSession = std::make_unique<CTlsSession>(m_pTlsContext, m_hSocket, strHost);
    m_pHandshake = new CTlsHandshake(
        m_pHandshakeSession.get(), m_hSocket, kConnectTimeoutMs,
        [this, fnDone = std::move(fnDone)](bool bOk, const QByteArray& strWhy) {
            m_pHandshake->deleteLater();
            m_pHandshake = nullptr;
            std::unique_ptr<CTlsSession> pSession = std::move(m_pHandshakeSession);
            m_nTlsFailure = bOk ? -1 : pSession->Failure();
            if (bOk)
                m_stream.SetSession(std::move(pSession));
            fnDone(bOk, strWhy);
        },
        this);
    m_pHandshake->Start();
}

bool CPortSocket::IsConnectedToSelf()
{
    // A connection to ourselves would reflect every block back at us and keep
    // the real server from its port: it counts as refused.
    SSocketAddress local;
    SSocketAddress peer;
    local.nLength = sizeof local.storage;
    peer.nLength = sizeof peer.storage;
    if (::getsockname(m_hSocket, local.Get(), &local.nLength) != 0
        || ::getpeername(m_hSocket, peer.Get(), &peer.nLength) != 0)
        return false;
    if (local.Port() != peer.Port() || local.AddressText() != peer.AddressText())
        return false;
    // Closed with a reset, so the port is free at once (no TIME_WAIT) for
    // the server it belongs to and for the next try.
    const linger abort {1, 0};
    ::setsockopt(m_hSocket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    return true;
}

bool CPortSocket::IsClosed() const
{
    return m_hSocket < 0 && (!m_pShared || m_pShared->IsEmpty());
}

QList<SSocketAddress> CPortSocket::Clients() const
{
    if (m_pShared)
        return m_pShared->Peers();
    if ((m_pListener && m_hSocket >= 0) || (m_bFollowPeer && m_clientPeer.IsValid()))
        return {m_clientPeer};
    return {};
}

bool CPortSocket::HasPending() const
{
    return m_pShared ? m_pShared->HasPending() : !m_pending.isEmpty();
}

qint64 CPortSocket::PendingBytes() const
{
    if (m_pShared)
        return m_pShared->PendingBytes();
    qint64 nBytes = -m_nPendingOffset;
    for (const QByteArray& strHeld : m_pending)
        nBytes += strHeld.size();
    return std::max<qint64>(0, nBytes);
}

ssize_t CPortSocket::StreamSend(const char* pData, size_t nLen)
{
    const ssize_t n = m_stream.Send(m_hSocket, pData, nLen);
    m_nSessionBytes += quint64(qMax<ssize_t>(n, 0));
    if (n < 0)
        OnStreamStalled("TLS Send Error:");
    return n;
}

void CPortSocket::OnStreamStalled(const char* pszLine)
{
    // A TLS read that must wait for writability, or a send for readability.
    if (m_stream.ReadWantsWrite())
        m_pWriteNotifier->setEnabled(true);
    if (m_stream.WriteWantsRead() && m_pReadNotifier)
        m_pReadNotifier->setEnabled(true);
    const QByteArray strWhy = m_stream.TakeTlsError();
    if (!strWhy.isEmpty())
        m_pOwner->AddMessage(pszLine + strWhy);
}

bool CPortSocket::SetBroadcast()
{
    const int nOn = 1;
    return ::setsockopt(m_hSocket, SOL_SOCKET, SO_BROADCAST, &nOn, sizeof nOn) == 0;
}

void CPortSocket::LogError(const char* pszLine, int nError)
{
    m_pOwner->AddMessage(QByteArray(pszLine) + QByteArray::number(nError));
}

void CPortSocket::OnClose()
{
    const bool bHeld = HasPending();
    EndSession();
    CloseStream();
    if (m_pListener && (m_listenOptions.bGiven || IsTls()))
        m_pOwner->AddMessage(ClientKind() + " Client Disconnected" + m_clientPeer.EndpointText());
    OnFarEndGone(bHeld);
}

void CPortSocket::EndSession()
{
    if (m_pListener && !m_pShared && m_hSocket >= 0)
        m_pOwner->OnClientSessionEnded(m_bInput, m_nSessionBytes);
    m_nSessionBytes = 0;
}

void CPortSocket::CloseForStop()
{
    if (m_pShared) {
        m_pShared->CloseAll(true);
    } else if (m_pListener && m_hSocket >= 0) {
        EndSession();
        if (m_listenOptions.bGiven || IsTls())
            m_pOwner->AddMessage(ClientKind() + " Client Disconnected" + m_clientPeer.EndpointText());
    }
    Close();
}

void CPortSocket::OnFarEndGone(bool bHeld)
{
    if (m_pListener && !m_bInput) {
        // A listening Output stays up; the next client takes over.
        m_pOwner->AddMessage("Remote Output closed,wait for new client!");
        if (bHeld)
            ReleaseHeld();
        return;
    }
    // A listening Input restarts like any other, but its listening socket
    // is handed on to the next run, so the client can come back at once.
    if (m_pListener)
        m_pListener->KeepForRestart();
    if (m_bInput)
        m_pOwner->AddMessage("Remote Input closed,close ALL & ReStart!");
    else
        m_pOwner->AddMessage("Remote Output closed,close myself too!");
    m_pOwner->OnSocketClosed(this);
}

void CPortSocket::Close()
{
    DropHandshake();
    CloseStream();
}

void CPortSocket::DropHandshake()
{
    if (m_pHandshake) {
        m_pHandshake->Cancel();
        m_pHandshake->deleteLater();
        m_pHandshake = nullptr;
    }
    m_pHandshakeSession.reset();
    if (m_pNewcomers)
        m_pNewcomers->CancelAll();
}

void CPortSocket::CloseStream()
{
    // Close may run inside a notifier's own activation: disable them now and
    // let the event loop delete them.
    for (QSocketNotifier** ppNotifier : {&m_pReadNotifier, &m_pWriteNotifier}) {
        if (*ppNotifier) {
            (*ppNotifier)->setEnabled(false);
            (*ppNotifier)->deleteLater();
            *ppNotifier = nullptr;
        }
    }
    CHangUpWatch::Discard(m_pHangUpWatch);
    m_bPausedFin = false;
    if (m_pDrainWatch)
        m_pDrainWatch->Stop();
    if (m_pLivenessTimer)
        m_pLivenessTimer->stop();
    // A closed socket reports nothing more: no connect, no initial string.
    if (m_pConnectTimer)
        m_pConnectTimer->stop();
    m_fnConnected = nullptr;
    m_fnSent = nullptr;
    m_bAccepting = false;
    m_bClientFinished = false;
    if (m_pHalfCloseTimer)
        m_pHalfCloseTimer->stop();
    m_pending.clear();
    m_nPendingOffset = 0;
    m_gathered.Reset();
    m_stream.Detach();
    m_pComPort.reset();
    if (m_pShared)
        m_pShared->CloseAll();
    if (m_hSocket >= 0) {
        ::close(m_hSocket);
        m_hSocket = -1;
    }
}
