// Hostile set-ups, each case repeated with variants: links planted where a
// save goes, plug-ins planted where the library search could reach them,
// pipes and devices given as files, timers at the edge of their period, a
// serial line that must keep DTR low, mode strings with leading zeros and
// file names that look like Qt's options. Each case prints its FIGURE line.

#include "desktoprun.h"
#include "pty.h"
#include "soaksupport.h"
#include "testhost.h"

#include "fileread.h"
#include "profile.h"
#include "serial/serialdevice.h"
#include "setcodec.h"
#include "setfile.h"
#include "setup/serialmode.h"
#include "transferplugin.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kPluginChild[] = "TRELVANE_SOAK_PLUGIN_CHILD";

QByteArray TcpSetup(const QTcpServer& server)
{
    return "TCP:" + QByteArray::number(server.serverPort()) + ",127.0.0.1";
}

// Content and mode of a file, or "missing".
QByteArray FileState(const QString& strPath)
{
    struct stat st {};
    if (::stat(QFile::encodeName(strPath).constData(), &st) != 0)
        return "missing";
    const SFileRead read = ReadFileStart(strPath, 1 << 20);
    return QByteArray::number(st.st_mode & 07777, 8) + ' ' +
           QCryptographicHash::hash(read.m_data, QCryptographicHash::Sha256).toHex();
}

