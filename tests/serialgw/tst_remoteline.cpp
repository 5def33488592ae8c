// A device server's line as a COM port of the gateway: a scripted server
// for the open sequence, carrier, answers and lost connections, and two
// servers nobody here wrote (ser2net and pyserial's example) relaying over
// pseudo-terminals.
#include "linescript.h"
#include "pty.h"
#include "resources.h"
#include "scriptedcomserver.h"
#include "testhost.h"
#include "testpki.h"
#include "threadpeer.h"

#include "serial/commport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Data with every byte value, 0xFF and 0x00 among them.
QByteArray AllBytes(int nSize, quint32 nSeed)
{
    QByteArray data = RandomBytes(nSize, nSeed);
    for (int i = 0; i < 256 && i < nSize; ++i)
        data[i * (nSize / 256)] = char(i);
    return data + QByteArray(4, char(0xFF)) + QByteArray(2, '\0');
}

// A TCP port on the loopback that nothing listens on just now.
quint16 FreePort()
{
    const int h = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(h, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t nLen = sizeof addr;
    ::getsockname(h, reinterpret_cast<sockaddr*>(&addr), &nLen);
    ::close(h);
    return ntohs(addr.sin_port);
}

// Whether something listens on the TCP port (read from the kernel's table,
// so that looking does not make a connection the server would serve).
bool Listening(quint16 nPort)
{
    for (const char* pszTable : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(pszTable));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray strPort = ':' + QByteArray::number(nPort, 16).toUpper().rightJustified(4, '0') + ' ';
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 3 && (fields[1] + ' ').endsWith(strPort) && fields[3] == "0A")
                return true;
        }
    }
    return false;
}

// A python3 that has pyserial (the one on PATH may be another installation).
QString PythonWithSerial()
{
    for (const QString& strPython : {QStandardPaths::findExecutable(QStringLiteral("python3")),
                                     QStringLiteral("/usr/bin/python3")}) {
        if (strPython.isEmpty())
            continue;
        QProcess probe;
        probe.setStandardErrorFile(QProcess::nullDevice());
        probe.start(strPython, {QStringLiteral("-c"), QStringLiteral("import serial")});
        if (probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0)
            return strPython;
    }
    return {};
}

// pyserial's example server, as shipped or gzipped; copied to dir.
QString PyserialServer(const QTemporaryDir& dir)
{
    const QString strFolder = QStringLiteral("/usr/share/doc/python3-serial/examples/");
    const QString strCopy = dir.filePath(QStringLiteral("rfc2217_server.py"));
    if (QFile::copy(strFolder + QStringLiteral("rfc2217_server.py"), strCopy))
        return strCopy;
    QProcess gunzip;
    gunzip.setStandardOutputFile(strCopy);
    gunzip.start(QStringLiteral("gunzip"), {QStringLiteral("-c"), strFolder + QStringLiteral("rfc2217_server.py.gz")});
    if (gunzip.waitForFinished(10000) && gunzip.exitCode() == 0 && QFileInfo(strCopy).size() > 0)
        return strCopy;
    return {};
}

speed_t SlaveSpeed(const QString& strSlave)
{
    const int h = ::open(QFile::encodeName(strSlave).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t {};
    const int nOk = h >= 0 ? ::tcgetattr(h, &t) : -1;
    if (h >= 0)
        ::close(h);
    return nOk == 0 ? cfgetospeed(&t) : B0;
}

QStringList WithPrefix(const QStringList& texts, const QString& strPrefix)
{
    QStringList found;
    for (const QString& str : texts)
        if (str.startsWith(strPrefix))
            found.append(str);
    return found;
}

} // namespace

class TestRemoteLine : public QObject
{
    Q_OBJECT
private slots:
    void openSendsModeAndRelays_data();
    void openSendsModeAndRelays();
    void answersRefusedOrMissing_data();
    void answersRefusedOrMissing();
    void carrierFollowsDcd();
    void carrierAcrossTwoGateways();
    void lostConnection_data();
    void lostConnection();
    void openFailures_data();
    void openFailures();
    void tlsLine_data();
    void tlsLine();
    void relayThroughDeviceServer_data();
    void relayThroughDeviceServer();
};

