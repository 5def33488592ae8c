// trelvane-set check and trelvaned --check on good and bad files; what
// show and write say about values and files the gateway would not take;
// trelvaned's explanations of a device it may not open or that is busy,
// run as an unprivileged user.

#include "files.h"
#include "pty.h"
#include "testpki.h"
#include "toolrun.h"

#include "setcodec.h"

#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QUdpSocket>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

Q_DECLARE_METATYPE(SSetFields)

namespace {

using ByteList = QList<QByteArray>;

const QByteArray kSetTool = TRELVANE_SET_PATH;
const QByteArray kDaemon = TRELVANED_PATH;
const QByteArray kSetpriv = "/usr/bin/setpriv";

// Every file below the folder with its size and modification time.
QStringList Snapshot(const QString& strDir)
{
    QStringList list;
    QDirIterator it(strDir, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        list.append(QStringLiteral("%1 %2 %3").arg(info.filePath()).arg(info.size())
                        .arg(info.lastModified().toMSecsSinceEpoch()));
    }
    list.sort();
    return list;
}

QByteArrayList Lines(const QByteArray& text)
{
    QByteArrayList lines = text.split('\n');
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    return lines;
}

QString ErrnoText(int nErrno)
{
    return QString::fromLocal8Bit(std::strerror(nErrno));
}

// The program run as nobody, through setpriv.
SToolRun RunAsNobody(const QByteArray& program, const ByteList& args)
{
    return RunTool(kSetpriv, ByteList({"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", program}) + args);
}

} // namespace

class TestSettingsCheck : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void check_data();
    void check();
    void checkTouchesNothing_data();
    void checkTouchesNothing();
    void unitStatusesMatchProgram_data();
    void unitStatusesMatchProgram();
    void showRefusesOtherFiles_data();
    void showRefusesOtherFiles();
    void writeWarnsAndWrites();
    void writeAndCheckAgreeOnMap_data();
    void writeAndCheckAgreeOnMap();
    void daemonExplainsMissingDevice();
    void unprivilegedDevice_data();
    void unprivilegedDevice();
    void unprivilegedTlsKey();

private:
    QString Path(const QString& strName) const { return m_pDir->filePath(strName); }
    QByteArray SetPath() const { return QFile::encodeName(Path(QStringLiteral("gw.set"))); }
    QByteArray IniPath() const { return QFile::encodeName(Path(QStringLiteral("trelvane.ini"))); }

    std::unique_ptr<QTemporaryDir> m_pDir;
    std::unique_ptr<CPty> m_pPty;
};

void TestSettingsCheck::init()
{
    m_pDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_pDir->isValid());
    m_pPty = std::make_unique<CPty>();
    QVERIFY(m_pPty->IsValid());
}

