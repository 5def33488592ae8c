#include "dialogunits.h"
#include "fullserver.h"
#include "gateway.h"
#include "messagebox.h"
#include "modal.h"
#include "profile.h"
#include "textcodec.h"
#include "trelvanedoc.h"
#include "trelvaneview.h"

#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

QLineEdit* Edit(QWidget* pForm, int nId) { return qobject_cast<QLineEdit*>(DialogItem(pForm, nId)); }
QPushButton* Button(QWidget* pForm, int nId)
{
    return qobject_cast<QPushButton*>(DialogItem(pForm, nId));
}
QListWidget* List(QWidget* pForm) { return qobject_cast<QListWidget*>(DialogItem(pForm, 1013)); }

QStringList ListTexts(QWidget* pForm)
{
    QStringList texts;
    QListWidget* pList = List(pForm);
    for (int i = 0; i < pList->count(); ++i)
        texts << pList->item(i)->text().mid(9); // without "HH:MM:SS,"
    return texts;
}

// A loopback peer that accepts one connection and keeps what it receives.
struct SPeer
{
    QTcpServer server;
    QTcpSocket* pConn = nullptr;
    QByteArray received;

    SPeer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            pConn = server.nextPendingConnection();
            QObject::connect(pConn, &QTcpSocket::readyRead, [this] { received += pConn->readAll(); });
        });
    }
    QByteArray Setup() const { return "TCP:" + QByteArray::number(server.serverPort()) + ",127.0.0.1"; }
    bool Closed() const { return pConn && pConn->state() != QAbstractSocket::ConnectedState; }
};

} // namespace

class TestTrelvaneView : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void layout();
    void tabOrder();
    void listTakesExtraSpace();
    void initialUpdateShowsSettings_data();
    void initialUpdateShowsSettings();
    void startupResetRelays();
    void initialUpdateStopsRunningGateway();
    void portSetup_data();
    void portSetup();
    void startupOptionButton_data();
    void startupOptionButton();
    void messageListMirrorsLog();
    void gatewayMessageBox();
    void boxesReadInOrder();
    void requestDuringOutputStart_data();
    void requestDuringOutputStart();
    void restartWhileBoxOpen();
    void serialPortMapFromProfile();
};

void TestTrelvaneView::cleanup()
{
    QVERIFY(!QApplication::activeModalWidget());
}

// Spot checks of the dialog-unit conversion and of the read-only fields.
void TestTrelvaneView::layout()
{
    CTrelvaneDoc doc;
    CTrelvaneView view(&doc);
    const CDialogUnits du(view.font());
    QCOMPARE(view.sizeHint(), du.ToPixels(QSize(289, 201)));
    QCOMPARE(Button(&view, 1011)->text(), QStringLiteral("Startup / Reset"));
    QCOMPARE(Button(&view, 1011)->geometry(), du.ToPixels(QRect(197, 7, 57, 31)));
    QCOMPARE(Edit(&view, 1005)->geometry(), du.ToPixels(QRect(12, 138, 80, 12)));
    QCOMPARE(List(&view)->geometry(), du.ToPixels(QRect(6, 166, 187, 28)));
    for (int nId : {1002, 1003, 1004, 1005})
        QVERIFY(Edit(&view, nId)->isReadOnly());
    QVERIFY(!Edit(&view, 1006)->isReadOnly() && !Edit(&view, 1007)->isReadOnly());
    QVERIFY(Button(&view, 1000) && Button(&view, 1001) && Button(&view, 1018));
    QCOMPARE(view.findChildren<QLabel*>().size(), 7);
    QCOMPARE(view.findChildren<QGroupBox*>().size(), 2);
}

