#include "librarysearch.h"
#include "pluginlog.h"
#include "pluginpath.h"
#include "resources.h"
#include "transferplugin.h"

#define TRELVANE_NO_PROTOTYPES
#include "trelvane_plugin.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <malloc.h>

namespace {

const QString g_strTestDir = QStringLiteral(TP_DIR);
const QString g_strExampleDir = QStringLiteral(TRELVANE_PLUGIN_BUILD_DIR);

QByteArray TestPlugin(const char* pszName)
{
    return QFile::encodeName(g_strTestDir) + '/' + pszName + ".so";
}

QByteArray ExamplePlugin(const char* pszName)
{
    return QFile::encodeName(g_strExampleDir) + '/' + pszName + ".so";
}

// A copy of tp_four under another name in a folder of the test's own.
bool CopyFour(const QTemporaryDir& dir, const char* pszName)
{
    return QFile::copy(QFile::decodeName(TestPlugin("tp_four")), dir.filePath(QLatin1String(pszName) + ".so"));
}

// What the pipeline does with one received block: passes until the plug-in
// stops asking for another one. Returns the sends; *pAfter gets the
// DllAfterSend results.
QList<QByteArray> RunBlock(CTransferPlugin& plugin, const QByteArray& block, QList<int>* pAfter = nullptr)
{
    QList<QByteArray> listSent;
    for (int nPass = 0; nPass < 100; ++nPass) {
        QByteArray copy, error;
        const CTransferPlugin::ETransfer e = plugin.Transfer(block.constData(), int(block.size()), &copy, &error);
        const char* pSent = nullptr;
        int nSent = 0;
        if (e == CTransferPlugin::SendCopy) {
            pSent = copy.constData();
            nSent = int(copy.size());
        } else if (e != CTransferPlugin::SendNothing) {
            pSent = block.constData();
            nSent = int(block.size());
        }
        if (pSent)
            listSent.append(QByteArray(pSent, nSent));
        const int nAgain = plugin.AfterSend(pSent, nSent);
        if (pAfter)
            pAfter->append(nAgain);
        if (nAgain != -1)
            break;
    }
    return listSent;
}

} // namespace

class CTestTransferPlugin : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QString m_strLog;

    QByteArrayList LogLines() const { return ::LogLines(m_strLog); }

