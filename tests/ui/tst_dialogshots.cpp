#include "aboutdlg.h"
#include "dialogunits.h"
#include "portsetupdlg.h"
#include "startupoptiondlg.h"

#include <QDir>
#include <QImage>
#include <QTest>

#include <memory>

// Renders each dialog to a PNG so a reader sees the layout. The files go to
// $TRELVANE_SCREENSHOT_DIR, or to screenshots/ in the build folder.
class TestDialogShots : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void shot_data();
    void shot();

private:
    QDir m_dir;
};

namespace {

int DarkPixels(const QImage& img, const QRect& rc)
{
    int n = 0;
    for (int y = rc.top(); y <= rc.bottom(); ++y)
        for (int x = rc.left(); x <= rc.right(); ++x)
            if (qGray(img.pixel(x, y)) < 80)
                ++n;
    return n;
}

std::unique_ptr<QDialog> MakeDialog(const QString& strName)
{
    if (strName == QLatin1String("port-setup")) {
        auto p = std::make_unique<CPortSetupDlg>();
        p->m_strSetup = "COM2:9600,n,8,1";
        p->m_strDll = "libupper.so";
        p->m_strInitial = "ATZ\\r";
        return p;
    }
    if (strName == QLatin1String("startup-option")) {
        auto p = std::make_unique<CStartupOptionDlg>();
        p->m_nOutStartup = 1008;
        p->m_bDetectCarrier = 1;
        return p;
    }
    return std::make_unique<CAboutDlg>();
}

} // namespace

void TestDialogShots::initTestCase()
{
    QString strDir = qEnvironmentVariable("TRELVANE_SCREENSHOT_DIR");
    if (strDir.isEmpty())
        strDir = QStringLiteral(TRELVANE_BINARY_DIR "/screenshots");
    QVERIFY(QDir().mkpath(strDir));
    m_dir.setPath(strDir);
}

void TestDialogShots::shot_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("textId"); // a control whose caption must show
    QTest::newRow("port-setup") << "port-setup" << 1007;
    QTest::newRow("startup-option") << "startup-option" << 1016;
    QTest::newRow("about") << "about" << 1;
}

void TestDialogShots::shot()
{
    QFETCH(QString, name);
    QFETCH(int, textId);
    std::unique_ptr<QDialog> pDlg = MakeDialog(name);
    pDlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(pDlg.get()));
    const QImage img = pDlg->grab().toImage();
    pDlg->hide();

    QCOMPARE(img.size(), pDlg->size() * img.devicePixelRatio());
    // Light grey behind the controls, black text on them.
    QCOMPARE(QColor(img.pixel(img.width() - 2, img.height() - 2)), QColor(192, 192, 192));
    const QRect rcItem = DialogItem(pDlg.get(), textId)->geometry();
    QVERIFY2(DarkPixels(img, rcItem) > 20, "caption not drawn");
    const QString strFile = m_dir.filePath(name + QStringLiteral(".png"));
    QVERIFY(img.save(strFile, "PNG"));
    qInfo("%s", qPrintable(strFile));
}

QTEST_MAIN(TestDialogShots)
#include "tst_dialogshots.moc"
