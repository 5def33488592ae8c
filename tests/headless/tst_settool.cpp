// trelvane-set: what it shows and writes, checked against the settings
// document that the desktop program and trelvaned use.

#include "files.h"
#include "toolrun.h"

#include "profile.h"
#include "setcodec.h"
#include "setshow.h"
#include "settext.h"
#include "trelvanedoc.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(SSetFields)

namespace {

using ByteList = QList<QByteArray>;

SToolRun Tool(const ByteList& args)
{
    return RunTool(QByteArray(TRELVANE_SET_PATH), args);
}

SSetFields AllSet()
{
    SSetFields f;
    f.m_strInSetup = "TCP:1025,127.0.0.1";
    f.m_strInDll = "lf2crlf.so";
    f.m_strInInitial = "ATZ\\r";
    f.m_strOutSetup = "COM2:9600,n,8,1";
    f.m_strOutDll = "C:\\gw\\x.dll";
    f.m_strOutInitial = QByteArray("\x01\xff\0z", 4);
    f.m_bNoInInitResponse = 1;
    f.m_bNoOutInitResponse = 1;
    f.m_bDetectCarrier = 1;
    f.m_nOutStartup = 1007;
    return f;
}

} // namespace

class TestSetTool : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void showPastesIntoText_data();
    void showPastesIntoText();
    void showPrintsDocumentFile();
    void showNamesStartModes_data();
    void showNamesStartModes();
    void writeReadsBackInDocument_data();
    void writeReadsBackInDocument();
    void updateChangesOnlyGivenFields();
    void convertsBothWays();
    void refusals_data();
    void refusals();
    void serialPortsEditKeepsRest();
    void serialPortsDefaultProfile();
    void serialPortsRefusesProfileThatIsNoFile();
    void savesReplaceALinkNeverWriteThrough();

private:
    QByteArray SetPath() const { return QFile::encodeName(m_pDir->filePath(QStringLiteral("gw.set"))); }
    QString IniPath() const { return m_pDir->filePath(QStringLiteral("conf/trelvane.ini")); }

    std::unique_ptr<QTemporaryDir> m_pDir;
};

void TestSetTool::init()
{
    m_pDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_pDir->isValid());
}

// A value that show prints means the same when pasted into the text form:
// each "name: value" line, written "name = value", reads back as the field.
void TestSetTool::showPastesIntoText_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<QByteArray>("initial");
    QTest::newRow("printable") << QByteArray("COM2:9600,n,8,1 ~") << QByteArray("AT");
    QTest::newRow("quote and backslash") << QByteArray("a\"b\\c") << QByteArray("a\"b");
    QTest::newRow("typed escape") << QByteArray("x") << QByteArray("ATZ\\r");
    QTest::newRow("lone backslash") << QByteArray("\\") << QByteArray("C:\\gw\\");
    QTest::newRow("cr lf tab bytes") << QByteArray("\r\n\t") << QByteArray("ATZ\r\n\t");
    QTest::newRow("nul and controls") << QByteArray("\0\x01\x1f\x7f", 4) << QByteArray("\0\x1b\x7f", 3);
    QTest::newRow("high bytes and UTF-8") << QByteArray("\x80\xc3\xa9\xff") << QByteArray("\xc3\xa9\xfe");
}

void TestSetTool::showPastesIntoText()
{
    QFETCH(QByteArray, setup);
    QFETCH(QByteArray, initial);
    SSetFields fields = AllSet();
    fields.m_strInSetup = fields.m_strOutDll = setup;
    fields.m_strInInitial = fields.m_strOutInitial = initial;
    QByteArray text;
    for (const QByteArray& line : FormatSetFields(fields).split('\n')) {
        const qsizetype nColon = line.indexOf(':');
        QByteArray value = line.mid(nColon + 1).trimmed();
        if (line.startsWith("out-startup:")) // the number before its name
            value = value.split(' ').front();
        if (nColon > 0)
            text += line.left(nColon) + " = " + value + '\n';
    }
    const SSetTextResult result = ReadSetText(text);
    QVERIFY2(result.m_bOk, qPrintable(result.m_strError + u'\n' + QString::fromLatin1(text)));
    QCOMPARE(result.m_fields.m_strInSetup, setup);
    QCOMPARE(result.m_fields.m_strOutDll, setup);
    QCOMPARE(result.m_fields.m_strInInitial, initial);
    QCOMPARE(result.m_fields.m_strOutInitial, initial);
    QVERIFY(result.m_fields == fields);
}

