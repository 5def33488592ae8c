#include "files.h"

#include "atomicfile.h"
#include "setcodec.h"
#include "setfile.h"
#include "setfilemessages.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kNotFound =
    QStringLiteral("%1\nCannot find this file.\nPlease verify that the correct path and file name are given.");

// Fails one chosen system call with a chosen error number.
class CFailingWriter : public CAtomicFileWriter
{
public:
    CFailingWriter(bool bFailWrite, int nErrno) : m_bFailWrite(bFailWrite), m_nErrno(nErrno) {}

protected:
    ssize_t WriteSome(int fd, const char* p, size_t n) override
    {
        if (m_bFailWrite) {
            // Let part of the data through first, as a filling disk does.
            if (!m_bWroteSome && n > 1) {
                m_bWroteSome = true;
                return CAtomicFileWriter::WriteSome(fd, p, n / 2);
            }
            errno = m_nErrno;
            return -1;
        }
        return CAtomicFileWriter::WriteSome(fd, p, n);
    }
    int SyncFile(int fd) override
    {
        if (!m_bFailWrite) {
            errno = m_nErrno;
            return -1;
        }
        return CAtomicFileWriter::SyncFile(fd);
    }

private:
    bool m_bFailWrite;
    int m_nErrno;
    bool m_bWroteSome = false;
};

SSetFields Sample()
{
    SSetFields f;
    f.m_strInSetup = "TCP:1025,127.0.0.1";
    f.m_strOutSetup = "COM2:9600,n,8,1";
    f.m_strInInitial = "\xE9t\xE9";
    f.m_bDetectCarrier = 1;
    f.m_nOutStartup = 1007;
    return f;
}

bool IsRoot()
{
    return ::geteuid() == 0;
}

} // namespace

class CTestSetFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void testLoadFailures_data();
    void testLoadFailures();
    void testSaveAndLoad();
    void testSaveKeepsPermissionsAndLinks();
    void testSaveFailures_data();
    void testSaveFailures();
    void testWriteFailuresKeepOldFile_data();
    void testWriteFailuresKeepOldFile();
    void testFileDenied_data();
    void testFileDenied();
    void testSaveInReadOnlyFolder();
    void testMessages_data();
    void testMessages();

private:
    QStringList FolderEntries() const { return QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot); }
    QString Path(const QString& strName) const { return m_dir.filePath(strName); }

    QTemporaryDir m_dir;
};

void CTestSetFile::init()
{
    QVERIFY(m_dir.isValid());
    for (const QString& strName : FolderEntries()) {
        const QString strPath = Path(strName);
        ::chmod(QFile::encodeName(strPath).constData(), 0700);
        if (QFileInfo(strPath).isDir() && !QFileInfo(strPath).isSymLink())
            QDir(strPath).removeRecursively();
        else
            ::unlink(QFile::encodeName(strPath).constData());
    }
}

void CTestSetFile::testLoadFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("message");

    const QString strMissing = Path("missing.set");
    QTest::newRow("missing file") << strMissing << kNotFound.arg(strMissing);
    const QString strEmptyName;
    QTest::newRow("empty name") << strEmptyName << kNotFound.arg(strEmptyName);
    const QString strLong = Path(QString(300, 'n') + ".set");
    QTest::newRow("name too long") << strLong << kNotFound.arg(strLong);
    const QString strThroughFile = Path("plain.set/inner.set");
    QTest::newRow("file used as folder") << strThroughFile << kNotFound.arg(strThroughFile);
    QTest::newRow("folder") << Path("folder") << QStringLiteral("Failed to open document.");
    QTest::newRow("fifo") << Path("fifo") << QStringLiteral("Failed to open document.");
    QTest::newRow("character device") << QStringLiteral("/dev/null") << QStringLiteral("Failed to open document.");
    QTest::newRow("empty file") << Path("empty.set") << QStringLiteral("Unexpected file format.");
    QTest::newRow("13 bytes") << Path("short.set") << QStringLiteral("Unexpected file format.");
    QTest::newRow("huge claimed length") << Path("huge.set") << QStringLiteral("Unexpected file format.");
    // A string that really is that long is more than any settings need.
    QTest::newRow("string over 16 MiB") << Path("long.set") << QStringLiteral("Failed to open document.");
}

