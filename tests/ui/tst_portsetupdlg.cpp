#include "dialogunits.h"
#include "modal.h"
#include "portsetupdlg.h"
#include "setup/setupstring.h"
#include "textcodec.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

namespace {

QLineEdit* Edit(QWidget* pDlg, int nId) { return qobject_cast<QLineEdit*>(DialogItem(pDlg, nId)); }
QRadioButton* Radio(QWidget* pDlg, int nId)
{
    return qobject_cast<QRadioButton*>(DialogItem(pDlg, nId));
}
QPushButton* Button(QWidget* pDlg, int nId)
{
    return qobject_cast<QPushButton*>(DialogItem(pDlg, nId));
}

} // namespace

class TestPortSetupDlg : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void layout();
    void setupHelp();
    void captionAndTabOrder();
    void loadSave_data();
    void loadSave();
    void portKind_data();
    void portKind();
    void portKindByMouse();
    void portKindAgainAfterEdit();
    void reopenClearsRadios();
    void enterAccepts();
};

void TestPortSetupDlg::cleanup()
{
    QVERIFY(!QApplication::activeModalWidget());
}

// Spot checks of the dialog-unit conversion: one control of each kind.
void TestPortSetupDlg::layout()
{
    CPortSetupDlg dlg;
    const CDialogUnits du(dlg.font());
    QCOMPARE(Radio(&dlg, 1008)->text(), QStringLiteral("Winsock (TCP/UDP)"));
    QCOMPARE(Radio(&dlg, 1008)->geometry(), du.ToPixels(QRect(90, 1, 77, 16)));
    QCOMPARE(Edit(&dlg, 1010)->geometry(), du.ToPixels(QRect(4, 108, 99, 14)));
    QCOMPARE(Button(&dlg, 2)->geometry(), du.ToPixels(QRect(164, 107, 50, 14)));
    QVERIFY(Edit(&dlg, 1009) && Edit(&dlg, 1012) && Radio(&dlg, 1007) && Button(&dlg, 1));
    QCOMPARE(dlg.findChildren<QLabel*>().size(), 3);
}

// The grammar text stays as it was; the setup field's help shows every form.
void TestPortSetupDlg::setupHelp()
{
    CPortSetupDlg dlg;
    QStringList labels;
    for (const QLabel* pLabel : dlg.findChildren<QLabel*>())
        labels.append(pLabel->text());
    QVERIFY(labels.contains(QStringLiteral("Setup String:\n"
                                           "Serial Port:<COMn>:<Baud Rate>,<Parity>,<Data Bits>,<Stop Bits>\n"
                                           "Winsock:   <TCP/UDP>:<Port Number>,<IP Address>")));
    const QString strHelp = Edit(&dlg, 1009)->toolTip();
    for (const char* pszForm : {"COM2:9600,n,8,1", "TCP:1025,127.0.0.1", "TCP:1025,::1", "TCP:4001\t",
                                "TCP:4001@127.0.0.1", "UDP:5000\t", "UDP:5000@::1"})
        QVERIFY2(strHelp.contains(QLatin1String(pszForm)), pszForm);
    // Every socket form shown at the start of a line is one the port takes.
    for (const QString& strLine : strHelp.split(u'\n')) {
        const QByteArray strForm = strLine.section(u'\t', 0, 0).toLatin1();
        SWinsockSetup setup;
        if (RecognisePortKind(strForm) != EPortKind::Serial)
            QVERIFY2(SplitWinsockSetup(strForm, RecognisePortKind(strForm), &setup) == 0, strForm.constData());
    }
    QVERIFY(strHelp.contains(QLatin1String("TCP:4001;clients=refuse\t")));
    QVERIFY(strHelp.contains(QLatin1String("TCP:4001;clients=4\t")));
    QVERIFY(strHelp.contains(QLatin1String("TCP:4001;rfc2217\t")));
    QVERIFY(strHelp.contains(QLatin1String("allow=192.168.1.0/24+10.0.0.7+fd00::/8")));
    QVERIFY(strHelp.contains(QLatin1String("\nTLS:4001;tls=plant\t")));
    QVERIFY(strHelp.contains(QLatin1String("\nTLS:4001;tls=vendor,device.example\t")));
}

