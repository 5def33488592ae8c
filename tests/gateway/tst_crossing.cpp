// Traffic in both directions at once between peers that do not read while
// they send, and the Input that must not be read while the Output starts.
// The peers run on threads of their own; the gateway's thread only relays.
#include "pty.h"
#include "resources.h"
#include "soakpeer.h"
#include "testhost.h"
#include "threadpeer.h"

#include <QTest>
#include <QTimer>

#include <functional>

namespace {

// The first nLen bytes of a soak peer's stream.
QByteArray StreamBytes(quint32 nSeed, qint64 nLen)
{
    const QByteArray block = CSoakPeer::PatternBlock(nSeed);
    QByteArray bytes;
    bytes.reserve(nLen);
    while (bytes.size() < nLen)
        bytes += block.left(nLen - bytes.size());
    return bytes;
}

// One end of the gateway: a TCP peer or a pseudo-terminal line, each on a
// thread of its own, sending the stream of its seed.
struct SEnd
{
    SEnd(bool bSerial, quint32 nSeed, quint32 nOtherSeed) : nSeed(nSeed), nOtherSeed(nOtherSeed)
    {
        if (bSerial) {
            pLine = std::make_unique<CPtyPeer>();
        } else {
            pTcp = std::make_unique<CSoakPeer>(nSeed, 4096); // a small window fills soon
            pTcp->ExpectStream(nOtherSeed);
        }
    }
    void SendStream(qint64 nLen)
    {
        nQueued += nLen;
        if (pTcp)
            pTcp->AddToSend(nLen);
        else
            pLine->Send(StreamBytes(nSeed, nLen));
    }
    qint64 Sent() { return pTcp ? pTcp->Sent() : nQueued - pLine->PendingSend(); }
    qint64 Received() { return pTcp ? pTcp->Received() : pLine->ReceivedSize(); }
    // Reading off, or on at a rate in bytes per second (0: as fast as it comes).
    void SetReading(bool bOn, qint64 nRate = 0)
    {
        if (pTcp) {
            pTcp->SetReadRate(bOn ? nRate : 1);
            return;
        }
        pLine->m_bRead = bOn;
        // A slow reader: a page at a time, then a pause.
        if (bOn && nRate > 0)
            pLine->SetSlowReader(4096, std::chrono::microseconds(4096LL * 1000000 / nRate));
    }
    // Everything received is the other end's stream, in order.
    bool ReceivedIntact()
    {
        if (pTcp)
            return pTcp->FirstMismatch() < 0;
        return pLine->Received() == StreamBytes(nOtherSeed, pLine->ReceivedSize());
    }

    quint32 nSeed;
    quint32 nOtherSeed;
    qint64 nQueued = 0;
    std::unique_ptr<CSoakPeer> pTcp;
    std::unique_ptr<CPtyPeer> pLine;
};

} // namespace

class TestCrossing : public QObject
{
    Q_OBJECT
private slots:
    void crossingTrafficCompletes_data();
    void crossingTrafficCompletes();
    void serialInputWaitsForOutputStart();
};

void TestCrossing::crossingTrafficCompletes_data()
{
    QTest::addColumn<bool>("serialInput");
    QTest::addColumn<bool>("serialOutput");
    QTest::addColumn<int>("mib");
    QTest::addColumn<int>("outReadRate");
    // Large enough to outgrow what the system buffers between the peers;
    // the Output reads slower than the Input's line can bring data.
    QTest::newRow("TCP both sides") << false << false << 12 << (16 << 20);
    QTest::newRow("serial Input") << true << false << 4 << (1 << 20);
    QTest::newRow("serial Output") << false << true << 12 << (8 << 20);
}

