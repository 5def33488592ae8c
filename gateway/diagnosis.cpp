#include "diagnosis.h"

#include "librarysearch.h"
#include "pluginfile.h"
#include "pluginpath.h"
#include "serial/serialdevice.h"
#include "setup/portfailure.h"
#include "setup/serialmode.h"
#include "setup/serialpath.h"
#include "setup/serialurl.h"
#include "setup/setupstring.h"
#include "setup/sockaddress.h"
#include "setup/wsaerror.h"
#include "socket/boundsocket.h"
#include "socket/hostlookup.h"
#include "socket/portsocket.h"
#include "tlscredential.h"
#include "transferplugin.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString Text(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes);
}

QString Quote(const QByteArray& bytes)
{
    return QuoteSetting(bytes);
}

QString ErrnoText(int nErrno)
{
    return QString::fromLocal8Bit(std::strerror(nErrno));
}

// The text before the first ":" of a serial setup string.
QByteArray SerialName(const QByteArray& strSetup)
{
    const qsizetype nColon = strSetup.indexOf(':');
    return nColon < 0 ? strSetup : strSetup.left(nColon);
}

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

QString UserName()
{
    const passwd* pUser = ::getpwuid(::geteuid());
    return pUser ? QString::fromLocal8Bit(pUser->pw_name) : QString::number(::geteuid());
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

QString Refused(int nCode, const char* pszMessage, const QString& strWhy)
{
    return QStringLiteral("result code %1 (\"%2\"): %3").arg(nCode).arg(QLatin1String(pszMessage), strWhy);
}

QString UnresolvedName(const QByteArray& strAddress);
bool IsNumericAddress(const QByteArray& strAddress);

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
    const std::optional<SSerialMode> mode = ParseSerialMode(strSetup, &strWhy);
    if (!mode) {
        pReport->m_nCode = 1;
        pReport->m_strProblem = Refused(1, "BuildCommDCB Error!",
            QStringLiteral("the line settings of %1 are refused: %2").arg(Quote(strSetup), Text(strWhy)));
        return;
    }
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
    QByteArray strWhy;
    const std::optional<SSerialMode> mode = ParseSerialMode(strSetup, &strWhy);
    if (!mode) {
        pReport->m_nCode = 1;
        pReport->m_strProblem = Refused(1, "BuildCommDCB Error!",
            QStringLiteral("the line settings of %1 are refused: %2").arg(Quote(strSetup), Text(strWhy)));
        return;
    }
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

// What a socket error usually means, after its text.
QString SocketHint(int nErrno)
{
    switch (nErrno) {
    case ECONNREFUSED: return QStringLiteral(": nothing listens there");
    case ENETUNREACH:
    case EHOSTUNREACH: return QStringLiteral(": there is no route to that host");
    case EACCES:
    case EPERM: return QStringLiteral(": a firewall rule, the broadcast address or a port below 1024 needs "
                                      "permission");
    case EADDRINUSE: return QStringLiteral(": another program uses that port (ss -ltnup shows which)");
    case EMFILE:
    case ENFILE: return QStringLiteral(": too many open files (see ulimit -n)");
    default: return {};
    }
}

// A dotted IPv4 address or an IPv6 literal: never looked up.
bool IsNumericAddress(const QByteArray& strAddress)
{
    SSocketAddress address;
    return ParseNumericAddress(strAddress, 0, &address);
}

QString UnresolvedName(const QByteArray& strAddress)
{
    return QStringLiteral("the host name %1 did not resolve: check its spelling, /etc/hosts "
                          "and the DNS server, or write a dotted address").arg(Quote(strAddress));
}

// Binds the local port as the gateway will and releases it at once.
QString TryBind(EPortKind kind, const SWinsockSetup& setup)
{
    SSocketAddress local;
    if (!ParseLocalAddress(setup.strAddress, quint16(setup.nPort), &local))
        return {};
    int nError = 0;
    const int hSocket = OpenBoundSocket(kind == EPortKind::Udp ? SOCK_DGRAM : SOCK_STREAM, local, &nError);
    if (hSocket >= 0) {
        ::close(hSocket);
        return {};
    }
    const int nErrno = ErrnoFromWsaError(nError);
    const QString strWhere = setup.strAddress.isEmpty() ? QStringLiteral("every interface")
                                                        : Quote(setup.strAddress);
    return QStringLiteral("binding port %1 at %2 failed (%3)%4")
        .arg(quint16(setup.nPort)).arg(strWhere, ErrnoText(nErrno), SocketHint(nErrno));
}

// "; a second client is refused ...; only clients from ...": what the
// options after ";" make of a local form.
QString DescribeListenOptions(const QByteArray& strSetup, const SListenOptions& options, bool bTcp)
{
    QString strText;
    if (bTcp) {
        if (options.eClients == SListenOptions::Share)
            strText += QStringLiteral("; up to %1 clients share the port, each gets every block, more are refused")
                           .arg(options.nShared);
        else
            strText += options.eClients == SListenOptions::Refuse
                ? QStringLiteral("; a second client is refused while one is connected")
                : QStringLiteral("; a new client replaces the connected one");
    }
    if (options.bComPort) {
        strText += QStringLiteral("; Telnet with the com port option (RFC 2217): clients set the serial line at "
                                  "the other side (speed, data bits, parity, stop bits, flow control, DTR, RTS, "
                                  "break) and hear of its modem lines and errors");
    }
    QStringList listAllow;
    for (const QByteArray& strOption : strSetup.mid(strSetup.indexOf(';') + 1).split(';')) {
        if (strOption.startsWith("allow="))
            listAllow += QString::fromLatin1(strOption.mid(6)).split(u'+');
    }
    if (!listAllow.isEmpty()) {
        strText += bTcp ? QStringLiteral("; takes clients from %1 only, refuses others")
                        : QStringLiteral("; takes datagrams from %1 only, drops others");
        strText = strText.arg(listAllow.join(QStringLiteral(", ")));
    }
    return strText;
}

void DescribeWinsock(const QByteArray& strSetup, EPortKind kind, const SProbe& probe, SSetupReport* pReport)
{
    const bool bTcp = kind == EPortKind::Tcp;
    const QString strKind = bTcp ? QStringLiteral("TCP") : QStringLiteral("UDP");
    SWinsockSetup setup;
    QByteArray strOptionsProblem;
    if (const int nCode = SplitWinsockSetup(strSetup, kind, &setup, &strOptionsProblem)) {
        pReport->m_nCode = nCode;
        const qsizetype nColon = strSetup.indexOf(':');
        const qsizetype nComma = nColon < 0 ? -1 : strSetup.indexOf(',', nColon + 1);
        QString strWhy;
        if (!strOptionsProblem.isEmpty()) {
            strWhy = QStringLiteral("the options after ';' are refused: %1").arg(QString::fromLatin1(strOptionsProblem));
        } else if (nColon < 0) {
            strWhy = QStringLiteral("there is no ':'; write %1:<port>,<address>").arg(strKind);
        } else if (nComma < 0) {
            strWhy = bTcp ? QStringLiteral("there is no ',' after the ':'; write TCP:<port>,<address> to connect, "
                                           "or TCP:<port>[@<local address>] to listen")
                          : QStringLiteral("there is no ',' after the ':'; write UDP:<port>,<address> to send "
                                           "there, or UDP:<port>[@<local address>] for a fixed local port");
        } else if (nComma - nColon - 1 > kMaxPortField) {
            strWhy = QStringLiteral("the port field has %1 characters, at most %2 are taken")
                         .arg(nComma - nColon - 1).arg(kMaxPortField);
        } else {
            strWhy = QStringLiteral("the address has %1 characters, at most %2 are taken")
                         .arg(strSetup.size() - nComma - 1).arg(kMaxAddressField);
        }
        pReport->m_strProblem = Refused(nCode, "Invalid Setup String!", strWhy);
        return;
    }
    const int nPort = quint16(setup.nPort);
    if (setup.bLocal) {
        const QString strWhere = setup.strAddress.isEmpty() ? QStringLiteral("every interface")
                                                            : Quote(setup.strAddress);
        pReport->m_strDescription = bTcp
            ? QStringLiteral("TCP server, listens on port %1 at %2").arg(nPort).arg(strWhere)
            : QStringLiteral("UDP endpoint on local port %1 at %2, answers whoever sent last").arg(nPort).arg(strWhere);
        if (setup.options.bGiven)
            pReport->m_strDescription += DescribeListenOptions(strSetup, setup.options, bTcp);
        if (probe.m_bSystem)
            pReport->m_strProblem = TryBind(kind, setup);
        return;
    }
    pReport->m_strDescription = bTcp
        ? QStringLiteral("TCP client, connects to port %1 at %2").arg(nPort).arg(Quote(setup.strAddress))
        : QStringLiteral("UDP endpoint, sends to port %1 at %2").arg(nPort).arg(Quote(setup.strAddress));
    if (!bTcp && setup.strAddress == "255.255.255.255")
        pReport->m_strDescription += QStringLiteral(" (broadcast)");

    const QByteArray strField = strSetup.mid(strSetup.indexOf(':') + 1).split(',').front();
    const QByteArray strTrimmed = strField.trimmed();
    const bool bDigits = !strTrimmed.isEmpty()
        && std::all_of(strTrimmed.begin() + (strTrimmed[0] == '+' ? 1 : 0), strTrimmed.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
    // A port written oddly is still used (as the number it counts as), and
    // fails only where that number is 0.
    QString strOdd;
    if (!bDigits) {
        strOdd = QStringLiteral("the port field %1 is not a number; it counts as port %2")
                     .arg(Quote(strField)).arg(nPort);
    } else if (setup.nPort != nPort) {
        strOdd = QStringLiteral("port %1 is outside 1-65535; it is used as port %2").arg(setup.nPort).arg(nPort);
    }
    if (nPort == 0) {
        pReport->m_strProblem = strOdd.isEmpty() ? QStringLiteral("port 0 cannot be reached")
                                                 : strOdd + QStringLiteral(", which cannot be reached");
    } else if (!strOdd.isEmpty()) {
        pReport->m_strWarning = strOdd;
    }
    if (!pReport->m_strProblem.isEmpty()) {
        return;
    } else if (setup.strAddress.isEmpty()) {
        pReport->m_strProblem = QStringLiteral("the address after the ',' is empty");
    } else if (probe.m_bSystem && !IsNumericAddress(setup.strAddress)) {
        // The gateway's own lookup; the check may wait for it.
        SSocketAddress address;
        if (!CHostLookup::s_pfnResolve(setup.strAddress, &address))
            pReport->m_strProblem = UnresolvedName(setup.strAddress);
    }
}

QString FileName(const QString& strPath)
{
    return QuoteSetting(QFile::encodeName(strPath));
}

// "TLS:<port>,<host>" and "TLS:<port>[@<address>][;options]": what they do
// and, probed, whether the profile's [TLS] files make a usable context.
void DescribeTls(const QByteArray& strSetup, const SProbe& probe, SSetupReport* pReport)
{
    SWinsockSetup setup;
    QByteArray strOptionsProblem;
    if (const int nCode = SplitWinsockSetup(strSetup, EPortKind::Tls, &setup, &strOptionsProblem)) {
        pReport->m_nCode = nCode;
        const QString strWhy = !strOptionsProblem.isEmpty()
            ? QStringLiteral("the options after ';' are refused: %1").arg(Text(strOptionsProblem))
            : strSetup.contains(',') && strSetup.mid(strSetup.indexOf(',')).contains(';')
            ? QStringLiteral("the host runs to the end of the string: a TLS client's option goes between the port "
                             "and the ',', as in TLS:4001;tls=plant,device.example")
            : QStringLiteral("write TLS:<port>[;tls=<name>],<host> to connect (port 1-65535, host a name or "
                             "address) or TLS:<port>[@<local address>][;options] to listen, e.g. "
                             "TLS:4001,device.example, TLS:4001;tls=plant,device.example or "
                             "TLS:4001;clients=refuse;tls=plant");
        pReport->m_strProblem = Refused(nCode, "Invalid Setup String!", strWhy);
        return;
    }
    const STlsConfig tls = probe.m_tls.Config(setup.options.strTlsSection);
    const QString strSection = QStringLiteral("the [%1] section of the profile").arg(tls.strSection);
    if (setup.bLocal) {
        const QString strWhere = setup.strAddress.isEmpty() ? QStringLiteral("every interface")
                                                            : Quote(setup.strAddress);
        pReport->m_strDescription = QStringLiteral("TLS server, listens on port %1 at %2")
                                        .arg(setup.nPort).arg(strWhere)
                                  + DescribeListenOptions(strSetup, setup.options, true);
        if (probe.m_bSystem) {
            pReport->m_strDescription += QStringLiteral("; certificate %1, key %2")
                                             .arg(FileName(tls.strCertificate), FileName(tls.strKey));
            pReport->m_strDescription += tls.bRequireClientCertificate
                ? QStringLiteral("; clients must present a certificate from a CA in %1").arg(FileName(tls.strCa))
                : QStringLiteral("; clients need no certificate");
            if (!tls.allowSubjects.isEmpty())
                pReport->m_strDescription += QStringLiteral(", with a subject that AllowSubjects= lists");
            pReport->m_strDescription += QStringLiteral(" (files of [%1])").arg(tls.strSection);
        }
    } else {
        pReport->m_strDescription = QStringLiteral("TLS client, connects to port %1 at %2")
                                        .arg(setup.nPort).arg(Quote(setup.strAddress));
        if (probe.m_bSystem) {
            pReport->m_strDescription += tls.strCa.isEmpty()
                ? QStringLiteral("; checks the server's certificate and name against the system's trusted CAs")
                : tls.bCaAdd ? QStringLiteral("; checks the server's certificate and name against %1 and the "
                                              "system's trusted CAs").arg(FileName(tls.strCa))
                : QStringLiteral("; checks the server's certificate and name against %1").arg(FileName(tls.strCa));
            if (!tls.strCertificate.isEmpty())
                pReport->m_strDescription += QStringLiteral("; presents %1").arg(FileName(tls.strCertificate));
            pReport->m_strDescription += QStringLiteral(" (files of [%1])").arg(tls.strSection);
        }
    }
    if (!probe.m_bSystem)
        return;
    QByteArray strError;
    const auto pContext = CTlsContext::Create(tls, setup.bLocal ? CTlsContext::Server : CTlsContext::Client, &strError);
    if (pContext && !pContext->Warnings().isEmpty()) {
        QStringList warnings;
        for (const QByteArray& strWarning : pContext->Warnings())
            warnings.append(Text(strWarning));
        pReport->m_strWarning = QStringLiteral("TLS Setup Warning: %1 (%2)")
                                    .arg(warnings.join(QStringLiteral("; ")), strSection);
    }
    if (!pContext) {
        pReport->m_strProblem = QStringLiteral("TLS Setup Error: %1 (%2)").arg(Text(strError), strSection)
                              + UnreadableTlsFileHint(tls, UserName());
    } else if (setup.bLocal) {
        pReport->m_strProblem = TryBind(EPortKind::Tls, setup);
    } else if (!IsNumericAddress(setup.strAddress)) {
        SSocketAddress address;
        if (!CHostLookup::s_pfnResolve(setup.strAddress, &address))
            pReport->m_strProblem = UnresolvedName(setup.strAddress);
    }
}

} // namespace

QString QuoteSetting(const QByteArray& bytes)
{
    QString str = u'"' + QString::fromUtf8(bytes) + u'"';
    for (qsizetype i = str.size() - 2; i > 0; --i) {
        const char16_t c = str[i].unicode();
        if (c < 0x20 || c == 0x7f)
            str.replace(i, 1, QStringLiteral("\\x%1").arg(int(c), 2, 16, QLatin1Char('0')));
    }
    return str;
}

SSetupReport DescribeSetup(const QByteArray& strSetupIn, const SerialPathMap& portMap, const SProbe& probe)
{
    SSetupReport report;
    const QByteArray strSetup = SetupStringText(strSetupIn);
    const EPortKind kind = RecognisePortKind(strSetup);
    switch (kind) {
    case EPortKind::Serial:
        DescribeSerial(strSetup, portMap, probe, &report);
        break;
    case EPortKind::Tcp:
    case EPortKind::Udp:
        DescribeWinsock(strSetup, kind, probe, &report);
        break;
    case EPortKind::Tls:
        DescribeTls(strSetup, probe, &report);
        break;
    case EPortKind::Unknown: {
        report.m_nCode = 20;
        QString strWhy = strSetup.isEmpty() ? QStringLiteral("the setup string is empty; ")
                                            : QStringLiteral("the kind is its first three characters, ");
        strWhy += QStringLiteral("COM, TCP, UDP or TLS in capitals, e.g. TCP:1025,127.0.0.1 or COM2:9600,n,8,1");
        const QByteArray strHead = strSetup.left(3).toUpper();
        if (strHead != strSetup.left(3) && RecognisePortKind(strHead) != EPortKind::Unknown)
            strWhy += QStringLiteral(" (write %1, not %2)").arg(Text(strHead), Text(strSetup.left(3)));
        report.m_strProblem = Refused(20, "Invalid Setup String!", strWhy);
        break;
    }
    }
    return report;
}

QString ExplainDeviceOpen(const QByteArray& strName, const QString& strPath, int nErrno, const SerialPathMap& portMap)
{
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

QString ExplainPortFailure(const SPortFailure& failure, const SerialPathMap& portMap)
{
    const QByteArray strSetup = SetupStringText(failure.m_strSetup);
    switch (failure.m_eWhat) {
    case SPortFailure::SetupString:
    case SPortFailure::SerialName:
    case SPortFailure::SerialMode:
        return DescribeSetup(strSetup, portMap, SProbe()).m_strProblem;
    case SPortFailure::SerialOpen:
        return ExplainDeviceOpen(SerialName(strSetup), failure.m_strPath, failure.m_nErrno, portMap);
    case SPortFailure::SerialSettings:
        if (failure.m_nErrno != 0) {
            return QStringLiteral("%1 refused the line settings of %2 (%3)")
                .arg(failure.m_strPath, Quote(strSetup), ErrnoText(failure.m_nErrno));
        }
        return QStringLiteral("%1 did not take every line setting of %2 (the speed, stop bits or flow control "
                              "read back differently): use settings the device supports")
            .arg(failure.m_strPath, Quote(strSetup));
    case SPortFailure::SocketCreate:
        return QStringLiteral("the system refused the socket (%1)%2")
            .arg(ErrnoText(ErrnoFromWsaError(failure.m_nError)), SocketHint(ErrnoFromWsaError(failure.m_nError)));
    case SPortFailure::TlsSetup:
        return QStringLiteral("the certificate files of the profile's [TLS] section are not usable: %1")
            .arg(Text(failure.m_strDetail));
    case SPortFailure::RemoteLine:
        return QStringLiteral("[Serial Ports] maps %1 to %2: %3")
            .arg(Text(SerialName(strSetup)), failure.m_strPath, Text(failure.m_strDetail));
    case SPortFailure::ConnectTimeout:
    case SPortFailure::Connect:
    case SPortFailure::TlsHandshake:
        break;
    }
    SWinsockSetup setup;
    SplitWinsockSetup(strSetup, RecognisePortKind(strSetup), &setup);
    const QString strPeer = QStringLiteral("%1 port %2").arg(Quote(setup.strAddress)).arg(quint16(setup.nPort));
    if (failure.m_eWhat == SPortFailure::TlsHandshake) {
        return QStringLiteral("the TLS handshake with %1 failed: %2; the server's certificate must name the host "
                              "as written and come from a CA in [TLS] CA= (or the system's store)")
            .arg(strPeer, Text(failure.m_strDetail));
    }
    if (failure.m_eWhat == SPortFailure::ConnectTimeout) {
        return QStringLiteral("%1 did not answer within %2 s: the host may be down, or a firewall drops the "
                              "connection").arg(strPeer).arg(CPortSocket::kConnectTimeoutMs / 1000);
    }
    if (failure.m_nError == WSAEINVAL && !IsNumericAddress(setup.strAddress))
        return UnresolvedName(setup.strAddress);
    const int nErrno = ErrnoFromWsaError(failure.m_nError);
    return QStringLiteral("connecting to %1 failed (%2)%3").arg(strPeer, ErrnoText(nErrno), SocketHint(nErrno));
}

SPluginReport DescribePlugin(const QByteArray& strName, bool bLoad)
{
    SPluginReport report;
    if (strName.isEmpty())
        return report;
    const CPluginPath::SResolved resolved = CPluginPath::Resolve(strName);
    if (resolved.Found()) {
        report.m_strFile = QFile::decodeName(resolved.m_strFile);
        const SPluginFile file = InspectPluginFile(report.m_strFile);
        report.m_listExports = file.m_listExports;
        report.m_bExportsRead = file.m_bSymbolsRead;
        QString strWhy = file.m_strProblem;
        if (strWhy.isEmpty() && bLoad) {
            strWhy = Text(CTransferPlugin::LoadError(resolved.m_strFile));
            report.m_bLoaded = strWhy.isEmpty();
        }
        if (!strWhy.isEmpty())
            report.m_strProblem =
                QStringLiteral("%1 is not a plug-in the system can load: %2").arg(report.m_strFile, strWhy);
        return report;
    }
    // A file that is there but was passed over is what the operator meant.
    const QString strCache = CLibrarySearch::CacheFile();
    QStringList listFolders;
    for (const QString& strSearched : resolved.m_listSearched) {
        if (strSearched == strCache)
            continue;
        const QFileInfo info(strSearched);
        if (info.isFile()) {
            QString strWhy = InspectPluginFile(strSearched).m_strProblem;
            if (strWhy.isEmpty())
                strWhy = QStringLiteral("it is not a shared library of this program's kind");
            report.m_strProblem =
                QStringLiteral("%1 is not a plug-in the system can load: %2").arg(strSearched, strWhy);
            return report;
        }
        if (!listFolders.contains(info.path()))
            listFolders.append(info.path());
    }
    if (resolved.m_listSearched.contains(strCache))
        listFolders.append(QStringLiteral("the loader cache ") + strCache);
    report.m_strProblem = QStringLiteral("plug-in %1 not found; searched: %2")
                              .arg(Quote(strName), listFolders.join(QStringLiteral(", ")));
    return report;
}
