// Options of the listening forms: their grammar, the client policy of a
// listening TCP port and the allow-lists of TCP and UDP ports, through the
// gateway with real loopback peers.
#include "listenclient.h"
#include "testhost.h"

#include "setup/listenoptions.h"
#include "setup/sockaddress.h"
#include "socket/sharedclient.h"
#include "socket/sharedclients.h"
#include "stream/tlssession.h"
#include "trafficcounters.h"

#include <QSocketNotifier>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <memory>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Bytes that do not repeat within a block or a segment.
QByteArray Pattern(int nLen)
{
    QByteArray str(nLen, '\0');
    for (int i = 0; i < nLen; ++i)
        str[i] = char((i * 131) ^ (i >> 9));
    return str;
}

// Bytes that name their sender (1 to 3) in their top two bits.
QByteArray Tagged(int nSender, int nLen)
{
    QByteArray str(nLen, '\0');
    for (int i = 0; i < nLen; ++i)
        str[i] = char((nSender << 6) | (i * 7 % 61));
    return str;
}

// What one sender's Tagged bytes became in a mix of several.
QByteArray Untangle(const QByteArray& strMix, int nSender)
{
    QByteArray str;
    for (const char c : strMix) {
        if ((quint8(c) >> 6) == nSender)
            str += c;
    }
    return str;
}

QString ClientLine(const char* pszWhat, quint16 nPort)
{
    return QStringLiteral("TCP Client %1,port:%2,addr:127.0.0.1").arg(QLatin1String(pszWhat)).arg(nPort);
}

} // namespace

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
    void sharedRelay_data();
    void sharedRelay();
    void sharedLaggingClient_data();
    void sharedLaggingClient();
    void sharedClientHeld();
    void sharedClientResetWhileNotRead();
    void sharedHeldResponse_data();
    void sharedHeldResponse();
};

