// TLS ports through the gateway with real loopback peers (Qt's TLS sockets)
// and test certificates made here: listening with and without client
// certificates, connecting with the server's certificate checked, the
// reasons for refused handshakes, unusable certificate files, a bulk relay
// both ways, newcomers' handshakes side by side, and resumed sessions.
#include "listenclient.h"
#include "testhost.h"
#include "testpki.h"

#include "diagnosis.h"
#include "profile.h"
#include "stream/tlssession.h"

#include <openssl/ssl.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>

namespace {

// Connections waiting in a listening socket's queue (not yet accepted).
int AcceptQueue(int hListen)
{
    tcp_info info {};
    socklen_t nSize = sizeof info;
    return ::getsockopt(hListen, IPPROTO_TCP, TCP_INFO, &info, &nSize) == 0 ? int(info.tcpi_unacked) : -1;
}

enum ELeaf { None, ServerLeaf, ClientLeaf, ExpiredServer, ExpiredClient, StrangerServer, StrangerClient, Elsewhere,
             PlcClient, Plain };

} // namespace

class TestTls : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void listening_data();
    void listening();
    void connecting_data();
    void connecting();
    void profileSections_data();
    void profileSections();
    void sectionsPerPort();
    void renewalKeepsClients();
    void unusableFiles_data();
    void unusableFiles();
    void certificateWarnings_data();
    void certificateWarnings();
    void strictCertificates_data();
    void strictCertificates();
    void resumption_data();
    void resumption();
    void bulkBothWays();
    void sharedClients();
    void silentNeighbours_data();
    void silentNeighbours();
    void finishedTogether_data();
    void finishedTogether();

private:
    // The peers' side: trusts the test CA, presents eLeaf (None: nothing).
    QSslConfiguration PeerConfig(ELeaf eLeaf, bool bVerifyPeer) const;
    STlsConfig GatewayConfig(ELeaf eLeaf, bool bRequireClient) const;
    void SendRecords(quint16 nPort, int eLeaf, SSink& sink, const std::function<void()>& fnTaken);

    CTestPki m_pki;
    const CTestPki::SIssued* m_pCa = nullptr;
    QList<const CTestPki::SIssued*> m_leaves;
};

void TestTls::initTestCase()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("Qt has no TLS backend here");
    m_pCa = &m_pki.Issue("Test CA", nullptr, nullptr);
    const CTestPki::SIssued* pOtherCa = &m_pki.Issue("Other CA", nullptr, nullptr);
    m_leaves = {nullptr,
                &m_pki.Issue("server", m_pCa, "DNS:localhost,IP:127.0.0.1"),
                &m_pki.Issue("client", m_pCa, "DNS:client.test", -1, 30, "clientAuth"),
                &m_pki.Issue("expired-server", m_pCa, "DNS:localhost,IP:127.0.0.1", -30, -1),
                &m_pki.Issue("expired-client", m_pCa, "DNS:client.test", -30, -1, "clientAuth"),
                &m_pki.Issue("stranger-server", pOtherCa, "DNS:localhost,IP:127.0.0.1"),
                &m_pki.Issue("stranger-client", pOtherCa, "DNS:client.test", -1, 30, "clientAuth"),
                &m_pki.Issue("elsewhere", m_pCa, "DNS:elsewhere.test"),
                &m_pki.Issue("plc-01", m_pCa, "DNS:plc-01.test", -1, 30, "clientAuth")};
    m_pki.Issue("future-server", m_pCa, "DNS:localhost", 1, 30);
    m_pki.Issue("soon-server", m_pCa, "DNS:localhost", -1, 5);
    m_pki.Issue("old-ca", nullptr, nullptr, -30, -1);
}

QSslConfiguration TestTls::PeerConfig(ELeaf eLeaf, bool bVerifyPeer) const
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(QSslCertificate::fromPath(m_pCa->strCert));
    config.setPeerVerifyMode(bVerifyPeer ? QSslSocket::VerifyPeer : QSslSocket::VerifyNone);
    if (eLeaf != None) {
        QFile key(m_leaves[eLeaf]->strKey);
        key.open(QIODevice::ReadOnly);
        config.setLocalCertificate(QSslCertificate::fromPath(m_leaves[eLeaf]->strCert).value(0));
        config.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
    }
    return config;
}

STlsConfig TestTls::GatewayConfig(ELeaf eLeaf, bool bRequireClient) const
{
    STlsConfig config;
    config.strCa = m_pCa->strCert;
    config.bRequireClientCertificate = bRequireClient;
    if (eLeaf != None) {
        config.strCertificate = m_leaves[eLeaf]->strCert;
        config.strKey = m_leaves[eLeaf]->strKey;
    }
    return config;
}

void TestTls::listening_data()
{
    QTest::addColumn<bool>("bRequire");  // RequireClientCertificate=1
    QTest::addColumn<int>("eClient");    // what the client presents
    QTest::addColumn<QString>("refused"); // part of the line's reason; empty: accepted
    QTest::addColumn<QByteArray>("allow"); // AllowSubjects=
    QTest::addColumn<int>("failure");      // the ETlsFailure counted, -1: none
    QTest::newRow("server only") << false << int(None) << QString() << QByteArray() << -1;
    QTest::newRow("mutual") << true << int(ClientLeaf) << QString() << QByteArray() << -1;
    QTest::newRow("no client certificate") << true << int(None) << "peer did not return a certificate"
                                           << QByteArray() << int(TlsNoCertificate);
    QTest::newRow("expired client") << true << int(ExpiredClient) << "certificate has expired" << QByteArray()
                                    << int(TlsExpired);
    QTest::newRow("client of unknown CA") << true << int(StrangerClient) << "unable to get local issuer certificate"
                                          << QByteArray() << int(TlsUnknownCa);
    QTest::newRow("plain TCP client") << false << int(Plain) << "" << QByteArray() << int(TlsProtocol);
    QTest::newRow("subject not allowed") << true << int(PlcClient) << "certificate subject not in AllowSubjects="
                                         << QByteArray("CN=client;CN=scada-*") << int(TlsNotAllowed);
    QTest::newRow("subject by prefix") << true << int(PlcClient) << "certificate subject not in AllowSubjects="
                                       << QByteArray("CN=plc-01x;CN=cli*") << int(TlsNotAllowed);
}

