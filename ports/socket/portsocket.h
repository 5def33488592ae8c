#pragma once

#include "setup/listenoptions.h"
#include "setup/sockaddress.h"
#include "socket/gatherbuffer.h"
#include "socket/refusallog.h"
#include "stream/streamio.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

#include <sys/types.h>

class CComPortServer;
class CDrainWatch;
class CHangUpWatch;
class CNameCache;
class CSharedClients;
class CTcpListener;
class CTlsContext;
class CTlsHandshake;
class CTlsNewcomers;
class CTlsSession;
class IPortOwner;
class QSocketNotifier;
class QTimer;
struct sockaddr;

// What a "TLS Client Accepted,port:...,addr:..." line ends with when the
// client presented a certificate: ",subject:" and its subject as RFC 2253
// writes it, to the end of the line. Empty without one.
QByteArray ClientSubjectSuffix(const CTlsSession* pTls);

// A Winsock-style port of the gateway: a TCP client connection or a UDP
// endpoint sending every datagram to one destination; or, from the local
// setup forms, a listening TCP port (one client at a time, or shared among
// several: CSharedClients) or a UDP port on
// a fixed local port answering the peer it last heard from. Non-blocking
// IPv4 or IPv6 socket, readiness through QSocketNotifier on the
// user-interface thread.
class CPortSocket : public QObject
{
    Q_OBJECT
public:
    enum { SocketTcp = 1, SocketUdp = 2 };
    static constexpr int kReceiveBlock = 512;
    // Blocks one read notification may take with one receive (a TCP read
    // of up to 64 KiB, or as many datagrams).
    static constexpr int kBlocksPerWakeup = 128;
    // How long a TCP connect may take before it counts as timed out.
    static constexpr int kConnectTimeoutMs = 5000;
    // TLS handshakes a listening port runs side by side; a client beyond
    // them waits in the system's queue of pending connections, unless one
    // of them has sent nothing yet: that one gives up its place
    // (CTlsNewcomers, which also bounds the places of one address).
    static constexpr int kMaxHandshakes = 16;

    // A TCP peer that vanished without closing (cable pulled, host down) is
    // noticed within about 20 s and handled as the far end closing, after a
    // "Receive Error Code:10060" line. While the connection is idle, keepalive
    // probes find it (ETIMEDOUT on the next receive). While sent data waits,
    // the port looks every probe interval how long the peer has not
    // acknowledged anything. The system's TCP_USER_TIMEOUT is not used: it
    // also drops a live peer that keeps its window closed (a slow consumer),
    // and with it the data queued for it.
    struct SKeepAlive
    {
        int nIdleSeconds;
        int nIntervalSeconds;
        int nProbes;
        int nAckTimeoutMs;
    };
    static constexpr int kKeepAliveIdleSeconds = 10;
    static constexpr int kKeepAliveIntervalSeconds = 2;
    static constexpr int kKeepAliveProbes = 5;
    static constexpr int kAckTimeoutMs = 20000;
    static constexpr SKeepAlive kDefaultKeepAlive {kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds,
                                                   kKeepAliveProbes, kAckTimeoutMs};
    // Applies to TCP sockets created afterwards. Tests shorten the timers;
    // the program never changes them.
    static void SetKeepAlive(const SKeepAlive& keepAlive) { s_keepAlive = keepAlive; }
    static SKeepAlive KeepAlive() { return s_keepAlive; }

    // A client of a listening port that shuts down its sending side (FIN)
    // still gets what the other side sends; its connection counts as closed
    // once nothing has been sent to it for this long (or a send to it
    // fails). Client connections close at the FIN, as always.
    static constexpr int kHalfCloseIdleMs = 3000;

    CPortSocket(int nSocketType, IPortOwner* pOwner, bool bInput);
    ~CPortSocket() override;