void TestListenPolicy::options_data()
{
    QTest::addColumn<QByteArray>("options");
    QTest::addColumn<bool>("bTcp");
    QTest::addColumn<QString>("problem"); // part of the reason; empty: accepted
    QTest::addColumn<bool>("bRefuse");
    QTest::addColumn<QByteArrayList>("allowed");
    QTest::addColumn<QByteArrayList>("denied");
    QTest::addColumn<int>("nShared"); // clients=N: N; 0: not shared
    const QByteArrayList none;
    QTest::newRow("replace") << QByteArray("clients=replace") << true << QString() << false << none << none << 0;
    QTest::newRow("refuse") << QByteArray("clients=refuse") << true << QString() << true << none << none << 0;
    QTest::newRow("prefixes") << QByteArray("allow=192.168.1.0/24+10.0.0.7+fd00::/8") << true << QString() << false
                              << QByteArrayList({"192.168.1.200", "10.0.0.7", "fd12::3", "::ffff:10.0.0.7"})
                              << QByteArrayList({"192.168.2.1", "10.0.0.8", "fe80::1", "::1"}) << 0;
    QTest::newRow("odd prefix lengths") << QByteArray("allow=10.0.0.0/9;allow=::1/127") << false << QString() << false
                                        << QByteArrayList({"10.127.255.255", "::"})
                                        << QByteArrayList({"10.128.0.0", "::2"}) << 0;
    QTest::newRow("everyone") << QByteArray("allow=0.0.0.0/0+::/0;clients=refuse") << true << QString() << true
                              << QByteArrayList({"1.2.3.4", "2001:db8::1"}) << none << 0;
    // Clients mapped into IPv6 are compared as IPv4: so are mapped entries.
    QTest::newRow("mapped entry") << QByteArray("allow=::ffff:127.0.0.2") << true << QString() << false
                                  << QByteArrayList({"127.0.0.2", "::ffff:127.0.0.2"})
                                  << QByteArrayList({"127.0.0.3", "::ffff:127.0.0.3", "::127.0.0.2"}) << 0;
    QTest::newRow("mapped all") << QByteArray("allow=::ffff:0:0/96") << false << QString() << false
                                << QByteArrayList({"1.2.3.4", "::ffff:10.0.0.1"})
                                << QByteArrayList({"::1", "2001:db8::1"}) << 0;
    QTest::newRow("mapped prefix") << QByteArray("allow=::ffff:10.0.0.0/104") << true << QString() << false
                                   << QByteArrayList({"10.1.2.3", "::ffff:10.255.0.1"})
                                   << QByteArrayList({"11.0.0.1", "::a01:203"}) << 0;
    QTest::newRow("unknown") << QByteArray("clients=refuse;bogus=1") << true << "unknown option 'bogus=1'" << false
                             << none << none << 0;
    QTest::newRow("case") << QByteArray("Clients=refuse") << true << "unknown option 'Clients=refuse'" << false
                          << none << none << 0;
    QTest::newRow("udp clients") << QByteArray("clients=refuse") << false << "listening TCP port only" << false << none
                                 << none << 0;
    QTest::newRow("shared") << QByteArray("clients=4;allow=::1") << true << QString() << false << none << none << 4;
    QTest::newRow("shared most") << QByteArray("clients=64") << true << QString() << false << none << none << 64;
    QTest::newRow("one client") << QByteArray("clients=1") << true << QString() << true << none << none << 0;
    for (const char* pszCount : {"0", "65", "04", "+2", "2x", "100"})
        QTest::newRow(pszCount) << "clients=" + QByteArray(pszCount) << true << "a number of clients from 1 to 64"
                                << false << none << none << 0;
    QTest::newRow("twice") << QByteArray("clients=refuse;clients=replace") << true << "twice" << false << none << none
                           << 0;
    QTest::newRow("empty") << QByteArray("") << true << "empty option" << false << none << none << 0;
    QTest::newRow("trailing") << QByteArray("clients=refuse;") << true << "empty option" << false << none << none << 0;
    QTest::newRow("no value") << QByteArray("allow=") << true << "at least one" << false << none << none << 0;
    QTest::newRow("empty entry") << QByteArray("allow=10.0.0.1++10.0.0.2") << true << "'' is none" << false << none
                                 << none << 0;
    QTest::newRow("name") << QByteArray("allow=localhost") << true << "'localhost' is none" << false << none << none
                          << 0;
    QTest::newRow("short dotted") << QByteArray("allow=127.1") << true << "'127.1' is none" << false << none
                                  << none << 0;
    QTest::newRow("long v4 prefix") << QByteArray("allow=10.0.0.0/33") << true << "10.0.0.0/33" << false << none
                                    << none << 0;
    QTest::newRow("long v6 prefix") << QByteArray("allow=::/129") << true << "::/129" << false << none << none << 0;
    QTest::newRow("signed prefix") << QByteArray("allow=10.0.0.0/+8") << true << "'10.0.0.0/'" << false << none
                                   << none << 0;
    QTest::newRow("scope") << QByteArray("allow=fe80::1%lo") << false << "fe80::1%lo" << false << none << none << 0;
    QTest::newRow("space") << QByteArray("allow= 10.0.0.1") << true << "' 10.0.0.1'" << false << none << none << 0;
    QTest::newRow("rfc2217") << QByteArray("rfc2217;clients=refuse") << true << QString() << true << none << none << 0;
    QTest::newRow("rfc2217 shared") << QByteArray("clients=3;rfc2217") << true << QString() << false << none << none
                                    << 3;
    QTest::newRow("rfc2217 value") << QByteArray("rfc2217=1") << true << "takes no value" << false << none << none << 0;
    QTest::newRow("rfc2217 twice") << QByteArray("rfc2217;rfc2217") << true << "twice" << false << none << none << 0;
    QTest::newRow("rfc2217 udp") << QByteArray("rfc2217") << false << "listening TCP or TLS port only" << false << none
                                 << none << 0;
    QTest::newRow("rfc2217 case") << QByteArray("RFC2217") << true << "unknown option 'RFC2217'" << false << none
                                  << none << 0;
}

