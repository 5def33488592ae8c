// trelvane-set: what it shows and writes, checked against the settings
// document that the desktop program and trelvaned use.

#include "toolrun.h"

#include "profile.h"
#include "setcodec.h"
#include "setshow.h"
#include "trelvanedoc.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(SSetFields)

namespace {

using ByteList = QList<QByteArray>;

QByteArray ReadAll(const QString& strPath)
{
    QFile file(strPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool WriteAll(const QString& strPath, const QByteArray& data)
{
    QFile file(strPath);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

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
    void quoteBytes_data();
    void quoteBytes();
    void showPrintsDocumentFile();
    void showNamesStartModes_data();
    void showNamesStartModes();
    void showReadsWideStrings();
    void showFailures_data();
    void showFailures();
    void writeReadsBackInDocument_data();
    void writeReadsBackInDocument();
    void updateChangesOnlyGivenFields();
    void writeRefusals_data();
    void writeRefusals();
    void serialPortsEditKeepsRest();
    void serialPortsDefaultProfile();
    void serialPortsRefusals_data();
    void serialPortsRefusals();

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

void TestSetTool::quoteBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("quoted");
    QTest::newRow("empty") << QByteArray() << QByteArray("\"\"");
    QTest::newRow("printable") << QByteArray("COM2:9600,n,8,1 ~") << QByteArray("\"COM2:9600,n,8,1 ~\"");
    QTest::newRow("quote and backslash") << QByteArray("a\"b\\c") << QByteArray("\"a\\\"b\\\\c\"");
    QTest::newRow("typed escape stays text") << QByteArray("ATZ\\r") << QByteArray("\"ATZ\\\\r\"");
    QTest::newRow("cr lf tab") << QByteArray("\r\n\t") << QByteArray("\"\\r\\n\\t\"");
    QTest::newRow("nul and controls") << QByteArray("\0\x01\x1f\x7f", 4) << QByteArray("\"\\x00\\x01\\x1F\\x7F\"");
    QTest::newRow("high bytes") << QByteArray("\x80\xc3\xa9\xff") << QByteArray("\"\\x80\\xC3\\xA9\\xFF\"");
}

void TestSetTool::quoteBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, quoted);
    QCOMPARE(QuoteBytes(bytes), quoted);
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
                                 "in-initial:           \"ATZ\\\\r\"\n"
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

void TestSetTool::showReadsWideStrings()
{
    // The wide form the writer never produces: FF FE FF, count of UTF-16 units.
    QByteArray data;
    data += QByteArray::fromHex("fffeff02") + QByteArray("U\0\xe9\0", 4); // out-setup "Ué"
    data += QByteArray(5, '\0');                                           // five empty strings
    data += QByteArray::fromHex("01000000f0030100");
    QVERIFY(WriteAll(QFile::decodeName(SetPath()), data));
    const SToolRun run = Tool({"show", SetPath()});
    QCOMPARE(run.nExit, 0);
    QVERIFY2(run.out.contains("out-setup:            \"U\\xC3\\xA9\"\n"), run.out.constData());
    QVERIFY(run.out.contains("no-in-init-response:  1\n"));
    QVERIFY(run.out.contains("out-startup:          1008 ("));
    QVERIFY(run.out.contains("detect-carrier:       1\n"));
}

void TestSetTool::showFailures_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<ByteList>("extraArgs");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("missing") << QByteArray() << ByteList() << 1 << QByteArray("Cannot find this file.");
    QTest::newRow("13 bytes") << QByteArray(13, '\0') << ByteList() << 1 << QByteArray("Unexpected file format.");
    QTest::newRow("empty") << QByteArray("") << ByteList() << 1 << QByteArray("Unexpected file format.");
    QTest::newRow("two files") << QByteArray(14, '\0') << ByteList({"other.set"}) << 2
                               << QByteArray("show needs one settings file");
    QTest::newRow("option") << QByteArray(14, '\0') << ByteList({"--raw"}) << 2 << QByteArray("unknown option '--raw'");
}

void TestSetTool::showFailures()
{
    QFETCH(QByteArray, content);
    QFETCH(ByteList, extraArgs);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    if (!content.isNull())
        QVERIFY(WriteAll(QFile::decodeName(SetPath()), content));
    const SToolRun run = Tool(ByteList({"show", SetPath()}) + extraArgs);
    QCOMPARE(run.nExit, exitCode);
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(run.err.startsWith("trelvane-set: ") && run.err.count('\n') == 1, run.err.constData());
    QVERIFY2(run.err.contains(message), run.err.constData());
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

    SSetFields flagsOff;
    flagsOff.m_nOutStartup = 1008;
    QTest::newRow("flags off, first-data")
        << ByteList({"--no-in-init-response=0", "--detect-carrier=0", "--out-startup=first-data"}) << flagsOff;

    SSetFields zero;
    zero.m_nOutStartup = 0;
    QTest::newRow("start mode 0") << ByteList({"--out-startup", "0"}) << zero;
    SSetFields top;
    top.m_nOutStartup = 65535;
    QTest::newRow("start mode 65535") << ByteList({"--out-startup=65535"}) << top;
    SSetFields withInput;
    withInput.m_nOutStartup = 1007;
    QTest::newRow("with-input, file after options") << ByteList({"--out-startup", "with-input"}) << withInput;
}

void TestSetTool::writeReadsBackInDocument()
{
    QFETCH(ByteList, options);
    QFETCH(SSetFields, expected);
    const SToolRun run = Tool(ByteList({"write", SetPath()}) + options);
    QCOMPARE(run.err, QByteArray());
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

void TestSetTool::writeRefusals_data()
{
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<ByteList>("args"); // "@" is the settings file
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("exists") << true << ByteList({"@", "--in-dll", "x"}) << 1 << QByteArray("exists; use --update");
    QTest::newRow("update missing") << false << ByteList({"@", "--update"}) << 1 << QByteArray("Cannot find this file.");
    QTest::newRow("flag value") << true << ByteList({"@", "--update", "--detect-carrier=2"}) << 2
                                << QByteArray("--detect-carrier takes 0 or 1");
    QTest::newRow("flag separate value") << true << ByteList({"@", "--update", "--detect-carrier", "0"}) << 2
                                         << QByteArray("write needs one settings file");
    QTest::newRow("start mode text") << true << ByteList({"@", "--update", "--out-startup", "soon"}) << 2
                                     << QByteArray("--out-startup takes");
    QTest::newRow("start mode too big") << true << ByteList({"@", "--update", "--out-startup=65536"}) << 2
                                        << QByteArray("--out-startup takes");
    QTest::newRow("start mode sign") << true << ByteList({"@", "--update", "--out-startup=-1"}) << 2
                                     << QByteArray("--out-startup takes");
    QTest::newRow("twice") << true << ByteList({"@", "--update", "--in-dll", "a", "--in-dll=b"}) << 2
                           << QByteArray("--in-dll given twice");
    QTest::newRow("no value") << true << ByteList({"@", "--update", "--in-setup"}) << 2
                              << QByteArray("--in-setup needs a value");
    QTest::newRow("unknown") << true << ByteList({"@", "--update", "--in-setpu=x"}) << 2
                             << QByteArray("unknown option '--in-setpu'");
    QTest::newRow("short option") << true << ByteList({"@", "-u"}) << 2 << QByteArray("unknown option '-u'");
    QTest::newRow("update force") << true << ByteList({"@", "--update", "--force"}) << 2
                                  << QByteArray("exclude each other");
    QTest::newRow("update value") << true << ByteList({"@", "--update=1"}) << 2 << QByteArray("takes no value");
    QTest::newRow("no file") << true << ByteList({"--in-dll", "x"}) << 2 << QByteArray("write needs one settings file");
    QTest::newRow("two files") << true << ByteList({"@", "@"}) << 2 << QByteArray("write needs one settings file");
}

void TestSetTool::writeRefusals()
{
    QFETCH(bool, fileExists);
    QFETCH(ByteList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    const QString strPath = QFile::decodeName(SetPath());
    QByteArray original;
    if (fileExists) {
        original = *WriteSetFile(AllSet());
        QVERIFY(WriteAll(strPath, original));
    }
    for (QByteArray& arg : args) {
        if (arg == "@")
            arg = SetPath();
    }
    const SToolRun run = Tool(ByteList({"write"}) + args);
    QCOMPARE(run.nExit, exitCode);
    QVERIFY2(run.err.startsWith("trelvane-set: ") && run.err.count('\n') == 1, run.err.constData());
    QVERIFY2(run.err.contains(message), run.err.constData());
    // Nothing was written.
    QCOMPARE(QFile::exists(strPath), fileExists);
    if (fileExists)
        QCOMPARE(ReadAll(strPath), original);
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

    run = Tool({profileArg, "serial-ports", "set", "COM7", "/dev/pts/3"});
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
                                            "COM7=/dev/pts/3\r\n"
                                            "\r\n"
                                            "[Other]\r\n"
                                            "key=value\r\n"));
    run = Tool({profileArg, "serial-ports", "list"});
    QCOMPARE(run.out, QByteArray("COM2=/dev/ttyACM0\nCOM7=/dev/pts/3\n"));
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

void TestSetTool::serialPortsRefusals_data()
{
    QTest::addColumn<ByteList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("relative path") << ByteList({"set", "COM7", "dev/ttyS0"}) << 2 << QByteArray("must be absolute");
    QTest::newRow("path with blank") << ByteList({"set", "COM7", "/dev/ttyS0 "}) << 2 << QByteArray("blanks");
    QTest::newRow("path with newline") << ByteList({"set", "COM7", "/dev/a\nCOM1=/x"}) << 2 << QByteArray("line breaks");
    QTest::newRow("name with colon") << ByteList({"set", "COM7:", "/dev/ttyS0"}) << 2 << QByteArray("not a port name");
    QTest::newRow("name with equals") << ByteList({"set", "A=B", "/dev/ttyS0"}) << 2 << QByteArray("not a port name");
    QTest::newRow("name comment") << ByteList({"set", ";COM1", "/dev/ttyS0"}) << 2 << QByteArray("not a port name");
    QTest::newRow("name section") << ByteList({"remove", "[X]"}) << 2 << QByteArray("not a port name");
    QTest::newRow("remove missing") << ByteList({"remove", "COM8"}) << 1 << QByteArray("no entry COM8");
    QTest::newRow("unknown action") << ByteList({"add", "COM8", "/dev/x"}) << 2 << QByteArray("unknown action 'add'");
    QTest::newRow("no action") << ByteList() << 2 << QByteArray("needs list, set or remove");
    QTest::newRow("set one arg") << ByteList({"set", "COM8"}) << 2 << QByteArray("needs NAME PATH");
    QTest::newRow("list arg") << ByteList({"list", "x"}) << 2 << QByteArray("takes no arguments");
}

void TestSetTool::serialPortsRefusals()
{
    QFETCH(ByteList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    const QByteArray original = "[Serial Ports]\nCOM2=/dev/ttyUSB0\n";
    QVERIFY(QDir().mkpath(QFileInfo(IniPath()).absolutePath()));
    QVERIFY(WriteAll(IniPath(), original));
    const SToolRun run = Tool(ByteList({"--profile", QFile::encodeName(IniPath()), "serial-ports"}) + args);
    QCOMPARE(run.nExit, exitCode);
    QVERIFY2(run.err.startsWith("trelvane-set: ") && run.err.count('\n') == 1, run.err.constData());
    QVERIFY2(run.err.contains(message), run.err.constData());
    QCOMPARE(ReadAll(IniPath()), original);
}

QTEST_GUILESS_MAIN(TestSetTool)
#include "tst_settool.moc"
