// trelvaned --http: the request paths on their own, and the web console in
// a real headless browser (Debian's chromium) against the running program
// during a relay.

#include "consoleroute.h"
#include "browserpage.h"
#include "daemonprocess.h"
#include "sanitized.h"
#include "testpki.h"

#include "trelvanedoc.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>

#include <memory>
#include <vector>

namespace {

constexpr int kWaitMs = 15000;

quint16 FreePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

// One request on a new connection: the status code (0: no answer), the body.
int Get(quint16 nPort, const QByteArray& strRequest, QByteArray* pBody = nullptr)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, nPort);
    if (!socket.waitForConnected(kWaitMs))
        return 0;
    socket.write(strRequest);
    QByteArray data;
    qsizetype nEnd = -1;
    qsizetype nLength = 0;
    while (nEnd < 0 || data.size() < nEnd + 4 + nLength) {
        if (!socket.bytesAvailable() && !socket.waitForReadyRead(kWaitMs))
            return 0;
        data += socket.readAll();
        if (nEnd < 0 && (nEnd = data.indexOf("\r\n\r\n")) >= 0) {
            static const QRegularExpression length(QStringLiteral("\r\ncontent-length: *(\\d+)"),
                                                   QRegularExpression::CaseInsensitiveOption);
            nLength = length.match(QString::fromLatin1(data.left(nEnd + 2))).captured(1).toLongLong();
        }
    }
    if (pBody)
        *pBody = data.mid(nEnd + 4, nLength);
    return data.startsWith("HTTP/1.1 ") ? data.mid(9, 3).toInt() : -1;
}

// A Listening Input shared by up to 4 clients, relaying to a TCP server of
// the test, with the web console on a port of its own.
struct SConsoleRun
{
    QTemporaryDir dir;
    QTcpServer outServer;
    QTcpSocket* pOut = nullptr;
    quint16 nInPort = FreePort();
    quint16 nHttpPort = FreePort();
    std::unique_ptr<CDaemonProcess> pDaemon;

    bool WriteSettings(quint16 nIn)
    {
        CTrelvaneDoc doc;
        doc.m_strInSetup = "TCP:" + QByteArray::number(nIn) + "@127.0.0.1;clients=4";
        doc.m_strOutSetup = "TCP:" + QByteArray::number(outServer.serverPort()) + ",127.0.0.1";
        doc.m_nOutStartup = 1007;
        QString strError;
        return doc.OnSaveDocument(dir.filePath(QStringLiteral("gw.set")), &strError);
    }
    bool Start()
    {
        if (!outServer.isListening() && !outServer.listen(QHostAddress::LocalHost))
            return false;
        if (!WriteSettings(nInPort))
            return false;
        pDaemon = std::make_unique<CDaemonProcess>(QStringLiteral(TRELVANED_PATH));
        if (!pDaemon->Start({QStringLiteral("--http"), QString::number(nHttpPort), QStringLiteral("--profile"),
                             dir.filePath(QStringLiteral("none.ini")), dir.filePath(QStringLiteral("gw.set"))}))
            return false;
        if (!QTest::qWaitFor([&] { return pDaemon->CountOut("Done!") == 2 && outServer.hasPendingConnections(); },
                             kWaitMs))
            return false;
        pOut = outServer.nextPendingConnection();
        return true;
    }
};

} // namespace

class TestConsole : public QObject
{
    Q_OBJECT
private slots:
    void routes_data();
    void routes();
    void badRequestsAndManyRequests();
    void pageCountersEqualSigusr1();
    void linesArriveWithinOneSecond();
    void pageFollowsReloadAndRestart();
    void accessOffLoopback();
};

