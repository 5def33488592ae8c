// The text form of the settings: what it accepts and refuses, and that a
// binary file converted to text and back comes out byte for byte.
#include "files.h"

#include "setcodec.h"
#include "settext.h"
#include "settingsfile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(SSetFields)
Q_DECLARE_METATYPE(SSetLayout)

namespace {

SSetFields Fields(const QByteArray& strInSetup, const QByteArray& strOutSetup)
{
    SSetFields f;
    f.m_strInSetup = strInSetup;
    f.m_strOutSetup = strOutSetup;
    return f;
}

QByteArray AllBytes()
{
    QByteArray bytes;
    for (int n = 0; n < 256; ++n)
        bytes.append(char(n));
    return bytes;
}

} // namespace

class CTestSetText : public QObject
{
    Q_OBJECT
private slots:
    void readsAndRefuses_data();
    void readsAndRefuses();
    void binaryToTextAndBack_data();
    void binaryToTextAndBack();
};

void CTestSetText::readsAndRefuses_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<SSetFields>("fields");
    QTest::addColumn<SSetLayout>("layout");
    QTest::addColumn<QString>("error"); // empty: the text is read

    SSetFields all = Fields("TCP:4001", "COM2:9600,n,8,1");
    all.m_strInDll = "/usr/lib/x.so";
    all.m_strOutInitial = "ATZ\\r";
    all.m_bNoInInitResponse = 1;
    all.m_bDetectCarrier = 1;
    all.m_nOutStartup = 1007;
    QTest::newRow("every kind of line") << QByteArray("\xEF\xBB\xBF# plant\r\n\n"
                                                      "  in-setup=\"TCP:4001\"   # listening\r\n"
                                                      "out-setup = \"COM2:9600,n,8,1\"\n"
                                                      "\tin-dll = \"/usr/lib/x.so\"\n"
                                                      "out-initial = \"ATZ\\r\"\n"
                                                      "no-in-init-response = 1\n"
                                                      "detect-carrier = 1 # on\n"
                                                      "out-startup = with-input")
                                        << all << SSetLayout() << QString();
    SSetFields escapes = Fields("a\\b\"cA\t\r\n\xff", "");
    escapes.m_strInInitial = QByteArray("\\r\\n\\t\\\\\r\"", 10);
    escapes.m_nOutStartup = 2000;
    QTest::newRow("escapes: decoded, but kept in initial strings")
        << QByteArray("in-setup = \"a\\\\b\\\"c\\x41\\t\\r\\n\\xfF\"\n"
                      "in-initial = \"\\r\\n\\t\\\\\\x0D\\\"\"\n"
                      "out-startup = 2000\n")
        << escapes << SSetLayout() << QString();
    SSetLayout forms;
    forms.m_forms[0] = {false, ESetLength::Bits32};
    forms.m_forms[5] = {true, ESetLength::Bits16};
    forms.m_strTrailing = QByteArray("\0x", 2);
    SSetFields formFields = Fields("", "abc");
    formFields.m_strInInitial = "\xc3\x96";
    QTest::newRow("forms and trailing bytes") << QByteArray("out-setup = \"abc\" length32\n"
                                                            "in-initial = \"\xc3\x96\" length16 wide\n"
                                                            "trailing-bytes = \"\\x00x\"\n")
                                              << formFields << forms << QString();

    auto bad = [](const char* pszName, const QByteArray& text, const QString& strError) {
        QTest::newRow(pszName) << text << SSetFields() << SSetLayout() << strError;
    };
    bad("duplicate key", "in-setup = \"TCP:1\"\n\n# again\nin-setup = \"TCP:2\"\n",
        "line 4: in-setup: given twice (first on line 1)");
    bad("unknown key", "# x\nin-setp = \"TCP:1\"\n", "line 2: unknown setting 'in-setp'");
    bad("bad escape", "in-setup = \"TCP:1\"\nout-initial = \"AT\\q\"\n", "line 2: out-initial: unknown escape '\\q'");
    bad("backslash byte before an escape", "out-initial = \"\\x5Cn\"\n",
        "line 1: out-initial: \\x5C followed by 'n' is sent as the escape \\n");
    bad("short hex escape", "in-dll = \"\\x4\"\n", "line 1: in-dll: \\x needs two hexadecimal digits");
    bad("no quotes", "\nin-setup = TCP:4001\n", "line 2: in-setup: a string is written in double quotes");
    bad("no closing quote", "in-setup = \"TCP:4001\n", "line 1: in-setup: the closing quote is missing");
    bad("raw tab in string", "in-setup = \"a\tb\"\n", "line 1: in-setup: a control character (\\x09)");
    bad("something after the value", "in-setup = \"a\" \"b\"\n", "line 1: in-setup: unexpected '\"b\"'");
    bad("no equals sign", "in-setup \"a\"\n", "line 1: expected 'setting = value'");
    bad("not settings at all", "root:x:0:0:root:/root:/bin/bash\n",
        "line 1: expected 'setting = value', got 'root:x:0:0:root:/root:/bin/bash'");
    bad("only the start of a long line is shown", "in-dll = " + QByteArray(100, 'x') + "\n",
        "line 1: in-dll: a string is written in double quotes, got '" + QString(40, u'x') + "...'");
    bad("value missing", "detect-carrier = # none\n", "line 1: detect-carrier: the value is missing");
    bad("flag not a number", "detect-carrier = yes\n", "line 1: detect-carrier: expected a number");
    bad("flag over 16 bits", "\ndetect-carrier = 65536\n", "line 2: detect-carrier: 65536 does not fit");
    bad("start mode over 16 bits", "out-startup = 1234567\n", "line 1: out-startup: 1234567 does not fit");
    bad("start mode unknown", "out-startup = later\n", "line 1: out-startup: expected with-input, first-data");
    bad("wide string not UTF-8", "in-dll = \"\\xFF\" wide\n", "line 1: in-dll: a wide string must be UTF-8");
    bad("unknown form", "in-dll = \"x\" narrow\n", "line 1: in-dll: unexpected 'narrow'");
    bad("16-bit length too small", "in-dll = \"" + QByteArray(70000, 'x') + "\" length16\n",
        "line 1: in-dll: a length of 70000 does not fit");
    bad("over-long value", "in-initial = \"" + QByteArray(17 * 1024 * 1024, 'x') + "\"\n",
        "line 1: in-initial: too long");
    bad("values that together are too long",
        "out-dll = \"" + QByteArray(9 * 1024 * 1024, 'x') + "\"\nin-dll = \"" + QByteArray(9 * 1024 * 1024, 'y') + "\"\n",
        "line 2: in-dll: too long");
}

