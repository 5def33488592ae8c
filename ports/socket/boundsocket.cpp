#include "boundsocket.h"

#include "setup/wsaerror.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int OpenBoundSocket(int nType, const SSocketAddress& local, int* pnError)
{
    SSocketAddress bindTo = local;
    bool bAnyIPv6 = false;
    if (local.Family() == AF_INET6) {
        const in6_addr& addr = reinterpret_cast<const sockaddr_in6*>(&local.storage)->sin6_addr;
        bAnyIPv6 = IN6_IS_ADDR_UNSPECIFIED(&addr);
    }
    int hSocket = ::socket(bindTo.Family(), nType | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (hSocket < 0 && bAnyIPv6 && errno == EAFNOSUPPORT) {
        bindTo = IPv4Address(htonl(INADDR_ANY), local.Port());
        hSocket = ::socket(AF_INET, nType | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        bAnyIPv6 = false;
    }
    if (hSocket < 0) {
        *pnError = WsaErrorFromErrno(errno);
        return -1;
    }
    const int nOff = 0;
    if (bAnyIPv6)
        ::setsockopt(hSocket, IPPROTO_IPV6, IPV6_V6ONLY, &nOff, sizeof nOff);
    if (nType == SOCK_STREAM && local.Port() != 0) {
        // A listening port comes back at once after a restart, even while
        // connections of the last run are in TIME_WAIT.
        const int nOn = 1;
        ::setsockopt(hSocket, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
    }
    if (::bind(hSocket, bindTo.Get(), bindTo.nLength) != 0) {
        *pnError = WsaErrorFromErrno(errno);
        ::close(hSocket);
        return -1;
    }
    return hSocket;
}
