// trelvaned --metrics: the exposition text, and the real program scraped
// over loopback during a relay.

#include "daemonprocess.h"
#include "files.h"
#include "metricstext.h"
#include "sanitized.h"

#include "trelvanedoc.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QTest>

#include <memory>

#include <sys/socket.h>
#include <vector>

namespace {

constexpr int kWaitMs = 15000;

quint16 FreePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

// One request on an open connection: the status code (0: no answer) and
// the body. Keeps the connection for the next request.
int Request(QTcpSocket& socket, const QByteArray& strRequest, QByteArray* pBody = nullptr)
{
    socket.write(strRequest);
    QByteArray data;
    qsizetype nHeaderEnd = -1;
    qsizetype nLength = 0;
    while (nHeaderEnd < 0 || data.size() < nHeaderEnd + 4 + nLength) {
        if (!socket.bytesAvailable() && !socket.waitForReadyRead(kWaitMs))
            return 0;
        data += socket.readAll();
        if (nHeaderEnd < 0 && (nHeaderEnd = data.indexOf("\r\n\r\n")) >= 0) {
            static const QRegularExpression length(QStringLiteral("\r\nContent-Length: *(\\d+)"),
                                                   QRegularExpression::CaseInsensitiveOption);
            const auto match = length.match(QString::fromLatin1(data.left(nHeaderEnd + 2)));
            nLength = match.hasMatch() ? match.captured(1).toLongLong() : 0;
        }
    }
    if (pBody)
        *pBody = data.mid(nHeaderEnd + 4, nLength);
    return data.startsWith("HTTP/1.1 ") ? data.mid(9, 3).toInt() : -1;
}

int Scrape(quint16 nPort, const QByteArray& strRequest, QByteArray* pBody = nullptr)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, nPort);
    if (!socket.waitForConnected(kWaitMs))
        return 0;
    return Request(socket, strRequest, pBody);
}

const QByteArray kGet = "GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n";

// Samples by name and labels, comments left out.
QMap<QString, QString> Samples(const QByteArray& text)
{
    QMap<QString, QString> samples;
    for (const QByteArray& line : text.split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const qsizetype nSpace = line.lastIndexOf(' ');
        samples.insert(QString::fromUtf8(line.left(nSpace)), QString::fromUtf8(line.mid(nSpace + 1)));
    }
    return samples;
}

// The same values from trelvaned's "counters:" line, under the metric names.
QMap<QString, QString> CountersAsSamples(const QString& strLine)
{
    QMap<QString, QString> samples;
    static const QRegularExpression direction(QStringLiteral(
        "(in|out)-->(in|out) received=(\\d+)/(\\d+) sent=(\\d+)/(\\d+) held-back=(\\d+) no-client=(\\d+)"));
    for (auto it = direction.globalMatch(strLine); it.hasNext();) {
        const auto m = it.next();
        const QString strLabel = QStringLiteral("{direction=\"%1_to_%2\"}").arg(m.captured(1), m.captured(2));
        const char* const names[] = {"received_blocks", "received_bytes", "sent_blocks", "sent_bytes",
                                     "held_back_blocks", "no_client_blocks"};
        for (int i = 0; i < 6; ++i)
            samples.insert(QStringLiteral("trelvane_%1_total").arg(QLatin1String(names[i])) + strLabel, m.captured(3 + i));
    }
    static const QRegularExpression totals(QStringLiteral("plugin-errors=(\\d+) restarts=(\\d+) reconnects=(\\d+)"));
    const auto m = totals.match(strLine);
    samples.insert(QStringLiteral("trelvane_plugin_errors_total"), m.captured(1));
    samples.insert(QStringLiteral("trelvane_restarts_total"), m.captured(2));
    samples.insert(QStringLiteral("trelvane_reconnects_total"), m.captured(3));
    // Printed only once a datagram has been dropped for its sender.
    static const QRegularExpression notAllowed(QStringLiteral(" not-allowed=(\\d+)$"));
    const auto n = notAllowed.match(strLine.trimmed());
    samples.insert(QStringLiteral("trelvane_not_allowed_datagrams_total"),
                   n.hasMatch() ? n.captured(1) : QStringLiteral("0"));
    return samples;
}

