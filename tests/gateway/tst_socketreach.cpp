// Listening TCP ports, UDP on a fixed local port, IPv6 addresses and name
// lookups, through the gateway with real loopback peers. Host names never
// reach the machine's resolver: a replaceable lookup stands in for it.
#include "fullserver.h"
#include "loopback.h"
#include "resources.h"
#include "testhost.h"

#include "openport.h"
#include "portowner.h"
#include "setup/setupstring.h"
#include "socket/hostlookup.h"
#include "socket/portsocket.h"
#include "socket/tcplistener.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

quint16 LocalPort(int hSocket)
{
    sockaddr_storage local {};
    socklen_t nLength = sizeof local;
    ::getsockname(hSocket, reinterpret_cast<sockaddr*>(&local), &nLength);
    if (local.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

int LocalFamily(int hSocket)
{
    sockaddr_storage local {};
    socklen_t nLength = sizeof local;
    ::getsockname(hSocket, reinterpret_cast<sockaddr*>(&local), &nLength);
    return local.ss_family;
}

quint16 ListenPort(CPortSocket* pSocket)
{
    return pSocket && pSocket->Listener() ? pSocket->Listener()->LocalPort() : 0;
}

// A client of a listening port, collecting what it receives.
struct SClient
{
    QTcpSocket socket;
    SSink sink;
    explicit SClient(quint16 nPort, const QHostAddress& address = QHostAddress::LocalHost)
    {
        socket.connectToHost(address, nPort);
        sink.Attach(&socket);
    }
};

// Blocks the gateway dropped for lack of a client (bInToOut: read on the
// Input, for the Output).
quint64 NoClient(SGatewayRig& rig, bool bInToOut)
{
    return rig.gateway.Observer().Counters().m_nNoClient[bInToOut ? 0 : 1];
}

bool HaveIPv6Loopback()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHostIPv6);
}

// A port owner that only records lines, for OpenPort on its own.
class CLineOwner : public IPortOwner
{
public:
    void AddMessage(const QByteArray& strText) override { m_lines.append(QString::fromLatin1(strText)); }
    void ShowMessageBox(const QByteArray& strText) override { m_lines.append("box:" + QString::fromLatin1(strText)); }
    void Beep() override {}
    void TransferInToOut(const char*, int) override {}
    void TransferOutToIn(const char*, int) override {}
    void OnSocketClosed(CPortSocket*) override {}
    void OnCommNotify(CCommPort*) override {}
    void SetRestartTimer() override {}
    QStringList m_lines;
};

// Opens one port on its own and waits until the open is over: its result
// code (-1 when it did not end), and the port.
int OpenPort(const QByteArray& strSetup, const QByteArray& strInitial, IPortOwner* pOwner, CCommPort** ppSerial,
             CPortSocket** ppSocket)
{
    CPortOpening opening(strSetup, strInitial, true, false, pOwner);
    int nResult = -1;
    opening.Start([&](int n) { nResult = n; });
    if (!QTest::qWaitFor([&] { return nResult != -1; }, 15000))
        return -1;
    opening.TakePort(ppSerial, ppSocket);
    return nResult;
}

// The stand-in resolver: a few names, a name that never resolves and one
// whose lookup does not answer until released.
std::mutex g_mutex;
std::condition_variable g_released;
bool g_bRelease = false;
std::atomic<int> g_nLookups {0};

bool TestResolve(const QByteArray& strName, SSocketAddress* pAddress)
{
    ++g_nLookups;
    if (strName == "localhost")
        return CHostLookup::SystemResolve(strName, pAddress);
    if (strName == "v4.test")
        return ParseNumericAddress("127.0.0.1", 0, pAddress);
    if (strName == "v6only.test")
        return ParseNumericAddress("::1", 0, pAddress);
    if (strName == "hanging.test") {
        std::unique_lock lock(g_mutex);
        g_released.wait(lock, [] { return g_bRelease; });
    }
    return false;
}

void ReleaseHangingLookups()
{
    std::lock_guard lock(g_mutex);
    g_bRelease = true;
    g_released.notify_all();
}

// A UDP peer that collects the datagrams it receives.
struct SDatagramPeer
{
    QUdpSocket socket;
    QList<QByteArray> datagrams;
    void Collect()
    {
        QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this] {
            while (socket.hasPendingDatagrams()) {
                QByteArray d(int(socket.pendingDatagramSize()), 0);
                socket.readDatagram(d.data(), d.size());
                datagrams.append(d);
            }
        });
    }
    qsizetype Bytes() const
    {
        qsizetype n = 0;
        for (const QByteArray& d : datagrams)
            n += d.size();
        return n;
    }
};

int g_nSendTo = 0;
long CountingSendTo(int, const void*, unsigned long nLen, const sockaddr*, unsigned)
{
    ++g_nSendTo;
    return long(nLen);
}

} // namespace

class TestSocketReach : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanupTestCase();
    void clientFormsKeepTheirResults_data();
    void clientFormsKeepTheirResults();
    void splitForms_data();
    void splitForms();
    void splitTlsSections_data();
    void splitTlsSections();
    void listeningInputRelaysAndReplacesClients();
    void listeningInputSurvivesRestart();
    void listeningOutputDropsWithoutClient();
    void newClientReplacesStuckOne();
    void halfClosedClientGetsAnswer_data();
    void halfClosedClientGetsAnswer();
    void listenErrors();
    void udpFixedPortFollowsPeer();
    void udpInitialStringBounded_data();
    void udpInitialStringBounded();
    void ipv6ClientForms();
    void ipv6Listening();
    void unresolvableNames();
    void hangingLookupLeavesLoopRunning();
    void connectTimeoutNeverEarly();
    void udpNameIsKept();
};

void TestSocketReach::init()
{
    CHostLookup::s_pfnResolve = TestResolve;
    g_nLookups = 0;
}

void TestSocketReach::cleanupTestCase()
{
    ReleaseHangingLookups();
    CHostLookup::s_pfnResolve = CHostLookup::SystemResolve;
}