// A listening Input with TLS: a good client gets the initial string and
// relays both ways; a refused one is closed with a line saying why, and the
// port takes the next client.
void TestTls::listening()
{
    QFETCH(bool, bRequire);
    QFETCH(int, eClient);
    QFETCH(QString, refused);
    QFETCH(QByteArray, allow);
    QFETCH(int, failure);
    const bool bPlain = eClient == Plain;
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    STlsConfig config = GatewayConfig(ServerLeaf, bRequire);
    QByteArray strWhy;
    QVERIFY(allow.isEmpty() || ParseSubjectList(allow, &config.allowSubjects, &strWhy));
    rig.gateway.SetTlsConfig(config);
    rig.doc.m_strInInitial = "HI";
    rig.Start("TLS:0@127.0.0.1;allow=127.0.0.0/8", TcpSetup(outServer));
    QVERIFY2(rig.Texts().contains("Listen TLS..."), qPrintable(rig.Texts().join('\n')));
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pOut);
    SSink outSink;
    outSink.Attach(pOut);
    const quint16 nPort = ListenPort(rig.gateway.m_pInSocket);

    auto connectClient = [&](QSslSocket& client, SSink& sink, ELeaf eLeaf) {
        client.setSslConfiguration(PeerConfig(eLeaf, true));
        client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), nPort, QStringLiteral("localhost"));
        sink.Attach(&client);
    };
    if (bPlain || !refused.isEmpty()) {
        QTcpSocket plain;
        QSslSocket client;
        SSink sink;
        if (bPlain) {
            plain.connectToHost(QHostAddress::LocalHost, nPort);
            QVERIFY(plain.waitForConnected(5000));
            plain.write("hello\r\n");
        } else {
            connectClient(client, sink, ELeaf(eClient));
        }
        QTRY_VERIFY_WITH_TIMEOUT(!rig.Texts().filter("TLS Client Refused,").isEmpty(), 10000);
        const QString strLine = rig.Texts().filter("TLS Client Refused,").first();
        QVERIFY2(strLine.contains(refused) && strLine.endsWith(",addr:127.0.0.1"), qPrintable(strLine));
        QTcpSocket& socket = bPlain ? plain : client;
        QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(!sink.data.contains("HI"));
        QVERIFY(rig.gateway.IsInputStarted());
        QVERIFY(!rig.Texts().contains("Remote Input closed,close ALL & ReStart!"));
        QTRY_COMPARE(rig.gateway.Observer().Counters().m_nTlsFailures[0][failure], 1u);
    }
    // A good client now (again) gets the port.
    QSslSocket client;
    SSink sink;
    connectClient(client, sink, bRequire ? ClientLeaf : None);
    QTRY_COMPARE(sink.data, QByteArray("HI"));
    // A client certificate's subject ends the line.
    const QString strAccepted = bRequire ? QStringLiteral(",subject:CN=client") : QString();
    QVERIFY2(rig.Texts().filter(QRegularExpression("^TLS Client Accepted,port:\\d+,addr:127.0.0.1" + strAccepted + '$')).size() == 1,
             qPrintable(rig.Texts().join('\n')));
    pOut->write("down");
    QTRY_COMPARE(sink.data, QByteArray("HIdown"));
    outSink.data.clear();
    SendRecords(nPort, bRequire ? ClientLeaf : None, outSink, [&] {
        QTRY_VERIFY(rig.Texts().filter("TLS Client Replaced,").size() == 1);
    });
}

