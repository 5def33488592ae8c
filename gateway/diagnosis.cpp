#include "diagnosis.h"

#include "diagnosistext.h"

#include "librarysearch.h"
#include "pluginfile.h"
#include "pluginpath.h"
#include "setup/portfailure.h"
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
#include <unistd.h>

namespace Diagnosis {

QString ErrnoText(int nErrno)
{
    return QString::fromLocal8Bit(std::strerror(nErrno));
}

QString Refused(int nCode, const char* pszMessage, const QString& strWhy)
{
    return QStringLiteral("result code %1 (\"%2\"): %3").arg(nCode).arg(QLatin1String(pszMessage), strWhy);
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

namespace {

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

} // namespace Diagnosis

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
    using namespace Diagnosis;
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
QString ExplainPortFailure(const SPortFailure& failure, const SerialPathMap& portMap)
{
    using namespace Diagnosis;
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
    using namespace Diagnosis;
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
