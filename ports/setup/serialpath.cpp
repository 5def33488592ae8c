#include "serialpath.h"

QString SerialDevicePath(const QByteArray& strName, const QMap<QByteArray, QString>& portMap)
{
    const auto it = portMap.constFind(strName);
    if (it != portMap.constEnd()) {
        // A relative path would depend on the current folder: never opened.
        return it->startsWith(QLatin1Char('/')) ? *it : QString();
    }
    if (!strName.startsWith("COM"))
        return {};
    const QByteArray strNumber = strName.mid(3);
    // Decimal digits without a leading zero, at most four of them.
    if (strNumber.isEmpty() || strNumber.size() > 4 || strNumber.front() == '0')
        return {};
    int nPort = 0;
    for (char c : strNumber) {
        if (c < '0' || c > '9')
            return {};
        nPort = nPort * 10 + (c - '0');
    }
    return QStringLiteral("/dev/ttyS%1").arg(nPort - 1);
}
