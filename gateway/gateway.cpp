#include "gateway.h"

#include "commport.h"
#include "diagnosis.h"
#include "escapes.h"
#include "gatewayhost.h"
#include "busyscope.h"
#include "openport.h"
#include "portfailure.h"
#include "portsocket.h"
#include "tcplistener.h"
#include "textcodec.h"
#include "trelvanedoc.h"

#include <algorithm>
#include <utility>

CGateway::CGateway(const CTrelvaneDoc* pDoc, IGatewayHost* pHost, QObject* pParent)
    : QObject(pParent), m_pDoc(pDoc), m_pHost(pHost)
{
    for (int i = 0; i < 3; ++i) {
        m_timers[i].setSingleShot(true);
        // Qt's default timers may fire up to 5 % early; a skip window or a
        // restart period must never end before its time.
        m_timers[i].setTimerType(Qt::PreciseTimer);
        connect(&m_timers[i], &QTimer::timeout, this, [this, i] { OnTimer(i + 1); });
    }
}

CGateway::~CGateway()
{
    StopGateway(false);
}

void CGateway::SetTimerPeriods(int nSkipMs, int nRestartMs)
{
    m_nSkipMs = nSkipMs;
    m_nRestartMs = nRestartMs;
}

void CGateway::OnTimer(int nIDEvent)
{
    KillTimer(nIDEvent);
    switch (nIDEvent) {
    case 1: m_bSkipInResponse = false; break;
    case 2: m_bSkipOutResponse = false; break;
    case 3:
        m_observer.OnRestart();
        RequestStartupReset();
        break;
    default: break;
    }
}

void CGateway::SetTimer(int nIDEvent)
{
    m_timers[nIDEvent - 1].start(nIDEvent == 3 ? m_nRestartMs : m_nSkipMs);
}

void CGateway::KillTimer(int nIDEvent)
{
    m_timers[nIDEvent - 1].stop();
}

void CGateway::SetRestartTimer()
{
    SetTimer(3);
}

// ---- transfer pipeline -------------------------------------------------

void CGateway::TransferInToOut(const char* pData, int nLen)
{
    CBusyScope busy(this);
    m_observer.OnReceived(true, pData, nLen);
    if (m_bSkipInResponse) {
        m_observer.OnHeldBack(true, nLen);
        m_bSkipInResponse = false;
        KillTimer(1);
        return;
    }
    if (!m_bOutStarted) {
        if (m_pDoc->m_bNoOutInitResponse) {
            m_bSkipOutResponse = true;
            SetTimer(2);
        }
        // The block goes on once the Output start is over.
        StartOutputForBlock(pData, nLen);
        return;
    }
    TransferPasses(true, pData, nLen);
}

void CGateway::TransferOutToIn(const char* pData, int nLen)
{
    CBusyScope busy(this);
    m_observer.OnReceived(false, pData, nLen);
    if (m_bSkipOutResponse) {
        m_observer.OnHeldBack(false, nLen);
        m_bSkipOutResponse = false;
        KillTimer(2);
        return;
    }
    TransferPasses(false, pData, nLen);
}

void CGateway::TransferPasses(bool bInToOut, const char* pData, int nLen)
{
    for (;;) {
        CTransferPlugin* pPlugin = (bInToOut ? m_hInDll : m_hOutDll).get();
        const quint64 nGeneration = m_nPluginGeneration[bInToOut];
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
                m_observer.OnSwallowed(bInToOut);
                break;
            case CTransferPlugin::TransferError:
                m_observer.OnPluginError();
                AddMessage("DLL Transfer Error Code:" + strError);
                break;
            }
        }
        if (pOut) {
            QObject* pDestination = bInToOut ? static_cast<QObject*>(m_pOutSerial) : m_pInSerial;
            if (!pDestination)
                pDestination = bInToOut ? m_pOutSocket : m_pInSocket;
            m_bNoClientDrop = false;
            const bool bHeld = bInToOut ? SendToPort(m_pOutSerial, m_pOutSocket, pOut, nOutLen)
                                        : SendToPort(m_pInSerial, m_pInSocket, pOut, nOutLen);
            // A block dropped for lack of a client was counted as such.
            if (pDestination && !std::exchange(m_bNoClientDrop, false))
                m_observer.OnSent(bInToOut, pData, nLen, pOut, nOutLen);
            if (bHeld) {
                // DllAfterSend and everything after it wait until the
                // destination has taken the rest of this block.
                SDirection& direction = Park(bInToOut, pDestination);
                direction.strBlock = QByteArray(pData, nLen);
                direction.strSent = pOut == copy.constData() ? std::move(copy) : QByteArray(pOut, nOutLen);
                direction.pPlugin = pPlugin;
                direction.nPluginGeneration = nGeneration;
                return;
            }
        }
        if (!AfterPass(bInToOut, pPlugin, nGeneration, pOut, nOutLen))
            return;
    }
}