void TestTrelvaneView::tabOrder()
{
    CTrelvaneDoc doc;
    CTrelvaneView view(&doc);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    Button(&view, 1000)->setFocus();
    QStringList order {QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 14; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(order, (QStringList{"1000", "1001", "1011", "1002", "1003", "1004", "1005", "1006",
                                 "1007", "1013", "1018", "1000", "1001", "1011", "1002"}));
}

void TestTrelvaneView::listTakesExtraSpace()
{
    CTrelvaneDoc doc;
    CTrelvaneView view(&doc);
    view.resize(view.sizeHint());
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    const QRect rcList = List(&view)->geometry();
    const QRect rcEdit = Edit(&view, 1007)->geometry();
    const QRect rcButton = Button(&view, 1018)->geometry();
    view.resize(view.sizeHint() + QSize(120, 200));
    QTRY_COMPARE(List(&view)->geometry(), rcList.adjusted(0, 0, 120, 200));
    QCOMPARE(Edit(&view, 1007)->geometry(), rcEdit);
    QCOMPARE(Button(&view, 1018)->geometry(), rcButton);
    view.resize(view.sizeHint());
    QTRY_COMPARE(List(&view)->geometry(), rcList);
    QCOMPARE(view.minimumSize(), view.sizeHint());
}

void TestTrelvaneView::initialUpdateShowsSettings_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::newRow("ascii") << QByteArray("COM2:9600,n,8,1") << "COM2:9600,n,8,1";
    QTest::newRow("utf8") << QByteArray("TCP:1025,h\xc3\xb6st") << QString::fromUtf8("TCP:1025,h\xc3\xb6st");
    QTest::newRow("latin1") << QByteArray("TCP:1025,h\xf6st") << QString::fromUtf8("TCP:1025,h\xc3\xb6st");
    QTest::newRow("empty") << QByteArray() << "";
}

void TestTrelvaneView::initialUpdateShowsSettings()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    CTrelvaneDoc doc;
    doc.m_strInSetup = bytes;
    doc.m_strInDll = "in-" + bytes;
    doc.m_strOutSetup = "out-" + bytes;
    doc.m_strOutDll = "outdll-" + bytes;
    doc.m_strInInitial = "never shown";
    CTrelvaneView view(&doc);
    for (int nId : {1002, 1003, 1004, 1005})
        QVERIFY(Edit(&view, nId)->text().isEmpty());
    view.OnInitialUpdate();
    QCOMPARE(Edit(&view, 1002)->text(), shown);
    QCOMPARE(Edit(&view, 1003)->text(), "in-" + shown);
    QCOMPARE(Edit(&view, 1004)->text(), "out-" + shown);
    QCOMPARE(Edit(&view, 1005)->text(), "outdll-" + shown);
    for (QLineEdit* pEdit : view.findChildren<QLineEdit*>())
        QVERIFY(!pEdit->text().contains(QLatin1String("never shown")));
    // The document's bytes are shown, not rewritten.
    QCOMPARE(doc.m_strInSetup, bytes);
    QVERIFY(!doc.IsModified());
}

void TestTrelvaneView::startupResetRelays()
{
    SPeer in, out;
    CTrelvaneDoc doc;
    doc.m_strInSetup = in.Setup();
    doc.m_strOutSetup = out.Setup();
    doc.m_nOutStartup = 1007;
    CTrelvaneView view(&doc);
    view.OnInitialUpdate();
    view.show();
    QSignalSpy finished(&view.Gateway(), &CGateway::startupFinished);
    QTest::mouseClick(Button(&view, 1011), Qt::LeftButton);
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.front().front().toBool(), true);
    QCOMPARE(Edit(&view, 1006)->text(), QStringLiteral("Input Startup!"));
    QCOMPARE(Edit(&view, 1007)->text(), QStringLiteral("Output Startup!"));
    QCOMPARE(ListTexts(&view), (QStringList{"Connect TCP...", "Done!", "Connect TCP...", "Done!"}));
    // Every line carries its time stamp; the list mirrors the log.
    QCOMPARE(List(&view)->item(0)->text(), view.Gateway().MessageLog().Lines().front());
    QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d,").match(List(&view)->item(0)->text()).hasMatch());

    QTRY_VERIFY(in.pConn && out.pConn);
    in.pConn->write("hello");
    QTRY_COMPARE(out.received, QByteArray("hello"));
    out.pConn->write("back");
    QTRY_COMPARE(in.received, QByteArray("back"));

    // The far end of the Output closes: the status field says so.
    out.pConn->close();
    QTRY_COMPARE(Edit(&view, 1007)->text(), QStringLiteral("Remote closed,close myself too!"));
}

