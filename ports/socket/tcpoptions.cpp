#include "tcpoptions.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

void SetTcpKeepAlive(int hSocket, int nIdleSeconds, int nIntervalSeconds, int nProbes)
{
    const int nOn = 1;
    ::setsockopt(hSocket, SOL_SOCKET, SO_KEEPALIVE, &nOn, sizeof nOn);
    ::setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPIDLE, &nIdleSeconds, sizeof(int));
    ::setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPINTVL, &nIntervalSeconds, sizeof(int));
    ::setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPCNT, &nProbes, sizeof(int));
}

void SetTcpNoDelay(int hSocket)
{
    // With Nagle's rule the tail of a message longer than one block waits
    // for the far end's (delayed) acknowledgement of the block before it:
    // about 40 ms on Linux.
    const int nNoDelay = 1;
    ::setsockopt(hSocket, IPPROTO_TCP, TCP_NODELAY, &nNoDelay, sizeof nNoDelay);
}

bool IsTcpAckOverdue(int hSocket, int nAckTimeoutMs)
{
    tcp_info info {};
    socklen_t nSize = sizeof info;
    if (hSocket < 0 || ::getsockopt(hSocket, IPPROTO_TCP, TCP_INFO, &info, &nSize) != 0)
        return false;
    const bool bWaiting = info.tcpi_unacked > 0 || info.tcpi_probes > 0;
    return bWaiting && info.tcpi_last_ack_recv >= unsigned(nAckTimeoutMs);
}

int TcpSegmentSize(int hSocket)
{
    int nSegment = 0;
    socklen_t nSize = sizeof nSegment;
    if (::getsockopt(hSocket, IPPROTO_TCP, TCP_MAXSEG, &nSegment, &nSize) != 0 || nSegment <= 0)
        return 0;
    return nSegment;
}