void TestConsole::routes_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("what");
    QTest::addColumn<bool>("traffic");
    using R = SConsoleRoute;
    QTest::newRow("page") << QByteArray("GET") << QByteArray("/") << int(R::Page) << false;
    QTest::newRow("index") << QByteArray("GET") << QByteArray("/index.html") << int(R::Page) << false;
    QTest::newRow("status") << QByteArray("GET") << QByteArray("/api/status") << int(R::Status) << false;
    QTest::newRow("events") << QByteArray("GET") << QByteArray("/api/events") << int(R::Events) << false;
    QTest::newRow("events, traffic") << QByteArray("GET") << QByteArray("/api/events?x=%41&traffic=1")
                                     << int(R::Events) << true;
    QTest::newRow("events, traffic=0") << QByteArray("GET") << QByteArray("/api/events?traffic=0") << int(R::Events)
                                       << false;
    QTest::newRow("metrics") << QByteArray("GET") << QByteArray("/metrics?a") << int(R::Metrics) << false;
    QTest::newRow("encoded path") << QByteArray("GET") << QByteArray("/api/%73tatus") << int(R::Status) << false;
    QTest::newRow("unknown") << QByteArray("GET") << QByteArray("/api/statuses") << int(R::NotFound) << false;
    QTest::newRow("trailing slash") << QByteArray("GET") << QByteArray("/metrics/") << int(R::NotFound) << false;
    QTest::newRow("POST") << QByteArray("POST") << QByteArray("/api/status") << int(R::MethodNotAllowed) << false;
    QTest::newRow("unknown method, unknown path") << QByteArray("BREW") << QByteArray("/pot") << int(R::NotFound)
                                                  << false;
    QTest::newRow("dot dot") << QByteArray("GET") << QByteArray("/../etc/passwd") << int(R::BadRequest) << false;
    QTest::newRow("dot dot inside") << QByteArray("GET") << QByteArray("/api/../api/status") << int(R::BadRequest)
                                    << false;
    QTest::newRow("encoded dot dot") << QByteArray("GET") << QByteArray("/%2e%2E/x") << int(R::BadRequest) << false;
    QTest::newRow("encoded slash dot") << QByteArray("GET") << QByteArray("/api%2f..%2fx") << int(R::BadRequest)
                                       << false;
    QTest::newRow("single dot") << QByteArray("GET") << QByteArray("/./api/status") << int(R::BadRequest) << false;
    QTest::newRow("backslash") << QByteArray("GET") << QByteArray("/api\\status") << int(R::BadRequest) << false;
    QTest::newRow("relative") << QByteArray("GET") << QByteArray("api/status") << int(R::BadRequest) << false;
    QTest::newRow("bad escape") << QByteArray("GET") << QByteArray("/api/status%4") << int(R::BadRequest) << false;
    QTest::newRow("NUL") << QByteArray("GET") << QByteArray("/api/status%00") << int(R::BadRequest) << false;
    QTest::newRow("bad escape in query") << QByteArray("GET") << QByteArray("/?a=%zz") << int(R::BadRequest)
                                         << false;
    QTest::newRow("too long") << QByteArray("GET") << ("/" + QByteArray(kMaxConsoleTarget, 'a'))
                              << int(R::BadRequest) << false;
    QTest::newRow("empty") << QByteArray("GET") << QByteArray() << int(R::BadRequest) << false;
}

void TestConsole::routes()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(int, what);
    QFETCH(bool, traffic);
    const SConsoleRoute route = ParseConsoleRoute(method, target);
    QCOMPARE(int(route.eWhat), what);
    QCOMPARE(route.bTraffic, traffic);
}