// Every client form keeps its result code and its lines.
void TestSocketReach::clientFormsKeepTheirResults_data()
{
    QTest::addColumn<QByteArray>("setup"); // %1: a listening server's port, %2: a closed port
    QTest::addColumn<int>("nCode");
    QTest::addColumn<QStringList>("lines");
    const QStringList connected = {"Connect TCP..."};
    const QStringList created = {"Create UDP..."};
    QTest::newRow("tcp") << QByteArray("TCP:%1,127.0.0.1") << 0 << connected;
    QTest::newRow("tcp spaces before port") << QByteArray("TCP:  %1,127.0.0.1") << 0 << connected;
    QTest::newRow("tcp plus sign") << QByteArray("TCP:+%1,127.0.0.1") << 0 << connected;
    QTest::newRow("tcp digits then letters") << QByteArray("TCP:%1x,127.0.0.1") << 0 << connected;
    QTest::newRow("tcp longer kind") << QByteArray("TCPIP:%1,127.0.0.1") << 0 << connected;
    QTest::newRow("tcp short dotted") << QByteArray("TCP:%1,127.1") << 0 << connected;
    QTest::newRow("tcp localhost") << QByteArray("TCP:%1,localhost") << 0 << connected;
    QTest::newRow("tcp name") << QByteArray("TCP:%1,v4.test") << 0 << connected;
    QTest::newRow("tcp semicolon in port") << QByteArray("TCP:%1;x,127.0.0.1") << 0 << connected;
    QTest::newRow("tcp refused") << QByteArray("TCP:%2,127.0.0.1") << 3
                                 << QStringList({"Connect TCP...", "Connect error! not 10035",
                                                 "TCP Connect Error:10061,port:%2,addr:127.0.0.1"});
    QTest::newRow("tcp empty address") << QByteArray("TCP:%1,") << 3
                                       << QStringList({"Connect TCP...", "Connect error! not 10035",
                                                       "TCP Connect Error:10022,port:%1,addr:"});
    QTest::newRow("udp") << QByteArray("UDP:%1,127.0.0.1") << 0 << created;
    QTest::newRow("udp empty port") << QByteArray("UDP:,127.0.0.1") << 0 << created;
    QTest::newRow("udp name") << QByteArray("UDP:%1,v4.test") << 0 << created;
    QTest::newRow("udp comma in address") << QByteArray("UDP:%1,127.0.0.1,x") << 0 << created;
    QTest::newRow("udp broadcast") << QByteArray("UDP:9,255.255.255.255") << 0 << created;
    QTest::newRow("udp 31 characters") << QByteArray("UDP:%1,") + QByteArray(31, 'a') << 0 << created;
    QTest::newRow("tcp 32 characters") << QByteArray("TCP:%1,") + QByteArray(32, 'a') << 11
                                       << QStringList({"Invalid Setup String!"});
    QTest::newRow("tcp no comma") << QByteArray("TCP:%1 ") << 11 << QStringList({"Invalid Setup String!"});
    QTest::newRow("tcp unknown option") << QByteArray("TCP:%1;bogus=1") << 11 << QStringList({"Invalid Setup String!"});
    QTest::newRow("udp no colon") << QByteArray("UDP%1") << 12 << QStringList({"Invalid Setup String!"});
    QTest::newRow("udp bad local address") << QByteArray("UDP:%1@host") << 13
                                           << QStringList({"Invalid Setup String!"});
    QTest::newRow("lower case") << QByteArray("tcp:%1") << 20 << QStringList({"Invalid Setup String!"});
}

void TestSocketReach::clientFormsKeepTheirResults()
{
    QFETCH(QByteArray, setup);
    QFETCH(int, nCode);
    QFETCH(QStringList, lines);
    const auto pfnSaved = CPortSocket::s_pfnSendTo;
    CPortSocket::s_pfnSendTo = CountingSendTo; // the broadcast row sends nothing for real
    QTcpServer server, probe;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QByteArray strClosed = QByteArray::number(probe.serverPort());
    probe.close();
    const QByteArray strPort = QByteArray::number(server.serverPort());
    setup.replace("%1", strPort).replace("%2", strClosed);
    for (QString& strLine : lines)
        strLine.replace("%1", strPort).replace("%2", strClosed);

    CLineOwner owner;
    CCommPort* pSerial = nullptr;
    CPortSocket* pSocket = nullptr;
    const int nResult = OpenPort(setup, "hi", &owner, &pSerial, &pSocket);
    CPortSocket::s_pfnSendTo = pfnSaved;
    QCOMPARE(nResult, nCode);
    QCOMPARE(owner.m_lines, lines);
    QCOMPARE(pSocket != nullptr, nCode == 0);
    QVERIFY(!pSerial);
    if (pSocket && setup.startsWith("TCP")) {
        QTcpSocket* pPeer = Accept(server);
        QVERIFY(pPeer);
        SSink sink;
        sink.Attach(pPeer);
        QTRY_COMPARE(sink.data, QByteArray("hi"));
    }
    delete pSocket;
}