void TestSettingsCheck::check_data()
{
    QTest::addColumn<QByteArray>("content"); // the file; "" for none
    QTest::addColumn<QByteArray>("profile"); // %pty stands for a pseudo-terminal
    QTest::addColumn<QStringList>("lines");  // beginnings of the lines on standard output
    QTest::addColumn<QStringList>("problems"); // parts of the problem lines, in order
    QTest::addColumn<int>("status");           // trelvaned's; trelvane-set exits 1 for 2

    SSetFields good;
    good.m_strInSetup = "TCP:4001,127.0.0.1";
    good.m_strInDll = "lf2crlf.so";
    good.m_strOutSetup = "COM7:9600,n,8,1";
    good.m_nOutStartup = 1007;
    const QByteArray goodFile = *WriteSetFile(good);
    const QString strPlugins = QStringLiteral(TRELVANE_PLUGIN_BUILD_DIR);
    QTest::newRow("good") << goodFile << QByteArray("[Serial Ports]\nCOM7=%pty\n")
        << QStringList{R"(in-setup: "TCP:4001,127.0.0.1": TCP client, connects to port 4001 at "127.0.0.1")",
                       QStringLiteral(R"(in-dll: "lf2crlf.so": found %1/lf2crlf.so, exports DllInit, DllTransfer, )"
                                      R"(DllQuit; not loaded)").arg(strPlugins),
                       R"(out-setup: "COM7:9600,n,8,1": serial line, [Serial Ports] maps COM7 to )",
                       "out-dll: none, blocks pass unchanged",
                       "out-startup: 1007, the Output starts with the Input"}
        << QStringList() << 0;

    SSetFields careless;
    careless.m_strInSetup = "TCP:abc,127.0.0.1";
    careless.m_strInDll = "lf2crfl.so";
    careless.m_strOutSetup = "COM1:9600,q,8,1";
    careless.m_nOutStartup = 1009;
    QTest::newRow("typing errors") << *WriteSetFile(careless) << QByteArray()
        << QStringList{R"(in-setup: "TCP:abc,127.0.0.1": TCP client, connects to port 0)",
                       R"(in-dll: "lf2crfl.so": not usable)", R"(out-setup: "COM1:9600,q,8,1": result code 1)"}
        << QStringList{R"(error: in-setup: the port field "abc" is not a number; it counts as port 0, which cannot )",
                       QStringLiteral(R"(warning: in-dll: plug-in "lf2crfl.so" not found; searched: )"),
                       R"(warning: out-setup: result code 1 ("BuildCommDCB Error!"))",
                       "warning: out-startup: 1009 is neither 1007 (with-input) nor 1008 (first-data); it acts as 1008"}
        << 1;

    // What the gateway runs is no reason to refuse the file.
    SSetFields runs;
    runs.m_strInSetup = "TCP:99999,127.0.0.1";
    runs.m_strInDll = "nosuch.so";
    runs.m_nOutStartup = 5000;
    QTest::newRow("warnings only") << *WriteSetFile(runs) << QByteArray()
        << QStringList{R"(in-setup: "TCP:99999,127.0.0.1": TCP client, connects to port 34463)"}
        << QStringList{"warning: in-setup: port 99999 is outside 1-65535; it is used as port 34463",
                       R"(warning: in-dll: plug-in "nosuch.so" not found)",
                       "warning: out-setup: result code 20",
                       "warning: out-startup: 5000 is neither"}
        << 0;

    SSetFields devices;
    devices.m_strInSetup = "COM7:9600";
    devices.m_strOutSetup = "COM8:9600";
    devices.m_strOutDll = "@notes.so";
    QTest::newRow("devices and plug-in file")
        << *WriteSetFile(devices) << QByteArray("[Serial Ports]\nCOM7=/dev/trelvane-no-such-tty\nCOM8=tty8\n")
        << QStringList{R"(in-setup: "COM7:9600": serial line, [Serial Ports] maps COM7 to /dev/trelvane-no-such-tty; )",
                       R"(in-dll: none)",
                       R"(out-setup: "COM8:9600": result code 1)"}
        << QStringList{QStringLiteral("error: in-setup: result code 1 (\"OpenComm Error!\"): [Serial Ports] maps COM7 "
                                      "to /dev/trelvane-no-such-tty, which does not exist (%1)").arg(ErrnoText(ENOENT)),
                       "warning: out-setup: result code 1 (\"OpenComm Error!\"): [Serial Ports] maps COM8 to tty8, "
                       "which is not an absolute path",
                       "warning: out-dll: %dir/notes.so is not a plug-in the system can load: it is not a shared "
                       "library (no ELF header)"}
        << 1;

    // Device servers' lines: described, a bad URL refused.
    SSetFields remote;
    remote.m_strInSetup = "COM7:19200";
    remote.m_strOutSetup = "COM8:9600";
    QTest::newRow("device servers")
        << *WriteSetFile(remote) << QByteArray("[Serial Ports]\nCOM7=rfc2217s://localhost:4001\nCOM8=rfc2217://host\n")
        << QStringList{R"(in-setup: "COM7:19200": remote serial line, [Serial Ports] maps COM7 to )"
                       R"(rfc2217s://localhost:4001 (RFC 2217 over TLS to port 4001 at "localhost"); 19200 baud, )",
                       R"(in-dll: none)", R"(out-setup: "COM8:9600": result code 1)"}
        << QStringList{"warning: out-setup: result code 1 (\"OpenComm Error!\"): [Serial Ports] maps COM8 to "
                       "rfc2217://host, which is not a device server's URL: the URL needs a port after the host"}
        << 0;

    // A regular file and a character device that is no terminal.
    SSetFields notLines;
    notLines.m_strInSetup = "COM7:9600";
    notLines.m_strOutSetup = "COM8:9600";
    QTest::newRow("not serial lines")
        << *WriteSetFile(notLines) << QByteArray("[Serial Ports]\nCOM7=%dir/notes.so\nCOM8=/dev/null\n")
        << QStringList{R"(in-setup: "COM7:9600": serial line)"}
        << QStringList{"error: in-setup: result code 1 (\"OpenComm Error!\"): [Serial Ports] maps COM7 to ",
                       "warning: out-setup: result code 1 (\"OpenComm Error!\"): [Serial Ports] maps COM8 to "
                       "/dev/null, which is not a serial line or terminal"}
        << 1;

    SSetFields noLine;
    noLine.m_strInSetup = "TCP:0@127.0.0.1;rfc2217";
    noLine.m_strOutSetup = "UDP:5000,127.0.0.1";
    QTest::newRow("rfc2217 without a line") << *WriteSetFile(noLine) << QByteArray()
        << QStringList{R"(in-setup: "TCP:0@127.0.0.1;rfc2217": TCP server, listens on port 0 at "127.0.0.1"; a new )"
                       R"(client replaces the connected one; Telnet with the com port option (RFC 2217): clients )"
                       R"(set the serial line at the other side)"}
        << QStringList{"warning: in-setup: rfc2217 serves the serial line at the other side, but the other port is "
                       "not a serial line"}
        << 0;
    SSetFields lateLine;
    lateLine.m_strInSetup = "TCP:0@127.0.0.1;rfc2217;clients=refuse";
    lateLine.m_strOutSetup = "COM7:9600";
    lateLine.m_nOutStartup = 1008;
    QTest::newRow("rfc2217 before the line opens") << *WriteSetFile(lateLine) << QByteArray("[Serial Ports]\nCOM7=%pty\n")
        << QStringList{R"(in-setup: "TCP:0@127.0.0.1;rfc2217;clients=refuse": TCP server, listens on port 0 at )"
                       R"("127.0.0.1"; a second client is refused while one is connected; Telnet with the com port )"}
        << QStringList{"warning: in-setup: rfc2217 on the Input while the Output serial line opens only with "
                       "the first block"}
        << 0;

    SSetFields grammar;
    grammar.m_strInSetup = "tcp:1025,127.0.0.1";
    grammar.m_strOutSetup = "UDP:5000x";
    QTest::newRow("grammar") << *WriteSetFile(grammar) << QByteArray()
        << QStringList{R"(in-setup: "tcp:1025,127.0.0.1": result code 20)",
                       R"(in-dll: none)", R"(out-setup: "UDP:5000x": result code 13)"}
        << QStringList{"error: in-setup: result code 20 (\"Invalid Setup String!\")",
                       "warning: out-setup: result code 13 (\"Invalid Setup String!\"): there is no ',' after the ':'"}
        << 1;

    // The ports the test holds: %tcp listens, %udp is bound.
    SSetFields inUse;
    inUse.m_strInSetup = "TCP:%tcp@127.0.0.1";
    inUse.m_strOutSetup = "UDP:%udp@127.0.0.1";
    QTest::newRow("ports in use") << *WriteSetFile(inUse) << QByteArray()
        << QStringList{R"(in-setup: "TCP:)"}
        << QStringList{"error: in-setup: binding port %tcp at \"127.0.0.1\" failed (Address already in use): another "
                       "program uses that port",
                       "warning: out-setup: binding port %udp at \"127.0.0.1\" failed (Address already in use)"}
        << 1;

    QTest::newRow("no file") << QByteArray() << QByteArray() << QStringList()
        << QStringList{"error: %dir/gw.set\nCannot find this file."} << 2;
    QTest::newRow("short file") << QByteArray(13, '\0') << QByteArray() << QStringList()
        << QStringList{"error: %dir/gw.set: Unexpected file format."} << 2;
    QTest::newRow("bytes after the settings") << goodFile + "root:x:0:0\n" << QByteArray("[Serial Ports]\nCOM7=%pty\n")
        << QStringList{R"(in-setup: "TCP:4001,127.0.0.1")"}
        << QStringList{"warning: %dir/gw.set: not a settings file as Trelvane writes one: 11 bytes follow "
                       "the ten settings"}
        << 0;
}