// Odd requests get their status on the wire, and 10,000 requests, a header
// bomb and a connection that trickles leave the program's memory and the
// relay as they were.
void TestConsole::badRequestsAndManyRequests()
{
    SConsoleRun run;
    QVERIFY(run.Start());
    const quint16 nPort = run.nHttpPort;
    const struct
    {
        const char* pszRequest;
        int nStatus;
    } cases[] = {
        {"GET /../../etc/passwd HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET /%2e%2e/x HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET /nothing HTTP/1.1\r\nHost: a\r\n\r\n", 404},
        {"DELETE /api/status HTTP/1.1\r\nHost: a\r\n\r\n", 405},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc", 405},
        {"GET /api/status HTTP/1.1\r\nHost: a\r\n\r\n", 200},
    };
    for (const auto& c : cases)
        QCOMPARE(Get(nPort, c.pszRequest), c.nStatus);

    QFile status(QStringLiteral("/proc/%1/status").arg(run.pDaemon->m_process.processId()));
    const auto rssKiB = [&status] {
        status.open(QIODevice::ReadOnly);
        static const QRegularExpression rss(QStringLiteral("VmRSS:\\s*(\\d+)"));
        const long n = rss.match(QString::fromLatin1(status.readAll())).captured(1).toLong();
        status.close();
        return n;
    };
    QTcpSocket kept;
    kept.connectToHost(QHostAddress::LocalHost, nPort);
    QVERIFY(kept.waitForConnected(kWaitMs));
    const QByteArray strOne = "GET /x HTTP/1.1\r\nHost: a\r\n\r\n";
    int nAnswered = 0;
    const auto burst = [&](int nCount) {
        // Pipelined on one connection, in batches the read bound lets through.
        for (int i = 0; i < nCount; i += 100) {
            kept.write(strOne.repeated(100));
            QByteArray got;
            while (got.count("HTTP/1.1 404") < 100 && (kept.bytesAvailable() || kept.waitForReadyRead(kWaitMs)))
                got += kept.readAll();
            nAnswered += int(got.count("HTTP/1.1 404"));
        }
    };
    burst(1000); // the allocator settles
    const long nBefore = rssKiB();
    burst(10000);
    QCOMPARE(nAnswered, 11000);
    const long nAfter = rssKiB();
    qInfo("VmRSS %ld KiB before, %ld KiB after 10000 requests", nBefore, nAfter);
    // Under AddressSanitizer the allocator's quarantine keeps freed memory.
    QVERIFY2(kTestSanitized || nAfter - nBefore < 2048, "10,000 requests grew the resident set by 2 MiB or more");

    // A header bomb: answered 400 and cut off early, its bytes not kept.
    QTcpSocket bomb;
    bomb.connectToHost(QHostAddress::LocalHost, nPort);
    QVERIFY(bomb.waitForConnected(kWaitMs));
    bomb.write("GET / HTTP/1.1\r\n");
    qint64 nSent = 0;
    const QByteArray header = "X-Bomb: " + QByteArray(1000, 'b') + "\r\n";
    while (nSent < (16 << 20) && bomb.state() == QAbstractSocket::ConnectedState) {
        if (bomb.bytesToWrite() < 65536)
            nSent += bomb.write(header.repeated(64));
        bomb.waitForBytesWritten(50);
    }
    QTRY_COMPARE_WITH_TIMEOUT(bomb.state(), QAbstractSocket::UnconnectedState, kWaitMs);
    QVERIFY2(nSent < (8 << 20), qPrintable(QString::number(nSent)));
    QVERIFY2(bomb.readAll().startsWith("HTTP/1.1 400 "), "the bomb is answered 400 Bad Request");
    // The relay goes on.
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, run.nInPort);
    QVERIFY(client.waitForConnected(kWaitMs));
    QTRY_COMPARE_WITH_TIMEOUT(run.pDaemon->CountOut("TCP Client Accepted"), 1, kWaitMs);
    client.write("ping");
    QByteArray got;
    QTRY_COMPARE_WITH_TIMEOUT(got += run.pOut->readAll(), QByteArray("ping"), kWaitMs);
    QCOMPARE(Get(nPort, "GET /api/status HTTP/1.1\r\nHost: a\r\n\r\n"), 200);
}