void TestSocketReach::splitForms_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<int>("nCode");
    QTest::addColumn<bool>("bLocal");
    QTest::addColumn<int>("nPort");
    QTest::addColumn<QByteArray>("address");
    // New forms.
    QTest::newRow("listen") << QByteArray("TCP:4001") << 0 << true << 4001 << QByteArray();
    QTest::newRow("listen v4") << QByteArray("TCP:4001@127.0.0.1") << 0 << true << 4001 << QByteArray("127.0.0.1");
    QTest::newRow("listen v6") << QByteArray("TCP:4001@::1") << 0 << true << 4001 << QByteArray("::1");
    QTest::newRow("udp fixed") << QByteArray("UDP:65535") << 0 << true << 65535 << QByteArray();
    QTest::newRow("udp fixed scoped") << QByteArray("UDP:5000@fe80::1%lo") << 0 << true << 5000
                                      << QByteArray("fe80::1%lo");
    const QByteArray strLong = "0000:0000:0000:0000:0000:ffff:255.255.255.255"; // 45 characters
    QTest::newRow("long v6 client") << "TCP:1," + strLong << 0 << false << 1 << strLong;
    QTest::newRow("scoped v6 client") << "UDP:5000," + strLong + "%eth0" << 0 << false << 5000
                                      << strLong + "%eth0";
    // Refused as before.
    QTest::newRow("no port") << QByteArray("TCP:") << 11 << false << 0 << QByteArray();
    QTest::newRow("port out of range") << QByteArray("TCP:65536") << 11 << false << 0 << QByteArray();
    QTest::newRow("signed port") << QByteArray("UDP:+1") << 13 << false << 0 << QByteArray();
    QTest::newRow("spaced port") << QByteArray("TCP: 1") << 11 << false << 0 << QByteArray();
    QTest::newRow("empty local address") << QByteArray("TCP:1@") << 11 << false << 0 << QByteArray();
    QTest::newRow("local name") << QByteArray("TCP:1@localhost") << 11 << false << 0 << QByteArray();
    QTest::newRow("short dotted local") << QByteArray("TCP:1@127.1") << 11 << false << 0 << QByteArray();
    QTest::newRow("longer kind") << QByteArray("TCPX:1") << 11 << false << 0 << QByteArray();
    QTest::newRow("comma before colon") << QByteArray("UDP,1:1025") << 13 << false << 0 << QByteArray();
    QTest::newRow("long name") << "TCP:1," + QByteArray(32, 'a') << 11 << false << 0 << QByteArray();
    QTest::newRow("too long v6") << "TCP:1,0" + strLong << 11 << false << 0 << QByteArray();
    QTest::newRow("long scope") << "TCP:1," + strLong + "%" + QByteArray(16, 'e') << 11 << false << 0 << QByteArray();
    QTest::newRow("long bad scope") << "TCP:1," + strLong + "%a b" << 11 << false << 0 << QByteArray();
    // Options of the local forms, after ";".
    QTest::newRow("listen options") << QByteArray("TCP:4001;clients=refuse;allow=10.0.0.0/8+::1") << 0 << true
                                    << 4001 << QByteArray();
    QTest::newRow("listen v6 options") << QByteArray("TCP:4001@::1;allow=::1/128") << 0 << true << 4001
                                       << QByteArray("::1");
    QTest::newRow("udp options") << QByteArray("UDP:5000@127.0.0.1;allow=127.0.0.1") << 0 << true << 5000
                                 << QByteArray("127.0.0.1");
    QTest::newRow("shared listen") << QByteArray("TCP:4001@127.0.0.1;clients=4") << 0 << true << 4001
                                   << QByteArray("127.0.0.1");
    QTest::newRow("shared, too many") << QByteArray("TCP:4001;clients=65") << 11 << false << 0 << QByteArray();
    QTest::newRow("udp shared") << QByteArray("UDP:5000;clients=2") << 13 << false << 0 << QByteArray();
    QTest::newRow("unknown option") << QByteArray("TCP:4001;bogus=1") << 11 << false << 0 << QByteArray();
    QTest::newRow("udp clients") << QByteArray("UDP:5000;clients=refuse") << 13 << false << 0 << QByteArray();
    QTest::newRow("empty option") << QByteArray("TCP:4001;") << 11 << false << 0 << QByteArray();
    QTest::newRow("options on a bad port") << QByteArray("TCP:x;clients=refuse") << 11 << false << 0 << QByteArray();
    // A "," after the ":" still makes a client form, ";" or not.
    QTest::newRow("semicolon in port field") << QByteArray("TCP:1;a=b,host") << 0 << false << 1 << QByteArray("host");
    QTest::newRow("comma in options") << QByteArray("TCP:4001;allow=10.0.0.1,10.0.0.2") << 11 << false << 0
                                      << QByteArray();
    QTest::newRow("short options, comma") << QByteArray("UDP:1;a,10.0.0.2") << 0 << false << 1
                                          << QByteArray("10.0.0.2");
    // TLS, refused before, with the code of an unknown kind when not one
    // of its exact forms.
    QTest::newRow("tls listen") << QByteArray("TLS:4001") << 0 << true << 4001 << QByteArray();
    QTest::newRow("tls listen options") << QByteArray("TLS:4001@::1;clients=refuse;allow=::1") << 0 << true << 4001
                                        << QByteArray("::1");
    QTest::newRow("tls client") << QByteArray("TLS:4001,device.example") << 0 << false << 4001
                                << QByteArray("device.example");
    QTest::newRow("tls long name") << "TLS:1," + QByteArray(253, 'a') << 0 << false << 1 << QByteArray(253, 'a');
    QTest::newRow("tls client v6") << QByteArray("TLS:1,fd00::1") << 0 << false << 1 << QByteArray("fd00::1");
    QTest::newRow("tls too long name") << "TLS:1," + QByteArray(254, 'a') << 20 << false << 0 << QByteArray();
    QTest::newRow("tls port 0") << QByteArray("TLS:0,host") << 20 << false << 0 << QByteArray();
    QTest::newRow("tls odd port") << QByteArray("TLS:+1,host") << 20 << false << 0 << QByteArray();
    QTest::newRow("tls empty host") << QByteArray("TLS:1,") << 20 << false << 0 << QByteArray();
    QTest::newRow("tls host with comma") << QByteArray("TLS:1,a,b") << 20 << false << 0 << QByteArray();
    QTest::newRow("tls longer kind") << QByteArray("TLSX:1,host") << 20 << false << 0 << QByteArray();
    QTest::newRow("tls unknown option") << QByteArray("TLS:4001;bogus=1") << 20 << false << 0 << QByteArray();
    QTest::newRow("tls shared clients") << QByteArray("TLS:4001;clients=4") << 0 << true << 4001 << QByteArray();
}

