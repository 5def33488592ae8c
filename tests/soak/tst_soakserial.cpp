// Serial ports of the gateway on pseudo-terminals: many Startup / Reset
// cycles, and devices that vanish while open.

#include "pty.h"
#include "soaksupport.h"
#include "testhost.h"

#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>


namespace {

// CPU time the process spends while its event loop runs for nMs.
qint64 CpuWhileIdle(int nMs)
{
    const qint64 nStart = CpuMicroseconds();
    QEventLoop loop;
    QTimer::singleShot(nMs, &loop, &QEventLoop::quit);
    loop.exec();
    return CpuMicroseconds() - nStart;
}

// A process that sits in its loop uses far less than this in a second; a
// notifier that fires again and again uses most of it.
constexpr qint64 kIdleCpuLimitUs = 100000;

} // namespace

class TestSoakSerial : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void openCloseCycles();
    void devicesVanish();

private:
    std::unique_ptr<CPty> m_pIn;
    std::unique_ptr<CPty> m_pOut;
};

void TestSoakSerial::init()
{
    m_pIn = std::make_unique<CPty>();
    m_pOut = std::make_unique<CPty>();
    QVERIFY(m_pIn->IsValid() && m_pOut->IsValid());
}

// Every Startup / Reset closes both serial ports and opens them again; each
// cycle carries a byte through, and nothing piles up.
void TestSoakSerial::openCloseCycles()
{
    const qint64 nCycles = soak::Count(200, 1000);
    const qint64 nEvery = qMax<qint64>(1, nCycles / 10);
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", m_pIn->m_strSlave}, {"COM8", m_pOut->m_strSlave}});
    rig.doc.m_strInSetup = "COM7:9600,n,8,1";
    // Eight data bits: a pseudo-terminal keeps them, and this kernel refuses
    // a second request for seven on the same pseudo-terminal.
    rig.doc.m_strOutSetup = "COM8:19200,n,8,2";
    rig.doc.m_nOutStartup = 1007;
    soak::CGrowth growth;
    QElapsedTimer clock;
    clock.start();
    for (qint64 i = 1; i <= nCycles; ++i) {
        rig.gateway.RequestStartupReset();
        QVERIFY2(rig.gateway.IsInputStarted() && rig.gateway.m_bOutStarted,
                 qPrintable(rig.host.m_boxes.join('|') + " / " + rig.Texts().join('|')));
        const QByteArray byte(1, char('a' + i % 26));
        QVERIFY(m_pIn->Send(byte));
        QByteArray got;
        QVERIFY2(soak::WaitFor([&] { return !(got += m_pOut->Take()).isEmpty(); }, 5000),
                 qPrintable(QStringLiteral("cycle %1").arg(i)));
        QCOMPARE(got, byte);
        if (i % nEvery == 0)
            growth.Take();
    }
    const qint64 nMs = clock.elapsed();
    rig.gateway.RequestStop(true);
    QVERIFY(rig.host.m_boxes.isEmpty());
    soak::Figure(QStringLiteral("serial-cycles"), QStringLiteral("cycles=%1 seconds=%2 %3")
                                                      .arg(nCycles)
                                                      .arg(double(nMs) / 1000, 0, 'f', 1)
                                                      .arg(growth.Text()));
    QVERIFY2(growth.Problems().isEmpty(), qPrintable(growth.Problems()));
}

// The Output device goes (the Input keeps running), then the Input device
// goes (the restart cannot open it and the gateway stops). Neither leaves
// the event loop spinning.
void TestSoakSerial::devicesVanish()
{
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", m_pIn->m_strSlave}, {"COM8", m_pOut->m_strSlave}});
    rig.Start("COM7:9600,n,8,1", "COM8:9600,n,8,1");
    QVERIFY(rig.gateway.IsInputStarted() && rig.gateway.m_bOutStarted);
    const soak::SResources open = soak::Sample();

    m_pOut->CloseMaster();
    QTRY_COMPARE(rig.host.m_strOutStatus, QStringLiteral("Remote closed,close myself too!"));
    QVERIFY(!rig.gateway.m_pOutSerial);
    QVERIFY(rig.gateway.IsInputStarted());
    const qint64 nOutGoneUs = CpuWhileIdle(1000);

    QSignalSpy finished(&rig.gateway, &CGateway::startupFinished);
    // The restart must find the line gone (see kMissingDevice).
    rig.gateway.SetSerialPortMap({{"COM7", kMissingDevice}});
    m_pIn->CloseMaster();
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().toBool(), false);
    QCOMPARE(rig.host.m_boxes, QStringList({"OpenComm Error!"}));
    QVERIFY(!rig.gateway.IsInputStarted());
    const qint64 nInGoneUs = CpuWhileIdle(1000);
    const soak::SResources closed = soak::Sample();

    soak::Figure(QStringLiteral("serial-vanish"),
                 QStringLiteral("cpu_us_1s_after_output_vanished=%1 cpu_us_1s_after_input_vanished=%2 "
                                "threads_open=%3 threads_after=%4 fd_open=%5 fd_after=%6")
                     .arg(nOutGoneUs)
                     .arg(nInGoneUs)
                     .arg(open.nThreads)
                     .arg(closed.nThreads)
                     .arg(open.nFds)
                     .arg(closed.nFds));
    QVERIFY2(nOutGoneUs < kIdleCpuLimitUs, qPrintable(QString::number(nOutGoneUs)));
    QVERIFY2(nInGoneUs < kIdleCpuLimitUs, qPrintable(QString::number(nInGoneUs)));
    // Both carrier threads and both devices are gone.
    QCOMPARE(closed.nThreads, open.nThreads - 2);
    QVERIFY(closed.nFds <= open.nFds - 2);
}

QTEST_GUILESS_MAIN(TestSoakSerial)
#include "tst_soakserial.moc"
