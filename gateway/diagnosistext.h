#pragma once

#include "diagnosis.h"

#include <QByteArray>
#include <QString>

// What the files of the diagnosis share: settings and errors as text, and
// the serial side of a setup string's description.
namespace Diagnosis {

inline QString Text(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes);
}

inline QString Quote(const QByteArray& bytes)
{
    return QuoteSetting(bytes);
}

QString ErrnoText(int nErrno);
// "result code N ("message"): why".
QString Refused(int nCode, const char* pszMessage, const QString& strWhy);
// A dotted IPv4 address or an IPv6 literal: never looked up.
bool IsNumericAddress(const QByteArray& strAddress);
// Why a host name does not resolve.
QString UnresolvedName(const QByteArray& strAddress);
// The user this process runs as, by name.
QString UserName();
// The text before the first ":" of a serial setup string.
QByteArray SerialName(const QByteArray& strSetup);
// A serial setup string: the device or device server it names, its line
// settings and, as far as probe allows, whether it opens.
void DescribeSerial(const QByteArray& strSetup, const SerialPathMap& portMap, const SProbe& probe,
                    SSetupReport* pReport);

} // namespace Diagnosis
