#pragma once

// A device server played by the test: Telnet with the com port option in
// the server role, on the test's own event loop. Answers every command with
// the value asked for, unless told to refuse or ignore some.

#include "stream/comportoption.h"
#include "stream/telnetcodec.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

class CScriptedComServer : public QObject, private ITelnetOwner
{
public:
    explicit CScriptedComServer(bool bRefuseOption = false) : m_bRefuseOption(bRefuseOption)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, &CScriptedComServer::Accept);
    }

    QString Url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_server.serverPort()); }
    QByteArray Endpoint() const { return ",port:" + QByteArray::number(m_server.serverPort()) + ",addr:127.0.0.1"; }
    bool Connected() const { return m_pSocket && m_pSocket->state() == QAbstractSocket::ConnectedState; }

    void Send(const QByteArray& data)
    {
        m_pCodec->SendData(data);
        Flush();
    }
    void NotifyModemState(uchar nState)
    {
        SComPortMessage message;
        message.eCommand = EComCommand::NotifyModemState;
        message.bFromServer = true;
        message.nValue = nState;
        m_pCodec->SendSubnegotiation(Telnet::kComPort, BuildComPortMessage(message));
        Flush();
    }
    void CloseClient()
    {
        if (m_pSocket)
            m_pSocket->abort();
    }

    // SET-BAUDRATE is answered with this rate instead (0: as asked).
    quint32 m_nAnswerBaud = 0;
    // SET-CONTROL goes unanswered.
    bool m_bIgnoreControl = false;

    QList<SComPortMessage> m_commands;
    QByteArray m_data;
    int m_nAccepted = 0;

private:
    void Accept()
    {
        while (QTcpSocket* pSocket = m_server.nextPendingConnection()) {
            ++m_nAccepted;
            if (m_pSocket)
                m_pSocket->deleteLater();
            m_pSocket = pSocket;
            static constexpr STelnetWish kRefusing[] = {
                {Telnet::kBinary, ETelnetWish::Ask, ETelnetWish::Ask},
                {Telnet::kComPort, ETelnetWish::Refuse, ETelnetWish::Refuse},
            };
            ITelnetOwner& owner = *this;
            m_pCodec = m_bRefuseOption ? std::make_unique<CTelnetCodec>(owner, kRefusing)
                                       : std::make_unique<CTelnetCodec>(owner, ETelnetRole::Server);
            m_pCodec->Start();
            connect(pSocket, &QTcpSocket::readyRead, this, [this, pSocket] {
                if (pSocket != m_pSocket)
                    return;
                m_pCodec->Decode(pSocket->readAll(), m_data);
                Flush();
            });
            Flush();
        }
    }
    void Flush()
    {
        if (m_pSocket && m_pCodec->HasOutput())
            m_pSocket->write(m_pCodec->TakeOutput());
    }
    void OnSubnegotiation(uchar nOption, QByteArrayView payload) override
    {
        const std::optional<SComPortMessage> message = ParseComPortMessage(payload);
        if (nOption != Telnet::kComPort || !message || message->bFromServer)
            return;
        m_commands.append(*message);
        SComPortMessage answer = *message;
        answer.bFromServer = true;
        if (message->eCommand == EComCommand::SetControl && m_bIgnoreControl)
            return;
        if (message->eCommand == EComCommand::SetBaudRate && m_nAnswerBaud != 0)
            answer.nValue = m_nAnswerBaud;
        m_pCodec->SendSubnegotiation(Telnet::kComPort, BuildComPortMessage(answer));
    }

    bool m_bRefuseOption;
    QTcpServer m_server;
    QPointer<QTcpSocket> m_pSocket;
    std::unique_ptr<CTelnetCodec> m_pCodec;
};
