#include "aboutdlg.h"
#include "dialogunits.h"
#include "modal.h"
#include "startupoptioncommand.h"
#include "startupoptiondlg.h"
#include "trelvanedoc.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

namespace {

QAbstractButton* Button(QWidget* pDlg, int nId)
{
    return qobject_cast<QAbstractButton*>(DialogItem(pDlg, nId));
}

// Check states of 1007, 1008, 1016, 1017, 1019 as a string of 0 and 1.
QString States(QWidget* pDlg)
{
    QString str;
    for (int nId : {1007, 1008, 1016, 1017, 1019})
        str += Button(pDlg, nId)->isChecked() ? QLatin1Char('1') : QLatin1Char('0');
    return str;
}

QList<int> Options(const CTrelvaneDoc& doc)
{
    return {doc.m_bNoInInitResponse, doc.m_bNoOutInitResponse, doc.m_bDetectCarrier,
            doc.m_nOutStartup};
}

} // namespace

class TestStartupOptionDlg : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void layout();
    void captionAndTabOrder();
    void command_data();
    void command();
    void commandParent();
    void aboutBox_data();
    void aboutBox();
    void aboutLayout();
};

void TestStartupOptionDlg::cleanup()
{
    QVERIFY(!QApplication::activeModalWidget());
}

// Spot checks of the dialog-unit conversion: one control of each kind.
void TestStartupOptionDlg::layout()
{
    CStartupOptionDlg dlg;
    const CDialogUnits du(dlg.font());
    QCOMPARE(dlg.findChild<QGroupBox*>()->title(), QStringLiteral("About Output Port Startup"));
    QCOMPARE(dlg.findChild<QGroupBox*>()->geometry(), du.ToPixels(QRect(3, 4, 186, 47)));
    QVERIFY(qobject_cast<QRadioButton*>(Button(&dlg, 1008)));
    QCOMPARE(Button(&dlg, 1008)->geometry(), du.ToPixels(QRect(7, 34, 181, 15)));
    QVERIFY(qobject_cast<QCheckBox*>(Button(&dlg, 1019)));
    QCOMPARE(Button(&dlg, 1019)->text(), QStringLiteral("Detect Carrier"));
    QCOMPARE(Button(&dlg, 2)->geometry(), du.ToPixels(QRect(193, 25, 50, 14)));
    for (int nId : {1, 1007, 1016, 1017})
        QVERIFY(Button(&dlg, nId));
}

