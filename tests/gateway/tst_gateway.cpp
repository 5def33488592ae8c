#include "fullserver.h"
#include "loopback.h"
#include "resources.h"
#include "sockopt.h"
#include "testhost.h"
#include "threadpeer.h"

#include "escapes.h"
#include "socket/portsocket.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>


#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <linux/sockios.h>

class TestGateway : public QObject
{
    Q_OBJECT
private slots:
    void expandEscapes_data();
    void expandEscapes();
    void messageLogFormatAndLimit();
    void relaysTcpBothWaysByteExact();
    void udpOutputOneDatagramPerBlock();
    void udpBurstOneDatagramPerBlock();
    void startModes();
    void outputConnectErrorBox();
    void outputStartCutShortIsNoFailure_data();
    void outputStartCutShortIsNoFailure();
    void deferredOutputRetriesOnNextBlock();
    void skipInputResponse();
    void skipOutputResponseAndExpiry();
    void timersNeverEndEarly();
    void inputFarEndCloseRestarts();
    void closeSeenWhileReadingPaused_data();
    void closeSeenWhileReadingPaused();
    void failedRestartLeavesGatewayStopped();
    void outputFarEndCloseReconnectsOnNextBlock();
    void oversizedDatagramIsDropped();
    void backpressureAndResetWhileSendWaits();
    void settingsLoadCancelsPendingRestart();
    void inputWaitsWhileOutputStarts();
    void queuedStopOutranksReset();
    void connectRefusedIsReportedAtOnce();
    void unresolvableAddress();
    void serialPathFailsCleanly();
    void invalidSetupStrings_data();
    void invalidSetupStrings();
    void broadcastDestination();
    void burstsLeaveNothingHeldBack_data();
    void burstsLeaveNothingHeldBack();
    void gatheredBlocksHeldUntilTaken();
};

void TestGateway::expandEscapes_data()
{
    QTest::addColumn<QByteArray>("typed");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("cr") << QByteArray("ATZ\\r") << QByteArray("ATZ\r");
    QTest::newRow("all") << QByteArray("a\\nb\\tc\\rd") << QByteArray("a\nb\tc\rd");
    QTest::newRow("backslash n") << QByteArray("\\\\n") << QByteArray("\\n");
    QTest::newRow("unknown") << QByteArray("a\\qb") << QByteArray("a\\qb");
    QTest::newRow("capital") << QByteArray("\\N") << QByteArray("\\N");
    QTest::newRow("trailing") << QByteArray("abc\\") << QByteArray("abc\\");
    QTest::newRow("no zero byte") << QByteArray("\\0\\x41") << QByteArray("\\0\\x41");
    QTest::newRow("long") << QByteArray(300, 'x') + "\\r" << QByteArray(300, 'x') + "\r";
}

void TestGateway::expandEscapes()
{
    QFETCH(QByteArray, typed);
    QFETCH(QByteArray, sent);
    ExpandEscapes(typed);
    QCOMPARE(typed, sent);
}

void TestGateway::messageLogFormatAndLimit()
{
    CMessageLog log;
    log.AddMessageAt("Done!", QDateTime(QDate(2024, 1, 2), QTime(9, 5, 3)));
    QCOMPARE(log.Lines().first(), QStringLiteral("09:05:03,Done!"));
    for (int i = 1; i < 201; ++i)
        log.AddMessage("x");
    QCOMPARE(log.Lines().size(), 201);
    log.AddMessage("after");
    QCOMPARE(log.Lines().size(), 1);
    QVERIFY(log.Lines().first().endsWith(",after"));
    log.AddMessage("after");
    QCOMPARE(log.Lines().size(), 2);
}

void TestGateway::relaysTcpBothWaysByteExact()
{
    QTcpServer inServer, outServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.Start(TcpSetup(inServer), TcpSetup(outServer));
    QCOMPARE(rig.Texts(), QStringList({"Connect TCP...", "Done!", "Connect TCP...", "Done!"}));
    QCOMPARE(rig.host.m_strInStatus, QStringLiteral("Input Startup!"));
    QCOMPARE(rig.host.m_strOutStatus, QStringLiteral("Output Startup!"));
    QTcpSocket* pIn = Accept(inServer);
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pIn && pOut);
    SSink inSink, outSink;
    inSink.Attach(pIn);
    outSink.Attach(pOut);

    const QByteArray forward = RandomBytes(1 << 20);
    const QByteArray backward = RandomBytes((1 << 20) + 7, 2);
    pIn->write(forward);
    pOut->write(backward);
    QTRY_COMPARE_WITH_TIMEOUT(outSink.data.size(), forward.size(), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(inSink.data.size(), backward.size(), 30000);
    QVERIFY(outSink.data == forward);
    QVERIFY(inSink.data == backward);
    QCOMPARE(rig.Texts().size(), 4);
}

