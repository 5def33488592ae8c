#include "profile.h"
#include "recentfilelist.h"
#include "shellnames.h"

#include <QDir>
#include <QTest>

class TestShellNames : public QObject
{
    Q_OBJECT
private slots:
    void proposedSaveName_data();
    void proposedSaveName();
    void joinCommandLine_data();
    void joinCommandLine();
    void openFileName_data();
    void openFileName();
    void abbreviatePath_data();
    void abbreviatePath();
    void recentNewestFirst();
    void recentProfileRoundTrip();
};

void TestShellNames::proposedSaveName_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("proposed");
    QTest::newRow("default") << "Tevrin" << "Tevrin.set";
    QTest::newRow("eight") << "ABCDEFGH" << "ABCDEFGH.set";
    QTest::newRow("nine") << "ABCDEFGHI" << "ABCDEFGH.set";
    QTest::newRow("blank") << "My gateway" << "My.set";
    QTest::newRow("hash") << "a#b" << "a.set";
    QTest::newRow("percent") << "50%off" << "50.set";
    QTest::newRow("semicolon") << "x;y" << "x.set";
    QTest::newRow("slash") << "dir/name" << "dir.set";
    QTest::newRow("backslash") << "C:\\x" << "C:.set";
    QTest::newRow("long before bad") << "ABCDEFGHIJ K" << "ABCDEFGH.set";
    QTest::newRow("first bad counts") << "ab%c#d" << "ab.set";
    QTest::newRow("bad first") << "#x" << ".set";
}

void TestShellNames::proposedSaveName()
{
    QFETCH(QString, title);
    QFETCH(QString, proposed);
    QCOMPARE(ProposedSaveName(title), proposed);
}

void TestShellNames::joinCommandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("joined");
    QTest::newRow("none") << QStringList() << "";
    QTest::newRow("one") << QStringList{"/tmp/a.set"} << "/tmp/a.set";
    QTest::newRow("split path") << QStringList{"/tmp/my", "gate", "way.set"} << "/tmp/my gate way.set";
    QTest::newRow("quoted") << QStringList{"\"/tmp/a b.set\""} << "\"/tmp/a b.set\"";
}

void TestShellNames::joinCommandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, joined);
    QCOMPARE(JoinCommandLine(args), joined);
}

void TestShellNames::openFileName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("path");
    const QString strCwd = QDir::currentPath();
    QTest::newRow("absolute") << "/tmp/a.set" << "/tmp/a.set";
    QTest::newRow("relative") << "a.set" << strCwd + "/a.set";
    QTest::newRow("dot dot") << "/tmp/x/../a.set" << "/tmp/a.set";
    QTest::newRow("quoted") << "\"/tmp/a b.set\"" << "/tmp/a b.set";
    QTest::newRow("quoted with tail") << "open \"/tmp/a.set\" now" << "/tmp/a.set";
    QTest::newRow("inner quotes") << "\"/tmp/\"odd\".set\"" << "/tmp/\"odd\".set";
    QTest::newRow("one quote") << "/tmp/a\".set" << "/tmp/a\".set";
    QTest::newRow("empty") << "" << "";
}

void TestShellNames::openFileName()
{
    QFETCH(QString, name);
    QFETCH(QString, path);
    QCOMPARE(OpenFileName(name), path);
}

void TestShellNames::abbreviatePath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("text");
    QTest::newRow("fits") << "/home/ann/gw.set" << "/home/ann/gw.set";
    QTest::newRow("exactly 30") << "/home/ann/abcdefghijklmnop.set" << "/home/ann/abcdefghijklmnop.set";
    QTest::newRow("folders dropped") << "/home/ann/projects/plant/north/gw.set" << "/.../plant/north/gw.set";
    QTest::newRow("only name fits") << "/home/ann/projects/a-very-long-file-name.set"
                                    << "/.../a-very-long-file-name.set";
    QTest::newRow("name alone") << "/srv/x/a-long-file-name-abcdef.set"
                                << "a-long-file-name-abcdef.set";
    QTest::newRow("name too long") << "/srv/x/this-name-is-far-longer-than-thirty.set"
                                   << "this-name-is-far-longer-tha...";
}

void TestShellNames::abbreviatePath()
{
    QFETCH(QString, path);
    QFETCH(QString, text);
    const QString strShown = AbbreviatePath(path);
    QCOMPARE(strShown, text);
    QVERIFY(strShown.size() <= 30);
}

void TestShellNames::recentNewestFirst()
{
    CRecentFileList list(4);
    for (const char* psz : {"/a.set", "/b.set", "/c.set", "/d.set", "/e.set"})
        list.Add(QString::fromLatin1(psz));
    QCOMPARE(list.Files(), (QStringList{"/e.set", "/d.set", "/c.set", "/b.set"}));
    list.Add(QStringLiteral("/c.set"));
    QCOMPARE(list.Files(), (QStringList{"/c.set", "/e.set", "/d.set", "/b.set"}));
    list.Add(QStringLiteral("/c.set"));
    QCOMPARE(list.Files(), (QStringList{"/c.set", "/e.set", "/d.set", "/b.set"}));
    list.Remove(QStringLiteral("/e.set"));
    QCOMPARE(list.Files(), (QStringList{"/c.set", "/d.set", "/b.set"}));
    list.Add(QString());
    QCOMPARE(list.Files().size(), 3);
}

void TestShellNames::recentProfileRoundTrip()
{
    CProfile profile(QStringLiteral("unused.ini"));
    profile.FromBytes("; kept\n[Serial Ports]\nCOM2=/dev/ttyUSB0\n"
                      "[Recent File List]\nFile1=/old1.set\nFile2=/old2.set\nFile3=/old3.set\n");
    CRecentFileList list(4);
    list.ReadList(profile);
    QCOMPARE(list.Files(), (QStringList{"/old1.set", "/old2.set", "/old3.set"}));
    list.Remove(QStringLiteral("/old2.set"));
    list.Add(QStringLiteral("/new.set"));
    list.WriteList(profile);
    const QByteArray bytes = profile.ToBytes();
    QVERIFY(bytes.contains("; kept\n"));
    QVERIFY(bytes.contains("COM2=/dev/ttyUSB0"));
    QVERIFY2(bytes.contains("[Recent File List]\nFile1=/new.set\nFile2=/old1.set\nFile3=/old3.set\n"),
             bytes.constData());
    QVERIFY(!bytes.contains("File4"));
    QVERIFY(!bytes.contains("old2"));
}

QTEST_GUILESS_MAIN(TestShellNames)
#include "tst_shellnames.moc"