void TestTrelvaneView::initialUpdateStopsRunningGateway()
{
    SPeer in, out;
    CTrelvaneDoc doc;
    doc.m_strInSetup = in.Setup();
    doc.m_strOutSetup = out.Setup();
    doc.m_nOutStartup = 1007;
    CTrelvaneView view(&doc);
    view.OnInitialUpdate();
    view.OnStartupReset();
    QTRY_VERIFY(view.Gateway().IsInputStarted());
    QTRY_VERIFY(in.pConn && out.pConn);
    QVERIFY(!Edit(&view, 1006)->text().isEmpty());

    doc.m_strInSetup = "COM2:9600,n,8,1"; // a load brings other settings
    view.OnInitialUpdate();
    QVERIFY(!view.Gateway().IsInputStarted());
    QVERIFY(!view.Gateway().m_pOutSocket);
    QCOMPARE(Edit(&view, 1006)->text(), QString());
    QCOMPARE(Edit(&view, 1007)->text(), QString());
    QCOMPARE(Edit(&view, 1002)->text(), QStringLiteral("COM2:9600,n,8,1"));
    QTRY_VERIFY(in.Closed() && out.Closed());
}

void TestTrelvaneView::portSetup_data()
{
    QTest::addColumn<bool>("input");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("edit");
    QTest::newRow("input OK edited") << true << true << true;
    QTest::newRow("input OK unedited") << true << true << false;
    QTest::newRow("input Cancel edited") << true << false << true;
    QTest::newRow("output OK edited") << false << true << true;
    QTest::newRow("output OK unedited") << false << true << false;
    QTest::newRow("output Cancel edited") << false << false << true;
}

void TestTrelvaneView::portSetup()
{
    QFETCH(bool, input);
    QFETCH(bool, ok);
    QFETCH(bool, edit);
    CTrelvaneDoc doc;
    doc.m_strInSetup = "TCP:1,h\xf6st"; // Latin-1 bytes stay as they are unless edited
    doc.m_strInDll = "in.so";
    doc.m_strInInitial = "ATZ\\r";
    doc.m_strOutSetup = "COM1:9600,e,7,1";
    doc.m_strOutDll = "out.so";
    doc.m_strOutInitial = "hi";
    const CTrelvaneDoc before = doc;
    CTrelvaneView view(&doc);
    view.OnInitialUpdate();
    QSignalSpy modified(&view, &CTrelvaneView::documentModified);

    QStringList loaded;
    const SModalRun r = RunModal(
        [&] {
            input ? Button(&view, 1000)->click() : Button(&view, 1001)->click();
            return 0;
        },
        [&](QDialog* pDlg) {
            for (int nId : {1009, 1010, 1012})
                loaded << Edit(pDlg, nId)->text();
            if (edit) {
                Edit(pDlg, 1009)->setText(QStringLiteral("UDP:7,127.0.0.1"));
                Edit(pDlg, 1010)->setText(QStringLiteral("new.so"));
                Edit(pDlg, 1012)->setText(QStringLiteral("new\\n"));
            }
            QTest::mouseClick(Button(pDlg, ok ? 1 : 2), Qt::LeftButton);
        });
    QVERIFY(r.bActed);
    QVERIFY(!r.bLeftOpen);
    const QByteArray& strSetup = input ? doc.m_strInSetup : doc.m_strOutSetup;
    const QByteArray& strDll = input ? doc.m_strInDll : doc.m_strOutDll;
    const QByteArray& strInitial = input ? doc.m_strInInitial : doc.m_strOutInitial;
    QCOMPARE(loaded, input ? (QStringList{QString::fromUtf8("TCP:1,h\xc3\xb6st"), "in.so", "ATZ\\r"})
                           : (QStringList{"COM1:9600,e,7,1", "out.so", "hi"}));
    // The other port never changes.
    QCOMPARE(input ? doc.m_strOutSetup : doc.m_strInSetup, input ? before.m_strOutSetup : before.m_strInSetup);
    QCOMPARE(input ? doc.m_strOutInitial : doc.m_strInInitial,
             input ? before.m_strOutInitial : before.m_strInInitial);
    if (ok && edit) {
        QCOMPARE(strSetup, QByteArray("UDP:7,127.0.0.1"));
        QCOMPARE(strDll, QByteArray("new.so"));
        QCOMPARE(strInitial, QByteArray("new\\n"));
    } else {
        QCOMPARE(strSetup, input ? before.m_strInSetup : before.m_strOutSetup);
        QCOMPARE(strDll, input ? before.m_strInDll : before.m_strOutDll);
        QCOMPARE(strInitial, input ? before.m_strInInitial : before.m_strOutInitial);
    }
    QCOMPARE(doc.IsModified(), ok);
    QCOMPARE(modified.size(), ok ? 1 : 0);
    QCOMPARE(Edit(&view, input ? 1002 : 1004)->text(), DisplayText(strSetup));
    QCOMPARE(Edit(&view, input ? 1003 : 1005)->text(), DisplayText(strDll));
}