void TestSettingsCheck::check()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, profile);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, problems);
    QFETCH(int, status);

    QTcpServer tcp;
    QUdpSocket udp;
    QVERIFY(tcp.listen(QHostAddress::LocalHost) && udp.bind(QHostAddress::LocalHost));
    auto fill = [&](QByteArray text) {
        return text.replace("%tcp", QByteArray::number(tcp.serverPort()))
            .replace("%udp", QByteArray::number(udp.localPort()))
            .replace("%pty", QFile::encodeName(m_pPty->Slave())).replace("%dir", QFile::encodeName(m_pDir->path()));
    };
    for (QString& strProblem : problems)
        strProblem = QString::fromUtf8(fill(strProblem.toUtf8()));

    QVERIFY(WriteAll(Path(QStringLiteral("notes.so")), "not a shared object\n"));
    if (!content.isEmpty()) {
        // A plug-in named "@x" is the file x in the test's folder.
        const SSetReadResult read = ReadSetFile(content);
        if (read.m_eStatus == ESetReadStatus::Ok) {
            SSetFields fields = read.m_fields;
            if (fields.m_strOutDll.startsWith('@'))
                fields.m_strOutDll = QFile::encodeName(Path(QString::fromUtf8(fields.m_strOutDll.mid(1))));
            fields.m_strInSetup = fill(fields.m_strInSetup);
            fields.m_strOutSetup = fill(fields.m_strOutSetup);
            content = *WriteSetFile(fields) + content.mid(read.m_nBytesRead);
        }
        QVERIFY(WriteAll(QFile::decodeName(SetPath()), content));
    }
    QVERIFY(WriteAll(QFile::decodeName(IniPath()), fill(profile)));
    const QStringList before = Snapshot(m_pDir->path());

    for (const auto& [program, args, prefix, nExit] :
         {std::tuple{kSetTool, ByteList{"--profile", IniPath(), "check", SetPath()}, QByteArray("trelvane-set: "),
                     std::min(status, 1)},
          std::tuple{kDaemon, ByteList{"--check", "--profile", IniPath(), SetPath()}, QByteArray("trelvaned: "),
                     status}}) {
        const SToolRun run = RunTool(program, args);
        const QByteArrayList outLines = Lines(run.out);
        const QByteArrayList errLines = Lines(run.err);
        QCOMPARE(run.nExit, nExit);
        QCOMPARE(outLines.size(), lines.isEmpty() ? 0 : 5);
        for (qsizetype i = 0; i < lines.size(); ++i)
            QVERIFY2(QString::fromUtf8(outLines[i]).startsWith(lines[i]), outLines[i].constData());
        QCOMPARE(errLines.size(), problems.size());
        for (qsizetype i = 0; i < problems.size(); ++i) {
            // "error: " or "warning: " first, then a part of the text.
            const qsizetype nSeverity = problems[i].indexOf(u' ') + 1;
            QVERIFY2(errLines[i].startsWith(prefix + problems[i].left(nSeverity).toUtf8()), errLines[i].constData());
            // A message with a line break is still one line of output.
            const QString strLine = QString::fromUtf8(errLines[i])
                                        .replace(QStringLiteral(" Cannot"), QStringLiteral("\nCannot"))
                                        .replace(QStringLiteral("\\x0aCannot"), QStringLiteral("\nCannot"));
            QVERIFY2(strLine.contains(problems[i].mid(nSeverity)), errLines[i].constData());
        }
        QCOMPARE(Snapshot(m_pDir->path()), before);
    }
}

