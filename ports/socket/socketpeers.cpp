// The far ends of a socket port: clients of a listening TCP port, the peer
// a UDP port on a fixed local port follows, and destinations given by name.

#include "socket/portsocket.h"

#include "portowner.h"
#include "socket/comportserver.h"
#include "socket/hostlookup.h"
#include "socket/sharedclients.h"
#include "socket/tcplistener.h"
#include "socket/tcpoptions.h"
#include "socket/tlsnewcomers.h"
#include "stream/tlssession.h"

#include <QSocketNotifier>
#include <QTimer>

#include <utility>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Whether a datagram from this address came from the socket hSocket itself:
// same port, and the socket's own address, or any address of this machine
// when the socket is bound to every interface.
bool IsOwnAddress(int hSocket, const SSocketAddress& from)
{
    SSocketAddress local;
    local.nLength = sizeof local.storage;
    if (::getsockname(hSocket, local.Get(), &local.nLength) != 0 || local.Port() != from.Port())
        return false;
    const QByteArray strLocal = local.AddressText();
    if (strLocal != "0.0.0.0" && strLocal != "::")
        return strLocal == from.AddressText();
    // Bound to every interface: the address is ours when a socket can bind it.
    SSocketAddress probe = from;
    probe.SetPort(0);
    const int hProbe = ::socket(probe.Family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (hProbe < 0)
        return false;
    const bool bOwn = ::bind(hProbe, probe.Get(), probe.nLength) == 0;
    ::close(hProbe);
    return bOwn;
}

} // namespace

void CPortSocket::SetNoDelay()
{
    SetTcpNoDelay(m_hSocket);
}

void CPortSocket::Listen(CTcpListener* pListener, const QByteArray& strInitial)
{
    m_pListener = pListener;
    pListener->setParent(this);
    m_strClientInitial = strInitial;
    if (m_listenOptions.eClients == SListenOptions::Share && !m_pShared) {
        // The clients' own bookkeeping; the port's lines when the last
        // one has gone are those of a single client's leaving. Bytes held
        // for it are released by the clients themselves.
        m_pShared = new CSharedClients(this, m_pOwner, strInitial, [this] { OnFarEndGone(false); });
    }
    // A client is taken only while no initial string is being sent, fewer
    // than kMaxHandshakes TLS handshakes run and no stop is under way (a
    // client taken now would be closed by it; waiting, it goes to the next
    // run). Bytes held for a stuck client do not hold a new one back: they
    // go with the old connection.
    pListener->SetAccept(
        [this] {
            return !m_bAccepting
                && !(m_pNewcomers && m_pNewcomers->Count() >= kMaxHandshakes && !m_pNewcomers->HasSilent())
                && !m_pOwner->IsStopping();
        },
        [this](int hClient, const SSocketAddress& peer) { AcceptClient(hClient, peer); });
}

QByteArray CPortSocket::ClientKind() const
{
    return IsTls() ? QByteArrayLiteral("TLS") : QByteArrayLiteral("TCP");
}

bool CPortSocket::AdmitClient(int hClient, const SSocketAddress& peer)
{
    if (!m_listenOptions.allow.Allows(peer)) {
        // Nothing at all is sent to an address that is not allowed.
        RefuseClient(hClient, peer, CRefusalLog::Address, "not allowed");
        return false;
    }
    if (IsFull()) {
        RefuseInUse(hClient, peer);
        return false;
    }
    return true;
}

bool CPortSocket::IsFull() const
{
    return m_pShared ? m_pShared->Count() >= m_listenOptions.nShared
                     : m_listenOptions.eClients == SListenOptions::Refuse && !IsClosed();
}

void CPortSocket::RefuseInUse(int hClient, const SSocketAddress& peer)
{
    // A TLS client expects a handshake: a plain line would only read as
    // a protocol error there, so it is just closed.
    RefuseClient(hClient, peer, CRefusalLog::Policy, "port in use", QByteArrayLiteral("Port in use\r\n"));
}

void CPortSocket::RefuseClient(int hClient, const SSocketAddress& peer, CRefusalLog::EReason eReason,
                               const QByteArray& strWhat, const QByteArray& strSend)
{
    m_pOwner->OnClientRefused(m_bInput, eReason);
    if (!m_pRefusals)
        m_pRefusals = new CRefusalLog([this](const QByteArray& strLine) { m_pOwner->AddMessage(strLine); }, this);
    m_pRefusals->Refused(eReason, ClientKind(), ClientKind() + " Client Refused," + strWhat + peer.EndpointText());
    TurnAwayClient(hClient, IsTls() ? QByteArray() : strSend);
}