long StatusKiB(qint64 nPid, const char* pszField)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(nPid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith(pszField))
            return line.mid(qsizetype(qstrlen(pszField))).trimmed().split(' ').front().toLong();
    return -1;
}

// A relay between two loopback servers of the test, with --metrics.
struct SMetricsRun
{
    QTemporaryDir dir;
    QTcpServer inServer, outServer;
    QTcpSocket* pIn = nullptr;
    QTcpSocket* pOut = nullptr;
    quint16 nPort = FreePort();
    CDaemonProcess daemon {QStringLiteral(TRELVANED_PATH)};

    bool Start()
    {
        if (!inServer.listen(QHostAddress::LocalHost) || !outServer.listen(QHostAddress::LocalHost))
            return false;
        CTrelvaneDoc doc;
        doc.m_strInSetup = "TCP:" + QByteArray::number(inServer.serverPort()) + ",127.0.0.1";
        doc.m_strOutSetup = "TCP:" + QByteArray::number(outServer.serverPort()) + ",127.0.0.1";
        doc.m_nOutStartup = 1007;
        const QString strSet = dir.filePath(QStringLiteral("gw.set"));
        QString strError;
        if (!doc.OnSaveDocument(strSet, &strError)
            || !daemon.Start({QStringLiteral("--metrics"), QString::number(nPort), QStringLiteral("--profile"),
                              dir.filePath(QStringLiteral("none.ini")), strSet}))
            return false;
        if (!QTest::qWaitFor([&] { return inServer.hasPendingConnections() && outServer.hasPendingConnections(); },
                             kWaitMs))
            return false;
        pIn = inServer.nextPendingConnection();
        pOut = outServer.nextPendingConnection();
        return QTest::qWaitFor([&] { return daemon.CountOut("Done!") == 2; }, kWaitMs);
    }
};

} // namespace

class TestMetrics : public QObject
{
    Q_OBJECT
private slots:
    void exposition();
    void failureForms_data();
    void failureForms();
    void tlsAndRefusals();
    void addresses_data();
    void addresses();
    void scrapeEqualsCounters();
    void sessionsKeepSeries();
    void otherRequestsGet404_data();
    void otherRequestsGet404();
    void scrapesAndAbuseLeaveMemoryFlat();
    void portInUseExitsTwo();
    void clientSessionsAddNoSeries();
    void idleAndTricklingConnectionsGiveWay();
    void cleanupTestCase() { m_pShared.reset(); }

private:
    // One run for the rows of a table.
    std::unique_ptr<SMetricsRun> m_pShared;
};

void TestMetrics::exposition()
{
    SMetricsSnapshot s;
    s.m_counters.m_nBytesReceived[0] = 123456789012ULL;
    QByteArray text = FormatMetrics(s);
    // Every sample of a family that was declared, in the format's grammar.
    static const QRegularExpression sample(QStringLiteral("^([a-z_]+?)(_bucket|_sum|_count)?(\\{[a-z_]+=\"(?:[^\"\\\\\\n]|\\\\.)*\""
                                                          "(,[a-z_]+=\"[a-z_0-9+I]+\")*\\})? \\d+(\\.\\d+)?$"));
    QStringList declared;
    for (const QByteArray& line : text.split('\n')) {
        if (line.startsWith("# TYPE "))
            declared.append(QString::fromLatin1(line.split(' ').at(2)));
        else if (!line.isEmpty() && !line.startsWith("# HELP "))
            QVERIFY2(declared.contains(sample.match(QString::fromUtf8(line)).captured(1)), line.constData());
    }
    QCOMPARE(declared.size(), 19);
    const QMap<QString, QString> samples = Samples(text);
    QCOMPARE(samples.value(QStringLiteral("trelvane_received_bytes_total{direction=\"in_to_out\"}")),
             QStringLiteral("123456789012"));
    // Six families each way, five totals, two ports, three refusal reasons
    // and nine handshake failure reasons of each port, a histogram of nine
    // series each port; no start, no failure, no listening and no TLS port
    // yet, so no sample of those.
    QCOMPARE(samples.size(), 12 + 5 + 2 + 6 + 18 + 18);
    QVERIFY(!text.contains("\ntrelvane_last_"));

    // A failure text stays one line with the format's escapes.
    s.m_nLastStartMs = 1765300000123;
    s.m_nLastFailureMs = 1765300000005;
    s.m_strLastFailure = QStringLiteral("TCP Connect Error:10061,port:1,addr:a\"b\\c\nd");
    text = FormatMetrics(s);
    QVERIFY(text.contains("\ntrelvane_last_start_timestamp_seconds 1765300000.123\n"));
    QVERIFY2(text.contains("\ntrelvane_last_failure_timestamp_seconds{message=\"TCP Connect Error:10061,port:1,"
                           "addr:a\\\"b\\\\c\\\\x0ad\"} 1765300000.005\n"),
             text.constData());
}