void TestSettingsCheck::checkTouchesNothing_data()
{
    QTest::addColumn<QByteArray>("program");
    QTest::addColumn<ByteList>("args"); // before the settings file
    QTest::addColumn<bool>("opens");
    QTest::addColumn<bool>("loads");
    for (const auto& [program, check] :
         {std::pair{kSetTool, QByteArray("check")}, std::pair{kDaemon, QByteArray("--check")}}) {
        const QByteArray name = (program == kSetTool ? "trelvane-set " : "trelvaned ") + check;
        QTest::newRow(name) << program << ByteList{check} << false << false;
        QTest::newRow(name + " --open-devices") << program << ByteList{check, "--open-devices"} << true << false;
        QTest::newRow(name + " --load-plugins") << program << ByteList{check, "--load-plugins"} << false << true;
    }
}

// A device is opened and a plug-in's code runs only on request. Opened, the
// device is left as found, even while another program holds it open.
void TestSettingsCheck::checkTouchesNothing()
{
    QFETCH(QByteArray, program);
    QFETCH(ByteList, args);
    QFETCH(bool, opens);
    QFETCH(bool, loads);
    SSetFields fields;
    fields.m_strInSetup = "COM7:9600,n,8,1";
    fields.m_strInDll = TRELVANE_RECORD_PLUGIN;
    fields.m_strOutSetup = "COM8:9600,n,8,1";
    QVERIFY(WriteAll(QFile::decodeName(SetPath()), *WriteSetFile(fields)));
    const CPty other;
    const QByteArray slave = QFile::encodeName(m_pPty->Slave());
    QVERIFY(WriteAll(QFile::decodeName(IniPath()),
                     "[Serial Ports]\nCOM7=" + slave + "\nCOM8=" + QFile::encodeName(other.Slave()) + '\n'));
    const int hHolder = ::open(slave.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(hHolder >= 0);
    const int hWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(::inotify_add_watch(hWatch, slave.constData(), IN_OPEN) >= 0);
    QVERIFY(::inotify_add_watch(hWatch, QFile::encodeName(other.Slave()).constData(), IN_OPEN) >= 0);
    const QString strMarker = Path(QStringLiteral("loaded"));
    qputenv("TRELVANE_TEST_LOADED", QFile::encodeName(strMarker));

    const SToolRun run = RunTool(program, ByteList{"--profile", IniPath()} + args + ByteList{SetPath()});
    qunsetenv("TRELVANE_TEST_LOADED");
    int nExclusive = -1;
    const int nGot = ::ioctl(hHolder, TIOCGEXCL, &nExclusive);
    char events[4096];
    const ssize_t nEvents = ::read(hWatch, events, sizeof events);
    ::close(hWatch);
    ::close(hHolder);

    QVERIFY2(run.nExit == 0, run.err.constData());
    QVERIFY(nGot == 0 && nExclusive == 0);
    // One open of each device, or none.
    QCOMPARE(qMax<ssize_t>(nEvents, 0), opens ? ssize_t(2 * sizeof(inotify_event)) : 0);
    QCOMPARE(QFileInfo::exists(strMarker), loads);
    const QByteArray line = Lines(run.out).value(1);
    QVERIFY2(line.startsWith("in-dll: \"" TRELVANE_RECORD_PLUGIN "\": found " TRELVANE_RECORD_PLUGIN
                             ", exports DllInit, DllTransfer, DllQuit; ")
                 && line.endsWith(loads ? "loads" : "not loaded"),
             line.constData());
}

void TestSettingsCheck::unitStatusesMatchProgram_data()
{
    QTest::addColumn<QByteArray>("inSetup");
    QTest::addColumn<bool>("restarted"); // false: the unit stops for good
    QTest::addColumn<bool>("runs");      // the gateway runs
    QTest::newRow("no settings file") << QByteArray() << false << false;
    QTest::newRow("the Input cannot start") << QByteArray("COM9:9600,n,8,1") << true << false;
    QTest::newRow("warnings only") << QByteArray("TCP:0@127.0.0.1") << false << true;
}

// Runs the unit's commands in its order, its paths replaced by the test's:
// the statuses they end with get the restart the unit promises, and no
// command opens a serial device before the gateway starts it.
void TestSettingsCheck::unitStatusesMatchProgram()
{
    QFETCH(QByteArray, inSetup);
    QFETCH(bool, restarted);
    QFETCH(bool, runs);
    const QByteArray unit = ReadAll(QStringLiteral(TRELVANE_UNIT_TEMPLATE));
    QVERIFY(!unit.isEmpty());
    QMultiMap<QByteArray, QByteArray> settings;
    for (const QByteArray& line : Lines(unit)) {
        const qsizetype nEquals = line.indexOf('=');
        if (!line.startsWith('#') && nEquals > 0)
            settings.insert(line.left(nEquals).trimmed(), line.mid(nEquals + 1).trimmed());
    }
    QCOMPARE(settings.value("Restart"), QByteArray("on-failure"));
    const QByteArrayList prevent = settings.value("RestartPreventExitStatus").split(' ');

    if (!inSetup.isEmpty()) {
        SSetFields fields;
        fields.m_strInSetup = inSetup;
        fields.m_strOutSetup = "COM8:9600,n,8,1";
        fields.m_strOutDll = "nosuch.so";
        fields.m_nOutStartup = 5000;
        QVERIFY(WriteAll(QFile::decodeName(SetPath()), *WriteSetFile(fields)));
    }
    const QByteArray slave = QFile::encodeName(m_pPty->Slave());
    QVERIFY(WriteAll(QFile::decodeName(IniPath()),
                     "[Serial Ports]\nCOM9=/dev/trelvane-no-such-tty\nCOM8=" + slave + '\n'));
    const int hWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(::inotify_add_watch(hWatch, slave.constData(), IN_OPEN) >= 0);

    // The unit's Environment= values, expanded as systemd does (${NAME} one
    // word, $NAME split at blanks; no instance file here).
    QMap<QByteArray, QByteArray> environment;
    for (const QByteArray& entry : settings.values("Environment"))
        environment.insert(entry.left(entry.indexOf('=')), entry.mid(entry.indexOf('=') + 1));
    auto command = [&](QByteArray line) {
        line.replace("@TRELVANED_PROGRAM@", kDaemon).replace("/etc/trelvane/%i.set", SetPath());
        QByteArrayList args;
        for (const QByteArray& word : line.split(' ')) {
            if (word.startsWith("${") && word.endsWith('}'))
                args.append(environment.value(word.mid(2, word.size() - 3)));
            else if (word.startsWith('$'))
                args.append(environment.value(word.mid(1)).split(' '));
            else
                args.append(word);
        }
        args.removeAll(QByteArray());
        for (QByteArray& arg : args)
            arg.replace("/etc/trelvane/trelvane.ini", IniPath());
        return args;
    };
    // A failing ExecStartPre is restarted whatever its status.
    for (const QByteArray& pre : settings.values("ExecStartPre")) {
        QByteArrayList args = command(pre);
        const QByteArray program = args.takeFirst();
        const SToolRun run = RunTool(program, args);
        QVERIFY2(run.nExit == 0 || restarted, run.err.constData());
        if (run.nExit != 0)
            return;
    }
    QByteArrayList args = command(settings.value("ExecStart"));
    QProcess process;
    QStringList listArgs;
    for (const QByteArray& arg : args.mid(1))
        listArgs.append(QFile::decodeName(arg));
    process.start(QFile::decodeName(args.front()), listArgs);
    QVERIFY(process.waitForStarted());
    if (runs) {
        QVERIFY2(!process.waitForFinished(1000), process.readAllStandardError().constData());
        process.terminate();
        QVERIFY(process.waitForFinished());
        QCOMPARE(process.exitCode(), 0);
    } else {
        QVERIFY(process.waitForFinished());
        QVERIFY(process.exitCode() != 0);
        QCOMPARE(!prevent.contains(QByteArray::number(process.exitCode())), restarted);
    }
    char events[256];
    QCOMPARE(::read(hWatch, events, sizeof events), ssize_t(-1));
    ::close(hWatch);
}

void TestSettingsCheck::showRefusesOtherFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason");
    SSetFields fields;
    fields.m_strInSetup = "TCP:1025,127.0.0.1";
    QTest::newRow("text after the settings")
        << *WriteSetFile(fields) + "x" << QStringLiteral("1 bytes follow the ten settings, which take 32");
    QTest::newRow("a program file") << QByteArray("\x7f" "ELF\x02\x01\x01", 7) + QByteArray(300, '\0')
                                    << QStringLiteral("bytes follow the ten settings");
    fields.m_bDetectCarrier = 2;
    QTest::newRow("flag 2") << *WriteSetFile(fields) << QStringLiteral("the flag detect-carrier holds 2");
}

