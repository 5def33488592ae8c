#include "linescript.h"
#include "pty.h"
#include "resources.h"

#include "portowner.h"
#include "serial/commport.h"
#include "serial/serialdevice.h"
#include "setup/serialmode.h"
#include "setup/serialspeed.h"

#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include <sys/ioctl.h>
#include <termios.h>

namespace {

// Records what a port asks of its owner; reads like the gateway does.
class CRecordingOwner : public IPortOwner
{
public:
    void AddMessage(const QByteArray& strText) override { m_lines.append(strText); }
    void ShowMessageBox(const QByteArray& strText) override { m_boxes.append(strText); }
    void Beep() override { ++m_nBeeps; }
    void TransferInToOut(const char* pData, int nLen) override { Receive(pData, nLen); }
    void TransferOutToIn(const char* pData, int nLen) override { Receive(pData, nLen); }
    void OnSocketClosed(CPortSocket*) override {}
    void OnCommNotify(CCommPort* pPort) override
    {
        ++m_nNotifies;
        if (m_bDeleteOnNotify) {
            delete pPort;
            return;
        }
        const QPointer<CCommPort> guard(pPort);
        char buf[500];
        for (;;) {
            const int n = pPort->Read(buf, sizeof buf);
            if (n <= 0)
                break;
            (pPort->m_bInput ? static_cast<IPortOwner*>(this) : this)->TransferInToOut(buf, n);
            if (!guard)
                return;
        }
        if (m_bHoldRearm)
            return;
        pPort->OnCommNotify();
    }
    void SetRestartTimer() override { ++m_nRestarts; }
    QMap<QByteArray, QString> SerialPortMap() const override { return m_portMap; }
    void OnSerialVanished(CCommPort* pPort) override
    {
        ++m_nVanished;
        if (m_bDeleteOnVanish)
            delete pPort;
    }

    void Receive(const char* pData, int nLen)
    {
        m_received.append(pData, nLen);
        m_nLargestChunk = std::max(m_nLargestChunk, nLen);
    }

    QByteArrayList m_lines;
    QByteArrayList m_boxes;
    QByteArray m_received;
    QMap<QByteArray, QString> m_portMap;
    int m_nLargestChunk = 0;
    int m_nBeeps = 0;
    int m_nRestarts = 0;
    int m_nNotifies = 0;
    int m_nVanished = 0;
    bool m_bDeleteOnNotify = false;
    bool m_bDeleteOnVanish = false;
    bool m_bHoldRearm = false;
};

} // namespace

class TestCommPort : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void openAppliesRawSettings();
    void openCustomRate();
    void modemLinesAtOpenAndClose_data();
    void modemLinesAtOpenAndClose();
    void closeLeavesLineShareable();
    void openFailures_data();
    void openFailures();
    void deviceRefusalShowsOneBox();
    void staleBytesDiscarded();
    void readsInChunksOfWhatWaits();
    void writeWholeBlockIntoSlowReader();
    void heldWriteDroppedOnClose();
    void writeSurvivesDeleteWhileHeld();
    void blockBehindHeldWriteKeepsOrder();
    void carrierLowHoldsReadsAndDropsWrites();
    void carrierChanges_data();
    void carrierChanges();
    void lineErrorsShownAndReadGoesOn();
    void closeWithPostQueued_data();
    void closeWithPostQueued();
    void deleteInsideNotification();
    void openCloseCyclesLeakNothing();
    void masterClosed_data();
    void masterClosed();
    void masterClosedDuringWrite();

private:
    CCommPort* OpenPort(const QByteArray& strMode, bool bDetectCarrier = false, bool bInput = true);

    std::unique_ptr<CPty> m_pPty;
    std::unique_ptr<CRecordingOwner> m_pOwner;
    std::shared_ptr<SLineScript> m_pScript;
};

