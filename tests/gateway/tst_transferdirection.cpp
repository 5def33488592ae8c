// One direction on its own, between two loopback UDP ports: a block that
// waits for the start of its destination, and the rest of its read.
#include "portowner.h"
#include "socket/portsocket.h"
#include "trafficobserver.h"
#include "transferdirection.h"

#include <QTest>
#include <QNetworkDatagram>
#include <QUdpSocket>

namespace {

// The gateway around the direction, and the owner of its ports.
class CDirectionRig : public IDirectionHost, public IPortOwner
{
public:
    void AddMessage(const QByteArray& strText) override { m_lines.append(strText); }
    void KillTimer(int) override {}
    bool IsStopping() const override { return false; }
    EStart StartDestination() override
    {
        ++m_nStarts;
        return m_answers.isEmpty() ? Failed : m_answers.takeFirst();
    }
    void ShowMessageBox(const QByteArray&) override {}
    void Beep() override {}
    void TransferInToOut(const char*, int) override {}
    void TransferOutToIn(const char*, int) override {}
    void OnSocketClosed(CPortSocket*) override {}
    void OnCommNotify(CCommPort*) override {}
    void SetRestartTimer() override {}

    QByteArrayList m_lines;
    QList<EStart> m_answers;
    int m_nStarts = 0;
    bool m_bStarted = false;
    CTrafficObserver m_observer;
    CCommPort* m_pNoSerial = nullptr;
    CPortSocket* m_pSource = nullptr;
    CPortSocket* m_pDestination = nullptr;
    CTransferDirection m_direction {true, {m_pNoSerial, m_pSource}, {m_pNoSerial, m_pDestination}, 1,
                                    &m_bStarted, this, &m_observer};
};

} // namespace

class TestTransferDirection : public QObject
{
    Q_OBJECT
private slots:
    void blockWaitsForItsDestination_data();
    void blockWaitsForItsDestination();
};

void TestTransferDirection::blockWaitsForItsDestination_data()
{
    QTest::addColumn<bool>("started");
    QTest::addColumn<int>("starts");
    QTest::addColumn<int>("datagrams");
    // Both blocks of the read go out, in order, once the start is over.
    QTest::newRow("destination starts") << true << 1 << 2;
    // The held block is dropped; the next one tries the start again.
    QTest::newRow("destination fails") << false << 2 << 0;
}

void TestTransferDirection::blockWaitsForItsDestination()
{
    QFETCH(bool, started);
    QFETCH(int, starts);
    QFETCH(int, datagrams);
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress::LocalHost));
    CDirectionRig rig;
    CPortSocket source(CPortSocket::SocketUdp, &rig, true);
    CPortSocket destination(CPortSocket::SocketUdp, &rig, false);
    QVERIFY(source.Create() && destination.Create());
    destination.m_nPeerPort = peer.localPort();
    destination.m_strPeerAddress = "127.0.0.1";
    rig.m_pSource = &source;
    rig.m_pDestination = &destination;
    rig.m_answers = {IDirectionHost::Pending, IDirectionHost::Failed};

    QByteArray read(CPortSocket::kReceiveBlock + 88, 'a');
    read[CPortSocket::kReceiveBlock] = 'b';
    QVERIFY(!rig.m_direction.OnRead(&source, read.constData(), read.size()));
    QVERIFY(rig.m_direction.IsParked());
    QCOMPARE(rig.m_nStarts, 1);

    rig.m_bStarted = started;
    rig.m_direction.OnDestinationDrained();
    QVERIFY(!rig.m_direction.IsParked());
    QCOMPARE(rig.m_nStarts, starts);
    QByteArrayList received;
    while (peer.waitForReadyRead(datagrams > received.size() ? 2000 : 100))
        while (peer.hasPendingDatagrams())
            received.append(peer.receiveDatagram().data());
    QCOMPARE(received.size(), datagrams);
    if (datagrams)
        QCOMPARE(received.join(), read);
    const STrafficCounters& counters = rig.m_observer.Counters();
    QCOMPARE(counters.m_nBlocksReceived[0], quint64(2));
    QCOMPARE(counters.m_nBlocksSent[0], quint64(datagrams));
    QVERIFY(rig.m_lines.isEmpty());
}

QTEST_GUILESS_MAIN(TestTransferDirection)
#include "tst_transferdirection.moc"
