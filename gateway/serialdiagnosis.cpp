#include "diagnosistext.h"

#include "setup/serialmode.h"
#include "setup/serialpath.h"
#include "setup/serialurl.h"
#include "setup/sockaddress.h"
#include "serial/serialdevice.h"
#include "socket/hostlookup.h"

#include <QFile>
#include <QList>

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Diagnosis {

// The text before the first ":" of a serial setup string.
QByteArray SerialName(const QByteArray& strSetup)
{
    const qsizetype nColon = strSetup.indexOf(':');
    return nColon < 0 ? strSetup : strSetup.left(nColon);
}

QString UserName()
{
    const passwd* pUser = ::getpwuid(::geteuid());
    return pUser ? QString::fromLocal8Bit(pUser->pw_name) : QString::number(::geteuid());
}

namespace {

QString MapHint(const QByteArray& strName)
{
    return QStringLiteral("map it with: trelvane-set serial-ports set %1 /dev/ttyUSB0").arg(Text(strName));
}

// "COM3 is /dev/ttyS2" or "[Serial Ports] maps COM3 to /dev/x".
QString DeviceOf(const QByteArray& strName, const QString& strPath, const SerialPathMap& portMap)
{
    if (portMap.contains(strName))
        return QStringLiteral("[Serial Ports] maps %1 to %2").arg(Text(strName), strPath);
    return QStringLiteral("%1 is %2").arg(Text(strName), strPath);
}

// Whether this process has the group (as its own or a supplementary one).
bool HasGroup(gid_t nGroup)
{
    if (::getegid() == nGroup)
        return true;
    const int nCount = ::getgroups(0, nullptr);
    if (nCount <= 0)
        return false;
    QList<gid_t> groups(nCount);
    const int nGot = ::getgroups(nCount, groups.data());
    return nGot > 0 && groups.first(nGot).contains(nGroup);
}

// Whether the group lists this user (who may have joined after logging in).
bool UserListedIn(const group* pGroup)
{
    const QByteArray strUser = UserName().toLocal8Bit();
    for (char** p = pGroup->gr_mem; p && *p; ++p) {
        if (strUser == *p)
            return true;
    }
    return false;
}

// What to do about a device this user may not open.
QString PermissionHint(const QString& strPath)
{
    struct stat st {};
    if (::stat(QFile::encodeName(strPath).constData(), &st) != 0)
        return {};
    const group* pGroup = ::getgrgid(st.st_gid);
    const QString strGroup = pGroup ? QString::fromLocal8Bit(pGroup->gr_name) : QString::number(st.st_gid);
    const bool bGroupRw = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!bGroupRw)
        return QStringLiteral("; its group %1 may not read and write it either (mode %2): ask the administrator "
                              "for a udev rule").arg(strGroup).arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    if (HasGroup(st.st_gid))
        return QStringLiteral("; this process has its group %1, so something else (an ACL or security module) "
                              "denies it").arg(strGroup);
    if (pGroup && UserListedIn(pGroup))
        return QStringLiteral("; %1 is in its group %2, but this session started before that: log in again "
                              "(or restart the service)").arg(UserName(), strGroup);
    return QStringLiteral("; it belongs to group %1: join it with: sudo usermod -aG %1 %2, then log in again")
        .arg(strGroup, UserName());
}

QString DescribeMode(const SSerialMode& mode)
{
    QString str = QStringLiteral("%1 baud, parity %2, %3 data bits, ").arg(mode.nBaud).arg(QChar(mode.cParity))
                      .arg(mode.nDataBits);
    switch (mode.eStopBits) {
    case SSerialMode::EStopBits::One: str += QStringLiteral("1 stop bit"); break;
    case SSerialMode::EStopBits::OneAndHalf: str += QStringLiteral("1.5 stop bits"); break;
    case SSerialMode::EStopBits::Two: str += QStringLiteral("2 stop bits"); break;
    }
    if (mode.bXonXoff)
        str += QStringLiteral(", XON/XOFF");
    if (mode.bRtsCts)
        str += QStringLiteral(", RTS/CTS");
    if (!mode.bXonXoff && !mode.bRtsCts)
        str += QStringLiteral(", no flow control");
    if (mode.eDtr == SSerialMode::ELine::Off)
        str += QStringLiteral(", DTR off");
    if (mode.eRts != SSerialMode::ELine::Default)
        str += mode.eRts == SSerialMode::ELine::On ? QStringLiteral(", RTS on") : QStringLiteral(", RTS off");
    return str;
}

// The line settings of a serial setup string, or the report of their refusal.
std::optional<SSerialMode> LineSettings(const QByteArray& strSetup, SSetupReport* pReport)
{
    QByteArray strWhy;
    std::optional<SSerialMode> mode = ParseSerialMode(strSetup, &strWhy);
    if (!mode) {
        pReport->m_nCode = 1;
        pReport->m_strProblem = Refused(1, "BuildCommDCB Error!",
            QStringLiteral("the line settings of %1 are refused: %2").arg(Quote(strSetup), Text(strWhy)));
    }
    return mode;
}

// A serial port mapped to a device server's line.
void DescribeRemoteSerial(const QByteArray& strSetup, const QByteArray& strName, const QString& strUrl,
                          const SProbe& probe, SSetupReport* pReport)
{
    QByteArray strWhy;
    const std::optional<SSerialUrl> url = ParseSerialUrl(strUrl, &strWhy);
    if (!url) {
        pReport->m_nCode = 1;
        pReport->m_strProblem = Refused(1, "OpenComm Error!",
            QStringLiteral("[Serial Ports] maps %1 to %2, which is not a device server's URL: %3")
                .arg(Text(strName), strUrl, Text(strWhy)));
        return;
    }
    const std::optional<SSerialMode> mode = LineSettings(strSetup, pReport);
    if (!mode)
        return;
    pReport->m_strDescription =
        QStringLiteral("remote serial line, [Serial Ports] maps %1 to %2 (RFC 2217 over %3 to port %4 at %5); %6")
            .arg(Text(strName), strUrl, url->bTls ? QStringLiteral("TLS") : QStringLiteral("TCP"))
            .arg(url->nPort)
            .arg(Quote(url->strHost), DescribeMode(*mode));
    if (probe.m_bSystem && !IsNumericAddress(url->strHost)) {
        SSocketAddress address;
        if (!CHostLookup::s_pfnResolve(url->strHost, &address)) {
            pReport->m_nCode = 1;
            pReport->m_strProblem = Refused(1, "OpenComm Error!", UnresolvedName(url->strHost));
        }
    }
}

} // namespace