// Records of 10000 bytes from a new client, all in the socket before the
// port reads (a session of our own writes them): one wake-up ends inside
// the seventh, whose rest then waits in the port's TLS session alone.
// fnTaken runs once the port has the client; sink must get them all.
void TestTls::SendRecords(quint16 nPort, int eLeaf, SSink& sink, const std::function<void()>& fnTaken)
{
    QByteArray strError;
    const auto pContext = CTlsContext::Create(GatewayConfig(ELeaf(eLeaf), false), CTlsContext::Client, &strError);
    QVERIFY2(pContext, strError.constData());
    const int hRaw = ::socket(AF_INET, SOCK_STREAM, 0);
    const SSocketAddress to = IPv4Address(htonl(INADDR_LOOPBACK), nPort);
    QVERIFY(::connect(hRaw, to.Get(), to.nLength) == 0);
    ::fcntl(hRaw, F_SETFL, O_NONBLOCK);
    const int nOn = 1; // no Nagle delay: every record goes out at once
    ::setsockopt(hRaw, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
    CTlsSession raw(pContext, hRaw, "localhost");
    QTRY_COMPARE(raw.Handshake(), 1);
    fnTaken();
    const qsizetype nBefore = sink.data.size();
    QByteArray up;
    for (char c = 'a'; c < 'h'; ++c) {
        up += QByteArray(10000, c);
        QCOMPARE(raw.Write(up.constData() + up.size() - 10000, 10000), 10000);
    }
    QTRY_COMPARE(sink.data.size(), nBefore + up.size());
    QVERIFY(sink.data.mid(nBefore) == up);
    ::close(hRaw);
}

void TestTls::connecting_data()
{
    QTest::addColumn<int>("eServer");
    QTest::addColumn<bool>("bMutual"); // the server asks for the gateway's certificate
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QString>("refused");
    QTest::addColumn<int>("failure"); // the ETlsFailure counted
    QTest::newRow("by name") << int(ServerLeaf) << false << QByteArray("localhost") << QString() << -1;
    QTest::newRow("by address") << int(ServerLeaf) << false << QByteArray("127.0.0.1") << QString() << -1;
    QTest::newRow("mutual") << int(ServerLeaf) << true << QByteArray("localhost") << QString() << -1;
    QTest::newRow("wrong host name") << int(Elsewhere) << false << QByteArray("localhost") << "Hostname mismatch"
                                     << int(TlsNameMismatch);
    QTest::newRow("wrong address") << int(Elsewhere) << false << QByteArray("127.0.0.1") << "IP address mismatch"
                                   << int(TlsNameMismatch);
    QTest::newRow("expired") << int(ExpiredServer) << false << QByteArray("localhost") << "certificate has expired"
                             << int(TlsExpired);
    QTest::newRow("unknown CA") << int(StrangerServer) << false << QByteArray("localhost")
                                << "unable to get local issuer certificate" << int(TlsUnknownCa);
}

// A TLS client Input: connects, checks the server, sends its initial string;
// a server that fails the check gives a line saying why, and no start.
void TestTls::connecting()
{
    QFETCH(int, eServer);
    QFETCH(bool, bMutual);
    QFETCH(QByteArray, host);
    QFETCH(QString, refused);
    QFETCH(int, failure);
    QSslServer server;
    server.setSslConfiguration(PeerConfig(ELeaf(eServer), bMutual));
    QVERIFY(server.listen(host == "localhost" ? QHostAddress::Any : QHostAddress::LocalHost));
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.gateway.SetTlsConfig(GatewayConfig(bMutual ? ClientLeaf : None, false));
    rig.doc.m_strInInitial = "HI";
    const QByteArray strPort = QByteArray::number(server.serverPort());
    rig.Start("TLS:" + strPort + "," + host, TcpSetup(outServer));
    QVERIFY(rig.Texts().contains("Connect TLS..."));
    if (!refused.isEmpty()) {
        // The reason as OpenSSL words it (its case differs between versions).
        const QString strLine = "TLS Handshake Error:" + refused + ",port:" + strPort + ",addr:" + host;
        QVERIFY2(rig.Texts().contains(strLine, Qt::CaseInsensitive), qPrintable(rig.Texts().join('\n')));
        QVERIFY(!rig.gateway.IsInputStarted());
        QVERIFY(rig.host.m_explanations.join('\n').contains("TLS handshake"));
        QCOMPARE(rig.gateway.Observer().Counters().m_nTlsFailures[0][failure], 1u);
        return;
    }
    QVERIFY2(rig.gateway.IsInputStarted(), qPrintable(rig.Texts().join('\n')));
    QTcpSocket* pPeer = Accept(server);
    QVERIFY(pPeer);
    SSink sink;
    sink.Attach(pPeer);
    QTRY_COMPARE(sink.data, QByteArray("HI"));
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pOut);
    SSink outSink;
    outSink.Attach(pOut);
    pPeer->write("up");
    QTRY_COMPARE(outSink.data, QByteArray("up"));
}

void TestTls::profileSections_data()
{
    QTest::addColumn<QByteArray>("ini");     // the profile
    QTest::addColumn<QByteArray>("name");    // tls=
    QTest::addColumn<QStringList>("files");  // certificate, key, CA as taken (names only)
    QTest::addColumn<QString>("problem");    // part of strProblem; empty: none
    const QByteArray base = "[TLS]\nCertificate=a.pem\nKey=a.key\nCA=ca.pem\n";
    QTest::newRow("[TLS]") << base << QByteArray() << QStringList({"a.pem", "a.key", "ca.pem"}) << QString();
    QTest::newRow("keys from [TLS]") << base + "[TLS plant]\nCA=plant-ca.pem\n" << QByteArray("plant")
                                     << QStringList({"a.pem", "a.key", "plant-ca.pem"}) << QString();
    QTest::newRow("written empty") << base + "[TLS vendor]\nCertificate=\nKey=\n" << QByteArray("vendor")
                                   << QStringList({"", "", "ca.pem"}) << QString();
    QTest::newRow("name in other case") << base + "[TLS Plant]\nKey=p.key\n" << QByteArray("plant")
                                        << QStringList({"a.pem", "p.key", "ca.pem"}) << QString();
    QTest::newRow("no such section") << base << QByteArray("plant") << QStringList({"", "", ""})
                                     << "tls=plant names the section [TLS plant], which the profile";
    QTest::newRow("bad CAMode") << base + "[TLS v]\nCAMode=both\n" << QByteArray("v")
                                << QStringList({"a.pem", "a.key", "ca.pem"})
                                << "[TLS v] CAMode= takes replace or add, not 'both'";
    QTest::newRow("subjects without mutual TLS") << base + "AllowSubjects=CN=a\n" << QByteArray()
                                                 << QStringList({"a.pem", "a.key", "ca.pem"})
                                                 << "AllowSubjects= needs RequireClientCertificate=1";
    QTest::newRow("unknown attribute") << base + "RequireClientCertificate=1\nAllowSubjects=CN=a; XY=b\n"
                                       << QByteArray() << QStringList({"a.pem", "a.key", "ca.pem"})
                                       << "'XY=b' names no attribute OpenSSL knows";
    QTest::newRow("star inside") << base + "RequireClientCertificate=1\nAllowSubjects=CN=a*b\n" << QByteArray()
                                 << QStringList({"a.pem", "a.key", "ca.pem"}) << "a value is matched exactly";
}

// [TLS <name>] sections: each key from the section, else from [TLS].
void TestTls::profileSections()
{
    QFETCH(QByteArray, ini);
    QFETCH(QByteArray, name);
    QFETCH(QStringList, files);
    QFETCH(QString, problem);
    QTemporaryDir dir;
    CProfile profile(dir.filePath(QStringLiteral("trelvane.ini")));
    profile.FromBytes(ini);
    const STlsConfig config = CTlsProfile(profile).Config(name);
    QVERIFY2(problem.isEmpty() ? config.strProblem.isEmpty() : config.strProblem.contains(problem),
             qPrintable(config.strProblem));
    const QString strPaths[] = {config.strCertificate, config.strKey, config.strCa};
    for (int i = 0; i < 3; ++i)
        QCOMPARE(strPaths[i].isEmpty() ? QString() : QFileInfo(strPaths[i]).fileName(), files[i]);
}