void TestSetTool::showPrintsDocumentFile()
{
    CTrelvaneDoc doc;
    doc.SetFields(AllSet());
    QString strError;
    QVERIFY(doc.OnSaveDocument(QFile::decodeName(SetPath()), &strError));

    const SToolRun run = Tool({"show", SetPath()});
    QCOMPARE(run.nExit, 0);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.out, QByteArray("in-setup:             \"TCP:1025,127.0.0.1\"\n"
                                 "in-dll:               \"lf2crlf.so\"\n"
                                 "in-initial:           \"ATZ\\r\"\n"
                                 "out-setup:            \"COM2:9600,n,8,1\"\n"
                                 "out-dll:              \"C:\\\\gw\\\\x.dll\"\n"
                                 "out-initial:          \"\\x01\\xFF\\x00z\"\n"
                                 "no-in-init-response:  1\n"
                                 "no-out-init-response: 1\n"
                                 "detect-carrier:       1\n"
                                 "out-startup:          1007 (Output Startup with Input)\n"));
}

void TestSetTool::showNamesStartModes_data()
{
    QTest::addColumn<int>("outStartup");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("1007") << 1007 << QByteArray("1007 (Output Startup with Input)");
    QTest::newRow("1008") << 1008 << QByteArray("1008 (Output Startup When First Receive Data from Input)");
    QTest::newRow("0") << 0 << QByteArray("0 (other value: Output Startup When First Receive Data from Input)");
    QTest::newRow("65535") << 65535 << QByteArray("65535 (other value: Output Startup When First Receive Data from Input)");
}

void TestSetTool::showNamesStartModes()
{
    QFETCH(int, outStartup);
    QFETCH(QByteArray, line);
    SSetFields fields;
    fields.m_nOutStartup = outStartup;
    QVERIFY(WriteAll(QFile::decodeName(SetPath()), *WriteSetFile(fields)));
    const SToolRun run = Tool({"show", SetPath()});
    QCOMPARE(run.nExit, 0);
    QVERIFY2(run.out.endsWith("out-startup:          " + line + '\n'), run.out.constData());
}

void TestSetTool::writeReadsBackInDocument_data()
{
    QTest::addColumn<ByteList>("options");
    QTest::addColumn<SSetFields>("expected");

    QTest::newRow("no options: initial settings") << ByteList() << SSetFields();

    ByteList all = {"--in-setup",  "TCP:1025,127.0.0.1", "--in-dll=lf2crlf.so", "--in-initial", "ATZ\\r",
                    "--out-setup", "COM2:9600,n,8,1",    "--out-dll",           "C:\\gw\\x.dll",
                    QByteArray("--out-initial=") + "\x01\xff" + "z",
                    "--no-in-init-response", "--no-out-init-response=1", "--detect-carrier", "--out-startup", "1007"};
    SSetFields expected = AllSet();
    expected.m_strOutInitial = "\x01\xffz";
    QTest::newRow("every option") << all << expected;

    SSetFields controls;
    controls.m_strInInitial = "\r\n\t \x7f\x80\xfe";
    controls.m_strOutSetup = "-looks-like-an-option";
    controls.m_strInSetup = "with=equals";
    QTest::newRow("bytes kept as given")
        << ByteList({"--in-initial", "\r\n\t \x7f\x80\xfe", "--out-setup", "-looks-like-an-option",
                     "--in-setup=with=equals"})
        << controls;

    SSetFields emptyAndLong;
    emptyAndLong.m_strInDll = QByteArray(300, 'd');
    emptyAndLong.m_strOutDll = QByteArray();
    QTest::newRow("empty and long")
        << ByteList({"--in-dll", QByteArray(300, 'd'), "--out-dll="}) << emptyAndLong;

    SSetFields network;
    network.m_strInSetup = "TCP:4001@::1";
    network.m_strOutSetup = "UDP:5000,fe80::1%eth0";
    QTest::newRow("listening and IPv6 forms")
        << ByteList({"--in-setup", "TCP:4001@::1", "--out-setup=UDP:5000,fe80::1%eth0"}) << network;

    SSetFields flagsOff;
    flagsOff.m_nOutStartup = 1008;
    QTest::newRow("flags off, first-data")
        << ByteList({"--no-in-init-response=0", "--detect-carrier=0", "--out-startup=first-data"}) << flagsOff;

    for (const auto& [pszMode, nMode] : {std::pair{"0", 0}, {"65535", 65535}, {"with-input", 1007}}) {
        SSetFields f;
        f.m_nOutStartup = nMode;
        QTest::addRow("start mode %s", pszMode) << ByteList({"--out-startup", pszMode}) << f;
    }
}

