// The gateway with serial ports: pseudo-terminals play the far end of each
// line, a scripted source plays the carrier.
#include "linescript.h"
#include "pty.h"
#include "resources.h"
#include "sockopt.h"
#include "testhost.h"
#include "threadpeer.h"

#include "serial/commport.h"
#include "socket/portsocket.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>

class TestSerialGateway : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();

    void relayPtyTcp_data();
    void relayPtyTcp();
    void relayPtyPty();
    void tcpBurstIntoSlowPtyReader();
    void startOutcomes_data();
    void startOutcomes();
    void carrierOnInput();
    void vanishedInput_data();
    void vanishedInput();
    void vanishedOutput();
    void outputVanishesWhileOpening();
    void lineErrorBoxWhileOutputVanishes();
    void closeWithNotificationQueued_data();
    void closeWithNotificationQueued();
    void noMsgLineForPortBeingOpened();

private:
    std::shared_ptr<SLineScript> m_pScript;
};

void TestSerialGateway::cleanup()
{
    SetLineStatusFactory({});
    m_pScript.reset();
}

void TestSerialGateway::relayPtyTcp_data()
{
    QTest::addColumn<bool>("serialInput");
    QTest::newRow("serial input, TCP output") << true;
    QTest::newRow("TCP input, serial output") << false;
}