void TestSocketReach::splitForms()
{
    QFETCH(QByteArray, setup);
    QFETCH(int, nCode);
    QFETCH(bool, bLocal);
    QFETCH(int, nPort);
    QFETCH(QByteArray, address);
    SWinsockSetup split;
    QCOMPARE(SplitWinsockSetup(setup, RecognisePortKind(setup), &split), nCode);
    if (nCode != 0)
        return;
    QCOMPARE(split.bLocal, bLocal);
    QCOMPARE(split.nPort, nPort);
    QCOMPARE(split.strAddress, address);
}

void TestSocketReach::splitTlsSections_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<int>("nCode");
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QByteArray>("section");
    QTest::newRow("listening") << QByteArray("TLS:4001;tls=plant") << 0 << QByteArray() << QByteArray("plant");
    QTest::newRow("with other options") << QByteArray("TLS:4001@::1;clients=4;tls=Line_2-b") << 0 << QByteArray("::1")
                                        << QByteArray("Line_2-b");
    QTest::newRow("client") << QByteArray("TLS:4001;tls=vendor,device.example") << 0 << QByteArray("device.example")
                            << QByteArray("vendor");
    QTest::newRow("client, none") << QByteArray("TLS:4001,device.example") << 0 << QByteArray("device.example")
                                  << QByteArray();
    QTest::newRow("client, other option") << QByteArray("TLS:4001;clients=4,host") << 20 << QByteArray()
                                          << QByteArray();
    QTest::newRow("client, after the host") << QByteArray("TLS:4001,host;tls=a") << 20 << QByteArray() << QByteArray();
    QTest::newRow("client, empty name") << QByteArray("TLS:4001;tls=,host") << 20 << QByteArray() << QByteArray();
    QTest::newRow("dot in the name") << QByteArray("TLS:4001;tls=a.b") << 20 << QByteArray() << QByteArray();
    QTest::newRow("name too long") << "TLS:4001;tls=" + QByteArray(33, 'a') << 20 << QByteArray() << QByteArray();
    QTest::newRow("given twice") << QByteArray("TLS:4001;tls=a;tls=b") << 20 << QByteArray() << QByteArray();
    QTest::newRow("TCP port") << QByteArray("TCP:4001;tls=a") << 11 << QByteArray() << QByteArray();
    QTest::newRow("UDP port") << QByteArray("UDP:5000;tls=a") << 13 << QByteArray() << QByteArray();
    // A "," after the ":" makes a TCP client form, as it always did.
    QTest::newRow("TCP client") << QByteArray("TCP:1;tls=a,host") << 0 << QByteArray("host") << QByteArray();
}

// tls=<name>: the section of a TLS port, in both its forms; refused
// anywhere else, with the codes those strings always had.
void TestSocketReach::splitTlsSections()
{
    QFETCH(QByteArray, setup);
    QFETCH(int, nCode);
    QFETCH(QByteArray, address);
    QFETCH(QByteArray, section);
    SWinsockSetup split;
    QByteArray strProblem;
    QCOMPARE(SplitWinsockSetup(setup, RecognisePortKind(setup), &split, &strProblem), nCode);
    if (nCode != 0) {
        QVERIFY2(!strProblem.isEmpty() || !setup.contains("tls=") || setup.contains(",host;"), setup.constData());
        return;
    }
    QCOMPARE(split.strAddress, address);
    QCOMPARE(split.options.strTlsSection, section);
}

void TestSocketReach::listeningInputRelaysAndReplacesClients()
{
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_strInInitial = "HELLO\\r";
    rig.doc.m_bNoInInitResponse = 1;
    rig.Start("TCP:0@127.0.0.1", TcpSetup(outServer));
    QCOMPARE(rig.Texts(), QStringList({"Listen TCP...", "Done!", "Connect TCP...", "Done!"}));
    QCOMPARE(rig.host.m_strInStatus, QStringLiteral("Input Startup!"));
    const quint16 nPort = ListenPort(rig.gateway.m_pInSocket);
    QVERIFY(nPort != 0);
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pOut);
    SSink outSink;
    outSink.Attach(pOut);

    // A client that connects later gets the initial string; its first
    // response is held back, the rest relays byte-exact both ways.
    SClient first(nPort);
    QTRY_COMPARE(first.sink.data, QByteArray("HELLO\r"));
    first.socket.write("OK");
    QTRY_VERIFY(!rig.gateway.InToOut().IsSkipping());
    QVERIFY(rig.Texts().last().startsWith("TCP Client Accepted,port:"));
    const QByteArray forward = RandomBytes(1 << 20);
    const QByteArray backward = RandomBytes((1 << 20) + 3, 2);
    first.socket.write(forward);
    pOut->write(backward);
    QTRY_COMPARE_WITH_TIMEOUT(outSink.data.size(), forward.size(), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(first.sink.data.size(), 6 + backward.size(), 30000);
    QVERIFY(outSink.data == forward);
    QVERIFY(first.sink.data.mid(6) == backward);

    // A second client replaces the first, which is closed; it gets the
    // initial string too and its first response is held back again.
    SClient second(nPort);
    QTRY_COMPARE(second.sink.data, QByteArray("HELLO\r"));
    QTRY_COMPARE(first.socket.state(), QAbstractSocket::UnconnectedState);
    const QStringList texts = rig.Texts();
    QVERIFY(texts.at(texts.size() - 2).startsWith("TCP Client Replaced,port:"));
    QVERIFY(!texts.contains("Remote Input closed,close ALL & ReStart!"));
    second.socket.write("OK");
    QTRY_VERIFY(!rig.gateway.InToOut().IsSkipping());
    second.socket.write("data");
    pOut->write("back");
    QTRY_COMPARE(outSink.data.size(), forward.size() + 4);
    QVERIFY(outSink.data.endsWith("data"));
    QTRY_COMPARE(second.sink.data, QByteArray("HELLO\rback"));
    QVERIFY(rig.gateway.IsInputStarted());
}