// One gateway, two TLS ports with files of their own sections: the Input
// listens with [TLS]'s certificate and checks clients against the plant CA
// ([TLS plant]); the Output connects to a server of another CA ([TLS
// vendor]), which [TLS] alone does not trust. A missing section fails.
void TestTls::sectionsPerPort()
{
    QSslServer vendor;
    vendor.setSslConfiguration(PeerConfig(StrangerServer, false));
    QVERIFY(vendor.listen(QHostAddress::LocalHost));
    QTemporaryDir dir;
    CProfile profile(dir.filePath(QStringLiteral("trelvane.ini")));
    profile.SetString(QStringLiteral("TLS"), QStringLiteral("Certificate"), m_leaves[ServerLeaf]->strCert);
    profile.SetString(QStringLiteral("TLS"), QStringLiteral("Key"), m_leaves[ServerLeaf]->strKey);
    profile.SetString(QStringLiteral("TLS plant"), QStringLiteral("CA"), m_pCa->strCert);
    profile.SetString(QStringLiteral("TLS plant"), QStringLiteral("RequireClientCertificate"), QStringLiteral("1"));
    profile.SetString(QStringLiteral("TLS Vendor"), QStringLiteral("Certificate"), QString());
    profile.SetString(QStringLiteral("TLS Vendor"), QStringLiteral("Key"), QString());
    profile.SetString(QStringLiteral("TLS Vendor"), QStringLiteral("CA"), m_pki.Path(QStringLiteral("Other CA.pem")));
    profile.SetString(QStringLiteral("TLS Vendor"), QStringLiteral("CAMode"), QStringLiteral("add"));
    SGatewayRig rig;
    rig.gateway.SetTlsProfile(CTlsProfile(profile));
    const QByteArray strVendor = "TLS:" + QByteArray::number(vendor.serverPort()) + ";tls=vendor,localhost";
    rig.Start("TLS:0@127.0.0.1;tls=plant", strVendor);
    QVERIFY2(rig.gateway.m_bOutStarted, qPrintable(rig.Texts().join('\n')));
    QTcpSocket* pVendor = Accept(vendor);
    QVERIFY(pVendor);
    SSink vendorSink;
    vendorSink.Attach(pVendor);
    QSslSocket client;
    client.setSslConfiguration(PeerConfig(ClientLeaf, true));
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), ListenPort(rig.gateway.m_pInSocket),
                                  QStringLiteral("localhost"));
    SSink sink;
    sink.Attach(&client);
    QTRY_VERIFY(rig.Texts().contains(QStringLiteral("TLS Client Accepted,port:%1,addr:127.0.0.1,subject:CN=client")
                                         .arg(client.localPort())));
    client.write("up");
    QTRY_COMPARE(vendorSink.data, QByteArray("up"));
    pVendor->write("down");
    QTRY_COMPARE(sink.data, QByteArray("down"));
    SProbe probe;
    probe.m_bSystem = true;
    probe.m_tls = CTlsProfile(profile);
    QVERIFY(DescribeSetup(strVendor, {}, probe).m_strDescription.endsWith(
        QStringLiteral(" and the system's trusted CAs (files of [TLS Vendor])")));

    // A Startup / Reset names the client it closes.
    rig.Start("TLS:0@127.0.0.1;tls=nosuch", strVendor);
    QCOMPARE(rig.Texts().filter(QStringLiteral("TLS Client Disconnected,port:%1,").arg(client.localPort())).size(), 1);
    QVERIFY(!rig.gateway.IsInputStarted());
    QVERIFY2(rig.Texts().last().startsWith("TLS Setup Error:tls=nosuch names the section [TLS nosuch]"),
             qPrintable(rig.Texts().last()));
}

// A certificate renewed on disk goes to the next newcomer; a client
// connected before keeps its session (no new handshake) and its bytes
// flow. Files caught half renewed leave the last good ones in use, also
// for a port that starts again; a Startup / Reset names every client it
// closes.
void TestTls::renewalKeepsClients()
{
    QTemporaryDir dir;
    const QString strCert = dir.filePath(QStringLiteral("live.pem"));
    const QString strKey = dir.filePath(QStringLiteral("live.key"));
    // As a certificate manager does: the new file under another name, then
    // renamed over the old one.
    auto install = [&](const QString& strFrom, const QString& strTo) {
        const QString strNew = strTo + QStringLiteral(".new");
        QFile::remove(strNew);
        return QFile::copy(strFrom, strNew)
            && std::rename(QFile::encodeName(strNew).constData(), QFile::encodeName(strTo).constData()) == 0;
    };
    QVERIFY(install(m_leaves[ServerLeaf]->strCert, strCert) && install(m_leaves[ServerLeaf]->strKey, strKey));
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    STlsConfig config;
    config.strCertificate = strCert;
    config.strKey = strKey;
    rig.gateway.SetTlsConfig(config);
    rig.Start("TLS:0@127.0.0.1;clients=4", TcpSetup(outServer));
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pOut);
    SSink outSink;
    outSink.Attach(pOut);
    const quint16 nPort = ListenPort(rig.gateway.m_pInSocket);
    QSslSocket clients[3];
    SSink sinks[3];
    std::vector<std::unique_ptr<QSignalSpy>> handshakes;
    auto connectClient = [&](int i) {
        clients[i].setSslConfiguration(PeerConfig(None, true));
        handshakes.push_back(std::make_unique<QSignalSpy>(&clients[i], &QSslSocket::encrypted));
        clients[i].connectToHostEncrypted(QStringLiteral("127.0.0.1"), nPort, QStringLiteral("localhost"));
        sinks[i].Attach(&clients[i]);
    };
    auto issuer = [&](int i) { return clients[i].peerCertificate().subjectInfo(QSslCertificate::CommonName).value(0); };
    connectClient(0);
    QTRY_COMPARE(handshakes[0]->count(), 1);
    QCOMPARE(issuer(0), QStringLiteral("server"));

    const CTestPki::SIssued& renewed = m_pki.Issue("server-renewed", m_pCa, "DNS:localhost,IP:127.0.0.1");
    QVERIFY(install(renewed.strCert, strCert) && install(renewed.strKey, strKey));
    connectClient(1);
    QTRY_COMPARE(handshakes[1]->count(), 1);
    QCOMPARE(issuer(1), QStringLiteral("server-renewed"));
    QVERIFY(rig.Texts().contains("TLS Certificate Renewed:[TLS] Certificate=" + strCert));
    pOut->write("down");
    QTRY_VERIFY(sinks[0].data == "down" && sinks[1].data == "down");
    clients[0].write("up");
    QTRY_COMPARE(outSink.data, QByteArray("up"));
    QCOMPARE(handshakes[0]->count(), 1);
    QCOMPARE(issuer(0), QStringLiteral("server"));

    // Half renewed: a key of another certificate.
    QVERIFY(install(m_leaves[ClientLeaf]->strKey, strKey));
    connectClient(2);
    QTRY_COMPARE(handshakes[2]->count(), 1);
    QCOMPARE(issuer(2), QStringLiteral("server-renewed"));
    const QStringList kept = rig.Texts().filter("; the files loaded before stay in use");
    QCOMPARE(kept.size(), 1);
    QVERIFY2(kept[0].startsWith("TLS Setup Warning:[TLS] Key=" + strKey + " does not belong"), qPrintable(kept[0]));

    const int nListen = int(rig.Texts().count("Listen TLS..."));
    rig.Reset();
    QVERIFY2(rig.gateway.IsInputStarted(), qPrintable(rig.Texts().join('\n')));
    QCOMPARE(int(rig.Texts().count("Listen TLS...")), nListen + 1);
    QCOMPARE(rig.Texts().filter(QRegularExpression("^TLS Client Disconnected,port:\\d+,addr:127.0.0.1$")).size(), 3);
    QCOMPARE(rig.gateway.Observer().Counters().m_nSessions[0], 3u);
}

