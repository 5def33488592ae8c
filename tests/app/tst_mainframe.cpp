#include "desktoprun.h"
#include "dialogunits.h"
#include "gateway.h"
#include "mainframe.h"
#include "modal.h"
#include "shellnames.h"
#include "trafficwindow.h"
#include "trelvaneapp.h"
#include "trelvaneview.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using B = QMessageBox::StandardButton;

const QString kAppTitle = QStringLiteral("Halvoren Windows Application");

// One application run with its own profile in a temporary folder.
struct SAppRun
{
    QTemporaryDir dir;
    std::unique_ptr<CTrelvaneApp> pApp;
    QStringList proposed; // names Save As proposed
    QString strSaveAnswer;
    QString strOpenAnswer;

    QString ProfilePath() const { return dir.filePath(QStringLiteral("config/trelvane.ini")); }
    QString Path(const QString& strName) const { return dir.filePath(strName); }

    bool Start(const QStringList& args = {})
    {
        pApp = std::make_unique<CTrelvaneApp>(QStringList{"trelvane"} + args, ProfilePath());
        const bool bOk = pApp->InitInstance();
        if (bOk)
            Hook();
        return bOk;
    }
    void Hook()
    {
        Frame()->m_fnPromptSaveName = [this](const QString& strProposed) {
            proposed << strProposed;
            return strSaveAnswer;
        };
        Frame()->m_fnPromptOpenName = [this] { return strOpenAnswer; };
    }
    CMainFrame* Frame() const { return pApp->MainFrame(); }
    CTrelvaneDoc& Doc() const { return pApp->Document(); }
    QString Field(int nId) const
    {
        return qobject_cast<QLineEdit*>(DialogItem(Frame()->View(), nId))->text();
    }
    QString WriteSet(const QString& strName, const QByteArray& strInSetup) const
    {
        CTrelvaneDoc doc;
        doc.m_strInSetup = strInSetup;
        QString strError;
        const QString strPath = Path(strName);
        return doc.OnSaveDocument(strPath, &strError) ? strPath : QString();
    }
    void Edit(const QByteArray& strInSetup) const
    {
        Doc().m_strInSetup = strInSetup;
        Doc().SetModifiedFlag(true);
    }
};

QByteArray ReadAll(const QString& strPath)
{
    QFile file(strPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray FileSetup(const QString& strPath)
{
    CTrelvaneDoc doc;
    QString strError;
    return doc.OnOpenDocument(strPath, &strError) ? doc.m_strInSetup : QByteArray("<unreadable>");
}

} // namespace

class TestMainFrame : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void startNoFile();
    void startWithFile_data();
    void startWithFile();
    void startWithBadFile();
    void qtOptionsAreFileNames();
    void menus();
    void menuCommandsOpenTheirDialogs_data();
    void menuCommandsOpenTheirDialogs();
    void recentFiveFiles();
    void recentEntryRemovedOnlyWhenOpenFails();
    void savePrompt_data();
    void savePrompt();
    void closePrompt_data();
    void closePrompt();
    void saveAsProposal_data();
    void saveAsProposal();
    void saveOfReadOnlyFileAsksForName();
    void failedSaveAsLeavesNoFile();
    void failureMessages_data();
    void failureMessages();
    void alreadyOpenOnlyRaises();
    void multiFileDrop();
    void closeStopsGateway();
    void exitNotHeldByGatewayBox();
    void traceToFileAndTrafficWindow();
    void screenshot();
};

void TestMainFrame::cleanup()
{
    QVERIFY(!QApplication::activeModalWidget());
}

void TestMainFrame::startNoFile()
{
    SAppRun run;
    CBoxAnswerer boxes;
    QVERIFY(run.Start());
    QCOMPARE(run.Frame()->windowTitle(), QStringLiteral("Tevrin - Halvoren Windows Application"));
    for (int nId : {1002, 1003, 1004, 1005, 1006, 1007})
        QCOMPARE(run.Field(nId), QString());
    QVERIFY(!run.Doc().IsModified());
    QVERIFY(run.Doc().GetPathName().isEmpty());
    QVERIFY(run.pApp->RecentFileList().Files().isEmpty());
    QVERIFY(boxes.m_texts.isEmpty());
    QVERIFY(run.Frame()->acceptDrops());
}

void TestMainFrame::startWithFile_data()
{
    QTest::addColumn<QStringList>("args"); // {path} stands for the file's folder
    QTest::addColumn<QString>("name");
    QTest::newRow("one argument") << QStringList{"{dir}/gw.set"} << "gw.set";
    QTest::newRow("split at blanks") << QStringList{"{dir}/my", "gate", "way.set"} << "my gate way.set";
    QTest::newRow("quoted") << QStringList{"\"{dir}/my gate.set\""} << "my gate.set";
}

