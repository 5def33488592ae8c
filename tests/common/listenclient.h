#pragma once

// A client of a listening port of the gateway, from a chosen loopback
// source address, collecting what it receives.

#include "loopback.h"

#include "socket/portsocket.h"
#include "socket/tcplistener.h"

#include <QHostAddress>

inline quint16 ListenPort(CPortSocket* pSocket)
{
    return pSocket && pSocket->Listener() ? pSocket->Listener()->LocalPort() : 0;
}

struct SListenClient
{
    QTcpSocket socket;
    SSink sink;
    explicit SListenClient(quint16 nPort, const QHostAddress& to = QHostAddress::LocalHost,
                           const QHostAddress& from = QHostAddress())
    {
        if (!from.isNull())
            socket.bind(from);
        socket.connectToHost(to, nPort);
        sink.Attach(&socket);
    }
};