void TestSetTool::writeReadsBackInDocument()
{
    QFETCH(ByteList, options);
    QFETCH(SSetFields, expected);
    const SToolRun run = Tool(ByteList({"write", SetPath()}) + options);
    // Values the gateway refuses are written all the same, with a warning.
    for (const QByteArray& line : run.err.split('\n'))
        QVERIFY2(line.isEmpty() || line.startsWith("trelvane-set: warning: "), run.err.constData());
    QCOMPARE(run.nExit, 0);

    CTrelvaneDoc doc;
    doc.m_nOutStartup = 4242; // the file must set every field
    QString strError;
    QVERIFY2(doc.OnOpenDocument(QFile::decodeName(SetPath()), &strError), qPrintable(strError));
    QCOMPARE(doc.GetFields(), expected);
    // Byte for byte what the document itself would save.
    QCOMPARE(ReadAll(QFile::decodeName(SetPath())), *WriteSetFile(expected));
}

void TestSetTool::updateChangesOnlyGivenFields()
{
    CTrelvaneDoc doc;
    doc.SetFields(AllSet());
    QString strError;
    const QString strPath = QFile::decodeName(SetPath());
    QVERIFY(doc.OnSaveDocument(strPath, &strError));

    SToolRun run = Tool({"write", "--update", SetPath(), "--in-dll", "other.so", "--detect-carrier=0"});
    QCOMPARE(run.nExit, 0);
    SSetFields expected = AllSet();
    expected.m_strInDll = "other.so";
    expected.m_bDetectCarrier = 0;
    CTrelvaneDoc reread;
    QVERIFY(reread.OnOpenDocument(strPath, &strError));
    QCOMPARE(reread.GetFields(), expected);

    // Nothing given: the file is rewritten unchanged.
    const QByteArray before = ReadAll(strPath);
    run = Tool({"write", SetPath(), "--update"});
    QCOMPARE(run.nExit, 0);
    QCOMPARE(ReadAll(strPath), before);

    // --force replaces the file with the initial settings plus the options.
    run = Tool({"write", SetPath(), "--force", "--in-setup", "UDP:9,127.0.0.1"});
    QCOMPARE(run.nExit, 0);
    SSetFields fresh;
    fresh.m_strInSetup = "UDP:9,127.0.0.1";
    QVERIFY(reread.OnOpenDocument(strPath, &strError));
    QCOMPARE(reread.GetFields(), fresh);
}