void TestSocketReach::listeningInputSurvivesRestart()
{
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.gateway.SetTimerPeriods(12000, 500);
    rig.doc.m_strInInitial = "HI";
    rig.Start("TCP:0@127.0.0.1", TcpSetup(outServer));
    const quint16 nPort = ListenPort(rig.gateway.m_pInSocket);
    const int hListen = rig.gateway.m_pInSocket->Listener()->Handle();
    auto* pFirst = new QTcpSocket;
    pFirst->connectToHost(QHostAddress::LocalHost, nPort);
    QTRY_COMPARE(pFirst->bytesAvailable(), 2);
    pFirst->close();
    delete pFirst;
    QTRY_VERIFY(rig.Texts().contains("Remote Input closed,close ALL & ReStart!"));
    rig.started.clear();

    // Within the restart gap a client comes back: it is not refused, and
    // the restarted Input takes it over from the kept listening socket.
    QTcpSocket again;
    again.connectToHost(QHostAddress::LocalHost, nPort);
    QVERIFY(again.waitForConnected(2000));
    QVERIFY(rig.started.isEmpty());
    SSink sink;
    sink.Attach(&again);
    QTRY_COMPARE_WITH_TIMEOUT(sink.data, QByteArray("HI"), 5000);
    QCOMPARE(rig.started.size(), 1);
    QVERIFY(rig.gateway.IsInputStarted());
    // A client that leaves is no failure: its restart is counted apart.
    QCOMPARE(rig.gateway.Observer().Counters().m_nClientRestarts, 1u);
    QCOMPARE(rig.gateway.Observer().Counters().m_nRestarts, 0u);
    QCOMPARE(ListenPort(rig.gateway.m_pInSocket), nPort);
    QCOMPARE(rig.gateway.m_pInSocket->Listener()->Handle(), hListen);
    const QStringList texts = rig.Texts();
    const qsizetype nClosed = texts.indexOf("Remote Input closed,close ALL & ReStart!");
    QCOMPARE(texts.mid(nClosed + 1, 2), QStringList({"Listen TCP...", "Done!"}));
    QVERIFY(texts.last().startsWith("TCP Client Accepted"));

    // So does a Startup / Reset: a client that connected just before it,
    // still waiting to be taken, is taken by the new run.
    SClient waiting(nPort);
    QVERIFY(waiting.socket.waitForConnected(2000));
    rig.gateway.RequestStartupReset();
    QTRY_COMPARE(waiting.sink.data, QByteArray("HI"));
    QCOMPARE(waiting.socket.state(), QAbstractSocket::ConnectedState);

    // A stop that is no restart closes the listening socket.
    rig.gateway.RequestStop(true);
    QTcpSocket refused;
    refused.connectToHost(QHostAddress::LocalHost, nPort);
    QVERIFY(!refused.waitForConnected(2000));
}

