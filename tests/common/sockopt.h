#pragma once

// An integer socket option as the kernel reports it; -1 when it cannot be read.

#include <sys/socket.h>

inline int SocketOption(int hSocket, int nLevel, int nName)
{
    int n = -1;
    socklen_t nSize = sizeof n;
    if (::getsockopt(hSocket, nLevel, nName, &n, &nSize) != 0)
        return -1;
    return n;
}