// The Input peer sends everything before it reads anything; the Output peer
// reads at a limited rate, and once data has arrived it sends as much back.
// Each direction's progress must not depend on the other direction's peer.
void TestCrossing::crossingTrafficCompletes()
{
    QFETCH(bool, serialInput);
    QFETCH(bool, serialOutput);
    QFETCH(int, mib);
    QFETCH(int, outReadRate);
    const qint64 nBytes = qint64(mib) << 20;
    SEnd in(serialInput, 31, 32);
    SEnd out(serialOutput, 32, 31);
    SGatewayRig rig;
    QMap<QByteArray, QString> map;
    if (serialInput) {
        QVERIFY(in.pLine->IsValid());
        map.insert("COM7", in.pLine->Slave());
    }
    if (serialOutput) {
        QVERIFY(out.pLine->IsValid());
        map.insert("COM8", out.pLine->Slave());
    }
    rig.gateway.SetSerialPortMap(map);
    rig.Start(serialInput ? QByteArray("COM7:115200") : in.pTcp->Setup(),
              serialOutput ? QByteArray("COM8:115200") : out.pTcp->Setup());
    QVERIFY(rig.gateway.IsInputStarted() && rig.gateway.m_bOutStarted);
    QTRY_VERIFY((serialInput || in.pTcp->Connected()) && (serialOutput || out.pTcp->Connected()));

    in.SetReading(false);
    out.SetReading(true, outReadRate);
    in.SendStream(nBytes);
    // Timers run in any event loop of the gateway's thread, nested ones
    // included. Past the deadline a stop makes every wait give up, so a
    // relay that hangs fails here instead of hanging the test.
    bool bBackStarted = false;
    bool bLate = false;
    QTimer driver;
    connect(&driver, &QTimer::timeout, [&] {
        if (in.Sent() == nBytes)
            in.SetReading(true);
        if (!bBackStarted && out.Received() >= 256 * 1024) {
            bBackStarted = true;
            out.SendStream(nBytes);
        }
    });
    driver.start(5);
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(60000, [&] {
        bLate = true;
        rig.gateway.RequestStop(true);
    });

    QTRY_VERIFY_WITH_TIMEOUT(bLate || (out.Received() == nBytes && in.Received() == nBytes), 70000);
    QVERIFY2(!bLate, qPrintable(QStringLiteral("stalled: Input sent %1 received %2, Output sent %3 received %4")
                                    .arg(in.Sent()).arg(in.Received()).arg(out.Sent()).arg(out.Received())));
    const qint64 nMs = clock.elapsed();
    QVERIFY(out.ReceivedIntact());
    QVERIFY(in.ReceivedIntact());
    QCOMPARE(rig.Texts().size(), 4);
    soak::Figure(QStringLiteral("crossing-%1-%2").arg(serialInput ? "serial" : "tcp", serialOutput ? "serial" : "tcp"),
                 QStringLiteral("mib_each_way=%1 output_read_rate=%2 seconds=%3 in_to_out_match=1 out_to_in_match=1")
                     .arg(mib)
                     .arg(outReadRate)
                     .arg(double(nMs) / 1000, 0, 'f', 2));
    QVERIFY(rig.host.m_boxes.isEmpty());
}

// "Output Startup with Input" with a serial Input that keeps sending while
// the Output start waits (its initial string fills a peer that does not read
// yet): nothing from the line is passed on before the start is over, there
// is one Output connection, and every byte arrives once, in order.
void TestCrossing::serialInputWaitsForOutputStart()
{
    CPtyPeer line;
    QVERIFY(line.IsValid());
    CThreadPeer outPeer(4096);
    outPeer.m_bRead = false;
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", line.Slave()}});
    rig.doc.m_strOutInitial = QByteArray(4 << 20, 'i');
    const QByteArray data = RandomBytes(64 * 1024, 23);
    int nSentChunks = 0;
    QTimer feeder;
    // The line sends a chunk every few milliseconds from the moment it is open.
    connect(&feeder, &QTimer::timeout, [&] {
        if (nSentChunks * 1024 < data.size())
            line.Send(data.mid(nSentChunks++ * 1024, 1024));
    });
    bool bOutputSeenEarly = false;
    QTimer::singleShot(0, [&] { feeder.start(2); });
    QTimer::singleShot(800, [&] {
        // Still inside the Output's start: the peer has read nothing yet.
        bOutputSeenEarly = rig.gateway.m_pOutSocket != nullptr;
        outPeer.m_bRead = true;
    });
    rig.Start("COM7:115200", outPeer.Setup());
    QVERIFY(!bOutputSeenEarly);
    QVERIFY(rig.gateway.m_bOutStarted);
    QTRY_COMPARE_WITH_TIMEOUT(nSentChunks * 1024 >= data.size(), true, 10000);
    const qint64 nTotal = rig.doc.m_strOutInitial.size() + data.size();
    QTRY_COMPARE_WITH_TIMEOUT(outPeer.ReceivedSize(), nTotal, 20000);
    QCOMPARE(outPeer.m_nAccepted.load(), 1);
    const QByteArray received = outPeer.Received();
    QVERIFY(received.startsWith(rig.doc.m_strOutInitial));
    // Bytes written to the line before the gateway opened it are discarded
    // by the open; what was sent after arrives whole and in order.
    QVERIFY(received.mid(rig.doc.m_strOutInitial.size()) == data);
    QCOMPARE(rig.Texts(), QStringList({"Open Port...", "Done!", "Connect TCP...", "Done!"}));
    QCOMPARE(rig.started.size(), 1);
    soak::Figure(QStringLiteral("serial-input-output-start"),
                 QStringLiteral("line_bytes_during_start=%1 output_connections=%2 bytes_match=1")
                     .arg(data.size())
                     .arg(outPeer.m_nAccepted.load()));
}

QTEST_GUILESS_MAIN(TestCrossing)
#include "tst_crossing.moc"