void TestCommPort::init()
{
    m_pPty = std::make_unique<CPty>();
    QVERIFY(m_pPty->IsValid());
    m_pOwner = std::make_unique<CRecordingOwner>();
    m_pOwner->m_portMap.insert("COM7", m_pPty->m_strSlave);
    m_pScript = ScriptLineStatus();
}

void TestCommPort::cleanup()
{
    SetLineStatusFactory({});
    SetSerialApplyOverride({});
    SetSerialLineOverride({});
    m_pPty.reset();
    m_pOwner.reset();
}

CCommPort* TestCommPort::OpenPort(const QByteArray& strMode, bool bDetectCarrier, bool bInput)
{
    return new CCommPort("COM7:" + strMode, m_pOwner.get(), bDetectCarrier, bInput);
}

void TestCommPort::openAppliesRawSettings()
{
    std::unique_ptr<CCommPort> port(OpenPort("9600,e,7,2,p"));
    QVERIFY(port->IsOpen());
    QVERIFY(m_pOwner->m_boxes.isEmpty());

    termios t{};
    QCOMPARE(tcgetattr(m_pPty->m_hMaster, &t), 0);
    QCOMPARE(cfgetospeed(&t), speed_t(B9600));
    QVERIFY((t.c_cflag & (CREAD | CLOCAL)) == (CREAD | CLOCAL));
    QVERIFY(t.c_cflag & CSTOPB);
    QVERIFY(t.c_cflag & CRTSCTS);
    QCOMPARE(t.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(0));
    QCOMPARE(t.c_oflag & OPOST, tcflag_t(0));

    // Exclusive: a second open of the same device fails (root may bypass).
    if (geteuid() != 0) {
        std::unique_ptr<CCommPort> second(OpenPort("9600"));
        QVERIFY(!second->IsOpen());
        QCOMPARE(m_pOwner->m_boxes, QByteArrayList{"OpenComm Error!"});
    }

    port->Close();
    QVERIFY(!port->IsOpen());
    port->Close(); // twice is harmless
    QCOMPARE(port->Read(nullptr, 0), 0);
    char c = 'x';
    QCOMPARE(port->WriteBlock(&c, 1), 0);
    QVERIFY(port->WriteInitial(&c, 1, {}));
    QCOMPARE(port->Read(&c, 1), 0);
}

void TestCommPort::openCustomRate()
{
    std::unique_ptr<CCommPort> port(OpenPort(" baud=250000 dtr=on rts=off"));
    QVERIFY(port->IsOpen());
    SKernelLine line;
    QVERIFY(GetKernelLine(m_pPty->m_hMaster, &line));
    QCOMPARE(line.nBaud, 250000u);
}

void TestCommPort::modemLinesAtOpenAndClose_data()
{
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<QByteArrayList>("steps"); // what the port does, in order
    QTest::newRow("default") << QByteArray("9600,n,8,1") << QByteArrayList{"apply", "DTR on", "DTR off"};
    QTest::newRow("dtr=on") << QByteArray(" baud=9600 dtr=on") << QByteArrayList{"apply", "DTR on", "DTR off"};
    // The kernel raised DTR and RTS at the open: what is to be low goes down
    // before anything else, and again once the settings are applied.
    QTest::newRow("dtr=off") << QByteArray(" baud=9600 dtr=off") << QByteArrayList{"DTR off", "apply", "DTR off", "DTR off"};
    QTest::newRow("dtr=off rts=on")
        << QByteArray(" baud=9600 dtr=off rts=on") << QByteArrayList{"DTR off", "apply", "RTS on", "DTR off", "DTR off"};
    QTest::newRow("rts=off")
        << QByteArray(" baud=9600 rts=off") << QByteArrayList{"RTS off", "apply", "RTS off", "DTR on", "DTR off"};
}