// Refused clients by port and reason, and the expiry of the TLS files of
// the started ports: labels from fixed sets.
void TestMetrics::tlsAndRefusals()
{
    SMetricsSnapshot s;
    s.m_counters.m_nRefused[1][2] = 7;
    s.m_nTlsExpiry[0][0] = 1765300000;
    const QMap<QString, QString> samples = Samples(FormatMetrics(s));
    QCOMPARE(samples.value(QStringLiteral("trelvane_clients_refused_total{port=\"output\",reason=\"handshake\"}")),
             QStringLiteral("7"));
    QCOMPARE(samples.value(QStringLiteral("trelvane_clients_refused_total{port=\"input\",reason=\"policy\"}")),
             QStringLiteral("0"));
    QCOMPARE(samples.value(QStringLiteral("trelvane_tls_certificate_expiry_timestamp_seconds{port=\"input\","
                                          "file=\"certificate\"}")),
             QStringLiteral("1765300000"));
    QCOMPARE(samples.keys().filter(QStringLiteral("trelvane_tls_certificate")).size(), 1);
}

// Progress lines and clients that come or leave are no failures; every
// failure line gives its fixed text, with no number, port or address in it.
void TestMetrics::failureForms_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("form"); // empty: no failure
    for (const char* psz : {"Open Port...", "Connect TCP...", "Listen TCP...", "Create UDP...", "Done!", "msg:5,in3",
                            "TCP Client Accepted,port:4001,addr:127.0.0.1",
                            "TCP Client Disconnected,port:54126,addr:127.0.0.1",
                            "TLS Client Disconnected,port:54127,addr:::1", "TCP Client Replaced,port:1,addr:a",
                            "Remote Output closed,wait for new client!"})
        QTest::newRow(psz) << QString::fromLatin1(psz) << QString();
    const char* const failures[][2] = {
        {"TCP Connect Error:10061,port:1,addr:127.0.0.1", "TCP Connect Error:%d,port:%d,addr:%s"},
        {"TCP Connect TimeOut!port:1,addr:a", "TCP Connect TimeOut!port:%d,addr:%s"},
        {"TLS Client Refused,certificate has expired,port:7,addr:10.0.0.1", "TLS Client Refused,%s,port:%d,addr:%s"},
        {"TCP Client Refused,not allowed,port:7,addr:10.0.0.1", "TCP Client Refused,not allowed,port:%d,addr:%s"},
        {"Receive Error Code:10054", "Receive Error Code:%d"},
        {"Send Error Code:10058", "Send Error Code:%d"},
        {"In DLL Quit Errer Code:3", "In DLL Quit Errer Code:%d"},
        {"Invalid Setup String!", "Invalid Setup String!"},
        {"Remote Input closed,close ALL & ReStart!", "Remote Input closed,close ALL & ReStart!"},
        {"<CE-12>", "<CE-%u>"},
        {"Some New Error:42,port:9,addr:x", "other"}};
    for (const auto& failure : failures)
        QTest::newRow(failure[0]) << QString::fromLatin1(failure[0]) << QString::fromLatin1(failure[1]);
}

void TestMetrics::failureForms()
{
    QFETCH(QString, text);
    QFETCH(QString, form);
    QCOMPARE(FailureForm(text), form);
}