void TestSetTool::convertsBothWays()
{
    CTrelvaneDoc doc;
    doc.SetFields(AllSet());
    QString strError;
    QVERIFY(doc.OnSaveDocument(QFile::decodeName(SetPath()), &strError));
    const QByteArray text = "# Trelvane gateway settings; see trelvane.set(5)\n"
                            "in-setup = \"TCP:1025,127.0.0.1\"\n"
                            "in-dll = \"lf2crlf.so\"\n"
                            "in-initial = \"ATZ\\r\"\n"
                            "out-setup = \"COM2:9600,n,8,1\"\n"
                            "out-dll = \"C:\\\\gw\\\\x.dll\"\n"
                            "out-initial = \"\\x01\\xFF\\x00z\"\n"
                            "no-in-init-response = 1\n"
                            "no-out-init-response = 1\n"
                            "detect-carrier = 1\n"
                            "out-startup = with-input\n";
    SToolRun run = Tool({"text", SetPath()});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.out, text);

    const QByteArray conf = QFile::encodeName(m_pDir->filePath(QStringLiteral("gw.conf")));
    const QByteArray back = QFile::encodeName(m_pDir->filePath(QStringLiteral("back.set")));
    QCOMPARE(Tool({"text", SetPath(), conf}).nExit, 0);
    QCOMPARE(ReadAll(QFile::decodeName(conf)), text);
    QCOMPARE(Tool({"binary", conf, back}).nExit, 0);
    QCOMPARE(ReadAll(QFile::decodeName(back)), ReadAll(QFile::decodeName(SetPath())));
    QVERIFY(WriteAll(QFile::decodeName(conf), "in-setup = \"TCP:4001\" # changed\n"));
    QCOMPARE(Tool({"binary", "--force", conf, back}).nExit, 0);
    SSetFields changed;
    changed.m_strInSetup = "TCP:4001";
    QCOMPARE(ReadAll(QFile::decodeName(back)), *WriteSetFile(changed));
    // "-" is standard output for either form, never a file of that name.
    const QString strCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_pDir->path()));
    run = Tool({"binary", conf, "-"});
    QVERIFY(QDir::setCurrent(strCurrent));
    QCOMPARE(run.nExit, 0);
    QCOMPARE(run.out, *WriteSetFile(changed));
    QVERIFY(!QFile::exists(m_pDir->filePath(QStringLiteral("-"))));

    // show and check read the text form too.
    run = Tool({"show", conf});
    QCOMPARE(run.nExit, 0);
    QVERIFY(run.out.startsWith("in-setup:             \"TCP:4001\"\n"));
    run = Tool({"check", conf});
    QVERIFY2(run.out.startsWith("in-setup: \"TCP:4001\": TCP server"), run.out.constData());
}