void TestMainFrame::startWithFile()
{
    QFETCH(QStringList, args);
    QFETCH(QString, name);
    SAppRun run;
    const QString strPath = run.WriteSet(name, "TCP:1025,127.0.0.1");
    QVERIFY(!strPath.isEmpty());
    args.replaceInStrings(QStringLiteral("{dir}"), run.dir.path());
    CBoxAnswerer boxes;
    QVERIFY(run.Start(args));
    QVERIFY2(boxes.m_texts.isEmpty(), qPrintable(boxes.m_texts.join('|')));
    QCOMPARE(run.Frame()->windowTitle(), name + " - " + kAppTitle);
    QCOMPARE(run.Doc().GetPathName(), strPath);
    QCOMPARE(run.Field(1002), QStringLiteral("TCP:1025,127.0.0.1"));
    QCOMPARE(run.pApp->RecentFileList().Files(), QStringList{strPath});
    QVERIFY(ReadAll(run.ProfilePath()).contains("[Recent File List]\nFile1=" + strPath.toUtf8() + "\n"));
}

void TestMainFrame::startWithBadFile()
{
    SAppRun run;
    const QString strPath = run.Path(QStringLiteral("missing file.set"));
    CBoxAnswerer boxes({B::Ok});
    QVERIFY(run.Start({strPath}));
    QCOMPARE(boxes.m_texts,
             QStringList{strPath + "\nCannot find this file.\nPlease verify that the correct path and "
                                   "file name are given."});
    QCOMPARE(boxes.m_captions, QStringList{kAppTitle});
    // The program goes on with a new document.
    QCOMPARE(run.Frame()->windowTitle(), "Tevrin - " + kAppTitle);
    QVERIFY(run.pApp->RecentFileList().Files().isEmpty());
    QCOMPARE(boxes.m_nUnexpected, 0);
}

// Spot checks: the three menus, a shortcut, the greyed recent entry, and
// a command in each later menu.
// The program has no options: a file named like one of Qt's own options
// (-reverse mirrors the whole window) is opened as a file. Runs the real
// program, which records the file it opened in its profile.
void TestMainFrame::qtOptionsAreFileNames()
{
    QTemporaryDir dir;
    QString strError;
    CTrelvaneDoc doc;
    QVERIFY(doc.OnSaveDocument(dir.filePath(QStringLiteral("-reverse")), &strError));
    QVERIFY(DesktopOpensFile(QStringLiteral(TRELVANE_PATH), dir.path(), QStringLiteral("-reverse")));
}

void TestMainFrame::menus()
{
    SAppRun run;
    QVERIFY(run.Start());
    QStringList menus;
    for (QAction* pMenu : run.Frame()->menuBar()->actions())
        menus << pMenu->text();
    QCOMPARE(menus, (QStringList{"&File", "&Setup", "&View", "&Help"}));
    auto InMenu = [&](int nId, int nMenu) {
        QAction* pAction = run.Frame()->Command(nId);
        return pAction && run.Frame()->menuBar()->actions().at(nMenu)->menu()->actions().contains(pAction);
    };
    QVERIFY(InMenu(57600, 0) && InMenu(57665, 0) && InMenu(32773, 1) && InMenu(57664, 3));
    QVERIFY(InMenu(CMainFrame::ID_VIEW_TRAFFIC, 2) && InMenu(CMainFrame::ID_VIEW_TRACE_TO_FILE, 2));
    QCOMPARE(run.Frame()->Command(57601)->shortcut().toString(), QStringLiteral("Ctrl+O"));
    QCOMPARE(run.Frame()->Command(32773)->text(), QStringLiteral("S&tartup Option"));
    QVERIFY(!run.Frame()->Command(57616)->isEnabled()); // greyed while the list is empty
}

void TestMainFrame::menuCommandsOpenTheirDialogs_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("caption");
    QTest::newRow("input setup") << 32771 << "Input/Output Port Setup";
    QTest::newRow("output setup") << 32772 << "Input/Output Port Setup";
    QTest::newRow("startup option") << 32773 << "Startup Option Dialog";
    QTest::newRow("about") << 57664 << "About TRELVANE";
}