void TestCommPort::modemLinesAtOpenAndClose()
{
    QFETCH(QByteArray, mode);
    QFETCH(QByteArrayList, steps);
    // Ptys have no modem lines: the changes are recorded instead.
    QByteArrayList listSteps;
    SetSerialLineOverride([&](int, int nLine, bool bOn) {
        listSteps.append(QByteArray(nLine == TIOCM_DTR ? "DTR" : "RTS") + (bOn ? " on" : " off"));
    });
    SetSerialApplyOverride([&](int, const SSerialMode&) {
        listSteps.append("apply");
        return true;
    });
    std::unique_ptr<CCommPort> port(OpenPort(mode));
    QVERIFY(port->IsOpen());
    port->Close();
    QCOMPARE(listSteps, steps);
}

// The line is the port's alone while it is open, and anyone's again after
// the close, even while another program still holds it open.
void TestCommPort::closeLeavesLineShareable()
{
    const int hHolder = ::open(QFile::encodeName(m_pPty->Slave()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(hHolder >= 0);
    int nExclusive = -1;
    std::unique_ptr<CCommPort> port(OpenPort("9600,n,8,1"));
    QVERIFY(port->IsOpen());
    QCOMPARE(::ioctl(hHolder, TIOCGEXCL, &nExclusive), 0);
    QCOMPARE(nExclusive, 1);
    port->Close();
    QCOMPARE(::ioctl(hHolder, TIOCGEXCL, &nExclusive), 0);
    ::close(hHolder);
    QCOMPARE(nExclusive, 0);
}

void TestCommPort::openFailures_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<QString>("mapped"); // COM7's entry; empty keeps the pty
    QTest::addColumn<QByteArrayList>("boxes");

    const QByteArrayList open{"OpenComm Error!"};
    QTest::newRow("no colon") << QByteArray("COM7") << QString() << QByteArrayList{"Invalid Setup String!"};
    QTest::newRow("missing device") << QByteArray("COM7:9600,n,8,1") << kMissingDevice << open;
    QTest::newRow("not a terminal") << QByteArray("COM7:9600,n,8,1") << QStringLiteral("/dev/null") << open;
    QTest::newRow("relative mapping") << QByteArray("COM7:9600,n,8,1") << QStringLiteral("null") << open;
    QTest::newRow("COM0") << QByteArray("COM0:9600,n,8,1") << QString() << open;
    QTest::newRow("COMX") << QByteArray("COMX:9600,n,8,1") << QString() << open;
    QTest::newRow("bad mode, missing device") << QByteArray("COM7:9600,q") << kMissingDevice << open;
    QTest::newRow("bad parity") << QByteArray("COM7:9600,q,8,1") << QString() << QByteArrayList{"BuildCommDCB Error!", "SetCommState Error!"};
    QTest::newRow("bad baud") << QByteArray("COM7:0,n,8,1") << QString() << QByteArrayList{"BuildCommDCB Error!", "SetCommState Error!"};
    QTest::newRow("bad keyword") << QByteArray("COM7: baud=9600 dtr=hs") << QString() << QByteArrayList{"BuildCommDCB Error!", "SetCommState Error!"};
}

void TestCommPort::openFailures()
{
    QFETCH(QByteArray, setup);
    QFETCH(QString, mapped);
    QFETCH(QByteArrayList, boxes);
    if (!mapped.isEmpty())
        m_pOwner->m_portMap.insert("COM7", mapped);

    const int nFds = OpenFdCount();
    std::unique_ptr<CCommPort> port(new CCommPort(setup, m_pOwner.get(), false, true));
    QVERIFY(!port->IsOpen());
    QCOMPARE(port->m_hDevice, -1);
    QCOMPARE(m_pOwner->m_boxes, boxes);
    QCOMPARE(OpenFdCount(), nFds);

    // A failed open leaves the device free for the next one.
    if (mapped.isEmpty()) {
        std::unique_ptr<CCommPort> again(OpenPort("9600"));
        QVERIFY(again->IsOpen());
    }
}

void TestCommPort::deviceRefusalShowsOneBox()
{
    bool bAsked = false;
    SetSerialApplyOverride([&](int, const SSerialMode& mode) {
        bAsked = mode.nBaud == 19200;
        return false;
    });
    std::unique_ptr<CCommPort> port(OpenPort("19200,n,8,1"));
    QVERIFY(bAsked);
    QVERIFY(!port->IsOpen());
    QCOMPARE(m_pOwner->m_boxes, QByteArrayList{"SetCommState Error!"});
}

void TestCommPort::staleBytesDiscarded()
{
    QVERIFY(m_pPty->Send("stale bytes"));
    std::unique_ptr<CCommPort> port(OpenPort("9600"));
    QVERIFY(port->IsOpen());
    QVERIFY(m_pPty->Send("fresh"));
    QTRY_COMPARE(m_pOwner->m_received, QByteArray("fresh"));
}

void TestCommPort::readsInChunksOfWhatWaits()
{
    std::unique_ptr<CCommPort> port(OpenPort("115200"));
    QVERIFY(port->IsOpen());
    char c;
    QCOMPARE(port->Read(&c, 1), 0); // nothing waits: no blocking

    const QByteArray data = RandomBytes(3000);
    QVERIFY(m_pPty->Send(data));
    QTRY_COMPARE(m_pOwner->m_received.size(), data.size());
    QCOMPARE(m_pOwner->m_received, data);
    QCOMPARE(m_pOwner->m_nLargestChunk, 500);

    // Read never takes more than asked.
    m_pOwner->m_bHoldRearm = true;
    QVERIFY(m_pPty->Send("abcdef"));
    QTRY_COMPARE(m_pOwner->m_received.size(), data.size() + 6);
    m_pOwner->m_bHoldRearm = false;
    port->OnCommNotify();
    QVERIFY(m_pPty->Send("xyz"));
    QTRY_COMPARE(m_pOwner->m_received.right(3), QByteArray("xyz"));
}

void TestCommPort::writeWholeBlockIntoSlowReader()
{
    std::unique_ptr<CCommPort> port(OpenPort("9600"));
    QVERIFY(port->IsOpen());

    // The far end reads a little at each wake-up, while the rest is held.
    QByteArray received;
    QSocketNotifier reader(m_pPty->m_hMaster, QSocketNotifier::Read);
    connect(&reader, &QSocketNotifier::activated, [&] { received += m_pPty->Take(997); });

    const QByteArray data = RandomBytes(1 << 20);
    bool bWritten = false;
    QVERIFY(!port->WriteInitial(data.constData(), int(data.size()), [&] { bWritten = true; }));
    QTRY_VERIFY(bWritten);
    QTRY_COMPARE(received.size(), data.size());
    QCOMPARE(received, data);
}

void TestCommPort::heldWriteDroppedOnClose()
{
    std::unique_ptr<CCommPort> port(OpenPort("9600"));
    QVERIFY(port->IsOpen());
    // Nobody reads the master: the rest stays held until the port closes,
    // and then nothing reports.
    bool bWritten = false;
    const QByteArray data = RandomBytes(1 << 20);
    QVERIFY(!port->WriteInitial(data.constData(), int(data.size()), [&] { bWritten = true; }));
    QTest::qWait(50);
    QVERIFY(!bWritten);
    port->Close();
    const QByteArray taken = m_pPty->TakeAll();
    QVERIFY(!taken.isEmpty() && taken.size() < data.size());
    QCOMPARE(taken, data.left(taken.size()));
    QTest::qWait(50);
    QVERIFY(!bWritten);
}

void TestCommPort::writeSurvivesDeleteWhileHeld()
{
    QPointer<CCommPort> port(OpenPort("9600"));
    QVERIFY(port->IsOpen());
    bool bWritten = false;
    const QByteArray data = RandomBytes(1 << 20);
    QVERIFY(!port->WriteInitial(data.constData(), int(data.size()), [&] { bWritten = true; }));
    QTimer::singleShot(50, [&] { delete port.data(); });
    QTRY_VERIFY(port.isNull());
    QVERIFY(m_pPty->TakeAll().size() < data.size());
    QTest::qWait(50);
    QVERIFY(!bWritten);
}

void TestCommPort::blockBehindHeldWriteKeepsOrder()
{
    std::unique_ptr<CCommPort> port(OpenPort("9600"));
    QVERIFY(port->IsOpen());
    const QByteArray first = RandomBytes(200000);
    const QByteArray second("-- next block --");
    bool bWritten = false;
    QVERIFY(!port->WriteInitial(first.constData(), int(first.size()), [&] { bWritten = true; }));
    // Another block is sent while the first is held.
    QCOMPARE(port->WriteBlock(second.constData(), int(second.size())), int(second.size()));
    QByteArray received;
    auto* pReader = new QSocketNotifier(m_pPty->m_hMaster, QSocketNotifier::Read, port.get());
    connect(pReader, &QSocketNotifier::activated, [&] { received += m_pPty->Take(); });
    QTRY_COMPARE(received.size(), first.size() + second.size());
    QCOMPARE(received, first + second);
    QVERIFY(bWritten);
}

void TestCommPort::carrierLowHoldsReadsAndDropsWrites()
{
    m_pScript->bCarrier = false;
    std::unique_ptr<CCommPort> port(OpenPort("9600", true, false));
    QVERIFY(port->IsOpen());

    QCOMPARE(port->WriteBlock("dropped", 7), 0);
    QCOMPARE(m_pPty->Waiting(), 0);

    QVERIFY(m_pPty->Send("waited"));
    const qint64 nCpu = CpuMicroseconds();
    QTest::qWait(300);
    // Held: not read, not announced, and the loop did not spin on them.
    QCOMPARE(m_pOwner->m_nNotifies, 0);
    QVERIFY(m_pOwner->m_received.isEmpty());
    char buf[16];
    QCOMPARE(port->Read(buf, sizeof buf), 0);
    QCOMPARE(SerialBytesWaiting(port->m_hDevice), 6);
    QVERIFY2(CpuMicroseconds() - nCpu < 150000, "event loop busy while carrier is absent");

    // Carrier back: what waited is delivered without a further byte.
    m_pScript->bCarrier = true;
    QTRY_COMPARE(m_pOwner->m_received, QByteArray("waited"));
    QCOMPARE(port->WriteBlock("sent", 4), 4);
    QCOMPARE(m_pPty->Take(), QByteArray("sent"));
    // The Output port neither beeps nor restarts.
    QCOMPARE(m_pOwner->m_nBeeps, 0);
    QCOMPARE(m_pOwner->m_nRestarts, 0);
}

void TestCommPort::carrierChanges_data()
{
    QTest::addColumn<bool>("input");
    QTest::addColumn<bool>("detect");
    QTest::addColumn<bool>("brief"); // the drop and the rise fall between two looks
    QTest::addColumn<int>("beeps");  // after a drop and a rise
    QTest::addColumn<int>("restarts");

    for (bool bBrief : {false, true}) {
        const char* pszKind = bBrief ? "brief drop" : "drop";
        QTest::addRow("input, detect, %s", pszKind) << true << true << bBrief << 2 << 1;
        QTest::addRow("output, detect, %s", pszKind) << false << true << bBrief << 0 << 0;
        QTest::addRow("input, no detect, %s", pszKind) << true << false << bBrief << 0 << 0;
    }
    QTest::newRow("output, no detect") << false << false << false << 0 << 0;
}

void TestCommPort::carrierChanges()
{
    QFETCH(bool, input);
    QFETCH(bool, detect);
    QFETCH(bool, brief);
    QFETCH(int, beeps);
    QFETCH(int, restarts);

    std::unique_ptr<CCommPort> port(OpenPort("9600", detect, input));
    QVERIFY(port->IsOpen());

    if (brief) {
        // Only the driver's count tells of it.
        m_pScript->nCarrierChanges += 2;
        if (beeps > 0) {
            QTRY_COMPARE(m_pOwner->m_nBeeps, 2);
        } else {
            QVERIFY(m_pScript->WaitForPolls(2));
            QTest::qWait(20);
        }
        QVERIFY(m_pPty->Send("x"));
        QTRY_COMPARE(m_pOwner->m_received, QByteArray("x"));
        QCOMPARE(m_pOwner->m_nBeeps, beeps);
        QCOMPARE(m_pOwner->m_nRestarts, restarts);
        return;
    }
    m_pScript->bCarrier = false;
    ++m_pScript->nCarrierChanges;
    if (beeps > 0) {
        QTRY_COMPARE(m_pOwner->m_nBeeps, 1);
        QCOMPARE(m_pOwner->m_nRestarts, 1);
    } else {
        QVERIFY(m_pScript->WaitForPolls(2));
        QTest::qWait(20);
    }
    // Without Detect Carrier the line is not looked at: data flows.
    QVERIFY(m_pPty->Send("x"));
    if (!detect)
        QTRY_COMPARE(m_pOwner->m_received, QByteArray("x"));

    m_pScript->bCarrier = true;
    ++m_pScript->nCarrierChanges;
    if (beeps > 0) {
        QTRY_COMPARE(m_pOwner->m_nBeeps, 2);
    } else {
        QVERIFY(m_pScript->WaitForPolls(2));
        QTest::qWait(20);
    }
    QTRY_COMPARE(m_pOwner->m_received, QByteArray("x"));
    QCOMPARE(m_pOwner->m_nBeeps, beeps);
    QCOMPARE(m_pOwner->m_nRestarts, restarts);
}

void TestCommPort::lineErrorsShownAndReadGoesOn()
{
    std::unique_ptr<CCommPort> port(OpenPort("9600"));
    QVERIFY(port->IsOpen());
    m_pScript->nErrors = CE_FRAME | CE_OVERRUN;
    QVERIFY(m_pPty->Send("data"));
    QTRY_COMPARE(m_pOwner->m_received, QByteArray("data"));
    QCOMPARE(m_pOwner->m_boxes, QByteArrayList{"<CE-10>"});
    QVERIFY(m_pPty->Send("more"));
    QTRY_COMPARE(m_pOwner->m_received, QByteArray("datamore"));
    QCOMPARE(m_pOwner->m_boxes.size(), 1);
}

void TestCommPort::closeWithPostQueued_data()
{
    QTest::addColumn<bool>("deletePort");
    QTest::newRow("closed") << false;
    QTest::newRow("deleted") << true;
}

void TestCommPort::closeWithPostQueued()
{
    QFETCH(bool, deletePort);
    std::unique_ptr<CCommPort> port(OpenPort("9600", true, true));
    QVERIFY(port->IsOpen());
    QVERIFY(m_pPty->Send("pending"));

    // The carrier thread sees the drop and posts it; the port closes before
    // the post (and the data notification) is handled.
    m_pScript->bCarrier = false;
    QVERIFY(m_pScript->WaitForPolls(2));
    if (deletePort)
        port.reset();
    else
        port->Close();
    QTest::qWait(100);
    QCOMPARE(m_pOwner->m_nBeeps, 0);
    QCOMPARE(m_pOwner->m_nRestarts, 0);
    QCOMPARE(m_pOwner->m_nNotifies, 0);
}

void TestCommPort::deleteInsideNotification()
{
    QPointer<CCommPort> port(OpenPort("9600"));
    QVERIFY(port->IsOpen());
    // The owner stops while handling a notification.
    m_pOwner->m_bDeleteOnNotify = true;
    QVERIFY(m_pPty->Send("bye"));
    QTRY_VERIFY(port.isNull());
    QCOMPARE(m_pOwner->m_nNotifies, 1);

    // Notified but not re-armed when deleted.
    m_pOwner->m_bDeleteOnNotify = false;
    m_pOwner->m_bHoldRearm = true;
    QPointer<CCommPort> second(OpenPort("9600"));
    QVERIFY(second->IsOpen());
    QVERIFY(m_pPty->Send("x"));
    QTRY_COMPARE(m_pOwner->m_nNotifies, 2);
    delete second.data();
    QVERIFY(m_pPty->Send("y"));
    QTest::qWait(50);
    QCOMPARE(m_pOwner->m_nNotifies, 2);
}

void TestCommPort::openCloseCyclesLeakNothing()
{
    SetLineStatusFactory({}); // the real source, as in use
    delete OpenPort("9600"); // warm-up: Qt's own lazily made objects
    const int nFds = OpenFdCount();
    const int nThreads = ThreadCount();
    for (int i = 0; i < 1000; ++i) {
        std::unique_ptr<CCommPort> port(OpenPort(i % 2 ? "9600,n,8,1" : "31250,e,7,2"));
        QVERIFY(port->IsOpen());
        if (i % 100 == 0)
            QCoreApplication::processEvents();
    }
    QCOMPARE(OpenFdCount(), nFds);
    QCOMPARE(ThreadCount(), nThreads);
    QVERIFY(m_pOwner->m_boxes.isEmpty());
}

void TestCommPort::masterClosed_data()
{
    QTest::addColumn<bool>("input");
    QTest::addColumn<bool>("detect");
    QTest::newRow("input") << true << false;
    QTest::newRow("input, detect") << true << true;
    QTest::newRow("output") << false << false;
    QTest::newRow("output, detect") << false << true;
}

void TestCommPort::masterClosed()
{
    QFETCH(bool, input);
    QFETCH(bool, detect);
    SetLineStatusFactory({}); // a pty: carrier present, no errors
    QPointer<CCommPort> port(OpenPort("9600", detect, input));
    QVERIFY(port->IsOpen());
    m_pOwner->m_bDeleteOnVanish = true;

    QVERIFY(m_pPty->Send("last"));
    QTRY_COMPARE(m_pOwner->m_received, QByteArray("last"));
    m_pPty->CloseMaster();

    if (input) {
        QTRY_COMPARE(m_pOwner->m_nRestarts, 1);
        QCOMPARE(m_pOwner->m_nVanished, 0);
        char buf[8];
        QCOMPARE(port->Read(buf, sizeof buf), 0);
        QCOMPARE(port->WriteBlock("x", 1), 0);
        // Nothing keeps the loop busy while the restart is pending.
        const int nNotifies = m_pOwner->m_nNotifies;
        const qint64 nCpu = CpuMicroseconds();
        QTest::qWait(200);
        QVERIFY2(CpuMicroseconds() - nCpu < 100000, "event loop busy after hang-up");
        QCOMPARE(m_pOwner->m_nNotifies, nNotifies);
        QCOMPARE(m_pOwner->m_nRestarts, 1);
        delete port.data();
    } else {
        QTRY_VERIFY(port.isNull());
        QCOMPARE(m_pOwner->m_nVanished, 1);
        QCOMPARE(m_pOwner->m_nRestarts, 0);
    }
    QCOMPARE(m_pOwner->m_nBeeps, 0);
}

void TestCommPort::masterClosedDuringWrite()
{
    SetLineStatusFactory({});
    std::unique_ptr<CCommPort> port(OpenPort("9600", false, true));
    QVERIFY(port->IsOpen());
    QTimer::singleShot(50, [&] { m_pPty->CloseMaster(); });
    const QByteArray data = RandomBytes(1 << 20);
    bool bWritten = false;
    QVERIFY(!port->WriteInitial(data.constData(), int(data.size()), [&] { bWritten = true; }));
    // The rest can no longer go out: the write is over, and the Input restarts.
    QTRY_VERIFY(bWritten);
    QTRY_COMPARE(m_pOwner->m_nRestarts, 1);
    QCOMPARE(port->WriteBlock("x", 1), 0);
}

QTEST_GUILESS_MAIN(TestCommPort)
#include "tst_commport.moc"
