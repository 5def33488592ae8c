#pragma once

#include <QByteArray>

// The service manager's readiness protocol: one datagram per message
// ("READY=1", "STATUS=...", "WATCHDOG=1", "STOPPING=1") to the AF_UNIX
// socket named by $NOTIFY_SOCKET (a path, or "@name" for the abstract
// namespace). Without the variable every call does nothing. Sends never
// wait: a message the manager cannot take at once is dropped.
class CSystemdNotify
{
public:
    // Reads $NOTIFY_SOCKET, $WATCHDOG_USEC and $WATCHDOG_PID.
    CSystemdNotify();
    ~CSystemdNotify();
    CSystemdNotify(const CSystemdNotify&) = delete;
    CSystemdNotify& operator=(const CSystemdNotify&) = delete;

    bool IsEnabled() const { return m_hSocket >= 0; }
    // Half the watchdog period the manager asked for, in milliseconds; 0
    // when it asked for none (or asked another process).
    int WatchdogPingMs() const { return m_nWatchdogPingMs; }
    // Sends one message, for example "READY=1". True when it went out.
    bool Send(const QByteArray& strMessage);

private:
    int m_hSocket = -1;
    QByteArray m_address; // sockaddr_un bytes
    int m_nWatchdogPingMs = 0;
};
