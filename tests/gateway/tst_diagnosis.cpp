// Why a port or plug-in did not start: the explanations the gateway gives
// beside its fixed messages, each provoked by a real cause, and the setup
// string analysis that the settings check shares with them.

#include "files.h"
#include "pty.h"
#include "testhost.h"

#include "diagnosis.h"
#include "librarysearch.h"
#include "pluginfile.h"
#include "pluginpath.h"
#include "serial/serialdevice.h"
#include "settingscheck.h"
#include "socket/hostlookup.h"
#include "socket/portsocket.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 10000;

QString ErrnoText(int nErrno)
{
    return QString::fromLocal8Bit(std::strerror(nErrno));
}

// Counts the names handed to the lookup seam; every one fails to resolve.
std::atomic<int> g_nLookups = 0;
bool FailingLookup(const QByteArray& /*strName*/, SSocketAddress* /*pAddress*/)
{
    ++g_nLookups;
    return false;
}

// The gateway with a [Serial Ports] entry COM7 -> strPath, started with a
// serial Input and nothing else; the explanations it gave.
QStringList StartSerialInput(const QByteArray& strSetup, const QString& strPath, QStringList* pBoxes = nullptr)
{
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", strPath}});
    rig.Start(strSetup, "TCP:1,127.0.0.1");
    if (pBoxes)
        *pBoxes = rig.host.m_boxes;
    return rig.host.m_explanations;
}

} // namespace

class TestDiagnosis : public QObject
{
    Q_OBJECT
private slots:
    void setupStrings_data();
    void setupStrings();
    void missingDevice();
    void busyDevice();
    void notATerminal();
    void refusedModeAndSetup();
    void settingsTheDeviceRefuses();
    void connectionRefused();
    void unresolvedNameThroughSeam();
    void pluginNotFound();
    void pluginNotAPlugin();
    void checkProbesDeviceAndPlugin();
    void pluginFileKinds_data();
    void pluginFileKinds();
};

