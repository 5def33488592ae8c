#pragma once

#include <QByteArray>
#include <QString>

#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

// A pseudo-terminal pair: the program opens the slave through a
// [Serial Ports] entry, the test plays the far end on the master.
class CPty
{
public:
    CPty()
    {
        m_hMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_hMaster < 0 || grantpt(m_hMaster) != 0 || unlockpt(m_hMaster) != 0)
            return;
        m_strSlave = QString::fromLocal8Bit(ptsname(m_hMaster));
        // Raw from the start, so nothing is echoed or translated.
        termios t {};
        tcgetattr(m_hMaster, &t);
        cfmakeraw(&t);
        tcsetattr(m_hMaster, TCSANOW, &t);
    }
    ~CPty()
    {
        if (m_hMaster >= 0)
            ::close(m_hMaster);
    }
    CPty(const CPty&) = delete;
    CPty& operator=(const CPty&) = delete;

    bool IsValid() const { return m_hMaster >= 0 && !m_strSlave.isEmpty(); }
    QString Slave() const { return m_strSlave; }
    bool Send(const QByteArray& data) const
    {
        return ::write(m_hMaster, data.constData(), size_t(data.size())) == data.size();
    }
    // Collects what waits on the master.
    void Drain()
    {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(m_hMaster, buffer, sizeof buffer)) > 0)
            m_received.append(buffer, n);
    }
    QByteArray m_received;

private:
    int m_hMaster = -1;
    QString m_strSlave;
};