void TestSocketReach::listeningOutputDropsWithoutClient()
{
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_strOutInitial = "OUT";
    rig.Start(TcpSetup(inServer), "TCP:0@127.0.0.1");
    QCOMPARE(rig.Texts(), QStringList({"Connect TCP...", "Done!", "Listen TCP...", "Done!"}));
    QTcpSocket* pIn = Accept(inServer);
    QVERIFY(pIn);
    SSink inSink;
    inSink.Attach(pIn);
    CPortSocket* pOutput = rig.gateway.m_pOutSocket;
    QVERIFY(pOutput);

    // No client yet: blocks are dropped and counted, one line says so.
    pIn->write("lost1");
    QTRY_COMPARE(NoClient(rig, true), quint64(1));
    pIn->write("lost2");
    QTRY_COMPARE(NoClient(rig, true), quint64(2));
    QCOMPARE(rig.Texts().count("No TCP Client! Blocks dropped"), 1);

    SClient client(ListenPort(pOutput));
    QTRY_COMPARE(client.sink.data, QByteArray("OUT"));
    const QByteArray forward = RandomBytes(1 << 20, 3);
    const QByteArray backward = RandomBytes(1 << 20, 4);
    pIn->write(forward);
    client.socket.write(backward);
    QTRY_COMPARE_WITH_TIMEOUT(client.sink.data.size(), 3 + forward.size(), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(inSink.data.size(), backward.size(), 30000);
    QVERIFY(client.sink.data.mid(3) == forward);
    QVERIFY(inSink.data == backward);

    // The client leaves: the Output stays up and waits for the next one.
    client.socket.disconnectFromHost();
    QTRY_VERIFY(rig.Texts().contains("Remote Output closed,wait for new client!"));
    QCOMPARE(rig.gateway.m_pOutSocket, pOutput);
    QVERIFY(rig.gateway.m_bOutStarted);
    pIn->write("lost3");
    QTRY_COMPARE(NoClient(rig, true), quint64(3));
    QCOMPARE(rig.Texts().count("No TCP Client! Blocks dropped"), 2);
    SClient next(ListenPort(pOutput));
    QTRY_COMPARE(next.sink.data, QByteArray("OUT"));
    pIn->write("kept");
    QTRY_COMPARE(next.sink.data, QByteArray("OUTkept"));
}

void TestSocketReach::newClientReplacesStuckOne()
{
    // A client that stopped reading (as behind a half-open connection):
    // the Output holds what it cannot take and the Input waits for it.
    // A new client takes over at once; what was held goes with the old one.
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_strOutInitial = "OUT";
    rig.Start(TcpSetup(inServer), "TCP:0@127.0.0.1");
    QTcpSocket* pIn = Accept(inServer);
    QVERIFY(pIn);
    CPortSocket* pOutput = rig.gateway.m_pOutSocket;
    const int hStuck = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int nSmall = 4096;
    ::setsockopt(hStuck, SOL_SOCKET, SO_RCVBUF, &nSmall, sizeof nSmall);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(ListenPort(pOutput));
    QCOMPARE(::connect(hStuck, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    QTRY_VERIFY(rig.Texts().last().startsWith("TCP Client Accepted"));
    const QByteArray chunk = RandomBytes(1 << 20, 6);
    for (int i = 0; i < 16 && !pOutput->HasPending(); ++i) {
        pIn->write(chunk);
        (void)QTest::qWaitFor([&] { return pIn->bytesToWrite() == 0 || pOutput->HasPending(); }, 2000);
    }
    QTRY_VERIFY(pOutput->HasPending());

    SClient next(ListenPort(pOutput));
    QTRY_VERIFY(next.sink.data.startsWith("OUT"));
    const QStringList texts = rig.Texts();
    QVERIFY(texts.at(texts.size() - 2).startsWith("TCP Client Replaced"));
    pIn->write("after");
    QTRY_VERIFY_WITH_TIMEOUT(next.sink.data.endsWith("after"), 20000);
    ::close(hStuck);
}

void TestSocketReach::halfClosedClientGetsAnswer_data()
{
    QTest::addColumn<bool>("bListeningInput");
    QTest::newRow("listening input") << true;
    QTest::newRow("listening output") << false;
}

// A client that sends its request and shuts down its sending side (nc -N)
// still gets the answer of the other side, later than a restart would
// have come; its connection ends once nothing more came for a while, and
// only then does the port take the close path.
void TestSocketReach::halfClosedClientGetsAnswer()
{
    QFETCH(bool, bListeningInput);
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    if (bListeningInput)
        rig.Start("TCP:0@127.0.0.1", TcpSetup(device));
    else
        rig.Start(TcpSetup(device), "TCP:0@127.0.0.1");
    QTcpSocket* pDevice = Accept(device);
    QVERIFY(pDevice);
    SSink deviceSink;
    deviceSink.Attach(pDevice);

    SClient client(ListenPort(bListeningInput ? rig.gateway.m_pInSocket : rig.gateway.m_pOutSocket));
    QVERIFY(client.socket.waitForConnected(2000));
    client.socket.write("status?\n");
    QVERIFY(client.socket.waitForBytesWritten(2000));
    QCOMPARE(::shutdown(int(client.socket.socketDescriptor()), SHUT_WR), 0);
    QTRY_COMPARE(deviceSink.data, QByteArray("status?\n"));
    QTest::qWait(400);
    QCOMPARE(client.socket.state(), QAbstractSocket::ConnectedState);
    pDevice->write("OK\n");
    QTest::qWait(400);
    pDevice->write("more");
    QTRY_COMPARE(client.sink.data, QByteArray("OK\nmore"));
    QVERIFY(!rig.Texts().contains(bListeningInput ? "Remote Input closed,close ALL & ReStart!"
                                                  : "Remote Output closed,wait for new client!"));
    QTRY_COMPARE_WITH_TIMEOUT(client.socket.state(), QAbstractSocket::UnconnectedState, 10000);
    QCOMPARE(client.sink.data, QByteArray("OK\nmore"));
    QTRY_VERIFY(rig.Texts().contains(bListeningInput ? "Remote Input closed,close ALL & ReStart!"
                                                     : "Remote Output closed,wait for new client!"));
}

void TestSocketReach::listenErrors()
{
    // A local port that is taken: the create error line, code 2.
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost));
    const QByteArray strPort = QByteArray::number(taken.serverPort());
    CLineOwner owner;
    CCommPort* pSerial = nullptr;
    CPortSocket* pSocket = nullptr;
    QCOMPARE(OpenPort("TCP:" + strPort + "@127.0.0.1", {}, &owner, &pSerial, &pSocket), 2);
    QCOMPARE(owner.m_lines, QStringList({"TCP Create Error:10048,port:" + strPort + ",addr:127.0.0.1"}));
    QVERIFY(!pSocket);
    QUdpSocket udpTaken;
    QVERIFY(udpTaken.bind(QHostAddress::LocalHost, 0));
    const QByteArray strUdpPort = QByteArray::number(udpTaken.localPort());
    owner.m_lines.clear();
    QCOMPARE(OpenPort("UDP:" + strUdpPort + "@127.0.0.1", {}, &owner, &pSerial, &pSocket), 4);
    QCOMPARE(owner.m_lines,
             QStringList({"Create UDP...", "UDP Create Error:10048,port:" + strUdpPort + ",addr:127.0.0.1"}));
}

void TestSocketReach::udpFixedPortFollowsPeer()
{
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_strInInitial = "hi";
    rig.Start("UDP:0@127.0.0.1", TcpSetup(outServer));
    QCOMPARE(rig.Texts(), QStringList({"Create UDP...", "Done!", "Connect TCP...", "Done!"}));
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pOut);
    SSink outSink;
    outSink.Attach(pOut);
    CPortSocket* pInput = rig.gateway.m_pInSocket;
    const quint16 nPort = LocalPort(pInput->m_hSocket);

    // Nothing is sent before a peer has been heard from.
    pOut->write("early");
    QTRY_COMPARE(NoClient(rig, false), quint64(1));

    SDatagramPeer a, b;
    QVERIFY(a.socket.bind(QHostAddress::LocalHost, 0));
    QVERIFY(b.socket.bind(QHostAddress::LocalHost, 0));
    a.Collect();
    b.Collect();

    // The peer that sends first gets the initial string, then the replies.
    a.socket.writeDatagram("from a", QHostAddress::LocalHost, nPort);
    QTRY_COMPARE(outSink.data, QByteArray("from a"));
    pOut->write("to a");
    QTRY_COMPARE(a.datagrams, QList<QByteArray>({"hi", "to a"}));

    // A second peer takes over (the initial string went out with this
    // start already); blocks go out as datagrams of at most 512.
    b.socket.writeDatagram("from b", QHostAddress::LocalHost, nPort);
    QTRY_COMPARE(outSink.data, QByteArray("from afrom b"));
    const QByteArray data = RandomBytes(3000, 5);
    pOut->write(data);
    QTRY_VERIFY(b.Bytes() >= data.size());
    QByteArray all;
    for (const QByteArray& d : b.datagrams) {
        QVERIFY(d.size() <= 512);
        all += d;
    }
    QVERIFY(all == data);
    QCOMPARE(a.datagrams.size(), 2);

    // Oversized datagrams are still refused with 10040.
    b.socket.writeDatagram(QByteArray(513, 'x'), QHostAddress::LocalHost, nPort);
    b.socket.writeDatagram(QByteArray(512, 'y'), QHostAddress::LocalHost, nPort);
    QTRY_VERIFY(outSink.data.endsWith(QByteArray(512, 'y')));
    QVERIFY(rig.Texts().contains("Receive Error Code:10040"));
    QCOMPARE(outSink.data.size(), 12 + 512);
}