void TestGateway::udpOutputOneDatagramPerBlock()
{
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QUdpSocket outPeer;
    QVERIFY(outPeer.bind(QHostAddress::LocalHost, 0));
    SGatewayRig rig;
    rig.doc.m_strOutInitial = "hello\\r";
    rig.Start(TcpSetup(inServer), "UDP:" + QByteArray::number(outPeer.localPort()) + ",127.0.0.1", 1008);
    QTcpSocket* pIn = Accept(inServer);
    QVERIFY(pIn);
    SSink inSink;
    inSink.Attach(pIn);

    QList<QByteArray> datagrams;
    QHostAddress sender;
    quint16 nSenderPort = 0;
    connect(&outPeer, &QUdpSocket::readyRead, &outPeer, [&] {
        while (outPeer.hasPendingDatagrams()) {
            QByteArray d(int(outPeer.pendingDatagramSize()), 0);
            outPeer.readDatagram(d.data(), d.size(), &sender, &nSenderPort);
            datagrams.append(d);
        }
    });
    // Paced, so the loopback peer drops nothing.
    const QByteArray data = RandomBytes(64 * 1024);
    QByteArray received;
    for (int i = 0; i < data.size(); i += 2048) {
        pIn->write(data.mid(i, 2048));
        QTRY_VERIFY_WITH_TIMEOUT(datagrams.size() > 0 && [&] {
            QByteArray all;
            for (const QByteArray& d : datagrams)
                all += d;
            return all.size() >= i + qMin(2048, int(data.size()) - i) + 6;
        }(), 10000);
    }
    QCOMPARE(datagrams.first(), QByteArray("hello\r"));
    QByteArray all;
    for (int i = 1; i < datagrams.size(); ++i) {
        QVERIFY(datagrams[i].size() <= 512);
        all += datagrams[i];
    }
    QVERIFY(all == data);
    QCOMPARE(rig.Texts(), QStringList({"Connect TCP...", "Done!", "Create UDP...", "Done!"}));

    // Replies to the gateway's UDP endpoint come back to the Input.
    outPeer.writeDatagram("reply", sender, nSenderPort);
    QTRY_COMPARE(inSink.data, QByteArray("reply"));
    // An empty datagram is an empty block: nothing arrives, nothing breaks.
    outPeer.writeDatagram(QByteArray(), sender, nSenderPort);
    outPeer.writeDatagram("again", sender, nSenderPort);
    QTRY_COMPARE(inSink.data, QByteArray("replyagain"));
}

void TestGateway::udpBurstOneDatagramPerBlock()
{
    // A burst written at once reaches the gateway in large reads; their
    // blocks leave together, still one datagram of at most 512 bytes each,
    // in order.
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QUdpSocket outPeer;
    QVERIFY(outPeer.bind(QHostAddress::LocalHost, 0));
    outPeer.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1 << 20);
    SGatewayRig rig;
    rig.Start(TcpSetup(inServer), "UDP:" + QByteArray::number(outPeer.localPort()) + ",127.0.0.1");
    QTcpSocket* pIn = Accept(inServer);
    QVERIFY(pIn);
    QList<QByteArray> datagrams;
    qsizetype nTotal = 0;
    connect(&outPeer, &QUdpSocket::readyRead, &outPeer, [&] {
        while (outPeer.hasPendingDatagrams()) {
            QByteArray d(int(outPeer.pendingDatagramSize()), 0);
            outPeer.readDatagram(d.data(), d.size());
            nTotal += d.size();
            datagrams.append(d);
        }
    });
    const QByteArray data = RandomBytes(48 * 1024, 5);
    pIn->write(data);
    QTRY_COMPARE(nTotal, data.size());
    QByteArray all;
    for (const QByteArray& d : datagrams) {
        QVERIFY(!d.isEmpty() && d.size() <= 512);
        all += d;
    }
    QVERIFY(all == data);
    QVERIFY(datagrams.size() >= data.size() / 512);
}

