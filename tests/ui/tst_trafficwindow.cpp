// The Traffic Window on a traffic observer fed by the test: the latest
// blocks it keeps and how it shows them, and the rates each way.

#include "resources.h"
#include "trafficwindow.h"

#include <QTest>

namespace {

qint64 g_nNow = 1765234800000000; // microseconds since the epoch
qint64 FakeClock()
{
    return g_nNow;
}

// One event as the gateway reports it.
struct SEvent
{
    bool bInToOut;
    CDataTrace::EStage stage;
    QByteArray data;
};

void Feed(CTrafficObserver& observer, const SEvent& e)
{
    switch (e.stage) {
    case CDataTrace::Received: observer.OnReceived(e.bInToOut, e.data.constData(), int(e.data.size())); break;
    case CDataTrace::Swallowed: observer.OnSwallowed(e.bInToOut); break;
    case CDataTrace::NoClient: observer.OnNoClient(e.bInToOut, int(e.data.size())); break;
    default: QFAIL("not used here");
    }
}

} // namespace

class TestTrafficWindow : public QObject
{
    Q_OBJECT
private slots:
    void latestBlocksAsTraced();
    void ratesEachWay();
};

// The window shows the latest 200 events exactly as the trace file has
// them, oldest first, whatever lengths shared a slot before; nothing is
// taken while it is hidden.
void TestTrafficWindow::latestBlocksAsTraced()
{
    CTrafficObserver observer;
    CTrafficWindow window(&observer);
    window.SetClock(FakeClock);
    QVERIFY(!observer.Tap());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(observer.Tap());

    std::vector<SEvent> events;
    for (int i = 0; i < 250; ++i) {
        // Slots 10 and 30 go from a long block to a short one and back.
        QByteArray data = i == 10 || i == 230 ? RandomBytes(3000, quint32(i)) : "block " + QByteArray::number(i);
        events.push_back({i % 3 != 0, CDataTrace::Received, data});
    }
    events.push_back({true, CDataTrace::Swallowed, {}});
    events.push_back({false, CDataTrace::NoClient, QByteArray(7, 'n')});
    for (const SEvent& e : events)
        Feed(observer, e);
    window.Refresh(true);

    QByteArray expected;
    CDataTrace trace([&expected](const QByteArray& record) { expected += record; });
    trace.SetClock(FakeClock);
    for (size_t n = events.size() - CTrafficWindow::kLatestRecords; n < events.size(); ++n) {
        const SEvent& e = events[n];
        trace.Record(e.bInToOut, e.stage, e.stage == CDataTrace::Received ? e.data.constData() : nullptr,
                     int(e.data.size()));
    }
    QCOMPARE(window.BlocksText(), QString::fromLatin1(expected));
    QVERIFY(window.BlocksText().contains(u"|block 52|"));
    QVERIFY(!window.BlocksText().contains(u"|block 51|"));

    // Hidden, it takes nothing and forgets what it had.
    window.hide();
    QVERIFY(!observer.Tap());
    Feed(observer, {true, CDataTrace::Received, "unseen"});
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.BlocksText(), QString());
}

// The bytes read each way over about the last second, beside the totals.
void TestTrafficWindow::ratesEachWay()
{
    CTrafficObserver observer;
    CTrafficWindow window(&observer);
    window.SetClock(FakeClock);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.Refresh();

    struct SStep
    {
        qint64 nAfterUs;
        int nInToOut, nOutToIn;
        const char* pszInRate;
        const char* pszOutRate;
    };
    const SStep steps[] = {
        {500000, 1000, 250, "in-->out received=1/1000 sent=0/0 held-back=0 no-client=0 rate=2.0 kB/s",
         "out-->in received=1/250 sent=0/0 held-back=0 no-client=0 rate=500 B/s"},
        // A quiet second after it: nothing in the last second.
        {1100000, 0, 0, " rate=0 B/s", "out-->in received=1/250 sent=0/0 held-back=0 no-client=0 rate=0 B/s"},
        {1000000, 3000000, 0, "in-->out received=2/3001000 sent=0/0 held-back=0 no-client=0 rate=3.0 MB/s",
         " rate=0 B/s"},
    };
    for (const SStep& step : steps) {
        const QByteArray data(qMax(step.nInToOut, step.nOutToIn), 'x');
        if (step.nInToOut)
            observer.OnReceived(true, data.constData(), step.nInToOut);
        if (step.nOutToIn)
            observer.OnReceived(false, data.constData(), step.nOutToIn);
        g_nNow += step.nAfterUs;
        window.Refresh();
        const QStringList lines = window.CountersText().split(u'\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines[0].endsWith(QLatin1String(step.pszInRate)), qPrintable(lines[0]));
        QVERIFY2(lines[1].endsWith(QLatin1String(step.pszOutRate)), qPrintable(lines[1]));
        QVERIFY(lines[2].startsWith(u"plugin-errors="));
    }
}

QTEST_MAIN(TestTrafficWindow)
#include "tst_trafficwindow.moc"
