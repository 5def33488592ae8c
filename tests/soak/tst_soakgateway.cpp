// Long runs of the gateway between TCP peers: far-end closes, a slow
// consumer, a relay in both directions and a peer that refuses to stay.
// Counts: see soaksupport.h. Each case prints its FIGURE line.

#include "soakpeer.h"

#include <QElapsedTimer>
#include <QTest>

namespace {

constexpr qint64 kMiB = 1024 * 1024;
const QString kInputClosed = QStringLiteral("Remote Input closed,close ALL & ReStart!");
const QString kOutputClosed = QStringLiteral("Remote Output closed,close myself too!");

} // namespace

class TestSoakGateway : public QObject
{
    Q_OBJECT
private slots:
    void farEndCloses_data();
    void farEndCloses();
    void slowConsumer();
    void relayBothWays();
    void peerClosesAtOnce();
};

void TestSoakGateway::farEndCloses_data()
{
    QTest::addColumn<bool>("input");
    QTest::newRow("input") << true;
    QTest::newRow("output") << false;
}

// The far end closes the Input (restart after 1 ms) or the Output (started
// again by the next block) over and over; nothing may pile up.
void TestSoakGateway::farEndCloses()
{
    QFETCH(bool, input);
    const qint64 nCycles = soak::Count(1000, 10000);
    const qint64 nEvery = qBound(qint64(1), nCycles / 10, qint64(1000));
    CSoakPeer inPeer(1), outPeer(2);
    (input ? inPeer : outPeer).SetCloseAtOnce(true);
    SGatewayRig rig;
    rig.gateway.SetTimerPeriods(12000, 1);
    rig.doc.m_strInSetup = inPeer.Setup();
    rig.doc.m_strOutSetup = outPeer.Setup();

    qint64 nClosed = 0;
    qsizetype nMaxLines = 0;
    soak::CGrowth growth;
    const QString& strClosed = input ? kInputClosed : kOutputClosed;
    connect(&rig.gateway.MessageLog(), &CMessageLog::lineAdded, this, [&](const QString& strLine) {
        nMaxLines = qMax(nMaxLines, rig.gateway.MessageLog().Lines().size());
        if (!strLine.endsWith(strClosed))
            return;
        ++nClosed;
        if (nClosed % nEvery == 0)
            growth.Take();
        if (!input)
            inPeer.AddToSend(1); // the next block starts the Output again
    });

    QElapsedTimer clock;
    clock.start();
    rig.Reset();
    QVERIFY(rig.gateway.IsInputStarted());
    if (!input)
        inPeer.AddToSend(1);
    const bool bDone = soak::WaitFor([&] { return nClosed >= nCycles; }, int(30000 + nCycles * 20));
    const qint64 nMs = clock.elapsed();
    disconnect(&rig.gateway.MessageLog(), nullptr, this, nullptr);
    rig.gateway.RequestStop(true);
    QVERIFY2(bDone, qPrintable(QStringLiteral("%1 of %2 closes").arg(nClosed).arg(nCycles)));

    soak::Figure(input ? QStringLiteral("input-close") : QStringLiteral("output-close"),
                 QStringLiteral("cycles=%1 seconds=%2 %3 max_lines=%4 accepted=%5")
                     .arg(nClosed)
                     .arg(double(nMs) / 1000, 0, 'f', 1)
                     .arg(growth.Text())
                     .arg(nMaxLines)
                     .arg((input ? inPeer : outPeer).Accepted()));
    QVERIFY((input ? inPeer : outPeer).Accepted() >= nCycles);
    QVERIFY2(growth.Problems().isEmpty(), qPrintable(growth.Problems()));
    QVERIFY(nMaxLines <= CMessageLog::kMaxLines);
}