void TestGateway::startModes()
{
    QTcpServer inServer, outServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_strInSetup = TcpSetup(inServer);
    rig.doc.m_strOutSetup = TcpSetup(outServer);
    rig.doc.m_strOutInitial = "INIT\\n";
    // 1008: only the Input starts; the first block starts the Output.
    rig.Reset();
    QCOMPARE(rig.host.m_strInStatus, QStringLiteral("Input Startup!"));
    QCOMPARE(rig.host.m_strOutStatus, QString());
    QCOMPARE(rig.Texts(), QStringList({"Connect TCP...", "Done!"}));
    QTcpSocket* pIn = Accept(inServer);
    QVERIFY(pIn);
    QVERIFY(!outServer.hasPendingConnections());
    pIn->write("first");
    QTRY_VERIFY(outServer.hasPendingConnections());
    QTcpSocket* pOut = Accept(outServer);
    SSink outSink;
    outSink.Attach(pOut);
    QTRY_COMPARE(outSink.data, QByteArray("INIT\nfirst"));
    QCOMPARE(rig.host.m_strOutStatus, QStringLiteral("Output Startup!"));
    QVERIFY(rig.gateway.m_bOutStarted);

    // Startup / Reset stops both and starts again from the beginning.
    rig.doc.m_nOutStartup = 1007;
    rig.Reset();
    QTRY_COMPARE(pOut->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(rig.host.m_strOutStatus, QStringLiteral("Output Startup!"));
    QVERIFY(Accept(inServer));
    QVERIFY(Accept(outServer));
}

void TestGateway::outputConnectErrorBox()
{
    QTcpServer inServer, closed;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 nDead = closed.serverPort();
    closed.close();
    SGatewayRig rig;
    rig.Start(TcpSetup(inServer), "TCP:" + QByteArray::number(nDead) + ",127.0.0.1");
    QCOMPARE(rig.host.m_boxes, QStringList({"Output Port Connect Error!"}));
    QVERIFY(rig.gateway.IsInputStarted());
    QVERIFY(!rig.gateway.m_bOutStarted);
    QCOMPARE(rig.host.m_strOutStatus, QString());
}

void TestGateway::outputStartCutShortIsNoFailure_data()
{
    QTest::addColumn<int>("outStartup");
    QTest::addColumn<bool>("reset"); // else a stop
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("finished"); // startupFinished signals
    const QString c = QStringLiteral("Connect TCP...");
    const QString d = QStringLiteral("Done!");
    QTest::newRow("with Input, reset") << 1007 << true << QStringList{c, d, c, c, d, c, d} << 1;
    QTest::newRow("with Input, stop") << 1007 << false << QStringList{c, d, c} << 0;
    QTest::newRow("first block, reset") << 1008 << true << QStringList{c, d, c, c, d} << 2;
    QTest::newRow("first block, stop") << 1008 << false << QStringList{c, d, c} << 1;
}

// A Startup / Reset or a stop while the Output connects cuts its start
// short. That is no failure: no box and no failure line.
void TestGateway::outputStartCutShortIsNoFailure()
{
    QFETCH(int, outStartup);
    QFETCH(bool, reset);
    QFETCH(QStringList, lines);
    QFETCH(int, finished);
    QTcpServer inServer, outLater;
    SFullServer outServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost) && outLater.listen(QHostAddress::LocalHost));
    QVERIFY(outServer.Listen());
    SGatewayRig rig;
    bool bAsked = false;
    bool bStopped = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        if (bAsked || rig.Texts().count(QStringLiteral("Connect TCP...")) < 2)
            return;
        bAsked = true;
        rig.doc.m_strOutSetup = TcpSetup(outLater); // the reset's own start gets through
        if (reset)
            rig.gateway.RequestStartupReset();
        else
            rig.gateway.RequestStop(true, [&] { bStopped = true; });
    });
    poll.start(5);
    rig.Start(TcpSetup(inServer), outServer.Setup(), outStartup);
    if (outStartup == 1008)
        Accept(inServer)->write("x");
    QTRY_VERIFY(bAsked);
    if (reset)
        QTRY_COMPARE(rig.Texts().size(), lines.size());
    else
        QTRY_VERIFY(bStopped);
    QTest::qWait(50);
    QCOMPARE(rig.Texts(), lines);
    QCOMPARE(rig.host.m_boxes, QStringList());
    QCOMPARE(rig.started.size(), finished);
}

void TestGateway::deferredOutputRetriesOnNextBlock()
{
    QTcpServer inServer, outServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    const quint16 nOutPort = outServer.serverPort();
    outServer.close();
    SGatewayRig rig;
    rig.Start(TcpSetup(inServer), "TCP:" + QByteArray::number(nOutPort) + ",127.0.0.1", 1008);
    QTcpSocket* pIn = Accept(inServer);
    pIn->write("lost");
    QTRY_VERIFY(rig.Texts().contains("Output DoConnect Failure!"));
    const QString strRefused = QStringLiteral("TCP Connect Error:10061,port:%1,addr:127.0.0.1").arg(nOutPort);
    QCOMPARE(rig.Texts().mid(2), QStringList({"Connect TCP...", "Connect error! not 10035", strRefused,
                                              "Output DoConnect Failure!"}));
    QVERIFY(outServer.listen(QHostAddress::LocalHost, nOutPort));
    pIn->write("kept");
    QTRY_VERIFY(outServer.hasPendingConnections());
    SSink outSink;
    outSink.Attach(Accept(outServer));
    QTRY_COMPARE(outSink.data, QByteArray("kept"));
}