void CTestSetText::readsAndRefuses()
{
    QFETCH(QByteArray, text);
    QFETCH(SSetFields, fields);
    QFETCH(SSetLayout, layout);
    QFETCH(QString, error);
    // Through a file named like a binary one: the kind comes from the content.
    QTemporaryDir dir;
    const QString strPath = dir.filePath(QStringLiteral("plant.set"));
    QVERIFY(WriteAll(strPath, text));
    SSetFields read;
    SSetLayout readLayout;
    ESetFileKind eKind = ESetFileKind::Binary;
    QString strError;
    const bool bOk = LoadSettingsFile(strPath, &read, &strError, nullptr, &readLayout, &eKind);
    QCOMPARE(eKind, ESetFileKind::Text);
    if (!error.isEmpty()) {
        QVERIFY(!bOk);
        QVERIFY2(strError.startsWith(strPath + QStringLiteral(", ") + error), qPrintable(strError));
        return;
    }
    QVERIFY2(bOk, qPrintable(strError));
    QVERIFY(read == fields);
    QVERIFY(readLayout == layout);
}

void CTestSetText::binaryToTextAndBack_data()
{
    QTest::addColumn<QByteArray>("binary");

    const QDir corpus(QStringLiteral(TRELVANE_SETREADER_CORPUS));
    const QStringList names = corpus.entryList(QDir::Files);
    QVERIFY(names.size() >= 5);
    for (const QString& strName : names)
        QTest::newRow(qPrintable(QStringLiteral("corpus ") + strName)) << ReadAll(corpus.filePath(strName));

    // Every byte in every string, and backslashes the gateway keeps as they are.
    SSetFields bytes;
    for (const auto pString : kSetFileStrings)
        bytes.*pString = AllBytes() + "\\q\\\\\\r\\" + AllBytes() + "\\";
    bytes.m_bNoInInitResponse = 0xFFFF;
    bytes.m_bNoOutInitResponse = 2;
    bytes.m_nOutStartup = 0;
    QTest::newRow("every byte") << *WriteSetFile(bytes);
    SSetFields text = bytes;
    for (const auto pString : kSetFileStrings)
        text.*pString = QByteArrayLiteral("\xEF\xBB\xBF\xC3\x96l \xE2\x82\xAC\xF0\x9F\x98\x80\\r\0\x7F\\");
    SSetLayout layout;
    layout.m_forms = {SSetStringForm{true, ESetLength::Shortest}, SSetStringForm{true, ESetLength::Bits16},
                      SSetStringForm{true, ESetLength::Bits32}, SSetStringForm{false, ESetLength::Bits16},
                      SSetStringForm{false, ESetLength::Bits32}, SSetStringForm{false, ESetLength::Shortest}};
    layout.m_strTrailing = AllBytes();
    QTest::newRow("every form") << WriteSetFile(text, layout).value_or("<not written>");
}

void CTestSetText::binaryToTextAndBack()
{
    QFETCH(QByteArray, binary);
    QVERIFY(!IsSetText(binary));
    const SSetReadResult read = ReadSetFile(binary);
    QCOMPARE(read.m_eStatus, ESetReadStatus::Ok);
    SSetLayout layout = read.m_layout;
    layout.m_strTrailing = binary.sliced(read.m_nBytesRead);

    const QByteArray text = WriteSetText(read.m_fields, layout);
    QVERIFY(IsSetText(text));
    const SSetTextResult back = ReadSetText(text);
    QVERIFY2(back.m_bOk, qPrintable(QStringLiteral("line %1: %2\n").arg(back.m_nLine).arg(back.m_strError) + text));
    QVERIFY(back.m_fields == read.m_fields);
    QCOMPARE(WriteSetFile(back.m_fields, back.m_layout).value_or("<not written>"), binary);
}

QTEST_GUILESS_MAIN(CTestSetText)
#include "tst_settext.moc"
