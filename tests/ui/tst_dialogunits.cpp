#include "dialogcolors.h"
#include "dialogunits.h"

#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

class TestDialogUnits : public QObject
{
    Q_OBJECT
private slots:
    void convert_data();
    void convert();
    void baseUnitsFromFont();
    void buildPlacesItems();
    void buildTabOrder();
    void staticLinesFit();
    void oneLineStaticKeepsItsWords();
    void colors();
};

void TestDialogUnits::convert_data()
{
    QTest::addColumn<int>("baseX");
    QTest::addColumn<int>("baseY");
    QTest::addColumn<QRect>("units");
    QTest::addColumn<QRect>("pixels");
    // The classic 8-point base units 6 x 13: halves round up.
    QTest::newRow("6x13 dialog") << 6 << 13 << QRect(0, 0, 235, 126) << QRect(0, 0, 353, 205);
    QTest::newRow("6x13 edit") << 6 << 13 << QRect(4, 50, 208, 14) << QRect(6, 81, 312, 23);
    QTest::newRow("6x13 odd") << 6 << 13 << QRect(3, 79, 1, 1) << QRect(5, 128, 2, 2);
    QTest::newRow("7x16") << 7 << 16 << QRect(111, 107, 50, 14) << QRect(194, 214, 88, 28);
    QTest::newRow("negative") << 6 << 13 << QRect(-3, -5, 0, 0) << QRect(-5, -8, 0, 0);
}

void TestDialogUnits::convert()
{
    QFETCH(int, baseX);
    QFETCH(int, baseY);
    QFETCH(QRect, units);
    QFETCH(QRect, pixels);
    QCOMPARE(CDialogUnits(baseX, baseY).ToPixels(units), pixels);
}

void TestDialogUnits::baseUnitsFromFont()
{
    const QFont font = CDialogUnits::DialogFont();
    QCOMPARE(font.pointSize(), 8);
    QCOMPARE(font.families().value(0), QStringLiteral("MS Sans Serif"));
    const QFontMetrics fm(font);
    const CDialogUnits units(font);
    const int nAlphabet = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // Average width rounded, not truncated.
    QVERIFY(qAbs(units.BaseX() * 52 - nAlphabet) <= 26);
    QCOMPARE(units.BaseY(), fm.height());
    // An 8-point font is a small font on any screen this runs on.
    QVERIFY2(units.BaseX() >= 4 && units.BaseX() <= 9, qPrintable(QString::number(units.BaseX())));
    QVERIFY2(units.BaseY() >= 9 && units.BaseY() <= 20, qPrintable(QString::number(units.BaseY())));
}

namespace {
const SDlgItem kItems[] = {
    {10, EDlgItemKind::Edit, "", {4, 50, 208, 14}, true},
    {-1, EDlgItemKind::Static, "<b>Label</b>", {5, 19, 60, 9}, false},
    {11, EDlgItemKind::RadioButton, "Radio", {6, 1, 76, 16}, false},
    {1, EDlgItemKind::DefPushButton, "OK", {111, 107, 50, 14}, true},
    {12, EDlgItemKind::Edit, "", {3, 79, 20, 14}, true},
};
const SDlgTemplate kTemplate = {"Caption", {235, 126}, kItems};
} // namespace

void TestDialogUnits::buildPlacesItems()
{
    QDialog dlg;
    const CDialogUnits units = BuildDialog(&dlg, kTemplate);
    QCOMPARE(units.BaseX(), CDialogUnits(dlg.font()).BaseX());
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Caption"));
    QCOMPARE(dlg.size(), units.ToPixels(QSize(235, 126)));
    for (const SDlgItem& item : kItems) {
        if (item.nId < 0)
            continue;
        QWidget* pItem = DialogItem(&dlg, item.nId);
        QVERIFY2(pItem, item.pszText);
        QCOMPARE(pItem->geometry(), units.ToPixels(item.rcUnits));
    }
    auto* pLabel = dlg.findChild<QLabel*>();
    QVERIFY(pLabel);
    QCOMPARE(pLabel->textFormat(), Qt::PlainText);
    QVERIFY(qobject_cast<QPushButton*>(DialogItem(&dlg, 1))->isDefault());
    // Edits take texts of any length.
    auto* pEdit = qobject_cast<QLineEdit*>(DialogItem(&dlg, 10));
    const QString strLong(70000, QLatin1Char('x'));
    pEdit->setText(strLong);
    QCOMPARE(pEdit->text(), strLong);
}

