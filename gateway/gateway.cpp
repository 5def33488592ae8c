#include "gateway.h"

#include "commport.h"
#include "diagnosis.h"
#include "escapes.h"
#include "gatewayhost.h"
#include "openport.h"
#include "portfailure.h"
#include "portsocket.h"
#include "tcplistener.h"
#include "textcodec.h"
#include "trelvanedoc.h"

#include <algorithm>
#include <utility>

// Marks a gateway operation on the stack; the last one to leave runs what
// was requested meanwhile.
class CBusyScope
{
public:
    explicit CBusyScope(CGateway* pGateway) : m_pGateway(pGateway) { ++m_pGateway->m_nBusy; }
    ~CBusyScope() { m_pGateway->LeaveBusy(); }
    CBusyScope(const CBusyScope&) = delete;
    CBusyScope& operator=(const CBusyScope&) = delete;

private:
    CGateway* m_pGateway;
};

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

// ---- requests and nesting ----------------------------------------------

void CGateway::RequestStartupReset()
{
    if (!IsBusy()) {
        OnStartupReset();
        return;
    }
    // A queued stop outranks a reset: its follow-up (closing the window,
    // applying reloaded settings) must not be lost.
    if (m_pending != PendingStop)
        m_pending = PendingReset;
    m_bStopping = true;
    PostPendingIfIdle();
}

void CGateway::RequestStop(bool bClearStatus, std::function<void()> fnThen, bool bStartFollows)
{
    if (!IsBusy()) {
        KillTimer(3);
        StopGateway(bClearStatus, bStartFollows);
        if (fnThen)
            fnThen();
        return;
    }
    // A stop already queued keeps its follow-up; the new one runs after it.
    if (m_pending == PendingStop) {
        m_bPendingClear = m_bPendingClear || bClearStatus;
        m_bPendingKeep = m_bPendingKeep && bStartFollows;
        if (fnThen) {
            m_fnAfterStop = [fnFirst = std::move(m_fnAfterStop), fnSecond = std::move(fnThen)] {
                if (fnFirst)
                    fnFirst();
                fnSecond();
            };
        }
    } else {
        m_pending = PendingStop;
        m_bPendingClear = bClearStatus;
        m_bPendingKeep = bStartFollows;
        m_fnAfterStop = std::move(fnThen);
    }
    m_bStopping = true;
    PostPendingIfIdle();
}

void CGateway::LeaveBusy()
{
    --m_nBusy;
    PostPendingIfIdle();
}

void CGateway::PostPendingIfIdle()
{
    if (m_nBusy > 0 || m_pending == PendingNone || m_bPendingPosted)
        return;
    // Run the request from the event loop, once every handler has returned
    // (a direction waiting for its destination is dropped by it).
    m_bPendingPosted = true;
    QMetaObject::invokeMethod(this, &CGateway::RunPending, Qt::QueuedConnection);
}

void CGateway::RunPending()
{
    m_bPendingPosted = false;
    if (m_nBusy > 0)
        return; // LeaveBusy posts again when the stack has unwound
    const EPending pending = m_pending;
    m_pending = PendingNone;
    m_bStopping = false;
    if (pending == PendingReset) {
        OnStartupReset();
    } else if (pending == PendingStop) {
        StopGateway(m_bPendingClear, m_bPendingKeep);
        auto fnThen = std::move(m_fnAfterStop);
        m_fnAfterStop = nullptr;
        if (fnThen)
            fnThen();
    }
}

// ---- gateway control ---------------------------------------------------

void CGateway::OnStartupReset()
{
    CBusyScope busy(this);
    StopGateway(true, true);
    if (m_pDoc->m_bNoInInitResponse) {
        m_bSkipInResponse = true;
        SetTimer(1);
    }
    // With the Output starting together with the Input, the Input is read
    // only once the Output start is over: a block arriving meanwhile would
    // start the Output a second time.
    const bool bOutWithIn = m_pDoc->m_nOutStartup == 1007;
    if (StartPortImpl(true, !bOutWithIn) != 0) {
        // A start cut short by a stop or another Startup / Reset has not
        // failed: the request that cut it short reports next.
        if (!IsStopping())
            emit startupFinished(false);
        return;
    }
    if (bOutWithIn) {
        if (m_pDoc->m_bNoOutInitResponse) {
            m_bSkipOutResponse = true;
            SetTimer(2);
        }
        const bool bStarted = StartPort(false) == 0;
        // An Output start cut short has not failed either: no box, and the
        // Input stays unread until the request that cut it short runs.
        if (IsStopping())
            return;
        if (bStarted)
            m_bOutStarted = true;
        ArmPort(true);
        if (!bStarted)
            ShowMessageBox("Output Port Connect Error!");
    }
    emit startupFinished(IsInputStarted());
}

int CGateway::StartPort(bool bInput)
{
    return StartPortImpl(bInput, true);
}

void CGateway::ArmPort(bool bInput)
{
    if (bInput)
        m_bInputArmed = true;
    if (CPortSocket* pSocket = bInput ? m_pInSocket : m_pOutSocket)
        pSocket->StartReceiving();
    if (CCommPort* pSerial = bInput ? m_pInSerial : m_pOutSerial)
        pSerial->OnCommNotify();
}