void TestSettingsCheck::showRefusesOtherFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    QVERIFY(WriteAll(QFile::decodeName(SetPath()), content));
    const SToolRun run = RunTool(kSetTool, {"show", SetPath()});
    QCOMPARE(run.nExit, 1);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(Lines(run.err).size(), 1);
    QVERIFY2(run.err.startsWith("trelvane-set: " + SetPath() + " is not a settings file: "), run.err.constData());
    QVERIFY2(QString::fromUtf8(run.err).contains(reason), run.err.constData());
}

void TestSettingsCheck::writeWarnsAndWrites()
{
    const SToolRun run = RunTool(kSetTool, {"write", SetPath(), "--in-setup", "TCP:abc,127.0.0.1", "--out-setup",
                                            "COM1:9600,q,8,1", "--out-startup", "1009", "--in-dll", "nosuch.so"});
    QCOMPARE(run.nExit, 0);
    QCOMPARE(run.out, QByteArray());
    const QByteArrayList warnings = Lines(run.err);
    QCOMPARE(warnings, QByteArrayList({
        "trelvane-set: warning: in-setup: the port field \"abc\" is not a number; it counts as port 0, which cannot "
        "be reached",
        "trelvane-set: warning: out-setup: result code 1 (\"BuildCommDCB Error!\"): the line settings of "
        "\"COM1:9600,q,8,1\" are refused: the parity must be one of n, e, o, m, s, got 'q'",
        "trelvane-set: warning: out-startup: 1009 is neither 1007 (with-input) nor 1008 (first-data); it acts as 1008",
    }));
    const SSetReadResult read = ReadSetFile(ReadAll(QFile::decodeName(SetPath())));
    QCOMPARE(read.m_eStatus, ESetReadStatus::Ok);
    QCOMPARE(read.m_fields.m_strInSetup, QByteArray("TCP:abc,127.0.0.1"));
    QCOMPARE(read.m_fields.m_strOutSetup, QByteArray("COM1:9600,q,8,1"));
    QCOMPARE(read.m_fields.m_nOutStartup, 1009);

    // Only the values given are judged: the empty Output of an update is
    // not warned about again and again.
    const SToolRun update = RunTool(kSetTool, {"write", SetPath(), "--update", "--out-setup", "",
                                               "--in-setup", "UDP:5000,127.0.0.1"});
    QCOMPARE(update.nExit, 0);
    QCOMPARE(Lines(update.err), QByteArrayList({"trelvane-set: warning: out-setup: result code 20 (\"Invalid Setup "
                                                "String!\"): the setup string is empty; COM, TCP, UDP or TLS in capitals, "
                                                "e.g. TCP:1025,127.0.0.1 or COM2:9600,n,8,1"}));
}

