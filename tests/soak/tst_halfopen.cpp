// A TCP peer that vanishes without closing: its packets are dropped inside
// a network namespace of this test's own (only its loopback exists there),
// and the gateway must notice within the keepalive / user time-out and take
// the far-end-closed path.

#include "listenclient.h"
#include "netns.h"
#include "soakpeer.h"
#include "sockopt.h"

#include "socket/portsocket.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <memory>

#include <netinet/tcp.h>

namespace {

// Set by main before anything else runs: empty when the process has a
// network namespace of its own with loopback up, else why not.
QString g_strNamespaceProblem = QStringLiteral("not tried");

// Drops every packet to and from the peer's port, as a pulled cable does.
// Empty on success, else why it could not.
QString DropPeer(quint16 nPort)
{
    for (const char* pDir : {"--dport", "--sport"}) {
        QProcess iptables;
        iptables.start(QStringLiteral("iptables"), {"-w", "-A", "INPUT", "-p", "tcp", QString::fromLatin1(pDir),
                                                    QString::number(nPort), "-j", "DROP"});
        if (!iptables.waitForFinished(10000) || iptables.exitStatus() != QProcess::NormalExit
            || iptables.exitCode() != 0)
            return QStringLiteral("iptables: %1 %2")
                .arg(iptables.errorString(), QString::fromLocal8Bit(iptables.readAllStandardError()).trimmed());
    }
    return QString();
}

// Shortened timers: about 3 s instead of about 20 s.
constexpr CPortSocket::SKeepAlive kTestKeepAlive {1, 1, 2, 3000};
constexpr int kNoticeLimitMs = 15000;

} // namespace

class TestHalfOpen : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void tcpPortsCarryTheTimers();
    void slowConsumerIsKept();
    void vanishedPeerIsFarEndClose_data();
    void vanishedPeerIsFarEndClose();
    void halfOpenClientAndPolicy_data();
    void halfOpenClientAndPolicy();
};

void TestHalfOpen::cleanup()
{
    CPortSocket::SetKeepAlive(CPortSocket::kDefaultKeepAlive);
}

void TestHalfOpen::tcpPortsCarryTheTimers()
{
    CSoakPeer peer(1);
    SGatewayRig rig;
    rig.doc.m_strInSetup = peer.Setup();
    rig.Reset();
    QVERIFY(rig.gateway.m_pInSocket);
    const int h = rig.gateway.m_pInSocket->m_hSocket;
    QCOMPARE(SocketOption(h, SOL_SOCKET, SO_KEEPALIVE), 1);
    QCOMPARE(SocketOption(h, IPPROTO_TCP, TCP_KEEPIDLE), CPortSocket::kKeepAliveIdleSeconds);
    QCOMPARE(SocketOption(h, IPPROTO_TCP, TCP_KEEPINTVL), CPortSocket::kKeepAliveIntervalSeconds);
    QCOMPARE(SocketOption(h, IPPROTO_TCP, TCP_KEEPCNT), CPortSocket::kKeepAliveProbes);
    // Left to the port's own check: the system's would drop slow consumers.
    QCOMPARE(SocketOption(h, IPPROTO_TCP, TCP_USER_TIMEOUT), 0);
    // Noticed within about 20 s either way.
    QVERIFY(CPortSocket::kKeepAliveIdleSeconds + CPortSocket::kKeepAliveIntervalSeconds * CPortSocket::kKeepAliveProbes
            <= 20);
}

// A peer that keeps its window closed far longer than the time-out is alive:
// it answers the window probes, keeps its connection and loses nothing.
void TestHalfOpen::slowConsumerIsKept()
{
    CPortSocket::SetKeepAlive(kTestKeepAlive);
    CSoakPeer inPeer(4), outPeer(5);
    outPeer.ExpectStream(4);
    outPeer.SetReadRate(1024);
    SGatewayRig rig;
    QVERIFY(StartBetween(rig, inPeer, outPeer));
    const qint64 nTotal = 32 << 20;
    inPeer.AddToSend(nTotal);
    // The gateway's thread waits inside its send meanwhile; a timer runs
    // there as well.
    QStringList texts;
    QTimer::singleShot(kTestKeepAlive.nAckTimeoutMs * 2 + 1000, this, [&] {
        texts = rig.Texts();
        outPeer.SetReadRate(0);
    });
    QVERIFY(soak::WaitFor([&] { return !texts.isEmpty() && outPeer.Received() >= nTotal; }, 60000));
    rig.gateway.RequestStop(true);
    QCOMPARE(texts, QStringList({"Connect TCP...", "Done!", "Connect TCP...", "Done!"}));
    QCOMPARE(outPeer.Accepted(), 1);
    QCOMPARE(outPeer.FirstMismatch(), qint64(-1));
    QCOMPARE(outPeer.ReceivedHash(), inPeer.SentHash());
}

void TestHalfOpen::vanishedPeerIsFarEndClose_data()
{
    QTest::addColumn<bool>("input");
    // The idle Input is found by keepalive probes, the Output with data in
    // flight by the user time-out.
    QTest::newRow("idle input") << true;
    QTest::newRow("output with data in flight") << false;
}

