// The sending side of a socket port: initial strings, the relay's blocks
// (one by one, or the blocks of one read in one system call), the bytes held
// back while the system takes no more, and the gathering of a burst into
// full segments.

#include "socket/portsocket.h"

#include "portowner.h"
#include "setup/wsaerror.h"
#include "socket/sharedclients.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <utility>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>

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

void CPortSocket::OnSend()
{
    // Watch for writability only while something waits for it.
    m_pWriteNotifier->setEnabled(false);
    m_bWritable = true;
    if (m_fnConnected) {
        FinishConnect(0);
        return;
    }
    QPointer<CPortSocket> pSelf(this);
    if (HasPending())
        FlushPending();
    else if (m_stream.HasHeldOutput())
        FlushStream();
    // A TLS read that waited for the socket to take its part.
    if (pSelf && !IsClosed() && m_stream.TakeReadWantsWrite() && !m_bReadPaused)
        OnReceive();
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
        const ssize_t n = StreamSend(pData + nSent, size_t(nLen - nSent));
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
        if (IsClientLeaving())
            m_pHalfCloseTimer->start(0); // the client is gone for good
        return -1;
    }
    if (nSent > 0 && IsClientLeaving())
        m_pHalfCloseTimer->start(kHalfCloseIdleMs);
    return nSent;
}

bool CPortSocket::SendInitial(const char* pData, int nLen, std::function<void()> fnSent)
{
    if (m_nSocketType == SocketUdp) {
        for (int nOffset = 0; nOffset < nLen; nOffset += kReceiveBlock) {
            const int nBlock = std::min(nLen - nOffset, int(kReceiveBlock));
            if (!HasPending()) {
                const int n = TrySendTo(pData + nOffset, nBlock, m_nPeerPort, m_strPeerAddress);
                if (n == 0 || n == -1)
                    break; // no destination, or failed (logged): the rest neither
                if (n != -2)
                    continue;
            }
            m_pending.append(QByteArray(pData + nOffset, nBlock));
        }
        if (!HasPending())
            return true;
    } else {
        const int nSent = TrySend(pData, nLen);
        if (nSent < 0 || nSent == nLen)
            return true;
        m_pending.append(QByteArray(pData + nSent, nLen - nSent));
    }
    m_nPendingOffset = 0;
    m_fnSent = std::move(fnSent);
    m_pWriteNotifier->setEnabled(true);
    return false;
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


int CPortSocket::SendBlock(const char* pData, int nLen)
{
    if (m_nSocketType != SocketTcp && m_nSocketType != SocketUdp)
        return 0;
    if (m_pListener && IsClosed()) {
        DropNoClient(nLen);
        return 0;
    }
    if (m_pShared) {
        m_pShared->Send(pData, nLen);
        return nLen;
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
    } else if (m_gathered.IsOn()) {
        if (m_gathered.Add(pData, nLen))
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

int CPortSocket::SendBlocks(const char* pData, qsizetype nLen, int nBlock)
{
    if (m_nSocketType == SocketTcp || nLen <= nBlock)
        return SendBlock(pData, int(nLen));
    if (m_nSocketType != SocketUdp)
        return 0;
    const int nBlocks = int((nLen + nBlock - 1) / nBlock);
    if (HasPending() || s_pfnSendTo != SystemSendTo || nBlocks > kBlocksPerWakeup
        || (m_bFollowPeer && !m_clientPeer.IsValid())) {
        // Behind held datagrams, with the datagram send replaced, or with no
        // client to answer yet: one by one.
        for (qsizetype nOffset = 0; nOffset < nLen; nOffset += nBlock)
            SendBlock(pData + nOffset, int(std::min<qsizetype>(nLen - nOffset, nBlock)));
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
        const qsizetype nOffset = qsizetype(i) * nPerMessage * nBlock;
        parts[i].iov_base = const_cast<char*>(pData + nOffset);
        parts[i].iov_len = size_t(std::min<qsizetype>(nLen - nOffset, qsizetype(nPerMessage) * nBlock));
        msghdr& header = messages[i].msg_hdr;
        header.msg_name = peer.Get();
        header.msg_namelen = peer.nLength;
        header.msg_iov = &parts[i];
        header.msg_iovlen = 1;
        if (parts[i].iov_len > size_t(nBlock)) {
            header.msg_control = control[i];
            header.msg_controllen = sizeof control[i];
            cmsghdr* pControl = CMSG_FIRSTHDR(&header);
            pControl->cmsg_level = SOL_UDP;
            pControl->cmsg_type = UDP_SEGMENT;
            pControl->cmsg_len = CMSG_LEN(sizeof(quint16));
            const quint16 nSegment = nBlock;
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
            return SendBlocks(pData, nLen, nBlock);
        }
        const int nError = WsaErrorFromErrno(errno);
        if (nError == WSAEWOULDBLOCK) {
            // The rest waits, still one datagram per block.
            const qsizetype nFrom = qsizetype(nDone) * nPerMessage * nBlock;
            for (qsizetype nOffset = nFrom; nOffset < nLen; nOffset += nBlock)
                m_pending.append(QByteArray(pData + nOffset, std::min<qsizetype>(nLen - nOffset, nBlock)));
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
    if (m_fnSent) {
        QPointer<CPortSocket> pSelf(this);
        auto fnSent = std::exchange(m_fnSent, {});
        fnSent();
        if (!pSelf)
            return;
    }
    m_pOwner->OnSendDone(this);
}

void CPortSocket::FlushStream()
{
    if (m_stream.Flush(m_hSocket) == 0)
        return;
    const int nErrno = errno;
    OnStreamStalled("TLS Send Error:");
    if (nErrno == EAGAIN) {
        if (!m_stream.WriteWantsRead())
            m_pWriteNotifier->setEnabled(true);
        return;
    }
    // The connection has failed; its next receive takes the close path.
    LogError("Send Error Code:", WsaErrorFromErrno(nErrno));
}

void CPortSocket::BeginGathering()
{
    if (m_pShared) {
        m_pShared->BeginGathering();
        return;
    }
    // Off for TLS: each send makes records of its own anyway.
    if (m_nSocketType != SocketTcp || IsClosed() || m_gathered.IsOn() || m_stream.IsTls())
        return;
    // A corked socket sends a segment as soon as it has a full one; the
    // gathered bytes go to the system at the same points. Up to the 64 KiB
    // of one read.
    m_gathered.Begin(m_hSocket, kBlocksPerWakeup * kReceiveBlock);
}

void CPortSocket::EndGathering()
{
    if (m_pShared) {
        m_pShared->EndGathering();
        return;
    }
    m_gathered.Stop();
    SendGathered();
}

void CPortSocket::SendGathered()
{
    if (m_gathered.IsEmpty())
        return;
    const QByteArray& strGathered = m_gathered.Bytes();
    const int nLen = int(strGathered.size());
    const int nSent = TrySend(strGathered.constData(), nLen);
    if (nSent >= 0 && nSent < nLen) {
        m_pending.append(strGathered.mid(nSent));
        m_nPendingOffset = 0;
        m_pWriteNotifier->setEnabled(true);
    }
    // Keeps the buffer for the next burst; a failed send lost the bytes
    // (logged), as a failed send of each block would.
    m_gathered.Clear();
}
