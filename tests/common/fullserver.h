#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A loopback server whose accept queue is full (listen backlog 0 and one
// connection waiting): a connect to it waits until the test accepts, or
// until the connect time-out.
struct SFullServer
{
    int hListen = -1;
    quint16 nPort = 0;
    QTcpSocket filler;

    ~SFullServer()
    {
        if (hListen >= 0)
            ::close(hListen);
    }
    bool Listen()
    {
        hListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nLen = sizeof addr;
        if (hListen < 0 || ::bind(hListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
            || ::listen(hListen, 0) != 0 || ::getsockname(hListen, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0)
            return false;
        nPort = ntohs(addr.sin_port);
        filler.connectToHost(QHostAddress::LocalHost, nPort);
        return filler.waitForConnected(15000);
    }
    QByteArray Setup() const { return "TCP:" + QByteArray::number(nPort) + ",127.0.0.1"; }
    // Takes one waiting connection; -1 when none waits.
    int AcceptOne() { return ::accept4(hListen, nullptr, nullptr, SOCK_CLOEXEC); }
};
