// Runs the real trelvaned program against loopback peers and pseudo-terminals.

#include "daemonprocess.h"
#include "files.h"
#include "fullserver.h"
#include "pty.h"
#include "resources.h"
#include "testpki.h"
#include "threadpeer.h"

#include "profile.h"
#include "trelvanedoc.h"

#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 15000;

QByteArray TcpSetup(const QTcpServer& server)
{
    return "TCP:" + QByteArray::number(server.serverPort()) + ",127.0.0.1";
}

// Collects what arrives on a connection and whether it was closed.
struct SSink
{
    QByteArray data;
    bool bClosed = false;
    void Attach(QTcpSocket* pSocket)
    {
        QObject::connect(pSocket, &QTcpSocket::readyRead, pSocket, [this, pSocket] { data += pSocket->readAll(); });
        QObject::connect(pSocket, &QTcpSocket::disconnected, pSocket, [this] { bClosed = true; });
    }
};

// The next connection to the server, or null after a while.
QTcpSocket* Accept(QTcpServer& server)
{
    if (!QTest::qWaitFor([&] { return server.hasPendingConnections(); }, kWaitMs))
        return nullptr;
    return server.nextPendingConnection();
}

// An Input and an Output TCP server, the daemon's connections to them and
// what arrived on each.
struct SPeers
{
    QTcpServer inServer, outServer;
    QTcpSocket* pIn = nullptr;
    QTcpSocket* pOut = nullptr;
    SSink inSink, outSink;

    bool Listen() { return inServer.listen(QHostAddress::LocalHost) && outServer.listen(QHostAddress::LocalHost); }
    SSetFields Fields(int nOutStartup = 1007) const
    {
        SSetFields fields;
        fields.m_strInSetup = TcpSetup(inServer);
        fields.m_strOutSetup = TcpSetup(outServer);
        fields.m_nOutStartup = nOutStartup;
        return fields;
    }
    bool AcceptIn()
    {
        if ((pIn = Accept(inServer)))
            inSink.Attach(pIn);
        return pIn;
    }
    bool AcceptOut()
    {
        if ((pOut = Accept(outServer)))
            outSink.Attach(pOut);
        return pOut;
    }
};

// One figure line; scripts/robustness-report.sh collects them.
void Figure(const QString& strText)
{
    qInfo().noquote() << QStringLiteral("FIGURE ") + strText;
}

// A loopback port that nobody listens on (for the moment).
quint16 FreePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

} // namespace

class TestTrelvaned : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void commandLineErrors_data();
    void commandLineErrors();
    void helpAndVersion();
    void relayTcpBothWays();
    void relayToUdp();
    void namedPeersStartAtOnce();
    void signalDuringStart_data();
    void signalDuringStart();
    void relayListeningAndFixedUdp();
    void relayWithoutBinaryFile_data();
    void relayWithoutBinaryFile();
    void relaySerialPty();
    void sighupPicksUpChangedFile();
    void sighupWithBrokenFileKeepsRunning();
    void sighupInTlsRenewalKeepsRunning();
    void sighupKeepsListeningSocket();
    void profileThatIsNoFileIsSkipped_data();
    void profileThatIsNoFileIsSkipped();
    void stopSignalsExitZero_data();
    void stopSignalsExitZero();
    void inputDownExitsOne();
    void inputGoneAfterRestartExitsOne();
    void retryReconnectsWhenServerAppears();
    void reloadWhileInputConnectsKeepsRunning();
    void stopSignalNeverLost_data();
    void stopSignalNeverLost();
    void stalledLogReaderDoesNotBlock();
    void controlCharactersEscaped();
    void traceCountersAndServiceNotify();
    void traceToStandardOutput();
    void traceFileFailureIsReported_data();
    void traceFileFailureIsReported();
    void linesKeepTheirOrderAcrossStreams();

private:
    QString SetPath() const { return m_pDir->filePath(QStringLiteral("gw.set")); }
    bool WriteSet(const SSetFields& fields)
    {
        CTrelvaneDoc doc;
        doc.SetFields(fields);
        QString strError;
        return doc.OnSaveDocument(SetPath(), &strError);
    }
    // Writes gw.set and starts the daemon on it.
    bool Start(CDaemonProcess& daemon, const SSetFields& fields, QStringList args = {})
    {
        return WriteSet(fields) && daemon.Start(args << SetPath());
    }
    // Starts the daemon on both peers (Output with the Input) and waits
    // until both ports run.
    bool StartConnected(CDaemonProcess& daemon, SPeers& peers, const QByteArray& strInDll = {})
    {
        if (!peers.Listen())
            return false;
        SSetFields fields = peers.Fields();
        fields.m_strInDll = strInDll;
        return Start(daemon, fields) && peers.AcceptIn() && peers.AcceptOut()
            && QTest::qWaitFor([&] { return daemon.CountOut("Done!") == 2; }, kWaitMs);
    }
    static void CheckTimeStamps(const CDaemonProcess& daemon);

    std::unique_ptr<QTemporaryDir> m_pDir;
};

void TestTrelvaned::init()
{
    m_pDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_pDir->isValid());
}

void TestTrelvaned::CheckTimeStamps(const CDaemonProcess& daemon)
{
    static const QRegularExpression stamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d,\\S"));
    QVERIFY(daemon.Out().endsWith('\n'));
    const QStringList lines = QString::fromUtf8(daemon.Out()).split(u'\n', Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    for (const QString& strLine : lines)
        QVERIFY2(stamp.match(strLine).hasMatch(), qPrintable(strLine));
}

void TestTrelvaned::commandLineErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("fileContent"); // written to gw.set unless null
    QTest::addColumn<QString>("reason");

    const QByteArray ok(14, '\0');
    QTest::newRow("no file") << QStringList() << QByteArray() << "no settings file given";
    QTest::newRow("two files") << QStringList({"@", "@"}) << ok << "one settings file only";
    QTest::newRow("unknown option") << QStringList({"--frobnicate", "@"}) << ok << "frobnicate";
    QTest::newRow("retry zero") << QStringList({"--retry", "0", "@"}) << ok << "--retry";
    QTest::newRow("retry text") << QStringList({"--retry", "soon", "@"}) << ok << "--retry";
    QTest::newRow("retry negative") << QStringList({"--retry=-5", "@"}) << ok << "--retry";
    QTest::newRow("trace empty") << QStringList({"--trace=", "@"}) << ok << "--trace";
    QTest::newRow("trace folder") << QStringList({"--trace", "@dir", "@"}) << ok << "cannot open the trace file";
    QTest::newRow("trace link") << QStringList({"--trace", "@link", "@"}) << ok << "symbolic link";
    QTest::newRow("trace dangling link") << QStringList({"--trace", "@dangling", "@"}) << ok << "symbolic link";
    QTest::newRow("retry missing value") << QStringList({"@", "--retry"}) << ok << "retry";
    QTest::newRow("missing file") << QStringList({"@missing"}) << QByteArray()
                                  << "missing\ntrelvaned: Cannot find this file.\ntrelvaned: Please verify";
    QTest::newRow("missing, line feed in name") << QStringList({"@a\nb.set"}) << QByteArray()
                                                << "a\\x0ab.set\ntrelvaned: Cannot find this file.\n";
    QTest::newRow("empty file") << QStringList({"@"}) << QByteArray("") << "gw.set: Unexpected file format.";
    QTest::newRow("short file") << QStringList({"@"}) << ok.left(13) << "gw.set: Unexpected file format.";
    QTest::newRow("folder") << QStringList({"@dir"}) << QByteArray() << "dir: Failed to open document.";
    QTest::newRow("text with a key twice") << QStringList({"@"}) << QByteArray("in-setup = \"TCP:1\"\n\nin-setup = \"TCP:2\"\n")
                                           << "gw.set, line 3: in-setup: given twice (first on line 1)";
    QTest::newRow("cut-short binary is not text") << QStringList({"@"}) << QByteArray("\x05TCP") << "Unexpected file format.";
    QTest::newRow("options without --out") << QStringList({"--in", "TCP:1"}) << QByteArray() << "needs --in and --out";
    QTest::newRow("options and a file") << QStringList({"--in=TCP:1", "--out", "TCP:2", "@"}) << ok << "one or the other";
    QTest::newRow("option twice") << QStringList({"--in=TCP:1", "--in-setup=TCP:3", "--out", "TCP:2"}) << QByteArray()
                                  << "--in given twice";
    QTest::newRow("bad start mode option") << QStringList({"--in=TCP:1", "--out=TCP:2", "--out-startup=soon"})
                                           << QByteArray() << "--out-startup takes with-input, first-data";
}