qint64 PeakRssKib()
{
    const SFileRead status = ReadFileStart(QStringLiteral("/proc/self/status"), 8192);
    for (const QByteArray& line : status.m_data.split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

// Sleeps until the monotonic clock is nPhaseMs past a whole second: where
// Qt's coarse timers round their expiry.
void WaitForPhase(int nPhaseMs)
{
    const qint64 nNow = QDeadlineTimer::current().deadline() % 1000;
    std::this_thread::sleep_for(std::chrono::milliseconds((1000 + nPhaseMs - nNow) % 1000));
}

// The time from the clock's start until fnDone holds (at most 5 s).
template <class F>
qint64 TimeUntil(const QElapsedTimer& clock, F fnDone)
{
    soak::WaitFor(fnDone, 5000);
    return clock.elapsed();
}

// The plug-in child: run with LD_LIBRARY_PATH holding ".", an empty and a
// relative entry plus one absolute folder. Prints how many planted copies
// were loaded and whether the one in the absolute folder was.
int PluginChild()
{
    const QByteArrayList listPlanted{"cwdonly", "cwdonly.so", "cwdonly.dll", "C:\\gw\\cwdonly.DLL",
                                     "relonly", "relonly.so", "D:\\x\\relonly.dll"};
    int nLoaded = 0;
    for (const QByteArray& strName : listPlanted)
        nLoaded += CTransferPlugin::Load(strName) ? 1 : 0;
    const bool bAbsolute = bool(CTransferPlugin::Load("absonly"));
    std::printf("names=%d loaded=%d absolute_found=%d\n", int(listPlanted.size()), nLoaded, int(bAbsolute));
    return 0;
}

} // namespace

class TestSoakHostile : public QObject
{
    Q_OBJECT
private slots:
    void savesOverLinks();
    void pluginsPlantedOnTheLibraryPath();
    void filesThatAreNoFiles();
    void timersAtTheirEdge();
    void dtrOffAtEveryOpen();
    void modeStringsWithLeadingZeros();
    void qtOptionsAsFileNames();
};

// Links of every kind where a .set file or the profile is saved: the save
// replaces the link and never touches what it names.
void TestSoakHostile::savesOverLinks()
{
    const int nRounds = int(soak::Count(5, 200));
    QTemporaryDir dir;
    const QString strShared = dir.filePath(QStringLiteral("shared"));
    QVERIFY(QDir().mkdir(strShared));
    QCOMPARE(::chmod(QFile::encodeName(strShared).constData(), 01777), 0);
    const QString strVictim = dir.filePath(QStringLiteral("victim"));
    QVERIFY(QFile(strVictim).open(QIODevice::WriteOnly));
    QCOMPARE(::chmod(QFile::encodeName(strVictim).constData(), 0600), 0);
    const QString strMiddle = dir.filePath(QStringLiteral("middle"));
    QVERIFY(QFile::link(strVictim, strMiddle));
    // Link kinds: to a private file, through a second link, to a device,
    // to a file that does not exist yet.
    const QStringList listTargets{strVictim, strMiddle, QStringLiteral("/dev/null"), dir.filePath(QStringLiteral("new"))};

    int nSaves = 0, nChanged = 0, nReplaced = 0;
    for (int nRound = 0; nRound < nRounds; ++nRound) {
        for (const QString& strTarget : listTargets) {
            for (bool bProfile : {false, true}) {
                const QString strPath = strShared + (bProfile ? QStringLiteral("/trelvane.ini") : QStringLiteral("/plant.set"));
                QFile::remove(strPath);
                QVERIFY(QFile::link(strTarget, strPath));
                const QByteArray before = FileState(strTarget);
                QString strError;
                bool bSaved = false;
                if (bProfile) {
                    CProfile profile(strPath);
                    profile.SetString(QStringLiteral("Serial Ports"), QStringLiteral("COM1"), QStringLiteral("/dev/ttyS0"));
                    bSaved = profile.Save(&strError);
                } else {
                    SSetFields fields;
                    fields.m_strInSetup = "TCP:" + QByteArray::number(nRound) + ",127.0.0.1";
                    bSaved = SaveSetFile(strPath, fields, &strError);
                }
                QVERIFY2(bSaved, qPrintable(strError));
                ++nSaves;
                nChanged += FileState(strTarget) != before ? 1 : 0;
                nReplaced += !QFileInfo(strPath).isSymLink() && FileState(strPath).startsWith("600 ") ? 1 : 0;
            }
        }
    }
    QCOMPARE(nChanged, 0);
    QCOMPARE(nReplaced, nSaves);
    soak::Figure(QStringLiteral("save-symlink"),
                 QStringLiteral("writers=2 link_kinds=%1 saves=%2 targets_changed=%3 links_replaced=%4")
                     .arg(listTargets.size())
                     .arg(nSaves)
                     .arg(nChanged)
                     .arg(nReplaced));
}

// Copies of a plug-in whose constructor records every load, planted in the
// current folder and a relative folder that LD_LIBRARY_PATH names.
void TestSoakHostile::pluginsPlantedOnTheLibraryPath()
{
    QTemporaryDir cwd, abs, logs;
    const QString strPlugin = QStringLiteral(TP_FOUR_PATH);
    QVERIFY(QDir(cwd.path()).mkdir(QStringLiteral("rel")));
    QVERIFY(QFile::copy(strPlugin, cwd.filePath(QStringLiteral("cwdonly.so"))));
    QVERIFY(QFile::copy(strPlugin, cwd.filePath(QStringLiteral("rel/relonly.so"))));
    QVERIFY(QFile::copy(strPlugin, abs.filePath(QStringLiteral("absonly.so"))));
    const QString strLoadLog = logs.filePath(QStringLiteral("loads.log"));

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kPluginChild), QStringLiteral("1"));
    env.insert(QStringLiteral("TP_LOADLOG"), strLoadLog);
    env.insert(QStringLiteral("LD_LIBRARY_PATH"), QStringLiteral(".::rel:") + abs.path());
    env.remove(QStringLiteral("TRELVANE_PLUGIN_PATH"));
    child.setProcessEnvironment(env);
    child.setWorkingDirectory(cwd.path());
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitCode(), 0);
    const QByteArray result = child.readAllStandardOutput().trimmed();
    const int nConstructors = int(ReadFileStart(strLoadLog, 1 << 16).m_data.count('\n'));
    // Only the copy in the absolute folder ran.
    QCOMPARE(nConstructors, 1);
    QVERIFY2(result.contains("loaded=0 absolute_found=1"), result.constData());
    soak::Figure(QStringLiteral("plugin-path"),
                 QStringLiteral("library_path=.::rel:ABS %1 constructors_run_from_planted=%2")
                     .arg(QString::fromLatin1(result))
                     .arg(nConstructors - 1));
}

