// A TCP port whose target is a free port inside the ephemeral range can be
// given that very port as its local one: the connect then completes with
// itself. Inside a network namespace of the test's own the range is cut to
// two ports, so that happens within a few tries; it must count as refused.
#include "netns.h"
#include "soaksupport.h"
#include "testhost.h"
#include "threadpeer.h"

#include <QFile>
#include <QTest>

namespace {

// Set by main before anything else runs: empty when the process has a
// network namespace of its own, else why not.
QString g_strNamespaceProblem = QStringLiteral("not tried");

// Empty on success, else why the range could not be set.
QString SetEphemeralRange(int nFirst, int nLast)
{
    QFile file(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("ip_local_port_range: %1").arg(file.errorString());
    const QByteArray strRange = QByteArray::number(nFirst) + ' ' + QByteArray::number(nLast) + '\n';
    if (file.write(strRange) != strRange.size() || !file.flush())
        return QStringLiteral("ip_local_port_range: %1").arg(file.errorString());
    return QString();
}

// Two ports outside the system's default ephemeral range: nothing of the
// test took them before the range is cut down to them.
constexpr int kFirst = 61000;
constexpr int kTries = 8;

} // namespace

class TestSelfConnect : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void outputNeverConnectsToItself();
    void inputNeverConnectsToItself();
};

void TestSelfConnect::init()
{
    if (!g_strNamespaceProblem.isEmpty())
        QSKIP(qPrintable("no network namespace of our own: " + g_strNamespaceProblem));
}

void TestSelfConnect::cleanup()
{
    if (g_strNamespaceProblem.isEmpty())
        SetEphemeralRange(32768, 60999);
}

// Each block from the Input tries the deferred Output start again; not one
// may connect, and nothing may come back to the Input.
void TestSelfConnect::outputNeverConnectsToItself()
{
    CThreadPeer inPeer;
    SGatewayRig rig;
    rig.doc.m_strInSetup = inPeer.Setup();
    rig.doc.m_nOutStartup = 1008;
    rig.Reset();
    QVERIFY(rig.gateway.m_pInSocket);
    QTRY_VERIFY(inPeer.Connected());
    const QString strProblem = SetEphemeralRange(kFirst, kFirst + 1);
    if (!strProblem.isEmpty())
        QSKIP(qPrintable(strProblem));

    for (int i = 0; i < kTries; ++i) {
        const int nTarget = kFirst + i % 2;
        rig.doc.m_strOutSetup = "TCP:" + QByteArray::number(nTarget) + ",127.0.0.1";
        const int nFailures = int(rig.Texts().count(QStringLiteral("Output DoConnect Failure!")));
        inPeer.Send("block " + QByteArray::number(i));
        QTRY_COMPARE(rig.Texts().count(QStringLiteral("Output DoConnect Failure!")), nFailures + 1);
        QVERIFY2(rig.Texts().contains(QStringLiteral("TCP Connect Error:10061,port:%1,addr:127.0.0.1").arg(nTarget)),
                 qPrintable(rig.Texts().join('|')));
    }
    QVERIFY(!rig.gateway.m_bOutStarted);
    QVERIFY(!rig.gateway.m_pOutSocket);
    QCOMPARE(rig.Texts().count(QStringLiteral("Done!")), 1); // the Input's
    QCOMPARE(rig.host.m_strOutStatus, QString());
    QTest::qWait(50);
    QCOMPARE(inPeer.ReceivedSize(), 0);
    soak::Figure(QStringLiteral("self-connect-output"),
                 QStringLiteral("ephemeral_ports=2 tries=%1 refused_10061=%1 started=0 reflected_bytes=0").arg(kTries));
}

// The Input's start: refused every time, never started on itself.
void TestSelfConnect::inputNeverConnectsToItself()
{
    const QString strProblem = SetEphemeralRange(kFirst, kFirst + 1);
    if (!strProblem.isEmpty())
        QSKIP(qPrintable(strProblem));
    SGatewayRig rig;
    for (int i = 0; i < kTries; ++i) {
        const int nTarget = kFirst + i % 2;
        rig.doc.m_strInSetup = "TCP:" + QByteArray::number(nTarget) + ",127.0.0.1";
        rig.Reset();
        QVERIFY2(!rig.gateway.IsInputStarted(), qPrintable(rig.Texts().join('|')));
        QCOMPARE(rig.Texts().last(), QStringLiteral("TCP Connect Error:10061,port:%1,addr:127.0.0.1").arg(nTarget));
    }
    QCOMPARE(rig.host.m_strInStatus, QString());
    soak::Figure(QStringLiteral("self-connect-input"),
                 QStringLiteral("ephemeral_ports=2 tries=%1 refused_10061=%1 started=0").arg(kTries));
}

int main(int argc, char** argv)
{
    g_strNamespaceProblem = EnterOwnNetworkNamespace();
    QCoreApplication app(argc, argv);
    TestSelfConnect test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_selfconnect.moc"