void TestDiagnosis::setupStrings_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<QString>("mapped"); // [Serial Ports] COM7=, empty for none
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("problem");

    auto row = [](const char* pszName, const QByteArray& setup, int nCode, const QString& strDescription,
                  const QString& strProblem, const QString& strMapped = {}) {
        QTest::newRow(pszName) << setup << strMapped << nCode << strDescription << strProblem;
    };
    row("tcp", "TCP:1025,127.0.0.1", 0, R"(TCP client, connects to port 1025 at "127.0.0.1")", {});
    row("udp broadcast", "UDP:5000,255.255.255.255", 0,
        R"(UDP endpoint, sends to port 5000 at "255.255.255.255" (broadcast))", {});
    row("port modulo 65536", "TCP:65537,127.0.0.1", 0, "port 1 at",
        "port 65537 is outside 1-65535; it is used as port 1");
    row("port not a number", "TCP:abc,127.0.0.1", 0, "port 0 at", R"(the port field "abc" is not a number)");
    row("port empty", "UDP:,127.0.0.1", 0, "port 0", R"(the port field "" is not a number)");
    row("address empty", "TCP:1025,", 0, "port 1025", "the address after the ',' is empty");
    row("lower case kind", "tcp:1025,127.0.0.1", 20, {}, "result code 20 (\"Invalid Setup String!\")");
    row("lower case hint", "udp:1,x", 20, {}, "(write UDP, not udp)");
    row("empty", "", 20, {}, "the setup string is empty");
    row("tcp without colon", "TCP1025", 10, {}, "there is no ':'; write TCP:<port>,<address>");
    row("udp without comma", "UDP:5000x", 13, {}, "there is no ',' after the ':'; write UDP:<port>,<address>");
    row("tcp without comma", "TCP:abc", 11, {}, "or TCP:<port>[@<local address>] to listen");
    row("listening tcp", "TCP:4001", 0, "TCP server, listens on port 4001 at every interface", {});
    row("fixed-port udp", "UDP:5000@127.0.0.1", 0, R"(UDP endpoint on local port 5000 at "127.0.0.1")", {});
    row("listen options", "TCP:4001@::1;clients=refuse;allow=10.0.0.0/8+fd00::/8", 0,
        R"(TCP server, listens on port 4001 at "::1"; a second client is refused while one is connected; takes )"
        "clients from 10.0.0.0/8, fd00::/8 only, refuses others", {});
    row("udp allow", "UDP:5000;allow=127.0.0.1", 0,
        "at every interface, answers whoever sent last; takes datagrams from 127.0.0.1 only, drops others", {});
    row("unknown option", "TCP:4001;clients=refuse;idle=5", 11, {},
        "the options after ';' are refused: unknown option 'idle=5'; known: clients=replace|refuse|<1-64>, "
        "allow=<addresses>");
    row("shared", "TCP:4001;clients=4;allow=127.0.0.1", 0,
        "listens on port 4001 at every interface; up to 4 clients share the port, each gets every block, more are "
        "refused; takes clients from 127.0.0.1 only, refuses others", {});
    row("one client shared", "TCP:4001;clients=1", 0, "; a second client is refused while one is connected", {});
    row("too many clients", "TCP:4001;clients=65", 11, {},
        "the options after ';' are refused: clients= takes replace, refuse or a number of clients from 1 to 64, "
        "not '65'");
    row("udp clients", "UDP:5000;clients=refuse", 13, {}, "clients= is an option of a listening TCP port only");
    row("ipv6 client", "TCP:1025,::1", 0, R"(TCP client, connects to port 1025 at "::1")", {});
    row("comma only before colon", "TCP,1:2", 11, {}, "there is no ',' after the ':'");
    row("port field too long", "TCP:12345678,x", 11, {}, "the port field has 8 characters, at most 7");
    row("address too long", "UDP:1," + QByteArray(32, 'a'), 13, {}, "the address has 32 characters, at most 31");
    row("control characters escaped", "TCP:1,a\r\nb", 0, R"(at "a\x0d\x0ab")", {});
    row("embedded NUL ends the string", QByteArray("TCP:1,a\0zz", 10), 0, R"(at "a")", {});
    row("serial", "COM2:9600,n,8,1", 0,
        "serial line, COM2 is /dev/ttyS1; 9600 baud, parity n, 8 data bits, 1 stop bit, no flow control", {});
    row("serial keyword form", "COM7: baud=19200 parity=e data=7 stop=2 xon=on dtr=off rts=on", 0,
        "[Serial Ports] maps COM7 to /dev/x; 19200 baud, parity e, 7 data bits, 2 stop bits, XON/XOFF, DTR off, "
        "RTS on", {}, QStringLiteral("/dev/x"));
    row("serial without colon", "COM2", 1, {}, "(\"Invalid Setup String!\"): a serial setup string needs a ':'");
    row("COM0", "COM0:9600", 1, {}, "(\"OpenComm Error!\"): COM0 names no device");
    row("COMX", "COMX:9600", 1, {}, "serial-ports set COMX /dev/ttyUSB0");
    row("relative map entry", "COM7:9600", 1, {}, "maps COM7 to dev/x, which is not an absolute path", "dev/x");
    row("parity", "COM2:9600,q,8,1", 1, {},
        "(\"BuildCommDCB Error!\"): the line settings of \"COM2:9600,q,8,1\" are refused: the parity must be one "
        "of n, e, o, m, s, got 'q'");
    row("baud", "COM2:fast", 1, {}, "the baud rate must be a positive whole number, got 'fast'");
    row("data bits", "COM2:9600,n,9", 1, {}, "the data bits must be 5, 6, 7 or 8, got '9'");
    row("stop bits", "COM2:9600,n,8,3", 1, {}, "the stop bits must be 1, 1.5 or 2, got '3'");
    row("1.5 stop bits", "COM2:9600,n,8,1.5", 1, {}, "1.5 stop bits go only with 5 data bits");
    row("2 stop bits, 5 data", "COM2:9600,n,5,2", 1, {}, "2 stop bits cannot go with 5 data bits");
    row("flow", "COM2:9600,n,8,1,z", 1, {}, "flow control must be x (XON/XOFF) or p (RTS/CTS), got 'z'");
    row("six fields", "COM2:9600,n,8,1,x,1", 1, {}, "more than five fields");
    row("unknown key", "COM2: baud=9600 speed=1", 1, {}, "unknown key 'speed'");
    row("key twice", "COM2: baud=9600 baud=1200", 1, {}, "'baud' is given twice");
    row("no baud", "COM2: parity=n", 1, {}, "baud= is missing");
    row("dtr handshake", "COM2: baud=9600 dtr=hs", 1, {}, "dtr=hs: Linux has no DTR handshake");
    row("octs against rts", "COM2: baud=9600 octs=on rts=off", 1, {}, "octs= and rts= contradict each other");
}

