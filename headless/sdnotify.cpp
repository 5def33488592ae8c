#include "sdnotify.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

CSystemdNotify::CSystemdNotify()
{
    const QByteArray strPath = qgetenv("NOTIFY_SOCKET");
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (strPath.size() < 2 || size_t(strPath.size()) > sizeof addr.sun_path
        || (strPath[0] != '/' && strPath[0] != '@'))
        return;
    std::memcpy(addr.sun_path, strPath.constData(), size_t(strPath.size()));
    if (addr.sun_path[0] == '@')
        addr.sun_path[0] = '\0'; // abstract namespace
    const socklen_t nLen = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(strPath.size()));
    m_address = QByteArray(reinterpret_cast<const char*>(&addr), qsizetype(nLen));
    m_hSocket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);

    bool bOk = false;
    const qint64 nWatchdogUs = qgetenv("WATCHDOG_USEC").toLongLong(&bOk);
    const QByteArray strPid = qgetenv("WATCHDOG_PID");
    const bool bForUs = strPid.isEmpty() || strPid.toLongLong() == qint64(::getpid());
    if (bOk && nWatchdogUs > 0 && bForUs)
        m_nWatchdogPingMs = int(std::clamp<qint64>(nWatchdogUs / 2000, 1, 24 * 3600 * 1000));
}

CSystemdNotify::~CSystemdNotify()
{
    if (m_hSocket >= 0)
        ::close(m_hSocket);
}

bool CSystemdNotify::Send(const QByteArray& strMessage)
{
    if (m_hSocket < 0)
        return false;
    return ::sendto(m_hSocket, strMessage.constData(), size_t(strMessage.size()), MSG_DONTWAIT | MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(m_address.constData()), socklen_t(m_address.size()))
        == ssize_t(strMessage.size());
}
