#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QtGlobal>

#include <optional>

// A serial line on a device server, named in the profile's [Serial Ports]
// instead of a device path: "rfc2217://host:port" (Telnet with the com port
// option, as pyserial writes it) or "rfc2217s://host:port" (the same inside
// TLS). The host is a name, an IPv4 address or an IPv6 address in brackets.
struct SSerialUrl
{
    QByteArray strHost; // without brackets
    quint16 nPort = 0;
    bool bTls = false;
};

// Whether a [Serial Ports] value is meant as a URL (it has "://") rather
// than a device path.
bool IsSerialUrl(const QString& strValue);

// Parses a URL; nothing, with the reason in words in *pstrWhy, when it is
// not one of the forms above.
std::optional<SSerialUrl> ParseSerialUrl(const QString& strUrl, QByteArray* pstrWhy = nullptr);

// The URL a serial port name is mapped to, when [Serial Ports] maps it to
// one (well-formed or not).
std::optional<QString> MappedSerialUrl(const QByteArray& strName, const QMap<QByteArray, QString>& portMap);

// ",port:<port>,addr:<host>": how the Message list names the device server.
QByteArray SerialUrlEndpoint(const SSerialUrl& url);