void TestTls::unusableFiles_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<QStringList>("files"); // certificate, key, CA ("-": none; a name: in the test folder)
    QTest::addColumn<bool>("bRequire");
    QTest::addColumn<QString>("why");
    QTest::newRow("no certificate") << QByteArray("TLS:0") << QStringList({"-", "-", "ca"}) << false
                                    << "a listening TLS port needs Certificate= and Key=";
    QTest::newRow("missing key") << QByteArray("TLS:0") << QStringList({"server.pem", "none.key", "-"}) << false
                                 << "Key=%1/none.key does not exist";
    QTest::newRow("key of another") << QByteArray("TLS:0") << QStringList({"server.pem", "client.key", "-"})
                                    << false << "does not belong to the certificate";
    QTest::newRow("not a certificate") << QByteArray("TLS:0") << QStringList({"server.key", "server.key", "-"})
                                       << false << "Certificate=%1/server.key is not a PEM certificate";
    QTest::newRow("mutual without CA") << QByteArray("TLS:0") << QStringList({"server.pem", "server.key", "-"})
                                       << true << "RequireClientCertificate=1 needs CA=";
    QTest::newRow("client, certificate alone") << QByteArray("TLS:1,localhost")
                                               << QStringList({"client.pem", "-", "-"}) << false << "go together";
    QTest::newRow("CA not PEM") << QByteArray("TLS:1,localhost") << QStringList({"-", "-", "server.key"}) << false
                                << "CA=%1/server.key holds no PEM certificate";
    QTest::newRow("expired") << QByteArray("TLS:0")
                             << QStringList({"expired-server.pem", "expired-server.key", "-"}) << false
                             << "Certificate=%1/expired-server.pem has expired (notAfter ";
    QTest::newRow("not yet valid") << QByteArray("TLS:1,localhost")
                                   << QStringList({"future-server.pem", "future-server.key", "-"}) << false
                                   << "Certificate=%1/future-server.pem is not yet valid (notBefore ";
}

// Certificate files that cannot be used: the start fails with a line saying
// which and why, and the settings check says the same.
void TestTls::unusableFiles()
{
    QFETCH(QByteArray, setup);
    QFETCH(QStringList, files);
    QFETCH(bool, bRequire);
    QFETCH(QString, why);
    why.replace("%1", m_pki.Path(QStringLiteral("x")).chopped(2));
    auto path = [&](int i) {
        return files[i] == "-" ? QString() : files[i] == "ca" ? m_pCa->strCert : m_pki.Path(files[i]);
    };
    STlsConfig config;
    config.strCertificate = path(0);
    config.strKey = path(1);
    config.strCa = path(2);
    config.bRequireClientCertificate = bRequire;
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.gateway.SetTlsConfig(config);
    rig.Start(setup, TcpSetup(outServer));
    const QStringList errors = rig.Texts().filter("TLS Setup Error:");
    QVERIFY2(errors.size() == 1 && errors[0].contains(why), qPrintable(rig.Texts().join('\n')));
    QVERIFY(!rig.gateway.IsInputStarted());
    SProbe probe;
    probe.m_bSystem = true;
    probe.m_tls = CTlsProfile(config);
    const QString strProblem = DescribeSetup(setup, {}, probe).m_strProblem;
    QVERIFY2(strProblem.contains(why), qPrintable(strProblem));
}

void TestTls::certificateWarnings_data()
{
    QTest::addColumn<QStringList>("files"); // certificate, key, CA (names in the test folder)
    QTest::addColumn<QString>("warning");
    QTest::newRow("expires soon") << QStringList({"soon-server.pem", "soon-server.key", "Test CA.pem"})
                                  << "Certificate=%1/soon-server.pem expires in 4 days (notAfter ";
    QTest::newRow("CA expired") << QStringList({"server.pem", "server.key", "old-ca.pem"})
                                << "CA=%1/old-ca.pem has expired (notAfter ";
    QTest::newRow("key others may read") << QStringList({"server.pem", "open.key", "Test CA.pem"})
                                         << "Key=%1/open.key may be read by others (mode 0644)";
}

