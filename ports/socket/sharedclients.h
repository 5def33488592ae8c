#pragma once

#include "setup/sockaddress.h"
#include "socket/gatherbuffer.h"

#include <QByteArray>
#include <QObject>

#include <functional>
#include <memory>
#include <vector>

class CDrainWatch;
class CPortSocket;
class CSharedClient;
class CTlsSession;
class IPortOwner;
class QTimer;

// The clients of a listening TCP port shared among up to N of them
// (clients=N), driven by the port:
// - every block sent to the port goes to every client, in order;
// - what the clients send is passed on one read at a time, as a single
//   client's would be; the owner's read pause stops the reading of all;
// - each client gets the initial string and is read once it is out; its
//   first read within the time the owner gives is passed on as its
//   response (OnResponseRead);
// - bytes the system does not take are held per client. The port counts as
//   holding bytes (HasPending) while any client holds more than kMaxBacklog,
//   so the relay waits for a client that lags (its source is not read
//   meanwhile) and every client that keeps reading gets everything, while
//   the bytes held stay bounded. A client that holds bytes and has taken
//   none of them for the stall time (kStallTimeoutMs) is dropped, so a
//   client that stopped reading holds the others back no longer than that;
// - a client that leaves (its FIN followed by a quiet spell, a reset, the
//   keepalive) is dropped alone; fnLastGone runs (from the event loop) when
//   the last one has gone. While the clients are not read (the owner's
//   pause), a client's FIN or reset is still seen.
class CSharedClients : public QObject
{
public:
    // Bytes held for one client beyond what the system buffers: more, and
    // the relay waits for it.
    static constexpr qint64 kMaxBacklog = 1 << 20;
    // How long a client may hold bytes without taking any of them before
    // it is dropped as too slow.
    static constexpr int kStallTimeoutMs = 10000;
    // Applies from the next check on. Tests shorten it; the program never
    // changes it.
    static void SetStallTimeout(int nMs) { s_nStallTimeoutMs = nMs; }

    CSharedClients(CPortSocket* pPort, IPortOwner* pOwner, const QByteArray& strInitial,
                   std::function<void()> fnLastGone);
    ~CSharedClients() override;

    int Count() const { return int(m_clients.size()); }
    bool IsEmpty() const { return m_clients.empty(); }
    QList<SSocketAddress> Peers() const;
    // Takes an admitted client: its line, the owner's OnSharedClientConnected,
    // the initial string. pTls: the client's session on a TLS port, its
    // handshake done.
    void Add(int hClient, const SSocketAddress& peer, std::unique_ptr<CTlsSession> pTls);
    // A block for every client; see the class.
    void Send(const char* pData, qsizetype nLen);
    bool HasPending() const;
    qint64 PendingBytes() const;
    void StartReceiving();
    void ResumeReceiving();
    void BeginGathering();
    void EndGathering();
    // Closes every client; nothing runs afterwards. bLog: each gets its
    // "... Client Disconnected" line (a stop or Startup / Reset closes them).
    void CloseAll(bool bLog = false);

private:
    void OnReadable(CSharedClient* pClient);
    void OnWritable(CSharedClient* pClient);
    // Reading is on for clients that are ready, not finished, not paused.
    void UpdateReading(CSharedClient* pClient);
    bool CanRead(const CSharedClient* pClient) const;
    // TLS: reads the bytes a session holds from the event loop, which the
    // socket no longer reports.
    void ReadBufferedLater(CSharedClient* pClient);
    void SendToAll(const QByteArray& strBytes);
    void SendGathered();
    void OnFinished(CSharedClient* pClient);
    void OnHalfCloseIdle(CSharedClient* pClient);
    // The keepalive's acknowledgement check and the stall check.
    void OnLivenessCheck();
    // A client not read (the pause) closed (nError 0: its FIN) or failed.
    void OnHangUp(CSharedClient* pClient, int nError);
    void StartHalfCloseTimer(CSharedClient* pClient);
    // The client is gone: its line, then the others go on.
    void Drop(CSharedClient* pClient);
    // Posts the owner's OnSendDone once the port no longer holds bytes
    // (from outside a send: a client drained, left, or came).
    void NoteHeldChange();
    void Log(const QByteArray& strLine);
    // A failed send to pClient: TLS's reason when it has one, then the code.
    void LogSendError(CSharedClient* pClient, int nError);

    static int s_nStallTimeoutMs;
    CPortSocket* m_pPort;
    IPortOwner* m_pOwner;
    QByteArray m_strInitial;
    std::function<void()> m_fnLastGone;
    std::vector<CSharedClient*> m_clients;
    bool m_bClosed = false;
    bool m_bReceiving = false;
    bool m_bReadPaused = false;
    bool m_bWasHeld = false;
    QTimer* m_pLivenessTimer = nullptr;
    // Watches the destination of the clients' reads while a client whose
    // FIN was seen waits unread (m_bPausedFin).
    CDrainWatch* m_pDrainWatch = nullptr;
    void OnDestinationStuck();
    // Gathered blocks of a burst, as on a single client's port.
    CGatherBuffer m_gathered;
};