void TestMetrics::addresses_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("address"); // empty: refused
    QTest::addColumn<int>("port");
    QTest::newRow("port alone") << "9464" << "127.0.0.1" << 9464;
    QTest::newRow("IPv4") << "0.0.0.0:9464" << "0.0.0.0" << 9464;
    QTest::newRow("IPv6") << "[::1]:1" << "::1" << 1;
    QTest::newRow("highest port") << "127.0.0.2:65535" << "127.0.0.2" << 65535;
    QTest::newRow("port 0") << "0" << "" << 0;
    QTest::newRow("port too high") << "65536" << "" << 0;
    QTest::newRow("signed port") << "+9464" << "" << 0;
    QTest::newRow("empty") << "" << "" << 0;
    QTest::newRow("no port") << "127.0.0.1:" << "" << 0;
    QTest::newRow("no address") << ":9464" << "" << 0;
    QTest::newRow("host name") << "localhost:9464" << "" << 0;
    QTest::newRow("IPv6 without brackets") << "::1:9464" << "" << 0;
}

void TestMetrics::addresses()
{
    QFETCH(QString, value);
    QFETCH(QString, address);
    QFETCH(int, port);
    QHostAddress parsed;
    quint16 nPort = 0;
    QString strError;
    QCOMPARE(ParseMetricsAddress(value, &parsed, &nPort, &strError), !address.isEmpty());
    if (address.isEmpty()) {
        QVERIFY2(strError.startsWith(u"--metrics needs") && strError.contains(value), qPrintable(strError));
        return;
    }
    QCOMPARE(parsed, QHostAddress(address));
    QCOMPARE(int(nPort), port);
}

// The counters of a scrape are those SIGUSR1 prints at the same moment, and
// the port states, last start and last failure follow the relay.
void TestMetrics::scrapeEqualsCounters()
{
    SMetricsRun run;
    QVERIFY(run.dir.isValid());
    QVERIFY(run.Start());
    QByteArray body;
    QCOMPARE(Scrape(run.nPort, kGet, &body), 200);
    QMap<QString, QString> samples = Samples(body);
    QCOMPARE(samples.value(QStringLiteral("trelvane_port_started{port=\"input\"}")), QStringLiteral("1"));
    QCOMPARE(samples.value(QStringLiteral("trelvane_port_started{port=\"output\"}")), QStringLiteral("1"));
    const double dStart = samples.value(QStringLiteral("trelvane_last_start_timestamp_seconds")).toDouble();
    QVERIFY(qAbs(dStart - QDateTime::currentMSecsSinceEpoch() / 1000.0) < 60);
    QVERIFY(!body.contains("\ntrelvane_last_failure_timestamp_seconds{"));

    // Traffic both ways, then the Output's peer goes away: a failure line,
    // and the Output stops until the next block.
    QByteArray got;
    run.pIn->write(QByteArray(5000, 'i'));
    QTRY_COMPARE_WITH_TIMEOUT((got += run.pOut->readAll()).size(), 5000, kWaitMs);
    got.clear();
    run.pOut->write(QByteArray(700, 'o'));
    QTRY_COMPARE_WITH_TIMEOUT((got += run.pIn->readAll()).size(), 700, kWaitMs);
    run.pOut->close();
    QTRY_VERIFY_WITH_TIMEOUT(run.daemon.Out().contains("Remote Output closed,close myself too!"), kWaitMs);

    body.clear();
    QCOMPARE(Scrape(run.nPort, kGet, &body), 200);
    run.daemon.Signal(SIGUSR1);
    QTRY_VERIFY_WITH_TIMEOUT(run.daemon.Err().contains("trelvaned: counters: "), kWaitMs);
    static const QRegularExpression counters(QStringLiteral("trelvaned: counters: ([^\n]*)\n"));
    const QMap<QString, QString> printed = CountersAsSamples(counters.match(QString::fromUtf8(run.daemon.Err())).captured(1));
    QCOMPARE(printed.size(), 16);
    samples = Samples(body);
    for (auto it = printed.begin(); it != printed.end(); ++it)
        QCOMPARE(it.key() + u' ' + samples.value(it.key()), it.key() + u' ' + it.value());
    QCOMPARE(samples.value(QStringLiteral("trelvane_received_bytes_total{direction=\"in_to_out\"}")),
             QStringLiteral("5000"));
    QCOMPARE(samples.value(QStringLiteral("trelvane_port_started{port=\"output\"}")), QStringLiteral("0"));
    QVERIFY(samples.contains(
        QStringLiteral("trelvane_last_failure_timestamp_seconds{message=\"Remote Output closed,close myself too!\"}")));
    QVERIFY(!run.daemon.Finished());
}