// Files that work now but not for long, or not safely: the port starts,
// with a line that says so, and the settings check warns the same.
void TestTls::certificateWarnings()
{
    QFETCH(QStringList, files);
    QFETCH(QString, warning);
    warning.replace("%1", m_pki.Path(QStringLiteral("x")).chopped(2));
    const QString strOpenKey = m_pki.Path("open.key");
    if (!QFile::exists(strOpenKey)) {
        QVERIFY(QFile::copy(m_leaves[ServerLeaf]->strKey, strOpenKey));
        QVERIFY(QFile::setPermissions(strOpenKey, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                                      | QFile::ReadOther));
    }
    STlsConfig config;
    config.strCertificate = m_pki.Path(files[0]);
    config.strKey = m_pki.Path(files[1]);
    config.strCa = m_pki.Path(files[2]);
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.gateway.SetTlsConfig(config);
    rig.Start("TLS:0@127.0.0.1", TcpSetup(outServer));
    const QStringList warnings = rig.Texts().filter("TLS Setup Warning:");
    QVERIFY2(warnings.size() == 1 && warnings[0].contains(warning), qPrintable(rig.Texts().join('\n')));
    QVERIFY(rig.gateway.IsInputStarted());
    SProbe probe;
    probe.m_bSystem = true;
    probe.m_tls = CTlsProfile(config);
    const SSetupReport report = DescribeSetup("TLS:0@127.0.0.1", {}, probe);
    QVERIFY2(report.m_strProblem.isEmpty() && report.m_strWarning.contains(warning), qPrintable(report.m_strWarning));
}

void TestTls::strictCertificates_data()
{
    QTest::addColumn<bool>("bDocs"); // the certificates the docs' commands make (else this test's own)
    QTest::newRow("test certificates") << false;
    QTest::newRow("docs' commands") << true;
}

// Certificates pass OpenSSL's strict checks, as strict clients (Python's
// default context) make them: this test's own, and those the commands of
// docs/network.md make, run word for word in an empty folder.
void TestTls::strictCertificates()
{
    QFETCH(bool, bDocs);
    const QString strOpenssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (strOpenssl.isEmpty())
        QSKIP("no openssl command (scripts/install-deps.sh installs it)");
    QStringList files = {m_pCa->strCert, m_leaves[ServerLeaf]->strCert, m_leaves[ClientLeaf]->strCert};
    QTemporaryDir folder;
    if (bDocs) {
        QFile docs(QStringLiteral(TRELVANE_DOCS_DIR "/network.md"));
        QVERIFY(docs.open(QIODevice::ReadOnly));
        const QByteArray text = docs.readAll();
        const qsizetype nStart = text.indexOf("### Making a test CA and certificates");
        QVERIFY(nStart >= 0);
        int nRun = 0;
        for (const QByteArray& line : text.mid(nStart, text.indexOf("\n#", nStart + 4) - nStart).split('\n')) {
            if (!line.startsWith("    openssl ") && !line.startsWith("    printf "))
                continue;
            QProcess shell;
            shell.setWorkingDirectory(folder.path());
            shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QString::fromUtf8(line.trimmed())});
            QVERIFY(shell.waitForFinished(30000));
            QVERIFY2(shell.exitCode() == 0, (line + '\n' + shell.readAllStandardError()).constData());
            ++nRun;
        }
        QVERIFY(nRun >= 7);
        files = {folder.filePath("ca.pem"), folder.filePath("server.pem"), folder.filePath("client.pem")};
    }
    QProcess verify;
    verify.start(strOpenssl, {"verify", "-x509_strict", "-CAfile", files[0], files[1], files[2]});
    QVERIFY(verify.waitForFinished(10000));
    const QByteArray output = verify.readAllStandardOutput() + verify.readAllStandardError();
    QVERIFY2(verify.exitCode() == 0 && output.count(": OK") == 2, output.constData());
}

void TestTls::resumption_data()
{
    QTest::addColumn<int>("nVersion");
    QTest::addColumn<bool>("bRequire"); // RequireClientCertificate=1
    QTest::addColumn<bool>("bInput");   // the listening port is the Input (else the Output)
    QTest::newRow("1.2") << int(TLS1_2_VERSION) << false << true;
    QTest::newRow("1.2 mutual") << int(TLS1_2_VERSION) << true << true;
    QTest::newRow("1.3") << int(TLS1_3_VERSION) << false << true;
    QTest::newRow("1.3 mutual") << int(TLS1_3_VERSION) << true << true;
    QTest::newRow("1.3 mutual, Output") << int(TLS1_3_VERSION) << true << false;
}

