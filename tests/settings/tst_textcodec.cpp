#include "textcodec.h"

#include <QTest>

class TestTextCodec : public QObject
{
    Q_OBJECT
private slots:
    void shows_data();
    void shows();
    void roundTrip_data();
    void roundTrip();
};

void TestTextCodec::shows_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("ascii") << QByteArray("COM2:9600,n,8,1") << QStringLiteral("COM2:9600,n,8,1");
    QTest::newRow("utf8") << QByteArray("caf\xc3\xa9.so") << QStringLiteral("caf\u00e9.so");
    QTest::newRow("latin1") << QByteArray("caf\xe9.dll") << QStringLiteral("caf\u00e9.dll");
    QTest::newRow("cp1252 quote") << QByteArray("\x93x\x94") << QString::fromLatin1("\x93x\x94");
    QTest::newRow("truncated utf8") << QByteArray("ab\xc3") << QString::fromLatin1("ab\xc3");
    QTest::newRow("overlong utf8") << QByteArray("\xc0\xaf") << QString::fromLatin1("\xc0\xaf");
    QTest::newRow("bom kept") << QByteArray("\xef\xbb\xbfTCP") << QStringLiteral("\ufeffTCP");
    QTest::newRow("nul inside") << QByteArray("a\0b", 3) << QString::fromLatin1("a\0b", 3);
}

void TestTextCodec::shows()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(DisplayText(bytes), text);
}

// What is stored for a field loaded from `bytes` and then holding `typed`.
void TestTextCodec::roundTrip_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("edited");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("stored");
    const QByteArray latin1("caf\xe9", 4);
    QTest::newRow("latin1 unedited") << latin1 << false << QString() << latin1;
    QTest::newRow("latin1 edited") << latin1 << true << QStringLiteral("caf\u00e9!")
                                   << QByteArray("caf\xc3\xa9!");
    QTest::newRow("latin1 edited back") << latin1 << true << QStringLiteral("caf\u00e9") << latin1;
    QTest::newRow("utf8 unedited") << QByteArray("\xc3\xa9") << false << QString()
                                   << QByteArray("\xc3\xa9");
    QTest::newRow("bom unedited") << QByteArray("\xef\xbb\xbfx") << false << QString()
                                  << QByteArray("\xef\xbb\xbfx");
    QTest::newRow("emptied") << QByteArray("TCP:1,1.2.3.4") << true << QString() << QByteArray();
    QTest::newRow("typed into empty") << QByteArray() << true << QStringLiteral("\u20ac")
                                      << QByteArray("\xe2\x82\xac");
}

void TestTextCodec::roundTrip()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, edited);
    QFETCH(QString, typed);
    QFETCH(QByteArray, stored);
    const QString shown = DisplayText(bytes);
    const QString now = edited ? typed : shown;
    const QByteArray result = SettingTextToBytes(now, shown, bytes);
    QCOMPARE(result.toHex(), stored.toHex());
}

QTEST_APPLESS_MAIN(TestTextCodec)
#include "tst_textcodec.moc"