void TestMainFrame::menuCommandsOpenTheirDialogs()
{
    QFETCH(int, id);
    QFETCH(QString, caption);
    SAppRun run;
    QVERIFY(run.Start());
    QString strSeen;
    CModalWatcher watcher([&](QWidget* pModal) {
        strSeen = pModal->windowTitle();
        if (auto* pDialog = qobject_cast<QDialog*>(pModal))
            pDialog->reject();
    });
    run.Frame()->Command(id)->trigger();
    QCOMPARE(strSeen, caption);
    QVERIFY(!run.Doc().IsModified()); // cancelled: nothing changes
}

void TestMainFrame::recentFiveFiles()
{
    SAppRun run;
    QVERIFY(run.Start());
    QStringList paths;
    for (int i = 1; i <= 5; ++i) {
        paths << run.WriteSet(QStringLiteral("file%1.set").arg(i), "COM1:9600");
        QCOMPARE(run.Frame()->OpenDocumentFile(paths.last()), CMainFrame::EOpenResult::Opened);
    }
    const QStringList expected {paths[4], paths[3], paths[2], paths[1]};
    QCOMPARE(run.pApp->RecentFileList().Files(), expected);
    // Reopening a listed file moves it to the top.
    QCOMPARE(run.Frame()->OpenDocumentFile(paths[2]), CMainFrame::EOpenResult::Opened);
    QCOMPARE(run.pApp->RecentFileList().Files(), (QStringList{paths[2], paths[4], paths[3], paths[1]}));

    // Menu entries in that order, shortened to 30 characters, placeholder gone.
    QVERIFY(!run.Frame()->Command(57616)->text().contains("Recent File"));
    for (int i = 0; i < 4; ++i) {
        QAction* pEntry = run.Frame()->Command(57616 + i);
        QVERIFY(pEntry && pEntry->isVisible());
        const QString strText = pEntry->text().mid(3).replace("&&", "&");
        QVERIFY2(strText.size() <= 30, qPrintable(strText));
        QCOMPARE(pEntry->text().left(3), QStringLiteral("&%1 ").arg(i + 1));
        QVERIFY(strText.endsWith(QFileInfo(run.pApp->RecentFileList().Files()[i]).fileName()));
    }

    // The profile holds the literal section, and a new run reads it back.
    const QByteArray profile = ReadAll(run.ProfilePath());
    QByteArray strSection = "[Recent File List]\n";
    const QStringList now = run.pApp->RecentFileList().Files();
    for (int i = 0; i < 4; ++i)
        strSection += "File" + QByteArray::number(i + 1) + "=" + now[i].toUtf8() + "\n";
    QVERIFY2(profile.contains(strSection), profile.constData());
    run.pApp.reset();
    CTrelvaneApp again({"trelvane"}, run.ProfilePath());
    QVERIFY(again.InitInstance());
    QCOMPARE(again.RecentFileList().Files(), now);
    QCOMPARE(again.MainFrame()->Command(57617)->text().mid(3), AbbreviatePath(now[1]));
}

void TestMainFrame::recentEntryRemovedOnlyWhenOpenFails()
{
    SAppRun run;
    QVERIFY(run.Start());
    const QString strA = run.WriteSet(QStringLiteral("a.set"), "A");
    const QString strB = run.WriteSet(QStringLiteral("b.set"), "B");
    QCOMPARE(run.Frame()->OpenDocumentFile(strA), CMainFrame::EOpenResult::Opened);
    QCOMPARE(run.Frame()->OpenDocumentFile(strB), CMainFrame::EOpenResult::Opened);
    QCOMPARE(run.pApp->RecentFileList().Files(), (QStringList{strB, strA}));

    // Cancel at the save question keeps the entry.
    run.Edit("changed");
    {
        CBoxAnswerer boxes({B::Cancel});
        run.Frame()->Command(57617)->trigger();
        QCOMPARE(boxes.m_texts, QStringList{"Save changes to b.set?"});
    }
    QCOMPARE(run.pApp->RecentFileList().Files(), (QStringList{strB, strA}));
    QCOMPARE(run.Doc().GetPathName(), strB);
    QVERIFY(run.Doc().IsModified());

    // A file that fails to open leaves the list.
    run.Doc().SetModifiedFlag(false);
    QVERIFY(QFile::remove(strA));
    {
        CBoxAnswerer boxes({B::Ok});
        run.Frame()->Command(57617)->trigger();
        QCOMPARE(boxes.m_texts.size(), 1);
        QVERIFY(boxes.m_texts.front().contains("Cannot find this file."));
    }
    QCOMPARE(run.pApp->RecentFileList().Files(), QStringList{strB});
    QVERIFY(!run.Frame()->Command(57617)->isVisible());
    QVERIFY(!ReadAll(run.ProfilePath()).contains("a.set"));
    QCOMPARE(run.Doc().GetPathName(), strB);
}