    // socket() + bind(local address; by default any IPv4 address, port 0).
    // Replaces a socket created before. On failure m_nLastError holds the error.
    bool Create(const SSocketAddress* pLocal = nullptr);
    // Starts the connect; true only when it completed at once.
    bool Connect(const SSocketAddress& peer);
    // A listening TCP port: clients come from pListener (owned from now
    // on); each new one replaces the current client and gets strInitial.
    void Listen(CTcpListener* pListener, const QByteArray& strInitial);
    // A UDP port on a fixed local port: every block goes to the peer the
    // port last heard from, which gets strInitial when it first appears.
    void FollowPeer(const QByteArray& strInitial);
    // The options of a listening TCP port or a UDP port on a fixed local
    // port (client policy, allowed addresses); set before it is used.
    void SetListenOptions(const SListenOptions& options) { m_listenOptions = options; }
    // A listening port with TLS: every client's handshake runs (within
    // kConnectTimeoutMs; up to kMaxHandshakes side by side) before it takes
    // the port; one that fails is closed with a line saying why. Set before
    // Listen.
    // fnCurrent (optional): the context for the next newcomer's handshake,
    // asked before each (a renewed certificate comes in through it).
    void SetTlsContext(std::shared_ptr<CTlsContext> pContext,
                       std::function<std::shared_ptr<CTlsContext>()> fnCurrent = nullptr);
    // A connected TCP client: the TLS handshake with the server, checked for
    // strHost. fnDone(true) once done, fnDone(false, why) when it failed or
    // took longer than kConnectTimeoutMs. Nothing runs once the socket is
    // closed or deleted.
    void StartTls(std::shared_ptr<CTlsContext> pContext, const QByteArray& strHost,
                  std::function<void(bool bOk, const QByteArray& strWhy)> fnDone);
    bool IsTls() const { return m_pTlsContext != nullptr; }
    const CTlsContext* TlsContext() const { return m_pTlsContext.get(); }
    // After StartTls failed: its ETlsFailure.
    int TlsFailure() const { return m_nTlsFailure; }
    // A listening port: its clients now (-1 on any other port).
    int ClientCount() const;
    // The kind in the client lines: "TCP" or "TLS".
    QByteArray ClientKind() const;
    // A UDP destination that is a host name: the first lookup. fnDone(0)
    // when it is in (resolved or not), or fnDone(-3) when the socket had to
    // be made anew for an IPv6 destination and could not (m_nLastError).
    void ResolvePeerName(std::function<void(int nResult)> fnDone);
    bool IsListening() const { return m_pListener != nullptr; }
    // A UDP port on a fixed local port, answering the peer it last heard from.
    bool IsFollowingPeer() const { return m_bFollowPeer; }
    // The peers a listening port has now (its clients), or the peer a UDP
    // port on a fixed local port last heard from; empty for other ports.
    QList<SSocketAddress> Clients() const;
    CTcpListener* Listener() const { return m_pListener; }
    // Watches the started connect: fnDone(0) once connected, fnDone(error)
    // with the Winsock error when it failed, fnDone(-1) after nTimeoutMs.
    // Nothing runs once the socket is closed or deleted.
    void AwaitConnect(int nTimeoutMs, std::function<void(int nResult)> fnDone);
    // Starts the read notifications once the socket is usable.
    void StartReceiving();

    // Sends an initial string: on TCP the stream; on UDP one datagram per
    // 512 bytes (the peer's reads and ours take at most a block) to m_nPeer*
    // or the followed peer. True when it is done with it: sent, or failed
    // (logged), or to a name that does not resolve. False when the system
    // took only part: the rest is held, and fnSent runs once it is out (or
    // lost on an error); blocks sent meanwhile go behind it.
    bool SendInitial(const char* pData, int nLen, std::function<void()> fnSent = {});
    // Sends one block of the relay on the socket's own kind (TCP stream, or
    // one UDP datagram to m_nPeer*) without waiting: what the system does
    // not take now is held and goes out when the socket becomes writable,
    // followed by the owner's OnSendDone. Returns the count taken (held
    // bytes included), 0 when a datagram's name does not resolve, or -1
    // (logged) on failure.
    int SendBlock(const char* pData, int nLen);
    // The blocks of one read (at most kBlocksPerWakeup blocks of nBlock
    // bytes, 512 from a socket, 500 from a serial line) in one system call
    // where the peer cannot tell: one send of all bytes on TCP, one sendmmsg
    // of one datagram per block on UDP. Held back and reported like
    // SendBlock.
    int SendBlocks(const char* pData, qsizetype nLen, int nBlock = kReceiveBlock);
    // Bytes of SendBlock still held back (a shared port: for every client).
    bool HasPending() const;
    // How many (a shared port: added up over its clients).
    qint64 PendingBytes() const;
    // Reads again after the owner's OnBlocksRead asked for a pause.
    void ResumeReceiving();