// After a relay both ways, the counters the page shows are those SIGUSR1
// prints. With TRELVANE_CONSOLE_SCREENSHOT set, the page is also saved there
// as a picture.
void TestConsole::pageCountersEqualSigusr1()
{
    if (CBrowserPage::Program().isEmpty())
        QSKIP("chromium is not installed");
    SConsoleRun run;
    QVERIFY(run.Start());
    CBrowserPage page;
    QVERIFY(page.Open(QStringLiteral("http://127.0.0.1:%1/").arg(run.nHttpPort)));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, run.nInPort);
    QVERIFY(client.waitForConnected(kWaitMs));
    QTRY_COMPARE_WITH_TIMEOUT(run.pDaemon->CountOut("TCP Client Accepted"), 1, kWaitMs);
    client.write(QByteArray(3000, 'i'));
    QByteArray got;
    QTRY_COMPARE_WITH_TIMEOUT((got += run.pOut->readAll()).size(), 3000, kWaitMs);
    run.pOut->write(QByteArray(700, 'o'));
    QByteArray back;
    QTRY_COMPARE_WITH_TIMEOUT((back += client.readAll()).size(), 700, kWaitMs);

    run.pDaemon->Signal(SIGUSR1);
    QTRY_VERIFY_WITH_TIMEOUT(run.pDaemon->Err().contains("trelvaned: counters: "), kWaitMs);
    static const QRegularExpression counters(QStringLiteral("counters: ([^\n]*)\n"));
    const QString strLine = counters.match(QString::fromUtf8(run.pDaemon->Err())).captured(1);
    static const QRegularExpression direction(QStringLiteral(
        "(in|out)-->(in|out) received=(\\d+)/(\\d+) sent=(\\d+)/(\\d+) held-back=(\\d+) no-client=(\\d+)"));
    QMap<QString, QString> expected;
    for (auto it = direction.globalMatch(strLine); it.hasNext();) {
        const auto m = it.next();
        const QString strDirection = m.captured(1) + QStringLiteral("_to_") + m.captured(2);
        const char* const names[] = {"received_blocks", "received_bytes", "sent_blocks", "sent_bytes", "held_back",
                                     "no_client"};
        for (int i = 0; i < 6; ++i)
            expected.insert(strDirection + u'-' + QLatin1String(names[i]), m.captured(3 + i));
    }
    static const QRegularExpression totals(QStringLiteral("plugin-errors=(\\d+) restarts=(\\d+) reconnects=(\\d+)"));
    const auto t = totals.match(strLine);
    expected.insert(QStringLiteral("plugin_errors"), t.captured(1));
    expected.insert(QStringLiteral("restarts"), t.captured(2));
    expected.insert(QStringLiteral("reconnects"), t.captured(3));
    QCOMPARE(expected.size(), 15);
    QCOMPARE(expected.value(QStringLiteral("in_to_out-received_bytes")), QStringLiteral("3000"));
    // The page's counters come once a second: the next ones after the relay stopped.
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QTRY_COMPARE_WITH_TIMEOUT(it.key() + u' ' + page.Text(it.key()), it.key() + u' ' + it.value(), 3000);
    // The client is listed with its address.
    QVERIFY(page.Text(QStringLiteral("port-input")).contains(QStringLiteral("127.0.0.1:%1").arg(client.localPort())));

    const QString strShot = qEnvironmentVariable("TRELVANE_CONSOLE_SCREENSHOT");
    if (!strShot.isEmpty()) {
        QFile file(strShot);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(page.Screenshot(1000)) > 1000);
    }
}