void TestHalfOpen::vanishedPeerIsFarEndClose()
{
    QFETCH(bool, input);
    if (!g_strNamespaceProblem.isEmpty())
        QSKIP(qPrintable("no network namespace of our own: " + g_strNamespaceProblem));
    CPortSocket::SetKeepAlive(kTestKeepAlive);
    CSoakPeer inPeer(2), outPeer(3);
    SGatewayRig rig;
    // The restart after the Input closes would only meet the dropped peer.
    rig.gateway.SetTimerPeriods(12000, 600000);
    QVERIFY(StartBetween(rig, inPeer, outPeer));
    inPeer.AddToSend(4096);
    QVERIFY(soak::WaitFor([&] { return outPeer.Received() == 4096; }, 5000));

    const QString strProblem = DropPeer((input ? inPeer : outPeer).Port());
    if (!strProblem.isEmpty())
        QSKIP(qPrintable(strProblem));
    QElapsedTimer clock;
    clock.start();
    if (!input)
        inPeer.AddToSend(4096); // relayed into the dead Output, never acknowledged
    const QString strClosed = input ? QStringLiteral("Remote Input closed,close ALL & ReStart!")
                                    : QStringLiteral("Remote Output closed,close myself too!");
    const bool bNoticed = soak::WaitFor([&] { return rig.Texts().contains(strClosed); }, kNoticeLimitMs);
    const qint64 nMs = clock.elapsed();
    const QStringList texts = rig.Texts();
    const QString strOutStatus = rig.host.m_strOutStatus;
    rig.gateway.RequestStop(true);

    soak::Figure(input ? QStringLiteral("halfopen-idle-input") : QStringLiteral("halfopen-busy-output"),
                 QStringLiteral("noticed_ms=%1 keepalive_idle_s=%2 interval_s=%3 probes=%4 ack_timeout_ms=%5")
                     .arg(bNoticed ? nMs : -1)
                     .arg(kTestKeepAlive.nIdleSeconds)
                     .arg(kTestKeepAlive.nIntervalSeconds)
                     .arg(kTestKeepAlive.nProbes)
                     .arg(kTestKeepAlive.nAckTimeoutMs));
    QVERIFY2(bNoticed, qPrintable(texts.join('|')));
    // Not before the timers could have run out: it was the time-out.
    QVERIFY2(nMs >= 1000, qPrintable(QString::number(nMs)));
    // The time-out surfaces as 10060 on the receive (or on a send that was
    // waiting), then the close path.
    QVERIFY2(texts.contains(QStringLiteral("Receive Error Code:10060"))
                 || texts.contains(QStringLiteral("Send Error Code:10060")),
             qPrintable(texts.join('|')));
    if (!input)
        QCOMPARE(strOutStatus, QStringLiteral("Remote closed,close myself too!"));
}

void TestHalfOpen::halfOpenClientAndPolicy_data()
{
    QTest::addColumn<QByteArray>("clients");
    QTest::newRow("replace") << QByteArray("replace");
    QTest::newRow("refuse") << QByteArray("refuse");
    QTest::newRow("shared") << QByteArray("2");
}

// The client of a listening Output goes half-open: under clients=replace a
// new client takes over at once; under clients=refuse it is turned away
// until keepalive has found the dead one, and the next is taken; shared by
// two, the live partner keeps getting everything meanwhile.
void TestHalfOpen::halfOpenClientAndPolicy()
{
    QFETCH(QByteArray, clients);
    const bool bShared = clients == "2";
    const bool bRefuse = clients != "replace";
    if (!g_strNamespaceProblem.isEmpty())
        QSKIP(qPrintable("no network namespace of our own: " + g_strNamespaceProblem));
    CPortSocket::SetKeepAlive(kTestKeepAlive);
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_strOutInitial = "HI";
    rig.Start(TcpSetup(inServer), "TCP:0@127.0.0.1;clients=" + clients);
    QTcpSocket* pIn = Accept(inServer);
    QVERIFY(pIn);
    const quint16 nPort = ListenPort(rig.gateway.m_pOutSocket);
    SListenClient first(nPort);
    QTRY_COMPARE(first.sink.data, QByteArray("HI"));
    const quint16 nFirst = first.socket.localPort();
    const QString strProblem = DropPeer(nFirst);
    if (!strProblem.isEmpty())
        QSKIP(qPrintable(strProblem));
    std::unique_ptr<SListenClient> pPartner;
    if (bShared) {
        pPartner = std::make_unique<SListenClient>(nPort);
        QTRY_COMPARE(pPartner->sink.data, QByteArray("HI"));
    }

    SListenClient second(nPort);
    const QString strGone = QStringLiteral("TCP Client Disconnected,port:%1,addr:127.0.0.1").arg(nFirst);
    if (!bRefuse) {
        QTRY_COMPARE(second.sink.data, QByteArray("HI"));
        QVERIFY(rig.Texts().contains(QStringLiteral("TCP Client Replaced,port:%1,addr:127.0.0.1").arg(nFirst)));
        pIn->write("data");
        QTRY_COMPARE(second.sink.data, QByteArray("HIdata"));
        return;
    }
    QTRY_COMPARE(second.socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(second.sink.data, QByteArray("Port in use\r\n"));
    QVERIFY(!rig.Texts().contains(strGone));
    if (bShared) {
        pIn->write("meanwhile");
        QTRY_COMPARE(pPartner->sink.data, QByteArray("HImeanwhile"));
    }
    QVERIFY(soak::WaitFor([&] { return rig.Texts().contains(strGone); }, kNoticeLimitMs));
    QVERIFY(rig.Texts().contains(QStringLiteral("Receive Error Code:10060")));
    SListenClient third(nPort);
    QTRY_COMPARE(third.sink.data, QByteArray("HI"));
    pIn->write("data");
    QTRY_COMPARE(third.sink.data, QByteArray("HIdata"));
    if (bShared)
        QTRY_COMPARE(pPartner->sink.data, QByteArray("HImeanwhiledata"));
}

int main(int argc, char** argv)
{
    g_strNamespaceProblem = EnterOwnNetworkNamespace();
    QCoreApplication app(argc, argv);
    TestHalfOpen test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_halfopen.moc"