void TestTrelvaned::commandLineErrors()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, fileContent);
    QFETCH(QString, reason);
    if (!fileContent.isNull()) {
        QFile file(SetPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(fileContent);
    }
    QVERIFY(QDir(m_pDir->path()).mkdir(QStringLiteral("dir")));
    // A trace is never written through a link, nor is a file made where a
    // dangling one points.
    const QString strTarget = m_pDir->filePath(QStringLiteral("target"));
    QVERIFY(WriteAll(strTarget, "kept"));
    QVERIFY(QFile::link(strTarget, m_pDir->filePath(QStringLiteral("link"))));
    QVERIFY(QFile::link(m_pDir->filePath(QStringLiteral("nowhere")), m_pDir->filePath(QStringLiteral("dangling"))));
    for (QString& strArg : args) {
        if (strArg == u"@")
            strArg = SetPath();
        else if (strArg.startsWith(u'@'))
            strArg = m_pDir->filePath(strArg.mid(1));
    }
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(daemon.Start(args));
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
    QVERIFY(daemon.ExitedNormally());
    QCOMPARE(daemon.ExitCode(), 2);
    QCOMPARE(daemon.Out(), QByteArray());
    // Lines that name the program, the file and the reason; a text of
    // several lines is shown as several lines, not with escapes.
    const QString strErr = QString::fromUtf8(daemon.Err());
    QVERIFY2(strErr.startsWith(u"trelvaned: ") && strErr.endsWith(u'\n') && !strErr.contains(u"\\x0aCannot"),
             qPrintable(strErr));
    QCOMPARE(strErr.count(u'\n'), strErr.count(QStringLiteral("trelvaned: ")));
    QVERIFY2(strErr.contains(reason), qPrintable(strErr));
    QCOMPARE(ReadAll(strTarget), QByteArray("kept"));
    QVERIFY(!QFile::exists(m_pDir->filePath(QStringLiteral("nowhere"))));
}

void TestTrelvaned::helpAndVersion()
{
    CDaemonProcess help(QStringLiteral(TRELVANED_PATH)), version(QStringLiteral(TRELVANED_PATH));
    QVERIFY(help.Start({QStringLiteral("--help")}));
    QVERIFY(version.Start({QStringLiteral("--version")}));
    QTRY_VERIFY_WITH_TIMEOUT(help.Finished() && version.Finished(), kWaitMs);
    QCOMPARE(help.ExitCode(), 0);
    QVERIFY2(help.Out().startsWith("Usage: trelvaned [options] file\n"), help.Out().left(80).constData());
    QVERIFY(help.Out().contains("--retry <seconds>"));
    QVERIFY(help.Out().contains("--profile <file>"));
    QVERIFY(help.Out().contains("--trace <file>"));
    QVERIFY(help.Out().contains("SIGUSR1"));
    QCOMPARE(version.ExitCode(), 0);
    QCOMPARE(version.Out(), QByteArray("trelvaned " TRELVANE_VERSION "\n"));
}

void TestTrelvaned::relayTcpBothWays()
{
    SPeers peers;
    QVERIFY(peers.Listen());
    SSetFields fields = peers.Fields(1008);
    fields.m_strInInitial = "in\\r\\n";
    fields.m_strOutInitial = "out\\t";
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(Start(daemon, fields));
    QVERIFY(peers.AcceptIn());
    QTRY_COMPARE_WITH_TIMEOUT(peers.inSink.data, QByteArray("in\r\n"), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(daemon.OutTexts(), QStringList({"Connect TCP...", "Done!"}), kWaitMs);
    // Standard error is a pipe of its own: its line may come after those.
    QTRY_COMPARE_WITH_TIMEOUT(daemon.Err(), QByteArray("trelvaned: input status: Input Startup!\n"), kWaitMs);

    // Mode 1008: the first block from the Input starts the Output.
    const QByteArray toOut = RandomBytes(100000, 1);
    peers.pIn->write(toOut);
    QVERIFY(peers.AcceptOut());
    QTRY_COMPARE_WITH_TIMEOUT(peers.outSink.data.size(), toOut.size() + 4, kWaitMs);
    QVERIFY(peers.outSink.data == "out\t" + toOut);

    const QByteArray toIn = RandomBytes(70001, 2);
    peers.inSink.data.clear();
    peers.pOut->write(toIn);
    QTRY_COMPARE_WITH_TIMEOUT(peers.inSink.data.size(), toIn.size(), kWaitMs);
    QVERIFY(peers.inSink.data == toIn);

    QTRY_COMPARE_WITH_TIMEOUT(daemon.OutTexts(),
                              QStringList({"Connect TCP...", "Done!", "Connect TCP...", "Done!"}), kWaitMs);
    CheckTimeStamps(daemon);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Err().contains("trelvaned: output status: Output Startup!\n"), kWaitMs);
    QVERIFY(!daemon.Finished());
}