CGateway::SDirection& CGateway::Park(bool bInToOut, QObject* pDestination)
{
    SDirection& direction = m_directions[bInToOut];
    direction.bParked = true;
    ++direction.nParkId;
    direction.pDestination = pDestination;
    // No pass is due unless the caller records one.
    direction.bUnpassed = false;
    direction.strBlock.clear();
    direction.strSent.clear();
    direction.pPlugin = nullptr;
    return direction;
}

CPortSocket* CGateway::BatchDestination(bool bInput, qsizetype nLen) const
{
    // Per block there is then nothing to call or to decide: no plug-in pass
    // (its calls keep their order relative to each block's send), no block
    // to drop and no Output to start.
    if (nLen <= 0 || (bInput ? m_hInDll : m_hOutDll))
        return nullptr;
    if (bInput ? m_bSkipInResponse || !m_bOutStarted || m_pOutSerial : m_bSkipOutResponse || m_pInSerial)
        return nullptr;
    // A block without a client or peer to go to is dropped and counted as
    // such, one by one.
    CPortSocket* pSocket = bInput ? m_pOutSocket : m_pInSocket;
    return pSocket && !pSocket->IsClosed() && !pSocket->IsWithoutPeer() ? pSocket : nullptr;
}

bool CGateway::AfterPass(bool bInToOut, CTransferPlugin* pPlugin, quint64 nGeneration, const char* pSent,
                         int nSentLen)
{
    // The direction's plug-in may have been unloaded since its pass began
    // (a Startup / Reset, or for OUT-->IN the Output going away).
    if (!pPlugin || nGeneration != m_nPluginGeneration[bInToOut])
        return false;
    const int nAgain = pPlugin->AfterSend(pSent, pSent ? nSentLen : 0);
    if (nAgain == 0)
        return false;
    if (nAgain != -1) {
        m_observer.OnPluginError();
        AddMessage("DLL After Send Errer Code:" + QByteArray::number(nAgain));
        return false;
    }
    return !IsStopping();
}

bool CGateway::IsSourceCurrent(const SDirection& direction, bool bInput) const
{
    if (CPortSocket* pSocket = direction.pSourceSocket)
        return pSocket == (bInput ? m_pInSocket : m_pOutSocket) && !pSocket->IsClosed();
    if (CCommPort* pSerial = direction.pSourceSerial)
        return pSerial == (bInput ? m_pInSerial : m_pOutSerial);
    return false;
}

bool CGateway::PassBlocks(bool bInput, const char* pData, qsizetype nLen)
{
    SDirection& direction = m_directions[bInput];
    if (CPortSocket* pDestination = BatchDestination(bInput, nLen)) {
        // All blocks of the read in one system call: one send on a TCP
        // stream, one datagram per block on UDP. Each block still counts,
        // and is traced, as received and sent on its own.
        for (qsizetype nOffset = 0; nOffset < nLen; nOffset += CPortSocket::kReceiveBlock) {
            const int nBlock = int(std::min<qsizetype>(nLen - nOffset, CPortSocket::kReceiveBlock));
            m_observer.OnReceived(bInput, pData + nOffset, nBlock);
            m_observer.OnSent(bInput, pData + nOffset, nBlock, pData + nOffset, nBlock);
        }
        pDestination->SendBlocks(pData, nLen);
        if (pDestination->HasPending())
            Park(bInput, pDestination);
        return !direction.bParked;
    }
    const bool bBurst = nLen > CPortSocket::kReceiveBlock;
    if (bBurst)
        BeginBlockBurst(bInput);
    qsizetype nOffset = 0;
    do {
        const int nBlock = int(std::min<qsizetype>(nLen - nOffset, CPortSocket::kReceiveBlock));
        if (bInput)
            TransferInToOut(pData + nOffset, nBlock);
        else
            TransferOutToIn(pData + nOffset, nBlock);
        nOffset += nBlock;
        if (direction.bParked) {
            direction.strRest = QByteArray(pData + nOffset, nLen - nOffset);
            break;
        }
        // The rest of a read whose port closed or went away, or that a stop
        // interrupted, is not passed on.
        if (IsStopping() || !IsSourceCurrent(direction, bInput))
            break;
    } while (nOffset < nLen);
    if (bBurst)
        EndBlockBurst(bInput);
    return !direction.bParked;
}

