#pragma once

#include "setup/sockaddress.h"
#include "stream/comportoption.h"
#include "stream/telnetcodec.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <functional>

class CPortSocket;
class CStreamIo;
class CTelnetLayer;
class IPortOwner;

// The com port option (RFC 2217) for one client of a listening port with
// the option rfc2217: puts the Telnet layer on the client's stream, answers
// the client's commands with what the owner (the gateway) makes of them on
// the serial line at the other side, and passes the line's notifications
// on as the client's masks ask. Lives as long as the client's connection.
class CComPortServer : public ITelnetOwner
{
public:
    // Sent for SIGNATURE.
    static constexpr const char* kSignature = "Trelvane";
    // Lines of line changes one client may put in the Message list per
    // kLogWindowMs; more are counted and summed up in one line later.
    static constexpr int kMaxLogLines = 20;
    static constexpr qint64 kLogWindowMs = 60000;

    // fnHeld runs when the layer holds bytes the socket did not take (the
    // host then waits for writability and flushes its stream).
    CComPortServer(CPortSocket* pPort, IPortOwner* pOwner, const SSocketAddress& peer, std::function<void()> fnHeld);
    ~CComPortServer();
    CComPortServer(const CComPortServer&) = delete;
    CComPortServer& operator=(const CComPortServer&) = delete;

    // Pushes the Telnet layer on the client's stream (hSocket) and starts
    // the negotiation.
    void Attach(CStreamIo& stream, int hSocket);

    // The line's modem state changed (NOTIFY-MODEMSTATE bits, the low four
    // naming the lines that changed), or line errors came (NOTIFY-LINESTATE
    // bits): sent when the client's mask takes any of them.
    void NotifyModemState(uchar nState);
    void NotifyLineState(uchar nState);

    uchar ModemStateMask() const { return m_nModemMask; }
    uchar LineStateMask() const { return m_nLineMask; }
    // The client has changed the line (its changes are undone when the
    // last such client has gone).
    bool HasChangedLine() const { return m_bChanged; }

    // ITelnetOwner
    void OnSubnegotiation(uchar nOption, QByteArrayView payload) override;
    // Once the client has agreed to the option: the modem state as it is,
    // since clients (pyserial's) know it only from notifications.
    void OnTelnetOption(uchar nOption, bool bOurs, bool bEnabled) override;

private:
    void OnCommand(const SComPortMessage& message);
    void Answer(SComPortMessage message);
    void LogChange(const SComPortMessage& answer);

    CPortSocket* m_pPort;
    IPortOwner* m_pOwner;
    SSocketAddress m_peer;
    std::function<void()> m_fnHeld;
    CTelnetLayer* m_pLayer = nullptr;
    // Masks as RFC 2217 starts them: every modem line, no line state.
    uchar m_nModemMask = 0xff;
    uchar m_nLineMask = 0;
    bool m_bChanged = false;
    bool m_bAnnounced = false;
    QElapsedTimer m_logWindow;
    int m_nLogLines = 0;
    int m_nNotLogged = 0;
};
