#pragma once

#include "stream/comportoption.h"
#include "stream/tlscontext.h"

#include <QByteArray>
#include <QMap>
#include <QString>

class QObject;

class CCommPort;
class CTlsContextStore;
class CPortSocket;
struct SPortFailure;

// What a port needs of the gateway that owns it. All calls come on the
// user-interface thread.
class IPortOwner
{
public:
    // One line of the Message list (8-bit text, time stamp added by the owner).
    virtual void AddMessage(const QByteArray& strText) = 0;
    // A message box with an OK button; returns at once, without running
    // the event loop.
    virtual void ShowMessageBox(const QByteArray& strText) = 0;
    virtual void Beep() = 0;

    // A block received on the Input / Output port.
    virtual void TransferInToOut(const char* pData, int nLen) = 0;
    virtual void TransferOutToIn(const char* pData, int nLen) = 0;

    // The far end of a socket port closed; the socket has already closed its
    // handle and logged its line. The owner does the bookkeeping of its side.
    virtual void OnSocketClosed(CPortSocket* pSocket) = 0;
    // A listening socket port with one client at a time has taken a new
    // client (its initial string follows): the owner holds back that
    // client's first response as after a start.
    virtual void OnClientConnected(CPortSocket* /*pSocket*/) {}
    // A port shared among several clients has taken a new one (its initial
    // string follows): for how many ms from now that client's own first
    // read is its response, to go to OnResponseRead (0: none is).
    virtual int OnSharedClientConnected(CPortSocket* /*pSocket*/) { return 0; }
    // Characters wait in a serial port; the port's notifier stays disabled
    // until the port's own OnCommNotify re-arms it.
    virtual void OnCommNotify(CCommPort* pPort) = 0;
    // Timer 3: a full restart after the restart period.
    virtual void SetRestartTimer() = 0;
    // The device of the Output serial port vanished (adapter unplugged,
    // hang-up). The owner tears that side down as for an Output socket whose
    // far end closed, and may delete the port in this call. Never called for
    // the Input port: there the port calls SetRestartTimer instead. Comes
    // from the event loop, never from inside the port's Read or Write.
    virtual void OnSerialVanished(CCommPort* /*pPort*/) {}

    // One read on a socket port (a TCP read or one datagram): its blocks of
    // at most 512 bytes (an empty read is one empty block) go to
    // TransferInToOut / TransferOutToIn in order. False when the port must
    // not be read again until the owner calls its ResumeReceiving.
    virtual bool OnBlocksRead(CPortSocket* pSocket, const char* pData, int nLen);
    // The first read of a shared port's client within the time its owner
    // gave (OnSharedClientConnected): as OnBlocksRead, but its first block
    // is the client's response. An owner that holds nothing back passes it
    // all on.
    virtual bool OnResponseRead(CPortSocket* pSocket, const char* pData, int nLen)
    {
        return OnBlocksRead(pSocket, pData, nLen);
    }
    // A port that held back part of what it was given to send has handed
    // all of it to the system, or dropped it on an error (logged). Comes
    // from the event loop, never from inside the send that held the bytes.
    virtual void OnSendDone(QObject* /*pPort*/) {}

    // A block for a listening port was dropped because no client is
    // connected to it (bInput: the port is the Input). For the counters.
    virtual void OnNoClientDrop(bool /*bInput*/, int /*nLen*/) {}
    // A datagram was dropped because its sender is not in the port's
    // allow= list (bInput: the port is the Input). For the counters.
    virtual void OnNotAllowedDrop(bool /*bInput*/, int /*nLen*/) {}
    // A listening port turned a client away (nReason: CRefusalLog::EReason).
    // For the counters.
    virtual void OnClientRefused(bool /*bInput*/, int /*nReason*/) {}

    // The bytes the destination of pSource's reads still holds while the
    // direction reading pSource waits for them to go out; -1 when no
    // direction waits on pSource.
    virtual qint64 ReadsBacklog(const QObject* /*pSource*/) const { return -1; }

    // A stop or Startup / Reset has been asked for and runs as soon as the
    // gateway's current operation has returned: a listening port takes no
    // new client meanwhile (the stop would close it at once).
    virtual bool IsStopping() const { return false; }

    // A port did not open; called right after its message or log line, with
    // the facts an explanation for the operator needs.
    virtual void OnPortFailure(const SPortFailure& /*failure*/) {}

    // A client of a listening port with the com port option (rfc2217)
    // sends a command for the serial line at the other side: the answer,
    // with the value in force after it (a query: the current value).
    // *pbChanged: the command changed the line. By default there is no
    // line, and every value is answered as asked (serial/linecontrol.h).
    virtual SComPortMessage OnLineCommand(CPortSocket* pSocket, const SComPortMessage& request, bool* pbChanged);
    // Every client of pSocket that changed the line has gone: the setup
    // string's mode applies to the line again.
    virtual void OnLineReleased(CPortSocket* /*pSocket*/) {}
    // A serial port's modem lines changed (NOTIFY-MODEMSTATE bits, the low
    // four naming the lines that changed), or line errors came
    // (NOTIFY-LINESTATE bits).
    virtual void OnModemStateChanged(CCommPort* /*pPort*/, uchar /*nState*/) {}
    virtual void OnLineErrors(CCommPort* /*pPort*/, uchar /*nState*/) {}

    // COMn name -> device path entries of the profile's [Serial Ports].
    virtual QMap<QByteArray, QString> SerialPortMap() const { return {}; }
    // The certificate files of the profile's [TLS] section, or of [TLS
    // <name>] for a port with tls=<name> (strSection).
    virtual STlsConfig TlsConfig(const QByteArray& /*strSection*/) const { return {}; }
    // Where TLS ports keep their contexts across starts and find renewed
    // files (null: each start loads the files anew, and nothing is renewed).
    virtual CTlsContextStore* TlsContexts() { return nullptr; }
    // A TLS handshake failed (nFailure: ETlsFailure), on a listening port or
    // to the server. For the counters.
    virtual void OnTlsFailure(bool /*bInput*/, int /*nFailure*/) {}
    // A client session of a listening port has ended, with the bytes it
    // read and sent. For the counters.
    virtual void OnClientSessionEnded(bool /*bInput*/, quint64 /*nBytes*/) {}

protected:
    ~IPortOwner() = default;
};