// 100 client sessions of a shared listening Output (a few at a time): counted in the
// histogram and on SIGUSR1, and not one series more than after the first.
void TestMetrics::sessionsKeepSeries()
{
    QTemporaryDir dir;
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    // Two ports free at once.
    QTcpServer listenPort, metricsPort;
    QVERIFY(listenPort.listen(QHostAddress::LocalHost) && metricsPort.listen(QHostAddress::LocalHost));
    const quint16 nListen = listenPort.serverPort();
    const quint16 nMetrics = metricsPort.serverPort();
    listenPort.close();
    metricsPort.close();
    CTrelvaneDoc doc;
    doc.m_strInSetup = "TCP:" + QByteArray::number(inServer.serverPort()) + ",127.0.0.1";
    doc.m_strOutSetup = "TCP:" + QByteArray::number(nListen) + "@127.0.0.1;clients=64";
    doc.m_nOutStartup = 1007;
    const QString strSet = dir.filePath(QStringLiteral("gw.set"));
    QString strError;
    QVERIFY2(doc.OnSaveDocument(strSet, &strError), qPrintable(strError));
    CDaemonProcess daemon {QStringLiteral(TRELVANED_PATH)};
    QVERIFY(daemon.Start({QStringLiteral("--metrics"), QString::number(nMetrics), QStringLiteral("--profile"),
                          dir.filePath(QStringLiteral("none.ini")), strSet}));
    QTRY_VERIFY_WITH_TIMEOUT(daemon.CountOut("Done!") == 2 && inServer.hasPendingConnections(), kWaitMs);
    QTcpSocket* pIn = inServer.nextPendingConnection();
    QByteArray relayed;
    auto series = [&](QMap<QString, QString>* pSamples) {
        QByteArray body;
        if (Scrape(nMetrics, kGet, &body) != 200)
            return -1;
        *pSamples = Samples(body);
        return int(pSamples->size());
    };
    QMap<QString, QString> samples;
    int nFirst = 0;
    for (int i = 1; i <= 100; ++i) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, nListen);
        QVERIFY(client.waitForConnected(kWaitMs));
        client.write("x");
        QVERIFY(client.waitForBytesWritten(kWaitMs));
        while (relayed.size() < i && pIn->waitForReadyRead(kWaitMs))
            relayed += pIn->readAll();
        QCOMPARE(relayed.size(), i);
        // A reset: closed at once (a FIN would leave it half open a while).
        const linger reset {1, 0};
        ::setsockopt(int(client.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        client.abort();
        if (i == 1) {
            QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("TCP Client Disconnected"), 1, kWaitMs);
            QVERIFY((nFirst = series(&samples)) > 0);
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("TCP Client Disconnected"), 100, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(
        (series(&samples), samples.value(QStringLiteral("trelvane_client_session_bytes_count{port=\"output\"}"))),
        QStringLiteral("100"), kWaitMs);
    QCOMPARE(int(samples.size()), nFirst);
    QCOMPARE(samples.value(QStringLiteral("trelvane_client_session_bytes_sum{port=\"output\"}")), QStringLiteral("100"));
    QCOMPARE(samples.value(QStringLiteral("trelvane_client_session_bytes_bucket{port=\"output\",le=\"1024\"}")),
             QStringLiteral("100"));
    QCOMPARE(samples.value(QStringLiteral("trelvane_clients_connected{port=\"output\"}")), QStringLiteral("0"));
    QVERIFY(!samples.contains(QStringLiteral("trelvane_clients_connected{port=\"input\"}")));
    daemon.Signal(SIGUSR1);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Err().contains(" sessions=100/100 clients=output:0\n"), kWaitMs);
}

void TestMetrics::otherRequestsGet404_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::newRow("GET /metrics") << kGet << 200;
    QTest::newRow("GET /metrics with a query") << QByteArray("GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\n\r\n") << 200;
    QTest::newRow("GET /") << QByteArray("GET / HTTP/1.1\r\nHost: a\r\n\r\n") << 404;
    QTest::newRow("GET /metrics/") << QByteArray("GET /metrics/ HTTP/1.1\r\nHost: a\r\n\r\n") << 404;
    QTest::newRow("HEAD /metrics") << QByteArray("HEAD /metrics HTTP/1.1\r\nHost: a\r\n\r\n") << 404;
    QTest::newRow("POST /metrics") << QByteArray("POST /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\nab")
                                   << 404;
}

