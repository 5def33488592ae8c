// Fuzzes the web console's request parsing: the method and target are
// split at the first space; whatever the bytes, the result is one of the
// routes, and a target with a "." or ".." segment is never served.
#include "consoleroute.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const QByteArray input(reinterpret_cast<const char*>(pData), qsizetype(nSize));
    const qsizetype nSpace = input.indexOf(' ');
    const QByteArray strMethod = nSpace < 0 ? QByteArray("GET") : input.left(nSpace);
    const QByteArray strTarget = nSpace < 0 ? input : input.mid(nSpace + 1);
    const SConsoleRoute route = ParseConsoleRoute(strMethod, strTarget);
    if (route.eWhat < SConsoleRoute::Page || route.eWhat > SConsoleRoute::MethodNotAllowed)
        abort();
    const bool bServed = route.eWhat == SConsoleRoute::Page || route.eWhat == SConsoleRoute::Status
                      || route.eWhat == SConsoleRoute::Events || route.eWhat == SConsoleRoute::Metrics;
    const QByteArray strPath = strTarget.left(strTarget.indexOf('?') < 0 ? strTarget.size() : strTarget.indexOf('?'));
    if (bServed && (strPath.contains("/..") || strPath.contains("/./") || strPath.size() > kMaxConsoleTarget
                    || strMethod != "GET"))
        abort();
    return 0;
}