void TestSocketReach::udpInitialStringBounded_data()
{
    QTest::addColumn<QByteArray>("fixedPort"); // empty: the client form
    QTest::newRow("client form") << QByteArray();
    QTest::newRow("fixed port") << QByteArray("UDP:0@127.0.0.1");
    QTest::newRow("fixed port, every interface") << QByteArray("UDP:0");
}

// No datagram over 512 bytes: a long initial string goes out in pieces.
// A fixed port sends it once per start, to the first peer; other senders
// cannot draw it again, and a datagram from the port's own address (as a
// forged one would be) is dropped instead of making the port its own peer.
void TestSocketReach::udpInitialStringBounded()
{
    QFETCH(QByteArray, fixedPort);
    const bool bFixedPort = !fixedPort.isEmpty();
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost));
    SDatagramPeer a, b;
    QVERIFY(a.socket.bind(QHostAddress::LocalHost, 0));
    QVERIFY(b.socket.bind(QHostAddress::LocalHost, 0));
    a.Collect();
    b.Collect();
    SGatewayRig rig;
    const QByteArray initial = RandomBytes(1300, 7).toHex().left(1300);
    rig.doc.m_strInInitial = initial;
    rig.Start(bFixedPort ? fixedPort : "UDP:" + QByteArray::number(a.socket.localPort()) + ",127.0.0.1",
              TcpSetup(device));
    QTcpSocket* pDevice = Accept(device);
    QVERIFY(pDevice);
    SSink deviceSink;
    deviceSink.Attach(pDevice);
    CPortSocket* pInput = rig.gateway.m_pInSocket;
    const quint16 nPort = LocalPort(pInput->m_hSocket);
    if (bFixedPort) {
        // From the port's own address: neither relayed nor answered.
        SSocketAddress self;
        QVERIFY(ParseNumericAddress(LocalFamily(pInput->m_hSocket) == AF_INET6 ? "::ffff:127.0.0.1" : "127.0.0.1",
                                    nPort, &self));
        QCOMPARE(::sendto(pInput->m_hSocket, "self", 4, 0, self.Get(), self.nLength), 4);
        a.socket.writeDatagram("from a", QHostAddress::LocalHost, nPort);
        QTRY_COMPARE(deviceSink.data, QByteArray("from a"));
    }
    QTRY_COMPARE(a.Bytes(), initial.size());
    QByteArray all;
    for (const QByteArray& d : a.datagrams) {
        QVERIFY(d.size() <= 512);
        all += d;
    }
    QCOMPARE(all, initial);
    QCOMPARE(a.datagrams.size(), 3);
    if (!bFixedPort)
        return;
    for (int i = 0; i < 5; ++i)
        b.socket.writeDatagram("b", QHostAddress::LocalHost, nPort);
    QTRY_COMPARE(deviceSink.data, QByteArray("from abbbbb"));
    pDevice->write("to b");
    QTRY_COMPARE(b.datagrams, QList<QByteArray>({"to b"}));
    QCOMPARE(a.Bytes(), initial.size());
}

void TestSocketReach::ipv6ClientForms()
{
    if (!HaveIPv6Loopback())
        QSKIP("this machine has no IPv6 loopback address (::1)");
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHostIPv6));
    QUdpSocket outPeer;
    QVERIFY(outPeer.bind(QHostAddress::LocalHostIPv6, 0));
    SGatewayRig rig;
    rig.doc.m_strOutInitial = "udp6";
    rig.Start("TCP:" + QByteArray::number(inServer.serverPort()) + ",::1",
              "UDP:" + QByteArray::number(outPeer.localPort()) + ",::1");
    QCOMPARE(rig.Texts(), QStringList({"Connect TCP...", "Done!", "Create UDP...", "Done!"}));
    QTcpSocket* pIn = Accept(inServer);
    QVERIFY(pIn);
    SSink inSink;
    inSink.Attach(pIn);
    QTRY_VERIFY(outPeer.hasPendingDatagrams());
    QByteArray d(int(outPeer.pendingDatagramSize()), 0);
    QHostAddress sender;
    quint16 nSenderPort = 0;
    outPeer.readDatagram(d.data(), d.size(), &sender, &nSenderPort);
    QCOMPARE(d, QByteArray("udp6"));
    pIn->write("to udp");
    QTRY_VERIFY(outPeer.hasPendingDatagrams());
    d.resize(int(outPeer.pendingDatagramSize()));
    outPeer.readDatagram(d.data(), d.size());
    QCOMPARE(d, QByteArray("to udp"));
    outPeer.writeDatagram("back", sender, nSenderPort);
    QTRY_COMPARE(inSink.data, QByteArray("back"));

    // A name with IPv6 addresses only.
    QTcpServer v6Server;
    QVERIFY(v6Server.listen(QHostAddress::LocalHostIPv6));
    SGatewayRig named;
    named.doc.m_strInSetup = "TCP:" + QByteArray::number(v6Server.serverPort()) + ",v6only.test";
    named.Reset();
    QVERIFY(named.gateway.IsInputStarted());
    QVERIFY(Accept(v6Server));
}