bool CPortSocket::AllowSender(const SSocketAddress& from, int nLen)
{
    if (m_listenOptions.allow.Allows(from))
        return true;
    m_pOwner->OnNotAllowedDrop(m_bInput, nLen);
    // One line per run: a flood of forged senders must not flood the list.
    if (!m_bNotAllowedLogged) {
        m_bNotAllowedLogged = true;
        m_pOwner->AddMessage("UDP Sender Refused,not allowed,datagrams dropped" + from.EndpointText());
    }
    return false;
}

void CPortSocket::AcceptClient(int hClient, const SSocketAddress& peer)
{
    if (!AdmitClient(hClient, peer))
        return;
    if (!m_pTlsContext) {
        TakeClient(hClient, peer, nullptr);
        return;
    }
    // Files renewed on disk are taken from this newcomer on.
    if (m_fnTlsCurrent) {
        if (std::shared_ptr<CTlsContext> pCurrent = m_fnTlsCurrent(); pCurrent && pCurrent != m_pTlsContext) {
            m_pTlsContext = pCurrent;
            if (m_pNewcomers)
                m_pNewcomers->SetContext(pCurrent);
        }
    }
    // The connected client keeps the port until a newcomer has passed its
    // handshake; newcomers run theirs side by side.
    if (!m_pNewcomers) {
        m_pNewcomers = new CTlsNewcomers(
            m_pTlsContext, kConnectTimeoutMs,
            [this](int hNewcomer, const SSocketAddress& newcomer, std::unique_ptr<CTlsSession> pTls,
                   const QByteArray& strWhy, int nFailure) {
                OnHandshakeDone(hNewcomer, newcomer, std::move(pTls), strWhy, nFailure);
            },
            this);
    }
    if (!m_pNewcomers->MakeRoom(peer, kMaxHandshakes)) {
        RefuseClient(hClient, peer, CRefusalLog::Handshake, "too many handshakes from this address");
        return;
    }
    m_pNewcomers->Start(hClient, peer);
}

void CPortSocket::OnHandshakeDone(int hClient, const SSocketAddress& peer, std::unique_ptr<CTlsSession> pTls,
                                  const QByteArray& strWhy, int nFailure)
{
    if (!pTls) {
        if (nFailure >= 0)
            m_pOwner->OnTlsFailure(m_bInput, nFailure);
        RefuseClient(hClient, peer, CRefusalLog::Handshake, strWhy);
        return;
    }
    // Other newcomers may have taken the port, or its last free place,
    // while this one's handshake ran.
    if (IsFull()) {
        pTls->Shutdown();
        pTls.reset();
        RefuseInUse(hClient, peer);
        return;
    }
    TakeClient(hClient, peer, std::move(pTls));
}

void CPortSocket::TakeClient(int hClient, const SSocketAddress& peer, std::unique_ptr<CTlsSession> pTls)
{
    // The refusals since the last line are summed up before the new client.
    if (m_pRefusals)
        m_pRefusals->Flush();
    if (m_pShared) {
        m_bDropLogged = false;
        m_pShared->Add(hClient, peer, std::move(pTls));
        return;
    }
    // One client at a time: a new one replaces the current one, so that a
    // device whose old connection went half-open can come back.
    const bool bHeld = HasPending();
    if (!IsClosed()) {
        m_pOwner->AddMessage(ClientKind() + " Client Replaced" + m_clientPeer.EndpointText());
        EndSession();
        CloseStream();
    }
    const QByteArray strSubject = ClientSubjectSuffix(pTls.get());
    AttachHandle(hClient);
    m_nSessionBytes = 0;
    m_stream.SetSession(std::move(pTls));
    m_pComPort = ServeComPort(m_stream, hClient, peer, [this] {
        if (m_pWriteNotifier)
            m_pWriteNotifier->setEnabled(true);
    });
    SetNoDelay();
    m_clientPeer = peer;
    m_bWritable = true;
    m_bDropLogged = false;
    m_pOwner->AddMessage(ClientKind() + " Client Accepted" + peer.EndpointText() + strSubject);
    m_pOwner->OnClientConnected(this);
    if (!m_strClientInitial.isEmpty()) {
        m_bAccepting = true;
        if (!SendInitial(m_strClientInitial.constData(), int(m_strClientInitial.size()),
                         [this, bHeld] { OnClientReady(bHeld); }))
            return;
    }
    OnClientReady(bHeld);
}