// Message list lines appear on the open page within 1 s of being printed:
// each line's arrival on the page is compared with the moment the test
// read it on the program's standard output.
void TestConsole::linesArriveWithinOneSecond()
{
    if (CBrowserPage::Program().isEmpty())
        QSKIP("chromium is not installed");
    // Outlives the run, whose output it follows to the end.
    QMap<QString, qint64> printedAt; // "TCP Client Accepted,port:N,addr:..." -> ms
    SConsoleRun run;
    QVERIFY(run.Start());
    QObject::connect(&run.pDaemon->m_process, &QProcess::readyReadStandardOutput, &run.pDaemon->m_process, [&] {
        static const QRegularExpression client(QStringLiteral("TCP Client \\w+,port:\\d+,addr:[0-9.]+"));
        for (auto it = client.globalMatch(QString::fromUtf8(run.pDaemon->Out())); it.hasNext();) {
            const QString strKey = it.next().captured(0);
            if (!printedAt.contains(strKey))
                printedAt.insert(strKey, QDateTime::currentMSecsSinceEpoch());
        }
    });
    CBrowserPage page;
    QVERIFY(page.Open(QStringLiteral("http://127.0.0.1:%1/").arg(run.nHttpPort)));
    QTRY_COMPARE_WITH_TIMEOUT(page.Evaluate(QStringLiteral("document.body.dataset.statusEvents")),
                              QStringLiteral("1"), kWaitMs);
    for (int i = 0; i < 3; ++i) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, run.nInPort);
        QVERIFY(client.waitForConnected(kWaitMs));
        const QString strLine = QStringLiteral("TCP Client Accepted,port:%1,addr:127.0.0.1").arg(client.localPort());
        QTRY_VERIFY_WITH_TIMEOUT(printedAt.contains(strLine), kWaitMs);
        // Found by its text; when it came, and whether on its own.
        const QString strFind = QStringLiteral(
            "(() => { for (const li of document.querySelectorAll('#messages li'))"
            " if (li.textContent.endsWith('%1') && li.dataset.live) return li.dataset.t; return ''; })()")
                                    .arg(strLine);
        QTRY_VERIFY_WITH_TIMEOUT(!page.Evaluate(strFind).isEmpty(), 1000);
        const qint64 nDelay = page.Evaluate(strFind).toLongLong() - printedAt.value(strLine);
        QVERIFY2(nDelay < 1000, qPrintable(QStringLiteral("%1 after %2 ms").arg(strLine).arg(nDelay)));
        client.abort();
    }
}

// The page goes on across a reload (SIGHUP with new settings) and a restart
// of the program: it shows the new state without being loaded again.
void TestConsole::pageFollowsReloadAndRestart()
{
    if (CBrowserPage::Program().isEmpty())
        QSKIP("chromium is not installed");
    SConsoleRun run;
    QVERIFY(run.Start());
    CBrowserPage page;
    QVERIFY(page.Open(QStringLiteral("http://127.0.0.1:%1/").arg(run.nHttpPort)));
    const QString strEvents = QStringLiteral("document.body.dataset.statusEvents");
    QTRY_COMPARE_WITH_TIMEOUT(page.Evaluate(strEvents), QStringLiteral("1"), kWaitMs);
    const auto inputSetup = [&page] { return page.Evaluate(QStringLiteral("document.querySelector('#port-input code').textContent")); };
    QCOMPARE(inputSetup(), QStringLiteral("TCP:%1@127.0.0.1;clients=4").arg(run.nInPort));

    const quint16 nSecond = FreePort();
    QVERIFY(run.WriteSettings(nSecond));
    run.pDaemon->Signal(SIGHUP);
    QTRY_COMPARE_WITH_TIMEOUT(inputSetup(), QStringLiteral("TCP:%1@127.0.0.1;clients=4").arg(nSecond), kWaitMs);
    QCOMPARE(page.Evaluate(strEvents), QStringLiteral("2"));

    run.pDaemon->Signal(SIGTERM);
    QVERIFY(run.pDaemon->m_process.waitForFinished(kWaitMs));
    QTRY_COMPARE_WITH_TIMEOUT(page.Text(QStringLiteral("link")), QStringLiteral("reconnecting"), kWaitMs);
    run.nInPort = FreePort();
    QVERIFY(run.Start());
    QTRY_COMPARE_WITH_TIMEOUT(inputSetup(), QStringLiteral("TCP:%1@127.0.0.1;clients=4").arg(run.nInPort), kWaitMs);
    QCOMPARE(page.Evaluate(strEvents), QStringLiteral("3"));
    QCOMPARE(page.Text(QStringLiteral("link")), QStringLiteral("live"));
    // The new program's Message list only.
    QCOMPARE(page.Evaluate(QStringLiteral("String(document.querySelectorAll('#messages li').length)")),
             QString::number(run.pDaemon->Out().count('\n')));
}

