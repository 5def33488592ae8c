#include "transferdirection.h"

#include "serial/commport.h"
#include "socket/portsocket.h"
#include "trafficobserver.h"
#include "transferplugin.h"

#include <algorithm>
#include <utility>

QObject* SPortSide::Port() const
{
    if (rpSerial)
        return rpSerial;
    return rpSocket;
}

CTransferDirection::CTransferDirection(bool bInToOut, SPortSide source, SPortSide destination, int nSkipTimer,
                                       const bool* pDestinationStarted, IDirectionHost* pHost,
                                       CTrafficObserver* pObserver)
    : m_bInToOut(bInToOut), m_source(source), m_destination(destination), m_nSkipTimer(nSkipTimer),
      m_pDestinationStarted(pDestinationStarted), m_pHost(pHost), m_pObserver(pObserver)
{
}

CTransferDirection::~CTransferDirection() = default;

void CTransferDirection::SetPlugin(std::unique_ptr<CTransferPlugin> pPlugin)
{
    m_pHeldPlugin = nullptr;
    m_pPlugin = std::move(pPlugin);
}

std::unique_ptr<CTransferPlugin> CTransferDirection::TakePlugin()
{
    m_pHeldPlugin = nullptr;
    return std::move(m_pPlugin);
}

void CTransferDirection::Reset()
{
    m_bParked = false;
    m_bReleased = false;
    m_pDestination = nullptr;
    m_bUnpassed = false;
    m_strBlock.clear();
    m_strSent.clear();
    m_pHeldPlugin = nullptr;
    m_strRest.clear();
    m_pReadFrom = nullptr;
}

// ---- one block -----------------------------------------------------------

void CTransferDirection::HoldBack(const char* pData, int nLen)
{
    // It reaches no plug-in, no port, and it does not start the destination.
    m_pObserver->OnReceived(m_bInToOut, pData, nLen);
    m_pObserver->OnHeldBack(m_bInToOut, nLen);
}

void CTransferDirection::OnBlock(const char* pData, int nLen)
{
    if (m_bSkip) {
        m_bSkip = false;
        m_pHost->KillTimer(m_nSkipTimer);
        HoldBack(pData, nLen);
        return;
    }
    m_pObserver->OnReceived(m_bInToOut, pData, nLen);
    if (m_pDestinationStarted && !*m_pDestinationStarted) {
        switch (m_pHost->StartDestination()) {
        case IDirectionHost::Started: break;
        case IDirectionHost::Failed: return;
        case IDirectionHost::Pending:
            Park(nullptr);
            m_bUnpassed = true;
            m_strBlock = QByteArray(pData, nLen);
            return;
        }
    }
    TransferPasses(pData, nLen);
}

void CTransferDirection::TransferPasses(const char* pData, int nLen)
{
    for (;;) {
        CTransferPlugin* pPlugin = m_pPlugin.get();
        QByteArray copy;
        const char* pOut = pData;
        int nOutLen = nLen;
        if (pPlugin) {
            QByteArray strError;
            switch (pPlugin->Transfer(pData, nLen, &copy, &strError)) {
            case CTransferPlugin::SendReceived: break;
            case CTransferPlugin::SendCopy:
                pOut = copy.constData();
                nOutLen = int(copy.size());
                break;
            case CTransferPlugin::SendNothing:
                pOut = nullptr;
                nOutLen = 0;
                m_pObserver->OnSwallowed(m_bInToOut);
                break;
            case CTransferPlugin::TransferError:
                m_pObserver->OnPluginError();
                m_pHost->AddMessage("DLL Transfer Error Code:" + strError);
                break;
            }
        }
        if (pOut) {
            QObject* pDestination = m_destination.Port();
            m_bNoClientDrop = false;
            const bool bHeld = SendToDestination(pOut, nOutLen);
            // A block dropped for lack of a client was counted as such.
            if (pDestination && !std::exchange(m_bNoClientDrop, false))
                m_pObserver->OnSent(m_bInToOut, pData, nLen, pOut, nOutLen);
            if (bHeld) {
                // DllAfterSend and everything after it wait until the
                // destination has taken the rest of this block.
                Park(pDestination);
                m_strBlock = QByteArray(pData, nLen);
                m_strSent = pOut == copy.constData() ? std::move(copy) : QByteArray(pOut, nOutLen);
                m_pHeldPlugin = pPlugin;
                return;
            }
        }
        if (!AfterPass(pPlugin, pOut, nOutLen))
            return;
    }
}

bool CTransferDirection::AfterPass(CTransferPlugin* pPlugin, const char* pSent, int nSentLen)
{
    // The plug-in may have left the slot since its pass began (a Startup /
    // Reset, or for OUT-->IN the Output going away).
    if (!pPlugin || pPlugin != m_pPlugin.get())
        return false;
    const int nAgain = pPlugin->AfterSend(pSent, pSent ? nSentLen : 0);
    if (nAgain == 0)
        return false;
    if (nAgain != -1) {
        m_pObserver->OnPluginError();
        m_pHost->AddMessage("DLL After Send Errer Code:" + QByteArray::number(nAgain));
        return false;
    }
    return !m_pHost->IsStopping();
}

