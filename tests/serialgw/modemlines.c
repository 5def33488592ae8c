/* Preloaded into a device server that serves a pseudo-terminal: a pty has
 * no modem control lines, so the requests for them (TIOCMGET, TIOCMBIS,
 * TIOCMBIC, TIOCMSET) that the terminal refuses are answered here from one
 * word of line state, CTS, DSR and DCD up at the start. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>

static int s_nLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;

int ioctl(int hFile, unsigned long nRequest, ...)
{
    static int (*pfnReal)(int, unsigned long, ...);
    va_list args;
    va_start(args, nRequest);
    void* pArg = va_arg(args, void*);
    va_end(args);
    if (!pfnReal)
        pfnReal = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    const int nResult = pfnReal(hFile, nRequest, pArg);
    if (nResult == 0 || (errno != ENOTTY && errno != EINVAL) || !pArg)
        return nResult;
    int* pnLines = (int*)pArg;
    switch (nRequest) {
    case TIOCMGET: *pnLines = s_nLines; return 0;
    case TIOCMBIS: s_nLines |= *pnLines; return 0;
    case TIOCMBIC: s_nLines &= ~*pnLines; return 0;
    case TIOCMSET: s_nLines = *pnLines; return 0;
    default: return nResult;
    }
}