// Pipes (with and without a writer), endless devices, a folder, a socket,
// and regular files past the bounds, given to both readers.
void TestSoakHostile::filesThatAreNoFiles()
{
    QTemporaryDir dir;
    const QString strFifo = dir.filePath(QStringLiteral("fifo"));
    const QString strHeldFifo = dir.filePath(QStringLiteral("held"));
    QCOMPARE(::mkfifo(QFile::encodeName(strFifo).constData(), 0600), 0);
    QCOMPARE(::mkfifo(QFile::encodeName(strHeldFifo).constData(), 0600), 0);
    // A writer that never writes: a blocking reader would wait for ever.
    const int hWriter = ::open(QFile::encodeName(strHeldFifo).constData(), O_RDWR | O_CLOEXEC);
    QVERIFY(hWriter >= 0);
    const auto closeWriter = qScopeGuard([&] { ::close(hWriter); });
    QLocalServer socket;
    QVERIFY(socket.listen(dir.filePath(QStringLiteral("socket"))));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    // Past the bounds: a profile of 1 MiB + 1 byte, a settings file whose
    // first string is 16 MiB + 1 byte (files of holes, no disk space).
    const QString strBigIni = dir.filePath(QStringLiteral("big.ini"));
    {
        QFile file(strBigIni);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(1024 * 1024 + 1));
    }
    const QString strBigSet = dir.filePath(QStringLiteral("big.set"));
    {
        QFile file(strBigSet);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const quint32 nLength = 16 * 1024 * 1024 + 1;
        QByteArray header("\xff\xff\xff", 3);
        for (int i = 0; i < 4; ++i)
            header.append(char((nLength >> (8 * i)) & 0xff));
        file.write(header);
        QVERIFY(file.seek(header.size() + nLength));
        file.write(WriteSetFile(SSetFields())->mid(1));
    }
    const QStringList listPaths{strFifo, strHeldFifo, QStringLiteral("/dev/zero"), QStringLiteral("/dev/urandom"),
                                dir.filePath(QStringLiteral("folder")), socket.fullServerName(), strBigIni, strBigSet};

    const int nRounds = int(soak::Count(3, 100));
    const qint64 nPeakBefore = PeakRssKib();
    int nReads = 0, nRefused = 0;
    qint64 nMaxUs = 0;
    for (int nRound = 0; nRound < nRounds; ++nRound) {
        for (const QString& strPath : listPaths) {
            QElapsedTimer clock;
            clock.start();
            CProfile profile(strPath);
            QString strError;
            nRefused += profile.Load(&strError) ? 0 : 1;
            SSetFields fields;
            nRefused += LoadSetFile(strPath, &fields, &strError) ? 0 : 1;
            nReads += 2;
            nMaxUs = qMax(nMaxUs, clock.nsecsElapsed() / 1000 / 2);
        }
    }
    // The big profile is the one regular file a .set read takes (its first
    // bytes are ten empty fields); the profile reader refuses it.
    QCOMPARE(nRefused, nReads - nRounds);
    soak::Figure(QStringLiteral("nonregular-files"),
                 QStringLiteral("kinds=%1 reads=%2 refused=%3 loaded_valid=%4 max_ms_per_read=%5 peak_rss_growth_kib=%6")
                     .arg(listPaths.size())
                     .arg(nReads)
                     .arg(nRefused)
                     .arg(nReads - nRefused)
                     .arg(double(nMaxUs) / 1000.0, 0, 'f', 1)
                     .arg(PeakRssKib() - nPeakBefore));
}