int CGateway::StartPortImpl(bool bInput, bool bArm)
{
    CBusyScope busy(this);
    const QByteArray strSetup = bInput ? m_pDoc->m_strInSetup : m_pDoc->m_strOutSetup;
    QByteArray strInitial = bInput ? m_pDoc->m_strInInitial : m_pDoc->m_strOutInitial;
    if (!strInitial.isEmpty())
        ExpandEscapes(strInitial);

    CCommPort* pSerial = nullptr;
    CPortSocket* pSocket = nullptr;
    ++m_nOpening;
    const int nResult = OpenPort(strSetup, strInitial, bInput, m_pDoc->m_bDetectCarrier != 0, this, &pSerial,
                                 &pSocket);
    --m_nOpening;
    if (nResult != 0)
        return nResult;
    if (IsStopping()) {
        // A stop was requested while the port opened; it would be torn down
        // at once, so do not record it.
        delete pSerial;
        delete pSocket;
        return 3;
    }
    if (!bInput && pSerial && pSerial->IsVanished()) {
        // The Output's line went away while it opened (its initial string
        // was being written), possibly with the news already handled while
        // the port was not recorded: not a start. The next block from the
        // Input tries again. (The Input restarts through timer 3 instead.)
        delete pSerial;
        return 1;
    }

    if (bInput) {
        m_pInSerial = pSerial;
        m_pInSocket = pSocket;
        m_bOutStarted = false;
    } else {
        m_pOutSerial = pSerial;
        m_pOutSocket = pSocket;
    }
    SetStatus(bInput, bInput ? QStringLiteral("Input Startup!") : QStringLiteral("Output Startup!"));

    const QByteArray strDll = bInput ? m_pDoc->m_strInDll : m_pDoc->m_strOutDll;
    if (!strDll.isEmpty()) {
        auto pPlugin = CTransferPlugin::Load(strDll);
        if (!pPlugin) {
            m_pHost->Explain(QStringLiteral("%1 plug-in not loaded, its blocks pass unchanged: %2")
                                 .arg(bInput ? QStringLiteral("IN-->OUT") : QStringLiteral("OUT-->IN"),
                                      DescribePlugin(strDll, true).m_strProblem));
        }
        if (pPlugin) {
            const int nInit = pPlugin->Init(strSetup);
            if (nInit != 0) {
                m_observer.OnPluginError();
                AddMessage((bInput ? "In2Out DLL Initial Errer Code:" : "Out2In DLL Initial Errer Code:")
                           + QByteArray::number(nInit));
            } else {
                (bInput ? m_hInDll : m_hOutDll) = std::move(pPlugin);
                ++m_nPluginGeneration[bInput];
            }
        }
    }
    AddMessage("Done!");

    // Only now may the new port deliver blocks.
    if (bArm)
        ArmPort(bInput);
    return 0;
}

void CGateway::UnloadPlugin(bool bInput)
{
    std::unique_ptr<CTransferPlugin>& slot = bInput ? m_hInDll : m_hOutDll;
    if (!slot)
        return;
    std::unique_ptr<CTransferPlugin> pPlugin = std::move(slot);
    ++m_nPluginGeneration[bInput];
    const int nQuit = pPlugin->Quit();
    if (nQuit != 0) {
        m_observer.OnPluginError();
        AddMessage((bInput ? "In DLL Quit Errer Code:" : "Out DLL Quit Errer Code:") + QByteArray::number(nQuit));
    }
    pPlugin.reset();
}

void CGateway::StopGateway(bool bClearStatus, bool bKeepListening)
{
    // Nothing of the old run may fire later: the timers and both skip flags
    // go with it.
    KillTimer(1);
    KillTimer(2);
    KillTimer(3);
    m_bSkipInResponse = false;
    m_bSkipOutResponse = false;
    m_bOutDropped = false;
    m_bInputArmed = false;
    // Held blocks and the reads in hand go with the ports.
    for (SDirection& direction : m_directions) {
        const quint64 nParkId = direction.nParkId + 1;
        direction = SDirection();
        direction.nParkId = nParkId;
    }

    UnloadPlugin(true);
    UnloadPlugin(false);

    if (bKeepListening) {
        for (CPortSocket* pSocket : {m_pInSocket, m_pOutSocket})
            if (pSocket && pSocket->Listener())
                pSocket->Listener()->KeepForRestart();
    }
    delete m_pInSocket;
    m_pInSocket = nullptr;
    delete m_pOutSocket;
    m_pOutSocket = nullptr;
    delete m_pOutSerial;
    m_pOutSerial = nullptr;
    delete m_pInSerial;
    m_pInSerial = nullptr;

    if (bClearStatus) {
        SetStatus(true, QString());
        SetStatus(false, QString());
    }
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
        if (StartPort(false) != 0) {
            // A start cut short by a stop or reset has not failed.
            if (!IsStopping())
                AddMessage("Output DoConnect Failure!");
            return;
        }
        m_bOutStarted = true;
        if (std::exchange(m_bOutDropped, false))
            m_observer.OnReconnect();
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
    // same block if the plug-in asks for them.
    const QByteArray strBlock = std::exchange(direction.strBlock, QByteArray());
    const QByteArray strSent = std::exchange(direction.strSent, QByteArray());
    if (AfterPass(bInput, direction.pPlugin, direction.nPluginGeneration, strSent.constData(), int(strSent.size())))
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
        if (m_nOpening == 0)
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
