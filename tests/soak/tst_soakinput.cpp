// Malformed setup strings, serial mode strings and settings files: each
// gets its message, nothing crashes, and no file on disk changes.

#include "pty.h"
#include "soaksupport.h"
#include "testhost.h"

#include "setup/serialmode.h"
#include "setup/setupstring.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray RandomBytes(QRandomGenerator& gen, int nLen)
{
    QByteArray data(nLen, Qt::Uninitialized);
    for (char& c : data)
        c = char(gen.bounded(256));
    return data;
}

// What a folder holds: every file's name, size, time and content hash.
QStringList Snapshot(const QString& strDir)
{
    QStringList entries;
    const QFileInfoList infos =
        QDir(strDir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& info : infos) {
        QFile file(info.filePath());
        QByteArray hash;
        if (file.open(QIODevice::ReadOnly))
            hash = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex();
        entries << QStringLiteral("%1 %2 %3 %4")
                       .arg(info.fileName())
                       .arg(info.size())
                       .arg(info.lastModified().toMSecsSinceEpoch())
                       .arg(QString::fromLatin1(hash));
    }
    return entries;
}

// The counted-string length prefixes of the file format.
QByteArray Length32(quint32 n)
{
    QByteArray b("\xff\xff\xff", 3);
    for (int i = 0; i < 4; ++i)
        b.append(char((n >> (8 * i)) & 0xff));
    return b;
}

QByteArray CountedString(const QByteArray& s)
{
    return Length32(quint32(s.size())) + s;
}

// A file image with six given strings (file order: Output setup, DLL,
// initial, then the same of the Input) and the options 1, 0, 1007, 1.
QByteArray SetImage(const QByteArrayList& strings)
{
    QByteArray image;
    for (const QByteArray& s : strings)
        image += CountedString(s);
    return image + QByteArray("\x01\x00\x00\x00\xef\x03\x01\x00", 8);
}

} // namespace

class TestSoakInput : public QObject
{
    Q_OBJECT
private slots:
    void setupStrings();
    void modeStrings();
    void setFiles();
    void cleanupTestCase();

private:
    int m_nCases = 0;
    int m_nPassed = 0;
};

void TestSoakInput::cleanupTestCase()
{
    if (m_nPassed < 3)
        return; // a single case was asked for, or one failed
    soak::Figure(QStringLiteral("malformed"), QStringLiteral("total=%1 all_reported=1 files_touched=0").arg(m_nCases));
    QVERIFY(m_nCases >= 200);
}

// Socket setup strings the splitter must refuse, through Startup / Reset.
void TestSoakInput::setupStrings()
{
    QByteArrayList cases = {
        "TCP",
        "UDP:",
        "TCP:1025@",
        "UDP:1025@name",
        "TCP1025,127.0.0.1",
        "TCP:12345678,127.0.0.1",
        "UDP:1," + QByteArray(32, '1'),
        "TCP:1," + QByteArray(64 * 1024, 'a'),
        QByteArray(64 * 1024, 'T'),
        "TCP:" + QByteArray(64 * 1024, '9'),
        QByteArray("TCP\0:1025,127.0.0.1", 19),
        QByteArray("TCP:1025 \0,127.0.0.1", 20),
        QByteArray("\0TCP:1025,127.0.0.1", 19),
        "tcp:1025,127.0.0.1",
        "Tcp:1025,127.0.0.1",
        " TCP:1025,127.0.0.1",
        "TCP,1:1025",
        "UDP,:",
        "\xff\xfe\xfd:1,127.0.0.1",
    };
    QRandomGenerator gen(9);
    const QByteArrayList prefixes = {"TCP", "UDP", "TCP:", "UDP:", "", "TC", "X"};
    // Neither a serial string nor a socket string the splitter takes.
    const auto malformed = [](const QByteArray& s) {
        const QByteArray strText = SetupStringText(s);
        const EPortKind kind = RecognisePortKind(strText);
        SWinsockSetup split;
        return kind == EPortKind::Unknown || (kind != EPortKind::Serial && SplitWinsockSetup(strText, kind, &split) != 0);
    };
    while (cases.size() < 80) {
        const QByteArray s = prefixes[gen.bounded(int(prefixes.size()))] + RandomBytes(gen, gen.bounded(1, 200));
        if (malformed(s))
            cases.append(s);
    }
    SGatewayRig rig;
    const soak::SResources before = soak::Sample();
    for (const QByteArray& s : cases) {
        // Refused before any socket exists: nothing is ever sent anywhere.
        QVERIFY(malformed(s));
        rig.doc.m_strInSetup = s;
        rig.gateway.RequestStartupReset();
        QVERIFY2(rig.Texts().last() == QStringLiteral("Invalid Setup String!"), s.left(40).toHex().constData());
        QVERIFY(!rig.gateway.IsInputStarted());
    }
    QVERIFY(rig.host.m_boxes.isEmpty());
    QCOMPARE(soak::Sample().nFds, before.nFds);
    soak::Figure(QStringLiteral("malformed-setup"), QStringLiteral("cases=%1 invalid_setup_string=%1").arg(cases.size()));
    m_nCases += int(cases.size());
    ++m_nPassed;
}

