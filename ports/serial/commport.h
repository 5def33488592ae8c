#pragma once

#include "setup/serialmode.h"

#include <QByteArray>
#include <QObject>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class ILineStatusSource;
struct SCarrierLook;
class IPortOwner;
class QSocketNotifier;

// A serial port of the gateway, opened from a setup string such as
// "COM2:9600,n,8,1". Lives on the user-interface thread; its carrier thread
// only watches the line and posts to it.
//
// By itself it is a local line (a termios device). The relay logic (held
// bytes, notifications, carrier and vanishing rules) runs over a few line
// calls that a remote line (serial/remoteline.h) replaces, so the gateway
// never learns which kind it has.
class CCommPort : public QObject
{
    Q_OBJECT
public:
    // Runs the open sequence; failures are shown as message boxes through the
    // owner. The object always exists afterwards; IsOpen() tells the outcome.
    CCommPort(const QByteArray& strSetup, IPortOwner* pOwner, bool bDetectCarrier, bool bInput);
    ~CCommPort() override;
    CCommPort(const CCommPort&) = delete;
    CCommPort& operator=(const CCommPort&) = delete;

    bool IsOpen() const { return m_hDevice >= 0; }
    // The device has hung up or failed; the port reads and writes nothing.
    bool IsVanished() const { return m_bVanished; }

    // Takes at most nMax bytes that are already queued; 0 when none (or when
    // carrier is absent with Detect Carrier on). Never negative.
    int Read(char* pBuffer, int nMax);
    // Puts an initial string out. True when done with it: written, or
    // nothing may be written (closed, vanished, carrier absent with Detect
    // Carrier). False when the device took only part: the rest is held, and
    // fnWritten runs once it is out or the device has vanished.
    bool WriteInitial(const char* pData, int nLen, std::function<void()> fnWritten);
    // Puts a block of the relay out without waiting: what the device does
    // not take now is held and written when it becomes writable, followed
    // by the owner's OnSendDone. Returns the count taken (held bytes
    // included); 0 when nothing may be written.
    int WriteBlock(const char* pData, int nLen);
    // Bytes of WriteBlock still held back.
    bool HasPending() const { return !m_strPending.isEmpty(); }
    qint64 PendingBytes() const { return m_strPending.size() - m_nPendingOffset; }
    // Re-arms the data notification after the owner has read what waited.
    bool OnCommNotify();
    // Stops the carrier thread, drops DTR, discards both queues and closes
    // the device. Safe to call more than once.
    virtual void Close();

    // The line at run time (serial/linecontrol.cpp), for a network client
    // that sets it (the com port option). The mode in force; a new one
    // is applied through termios and kept when the device takes it.
    const SSerialMode& Mode() const { return m_mode; }
    bool SetMode(const SSerialMode& mode);
    bool Dtr() const { return m_bDtr; }
    bool Rts() const { return m_bRts; }
    bool Break() const { return m_bBreak; }
    void SetDtr(bool bOn);
    void SetRts(bool bOn);
    // False when the device cannot send a break (the state stays).
    bool SetBreak(bool bOn);
    // Throws away what waits to be read, or to be written (held bytes too).
    void Purge(bool bReceive, bool bTransmit);
    // The modem lines as NOTIFY-MODEMSTATE bits (no change bits); a device
    // without modem lines counts as CTS, DSR and DCD on.
    uchar ModemState() const;
    // The setup string's mode, DTR and RTS as after the open, no break.
    void RestoreSetup();

    int m_hDevice = -1;
    IPortOwner* m_pOwner = nullptr;
    bool m_bDetectCarrier = false;
    bool m_bInput = false;

protected:
    // A line that opens by other means (IsOpen once m_hDevice is set).
    CCommPort(IPortOwner* pOwner, bool bDetectCarrier, bool bInput);

    // The line calls. LineRead / LineWrite give a count (0: nothing now) or
    // -1 when the line has gone. WatchReadable / WatchWritable ask for
    // OnLineReadable / OnWritable once bytes wait or the line takes more.
    virtual int LineRead(char* pBuffer, int nMax);
    virtual int LineWrite(const char* pData, int nLen);
    virtual bool LineCarrier() const;
    virtual void WatchReadable(bool bOn);
    virtual void WatchWritable(bool bOn);

    // Bytes wait on the line: the owner is told (it may delete this port).
    void OnLineReadable();
    void OnWritable();
    void OnCarrierChanged(bool bCarrier);
    // The carrier as the line first shows it: taken without a beep or a
    // restart, as a local line's look at the open.
    void TakeFirstCarrier(bool bCarrier);
    // Marks the line as gone; the owner hears of it from the event loop.
    void DeviceVanished();

private:
    void Open(const QByteArray& strSetup);
    bool CarrierPresent() const;
    void UpdateReadNotifier();
    void OnDataReady();
    // Writes held bytes as far as the device takes them now.
    void FlushPending();
    void OnDeviceVanished();
    void RunCarrierThread(SCarrierLook last);
    // The modem lines changed from nBefore to nNow (TIOCM bits).
    void OnModemLinesChanged(int nBefore, int nNow);
    // Line errors taken from the line status: the owner hears of them.
    void ReportLineErrors(quint32 nErrors);

    std::unique_ptr<ILineStatusSource> m_pLineStatus;
    QSocketNotifier* m_pReadNotifier = nullptr;
    QSocketNotifier* m_pWriteNotifier = nullptr;
    // Carrier as last posted by the carrier thread.
    bool m_bCarrier = true;
    // The owner has been told that data waits and has not re-armed yet.
    bool m_bNotifyPending = false;
    bool m_bVanished = false;
    // Runs once the held bytes of an initial string are out.
    std::function<void()> m_fnWritten;
    // The mode of the setup string, and the one in force.
    SSerialMode m_setupMode;
    SSerialMode m_mode;
    bool m_bDtr = false;
    bool m_bRts = false;
    bool m_bBreak = false;
    // Held back by WriteBlock.
    QByteArray m_strPending;
    qsizetype m_nPendingOffset = 0;

    std::thread m_eventThread;
    std::mutex m_mutex;
    std::condition_variable m_cvWake;
    bool m_bRunning = false; // guarded by m_mutex
};
