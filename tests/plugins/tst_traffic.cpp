// The gateway's counters and data trace, driven over loopback peers with the
// scripted test plug-in.
#include "pluginlog.h"
#include "testhost.h"

#include "datatrace.h"
#include "pluginpath.h"
#include "trafficcounters.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <ctime>
#include <memory>

namespace {

constexpr int kWaitMs = 10000;

QByteArray TcpSetup(const QTcpServer& server)
{
    return "TCP:" + QByteArray::number(server.serverPort()) + ",127.0.0.1";
}

// One accepted connection and what arrived on it.
struct SPeer
{
    std::unique_ptr<QTcpSocket> pSocket;
    QByteArray data;
    bool bClosed = false;

    bool Accept(QTcpServer& server)
    {
        if (!QTest::qWaitFor([&] { return server.hasPendingConnections(); }, kWaitMs))
            return false;
        pSocket.reset(server.nextPendingConnection());
        pSocket->setParent(nullptr);
        data.clear();
        bClosed = false;
        QObject::connect(pSocket.get(), &QTcpSocket::readyRead, pSocket.get(), [this] { data += pSocket->readAll(); });
        QObject::connect(pSocket.get(), &QTcpSocket::disconnected, pSocket.get(), [this] { bClosed = true; });
        return true;
    }
};

} // namespace

class TestTraffic : public QObject
{
    Q_OBJECT

    QTcpServer m_inServer;
    QTcpServer m_outServer;
    SPeer m_in;
    SPeer m_out;

    bool StartBoth(SGatewayRig& rig)
    {
        rig.Start(TcpSetup(m_inServer), TcpSetup(m_outServer), 1007);
        return m_in.Accept(m_inServer) && m_out.Accept(m_outServer)
            && QTest::qWaitFor([&] { return rig.Texts().count(QStringLiteral("Done!")) >= 2; }, kWaitMs);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_inServer.listen(QHostAddress::LocalHost));
        QVERIFY(m_outServer.listen(QHostAddress::LocalHost));
        CPluginPath::SetPluginDirs({QStringLiteral(TP_DIR)});
        qputenv("TZ", "UTC");
        tzset();
    }
    void cleanup() { ClearPluginScript(); }

    void traceOfKnownExchange();
    void countersAfterDropsAndRestart();
    void noClientDrops_data();
    void noClientDrops();
    void dumpLayout();
    void traceFormattingSpeed();
};

// A held-back block, a rewriting plug-in with a -1 pass, a swallowed block,
// a plug-in error and the way back without a plug-in: the whole trace,
// byte for byte.
void TestTraffic::traceOfKnownExchange()
{
    QByteArray trace;
    CDataTrace dataTrace([&](const QByteArray& record) { trace += record; });
    qint64 nNow = 1765234800123456; // 2025-12-08 23:00:00.123456 UTC
    dataTrace.SetClock([&] { return nNow++; });

    SGatewayRig rig;
    rig.doc.m_strInDll = "tp_four.dll";
    rig.doc.m_bNoInInitResponse = 1;
    rig.gateway.Observer().SetTrace(&dataTrace);
    QVERIFY(StartBoth(rig));
    const STrafficCounters& counters = rig.gateway.Observer().Counters();

    m_in.pSocket->write("first");
    QTRY_COMPARE_WITH_TIMEOUT(counters.m_nHeldBack[0], 1u, kWaitMs);

    qputenv("TP_TRANSFER", "upper");
    qputenv("TP_AFTER", "-1,0");
    m_in.pSocket->write("hello\n");
    QTRY_COMPARE_WITH_TIMEOUT(m_out.data, QByteArray("HELLO\nHELLO\n"), kWaitMs);

    qputenv("TP_TRANSFER", "swallow");
    m_in.pSocket->write("drop me");
    QTRY_COMPARE_WITH_TIMEOUT(counters.m_nBlocksReceived[0], 3u, kWaitMs);

    qputenv("TP_TRANSFER", "text");
    qputenv("TP_TEXT", "bad");
    m_in.pSocket->write("0123456789abcdefXY");
    QTRY_COMPARE_WITH_TIMEOUT(m_out.data, QByteArray("HELLO\nHELLO\n0123456789abcdefXY"), kWaitMs);

    m_out.pSocket->write(QByteArray("ok\r\n\0\xff", 6));
    QTRY_COMPARE_WITH_TIMEOUT(m_in.data, QByteArray("ok\r\n\0\xff", 6), kWaitMs);
    rig.gateway.Observer().SetTrace(nullptr);

    const QByteArray expected =
        "2025-12-08 23:00:00.123456 IN-->OUT received 5 bytes\n"
        "  0000  66 69 72 73 74                                    |first|\n"
        "2025-12-08 23:00:00.123457 IN-->OUT held back 5 bytes (response to the initial string)\n"
        "2025-12-08 23:00:00.123458 IN-->OUT received 6 bytes\n"
        "  0000  68 65 6c 6c 6f 0a                                 |hello.|\n"
        "2025-12-08 23:00:00.123459 IN-->OUT sent 6 bytes\n"
        "  0000  48 45 4c 4c 4f 0a                                 |HELLO.|\n"
        "2025-12-08 23:00:00.123460 IN-->OUT sent 6 bytes, pass 2\n"
        "  0000  48 45 4c 4c 4f 0a                                 |HELLO.|\n"
        "2025-12-08 23:00:00.123461 IN-->OUT received 7 bytes\n"
        "  0000  64 72 6f 70 20 6d 65                              |drop me|\n"
        "2025-12-08 23:00:00.123462 IN-->OUT swallowed by the plug-in\n"
        "2025-12-08 23:00:00.123463 IN-->OUT received 18 bytes\n"
        "  0000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
        "  0010  58 59                                             |XY|\n"
        "2025-12-08 23:00:00.123464 OUT-->IN received 6 bytes\n"
        "  0000  6f 6b 0d 0a 00 ff                                 |ok....|\n";
    QCOMPARE(trace, expected);

    QCOMPARE(counters.m_nBlocksReceived[0], 4u);
    QCOMPARE(counters.m_nBytesReceived[0], 5u + 6 + 7 + 18);
    QCOMPARE(counters.m_nBlocksSent[0], 3u);
    QCOMPARE(counters.m_nBytesSent[0], quint64(m_out.data.size()));
    QCOMPARE(counters.m_nBlocksReceived[1], 1u);
    QCOMPARE(counters.m_nBytesSent[1], quint64(m_in.data.size()));
    QCOMPARE(counters.m_nPluginErrors, 1u);
    QCOMPARE(FormatCounters(counters),
             QStringLiteral("in-->out received=4/36 sent=3/30 held-back=1 no-client=0; "
                            "out-->in received=1/6 sent=1/6 held-back=0 no-client=0; "
                            "plugin-errors=1 restarts=0 reconnects=0"));
}

