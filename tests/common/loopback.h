#pragma once

// Loopback TCP peers for gateway tests: a setup string for a server, the
// next connection to it, and a sink that collects what a peer receives.

#include <QIODevice>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

inline QByteArray TcpSetup(const QTcpServer& server)
{
    return "TCP:" + QByteArray::number(server.serverPort()) + ",127.0.0.1";
}

// Collects everything a peer socket receives.
struct SSink
{
    QByteArray data;
    void Attach(QIODevice* pDevice)
    {
        data += pDevice->readAll();
        QObject::connect(pDevice, &QIODevice::readyRead, pDevice, [this, pDevice] { data += pDevice->readAll(); });
    }
};

// The next connection to the server, or null after about 5 s.
inline QTcpSocket* Accept(QTcpServer& server)
{
    if (!server.hasPendingConnections() && !server.waitForNewConnection(0)) {
        for (int i = 0; i < 500 && !server.hasPendingConnections(); ++i)
            QTest::qWait(10);
    }
    return server.nextPendingConnection();
}