// Serial mode strings the parser refuses, on a real pseudo-terminal: both
// boxes, and the device is closed again.
void TestSoakInput::modeStrings()
{
    CPty pty;
    if (!pty.IsValid())
        QSKIP("no pseudo-terminals here");
    QByteArrayList cases = {
        "9600,q,8,1",
        "9600,n,9,1",
        "9600,n,8,3",
        "9600,n,4,1",
        "-9600,n,8,1",
        "99999999999999999999,n,8,1",
        "0",
        "abc",
        "baud=abc",
        "baud=9600 parity=x",
        "baud=9600 data=10",
        "baud=9600 stop=3",
        "baud=9600 dtr=maybe",
        "baud=9600 rts=sideways",
        "9600,n,8,1,x,y,z",
        QByteArray("9600,q\0,8,1", 11),
        QByteArray(64 * 1024, '9'),
        QByteArray(64 * 1024, ','),
        "baud=" + QByteArray(64 * 1024, '1'),
    };
    QRandomGenerator gen(11);
    while (cases.size() < 60) {
        const QByteArray s = RandomBytes(gen, gen.bounded(1, 120));
        if (!ParseSerialMode(SetupStringText("COM7:" + s)))
            cases.append(s);
    }
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", pty.Slave()}});
    const soak::SResources before = soak::Sample();
    for (const QByteArray& s : cases) {
        rig.host.m_boxes.clear();
        rig.doc.m_strInSetup = "COM7:" + s;
        rig.gateway.RequestStartupReset();
        QVERIFY2(rig.host.m_boxes == QStringList({"BuildCommDCB Error!", "SetCommState Error!"}),
                 qPrintable(rig.host.m_boxes.join('|') + " for " + s.left(40).toHex()));
        QVERIFY(!rig.gateway.IsInputStarted());
    }
    const soak::SResources after = soak::Sample();
    QCOMPARE(after.nFds, before.nFds);
    QCOMPARE(after.nThreads, before.nThreads);
    soak::Figure(QStringLiteral("malformed-mode"), QStringLiteral("cases=%1 both_boxes=%1").arg(cases.size()));
    m_nCases += int(cases.size());
    ++m_nPassed;
}