bool CGateway::OnBlocksRead(CPortSocket* pSocket, const char* pData, int nLen)
{
    CBusyScope busy(this);
    const bool bInput = pSocket->m_bInput;
    SDirection& direction = m_directions[bInput];
    if (direction.bActive || direction.bParked) {
        // Not expected (the source is not read meanwhile); the bytes keep
        // their place behind those in hand.
        direction.strRest.append(pData, nLen);
        return false;
    }
    direction.pSourceSocket = pSocket;
    direction.pSourceSerial = nullptr;
    direction.bActive = true;
    const bool bGoOn = PassBlocks(bInput, pData, nLen);
    direction.bActive = false;
    return bGoOn;
}

void CGateway::OnSendDone(QObject* pPort)
{
    for (bool bInput : {true, false}) {
        const SDirection& direction = m_directions[bInput];
        if (direction.bParked && !direction.bActive && direction.pDestination == pPort)
            ResumeDirection(bInput, direction.nParkId);
    }
}

void CGateway::ReleaseParked(QObject* pPort)
{
    for (bool bInput : {true, false}) {
        const SDirection& direction = m_directions[bInput];
        if (direction.bParked && direction.pDestination == pPort) {
            const quint64 nParkId = direction.nParkId;
            QMetaObject::invokeMethod(this, [this, bInput, nParkId] { ResumeDirection(bInput, nParkId); },
                                      Qt::QueuedConnection);
        }
    }
}

void CGateway::ResumeDirection(bool bInput, quint64 nParkId)
{
    SDirection& direction = m_directions[bInput];
    if (!direction.bParked || direction.bActive || direction.nParkId != nParkId || IsStopping())
        return;
    CBusyScope busy(this);
    direction.bParked = false;
    direction.pDestination = nullptr;
    direction.bActive = true;
    // The held pass is over: its DllAfterSend, and further passes over the
    // same block if the plug-in asks for them. A block held for the Output
    // start it caused is passed on now, if the Output runs.
    const QByteArray strBlock = std::exchange(direction.strBlock, QByteArray());
    const QByteArray strSent = std::exchange(direction.strSent, QByteArray());
    const bool bUnpassed = std::exchange(direction.bUnpassed, false);
    if (bUnpassed ? m_bOutStarted
                  : AfterPass(bInput, direction.pPlugin, direction.nPluginGeneration, strSent.constData(),
                              int(strSent.size())))
        TransferPasses(bInput, strBlock.constData(), int(strBlock.size()));
    // Then the rest of the read in hand.
    const QByteArray strRest = std::exchange(direction.strRest, QByteArray());
    if (!direction.bParked && !strRest.isEmpty() && !IsStopping() && IsSourceCurrent(direction, bInput))
        PassBlocks(bInput, strRest.constData(), strRest.size());
    direction.bActive = false;
    if (direction.bParked || IsStopping() || !IsSourceCurrent(direction, bInput))
        return;
    // Then the source is read again.
    if (CPortSocket* pSocket = direction.pSourceSocket)
        pSocket->ResumeReceiving();
    else if (CCommPort* pSerial = direction.pSourceSerial)
        pSerial->OnCommNotify();
}

void CGateway::BeginBlockBurst(bool bInput)
{
    // Sockets send every block at once (no Nagle delay); the blocks of one
    // read are gathered by a socket destination and leave in full segments,
    // the rest after the last one. Not with a plug-in in the direction: its
    // DllAfterSend comes once its block has been handed to the system, and
    // nothing holds that block back afterwards.
    CPortSocket* pDestination = bInput ? m_pOutSocket : m_pInSocket;
    if (!pDestination || m_pGathering[bInput] || (bInput ? m_hInDll : m_hOutDll))
        return;
    pDestination->BeginGathering();
    m_pGathering[bInput] = pDestination;
}

void CGateway::EndBlockBurst(bool bInput)
{
    CPortSocket* pGathering = m_pGathering[bInput];
    m_pGathering[bInput] = nullptr;
    if (!pGathering)
        return;
    pGathering->EndGathering();
    // The system did not take all of the last blocks: the direction waits
    // for them before its source is read again (no pass is due).
    if (pGathering->HasPending() && !m_directions[bInput].bParked)
        Park(bInput, pGathering);
}

bool CGateway::SendToPort(CCommPort* pSerial, CPortSocket* pSocket, const char* pData, int nLen)
{
    if (pSerial) {
        pSerial->WriteBlock(pData, nLen);
        return pSerial->HasPending();
    }
    if (pSocket) {
        pSocket->SendBlock(pData, nLen);
        return pSocket->HasPending();
    }
    AddMessage("Port Close! Can't Send!");
    return false;
}

