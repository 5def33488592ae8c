#include "files.h"

#include "profile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

const QByteArray kSample =
    "; written by hand\n"
    "[Recent File List]\n"
    "File1=/home/op/a b.set\n"
    "File2 = /home/op/c.set\n"
    "\n"
    "# serial devices\n"
    "[Serial Ports]\n"
    "COM2=/dev/ttyUSB0\n"
    "[Other]\n"
    "zeta=1\n"
    "alpha=2\n"
    "not an entry\n";

} // namespace

class CTestProfile : public QObject
{
    Q_OBJECT

private slots:
    void testUnchangedTextSurvives_data();
    void testUnchangedTextSurvives();
    void testRead_data();
    void testRead();
    void testEdits_data();
    void testEdits();
    void testLoadSave();
    void testLoadRefusesAllButRegularFiles_data();
    void testLoadRefusesAllButRegularFiles();
    void testDefaultPath();
};

void CTestProfile::testUnchangedTextSurvives_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("sample") << kSample;
    QTest::newRow("CRLF") << QByteArray(kSample).replace("\n", "\r\n");
    QTest::newRow("no final newline") << QByteArray("[A]\nk=v");
    QTest::newRow("blank line only") << QByteArray("\n");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("UTF-8") << QByteArray("[Recent File List]\nFile1=/home/\xC3\xA9t\xC3\xA9.set\n");
}

void CTestProfile::testUnchangedTextSurvives()
{
    QFETCH(QByteArray, text);
    CProfile profile(QString{});
    profile.FromBytes(text);
    QCOMPARE(profile.ToBytes(), text);
}

void CTestProfile::testRead_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    QTest::newRow("first") << "Recent File List" << "File1" << "/home/op/a b.set";
    QTest::newRow("spaces around =") << "Recent File List" << "File2" << "/home/op/c.set";
    QTest::newRow("any case") << "recent file list" << "file1" << "/home/op/a b.set";
    QTest::newRow("serial") << "Serial Ports" << "COM2" << "/dev/ttyUSB0";
    QTest::newRow("missing key") << "Serial Ports" << "COM3" << "default";
    QTest::newRow("missing section") << "Nowhere" << "File1" << "default";
    QTest::newRow("key of another section") << "Serial Ports" << "File1" << "default";
}

void CTestProfile::testRead()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    CProfile profile(QString{});
    profile.FromBytes(kSample);
    QCOMPARE(profile.GetString(section, key, "default"), value);
}

void CTestProfile::testEdits_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("replace keeps the key's spelling")
        << "set" << "recent file list" << "file2" << "/x.set"
        << QByteArray(kSample).replace("File2 = /home/op/c.set", "File2=/x.set");
    QTest::newRow("add after the section's last entry")
        << "set" << "Recent File List" << "File3" << "/y.set"
        << QByteArray(kSample).replace("c.set\n", "c.set\nFile3=/y.set\n");
    QTest::newRow("add to the last section")
        << "set" << "Other" << "beta" << "3" << QByteArray(kSample).replace("alpha=2\n", "alpha=2\nbeta=3\n");
    QTest::newRow("new section")
        << "set" << "Serial Ports 2" << "COM1" << "/dev/ttyS0"
        << kSample + "\n[Serial Ports 2]\nCOM1=/dev/ttyS0\n";
    QTest::newRow("line break in a value")
        << "set" << "Other" << "zeta" << "a\nb"
        << QByteArray(kSample).replace("zeta=1", "zeta=a b");
    QTest::newRow("remove")
        << "remove" << "Recent File List" << "File1" << ""
        << QByteArray(kSample).replace("File1=/home/op/a b.set\n", "");
    QTest::newRow("remove missing") << "remove" << "Other" << "gamma" << "" << kSample;
}

void CTestProfile::testEdits()
{
    QFETCH(QString, op);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, expected);

    CProfile profile(QString{});
    profile.FromBytes(kSample);
    if (op == "set")
        profile.SetString(section, key, value);
    else
        profile.RemoveKey(section, key);
    QCOMPARE(profile.ToBytes(), expected);
}

void CTestProfile::testLoadSave()
{
    QTemporaryDir dir;
    const QString strPath = dir.filePath("sub/folder/trelvane.ini");
    CProfile profile(strPath);
    QVERIFY(profile.Load());
    QVERIFY(profile.Keys("Recent File List").isEmpty());
    profile.SetString("Recent File List", "File1", "/a.set");
    profile.SetString("Recent File List", "File2", "/b.set");
    QString strError;
    QVERIFY2(profile.Save(&strError), qPrintable(strError));
    QCOMPARE(ReadAll(strPath), QByteArray("[Recent File List]\nFile1=/a.set\nFile2=/b.set\n"));

    CProfile again(strPath);
    QVERIFY(again.Load());
    QCOMPARE(again.Keys("Recent File List"), (QStringList{"File1", "File2"}));
    QCOMPARE(again.GetString("Recent File List", "File2"), QStringLiteral("/b.set"));
}

void CTestProfile::testLoadRefusesAllButRegularFiles_data()
{
    QTest::addColumn<QString>("name"); // in the test's folder, or an absolute path
    QTest::addColumn<QString>("reason");
    QTest::newRow("fifo") << "fifo" << "not a regular file";
    QTest::newRow("endless device") << "/dev/zero" << "not a regular file";
    QTest::newRow("folder") << "folder" << "not a regular file";
    QTest::newRow("over 1 MiB") << "big.ini" << "larger than 1 MiB";
    QTest::newRow("file used as folder") << "plain.ini/x.ini" << "Not a directory";
}

void CTestProfile::testLoadRefusesAllButRegularFiles()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    // Nobody writes to the pipe: a reader that waited on it would hang here.
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600), 0);
    QVERIFY(QDir(dir.path()).mkdir("folder"));
    const QByteArray entry = "[Serial Ports]\nCOM1=/dev/ttyS9\n";
    const QByteArray comments = ("; " + QByteArray(1021, 'c') + '\n').repeated(1024);
    QVERIFY(WriteAll(dir.filePath("big.ini"), entry + comments.left(1024 * 1024 + 1 - entry.size())));
    QVERIFY(WriteAll(dir.filePath("plain.ini"), entry));

    CProfile profile(QDir(dir.path()).filePath(name));
    profile.SetString("Serial Ports", "COM2", "/dev/ttyUSB0");
    QString strError;
    QVERIFY(!profile.Load(&strError));
    QCOMPARE(strError, reason);

    // Exactly 1 MiB is still read.
    QVERIFY(WriteAll(dir.filePath("max.ini"), entry + comments.left(1024 * 1024 - entry.size())));
    CProfile largest(dir.filePath("max.ini"));
    QVERIFY2(largest.Load(&strError), qPrintable(strError));
    QCOMPARE(largest.GetString("Serial Ports", "COM1"), QStringLiteral("/dev/ttyS9"));
}

void CTestProfile::testDefaultPath()
{
    const QByteArray old = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "/somewhere/config");
    QCOMPARE(CProfile::DefaultPath(), QStringLiteral("/somewhere/config/trelvane/trelvane.ini"));
    qunsetenv("XDG_CONFIG_HOME");
    QCOMPARE(CProfile::DefaultPath(), QDir::homePath() + "/.config/trelvane/trelvane.ini");
    qputenv("XDG_CONFIG_HOME", old);
}

QTEST_GUILESS_MAIN(CTestProfile)
#include "tst_profile.moc"
