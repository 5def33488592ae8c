#pragma once

#include "setup/setupstring.h"
#include "setup/sockaddress.h"
#include "socket/hostlookup.h"

#include <QByteArray>
#include <QObject>

#include <functional>
#include <memory>

class CCommPort;
class CRemoteOpening;
class CTlsContext;
class CPortSocket;
class IPortOwner;

// Opens one port of the gateway from its setup string and sends the decoded
// initial string, step by step from the event loop's notifications: name
// lookup, connect (with its time-out), the initial string going out. Never
// waits on the caller's stack.
//
// A serial port whose [Serial Ports] entry is a device server's URL opens
// through CRemoteOpening (look up, connect, negotiate, settings).
//
// Result codes: 0 and exactly one new port (TakePort), or 1 serial port not
// opened (a device server's line included), 2 TCP socket not created, 3 TCP connection failed or timed out,
// 4 UDP socket not created, 10-13 and 20 setup string refused. TLS ports
// give 2 when the [TLS] files are not usable and 3 when the handshake with
// the server fails.
// Deleting the object gives the open up at once: the port being opened
// goes with it and nothing is reported.
// The new port does not read yet: the caller starts its notifications once
// it has recorded the port (CPortSocket::StartReceiving, CCommPort::OnCommNotify).
class CPortOpening : public QObject
{
public:
    using FDone = std::function<void(int nResult)>;

    CPortOpening(const QByteArray& strSetup, const QByteArray& strInitial, bool bInput, bool bDetectCarrier,
                 IPortOwner* pOwner);
    ~CPortOpening() override;

    // Starts the open; fnDone runs once, when it is over (possibly before
    // Start returns). Nothing of this object is touched after fnDone.
    void Start(FDone fnDone);
    // The port being opened (its notifications may come before the open is
    // over), and after a successful open the port itself.
    CCommPort* Serial() const { return m_pSerial; }
    CPortSocket* Socket() const { return m_pSocket; }
    // Hands the opened port over to the caller.
    void TakePort(CCommPort** ppSerial, CPortSocket** ppSocket);

private:
    void OpenSerial();
    void OpenRemoteSerial(const QString& strUrl);
    // The serial port is open: its initial string, then done.
    void SendSerialInitial();
    void OpenTcp();
    void OnTcpPeer(bool bNamed);
    void ReportCreateError(const char* pszKind, int nError);
    void ReportFailure(int eWhat, int nError = 0, const QByteArray& strDetail = QByteArray());
    // TLS: the context of the [TLS] files; false (reported) when it cannot be made.
    bool MakeTlsContext(bool bServer);
    std::function<std::shared_ptr<CTlsContext>()> TlsRenewal() const;
    // The TCP connection is up: the TLS handshake when there is one, then
    // the initial string.
    void OnTcpReady();
    void OnTlsDone(bool bOk, const QByteArray& strWhy);
    void OnConnected(int nResult);
    void OpenTcpListener();
    void OpenUdp();
    void OnUdpPeer(int nLookup);
    // The port is made and connected: its initial string, then done.
    void SendInitial();
    void Finish(int nResult);
    void FinishLater(int nResult);
    // Drops the port being opened (failure or given up).
    void DropPort();

    QByteArray m_strSetup;
    QByteArray m_strInitial;
    bool m_bInput;
    bool m_bDetectCarrier;
    IPortOwner* m_pOwner;
    FDone m_fnDone;
    SWinsockSetup m_setup;
    CCommPort* m_pSerial = nullptr;
    CPortSocket* m_pSocket = nullptr;
    // The destination of a TCP client, and its name's lookup.
    SSocketAddress m_peer;
    CHostLookup m_lookup;
    bool m_bTls = false;
    std::shared_ptr<CTlsContext> m_pTlsContext;
    std::unique_ptr<CRemoteOpening> m_pRemote;
};
