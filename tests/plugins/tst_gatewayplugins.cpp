// The plug-in lines and lifetimes as the gateway drives them, with the real
// test plug-ins and loopback TCP/UDP peers.
#include "linescript.h"
#include "pluginlog.h"
#include "pty.h"
#include "resources.h"
#include "testhost.h"
#include "threadpeer.h"

#include "pluginpath.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

QByteArray TcpSetup(const QTcpServer& server)
{
    return "TCP:" + QByteArray::number(server.serverPort()) + ",127.0.0.1";
}

QTcpSocket* Accept(QTcpServer& server)
{
    for (int i = 0; i < 500 && !server.hasPendingConnections(); ++i)
        server.waitForNewConnection(10);
    return server.nextPendingConnection();
}

// Collects what a peer socket receives.
struct SSink
{
    QByteArray data;
    void Attach(QIODevice* pDevice)
    {
        QObject::connect(pDevice, &QIODevice::readyRead, pDevice, [this, pDevice] { data += pDevice->readAll(); });
        data += pDevice->readAll();
    }
};

// A gateway with its peers connected and what each peer received.
struct SRun
{
    SGatewayRig rig;
    QTcpSocket* pIn = nullptr;
    QTcpSocket* pOut = nullptr;
    SSink inSink, outSink;
};

} // namespace