void TestDiagnosis::setupStrings()
{
    QFETCH(QByteArray, setup);
    QFETCH(QString, mapped);
    QFETCH(int, code);
    QFETCH(QString, description);
    QFETCH(QString, problem);
    SerialPathMap portMap;
    if (!mapped.isEmpty())
        portMap.insert("COM7", mapped);
    const SSetupReport report = DescribeSetup(setup, portMap, SProbe());
    QCOMPARE(report.m_nCode, code);
    QVERIFY2(report.m_strDescription.contains(description), qPrintable(report.m_strDescription));
    // A port the gateway uses as another number only warns.
    const QString strProblem = report.m_strProblem + report.m_strWarning;
    if (problem.isEmpty())
        QCOMPARE(strProblem, QString());
    else
        QVERIFY2(strProblem.contains(problem), qPrintable(strProblem));
}

void TestDiagnosis::missingDevice()
{
    QStringList boxes;
    const QStringList why = StartSerialInput("COM7:9600,n,8,1", kMissingDevice, &boxes);
    QCOMPARE(boxes, QStringList{"OpenComm Error!"});
    QCOMPARE(why.size(), 1);
    QVERIFY2(why[0].startsWith(QStringLiteral("Input: [Serial Ports] maps COM7 to %1, which does not exist (%2)")
                                   .arg(kMissingDevice, ErrnoText(ENOENT))),
             qPrintable(why[0]));
}

void TestDiagnosis::busyDevice()
{
    if (::geteuid() == 0)
        QSKIP("root opens a line held with TIOCEXCL all the same; tst_settingscheck runs this case as nobody");
    CPty pty;
    QVERIFY(pty.IsValid());
    const int hHolder = ::open(QFile::encodeName(pty.Slave()).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(hHolder >= 0);
    QCOMPARE(::ioctl(hHolder, TIOCEXCL), 0);
    const QStringList why = StartSerialInput("COM7:9600,n,8,1", pty.Slave());
    ::close(hHolder);
    QCOMPARE(why.size(), 1);
    QVERIFY2(why[0].contains(QStringLiteral("which is busy (%1)").arg(ErrnoText(EBUSY))), qPrintable(why[0]));
}

void TestDiagnosis::notATerminal()
{
    QTemporaryDir dir;
    const QString strFile = dir.filePath(QStringLiteral("plain-file"));
    QVERIFY(WriteAll(strFile, "x"));
    const QStringList why = StartSerialInput("COM7:9600,n,8,1", strFile);
    QCOMPARE(why.size(), 1);
    QVERIFY2(why[0].endsWith(QStringLiteral("which is not a serial line or terminal")),
             qPrintable(why[0]));
}

void TestDiagnosis::refusedModeAndSetup()
{
    CPty pty;
    QVERIFY(pty.IsValid());
    QStringList boxes;
    QStringList why = StartSerialInput("COM7:9600,q,8,1", pty.Slave(), &boxes);
    QCOMPARE(boxes, QStringList({"BuildCommDCB Error!", "SetCommState Error!"}));
    QCOMPARE(why.size(), 1);
    QVERIFY2(why[0].endsWith(u"the parity must be one of n, e, o, m, s, got 'q'"), qPrintable(why[0]));

    // The Output too, after its own message; it names its side.
    SGatewayRig rig;
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    rig.Start("TCP:" + QByteArray::number(server.serverPort()) + ",127.0.0.1", "Tcp:1,127.0.0.1");
    QCOMPARE(rig.host.m_boxes, QStringList{"Output Port Connect Error!"});
    QCOMPARE(rig.host.m_explanations.size(), 1);
    QVERIFY2(rig.host.m_explanations[0].startsWith(u"Output: result code 20") &&
                 rig.host.m_explanations[0].endsWith(u"(write TCP, not Tcp)"),
             qPrintable(rig.host.m_explanations[0]));
}

void TestDiagnosis::settingsTheDeviceRefuses()
{
    CPty pty;
    QVERIFY(pty.IsValid());
    // A pseudo-terminal takes every setting; the device's answer is scripted.
    for (const int nErrno : {EINVAL, 0}) {
        SetSerialApplyOverride([nErrno](int, const SSerialMode&) {
            errno = nErrno;
            return false;
        });
        QStringList boxes;
        const QStringList why = StartSerialInput("COM7:123456", pty.Slave(), &boxes);
        SetSerialApplyOverride({});
        QCOMPARE(boxes, QStringList{"SetCommState Error!"});
        QCOMPARE(why.size(), 1);
        const QString strExpected = nErrno
            ? QStringLiteral("Input: %1 refused the line settings of \"COM7:123456\" (%2)").arg(pty.Slave(),
                                                                                             ErrnoText(nErrno))
            : QStringLiteral("Input: %1 did not take every line setting of \"COM7:123456\"").arg(pty.Slave());
        QVERIFY2(why[0].startsWith(strExpected), qPrintable(why[0]));
    }
}

void TestDiagnosis::connectionRefused()
{
    quint16 nPort = 0;
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        nPort = server.serverPort();
    }
    SGatewayRig rig;
    rig.Start("TCP:" + QByteArray::number(nPort) + ",127.0.0.1", "TCP:1,127.0.0.1");
    QVERIFY(rig.Texts().contains(QStringLiteral("TCP Connect Error:10061,port:%1,addr:127.0.0.1").arg(nPort)));
    QCOMPARE(rig.host.m_explanations,
             QStringList{QStringLiteral("Input: connecting to \"127.0.0.1\" port %1 failed (%2): nothing listens there")
                             .arg(nPort)
                             .arg(ErrnoText(ECONNREFUSED))});
}