void TestMainFrame::savePrompt_data()
{
    QTest::addColumn<bool>("open"); // the action: Open, else New
    QTest::addColumn<QString>("answer");
    for (bool bOpen : {false, true}) {
        const char* pszAction = bOpen ? "open" : "new";
        for (const char* pszAnswer : {"yes", "yes, save fails", "yes, name cancelled", "no", "cancel"})
            QTest::addRow("%s %s", pszAction, pszAnswer) << bOpen << QString::fromLatin1(pszAnswer);
    }
}

void TestMainFrame::savePrompt()
{
    QFETCH(bool, open);
    QFETCH(QString, answer);
    SAppRun run;
    QVERIFY(run.Start());
    const QString strOther = run.WriteSet(QStringLiteral("other.set"), "from file");
    run.strOpenAnswer = strOther;
    run.Edit("edited");
    const QString strSaved = run.Path(QStringLiteral("saved.set"));
    run.strSaveAnswer = answer == "yes, save fails" ? run.Path(QStringLiteral("no/such/folder.set"))
                        : answer == "yes, name cancelled" ? QString()
                                                          : strSaved;

    QList<B> answers {answer.startsWith("yes") ? B::Yes : answer == "no" ? B::No : B::Cancel};
    if (answer == "yes, save fails")
        answers << B::Ok;
    CBoxAnswerer boxes(answers);
    run.Frame()->Command(open ? 57601 : 57600)->trigger();

    QCOMPARE(boxes.m_texts.value(0), QStringLiteral("Save changes to Tevrin?"));
    QCOMPARE(boxes.m_captions.value(0), kAppTitle);
    QCOMPARE(boxes.m_nUnexpected, 0);
    const bool bSaved = answer == "yes";
    const bool bGoesOn = bSaved || answer == "no";
    QCOMPARE(QFile::exists(strSaved), bSaved);
    if (bSaved)
        QCOMPARE(FileSetup(strSaved), QByteArray("edited"));
    if (answer == "yes, save fails") {
        QCOMPARE(boxes.m_texts.size(), 2);
        QVERIFY2(boxes.m_texts[1].contains("Cannot find this file."), qPrintable(boxes.m_texts[1]));
        QVERIFY(!QFileInfo::exists(run.Path(QStringLiteral("no"))));
    } else {
        QCOMPARE(boxes.m_texts.size(), 1);
    }
    if (!bGoesOn) {
        // Everything as it was.
        QCOMPARE(run.Doc().m_strInSetup, QByteArray("edited"));
        QVERIFY(run.Doc().IsModified());
        QVERIFY(run.Doc().GetPathName().isEmpty());
        QCOMPARE(run.Frame()->windowTitle(), "Tevrin - " + kAppTitle);
        return;
    }
    QVERIFY(!run.Doc().IsModified());
    if (open) {
        QCOMPARE(run.Doc().GetPathName(), strOther);
        QCOMPARE(run.Doc().m_strInSetup, QByteArray("from file"));
        QCOMPARE(run.Field(1002), QStringLiteral("from file"));
    } else {
        // New keeps the settings and makes the document untitled.
        QCOMPARE(run.Doc().GetPathName(), QString());
        QCOMPARE(run.Doc().m_strInSetup, QByteArray("edited"));
        QCOMPARE(run.Frame()->windowTitle(), "Tevrin - " + kAppTitle);
    }
}

void TestMainFrame::closePrompt_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("closed");
    QTest::newRow("yes") << int(B::Yes) << true;
    QTest::newRow("no") << int(B::No) << true;
    QTest::newRow("cancel") << int(B::Cancel) << false;
}

void TestMainFrame::closePrompt()
{
    QFETCH(int, answer);
    QFETCH(bool, closed);
    SAppRun run;
    const QString strPath = run.WriteSet(QStringLiteral("gw.set"), "old");
    QVERIFY(run.Start({strPath}));
    run.Frame()->show();
    QVERIFY(QTest::qWaitForWindowExposed(run.Frame()));
    run.Edit("new");
    CBoxAnswerer boxes({B(answer)});
    run.Frame()->Command(57665)->trigger(); // File Exit
    QCOMPARE(boxes.m_texts, QStringList{"Save changes to gw.set?"});
    if (closed)
        QTRY_VERIFY(!run.Frame()->isVisible());
    else
        QVERIFY(run.Frame()->isVisible());
    QCOMPARE(FileSetup(strPath), QByteArray(answer == int(B::Yes) ? "new" : "old"));
    QCOMPARE(run.proposed.size(), 0); // Save wrote to the file without asking
}

