#pragma once

#include "setup/serialurl.h"
#include "setup/sockaddress.h"
#include "socket/hostlookup.h"

#include <QByteArray>
#include <QObject>

#include <functional>
#include <memory>

class CCommPort;
class CRemoteLine;
class CTlsContext;
class CTlsHandshake;
class CTlsSession;
class IPortOwner;
class QSocketNotifier;
class QTimer;
struct SSerialMode;

// Opens a serial port whose [Serial Ports] entry names a device server:
// looks the host up, connects (with the TLS handshake for rfc2217s://),
// then the remote line negotiates, sends the mode's settings and raises
// DTR and RTS. Every step goes on from the event loop's notifications.
// Deleting the object gives the open up silently.
class CRemoteOpening : public QObject
{
public:
    // Runs once: the open line, or null after the failure has been shown
    // (its line, "OpenComm Error!" and the failure report).
    using FDone = std::function<void(CCommPort* pLine)>;

    CRemoteOpening(const QByteArray& strSetup, const QString& strUrl, bool bInput, bool bDetectCarrier,
                   IPortOwner* pOwner);
    ~CRemoteOpening() override;

    void Start(FDone fnDone);
    // The line being opened (null before the connection is up).
    CCommPort* Line() const;

private:
    void OnPeer();
    void OnConnected(int nError);
    void OnTlsDone(bool bOk, const QByteArray& strWhy);
    void OnLineStarted(bool bOk);
    // Logs strLine, shows "OpenComm Error!" and reports the failure.
    void Fail(const QByteArray& strLine, const QByteArray& strDetail);
    void CloseSocket();

    QByteArray m_strSetup;
    QString m_strUrl;
    bool m_bInput;
    bool m_bDetectCarrier;
    IPortOwner* m_pOwner;
    FDone m_fnDone;
    SSerialUrl m_url;
    std::unique_ptr<SSerialMode> m_pMode;
    SSocketAddress m_peer;
    CHostLookup m_lookup;
    int m_hSocket = -1;
    QSocketNotifier* m_pConnectNotifier = nullptr;
    QTimer* m_pConnectTimer = nullptr;
    std::shared_ptr<CTlsContext> m_pTlsContext;
    std::unique_ptr<CTlsSession> m_pTlsSession;
    CTlsHandshake* m_pHandshake = nullptr;
    CRemoteLine* m_pLine = nullptr;
};
