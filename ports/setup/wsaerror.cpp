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

int ErrnoFromWsaError(int nError)
{
    switch (nError) {
    case 0: return 0;
    case WSAEWOULDBLOCK: return EWOULDBLOCK;
    case WSAEINVAL: return EINVAL;
    case WSAEACCES: return EACCES;
    case WSAEMSGSIZE: return EMSGSIZE;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAECONNRESET: return ECONNRESET;
    case WSAENOTCONN: return ENOTCONN;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAESHUTDOWN: return EPIPE;
    case WSAENOTSOCK: return ENOTSOCK;
    case WSAEMFILE: return EMFILE;
    case WSAENOBUFS: return ENOBUFS;
    default: return nError > 10000 ? nError - 10000 : 0;
    }
}