void TestTrelvaneView::startupOptionButton_data()
{
    QTest::addColumn<bool>("ok");
    QTest::newRow("OK") << true;
    QTest::newRow("Cancel") << false;
}

void TestTrelvaneView::startupOptionButton()
{
    QFETCH(bool, ok);
    CTrelvaneDoc doc;
    CTrelvaneView view(&doc);
    const SModalRun r = RunModal([&] { Button(&view, 1018)->click(); return 0; },
                                 [&](QDialog* pDlg) {
                                     QCOMPARE(pDlg->windowTitle(), QStringLiteral("Startup Option Dialog"));
                                     DialogItem(pDlg, 1007)->setProperty("checked", true);
                                     QTest::mouseClick(Button(pDlg, ok ? 1 : 2), Qt::LeftButton);
                                 });
    QVERIFY(r.bActed);
    QVERIFY(!r.bLeftOpen);
    QCOMPARE(doc.IsModified(), ok);
    QCOMPARE(doc.m_nOutStartup, ok ? 1007 : 1008);
}

void TestTrelvaneView::messageListMirrorsLog()
{
    CTrelvaneDoc doc;
    CTrelvaneView view(&doc);
    view.resize(view.sizeHint());
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    CMessageLog& log = view.Gateway().MessageLog();
    for (int i = 0; i < 230; ++i) {
        log.AddMessage(QStringLiteral("line %1").arg(i));
        QCOMPARE(List(&view)->count(), log.Lines().size());
    }
    // The list was emptied once it held 201 lines and goes on from there.
    QCOMPARE(List(&view)->item(0)->text(), log.Lines().front());
    QCOMPARE(List(&view)->item(List(&view)->count() - 1)->text().mid(9), QStringLiteral("line 229"));
    // The newest line is in view.
    QScrollBar* pBar = List(&view)->verticalScrollBar();
    QTRY_COMPARE(pBar->value(), pBar->maximum());
    QVERIFY(pBar->maximum() > 0);
}

