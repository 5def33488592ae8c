// Options of the listening forms: their grammar, the client policy of a
// listening TCP port and the allow-lists of TCP and UDP ports, through the
// gateway with real loopback peers.
#include "listenclient.h"
#include "testhost.h"

#include "listenoptions.h"
#include "trafficcounters.h"
#include "sockaddress.h"

#include <QTest>
#include <QUdpSocket>

class TestListenPolicy : public QObject
{
    Q_OBJECT
private slots:
    void options_data();
    void options();
    void clientPolicy_data();
    void clientPolicy();
    void allowList_data();
    void allowList();
    void udpAllowList();
};

void TestListenPolicy::options_data()
{
    QTest::addColumn<QByteArray>("options");
    QTest::addColumn<bool>("bTcp");
    QTest::addColumn<QString>("problem"); // part of the reason; empty: accepted
    QTest::addColumn<bool>("bRefuse");
    QTest::addColumn<QByteArrayList>("allowed");
    QTest::addColumn<QByteArrayList>("denied");
    const QByteArrayList none;
    QTest::newRow("replace") << QByteArray("clients=replace") << true << QString() << false << none << none;
    QTest::newRow("refuse") << QByteArray("clients=refuse") << true << QString() << true << none << none;
    QTest::newRow("prefixes") << QByteArray("allow=192.168.1.0/24+10.0.0.7+fd00::/8") << true << QString() << false
                              << QByteArrayList({"192.168.1.200", "10.0.0.7", "fd12::3", "::ffff:10.0.0.7"})
                              << QByteArrayList({"192.168.2.1", "10.0.0.8", "fe80::1", "::1"});
    QTest::newRow("odd prefix lengths") << QByteArray("allow=10.0.0.0/9;allow=::1/127") << false << QString() << false
                                        << QByteArrayList({"10.127.255.255", "::"})
                                        << QByteArrayList({"10.128.0.0", "::2"});
    QTest::newRow("everyone") << QByteArray("allow=0.0.0.0/0+::/0;clients=refuse") << true << QString() << true
                              << QByteArrayList({"1.2.3.4", "2001:db8::1"}) << none;
    QTest::newRow("unknown") << QByteArray("clients=refuse;bogus=1") << true << "unknown option 'bogus=1'" << false
                             << none << none;
    QTest::newRow("case") << QByteArray("Clients=refuse") << true << "unknown option 'Clients=refuse'" << false
                          << none << none;
    QTest::newRow("udp clients") << QByteArray("clients=refuse") << false << "listening TCP port only" << false << none
                                 << none;
    QTest::newRow("shared") << QByteArray("clients=4") << true << "replace or refuse, not '4'" << false << none << none;
    QTest::newRow("twice") << QByteArray("clients=refuse;clients=replace") << true << "twice" << false << none << none;
    QTest::newRow("empty") << QByteArray("") << true << "empty option" << false << none << none;
    QTest::newRow("trailing") << QByteArray("clients=refuse;") << true << "empty option" << false << none << none;
    QTest::newRow("no value") << QByteArray("allow=") << true << "at least one" << false << none << none;
    QTest::newRow("empty entry") << QByteArray("allow=10.0.0.1++10.0.0.2") << true << "'' is none" << false << none
                                 << none;
    QTest::newRow("name") << QByteArray("allow=localhost") << true << "'localhost' is none" << false << none << none;
    QTest::newRow("short dotted") << QByteArray("allow=127.1") << true << "'127.1' is none" << false << none << none;
    QTest::newRow("long v4 prefix") << QByteArray("allow=10.0.0.0/33") << true << "10.0.0.0/33" << false << none
                                    << none;
    QTest::newRow("long v6 prefix") << QByteArray("allow=::/129") << true << "::/129" << false << none << none;
    QTest::newRow("signed prefix") << QByteArray("allow=10.0.0.0/+8") << true << "'10.0.0.0/'" << false << none
                                   << none;
    QTest::newRow("scope") << QByteArray("allow=fe80::1%lo") << false << "fe80::1%lo" << false << none << none;
    QTest::newRow("space") << QByteArray("allow= 10.0.0.1") << true << "' 10.0.0.1'" << false << none << none;
}

