#include "consoleroute.h"

#include <QByteArrayList>

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// %-decodes; false for a bad escape or a decoded byte outside printable ASCII.
bool Decode(const QByteArray& strIn, QByteArray* pOut)
{
    pOut->clear();
    for (qsizetype i = 0; i < strIn.size(); ++i) {
        char c = strIn[i];
        if (c == '%') {
            if (i + 2 >= strIn.size())
                return false;
            const int nHigh = HexValue(strIn[i + 1]);
            const int nLow = HexValue(strIn[i + 2]);
            if (nHigh < 0 || nLow < 0)
                return false;
            c = char(nHigh * 16 + nLow);
            i += 2;
        }
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            return false;
        pOut->append(c);
    }
    return true;
}

bool IsBadPath(const QByteArray& strPath)
{
    if (!strPath.startsWith('/') || strPath.contains('\\'))
        return true;
    const QByteArrayList segments = strPath.split('/');
    for (const QByteArray& segment : segments) {
        if (segment == "." || segment == "..")
            return true;
    }
    return false;
}

} // namespace

SConsoleRoute ParseConsoleRoute(const QByteArray& strMethod, const QByteArray& strTarget)
{
    SConsoleRoute route;
    if (strTarget.isEmpty() || strTarget.size() > kMaxConsoleTarget) {
        route.eWhat = SConsoleRoute::BadRequest;
        return route;
    }
    const qsizetype nQuery = strTarget.indexOf('?');
    QByteArray strPath;
    if (!Decode(nQuery < 0 ? strTarget : strTarget.left(nQuery), &strPath) || IsBadPath(strPath)) {
        route.eWhat = SConsoleRoute::BadRequest;
        return route;
    }
    if (nQuery >= 0) {
        for (const QByteArray& pair : strTarget.mid(nQuery + 1).split('&')) {
            QByteArray strPair;
            if (!Decode(pair, &strPair)) {
                route.eWhat = SConsoleRoute::BadRequest;
                return route;
            }
            if (strPair == "traffic=1")
                route.bTraffic = true;
        }
    }
    if (strPath == "/" || strPath == "/index.html")
        route.eWhat = SConsoleRoute::Page;
    else if (strPath == "/api/status")
        route.eWhat = SConsoleRoute::Status;
    else if (strPath == "/api/events")
        route.eWhat = SConsoleRoute::Events;
    else if (strPath == "/metrics")
        route.eWhat = SConsoleRoute::Metrics;
    else
        return route;
    if (strMethod != "GET")
        route.eWhat = SConsoleRoute::MethodNotAllowed;
    return route;
}