void TestTrelvaned::relayToUdp()
{
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QUdpSocket outPeer;
    QVERIFY(outPeer.bind(QHostAddress::LocalHost, 0));
    SSetFields fields;
    fields.m_strInSetup = TcpSetup(inServer);
    fields.m_strOutSetup = "UDP:" + QByteArray::number(outPeer.localPort()) + ",127.0.0.1";
    fields.m_nOutStartup = 1007;
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(Start(daemon, fields));
    QTcpSocket* pIn = Accept(inServer);
    QVERIFY(pIn);
    SSink inSink;
    inSink.Attach(pIn);
    QTRY_COMPARE_WITH_TIMEOUT(daemon.OutTexts(),
                              QStringList({"Connect TCP...", "Done!", "Create UDP...", "Done!"}), kWaitMs);

    QByteArray datagrams;
    QHostAddress sender;
    quint16 nSenderPort = 0;
    connect(&outPeer, &QUdpSocket::readyRead, &outPeer, [&] {
        while (outPeer.hasPendingDatagrams()) {
            QByteArray d(int(outPeer.pendingDatagramSize()), 0);
            outPeer.readDatagram(d.data(), d.size(), &sender, &nSenderPort);
            datagrams += d;
        }
    });
    // Paced, so the loopback peer drops nothing.
    const QByteArray data = RandomBytes(8192, 3);
    for (int i = 0; i < data.size(); i += 512) {
        pIn->write(data.mid(i, 512));
        QTRY_COMPARE_WITH_TIMEOUT(datagrams.size(), i + 512, kWaitMs);
    }
    QVERIFY(datagrams == data);
    outPeer.writeDatagram(QByteArray("reply\0\xff", 7), sender, nSenderPort);
    QTRY_COMPARE_WITH_TIMEOUT(inSink.data, QByteArray("reply\0\xff", 7), kWaitMs);
}

// Names from the hosts file: every start (the first, after SIGHUP, after a
// timer-3 restart) is as quick as with numeric addresses.
void TestTrelvaned::namedPeersStartAtOnce()
{
    constexpr int kQuickMs = 1000;
    QTcpServer inServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost));
    QUdpSocket outPeer;
    QVERIFY(outPeer.bind(QHostAddress::LocalHost, 0));
    SSetFields fields;
    fields.m_strInSetup = "TCP:" + QByteArray::number(inServer.serverPort()) + ",localhost";
    fields.m_strOutSetup = "UDP:" + QByteArray::number(outPeer.localPort()) + ",localhost";
    fields.m_nOutStartup = 1007;
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(Start(daemon, fields));
    // Until the start's lines are in, and how long that took.
    const auto startTook = [&](int nDone) {
        return QTest::qWaitFor([&] { return daemon.CountOut("Done!") == nDone; }, kWaitMs) ? clock.elapsed()
                                                                                           : qint64(kWaitMs);
    };
    const QStringList start {"Connect TCP...", "Done!", "Create UDP...", "Done!"};
    QVERIFY(startTook(2) < kQuickMs);
    QCOMPARE(daemon.OutTexts(), start);
    std::unique_ptr<QTcpSocket> pIn(Accept(inServer));
    QVERIFY(pIn);

    clock.restart();
    daemon.Signal(SIGHUP);
    QVERIFY(startTook(4) < kQuickMs);
    QCOMPARE(daemon.OutTexts(), start + start);
    pIn.reset(Accept(inServer));
    QVERIFY(pIn);

    // The Input's peer closes: timer 3 restarts after 300 ms.
    clock.restart();
    pIn->close();
    QVERIFY(startTook(6) < 300 + kQuickMs);
    QCOMPARE(daemon.OutTexts(),
             start + start + QStringList("Remote Input closed,close ALL & ReStart!") + start);
}

void TestTrelvaned::signalDuringStart_data()
{
    QTest::addColumn<bool>("initial"); // waits in the initial string, else in the connect
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("connect, SIGHUP") << false << int(SIGHUP);
    QTest::newRow("connect, SIGTERM") << false << int(SIGTERM);
    QTest::newRow("initial string, SIGHUP") << true << int(SIGHUP);
    QTest::newRow("initial string, SIGTERM") << true << int(SIGTERM);
}

// A reload or a stop while the Input's start waits (a server whose accept
// queue is full, a peer that reads nothing of a long initial string) gives
// that start up at once: no time-out line, and the reloaded start runs.
void TestTrelvaned::signalDuringStart()
{
    QFETCH(bool, initial);
    QFETCH(int, signalNumber);
    SFullServer full;
    CThreadPeer mute(4096);
    mute.m_bRead = false;
    QTcpServer later;
    QVERIFY(later.listen(QHostAddress::LocalHost));
    SSetFields fields;
    fields.m_nOutStartup = 1008;
    if (initial) {
        fields.m_strInSetup = mute.Setup();
        fields.m_strInInitial = QByteArray(8 << 20, 'i');
    } else {
        QVERIFY(full.Listen());
        fields.m_strInSetup = full.Setup();
    }
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(Start(daemon, fields));
    QTRY_COMPARE_WITH_TIMEOUT(daemon.OutTexts(), QStringList("Connect TCP..."), kWaitMs);
    QTest::qWait(200);
    QCOMPARE(daemon.OutTexts(), QStringList("Connect TCP..."));

    fields.m_strInSetup = TcpSetup(later);
    fields.m_strInInitial.clear();
    QVERIFY(WriteSet(fields));
    QElapsedTimer clock;
    clock.start();
    daemon.Signal(signalNumber);
    if (signalNumber == SIGHUP) {
        QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("Done!"), 1, kWaitMs);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(daemon.OutTexts(), QStringList({"Connect TCP...", "Connect TCP...", "Done!"}));
        QTRY_VERIFY_WITH_TIMEOUT(later.hasPendingConnections(), kWaitMs);
        QVERIFY(!daemon.Finished());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(daemon.ExitCode(), 0);
        QCOMPARE(daemon.OutTexts().mid(0, 1), QStringList("Connect TCP..."));
        QVERIFY(!daemon.Out().contains("Done!") && !daemon.Out().contains("TimeOut"));
    }
    QVERIFY(!daemon.Err().contains("did not start"));
}

void TestTrelvaned::relayListeningAndFixedUdp()
{
    // A listening TCP Input and a UDP Output on a fixed local port: both
    // wait for their peers to come.
    const quint16 nTcpPort = FreePort();
    quint16 nUdpPort = 0;
    {
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
        nUdpPort = probe.localPort();
    }
    SSetFields fields;
    fields.m_strInSetup = "TCP:" + QByteArray::number(nTcpPort) + "@127.0.0.1";
    fields.m_strOutSetup = "UDP:" + QByteArray::number(nUdpPort) + "@127.0.0.1";
    fields.m_nOutStartup = 1007;
    fields.m_strInInitial = "ready\\r";
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(Start(daemon, fields));
    QTRY_COMPARE_WITH_TIMEOUT(daemon.OutTexts(),
                              QStringList({"Listen TCP...", "Done!", "Create UDP...", "Done!"}), kWaitMs);

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, nTcpPort);
    SSink clientSink;
    clientSink.Attach(&client);
    QTRY_COMPARE_WITH_TIMEOUT(clientSink.data, QByteArray("ready\r"), kWaitMs);
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
    QByteArray datagrams;
    connect(&peer, &QUdpSocket::readyRead, &peer, [&] {
        while (peer.hasPendingDatagrams()) {
            QByteArray d(int(peer.pendingDatagramSize()), 0);
            peer.readDatagram(d.data(), d.size());
            datagrams += d;
        }
    });
    peer.writeDatagram("from udp", QHostAddress::LocalHost, nUdpPort);
    QTRY_COMPARE_WITH_TIMEOUT(clientSink.data, QByteArray("ready\rfrom udp"), kWaitMs);
    const QByteArray data = RandomBytes(4096, 4);
    for (int i = 0; i < data.size(); i += 512) {
        client.write(data.mid(i, 512));
        QTRY_COMPARE_WITH_TIMEOUT(datagrams.size(), i + 512, kWaitMs);
    }
    QVERIFY(datagrams == data);
    QVERIFY(daemon.OutTexts().last().startsWith("TCP Client Accepted,port:"));
    QVERIFY(!daemon.Finished());
}