void TestPortSetupDlg::captionAndTabOrder()
{
    CPortSetupDlg dlg;
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Input/Output Port Setup"));
    QCOMPARE(dlg.size(), CDialogUnits(dlg.font()).ToPixels(QSize(235, 126)));
    QCOMPARE(dlg.font().families().value(0), QStringLiteral("MS Sans Serif"));
    QCOMPARE(dlg.palette().color(QPalette::Window), QColor(192, 192, 192));
    QVERIFY(Button(&dlg, 1)->isDefault());
    QVERIFY(!Button(&dlg, 2)->isDefault());
    QCOMPARE(dlg.m_editSetup, Edit(&dlg, 1009));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    // Opens with the setup string focused; Tab walks the template order.
    QCOMPARE(QApplication::focusWidget(), Edit(&dlg, 1009));
    QStringList order{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 5; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(order, (QStringList{"1009", "1012", "1010", "1", "2", "1009"}));
    QCOMPARE(Radio(&dlg, 1007)->focusPolicy() & Qt::TabFocus, 0);
    QCOMPARE(Radio(&dlg, 1008)->focusPolicy() & Qt::TabFocus, 0);
    dlg.reject();
}

void TestPortSetupDlg::loadSave_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<QByteArray>("dll");
    QTest::addColumn<QByteArray>("initial");
    QTest::addColumn<QString>("shownSetup");
    QTest::addColumn<QString>("shownDll");
    QTest::addColumn<bool>("edit");
    QTest::addColumn<int>("clickRadio");
    QTest::addColumn<int>("button");
    QTest::addColumn<QByteArray>("outSetup");
    QTest::addColumn<QByteArray>("outDll");
    QTest::addColumn<QByteArray>("outInitial");

    const QByteArray setup("COM1:9600,e,7,1");
    const QByteArray latin1Dll("C:\\gw\\caf\xe9.dll");
    const QByteArray initial("ATZ\\r\\n");
    const QString shownDll = QStringLiteral("C:\\gw\\caf\u00e9.dll");

    QTest::newRow("ok unedited keeps latin-1 bytes")
        << setup << latin1Dll << initial << "COM1:9600,e,7,1" << shownDll << false << 0 << 1
        << setup << latin1Dll << initial;
    QTest::newRow("ok edited stores utf-8")
        << setup << latin1Dll << initial << "COM1:9600,e,7,1" << shownDll << true << 0 << 1
        << QByteArray("UDP:7,10.0.0.\xc3\xa9") << QByteArray("b\xc3\xa9.so") << QByteArray("\\x41");
    QTest::newRow("ok after winsock default")
        << setup << latin1Dll << initial << "COM1:9600,e,7,1" << shownDll << false << 1008 << 1
        << QByteArray("TCP:1025,127.0.0.1") << latin1Dll << initial;
    QTest::newRow("cancel edited") << setup << latin1Dll << initial << "COM1:9600,e,7,1" << shownDll
                                   << true << 0 << 2 << setup << latin1Dll << initial;
    QTest::newRow("cancel after default")
        << QByteArray() << QByteArray() << QByteArray() << "" << "" << false << 1007 << 2
        << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("ok empty") << QByteArray() << QByteArray() << QByteArray() << "" << "" << false
                              << 0 << 1 << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("utf-8 shown as utf-8")
        << QByteArray("TCP:1,h\xc3\xb6st") << QByteArray() << QByteArray()
        << QStringLiteral("TCP:1,h\u00f6st") << "" << false << 0 << 1
        << QByteArray("TCP:1,h\xc3\xb6st") << QByteArray() << QByteArray();
}

