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
    if (m_pDoc->m_bNoInInitResponse)
        StartSkipping(m_inToOut);
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
        if (m_pDoc->m_bNoOutInitResponse)
            StartSkipping(m_outToIn);
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
                ReadingFrom(bInput).SetPlugin(std::move(pPlugin));
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
    std::unique_ptr<CTransferPlugin> pPlugin = ReadingFrom(bInput).TakePlugin();
    if (!pPlugin)
        return;
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
    m_inToOut.SetSkipping(false);
    m_outToIn.SetSkipping(false);
    m_bOutDropped = false;
    m_bInputArmed = false;
    // Held blocks and the reads in hand go with the ports.
    m_inToOut.Reset();
    m_outToIn.Reset();

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
    case 1: m_inToOut.SetSkipping(false); break;
    case 2: m_outToIn.SetSkipping(false); break;
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

void CGateway::StartSkipping(CTransferDirection& direction)
{
    direction.SetSkipping(true);
    SetTimer(direction.SkipTimer());
}

// ---- transfer entries ----------------------------------------------------

void CGateway::TransferInToOut(const char* pData, int nLen)
{
    CBusyScope busy(this);
    m_inToOut.OnBlock(pData, nLen);
}

void CGateway::TransferOutToIn(const char* pData, int nLen)
{
    CBusyScope busy(this);
    m_outToIn.OnBlock(pData, nLen);
}

IDirectionHost::EStart CGateway::StartDestination()
{
    if (m_pDoc->m_bNoOutInitResponse)
        StartSkipping(m_outToIn);
    if (StartPort(false) != 0) {
        // A start cut short by a stop or reset has not failed.
        if (!IsStopping())
            AddMessage("Output DoConnect Failure!");
        return Failed;
    }
    m_bOutStarted = true;
    if (std::exchange(m_bOutDropped, false))
        m_observer.OnReconnect();
    return Started;
}

bool CGateway::OnBlocksRead(CPortSocket* pSocket, const char* pData, int nLen)
{
    CBusyScope busy(this);
    return ReadingFrom(pSocket->m_bInput).OnRead(pSocket, pData, nLen);
}

void CGateway::OnCommNotify(CCommPort* pPort)
{
    CBusyScope busy(this);
    if (m_pInSerial && pPort == m_pInSerial) {
        // Not before the start is over (the Output's too, when it starts
        // with the Input): ArmPort re-arms the port then.
        if (m_bInputArmed)
            m_inToOut.OnSerialNotify(pPort);
    } else if (m_pOutSerial && pPort == m_pOutSerial) {
        m_outToIn.OnSerialNotify(pPort);
    } else if (m_nOpening == 0) {
        // A port still being opened is re-armed once it is recorded.
        AddMessage("msg:" + QByteArray::number(pPort->m_hDevice) + ",in"
                   + QByteArray::number(m_pInSerial ? m_pInSerial->m_hDevice : -1));
    }
}

void CGateway::OnSendDone(QObject* pPort)
{
    for (CTransferDirection* pDirection : {&m_inToOut, &m_outToIn}) {
        if (pDirection->IsParkedOn(pPort)) {
            CBusyScope busy(this);
            pDirection->OnDestinationDrained();
        }
    }
}

void CGateway::ReleaseParked(QObject* pPort)
{
    for (CTransferDirection* pDirection : {&m_inToOut, &m_outToIn}) {
        if (!pDirection->IsParkedOn(pPort))
            continue;
        pDirection->ReleaseDestination();
        QMetaObject::invokeMethod(
            this,
            [this, pDirection] {
                if (!pDirection->IsReleased())
                    return; // gone on already, or stopped
                CBusyScope busy(this);
                pDirection->OnDestinationDrained();
            },
            Qt::QueuedConnection);
    }
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
    if (bInput ? m_pDoc->m_bNoInInitResponse : m_pDoc->m_bNoOutInitResponse)
        StartSkipping(ReadingFrom(bInput));
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
    ReadingFrom(!bInput).OnNoClientDrop(nLen);
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