void TestSerialGateway::relayPtyTcp()
{
    QFETCH(bool, serialInput);
    CPtyPeer line;
    QVERIFY(line.IsValid());
    CThreadPeer tcp;
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", line.Slave()}});
    const QByteArray strSerial = "COM7:115200,n,8,1";
    rig.Start(serialInput ? strSerial : tcp.Setup(), serialInput ? tcp.Setup() : strSerial);
    const QStringList serialStart {"Open Port...", "Done!"};
    const QStringList tcpStart {"Connect TCP...", "Done!"};
    QCOMPARE(rig.Texts(), serialInput ? serialStart + tcpStart : tcpStart + serialStart);
    QCOMPARE(rig.host.m_strInStatus, QStringLiteral("Input Startup!"));
    QCOMPARE(rig.host.m_strOutStatus, QStringLiteral("Output Startup!"));
    QTRY_VERIFY(tcp.Connected());

    const QByteArray toTcp = RandomBytes(1 << 20, 1);
    const QByteArray toLine = RandomBytes((1 << 20) + 3, 2);
    line.Send(toTcp);
    tcp.Send(toLine);
    QTRY_COMPARE_WITH_TIMEOUT(tcp.ReceivedSize(), toTcp.size(), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(line.ReceivedSize(), toLine.size(), 60000);
    QVERIFY(tcp.Received() == toTcp);
    QVERIFY(line.Received() == toLine);
    QVERIFY(rig.host.m_boxes.isEmpty());
    QCOMPARE(rig.Texts().size(), 4);
    // Bursts from the line left nothing gathered or corked behind them.
    CPortSocket* pSocket = serialInput ? rig.gateway.m_pOutSocket : rig.gateway.m_pInSocket;
    QVERIFY(pSocket);
    QVERIFY(!pSocket->HasPending());
    QCOMPARE(SocketOption(pSocket->m_hSocket, IPPROTO_TCP, TCP_CORK), 0);
}

void TestSerialGateway::relayPtyPty()
{
    CPtyPeer inLine, outLine;
    QVERIFY(inLine.IsValid() && outLine.IsValid());
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", inLine.Slave()}, {"COM8", outLine.Slave()}});
    rig.Start("COM7:115200,n,8,1", "COM8:38400,e,7,1");
    QCOMPARE(rig.Texts(), QStringList({"Open Port...", "Done!", "Open Port...", "Done!"}));
    QVERIFY(rig.gateway.m_pInSerial && rig.gateway.m_pOutSerial);

    const QByteArray forward = RandomBytes(1 << 20, 3);
    const QByteArray backward = RandomBytes((1 << 20) + 11, 4);
    inLine.Send(forward);
    outLine.Send(backward);
    QTRY_COMPARE_WITH_TIMEOUT(outLine.ReceivedSize(), forward.size(), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(inLine.ReceivedSize(), backward.size(), 60000);
    QVERIFY(outLine.Received() == forward);
    QVERIFY(inLine.Received() == backward);
    QVERIFY(rig.host.m_boxes.isEmpty());
}

void TestSerialGateway::tcpBurstIntoSlowPtyReader()
{
    CPtyPeer line;
    QVERIFY(line.IsValid());
    line.SetSlowReader(997, std::chrono::microseconds(300));
    CThreadPeer tcp;
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", line.Slave()}});
    rig.Start(tcp.Setup(), "COM7:9600");
    QVERIFY(rig.gateway.m_pOutSerial);
    QTRY_VERIFY(tcp.Connected());

    const QByteArray burst = RandomBytes(1 << 20, 6);
    tcp.Send(burst);
    QTRY_COMPARE_WITH_TIMEOUT(line.ReceivedSize(), burst.size(), 60000);
    QVERIFY(line.Received() == burst);
    QVERIFY(rig.host.m_boxes.isEmpty());
}

void TestSerialGateway::startOutcomes_data()
{
    QTest::addColumn<QByteArray>("inSetup");
    QTest::addColumn<QByteArray>("outSetup"); // empty: Output starts with the first block
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<bool>("inputStarted");

    // COM7 is a pseudo-terminal, COM9 maps to a device that does not exist.
    const QStringList opened {"Open Port...", "Done!"};
    const QStringList failed {"Open Port..."};
    QTest::newRow("serial input") << QByteArray("COM7:9600,n,8,1") << QByteArray() << opened << QStringList() << true;
    QTest::newRow("no colon, two digits") << QByteArray("COM12") << QByteArray() << failed
                                          << QStringList {"Invalid Setup String!"} << false;
    QTest::newRow("output without colon") << QByteArray("COM7:9600") << QByteArray("COM8") << opened + failed
                                          << QStringList {"Invalid Setup String!", "Output Port Connect Error!"}
                                          << true;
    QTest::newRow("output missing") << QByteArray("COM7:9600") << QByteArray("COM9:9600") << opened + failed
                                    << QStringList {"OpenComm Error!", "Output Port Connect Error!"} << true;
}

void TestSerialGateway::startOutcomes()
{
    QFETCH(QByteArray, inSetup);
    QFETCH(QByteArray, outSetup);
    QFETCH(QStringList, texts);
    QFETCH(QStringList, boxes);
    QFETCH(bool, inputStarted);
    CPtyPeer line;
    QVERIFY(line.IsValid());
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", line.Slave()}, {"COM9", kMissingDevice}});
    rig.doc.m_strInSetup = inSetup;
    rig.doc.m_strOutSetup = outSetup;
    rig.doc.m_nOutStartup = outSetup.isEmpty() ? 1008 : 1007;
    const int nFds = OpenFdCount();

    rig.Reset();
    QCOMPARE(rig.Texts(), texts);
    QCOMPARE(rig.host.m_boxes, boxes);
    QCOMPARE(rig.gateway.IsInputStarted(), inputStarted);
    QCOMPARE(rig.started.size(), 1);
    QCOMPARE(rig.started.at(0).at(0).toBool(), inputStarted);
    QCOMPARE(rig.host.m_strInStatus, inputStarted ? QStringLiteral("Input Startup!") : QString());
    QCOMPARE(rig.host.m_strOutStatus, QString());
    QVERIFY(!rig.gateway.m_bOutStarted);
    QVERIFY(!rig.gateway.m_pOutSerial);

    // A failed start leaves nothing open.
    rig.gateway.RequestStop(true);
    QCOMPARE(OpenFdCount(), nFds);
}

void TestSerialGateway::carrierOnInput()
{
    const auto pScript = m_pScript = ScriptLineStatus();
    pScript->bCarrier = false;
    CPtyPeer line;
    QVERIFY(line.IsValid());
    CThreadPeer tcp;
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", line.Slave()}});
    rig.doc.m_bDetectCarrier = 1;
    rig.Start("COM7:9600", tcp.Setup());
    QVERIFY(rig.gateway.m_pInSerial && rig.gateway.m_bOutStarted);
    QTRY_VERIFY(tcp.Connected());

    // Carrier absent: the line's bytes are held, blocks for it are dropped.
    line.Send("held");
    tcp.Send("dropped");
    QTRY_COMPARE(line.PendingSend(), 0);
    QTRY_COMPARE(tcp.PendingSend(), 0);
    QVERIFY(pScript->WaitForPolls(3));
    QTest::qWait(100);
    QCOMPARE(tcp.ReceivedSize(), 0);
    QCOMPARE(line.ReceivedSize(), 0);
    QCOMPARE(rig.host.m_nBeeps, 0);
    QVERIFY(rig.host.m_boxes.isEmpty());

    // Carrier rises: a beep, and what waited is delivered without a further byte.
    pScript->bCarrier = true;
    QTRY_COMPARE(tcp.Received(), QByteArray("held"));
    QCOMPARE(rig.host.m_nBeeps, 1);
    tcp.Send("now");
    QTRY_COMPARE(line.Received(), QByteArray("now"));
    QCOMPARE(line.ReceivedSize(), 3); // "dropped" never went out

    // Carrier drops: a beep, and the restart 300 ms later re-opens the line.
    pScript->bCarrier = false;
    QTRY_COMPARE(rig.host.m_nBeeps, 2);
    QElapsedTimer sinceBeep;
    sinceBeep.start();
    QCOMPARE(rig.started.size(), 1);
    QTRY_COMPARE(rig.started.size(), 2);
    QVERIFY2(sinceBeep.elapsed() >= 200, qPrintable(QString::number(sinceBeep.elapsed())));
    QCOMPARE(rig.started.at(1).at(0).toBool(), true);
    const QStringList oneStart {"Open Port...", "Done!", "Connect TCP...", "Done!"};
    QCOMPARE(rig.Texts(), oneStart + oneStart);
    QTRY_COMPARE(tcp.m_nAccepted.load(), 2);

    // The new port starts with the carrier absent (no beep for that) and
    // relays once it is back.
    QCOMPARE(rig.host.m_nBeeps, 2);
    pScript->bCarrier = true;
    QTRY_COMPARE(rig.host.m_nBeeps, 3);
    line.Send("again");
    QTRY_COMPARE(tcp.Received(), QByteArray("heldagain"));
    QCOMPARE(rig.started.size(), 2);
}

void TestSerialGateway::vanishedInput_data()
{
    QTest::addColumn<bool>("detect");
    QTest::newRow("carrier not watched") << false;
    QTest::newRow("carrier watched") << true;
}

void TestSerialGateway::vanishedInput()
{
    QFETCH(bool, detect);
    auto pLine = std::make_unique<CPtyPeer>();
    QVERIFY(pLine->IsValid());
    const QString strSlave = pLine->Slave();
    CThreadPeer tcp;
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", strSlave}});
    rig.doc.m_bDetectCarrier = detect;
    rig.Start("COM7:9600", tcp.Setup());
    QVERIFY(rig.gateway.m_pInSerial);
    pLine->Send("last");
    QTRY_COMPARE(tcp.Received(), QByteArray("last"));

    // The adapter is unplugged: the slave's path goes with the master.
    const qint64 nCpu = CpuMicroseconds();
    pLine->CloseMaster();
    QTRY_COMPARE(rig.started.size(), 2);
    QTest::qWait(1000);
    const qint64 nUsed = CpuMicroseconds() - nCpu;
    QVERIFY2(nUsed < 400000, qPrintable(QStringLiteral("%1 us of CPU").arg(nUsed)));

    // The restart tried the line again. Its path normally vanished with the
    // master; the system may have handed the number to a new terminal since.
    QCOMPARE(rig.started.size(), 2);
    const bool bStarted = rig.started.at(1).at(0).toBool();
    QCOMPARE(rig.gateway.IsInputStarted(), bStarted);
    if (bStarted) {
        QVERIFY(rig.host.m_boxes.isEmpty());
    } else {
        QCOMPARE(rig.host.m_boxes, QStringList {"OpenComm Error!"});
        QCOMPARE(rig.Texts().last(), QStringLiteral("Open Port..."));
        QCOMPARE(rig.host.m_strInStatus, QString());
        QCOMPARE(rig.host.m_strOutStatus, QString());
    }
    QCOMPARE(rig.host.m_nBeeps, 0);
    QVERIFY(!rig.LoggedMsgLine());
}

void TestSerialGateway::vanishedOutput()
{
    CPtyPeer inLine;
    auto pOutLine = std::make_unique<CPtyPeer>();
    QVERIFY(inLine.IsValid() && pOutLine->IsValid());
    SGatewayRig rig;
    rig.gateway.SetTimerPeriods(12000, 50);
    rig.gateway.SetSerialPortMap({{"COM7", inLine.Slave()}, {"COM8", pOutLine->Slave()}});
    rig.doc.m_strOutInitial = "hi\\r";
    rig.Start("COM7:9600", "COM8:9600");
    QVERIFY(rig.gateway.m_bOutStarted);
    inLine.Send("one");
    QTRY_COMPARE(pOutLine->Received(), QByteArray("hi\rone"));

    // The system may hand a freed pty number to another terminal at once,
    // so the map points at a path that stays gone.
    rig.gateway.SetSerialPortMap({{"COM7", inLine.Slave()}, {"COM8", kMissingDevice}});
    const qint64 nCpu = CpuMicroseconds();
    pOutLine->CloseMaster();
    QTRY_VERIFY(!rig.gateway.m_pOutSerial);
    QCOMPARE(rig.host.m_strOutStatus, QStringLiteral("Remote closed,close myself too!"));
    QVERIFY(!rig.gateway.m_bOutStarted);
    QVERIFY(rig.gateway.m_pInSerial);
    QCOMPARE(rig.host.m_strInStatus, QStringLiteral("Input Startup!"));
    // Torn down, not restarted, and nothing keeps the loop busy.
    QTest::qWait(300);
    QVERIFY2(CpuMicroseconds() - nCpu < 150000, "event loop busy after the Output vanished");
    QCOMPARE(rig.started.size(), 1);
    QVERIFY(rig.host.m_boxes.isEmpty());

    // The next block from the Input opens the Output again: first where the
    // device is gone (the block is dropped), then on a new line.
    inLine.Send("two");
    QTRY_VERIFY(rig.Texts().contains(QStringLiteral("Output DoConnect Failure!")));
    QCOMPARE(rig.host.m_boxes, QStringList {"OpenComm Error!"});
    QVERIFY(!rig.gateway.m_bOutStarted);

    CPtyPeer newLine;
    QVERIFY(newLine.IsValid());
    rig.gateway.SetSerialPortMap({{"COM7", inLine.Slave()}, {"COM8", newLine.Slave()}});
    inLine.Send("three");
    QTRY_COMPARE(newLine.Received(), QByteArray("hi\rthree"));
    QVERIFY(rig.gateway.m_bOutStarted);
    QCOMPARE(rig.host.m_strOutStatus, QStringLiteral("Output Startup!"));
    newLine.Send("back");
    QTRY_COMPARE(inLine.Received(), QByteArray("back"));
    QCOMPARE(rig.started.size(), 1);
    QVERIFY(!rig.LoggedMsgLine());
}

// The Output's line goes away while its initial string is still being
// written, and the news is handled before the port is recorded. The start
// must fail, not leave a dead port that takes blocks and sends nothing.
void TestSerialGateway::outputVanishesWhileOpening()
{
    CPtyPeer inLine;
    auto pOutLine = std::make_unique<CPtyPeer>();
    QVERIFY(inLine.IsValid() && pOutLine->IsValid());
    pOutLine->SetSlowReader(1, std::chrono::milliseconds(100));
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", inLine.Slave()}, {"COM8", pOutLine->Slave()}});
    rig.doc.m_strInSetup = "COM7:9600";
    rig.doc.m_strOutSetup = "COM8:9600";
    rig.doc.m_strOutInitial = QByteArray(256 * 1024, 'I');
    rig.doc.m_nOutStartup = 1007;

    bool bDuringOpen = false;
    QTimer::singleShot(0, [&] {
        bDuringOpen = rig.gateway.IsStarting() && !rig.gateway.m_pOutSerial;
        // A freed pty number may be reused at once; keep the retry failing.
        rig.gateway.SetSerialPortMap({{"COM7", inLine.Slave()}, {"COM8", kMissingDevice}});
        pOutLine->CloseMaster();
        // Events run on, as under a message box, until the hang-up is seen.
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    });
    rig.Reset();
    QVERIFY(bDuringOpen);
    QTRY_VERIFY(!rig.gateway.m_pOutSerial);
    QVERIFY(!rig.gateway.m_bOutStarted);
    QVERIFY(rig.gateway.m_pInSerial);
    QCOMPARE(rig.host.m_strOutStatus == QStringLiteral("Output Startup!"), false);
    QCOMPARE(rig.host.m_boxes, QStringList {"Output Port Connect Error!"});
    QCOMPARE(rig.Texts(), QStringList({"Open Port...", "Done!", "Open Port..."}));

    // The next block from the Input tries the Output again.
    inLine.Send("x");
    QTRY_VERIFY(rig.Texts().contains(QStringLiteral("Output DoConnect Failure!")));
    QVERIFY(rig.host.m_boxes.contains(QStringLiteral("OpenComm Error!")));
    QCOMPARE(rig.started.size(), 1);
}

// A line-error box in the middle of the Output's read returns at once; the
// Output's line vanishes while the box is up, and the gateway tears that
// side down from the event loop without waiting for the box.
void TestSerialGateway::lineErrorBoxWhileOutputVanishes()
{
    const auto pScript = m_pScript = ScriptLineStatus();
    auto pLine = std::make_unique<CPtyPeer>();
    QVERIFY(pLine->IsValid());
    CThreadPeer tcp;
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", pLine->Slave()}});
    rig.Start(tcp.Setup(), "COM7:9600");
    QVERIFY(rig.gateway.m_pOutSerial);
    QTRY_VERIFY(tcp.Connected());

    QPointer<CCommPort> pPort(rig.gateway.m_pOutSerial);
    rig.host.m_fnOnBox = [&](const QString& strText) {
        if (strText == QLatin1String("<CE-8>"))
            pLine->CloseMaster();
    };
    pScript->nErrors = CE_FRAME;
    pLine->Send("data");
    QTRY_VERIFY(rig.host.m_boxes.contains(QStringLiteral("<CE-8>")));
    QTRY_COMPARE(rig.host.m_strOutStatus, QStringLiteral("Remote closed,close myself too!"));
    QTRY_VERIFY(pPort.isNull());
    QVERIFY(!rig.gateway.m_bOutStarted);
    QVERIFY(rig.gateway.IsInputStarted());
    // The hung-up line gives nothing more, and nothing of the torn-down
    // port fires afterwards.
    QTest::qWait(100);
    QCOMPARE(tcp.ReceivedSize(), 0);
    QCOMPARE(rig.started.size(), 1);
    QVERIFY(!rig.LoggedMsgLine());
}

void TestSerialGateway::closeWithNotificationQueued_data()
{
    QTest::addColumn<bool>("reset");
    QTest::addColumn<bool>("insideBox"); // requested as a read shows a line-error box
    QTest::newRow("stop") << false << false;
    QTest::newRow("reset") << true << false;
    QTest::newRow("stop inside box") << false << true;
    QTest::newRow("reset inside box") << true << true;
}

void TestSerialGateway::closeWithNotificationQueued()
{
    QFETCH(bool, reset);
    QFETCH(bool, insideBox);
    const auto pScript = m_pScript = ScriptLineStatus();
    CPtyPeer line;
    QVERIFY(line.IsValid());
    CThreadPeer tcp;
    SGatewayRig rig;
    rig.gateway.SetTimerPeriods(12000, 50);
    rig.gateway.SetSerialPortMap({{"COM7", line.Slave()}});
    rig.doc.m_bDetectCarrier = 1;
    rig.Start("COM7:9600", tcp.Setup());
    QVERIFY(rig.gateway.m_pInSerial);
    QTRY_VERIFY(tcp.Connected());

    bool bStopDone = false;
    auto request = [&] {
        if (reset)
            rig.gateway.RequestStartupReset();
        else
            rig.gateway.RequestStop(true, [&] { bStopDone = true; });
    };
    if (insideBox) {
        bool bBusyInBox = false;
        rig.host.m_fnOnBox = [&](const QString&) {
            bBusyInBox = rig.gateway.IsBusy();
            request();
        };
        pScript->nErrors = CE_FRAME;
        line.Send("data");
        QTRY_COMPARE(rig.host.m_boxes, QStringList {"<CE-8>"});
        QVERIFY(bBusyInBox);
    } else {
        // Data waits to be noticed and a carrier drop is posted, neither
        // handled yet, when the gateway closes.
        QVERIFY(line.SendNow("pending"));
        pScript->bCarrier = false;
        QVERIFY(pScript->WaitForPolls(2));
        request();
    }
    if (reset) {
        QTRY_COMPARE(rig.started.size(), 2);
        QVERIFY(rig.gateway.IsInputStarted());
    } else {
        QTRY_VERIFY(bStopDone);
        QVERIFY(!rig.gateway.IsInputStarted());
        QCOMPARE(rig.host.m_strInStatus, QString());
    }
    // Nothing of the closed port fires later: no beep, no restart.
    QTest::qWait(200);
    QCOMPARE(rig.host.m_nBeeps, 0);
    QCOMPARE(rig.started.size(), reset ? 2 : 1);
    QVERIFY(!rig.LoggedMsgLine());
    if (!insideBox)
        QCOMPARE(tcp.ReceivedSize(), 0);
    QVERIFY(!rig.gateway.IsBusy());
}

// The Output's initial string fills the line and its write waits; data from
// the line arrives meanwhile, before the port is recorded. That is no
// stranger's notification: nothing is logged, and the data is delivered
// once the Output has started.
void TestSerialGateway::noMsgLineForPortBeingOpened()
{
    CPtyPeer inLine, outLine;
    QVERIFY(inLine.IsValid() && outLine.IsValid());
    outLine.SetSlowReader(4096, std::chrono::microseconds(1000));
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", inLine.Slave()}, {"COM8", outLine.Slave()}});
    rig.doc.m_strInSetup = "COM7:9600";
    rig.doc.m_strOutSetup = "COM8:9600";
    rig.doc.m_strOutInitial = QByteArray(256 * 1024, 'I');
    rig.doc.m_nOutStartup = 1007;

    bool bDuringOpen = false;
    QTimer::singleShot(0, [&] {
        bDuringOpen = rig.gateway.IsStarting() && !rig.gateway.m_pOutSerial;
        QVERIFY(outLine.SendNow("early"));
        // Give the port's notifier its turn while the open still waits.
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 30)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    });
    rig.Reset();
    QVERIFY(bDuringOpen);
    QVERIFY(rig.gateway.m_bOutStarted);
    QCOMPARE(rig.Texts(), QStringList({"Open Port...", "Done!", "Open Port...", "Done!"}));
    QTRY_COMPARE(inLine.Received(), QByteArray("early"));
    QTRY_COMPARE_WITH_TIMEOUT(outLine.ReceivedSize(), rig.doc.m_strOutInitial.size(), 30000);
    QVERIFY(!rig.LoggedMsgLine());
}

QTEST_GUILESS_MAIN(TestSerialGateway)
#include "tst_serialgw.moc"
