// A listening port with the com port option (rfc2217): a client written
// here with the Telnet codec's client role sets the serial line at the other
// side (a pseudo-terminal; a scripted source plays its modem lines and
// errors) and hears of it.
#include "linescript.h"
#include "listenclient.h"
#include "pty.h"
#include "testhost.h"

#include "serial/commport.h"
#include "stream/comportoption.h"
#include "stream/telnetcodec.h"

#include <QTest>

#include <termios.h>

namespace {

using namespace ComPort;

class CComPortClient : public ITelnetOwner
{
public:
    explicit CComPortClient(quint16 nPort)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
            codec.Decode(socket.readAll(), data);
            Flush();
        });
        socket.connectToHost(QHostAddress::LocalHost, nPort);
        codec.Start();
        Flush();
    }
    void Send(EComCommand eCommand, quint32 nValue)
    {
        codec.SendSubnegotiation(Telnet::kComPort, BuildComPortMessage({eCommand, false, nValue, {}}));
        Flush();
    }
    void Flush()
    {
        if (codec.HasOutput())
            socket.write(codec.TakeOutput());
    }
    // What the server sent for eCommand (answers and notifications).
    QList<SComPortMessage> Of(EComCommand eCommand) const
    {
        QList<SComPortMessage> list;
        for (const SComPortMessage& message : messages) {
            if (message.eCommand == eCommand)
                list.append(message);
        }
        return list;
    }
    // Leaves with a reset: the port notices at once.
    void Abort()
    {
        const linger reset {1, 0};
        ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        socket.abort();
    }
    void OnSubnegotiation(uchar nOption, QByteArrayView payload) override
    {
        if (const std::optional<SComPortMessage> message = ParseComPortMessage(payload); nOption == Telnet::kComPort && message)
            messages.append(*message);
    }

    QTcpSocket socket;
    CTelnetCodec codec {*this, ETelnetRole::Client};
    QByteArray data;
    QList<SComPortMessage> messages;
};

speed_t LineSpeed(const CPty& line)
{
    termios t {};
    tcgetattr(line.m_hMaster, &t);
    return cfgetospeed(&t);
}

} // namespace

class TestComPortServer : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { SetLineStatusFactory({}); }
    void commands_data();
    void commands();
    void notifications();
};

void TestComPortServer::commands_data()
{
    QTest::addColumn<bool>("serial"); // the other side is the pty line, else a TCP client
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("logged");
    const auto row = [](const char* pszName, bool bSerial, EComCommand e, int nValue, int nAnswer, bool bLogged) {
        QTest::newRow(pszName) << bSerial << int(e) << nValue << nAnswer << bLogged;
    };
    row("baud", true, EComCommand::SetBaudRate, 57600, 57600, true);
    row("baud as set up", true, EComCommand::SetBaudRate, 9600, 9600, false);
    row("baud query", true, EComCommand::SetBaudRate, kQuery, 9600, false);
    row("parity unknown", true, EComCommand::SetParity, 9, kParityNone, false);
    row("stop 2", true, EComCommand::SetStopSize, kStopTwo, kStopTwo, true);
    row("stop 1.5 with 8 bits", true, EComCommand::SetStopSize, kStopOneAndHalf, kStopOne, false);
    row("data 9", true, EComCommand::SetDataSize, 9, 8, false);
    row("flow hardware", true, EComCommand::SetControl, FlowHardware, FlowHardware, true);
    row("flow DSR", true, EComCommand::SetControl, FlowDsr, FlowNone, false);
    row("inbound flow DTR", true, EComCommand::SetControl, InFlowDtr, InFlowNone, false);
    row("DTR off", true, EComCommand::SetControl, DtrOff, DtrOff, true);
    row("DTR query", true, EComCommand::SetControl, DtrQuery, DtrOn, false);
    row("purge", true, EComCommand::PurgeData, kPurgeBoth, kPurgeBoth, false);
    row("modem poll", true, EComCommand::NotifyModemState, 0, kModemCts | kModemDsr | kModemDcd, false);
    row("no line: baud", false, EComCommand::SetBaudRate, 57600, 57600, false);
    row("no line: baud query", false, EComCommand::SetBaudRate, kQuery, 9600, false);
    row("no line: RTS off", false, EComCommand::SetControl, RtsOff, RtsOff, false);
}