bool CTransferDirection::SendToDestination(const char* pData, int nLen)
{
    if (CCommPort* pSerial = m_destination.rpSerial) {
        pSerial->WriteBlock(pData, nLen);
        return pSerial->HasPending();
    }
    if (CPortSocket* pSocket = m_destination.rpSocket) {
        pSocket->SendBlock(pData, nLen);
        return pSocket->HasPending();
    }
    m_pHost->AddMessage("Port Close! Can't Send!");
    return false;
}

void CTransferDirection::OnNoClientDrop(int nLen)
{
    m_bNoClientDrop = true;
    m_pObserver->OnNoClient(m_bInToOut, nLen);
}

// ---- parking -------------------------------------------------------------

void CTransferDirection::Park(QObject* pDestination)
{
    m_bParked = true;
    m_bReleased = false;
    m_pDestination = pDestination;
    // No pass is due unless the caller records one.
    m_bUnpassed = false;
    m_strBlock.clear();
    m_strSent.clear();
    m_pHeldPlugin = nullptr;
}

void CTransferDirection::ReleaseDestination()
{
    m_bReleased = true;
    m_pDestination = nullptr;
}

void CTransferDirection::OnDestinationDrained()
{
    if (!m_bParked || m_pHost->IsStopping())
        return;
    m_bParked = false;
    m_bReleased = false;
    m_pDestination = nullptr;
    // The held pass is over: its DllAfterSend, and further passes over the
    // same block if the plug-in asks for them. A block held for the start of
    // its destination goes on now, if the destination runs.
    const QByteArray strBlock = std::exchange(m_strBlock, QByteArray());
    const QByteArray strSent = std::exchange(m_strSent, QByteArray());
    CTransferPlugin* pHeldPlugin = std::exchange(m_pHeldPlugin, nullptr);
    if (std::exchange(m_bUnpassed, false) ? *m_pDestinationStarted
                                          : AfterPass(pHeldPlugin, strSent.constData(), int(strSent.size())))
        TransferPasses(strBlock.constData(), int(strBlock.size()));
    // Then the rest of the read in hand.
    const QByteArray strRest = std::exchange(m_strRest, QByteArray());
    if (!m_bParked && !strRest.isEmpty() && !m_pHost->IsStopping() && IsSourceCurrent())
        PassBlocks(strRest.constData(), strRest.size(), m_nRestBlock);
    if (m_bParked || m_pHost->IsStopping() || !IsSourceCurrent())
        return;
    // Then the source is read again.
    if (CPortSocket* pSocket = m_source.rpSocket)
        pSocket->ResumeReceiving();
    else if (CCommPort* pSerial = m_source.rpSerial)
        pSerial->OnCommNotify();
}

bool CTransferDirection::IsSourceCurrent() const
{
    if (!m_pReadFrom || m_pReadFrom != m_source.Port())
        return false;
    return !m_source.rpSocket || !m_source.rpSocket->IsClosed();
}

// ---- reads ---------------------------------------------------------------

bool CTransferDirection::OnRead(CPortSocket* pSocket, const char* pData, qsizetype nLen)
{
    if (m_bParked) {
        // Not expected (the source is not read meanwhile); the bytes keep
        // their place behind those in hand.
        if (m_strRest.isEmpty())
            m_nRestBlock = CPortSocket::kReceiveBlock;
        m_strRest.append(pData, nLen);
        return false;
    }
    m_pReadFrom = pSocket;
    return PassBlocks(pData, nLen, CPortSocket::kReceiveBlock);
}

void CTransferDirection::OnSerialNotify(CCommPort* pPort)
{
    if (m_bParked)
        return; // re-armed when the direction goes on
    QPointer<CCommPort> pGuard(pPort);
    m_pReadFrom = pPort;
    ReadSerialBlocks(pPort);
    if (pGuard && pPort == m_source.rpSerial && !m_pHost->IsStopping() && !m_bParked)
        pPort->OnCommNotify();
}