void TestSettingsCheck::writeAndCheckAgreeOnMap_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<bool>("mapped");
    QTest::newRow("mapped") << QByteArray("[Serial Ports]\nCOMGPS=%pty\n") << true;
    QTest::newRow("not mapped") << QByteArray("[Serial Ports]\nCOM7=%pty\n") << false;
}

// A name of the profile's [Serial Ports] is a device for write as for check.
void TestSettingsCheck::writeAndCheckAgreeOnMap()
{
    QFETCH(QByteArray, profile);
    QFETCH(bool, mapped);
    QVERIFY(WriteAll(QFile::decodeName(IniPath()), profile.replace("%pty", QFile::encodeName(m_pPty->Slave()))));
    const SToolRun write = RunTool(kSetTool, {"--profile", IniPath(), "write", SetPath(), "--in-setup",
                                              "COMGPS:9600,n,8,1", "--out-setup", "UDP:5000,127.0.0.1"});
    const SToolRun check = RunTool(kSetTool, {"--profile", IniPath(), "check", SetPath()});
    QCOMPARE(write.nExit, 0);
    QCOMPARE(check.nExit, mapped ? 0 : 1);
    QCOMPARE(write.err.contains("COMGPS names no device"), !mapped);
    QCOMPARE(check.err.contains("COMGPS names no device"), !mapped);
}

