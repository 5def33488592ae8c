#include "sharedclients.h"

#include "portowner.h"
#include "setup/wsaerror.h"
#include "socket/drainwatch.h"
#include "socket/portsocket.h"
#include "socket/sharedclient.h"
#include "socket/tcplistener.h"
#include "socket/tcpoptions.h"
#include "stream/tlssession.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>

int CSharedClients::s_nStallTimeoutMs = CSharedClients::kStallTimeoutMs;

QList<SSocketAddress> CSharedClients::Peers() const
{
    QList<SSocketAddress> peers;
    for (const CSharedClient* pClient : m_clients)
        peers.append(pClient->Peer());
    return peers;
}

CSharedClients::CSharedClients(CPortSocket* pPort, IPortOwner* pOwner, const QByteArray& strInitial,
                               std::function<void()> fnLastGone)
    : QObject(pPort), m_pPort(pPort), m_pOwner(pOwner), m_strInitial(strInitial), m_fnLastGone(std::move(fnLastGone)),
      m_gathered(CPortSocket::kGatherMaxMs)
{
}

CSharedClients::~CSharedClients()
{
    CloseAll();
}

void CSharedClients::Log(const QByteArray& strLine)
{
    m_pOwner->AddMessage(strLine);
}

void CSharedClients::LogSendError(CSharedClient* pClient, int nError)
{
    const QByteArray strTlsError = pClient->TakeTlsError();
    if (!strTlsError.isEmpty())
        Log("TLS Send Error:" + strTlsError);
    Log("Send Error Code:" + QByteArray::number(nError));
}

void CSharedClients::Add(int hClient, const SSocketAddress& peer, std::unique_ptr<CTlsSession> pTls)
{
    if (m_bClosed) {
        TurnAwayClient(hClient, QByteArray());
        return;
    }
    const QByteArray strSubject = ClientSubjectSuffix(pTls.get());
    auto* pClient = new CSharedClient(
        hClient, peer, std::move(pTls), [this](CSharedClient* p) { OnReadable(p); }, [this](CSharedClient* p) { OnWritable(p); },
        this);
    pClient->ServeComPort(m_pPort);
    const CPortSocket::SKeepAlive keepAlive = CPortSocket::KeepAlive();
    SetTcpKeepAlive(hClient, keepAlive.nIdleSeconds, keepAlive.nIntervalSeconds, keepAlive.nProbes);
    SetTcpNoDelay(hClient);
    m_clients.push_back(pClient);
    Log(m_pPort->ClientKind() + " Client Accepted" + peer.EndpointText() + strSubject);
    QPointer<CSharedClient> pGuard(pClient);
    const int nResponseMs = m_pOwner->OnSharedClientConnected(m_pPort);
    if (m_bClosed || !pGuard || pClient->IsClosed())
        return;
    if (nResponseMs > 0)
        pClient->m_responseDue = QDeadlineTimer(nResponseMs, Qt::PreciseTimer);
    // The initial string first; the client is read once it (and what was
    // sent behind it meanwhile) is out, as a single client is.
    int nError = 0;
    if (!pClient->Send(m_strInitial, &nError)) {
        LogSendError(pClient, nError);
        Drop(pClient);
        return;
    }
    if (!pClient->HasHeld()) {
        pClient->m_bReady = true;
        UpdateReading(pClient);
        ReadBufferedLater(pClient);
    }
    NoteHeldChange();
}

qint64 CSharedClients::PendingBytes() const
{
    qint64 nBytes = 0;
    for (const CSharedClient* pClient : m_clients)
        nBytes += pClient->HeldBytes();
    return nBytes;
}

bool CSharedClients::HasPending() const
{
    return std::any_of(m_clients.begin(), m_clients.end(),
                       [](const CSharedClient* p) { return p->HeldBytes() > kMaxBacklog; });
}

void CSharedClients::Send(const char* pData, qsizetype nLen)
{
    if (m_gathered.IsOn()) {
        if (m_gathered.Add(pData, nLen))
            SendGathered();
        return;
    }
    SendToAll(QByteArray(pData, nLen));
}

