#pragma once

#include <QString>

#include <functional>

struct SSerialMode;

// The terminal-device calls of a serial port, in one place. Every function
// takes an open descriptor; failures are reported, never thrown.

// Opens a terminal device read-write, non-blocking, without becoming its
// controlling terminal, close-on-exec and exclusive (TIOCEXCL). -1 when it
// cannot be opened or is not a terminal; errno then tells why (ENOTTY: not
// a terminal, EBUSY: opened exclusively elsewhere).
int SerialOpen(const QString& strPath);

// Whether SerialOpen could succeed, found without opening the device (an
// open raises DTR, which resets some boards): 0, or ENOENT (missing),
// ENOTTY (not a character device, or one the kernel files under another
// class than tty) or the errno of the access check for reading and writing.
int SerialInspect(const QString& strPath);

// Whether the device opens now: 0, or the errno the open failed with.
// It is opened without exclusive mode, so it is left as it was found even
// while another program holds it open, and closed again at once, its
// queues left alone. (The kernel itself raises DTR and RTS at a line's
// first open and drops them at its last close.)
int SerialProbe(const QString& strPath);

// Applies the line settings (termios2 for rates without a Bxxx constant)
// and reads them back; false when the device refuses them or a rate,
// stop-bit or flow setting did not take (then errno is 0; otherwise it
// tells why the device refused).
bool SerialApplyMode(int hDevice, const SSerialMode& mode);

// Tests put their own behaviour in place of SerialApplyMode; an empty
// function restores the real one.
using SerialApplyFn = std::function<bool(int hDevice, const SSerialMode& mode)>;
void SetSerialApplyOverride(SerialApplyFn fnApply);

// Raise or drop a modem line. Devices without modem lines
// (pseudo-terminals) are not an error.
void SerialSetDtr(int hDevice, bool bOn);
void SerialSetRts(int hDevice, bool bOn);

// Tests see the modem-line changes here (nLine TIOCM_DTR or TIOCM_RTS)
// instead of the device; an empty function restores the real calls.
using SerialLineFn = std::function<void(int hDevice, int nLine, bool bOn)>;
void SetSerialLineOverride(SerialLineFn fnLine);

// Starts or ends a break on the line; false when the device cannot.
bool SerialSetBreak(int hDevice, bool bOn);
// Throws away what waits in the receive queue, the transmit queue, or both.
void SerialPurge(int hDevice, bool bReceive, bool bTransmit);

// Reads what waits, at most nMax bytes: the count, 0 when nothing waits,
// -1 when the device has failed or hung up.
int SerialRead(int hDevice, char* pBuffer, int nMax);
// Writes what the driver takes now: the count, 0 when it takes nothing
// (wait for writability), -1 when the device has failed or hung up.
int SerialWrite(int hDevice, const char* pData, qsizetype nLen);

// Bytes waiting in the receive queue (FIONREAD); -1 when the device fails.
int SerialBytesWaiting(int hDevice);

// True when the device has hung up or failed (unplugged adapter, closed
// pseudo-terminal master). Does not wait.
bool SerialHungUp(int hDevice);

// Throws away what waits in the receive queue.
void SerialDiscardInput(int hDevice);

// Drops DTR, discards both queues (so close cannot wait for flow-controlled
// output) and closes the descriptor.
void SerialClose(int hDevice);