void CGateway::OnCommNotify(CCommPort* pPort)
{
    CBusyScope busy(this);
    bool bInput;
    if (m_pInSerial && pPort == m_pInSerial) {
        // Not before the start is over (the Output's too, when it starts
        // with the Input): ArmPort re-arms the port then.
        if (!m_bInputArmed)
            return;
        bInput = true;
    } else if (m_pOutSerial && pPort == m_pOutSerial) {
        bInput = false;
    } else {
        // A port still being opened is re-armed once it is recorded.
        if (!m_pOpening || m_pOpening->Serial() != pPort)
            AddMessage("msg:" + QByteArray::number(pPort->m_hDevice) + ",in"
                       + QByteArray::number(m_pInSerial ? m_pInSerial->m_hDevice : -1));
        return;
    }
    SDirection& direction = m_directions[bInput];
    if (direction.bActive || direction.bParked)
        return; // re-armed when the direction goes on
    QPointer<CCommPort> pGuard(pPort);
    direction.pSourceSerial = pPort;
    direction.pSourceSocket = nullptr;
    direction.bActive = true;
    ReadSerialBlocks(pPort, bInput);
    direction.bActive = false;
    if (pGuard && pPort == (bInput ? m_pInSerial : m_pOutSerial) && !IsStopping() && !direction.bParked)
        pPort->OnCommNotify();
}

void CGateway::ReadSerialBlocks(CCommPort* pPort, bool bInput)
{
    // Reads until the queue is empty, but hands the event loop back after a
    // bounded number of blocks so the other direction keeps flowing; the
    // re-armed notification brings us back for the rest. A block that its
    // destination holds back ends the reading until it is out.
    // From the second block on, a socket destination gathers the rest of the
    // burst into full segments; a lone block goes out at once.
    constexpr int kMaxBlocks = 64;
    QPointer<CCommPort> pGuard(pPort);
    bool bBurst = false;
    char buffer[500];
    for (int i = 0; i < kMaxBlocks; ++i) {
        const int n = pPort->Read(buffer, int(sizeof buffer));
        if (n <= 0)
            break;
        if (i == 1 && !m_pGathering[bInput]) {
            BeginBlockBurst(bInput);
            bBurst = true;
        }
        if (!PassBlocks(bInput, buffer, n))
            break;
        if (!pGuard || IsStopping() || pPort != (bInput ? m_pInSerial : m_pOutSerial))
            break;
    }
    if (bBurst)
        EndBlockBurst(bInput);
}

void CGateway::OnSocketClosed(CPortSocket* pSocket)
{
    if (pSocket->m_bInput) {
        // The closed socket stays in m_pInSocket until the restart; blocks
        // held for it are gone with it.
        ReleaseParked(pSocket);
        SetRestartTimer();
        return;
    }
    if (pSocket != m_pOutSocket)
        return;
    m_pOutSocket = nullptr;
    DropOutput(pSocket);
}

void CGateway::OnClientConnected(CPortSocket* pSocket)
{
    // Each client of a listening port gets the initial string, so its first
    // response is held back as after a start.
    const bool bInput = pSocket->m_bInput;
    if (bInput ? m_pDoc->m_bNoInInitResponse : m_pDoc->m_bNoOutInitResponse) {
        (bInput ? m_bSkipInResponse : m_bSkipOutResponse) = true;
        SetTimer(bInput ? 1 : 2);
    }
}

void CGateway::OnSerialVanished(CCommPort* pPort)
{
    if (pPort == m_pInSerial) {
        SetRestartTimer();
        return;
    }
    if (pPort != m_pOutSerial)
        return;
    m_pOutSerial = nullptr;
    DropOutput(pPort);
}

void CGateway::DropOutput(QObject* pPort)
{
    // The Input keeps running; its next block starts the Output again.
    m_bOutStarted = false;
    m_bOutDropped = true;
    ReleaseParked(pPort);
    UnloadPlugin(false);
    SetStatus(false, QStringLiteral("Remote closed,close myself too!"));
    // The port may still be on the stack (its own receive or a waiting send).
    pPort->deleteLater();
}

// ---- reporting ---------------------------------------------------------

void CGateway::OnNoClientDrop(bool bInput, int nLen)
{
    // bInput names the port that had no client: the block went the other way.
    m_bNoClientDrop = true;
    m_observer.OnNoClient(!bInput, nLen);
}

void CGateway::AddMessage(const QByteArray& strText)
{
    m_log.AddMessage(DisplayText(strText));
}

void CGateway::ShowMessageBox(const QByteArray& strText)
{
    m_pHost->ShowMessageBox(DisplayText(strText));
}

void CGateway::OnPortFailure(const SPortFailure& failure)
{
    m_pHost->Explain((failure.m_bInput ? QStringLiteral("Input: ") : QStringLiteral("Output: "))
                     + ExplainPortFailure(failure, m_serialPortMap));
}

void CGateway::Beep()
{
    m_pHost->Beep();
}

void CGateway::SetStatus(bool bInput, const QString& strText)
{
    m_pHost->SetStatusText(bInput, strText);
}