// What the peers sent and received, against the counters, across a held-back
// response, an Output whose far end closed and a restart after the Input's
// far end closed.
void TestTraffic::countersAfterDropsAndRestart()
{
    SGatewayRig rig;
    rig.doc.m_bNoOutInitResponse = 1;
    rig.gateway.SetTimerPeriods(12000, 10);
    QVERIFY(StartBoth(rig));
    const STrafficCounters& counters = rig.gateway.Observer().Counters();
    quint64 nInSent = 0, nOutGot = 0, nOutSent = 0, nInGot = 0;

    // The Output's first answer is held back.
    m_out.pSocket->write("held");
    nOutSent += 4;
    QTRY_COMPARE_WITH_TIMEOUT(counters.m_nHeldBack[1], 1u, kWaitMs);
    m_out.pSocket->write("answer");
    nOutSent += 6;
    QTRY_COMPARE_WITH_TIMEOUT(m_in.data, QByteArray("answer"), kWaitMs);
    nInGot += quint64(m_in.data.size());
    const QByteArray block(3000, 'a');
    m_in.pSocket->write(block);
    nInSent += quint64(block.size());
    QTRY_COMPARE_WITH_TIMEOUT(m_out.data, block, kWaitMs);
    nOutGot += quint64(m_out.data.size());

    // The Output's far end closes; the next block reconnects it.
    m_out.pSocket->disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(rig.Texts().contains(QStringLiteral("Remote Output closed,close myself too!")), kWaitMs);
    m_in.pSocket->write("again");
    nInSent += 5;
    QVERIFY(m_out.Accept(m_outServer));
    QTRY_COMPARE_WITH_TIMEOUT(m_out.data, QByteArray("again"), kWaitMs);
    nOutGot += 5;
    QCOMPARE(counters.m_nReconnects, 1u);

    // The Input's far end closes: a restart, and both ports come back.
    m_in.pSocket->disconnectFromHost();
    QVERIFY(m_in.Accept(m_inServer));
    QVERIFY(m_out.Accept(m_outServer));
    QTRY_COMPARE_WITH_TIMEOUT(counters.m_nRestarts, 1u, kWaitMs);
    m_out.pSocket->write("held again");
    nOutSent += 10;
    QTRY_COMPARE_WITH_TIMEOUT(counters.m_nHeldBack[1], 2u, kWaitMs);
    m_in.pSocket->write("after");
    nInSent += 5;
    QTRY_COMPARE_WITH_TIMEOUT(m_out.data, QByteArray("after"), kWaitMs);
    nOutGot += 5;
    m_out.pSocket->write("back");
    nOutSent += 4;
    QTRY_COMPARE_WITH_TIMEOUT(m_in.data, QByteArray("back"), kWaitMs);
    nInGot += 4;

    QCOMPARE(counters.m_nBytesReceived[0], nInSent);
    QCOMPARE(counters.m_nBytesSent[0], nOutGot);
    QCOMPARE(counters.m_nBytesReceived[1], nOutSent);
    QCOMPARE(counters.m_nBytesSent[1], nInGot);
    QCOMPARE(counters.m_nHeldBack[0], 0u);
    QCOMPARE(counters.m_nRestarts, 1u);
    QCOMPARE(counters.m_nReconnects, 1u);
    QCOMPARE(counters.m_nPluginErrors, 0u);
    // Without a plug-in every received block is sent once, except the
    // held-back ones.
    QCOMPARE(counters.m_nBlocksSent[0], counters.m_nBlocksReceived[0]);
    QCOMPARE(counters.m_nBlocksSent[1], counters.m_nBlocksReceived[1] - 2);
}

