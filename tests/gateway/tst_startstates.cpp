// Startup / Reset, a settings load and a stop while the Input's start waits
// in each of its states: the start is given up at once, without a failure
// line or box, and the command runs.

#include "fullserver.h"
#include "pty.h"
#include "testhost.h"
#include "threadpeer.h"

#include "socket/hostlookup.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>

#include <condition_variable>
#include <mutex>

namespace {

// A resolver that does not answer until the test ends.
std::mutex g_mutex;
std::condition_variable g_released;
bool g_bRelease = false;

bool HangingResolve(const QByteArray&, SSocketAddress*)
{
    std::unique_lock lock(g_mutex);
    g_released.wait(lock, [] { return g_bRelease; });
    return false;
}

enum EState { Lookup, Connect, InitialString, SerialInitial };
enum ECommand { Reset, Reload, Stop };

} // namespace

class TestStartStates : public QObject
{
    Q_OBJECT
private slots:
    void commandDuringStart_data();
    void commandDuringStart();
    void cleanupTestCase();
};

void TestStartStates::commandDuringStart_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("command");
    QTest::addColumn<QStringList>("waiting"); // the lines while the start waits
    const QStringList states[] = {{}, {"Connect TCP..."}, {"Connect TCP..."}, {"Open Port..."}};
    const char* pszStates[] = {"lookup", "connect", "initial string", "serial initial string"};
    const char* pszCommands[] = {"Startup / Reset", "settings load", "stop"};
    for (int nState : {Lookup, Connect, InitialString, SerialInitial})
        for (int nCommand : {Reset, Reload, Stop})
            QTest::addRow("%s, %s", pszStates[nState], pszCommands[nCommand]) << nState << nCommand << states[nState];
}

void TestStartStates::commandDuringStart()
{
    QFETCH(int, state);
    QFETCH(int, command);
    QFETCH(QStringList, waiting);
    QTcpServer later;
    QVERIFY(later.listen(QHostAddress::LocalHost));
    SFullServer full;
    CThreadPeer mute(4096);
    mute.m_bRead = false;
    CPty line;
    QVERIFY(line.IsValid());
    CHostLookup::s_pfnResolve = HangingResolve;
    const auto restore = qScopeGuard([] { CHostLookup::s_pfnResolve = CHostLookup::SystemResolve; });

    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", line.Slave()}});
    switch (state) {
    case Lookup: rig.doc.m_strInSetup = "TCP:1025,hanging.test"; break;
    case Connect:
        QVERIFY(full.Listen());
        rig.doc.m_strInSetup = full.Setup();
        break;
    case InitialString:
        rig.doc.m_strInSetup = mute.Setup();
        rig.doc.m_strInInitial = QByteArray(8 << 20, 'i');
        break;
    case SerialInitial:
        rig.doc.m_strInSetup = "COM7:9600";
        rig.doc.m_strInInitial = QByteArray(1 << 20, 'i');
        break;
    }
    rig.gateway.RequestStartupReset();
    QTRY_COMPARE(rig.Texts(), waiting);
    // Well inside the wait (a connect or the initial string under way).
    QTest::qWait(100);
    QVERIFY(rig.gateway.IsStarting());
    QCOMPARE(rig.Texts(), waiting);

    // The command's own start gets through at once.
    rig.doc.m_strInSetup = "TCP:" + QByteArray::number(later.serverPort()) + ",127.0.0.1";
    rig.doc.m_strInInitial.clear();
    bool bStopped = false;
    QElapsedTimer clock;
    clock.start();
    if (command == Reset)
        rig.gateway.RequestStartupReset();
    else if (command == Reload)
        rig.gateway.RequestStop(true, [&] { rig.gateway.RequestStartupReset(); });
    else
        rig.gateway.RequestStop(false, [&] { bStopped = true; });
    if (command == Stop) {
        QVERIFY(bStopped);
        QTest::qWait(100);
        QCOMPARE(rig.Texts(), waiting);
        QVERIFY(!rig.gateway.IsInputStarted());
        QCOMPARE(rig.started.size(), 0);
    } else {
        QTRY_COMPARE(rig.started.size(), 1);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(rig.started.at(0).at(0).toBool(), true);
        QCOMPARE(rig.Texts(), waiting + QStringList({"Connect TCP...", "Done!"}));
    }
    QVERIFY(!rig.gateway.IsStarting());
    QCOMPARE(rig.host.m_boxes, QStringList());
    QCOMPARE(rig.host.m_explanations, QStringList());
}

void TestStartStates::cleanupTestCase()
{
    std::lock_guard lock(g_mutex);
    g_bRelease = true;
    g_released.notify_all();
}

QTEST_GUILESS_MAIN(TestStartStates)
#include "tst_startstates.moc"