    bool SetBroadcast();
    // TCP: the blocks of one burst (the blocks of one read, passed on one by
    // one) are gathered and handed to the system a full segment at a time,
    // where a corked socket would have sent a segment; the rest when the
    // burst ends, and at the next block once they have waited kGatherMaxMs
    // (a slow pass). SendBlock still reports each block as taken at once,
    // or held when the system did not take a full segment.
    static constexpr int kGatherMaxMs = 5;
    void BeginGathering();
    void EndGathering();
    // No connection: a shared port has no client.
    bool IsClosed() const;
    // A listening port without a client, or a UDP port on a fixed local port
    // that has not heard from any peer: a block sent now is dropped.
    bool IsWithoutPeer() const { return (m_pListener && IsClosed()) || (m_bFollowPeer && !m_clientPeer.IsValid()); }
    // Closes the connection (a TLS one with its close alert) and, on a
    // listening port, gives up the newcomers' TLS handshakes.
    void Close();
    // Close for a stop or Startup / Reset: a listening port's clients get
    // their "... Client Disconnected" lines first (where the port logs them).
    void CloseForStop();

    // A listening port with the com port option (rfc2217), in
    // socketline.cpp. The session for a client's stream (hSocket, from
    // peer): it puts the Telnet layer on the stream; null when the port
    // has no such option. fnHeld runs when the stream holds bytes the
    // socket did not take (the client's host then waits for writability).
    std::unique_ptr<CComPortServer> ServeComPort(CStreamIo& stream, int hSocket, const SSocketAddress& peer,
                                                 std::function<void()> fnHeld);
    // The sessions of the port's clients register themselves; when the
    // last one has gone and any of them changed the line, the owner hears
    // OnLineReleased (from the event loop).
    void AddLineSession(CComPortServer* pSession);
    void RemoveLineSession(CComPortServer* pSession);
    // The serial line's news, for every client's session.
    void NotifyModemState(uchar nState);
    void NotifyLineState(uchar nState);

    // Replaceable for tests: the datagram send itself.
    using FSendTo = long (*)(int hSocket, const void* pData, unsigned long nLen, const sockaddr* pAddr, unsigned nAddrLen);
    static FSendTo s_pfnSendTo;

