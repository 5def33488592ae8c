#pragma once

#include <QtGlobal>

#include <functional>
#include <memory>

// Line-error bits as a serial port reports them ("<CE-%u>").
enum : quint32 {
    CE_RXOVER = 0x01,
    CE_OVERRUN = 0x02,
    CE_RXPARITY = 0x04,
    CE_FRAME = 0x08,
    CE_BREAK = 0x10,
};

// Carrier detect and line errors of one open serial device.
class ILineStatusSource
{
public:
    virtual ~ILineStatusSource() = default;
    // True while DCD is high, and on devices without modem lines. Called from
    // the port's carrier thread and from the user-interface thread.
    virtual bool Carrier() = 0;
    // How many times DCD has changed since the device was opened, as the
    // driver counts them; -1 when it keeps no count. Carrier thread only.
    virtual qint64 CarrierChanges() { return -1; }
    // The modem input lines (TIOCM_CTS, TIOCM_DSR, TIOCM_RI, TIOCM_CD), or
    // -1 on devices without modem lines. Called from either thread.
    virtual int ModemLines() { return -1; }
    // CE_ bits of the line errors since the previous call (user-interface
    // thread only).
    virtual quint32 TakeErrors() = 0;
};

// DCD and the driver's count of its changes, looked at together, and the
// modem lines (ModemLines) right after.
struct SCarrierLook
{
    bool bCarrier = true;
    qint64 nChanges = -1;
    int nLines = -1;
};
// Reads the count on both sides of the level until no change came between
// them (a line that does not settle gets the last reading).
SCarrierLook LookAtCarrier(ILineStatusSource& source);

using LineStatusFactory = std::function<std::unique_ptr<ILineStatusSource>(int hDevice)>;

// The source for a newly opened device: the installed factory's, else one
// reading TIOCMGET and TIOCGICOUNT.
std::unique_ptr<ILineStatusSource> CreateLineStatusSource(int hDevice);
// Tests install a scripted source here; an empty factory restores the real one.
void SetLineStatusFactory(LineStatusFactory factory);