void TestRemoteLine::openSendsModeAndRelays_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<QList<QByteArray>>("commands");
    QTest::newRow("9600,n,8,1") << QByteArray("COM8:9600,n,8,1")
        << QList<QByteArray>{"SET-BAUDRATE 9600", "SET-DATASIZE 8", "SET-PARITY none", "SET-STOPSIZE 1",
                             "SET-CONTROL flow none", "SET-CONTROL DTR on", "SET-CONTROL RTS on",
                             "SET-MODEMSTATE-MASK 0x88"};
    QTest::newRow("keywords, RTS/CTS, DTR off") << QByteArray("COM8: baud=57600 parity=E data=7 stop=2 octs=on dtr=off")
        << QList<QByteArray>{"SET-BAUDRATE 57600", "SET-DATASIZE 7", "SET-PARITY even", "SET-STOPSIZE 2",
                             "SET-CONTROL flow hardware", "SET-CONTROL DTR off", "SET-MODEMSTATE-MASK 0x88"};
}

void TestRemoteLine::openSendsModeAndRelays()
{
    QFETCH(QByteArray, setup);
    QFETCH(QList<QByteArray>, commands);
    CScriptedComServer server;
    CThreadPeer tcp;
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM8", server.Url()}});
    rig.Start(setup, tcp.Setup());
    QCOMPARE(rig.Texts(), QStringList({"Open Port...", "Connect RFC2217...", "Done!", "Connect TCP...", "Done!"}));
    QVERIFY(rig.gateway.m_pInSerial && rig.gateway.m_pInSerial->IsOpen());
    QTRY_VERIFY(tcp.Connected());

    QList<QByteArray> got;
    QTRY_COMPARE(server.m_commands.size(), commands.size());
    for (const SComPortMessage& command : server.m_commands)
        got.append(DescribeComPortMessage(command));
    QCOMPARE(got, commands);

    const QByteArray toTcp = AllBytes(200000, 7);
    const QByteArray toLine = AllBytes(150000, 8);
    server.Send(toTcp);
    tcp.Send(toLine);
    QTRY_COMPARE_WITH_TIMEOUT(tcp.ReceivedSize(), toTcp.size(), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(server.m_data.size(), toLine.size(), 20000);
    QVERIFY(tcp.Received() == toTcp);
    QVERIFY(server.m_data == toLine);
    QVERIFY(rig.host.m_boxes.isEmpty());
    QCOMPARE(rig.Texts().size(), 5);
}

void TestRemoteLine::answersRefusedOrMissing_data()
{
    QTest::addColumn<bool>("refuseOption");
    QTest::addColumn<quint32>("answerBaud");
    QTest::addColumn<bool>("ignoreControl");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("speed refused") << false << 115200u << false
        << QStringList{"RFC2217 Refused:SET-BAUDRATE 9600 (answered SET-BAUDRATE 115200)"};
    QTest::newRow("SET-CONTROL unanswered") << false << 0u << true
        << QStringList{"RFC2217 No Answer:SET-CONTROL flow none", "RFC2217 No Answer:SET-CONTROL DTR on",
                       "RFC2217 No Answer:SET-CONTROL RTS on"};
    QTest::newRow("option refused") << true << 0u << false << QStringList{"RFC2217 Option Refused"};
}

void TestRemoteLine::answersRefusedOrMissing()
{
    QFETCH(bool, refuseOption);
    QFETCH(quint32, answerBaud);
    QFETCH(bool, ignoreControl);
    QFETCH(QStringList, lines);
    CScriptedComServer server(refuseOption);
    server.m_nAnswerBaud = answerBaud;
    server.m_bIgnoreControl = ignoreControl;
    CThreadPeer tcp;
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM8", server.Url()}});
    QElapsedTimer sinceStart;
    sinceStart.start();
    rig.Start("COM8:9600,n,8,1", tcp.Setup());
    // The port opens without waiting for any answer.
    QVERIFY(rig.gateway.IsInputStarted());
    QVERIFY2(sinceStart.elapsed() < 2000, qPrintable(QString::number(sinceStart.elapsed())));
    QTRY_VERIFY(tcp.Connected());
    server.Send("on");
    QTRY_COMPARE(tcp.Received(), QByteArray("on"));

    QStringList expected;
    for (const QString& strLine : lines)
        expected.append(strLine + QString::fromLatin1(server.Endpoint()));
    QTRY_COMPARE_WITH_TIMEOUT(WithPrefix(rig.Texts(), QStringLiteral("RFC2217 ")), expected, 5000);
    // ... and goes on.
    tcp.Send("still");
    QTRY_COMPARE(server.m_data, QByteArray("still"));
    QVERIFY(rig.host.m_boxes.isEmpty());
    QCOMPARE(rig.started.size(), 1);
}

void TestRemoteLine::carrierFollowsDcd()
{
    CScriptedComServer server;
    CThreadPeer tcp;
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM8", server.Url()}});
    rig.doc.m_bDetectCarrier = 1;
    rig.Start("COM8:9600", tcp.Setup());
    QVERIFY(rig.gateway.IsInputStarted());
    QTRY_VERIFY(tcp.Connected());
    // The first state is the line as it is: no beep for it.
    server.NotifyModemState(ComPort::kModemDcd | ComPort::kModemDsr);
    server.Send("seen");
    QTRY_COMPARE(tcp.Received(), QByteArray("seen"));
    QCOMPARE(rig.host.m_nBeeps, 0);

    // DCD drops on the far line: a beep, reads held, and the restart.
    QElapsedTimer sinceDrop;
    sinceDrop.start();
    server.NotifyModemState(ComPort::kModemDsr | ComPort::kModemDcdDelta);
    server.Send("held");
    QTRY_COMPARE(rig.host.m_nBeeps, 1);
    QTRY_COMPARE(rig.started.size(), 2);
    QVERIFY2(sinceDrop.elapsed() < 1000, qPrintable(QString::number(sinceDrop.elapsed())));
    QCOMPARE(tcp.Received(), QByteArray("seen"));
    QTRY_COMPARE(server.m_nAccepted, 2);
}

// One gateway serves its COM1 as TCP:port;rfc2217, another uses it as its
// COM7: the carrier dropping on the far line (its line-status seam) reaches
// the near gateway's Detect Carrier within a second, with its beep and its
// restart, as a local carrier loss does.
void TestRemoteLine::carrierAcrossTwoGateways()
{
    const std::shared_ptr<SLineScript> pScript = ScriptLineStatus();
    pScript->nModemLines = TIOCM_CAR | TIOCM_DSR | TIOCM_CTS;
    CPtyPeer farLine;
    QVERIFY(farLine.IsValid());
    const quint16 nPort = FreePort();
    SGatewayRig far;
    far.gateway.SetSerialPortMap({{"COM1", farLine.Slave()}});
    far.Start("TCP:" + QByteArray::number(nPort) + "@127.0.0.1;rfc2217", "COM1:9600,n,8,1");
    QVERIFY(far.gateway.IsInputStarted() && far.gateway.m_pOutSerial);

    CThreadPeer tcp;
    SGatewayRig near;
    near.gateway.SetSerialPortMap({{"COM7", "rfc2217://127.0.0.1:" + QString::number(nPort)}});
    near.doc.m_bDetectCarrier = 1;
    near.Start("COM7:9600", tcp.Setup());
    QVERIFY(near.gateway.IsInputStarted());
    QTRY_VERIFY(tcp.Connected());
    farLine.Send("through");
    QTRY_COMPARE(tcp.Received(), QByteArray("through"));
    QCOMPARE(near.host.m_nBeeps, 0);

    QElapsedTimer sinceDrop;
    sinceDrop.start();
    pScript->bCarrier = false;
    pScript->nModemLines = TIOCM_DSR | TIOCM_CTS;
    QTRY_COMPARE(near.host.m_nBeeps, 1);
    QTRY_COMPARE(near.started.size(), 2);
    QVERIFY2(sinceDrop.elapsed() < 1000, qPrintable(QString::number(sinceDrop.elapsed())));
    SetLineStatusFactory({});
}

void TestRemoteLine::lostConnection_data()
{
    QTest::addColumn<bool>("input");
    QTest::newRow("Input") << true;
    QTest::newRow("Output") << false;
}

void TestRemoteLine::lostConnection()
{
    QFETCH(bool, input);
    CScriptedComServer server;
    CThreadPeer tcp;
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM8", server.Url()}});
    rig.Start(input ? "COM8:9600" : tcp.Setup(), input ? tcp.Setup() : "COM8:9600");
    QVERIFY(rig.gateway.IsInputStarted());
    QTRY_VERIFY(server.Connected());
    server.CloseClient();
    const QString strLost = QStringLiteral("RFC2217 Connection Lost:the device server closed the connection")
                          + QString::fromLatin1(server.Endpoint());
    QTRY_VERIFY(rig.Texts().contains(strLost));
    if (input) {
        // As an unplugged adapter on the Input: the restart opens it again.
        QTRY_COMPARE(rig.started.size(), 2);
        QVERIFY(rig.started.at(1).at(0).toBool());
        QTRY_COMPARE(server.m_nAccepted, 2);
    } else {
        // On the Output: torn down; the next block from the Input starts it again.
        QTRY_COMPARE(rig.host.m_strOutStatus, QStringLiteral("Remote closed,close myself too!"));
        QVERIFY(!rig.gateway.m_pOutSerial);
        QTRY_VERIFY(tcp.Connected());
        tcp.Send("again");
        QTRY_COMPARE(server.m_data, QByteArray("again"));
        QCOMPARE(server.m_nAccepted, 2);
    }
    QVERIFY(rig.host.m_boxes.isEmpty());
    QCOMPARE(rig.host.m_nBeeps, 0);
}

void TestRemoteLine::openFailures_data()
{
    const quint16 nFree = FreePort();
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("line");
    QTest::newRow("nothing listens") << QStringLiteral("rfc2217://127.0.0.1:%1").arg(nFree)
                                     << QStringLiteral("RFC2217 Connect Error:10061,port:%1,addr:127.0.0.1").arg(nFree);
    QTest::newRow("no port") << QStringLiteral("rfc2217://127.0.0.1") << QString();
    QTest::newRow("port 0") << QStringLiteral("rfc2217://[::1]:0") << QString();
    QTest::newRow("other scheme") << QStringLiteral("telnet://127.0.0.1:23") << QString();
}

void TestRemoteLine::openFailures()
{
    QFETCH(QString, url);
    QFETCH(QString, line);
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM8", url}});
    rig.Start("COM8:9600", "TCP:1,127.0.0.1");
    QCOMPARE(rig.started.size(), 1);
    QCOMPARE(rig.started.at(0).at(0).toBool(), false);
    QCOMPARE(rig.host.m_boxes, QStringList{"OpenComm Error!"});
    QStringList expected{"Open Port..."};
    if (!line.isEmpty())
        expected << QStringLiteral("Connect RFC2217...") << line;
    QCOMPARE(rig.Texts(), expected);
    // The explanation names the mapping.
    QCOMPARE(rig.host.m_explanations.size(), 1);
    QVERIFY2(rig.host.m_explanations.at(0).contains(url), qPrintable(rig.host.m_explanations.at(0)));
}

void TestRemoteLine::tlsLine_data()
{
    QTest::addColumn<bool>("trusted");
    QTest::newRow("server's CA trusted") << true;
    QTest::newRow("server's CA unknown") << false;
}

// rfc2217s:// through socat, which ends TLS in front of the scripted server.
void TestRemoteLine::tlsLine()
{
    QFETCH(bool, trusted);
    const QString strSocat = QStandardPaths::findExecutable(QStringLiteral("socat"));
    if (strSocat.isEmpty())
        QSKIP("socat is not installed");
    CTestPki pki;
    const CTestPki::SIssued& ca = pki.Issue(QStringLiteral("Test CA"), nullptr, nullptr);
    const CTestPki::SIssued& other = pki.Issue(QStringLiteral("Other CA"), nullptr, nullptr);
    const CTestPki::SIssued& leaf = pki.Issue(QStringLiteral("server"), &ca, "DNS:localhost,IP:127.0.0.1");
    CScriptedComServer server;
    const quint16 nPort = FreePort();
    QProcess socat;
    socat.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    socat.start(strSocat, {QStringLiteral("OPENSSL-LISTEN:%1,bind=127.0.0.1,reuseaddr,verify=0,cert=%2,key=%3")
                               .arg(nPort).arg(leaf.strCert, leaf.strKey),
                           QStringLiteral("TCP:127.0.0.1:%1").arg(server.Url().section(u':', -1))});
    QVERIFY(socat.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(Listening(nPort), 10000);

    CThreadPeer tcp;
    SGatewayRig rig;
    STlsConfig tls;
    tls.strCa = trusted ? ca.strCert : other.strCert;
    rig.gateway.SetTlsConfig(tls);
    rig.gateway.SetSerialPortMap({{"COM8", QStringLiteral("rfc2217s://localhost:%1").arg(nPort)}});
    rig.Start("COM8:4800,n,8,1", tcp.Setup());
    QCOMPARE(rig.gateway.IsInputStarted(), trusted);
    if (!trusted) {
        QCOMPARE(rig.host.m_boxes, QStringList{"OpenComm Error!"});
        QVERIFY2(rig.Texts().last().startsWith(QLatin1String("TLS Handshake Error:")), qPrintable(rig.Texts().last()));
    } else {
        QCOMPARE(rig.Texts(), QStringList({"Open Port...", "Connect RFC2217 TLS...", "Done!", "Connect TCP...", "Done!"}));
        QTRY_VERIFY(tcp.Connected());
        QTRY_VERIFY(!server.m_commands.isEmpty());
        QCOMPARE(DescribeComPortMessage(server.m_commands.first()), QByteArray("SET-BAUDRATE 4800"));
        const QByteArray toTcp = AllBytes(100000, 21);
        const QByteArray toLine = AllBytes(100000, 22);
        server.Send(toTcp);
        tcp.Send(toLine);
        QTRY_COMPARE_WITH_TIMEOUT(tcp.ReceivedSize(), toTcp.size(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(server.m_data.size(), toLine.size(), 20000);
        QVERIFY(tcp.Received() == toTcp);
        QVERIFY(server.m_data == toLine);
    }
    rig.gateway.RequestStop(false, [] {});
    socat.kill();
    socat.waitForFinished(3000);
}

void TestRemoteLine::relayThroughDeviceServer_data()
{
    QTest::addColumn<QString>("server");
    QTest::newRow("ser2net") << QStringLiteral("ser2net");
    QTest::newRow("pyserial") << QStringLiteral("pyserial");
}

void TestRemoteLine::relayThroughDeviceServer()
{
    QFETCH(QString, server);
    QTemporaryDir dir;
    CPtyPeer line;
    QVERIFY(dir.isValid() && line.IsValid());
    const quint16 nPort = FreePort();
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    if (server == QLatin1String("ser2net")) {
        const QString strSer2net = QStandardPaths::findExecutable(QStringLiteral("ser2net"), {
            QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin"), QStringLiteral("/usr/bin")});
        if (strSer2net.isEmpty())
            QSKIP("ser2net is not installed");
        QFile config(dir.filePath(QStringLiteral("ser2net.yaml")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("connection: &c\n"
                     "  accepter: telnet(rfc2217),tcp,127.0.0.1," + QByteArray::number(nPort) + "\n"
                     "  connector: serialdev," + QFile::encodeName(line.Slave()) + ",115200n81,local\n");
        config.close();
        process.start(strSer2net, {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-P"),
                                   dir.filePath(QStringLiteral("ser2net.pid")), QStringLiteral("-c"), config.fileName()});
    } else {
        const QString strPython = PythonWithSerial();
        if (strPython.isEmpty())
            QSKIP("python3 with pyserial is not installed");
        const QString strScript = PyserialServer(dir);
        if (strScript.isEmpty())
            QSKIP("pyserial's example rfc2217_server.py is not installed");
        // A pseudo-terminal has no modem lines: the shim gives it some.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(TRELVANE_MODEMLINES_SHIM));
        process.setProcessEnvironment(env);
        process.start(strPython, {strScript, QStringLiteral("-p"), QString::number(nPort), line.Slave()});
    }
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY2_WITH_TIMEOUT(Listening(nPort) || process.state() != QProcess::Running, "server not listening", 10000);
    QCOMPARE(process.state(), QProcess::Running);

    CThreadPeer tcp;
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM8", QStringLiteral("rfc2217://127.0.0.1:%1").arg(nPort)}});
    rig.Start("COM8:19200,n,8,1", tcp.Setup());
    QVERIFY(rig.gateway.IsInputStarted());
    QTRY_VERIFY(tcp.Connected());
    // The server set the line to the setup string's speed.
    QTRY_COMPARE(SlaveSpeed(line.Slave()), speed_t(B19200));

    const QByteArray toTcp = AllBytes(60000, 11);
    const QByteArray toLine = AllBytes(50000, 12);
    line.Send(toTcp);
    tcp.Send(toLine);
    QTRY_COMPARE_WITH_TIMEOUT(tcp.ReceivedSize(), toTcp.size(), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(line.ReceivedSize(), toLine.size(), 20000);
    QVERIFY(tcp.Received() == toTcp);
    QVERIFY(line.Received() == toLine);
    QVERIFY(rig.host.m_boxes.isEmpty());

    rig.gateway.RequestStop(false, [] {});
    process.terminate();
    if (!process.waitForFinished(3000))
        process.kill();
}

QTEST_GUILESS_MAIN(TestRemoteLine)
#include "tst_remoteline.moc"
