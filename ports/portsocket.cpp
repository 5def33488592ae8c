#include "portsocket.h"

#include "hostlookup.h"
#include "portowner.h"
#include "tcplistener.h"
#include "wsaerror.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

long SystemSendTo(int hSocket, const void* pData, unsigned long nLen, const sockaddr* pAddr, unsigned nAddrLen)
{
    return ::sendto(hSocket, pData, nLen, MSG_NOSIGNAL, pAddr, nAddrLen);
}

// Blocks one segmented datagram send carries (at most 64: the system's
// limit, and 64 x 512 bytes stays within a datagram's 65,507 bytes).
constexpr int kBlocksPerSegmentedSend = 16;
// Cleared when the system refuses UDP segmentation offload.
bool g_bUdpSegmentation = true;

} // namespace

CPortSocket::FSendTo CPortSocket::s_pfnSendTo = SystemSendTo;
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
    // Best effort: a system without these options still relays, it only
    // notices a vanished peer later.
    const int nOn = 1;
    ::setsockopt(m_hSocket, SOL_SOCKET, SO_KEEPALIVE, &nOn, sizeof nOn);
    ::setsockopt(m_hSocket, IPPROTO_TCP, TCP_KEEPIDLE, &s_keepAlive.nIdleSeconds, sizeof(int));
    ::setsockopt(m_hSocket, IPPROTO_TCP, TCP_KEEPINTVL, &s_keepAlive.nIntervalSeconds, sizeof(int));
    ::setsockopt(m_hSocket, IPPROTO_TCP, TCP_KEEPCNT, &s_keepAlive.nProbes, sizeof(int));
}