class CTestGatewayPlugins : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QString m_strLog;
    QTcpServer m_inServer;
    QTcpServer m_outServer;

    QByteArrayList LogLines() const { return ::LogLines(m_strLog); }

    // Both directions with a plug-in (tag "a" IN-->OUT, "b" OUT-->IN), the
    // Output started with the Input; Startup / Reset, and both connections
    // accepted.
    bool Start(SRun& run, const QByteArray& strInDll = "tp_four.dll",
               const QByteArray& strOutDll = "C:\\gw\\tp_four_b.DLL")
    {
        CTrelvaneDoc& doc = run.rig.doc;
        doc.m_strInSetup = TcpSetup(m_inServer);
        doc.m_strOutSetup = TcpSetup(m_outServer);
        doc.m_strInDll = strInDll;
        doc.m_strOutDll = strOutDll;
        doc.m_nOutStartup = 1007;
        run.rig.Reset();
        run.pIn = Accept(m_inServer);
        run.pOut = Accept(m_outServer);
        if (!run.pIn || !run.pOut)
            return false;
        run.inSink.Attach(run.pIn);
        run.outSink.Attach(run.pOut);
        return true;
    }

    // The IN-->OUT plug-in (tag "a") between two peers on their own
    // threads, the Output started with the Input.
    static void StartWithPeers(SGatewayRig& rig, const CThreadPeer& inPeer, const CThreadPeer& outPeer)
    {
        rig.doc.m_strInSetup = inPeer.Setup();
        rig.doc.m_strOutSetup = outPeer.Setup();
        rig.doc.m_strInDll = "tp_four.dll";
        rig.doc.m_nOutStartup = 1007;
        rig.Reset();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        QVERIFY(m_inServer.listen(QHostAddress::LocalHost));
        QVERIFY(m_outServer.listen(QHostAddress::LocalHost));
        CPluginPath::SetPluginDirs({QStringLiteral(TP_DIR)});
    }

    void init()
    {
        m_strLog = m_tmp.filePath(QStringLiteral("calls.log"));
        QFile::remove(m_strLog);
        qputenv("TP_LOG", QFile::encodeName(m_strLog));
    }

    void cleanup()
    {
        ClearPluginScript();
        while (QTcpSocket* p = m_inServer.nextPendingConnection())
            delete p;
        while (QTcpSocket* p = m_outServer.nextPendingConnection())
            delete p;
    }

    void quitOrderAndFreshInitAtEveryStartupReset()
    {
        qputenv("TP_QUIT", "3");
        SRun run;
        QVERIFY(Start(run));
        SGatewayRig& rig = run.rig;
        QVERIFY(rig.gateway.InToOut().Plugin() && rig.gateway.OutToIn().Plugin());
        rig.Reset();
        const QByteArray strIn = rig.doc.m_strInSetup;
        const QByteArray strOut = rig.doc.m_strOutSetup;
        const QByteArray strInit = "init " + QByteArray::number(strIn.size()) + ' ';
        QCOMPARE(LogLines(), QByteArrayList({"a " + strInit + strIn, "b " + strInit + strOut, "a quit", "b quit",
                                             "a " + strInit + strIn, "b " + strInit + strOut}));
        QCOMPARE(rig.Texts(), QStringList({"Connect TCP...", "Done!", "Connect TCP...", "Done!",
                                           "In DLL Quit Errer Code:3", "Out DLL Quit Errer Code:3",
                                           "Connect TCP...", "Done!", "Connect TCP...", "Done!"}));
    }

    void blocksPassBothPlugins()
    {
        qputenv("TP_AFTER", "-1,0");
        SRun run;
        QVERIFY(Start(run));
        run.pIn->write("abc");
        // -1 once: the same block passes twice, two sends.
        QTRY_COMPARE(run.outSink.data, QByteArray("ABCABC"));
        run.pOut->write("xy");
        QTRY_COMPARE(run.inSink.data, QByteArray("XYXY"));
        const QByteArrayList lines = LogLines();
        QCOMPARE(lines.count("a transfer out=3 3 abc"), 2);
        QCOMPARE(lines.count("a aftersend 3 ABC"), 2);
        QCOMPARE(lines.count("b transfer out=2 2 xy"), 2);
    }

    void heldSendStopsThePasses()
    {
        // The Output's peer reads nothing for a while, so the system stops
        // taking bytes. Passes stop with it (the Input is not read further),
        // the calls keep their order (transfer, aftersend, transfer...), and
        // once the peer reads again every byte arrives in order.
        qputenv("TP_AFTER", "-1,0");
        CThreadPeer inPeer;
        CThreadPeer outPeer(4096);
        outPeer.m_bRead = false;
        SGatewayRig rig;
        StartWithPeers(rig, inPeer, outPeer);
        QTRY_VERIFY(inPeer.Connected() && outPeer.Connected());
        QByteArray data;
        for (int i = 0; i < (4 << 20); ++i)
            data.append(char('a' + i % 26));
        inPeer.Send(data);
        // Seen from the event loop, a busy gateway is one whose send is held.
        QTRY_VERIFY_WITH_TIMEOUT(rig.gateway.IsBusy(), 10000);
        // The passes' calls, without DllInit's line.
        const auto passLines = [this] {
            QByteArrayList lines = LogLines();
            lines.removeIf([](const QByteArray& line) { return line.startsWith("a init "); });
            return lines;
        };
        const auto checkAlternating = [](const QByteArrayList& lines) {
            for (qsizetype i = 0; i < lines.size(); ++i) {
                if (!lines[i].startsWith(i % 2 ? "a aftersend " : "a transfer "))
                    return false;
            }
            return true;
        };
        const QByteArrayList held = passLines();
        QVERIFY(checkAlternating(held));
        // Nothing more goes through the plug-in while the peer does not read.
        QTest::qWait(300);
        QVERIFY(rig.gateway.IsBusy());
        QCOMPARE(passLines().size(), held.size());

        outPeer.m_bRead = true;
        const QByteArray expected = data.left(512).toUpper() + data.toUpper();
        QTRY_COMPARE_WITH_TIMEOUT(outPeer.ReceivedSize(), expected.size(), 30000);
        QVERIFY(outPeer.Received() == expected);
        QVERIFY(checkAlternating(passLines()));
    }

    void heldPassGetsAfterSendWhenOutputPluginGoes()
    {
        // An IN-->OUT pass held by an Output peer that reads nothing; then
        // that peer goes away, which unloads the OUT-->IN plug-in, and the
        // next block starts the Output and loads it again. The IN-->OUT
        // plug-in's passes are its own: each of them gets its DllAfterSend.
        CThreadPeer inPeer;
        CThreadPeer outPeer(4096);
        outPeer.m_bRead = false;
        SGatewayRig rig;
        rig.doc.m_strOutDll = "tp_four_b";
        StartWithPeers(rig, inPeer, outPeer);
        QTRY_VERIFY(inPeer.Connected() && outPeer.Connected());
        inPeer.Send(QByteArray(4 << 20, 'q'));
        QTRY_VERIFY_WITH_TIMEOUT(rig.gateway.IsBusy(), 10000);
        // Closed with unread bytes: the gateway's connection is reset.
        outPeer.CloseConnection();
        QTRY_VERIFY_WITH_TIMEOUT(LogLines().contains("b quit"), 10000);
        outPeer.m_bRead = true;
        QTRY_COMPARE_WITH_TIMEOUT(outPeer.m_nAccepted.load(), 2, 10000);
        const auto count = [this](const QByteArray& strPrefix) {
            const QByteArrayList lines = LogLines();
            return std::count_if(lines.begin(), lines.end(),
                                 [&](const QByteArray& line) { return line.startsWith(strPrefix); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(inPeer.PendingSend() == 0 && !rig.gateway.IsBusy(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(count("a aftersend "), count("a transfer "), 5000);
        QCOMPARE(count("b init "), 2);
    }

    void heldOutToInPassForgetsItsPluginWhenOutputGoes()
    {
        // An OUT-->IN pass held by an Input peer that reads nothing; then the
        // Output line vanishes, which unloads the OUT-->IN plug-in. Once the
        // Input takes the held bytes the direction goes on without calling
        // into the plug-in that is gone.
        CPtyPeer outLine;
        QVERIFY(outLine.IsValid());
        CThreadPeer inPeer(4096);
        inPeer.m_bRead = false;
        SGatewayRig rig;
        rig.gateway.SetSerialPortMap({{"COM8", outLine.Slave()}});
        rig.doc.m_strOutDll = "tp_four_b";
        rig.Start(inPeer.Setup(), "COM8:115200");
        QTRY_VERIFY(inPeer.Connected());
        outLine.Send(QByteArray(4 << 20, 'r'));
        QTRY_VERIFY_WITH_TIMEOUT(rig.gateway.OutToIn().IsParked(), 10000);
        outLine.CloseMaster();
        QTRY_VERIFY_WITH_TIMEOUT(LogLines().contains("b quit"), 10000);
        inPeer.m_bRead = true;
        QTRY_VERIFY_WITH_TIMEOUT(!rig.gateway.IsBusy(), 20000);
        const QByteArrayList lines = LogLines();
        for (qsizetype i = lines.indexOf("b quit") + 1; i < lines.size(); ++i)
            QVERIFY2(!lines[i].startsWith("b "), lines[i].constData());
    }

    void eachBlockLeavesBeforeItsAfterSend()
    {
        // A plug-in that paces a device by waiting in DllAfterSend: each
        // block of a read has reached the peer before its DllAfterSend has
        // returned, so the peer gets one block per wait, never two at once
        // and never one held back a wait later.
        constexpr int kBlocks = 8;
        const QString strStamps = m_tmp.filePath(QStringLiteral("stamps.log"));
        QFile::remove(strStamps);
        qputenv("TP_STAMPS", QFile::encodeName(strStamps));
        qputenv("TP_SLEEP_MS", "50");
        CThreadPeer inPeer;
        CThreadPeer outPeer;
        SGatewayRig rig;
        StartWithPeers(rig, inPeer, outPeer);
        QTRY_VERIFY(inPeer.Connected() && outPeer.Connected());
        const QByteArray data(kBlocks * 512, 'x');
        // While the gateway waits in the plug-in, a thread notes when the
        // peer had each block.
        using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC, as the plug-in's stamps
        std::atomic<bool> bWatch {true};
        qint64 arrivedNs[kBlocks] {};
        std::thread watcher([&] {
            int nSeen = 0;
            while (bWatch && nSeen < kBlocks) {
                const qint64 nSize = outPeer.ReceivedSize();
                const qint64 nNow = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        Clock::now().time_since_epoch()).count();
                for (; nSeen < kBlocks && nSize >= (nSeen + 1) * 512; ++nSeen)
                    arrivedNs[nSeen] = nNow;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        inPeer.Send(data);
        QTRY_COMPARE_WITH_TIMEOUT(outPeer.ReceivedSize(), data.size(), 20000);
        QTRY_COMPARE(LogLines().count("a aftersend 512 " + data.left(64).toUpper()), kBlocks);
        bWatch = false;
        watcher.join();
        QVERIFY(outPeer.Received() == data.toUpper());
        QFile stamps(strStamps);
        QVERIFY(stamps.open(QIODevice::ReadOnly));
        const QByteArrayList afterSendNs = stamps.readAll().trimmed().split('\n');
        QCOMPARE(afterSendNs.size(), kBlocks);
        for (int i = 0; i < kBlocks; ++i) {
            const qint64 nLateUs = (arrivedNs[i] - afterSendNs[i].toLongLong()) / 1000;
            QVERIFY2(arrivedNs[i] > 0 && nLateUs < 0,
                     "block " + QByteArray::number(i + 1) + " reached the peer " + QByteArray::number(nLateUs)
                         + " us after its DllAfterSend returned");
        }
    }

    void longStreamReachesPluginInBlocksOf512()
    {
        // A stream far longer than a block, written at once: every pass sees
        // one block of at most 512 bytes, in order, nothing lost.
        SRun run;
        QVERIFY(Start(run));
        QByteArray data;
        for (int i = 0; i < 40000; ++i)
            data.append(char('a' + i % 26));
        run.pIn->write(data);
        QTRY_COMPARE_WITH_TIMEOUT(run.outSink.data.size(), data.size(), 20000);
        QVERIFY(run.outSink.data == data.toUpper());
        qsizetype nTotal = 0;
        int nPasses = 0;
        for (const QByteArray& line : LogLines()) {
            if (!line.startsWith("a transfer "))
                continue;
            const int nLen = line.split(' ').value(3).toInt();
            QVERIFY2(nLen > 0 && nLen <= 512, line.constData());
            // The first bytes of the pass continue the stream where the last one ended.
            // "a transfer out=N LEN DATA", DATA cut at 64 bytes.
            const qsizetype nData = line.indexOf(' ', line.indexOf(' ', 11) + 1) + 1;
            QVERIFY(line.mid(nData) == data.mid(nTotal, qMin(nLen, 64)));
            nTotal += nLen;
            ++nPasses;
        }
        QCOMPARE(nTotal, data.size());
        QVERIFY(nPasses >= 79);
    }

    void pluginLines_data()
    {
        QTest::addColumn<QByteArray>("transfer");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("error text") << QByteArray("text") << QByteArray("crc") << QByteArray()
                                    << QStringLiteral("DLL Transfer Error Code:crc") << QByteArray("abc");
        QTest::newRow("27 of a long text") << QByteArray("text") << QByteArray(40, 'L') << QByteArray()
                                           << "DLL Transfer Error Code:" + QString(27, u'L') << QByteArray("abc");
        QTest::newRow("bad text") << QByteArray("value") << QByteArray("5") << QByteArray()
                                  << QStringLiteral("DLL Transfer Error Code:bad text 5") << QByteArray("abc");
        QTest::newRow("bad count") << QByteArray("count") << QByteArray("-7") << QByteArray()
                                   << QStringLiteral("DLL Transfer Error Code:bad count -7") << QByteArray("abc");
        QTest::newRow("after send error") << QByteArray("upper") << QByteArray() << QByteArray("7")
                                          << QStringLiteral("DLL After Send Errer Code:7") << QByteArray("ABC");
    }

    void pluginLines()
    {
        QFETCH(QByteArray, transfer);
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, after);
        QFETCH(QString, line);
        QFETCH(QByteArray, sent);
        qputenv("TP_TRANSFER", transfer);
        qputenv("TP_TEXT", value);
        qputenv("TP_OUT", value);
        qputenv("TP_AFTER", after);
        SRun run;
        QVERIFY(Start(run, "tp_four", {}));
        run.pIn->write("abc");
        QTRY_COMPARE(run.outSink.data, sent);
        QTRY_VERIFY(run.rig.Texts().contains(line));
        QCOMPARE(run.rig.Texts().size(), 5);
        QVERIFY(run.rig.Texts().last().size() <= 51);
    }

    // A plug-in that is not there, or whose DllInit fails, leaves its
    // direction passing blocks unchanged; only the failed DllInit gets a
    // line, and no DllQuit follows it.
    void missingPluginPassesUnchanged_data()
    {
        QTest::addColumn<QByteArray>("inDll");
        QTest::addColumn<QByteArray>("outDll");
        QTest::addColumn<QByteArray>("init");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("DllInit returns 5")
            << QByteArray("tp_four.so") << QByteArray() << QByteArray("5")
            << QStringList({"Connect TCP...", "In2Out DLL Initial Errer Code:5", "Done!", "Connect TCP...", "Done!"});
        QTest::newRow("unknown files: no line at all")
            << QByteArray("C:\\gw\\missing.dll") << QByteArray("missing") << QByteArray()
            << QStringList({"Connect TCP...", "Done!", "Connect TCP...", "Done!"});
    }

    void missingPluginPassesUnchanged()
    {
        QFETCH(QByteArray, inDll);
        QFETCH(QByteArray, outDll);
        QFETCH(QByteArray, init);
        QFETCH(QStringList, texts);
        qputenv("TP_INIT", init);
        SRun run;
        QVERIFY(Start(run, inDll, outDll));
        QCOMPARE(run.rig.Texts(), texts);
        QVERIFY(!run.rig.gateway.InToOut().Plugin());
        QVERIFY(!IsMapped("/tp_four.so"));
        run.pIn->write("abc");
        QTRY_COMPARE(run.outSink.data, QByteArray("abc"));
        run.rig.gateway.StopGateway(true);
        QVERIFY(!LogLines().contains("a quit"));
    }

    void outputFarEndCloseQuitsOnlyOutToIn()
    {
        SRun run;
        QVERIFY(Start(run));
        SGatewayRig& rig = run.rig;
        run.pOut->close();
        QTRY_COMPARE(rig.host.m_strOutStatus, QStringLiteral("Remote closed,close myself too!"));
        QVERIFY(LogLines().contains("b quit"));
        QVERIFY(!LogLines().contains("a quit"));
        QVERIFY(rig.gateway.InToOut().Plugin());
        QVERIFY(!rig.gateway.OutToIn().Plugin());
        QVERIFY(!IsMapped("/tp_four_b.so"));
        // The next block reconnects the Output and loads its plug-in afresh.
        run.pIn->write("next");
        SSink outSink;
        QTRY_VERIFY(m_outServer.hasPendingConnections());
        QTcpSocket* pOut2 = Accept(m_outServer);
        QVERIFY(pOut2);
        outSink.Attach(pOut2);
        QTRY_COMPARE(outSink.data, QByteArray("NEXT"));
        QVERIFY(rig.gateway.OutToIn().Plugin());
        int nOutInits = 0;
        for (const QByteArray& line : LogLines())
            nOutInits += line.startsWith("b init ");
        QCOMPARE(nOutInits, 2);
    }

    // Bytes already queued on a line reach the gateway as one 500-byte read
    // after the other would give them: every block full but the last, as
    // the plug-in sees them and as they are counted without a plug-in.
    void serialBlocksOfAQueuedBurst_data()
    {
        QTest::addColumn<bool>("plugin");
        QTest::addColumn<int>("queued");
        QTest::addColumn<QList<int>>("blocks");
        for (const bool bPlugin : {true, false}) {
            const char* pszWith = bPlugin ? "plug-in" : "no plug-in";
            QTest::addRow("%s, 1 byte", pszWith) << bPlugin << 1 << QList<int> {1};
            QTest::addRow("%s, 1024 bytes", pszWith) << bPlugin << 1024 << QList<int> {500, 500, 24};
            QTest::addRow("%s, 4000 bytes", pszWith) << bPlugin << 4000 << QList<int>(8, 500);
        }
    }

    void serialBlocksOfAQueuedBurst()
    {
        QFETCH(bool, plugin);
        QFETCH(int, queued);
        QFETCH(QList<int>, blocks);
        // With the carrier absent the line is not read: the whole burst
        // waits in its queue until the carrier rises.
        const std::shared_ptr<SLineScript> pScript = ScriptLineStatus();
        pScript->bCarrier = false;
        CPtyPeer line;
        QVERIFY(line.IsValid());
        CThreadPeer tcp;
        SGatewayRig rig;
        rig.gateway.SetSerialPortMap({{"COM7", line.Slave()}});
        rig.doc.m_strInDll = plugin ? "tp_four.dll" : "";
        rig.doc.m_bDetectCarrier = 1;
        rig.Start("COM7:115200,n,8,1", tcp.Setup());
        QTRY_VERIFY(tcp.Connected());
        const QByteArray burst = RandomBytes(queued, 7);
        line.Send(burst);
        QTRY_COMPARE(line.PendingSend(), 0);
        QVERIFY(pScript->WaitForPolls(3));
        QTest::qWait(100); // the pseudo-terminal hands the bytes to the line's queue
        pScript->bCarrier = true;
        QTRY_COMPARE(tcp.ReceivedSize(), queued);
        SetLineStatusFactory({});
        // The test plug-in hands each block back in capitals.
        QVERIFY(plugin || tcp.Received() == burst);
        QList<int> seen;
        for (const QByteArray& strLine : LogLines()) {
            if (strLine.startsWith("a transfer "))
                seen.append(strLine.split(' ').value(3).toInt());
        }
        const STrafficCounters& counters = rig.gateway.Observer().Counters();
        QCOMPARE(seen, plugin ? blocks : QList<int>());
        QCOMPARE(counters.m_nBlocksReceived[0], quint64(blocks.size()));
        QCOMPARE(counters.m_nBlocksSent[0], quint64(blocks.size()));
    }

    void thousandStartupResetsLeakNothing()
    {
        qunsetenv("TP_LOG");
        QUdpSocket inPeer, outPeer;
        QVERIFY(inPeer.bind(QHostAddress::LocalHost, 0));
        QVERIFY(outPeer.bind(QHostAddress::LocalHost, 0));
        SGatewayRig rig;
        rig.doc.m_strInSetup = "UDP:" + QByteArray::number(inPeer.localPort()) + ",127.0.0.1";
        rig.doc.m_strOutSetup = "UDP:" + QByteArray::number(outPeer.localPort()) + ",127.0.0.1";
        rig.doc.m_strInDll = "tp_four";
        rig.doc.m_strOutDll = "tp_four_b";
        rig.doc.m_nOutStartup = 1007;
        for (int n = 0; n < 20; ++n)
            rig.gateway.RequestStartupReset();
        const int nFds = OpenFdCount();
        for (int n = 0; n < 1000; ++n) {
            rig.gateway.RequestStartupReset();
            QVERIFY(rig.gateway.InToOut().Plugin() && rig.gateway.OutToIn().Plugin());
        }
        QCOMPARE(OpenFdCount(), nFds);
        rig.gateway.StopGateway(true);
        QVERIFY(!IsMapped("/tp_four.so"));
        QVERIFY(!IsMapped("/tp_four_b.so"));
        QVERIFY(rig.Texts().last() == QStringLiteral("Done!"));
    }
};

QTEST_GUILESS_MAIN(CTestGatewayPlugins)
#include "tst_gatewayplugins.moc"
