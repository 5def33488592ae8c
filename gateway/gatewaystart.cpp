// The gateway's start and stop sequence: Startup / Reset, the two ports'
// starts as chains of steps driven by the event loop, stops and the
// requests that cut a start short.

#include "gateway.h"

#include "busyscope.h"
#include "diagnosis.h"
#include "escapes.h"
#include "gatewayhost.h"
#include "openport.h"
#include "serial/commport.h"
#include "socket/portsocket.h"
#include "socket/tcplistener.h"
#include "trelvanedoc.h"

#include <utility>

// ---- requests ----------------------------------------------------------

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

// ---- starting ----------------------------------------------------------

void CGateway::OnStartupReset()
{
    CBusyScope busy(this);
    StopGateway(true, true);
    if (m_pDoc->m_bNoInInitResponse)
        StartSkipping(m_inToOut);
    // With the Output starting together with the Input, the Input is read
    // only once the Output start is over: a block arriving meanwhile would
    // start the Output a second time.
    m_bOutWithIn = m_pDoc->m_nOutStartup == 1007;
    StartPort(true, ForInput);
}

void CGateway::StartPort(bool bInput, EStartFor eFor)
{
    CancelStart();
    m_strStartSetup = bInput ? m_pDoc->m_strInSetup : m_pDoc->m_strOutSetup;
    QByteArray strInitial = bInput ? m_pDoc->m_strInInitial : m_pDoc->m_strOutInitial;
    if (!strInitial.isEmpty())
        ExpandEscapes(strInitial);
    m_eStartFor = eFor;
    const quint64 nGeneration = m_nStartGeneration;
    m_pOpening = std::make_unique<CPortOpening>(m_strStartSetup, strInitial, bInput, m_pDoc->m_bDetectCarrier != 0,
                                                this);
    // May be over before Start returns (a setup string refused, a serial
    // port that does not open).
    m_pOpening->Start([this, nGeneration](int nResult) { OnPortOpened(nGeneration, nResult); });
}

void CGateway::CancelStart()
{
    ++m_nStartGeneration;
    m_pOpening.reset();
}

void CGateway::OnPortOpened(quint64 nGeneration, int nResult)
{
    if (nGeneration != m_nStartGeneration || !m_pOpening)
        return;
    CBusyScope busy(this);
    CCommPort* pSerial = nullptr;
    CPortSocket* pSocket = nullptr;
    m_pOpening->TakePort(&pSerial, &pSocket);
    // Possibly on the stack (its Start): deleted from the event loop.
    m_pOpening.release()->deleteLater();

    switch (m_eStartFor) {
    case ForInput:
        if (RecordPort(true, nResult, pSerial, pSocket, !m_bOutWithIn) != 0) {
            // A start cut short by a stop or another Startup / Reset has not
            // failed: the request that cut it short reports next.
            if (!IsStopping())
                emit startupFinished(false);
            return;
        }
        if (!m_bOutWithIn) {
            emit startupFinished(IsInputStarted());
            return;
        }
        if (m_pDoc->m_bNoOutInitResponse)
            StartSkipping(m_outToIn);
        StartPort(false, ForOutputWithInput);
        return;
    case ForOutputWithInput: {
        const bool bStarted = RecordPort(false, nResult, pSerial, pSocket, true) == 0;
        // An Output start cut short has not failed either: no box, and the
        // Input stays unread until the request that cut it short runs.
        if (IsStopping())
            return;
        if (bStarted)
            m_bOutStarted = true;
        ArmPort(true);
        if (!bStarted)
            ShowMessageBox("Output Port Connect Error!");
        emit startupFinished(IsInputStarted());
        return;
    }
    case ForOutputOnBlock:
        if (RecordPort(false, nResult, pSerial, pSocket, true) != 0) {
            // A start cut short by a stop or reset has not failed.
            if (!IsStopping())
                AddMessage("Output DoConnect Failure!");
        } else {
            m_bOutStarted = true;
            if (std::exchange(m_bOutDropped, false))
                m_observer.OnReconnect();
        }
        ResumeAfterOutputStart();
        return;
    }
}

void CGateway::ResumeAfterOutputStart()
{
    // The held block goes on (or is dropped when the Output did not start),
    // then the rest of its read; never from inside the block's own pass.
    const quint64 nGeneration = m_nStartGeneration;
    QMetaObject::invokeMethod(
        this,
        [this, nGeneration] {
            // A stop or Startup / Reset meanwhile dropped the block.
            if (nGeneration != m_nStartGeneration || !m_inToOut.IsParked())
                return;
            CBusyScope busy(this);
            m_inToOut.OnDestinationDrained();
        },
        Qt::QueuedConnection);
}

int CGateway::RecordPort(bool bInput, int nResult, CCommPort* pSerial, CPortSocket* pSocket, bool bArm)
{
    if (nResult != 0)
        return nResult;
    if (IsStopping()) {
        // A stop was requested meanwhile; the port would be torn down at
        // once, so do not record it.
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
            const int nInit = pPlugin->Init(m_strStartSetup);
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

void CGateway::ArmPort(bool bInput)
{
    if (bInput)
        m_bInputArmed = true;
    if (CPortSocket* pSocket = bInput ? m_pInSocket : m_pOutSocket)
        pSocket->StartReceiving();
    if (CCommPort* pSerial = bInput ? m_pInSerial : m_pOutSerial)
        pSerial->OnCommNotify();
}

// ---- stopping ----------------------------------------------------------

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
    // A start under way is given up; nothing of the old run may fire later:
    // the timers and both skip flags go with it.
    CancelStart();
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
    // The clients closed here are named, as clients that leave are.
    for (CPortSocket* pSocket : {m_pInSocket, m_pOutSocket})
        if (pSocket)
            pSocket->CloseForStop();
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