    IPortOwner* m_pOwner = nullptr;
    int m_nSocketType = 0;
    bool m_bInput = false;
    bool m_bWritable = false;
    int m_nPeerPort = 0;
    QByteArray m_strPeerAddress;
    int m_hSocket = -1;
    int m_nLastError = 0;

private:
    // One "<what> Error Code:%d" line of the Message list.
    void LogError(const char* pszLine, int nError);
    void OnReceive();
    // Reads and passes on the blocks of one wake-up; false when the read
    // notifier must stay off (port closed or gone, stop requested).
    bool ReceiveBlocks();
    void OnSend();
    void OnClose();
    // Close without touching the newcomers' handshakes under way.
    void CloseStream();
    // The far end has gone (the port's own connection is closed, its lines
    // logged): a listening Output waits for the next client, any other
    // port goes to its owner. bHeld: bytes were held for it.
    void OnFarEndGone(bool bHeld);
    // The watched connect is over (writable) or timed out (nResult -1).
    void FinishConnect(int nResult);
    // Hands as much of the bytes to the system as it takes now: the count,
    // or -1 (logged) on failure.
    int TrySend(const char* pData, int nLen);
    // The stream's one receive and one send, through the TLS session when
    // there is one: the count (0 on receive: the far end closed), or -1 with
    // errno (EAGAIN: not now). A TLS failure is logged and reads as a reset.
    ssize_t StreamReceive(char* pData, size_t nLen);
    ssize_t StreamSend(const char* pData, size_t nLen);
    // After a failed stream call: arms the notifier a TLS call waits for,
    // and logs a TLS failure's reason after pszLine.
    void OnStreamStalled(const char* pszLine);
    // Bytes wait inside the TLS session: another read is queued for them.
    void ReadBufferedLater();
    // The system's send of one datagram: the count, 0 when the name does
    // not resolve, -1 (logged) on failure, -2 when it would block.
    int TrySendTo(const char* pData, int nLen, int nPort, const QByteArray& strAddress);
    // Hands held bytes to the system as far as it takes them now.
    void FlushPending();
    // Hands bytes a stream layer holds (its own replies) to the system.
    void FlushStream();
    // Hands the gathered bytes to the system; what it does not take is held.
    void SendGathered();
    // A completed connect to our own address (TCP simultaneous open with
    // ourselves when the target port is free and inside the ephemeral range);
    // such a socket is then set to close with a reset.
    bool IsConnectedToSelf();

    // Takes a created (or accepted) handle: notifiers, keepalive.
    void AttachHandle(int hSocket);
    // Every block goes out as soon as it is passed on (no Nagle delay).
    void SetNoDelay();
    // The destination of a datagram to (nPort, strAddress); false when there
    // is none (name not resolved, no peer yet): nothing is sent.
    // nLen: the datagram's size, for the count of blocks dropped for lack
    // of a peer.
    bool PeerAddress(int nPort, const QByteArray& strAddress, int nLen, SSocketAddress* pPeer);
    // Listening port: a client has connected (with TLS its handshake runs
    // first, then OnHandshakeDone).
    void AcceptClient(int hClient, const SSocketAddress& peer);
    // Listening TLS port: a newcomer's handshake has ended (pTls null: it
    // failed, strWhy says why); the port is full or it takes the client.
    void OnHandshakeDone(int hClient, const SSocketAddress& peer, std::unique_ptr<CTlsSession> pTls,
                         const QByteArray& strWhy, int nFailure);
    // Listening port: takes a new client in place of the current one.
    void TakeClient(int hClient, const SSocketAddress& peer, std::unique_ptr<CTlsSession> pTls);
    // Listening port: the client shut down its sending side.
    void OnClientFinished();
    void StartHalfCloseTimer();
    void OnHalfCloseIdle();
    // UDP on a fixed local port: a datagram came from pFrom; false when it
    // is dropped (it came from the port's own address).
    bool NotePeer(const SSocketAddress& from);
    // A block dropped because a listening port has no client, or a UDP port
    // on a fixed local port has not heard from any peer yet: counted by the
    // owner; the first of each such stretch of a TCP port is logged.
    void DropNoClient(int nLen);
    // The client went away with bytes still held for it: they are lost with
    // it, and a direction that waits for them goes on (from the event loop).
    void ReleaseHeld();