void TestDiagnosis::unresolvedNameThroughSeam()
{
    g_nLookups = 0;
    CHostLookup::s_pfnResolve = FailingLookup;
    SGatewayRig rig;
    rig.Start("TCP:1025,plant-gateway.example", "TCP:1,127.0.0.1");
    CHostLookup::s_pfnResolve = CHostLookup::SystemResolve;
    QVERIFY(g_nLookups > 0);
    QVERIFY(rig.Texts().contains(QStringLiteral("TCP Connect Error:10022,port:1025,addr:plant-gateway.example")));
    QCOMPARE(rig.host.m_explanations.size(), 1);
    QVERIFY2(rig.host.m_explanations[0].startsWith(
                 u"Input: the host name \"plant-gateway.example\" did not resolve"),
             qPrintable(rig.host.m_explanations[0]));

    // The check looks the name up the same way.
    g_nLookups = 0;
    CHostLookup::s_pfnResolve = FailingLookup;
    SProbe probe;
    probe.m_bSystem = true;
    const SSetupReport report = DescribeSetup("UDP:5000,plant-gateway.example", {}, probe);
    CHostLookup::s_pfnResolve = CHostLookup::SystemResolve;
    QCOMPARE(g_nLookups, 1);
    QVERIFY(report.m_strProblem.startsWith(u"the host name \"plant-gateway.example\" did not resolve"));
}

void TestDiagnosis::pluginNotFound()
{
    QTemporaryDir dir;
    CPluginPath::SetPluginDirs({dir.path()});
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_strInDll = "lf2crfl.so"; // misspelt
    rig.Start("TCP:" + QByteArray::number(server.serverPort()) + ",127.0.0.1", "TCP:1,127.0.0.1", 1008);
    CPluginPath::SetPluginDirs({});
    QTRY_VERIFY_WITH_TIMEOUT(rig.Texts().contains(u"Done!"), kWaitMs);
    QVERIFY(rig.gateway.IsInputStarted());
    QCOMPARE(rig.host.m_explanations.size(), 1);
    const QString& strWhy = rig.host.m_explanations[0];
    QVERIFY2(strWhy.startsWith(QStringLiteral("IN-->OUT plug-in not loaded, its blocks pass unchanged: plug-in "
                                              "\"lf2crfl.so\" not found; searched: %1, ").arg(dir.path())),
             qPrintable(strWhy));
    // Every folder of the loader's own search, in its order, then its cache.
    QStringList listFolders = CPluginPath::PluginDirs() + CLibrarySearch::Folders();
    listFolders.prepend(dir.path());
    listFolders.removeDuplicates();
    QVERIFY2(strWhy.endsWith(QStringLiteral("searched: ") + listFolders.join(QStringLiteral(", ")) + QStringLiteral(", the loader cache ")
                             + CLibrarySearch::CacheFile()),
             qPrintable(strWhy));
}

void TestDiagnosis::pluginNotAPlugin()
{
    QTemporaryDir dir;
    QVERIFY(WriteAll(dir.filePath(QStringLiteral("notes.so")), "not a shared object\n"));
    CPluginPath::SetPluginDirs({dir.path()});
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_strInDll = "notes.dll";
    rig.Start("TCP:" + QByteArray::number(server.serverPort()) + ",127.0.0.1", "TCP:1,127.0.0.1", 1008);
    CPluginPath::SetPluginDirs({});
    QVERIFY(rig.gateway.IsInputStarted());
    QCOMPARE(rig.host.m_explanations.size(), 1);
    QVERIFY2(rig.host.m_explanations[0].contains(QStringLiteral("%1 is not a plug-in the system can load: ")
                                                     .arg(dir.filePath(QStringLiteral("notes.so")))),
             qPrintable(rig.host.m_explanations[0]));
}