void CSharedClients::SendToAll(const QByteArray& strBytes)
{
    // One copy of the bytes, shared by every client that holds them.
    const std::vector<CSharedClient*> clients = m_clients;
    for (CSharedClient* pClient : clients) {
        if (pClient->IsClosed())
            continue;
        int nError = 0;
        if (!pClient->Send(strBytes, &nError)) {
            LogSendError(pClient, nError);
            Drop(pClient);
            continue;
        }
        if (pClient->IsLeaving())
            pClient->m_pHalfCloseTimer->start(CPortSocket::kHalfCloseIdleMs);
    }
    // The caller looks at HasPending itself.
    m_bWasHeld = HasPending();
}

void CSharedClients::BeginGathering()
{
    // Off for TLS, as on a single client's port: each send makes records
    // of its own anyway.
    if (m_gathered.IsOn() || m_clients.empty() || m_pPort->IsTls())
        return;
    m_gathered.Begin(m_clients.front()->Handle(), CPortSocket::kBlocksPerWakeup * CPortSocket::kReceiveBlock);
}

void CSharedClients::EndGathering()
{
    m_gathered.Stop();
    SendGathered();
}

void CSharedClients::SendGathered()
{
    if (m_gathered.IsEmpty())
        return;
    // The clients that hold part of it share the bytes: a new buffer for
    // the next burst.
    SendToAll(m_gathered.Take());
}

void CSharedClients::StartReceiving()
{
    m_bReceiving = true;
    for (CSharedClient* pClient : m_clients)
        UpdateReading(pClient);
    if (!m_pLivenessTimer) {
        m_pLivenessTimer = new QTimer(this);
        connect(m_pLivenessTimer, &QTimer::timeout, this, &CSharedClients::OnLivenessCheck);
    }
    // Often enough for the stall time too.
    if (!m_pLivenessTimer->isActive())
        m_pLivenessTimer->start(qMax(100, qMin(qMax(1, CPortSocket::KeepAlive().nIntervalSeconds) * 1000,
                                                s_nStallTimeoutMs / 4)));
}

void CSharedClients::ResumeReceiving()
{
    m_bReadPaused = false;
    if (m_pDrainWatch)
        m_pDrainWatch->Stop();
    for (CSharedClient* pClient : m_clients) {
        // A FIN seen meanwhile is read in its turn.
        pClient->m_bPausedFin = false;
        UpdateReading(pClient);
        ReadBufferedLater(pClient);
    }
}

bool CSharedClients::CanRead(const CSharedClient* pClient) const
{
    return m_bReceiving && !m_bReadPaused && pClient->m_bReady && !pClient->m_bFinished && !pClient->IsClosed();
}

void CSharedClients::UpdateReading(CSharedClient* pClient)
{
    pClient->WatchReadable(CanRead(pClient));
    // Not read while the owner's pause lasts: its close is watched for.
    const bool bPaused = m_bReceiving && m_bReadPaused && pClient->m_bReady && !pClient->IsLeaving()
        && !pClient->m_bPausedFin && !pClient->IsClosed();
    pClient->WatchHangUp(bPaused, [this](CSharedClient* p, int nError) { OnHangUp(p, nError); });
}

void CSharedClients::OnHangUp(CSharedClient* pClient, int nError)
{
    if (nError != 0) {
        Log("Receive Error Code:" + QByteArray::number(WsaErrorFromErrno(nError)));
        Drop(pClient);
        return;
    }
    // Its FIN: what it sent before is still read, up to its end, when
    // reading resumes; a destination that takes nothing meanwhile makes it
    // leave now.
    pClient->m_bPausedFin = true;
    UpdateReading(pClient);
    if (!m_pDrainWatch) {
        m_pDrainWatch = new CDrainWatch([this] { return m_pOwner->ReadsBacklog(m_pPort); },
                                        [this] { OnDestinationStuck(); }, this);
    }
    m_pDrainWatch->Start();
}

void CSharedClients::OnDestinationStuck()
{
    if (!m_bReadPaused)
        return;
    const std::vector<CSharedClient*> clients = m_clients;
    for (CSharedClient* pClient : clients) {
        if (m_bClosed)
            return;
        if (pClient->m_bPausedFin && !pClient->IsClosed())
            Drop(pClient);
    }
}