// Timers 1, 2 (skip windows) and 3 (restart) started at clock phases where
// coarse timers would fire early; none may end before its period.
void TestSoakHostile::timersAtTheirEdge()
{
    constexpr int kPeriodMs = 1000;
    const int nRuns = int(soak::Count(2, 10));
    QTcpServer inServer, outServer;
    QVERIFY(inServer.listen(QHostAddress::LocalHost) && outServer.listen(QHostAddress::LocalHost));
    SGatewayRig rig;
    rig.doc.m_bNoInInitResponse = 1;
    rig.doc.m_bNoOutInitResponse = 1;
    rig.gateway.SetTimerPeriods(kPeriodMs, kPeriodMs);
    qint64 nMin[3] = {kPeriodMs * 10, kPeriodMs * 10, kPeriodMs * 10};
    qint64 nMax[3] = {0, 0, 0};
    const auto note = [&](int nTimer, qint64 nMs) {
        nMin[nTimer] = qMin(nMin[nTimer], nMs);
        nMax[nTimer] = qMax(nMax[nTimer], nMs);
    };
    for (int nRun = 0; nRun < nRuns; ++nRun) {
        const int nPhase = 100 + (nRun * 97) % 150;
        WaitForPhase(nPhase);
        QElapsedTimer clock;
        clock.start();
        rig.Start(TcpSetup(inServer), TcpSetup(outServer));
        note(0, TimeUntil(clock, [&] { return !rig.gateway.InToOut().IsSkipping(); }));
        note(1, TimeUntil(clock, [&] { return !rig.gateway.OutToIn().IsSkipping(); }));
        std::unique_ptr<QTcpSocket> pIn(inServer.nextPendingConnection());
        std::unique_ptr<QTcpSocket> pOut(outServer.nextPendingConnection());
        QVERIFY(pIn && pOut);
        WaitForPhase(nPhase);
        clock.restart();
        pIn->close();
        note(2, TimeUntil(clock, [&] { return inServer.hasPendingConnections(); }));
        delete inServer.nextPendingConnection();
        QVERIFY(soak::WaitFor([&] { return outServer.hasPendingConnections(); }, 5000));
        delete outServer.nextPendingConnection();
        rig.gateway.RequestStop(true);
    }
    for (qint64 n : nMin)
        QVERIFY2(n >= kPeriodMs, QByteArray::number(n).constData());
    soak::Figure(QStringLiteral("timer-edges"),
                 QStringLiteral("period_ms=%1 runs=%2 timer1_ms=%3..%4 timer2_ms=%5..%6 timer3_ms=%7..%8 early=0")
                     .arg(kPeriodMs)
                     .arg(nRuns)
                     .arg(nMin[0]).arg(nMax[0])
                     .arg(nMin[1]).arg(nMax[1])
                     .arg(nMin[2]).arg(nMax[2]));
}

// Startup / Reset over and over with a serial Input set to dtr=off (and,
// every other time, one without): DTR is lowered before anything else at
// every dtr=off open and never raised. Ptys have no modem lines, so the
// changes are recorded.
void TestSoakHostile::dtrOffAtEveryOpen()
{
    CPty pty;
    QVERIFY(pty.IsValid());
    QByteArrayList listSteps;
    SetSerialLineOverride([&](int, int nLine, bool bOn) {
        listSteps.append(QByteArray(nLine == TIOCM_DTR ? "DTR" : "RTS") + (bOn ? "+" : "-"));
    });
    SetSerialApplyOverride([&](int, const SSerialMode&) {
        listSteps.append("apply");
        return true;
    });
    const auto restore = qScopeGuard([] {
        SetSerialLineOverride({});
        SetSerialApplyOverride({});
    });
    SGatewayRig rig;
    rig.gateway.SetSerialPortMap({{"COM7", pty.m_strSlave}});
    const int nOpens = int(soak::Count(20, 1000));
    int nOffOpens = 0, nLoweredFirst = 0, nRaisedWithOff = 0;
    for (int nOpen = 0; nOpen < nOpens; ++nOpen) {
        const bool bOff = nOpen % 2 == 0;
        listSteps.clear();
        rig.Start(bOff ? "COM7: baud=9600 dtr=off" : "COM7:9600", "TCP:1,127.0.0.1", 1008);
        QVERIFY(rig.gateway.IsInputStarted());
        if (bOff) {
            ++nOffOpens;
            nLoweredFirst += !listSteps.isEmpty() && listSteps.first() == "DTR-" ? 1 : 0;
            nRaisedWithOff += int(listSteps.count("DTR+"));
        }
        rig.gateway.RequestStop(true);
    }
    QCOMPARE(nLoweredFirst, nOffOpens);
    QCOMPARE(nRaisedWithOff, 0);
    soak::Figure(QStringLiteral("serial-dtr-off"),
                 QStringLiteral("opens=%1 dtr_off_opens=%2 lowered_before_settings=%3 raised=%4")
                     .arg(nOpens)
                     .arg(nOffOpens)
                     .arg(nLoweredFirst)
                     .arg(nRaisedWithOff));
}