void TestMainFrame::saveAsProposal_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("proposed");
    QTest::newRow("untitled") << "" << "Tevrin.set";
    QTest::newRow("long title") << "Gateway North" << "Gateway.set";
    QTest::newRow("cut at hash") << "Line#2" << "Line.set";
    QTest::newRow("own file") << "{file}" << "{file}";
}

void TestMainFrame::saveAsProposal()
{
    QFETCH(QString, title);
    QFETCH(QString, proposed);
    SAppRun run;
    QVERIFY(run.Start());
    if (title == "{file}") {
        const QString strPath = run.WriteSet(QStringLiteral("plant.set"), "x");
        QCOMPARE(run.Frame()->OpenDocumentFile(strPath), CMainFrame::EOpenResult::Opened);
        proposed = strPath;
    } else if (!title.isEmpty()) {
        run.Doc().SetTitle(title);
    }
    run.strSaveAnswer.clear(); // the user cancels the dialog
    run.Frame()->Command(57604)->trigger();
    QCOMPARE(run.proposed, QStringList{proposed});

    // Untitled Save asks as Save As does; answering saves under that name.
    if (title == "") {
        run.strSaveAnswer = run.Path(QStringLiteral("chosen.set"));
        run.Edit("kept");
        run.Frame()->Command(57603)->trigger();
        QCOMPARE(run.proposed.size(), 2);
        QCOMPARE(FileSetup(run.Path(QStringLiteral("chosen.set"))), QByteArray("kept"));
        QCOMPARE(run.Frame()->windowTitle(), "chosen.set - " + kAppTitle);
        QCOMPARE(run.pApp->RecentFileList().Files().value(0), run.Path(QStringLiteral("chosen.set")));
        QVERIFY(!run.Doc().IsModified());
    }
}

void TestMainFrame::saveOfReadOnlyFileAsksForName()
{
    if (::geteuid() == 0)
        QSKIP("root may write read-only files");
    SAppRun run;
    const QString strPath = run.WriteSet(QStringLiteral("locked.set"), "x");
    QVERIFY(run.Start({strPath}));
    QVERIFY(QFile::setPermissions(strPath, QFile::ReadOwner));
    run.Frame()->Command(57603)->trigger();
    QCOMPARE(run.proposed, QStringList{strPath});
}

void TestMainFrame::failedSaveAsLeavesNoFile()
{
    SAppRun run;
    QVERIFY(run.Start());
    // The chosen name is a folder: the write fails after a file was begun.
    QDir work(run.Path(QStringLiteral("work")));
    QVERIFY(work.mkpath(QStringLiteral("target.set/inner")));
    run.Edit("x");
    run.strSaveAnswer = work.filePath(QStringLiteral("target.set"));
    CBoxAnswerer boxes({B::Ok});
    run.Frame()->Command(57604)->trigger();
    QCOMPARE(boxes.m_texts.size(), 1);
    QCOMPARE(work.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{"target.set"});
    QVERIFY(QFileInfo(work.filePath(QStringLiteral("target.set"))).isDir());
    QVERIFY(run.Doc().IsModified());
    QVERIFY(run.Doc().GetPathName().isEmpty());
    QVERIFY(run.pApp->RecentFileList().Files().isEmpty());
}

void TestMainFrame::failureMessages_data()
{
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QString>("message"); // %1: the file's path
    QTest::newRow("missing") << "missing"
                             << "%1\nCannot find this file.\nPlease verify that the correct path and file "
                                "name are given.";
    QTest::newRow("truncated") << "truncated" << "Unexpected file format.";
    QTest::newRow("empty") << "empty" << "Unexpected file format.";
    QTest::newRow("folder") << "folder" << "Failed to open document.";
    QTest::newRow("unreadable") << "unreadable" << "Unable to read from %1, it is opened by someone else.";
    QTest::newRow("read-only") << "read-only"
                               << "Unable to write to %1, it is read-only or opened by someone else.";
}