// A client that resumes its session (a raw OpenSSL client, as a device's
// TLS stack does) is taken as in its first handshake.
void TestTls::resumption()
{
    QFETCH(int, nVersion);
    QFETCH(bool, bRequire);
    QFETCH(bool, bInput);
    QTcpServer otherServer;
    QVERIFY(otherServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.gateway.SetTlsConfig(GatewayConfig(ServerLeaf, bRequire));
    (bInput ? rig.doc.m_strInInitial : rig.doc.m_strOutInitial) = "HI";
    rig.Start(bInput ? QByteArray("TLS:0@127.0.0.1") : TcpSetup(otherServer),
              bInput ? TcpSetup(otherServer) : QByteArray("TLS:0@127.0.0.1"));
    const quint16 nPort = ListenPort(bInput ? rig.gateway.m_pInSocket : rig.gateway.m_pOutSocket);
    QVERIFY2(nPort != 0, qPrintable(rig.Texts().join('\n')));
    QByteArray strError;
    const auto pContext = CTlsContext::Create(GatewayConfig(bRequire ? ClientLeaf : None, false), CTlsContext::Client,
                                              &strError);
    QVERIFY2(pContext, strError.constData());
    SSL_CTX_set_max_proto_version(pContext->Handle(), nVersion);
    const SSocketAddress to = IPv4Address(htonl(INADDR_LOOPBACK), nPort);
    SSL_SESSION* pSession = nullptr;
    std::vector<int> handles; // the first stays open: its port keeps its run
    for (int i = 0; i < 2; ++i) {
        handles.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        QVERIFY(::connect(handles[i], to.Get(), to.nLength) == 0);
        ::fcntl(handles[i], F_SETFL, O_NONBLOCK);
        SSL* pSsl = SSL_new(pContext->Handle());
        SSL_set_fd(pSsl, handles[i]);
        SSL_set_connect_state(pSsl);
        SSL_set1_host(pSsl, "localhost");
        if (pSession)
            SSL_set_session(pSsl, pSession);
        QByteArray got;
        auto read = [&] {
            char buffer[16];
            const int n = SSL_read(pSsl, buffer, sizeof buffer);
            got += QByteArray(buffer, qMax(n, 0));
            return got;
        };
        QTRY_COMPARE(read(), QByteArray("HI"));
        QCOMPARE(SSL_session_reused(pSsl), i);
        if (i == 0)
            pSession = SSL_get1_session(pSsl);
        SSL_set_shutdown(pSsl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN); // its session stays resumable
        SSL_free(pSsl);
    }
    SSL_SESSION_free(pSession);
    QCOMPARE(rig.Texts().filter("TLS Client Accepted,").size(), 2);
    QVERIFY2(rig.Texts().filter("TLS Client Refused,").isEmpty(), qPrintable(rig.Texts().join('\n')));
    for (int h : handles)
        ::close(h);
}

// 64 MiB each way at once, byte for byte, through a listening TLS Input and
// a TLS client Output.
void TestTls::bulkBothWays()
{
    constexpr qsizetype kSize = 64 * 1024 * 1024;
    QByteArray up(kSize, Qt::Uninitialized);
    QByteArray down(kSize, Qt::Uninitialized);
    QRandomGenerator(22).fillRange(reinterpret_cast<quint32*>(up.data()), kSize / 4);
    QRandomGenerator(23).fillRange(reinterpret_cast<quint32*>(down.data()), kSize / 4);
    QSslServer outServer;
    outServer.setSslConfiguration(PeerConfig(ServerLeaf, false));
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.gateway.SetTlsConfig(GatewayConfig(ServerLeaf, false));
    rig.Start("TLS:0@127.0.0.1", "TLS:" + QByteArray::number(outServer.serverPort()) + ",127.0.0.1");
    QVERIFY2(rig.gateway.m_pOutSocket, qPrintable(rig.Texts().join('\n')));
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pOut);
    QSslSocket client;
    client.setSslConfiguration(PeerConfig(None, true));
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), ListenPort(rig.gateway.m_pInSocket),
                                  QStringLiteral("localhost"));
    QTRY_VERIFY_WITH_TIMEOUT(client.isEncrypted(), 10000);
    QTRY_VERIFY(rig.Texts().filter("TLS Client Accepted,").size() == 1);
    SSink inSink, outSink;
    inSink.Attach(&client);
    outSink.Attach(pOut);
    client.write(up);
    pOut->write(down);
    QTRY_VERIFY_WITH_TIMEOUT(outSink.data.size() >= kSize && inSink.data.size() >= kSize, 180000);
    QVERIFY(outSink.data == up);
    QVERIFY(inSink.data == down);
}

// A shared TLS port: each client gets the initial string and every block
// from the other side, the clients' bytes all reach it, and a client
// beyond the count is closed.
void TestTls::sharedClients()
{
    constexpr qsizetype kSize = 1024 * 1024;
    QByteArray down(kSize, Qt::Uninitialized);
    QRandomGenerator(24).fillRange(reinterpret_cast<quint32*>(down.data()), kSize / 4);
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.gateway.SetTlsConfig(GatewayConfig(ServerLeaf, false));
    rig.doc.m_strInInitial = "HI";
    rig.Start("TLS:0@127.0.0.1;clients=2", TcpSetup(outServer));
    QTcpSocket* pOut = Accept(outServer);
    QVERIFY(pOut);
    SSink outSink;
    outSink.Attach(pOut);
    const quint16 nPort = ListenPort(rig.gateway.m_pInSocket);
    QSslSocket clients[3];
    SSink sinks[3];
    for (int i = 0; i < 3; ++i) {
        clients[i].setSslConfiguration(PeerConfig(None, true));
        clients[i].connectToHostEncrypted(QStringLiteral("127.0.0.1"), nPort, QStringLiteral("localhost"));
        sinks[i].Attach(&clients[i]);
        if (i < 2)
            QTRY_COMPARE(sinks[i].data, QByteArray("HI"));
    }
    QTRY_VERIFY(!rig.Texts().filter("TLS Client Refused,port in use").isEmpty());
    QTRY_COMPARE(clients[2].state(), QAbstractSocket::UnconnectedState);
    QVERIFY(sinks[2].data.isEmpty());
    // Both ways at once: 1 MiB to both clients, 256 KiB from each.
    pOut->write(down);
    clients[0].write(QByteArray(256 * 1024, 'a'));
    clients[1].write(QByteArray(256 * 1024, 'b'));
    QTRY_VERIFY_WITH_TIMEOUT(sinks[0].data.size() >= kSize + 2 && sinks[1].data.size() >= kSize + 2
                                 && outSink.data.size() >= 512 * 1024,
                             60000);
    QVERIFY(sinks[0].data.mid(2) == down && sinks[1].data.mid(2) == down);
    QCOMPARE(outSink.data.size(), 512 * 1024);
    QCOMPARE(outSink.data.count('a'), 256 * 1024);
    // A client in the place of one that left: what its session holds comes through.
    clients[1].disconnectFromHost();
    QTRY_VERIFY(!rig.Texts().filter("TLS Client Disconnected,").isEmpty());
    SendRecords(nPort, None, outSink, [&] { QTRY_COMPARE(rig.Texts().filter("TLS Client Accepted,").size(), 3); });
}

void TestTls::silentNeighbours_data()
{
    QTest::addColumn<int>("nSilent");    // plain connections that send nothing
    QTest::addColumn<int>("nAddresses"); // the loopback addresses they come from
    QTest::addColumn<bool>("bStop");     // the gateway stops once the good client is in
    QTest::newRow("a few") << 3 << 1 << false;
    QTest::newRow("every place") << int(CPortSocket::kMaxHandshakes) << int(CPortSocket::kMaxHandshakes) << false;
    QTest::newRow("flood from one address") << 3 * int(CPortSocket::kMaxHandshakes) << 1 << false;
    QTest::newRow("stop") << 3 << 1 << true;
}