// Off the loopback addresses the console runs TLS with the profile's [TLS]
// files (client certificates when required), or plain only when the
// operator says so; an address list keeps others out. No file of the
// profile is named on the page.
void TestConsole::accessOffLoopback()
{
    SConsoleRun run;
    QVERIFY(run.outServer.listen(QHostAddress::LocalHost) && run.WriteSettings(run.nInPort));
    const QString strSet = run.dir.filePath(QStringLiteral("gw.set"));
    const QString strIni = run.dir.filePath(QStringLiteral("tls.ini"));
    const QString strAny = QStringLiteral("0.0.0.0:%1").arg(run.nHttpPort);
    const QByteArray kStatus = "GET /api/status HTTP/1.1\r\nHost: a\r\n\r\n";
    const auto start = [&](CDaemonProcess& daemon, const QStringList& args) {
        return daemon.Start(args + QStringList {QStringLiteral("--profile"), strIni, strSet})
            && QTest::qWaitFor([&] { return daemon.CountOut("Listen TCP...") == 1 || daemon.Finished(); }, kWaitMs);
    };
    {
        // No [TLS]: refused at start.
        CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
        QVERIFY(start(daemon, {QStringLiteral("--http"), strAny}));
        QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
        QCOMPARE(daemon.ExitCode(), 2);
        QVERIFY2(daemon.Err().startsWith("trelvaned: cannot serve the web console on " + strAny.toUtf8() + " with TLS: "),
                 daemon.Err().constData());
    }
    {
        // Plain when asked for; an address list that leaves the test out.
        CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
        QVERIFY(start(daemon, {QStringLiteral("--http"), strAny, QStringLiteral("--http-insecure")}));
        QCOMPARE(Get(run.nHttpPort, kStatus), 200);
    }
    {
        CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
        QVERIFY(start(daemon, {QStringLiteral("--http"), QString::number(run.nHttpPort), QStringLiteral("--http-allow"),
                               QStringLiteral("10.0.0.0/8+::2")}));
        QCOMPARE(Get(run.nHttpPort, kStatus), 0);
    }
    if (!QSslSocket::supportsSsl())
        QSKIP("Qt has no TLS backend here");
    CTestPki pki;
    const CTestPki::SIssued& ca = pki.Issue(QStringLiteral("ca"), nullptr, nullptr);
    const CTestPki::SIssued& server = pki.Issue(QStringLiteral("server"), &ca, "IP:127.0.0.1");
    const CTestPki::SIssued& client = pki.Issue(QStringLiteral("client"), &ca, "DNS:client", -1, 30, "clientAuth");
    QFile ini(strIni);
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[TLS]\nCertificate=" + QFile::encodeName(server.strCert) + "\nKey=" + QFile::encodeName(server.strKey)
              + "\nCA=" + QFile::encodeName(ca.strCert) + "\nRequireClientCertificate=1\n");
    ini.close();
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(start(daemon, {QStringLiteral("--http"), strAny}));
    const auto tlsGet = [&](bool bWithCertificate, QByteArray* pBody) {
        QSslSocket socket;
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setCaCertificates(QSslCertificate::fromPath(ca.strCert));
        if (bWithCertificate) {
            configuration.setLocalCertificate(QSslCertificate::fromPath(client.strCert).value(0));
            QFile key(client.strKey);
            key.open(QIODevice::ReadOnly);
            configuration.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
        }
        socket.setSslConfiguration(configuration);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), run.nHttpPort);
        if (!socket.waitForEncrypted(kWaitMs))
            return 0;
        socket.write(kStatus);
        QByteArray data;
        while (!data.contains("}") && socket.waitForReadyRead(5000))
            data += socket.readAll();
        *pBody = data;
        return data.startsWith("HTTP/1.1 ") ? data.mid(9, 3).toInt() : -1;
    };
    QByteArray body;
    QCOMPARE(tlsGet(true, &body), 200);
    QVERIFY(body.contains("\"event_streams\""));
    QVERIFY(!body.contains(QFileInfo(server.strKey).fileName().toUtf8()));
    QVERIFY(!body.contains(QFileInfo(server.strCert).fileName().toUtf8()));
    QVERIFY(tlsGet(false, &body) <= 0);
    // Plain HTTP gets no answer from a TLS port.
    QVERIFY(Get(run.nHttpPort, kStatus) <= 0);
}

QTEST_GUILESS_MAIN(TestConsole)
#include "tst_console.moc"