void TestMainFrame::failureMessages()
{
    QFETCH(QString, cause);
    QFETCH(QString, message);
    if ((cause == "unreadable" || cause == "read-only") && ::geteuid() == 0)
        QSKIP("root ignores file permissions");
    SAppRun run;
    QVERIFY(run.Start());
    const QString strPath = run.Path(QStringLiteral("case.set"));
    const auto write = [&](const QByteArray& data) {
        QFile file(strPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(data);
    };
    if (cause == "truncated")
        write(QByteArray(10, '\0') + "\xF0\x03\x00"); // the 14-byte file short by one
    else if (cause == "empty")
        write(QByteArray());
    else if (cause == "folder")
        QVERIFY(QDir().mkpath(strPath));
    else if (cause == "unreadable" || cause == "read-only")
        write(QByteArray(10, '\0') + QByteArray("\xF0\x03\x00\x00", 4));
    if (cause == "unreadable")
        QVERIFY(QFile::setPermissions(strPath, QFile::WriteOwner));
    if (cause == "read-only")
        QVERIFY(QFile::setPermissions(strPath, QFile::ReadOwner));

    run.Edit("before");
    run.Doc().SetModifiedFlag(false);
    CBoxAnswerer boxes({B::Ok});
    if (cause == "read-only") {
        run.strSaveAnswer = strPath;
        QVERIFY(!run.Frame()->DoSave(QString()));
    } else {
        QCOMPARE(run.Frame()->OpenDocumentFile(strPath), CMainFrame::EOpenResult::Failed);
    }
    QCOMPARE(boxes.m_texts, QStringList{message.arg(strPath)});
    QCOMPARE(boxes.m_captions, QStringList{kAppTitle});
    // The document stays as it was.
    QCOMPARE(run.Doc().m_strInSetup, QByteArray("before"));
    QVERIFY(run.Doc().GetPathName().isEmpty());
    QCOMPARE(run.Frame()->windowTitle(), "Tevrin - " + kAppTitle);
    QVERIFY(run.pApp->RecentFileList().Files().isEmpty());
}

void TestMainFrame::alreadyOpenOnlyRaises()
{
    SAppRun run;
    const QString strPath = run.WriteSet(QStringLiteral("gw.set"), "on disk");
    QVERIFY(run.Start({strPath}));
    run.Edit("in memory");
    CBoxAnswerer boxes;
    const QString strOther = QDir(run.dir.path()).filePath(QStringLiteral("./sub/../gw.set"));
    QCOMPARE(run.Frame()->OpenDocumentFile(strOther), CMainFrame::EOpenResult::AlreadyOpen);
    QCOMPARE(run.Frame()->OpenDocumentFile(strPath), CMainFrame::EOpenResult::AlreadyOpen);
    QVERIFY(boxes.m_texts.isEmpty());
    QCOMPARE(run.Doc().m_strInSetup, QByteArray("in memory"));
    QVERIFY(run.Doc().IsModified());
}

void TestMainFrame::multiFileDrop()
{
    SAppRun run;
    QVERIFY(run.Start());
    run.Frame()->show();
    QVERIFY(QTest::qWaitForWindowExposed(run.Frame()));
    const QString strA = run.WriteSet(QStringLiteral("a.set"), "A");
    const QString strMissing = run.Path(QStringLiteral("gone.set"));
    const QString strC = run.WriteSet(QStringLiteral("c.set"), "C");
    run.Edit("edited");

    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(strA), QUrl::fromLocalFile(strMissing), QUrl::fromLocalFile(strC)});
    const QPoint pt(10, 10);
    QDragEnterEvent enter(pt, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(run.Frame(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(pt, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);

    CBoxAnswerer boxes({B::No, B::Ok});
    QApplication::sendEvent(run.Frame(), &drop);
    QTRY_COMPARE(run.Doc().GetPathName(), strC);
    QCOMPARE(boxes.m_texts.size(), 2);
    QCOMPARE(boxes.m_texts[0], QStringLiteral("Save changes to Tevrin?"));
    QVERIFY(boxes.m_texts[1].startsWith(strMissing + "\nCannot find this file."));
    QCOMPARE(run.pApp->RecentFileList().Files(), (QStringList{strC, strA}));
    QCOMPARE(run.Field(1002), QStringLiteral("C"));
    QCOMPARE(boxes.m_nUnexpected, 0);
}

void TestMainFrame::closeStopsGateway()
{
    QTcpServer in;
    QVERIFY(in.listen(QHostAddress::LocalHost, 0));
    SAppRun run;
    QVERIFY(run.Start());
    run.Doc().m_strInSetup = "TCP:" + QByteArray::number(in.serverPort()) + ",127.0.0.1";
    run.Frame()->show();
    QVERIFY(QTest::qWaitForWindowExposed(run.Frame()));
    run.Frame()->View()->OnStartupReset();
    QTRY_VERIFY(run.Frame()->View()->Gateway().IsInputStarted());
    QTRY_VERIFY(in.hasPendingConnections());
    QTcpSocket* pConn = in.nextPendingConnection();
    QCOMPARE(run.Field(1006), QStringLiteral("Input Startup!"));

    run.Frame()->close();
    QTRY_VERIFY(!run.Frame()->isVisible());
    QVERIFY(!run.Frame()->View()->Gateway().IsInputStarted());
    QTRY_COMPARE(pConn->state(), QAbstractSocket::UnconnectedState);
}

// View > Trace to File appends records to the file picked; the Traffic
// window shows the counters and the latest blocks while the gateway runs.
void TestMainFrame::traceToFileAndTrafficWindow()
{
    QTcpServer in, out;
    QVERIFY(in.listen(QHostAddress::LocalHost, 0) && out.listen(QHostAddress::LocalHost, 0));
    SAppRun run;
    QVERIFY(run.Start());
    run.Doc().m_strInSetup = "TCP:" + QByteArray::number(in.serverPort()) + ",127.0.0.1";
    run.Doc().m_strOutSetup = "TCP:" + QByteArray::number(out.serverPort()) + ",127.0.0.1";
    run.Doc().m_nOutStartup = 1007;
    const QString strTrace = run.Path(QStringLiteral("trace.txt"));
    QVERIFY(QFile(strTrace).open(QIODevice::WriteOnly) && QFile(strTrace).size() == 0);
    QString strAnswer = strTrace;
    run.Frame()->m_fnPromptTraceName = [&] { return strAnswer; };
    QAction* pTrace = run.Frame()->Command(CMainFrame::ID_VIEW_TRACE_TO_FILE);
    pTrace->trigger();
    QVERIFY(pTrace->isChecked());

    run.Frame()->View()->OnStartupReset();
    QTRY_VERIFY(in.hasPendingConnections() && out.hasPendingConnections());
    QTcpSocket* pIn = in.nextPendingConnection();
    QTcpSocket* pOut = out.nextPendingConnection();
    pIn->write("trace me");
    QByteArray got;
    QTRY_COMPARE(got += pOut->readAll(), QByteArray("trace me")); // appends nothing once all is read

    run.Frame()->Command(CMainFrame::ID_VIEW_TRAFFIC)->trigger();
    CTrafficWindow* pWindow = run.Frame()->TrafficWindow();
    QVERIFY(QTest::qWaitForWindowExposed(pWindow));
    QVERIFY(pWindow->CountersText().contains(QStringLiteral("in-->out received=1/8 sent=1/8")));
    pOut->write("back");
    QTRY_VERIFY(pWindow->BlocksText().contains(QStringLiteral("OUT-->IN received 4 bytes")));
    QVERIFY(pWindow->BlocksText().contains(QStringLiteral("|back|")));
    QTRY_VERIFY(pWindow->CountersText().contains(QStringLiteral("out-->in received=1/4 sent=1/4")));

    // Unchecking stops the file; the records so far are in it.
    pTrace->trigger();
    QVERIFY(!pTrace->isChecked());
    const QByteArray traced = ReadAll(strTrace);
    QVERIFY2(traced.contains(" IN-->OUT received 8 bytes\n  0000  74 72 61 63 65 20 6d 65"), traced.constData());
    QVERIFY(traced.contains(" OUT-->IN received 4 bytes\n"));
    pIn->write("not in the file");
    QTRY_VERIFY(pWindow->BlocksText().contains(QStringLiteral("|not in the file|")));
    QCOMPARE(ReadAll(strTrace), traced);

    // A folder is refused with a message box, and nothing is traced.
    strAnswer = run.dir.path();
    auto pAnswerer = std::make_unique<CBoxAnswerer>(QList<B>{B::Ok, B::Ok});
    CBoxAnswerer& answerer = *pAnswerer;
    pTrace->trigger();
    QVERIFY(!pTrace->isChecked());
    QCOMPARE(answerer.m_texts.size(), 1);
    QVERIFY(answerer.m_texts.front().contains(QStringLiteral("not a regular file")));
    QCOMPARE(answerer.m_nUnexpected, 0);

    // Nor is a trace written through a link.
    strAnswer = run.Path(QStringLiteral("link.txt"));
    QVERIFY(QFile::link(strTrace, strAnswer));
    pTrace->trigger();
    QVERIFY(!pTrace->isChecked());
    QCOMPARE(answerer.m_texts.size(), 2);
    QVERIFY(answerer.m_texts.back().contains(QStringLiteral("symbolic link")));
    QCOMPARE(ReadAll(strTrace), traced);
    QCOMPARE(answerer.m_nUnexpected, 0);
    pAnswerer.reset();

    // A file that cannot be written (here: over the size limit) stops the
    // trace with one box that says what was lost; the relay goes on.
    strAnswer = run.Path(QStringLiteral("full.txt"));
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit oldLimit {};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &oldLimit) == 0);
    const auto restore = qScopeGuard([&] {
        ::setrlimit(RLIMIT_FSIZE, &oldLimit);
        std::signal(SIGXFSZ, oldHandler);
    });
    const rlimit limit {100, oldLimit.rlim_max};
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &limit) == 0);
    // The box is taken whether it waits for its OK or not.
    QStringList failures;
    QTimer closer;
    closer.setInterval(10);
    connect(&closer, &QTimer::timeout, [&] {
        for (QWidget* pWindow : QApplication::topLevelWidgets()) {
            auto* pBox = qobject_cast<QMessageBox*>(pWindow);
            if (pBox && pBox->isVisible()) {
                failures << pBox->text();
                pBox->done(QMessageBox::Ok);
            }
        }
    });
    closer.start();
    pTrace->trigger();
    QVERIFY(pTrace->isChecked());
    pIn->write("over the limit");
    QTRY_COMPARE(failures.size(), 1);
    QVERIFY2(failures.front().startsWith(QStringLiteral("Cannot write the trace file ") + strAnswer),
             qPrintable(failures.front()));
    QVERIFY(failures.front().contains(QStringLiteral("not written")));
    QVERIFY(!pTrace->isChecked());
    QCOMPARE(QFile(strAnswer).size(), 100);
    QCOMPARE(QFile::permissions(strAnswer), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    got.clear();
    pIn->write("still relayed");
    QTRY_VERIFY((got += pOut->readAll()).endsWith("over the limitstill relayed"));
    QCOMPARE(failures.size(), 1);
    pWindow->close();
}