// Connections that never start a handshake (a port scanner, an attacker)
// do not hold a good client from another address back: its handshake runs
// beside theirs, or takes the place of the oldest of them, well within
// their time limit. Each ends on its own time limit, when it gives its
// place up, or at once when the port closes; their lines are summed up.
void TestTls::silentNeighbours()
{
    QFETCH(int, nSilent);
    QFETCH(int, nAddresses);
    QFETCH(bool, bStop);
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.gateway.SetTlsConfig(GatewayConfig(ServerLeaf, false));
    rig.doc.m_strInInitial = "HI";
    rig.Start("TLS:0@127.0.0.1", TcpSetup(outServer));
    QVERIFY2(rig.gateway.m_pInSocket, qPrintable(rig.Texts().join('\n')));
    const quint16 nPort = ListenPort(rig.gateway.m_pInSocket);
    std::vector<QTcpSocket> silent(nSilent);
    int nConnected = 0;
    for (int i = 0; i < nSilent; ++i) {
        connect(&silent[i], &QTcpSocket::connected, this, [&nConnected] { ++nConnected; });
        silent[i].bind(QHostAddress(QStringLiteral("127.0.1.%1").arg(1 + i % nAddresses)));
        silent[i].connectToHost(QHostAddress::LocalHost, nPort);
        QTRY_COMPARE(nConnected, i + 1);
    }
    QSslSocket client;
    SSink sink;
    client.setSslConfiguration(PeerConfig(None, true));
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), nPort, QStringLiteral("localhost"));
    sink.Attach(&client);
    // Well before any silent one's time limit.
    QTRY_COMPARE_WITH_TIMEOUT(sink.data, QByteArray("HI"), CPortSocket::kConnectTimeoutMs / 2);
    if (bStop)
        rig.gateway.RequestStop(true);
    const int nWithinMs = bStop ? CPortSocket::kConnectTimeoutMs / 2 : 3 * CPortSocket::kConnectTimeoutMs;
    for (QTcpSocket& socket : silent)
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, nWithinMs);
    QCOMPARE(rig.gateway.Observer().Counters().m_nRefused[0][CRefusalLog::Handshake], quint64(bStop ? 0 : nSilent));
    // A few lines, not one per connection.
    QVERIFY2(rig.Texts().filter("TLS Client Refused,").size() <= (bStop ? 0 : 3), qPrintable(rig.Texts().join('\n')));
    // The stop's close of the good client reaches it through the event loop.
    QTRY_COMPARE(client.state(), bStop ? QAbstractSocket::UnconnectedState : QAbstractSocket::ConnectedState);
}

void TestTls::finishedTogether_data()
{
    QTest::addColumn<QByteArray>("options");
    QTest::addColumn<int>("nClients");
    QTest::addColumn<int>("nKept");     // clients connected in the end
    QTest::addColumn<QString>("line"); // the line of each one not kept
    QTest::newRow("refuse") << QByteArray(";clients=refuse") << 2 << 1 << "TLS Client Refused,port in use,";
    QTest::newRow("shared") << QByteArray(";clients=2") << 3 << 2 << "TLS Client Refused,port in use,";
    QTest::newRow("replace") << QByteArray() << 2 << 1 << "TLS Client Replaced,";
}

// Newcomers admitted while the port was free whose handshakes end after
// it has filled: the client policy holds when each one ends.
void TestTls::finishedTogether()
{
    QFETCH(QByteArray, options);
    QFETCH(int, nClients);
    QFETCH(int, nKept);
    QFETCH(QString, line);
    QTcpServer outServer;
    QVERIFY(outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.gateway.SetTlsConfig(GatewayConfig(ServerLeaf, false));
    rig.Start("TLS:0@127.0.0.1" + options, TcpSetup(outServer));
    QByteArray strError;
    const auto pContext = CTlsContext::Create(GatewayConfig(None, false), CTlsContext::Client, &strError);
    QVERIFY2(pContext, strError.constData());
    const SSocketAddress to = IPv4Address(htonl(INADDR_LOOPBACK), ListenPort(rig.gateway.m_pInSocket));
    std::vector<int> handles;
    std::vector<std::unique_ptr<CTlsSession>> sessions;
    for (int i = 0; i < nClients; ++i) {
        handles.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        QVERIFY(::connect(handles[i], to.Get(), to.nLength) == 0);
        ::fcntl(handles[i], F_SETFL, O_NONBLOCK);
        sessions.push_back(std::make_unique<CTlsSession>(pContext, handles[i], "localhost"));
    }
    // All are in their handshakes before any ends.
    QTRY_COMPARE(AcceptQueue(rig.gateway.m_pInSocket->Listener()->Handle()), 0);
    std::vector<int> results(nClients, CTlsSession::kWouldBlock);
    auto handshakesDone = [&] {
        for (int i = 0; i < nClients; ++i)
            results[i] = results[i] == 1 ? 1 : sessions[i]->Handshake();
        return std::count(results.begin(), results.end(), 1) == nClients;
    };
    QTRY_VERIFY(handshakesDone());
    QTRY_COMPARE(rig.Texts().filter("TLS Client Accepted,").size(), options.isEmpty() ? nClients : nKept);
    QTRY_COMPARE(rig.Texts().filter(line).size(), nClients - nKept);
    // The port has closed the ones not kept (a read ends: 0 or failed).
    auto closedCount = [&] {
        char buffer[64];
        for (int i = 0; i < nClients; ++i)
            while (results[i] != 0 && results[i] != CTlsSession::kFailed
                   && (results[i] = sessions[i]->Read(buffer, sizeof buffer)) > 0) {
            }
        return std::count_if(results.begin(), results.end(), [](int n) { return n == 0 || n == CTlsSession::kFailed; });
    };
    QTRY_COMPARE(closedCount(), nClients - nKept);
    sessions.clear();
    for (int h : handles)
        ::close(h);
}

QTEST_MAIN(TestTls)
#include "tst_tls.moc"