// The Input floods while the Output peer reads 1 KiB/s: the gateway holds
// the flood back instead of buffering it, and nothing is lost once the
// consumer speeds up.
void TestSoakGateway::slowConsumer()
{
    const int nSlowMs = int(soak::Count(4000, 60000));
    const qint64 nTotal = 64 * kMiB;
    CSoakPeer inPeer(3), outPeer(4);
    outPeer.ExpectStream(3);
    outPeer.SetReadRate(1024);
    SGatewayRig rig;
    QVERIFY(StartBetween(rig, inPeer, outPeer));

    const soak::SResources before = soak::Sample();
    qint64 nPeakKib = before.nRssKib;
    // Timers run inside the gateway's waiting send as well.
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, [&] { nPeakKib = qMax(nPeakKib, soak::Sample().nRssKib); });
    sampler.start(200);
    bool bSlowOver = false;
    qint64 nSentSlow = 0, nReadSlow = 0;
    QTimer::singleShot(nSlowMs, this, [&] {
        nPeakKib = qMax(nPeakKib, soak::Sample().nRssKib);
        nSentSlow = inPeer.Sent();
        nReadSlow = outPeer.Received();
        bSlowOver = true;
        outPeer.SetReadRate(0);
    });
    inPeer.AddToSend(nTotal);
    QElapsedTimer clock;
    clock.start();
    const bool bAll = soak::WaitFor([&] { return bSlowOver && outPeer.Received() >= nTotal; }, nSlowMs + 120000);
    const qint64 nDrainMs = clock.elapsed() - nSlowMs;
    sampler.stop();
    rig.gateway.RequestStop(true);

    const qint64 nGrowthKib = nPeakKib - before.nRssKib;
    soak::Figure(QStringLiteral("slow-consumer"),
                 QStringLiteral("slow_seconds=%1 read_rate=1024 input_sent_slow=%2 output_read_slow=%3 "
                                "rss_before_kib=%4 rss_peak_kib=%5 rss_growth_kib=%6 total=%7 received=%8 "
                                "drain_ms=%9 first_mismatch=%10 sha256_match=%11")
                     .arg(nSlowMs / 1000)
                     .arg(nSentSlow)
                     .arg(nReadSlow)
                     .arg(before.nRssKib)
                     .arg(nPeakKib)
                     .arg(nGrowthKib)
                     .arg(nTotal)
                     .arg(outPeer.Received())
                     .arg(nDrainMs)
                     .arg(outPeer.FirstMismatch())
                     .arg(outPeer.ReceivedHash() == inPeer.SentHash() ? 1 : 0));
    QVERIFY(bSlowOver);
    // The flood was held back: far less than all of it left the Input peer.
    QVERIFY2(nSentSlow < nTotal / 2, qPrintable(QString::number(nSentSlow)));
    QVERIFY(nReadSlow <= qint64(nSlowMs) * 1024 / 1000 + 1024);
    QVERIFY2(nGrowthKib < 16 * 1024, qPrintable(QString::number(nGrowthKib)));
    QVERIFY2(bAll, qPrintable(QString::number(outPeer.Received())));
    QCOMPARE(outPeer.Received(), nTotal);
    QCOMPARE(outPeer.FirstMismatch(), qint64(-1));
    QCOMPARE(outPeer.ReceivedHash(), inPeer.SentHash());
}

// Both peers send at once; every byte arrives on the other side in order.
void TestSoakGateway::relayBothWays()
{
    const qint64 nBytes = soak::Count(32 * kMiB, 1024 * kMiB);
    CSoakPeer inPeer(5), outPeer(6);
    inPeer.ExpectStream(6);
    outPeer.ExpectStream(5);
    SGatewayRig rig;
    QVERIFY(StartBetween(rig, inPeer, outPeer));
    const soak::SResources before = soak::Sample();
    QElapsedTimer clock;
    clock.start();
    inPeer.AddToSend(nBytes);
    outPeer.AddToSend(nBytes);
    // At least 1 MiB/s each way, however loaded the machine.
    const bool bAll = soak::WaitFor([&] { return inPeer.Received() >= nBytes && outPeer.Received() >= nBytes; },
                                    int(60000 + nBytes / 1024));
    const qint64 nMs = qMax<qint64>(1, clock.elapsed());
    const soak::SResources after = soak::Sample();
    rig.gateway.RequestStop(true);

    const bool bForward = outPeer.ReceivedHash() == inPeer.SentHash();
    const bool bBackward = inPeer.ReceivedHash() == outPeer.SentHash();
    soak::Figure(QStringLiteral("relay"),
                 QStringLiteral("bytes_each_way=%1 seconds=%2 mib_per_s_each_way=%3 in_to_out_sha256=%4 "
                                "out_to_in_sha256=%5 match=%6 rss_before_kib=%7 rss_after_kib=%8")
                     .arg(nBytes)
                     .arg(double(nMs) / 1000, 0, 'f', 1)
                     .arg(double(nBytes) / kMiB * 1000 / double(nMs), 0, 'f', 1)
                     .arg(QString::fromLatin1(outPeer.ReceivedHash().left(16)))
                     .arg(QString::fromLatin1(inPeer.ReceivedHash().left(16)))
                     .arg(bForward && bBackward ? 1 : 0)
                     .arg(before.nRssKib)
                     .arg(after.nRssKib));
    QVERIFY2(bAll, qPrintable(QStringLiteral("%1 / %2").arg(outPeer.Received()).arg(inPeer.Received())));
    QCOMPARE(outPeer.Received(), nBytes);
    QCOMPARE(inPeer.Received(), nBytes);
    QCOMPARE(outPeer.FirstMismatch(), qint64(-1));
    QCOMPARE(inPeer.FirstMismatch(), qint64(-1));
    QVERIFY(bForward);
    QVERIFY(bBackward);
}