// Every refusal: one line naming the tool and the reason, nothing on
// standard output, and neither the settings file nor the profile changed.
void TestSetTool::refusals_data()
{
    QTest::addColumn<QByteArray>("content"); // of the settings file; null: no file
    QTest::addColumn<ByteList>("args");      // "@" is the settings file, "%" the profile
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    const QByteArray all = *WriteSetFile(AllSet());
    const QByteArray none;
    QTest::newRow("show missing") << none << ByteList({"show", "@"}) << 1 << QByteArray("Cannot find this file.");
    QTest::newRow("show 13 bytes") << QByteArray(13, '\0') << ByteList({"show", "@"}) << 1
                                   << QByteArray("Unexpected file format.");
    QTest::newRow("show empty") << QByteArray("") << ByteList({"show", "@"}) << 1
                                << QByteArray("Unexpected file format.");
    QTest::newRow("show two files") << all << ByteList({"show", "@", "other.set"}) << 2
                                    << QByteArray("show needs one settings file");
    QTest::newRow("show option") << all << ByteList({"show", "@", "--raw"}) << 2
                                 << QByteArray("unknown option '--raw'");

    const auto write = [&](const char* pszTag, const ByteList& args, int nExit, const char* pszMessage) {
        QTest::newRow(pszTag) << all << ByteList({"write", "@"}) + args << nExit << QByteArray(pszMessage);
    };
    write("exists", {"--in-dll", "x"}, 1, "exists; use --update");
    write("flag value", {"--update", "--detect-carrier=2"}, 2, "--detect-carrier takes 0 or 1");
    write("flag separate value", {"--update", "--detect-carrier", "0"}, 2, "write needs one settings file");
    write("start mode text", {"--update", "--out-startup", "soon"}, 2, "--out-startup takes");
    write("start mode too big", {"--update", "--out-startup=65536"}, 2, "--out-startup takes");
    write("start mode sign", {"--update", "--out-startup=-1"}, 2, "--out-startup takes");
    write("twice", {"--update", "--in-dll", "a", "--in-dll=b"}, 2, "--in-dll given twice");
    write("no value", {"--update", "--in-setup"}, 2, "--in-setup needs a value");
    write("unknown", {"--update", "--in-setpu=x"}, 2, "unknown option '--in-setpu'");
    write("short option", {"-u"}, 2, "unknown option '-u'");
    write("update force", {"--update", "--force"}, 2, "exclude each other");
    write("update value", {"--update=1"}, 2, "takes no value");
    write("two files", {"@"}, 2, "write needs one settings file");
    QTest::newRow("update missing") << none << ByteList({"write", "@", "--update"}) << 1
                                    << QByteArray("Cannot find this file.");
    QTest::newRow("write no file") << all << ByteList({"write", "--in-dll", "x"}) << 2
                                   << QByteArray("write needs one settings file");
    const QByteArray text = "in-setup = \"TCP:4001\"\n";
    QTest::newRow("update text file") << text << ByteList({"write", "@", "--update", "--in-dll=x"}) << 1
                                      << QByteArray("is in the text form");
    QTest::newRow("text no file") << all << ByteList({"text"}) << 2 << QByteArray("text needs a settings file");
    QTest::newRow("binary one file") << text << ByteList({"binary", "@"}) << 2
                                     << QByteArray("binary needs a settings file and an output file");
    QTest::newRow("binary over a file") << text << ByteList({"binary", "@", "@"}) << 1
                                        << QByteArray("exists; use --force");
    QTest::newRow("text of bad text") << QByteArray("in-setp = \"x\"\n") << ByteList({"text", "@"}) << 1
                                      << QByteArray("gw.set, line 1: unknown setting 'in-setp'");

    const auto ports = [&](const char* pszTag, const ByteList& args, int nExit, const char* pszMessage) {
        QTest::newRow(pszTag) << all << ByteList({"--profile", "%", "serial-ports"}) + args << nExit
                              << QByteArray(pszMessage);
    };
    ports("relative path", {"set", "COM7", "dev/ttyS0"}, 2, "must be absolute");
    ports("path with blank", {"set", "COM7", "/dev/ttyS0 "}, 2, "blanks");
    ports("URL without port", {"set", "COM7", "rfc2217://device01"}, 2, "not a device server's URL: the URL needs a port");
    ports("URL of another kind", {"set", "COM7", "socket://device01:4001"}, 2, "not a device server's URL");
    ports("path with newline", {"set", "COM7", "/dev/a\nCOM1=/x"}, 2, "line breaks");
    ports("name with colon", {"set", "COM7:", "/dev/ttyS0"}, 2, "not a port name");
    ports("name with equals", {"set", "A=B", "/dev/ttyS0"}, 2, "not a port name");
    ports("name comment", {"set", ";COM1", "/dev/ttyS0"}, 2, "not a port name");
    ports("name section", {"remove", "[X]"}, 2, "not a port name");
    ports("name without COM", {"set", "GPS", "/dev/ttyUSB1"}, 2,
          "'GPS' can never be used: a serial setup string begins with COM (COMGPS:9600,n,8,1)");
    ports("name in lower case", {"set", "com7", "/dev/ttyUSB1"}, 2, "begins with COM");
    ports("remove missing", {"remove", "COM8"}, 1, "no entry COM8");
    ports("unknown action", {"add", "COM8", "/dev/x"}, 2, "unknown action 'add'");
    ports("no action", {}, 2, "needs list, set or remove");
    ports("set one arg", {"set", "COM8"}, 2, "needs NAME PATH");
    ports("list arg", {"list", "x"}, 2, "takes no arguments");
}

