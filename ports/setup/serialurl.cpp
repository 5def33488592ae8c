#include "setup/serialurl.h"

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

constexpr QLatin1StringView kPlain("rfc2217://");
constexpr QLatin1StringView kTls("rfc2217s://");

bool IsHostNameChar(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
        || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') || c == QLatin1Char('.')
        || c == QLatin1Char('_');
}

std::optional<SSerialUrl> RefuseUrl(QByteArray* pstrWhy, const QByteArray& strWhy)
{
    if (pstrWhy)
        *pstrWhy = strWhy;
    return std::nullopt;
}

} // namespace

bool IsSerialUrl(const QString& strValue)
{
    return strValue.contains(QLatin1String("://"));
}

std::optional<SSerialUrl> ParseSerialUrl(const QString& strUrl, QByteArray* pstrWhy)
{
    SSerialUrl url;
    QStringView rest;
    if (strUrl.startsWith(kTls, Qt::CaseInsensitive)) {
        url.bTls = true;
        rest = QStringView(strUrl).mid(kTls.size());
    } else if (strUrl.startsWith(kPlain, Qt::CaseInsensitive)) {
        rest = QStringView(strUrl).mid(kPlain.size());
    } else {
        return RefuseUrl(pstrWhy, "a remote serial line is written rfc2217://host:port, or rfc2217s://host:port "
                               "for one inside TLS");
    }
    if (rest.contains(QLatin1Char('/')) || rest.contains(QLatin1Char('?')) || rest.contains(QLatin1Char('@')))
        return RefuseUrl(pstrWhy, "the URL takes only host:port, no user, path or ?options");

    QStringView host;
    QStringView port;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype nEnd = rest.indexOf(QLatin1Char(']'));
        if (nEnd < 0)
            return RefuseUrl(pstrWhy, "an IPv6 address needs its closing ']'");
        host = rest.mid(1, nEnd - 1);
        in6_addr addr{};
        if (host.isEmpty() || ::inet_pton(AF_INET6, host.toLatin1().constData(), &addr) != 1)
            return RefuseUrl(pstrWhy, "'" + host.toUtf8() + "' in brackets is not an IPv6 address");
        if (rest.mid(nEnd + 1, 1) != QLatin1String(":"))
            return RefuseUrl(pstrWhy, "the URL needs a port after the host, e.g. rfc2217://[::1]:4001");
        port = rest.mid(nEnd + 2);
    } else {
        const qsizetype nColon = rest.lastIndexOf(QLatin1Char(':'));
        if (nColon < 0)
            return RefuseUrl(pstrWhy, "the URL needs a port after the host, e.g. rfc2217://device01.plant:4001");
        host = rest.left(nColon);
        port = rest.mid(nColon + 1);
        if (host.isEmpty())
            return RefuseUrl(pstrWhy, "the URL has no host");
        if (host.contains(QLatin1Char(':')))
            return RefuseUrl(pstrWhy, "an IPv6 address goes in brackets, e.g. rfc2217://[::1]:4001");
        if (host.size() > 253 || !std::all_of(host.begin(), host.end(), IsHostNameChar))
            return RefuseUrl(pstrWhy, "'" + host.toUtf8() + "' is not a host name or IPv4 address");
    }
    bool bOk = false;
    const uint nPort = port.toUInt(&bOk, 10);
    const bool bDigits = !port.isEmpty() && std::all_of(port.begin(), port.end(), [](QChar c) { return c.isDigit(); });
    if (!bDigits || !bOk || nPort < 1 || nPort > 65535)
        return RefuseUrl(pstrWhy, "the port must be a number from 1 to 65535, got '" + port.toUtf8() + "'");
    url.strHost = host.toLatin1();
    url.nPort = quint16(nPort);
    return url;
}

std::optional<QString> MappedSerialUrl(const QByteArray& strName, const QMap<QByteArray, QString>& portMap)
{
    const auto it = portMap.constFind(strName);
    if (it == portMap.constEnd() || !IsSerialUrl(*it))
        return std::nullopt;
    return *it;
}

QByteArray SerialUrlEndpoint(const SSerialUrl& url)
{
    return ",port:" + QByteArray::number(url.nPort) + ",addr:" + url.strHost;
}