void TestSocketReach::ipv6Listening()
{
    if (!HaveIPv6Loopback())
        QSKIP("this machine has no IPv6 loopback address (::1)");
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.Start("TCP:0", TcpSetup(outServer));
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pOut);
    SSink outSink;
    outSink.Attach(pOut);
    // Every interface: one socket takes IPv6 and IPv4 clients.
    const quint16 nPort = ListenPort(rig.gateway.m_pInSocket);
    QTcpSocket v6, v4;
    v6.connectToHost(QHostAddress::LocalHostIPv6, nPort);
    QVERIFY(v6.waitForConnected(2000));
    QTRY_VERIFY(rig.Texts().last().startsWith("TCP Client Accepted,port:"));
    QVERIFY(rig.Texts().last().endsWith(",addr:::1"));
    v6.write("six");
    QTRY_COMPARE(outSink.data, QByteArray("six"));
    v4.connectToHost(QHostAddress::LocalHost, nPort);
    QVERIFY(v4.waitForConnected(2000));
    QTRY_VERIFY(rig.Texts().last().endsWith(",addr:127.0.0.1"));
    v4.write("four");
    QTRY_COMPARE(outSink.data, QByteArray("sixfour"));

    SGatewayRig local;
    local.Start("UDP:0@::1", TcpSetup(outServer));
    QVERIFY(local.gateway.IsInputStarted());
}

void TestSocketReach::unresolvableNames()
{
    // TCP: the lines of an unresolvable name, code 3; UDP: opens, sends
    // nothing, says nothing.
    CLineOwner owner;
    CCommPort* pSerial = nullptr;
    CPortSocket* pSocket = nullptr;
    QCOMPARE(OpenPort("TCP:1025,no.such.test", {}, &owner, &pSerial, &pSocket), 3);
    QCOMPARE(owner.m_lines, QStringList({"Connect TCP...", "Connect error! not 10035",
                                         "TCP Connect Error:10022,port:1025,addr:no.such.test"}));
    const auto pfnSaved = CPortSocket::s_pfnSendTo;
    CPortSocket::s_pfnSendTo = CountingSendTo;
    g_nSendTo = 0;
    owner.m_lines.clear();
    QCOMPARE(OpenPort("UDP:9,no.such.test", "hi", &owner, &pSerial, &pSocket), 0);
    QVERIFY(pSocket);
    QCOMPARE(pSocket->SendBlock("x", 1), 0);
    CPortSocket::s_pfnSendTo = pfnSaved;
    QCOMPARE(g_nSendTo, 0);
    QCOMPARE(owner.m_lines, QStringList({"Create UDP..."}));
    delete pSocket;
}

void TestSocketReach::hangingLookupLeavesLoopRunning()
{
    SGatewayRig rig;
    rig.doc.m_strInSetup = "TCP:1025,hanging.test";
    bool bTicked = false;
    QTimer::singleShot(50, &rig.gateway, [&] {
        bTicked = true;
        // The operator presses Startup / Reset with other settings.
        rig.doc.m_strInSetup = "TCP:0@127.0.0.1";
        rig.gateway.RequestStartupReset();
    });
    QElapsedTimer timer;
    timer.start();
    rig.Reset();
    QVERIFY(bTicked);
    QVERIFY(timer.elapsed() < 2000);
    // The start cut short reports nothing; the new one reports its success.
    QTRY_COMPARE(rig.started.size(), 1);
    QVERIFY(timer.elapsed() < 2000);
    QCOMPARE(rig.started.at(0).first().toBool(), true);
    // The abandoned lookup printed nothing.
    QCOMPARE(rig.Texts(), QStringList({"Listen TCP...", "Done!"}));

    // UDP destinations wait the same way.
    SGatewayRig udp;
    udp.doc.m_strInSetup = "UDP:9,hanging.test";
    QTimer::singleShot(50, &udp.gateway, [&] { udp.gateway.RequestStop(true); });
    timer.restart();
    udp.Reset();
    QVERIFY(timer.elapsed() < 2000);
    QVERIFY(!udp.gateway.IsInputStarted());
    QCOMPARE(udp.Texts(), QStringList({"Create UDP..."}));
}

// A connect that gets no answer gives up after its full time, never before.
// A coarse timer may end up to 5 % early where that puts its end on a whole
// second: the wait starts just past one.
void TestSocketReach::connectTimeoutNeverEarly()
{
    constexpr int kTimeoutMs = 1000;
    SFullServer server;
    QVERIFY(server.Listen());
    CLineOwner owner;
    CPortSocket socket(CPortSocket::SocketTcp, &owner, false);
    QVERIFY(socket.Create());
    SSocketAddress peer;
    QVERIFY(ParseNumericAddress("127.0.0.1", server.nPort, &peer));
    QVERIFY(!socket.Connect(peer));
    const qint64 nPhase = QDeadlineTimer::current().deadline() % 1000;
    std::this_thread::sleep_for(std::chrono::milliseconds((1100 - nPhase) % 1000));
    QElapsedTimer clock;
    clock.start();
    int nResult = 0;
    qint64 nElapsed = 0;
    socket.AwaitConnect(kTimeoutMs, [&](int n) {
        nResult = n;
        nElapsed = clock.elapsed();
    });
    QTRY_VERIFY(nResult != 0);
    QCOMPARE(nResult, -1);
    QVERIFY2(nElapsed >= kTimeoutMs, QByteArray::number(nElapsed).constData());
}

void TestSocketReach::udpNameIsKept()
{
    // A destination name is asked for once, not for every datagram.
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.Start(TcpSetup(inServer), "UDP:" + QByteArray::number(peer.localPort()) + ",v4.test");
    QTcpSocket* pIn = Accept(inServer);
    QVERIFY(pIn);
    for (int i = 0; i < 20; ++i) {
        pIn->write("x");
        QTRY_VERIFY(peer.hasPendingDatagrams());
        char c;
        peer.readDatagram(&c, 1);
    }
    QCOMPARE(g_nLookups.load(), 1);
}

QTEST_GUILESS_MAIN(TestSocketReach)
#include "tst_socketreach.moc"