void TestTrelvaned::relayWithoutBinaryFile_data()
{
    QTest::addColumn<bool>("bText"); // else the settings are options
    QTest::newRow("text file") << true;
    QTest::newRow("options") << false;
}

// The settings from a text file or from the command line; SIGHUP restarts
// with them.
void TestTrelvaned::relayWithoutBinaryFile()
{
    QFETCH(bool, bText);
    SPeers peers;
    QVERIFY(peers.Listen());
    const QString strIn = QString::fromLatin1(TcpSetup(peers.inServer));
    const QString strOut = QString::fromLatin1(TcpSetup(peers.outServer));
    QStringList args;
    if (bText) {
        const QString strConf = m_pDir->filePath(QStringLiteral("gw.conf"));
        QVERIFY(WriteAll(strConf, QStringLiteral("# a gateway\nin-setup = \"%1\"\nout-setup = \"%2\"  # peer\n"
                                                 "in-initial = \"in\\r\\n\"\nout-startup = with-input\n")
                                      .arg(strIn, strOut).toUtf8()));
        args = QStringList{strConf};
    } else {
        args = QStringList{"--in", strIn, "--out=" + strOut, "--in-init", "in\\r\\n", "--out-startup", "with-input"};
    }
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(daemon.Start(args));
    QVERIFY(peers.AcceptIn() && peers.AcceptOut());
    QTRY_COMPARE_WITH_TIMEOUT(peers.inSink.data, QByteArray("in\r\n"), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("Done!"), 2, kWaitMs);
    const QByteArray toOut = RandomBytes(50000, 6);
    peers.pIn->write(toOut);
    QTRY_COMPARE_WITH_TIMEOUT(peers.outSink.data.size(), toOut.size(), kWaitMs);
    QVERIFY(peers.outSink.data == toOut);
    peers.pOut->write("back");
    QTRY_COMPARE_WITH_TIMEOUT(peers.inSink.data, QByteArray("in\r\nback"), kWaitMs);

    daemon.Signal(SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(peers.inSink.bClosed, kWaitMs);
    QVERIFY(Accept(peers.inServer));
    QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("Done!"), 4, kWaitMs);
    QVERIFY(daemon.Err().contains(bText ? "reloading" : "restarting with the settings of the command line"));
}