void TestMetrics::otherRequestsGet404()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    if (!m_pShared) {
        m_pShared = std::make_unique<SMetricsRun>();
        QVERIFY(m_pShared->Start());
    }
    QByteArray body;
    QCOMPARE(Scrape(m_pShared->nPort, request, &body), status);
    QCOMPARE(body.contains("trelvane_received_bytes_total"), status == 200);
}

// 1,000 scrapes, on new connections and on one kept alive, leave the
// program's memory where it was; so do a request too long to be one (it is
// cut off) and more connections than are served at once.
void TestMetrics::scrapesAndAbuseLeaveMemoryFlat()
{
    SMetricsRun run;
    QVERIFY(run.Start());
    const qint64 nPid = run.daemon.m_process.processId();
    QTcpSocket kept;
    kept.connectToHost(QHostAddress::LocalHost, run.nPort);
    QVERIFY(kept.waitForConnected(kWaitMs));
    for (int i = 0; i < 100; ++i) // warm-up: the allocator's pools settle
        QCOMPARE(i % 2 ? Request(kept, kGet) : Scrape(run.nPort, kGet), 200);
    const long nRssBefore = StatusKiB(nPid, "VmRSS:");
    for (int i = 0; i < 1000; ++i)
        QCOMPARE(i % 2 ? Request(kept, kGet) : Scrape(run.nPort, kGet), 200);
    const long nRssAfter = StatusKiB(nPid, "VmRSS:");
    long nPeak = StatusKiB(nPid, "VmHWM:");
    qInfo("VmRSS %ld KiB before, %ld KiB after 1000 scrapes, VmHWM %ld KiB", nRssBefore, nRssAfter, nPeak);
    QVERIFY(nRssBefore > 0);
    // The sanitizer's quarantine holds freed memory: there only the scrapes
    // and the bounds below are checked, not the figures.
    if (!kTestSanitized)
        QVERIFY2(nRssAfter - nRssBefore < 1024, "1000 scrapes grew the resident set by 1 MiB or more");

    // 64 MiB of body: the connection is cut off early, and nothing of it is kept.
    QTcpSocket flood;
    flood.connectToHost(QHostAddress::LocalHost, run.nPort);
    QVERIFY(flood.waitForConnected(kWaitMs));
    flood.write("POST /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 67108864\r\n\r\n");
    const QByteArray chunk(1 << 20, 'x');
    qint64 nSent = 0;
    while (nSent < 64 * chunk.size() && flood.state() == QAbstractSocket::ConnectedState) {
        if (flood.bytesToWrite() < chunk.size())
            nSent += flood.write(chunk);
        flood.waitForBytesWritten(100);
    }
    QTRY_COMPARE_WITH_TIMEOUT(flood.state(), QAbstractSocket::UnconnectedState, kWaitMs);
    QVERIFY2(nSent < 32 * chunk.size(), qPrintable(QString::number(nSent)));

    // 40 connections at once: some are closed unanswered, all that are
    // answered get their metrics, and the port serves again afterwards.
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    int nAnswered = 0;
    for (int i = 0; i < 40; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->connectToHost(QHostAddress::LocalHost, run.nPort);
        QVERIFY(sockets.back()->waitForConnected(kWaitMs));
    }
    for (auto& pSocket : sockets)
        nAnswered += Request(*pSocket, kGet) == 200 ? 1 : 0;
    QVERIFY2(nAnswered > 0 && nAnswered < 40, qPrintable(QString::number(nAnswered)));
    sockets.clear();
    kept.close();
    QTRY_COMPARE_WITH_TIMEOUT(Scrape(run.nPort, kGet), 200, kWaitMs);

    nPeak = StatusKiB(nPid, "VmHWM:");
    qInfo("VmHWM %ld KiB after the long request and the 40 connections", nPeak);
    if (!kTestSanitized)
        QVERIFY2(nPeak - nRssBefore < 8 * 1024, "the peak resident set grew by 8 MiB or more");
    QVERIFY(!run.daemon.Finished());
}

