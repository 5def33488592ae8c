#include "serialdevice.h"

#include "setup/serialmode.h"
#include "setup/serialspeed.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

SerialApplyFn& ApplyOverride()
{
    static SerialApplyFn fn;
    return fn;
}

bool ApplyReal(int hDevice, const SSerialMode& mode)
{
    if (mode.bStandardBaud) {
        if (tcsetattr(hDevice, TCSANOW, &mode.tio) != 0)
            return false;
    } else {
        SKernelLine line;
        line.nIflag = mode.tio.c_iflag;
        line.nOflag = mode.tio.c_oflag;
        line.nCflag = mode.tio.c_cflag;
        line.nLflag = mode.tio.c_lflag;
        std::memcpy(line.cc, mode.tio.c_cc, sizeof line.cc);
        line.nBaud = mode.nBaud;
        if (!SetKernelLine(hDevice, line))
            return false;
    }
    // tcsetattr succeeds when any part took: read back what matters.
    SKernelLine got;
    if (!GetKernelLine(hDevice, &got))
        return false;
    if (!ModeTookEffect(mode, got.nCflag, got.nIflag, got.nBaud)) {
        errno = 0;
        return false;
    }
    return true;
}

} // namespace

int SerialOpen(const QString& strPath)
{
    const QByteArray strNative = strPath.toLocal8Bit();
    if (strNative.isEmpty() || strNative.contains('\0')) {
        errno = ENOENT;
        return -1;
    }
    int hDevice;
    do {
        hDevice = ::open(strNative.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (hDevice < 0 && errno == EINTR);
    if (hDevice < 0)
        return -1;
    if (!isatty(hDevice) || ioctl(hDevice, TIOCEXCL) != 0) {
        const int nErrno = errno;
        ::close(hDevice);
        errno = nErrno;
        return -1;
    }
    return hDevice;
}

int SerialInspect(const QString& strPath)
{
    const QByteArray strNative = strPath.toLocal8Bit();
    if (strNative.isEmpty() || strNative.contains('\0'))
        return ENOENT;
    struct stat info {};
    if (::stat(strNative.constData(), &info) != 0)
        return errno;
    if (!S_ISCHR(info.st_mode))
        return ENOTTY;
    // The kernel lists most character devices with their class; a
    // pseudo-terminal is not listed and passes.
    char szClass[64];
    const QByteArray strClass = "/sys/dev/char/" + QByteArray::number(major(info.st_rdev)) + ':'
                                + QByteArray::number(minor(info.st_rdev)) + "/subsystem";
    const ssize_t nClass = ::readlink(strClass.constData(), szClass, sizeof szClass - 1);
    if (nClass > 0) {
        szClass[nClass] = '\0';
        const char* pszBase = std::strrchr(szClass, '/');
        if (std::strcmp(pszBase ? pszBase + 1 : szClass, "tty") != 0)
            return ENOTTY;
    }
    if (::faccessat(AT_FDCWD, strNative.constData(), R_OK | W_OK, AT_EACCESS) != 0)
        return errno;
    return 0;
}

int SerialProbe(const QString& strPath)
{
    const QByteArray strNative = strPath.toLocal8Bit();
    if (strNative.isEmpty() || strNative.contains('\0'))
        return ENOENT;
    int hDevice;
    do {
        hDevice = ::open(strNative.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (hDevice < 0 && errno == EINTR);
    if (hDevice < 0)
        return errno;
    // Exclusive mode belongs to the terminal, not to this descriptor: set
    // here, it would outlast the close while another program holds the
    // device open and lock every later open out.
    const int nErrno = isatty(hDevice) ? 0 : errno;
    ::close(hDevice);
    return nErrno;
}

bool SerialApplyMode(int hDevice, const SSerialMode& mode)
{
    const SerialApplyFn& fn = ApplyOverride();
    // errno stays 0 when the device took the call but not every setting.
    errno = 0;
    return fn ? fn(hDevice, mode) : ApplyReal(hDevice, mode);
}

void SetSerialApplyOverride(SerialApplyFn fnApply)
{
    ApplyOverride() = std::move(fnApply);
}

namespace {

SerialLineFn& LineOverride()
{
    static SerialLineFn fn;
    return fn;
}

void SetLine(int hDevice, int nLine, bool bOn)
{
    if (const SerialLineFn& fn = LineOverride()) {
        fn(hDevice, nLine, bOn);
        return;
    }
    // ENOTTY / EINVAL: no modem lines (pseudo-terminal); nothing to do.
    ioctl(hDevice, bOn ? TIOCMBIS : TIOCMBIC, &nLine);
}

} // namespace

void SetSerialLineOverride(SerialLineFn fnLine)
{
    LineOverride() = std::move(fnLine);
}

void SerialSetDtr(int hDevice, bool bOn)
{
    SetLine(hDevice, TIOCM_DTR, bOn);
}

void SerialSetRts(int hDevice, bool bOn)
{
    SetLine(hDevice, TIOCM_RTS, bOn);
}

bool SerialSetBreak(int hDevice, bool bOn)
{
    return ioctl(hDevice, bOn ? TIOCSBRK : TIOCCBRK) == 0;
}

void SerialPurge(int hDevice, bool bReceive, bool bTransmit)
{
    if (bReceive || bTransmit)
        tcflush(hDevice, bReceive && bTransmit ? TCIOFLUSH : bReceive ? TCIFLUSH : TCOFLUSH);
}

int SerialRead(int hDevice, char* pBuffer, int nMax)
{
    ssize_t nRead;
    do {
        nRead = ::read(hDevice, pBuffer, size_t(nMax));
    } while (nRead < 0 && errno == EINTR);
    if (nRead > 0)
        return int(nRead);
    if (nRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    // End of file on a terminal: it has hung up.
    return -1;
}

int SerialWrite(int hDevice, const char* pData, qsizetype nLen)
{
    // One call moves at most what an int can count.
    const size_t nChunk = size_t(std::min<qsizetype>(nLen, 1 << 30));
    ssize_t nWritten;
    do {
        nWritten = ::write(hDevice, pData, nChunk);
    } while (nWritten < 0 && errno == EINTR);
    if (nWritten >= 0)
        return int(nWritten);
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return 0;
    return -1;
}

int SerialBytesWaiting(int hDevice)
{
    int nWaiting = 0;
    if (ioctl(hDevice, FIONREAD, &nWaiting) != 0)
        return -1;
    return nWaiting;
}

bool SerialHungUp(int hDevice)
{
    pollfd pfd{hDevice, POLLIN, 0};
    if (poll(&pfd, 1, 0) < 0)
        return false;
    return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void SerialDiscardInput(int hDevice)
{
    tcflush(hDevice, TCIFLUSH);
}

void SerialClose(int hDevice)
{
    SerialSetDtr(hDevice, false);
    tcflush(hDevice, TCIOFLUSH);
    // Exclusive mode belongs to the line, not to this handle: left set, it
    // would lock every later open out while another program holds the line.
    ioctl(hDevice, TIOCNXCL);
    ::close(hDevice);
}