void CSharedClients::ReadBufferedLater(CSharedClient* pClient)
{
    if (!pClient->HasBuffered() || !CanRead(pClient))
        return;
    QPointer<CSharedClient> pGuard(pClient);
    QMetaObject::invokeMethod(
        this,
        [this, pGuard] {
            if (pGuard && !m_bClosed && CanRead(pGuard) && pGuard->HasBuffered())
                OnReadable(pGuard);
        },
        Qt::QueuedConnection);
}

void CSharedClients::OnReadable(CSharedClient* pClient)
{
    // One read at a time is passed on whole, so the blocks of two clients
    // never mix; up to what one wake-up of a single client's port takes.
    QPointer<CSharedClients> pSelf(this);
    QPointer<CSharedClient> pGuard(pClient);
    if (pClient->TakeWriteWantsRead() && pClient->HasHeld()) {
        // A TLS send that waited for the socket to be readable.
        OnWritable(pClient);
        if (!pSelf || m_bClosed || !pGuard || pClient->IsClosed())
            return;
    }
    if (!CanRead(pClient)) {
        // Woken for a waiting TLS send only.
        UpdateReading(pClient);
        return;
    }
    char buffer[CPortSocket::kBlocksPerWakeup * CPortSocket::kReceiveBlock];
    for (int nBlock = 0; nBlock < CPortSocket::kBlocksPerWakeup;) {
        const qint64 nWant = qint64(CPortSocket::kBlocksPerWakeup - nBlock) * CPortSocket::kReceiveBlock;
        int nError = 0;
        const qint64 n = pClient->ReadSome(buffer, nWant, &nError);
        if (n < 0) {
            if (nError == WSAEWOULDBLOCK) {
                // A stream layer may stop early with bytes still buffered
                // below it (the Telnet layer after a run of commands only).
                ReadBufferedLater(pClient);
                return;
            }
            const QByteArray strTlsError = pClient->TakeTlsError();
            if (!strTlsError.isEmpty())
                Log("TLS Receive Error:" + strTlsError);
            Log("Receive Error Code:" + QByteArray::number(nError));
            if (nError == WSAECONNRESET || nError == WSAETIMEDOUT)
                Drop(pClient);
            return;
        }
        if (n == 0) {
            OnFinished(pClient);
            return;
        }
        // Only this client's own first read can be its response: the
        // others' blocks meanwhile are passed on as ever.
        const bool bResponse = !pClient->m_responseDue.hasExpired();
        pClient->m_responseDue = QDeadlineTimer();
        const bool bGoOn = bResponse ? m_pOwner->OnResponseRead(m_pPort, buffer, int(n))
                                     : m_pOwner->OnBlocksRead(m_pPort, buffer, int(n));
        if (!pSelf || m_bClosed)
            return;
        if (!bGoOn) {
            // The blocks wait for their destination: no client is read
            // until the owner resumes the port.
            m_bReadPaused = true;
            for (CSharedClient* p : m_clients)
                UpdateReading(p);
            return;
        }
        if (!pGuard || pClient->IsClosed())
            return;
        // A short read means the queue is empty for now; a TLS read ends
        // at a record, so TLS reads on until the session would block.
        if (n < nWant && !pClient->IsTls())
            return;
        nBlock += int((n + CPortSocket::kReceiveBlock - 1) / CPortSocket::kReceiveBlock);
    }
    ReadBufferedLater(pClient);
}

void CSharedClients::OnWritable(CSharedClient* pClient)
{
    int nError = 0;
    const qint64 nHeld = pClient->HeldBytes();
    if (!pClient->FlushHeld(&nError)) {
        LogSendError(pClient, nError);
        Drop(pClient);
        return;
    }
    if (pClient->IsLeaving() && pClient->HeldBytes() < nHeld)
        pClient->m_pHalfCloseTimer->start(CPortSocket::kHalfCloseIdleMs);
    if (!pClient->HasHeld() && !pClient->m_bReady) {
        pClient->m_bReady = true;
        UpdateReading(pClient);
        ReadBufferedLater(pClient);
    }
    NoteHeldChange();
    // A TLS read that waited for the socket to take the session's part.
    if (pClient->TakeReadWantsWrite() && CanRead(pClient))
        OnReadable(pClient);
}