private slots:
    void init()
    {
        QVERIFY(m_tmp.isValid());
        m_strLog = m_tmp.filePath(QStringLiteral("calls.log"));
        QFile::remove(m_strLog);
        qputenv("TP_LOG", QFile::encodeName(m_strLog));
        CPluginPath::SetPluginDirs({g_strTestDir, g_strExampleDir});
        // Loading never reports anything by itself: every line is the gateway's.
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    }

    void cleanup()
    {
        ClearPluginScript();
        qunsetenv("TRELVANE_PLUGIN_PATH");
        CPluginPath::SetPluginDirs({});
    }

    void fourExportsAreCalledInOrder()
    {
        auto pPlugin = CTransferPlugin::Load(TestPlugin("tp_four"));
        QVERIFY(pPlugin);
        QCOMPARE(pPlugin->Init("TCP:1025,127.0.0.1"), 0);
        QByteArray copy, error;
        QCOMPARE(pPlugin->Transfer("hello", 5, &copy, &error), CTransferPlugin::SendCopy);
        QCOMPARE(copy, QByteArray("HELLO"));
        QVERIFY(error.isEmpty());
        QCOMPARE(pPlugin->AfterSend(copy.constData(), int(copy.size())), 0);
        QCOMPARE(pPlugin->Quit(), 0);
        // The out-value holds the received count when DllTransfer is called.
        QCOMPARE(LogLines(), QByteArrayList({"a init 18 TCP:1025,127.0.0.1", "a transfer out=5 5 hello",
                                             "a aftersend 5 HELLO", "a quit"}));
    }

    void exportNothingChangesNothing()
    {
        auto pPlugin = CTransferPlugin::Load("nothing");
        QVERIFY(pPlugin);
        QCOMPARE(pPlugin->Init("COM1:9600"), 0);
        QList<int> listAfter;
        QCOMPARE(RunBlock(*pPlugin, "abc\n", &listAfter), QList<QByteArray>{"abc\n"});
        QCOMPARE(listAfter, QList<int>{0});
        QCOMPARE(pPlugin->Quit(), 0);
    }

    void onlyAfterSendIsToldOfEveryBlock()
    {
        auto pPlugin = CTransferPlugin::Load(TestPlugin("tp_aftersend"));
        QVERIFY(pPlugin);
        QCOMPARE(pPlugin->Init("UDP:7"), 0);
        QCOMPARE(RunBlock(*pPlugin, "one"), QList<QByteArray>{"one"});
        QCOMPARE(RunBlock(*pPlugin, "two"), QList<QByteArray>{"two"});
        QCOMPARE(pPlugin->Quit(), 0);
        QCOMPARE(LogLines(), QByteArrayList({"s aftersend 3 one", "s aftersend 3 two"}));
    }

    void transferResults_data()
    {
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("result");
        QTest::addColumn<QByteArray>("bytes"); // copy or error text

        const int nCopy = CTransferPlugin::SendCopy;
        const int nError = CTransferPlugin::TransferError;
        const auto row = [](const char* pszTag, const char* pszMode, const QByteArray& value, int nResult,
                            const QByteArray& bytes) {
            QTest::newRow(pszTag) << QByteArray(pszMode) << value << nResult << bytes;
        };
        row("rewritten", "upper", {}, nCopy, "ABC");
        row("static buffer larger than input", "bigger", {}, nCopy, "abcdefghijklm");
        row("swallowed", "swallow", {}, CTransferPlugin::SendNothing, {});
        row("error text", "text", "checksum wrong", nError, "checksum wrong");
        row("error text cut at 27", "text", "0123456789abcdefghijklmnopqrstuvwxyz", nError,
            "0123456789abcdefghijklmnopq");
        row("unterminated text before unreadable page", "edge", {}, nError, QByteArray(27, 'E'));
        row("error number 5", "value", "5", nError, "bad text 5");
        row("error number 4095", "value", "4095", nError, "bad text 4095");
        row("negative error number", "value", "-3", nError, "bad text -3");
        row("negative count", "count", "-1", nError, "bad count -1");
        row("count above limit", "count", "1048577", nError, "bad count 1048577");
        row("huge count", "count", "4294967296", nError, "bad count 4294967296");
        row("count at limit", "count", "1048576", nCopy, QByteArray(TRELVANE_MAX_TRANSFER_COUNT, 'c'));
        row("count zero sends an empty copy", "count", "0", nCopy, {});
    }

    void transferResults()
    {
        QFETCH(QByteArray, mode);
        QFETCH(QByteArray, value);
        QFETCH(int, result);
        QFETCH(QByteArray, bytes);
        qputenv("TP_TRANSFER", mode);
        qputenv(mode == "text" ? "TP_TEXT" : "TP_OUT", value);

        auto pPlugin = CTransferPlugin::Load(TestPlugin("tp_four"));
        QVERIFY(pPlugin);
        QByteArray copy("stale"), error;
        const CTransferPlugin::ETransfer e = pPlugin->Transfer("abc", 3, &copy, &error);
        QCOMPARE(int(e), result);
        if (result == CTransferPlugin::SendCopy) {
            QCOMPARE(copy.size(), bytes.size());
            QCOMPARE(copy, bytes);
        } else if (result == CTransferPlugin::TransferError) {
            QCOMPARE(error, bytes);
        }
        QVERIFY(error.size() <= TRELVANE_MAX_ERROR_TEXT);
    }

    void afterSendResults_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QList<int>>("results");
        QTest::addColumn<int>("sends");
        QTest::newRow("done at once") << QByteArray() << QList<int>{0} << 1;
        QTest::newRow("-1 once") << QByteArray("-1,0") << QList<int>{-1, 0} << 2;
        QTest::newRow("-1 twice") << QByteArray("-1,-1,0") << QList<int>{-1, -1, 0} << 3;
        QTest::newRow("error code") << QByteArray("7") << QList<int>{7} << 1;
    }

    void afterSendResults()
    {
        QFETCH(QByteArray, script);
        QFETCH(QList<int>, results);
        QFETCH(int, sends);
        qputenv("TP_AFTER", script);
        // Each load starts from the plug-in's initial state: a real unload
        // happened in between, so every round gives the same results.
        for (int nRound = 0; nRound < 2; ++nRound) {
            QFile::remove(m_strLog);
            auto pPlugin = CTransferPlugin::Load(TestPlugin("tp_four"));
            QVERIFY(pPlugin);
            QList<int> listAfter;
            const QList<QByteArray> listSent = RunBlock(*pPlugin, "xy", &listAfter);
            QCOMPARE(listAfter, results);
            QCOMPARE(listSent, QList<QByteArray>(sends, "XY"));
            // Every pass hands DllTransfer the same received block.
            QCOMPARE(LogLines().count("a transfer out=2 2 xy"), sends);
        }
    }

    void initAndQuitResultsAreReturned()
    {
        qputenv("TP_INIT", "5");
        qputenv("TP_QUIT", "-2");
        auto pPlugin = CTransferPlugin::Load(TestPlugin("tp_four"));
        QVERIFY(pPlugin);
        QCOMPARE(pPlugin->Init("COM2:9600,n,8,1"), 5);
        QCOMPARE(pPlugin->Quit(), -2);
        const QByteArray strFile = pPlugin->FileName();
        QVERIFY(IsMapped(strFile));
        pPlugin.reset();
        QVERIFY(!IsMapped(strFile));
    }

    void unknownFileLoadsNothing_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("bare") << QByteArray("no-such-plugin");
        QTest::newRow("dll") << QByteArray("no-such-plugin.dll");
        QTest::newRow("windows path") << QByteArray("C:\\gw\\no-such-plugin.dll");
        QTest::newRow("absolute") << QByteArray("/nonexistent/folder/x.so");
        QTest::newRow("folder only") << QByteArray("C:\\gw\\");
        QTest::newRow("dot dot") << QByteArray("..");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("embedded nul") << QByteArray("lf2crlf\0x", 9);
        QTest::newRow("a folder") << QFile::encodeName(g_strTestDir);
        QTest::newRow("not a library") << QFile::encodeName(m_tmp.filePath(QStringLiteral("text.so")));
    }

    void unknownFileLoadsNothing()
    {
        QFETCH(QByteArray, name);
        QFile text(m_tmp.filePath(QStringLiteral("text.so")));
        QVERIFY(text.open(QIODevice::WriteOnly) && text.write("not an ELF file\n") > 0);
        text.close();
        const int nFds = OpenFdCount();
        QVERIFY(!CTransferPlugin::Load(name));
        QCOMPARE(OpenFdCount(), nFds);
    }

    void nameMapping_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("bare name gets .so") << QByteArray("lf2crlf") << ExamplePlugin("lf2crlf");
        QTest::newRow("bare .so") << QByteArray("lf2crlf.so") << ExamplePlugin("lf2crlf");
        QTest::newRow(".dll tried as .so") << QByteArray("lf2crlf.dll") << ExamplePlugin("lf2crlf");
        QTest::newRow(".DLL any case") << QByteArray("splitlines.DlL") << ExamplePlugin("splitlines");
        QTest::newRow("windows path") << QByteArray("C:\\gw\\lf2crlf.dll") << ExamplePlugin("lf2crlf");
        QTest::newRow("windows path, test folder") << QByteArray("D:\\a\\b\\tp_four.DLL") << TestPlugin("tp_four");
        QTest::newRow("absolute as written") << ExamplePlugin("stripnul") << ExamplePlugin("stripnul");
        QTest::newRow("absolute .dll as .so")
            << QFile::encodeName(g_strExampleDir) + "/stripnul.dll" << ExamplePlugin("stripnul");
    }

    void nameMapping()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, file);
        auto pPlugin = CTransferPlugin::Load(name);
        QVERIFY(pPlugin);
        QCOMPARE(pPlugin->FileName(), file);
    }

    void searchOrder()
    {
        // A copy under the same name in an earlier folder wins.
        QTemporaryDir first;
        QVERIFY(CopyFour(first, "lf2crlf"));
        CPluginPath::SetPluginDirs({first.path(), g_strExampleDir});
        auto pPlugin = CTransferPlugin::Load("lf2crlf.dll");
        QVERIFY(pPlugin);
        QCOMPARE(pPlugin->FileName(), QFile::encodeName(first.filePath(QStringLiteral("lf2crlf.so"))));
        pPlugin.reset();

        // The environment's folders come after the host's; relative entries
        // are ignored.
        QTemporaryDir env;
        QVERIFY(CopyFour(env, "envonly"));
        CPluginPath::SetPluginDirs({});
        qputenv("TRELVANE_PLUGIN_PATH", "relative/dir::" + QFile::encodeName(env.path()));
        QCOMPARE(CPluginPath::PluginDirs().first(), env.path());
        pPlugin = CTransferPlugin::Load("envonly");
        QVERIFY(pPlugin);
        QCOMPARE(pPlugin->FileName(), QFile::encodeName(env.filePath(QStringLiteral("envonly.so"))));
    }

    void resolveNamesTheFileOrEverythingSearched()
    {
        // A file of the name that is no library is passed over, and the
        // first library after it is the one.
        QTemporaryDir first;
        QFile text(first.filePath(QStringLiteral("lf2crlf.so")));
        QVERIFY(text.open(QIODevice::WriteOnly) && text.write("\x7f" "ELF but not really") > 0);
        text.close();
        CPluginPath::SetPluginDirs({first.path(), g_strExampleDir});
        CPluginPath::SResolved resolved = CPluginPath::Resolve("lf2crlf.DLL");
        QCOMPARE(resolved.m_strFile, ExamplePlugin("lf2crlf"));
        QCOMPARE(resolved.m_listSearched.mid(0, 3),
                 QStringList({first.filePath(QStringLiteral("lf2crlf.DLL")), first.filePath(QStringLiteral("lf2crlf.so")),
                              g_strExampleDir + QStringLiteral("/lf2crlf.DLL")}));

        // Not found: every file looked at, each plug-in folder and every
        // absolute folder of the system search, then the loader cache.
        resolved = CPluginPath::Resolve("C:\\gw\\no-such-plugin");
        QVERIFY(!resolved.Found());
        const QStringList& listSearched = resolved.m_listSearched;
        QCOMPARE(listSearched.mid(0, 2), QStringList({first.filePath(QStringLiteral("no-such-plugin")),
                                                      first.filePath(QStringLiteral("no-such-plugin.so"))}));
        QVERIFY(listSearched.contains(g_strExampleDir + QStringLiteral("/no-such-plugin.so")));
        const QStringList listSystem = CLibrarySearch::Folders();
        QVERIFY(!listSystem.isEmpty());
        for (const QString& strFolder : listSystem)
            QVERIFY2(listSearched.contains(strFolder + QStringLiteral("/no-such-plugin.so")), qPrintable(strFolder));
        QCOMPARE(listSearched.last(), CLibrarySearch::CacheFile());
        for (const QString& strFile : listSearched)
            QVERIFY2(strFile.startsWith(u'/'), qPrintable(strFile));

        // A name with "/" looks at that file and its ".so" form only.
        resolved = CPluginPath::Resolve("sub/none.dll");
        QCOMPARE(resolved.m_listSearched, QStringList({QStringLiteral("sub/none.dll"), QStringLiteral("sub/none.so")}));
    }

    void loaderCacheIsRead()
    {
        if (!QFile::exists(CLibrarySearch::CacheFile()))
            QSKIP("this system has no loader cache");
        // Every glibc system lists its C library there.
        const QStringList listFiles = CLibrarySearch::CacheFiles("libc.so.6");
        QVERIFY(!listFiles.isEmpty());
        QVERIFY(CLibrarySearch::IsLoadable(listFiles.first()));
        QVERIFY(CLibrarySearch::CacheFiles("no-such-library.so.0").isEmpty());
    }

    void currentFolderIsNeverSearched()
    {
        QTemporaryDir cwd;
        QVERIFY(CopyFour(cwd, "cwdonly"));
        const QString strOld = QDir::currentPath();
        QVERIFY(QDir::setCurrent(cwd.path()));
        CPluginPath::SetPluginDirs({});
        for (const QByteArray& strName : {QByteArray("cwdonly"), QByteArray("cwdonly.so"), QByteArray("cwdonly.dll"),
                                          QByteArray("C:\\gw\\cwdonly.dll")})
            QVERIFY2(!CTransferPlugin::Load(strName), strName.constData());
        // With a "/" the name is used as written, relative to the current folder.
        const bool bLoaded = bool(CTransferPlugin::Load("./cwdonly.dll"));
        QVERIFY(QDir::setCurrent(strOld));
        QVERIFY(bLoaded);
    }

    // The system search by bare name could reach the current folder through
    // a ".", empty or relative entry of LD_LIBRARY_PATH, which the loader
    // reads only at start: so this runs in a child of this test with such
    // entries. Nothing found there may even be loaded: its constructor would
    // run before any refusal.
    void currentFolderNeverReachedThroughLibraryPath()
    {
        if (qEnvironmentVariableIsSet("TP_CHILD")) {
            CPluginPath::SetPluginDirs({});
            for (const QByteArray& strName : {QByteArray("cwdonly.so"), QByteArray("cwdonly"), QByteArray("relonly"),
                                              QByteArray("C:\\gw\\relonly.dll")})
                QVERIFY2(!CTransferPlugin::Load(strName), strName.constData());
            QVERIFY2(::LogLines(qEnvironmentVariable("TP_LOADLOG")).isEmpty(),
                     ::LogLines(qEnvironmentVariable("TP_LOADLOG")).join(' ').constData());
            // An absolute entry is searched as before.
            auto pPlugin = CTransferPlugin::Load("absonly");
            QVERIFY(pPlugin);
            QCOMPARE(::LogLines(qEnvironmentVariable("TP_LOADLOG")), QByteArrayList{"a loaded"});
            return;
        }
        QTemporaryDir cwd, abs;
        QVERIFY(CopyFour(cwd, "cwdonly"));
        QVERIFY(QDir(cwd.path()).mkdir(QStringLiteral("rel")));
        QVERIFY(QFile::copy(QFile::decodeName(TestPlugin("tp_four")), cwd.filePath(QStringLiteral("rel/relonly.so"))));
        QVERIFY(CopyFour(abs, "absonly"));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TP_CHILD"), QStringLiteral("1"));
        env.insert(QStringLiteral("TP_LOADLOG"), m_tmp.filePath(QStringLiteral("load.log")));
        env.insert(QStringLiteral("LD_LIBRARY_PATH"), QStringLiteral(".::rel:") + abs.path());
        child.setProcessEnvironment(env);
        child.setWorkingDirectory(cwd.path());
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("currentFolderNeverReachedThroughLibraryPath")});
        QVERIFY(child.waitForFinished(60000));
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 child.readAllStandardOutput().constData());
    }

    void examplePlugins_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArrayList>("blocks");
        QTest::addColumn<QByteArrayList>("sends");

        const auto row = [](const char* pszTag, const char* pszName, const QByteArrayList& blocks,
                            const QByteArrayList& sends) {
            QTest::newRow(pszTag) << QByteArray(pszName) << blocks << sends;
        };
        row("lf2crlf", "lf2crlf", {"a\nb\r\nc\n"}, {"a\r\nb\r\nc\r\n"});
        row("lf2crlf pair across blocks", "lf2crlf", {"x\r", "\ny", "\n"}, {"x\r", "\ny", "\r\n"});
        row("lf2crlf empty block", "lf2crlf", {""}, {""});
        row("splitlines", "splitlines", {"one\ntwo\nthree"}, {"one\n", "two\n", "three"});
        row("splitlines line end last", "splitlines", {"a\n\n", "b"}, {"a\n", "\n", "b"});
        row("splitlines empty block", "splitlines", {"", "z\n"}, {"z\n"});
        row("stripnul", "stripnul", {QByteArray("a\0b\0", 4)}, {"ab"});
        row("stripnul swallows", "stripnul", {QByteArray(3, '\0'), "", "k"}, {"k"});
    }

    void examplePlugins()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArrayList, blocks);
        QFETCH(QByteArrayList, sends);
        auto pPlugin = CTransferPlugin::Load(name + ".dll");
        QVERIFY(pPlugin);
        QCOMPARE(pPlugin->Init("TCP:1025,127.0.0.1"), 0);
        QByteArrayList listSent;
        for (const QByteArray& block : std::as_const(blocks))
            listSent += RunBlock(*pPlugin, block);
        QCOMPARE(listSent, sends);
        QCOMPARE(pPlugin->Quit(), 0);
    }

    void splitlinesFinishesANestedBlockFirst()
    {
        auto pPlugin = CTransferPlugin::Load("splitlines");
        QVERIFY(pPlugin);
        const QByteArray outer("o1\no2\n");
        QByteArray copy, error;
        QCOMPARE(pPlugin->Transfer(outer.constData(), int(outer.size()), &copy, &error), CTransferPlugin::SendCopy);
        QCOMPARE(copy, QByteArray("o1\n"));
        // A new block arrives while the first piece's send waits.
        QCOMPARE(RunBlock(*pPlugin, "n1\nn2"), QList<QByteArray>({"n1\n", "n2"}));
        QCOMPARE(pPlugin->AfterSend(copy.constData(), int(copy.size())), -1);
        QCOMPARE(pPlugin->Transfer(outer.constData(), int(outer.size()), &copy, &error), CTransferPlugin::SendCopy);
        QCOMPARE(copy, QByteArray("o2\n"));
        QCOMPARE(pPlugin->AfterSend(copy.constData(), int(copy.size())), 0);
    }

    void thousandLoadUnloadCyclesLeakNothing()
    {
        qunsetenv("TP_LOG");
        const QByteArrayList listNames{"lf2crlf", TestPlugin("tp_four"), "stripnul"};
        auto Cycle = [&](int n) {
            auto pPlugin = CTransferPlugin::Load(listNames[n % listNames.size()]);
            if (!pPlugin || pPlugin->Init("TCP:1025,127.0.0.1") != 0)
                return false;
            if (RunBlock(*pPlugin, "line\n").size() != 1)
                return false;
            return pPlugin->Quit() == 0;
        };
        // Warm up: the loader and malloc settle their own tables first.
        for (int n = 0; n < 30; ++n)
            QVERIFY(Cycle(n));
        const int nFds = OpenFdCount();
        const size_t nHeap = mallinfo2().uordblks;
        for (int n = 0; n < 1000; ++n) {
            QVERIFY(Cycle(n));
            if (n % 100 == 0)
                QVERIFY(!IsMapped(ExamplePlugin("lf2crlf")));
        }
        QCOMPARE(OpenFdCount(), nFds);
        for (const QByteArray& strFile : {ExamplePlugin("lf2crlf"), TestPlugin("tp_four"), ExamplePlugin("stripnul")})
            QVERIFY2(!IsMapped(strFile), strFile.constData());
        // Even 64 bytes a cycle would show up here (zero under ASan, which
        // keeps its own books).
        const size_t nGrowth = mallinfo2().uordblks - nHeap;
        QVERIFY2(mallinfo2().uordblks < nHeap || nGrowth < 16 * 1024, QByteArray::number(qulonglong(nGrowth)));
    }
};

QTEST_GUILESS_MAIN(CTestTransferPlugin)
#include "tst_transferplugin.moc"