bool CTransferDirection::PassBlocks(const char* pData, qsizetype nLen, int nBlock)
{
    if (QObject* pDestination = BatchDestination(nLen)) {
        // All blocks of the read in one system call: one send on a TCP
        // stream or one write to a serial line, one datagram per block on
        // UDP. Each block still counts, and is traced, as received and sent
        // on its own.
        for (qsizetype nOffset = 0; nOffset < nLen; nOffset += nBlock) {
            const int nThis = int(std::min<qsizetype>(nLen - nOffset, nBlock));
            m_pObserver->OnReceived(m_bInToOut, pData + nOffset, nThis);
            m_pObserver->OnSent(m_bInToOut, pData + nOffset, nThis, pData + nOffset, nThis);
        }
        SendBatch(pDestination, pData, nLen, nBlock);
        return !m_bParked;
    }
    // A burst begun by the caller (the reads of one serial wake-up) is
    // ended by it.
    const bool bBurst = nLen > nBlock && !m_pGathering;
    if (bBurst)
        BeginBlockBurst();
    qsizetype nOffset = 0;
    do {
        const int nThis = int(std::min<qsizetype>(nLen - nOffset, nBlock));
        OnBlock(pData + nOffset, nThis);
        nOffset += nThis;
        if (m_bParked) {
            m_strRest = QByteArray(pData + nOffset, nLen - nOffset);
            m_nRestBlock = nBlock;
            break;
        }
        // The rest of a read whose port closed or went away, or that a stop
        // interrupted, is not passed on.
        if (m_pHost->IsStopping() || !IsSourceCurrent())
            break;
    } while (nOffset < nLen);
    if (bBurst)
        EndBlockBurst();
    return !m_bParked;
}

QObject* CTransferDirection::BatchDestination(qsizetype nLen) const
{
    // Per block there is then nothing to call or to decide: no plug-in pass
    // (its calls keep their order relative to each block's send), no block
    // to drop and no destination to start.
    if (nLen <= 0 || m_pPlugin || m_bSkip || (m_pDestinationStarted && !*m_pDestinationStarted))
        return nullptr;
    // A serial line takes a stream of bytes as a socket stream does.
    if (CCommPort* pSerial = m_destination.rpSerial)
        return pSerial;
    // A block without a client or peer to go to is dropped and counted as
    // such, one by one.
    CPortSocket* pSocket = m_destination.rpSocket;
    return pSocket && !pSocket->IsClosed() && !pSocket->IsWithoutPeer() ? pSocket : nullptr;
}

void CTransferDirection::SendBatch(QObject* pDestination, const char* pData, qsizetype nLen, int nBlock)
{
    bool bHeld;
    if (CCommPort* pSerial = m_destination.rpSerial; pSerial && pSerial == pDestination) {
        pSerial->WriteBlock(pData, int(nLen));
        bHeld = pSerial->HasPending();
    } else {
        CPortSocket* pSocket = m_destination.rpSocket;
        pSocket->SendBlocks(pData, nLen, nBlock);
        bHeld = pSocket->HasPending();
    }
    if (bHeld)
        Park(pDestination);
}

void CTransferDirection::ReadSerialBlocks(CCommPort* pPort)
{
    // One read takes what the line's queue holds (up to the blocks one
    // wake-up may pass on), and its bytes are handed on in blocks of at most
    // 500 bytes: exactly the blocks that one 500-byte read after the other
    // would have returned for bytes that were already queued. Reads until
    // a read comes back short (the queue is empty), but hands the event
    // loop back after a bounded number of blocks so the other direction
    // keeps flowing; the re-armed notification brings us back for the rest.
    // A block that its destination holds back ends the reading until it is
    // out. From the second read on, a socket destination gathers the rest of
    // the burst into full segments; a lone block goes out at once.
    constexpr int kMaxBlocks = 64;
    QPointer<CCommPort> pGuard(pPort);
    bool bBurst = false;
    char buffer[kMaxBlocks * kSerialBlock];
    for (int nBlocks = 0, nRead = 0; nBlocks < kMaxBlocks; ++nRead) {
        const int nAsked = (kMaxBlocks - nBlocks) * kSerialBlock;
        const int n = pPort->Read(buffer, nAsked);
        if (n <= 0)
            break;
        if (nRead == 1 && !m_pGathering) {
            BeginBlockBurst();
            bBurst = true;
        }
        nBlocks += (n + kSerialBlock - 1) / kSerialBlock;
        if (!PassBlocks(buffer, n, kSerialBlock))
            break;
        if (!pGuard || m_pHost->IsStopping() || pPort != m_source.rpSerial)
            break;
        // A read that found less than it asked for emptied the queue: what
        // comes later wakes the re-armed notification, and a read now would
        // most likely find nothing.
        if (n < nAsked)
            break;
    }
    if (bBurst)
        EndBlockBurst();
}

void CTransferDirection::BeginBlockBurst()
{
    // Sockets send every block at once (no Nagle delay); the blocks of one
    // read are gathered by a socket destination and leave in full segments,
    // the rest after the last one. Not with a plug-in in the direction: its
    // DllAfterSend comes once its block has been handed to the system, and
    // nothing holds that block back afterwards.
    CPortSocket* pDestination = m_destination.rpSocket;
    if (!pDestination || m_pGathering || m_pPlugin)
        return;
    pDestination->BeginGathering();
    m_pGathering = pDestination;
}

void CTransferDirection::EndBlockBurst()
{
    CPortSocket* pGathering = std::exchange(m_pGathering, nullptr);
    if (!pGathering)
        return;
    pGathering->EndGathering();
    // The system did not take all of the last blocks: the direction waits
    // for them before its source is read again (no pass is due).
    if (pGathering->HasPending() && !m_bParked)
        Park(pGathering);
}
