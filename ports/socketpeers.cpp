// The far ends of a socket port: clients of a listening TCP port, the peer
// a UDP port on a fixed local port follows, and destinations given by name.

#include "portsocket.h"

#include "hostlookup.h"
#include "portowner.h"
#include "tcplistener.h"

#include <QSocketNotifier>

#include <netinet/in.h>
#include <netinet/tcp.h>

namespace {

QByteArray Endpoint(const SSocketAddress& address)
{
    return ",port:" + QByteArray::number(address.Port()) + ",addr:" + address.AddressText();
}

} // namespace

void CPortSocket::SetNoDelay()
{
    // With Nagle's rule the tail of a message longer than one block waits
    // for the far end's (delayed) acknowledgement of the block before it:
    // about 40 ms on Linux.
    const int nNoDelay = 1;
    ::setsockopt(m_hSocket, IPPROTO_TCP, TCP_NODELAY, &nNoDelay, sizeof nNoDelay);
}

void CPortSocket::Listen(CTcpListener* pListener, const QByteArray& strInitial)
{
    m_pListener = pListener;
    pListener->setParent(this);
    m_strClientInitial = strInitial;
    // A client is taken only while no read of the current one is on the
    // stack, no initial string is being sent and no stop is under way (a
    // client taken now would be closed by it; waiting, it goes to the next
    // run). Bytes held for a stuck client do not hold a new one back: they
    // go with the old connection.
    pListener->SetAccept(
        [this] { return !m_bReceiving && !m_bAccepting && !m_pOwner->IsStopping(); },
        [this](int hClient, const SSocketAddress& peer) { AcceptClient(hClient, peer); });
}

void CPortSocket::AcceptClient(int hClient, const SSocketAddress& peer)
{
    // One client at a time: a new one replaces the current one, so that a
    // device whose old connection went half-open can come back.
    const bool bHeld = HasPending();
    if (!IsClosed()) {
        m_pOwner->AddMessage("TCP Client Replaced" + Endpoint(m_clientPeer));
        Close();
    }
    AttachHandle(hClient);
    SetNoDelay();
    m_clientPeer = peer;
    m_bWritable = true;
    m_bDropLogged = false;
    m_pOwner->AddMessage("TCP Client Accepted" + Endpoint(peer));
    m_pOwner->OnClientConnected(this);
    QPointer<CPortSocket> pSelf(this);
    if (!m_strClientInitial.isEmpty()) {
        m_bAccepting = true;
        Send(m_strClientInitial.constData(), int(m_strClientInitial.size()));
        if (!pSelf)
            return;
        m_bAccepting = false;
    }
    if (bHeld)
        ReleaseHeld();
    if (IsClosed() || m_pOwner->IsStopping())
        return;
    StartReceiving();
    // Reading waits while the blocks already read wait for their destination.
    if (m_bReadPaused)
        m_pReadNotifier->setEnabled(false);
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

void CPortSocket::NotePeer(const SSocketAddress& from)
{
    if (from == m_clientPeer)
        return;
    m_clientPeer = from;
    if (!m_strClientInitial.isEmpty())
        SendToPeer(m_strClientInitial.constData(), int(m_strClientInitial.size()), 0, QByteArray());
}

int CPortSocket::ResolvePeerName(IPortOwner* pOwner)
{
    m_pNameCache = std::make_unique<CNameCache>();
    const int nResult = m_pNameCache->Prime(m_strPeerAddress, pOwner);
    SSocketAddress peer;
    if (nResult == 0 && m_pNameCache->Current(&peer) && peer.Family() == AF_INET6) {
        // A name with IPv6 addresses only: the socket becomes an IPv6 one.
        SSocketAddress local;
        ParseLocalAddress(QByteArray(), 0, &local);
        if (!Create(&local))
            return -3;
    }
    return nResult;
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