void CTestSetFile::testLoadFailures()
{
    QFETCH(QString, path);
    QFETCH(QString, message);

    QVERIFY(WriteAll(Path("plain.set"), *WriteSetFile(SSetFields())));
    QVERIFY(WriteAll(Path("empty.set"), QByteArray()));
    QVERIFY(WriteAll(Path("short.set"), WriteSetFile(SSetFields())->left(13)));
    QVERIFY(WriteAll(Path("huge.set"), QByteArray("\xFF\xFF\xFF\xFF\xFF\xFF\x7F" "abc", 10)));
    // A first string of 16 MiB + 1 byte, then nine empty fields: a file of
    // holes, so it costs no disk space.
    {
        QFile file(Path("long.set"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        const qint64 nLength = 16 * 1024 * 1024 + 1;
        const char header[] = {'\xFF', '\xFF', '\xFF', char(nLength & 0xFF), char((nLength >> 8) & 0xFF),
                               char((nLength >> 16) & 0xFF), char(nLength >> 24)};
        QCOMPARE(file.write(header, sizeof header), qint64(sizeof header));
        QVERIFY(file.seek(sizeof header + nLength));
        QCOMPARE(file.write(WriteSetFile(SSetFields())->mid(1)), 13);
    }
    QVERIFY(QDir(m_dir.path()).mkdir("folder"));
    // Nobody writes to the pipe: a reader that waited on it would hang here.
    QCOMPARE(::mkfifo(QFile::encodeName(Path("fifo")).constData(), 0600), 0);

    SSetFields fields = Sample();
    QString strError;
    QVERIFY(!LoadSetFile(path, &fields, &strError));
    QCOMPARE(strError, message);
    QVERIFY(fields == Sample());
}

void CTestSetFile::testSaveAndLoad()
{
    const QString strPath = Path("a.set");
    QString strError;
    QVERIFY2(SaveSetFile(strPath, SSetFields(), &strError), qPrintable(strError));
    QCOMPARE(ReadAll(strPath), QByteArray("\0\0\0\0\0\0\0\0\0\0\xF0\x03\0\0", 14));
    QVERIFY2(SaveSetFile(strPath, Sample(), &strError), qPrintable(strError));
    QCOMPARE(FolderEntries(), QStringList{"a.set"});

    // The longest name the system allows still saves.
    const QString strLongest = Path(QString(251, 'n') + ".set");
    QVERIFY2(SaveSetFile(strLongest, Sample(), &strError), qPrintable(strError));
    QVERIFY(QFile::remove(strLongest));

    QVERIFY(WriteAll(strPath, ReadAll(strPath) + "trailing"));
    SSetFields fields;
    QVERIFY2(LoadSetFile(strPath, &fields, &strError), qPrintable(strError));
    QVERIFY(fields == Sample());
}

void CTestSetFile::testSaveKeepsPermissionsAndLinks()
{
    const QString strPath = Path("kept.set");
    QVERIFY(WriteAll(strPath, "old"));
    QCOMPARE(::chmod(QFile::encodeName(strPath).constData(), 0640), 0);
    QString strError;
    QVERIFY2(SaveSetFile(strPath, Sample(), &strError), qPrintable(strError));
    QCOMPARE(ReadAll(strPath), *WriteSetFile(Sample()));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(strPath).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0640));

    // A symbolic link at the path is replaced by the saved file; the file it
    // points to (here one of mode 0600, as another user's would be), or the
    // file it would create, is never written.
    const QString strVictim = Path("victim");
    QVERIFY(WriteAll(strVictim, "secret"));
    QCOMPARE(::chmod(QFile::encodeName(strVictim).constData(), 0600), 0);
    QVERIFY(QFile::link(strVictim, Path("plant.set")));
    QVERIFY(QFile::link(Path("gone"), Path("dangling.set")));
    for (const char* pszLink : {"plant.set", "dangling.set"}) {
        QVERIFY2(SaveSetFile(Path(pszLink), Sample(), &strError), qPrintable(strError));
        QVERIFY(!QFileInfo(Path(pszLink)).isSymLink());
        QCOMPARE(ReadAll(Path(pszLink)), *WriteSetFile(Sample()));
        QCOMPARE(::stat(QFile::encodeName(Path(pszLink)).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
    }
    QCOMPARE(ReadAll(strVictim), QByteArray("secret"));
    QCOMPARE(::stat(QFile::encodeName(strVictim).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));
    QCOMPARE(FolderEntries(), QStringList({"dangling.set", "kept.set", "plant.set", "victim"}));
}

void CTestSetFile::testSaveFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("message");

    const QString strNoFolder = Path("nowhere/a.set");
    QTest::newRow("missing folder") << strNoFolder << kNotFound.arg(strNoFolder);
    const QString strLong = Path(QString(300, 'n') + ".set");
    QTest::newRow("name too long") << strLong << kNotFound.arg(strLong);
    QTest::newRow("folder") << Path("folder") << QStringLiteral("Invalid filename.");
    QTest::newRow("fifo") << Path("fifo") << QStringLiteral("Invalid filename.");
    QTest::newRow("device /dev/full") << QStringLiteral("/dev/full") << QStringLiteral("Invalid filename.");
}

void CTestSetFile::testSaveFailures()
{
    QFETCH(QString, path);
    QFETCH(QString, message);

    QVERIFY(QDir(m_dir.path()).mkdir("folder"));
    QCOMPARE(::mkfifo(QFile::encodeName(Path("fifo")).constData(), 0600), 0);
    const QStringList before = FolderEntries();

    QString strError;
    QVERIFY(!SaveSetFile(path, Sample(), &strError));
    QCOMPARE(strError, message);
    QCOMPARE(FolderEntries(), before);
    QVERIFY(QFileInfo(Path("folder")).isDir());
}

void CTestSetFile::testWriteFailuresKeepOldFile_data()
{
    QTest::addColumn<bool>("failWrite");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("message");

    QTest::newRow("disk full") << true << ENOSPC << QStringLiteral("Destination disk drive is full.");
    QTest::newRow("quota") << true << EDQUOT << QStringLiteral("Destination disk drive is full.");
    QTest::newRow("write I/O error") << true << EIO << QStringLiteral("An unexpected error occurred while writing %1.");
    QTest::newRow("flush I/O error") << false << EIO << QStringLiteral("An unexpected error occurred while writing %1.");
    QTest::newRow("flush disk full") << false << ENOSPC << QStringLiteral("Destination disk drive is full.");
    QTest::newRow("other") << true << EBADF << QStringLiteral("Failed to save document.");
}

void CTestSetFile::testWriteFailuresKeepOldFile()
{
    QFETCH(bool, failWrite);
    QFETCH(int, error);
    QFETCH(QString, message);

    // Save over an existing file: the old content survives untouched.
    const QString strOld = Path("old.set");
    const QByteArray oldData = *WriteSetFile(SSetFields());
    QVERIFY(WriteAll(strOld, oldData));
    CFailingWriter writer(failWrite, error);
    QString strError;
    QVERIFY(!SaveSetFile(strOld, Sample(), &strError, &writer));
    QCOMPARE(strError, message.contains("%1") ? message.arg(strOld) : message);
    QCOMPARE(ReadAll(strOld), oldData);
    QCOMPARE(FolderEntries(), QStringList{"old.set"});

    // Save As to a new name: nothing is left behind.
    CFailingWriter writer2(failWrite, error);
    QVERIFY(!SaveSetFile(Path("new.set"), Sample(), &strError, &writer2));
    QCOMPARE(FolderEntries(), QStringList{"old.set"});
}

void CTestSetFile::testFileDenied_data()
{
    QTest::addColumn<bool>("save");
    QTest::addColumn<int>("permissions");
    QTest::addColumn<QString>("message");
    QTest::newRow("load unreadable") << false << int(QFileDevice::WriteOwner)
                                     << QStringLiteral("Unable to read from %1, it is opened by someone else.");
    QTest::newRow("save over read-only")
        << true << int(QFileDevice::ReadOwner)
        << QStringLiteral("Unable to write to %1, it is read-only or opened by someone else.");
}

void CTestSetFile::testFileDenied()
{
    QFETCH(bool, save);
    QFETCH(int, permissions);
    QFETCH(QString, message);
    if (IsRoot())
        QSKIP("root reads and writes every file");
    const QString strPath = Path("denied.set");
    const QByteArray old = *WriteSetFile(SSetFields());
    QVERIFY(WriteAll(strPath, old));
    QVERIFY(QFile::setPermissions(strPath, QFileDevice::Permissions(permissions)));
    SSetFields fields = Sample();
    QString strError;
    QVERIFY(!(save ? SaveSetFile(strPath, fields, &strError) : LoadSetFile(strPath, &fields, &strError)));
    QCOMPARE(strError, message.arg(strPath));
    QVERIFY(fields == Sample());
    QVERIFY(QFile::setPermissions(strPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QCOMPARE(ReadAll(strPath), old);
}

void CTestSetFile::testSaveInReadOnlyFolder()
{
    if (IsRoot())
        QSKIP("root writes into every folder");
    QVERIFY(QDir(m_dir.path()).mkdir("locked"));
    const QString strFolder = Path("locked");
    const QString strPath = strFolder + "/in.set";
    QVERIFY(WriteAll(strPath, QByteArray(100, 'x')));
    QCOMPARE(::chmod(QFile::encodeName(strFolder).constData(), 0555), 0);

    // The file itself is writable: it is rewritten in place.
    QString strError;
    QVERIFY2(SaveSetFile(strPath, Sample(), &strError), qPrintable(strError));
    QCOMPARE(ReadAll(strPath), *WriteSetFile(Sample()));
    QCOMPARE(QDir(strFolder).entryList(QDir::Files | QDir::Hidden), QStringList{"in.set"});

    // A new file cannot be made there.
    const QString strNew = strFolder + "/new.set";
    QVERIFY(!SaveSetFile(strNew, Sample(), &strError));
    QCOMPARE(strError, QStringLiteral("Unable to write to %1, it is read-only or opened by someone else.").arg(strNew));
    QVERIFY(!QFile::exists(strNew));
}

void CTestSetFile::testMessages_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("open");
    QTest::addColumn<QString>("read");
    QTest::addColumn<QString>("create");
    QTest::addColumn<QString>("write");

    const QString strNotFound = kNotFound.arg("f.set");
    const QString strReadDenied = QStringLiteral("Unable to read from f.set, it is opened by someone else.");
    const QString strWriteDenied = QStringLiteral("Unable to write to f.set, it is read-only or opened by someone else.");
    const QString strReadIo = QStringLiteral("An unexpected error occurred while reading f.set.");
    const QString strWriteIo = QStringLiteral("An unexpected error occurred while writing f.set.");
    const QString strFull = QStringLiteral("Destination disk drive is full.");

    QTest::newRow("ENOENT") << ENOENT << strNotFound << strReadIo << strNotFound << strNotFound;
    QTest::newRow("ENOTDIR") << ENOTDIR << strNotFound << strReadIo << strNotFound << strNotFound;
    QTest::newRow("EACCES") << EACCES << strReadDenied << strReadDenied << strWriteDenied << strWriteDenied;
    QTest::newRow("EPERM") << EPERM << strReadDenied << strReadDenied << strWriteDenied << strWriteDenied;
    QTest::newRow("ETXTBSY") << ETXTBSY << strReadDenied << strReadDenied << strWriteDenied << strWriteDenied;
    QTest::newRow("EROFS") << EROFS << QStringLiteral("Failed to open document.") << strReadIo << strWriteDenied
                           << strWriteDenied;
    QTest::newRow("ENOSPC") << ENOSPC << QStringLiteral("Failed to open document.") << strReadIo << strFull << strFull;
    QTest::newRow("EIO") << EIO << strReadIo << strReadIo << strWriteIo << strWriteIo;
    QTest::newRow("ELOOP") << ELOOP << QStringLiteral("Failed to open document.") << strReadIo
                           << QStringLiteral("Invalid filename.") << QStringLiteral("Failed to save document.");
}

void CTestSetFile::testMessages()
{
    QFETCH(int, error);
    QFETCH(QString, open);
    QFETCH(QString, read);
    QFETCH(QString, create);
    QFETCH(QString, write);

    QCOMPARE(SetFileOpenMessage(error, "f.set"), open);
    QCOMPARE(SetFileReadMessage(error, "f.set"), read);
    QCOMPARE(SetFileWriteMessage(EFileWriteStage::Create, error, "f.set"), create);
    QCOMPARE(SetFileWriteMessage(EFileWriteStage::Write, error, "f.set"), write);
}

QTEST_GUILESS_MAIN(CTestSetFile)
#include "tst_setfile.moc"