void TestSetTool::refusals()
{
    QFETCH(QByteArray, content);
    QFETCH(ByteList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    const QString strPath = QFile::decodeName(SetPath());
    if (!content.isNull())
        QVERIFY(WriteAll(strPath, content));
    const QByteArray profile = "[Serial Ports]\nCOM2=/dev/ttyUSB0\n";
    QVERIFY(QDir().mkpath(QFileInfo(IniPath()).absolutePath()));
    QVERIFY(WriteAll(IniPath(), profile));
    for (QByteArray& arg : args) {
        if (arg == "@")
            arg = SetPath();
        else if (arg == "%")
            arg = QFile::encodeName(IniPath());
    }
    const SToolRun run = Tool(args);
    QCOMPARE(run.nExit, exitCode);
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(run.err.startsWith("trelvane-set: ") && run.err.count('\n') == 1, run.err.constData());
    QVERIFY2(run.err.contains(message), run.err.constData());
    QCOMPARE(QFile::exists(strPath), !content.isNull());
    if (!content.isNull())
        QCOMPARE(ReadAll(strPath), content);
    QCOMPARE(ReadAll(IniPath()), profile);
}

void TestSetTool::serialPortsEditKeepsRest()
{
    const QByteArray original = "; gateway box\r\n"
                                "[Recent File List]\r\n"
                                "File1=/srv/a.set\r\n"
                                "\r\n"
                                "[Serial Ports]\r\n"
                                "COM2 = /dev/ttyUSB0\r\n"
                                "# the GPS\r\n"
                                "GPS=/dev/serial/by-id/gps\r\n"
                                "\r\n"
                                "[Other]\r\n"
                                "key=value\r\n";
    QVERIFY(QDir().mkpath(QFileInfo(IniPath()).absolutePath()));
    QVERIFY(WriteAll(IniPath(), original));
    const QByteArray profileArg = "--profile=" + QFile::encodeName(IniPath());

    SToolRun run = Tool({profileArg, "serial-ports", "list"});
    QCOMPARE(run.nExit, 0);
    QCOMPARE(run.out, QByteArray("COM2=/dev/ttyUSB0\nGPS=/dev/serial/by-id/gps\n"));

    run = Tool({profileArg, "serial-ports", "set", "COM7", "rfc2217://[::1]:4001"});
    QCOMPARE(run.nExit, 0);
    run = Tool({"serial-ports", "set", "COM2", "/dev/ttyACM0", "--profile", QFile::encodeName(IniPath())});
    QCOMPARE(run.nExit, 0);
    run = Tool({profileArg, "serial-ports", "remove", "GPS"});
    QCOMPARE(run.nExit, 0);
    QCOMPARE(ReadAll(IniPath()), QByteArray("; gateway box\r\n"
                                            "[Recent File List]\r\n"
                                            "File1=/srv/a.set\r\n"
                                            "\r\n"
                                            "[Serial Ports]\r\n"
                                            "COM2=/dev/ttyACM0\r\n"
                                            "# the GPS\r\n"
                                            "COM7=rfc2217://[::1]:4001\r\n"
                                            "\r\n"
                                            "[Other]\r\n"
                                            "key=value\r\n"));
    run = Tool({profileArg, "serial-ports", "list"});
    QCOMPARE(run.out, QByteArray("COM2=/dev/ttyACM0\nCOM7=rfc2217://[::1]:4001\n"));
}

void TestSetTool::serialPortsDefaultProfile()
{
    // Without --profile the tool edits $XDG_CONFIG_HOME/trelvane/trelvane.ini,
    // the profile that trelvaned and the desktop program read.
    const QString strPath = CProfile::DefaultPath();
    QFile::remove(strPath);
    SToolRun run = Tool({"serial-ports", "set", "COM9", "/dev/ttyUSB3"});
    QCOMPARE(run.nExit, 0);
    CProfile profile;
    QVERIFY(profile.Load());
    QCOMPARE(profile.GetString(QStringLiteral("Serial Ports"), QStringLiteral("COM9")), QStringLiteral("/dev/ttyUSB3"));
    run = Tool({"serial-ports", "remove", "COM9"});
    QCOMPARE(run.nExit, 0);
    QVERIFY(profile.Load());
    QVERIFY(profile.Keys(QStringLiteral("Serial Ports")).isEmpty());
    QFile::remove(strPath);
}

// A profile that is a pipe or a device is refused without being read (the
// read would wait for ever, or fill the memory), as is one over 1 MiB; an
// edit leaves it as it was.
void TestSetTool::serialPortsRefusesProfileThatIsNoFile()
{
    const QString strFifo = m_pDir->filePath(QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(strFifo).constData(), 0600), 0);
    const QString strBig = m_pDir->filePath(QStringLiteral("big.ini"));
    const QByteArray big = "[Serial Ports]\nCOM2=/dev/ttyUSB0\n" + QByteArray(1024 * 1024, ';');
    QVERIFY(WriteAll(strBig, big));
    const QList<std::pair<QString, QByteArray>> cases = {
        {QStringLiteral("/dev/zero"), "not a regular file"},
        {strFifo, "not a regular file"},
        {strBig, "larger than 1 MiB"},
    };
    for (const auto& [strProfile, reason] : cases) {
        for (const ByteList& args : {ByteList{"list"}, ByteList{"set", "COM7", "/dev/ttyS6"}}) {
            const SToolRun run = Tool(ByteList{"--profile", QFile::encodeName(strProfile), "serial-ports"} + args);
            QCOMPARE(run.nExit, 1);
            QCOMPARE(run.out, QByteArray());
            QCOMPARE(run.err, "trelvane-set: cannot read " + QFile::encodeName(strProfile) + ": " + reason + '\n');
        }
    }
    QCOMPARE(ReadAll(strBig), big);
    QVERIFY(QFileInfo(strFifo).isFile() == false && QFileInfo::exists(strFifo));
}

