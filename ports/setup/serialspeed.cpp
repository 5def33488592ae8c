#include "serialspeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

static_assert(sizeof(SKernelLine::cc) == NCCS, "kernel control characters");

bool SetKernelLine(int hDevice, const SKernelLine& line)
{
    termios2 t{};
    t.c_iflag = line.nIflag;
    t.c_oflag = line.nOflag;
    t.c_cflag = (line.nCflag & ~(CBAUD | CIBAUD)) | BOTHER;
    t.c_lflag = line.nLflag;
    std::memcpy(t.c_cc, line.cc, sizeof t.c_cc);
    t.c_ispeed = line.nBaud;
    t.c_ospeed = line.nBaud;
    int nResult;
    do {
        nResult = ioctl(hDevice, TCSETS2, &t);
    } while (nResult < 0 && errno == EINTR);
    return nResult == 0;
}

bool GetKernelLine(int hDevice, SKernelLine* pLine)
{
    termios2 t{};
    if (ioctl(hDevice, TCGETS2, &t) != 0)
        return false;
    pLine->nIflag = t.c_iflag;
    pLine->nOflag = t.c_oflag;
    pLine->nCflag = t.c_cflag & ~(CBAUD | CIBAUD);
    pLine->nLflag = t.c_lflag;
    std::memcpy(pLine->cc, t.c_cc, sizeof t.c_cc);
    pLine->nBaud = t.c_ospeed;
    return true;
}