void DescribeSerial(const QByteArray& strSetup, const SerialPathMap& portMap, const SProbe& probe,
                    SSetupReport* pReport)
{
    const QByteArray strName = SerialName(strSetup);
    if (!strSetup.contains(':')) {
        pReport->m_nCode = 1;
        pReport->m_strProblem = Refused(1, "Invalid Setup String!",
            QStringLiteral("a serial setup string needs a ':' after the port name, e.g. COM2:9600,n,8,1"));
        return;
    }
    if (const std::optional<QString> url = MappedSerialUrl(strName, portMap)) {
        DescribeRemoteSerial(strSetup, strName, *url, probe, pReport);
        return;
    }
    const QString strPath = SerialDevicePath(strName, portMap);
    if (strPath.isEmpty()) {
        pReport->m_nCode = 1;
        const QString strWhy = portMap.contains(strName)
            ? QStringLiteral("[Serial Ports] maps %1 to %2, which is not an absolute path")
                  .arg(Text(strName), portMap.value(strName))
            : QStringLiteral("%1 names no device: COMn (n from 1, no leading zero) means /dev/ttyS<n-1>, other "
                             "names need a [Serial Ports] entry; %2").arg(Text(strName), MapHint(strName));
        pReport->m_strProblem = Refused(1, "OpenComm Error!", strWhy);
        return;
    }
    const std::optional<SSerialMode> mode = LineSettings(strSetup, pReport);
    if (!mode)
        return;
    pReport->m_strDescription = QStringLiteral("serial line, %1; %2").arg(DeviceOf(strName, strPath, portMap),
                                                                         DescribeMode(*mode));
    if (!probe.m_bSystem && !probe.m_bOpenDevices)
        return;
    if (const int nErrno = probe.m_bOpenDevices ? SerialProbe(strPath) : SerialInspect(strPath)) {
        pReport->m_nCode = 1;
        pReport->m_strProblem = Refused(1, "OpenComm Error!", ExplainDeviceOpen(strName, strPath, nErrno, portMap));
    } else {
        pReport->m_strDescription += probe.m_bOpenDevices
            ? QStringLiteral("; the device opens")
            : QStringLiteral("; the device is there and this user may open it (not opened)");
    }
}

} // namespace Diagnosis

QString ExplainDeviceOpen(const QByteArray& strName, const QString& strPath, int nErrno, const SerialPathMap& portMap)
{
    using namespace Diagnosis;
    const QString strDevice = DeviceOf(strName, strPath, portMap);
    const QString strError = ErrnoText(nErrno);
    switch (nErrno) {
    case ENOENT:
        return QStringLiteral("%1, which does not exist (%2): check that the adapter is plugged in, or %3")
            .arg(strDevice, strError, MapHint(strName));
    case EBUSY:
        return QStringLiteral("%1, which is busy (%2): another program holds it open exclusively "
                              "(fuser -v %3 shows which)").arg(strDevice, strError, strPath);
    case EACCES:
    case EPERM:
        return QStringLiteral("%1, which user %2 may not open (%3)%4")
            .arg(strDevice, UserName(), strError, PermissionHint(strPath));
    case ENOTTY:
        // Also what a look without opening finds for a file or another kind of device.
        return QStringLiteral("%1, which is not a serial line or terminal").arg(strDevice);
    case ENXIO:
    case ENODEV:
    case EIO:
        return QStringLiteral("%1, but no device answers behind it (%2): the adapter may have been unplugged")
            .arg(strDevice, strError);
    default:
        return QStringLiteral("%1, which did not open (%2)").arg(strDevice, strError);
    }
}