void TestStartupOptionDlg::captionAndTabOrder()
{
    CStartupOptionDlg dlg;
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Startup Option Dialog"));
    QCOMPARE(dlg.size(), CDialogUnits(dlg.font()).ToPixels(QSize(245, 102)));
    QCOMPARE(dlg.palette().color(QPalette::Window), QColor(192, 192, 192));
    QCOMPARE(dlg.palette().color(QPalette::WindowText), QColor(0, 0, 0));
    QVERIFY(qobject_cast<QPushButton*>(DialogItem(&dlg, 1))->isDefault());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QCOMPARE(QApplication::focusWidget(), DialogItem(&dlg, 1));
    QStringList order{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 5; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(order, (QStringList{"1", "2", "1016", "1017", "1019", "1"}));
    dlg.reject();
}

// The document's command: what the dialog shows, what the user does, what
// the document holds afterwards and whether it was marked modified.
void TestStartupOptionDlg::command_data()
{
    QTest::addColumn<QList<int>>("before");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QList<int>>("click");
    QTest::addColumn<int>("close"); // 1 OK, 2 Cancel, 0 Escape key
    QTest::addColumn<QList<int>>("after");
    QTest::addColumn<bool>("modified");

    const QList<int> fresh{0, 0, 0, 1008};
    QTest::newRow("new document, OK unchanged")
        << fresh << "01000" << QList<int>{} << 1 << fresh << true;
    QTest::newRow("new document, all changed, OK")
        << fresh << "01000" << QList<int>{1007, 1016, 1017, 1019} << 1 << QList<int>{1, 1, 1, 1007}
        << true;
    QTest::newRow("new document, all changed, Cancel")
        << fresh << "01000" << QList<int>{1007, 1016, 1017, 1019} << 2 << fresh << false;
    QTest::newRow("changed, Escape") << fresh << "01000" << QList<int>{1007, 1019} << 0 << fresh
                                     << false;
    QTest::newRow("all set, cleared, OK")
        << QList<int>{1, 1, 1, 1007} << "10111" << QList<int>{1008, 1016, 1017, 1019} << 1 << fresh
        << true;
    QTest::newRow("stored 0 shows neither, OK stores 0")
        << QList<int>{0, 0, 0, 0} << "00000" << QList<int>{} << 1 << QList<int>{0, 0, 0, 0} << true;
    QTest::newRow("stored 2000 shows neither, OK stores 0")
        << QList<int>{0, 0, 0, 2000} << "00000" << QList<int>{} << 1 << QList<int>{0, 0, 0, 0}
        << true;
    QTest::newRow("stored 2000, Cancel keeps it")
        << QList<int>{0, 0, 0, 2000} << "00000" << QList<int>{} << 2 << QList<int>{0, 0, 0, 2000}
        << false;
    QTest::newRow("stored 2000, choose 1008")
        << QList<int>{0, 0, 0, 2000} << "00000" << QList<int>{1008} << 1
        << QList<int>{0, 0, 0, 1008} << true;
    // Any non-zero option is in force and shows checked; OK stores 1.
    QTest::newRow("non-zero options")
        << QList<int>{2, 5, -1, 1008} << "01111" << QList<int>{} << 1 << QList<int>{1, 1, 1, 1008}
        << true;
}

void TestStartupOptionDlg::command()
{
    QFETCH(QList<int>, before);
    QFETCH(QString, shown);
    QFETCH(QList<int>, click);
    QFETCH(int, close);
    QFETCH(QList<int>, after);
    QFETCH(bool, modified);

    CTrelvaneDoc doc;
    doc.m_strInSetup = "COM1:9600,n,8,1";
    doc.m_bNoInInitResponse = before[0];
    doc.m_bNoOutInitResponse = before[1];
    doc.m_bDetectCarrier = before[2];
    doc.m_nOutStartup = before[3];
    int nModified = 0;
    bool bResult = false;
    const SModalRun run = RunModal(
        [&] {
            bResult = OnStartupOption(doc, nullptr, [&] { ++nModified; });
            return 0;
        },
        [&](QDialog* pDlg) {
            QVERIFY(qobject_cast<CStartupOptionDlg*>(pDlg));
            QCOMPARE(States(pDlg), shown);
            for (int nId : click)
                Button(pDlg, nId)->click();
            if (close)
                Button(pDlg, close)->click();
            else
                QTest::keyClick(pDlg, Qt::Key_Escape);
        });
    QVERIFY(run.bActed);
    QVERIFY(!run.bLeftOpen);
    QCOMPARE(bResult, close == 1);
    QCOMPARE(Options(doc), after);
    QCOMPARE(nModified, modified ? 1 : 0);
    QCOMPARE(doc.m_strInSetup, QByteArray("COM1:9600,n,8,1"));
}

void TestStartupOptionDlg::commandParent()
{
    QMainWindow window;
    window.show();
    CTrelvaneDoc doc;
    const SModalRun run = RunModal([&] { return int(OnStartupOption(doc, &window, {})); },
                                   [&](QDialog* pDlg) {
                                       QCOMPARE(pDlg->parentWidget(), &window);
                                       Button(pDlg, 1007)->click();
                                       Button(pDlg, 1)->click();
                                   });
    QVERIFY(!run.bLeftOpen);
    QCOMPARE(run.nResult, 1); // no modified callback given: still saves
    QCOMPARE(doc.m_nOutStartup, 1007);
}

void TestStartupOptionDlg::aboutBox_data()
{
    QTest::addColumn<bool>("useEscape");
    QTest::addColumn<int>("result");
    QTest::newRow("OK") << false << int(QDialog::Accepted);
    QTest::newRow("Escape") << true << int(QDialog::Rejected);
}

void TestStartupOptionDlg::aboutBox()
{
    QFETCH(bool, useEscape);
    QFETCH(int, result);
    CAboutDlg dlg;
    const SModalRun run = RunModal([&] { return dlg.DoModal(); }, [&](QDialog* pDlg) {
        QStringList texts;
        for (QLabel* pLabel : pDlg->findChildren<QLabel*>())
            texts << pLabel->text();
        QVERIFY(texts.contains(QStringLiteral("TRELVANE Application Version 1.0")));
        QCOMPARE(QApplication::focusWidget(), DialogItem(pDlg, 1));
        if (useEscape)
            QTest::keyClick(pDlg, Qt::Key_Escape);
        else
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    });
    QVERIFY(run.bActed);
    QVERIFY(!run.bLeftOpen);
    QCOMPARE(run.nResult, result);
}

void TestStartupOptionDlg::aboutLayout()
{
    QMainWindow window;
    window.move(100, 80);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    CAboutDlg dlg(&window);
    const CDialogUnits du(dlg.font());
    QCOMPARE(dlg.windowTitle(), QStringLiteral("About TRELVANE"));
    QCOMPARE(dlg.size(), du.ToPixels(QSize(217, 63)));
    QCOMPARE(DialogItem(&dlg, 1)->geometry(), du.ToPixels(QRect(176, 6, 32, 14)));
    QCOMPARE(Button(&dlg, 1)->text(), QStringLiteral("OK"));
    QCOMPARE(dlg.pos(), window.mapToGlobal(QPoint(du.ToPixelsX(34), du.ToPixelsY(22))));
    bool bIcon = false;
    for (QLabel* pLabel : dlg.findChildren<QLabel*>()) {
        if (!pLabel->pixmap().isNull()) {
            bIcon = true;
            QCOMPARE(pLabel->pos(), du.ToPixels(QRect(11, 17, 18, 20)).topLeft());
        }
    }
    QVERIFY(bIcon);
}

QTEST_MAIN(TestStartupOptionDlg)
#include "tst_startupoptiondlg.moc"