// Every numeric field of accepted mode strings padded with zeros: the same
// line settings as without them; fields of zeros only stay refused.
void TestSoakHostile::modeStringsWithLeadingZeros()
{
    const QList<QByteArrayList> listModes{{"9600", "n", "8", "1"}, {"110", "n", "5", "1.5"}, {"96", "e", "7", "2"},
                                          {"115200", "o", "8", "1"}, {"250000", "n", "6", "2"}, {"19", "m", "7", "1"}};
    int nPadded = 0, nSame = 0;
    for (const QByteArrayList& fields : listModes) {
        const std::optional<SSerialMode> plain = ParseSerialMode("COM7:" + fields.join(','));
        QVERIFY(plain);
        for (int nZeros = 1; nZeros <= 4; ++nZeros) {
            QByteArrayList padded = fields;
            for (int i : {0, 2, 3})
                padded[i].prepend(QByteArray(nZeros, '0'));
            for (const QByteArray& strSetup : {"COM7:" + padded.join(','),
                                               "COM7: baud=" + padded[0] + " parity=" + padded[1] + " data=" +
                                                   padded[2] + " stop=" + padded[3]}) {
                ++nPadded;
                const std::optional<SSerialMode> mode = ParseSerialMode(strSetup);
                nSame += mode && mode->nBaud == plain->nBaud && mode->tio.c_cflag == plain->tio.c_cflag ? 1 : 0;
            }
        }
    }
    int nZeroRefused = 0;
    const QByteArrayList listZeroOnly{"COM7:0", "COM7:0000", "COM7:9600,n,00,1", "COM7:9600,n,8,00",
                                      "COM7: baud=000", "COM7:110,n,5,00.5"};
    for (const QByteArray& strSetup : listZeroOnly)
        nZeroRefused += ParseSerialMode(strSetup) ? 0 : 1;
    QCOMPARE(nSame, nPadded);
    QCOMPARE(nZeroRefused, int(listZeroOnly.size()));
    soak::Figure(QStringLiteral("mode-leading-zeros"),
                 QStringLiteral("padded=%1 same_as_unpadded=%2 zero_only=%3 refused=%4")
                     .arg(nPadded)
                     .arg(nSame)
                     .arg(listZeroOnly.size())
                     .arg(nZeroRefused));
}

// The desktop program started with a single file name that Qt would take
// as one of its options: the file is opened (the program puts it first in
// its recent-file list).
void TestSoakHostile::qtOptionsAsFileNames()
{
#ifndef TRELVANE_DESKTOP_PATH
    QSKIP("built without the desktop program");
#else
    const QStringList listNames{QStringLiteral("-reverse"), QStringLiteral("-style"), QStringLiteral("-platform"),
                                QStringLiteral("-widgetcount")};
    int nOpened = 0;
    for (const QString& strName : listNames) {
        QTemporaryDir dir;
        QString strError;
        QVERIFY(SaveSetFile(dir.filePath(strName), SSetFields(), &strError));
        nOpened += DesktopOpensFile(QStringLiteral(TRELVANE_DESKTOP_PATH), dir.path(), strName) ? 1 : 0;
    }
    QCOMPARE(nOpened, int(listNames.size()));
    soak::Figure(QStringLiteral("desktop-qt-options"),
                 QStringLiteral("names=%1 opened_as_files=%2 taken_by_qt=%3")
                     .arg(listNames.size())
                     .arg(nOpened)
                     .arg(listNames.size() - nOpened));
#endif
}

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsSet(kPluginChild))
        return PluginChild();
    QCoreApplication app(argc, argv);
    TestSoakHostile test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_soakhostile.moc"