// File > Exit while a gateway box is on screen: the window closes without
// anyone clicking.
void TestMainFrame::exitNotHeldByGatewayBox()
{
    SAppRun run;
    QVERIFY(run.Start());
    run.Doc().m_strInSetup = "COM0:9600,n,8,1"; // refused with a message box
    run.Frame()->show();
    QVERIFY(QTest::qWaitForWindowExposed(run.Frame()));
    CBoxAnswerer modal; // records (and closes) any box that would block
    QTest::mouseClick(DialogItem(run.Frame()->View(), 1011), Qt::LeftButton);
    QCOMPARE(OpenMessageBoxTexts(), QStringList{"OpenComm Error!"});
    run.Frame()->Command(57665)->trigger();
    QTRY_VERIFY(!run.Frame()->isVisible());
    QCOMPARE(modal.m_texts, QStringList());
}

// Renders the main window for the documentation; $TRELVANE_SCREENSHOT_DIR
// chooses the folder, else screenshots/ in the build folder.
void TestMainFrame::screenshot()
{
    SAppRun run;
    const QString strPath = run.WriteSet(QStringLiteral("plant.set"), "TCP:1025,127.0.0.1");
    CTrelvaneDoc doc;
    doc.m_strInSetup = "TCP:1025,127.0.0.1";
    doc.m_strInDll = "libupper.so";
    doc.m_strOutSetup = "COM2:9600,n,8,1";
    QString strError;
    QVERIFY(doc.OnSaveDocument(strPath, &strError));
    QVERIFY(run.Start({strPath}));
    CMainFrame* pFrame = run.Frame();
    pFrame->show();
    QVERIFY(QTest::qWaitForWindowExposed(pFrame));
    CMessageLog& log = pFrame->View()->Gateway().MessageLog();
    for (const char* psz : {"Connect TCP...", "Done!", "Open Port...", "Done!"})
        log.AddMessage(QString::fromLatin1(psz));
    pFrame->View()->SetStatusText(true, QStringLiteral("Input Startup!"));
    pFrame->View()->SetStatusText(false, QStringLiteral("Output Startup!"));
    const QImage img = pFrame->grab().toImage();
    QVERIFY(!img.isNull());
    // The form fits: the window is at least the template's size.
    QVERIFY(pFrame->centralWidget()->width() >= pFrame->View()->sizeHint().width());
    QVERIFY(pFrame->centralWidget()->height() >= pFrame->View()->sizeHint().height());

    QString strDir = qEnvironmentVariable("TRELVANE_SCREENSHOT_DIR");
    if (strDir.isEmpty())
        strDir = QStringLiteral(TRELVANE_BINARY_DIR "/screenshots");
    QVERIFY(QDir().mkpath(strDir));
    QVERIFY(img.save(QDir(strDir).filePath(QStringLiteral("main-window.png")), "PNG"));
}

QTEST_MAIN(TestMainFrame)
#include "tst_mainframe.moc"
