#pragma once

#include "setup/sockaddress.h"
#include "stream/streamio.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>

#include <functional>
#include <memory>

class CComPortServer;
class CHangUpWatch;
class CPortSocket;
class CTlsSession;

class QSocketNotifier;
class QTimer;

// One client of a listening TCP port shared among several clients: its
// connection and notifications, the bytes held for it and where it stands.
// Every byte of the connection goes through ReadSome and WriteSome, and
// through the client's TLS session when the port is a TLS port.
class CSharedClient : public QObject
{
public:
    // Takes the accepted, non-blocking handle; fnReadable / fnWritable run
    // on its notifications (both off at first).
    using FNotify = std::function<void(CSharedClient*)>;
    CSharedClient(int hSocket, const SSocketAddress& peer, std::unique_ptr<CTlsSession> pTls,
                  const FNotify& fnReadable, const FNotify& fnWritable, QObject* pParent);
    ~CSharedClient() override;
    CSharedClient(const CSharedClient&) = delete;
    CSharedClient& operator=(const CSharedClient&) = delete;

    const SSocketAddress& Peer() const { return m_peer; }
    int Handle() const { return m_hSocket; }
    bool IsClosed() const { return m_hSocket < 0; }
    // Closes the connection; no notification runs any more. The object
    // itself goes from the event loop (it may be inside its own one).
    void Close();

    // Up to nMax bytes of the stream: the count, 0 at its end, or -1 with
    // the Winsock error in *pnError (WSAEWOULDBLOCK: nothing waits now).
    qint64 ReadSome(char* pBuffer, qint64 nMax, int* pnError);
    // Hands up to nLen bytes to the system: the count it took now (may be
    // 0), or -1 with the Winsock error in *pnError.
    qint64 WriteSome(const char* pData, qint64 nLen, int* pnError);

    // Sends strBytes behind anything held: what the system does not take
    // now is held (sharing strBytes' data). False with *pnError on failure.
    bool Send(const QByteArray& strBytes, int* pnError);
    // Hands held bytes (and those a stream layer holds) to the system as
    // far as it takes them now. False with *pnError on failure (the held
    // bytes are then lost).
    bool FlushHeld(int* pnError);
    qint64 HeldBytes() const { return m_nHeld; }
    // How long bytes have been held without the system taking any of them
    // (ms); 0 while nothing is held.
    qint64 StalledFor() const { return HasHeld() ? m_sinceProgress.elapsed() : 0; }
    bool HasHeld() const { return m_nHeld > 0; }

    void WatchReadable(bool bOn);
    // While the client is not read: fnHangUp(this, errno or 0 for a FIN)
    // once it closes or its connection fails, without reading it.
    using FHangUp = std::function<void(CSharedClient*, int nError)>;
    void WatchHangUp(bool bOn, const FHangUp& fnHangUp);
    // On a port with the com port option: the client's session, with the
    // Telnet layer on its stream.
    void ServeComPort(CPortSocket* pPort);

    bool IsTls() const { return m_stream.IsTls(); }
    bool HasBuffered() const { return m_stream.HasBuffered(); }
    // A TLS read waits for writability, or a send for readability (both
    // notifiers are armed for these as well).
    bool TakeReadWantsWrite() { return m_stream.TakeReadWantsWrite(); }
    bool TakeWriteWantsRead() { return m_stream.TakeWriteWantsRead(); }
    // After a failed TLS read or write: why, in words (empty otherwise).
    QByteArray TakeTlsError() { return m_stream.TakeTlsError(); }

    // Bytes read and sent on the connection so far.
    quint64 SessionBytes() const { return m_nSessionBytes; }

    // The initial string (and all held behind it) is out: read from now on.
    bool m_bReady = false;
    // The client shut down its sending side: no more reading; it is
    // dropped once nothing has been sent to it for a while.
    bool m_bFinished = false;
    // Its FIN was seen while it was not read: it is read on up to its end
    // when reading resumes, or dropped if the destination of its bytes
    // takes nothing meanwhile.
    bool m_bPausedFin = false;
    bool IsLeaving() const { return m_bFinished; }
    QTimer* m_pHalfCloseTimer = nullptr;
    // Until when the client's next read is its response to the initial
    // string (expired: it owes none).
    QDeadlineTimer m_responseDue;

private:
    int m_hSocket = -1;
    SSocketAddress m_peer;
    CStreamIo m_stream;
    std::unique_ptr<CComPortServer> m_pComPort;
    QSocketNotifier* m_pReadNotifier = nullptr;
    QSocketNotifier* m_pWriteNotifier = nullptr;
    CHangUpWatch* m_pHangUpWatch = nullptr;
    FHangUp m_fnHangUp;
    // Held bytes, in order; the first from m_nHeldOffset on.
    QByteArrayList m_held;
    qsizetype m_nHeldOffset = 0;
    qint64 m_nHeld = 0;
    // Since bytes came to be held, or the system last took some of them.
    QElapsedTimer m_sinceProgress;
    quint64 m_nSessionBytes = 0;
};