void CPortSocket::OnClientReady(bool bHeld)
{
    m_bAccepting = false;
    if (bHeld)
        ReleaseHeld();
    if (IsClosed())
        return;
    StartReceiving();
    // Reading waits while the blocks already read wait for their destination.
    if (m_bReadPaused)
        m_pReadNotifier->setEnabled(false);
    UpdateHangUpWatch();
}

void CPortSocket::OnClientFinished()
{
    // A client that has sent its request and shut down its sending side
    // (nc -N, a script) waits for the answer: the connection stays open for
    // sending and is closed once the answer has had time to come.
    m_bClientFinished = true;
    UpdateHangUpWatch();
    StartHalfCloseTimer();
}

void CPortSocket::StartHalfCloseTimer()
{
    if (!m_pHalfCloseTimer) {
        m_pHalfCloseTimer = new QTimer(this);
        m_pHalfCloseTimer->setSingleShot(true);
        m_pHalfCloseTimer->setTimerType(Qt::PreciseTimer);
        connect(m_pHalfCloseTimer, &QTimer::timeout, this, &CPortSocket::OnHalfCloseIdle);
    }
    m_pHalfCloseTimer->start(kHalfCloseIdleMs);
}

void CPortSocket::OnHalfCloseIdle()
{
    if (IsClosed() || !IsClientLeaving())
        return;
    if (HasPending()) {
        // Still handing bytes to a client that reads slowly.
        m_pHalfCloseTimer->start(kHalfCloseIdleMs);
        return;
    }
    OnClose();
}

void CPortSocket::ReleaseHeld()
{
    QMetaObject::invokeMethod(this, [this] { m_pOwner->OnSendDone(this); }, Qt::QueuedConnection);
}

void CPortSocket::DropNoClient(int nLen)
{
    m_pOwner->OnNoClientDrop(m_bInput, nLen);
    if (m_pListener && !m_bDropLogged) {
        m_bDropLogged = true;
        m_pOwner->AddMessage("No TCP Client! Blocks dropped");
    }
}

void CPortSocket::FollowPeer(const QByteArray& strInitial)
{
    m_bFollowPeer = true;
    m_strClientInitial = strInitial;
}

bool CPortSocket::NotePeer(const SSocketAddress& from)
{
    if (from == m_clientPeer)
        return true;
    // A datagram from our own address is forged (or we answered ourselves):
    // taking it as the peer would loop everything back into the port.
    if (IsOwnAddress(m_hSocket, from))
        return false;
    m_clientPeer = from;
    // The initial string goes out once per start, to the first peer: any
    // sender could claim to be a new peer (its address forged), and would
    // otherwise draw the whole string to that address every time.
    if (!m_strClientInitial.isEmpty() && !m_bInitialSent) {
        m_bInitialSent = true;
        SendInitial(m_strClientInitial.constData(), int(m_strClientInitial.size()));
    }
    return true;
}

void CPortSocket::ResolvePeerName(std::function<void(int nResult)> fnDone)
{
    m_pNameCache = std::make_unique<CNameCache>();
    m_pNameCache->Prime(m_strPeerAddress, [this, fnDone = std::move(fnDone)](bool bResolved) {
        SSocketAddress peer;
        if (bResolved && m_pNameCache->Current(&peer) && peer.Family() == AF_INET6) {
            // A name with IPv6 addresses only: the socket becomes an IPv6 one.
            SSocketAddress local;
            ParseLocalAddress(QByteArray(), 0, &local);
            if (!Create(&local)) {
                fnDone(-3);
                return;
            }
        }
        fnDone(0);
    });
}

bool CPortSocket::PeerAddress(int nPort, const QByteArray& strAddress, int nLen, SSocketAddress* pPeer)
{
    if (m_bFollowPeer) {
        if (!m_clientPeer.IsValid()) {
            DropNoClient(nLen);
            return false;
        }
        *pPeer = m_clientPeer;
        return true;
    }
    if (strAddress == "255.255.255.255") {
        *pPeer = IPv4Address(htonl(INADDR_BROADCAST), quint16(nPort));
        return true;
    }
    if (ParseNumericAddress(strAddress, quint16(nPort), pPeer))
        return true;
    // A name: its kept address. A name that resolves to the other family
    // than the socket's cannot be reached from it; it sends nothing, as a
    // name that does not resolve.
    if (!m_pNameCache || strAddress != m_strPeerAddress || !m_pNameCache->Current(pPeer))
        return false;
    pPeer->SetPort(quint16(nPort));
    SSocketAddress local;
    local.nLength = sizeof local.storage;
    ::getsockname(m_hSocket, local.Get(), &local.nLength);
    return local.Family() == pPeer->Family();
}