    CTcpListener* m_pListener = nullptr;
    // A listening port shared among several clients (clients=N); null on
    // every other port.
    CSharedClients* m_pShared = nullptr;
    QByteArray m_strClientInitial;
    SSocketAddress m_clientPeer;
    bool m_bFollowPeer = false;
    // AcceptClient's initial string is still going out to a new client:
    // no further client is taken meanwhile.
    bool m_bAccepting = false;
    // The new client's initial string is out: it is read from now on.
    void OnClientReady(bool bHeld);
    // Set once a drop without client has been logged; a new client clears it.
    bool m_bDropLogged = false;
    // The client sent its FIN: no more reading, m_pHalfCloseTimer runs.
    bool m_bClientFinished = false;
    QTimer* m_pHalfCloseTimer = nullptr;
    // UDP on a fixed local port: the initial string went out in this run.
    bool m_bInitialSent = false;
    SListenOptions m_listenOptions;
    // A datagram from a sender not allowed has been logged in this run.
    bool m_bNotAllowedLogged = false;
    // Listening TCP port: whether the client is taken under the options
    // (else it has been turned away, and logged).
    bool AdmitClient(int hClient, const SSocketAddress& peer);
    // Listening TCP port: no further client may come now (clients=refuse
    // with a client, or a shared port with all its places taken).
    bool IsFull() const;
    // Turns a client away because the port is full, with its line.
    void RefuseInUse(int hClient, const SSocketAddress& peer);
    // Counts a refused client and logs its line (strWhat after "KIND Client
    // Refused,"), or only counts it while refusals of its reason are being
    // summed up; a TLS client gets nothing, a TCP one strSend.
    void RefuseClient(int hClient, const SSocketAddress& peer, CRefusalLog::EReason eReason,
                      const QByteArray& strWhat, const QByteArray& strSend = QByteArray());
    CRefusalLog* m_pRefusals = nullptr;
    // UDP on a fixed local port: whether a datagram's sender is allowed
    // (else the datagram is counted as dropped).
    bool AllowSender(const SSocketAddress& from, int nLen);
    std::unique_ptr<CNameCache> m_pNameCache;

    // TLS: the context (listening port or client), the session of the
    // connected stream, the client's own handshake under way, and a
    // listening port's newcomers in their handshakes.
    std::shared_ptr<CTlsContext> m_pTlsContext;
    std::function<std::shared_ptr<CTlsContext>()> m_fnTlsCurrent;
    int m_nTlsFailure = -1;
    // Bytes read and sent since the listening port took its client.
    quint64 m_nSessionBytes = 0;
    // The client of a listening port is gone: its session is counted.
    void EndSession();
    CTlsHandshake* m_pHandshake = nullptr;
    std::unique_ptr<CTlsSession> m_pHandshakeSession;
    CTlsNewcomers* m_pNewcomers = nullptr;
    void DropHandshake();
    // The connected stream's bytes, plain or through its TLS session, and
    // the Telnet layer with the client's com port session (rfc2217).
    CStreamIo m_stream;
    std::unique_ptr<CComPortServer> m_pComPort;
    std::vector<CComPortServer*> m_lineSessions;
    bool m_bLineChanged = false;
    bool m_bBufferedReadQueued = false;

    // The owner asked for a pause in reading.
    bool m_bReadPaused = false;
    // While reading is paused, the far end's close is watched for without
    // reading (TCP): the port's close path runs as a read would have run it.
    CHangUpWatch* m_pHangUpWatch = nullptr;
    void UpdateHangUpWatch();
    void OnPausedHangUp(int nError);
    // The far end's FIN was seen while its bytes waited unread: they are
    // read on when reading resumes; m_pDrainWatch takes the close at once
    // if the destination of those bytes takes nothing meanwhile.
    bool m_bPausedFin = false;
    CDrainWatch* m_pDrainWatch = nullptr;
    bool IsClientLeaving() const { return m_bClientFinished; }
    // Held back by SendBlock: the rest of the stream (TCP), or whole
    // datagrams (UDP), in order.
    QByteArrayList m_pending;
    qsizetype m_nPendingOffset = 0;
    // Gathered blocks of a burst (BeginGathering).
    CGatherBuffer m_gathered {kGatherMaxMs};

    void EnableKeepAlive();
    // The acknowledgement check; takes the close path when the peer is gone.
    void OnLivenessCheck();

    static SKeepAlive s_keepAlive;
    QSocketNotifier* m_pReadNotifier = nullptr;
    QSocketNotifier* m_pWriteNotifier = nullptr;
    QTimer* m_pLivenessTimer = nullptr;
    // A connect being watched (AwaitConnect) and its time-out.
    std::function<void(int)> m_fnConnected;
    QTimer* m_pConnectTimer = nullptr;
    // Runs once the held bytes of an initial string are out.
    std::function<void()> m_fnSent;
};