void CSharedClients::OnFinished(CSharedClient* pClient)
{
    // As on a single client's port: a client that has sent its request
    // and shut down its sending side still gets the answer for a while.
    pClient->m_bFinished = true;
    UpdateReading(pClient);
    StartHalfCloseTimer(pClient);
}

void CSharedClients::StartHalfCloseTimer(CSharedClient* pClient)
{
    if (!pClient->m_pHalfCloseTimer) {
        pClient->m_pHalfCloseTimer = new QTimer(pClient);
        pClient->m_pHalfCloseTimer->setSingleShot(true);
        pClient->m_pHalfCloseTimer->setTimerType(Qt::PreciseTimer);
        connect(pClient->m_pHalfCloseTimer, &QTimer::timeout, this, [this, pClient] { OnHalfCloseIdle(pClient); });
    }
    pClient->m_pHalfCloseTimer->start(CPortSocket::kHalfCloseIdleMs);
}

void CSharedClients::OnHalfCloseIdle(CSharedClient* pClient)
{
    if (pClient->IsClosed())
        return;
    if (pClient->HasHeld()) {
        pClient->m_pHalfCloseTimer->start(CPortSocket::kHalfCloseIdleMs);
        return;
    }
    Drop(pClient);
}

void CSharedClients::OnLivenessCheck()
{
    const int nAckTimeoutMs = CPortSocket::KeepAlive().nAckTimeoutMs;
    const std::vector<CSharedClient*> clients = m_clients;
    for (CSharedClient* pClient : clients) {
        if (m_bClosed)
            return;
        if (pClient->StalledFor() >= s_nStallTimeoutMs) {
            // It takes nothing of what waits for it: the others must not
            // wait for it any longer.
            Log(m_pPort->ClientKind() + " Client Dropped,too slow" + pClient->Peer().EndpointText());
            Drop(pClient);
        } else if (IsTcpAckOverdue(pClient->Handle(), nAckTimeoutMs)) {
            Log("Receive Error Code:" + QByteArray::number(WSAETIMEDOUT));
            Drop(pClient);
        }
    }
}

void CSharedClients::Drop(CSharedClient* pClient)
{
    const auto it = std::find(m_clients.begin(), m_clients.end(), pClient);
    if (it == m_clients.end())
        return;
    m_clients.erase(it);
    Log(m_pPort->ClientKind() + " Client Disconnected" + pClient->Peer().EndpointText());
    m_pOwner->OnClientSessionEnded(m_pPort->m_bInput, pClient->SessionBytes());
    pClient->Close();
    pClient->deleteLater();
    if (m_clients.empty()) {
        // From the event loop: a drop may come inside a send to the port.
        // A client that came meanwhile keeps the port going.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!m_bClosed && m_clients.empty())
                    m_fnLastGone();
            },
            Qt::QueuedConnection);
    }
    NoteHeldChange();
}

void CSharedClients::NoteHeldChange()
{
    const bool bHeld = HasPending();
    if (m_bWasHeld && !bHeld) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!m_bClosed && !HasPending())
                    m_pOwner->OnSendDone(m_pPort);
            },
            Qt::QueuedConnection);
    }
    m_bWasHeld = bHeld;
}

void CSharedClients::CloseAll(bool bLog)
{
    m_bClosed = true;
    for (CSharedClient* pClient : m_clients) {
        if (bLog)
            Log(m_pPort->ClientKind() + " Client Disconnected" + pClient->Peer().EndpointText());
        m_pOwner->OnClientSessionEnded(m_pPort->m_bInput, pClient->SessionBytes());
        pClient->Close();
        pClient->deleteLater();
    }
    m_clients.clear();
    if (m_pLivenessTimer)
        m_pLivenessTimer->stop();
    if (m_pDrainWatch)
        m_pDrainWatch->Stop();
    m_gathered.Reset();
}