void TestGateway::skipInputResponse()
{
    QTcpServer inServer, outServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_bNoInInitResponse = 1;
    rig.Start(TcpSetup(inServer), TcpSetup(outServer), 1008);
    QVERIFY(rig.gateway.InToOut().IsSkipping());
    QTcpSocket* pIn = Accept(inServer);
    pIn->write("response");
    QTRY_VERIFY(!rig.gateway.InToOut().IsSkipping());
    // The dropped block did not start the Output.
    QTest::qWait(50);
    QVERIFY(!outServer.hasPendingConnections());
    pIn->write("data");
    QTRY_VERIFY(outServer.hasPendingConnections());
    SSink outSink;
    outSink.Attach(Accept(outServer));
    QTRY_COMPARE(outSink.data, QByteArray("data"));

    // Expiry: after the period the first block passes.
    rig.gateway.SetTimerPeriods(50, 300);
    rig.Reset();
    pIn = Accept(inServer);
    QTRY_VERIFY(!rig.gateway.InToOut().IsSkipping());
    pIn->write("passes");
    QTRY_VERIFY(outServer.hasPendingConnections());

    // Turning the option off and resetting disarms it.
    rig.gateway.SetTimerPeriods(12000, 300);
    rig.Reset();
    QVERIFY(rig.gateway.InToOut().IsSkipping());
    rig.doc.m_bNoInInitResponse = 0;
    rig.Reset();
    QVERIFY(!rig.gateway.InToOut().IsSkipping());
}

void TestGateway::skipOutputResponseAndExpiry()
{
    QTcpServer inServer, outServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_bNoOutInitResponse = 1;
    rig.Start(TcpSetup(inServer), TcpSetup(outServer));
    QVERIFY(rig.gateway.OutToIn().IsSkipping());
    QTcpSocket* pIn = Accept(inServer);
    QTcpSocket* pOut = Accept(outServer);
    SSink inSink;
    inSink.Attach(pIn);
    pOut->write("ok-response");
    QTRY_VERIFY(!rig.gateway.OutToIn().IsSkipping());
    pOut->write("second");
    QTRY_COMPARE(inSink.data, QByteArray("second"));

    rig.gateway.SetTimerPeriods(50, 300);
    rig.Reset();
    pIn = Accept(inServer);
    pOut = Accept(outServer);
    inSink.data.clear();
    inSink.Attach(pIn);
    QTRY_VERIFY(!rig.gateway.OutToIn().IsSkipping());
    pOut->write("late");
    QTRY_COMPARE(inSink.data, QByteArray("late"));
}