// A port that cannot be had: nothing starts, one line says why, status 2.
void TestMetrics::portInUseExitsTwo()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost));
    QTemporaryDir dir;
    CTrelvaneDoc doc;
    doc.m_strInSetup = "TCP:1,127.0.0.1";
    QString strError;
    QVERIFY(doc.OnSaveDocument(dir.filePath(QStringLiteral("gw.set")), &strError));
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(daemon.Start({QStringLiteral("--metrics"), QString::number(holder.serverPort()),
                          dir.filePath(QStringLiteral("gw.set"))}));
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
    QCOMPARE(daemon.ExitCode(), 2);
    QCOMPARE(daemon.Out(), QByteArray());
    const QByteArray strLine = "trelvaned: cannot serve metrics on 127.0.0.1:" + QByteArray::number(holder.serverPort());
    QVERIFY2(daemon.Err().startsWith(strLine) && daemon.Err().count('\n') == 1, daemon.Err().constData());
}

// Clients of a shared listening Input come and go: no session adds a series,
// whatever port the client had.
void TestMetrics::clientSessionsAddNoSeries()
{
    QTemporaryDir dir;
    QUdpSocket outPeer;
    QVERIFY(outPeer.bind(QHostAddress::LocalHost, 0));
    const quint16 nInPort = FreePort();
    CTrelvaneDoc doc;
    doc.m_strInSetup = "TCP:" + QByteArray::number(nInPort) + "@127.0.0.1;clients=4";
    doc.m_strOutSetup = "UDP:" + QByteArray::number(outPeer.localPort()) + ",127.0.0.1";
    doc.m_nOutStartup = 1007;
    const QString strSet = dir.filePath(QStringLiteral("gw.set"));
    QString strError;
    QVERIFY(doc.OnSaveDocument(strSet, &strError));
    const quint16 nPort = FreePort();
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(daemon.Start({QStringLiteral("--metrics"), QString::number(nPort), QStringLiteral("--profile"),
                          dir.filePath(QStringLiteral("none.ini")), strSet}));
    QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("Done!"), 2, kWaitMs);
    QTcpSocket stays;
    stays.connectToHost(QHostAddress::LocalHost, nInPort);
    QVERIFY(stays.waitForConnected(kWaitMs));
    QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("TCP Client Accepted"), 1, kWaitMs);
    QByteArray body;
    QCOMPARE(Scrape(nPort, kGet, &body), 200);
    const QStringList first = Samples(body).keys();
    QSet<QString> seen(first.cbegin(), first.cend());
    for (int i = 0; i < 5; ++i) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, nInPort);
        QVERIFY(client.waitForConnected(kWaitMs));
        QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("TCP Client Accepted"), i + 2, kWaitMs);
        client.close();
        QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("TCP Client Disconnected"), i + 1, kWaitMs);
        QCOMPARE(Scrape(nPort, kGet, &body), 200);
        for (const QString& strSeries : Samples(body).keys())
            seen.insert(strSeries);
    }
    QCOMPARE(seen.size(), first.size());
}

// Connections that send nothing, or a byte now and then, hold their places
// only briefly: a scrape gets past 20 of them at once, and each is closed
// within seconds, however often its bytes come.
void TestMetrics::idleAndTricklingConnectionsGiveWay()
{
    SMetricsRun run;
    QVERIFY(run.Start());
    std::vector<std::unique_ptr<QTcpSocket>> holders;
    for (int i = 0; i < 20; ++i) {
        holders.push_back(std::make_unique<QTcpSocket>());
        holders.back()->connectToHost(QHostAddress::LocalHost, run.nPort);
        QVERIFY(holders.back()->waitForConnected(kWaitMs));
        if (i % 2)
            holders.back()->write("GET /metrics HTTP/1.1\r\n"); // a request begun, never ended
    }
    QCOMPARE(Scrape(run.nPort, kGet), 200);
    holders.clear();

    QTcpSocket silent, trickling;
    for (QTcpSocket* pSocket : {&silent, &trickling}) {
        pSocket->connectToHost(QHostAddress::LocalHost, run.nPort);
        QVERIFY(pSocket->waitForConnected(kWaitMs));
    }
    QTimer drip;
    QObject::connect(&drip, &QTimer::timeout, &trickling, [&trickling] { trickling.write("X"); });
    drip.start(200);
    QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(trickling.state(), QAbstractSocket::UnconnectedState, 10000);
    QCOMPARE(Scrape(run.nPort, kGet), 200);
}

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