// A message box of the gateway has the application title as caption and an
// OK button, and is shown without waiting: the start returns while the box
// stays on screen until OK is clicked. The same failure again brings that
// box forward instead of opening a second one.
void TestTrelvaneView::gatewayMessageBox()
{
    CTrelvaneDoc doc;
    doc.m_strInSetup = "COM0:9600,n,8,1";
    CTrelvaneView view(&doc);
    view.show();
    CBoxAnswerer modal; // records (and closes) any box that would block
    view.OnStartupReset();
    const QList<QMessageBox*> boxes = OpenMessageBoxes();
    QCOMPARE(boxes.size(), 1);
    const QPointer<QMessageBox> pBox = boxes.front();
    QCOMPARE(pBox->windowTitle(), AppTitle());
    QCOMPARE(pBox->windowTitle(), QStringLiteral("Halvoren Windows Application"));
    QCOMPARE(pBox->text(), QStringLiteral("OpenComm Error!"));
    QCOMPARE(pBox->buttons().size(), 1);
    QCOMPARE(pBox->buttons().front()->text().remove(QLatin1Char('&')), QStringLiteral("OK"));
    view.OnStartupReset();
    QCOMPARE(OpenMessageBoxes(), boxes);
    pBox->button(QMessageBox::Ok)->click();
    QVERIFY(OpenMessageBoxes().isEmpty());
    QTRY_VERIFY(pBox.isNull());
    QCOMPARE(modal.m_texts, QStringList());
}

// The boxes of one failure open one after the other, cause first: the
// Output's "OpenComm Error!", then, once it is closed, "Output Port Connect
// Error!". The same failure again while they wait adds no box.
void TestTrelvaneView::boxesReadInOrder()
{
    QTcpServer in;
    QVERIFY(in.listen(QHostAddress::LocalHost));
    CProfile profile(QStringLiteral("unused.ini"));
    profile.FromBytes("[Serial Ports]\nCOM9=/nonexistent/ttyUSB9\n");
    CTrelvaneDoc doc;
    doc.m_strInSetup = "TCP:" + QByteArray::number(in.serverPort()) + ",127.0.0.1";
    doc.m_strOutSetup = "COM9:9600,n,8,1";
    doc.m_nOutStartup = 1007;
    CTrelvaneView view(&doc);
    view.LoadSerialPortMap(profile);
    view.show();
    CBoxAnswerer modal; // records (and closes) any box that would block
    for (int nRun = 0; nRun < 2; ++nRun) {
        view.OnStartupReset();
        QTRY_VERIFY(ListTexts(&view).count(QStringLiteral("Done!")) == nRun + 1 && !view.Gateway().IsStarting());
        QCOMPARE(OpenMessageBoxTexts(), QStringList{"OpenComm Error!"});
    }
    OpenMessageBoxes().front()->button(QMessageBox::Ok)->click();
    QCOMPARE(OpenMessageBoxTexts(), QStringList{"Output Port Connect Error!"});
    OpenMessageBoxes().front()->button(QMessageBox::Ok)->click();
    QVERIFY(OpenMessageBoxes().isEmpty());
    QCOMPARE(modal.m_texts, QStringList());
}

void TestTrelvaneView::requestDuringOutputStart_data()
{
    QTest::addColumn<bool>("reset"); // else the window closes
    QTest::newRow("Startup / Reset again") << true;
    QTest::newRow("close") << false;
}