// A peer that accepts and closes at once, with the restart period as
// shipped: restarts come at its pace, and nothing grows.
void TestSoakGateway::peerClosesAtOnce()
{
    const int nRunMs = int(soak::Count(4000, 60000));
    constexpr int kRestartMs = 300;
    CSoakPeer inPeer(7);
    inPeer.SetCloseAtOnce(true);
    SGatewayRig rig;
    rig.doc.m_strInSetup = inPeer.Setup();

    QElapsedTimer clock;
    QList<qint64> closedAt;
    qsizetype nMaxLines = 0;
    soak::CGrowth growth;
    connect(&rig.gateway.MessageLog(), &CMessageLog::lineAdded, this, [&](const QString& strLine) {
        nMaxLines = qMax(nMaxLines, rig.gateway.MessageLog().Lines().size());
        if (strLine.endsWith(kInputClosed))
            closedAt.append(clock.elapsed());
    });
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, [&] { growth.Take(); });
    clock.start();
    rig.Reset();
    sampler.start(nRunMs / 10);
    soak::WaitFor([&] { return clock.elapsed() >= nRunMs; }, nRunMs + 1000);
    sampler.stop();
    growth.Take();
    disconnect(&rig.gateway.MessageLog(), nullptr, this, nullptr);
    rig.gateway.RequestStop(true);

    qint64 nMinGap = -1, nMaxGap = -1;
    for (int i = 1; i < closedAt.size(); ++i) {
        const qint64 nGap = closedAt[i] - closedAt[i - 1];
        nMinGap = nMinGap < 0 ? nGap : qMin(nMinGap, nGap);
        nMaxGap = qMax(nMaxGap, nGap);
    }
    // One close at the start, then one per restart period.
    const int nExpected = nRunMs / kRestartMs + 1;
    soak::Figure(QStringLiteral("accept-close"),
                 QStringLiteral("seconds=%1 restarts=%2 expected=%3 min_gap_ms=%4 max_gap_ms=%5 max_lines=%6 %7")
                     .arg(nRunMs / 1000)
                     .arg(closedAt.size())
                     .arg(nExpected)
                     .arg(nMinGap)
                     .arg(nMaxGap)
                     .arg(nMaxLines)
                     .arg(growth.Text()));
    QVERIFY2(closedAt.size() >= nExpected / 2 && closedAt.size() <= nExpected + 1,
             qPrintable(QString::number(closedAt.size())));
    // Qt fires a coarse timer of this length up to 5 % early; a margin on top
    // for millisecond rounding.
    QVERIFY2(nMinGap >= kRestartMs * 90 / 100, qPrintable(QString::number(nMinGap)));
    QVERIFY(nMaxLines <= CMessageLog::kMaxLines);
    QVERIFY2(growth.Problems().isEmpty(), qPrintable(growth.Problems()));
}

QTEST_GUILESS_MAIN(TestSoakGateway)
#include "tst_soakgateway.moc"