// A block dropped because the Output has no client (listening TCP) or no
// peer yet (UDP on a fixed port) counts as dropped, not also as sent: a lone
// block and the blocks of one longer read.
void TestTraffic::noClientDrops_data()
{
    QTest::addColumn<QByteArray>("outSetup");
    QTest::newRow("listening TCP") << QByteArray("TCP:0@127.0.0.1");
    QTest::newRow("UDP on a fixed port") << QByteArray("UDP:0@127.0.0.1");
}

void TestTraffic::noClientDrops()
{
    QFETCH(QByteArray, outSetup);
    QByteArray trace;
    CDataTrace dataTrace([&](const QByteArray& record) { trace += record; });
    dataTrace.SetClock([] { return qint64(0); });
    SGatewayRig rig;
    rig.gateway.Observer().SetTrace(&dataTrace);
    rig.Start(TcpSetup(m_inServer), outSetup);
    QVERIFY(m_in.Accept(m_inServer));
    const STrafficCounters& counters = rig.gateway.Observer().Counters();
    m_in.pSocket->write("lone");
    QTRY_COMPARE_WITH_TIMEOUT(counters.m_nBlocksReceived[0], 1u, kWaitMs);
    m_in.pSocket->write(QByteArray(1100, 'm'));
    QTRY_COMPARE_WITH_TIMEOUT(counters.m_nBytesReceived[0], 1104u, kWaitMs);
    QCOMPARE(counters.m_nNoClient[0], counters.m_nBlocksReceived[0]);
    QCOMPARE(counters.m_nBlocksSent[0], 0u);
    QCOMPARE(counters.m_nBytesSent[0], 0u);
    QVERIFY(FormatCounters(counters).startsWith(QStringLiteral("in-->out received=%1/1104 sent=0/0 held-back=0 no-client=%1;")
                                                    .arg(counters.m_nBlocksReceived[0])));
    QCOMPARE(trace.count(" IN-->OUT dropped "), qsizetype(counters.m_nBlocksReceived[0]));
    QVERIFY2(!trace.contains(" sent "), trace.constData());
    QVERIFY(trace.startsWith("1970-01-01 00:00:00.000000 IN-->OUT received 4 bytes\n"
                             "  0000  6c 6f 6e 65                                       |lone|\n"
                             "1970-01-01 00:00:00.000000 IN-->OUT dropped 4 bytes (no client connected)\n"));
    rig.gateway.Observer().SetTrace(nullptr);
}

// Offsets past 0xffff widen; an empty block has no dump line.
void TestTraffic::dumpLayout()
{
    QByteArray out;
    CDataTrace::AppendDump(out, "", 0);
    QCOMPARE(out, QByteArray());
    CDataTrace::AppendDump(out, "0123456789", 10);
    QCOMPARE(out, QByteArray("  0000  30 31 32 33 34 35 36 37  38 39                    |0123456789|\n"));
    out.clear();
    const QByteArray big(0x10001, '\x7f');
    CDataTrace::AppendDump(out, big.constData(), int(big.size()));
    QVERIFY(out.endsWith("\n  10000  7f                                                |.|\n"));
    QCOMPARE(out.count('\n'), 0x1001);
}

// How fast records are made: 1 MiB in 4 KiB blocks, as a relay at full
// speed hands them to a trace file (a benchmark, not a check of time).
void TestTraffic::traceFormattingSpeed()
{
    QByteArray block(4096, Qt::Uninitialized);
    for (int i = 0; i < block.size(); ++i)
        block[i] = char(i * 7);
    qint64 nBytes = 0;
    CDataTrace dataTrace([&](const QByteArray& record) { nBytes += record.size(); });
    QBENCHMARK {
        for (int i = 0; i < 256; ++i)
            dataTrace.Record(true, CDataTrace::Received, block.constData(), int(block.size()));
    }
    QVERIFY(nBytes > 0);
}

QTEST_GUILESS_MAIN(TestTraffic)
#include "tst_traffic.moc"