void TestPortSetupDlg::loadSave()
{
    QFETCH(QByteArray, setup);
    QFETCH(QByteArray, dll);
    QFETCH(QByteArray, initial);
    QFETCH(QString, shownSetup);
    QFETCH(QString, shownDll);
    QFETCH(bool, edit);
    QFETCH(int, clickRadio);
    QFETCH(int, button);
    QFETCH(QByteArray, outSetup);
    QFETCH(QByteArray, outDll);
    QFETCH(QByteArray, outInitial);

    CPortSetupDlg dlg;
    dlg.m_strSetup = setup;
    dlg.m_strDll = dll;
    dlg.m_strInitial = initial;
    const SModalRun run = RunModal([&] { return dlg.DoModal(); }, [&](QDialog* pDlg) {
        QCOMPARE(pDlg, &dlg);
        QCOMPARE(Edit(pDlg, 1009)->text(), shownSetup);
        QCOMPARE(Edit(pDlg, 1010)->text(), shownDll);
        QCOMPARE(Edit(pDlg, 1012)->text(), DisplayText(initial));
        QVERIFY(!Radio(pDlg, 1007)->isChecked());
        QVERIFY(!Radio(pDlg, 1008)->isChecked());
        if (edit) {
            Edit(pDlg, 1009)->selectAll();
            QTest::keyClicks(Edit(pDlg, 1009), QStringLiteral("UDP:7,10.0.0."));
            Edit(pDlg, 1009)->insert(QStringLiteral("\u00e9"));
            Edit(pDlg, 1010)->setText(QStringLiteral("b\u00e9.so"));
            Edit(pDlg, 1012)->setText(QStringLiteral("\\x41"));
        }
        if (clickRadio)
            Radio(pDlg, clickRadio)->click();
        Button(pDlg, button)->click();
    });
    QVERIFY(run.bActed);
    QVERIFY(!run.bLeftOpen);
    QCOMPARE(run.nResult, button == 1 ? int(QDialog::Accepted) : int(QDialog::Rejected));
    QCOMPARE(dlg.m_strSetup.toHex(), outSetup.toHex());
    QCOMPARE(dlg.m_strDll.toHex(), outDll.toHex());
    QCOMPARE(dlg.m_strInitial.toHex(), outInitial.toHex());
}

void TestPortSetupDlg::portKind_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("radio");
    QTest::addColumn<QString>("result");
    const QString serial = QStringLiteral("COM2:9600,n,8,1");
    const QString winsock = QStringLiteral("TCP:1025,127.0.0.1");
    QTest::newRow("COM1 serial") << "COM1:9600,e,7,1" << 1007 << "COM1:9600,e,7,1";
    QTest::newRow("COM1 winsock") << "COM1:9600,e,7,1" << 1008 << winsock;
    QTest::newRow("UDP winsock") << "UDP:5000,192.168.1.255" << 1008 << "UDP:5000,192.168.1.255";
    QTest::newRow("TCP winsock") << "TCP:23,10.1.2.3" << 1008 << "TCP:23,10.1.2.3";
    QTest::newRow("UDP serial") << "UDP:5000,10.0.0.1" << 1007 << serial;
    QTest::newRow("TCP serial") << "TCP:23,10.1.2.3" << 1007 << serial;
    QTest::newRow("empty serial") << "" << 1007 << serial;
    QTest::newRow("empty winsock") << "" << 1008 << winsock;
    QTest::newRow("CO serial") << "CO" << 1007 << serial;
    QTest::newRow("CO winsock") << "CO" << 1008 << winsock;
    QTest::newRow("TC winsock") << "TC" << 1008 << winsock;
    QTest::newRow("lower com serial") << "com2:9600,n,8,1" << 1007 << serial;
    QTest::newRow("lower com winsock") << "com2:9600,n,8,1" << 1008 << winsock;
    QTest::newRow("lower tcp winsock") << "tcp:1025,127.0.0.1" << 1008 << winsock;
    QTest::newRow("COMX serial") << "COMX" << 1007 << "COMX";
    QTest::newRow("COM only serial") << "COM" << 1007 << "COM";
    QTest::newRow("leading blank serial") << " COM1:9600,n,8,1" << 1007 << serial;
    QTest::newRow("TCPX winsock") << "TCPX" << 1008 << "TCPX";
    QTest::newRow("listening winsock") << "TCP:4001@::1" << 1008 << "TCP:4001@::1";
    QTest::newRow("fixed UDP winsock") << "UDP:5000" << 1008 << "UDP:5000";
    QTest::newRow("listening serial") << "TCP:4001" << 1007 << serial;
}

