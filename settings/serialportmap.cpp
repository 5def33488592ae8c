#include "serialportmap.h"

#include "profile.h"

QString SerialPortsSection()
{
    return QStringLiteral("Serial Ports");
}

QMap<QByteArray, QString> SerialPortMap(const CProfile& profile)
{
    QMap<QByteArray, QString> map;
    const QString strSection = SerialPortsSection();
    for (const QString& strKey : profile.Keys(strSection))
        map.insert(strKey.toUtf8(), profile.GetString(strSection, strKey));
    return map;
}
