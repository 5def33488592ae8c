#include "wsaerror.h"

#include <cerrno>

int WsaErrorFromErrno(int nErrno)
{
    switch (nErrno) {
    case 0: return 0;
    case EWOULDBLOCK:
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EINPROGRESS:
    case EALREADY: return WSAEWOULDBLOCK;
    case EINVAL: return WSAEINVAL;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EMSGSIZE: return WSAEMSGSIZE;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ECONNRESET: return WSAECONNRESET;
    case ENOTCONN: return WSAENOTCONN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENETUNREACH: return WSAENETUNREACH;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EPIPE:
    case ESHUTDOWN: return WSAESHUTDOWN;
    case EBADF:
    case ENOTSOCK: return WSAENOTSOCK;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    default: return 10000 + nErrno;
    }
}