void TestDiagnosis::checkProbesDeviceAndPlugin()
{
    CPty pty;
    QVERIFY(pty.IsValid());
    CPluginPath::SetPluginDirs({QStringLiteral(TRELVANE_PLUGIN_BUILD_DIR)});
    SSetFields fields;
    fields.m_strInSetup = "COM7:19200,e,7,1";
    fields.m_strInDll = "lf2crlf.dll";
    fields.m_strOutSetup = "COM8:9600";
    fields.m_nOutStartup = 1007;
    SCheckOptions options;
    options.m_bOpenDevices = true;
    options.m_bLoadPlugins = true;
    const SCheckReport report =
        CheckSettings(fields, {{"COM7", pty.Slave()}, {"COM8", kMissingDevice}}, true, options);
    CPluginPath::SetPluginDirs({});
    QCOMPARE(report.m_listLines.size(), 5);
    QVERIFY2(report.m_listLines[0].endsWith(u"19200 baud, parity e, 7 data bits, 1 stop bit, no flow control; "
                                            u"the device opens"),
             qPrintable(report.m_listLines[0]));
    QCOMPARE(report.m_listLines[1], QStringLiteral("in-dll: \"lf2crlf.dll\": found %1/lf2crlf.so, exports DllInit, "
                                                   "DllTransfer, DllQuit; loads").arg(TRELVANE_PLUGIN_BUILD_DIR));
    QCOMPARE(report.m_listLines[4], QStringLiteral("out-startup: 1007, the Output starts with the Input"));
    // The Output that cannot start only warns: the gateway runs the Input.
    QCOMPARE(report.ProblemLines().size(), 1);
    QVERIFY2(report.ProblemLines()[0].startsWith(u"warning: out-setup: result code 1 (\"OpenComm Error!\"): "
                                                 u"[Serial Ports] maps COM8 to /dev/trelvane-no-such-tty, which does "
                                                 u"not exist"),
             qPrintable(report.ProblemLines()[0]));
    QCOMPARE(report.ExitStatus(), 0);
}

void TestDiagnosis::pluginFileKinds_data()
{
    // This program's own header, changed at one offset: what a library of
    // another kind looks like to the loader.
    QTest::addColumn<QByteArray>("content"); // "" for the plug-in lf2crlf.so
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QStringList>("exports");
    const QByteArray self = ReadAll(QStringLiteral("/proc/self/exe")).left(64);
    auto changed = [&](int nAt, QByteArray bytes) {
        QByteArray header = self;
        return header.replace(nAt, bytes.size(), bytes);
    };
    const bool b64 = self[EI_CLASS] == ELFCLASS64;
    const quint16 nOther = self[EI_NIDENT + 2] == char(EM_AARCH64) ? EM_X86_64 : EM_AARCH64;
    QTest::newRow("plug-in") << QByteArray() << QString() << QStringList{"DllInit", "DllTransfer", "DllQuit"};
    QTest::newRow("text") << QByteArray("#!/bin/sh\n") << "it is not a shared library (no ELF header)" << QStringList();
    QTest::newRow("other class") << changed(EI_CLASS, QByteArray(1, b64 ? ELFCLASS32 : ELFCLASS64))
                                 << QStringLiteral("it is a %1-bit library").arg(b64 ? 32 : 64) << QStringList();
    QTest::newRow("other machine") << changed(EI_NIDENT + 2, QByteArray(reinterpret_cast<const char*>(&nOther), 2))
                                   << "it is built for " << QStringList();
    const quint16 nExec = ET_EXEC;
    QTest::newRow("program") << changed(EI_NIDENT, QByteArray(reinterpret_cast<const char*>(&nExec), 2))
                             << "it is a program, not a shared library" << QStringList();
    QTest::newRow("header only") << self << QString() << QStringList();
}

void TestDiagnosis::pluginFileKinds()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, problem);
    QFETCH(QStringList, exports);
    QTemporaryDir dir;
    QString strFile = QStringLiteral(TRELVANE_PLUGIN_BUILD_DIR "/lf2crlf.so");
    if (!content.isEmpty()) {
        strFile = dir.filePath(QStringLiteral("x.so"));
        QVERIFY(WriteAll(strFile, content));
    }
    const SPluginFile file = InspectPluginFile(strFile);
    QVERIFY2(problem.isEmpty() ? file.m_strProblem.isEmpty() : file.m_strProblem.startsWith(problem),
             qPrintable(file.m_strProblem));
    QCOMPARE(file.m_listExports, exports);
    QCOMPARE(file.m_bSymbolsRead, !exports.isEmpty());
}

QTEST_GUILESS_MAIN(TestDiagnosis)
#include "tst_diagnosis.moc"