void TestSettingsCheck::daemonExplainsMissingDevice()
{
    SSetFields fields;
    fields.m_strInSetup = "COM7:9600,n,8,1";
    QVERIFY(WriteAll(QFile::decodeName(SetPath()), *WriteSetFile(fields)));
    QVERIFY(WriteAll(QFile::decodeName(IniPath()), "[Serial Ports]\nCOM7=/dev/trelvane-no-such-tty\n"));
    const SToolRun run = RunTool(kDaemon, {"--profile", IniPath(), SetPath()});
    QCOMPARE(run.nExit, 1);
    // The explanation follows the message box it explains (the counters
    // come last).
    QCOMPARE(Lines(run.err).mid(0, 3), QByteArrayList({
        "trelvaned: OpenComm Error!",
        "trelvaned: why: Input: [Serial Ports] maps COM7 to /dev/trelvane-no-such-tty, which does not exist ("
            + ErrnoText(ENOENT).toUtf8() + "): check that the adapter is plugged in, or map it with: "
            "trelvane-set serial-ports set COM7 /dev/ttyUSB0",
        "trelvaned: the Input port did not start",
    }));
}

void TestSettingsCheck::unprivilegedDevice_data()
{
    QTest::addColumn<bool>("busy");
    QTest::newRow("no permission") << false;
    QTest::newRow("held exclusively") << true;
}

