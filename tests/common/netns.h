#pragma once

// A network namespace of the test process's own, with only its loopback:
// tests may change its settings and drop its packets without touching the
// machine's. Enter it in main, while the process has one thread.

#include <QString>

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

inline bool BringUpLoopback()
{
    const int h = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (h < 0)
        return false;
    ifreq req {};
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    bool bOk = ::ioctl(h, SIOCGIFFLAGS, &req) == 0;
    req.ifr_flags |= IFF_UP;
    bOk = bOk && ::ioctl(h, SIOCSIFFLAGS, &req) == 0;
    ::close(h);
    return bOk;
}

// Empty when the process now has a namespace of its own with loopback up,
// else why not.
inline QString EnterOwnNetworkNamespace()
{
    // A user namespace lets it work without root where the system allows that.
    if (::unshare(CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return QStringLiteral("unshare: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    return BringUpLoopback() ? QString() : QStringLiteral("loopback does not come up");
}