void TestPortSetupDlg::portKind()
{
    QFETCH(QString, text);
    QFETCH(int, radio);
    QFETCH(QString, result);
    CPortSetupDlg dlg;
    dlg.m_strDll = "x.dll";
    dlg.m_strInitial = "ATZ";
    dlg.show();
    QVERIFY(!Radio(&dlg, 1007)->isChecked());
    QVERIFY(!Radio(&dlg, 1008)->isChecked());
    dlg.m_editSetup->setText(text);
    Radio(&dlg, radio)->click();
    QVERIFY(Radio(&dlg, radio)->isChecked());
    QVERIFY(!Radio(&dlg, radio == 1007 ? 1008 : 1007)->isChecked());
    QCOMPARE(dlg.m_editSetup->text(), result);
    // The other fields and the members are untouched until OK.
    QCOMPARE(Edit(&dlg, 1010)->text(), QStringLiteral("x.dll"));
    QCOMPARE(Edit(&dlg, 1012)->text(), QStringLiteral("ATZ"));
    QCOMPARE(dlg.m_strSetup, QByteArray());
    dlg.reject();
}

void TestPortSetupDlg::portKindByMouse()
{
    CPortSetupDlg dlg;
    dlg.m_strSetup = "COM1:9600,e,7,1";
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QRadioButton* pWinsock = Radio(&dlg, 1008);
    QTest::mouseClick(pWinsock, Qt::LeftButton, {}, QPoint(6, pWinsock->height() / 2));
    QVERIFY(pWinsock->isChecked());
    QCOMPARE(dlg.m_editSetup->text(), QStringLiteral("TCP:1025,127.0.0.1"));
    dlg.reject();
}

void TestPortSetupDlg::portKindAgainAfterEdit()
{
    CPortSetupDlg dlg;
    dlg.show();
    Radio(&dlg, 1007)->click();
    QCOMPARE(dlg.m_editSetup->text(), QStringLiteral("COM2:9600,n,8,1"));
    dlg.m_editSetup->setText(QStringLiteral("TCP:80,127.0.0.1"));
    Radio(&dlg, 1007)->click(); // already checked: still runs
    QCOMPARE(dlg.m_editSetup->text(), QStringLiteral("COM2:9600,n,8,1"));
    dlg.m_editSetup->setText(QStringLiteral("UDP:80,127.0.0.1"));
    Radio(&dlg, 1008)->click();
    QCOMPARE(dlg.m_editSetup->text(), QStringLiteral("UDP:80,127.0.0.1"));
    QVERIFY(!Radio(&dlg, 1007)->isChecked());
    dlg.reject();
}

void TestPortSetupDlg::reopenClearsRadios()
{
    CPortSetupDlg dlg;
    dlg.m_strSetup = "TCP:1,127.0.0.1";
    auto act = [](QDialog* pDlg) {
        QVERIFY(!Radio(pDlg, 1007)->isChecked());
        QVERIFY(!Radio(pDlg, 1008)->isChecked());
        Radio(pDlg, 1008)->click();
        Button(pDlg, 1)->click();
    };
    for (int i = 0; i < 2; ++i) {
        const SModalRun run = RunModal([&] { return dlg.DoModal(); }, act);
        QVERIFY(!run.bLeftOpen);
        QCOMPARE(run.nResult, int(QDialog::Accepted));
    }
    QCOMPARE(dlg.m_strSetup, QByteArray("TCP:1,127.0.0.1"));
}

void TestPortSetupDlg::enterAccepts()
{
    CPortSetupDlg dlg;
    dlg.m_strDll = "old.dll";
    const SModalRun run = RunModal([&] { return dlg.DoModal(); }, [](QDialog* pDlg) {
        Edit(pDlg, 1010)->setText(QStringLiteral("new.dll"));
        QTest::keyClick(Edit(pDlg, 1010), Qt::Key_Return);
    });
    QVERIFY(!run.bLeftOpen);
    QCOMPARE(run.nResult, int(QDialog::Accepted));
    QCOMPARE(dlg.m_strDll, QByteArray("new.dll"));
}

QTEST_MAIN(TestPortSetupDlg)
#include "tst_portsetupdlg.moc"
