#include "gateway.h"

#include "busyscope.h"
#include "diagnosis.h"
#include "gatewayhost.h"
#include "openport.h"
#include "serial/commport.h"
#include "serial/linecontrol.h"
#include "setup/portfailure.h"
#include "socket/portsocket.h"
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
    case 1: m_inToOut.SetSkipping(false); break;
    case 2: m_outToIn.SetSkipping(false); break;
    case 3:
        if (std::exchange(m_bRestartForClient, false))
            m_observer.OnClientRestart();
        else
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
    m_bRestartForClient = false;
    SetTimer(3);
}

STrafficCounters CGateway::CountersNow() const
{
    STrafficCounters counters = m_observer.Counters();
    counters.m_nClients[0] = m_pInSocket ? m_pInSocket->ClientCount() : -1;
    counters.m_nClients[1] = m_pOutSocket ? m_pOutSocket->ClientCount() : -1;
    return counters;
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
    // The block waits, and the Input is not read, until the start is over.
    StartPort(false, ForOutputOnBlock);
    return Pending;
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
    } else if (!m_pOpening || m_pOpening->Serial() != pPort) {
        // A port still being opened is re-armed once it is recorded.
        AddMessage("msg:" + QByteArray::number(pPort->m_hDevice) + ",in"
                   + QByteArray::number(m_pInSerial ? m_pInSerial->m_hDevice : -1));
    }
}

qint64 CGateway::ReadsBacklog(const QObject* pSource) const
{
    for (const CTransferDirection* pDirection : {&m_inToOut, &m_outToIn}) {
        QObject* pDestination = pSource ? pDirection->ParkedOn() : nullptr;
        if (!pDestination || pDirection->SourcePort() != pSource)
            continue;
        if (auto* pSocket = qobject_cast<CPortSocket*>(pDestination))
            return pSocket->PendingBytes();
        if (auto* pSerial = qobject_cast<CCommPort*>(pDestination))
            return pSerial->PendingBytes();
    }
    return -1;
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
        m_bRestartForClient = pSocket->IsListening();
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

int CGateway::OnSharedClientConnected(CPortSocket* pSocket)
{
    // The port itself tells which read is the new client's response, so no
    // block of a client already sending is held back for it. The window a
    // start opened for this direction goes: no client could answer in it
    // yet, and it would take the next block of whichever client.
    const bool bInput = pSocket->m_bInput;
    CTransferDirection& direction = ReadingFrom(bInput);
    if (direction.IsSkipping()) {
        direction.SetSkipping(false);
        KillTimer(direction.SkipTimer());
    }
    return (bInput ? m_pDoc->m_bNoInInitResponse : m_pDoc->m_bNoOutInitResponse) ? m_nSkipMs : 0;
}

bool CGateway::OnResponseRead(CPortSocket* pSocket, const char* pData, int nLen)
{
    // Its first block is held back as a start's window holds one back; the
    // rest of the read goes on.
    CBusyScope busy(this);
    CTransferDirection& direction = ReadingFrom(pSocket->m_bInput);
    const int nHeld = std::min(nLen, CPortSocket::kReceiveBlock);
    direction.HoldBack(pData, nHeld);
    return nHeld == nLen || direction.OnRead(pSocket, pData + nHeld, nLen - nHeld);
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

// The com port option of a listening socket port (rfc2217): its clients
// set the serial line at the other side of the gateway, and hear of its
// modem lines and errors.

CCommPort* CGateway::LineBeyond(CPortSocket* pSocket) const
{
    if (pSocket && pSocket == m_pInSocket)
        return m_pOutSerial;
    if (pSocket && pSocket == m_pOutSocket)
        return m_pInSerial;
    return nullptr;
}

CPortSocket* CGateway::SocketBeyond(CCommPort* pPort) const
{
    if (pPort && pPort == m_pInSerial)
        return m_pOutSocket;
    if (pPort && pPort == m_pOutSerial)
        return m_pInSocket;
    return nullptr;
}

SComPortMessage CGateway::OnLineCommand(CPortSocket* pSocket, const SComPortMessage& request, bool* pbChanged)
{
    return ApplyComPortMessage(LineBeyond(pSocket), request, pbChanged);
}

void CGateway::OnLineReleased(CPortSocket* pSocket)
{
    if (CCommPort* pLine = LineBeyond(pSocket))
        pLine->RestoreSetup();
}

void CGateway::OnModemStateChanged(CCommPort* pPort, uchar nState)
{
    if (CPortSocket* pSocket = SocketBeyond(pPort))
        pSocket->NotifyModemState(nState);
}

void CGateway::OnLineErrors(CCommPort* pPort, uchar nState)
{
    if (CPortSocket* pSocket = SocketBeyond(pPort))
        pSocket->NotifyLineState(nState);
}