// Timers 1, 2 and 3 never end before their period. Qt's default (coarse)
// timers may fire up to 5 % early, which let a block through at the end of
// the skip window. Each period starts where that rounding would fall early:
// 100 ms past a whole second of the monotonic clock.
void TestGateway::timersNeverEndEarly()
{
    constexpr int kPeriodMs = 1000;
    const auto waitForPhase = [] {
        const qint64 nPhase = QDeadlineTimer::current().deadline() % 1000;
        std::this_thread::sleep_for(std::chrono::milliseconds((1100 - nPhase) % 1000));
    };
    // The time from the start until fnDone holds, looked at every millisecond.
    const auto timeUntil = [](const QElapsedTimer& clock, const auto& fnDone) {
        QTimer tick;
        tick.start(1);
        while (!fnDone() && clock.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return clock.elapsed();
    };

    QTcpServer inServer, outServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_bNoInInitResponse = 1;
    rig.doc.m_bNoOutInitResponse = 1;
    rig.gateway.SetTimerPeriods(kPeriodMs, kPeriodMs);
    waitForPhase();
    QElapsedTimer clock;
    clock.start();
    rig.Start(TcpSetup(inServer), TcpSetup(outServer));
    QVERIFY(rig.gateway.InToOut().IsSkipping() && rig.gateway.OutToIn().IsSkipping());
    QVERIFY(timeUntil(clock, [&] { return !rig.gateway.InToOut().IsSkipping(); }) >= kPeriodMs);
    QVERIFY(timeUntil(clock, [&] { return !rig.gateway.OutToIn().IsSkipping(); }) >= kPeriodMs);

    // Timer 3: the restart after the Input's far end closed.
    QTcpSocket* pIn = Accept(inServer);
    QVERIFY(pIn);
    waitForPhase();
    clock.restart();
    pIn->close();
    const qint64 nRestartMs = timeUntil(clock, [&] { return inServer.hasPendingConnections(); });
    QVERIFY2(nRestartMs >= kPeriodMs, QByteArray::number(nRestartMs).constData());
}

void TestGateway::inputFarEndCloseRestarts()
{
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.gateway.SetTimerPeriods(12000, 200);
    rig.Start(TcpSetup(inServer), "TCP:1,127.0.0.1", 1008);
    QTcpSocket* pIn = Accept(inServer);
    pIn->close();
    QTRY_VERIFY(rig.Texts().contains("Remote Input closed,close ALL & ReStart!"));
    QCOMPARE(rig.host.m_strInStatus, QStringLiteral("Input Startup!"));
    QTRY_VERIFY_WITH_TIMEOUT(inServer.hasPendingConnections(), 5000);
    QCOMPARE(rig.Texts().mid(2), QStringList({"Remote Input closed,close ALL & ReStart!", "Connect TCP...", "Done!"}));
    QVERIFY(rig.gateway.IsInputStarted());
}

// A port whose peer closes (FIN or reset) while the port is not read,
// because the other direction's destination does not take its blocks, is
// handled as closed at once: the Input restarts (and with it the stuck
// Output), the Output closes.
void TestGateway::closeSeenWhileReadingPaused_data()
{
    QTest::addColumn<bool>("bInput"); // the port that closes
    QTest::addColumn<bool>("bReset");
    QTest::addColumn<bool>("bSlow"); // the destination reads in bursts
    QTest::newRow("input FIN") << true << false << false;
    QTest::newRow("input reset") << true << true << false;
    QTest::newRow("output FIN") << false << false << false;
    QTest::newRow("output reset") << false << true << false;
    QTest::newRow("input FIN, slow destination") << true << false << true;
}

void TestGateway::closeSeenWhileReadingPaused()
{
    QFETCH(bool, bInput);
    QFETCH(bool, bReset);
    QFETCH(bool, bSlow);
    QTcpServer inServer, outServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.gateway.SetTimerPeriods(12000, 200);
    rig.Start(TcpSetup(inServer), TcpSetup(outServer), 1007);
    QTcpSocket* pIn = Accept(inServer);
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pIn && pOut);
    QTcpSocket* pSender = bInput ? pIn : pOut;
    QTcpSocket* pStuck = bInput ? pOut : pIn;
    pStuck->setReadBufferSize(4096);
    const CTransferDirection& direction = bInput ? rig.gateway.InToOut() : rig.gateway.OutToIn();
    // Small writes, each taken whole by the gateway's side, until the
    // direction waits: then nothing waits on the sender's side, and its FIN
    // reaches the gateway.
    const int hSender = int(pSender->socketDescriptor());
    const auto waitOut = [&] {
        const QDeadlineTimer deadline(5000);
        int nQueued = -1;
        while (!deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (pSender->bytesToWrite() == 0 && ::ioctl(hSender, SIOCOUTQ, &nQueued) == 0 && nQueued == 0)
                return true;
        }
        return false;
    };
    const QByteArray strChunk = RandomBytes(64 << 10);
    int nChunks = 0;
    for (; nChunks < 1000 && !direction.IsParked(); ++nChunks) {
        pSender->write(strChunk);
        QVERIFY(waitOut());
    }
    QVERIFY(direction.IsParked());
    if (bReset) {
        const linger abort {1, 0};
        QVERIFY(::setsockopt(hSender, SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0);
        pSender->abort();
    } else {
        QVERIFY(::shutdown(hSender, SHUT_WR) == 0);
    }
    if (bSlow) {
        // A destination that still takes bytes, in bursts with pauses shorter
        // than the time a stuck one is given: everything sent before the FIN
        // arrives (a close taken early would lose the rest), and then the
        // close restarts the gateway.
        const qint64 nSent = qint64(nChunks) * strChunk.size();
        qint64 nGot = 0;
        for (const QDeadlineTimer deadline(60000); nGot < nSent && !deadline.hasExpired();) {
            QTest::qWait(1500); // takes at most the 4 KiB of its read buffer
            pStuck->setReadBufferSize(0);
            for (const QDeadlineTimer burst(100); !burst.hasExpired() && nGot < nSent;) {
                pStuck->waitForReadyRead(10);
                nGot += pStuck->readAll().size();
            }
            pStuck->setReadBufferSize(4096);
        }
        QCOMPARE(nGot, nSent);
    }
    if (bInput) {
        QTRY_VERIFY(rig.Texts().contains("Remote Input closed,close ALL & ReStart!"));
        // The restart: both ports anew.
        QTRY_VERIFY_WITH_TIMEOUT(inServer.hasPendingConnections() && outServer.hasPendingConnections(), 5000);
    } else {
        QTRY_COMPARE(rig.host.m_strOutStatus, QStringLiteral("Remote closed,close myself too!"));
        QVERIFY(rig.Texts().contains("Remote Output closed,close myself too!"));
    }
    QCOMPARE(rig.Texts().contains("Receive Error Code:10054"), bReset);
}

void TestGateway::failedRestartLeavesGatewayStopped()
{
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.gateway.SetTimerPeriods(12000, 100);
    rig.doc.m_strInSetup = TcpSetup(inServer);
    rig.Reset();
    QSignalSpy finished(&rig.gateway, &CGateway::startupFinished);
    QTcpSocket* pIn = Accept(inServer);
    inServer.close();
    pIn->close();
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().toBool(), false);
    QVERIFY(!rig.gateway.IsInputStarted());
    QCOMPARE(rig.host.m_strInStatus, QString());
    QCOMPARE(rig.host.m_strOutStatus, QString());
    QVERIFY(rig.Texts().last().startsWith("TCP Connect Error:10061"));
}

