// A socket port's reading: the read notifier, a pause while the blocks of a
// read wait for their destination (watching for the far end hanging up
// meanwhile), and the reads that hand the owner its blocks.

#include "portsocket.h"

#include "portowner.h"
#include "setup/wsaerror.h"
#include "socket/drainwatch.h"
#include "socket/hangupwatch.h"
#include "socket/sharedclients.h"
#include "socket/tcplistener.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <sys/socket.h>

void CPortSocket::StartReceiving()
{
    if (m_pShared) {
        m_pShared->StartReceiving();
        m_pListener->Resume();
        return;
    }
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

void CPortSocket::ResumeReceiving()
{
    if (m_pShared) {
        m_pShared->ResumeReceiving();
        return;
    }
    m_bReadPaused = false;
    // A FIN seen meanwhile is read in its turn.
    m_bPausedFin = false;
    if (m_pDrainWatch)
        m_pDrainWatch->Stop();
    UpdateHangUpWatch();
    if (m_pReadNotifier && !m_bClientFinished)
        m_pReadNotifier->setEnabled(true);
    ReadBufferedLater();
}

void CPortSocket::UpdateHangUpWatch()
{
    const bool bOn = m_nSocketType == SocketTcp && m_hSocket >= 0 && m_bReadPaused && !m_bClientFinished
        && !m_bPausedFin;
    if (bOn && !m_pHangUpWatch)
        m_pHangUpWatch = new CHangUpWatch(m_hSocket, [this](int nError) { OnPausedHangUp(nError); }, this);
    if (m_pHangUpWatch)
        m_pHangUpWatch->SetEnabled(bOn);
}

void CPortSocket::OnPausedHangUp(int nError)
{
    // Seen while the destination of this port's reads holds bytes. A reset
    // is handled as the read would handle it: the bytes not read yet are
    // gone with the connection, and those held for the destination go with
    // the restart a closed Input brings.
    if (nError != 0) {
        LogError("Receive Error Code:", WsaErrorFromErrno(nError));
        OnClose();
        return;
    }
    // A FIN: what the far end sent before it is still delivered while the
    // destination takes bytes (reading resumes and comes to the end as
    // usual); a destination that takes nothing makes the close be taken
    // now.
    m_bPausedFin = true;
    if (!m_pDrainWatch) {
        m_pDrainWatch = new CDrainWatch([this] { return m_pOwner->ReadsBacklog(this); },
                                        [this] {
                                            if (m_bReadPaused && m_bPausedFin)
                                                OnClose();
                                        },
                                        this);
    }
    m_pDrainWatch->Start();
}

void CPortSocket::ReadBufferedLater()
{
    // A TLS session may hold bytes it has already taken from the socket,
    // which then does not report them as readable.
    if (!m_stream.HasBuffered() || m_bBufferedReadQueued || m_bClientFinished)
        return;
    m_bBufferedReadQueued = true;
    QMetaObject::invokeMethod(this, [this] {
        m_bBufferedReadQueued = false;
        if (!IsClosed() && !m_bReadPaused && !m_bClientFinished && m_pReadNotifier && m_pReadNotifier->isEnabled())
            OnReceive();
    }, Qt::QueuedConnection);
}

ssize_t CPortSocket::StreamReceive(char* pData, size_t nLen)
{
    const ssize_t n = m_stream.Receive(m_hSocket, pData, nLen);
    m_nSessionBytes += quint64(qMax<ssize_t>(n, 0));
    const int nErrno = errno;
    if (n < 0)
        OnStreamStalled("TLS Receive Error:");
    // A layer's replies the socket did not take go out once it is writable.
    if (m_stream.HasHeldOutput() && m_pWriteNotifier)
        m_pWriteNotifier->setEnabled(true);
    errno = nErrno;
    return n;
}

void CPortSocket::OnReceive()
{
    // While the blocks of a read wait for their destination, this port is
    // not read (m_bReadPaused): a slow peer on the other side holds the data
    // in the system's buffers instead of growing ours, and blocks keep their
    // order. Otherwise the read notifier stays armed between wake-ups.
    QPointer<CPortSocket> pSelf(this);
    if (m_stream.TakeWriteWantsRead() && HasPending()) {
        FlushPending();
        if (!pSelf || IsClosed())
            return;
    }
    if (m_stream.IsTls() && (m_bReadPaused || m_bClientFinished)) {
        // Woken for a waiting TLS send only; on while it still waits.
        m_pReadNotifier->setEnabled(m_stream.WriteWantsRead());
        return;
    }
    const bool bRearm = ReceiveBlocks();
    if (!pSelf || IsClosed())
        return;
    if (!bRearm || m_bReadPaused) {
        m_pReadNotifier->setEnabled(false);
        return;
    }
    if (!m_pReadNotifier->isEnabled())
        m_pReadNotifier->setEnabled(true);
    ReadBufferedLater();
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
            if (n >= 0 && m_bFollowPeer && (!AllowSender(from, int(n)) || !NotePeer(from))) {
                ++nBlock; // dropped
                continue;
            }
        } else {
            n = StreamReceive(buffer, nWant);
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
        if (!pSelf || IsClosed())
            return false;
        if (!bGoOn) {
            // The blocks wait for their destination: read again when the
            // owner resumes us.
            m_bReadPaused = true;
            UpdateHangUpWatch();
            return false;
        }
        // A short TCP read means the queue is empty for now (a TLS read
        // returns one record at most: it reads on until nothing is left).
        if (m_nSocketType == SocketTcp && size_t(n) < nWant && !m_stream.IsTls())
            break;
        nBlock += m_nSocketType == SocketUdp ? 1 : int((n + kReceiveBlock - 1) / kReceiveBlock);
    }
    return true;
}
