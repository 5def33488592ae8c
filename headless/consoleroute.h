#pragma once

#include <QByteArray>

// What a request of the web console asks for, from its method and its
// target as sent ("/api/events?traffic=1"). Parsed here rather than with
// QUrl, so that the few forms served are all that is taken and anything
// odd is refused before it goes further.
struct SConsoleRoute
{
    enum EWhat { Page, Status, Events, Metrics, NotFound, BadRequest, MethodNotAllowed };
    EWhat eWhat = NotFound;
    bool bTraffic = false; // events: also the latest blocks ("traffic=1")
};

// The longest target taken; longer ones are bad requests.
constexpr int kMaxConsoleTarget = 1024;

// strMethod as sent ("GET"); only GET is served. A target that is not an
// absolute path, holds a "." or ".." segment (plain or %-encoded), a
// backslash, a control character, a byte above 127 or a bad %-escape is a
// bad request; an unknown path is not found. The query is read as
// name=value pairs separated by '&'; unknown names are left alone.
SConsoleRoute ParseConsoleRoute(const QByteArray& strMethod, const QByteArray& strTarget);