void TestListenPolicy::options()
{
    QFETCH(QByteArray, options);
    QFETCH(bool, bTcp);
    QFETCH(QString, problem);
    QFETCH(bool, bRefuse);
    QFETCH(QByteArrayList, allowed);
    QFETCH(QByteArrayList, denied);
    SListenOptions parsed;
    QByteArray strProblem;
    QCOMPARE(ParseListenOptions(options, bTcp, &parsed, &strProblem), problem.isEmpty());
    QVERIFY2(strProblem.contains(problem.toLatin1()), strProblem.constData());
    if (!problem.isEmpty())
        return;
    QVERIFY(parsed.bGiven);
    QCOMPARE(parsed.eClients == SListenOptions::Refuse, bRefuse);
    for (const QByteArray& strAddress : allowed + denied) {
        SSocketAddress address;
        QVERIFY(ParseNumericAddress(strAddress, 1, &address));
        QVERIFY2(parsed.allow.Allows(address) == allowed.contains(strAddress), strAddress.constData());
    }
}

void TestListenPolicy::clientPolicy_data()
{
    QTest::addColumn<QByteArray>("policy");
    QTest::newRow("replace") << QByteArray("replace");
    QTest::newRow("refuse") << QByteArray("refuse");
}

// A listening Output with a live client: a second one replaces it or is
// turned away; under refuse the next client after the first left is taken.
void TestListenPolicy::clientPolicy()
{
    QFETCH(QByteArray, policy);
    const bool bRefuse = policy == "refuse";
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_strOutInitial = "HI";
    rig.Start(TcpSetup(inServer), "TCP:0@127.0.0.1;clients=" + policy);
    QCOMPARE(rig.Texts(), QStringList({"Connect TCP...", "Done!", "Listen TCP...", "Done!"}));
    QTcpSocket* pIn = Accept(inServer);
    QVERIFY(pIn);
    const quint16 nPort = ListenPort(rig.gateway.m_pOutSocket);

    SListenClient first(nPort);
    QTRY_COMPARE(first.sink.data, QByteArray("HI"));
    const quint16 nFirstPort = first.socket.localPort();
    SListenClient second(nPort);
    if (bRefuse) {
        QTRY_COMPARE(second.socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(second.sink.data, QByteArray("Port in use\r\n"));
        QVERIFY(rig.Texts().last().startsWith("TCP Client Refused,port in use,port:"));
        QVERIFY(rig.Texts().last().endsWith(",addr:127.0.0.1"));
    } else {
        QTRY_COMPARE(second.sink.data, QByteArray("HI"));
        QTRY_COMPARE(first.socket.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(rig.Texts().contains(QStringLiteral("TCP Client Replaced,port:%1,addr:127.0.0.1")
                                         .arg(nFirstPort)));
    }
    SListenClient& kept = bRefuse ? first : second;
    pIn->write("data");
    QTRY_COMPARE(kept.sink.data, QByteArray("HIdata"));
    QCOMPARE(kept.socket.state(), QAbstractSocket::ConnectedState);

    // The client leaves: named in a line of its own, and the next is taken.
    const quint16 nKeptPort = kept.socket.localPort();
    kept.socket.disconnectFromHost();
    QTRY_VERIFY(rig.Texts().contains("Remote Output closed,wait for new client!"));
    QVERIFY(rig.Texts().contains(QStringLiteral("TCP Client Disconnected,port:%1,addr:127.0.0.1").arg(nKeptPort)));
    SListenClient next(nPort);
    QTRY_COMPARE(next.sink.data, QByteArray("HI"));
}

void TestListenPolicy::allowList_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("bAccepted");
    QTest::newRow("v4 address") << QByteArray("TCP:0@127.0.0.1;allow=127.0.0.1") << "127.0.0.2" << false;
    QTest::newRow("v4 prefix") << QByteArray("TCP:0@127.0.0.1;allow=127.0.0.0/8") << "127.0.0.2" << true;
    // On every interface an IPv4 client arrives mapped into IPv6.
    QTest::newRow("mapped refused") << QByteArray("TCP:0;allow=127.0.0.1") << "127.0.0.2" << false;
    QTest::newRow("mapped taken") << QByteArray("TCP:0;allow=127.0.0.2+10.0.0.0/8") << "127.0.0.2" << true;
    QTest::newRow("v6 address") << QByteArray("TCP:0@::1;allow=::1/128") << "::1" << true;
    QTest::newRow("v6 other prefix") << QByteArray("TCP:0@::1;allow=fd00::/8") << "::1" << false;
}

void TestListenPolicy::allowList()
{
    QFETCH(QByteArray, setup);
    QFETCH(QString, from);
    QFETCH(bool, bAccepted);
    const QHostAddress source(from);
    if (source.protocol() == QAbstractSocket::IPv6Protocol && !QTcpServer().listen(QHostAddress::LocalHostIPv6))
        QSKIP("no IPv6 loopback");
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_strInInitial = "HI";
    rig.Start(setup, TcpSetup(outServer));
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pOut);
    const QHostAddress to = source.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress::LocalHostIPv6
                                                                              : QHostAddress::LocalHost;
    SListenClient client(ListenPort(rig.gateway.m_pInSocket), to, source);
    QVERIFY(client.socket.waitForConnected(5000) || client.socket.localPort() != 0);
    const quint16 nClientPort = client.socket.localPort();
    const QString strEnd = QStringLiteral(",addr:%1").arg(from);
    if (bAccepted) {
        QTRY_COMPARE(client.sink.data, QByteArray("HI"));
        QVERIFY(rig.Texts().last().startsWith("TCP Client Accepted,port:"));
        QVERIFY(rig.Texts().last().endsWith(strEnd));
        return;
    }
    QTRY_COMPARE(client.socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(client.sink.data, QByteArray());
    QCOMPARE(rig.Texts().last(), QStringLiteral("TCP Client Refused,not allowed,port:%1%2").arg(nClientPort).arg(strEnd));
    // Not the Input's client: no restart.
    QVERIFY(!rig.Texts().contains("Remote Input closed,close ALL & ReStart!"));
    QVERIFY(rig.gateway.IsInputStarted());
}

// Datagrams from senders not allowed are dropped and counted, with one line;
// an allowed sender becomes the peer as ever.
void TestListenPolicy::udpAllowList()
{
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.Start("UDP:0@127.0.0.1;allow=127.0.0.1", TcpSetup(outServer));
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pOut);
    SSink outSink;
    outSink.Attach(pOut);
    SSocketAddress local;
    local.nLength = sizeof local.storage;
    ::getsockname(rig.gateway.m_pInSocket->m_hSocket, local.Get(), &local.nLength);

    QUdpSocket stranger, peer;
    QVERIFY(stranger.bind(QHostAddress(QStringLiteral("127.0.0.2"))));
    QVERIFY(peer.bind(QHostAddress::LocalHost));
    stranger.writeDatagram("no1", QHostAddress::LocalHost, local.Port());
    stranger.writeDatagram("no2", QHostAddress::LocalHost, local.Port());
    QTRY_COMPARE(rig.gateway.Observer().Counters().m_nNotAllowed, quint64(2));
    QCOMPARE(rig.Texts().count(QStringLiteral("UDP Sender Refused,not allowed,datagrams dropped,port:%1,addr:127.0.0.2")
                                   .arg(stranger.localPort())),
             1);
    QVERIFY(FormatCounters(rig.gateway.Observer().Counters()).endsWith(" not-allowed=2"));
    peer.writeDatagram("yes", QHostAddress::LocalHost, local.Port());
    QTRY_COMPARE(outSink.data, QByteArray("yes"));
    // Answers go to the allowed peer, never to the stranger.
    pOut->write("back");
    QTRY_VERIFY(peer.hasPendingDatagrams());
    QVERIFY(!stranger.hasPendingDatagrams());
    QCOMPARE(rig.gateway.Observer().Counters().m_nNoClient[0], quint64(0));
}

QTEST_MAIN(TestListenPolicy)
#include "tst_listenpolicy.moc"