void TestDialogUnits::buildTabOrder()
{
    QDialog dlg;
    BuildDialog(&dlg, kTemplate);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QWidget* pFirst = DialogItem(&dlg, 10);
    pFirst->setFocus();
    QStringList order{pFirst->objectName()};
    for (int i = 0; i < 4; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(order, (QStringList{"10", "1", "12", "10", "1"}));
    QCOMPARE(DialogItem(&dlg, 11)->focusPolicy(), Qt::ClickFocus);
}

// A static whose lines are wider than its rectangle in the stand-in font is
// condensed so each line still fits; a short one keeps the dialog font.
void TestDialogUnits::staticLinesFit()
{
    const char* pszLong = "Setup String:\n"
                          "Serial Port:<COMn>:<Baud Rate>,<Parity>,<Data Bits>,<Stop Bits>";
    const SDlgItem items[] = {
        {-1, EDlgItemKind::Static, pszLong, {5, 19, 170, 28}, false},
        {-1, EDlgItemKind::Static, "Short", {5, 50, 100, 9}, false},
    };
    QDialog dlg;
    BuildDialog(&dlg, {"Fit", {235, 126}, items});
    const QList<QLabel*> labels = dlg.findChildren<QLabel*>();
    QCOMPARE(labels.size(), 2);
    const QFontMetrics fmDialog(dlg.font());
    QVERIFY(fmDialog.horizontalAdvance(QString::fromLatin1(pszLong).section('\n', 1))
            > labels[0]->width());
    const QFontMetrics fm(labels[0]->font());
    for (const QString& strLine : labels[0]->text().split('\n'))
        QVERIFY2(fm.horizontalAdvance(strLine) <= labels[0]->width(), qPrintable(strLine));
    QCOMPARE(labels[0]->font().pointSize(), 8);
    QCOMPARE(labels[1]->font(), dlg.font());
}

// A static one line tall shows its whole text on that line at any width
// near the text's own: never a word wrapped onto a line below its rectangle
// ("IN-->OUT Transfer DLL:" seen as "IN-->OUT Transfer").
void TestDialogUnits::oneLineStaticKeepsItsWords()
{
    for (const char* pszText : {"IN-->OUT Transfer DLL:", "OUT-->IN Transfer DLL:"}) {
        for (int nX = 9; nX <= 11; ++nX) {
            for (int nWidth = 60; nWidth <= 90; ++nWidth) {
                const SDlgItem items[] = {{-1, EDlgItemKind::Static, pszText, {nX, 50, nWidth, 8}, false}};
                QDialog dlg;
                BuildDialog(&dlg, {"Fit", {120, 80}, items});
                const QLabel* pLabel = dlg.findChild<QLabel*>();
                const QString strAt = QStringLiteral("%1 at x %2, width %3").arg(pszText).arg(nX).arg(nWidth);
                // Laid out on one line (the rectangle may be a pixel shorter
                // than the font's line in some fonts: that is the template's).
                const int nLine = QFontMetrics(pLabel->font()).height();
                QVERIFY2(pLabel->heightForWidth(pLabel->width()) < 2 * nLine, qPrintable(strAt));
            }
        }
    }
}

void TestDialogUnits::colors()
{
    QWidget w;
    ApplyDialogColors(&w);
    QVERIFY(w.autoFillBackground());
    QCOMPARE(w.palette().color(QPalette::Active, QPalette::Window), QColor(192, 192, 192));
    QCOMPARE(w.palette().color(QPalette::Inactive, QPalette::Window), QColor(192, 192, 192));
    QCOMPARE(w.palette().color(QPalette::Active, QPalette::WindowText), QColor(0, 0, 0));
    const QImage img = w.grab().toImage();
    QCOMPARE(QColor(img.pixel(img.width() / 2, img.height() / 2)), QColor(192, 192, 192));
}

QTEST_MAIN(TestDialogUnits)
#include "tst_dialogunits.moc"