void TestGateway::outputFarEndCloseReconnectsOnNextBlock()
{
    QTcpServer inServer, outServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_strOutInitial = "HELLO";
    rig.Start(TcpSetup(inServer), TcpSetup(outServer));
    QTcpSocket* pIn = Accept(inServer);
    QTcpSocket* pOut = Accept(outServer);
    pOut->close();
    QTRY_COMPARE(rig.host.m_strOutStatus, QStringLiteral("Remote closed,close myself too!"));
    QVERIFY(rig.Texts().contains("Remote Output closed,close myself too!"));
    QVERIFY(!rig.gateway.m_pOutSocket);
    QVERIFY(!rig.gateway.m_bOutStarted);
    QVERIFY(rig.gateway.IsInputStarted());
    pIn->write("next");
    QTRY_VERIFY(outServer.hasPendingConnections());
    SSink outSink;
    outSink.Attach(Accept(outServer));
    QTRY_COMPARE(outSink.data, QByteArray("HELLOnext"));
    QCOMPARE(rig.host.m_strOutStatus, QStringLiteral("Output Startup!"));
}

void TestGateway::oversizedDatagramIsDropped()
{
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QUdpSocket outPeer;
    QVERIFY(outPeer.bind(QHostAddress::LocalHost, 0));
    SGatewayRig rig;
    rig.doc.m_strOutInitial = "x";
    rig.Start(TcpSetup(inServer), "UDP:" + QByteArray::number(outPeer.localPort()) + ",127.0.0.1");
    QTcpSocket* pIn = Accept(inServer);
    SSink inSink;
    inSink.Attach(pIn);
    QTRY_VERIFY(outPeer.hasPendingDatagrams());
    QHostAddress sender;
    quint16 nPort = 0;
    char c;
    outPeer.readDatagram(&c, 1, &sender, &nPort);
    outPeer.writeDatagram(QByteArray(513, 'a'), sender, nPort);
    outPeer.writeDatagram(QByteArray(512, 'b'), sender, nPort);
    QTRY_COMPARE(inSink.data, QByteArray(512, 'b'));
    QVERIFY(rig.Texts().contains("Receive Error Code:10040"));
}

