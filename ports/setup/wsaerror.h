#pragma once

// Error numbers in the Message list keep Winsock's numbering, so a line reads
// the same on every platform. Maps an errno value to that number.
int WsaErrorFromErrno(int nErrno);
// The errno behind a logged Winsock number (the first of its table entry),
// for describing it in words.
int ErrnoFromWsaError(int nError);

enum : int {
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAENOTSOCK = 10038,
    WSAEMSGSIZE = 10040,
    WSAEADDRINUSE = 10048,
    WSAENETUNREACH = 10051,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAEHOSTUNREACH = 10065,
};