// Settings files cut at every offset of a real file, with impossible
// lengths, embedded NULs and 64 KiB strings, through File Open.
void TestSoakInput::setFiles()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    CTrelvaneDoc source;
    source.m_strInSetup = "COM2:9600,n,8,1";
    source.m_strInDll = "libecho.so";
    source.m_strOutSetup = "TCP:1025,127.0.0.1";
    source.m_strInInitial = "ATZ\\r";
    source.m_strOutInitial = QByteArray(300, 'i');
    source.m_bDetectCarrier = 1;
    source.m_nOutStartup = 1007;
    QString strError;
    const QString strReal = dir.filePath(QStringLiteral("real.set"));
    QVERIFY(source.OnSaveDocument(strReal, &strError));
    QFile realFile(strReal);
    QVERIFY(realFile.open(QIODevice::ReadOnly));
    const QByteArray real = realFile.readAll();
    realFile.close();

    struct SCase
    {
        QString strName;
        QByteArray image;
        bool bValid;
        SSetFields expected;
    };
    QList<SCase> cases;
    for (int i = 0; i < real.size(); ++i)
        cases.append({QStringLiteral("cut%1").arg(i), real.left(i), false, {}});
    // Each is followed by far fewer bytes than it claims.
    const QByteArray wide("\xff\xfe\xff", 3);
    const QByteArrayList huge = {Length32(0x7fffffff),       Length32(0x80000000),
                                 Length32(0xffffffff),       wide + "\xfe",
                                 wide + Length32(0x40000000), wide + Length32(0x3fffffff),
                                 wide + wide,                QByteArray("\xff\xfd\xff", 3)};
    for (int nField = 0; nField < 6; ++nField) {
        for (int k = 0; k < huge.size(); ++k) {
            QByteArray image;
            for (int f = 0; f < nField; ++f)
                image += CountedString("x");
            image += huge[k] + QByteArray(100, 'y');
            cases.append({QStringLiteral("huge%1-%2").arg(nField).arg(k), image, false, {}});
        }
    }
    const QByteArray strBig(64 * 1024, 'b');
    QByteArray strNuls("a\0b\0\0c", 6);
    const QByteArrayList valid[] = {
        {strNuls, strNuls, strNuls, strNuls, strNuls, strNuls},
        {strBig, "", strBig, "", strBig, strBig},
        {QByteArray(64 * 1024, '\0'), "x", "", "", "", ""},
    };
    for (const QByteArrayList& strings : valid) {
        SSetFields f;
        f.m_strOutSetup = strings[0];
        f.m_strOutDll = strings[1];
        f.m_strOutInitial = strings[2];
        f.m_strInSetup = strings[3];
        f.m_strInDll = strings[4];
        f.m_strInInitial = strings[5];
        f.m_bNoInInitResponse = 1;
        f.m_bNoOutInitResponse = 0;
        f.m_bDetectCarrier = 1;
        f.m_nOutStartup = 1007;
        cases.append({QStringLiteral("valid%1").arg(cases.size()), SetImage(strings), true, f});
        // The same with the last string one byte short.
        cases.append({QStringLiteral("short%1").arg(cases.size()), SetImage(strings).chopped(9), false, {}});
    }
    cases.append({QStringLiteral("nuls"), QByteArray(64 * 1024, '\0'), true, SSetFields {{}, {}, {}, {}, {}, {}, 0, 0, 0, 0}});
    cases.append({QStringLiteral("ffs"), QByteArray(64 * 1024, '\xff'), false, {}});

    for (const SCase& c : cases) {
        QFile file(dir.filePath(c.strName + QStringLiteral(".set")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(c.image) == c.image.size());
    }
    const QStringList filesBefore = Snapshot(dir.path());

    CTrelvaneDoc doc;
    doc.m_strInSetup = "TCP:9,127.0.0.1";
    doc.m_strOutInitial = "kept";
    doc.SetPathName(QStringLiteral("/nonexistent/kept.set"));
    doc.SetModifiedFlag(true);
    for (const SCase& c : cases) {
        const SSetFields fieldsBefore = doc.GetFields();
        const QString strPathBefore = doc.GetPathName();
        const QString strPath = dir.filePath(c.strName + QStringLiteral(".set"));
        strError.clear();
        const bool bOk = doc.OnOpenDocument(strPath, &strError);
        QVERIFY2(bOk == c.bValid, qPrintable(c.strName + ": " + strError));
        if (bOk) {
            QVERIFY2(doc.GetFields() == c.expected, qPrintable(c.strName));
            QCOMPARE(doc.GetPathName(), strPath);
            // Back to the document the failures must leave alone.
            doc.SetFields(fieldsBefore);
            doc.SetPathName(strPathBefore);
            doc.SetModifiedFlag(true);
        } else {
            QCOMPARE(strError, QStringLiteral("Unexpected file format."));
            QVERIFY2(doc.GetFields() == fieldsBefore, qPrintable(c.strName));
            QCOMPARE(doc.GetPathName(), strPathBefore);
            QCOMPARE(doc.GetTitle(), QStringLiteral("kept.set"));
            QVERIFY(doc.IsModified());
        }
    }
    QCOMPARE(Snapshot(dir.path()), filesBefore);
    int nValid = 0;
    for (const SCase& c : cases)
        nValid += c.bValid ? 1 : 0;
    soak::Figure(QStringLiteral("malformed-setfile"),
                 QStringLiteral("cases=%1 refused=%2 loaded_valid=%3 real_file_bytes=%4 files_touched=0")
                     .arg(cases.size())
                     .arg(cases.size() - nValid)
                     .arg(nValid)
                     .arg(real.size()));
    m_nCases += int(cases.size());
    ++m_nPassed;
}

QTEST_GUILESS_MAIN(TestSoakInput)
#include "tst_soakinput.moc"