void TestGateway::backpressureAndResetWhileSendWaits()
{
    // Peers on their own threads: the gateway's thread waits inside a send.
    CThreadPeer inPeer;
    CThreadPeer outPeer(4096);
    outPeer.m_bRead = false;
    SGatewayRig rig;
    rig.Start(inPeer.Setup(), outPeer.Setup());
    QTRY_VERIFY(inPeer.Connected() && outPeer.Connected());

    const QByteArray data = RandomBytes(32 << 20);
    inPeer.Send(data);
    // Looked at from inside the gateway's wait: it is busy sending, and the
    // Input peer cannot get rid of its data because nobody reads it.
    bool bBusyWhileStalled = false;
    qint64 nPendingWhileStalled = 0;
    QTimer::singleShot(1500, [&] {
        bBusyWhileStalled = rig.gateway.IsBusy();
        nPendingWhileStalled = inPeer.PendingSend();
        outPeer.m_bRead = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(outPeer.ReceivedSize() == data.size(), 60000);
    QVERIFY(bBusyWhileStalled);
    QVERIFY(nPendingWhileStalled > 8 << 20);
    QVERIFY(outPeer.Received() == data);

    // Wedge the Output again and press Startup / Reset while a send waits:
    // it takes effect at once.
    outPeer.m_bRead = false;
    const int nLines = int(rig.Texts().size());
    inPeer.Send(data);
    bool bBusyAtReset = false;
    QTimer::singleShot(1500, [&] {
        bBusyAtReset = rig.gateway.IsBusy();
        rig.gateway.RequestStartupReset();
        // The Input peer goes on sending on its next connection; let it drain.
        outPeer.m_bRead = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(rig.Texts().size() >= nLines + 4, 10000);
    QVERIFY(bBusyAtReset);
    QCOMPARE(rig.Texts().mid(nLines, 4), QStringList({"Connect TCP...", "Done!", "Connect TCP...", "Done!"}));
    QTRY_COMPARE(inPeer.m_nAccepted.load(), 2);
    QTRY_COMPARE(outPeer.m_nAccepted.load(), 2);
}

void TestGateway::inputWaitsWhileOutputStarts()
{
    // The Output's initial string cannot go out until its peer reads, so
    // the Output start waits while the Input already has data.
    CThreadPeer inPeer;
    CThreadPeer outPeer(4096);
    outPeer.m_bRead = false;
    inPeer.Send("first block");
    SGatewayRig rig;
    rig.doc.m_strInSetup = inPeer.Setup();
    rig.doc.m_strOutSetup = outPeer.Setup();
    rig.doc.m_strOutInitial = QByteArray(4 << 20, 'i');
    rig.doc.m_nOutStartup = 1007;
    QTimer::singleShot(1000, [&] { outPeer.m_bRead = true; });
    rig.Reset();
    QTRY_COMPARE_WITH_TIMEOUT(outPeer.ReceivedSize(), qint64(rig.doc.m_strOutInitial.size() + 11), 20000);
    QVERIFY(outPeer.Received().endsWith("iiifirst block"));
    QCOMPARE(outPeer.m_nAccepted.load(), 1);
    QCOMPARE(rig.Texts(), QStringList({"Connect TCP...", "Done!", "Connect TCP...", "Done!"}));
}

void TestGateway::queuedStopOutranksReset()
{
    CThreadPeer inPeer;
    CThreadPeer outPeer(4096);
    outPeer.m_bRead = false;
    SGatewayRig rig;
    rig.Start(inPeer.Setup(), outPeer.Setup());
    QTRY_VERIFY(inPeer.Connected() && outPeer.Connected());
    inPeer.Send(RandomBytes(8 << 20));
    // While a send waits: a stop that closes the window, then a restart
    // (timer 3 or the button), then a settings load. Both stops and their
    // follow-ups run; the reset does not.
    bool bClosed = false;
    bool bLoaded = false;
    QTimer::singleShot(1000, [&] {
        QVERIFY(rig.gateway.IsBusy());
        rig.gateway.RequestStop(false, [&] { bClosed = true; });
        rig.gateway.RequestStartupReset();
        rig.gateway.RequestStop(true, [&] { bLoaded = true; });
    });
    QTRY_VERIFY_WITH_TIMEOUT(bClosed && bLoaded, 10000);
    QVERIFY(!rig.gateway.IsInputStarted());
    QTest::qWait(100);
    QCOMPARE(inPeer.m_nAccepted.load(), 1);
}

void TestGateway::settingsLoadCancelsPendingRestart()
{
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.gateway.SetTimerPeriods(12000, 100);
    rig.doc.m_strInSetup = TcpSetup(inServer);
    rig.Reset();
    Accept(inServer)->close();
    QTRY_VERIFY(rig.Texts().contains("Remote Input closed,close ALL & ReStart!"));
    rig.gateway.RequestStop(true);
    QTest::qWait(300);
    QVERIFY(!inServer.hasPendingConnections());
    QVERIFY(!rig.gateway.IsInputStarted());
    QCOMPARE(rig.host.m_strInStatus, QString());
}

void TestGateway::connectRefusedIsReportedAtOnce()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 nPort = probe.serverPort();
    probe.close();
    SGatewayRig rig;
    rig.doc.m_strInSetup = "TCP:" + QByteArray::number(nPort + 65536) + ",127.0.0.1";
    QElapsedTimer timer;
    timer.start();
    rig.Reset();
    QVERIFY(timer.elapsed() < CPortSocket::kConnectTimeoutMs);
    // The port prints as converted, not reduced to 16 bits.
    QCOMPARE(rig.Texts(), QStringList({"Connect TCP...", "Connect error! not 10035",
                                       QStringLiteral("TCP Connect Error:10061,port:%1,addr:127.0.0.1")
                                           .arg(nPort + 65536)}));
    QVERIFY(!rig.gateway.IsInputStarted());
}

void TestGateway::unresolvableAddress()
{
    SGatewayRig rig;
    rig.doc.m_strInSetup = "TCP:1025,";
    rig.Reset();
    QCOMPARE(rig.Texts(), QStringList({"Connect TCP...", "Connect error! not 10035",
                                       "TCP Connect Error:10022,port:1025,addr:"}));
}

void TestGateway::serialPathFailsCleanly()
{
    SGatewayRig rig;
    rig.doc.m_strInSetup = "COM99:9600,n,8,1";
    rig.Reset();
    QCOMPARE(rig.Texts(), QStringList({"Open Port..."}));
    QVERIFY(!rig.host.m_boxes.isEmpty());
    QVERIFY(!rig.gateway.IsInputStarted());
    rig.doc.m_strInSetup = "COM9";
    rig.host.m_boxes.clear();
    rig.Reset();
    QCOMPARE(rig.host.m_boxes, QStringList({"Invalid Setup String!"}));
}

void TestGateway::invalidSetupStrings_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("two letters") << QByteArray("TC");
    QTest::newRow("lower tcp") << QByteArray("tcp:1025,127.0.0.1");
    QTest::newRow("lower com") << QByteArray("com2:9600,n,8,1");
    QTest::newRow("no colon") << QByteArray("TCP1025,127.0.0.1");
    QTest::newRow("comma before colon") << QByteArray("UDP,1:1025");
    QTest::newRow("long port") << QByteArray("TCP:12345678,127.0.0.1");
    QTest::newRow("long address") << QByteArray("UDP:1025,") + QByteArray(32, 'a');
}

void TestGateway::invalidSetupStrings()
{
    QFETCH(QByteArray, setup);
    SGatewayRig rig;
    rig.doc.m_strInSetup = setup;
    rig.Reset();
    QCOMPARE(rig.Texts(), QStringList({"Invalid Setup String!"}));
    QVERIFY(!rig.gateway.IsInputStarted());
    QCOMPARE(rig.host.m_strInStatus, QString());
}

namespace {
unsigned g_nLastSendToAddress = 0;
long RecordingSendTo(int, const void*, unsigned long nLen, const sockaddr* pAddr, unsigned)
{
    g_nLastSendToAddress = reinterpret_cast<const sockaddr_in*>(pAddr)->sin_addr.s_addr;
    return long(nLen);
}
} // namespace

void TestGateway::broadcastDestination()
{
    // Never sent for real: the datagram send is replaced.
    const auto pfnSaved = CPortSocket::s_pfnSendTo;
    CPortSocket::s_pfnSendTo = RecordingSendTo;
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.Start(TcpSetup(inServer), "UDP:9,255.255.255.255");
    QVERIFY(rig.gateway.m_pOutSocket);
    QCOMPARE(SocketOption(rig.gateway.m_pOutSocket->m_hSocket, SOL_SOCKET, SO_BROADCAST), 1);
    QVERIFY(!rig.Texts().contains("Set Broadcast Failure"));
    QCOMPARE(rig.gateway.m_pOutSocket->SendBlock("x", 1), 1);
    QCOMPARE(g_nLastSendToAddress, htonl(INADDR_BROADCAST));
    rig.gateway.RequestStop(true);
    CPortSocket::s_pfnSendTo = pfnSaved;
}

void TestGateway::burstsLeaveNothingHeldBack_data()
{
    QTest::addColumn<bool>("bInToOut");
    QTest::newRow("Input to Output") << true;
    QTest::newRow("Output to Input") << false;
}

void TestGateway::burstsLeaveNothingHeldBack()
{
    // The blocks of one read leave together; afterwards nothing is left
    // waiting in the gateway or corked in the system, and single blocks go
    // out at once.
    QFETCH(bool, bInToOut);
    QTcpServer inServer, outServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_strInSetup = TcpSetup(inServer);
    rig.doc.m_strOutSetup = TcpSetup(outServer);
    rig.doc.m_nOutStartup = 1007;
    rig.Reset();
    QTcpSocket* pIn = Accept(inServer);
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pIn && pOut);
    QTcpSocket* pFrom = bInToOut ? pIn : pOut;
    SSink sink;
    sink.Attach(bInToOut ? pOut : pIn);
    CPortSocket* pDestination = bInToOut ? rig.gateway.m_pOutSocket : rig.gateway.m_pInSocket;
    QVERIFY(pDestination);

    const QByteArray data = RandomBytes(5000);
    pFrom->write(data);
    QTRY_COMPARE(sink.data.size(), data.size());
    QVERIFY(sink.data == data);
    QCOMPARE(SocketOption(pDestination->m_hSocket, IPPROTO_TCP, TCP_CORK), 0);
    QVERIFY(SocketOption(pDestination->m_hSocket, IPPROTO_TCP, TCP_NODELAY) > 0);
    QCOMPARE(rig.Texts().size(), 4);
}

void TestGateway::gatheredBlocksHeldUntilTaken()
{
    // Bursts of gathered blocks into a peer that reads nothing: the tail of
    // a burst that the system does not take is held, later bursts queue
    // behind it, and once the peer reads every byte arrives in order.
    CThreadPeer inPeer;
    CThreadPeer outPeer(4096);
    outPeer.m_bRead = false;
    SGatewayRig rig;
    rig.Start(inPeer.Setup(), outPeer.Setup());
    QTRY_VERIFY(inPeer.Connected() && outPeer.Connected());
    CPortSocket* pOut = rig.gateway.m_pOutSocket;
    QVERIFY(pOut);

    const QByteArray data = RandomBytes(3 * 512, 9);
    QByteArray expected;
    int nBursts = 0;
    for (; nBursts < 100000 && !pOut->HasPending(); ++nBursts) {
        pOut->BeginGathering();
        for (int i = 0; i < 3; ++i)
            QCOMPARE(pOut->SendBlock(data.constData() + i * 512, 512), 512);
        pOut->EndGathering();
        expected += data;
    }
    QVERIFY(pOut->HasPending());
    for (int i = 0; i < 2; ++i) {
        pOut->BeginGathering();
        QCOMPARE(pOut->SendBlock(data.constData(), 512), 512);
        pOut->EndGathering();
        expected += data.left(512);
    }
    QVERIFY(pOut->HasPending());
    outPeer.m_bRead = true;
    QTRY_VERIFY_WITH_TIMEOUT(outPeer.ReceivedSize() == expected.size(), 20000);
    QVERIFY(outPeer.Received() == expected);
    QTRY_VERIFY(!pOut->HasPending());
    QCOMPARE(SocketOption(pOut->m_hSocket, IPPROTO_TCP, TCP_CORK), 0);
}

QTEST_GUILESS_MAIN(TestGateway)
#include "tst_gateway.moc"