// Startup / Reset pressed again, or the window closed, while the Output of a
// start still connects: the connect is given up without a box, and the
// request runs at once.
void TestTrelvaneView::requestDuringOutputStart()
{
    QFETCH(bool, reset);
    QTcpServer in, outLater;
    SFullServer out;
    QVERIFY(in.listen(QHostAddress::LocalHost) && outLater.listen(QHostAddress::LocalHost) && out.Listen());
    CTrelvaneDoc doc;
    doc.m_strInSetup = "TCP:" + QByteArray::number(in.serverPort()) + ",127.0.0.1";
    doc.m_strOutSetup = out.Setup();
    doc.m_nOutStartup = 1007;
    CTrelvaneView view(&doc);
    view.show();
    CBoxAnswerer modal; // records (and closes) any box that would block
    bool bAsked = false;
    bool bClosed = false;
    bool bClosedAtOnce = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        if (bAsked || ListTexts(&view).count(QStringLiteral("Connect TCP...")) < 2)
            return;
        bAsked = true;
        QVERIFY(view.Gateway().IsStarting());
        // The reset's own start gets through.
        doc.m_strOutSetup = "TCP:" + QByteArray::number(outLater.serverPort()) + ",127.0.0.1";
        if (reset) {
            Button(&view, 1011)->click();
        } else {
            view.StopBeforeClose([&] { bClosed = true; });
            bClosedAtOnce = bClosed;
        }
    });
    poll.start(5);
    Button(&view, 1011)->click();
    QTRY_VERIFY(bAsked);
    const QString c = QStringLiteral("Connect TCP...");
    const QString d = QStringLiteral("Done!");
    if (reset) {
        QTRY_VERIFY(outLater.hasPendingConnections());
        QCOMPARE(ListTexts(&view), QStringList({c, d, c, c, d, c, d}));
    } else {
        QVERIFY(bClosedAtOnce);
        QVERIFY(!view.Gateway().IsInputStarted());
        QCOMPARE(ListTexts(&view), QStringList({c, d, c}));
    }
    QCOMPARE(modal.m_texts + OpenMessageBoxTexts(), QStringList());
}

// An open box holds nothing back. The Output's connect error box is up when
// the Input's far end closes: the restart (timer 3) runs at once, and its
// own Output failure brings the same box forward instead of a second one.
void TestTrelvaneView::restartWhileBoxOpen()
{
    QTcpServer in, probe;
    QVERIFY(in.listen(QHostAddress::LocalHost) && probe.listen(QHostAddress::LocalHost));
    const quint16 nDead = probe.serverPort();
    probe.close();
    CTrelvaneDoc doc;
    doc.m_strInSetup = "TCP:" + QByteArray::number(in.serverPort()) + ",127.0.0.1";
    doc.m_strOutSetup = "TCP:" + QByteArray::number(nDead) + ",127.0.0.1";
    doc.m_nOutStartup = 1007;
    CTrelvaneView view(&doc);
    view.show();
    CBoxAnswerer modal; // records (and closes) any box that would block
    view.OnStartupReset();
    QTRY_COMPARE(OpenMessageBoxTexts(), QStringList{"Output Port Connect Error!"});
    QTRY_VERIFY(in.hasPendingConnections());
    in.nextPendingConnection()->close();
    QTRY_VERIFY(ListTexts(&view).contains(QStringLiteral("Remote Input closed,close ALL & ReStart!")));
    QTRY_VERIFY(in.hasPendingConnections());
    QTRY_COMPARE(ListTexts(&view).count(QStringLiteral("TCP Connect Error:10061,port:%1,addr:127.0.0.1").arg(nDead)), 2);
    QCOMPARE(OpenMessageBoxTexts(), QStringList{"Output Port Connect Error!"});
    QCOMPARE(modal.m_texts, QStringList());
    OpenMessageBoxes().front()->button(QMessageBox::Ok)->click();
}

void TestTrelvaneView::serialPortMapFromProfile()
{
    CProfile profile(QStringLiteral("unused.ini"));
    profile.FromBytes("[Serial Ports]\nCOM2=/dev/ttyUSB0\nCOM7=/dev/ttyACM1\n");
    CTrelvaneDoc doc;
    CTrelvaneView view(&doc);
    view.LoadSerialPortMap(profile);
    const QMap<QByteArray, QString> map = view.Gateway().SerialPortMap();
    QCOMPARE(map.size(), 2);
    QCOMPARE(map.value("COM2"), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(map.value("COM7"), QStringLiteral("/dev/ttyACM1"));
}

QTEST_MAIN(TestTrelvaneView)
#include "tst_trelvaneview.moc"