// A link planted in a shared folder (sticky, world-writable, as /tmp) at the
// path of a save: both writers replace the link itself, and the file it
// points to keeps its bytes and its mode.
void TestSetTool::savesReplaceALinkNeverWriteThrough()
{
    const QString strShared = m_pDir->filePath(QStringLiteral("shared"));
    QVERIFY(QDir().mkdir(strShared));
    QCOMPARE(::chmod(QFile::encodeName(strShared).constData(), 01777), 0);
    const QString strVictim = m_pDir->filePath(QStringLiteral("victim"));
    QVERIFY(WriteAll(strVictim, "root's own file\n"));
    QCOMPARE(::chmod(QFile::encodeName(strVictim).constData(), 0600), 0);
    const QByteArray plant = QFile::encodeName(strShared + QStringLiteral("/plant.set"));
    const QByteArray ini = QFile::encodeName(strShared + QStringLiteral("/trelvane.ini"));
    for (const QByteArray& link : {plant, ini}) {
        QVERIFY(QFile::link(strVictim, QFile::decodeName(link)));
        // Owned by another user where the test may say so.
        if (::geteuid() == 0)
            QCOMPARE(::lchown(link.constData(), 65534, 65534), 0);
    }

    SToolRun run = Tool({"write", plant, "--force", "--in-setup", "TCP:1025,127.0.0.1"});
    QCOMPARE(run.nExit, 0);
    run = Tool({"--profile", ini, "serial-ports", "set", "COM1", "/dev/ttyS4"});
    QCOMPARE(run.nExit, 0);

    QCOMPARE(ReadAll(strVictim), QByteArray("root's own file\n"));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(strVictim).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));
    QVERIFY(!QFileInfo(QFile::decodeName(plant)).isSymLink() && !QFileInfo(QFile::decodeName(ini)).isSymLink());
    SSetFields fields;
    fields.m_strInSetup = "TCP:1025,127.0.0.1";
    QCOMPARE(ReadAll(QFile::decodeName(plant)), *WriteSetFile(fields));
    // The profile was read through the link before the save: what it held
    // stays as private as it was.
    QCOMPARE(ReadAll(QFile::decodeName(ini)), QByteArray("root's own file\n\n[Serial Ports]\nCOM1=/dev/ttyS4\n"));
    for (const QByteArray& file : {plant, ini}) {
        QCOMPARE(::stat(file.constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
    }
    QCOMPARE(QDir(strShared).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({"plant.set", "trelvane.ini"}));
}

QTEST_GUILESS_MAIN(TestSetTool)
#include "tst_settool.moc"