void TestSettingsCheck::unprivilegedDevice()
{
    QFETCH(bool, busy);
    if (::geteuid() != 0)
        QSKIP("runs the programs as nobody, which needs root; tst_diagnosis covers the busy case as this user");
    if (!QFileInfo::exists(QFile::decodeName(kSetpriv)))
        QSKIP("setpriv is not installed");
    // A program run as nobody reads the test's folder.
    QVERIFY(::chmod(QFile::encodeName(m_pDir->path()).constData(), 0755) == 0);
    const QByteArray slave = QFile::encodeName(m_pPty->Slave());
    const group* pGroup = ::getgrnam("dialout");
    const gid_t nGroup = pGroup ? pGroup->gr_gid : 20;
    const QByteArray groupName = pGroup ? QByteArray("dialout") : QByteArray("20");
    int hHolder = -1;
    if (busy) {
        // nobody may open the line, but the test holds it exclusively.
        QVERIFY(::chown(slave.constData(), 65534, nGroup) == 0 && ::chmod(slave.constData(), 0600) == 0);
        hHolder = ::open(slave.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(hHolder >= 0);
        QCOMPARE(::ioctl(hHolder, TIOCEXCL), 0);
    } else {
        // As a serial line usually is: root's, and its group's.
        QVERIFY(::chown(slave.constData(), 0, nGroup) == 0 && ::chmod(slave.constData(), 0660) == 0);
    }

    SSetFields fields;
    fields.m_strInSetup = "COM7:9600,n,8,1";
    fields.m_strOutSetup = "TCP:1025,127.0.0.1";
    QVERIFY(WriteAll(QFile::decodeName(SetPath()), *WriteSetFile(fields)));
    QVERIFY(WriteAll(QFile::decodeName(IniPath()), "[Serial Ports]\nCOM7=" + slave + '\n'));
    ::chmod(SetPath().constData(), 0644);
    ::chmod(IniPath().constData(), 0644);

    const QByteArray why = busy
        ? "[Serial Ports] maps COM7 to " + slave + ", which is busy (" + ErrnoText(EBUSY).toUtf8()
              + "): another program holds it open exclusively (fuser -v " + slave + " shows which)"
        : "[Serial Ports] maps COM7 to " + slave + ", which user nobody may not open (" + ErrnoText(EACCES).toUtf8()
              + "); it belongs to group " + groupName + ": join it with: sudo usermod -aG " + groupName
              + " nobody, then log in again";
    const SToolRun daemon = RunAsNobody(kDaemon, {"--profile", IniPath(), SetPath()});
    // Only an open finds a device held exclusively, and only when asked for.
    const SToolRun check = RunAsNobody(kSetTool, {"--profile", IniPath(), "check", busy ? "--open-devices" : "--",
                                                  SetPath()});
    if (hHolder >= 0)
        ::close(hHolder);

    QCOMPARE(daemon.nExit, 1);
    QCOMPARE(Lines(daemon.err).mid(0, 3), QByteArrayList({"trelvaned: OpenComm Error!", "trelvaned: why: Input: " + why,
                                                "trelvaned: the Input port did not start"}));
    QCOMPARE(check.nExit, 1);
    QCOMPARE(Lines(check.err),
             QByteArrayList({"trelvane-set: error: in-setup: result code 1 (\"OpenComm Error!\"): " + why}));
}

// The check run as the service's user (here nobody) on a key that only root
// may read says so plainly; the same key handed over as a systemd
// credential is read in place of the profile's.
void TestSettingsCheck::unprivilegedTlsKey()
{
    if (::geteuid() != 0)
        QSKIP("runs the check as nobody, which needs root");
    if (!QFileInfo::exists(QFile::decodeName(kSetpriv)))
        QSKIP("setpriv is not installed");
    CTestPki pki;
    const CTestPki::SIssued& ca = pki.Issue(QStringLiteral("ca"), nullptr, nullptr);
    const CTestPki::SIssued& server = pki.Issue(QStringLiteral("server"), &ca, "DNS:localhost,IP:127.0.0.1");
    const QByteArray key = QFile::encodeName(server.strKey);
    QVERIFY(::chmod(QFile::encodeName(m_pDir->path()).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(QFileInfo(server.strKey).absolutePath()).constData(), 0755) == 0);
    QVERIFY(::chmod(key.constData(), 0600) == 0 && ::chmod(QFile::encodeName(server.strCert).constData(), 0644) == 0);
    QTcpServer probe; // a free port
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    SSetFields fields;
    fields.m_strInSetup = "TLS:" + QByteArray::number(probe.serverPort()) + "@127.0.0.1";
    probe.close();
    fields.m_strOutSetup = "TCP:1025,127.0.0.1";
    QVERIFY(WriteAll(QFile::decodeName(SetPath()), *WriteSetFile(fields)));
    QVERIFY(WriteAll(QFile::decodeName(IniPath()),
                     "[TLS]\nCertificate=" + QFile::encodeName(server.strCert) + "\nKey=" + key + '\n'));
    ::chmod(SetPath().constData(), 0644);
    ::chmod(IniPath().constData(), 0644);

    SToolRun check = RunAsNobody(kSetTool, {"--profile", IniPath(), "check", SetPath()});
    QCOMPARE(check.nExit, 1);
    QVERIFY2(check.err.contains("; user nobody may not read [TLS] Key=" + key
                                + ": under systemd the service runs as a user of its own; give it the file as "
                                  "the credential tls-key"),
             check.err.constData());

    // As systemd hands it over: a folder of the service's, the copy its user's.
    const QString strCredentials = m_pDir->filePath(QStringLiteral("credentials"));
    QVERIFY(QDir().mkdir(strCredentials));
    const QByteArray copy = QFile::encodeName(strCredentials + QStringLiteral("/tls-key"));
    QVERIFY(QFile::copy(server.strKey, QFile::decodeName(copy)));
    QVERIFY(::chown(copy.constData(), 65534, 65534) == 0 && ::chmod(copy.constData(), 0400) == 0);
    qputenv("CREDENTIALS_DIRECTORY", QFile::encodeName(strCredentials));
    check = RunAsNobody(kSetTool, {"--profile", IniPath(), "check", SetPath()});
    qunsetenv("CREDENTIALS_DIRECTORY");
    QVERIFY2(check.nExit == 0 && !check.err.contains("error:"), check.err.constData());
    QVERIFY2(check.out.contains("key \"" + copy + '"'), check.out.constData());
}

QTEST_GUILESS_MAIN(TestSettingsCheck)
#include "tst_settingscheck.moc"