void TestListenPolicy::options()
{
    QFETCH(QByteArray, options);
    QFETCH(bool, bTcp);
    QFETCH(QString, problem);
    QFETCH(bool, bRefuse);
    QFETCH(QByteArrayList, allowed);
    QFETCH(QByteArrayList, denied);
    QFETCH(int, nShared);
    SListenOptions parsed;
    QByteArray strProblem;
    QCOMPARE(ParseListenOptions(options, bTcp, &parsed, &strProblem), problem.isEmpty());
    QVERIFY2(strProblem.contains(problem.toLatin1()), strProblem.constData());
    if (!problem.isEmpty())
        return;
    QVERIFY(parsed.bGiven);
    QCOMPARE(parsed.eClients == SListenOptions::Refuse, bRefuse);
    QCOMPARE(parsed.eClients == SListenOptions::Share, nShared > 0);
    QCOMPARE(parsed.nShared, nShared);
    QCOMPARE(parsed.bComPort, options.contains("rfc2217"));
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
    // The next refusals are counted, not logged one by one; their count
    // comes with the next client taken.
    const qsizetype nLines = rig.Texts().size();
    for (int i = 0; i < 2; ++i) {
        SListenClient again(ListenPort(rig.gateway.m_pInSocket), to, source);
        QTRY_COMPARE(again.socket.state(), QAbstractSocket::UnconnectedState);
    }
    QCOMPARE(rig.gateway.Observer().Counters().m_nRefused[0][CRefusalLog::Address], quint64(3));
    QCOMPARE(rig.Texts().size(), nLines);
    if (!setup.contains("allow=127.0.0.1"))
        return;
    SListenClient allowed(ListenPort(rig.gateway.m_pInSocket));
    QTRY_COMPARE(allowed.sink.data, QByteArray("HI"));
    QCOMPARE(rig.Texts().mid(nLines, 2).value(0), QStringLiteral("TCP Client Refused,not allowed (2 more refused)"));
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

// A port shared by three clients: everything from the other side reaches
// each client, each client's bytes reach the other side whole and in order,
// a fourth client is refused; clients leave one by one (a reset, then FINs)
// and only the last one's leaving is the port's, as a single client's is.
void TestListenPolicy::sharedRelay_data()
{
    QTest::addColumn<bool>("bInput");
    QTest::newRow("output") << false;
    QTest::newRow("input") << true;
}

void TestListenPolicy::sharedRelay()
{
    QFETCH(bool, bInput);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    (bInput ? rig.doc.m_strInInitial : rig.doc.m_strOutInitial) = "HI";
    const QByteArray strShared = "TCP:0@127.0.0.1;clients=3";
    rig.Start(bInput ? strShared : TcpSetup(server), bInput ? TcpSetup(server) : strShared);
    // The other side of the relay.
    QTcpSocket* pIn = Accept(server);
    QVERIFY(pIn);
    SSink inSink;
    inSink.Attach(pIn);
    const quint16 nPort = ListenPort(bInput ? rig.gateway.m_pInSocket : rig.gateway.m_pOutSocket);
    std::vector<std::unique_ptr<SListenClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<SListenClient>(nPort));
        QTRY_COMPARE(clients.back()->sink.data, QByteArray("HI"));
    }
    SListenClient fourth(nPort);
    QTRY_COMPARE(fourth.socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(fourth.sink.data, QByteArray("Port in use\r\n"));
    QVERIFY(rig.Texts().last().startsWith("TCP Client Refused,port in use,port:"));

    constexpr int kLen = 1 << 20;
    const QByteArray strDown = "HI" + Pattern(kLen);
    pIn->write(strDown.mid(2));
    for (int i = 0; i < 3; ++i)
        clients[i]->socket.write(Tagged(i + 1, kLen));
    QTRY_VERIFY_WITH_TIMEOUT(inSink.data.size() >= 3 * kLen && clients[0]->sink.data.size() >= strDown.size()
                                 && clients[1]->sink.data.size() >= strDown.size()
                                 && clients[2]->sink.data.size() >= strDown.size(),
                             60000);
    QCOMPARE(inSink.data.size(), 3 * kLen);
    for (int i = 0; i < 3; ++i) {
        QVERIFY2(clients[i]->sink.data == strDown, qPrintable(QString::number(i)));
        QVERIFY2(Untangle(inSink.data, i + 1) == Tagged(i + 1, kLen), qPrintable(QString::number(i)));
    }

    const QString strLast = bInput ? QStringLiteral("Remote Input closed,close ALL & ReStart!")
                                   : QStringLiteral("Remote Output closed,wait for new client!");
    const quint16 nReset = clients[0]->socket.localPort();
    const linger abort {1, 0};
    QVERIFY(::setsockopt(int(clients[0]->socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0);
    clients[0]->socket.abort();
    QTRY_VERIFY(rig.Texts().contains(ClientLine("Disconnected", nReset)));
    QVERIFY(rig.Texts().contains(QStringLiteral("Receive Error Code:10054")));
    const quint16 nSecond = clients[1]->socket.localPort();
    clients[1]->socket.disconnectFromHost();
    QTRY_VERIFY(rig.Texts().contains(ClientLine("Disconnected", nSecond)));
    QVERIFY(!rig.Texts().contains(strLast));
    pIn->write("to the last");
    QTRY_COMPARE(clients[2]->sink.data, strDown + "to the last");
    clients[2]->socket.disconnectFromHost();
    QTRY_VERIFY(rig.Texts().contains(strLast));
    QCOMPARE(rig.Texts().count(strLast), 1);
    if (bInput)
        return; // the restart follows, as for a single client
    // No client: dropped and counted.
    pIn->write("nobody");
    QTRY_COMPARE(rig.gateway.Observer().Counters().m_nNoClient[0], quint64(1));
    QCOMPARE(rig.Texts().last(), QStringLiteral("No TCP Client! Blocks dropped"));
}

// Three clients of a shared port; one lags: it stops reading for a while
// (shorter than the stall time) or for good. The relay waits for it, its
// source held back, rather than holding ever more bytes: one that reads
// again gets everything, one that does not is dropped after the stall time,
// and the other two get every byte either way.
void TestListenPolicy::sharedLaggingClient_data()
{
    QTest::addColumn<bool>("bResumes");
    QTest::newRow("pauses") << true;
    QTest::newRow("stops") << false;
}

void TestListenPolicy::sharedLaggingClient()
{
    QFETCH(bool, bResumes);
    constexpr int kStallMs = 2000;
    CSharedClients::SetStallTimeout(kStallMs);
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.Start(TcpSetup(inServer), "TCP:0@127.0.0.1;clients=3");
    QTcpSocket* pIn = Accept(inServer);
    QVERIFY(pIn);
    const quint16 nPort = ListenPort(rig.gateway.m_pOutSocket);
    SListenClient first(nPort);
    SListenClient second(nPort);
    // The lagging client: a small receive buffer, not read until told.
    const int hLagging = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(hLagging >= 0);
    const int nSmall = 4096;
    ::setsockopt(hLagging, SOL_SOCKET, SO_RCVBUF, &nSmall, sizeof nSmall);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(nPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QVERIFY(::connect(hLagging, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0);
    sockaddr_in from {};
    socklen_t nFromLen = sizeof from;
    ::getsockname(hLagging, reinterpret_cast<sockaddr*>(&from), &nFromLen);
    const quint16 nLagging = ntohs(from.sin_port);
    QTRY_VERIFY(rig.Texts().contains(ClientLine("Accepted", nLagging)));
    QTRY_COMPARE(rig.Texts().filter(QStringLiteral("TCP Client Accepted")).size(), 3);

    // Well past the bound and what the system buffers for the lagging one.
    const QByteArray strDown = Pattern(16 << 20);
    pIn->write(strDown);
    // The relay waits for it: most of the bytes stay with their sender.
    QTRY_VERIFY(rig.gateway.InToOut().IsParked());
    QTest::qWait(kStallMs / 4);
    QVERIFY2(pIn->bytesToWrite() > strDown.size() / 4, QByteArray::number(pIn->bytesToWrite()).constData());
    QByteArray strLagging;
    QSocketNotifier reader(hLagging, QSocketNotifier::Read);
    reader.setEnabled(bResumes);
    connect(&reader, &QSocketNotifier::activated, [&] {
        char buffer[65536];
        const ssize_t n = ::recv(hLagging, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            strLagging.append(buffer, n);
    });
    const auto isDone = [&](qsizetype nSize) { return nSize >= strDown.size(); };
    QTRY_VERIFY_WITH_TIMEOUT(isDone(first.sink.data.size()) && isDone(second.sink.data.size())
                                 && (!bResumes || isDone(strLagging.size())),
                             60000);
    QVERIFY(first.sink.data == strDown);
    QVERIFY(second.sink.data == strDown);
    const QStringList texts = rig.Texts();
    const qsizetype nDropped = texts.indexOf(ClientLine("Dropped,too slow", nLagging));
    if (bResumes) {
        QVERIFY(strLagging == strDown);
        QVERIFY2(nDropped < 0, qPrintable(texts.join(u'\n')));
    } else {
        QVERIFY2(nDropped >= 0, qPrintable(texts.join(u'\n')));
        QCOMPARE(texts.value(nDropped + 1), ClientLine("Disconnected", nLagging));
    }
    QVERIFY(!texts.contains(QStringLiteral("Remote Output closed,wait for new client!")));
    ::close(hLagging);
    CSharedClients::SetStallTimeout(CSharedClients::kStallTimeoutMs);
}

// The bytes held for one client leave whole and in order, however the
// system cuts its writes.
void TestListenPolicy::sharedClientHeld()
{
    int handles[2];
    QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, handles) == 0);
    const int nSmall = 4096;
    ::setsockopt(handles[0], SOL_SOCKET, SO_SNDBUF, &nSmall, sizeof nSmall);
    ::setsockopt(handles[1], SOL_SOCKET, SO_RCVBUF, &nSmall, sizeof nSmall);
    CSharedClient client(handles[0], SSocketAddress(), nullptr, [](CSharedClient*) {}, [](CSharedClient*) {}, nullptr);
    const QByteArray strAll = Pattern(256 << 10);
    int nError = 0;
    for (qsizetype nOffset = 0; nOffset < strAll.size(); nOffset += 65537)
        QVERIFY(client.Send(strAll.mid(nOffset, 65537), &nError));
    QVERIFY(client.HeldBytes() > strAll.size() / 2);
    QByteArray strGot;
    char buffer[3001];
    for (int i = 0; i < 100000 && strGot.size() < strAll.size(); ++i) {
        const ssize_t n = ::read(handles[1], buffer, sizeof buffer);
        if (n > 0)
            strGot.append(buffer, n);
        QVERIFY(client.FlushHeld(&nError));
    }
    QVERIFY(strGot == strAll);
    QCOMPARE(client.HeldBytes(), 0);
    ::close(handles[1]);
}

// A client of a shared Input resets while no client is read (the Output
// takes nothing): it is dropped at once, and as the last one it restarts
// the Input.
void TestListenPolicy::sharedClientResetWhileNotRead()
{
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.Start("TCP:0@127.0.0.1;clients=2", TcpSetup(outServer));
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pOut);
    pOut->setReadBufferSize(4096);
    SListenClient client(ListenPort(rig.gateway.m_pInSocket));
    QTRY_COMPARE(rig.Texts().filter(QStringLiteral("TCP Client Accepted")).size(), 1);
    const QByteArray strChunk = Pattern(64 << 10);
    for (int i = 0; i < 1000 && !rig.gateway.InToOut().IsParked(); ++i) {
        client.socket.write(strChunk);
        QTRY_COMPARE(client.socket.bytesToWrite(), 0);
    }
    QVERIFY(rig.gateway.InToOut().IsParked());
    const quint16 nPort = client.socket.localPort();
    const linger abort {1, 0};
    QVERIFY(::setsockopt(int(client.socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0);
    client.socket.abort();
    QTRY_VERIFY(rig.Texts().contains(QStringLiteral("Remote Input closed,close ALL & ReStart!")));
    const QStringList texts = rig.Texts();
    const qsizetype nError = texts.indexOf(QStringLiteral("Receive Error Code:10054"));
    QVERIFY2(nError >= 0, qPrintable(texts.join(u'\n')));
    QCOMPARE(texts.value(nError + 1), ClientLine("Disconnected", nPort));
}

// "Don't Send Response ..." on a shared Input: a new client's own answer to
// the initial string is held back within the window, never a block of a
// client already sending, and the client's later bytes go on.
void TestListenPolicy::sharedHeldResponse_data()
{
    QTest::addColumn<int>("nAnswerAfterMs");
    QTest::addColumn<bool>("bHeld");
    QTest::newRow("answer within the window") << 0 << true;
    QTest::newRow("answer after the window") << 2500 << false;
}

void TestListenPolicy::sharedHeldResponse()
{
    QFETCH(int, nAnswerAfterMs);
    QFETCH(bool, bHeld);
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_strInInitial = "HI";
    rig.doc.m_bNoInInitResponse = 1;
    rig.gateway.SetTimerPeriods(1500, 300);
    rig.Start("TCP:0@127.0.0.1;clients=2", TcpSetup(outServer));
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pOut);
    SSink outSink;
    outSink.Attach(pOut);
    const auto nHeldBack = [&rig] { return rig.gateway.Observer().Counters().m_nHeldBack[0]; };
    const quint16 nPort = ListenPort(rig.gateway.m_pInSocket);

    // Answers carry tag 3, A's stream tag 1, B's later bytes tag 2.
    SListenClient a(nPort);
    QTRY_COMPARE(a.sink.data, QByteArray("HI"));
    a.socket.write(Tagged(3, 8));
    QTRY_COMPARE(nHeldBack(), quint64(1));
    const QByteArray strStream = Tagged(1, 1 << 20);
    qsizetype nStreamed = 0;
    QTimer steady;
    QObject::connect(&steady, &QTimer::timeout, &a.socket, [&] {
        a.socket.write(strStream.mid(nStreamed, 64));
        nStreamed = std::min(nStreamed + 64, strStream.size());
    });
    steady.start(1);
    QTRY_VERIFY(!Untangle(outSink.data, 1).isEmpty());

    SListenClient b(nPort);
    QTRY_COMPARE(b.sink.data, QByteArray("HI"));
    QTest::qWait(nAnswerAfterMs);
    const QByteArray strAnswer = Tagged(3, 16);
    b.socket.write(strAnswer);
    if (bHeld)
        QTRY_COMPARE(nHeldBack(), quint64(2));
    else
        QTRY_COMPARE(Untangle(outSink.data, 3), strAnswer);
    b.socket.write(Tagged(2, 32));
    QTRY_COMPARE(Untangle(outSink.data, 2), Tagged(2, 32));

    steady.stop();
    QTRY_VERIFY(Untangle(outSink.data, 1).size() >= nStreamed);
    QVERIFY(Untangle(outSink.data, 1) == strStream.left(nStreamed));
    QCOMPARE(Untangle(outSink.data, 3), bHeld ? QByteArray() : strAnswer);
    QCOMPARE(nHeldBack(), quint64(bHeld ? 2 : 1));
}

QTEST_MAIN(TestListenPolicy)
#include "tst_listenpolicy.moc"