void CPortSocket::OnLivenessCheck()
{
    tcp_info info {};
    socklen_t nSize = sizeof info;
    if (IsClosed() || ::getsockopt(m_hSocket, IPPROTO_TCP, TCP_INFO, &info, &nSize) != 0)
        return;
    // Data in flight, or window probes, and no acknowledgement for too long.
    // A slow consumer answers the window probes, so it is never caught here.
    const bool bWaiting = info.tcpi_unacked > 0 || info.tcpi_probes > 0;
    if (!bWaiting || info.tcpi_last_ack_recv < unsigned(s_keepAlive.nAckTimeoutMs))
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

int CPortSocket::WaitConnected(int nTimeoutMs)
{
    QPointer<CPortSocket> pSelf(this);
    QDeadlineTimer deadline(nTimeoutMs);
    // Wakes the event loop when the deadline passes.
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(nTimeoutMs);
    m_bWritable = false;
    m_pWriteNotifier->setEnabled(true);
    int nResult = -1;
    for (;;) {
        if (!pSelf || IsClosed() || m_pOwner->IsStopping()) {
            nResult = -2;
            break;
        }
        if (m_bWritable) {
            int nError = 0;
            socklen_t nSize = sizeof nError;
            ::getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &nSize);
            nResult = nError != 0 ? WsaErrorFromErrno(nError) : IsConnectedToSelf() ? WSAECONNREFUSED : 0;
            break;
        }
        if (deadline.hasExpired()) {
            nResult = -1;
            break;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    if (pSelf && m_pWriteNotifier)
        m_pWriteNotifier->setEnabled(false);
    return nResult;
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

void CPortSocket::StartReceiving()
{
    if (m_pReadNotifier && !m_bClientFinished)
        m_pReadNotifier->setEnabled(true);
    if (m_pListener)
        m_pListener->Resume();
    if (m_nSocketType == SocketTcp && !IsClosed() && !(m_pLivenessTimer && m_pLivenessTimer->isActive())) {
        if (!m_pLivenessTimer) {
            m_pLivenessTimer = new QTimer(this);
            connect(m_pLivenessTimer, &QTimer::timeout, this, &CPortSocket::OnLivenessCheck);
        }
        m_pLivenessTimer->start(qMax(1, s_keepAlive.nIntervalSeconds) * 1000);
    }
}

void CPortSocket::OnSend()
{
    // Watch for writability only while something waits for it.
    m_pWriteNotifier->setEnabled(false);
    m_bWritable = true;
    if (HasPending())
        FlushPending();
}

void CPortSocket::ResumeReceiving()
{
    m_bReadPaused = false;
    if (m_pReadNotifier && !m_bReceiving && !m_bClientFinished)
        m_pReadNotifier->setEnabled(true);
}

bool CPortSocket::WaitWritable()
{
    QPointer<CPortSocket> pSelf(this);
    m_bWritable = false;
    m_pWriteNotifier->setEnabled(true);
    while (!m_bWritable) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (!pSelf || IsClosed() || m_pOwner->IsStopping())
            break;
    }
    if (!pSelf || IsClosed())
        return false;
    m_pWriteNotifier->setEnabled(false);
    if (!m_bWritable)
        return false;
    return true;
}

int CPortSocket::TrySend(const char* pData, int nLen)
{
    int nSent = 0;
    while (nSent < nLen) {
        if (IsClosed()) {
            // The handle is gone; its number may already belong to another file.
            LogError("Send Error Code:", WSAENOTSOCK);
            return -1;
        }
        const ssize_t n = ::send(m_hSocket, pData + nSent, size_t(nLen - nSent), MSG_NOSIGNAL);
        if (n >= 0) {
            nSent += int(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        const int nError = WsaErrorFromErrno(errno);
        if (nError == WSAEWOULDBLOCK)
            break;
        LogError("Send Error Code:", nError);
        if (m_bClientFinished)
            m_pHalfCloseTimer->start(0); // the client is gone for good
        return -1;
    }
    if (nSent > 0 && m_bClientFinished)
        m_pHalfCloseTimer->start(kHalfCloseIdleMs);
    return nSent;
}

int CPortSocket::Send(const char* pData, int nLen)
{
    int nSent = 0;
    for (;;) {
        const int n = TrySend(pData + nSent, nLen - nSent);
        if (n < 0)
            return -1;
        nSent += n;
        if (nSent == nLen)
            return nSent;
        if (!WaitWritable())
            return -1;
    }
}

int CPortSocket::TrySendTo(const char* pData, int nLen, int nPort, const QByteArray& strAddress)
{
    for (;;) {
        if (IsClosed()) {
            LogError("SendTo Error Code:", WSAENOTSOCK);
            return -1;
        }
        SSocketAddress peer;
        if (!PeerAddress(nPort, strAddress, nLen, &peer))
            return 0;
        const long n = s_pfnSendTo(m_hSocket, pData, size_t(nLen), peer.Get(), peer.nLength);
        if (n >= 0)
            return int(n);
        if (errno == EINTR)
            continue;
        const int nError = WsaErrorFromErrno(errno);
        if (nError == WSAEWOULDBLOCK)
            return -2;
        LogError("SendTo Error Code:", nError);
        return -1;
    }
}

int CPortSocket::SendToPeer(const char* pData, int nLen, int nPort, const QByteArray& strAddress)
{
    for (;;) {
        const int n = TrySendTo(pData, nLen, nPort, strAddress);
        if (n != -2)
            return n;
        if (!WaitWritable())
            return -1;
    }
}

int CPortSocket::SendInitialTo(const QByteArray& strInitial, int nPort, const QByteArray& strAddress)
{
    // No datagram is larger than a block: the peer's reads and ours take at
    // most 512 bytes.
    int nResult = 0;
    for (qsizetype nOffset = 0; nOffset < strInitial.size(); nOffset += kReceiveBlock) {
        const int nLen = int(std::min<qsizetype>(strInitial.size() - nOffset, kReceiveBlock));
        nResult = SendToPeer(strInitial.constData() + nOffset, nLen, nPort, strAddress);
        if (nResult <= 0)
            break;
    }
    return nResult;
}

namespace {

// Milliseconds of a coarse monotonic clock: read without a system call at
// every block, and fine enough for a bound of a few milliseconds.
qint64 CoarseNowMs()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

int CPortSocket::SendBlock(const char* pData, int nLen)
{
    if (m_nSocketType != SocketTcp && m_nSocketType != SocketUdp)
        return 0;
    if (m_pListener && IsClosed()) {
        DropNoClient(nLen);
        return 0;
    }
    if (HasPending()) {
        // Behind bytes already held: they keep their order.
        m_pending.append(QByteArray(pData, nLen));
        return nLen;
    }
    if (m_nSocketType == SocketUdp) {
        const int n = TrySendTo(pData, nLen, m_nPeerPort, m_strPeerAddress);
        if (n != -2)
            return n;
        m_pending.append(QByteArray(pData, nLen));
    } else if (m_nGatherLimit > 0) {
        if (m_strGathered.isEmpty())
            m_nGatherSinceMs = CoarseNowMs();
        m_strGathered.append(pData, nLen);
        if (m_strGathered.size() >= m_nGatherLimit || CoarseNowMs() - m_nGatherSinceMs >= kGatherMaxMs)
            SendGathered();
        return nLen;
    } else {
        const int nSent = TrySend(pData, nLen);
        if (nSent < 0 || nSent == nLen)
            return nSent;
        m_pending.append(QByteArray(pData + nSent, nLen - nSent));
    }
    m_nPendingOffset = 0;
    m_pWriteNotifier->setEnabled(true);
    return nLen;
}

int CPortSocket::SendBlocks(const char* pData, qsizetype nLen)
{
    if (m_nSocketType == SocketTcp || nLen <= kReceiveBlock)
        return SendBlock(pData, int(nLen));
    if (m_nSocketType != SocketUdp)
        return 0;
    const int nBlocks = int((nLen + kReceiveBlock - 1) / kReceiveBlock);
    if (HasPending() || s_pfnSendTo != SystemSendTo || nBlocks > kBlocksPerWakeup
        || (m_bFollowPeer && !m_clientPeer.IsValid())) {
        // Behind held datagrams, with the datagram send replaced, or with no
        // client to answer yet: one by one.
        for (qsizetype nOffset = 0; nOffset < nLen; nOffset += kReceiveBlock)
            SendBlock(pData + nOffset, int(std::min<qsizetype>(nLen - nOffset, kReceiveBlock)));
        return int(nLen);
    }
    if (IsClosed()) {
        LogError("SendTo Error Code:", WSAENOTSOCK);
        return -1;
    }
    SSocketAddress peer;
    if (!PeerAddress(m_nPeerPort, m_strPeerAddress, int(nLen), &peer))
        return 0;
    // With segmentation offload one message carries several blocks and the
    // system cuts it into one datagram per block (each block but a read's
    // last is a full 512 bytes); without it, one message per block.
    const int nPerMessage = g_bUdpSegmentation ? kBlocksPerSegmentedSend : 1;
    const int nMessages = (nBlocks + nPerMessage - 1) / nPerMessage;
    mmsghdr messages[kBlocksPerWakeup] {};
    iovec parts[kBlocksPerWakeup];
    alignas(cmsghdr) char control[kBlocksPerWakeup][CMSG_SPACE(sizeof(quint16))] {};
    for (int i = 0; i < nMessages; ++i) {
        const qsizetype nOffset = qsizetype(i) * nPerMessage * kReceiveBlock;
        parts[i].iov_base = const_cast<char*>(pData + nOffset);
        parts[i].iov_len = size_t(std::min<qsizetype>(nLen - nOffset, qsizetype(nPerMessage) * kReceiveBlock));
        msghdr& header = messages[i].msg_hdr;
        header.msg_name = peer.Get();
        header.msg_namelen = peer.nLength;
        header.msg_iov = &parts[i];
        header.msg_iovlen = 1;
        if (parts[i].iov_len > size_t(kReceiveBlock)) {
            header.msg_control = control[i];
            header.msg_controllen = sizeof control[i];
            cmsghdr* pControl = CMSG_FIRSTHDR(&header);
            pControl->cmsg_level = SOL_UDP;
            pControl->cmsg_type = UDP_SEGMENT;
            pControl->cmsg_len = CMSG_LEN(sizeof(quint16));
            const quint16 nSegment = kReceiveBlock;
            std::memcpy(CMSG_DATA(pControl), &nSegment, sizeof nSegment);
        }
    }
    int nDone = 0;
    while (nDone < nMessages) {
        const int n = ::sendmmsg(m_hSocket, messages + nDone, unsigned(nMessages - nDone), MSG_NOSIGNAL);
        if (n > 0) {
            nDone += n;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (nPerMessage > 1 && nDone == 0
            && (errno == EINVAL || errno == EIO || errno == ENOPROTOOPT || errno == EOPNOTSUPP)) {
            // No segmentation offload here: one message per block from now on.
            g_bUdpSegmentation = false;
            return SendBlocks(pData, nLen);
        }
        const int nError = WsaErrorFromErrno(errno);
        if (nError == WSAEWOULDBLOCK) {
            // The rest waits, still one datagram per block.
            const qsizetype nFrom = qsizetype(nDone) * nPerMessage * kReceiveBlock;
            for (qsizetype nOffset = nFrom; nOffset < nLen; nOffset += kReceiveBlock)
                m_pending.append(QByteArray(pData + nOffset, std::min<qsizetype>(nLen - nOffset, kReceiveBlock)));
            m_nPendingOffset = 0;
            m_pWriteNotifier->setEnabled(true);
            break;
        }
        // Those datagrams are lost, as on a failed sendto; the others go on.
        LogError("SendTo Error Code:", nError);
        ++nDone;
    }
    return int(nLen);
}

void CPortSocket::FlushPending()
{
    while (HasPending()) {
        const QByteArray& strFront = m_pending.front();
        if (m_nSocketType == SocketUdp) {
            const int n = TrySendTo(strFront.constData(), int(strFront.size()), m_nPeerPort, m_strPeerAddress);
            if (n == -2)
                break;
            // Sent, dropped on an error (logged) or to a name that does not resolve.
            m_pending.removeFirst();
            continue;
        }
        const int n = TrySend(strFront.constData() + m_nPendingOffset, int(strFront.size() - m_nPendingOffset));
        if (n < 0) {
            // The rest of the held bytes is lost, as that of a failed send.
            m_pending.clear();
            break;
        }
        m_nPendingOffset += n;
        if (m_nPendingOffset < strFront.size())
            break;
        m_pending.removeFirst();
        m_nPendingOffset = 0;
    }
    if (HasPending()) {
        m_pWriteNotifier->setEnabled(true);
        return;
    }
    m_nPendingOffset = 0;
    m_pOwner->OnSendDone(this);
}

bool CPortSocket::SetBroadcast()
{
    const int nOn = 1;
    return ::setsockopt(m_hSocket, SOL_SOCKET, SO_BROADCAST, &nOn, sizeof nOn) == 0;
}

void CPortSocket::BeginGathering()
{
    if (m_nSocketType != SocketTcp || IsClosed() || m_nGatherLimit > 0)
        return;
    // A corked socket sends a segment as soon as it has a full one; the
    // gathered bytes go to the system at the same points. Up to the 64 KiB
    // of one read.
    int nSegment = 0;
    socklen_t nSize = sizeof nSegment;
    if (::getsockopt(m_hSocket, IPPROTO_TCP, TCP_MAXSEG, &nSegment, &nSize) != 0 || nSegment <= 0)
        return; // the blocks go one by one
    m_nGatherLimit = std::min(nSegment, kBlocksPerWakeup * kReceiveBlock);
    m_strGathered.reserve(m_nGatherLimit + kReceiveBlock);
}

void CPortSocket::EndGathering()
{
    m_nGatherLimit = 0;
    SendGathered();
}

void CPortSocket::SendGathered()
{
    if (m_strGathered.isEmpty())
        return;
    const int nLen = int(m_strGathered.size());
    const int nSent = TrySend(m_strGathered.constData(), nLen);
    if (nSent >= 0 && nSent < nLen) {
        m_pending.append(m_strGathered.mid(nSent));
        m_nPendingOffset = 0;
        m_pWriteNotifier->setEnabled(true);
    }
    // Keeps the buffer for the next burst; a failed send lost the bytes
    // (logged), as a failed send of each block would.
    m_strGathered.resize(0);
}

void CPortSocket::LogError(const char* pszLine, int nError)
{
    m_pOwner->AddMessage(QByteArray(pszLine) + QByteArray::number(nError));
}

void CPortSocket::OnReceive()
{
    // While a block is passed on (and its send may wait), this port is not
    // read: a slow peer on the other side holds the data in the system's
    // buffers instead of growing ours, and blocks keep their order. The read
    // notifier stays armed between wake-ups; only an activation that comes
    // nested in a wait of our own transfer switches it off, until the outer
    // one has finished.
    if (m_bReceiving) {
        m_pReadNotifier->setEnabled(false);
        return;
    }
    QPointer<CPortSocket> pSelf(this);
    m_bReceiving = true;
    const bool bRearm = ReceiveBlocks();
    if (!pSelf)
        return;
    m_bReceiving = false;
    if (IsClosed())
        return;
    if (!bRearm || m_bReadPaused)
        m_pReadNotifier->setEnabled(false);
    else if (!m_pReadNotifier->isEnabled())
        m_pReadNotifier->setEnabled(true);
}

bool CPortSocket::ReceiveBlocks()
{
    QPointer<CPortSocket> pSelf(this);
    // TCP: one receive takes what a whole wake-up may pass on; the bytes are
    // then handed over in 512-byte blocks, exactly the blocks that one
    // 512-byte receive after the other would have returned.
    char buffer[kBlocksPerWakeup * kReceiveBlock];
    for (int nBlock = 0; nBlock < kBlocksPerWakeup;) {
        const size_t nWant = size_t(kBlocksPerWakeup - nBlock) * kReceiveBlock;
        ssize_t n;
        if (m_nSocketType == SocketUdp) {
            SSocketAddress from;
            from.nLength = sizeof from.storage;
            n = ::recvfrom(m_hSocket, buffer, kReceiveBlock, MSG_TRUNC, from.Get(), &from.nLength);
            if (n > ssize_t(kReceiveBlock)) {
                LogError("Receive Error Code:", WSAEMSGSIZE);
                ++nBlock;
                continue;
            }
            if (n >= 0 && m_bFollowPeer) {
                if (!AllowSender(from, int(n)) || !NotePeer(from)) {
                    ++nBlock; // dropped
                    continue;
                }
                if (!pSelf || IsClosed() || m_pOwner->IsStopping())
                    return false;
            }
        } else {
            n = ::recv(m_hSocket, buffer, nWant, 0);
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int nError = WsaErrorFromErrno(errno);
            if (nError == WSAEWOULDBLOCK)
                break;
            LogError("Receive Error Code:", nError);
            if (m_nSocketType == SocketTcp && (nError == WSAECONNRESET || nError == WSAETIMEDOUT)) {
                OnClose();
                return false;
            }
            break;
        }
        if (n == 0 && m_nSocketType == SocketTcp) {
            if (m_pListener)
                OnClientFinished();
            else
                OnClose();
            return false;
        }
        // A datagram (even an empty one) is one block; a stream read is cut
        // into blocks of at most 512 bytes by the owner.
        IPortOwner* pOwner = m_pOwner;
        const bool bGoOn = pOwner->OnBlocksRead(this, buffer, int(n));
        if (!pSelf || IsClosed() || pOwner->IsStopping())
            return false;
        if (!bGoOn) {
            // The blocks wait for their destination: read again when the
            // owner resumes us.
            m_bReadPaused = true;
            return false;
        }
        // A short TCP read means the queue is empty for now.
        if (m_nSocketType == SocketTcp && size_t(n) < nWant)
            break;
        nBlock += m_nSocketType == SocketUdp ? 1 : int((n + kReceiveBlock - 1) / kReceiveBlock);
    }
    return true;
}

void CPortSocket::OnClose()
{
    const bool bHeld = HasPending();
    Close();
    if (m_pListener && m_listenOptions.bGiven)
        m_pOwner->AddMessage("TCP Client Disconnected,port:" + QByteArray::number(m_clientPeer.Port())
                             + ",addr:" + m_clientPeer.AddressText());
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
    // Close may run inside a notifier's own activation: disable them now and
    // let the event loop delete them.
    for (QSocketNotifier** ppNotifier : {&m_pReadNotifier, &m_pWriteNotifier}) {
        if (*ppNotifier) {
            (*ppNotifier)->setEnabled(false);
            (*ppNotifier)->deleteLater();
            *ppNotifier = nullptr;
        }
    }
    if (m_pLivenessTimer)
        m_pLivenessTimer->stop();
    m_bClientFinished = false;
    if (m_pHalfCloseTimer)
        m_pHalfCloseTimer->stop();
    m_pending.clear();
    m_nPendingOffset = 0;
    m_nGatherLimit = 0;
    m_strGathered.clear();
    if (m_hSocket >= 0) {
        ::close(m_hSocket);
        m_hSocket = -1;
    }
}