// Every command is answered with the value in force (as asked, without a
// line); a change is logged, and undone once the client has gone.
void TestComPortServer::commands()
{
    QFETCH(bool, serial);
    QFETCH(int, command);
    QFETCH(int, value);
    QFETCH(int, answer);
    QFETCH(bool, logged);
    CPty line;
    QVERIFY(line.IsValid());
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", line.Slave()}});
    rig.Start(serial ? "COM7:9600,n,8,1" : TcpSetup(other), "TCP:0@127.0.0.1;rfc2217");
    QVERIFY(rig.gateway.m_pOutSocket);
    const quint16 nPort = ListenPort(rig.gateway.m_pOutSocket);

    CComPortClient client(nPort);
    QTRY_VERIFY(client.codec.IsEnabled(Telnet::kComPort, true));
    QVERIFY(client.codec.IsEnabled(Telnet::kBinary, true) && client.codec.IsEnabled(Telnet::kBinary, false));
    // The modem state comes unasked once the option is on.
    QTRY_COMPARE(client.Of(EComCommand::NotifyModemState).size(), 1);
    client.messages.clear();
    client.Send(EComCommand(command), quint32(value));
    QTRY_COMPARE(client.messages.size(), 1);
    const SComPortMessage got = client.messages.front();
    QVERIFY(got.bFromServer);
    QCOMPARE(int(got.eCommand), command);
    QCOMPARE(int(got.nValue), answer);
    const qsizetype nLogged = rig.Texts().filter(QStringLiteral("RFC2217 Set,")).size();
    QCOMPARE(nLogged, logged ? 1 : 0);
    if (serial && command == int(EComCommand::SetBaudRate))
        QCOMPARE(LineSpeed(line), speed_t(answer == 57600 ? B57600 : B9600));

    // Data passes both ways exactly, 0xFF doubled only on the wire.
    const QByteArray bytes("\xff\x00\xff\xff" "a", 5);
    client.codec.SendData(bytes);
    client.Flush();
    if (serial) {
        QByteArray toLine;
        QTRY_COMPARE(toLine += line.TakeAll(), bytes);
        line.Send(bytes);
        QTRY_COMPARE(client.data, bytes);
    }

    client.Abort();
    QTRY_VERIFY(rig.Texts().contains("Remote Output closed,wait for new client!"));
    if (serial)
        QTRY_COMPARE(LineSpeed(line), speed_t(B9600));
    if (serial) {
        QVERIFY(rig.gateway.m_pInSerial);
        QCOMPARE(rig.gateway.m_pInSerial->Mode().nDataBits, 8);
        QCOMPARE(rig.gateway.m_pInSerial->Mode().eStopBits, SSerialMode::EStopBits::One);
    }
}

// Modem-state and line-state notifications as the client's masks ask:
// every modem line at first, no line state until asked for.
void TestComPortServer::notifications()
{
    const std::shared_ptr<SLineScript> pScript = ScriptLineStatus();
    pScript->nModemLines = TIOCM_CTS | TIOCM_DSR;
    CPty line;
    QVERIFY(line.IsValid());
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", line.Slave()}});
    rig.Start("COM7:9600,n,8,1", "TCP:0@127.0.0.1;rfc2217;clients=2");
    const quint16 nPort = ListenPort(rig.gateway.m_pOutSocket);
    CComPortClient client(nPort), other(nPort);
    QTRY_COMPARE(client.Of(EComCommand::NotifyModemState).size(), 1);
    QCOMPARE(client.Of(EComCommand::NotifyModemState).front().nValue, quint32(kModemCts | kModemDsr));
    QTRY_COMPARE(other.Of(EComCommand::NotifyModemState).size(), 1);

    // DCD rises: both clients hear it, with its change bit.
    pScript->nModemLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
    QTRY_COMPARE(client.Of(EComCommand::NotifyModemState).size(), 2);
    QCOMPARE(client.Of(EComCommand::NotifyModemState).back().nValue,
             quint32(kModemCts | kModemDsr | kModemDcd | kModemDcdDelta));
    QTRY_COMPARE(other.Of(EComCommand::NotifyModemState).size(), 2);

    // Only CTS is asked for: DCD falling is not told, CTS falling is.
    client.Send(EComCommand::SetModemStateMask, kModemCts);
    QTRY_COMPARE(client.Of(EComCommand::SetModemStateMask).size(), 1);
    QCOMPARE(client.Of(EComCommand::SetModemStateMask).front().nValue, quint32(kModemCts));
    pScript->nModemLines = TIOCM_CTS | TIOCM_DSR;
    QTRY_COMPARE(other.Of(EComCommand::NotifyModemState).size(), 3);
    pScript->nModemLines = TIOCM_DSR;
    QTRY_COMPARE(other.Of(EComCommand::NotifyModemState).size(), 4);
    QTRY_COMPARE(client.Of(EComCommand::NotifyModemState).size(), 3);
    QCOMPARE(client.Of(EComCommand::NotifyModemState).back().nValue, quint32(0));

    // Line errors: none told before the mask asks; then the masked bits.
    pScript->nErrors = CE_FRAME;
    line.Send("x");
    QTRY_COMPARE(client.data, QByteArray("x"));
    client.Send(EComCommand::SetLineStateMask, kLineFraming | kLineBreak);
    QTRY_COMPARE(client.Of(EComCommand::SetLineStateMask).size(), 1);
    pScript->nErrors = CE_FRAME | CE_RXPARITY;
    line.Send("y");
    QTRY_COMPARE(client.Of(EComCommand::NotifyLineState).size(), 1);
    QCOMPARE(client.Of(EComCommand::NotifyLineState).front().nValue, quint32(kLineFraming));
    QTRY_COMPARE(other.data, QByteArray("xy"));
    QVERIFY(other.Of(EComCommand::NotifyLineState).isEmpty());
}

QTEST_GUILESS_MAIN(TestComPortServer)
#include "tst_comportserver.moc"