void TestTrelvaned::relaySerialPty()
{
    CPty pty;
    QVERIFY(pty.IsValid());
    // The test's own XDG_CONFIG_HOME: the program finds the profile there.
    CProfile profile;
    QVERIFY(profile.Load());
    profile.SetString(QStringLiteral("Serial Ports"), QStringLiteral("COM7"), pty.Slave());
    QVERIFY(profile.Save());
    const auto removeProfile = qScopeGuard([&] { QFile::remove(profile.FilePath()); });

    SPeers peers;
    QVERIFY(peers.Listen());
    SSetFields fields = peers.Fields();
    fields.m_strInSetup = "COM7:9600,n,8,1";
    fields.m_strInInitial = "ATZ\\r";
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(Start(daemon, fields));
    QVERIFY(peers.AcceptOut());
    QTRY_COMPARE_WITH_TIMEOUT(daemon.OutTexts(),
                              QStringList({"Open Port...", "Done!", "Connect TCP...", "Done!"}), kWaitMs);
    QByteArray received;
    QTRY_COMPARE_WITH_TIMEOUT(received += pty.TakeAll(), QByteArray("ATZ\r"), kWaitMs);

    const QByteArray fromSerial = RandomBytes(3000, 4);
    QVERIFY(pty.Send(fromSerial));
    QTRY_COMPARE_WITH_TIMEOUT(peers.outSink.data.size(), fromSerial.size(), kWaitMs);
    QVERIFY(peers.outSink.data == fromSerial);

    const QByteArray toSerial = RandomBytes(3001, 5);
    received.clear();
    peers.pOut->write(toSerial);
    QTRY_VERIFY_WITH_TIMEOUT((received += pty.TakeAll()).size() >= toSerial.size(), kWaitMs);
    QVERIFY(received == toSerial);

    daemon.Signal(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
    QCOMPARE(daemon.ExitCode(), 0);
    CheckTimeStamps(daemon);
}

void TestTrelvaned::sighupPicksUpChangedFile()
{
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    SPeers first;
    QVERIFY(StartConnected(daemon, first));
    QTcpServer serverB;
    QVERIFY(serverB.listen(QHostAddress::LocalHost));

    SSetFields fields = first.Fields();
    fields.m_strInSetup = TcpSetup(serverB);
    fields.m_strInInitial = "second\\n";
    QVERIFY(WriteSet(fields));
    daemon.Signal(SIGHUP);

    QTcpSocket* pB = Accept(serverB);
    QVERIFY(pB);
    SSink sinkB;
    sinkB.Attach(pB);
    QTRY_COMPARE_WITH_TIMEOUT(sinkB.data, QByteArray("second\n"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(first.inSink.bClosed && first.outSink.bClosed, kWaitMs);
    QVERIFY(first.AcceptOut());
    pB->write("after reload");
    QTRY_COMPARE_WITH_TIMEOUT(first.outSink.data, QByteArray("after reload"), kWaitMs);
    QCOMPARE(daemon.CountOut("Connect TCP..."), 4);
    QVERIFY(daemon.Err().contains("reloading"));
    QVERIFY(!daemon.Finished());
}

void TestTrelvaned::sighupWithBrokenFileKeepsRunning()
{
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    SPeers peers;
    QVERIFY(StartConnected(daemon, peers));

    QFile file(SetPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("\x05TCP");
    file.close();
    daemon.Signal(SIGHUP);
    // Two lines, possibly two writes: wait for the second.
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Err().contains("keeping the current settings"), kWaitMs);
    QVERIFY(daemon.Err().contains("trelvaned: " + QFile::encodeName(SetPath())
                                  + ": Unexpected file format.\ntrelvaned: keeping the current settings\n"));

    peers.pIn->write("still here");
    QTRY_COMPARE_WITH_TIMEOUT(peers.outSink.data, QByteArray("still here"), kWaitMs);
    QVERIFY(!peers.inSink.bClosed && !peers.outSink.bClosed);
    QCOMPARE(daemon.CountOut("Connect TCP..."), 2);

    // A file that loads again is taken at the next SIGHUP.
    QVERIFY(WriteSet(peers.Fields()));
    daemon.Signal(SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(peers.inSink.bClosed, kWaitMs);
    QVERIFY(Accept(peers.inServer));
    QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("Done!"), 4, kWaitMs);
}

// A SIGHUP between the renewal's new certificate and its new key leaves
// the running TLS port and its client alone, with the reason on standard
// error; the next SIGHUP, with both files in place, reloads.
void TestTrelvaned::sighupInTlsRenewalKeepsRunning()
{
    CTestPki pki;
    const CTestPki::SIssued& ca = pki.Issue(QStringLiteral("ca"), nullptr, nullptr);
    const CTestPki::SIssued& oldLeaf = pki.Issue(QStringLiteral("old"), &ca, "DNS:localhost,IP:127.0.0.1");
    const CTestPki::SIssued& newLeaf = pki.Issue(QStringLiteral("new"), &ca, "DNS:localhost,IP:127.0.0.1");
    const QString strCert = m_pDir->filePath(QStringLiteral("server.pem"));
    const QString strKey = m_pDir->filePath(QStringLiteral("server.key"));
    QVERIFY(QFile::copy(oldLeaf.strCert, strCert) && QFile::copy(oldLeaf.strKey, strKey));
    const QString strProfile = m_pDir->filePath(QStringLiteral("tls.ini"));
    QVERIFY(WriteAll(strProfile, "[TLS]\nCertificate=server.pem\nKey=server.key\n"));
    SPeers peers;
    QVERIFY(peers.Listen());
    SSetFields fields = peers.Fields();
    const quint16 nPort = FreePort();
    fields.m_strInSetup = "TLS:" + QByteArray::number(nPort) + "@127.0.0.1";
    fields.m_strInInitial = "HI";
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(Start(daemon, fields, {QStringLiteral("--profile"), strProfile}));
    QVERIFY(peers.AcceptOut());
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(QSslCertificate::fromPath(ca.strCert));
    QSslSocket client;
    client.setSslConfiguration(config);
    SSink sink;
    sink.Attach(&client);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.CountOut("Done!") == 2, kWaitMs);
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), nPort, QStringLiteral("localhost"));
    QTRY_COMPARE_WITH_TIMEOUT(sink.data, QByteArray("HI"), kWaitMs);

    // The certificate is renewed; the key is not yet.
    QVERIFY(QFile::remove(strCert) && QFile::copy(newLeaf.strCert, strCert));
    daemon.Signal(SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Err().contains("keeping the current settings"), kWaitMs);
    QVERIFY2(daemon.Err().contains("trelvaned: TLS Setup Error:[TLS] Key=" + QFile::encodeName(strKey)
                                   + " does not belong to the certificate"),
             daemon.Err().constData());
    client.write("still here");
    QTRY_COMPARE_WITH_TIMEOUT(peers.outSink.data, QByteArray("still here"), kWaitMs);
    QVERIFY(!sink.bClosed && !daemon.Finished());

    QVERIFY(QFile::remove(strKey) && QFile::copy(newLeaf.strKey, strKey));
    daemon.Signal(SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(sink.bClosed, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("Listen TLS..."), 2, kWaitMs);
    QCOMPARE(int(daemon.Err().count("keeping the current settings")), 1);
}

// A reload with the same listening form keeps the listening socket: a
// client that connected while the old run was not taking clients (its
// Output still connecting) waits for the reloaded run, which takes it and
// relays; it is never reset or refused.
void TestTrelvaned::sighupKeepsListeningSocket()
{
    SFullServer outServer;
    QVERIFY(outServer.Listen());
    const quint16 nPort = FreePort();
    SSetFields fields;
    fields.m_strInSetup = "TCP:" + QByteArray::number(nPort) + "@127.0.0.1";
    fields.m_strOutSetup = outServer.Setup();
    fields.m_nOutStartup = 1007;
    fields.m_strInInitial = "HI";
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(Start(daemon, fields));
    QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("Connect TCP..."), 1, kWaitMs);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, nPort);
    QVERIFY(client.waitForConnected(kWaitMs));
    SSink clientSink;
    clientSink.Attach(&client);
    daemon.Signal(SIGHUP);
    QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("Connect TCP..."), 2, kWaitMs);
    std::vector<int> accepted;
    const auto closeAll = qScopeGuard([&] {
        for (int h : accepted)
            ::close(h);
    });
    QVERIFY(QTest::qWaitFor([&] {
        if (const int h = outServer.AcceptOne(); h >= 0)
            accepted.push_back(h);
        return daemon.CountOut("Done!") == 3;
    }, kWaitMs));
    for (int h; (h = outServer.AcceptOne()) >= 0;)
        accepted.push_back(h); // the Output's connection, when it came last
    QTRY_VERIFY2_WITH_TIMEOUT(clientSink.data == "HI", daemon.Out().constData(), kWaitMs);
    client.write("ping");
    QVERIFY(client.waitForBytesWritten(kWaitMs));
    char buffer[16] {};
    timeval wait {5, 0};
    ::setsockopt(accepted.back(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    QCOMPARE(::recv(accepted.back(), buffer, sizeof buffer, 0), 4);
    QCOMPARE(QByteArray(buffer), QByteArray("ping"));
    QVERIFY(!clientSink.bClosed);
}

void TestTrelvaned::profileThatIsNoFileIsSkipped_data()
{
    QTest::addColumn<QString>("profile"); // "fifo": a pipe in the test's folder
    QTest::newRow("fifo") << "fifo";
    QTest::newRow("endless device") << "/dev/zero";
    QTest::newRow("standard input") << "/dev/stdin";
}

// A profile that is not a regular file is skipped with a line on standard
// error, at start and at every SIGHUP, and the gateway runs on; reading it
// would wait for ever on a pipe or fill the memory from a device.
void TestTrelvaned::profileThatIsNoFileIsSkipped()
{
    QFETCH(QString, profile);
    const QString strFifo = m_pDir->filePath(QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(strFifo).constData(), 0600), 0);
    const QString strPlain = m_pDir->filePath(QStringLiteral("plain.ini"));
    QVERIFY(WriteAll(strPlain, "[Serial Ports]\nCOM7=/dev/null\n"));
    const QByteArray skipped = "cannot read the profile, [Serial Ports] not applied: not a regular file\n";

    // Unreadable from the start.
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    SPeers peers;
    QVERIFY(peers.Listen());
    QVERIFY(Start(daemon, peers.Fields(), {QStringLiteral("--profile"), profile == "fifo" ? strFifo : profile}));
    QVERIFY(peers.AcceptIn() && peers.AcceptOut());
    QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("Done!"), 2, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(int(daemon.Err().count(skipped)), 1, kWaitMs);

    // Replaced while the gateway runs: the restart at SIGHUP goes ahead.
    CDaemonProcess running(QStringLiteral(TRELVANED_PATH));
    SPeers second;
    QVERIFY(second.Listen());
    const QString strLater = m_pDir->filePath(QStringLiteral("later.ini"));
    QVERIFY(QFile::copy(strPlain, strLater));
    QVERIFY(Start(running, second.Fields(), {QStringLiteral("--profile"), strLater}));
    QVERIFY(second.AcceptIn() && second.AcceptOut());
    QTRY_COMPARE_WITH_TIMEOUT(running.CountOut("Done!"), 2, kWaitMs);
    QVERIFY(QFile::remove(strLater));
    if (profile == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(strLater).constData(), 0600), 0);
    else
        QVERIFY(QFile::link(profile, strLater));
    running.Signal(SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(second.inSink.bClosed, kWaitMs);
    QVERIFY(second.AcceptIn() && second.AcceptOut());
    QTRY_COMPARE_WITH_TIMEOUT(running.CountOut("Done!"), 4, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(int(running.Err().count(skipped)), 1, kWaitMs);
    second.pIn->write("still relayed");
    QTRY_COMPARE_WITH_TIMEOUT(second.outSink.data, QByteArray("still relayed"), kWaitMs);

    for (CDaemonProcess* pDaemon : {&daemon, &running}) {
        pDaemon->Signal(SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(pDaemon->Finished(), kWaitMs);
        QCOMPARE(pDaemon->ExitCode(), 0);
    }
}

void TestTrelvaned::stopSignalsExitZero_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

// The stop signals close both ports and quit the Input's plug-in on the way out.
void TestTrelvaned::stopSignalsExitZero()
{
    QFETCH(int, signalNumber);
    const QString strRecord = m_pDir->filePath(QStringLiteral("record.txt"));
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    daemon.SetEnvironmentValue(QStringLiteral("TRELVANE_TEST_RECORD"), strRecord);
    SPeers peers;
    QVERIFY(StartConnected(daemon, peers, TRELVANE_RECORD_PLUGIN));

    daemon.Signal(signalNumber);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
    QVERIFY(daemon.ExitedNormally());
    QCOMPARE(daemon.ExitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(peers.inSink.bClosed && peers.outSink.bClosed, kWaitMs);
    QFile record(strRecord);
    QVERIFY(record.open(QIODevice::ReadOnly));
    QCOMPARE(record.readAll(), "DllInit " + peers.Fields().m_strInSetup + "\nDllQuit\n");
}

void TestTrelvaned::inputDownExitsOne()
{
    SSetFields fields;
    fields.m_strInSetup = "TCP:" + QByteArray::number(FreePort()) + ",127.0.0.1";
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(Start(daemon, fields));
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
    QVERIFY(daemon.ExitedNormally());
    QCOMPARE(daemon.ExitCode(), 1);
    QCOMPARE(daemon.OutTexts().value(0), QStringLiteral("Connect TCP..."));
    QVERIFY(daemon.Out().contains("TCP Connect Error:10061"));
    QVERIFY(daemon.Err().contains("trelvaned: the Input port did not start\n"));
}

void TestTrelvaned::inputGoneAfterRestartExitsOne()
{
    auto pServer = std::make_unique<QTcpServer>();
    QVERIFY(pServer->listen(QHostAddress::LocalHost));
    SSetFields fields;
    fields.m_strInSetup = TcpSetup(*pServer);
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(Start(daemon, fields));
    QTcpSocket* pIn = Accept(*pServer);
    QVERIFY(pIn);
    QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("Done!"), 1, kWaitMs);
    // The server goes away: the gateway restarts, the Input cannot connect.
    pServer.reset();
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
    QCOMPARE(daemon.ExitCode(), 1);
    QVERIFY(daemon.Out().contains("Remote Input closed,close ALL & ReStart!"));
    QCOMPARE(daemon.CountOut("Connect TCP..."), 2);
}

void TestTrelvaned::retryReconnectsWhenServerAppears()
{
    SPeers peers;
    QVERIFY(peers.Listen());
    SSetFields fields = peers.Fields(1008);
    // The Input server goes away until the daemon has tried it twice.
    const quint16 nPort = peers.inServer.serverPort();
    peers.inServer.close();
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(Start(daemon, fields, {QStringLiteral("--retry"), QStringLiteral("1")}));
    // At least two failed attempts, and the program still runs.
    QTRY_VERIFY_WITH_TIMEOUT(daemon.CountOut("TCP Connect Error:10061") >= 2, kWaitMs);
    QVERIFY(daemon.Err().contains("retrying in 1 s"));
    QVERIFY(!daemon.Finished());

    QVERIFY(peers.inServer.listen(QHostAddress::LocalHost, nPort));
    QVERIFY(peers.AcceptIn());
    QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("Done!"), 1, kWaitMs);
    peers.pIn->write("hello");
    QVERIFY(peers.AcceptOut());
    QTRY_COMPARE_WITH_TIMEOUT(peers.outSink.data, QByteArray("hello"), kWaitMs);
    // Once started, no further attempts.
    const int nConnects = daemon.CountOut("Connect TCP...");
    QTest::qWait(1500);
    QCOMPARE(daemon.CountOut("Connect TCP..."), nConnects);
    QVERIFY(!daemon.Finished());
}

// A SIGHUP while the Input's connect waits cancels that start; the reload
// then brings the Input up, and the program must go on running.
void TestTrelvaned::reloadWhileInputConnectsKeepsRunning()
{
    SFullServer server;
    QVERIFY(server.Listen());
    SSetFields fields;
    fields.m_strInSetup = server.Setup();
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(Start(daemon, fields));
    QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("Connect TCP..."), 1, kWaitMs);
    daemon.Signal(SIGHUP);
    daemon.Signal(SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Err().count("reloading") >= 1, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.CountOut("Connect TCP...") >= 2, kWaitMs);
    // Make room: the connect of the reloaded start gets through.
    std::vector<int> accepted;
    const auto closeAll = qScopeGuard([&] {
        for (int h : accepted)
            ::close(h);
    });
    QVERIFY(QTest::qWaitFor([&] {
        accepted.push_back(server.AcceptOne());
        return daemon.CountOut("Done!") == 1;
    }, kWaitMs));
    QVERIFY(!daemon.Out().contains("TCP Connect Error"));
    QVERIFY2(!daemon.Err().contains("did not start"), daemon.Err().constData());
    daemon.Signal(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
    QCOMPARE(daemon.ExitCode(), 0);
    Figure(QStringLiteral("reload-while-connecting sighup=2 input_started=%1 exit_status=%2")
               .arg(daemon.CountOut("Done!"))
               .arg(daemon.ExitCode()));
}

void TestTrelvaned::stopSignalNeverLost_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

// Thousands of other signals while a slow plug-in keeps the program busy
// must not crowd out the stop signal that follows them.
void TestTrelvaned::stopSignalNeverLost()
{
    QFETCH(int, signalNumber);
    const QString strRecord = m_pDir->filePath(QStringLiteral("record.txt"));
    const QString strStall = m_pDir->filePath(QStringLiteral("stall"));
    QVERIFY(WriteAll(strStall, "1"));
    const auto unstall = qScopeGuard([&] { QFile::remove(strStall); });
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TRELVANE_TEST_RECORD"), strRecord);
    env.insert(QStringLiteral("TRELVANE_TEST_STALL"), strStall);
    daemon.m_process.setProcessEnvironment(env);
    SPeers peers;
    QVERIFY(StartConnected(daemon, peers, TRELVANE_RECORD_PLUGIN));
    peers.pIn->write("x");
    QTRY_VERIFY_WITH_TIMEOUT(ReadAll(strRecord).contains("DllTransfer"), kWaitMs);
    for (int i = 0; i < 5000; ++i)
        daemon.Signal(SIGHUP);
    daemon.Signal(signalNumber);
    QVERIFY(QFile::remove(strStall));
    QElapsedTimer stopTime;
    stopTime.start();
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
    QCOMPARE(daemon.ExitCode(), 0);
    QVERIFY(daemon.Err().contains("trelvaned: stopping"));
    Figure(QStringLiteral("stop-after-signal-burst signal=%1 sighup_before=5000 stop_ms=%2 exit_status=%3")
               .arg(QString::fromLatin1(QTest::currentDataTag()))
               .arg(stopTime.elapsed())
               .arg(daemon.ExitCode()));
}

// Standard output goes to a pipe that nobody reads: the relay and the stop
// signal must go on, and once the pipe is read again a line says how many
// lines were dropped.
void TestTrelvaned::stalledLogReaderDoesNotBlock()
{
    int pipeFds[2];
    QVERIFY(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) == 0);
    const auto closePipe = qScopeGuard([&] {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
    });
    QVERIFY(::fcntl(pipeFds[0], F_SETPIPE_SZ, 4096) > 0);

    SPeers peers;
    QVERIFY(peers.Listen());
    SSetFields fields = peers.Fields(1008);
    fields.m_strOutSetup = "XYZ";
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    // Opened afresh through /proc: the daemon gets a blocking pipe.
    daemon.m_process.setStandardOutputFile(QStringLiteral("/proc/self/fd/%1").arg(pipeFds[1]));
    QVERIFY(Start(daemon, fields));
    QVERIFY(peers.AcceptIn());
    // Every block from the Input tries the Output, whose setup string is
    // invalid: two lines each, far more than the pipe holds.
    peers.pIn->write(QByteArray(4 << 20, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(peers.pIn->bytesToWrite() == 0, kWaitMs);
    // Only once the gateway has read all of it (nothing left in our send
    // queue) have far more lines been made than the pipe and the queue hold.
    const auto unread = [&] {
        int nQueued = -1;
        ::ioctl(int(peers.pIn->socketDescriptor()), SIOCOUTQ, &nQueued);
        return nQueued;
    };
    QTRY_COMPARE_WITH_TIMEOUT(unread(), 0, kWaitMs);

    // The gateway still answers: a reload with a working Output relays.
    // Its own lines are not looked for on standard error: every block also
    // put a message box line there, and a slow reader of that flood may see
    // "reloading" dropped (and counted) as any other line.
    QVERIFY(WriteSet(peers.Fields(1008)));
    daemon.Signal(SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(peers.inSink.bClosed, kWaitMs);
    // Standard error leads elsewhere: it took more than the stalled pipe holds.
    QVERIFY(daemon.Err().size() > 4096);
    QVERIFY(peers.AcceptIn());
    peers.pIn->write("ping");
    QVERIFY(peers.AcceptOut());
    QTRY_COMPARE_WITH_TIMEOUT(peers.outSink.data, QByteArray("ping"), kWaitMs);

    // Reading again brings the count of what was lost.
    QByteArray out;
    char buffer[65536];
    QVERIFY(QTest::qWaitFor([&] {
        out += QByteArray(buffer, qMax<ssize_t>(0, ::read(pipeFds[0], buffer, sizeof buffer)));
        return out.contains("lines dropped");
    }, kWaitMs));
    static const QRegularExpression notice(QStringLiteral("\n\\d\\d:\\d\\d:\\d\\d,trelvaned: ([1-9]\\d*) lines dropped"));
    const QRegularExpressionMatch match = notice.match(QString::fromUtf8(out));
    QVERIFY2(match.hasMatch(), out.right(300).constData());
    daemon.Signal(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
    QCOMPARE(daemon.ExitCode(), 0);
    Figure(QStringLiteral("stalled-log-reader input_bytes=%1 pipe_bytes=4096 relayed_while_stalled=1 "
                          "dropped_lines_reported=%2 exit_status=%3")
               .arg(4 << 20)
               .arg(match.captured(1))
               .arg(daemon.ExitCode()));
}

// A line feed in a setup string must not forge a line of the output.
void TestTrelvaned::controlCharactersEscaped()
{
    SSetFields fields;
    fields.m_strInSetup = "TCP:" + QByteArray::number(FreePort()) + ",127.0.0.1\n00:00:00,Done!";
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(Start(daemon, fields));
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
    QCOMPARE(daemon.ExitCode(), 1);
    QVERIFY2(daemon.Out().contains(",addr:127.0.0.1\\x0a00:00:00,Done!\n"), daemon.Out().constData());
    QVERIFY(!daemon.OutTexts().contains(QStringLiteral("Done!")));
    CheckTimeStamps(daemon);
    Figure(QStringLiteral("control-characters-in-setup forged_lines=0 escaped_lines=%1")
               .arg(daemon.Out().count("\\x0a")));
}

// --trace FILE, the counters on SIGUSR1 and at exit, and the service
// manager's notify socket (one of the test's own).
void TestTrelvaned::traceCountersAndServiceNotify()
{
    const QByteArray strSocket = QFile::encodeName(m_pDir->filePath(QStringLiteral("notify")));
    const int hNotify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    QVERIFY(hNotify >= 0);
    const auto closeNotify = qScopeGuard([&] { ::close(hNotify); });
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    QVERIFY(size_t(strSocket.size()) < sizeof addr.sun_path);
    std::memcpy(addr.sun_path, strSocket.constData(), size_t(strSocket.size()));
    QVERIFY(::bind(hNotify, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    QByteArrayList messages;
    auto received = [&](const QByteArray& strPrefix) {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(hNotify, buffer, sizeof buffer, 0)) >= 0;)
            messages.append(QByteArray(buffer, int(n)));
        qsizetype nCount = 0;
        for (const QByteArray& m : messages)
            nCount += m.startsWith(strPrefix) ? 1 : 0;
        return nCount;
    };

    const QString strTrace = m_pDir->filePath(QStringLiteral("trace.txt"));
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(strSocket));
    env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("100000"));
    daemon.m_process.setProcessEnvironment(env);
    SPeers peers;
    QVERIFY(peers.Listen());
    QVERIFY(Start(daemon, peers.Fields(), {QStringLiteral("--trace"), strTrace}));
    QVERIFY(peers.AcceptIn() && peers.AcceptOut());
    QVERIFY(QTest::qWaitFor([&] { return received("READY=1") == 1; }, kWaitMs));
    // The status follows READY=1 in a datagram of its own.
    const QByteArray strStarted = "STATUS=Input started, Output started; in-->out received=0/0 sent=0/0 held-back=0 "
                                  "no-client=0; out-->in received=0/0 sent=0/0 held-back=0 no-client=0; "
                                  "plugin-errors=0 restarts=0 reconnects=0";
    QVERIFY(QTest::qWaitFor([&] { return received(strStarted) == 1; }, kWaitMs));

    peers.pIn->write("abc\x01");
    QTRY_COMPARE_WITH_TIMEOUT(peers.outSink.data, QByteArray("abc\x01"), kWaitMs);
    peers.pOut->write("xyz");
    QTRY_COMPARE_WITH_TIMEOUT(peers.inSink.data, QByteArray("xyz"), kWaitMs);
    const QByteArray strCounters = "trelvaned: counters: in-->out received=1/4 sent=1/4 held-back=0 no-client=0; "
                                   "out-->in received=1/3 sent=1/3 held-back=0 no-client=0; "
                                   "plugin-errors=0 restarts=0 reconnects=0\n";
    daemon.Signal(SIGUSR1);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Err().contains(strCounters), kWaitMs);
    // The watchdog is fed at half its period.
    QVERIFY(QTest::qWaitFor([&] { return received("WATCHDOG=1") >= 3; }, kWaitMs));

    daemon.Signal(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
    QCOMPARE(daemon.ExitCode(), 0);
    QVERIFY(daemon.Err().endsWith(strCounters));
    QCOMPARE(received("STOPPING=1"), 1);
    QCOMPARE(received("READY=1"), 1);

    // Private to its owner: it holds every relayed byte.
    QCOMPARE(QFile::permissions(strTrace), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    // The trace without its time stamps.
    static const QRegularExpression time(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6} "),
                                         QRegularExpression::MultilineOption);
    QString strTraced = QString::fromUtf8(ReadAll(strTrace));
    QCOMPARE(strTraced.count(time), 2);
    strTraced.replace(time, QStringLiteral("T "));
    QCOMPARE(strTraced, QStringLiteral("T IN-->OUT received 4 bytes\n"
                                       "  0000  61 62 63 01                                       |abc.|\n"
                                       "T OUT-->IN received 3 bytes\n"
                                       "  0000  78 79 7a                                          |xyz|\n"));
}

// "--trace -": the records go to standard output, between the log lines.
void TestTrelvaned::traceToStandardOutput()
{
    SPeers peers;
    QVERIFY(peers.Listen());
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    QVERIFY(Start(daemon, peers.Fields(), {QStringLiteral("--trace"), QStringLiteral("-")}));
    QVERIFY(peers.AcceptIn() && peers.AcceptOut());
    peers.pIn->write("hi");
    QTRY_COMPARE_WITH_TIMEOUT(peers.outSink.data, QByteArray("hi"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Out().contains(" IN-->OUT received 2 bytes\n  0000  68 69 "), kWaitMs);
    QVERIFY(daemon.Out().contains("Done!\n"));
}

void TestTrelvaned::traceFileFailureIsReported_data()
{
    QTest::addColumn<QString>("trace");
    QTest::addColumn<int>("sizeLimit"); // of files the daemon writes; 0: none
    QTest::newRow("/dev/full") << "/dev/full" << 0;
    // A full disk part way into a record.
    QTest::newRow("full part way") << "trace.txt" << 1000;
}

// A trace that cannot be written says so once on standard error, with what
// was lost; the relay goes on and the exit status stays 0.
void TestTrelvaned::traceFileFailureIsReported()
{
    QFETCH(QString, trace);
    QFETCH(int, sizeLimit);
    const QString strTrace = trace.startsWith(u'/') ? trace : m_pDir->filePath(trace);
    CDaemonProcess daemon(QStringLiteral(TRELVANED_PATH));
    if (sizeLimit > 0) {
        daemon.m_process.setChildProcessModifier([sizeLimit] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit {rlim_t(sizeLimit), rlim_t(sizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
    }
    SPeers peers;
    QVERIFY(peers.Listen());
    QVERIFY(Start(daemon, peers.Fields(), {QStringLiteral("--trace"), strTrace}));
    QVERIFY(peers.AcceptIn() && peers.AcceptOut());
    const QByteArray data = RandomBytes(3000, 7);
    peers.pIn->write(data);
    QTRY_COMPARE_WITH_TIMEOUT(peers.outSink.data, data, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Err().contains("cannot write the trace file"), kWaitMs);
    static const QRegularExpression report(QStringLiteral(
        "trelvaned: cannot write the trace file (.*): (.+); tracing stopped, (\\d+) bytes of (\\d+) records? not written\n"));
    const QRegularExpressionMatch match = report.match(QString::fromUtf8(daemon.Err()));
    QVERIFY2(match.hasMatch(), daemon.Err().constData());
    QCOMPARE(match.captured(1), strTrace);
    QVERIFY(match.captured(3).toInt() > 0 && match.captured(4).toInt() > 0);
    if (sizeLimit > 0)
        QCOMPARE(QFileInfo(strTrace).size(), qint64(sizeLimit));
    // Still relaying, and said once only.
    peers.pOut->write("back");
    QTRY_COMPARE_WITH_TIMEOUT(peers.inSink.data, QByteArray("back"), kWaitMs);
    daemon.Signal(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
    QCOMPARE(daemon.ExitCode(), 0);
    QCOMPARE(daemon.Err().count("cannot write the trace file"), 1);
}

// Standard output and standard error on one pipe (2>&1, the journal): every
// explanation comes right after the failure line it explains, attempt after
// attempt.
void TestTrelvaned::linesKeepTheirOrderAcrossStreams()
{
    SPeers peers;
    QVERIFY(peers.Listen());
    SSetFields fields = peers.Fields(1008);
    fields.m_strOutSetup = "TCP:" + QByteArray::number(FreePort()) + ",127.0.0.1";
    CDaemonProcess daemon(QStringLiteral("/bin/sh"));
    QVERIFY(WriteSet(fields));
    QVERIFY(daemon.Start({QStringLiteral("-c"), QStringLiteral("exec \"$0\" \"$1\" 2>&1"),
                          QStringLiteral(TRELVANED_PATH), SetPath()}));
    QVERIFY(peers.AcceptIn());
    // Each block tries the Output once.
    constexpr int kAttempts = 40;
    for (int i = 1; i <= kAttempts; ++i) {
        peers.pIn->write("x");
        QTRY_COMPARE_WITH_TIMEOUT(daemon.CountOut("Output DoConnect Failure!"), i, kWaitMs);
    }
    daemon.Signal(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.Finished(), kWaitMs);
    const QStringList lines = QString::fromUtf8(daemon.Out()).split(u'\n');
    int nWhy = 0;
    for (int i = 0; i < lines.size(); ++i) {
        if (!lines[i].startsWith(u"trelvaned: why: Output: connecting"))
            continue;
        ++nWhy;
        QVERIFY2(i > 0 && lines[i - 1].contains(u"TCP Connect Error:10061"), qPrintable(lines.mid(i - 3, 6).join(u'\n')));
        QVERIFY2(i + 1 < lines.size() && lines[i + 1].endsWith(u",Output DoConnect Failure!"),
                 qPrintable(lines.mid(i - 3, 6).join(u'\n')));
    }
    QCOMPARE(nWhy, kAttempts);
}

QTEST_GUILESS_MAIN(TestTrelvaned)
#include "tst_trelvaned.moc"
