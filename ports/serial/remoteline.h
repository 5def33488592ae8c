#pragma once

#include "serial/commport.h"
#include "serial/comportrequests.h"
#include "stream/streamio.h"
#include "stream/telnetcodec.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <functional>
#include <memory>

class CTlsSession;
class QSocketNotifier;
class QTimer;
struct SSerialMode;

// A serial line on a device server: a connected stream (plain or TLS) with
// Telnet and its com port option (RFC 2217) on it. Toward the gateway it is
// a CCommPort like any other: the device server's answers stand in for
// termios, its NOTIFY-MODEMSTATE for the carrier, and a closed connection
// for an unplugged adapter.
//
// The socket is always read, so that notifications and answers come in
// while the gateway holds data back; the data bytes wait in the line until
// the gateway reads them (up to kMaxHeld, then the socket waits too).
class CRemoteLine : public CCommPort, private ITelnetOwner
{
public:
    // Outbound Telnet bytes kept before writes are held back.
    static constexpr qsizetype kMaxQueued = 64 * 1024;
    // Inbound data bytes kept before the socket is left unread.
    static constexpr qsizetype kMaxHeld = 256 * 1024;
    // How long the device server may take to agree to the com port option.
    static constexpr int kNegotiateTimeoutMs = 3000;

    // strEndpoint (",port:..,addr:..") names the device server in lines.
    CRemoteLine(IPortOwner* pOwner, bool bDetectCarrier, bool bInput, const QByteArray& strEndpoint);
    ~CRemoteLine() override;

    // Takes over a connected non-blocking stream socket and its TLS session
    // (null for plain TCP), negotiates and sends the mode's settings.
    // fnDone(true) runs once the settings are sent (answers are not waited
    // for): the line is open. fnDone(false) when the connection ends first.
    void Start(int hSocket, std::unique_ptr<CTlsSession> pTls, const SSerialMode& mode,
               std::function<void(bool bOk)> fnDone);

    // Drops DTR on the far line as far as the socket takes it now, and
    // closes the connection.
    void Close() override;

protected:
    int LineRead(char* pBuffer, int nMax) override;
    int LineWrite(const char* pData, int nLen) override;
    bool LineCarrier() const override { return m_bDcd; }
    void WatchReadable(bool bOn) override;
    void WatchWritable(bool bOn) override;

private:
    // ITelnetOwner
    void OnSubnegotiation(uchar nOption, QByteArrayView payload) override;
    void OnTelnetOption(uchar nOption, bool bOurs, bool bEnabled) override;

    void OnSocketReadable();
    void OnSocketWritable();
    // Sends what the codec has queued, as far as the socket takes it.
    bool FlushOut();
    void SendCommand(const SComPortMessage& command);
    // The com port option is settled (or not answered): the settings go out
    // and the line opens.
    void SendSettings(bool bComPort);
    void OnModemState(uchar nState);
    void OnAnswerTimer();
    void ArmAnswerTimer();
    void PostData();
    void ConnectionEnded(const QByteArray& strWhy);
    void UpdateSocketRead();

    QByteArray m_strEndpoint;
    int m_hSocket = -1;
    CStreamIo m_stream;
    CTelnetCodec m_codec;
    CComPortRequests m_requests;
    QElapsedTimer m_clock;
    std::unique_ptr<SSerialMode> m_pMode;
    std::function<void(bool bOk)> m_fnDone;
    QSocketNotifier* m_pSocketRead = nullptr;
    QSocketNotifier* m_pSocketWrite = nullptr;
    QTimer* m_pNegotiateTimer = nullptr;
    QTimer* m_pAnswerTimer = nullptr;

    QByteArray m_strOut;  // Telnet bytes not yet taken by the socket
    QByteArray m_strIn;   // data bytes not yet read by the gateway
    bool m_bWatchData = false;
    bool m_bDataPosted = false;
    bool m_bWantWritable = false;
    bool m_bSettingsSent = false;
    bool m_bDcd = true;
    bool m_bModemStateSeen = false;
};
