#include "setcodec.h"

#include <QTest>

#include <cerrno>

namespace {

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int n : values)
        out.append(char(n));
    return out;
}

QByteArray Utf16Le(std::initializer_list<char16_t> units)
{
    QByteArray out;
    for (char16_t u : units) {
        out.append(char(u & 0xFF));
        out.append(char(u >> 8));
    }
    return out;
}

// Five empty strings followed by the initial options: the rest of a file
// whose first string is given separately.
const QByteArray kTailAfterFirst = Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x03, 0, 0});
const QByteArray kInitialFile = Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x03, 0, 0});

// Hands out at most m_nStep bytes per call and counts what it gave.
class CTrickleSource : public ISetSource
{
public:
    CTrickleSource(QByteArray data, qint64 nStep, qint64 nFailAt = -1)
        : m_data(std::move(data)), m_nStep(nStep), m_nFailAt(nFailAt) {}
    qint64 ReadSome(char* p, qint64 nMax) override
    {
        if (m_nFailAt >= 0 && m_nPos >= m_nFailAt) {
            errno = EIO;
            return -1;
        }
        const qint64 n = qMin(qMin(nMax, m_nStep), qint64(m_data.size()) - m_nPos);
        memcpy(p, m_data.constData() + m_nPos, size_t(n));
        m_nPos += n;
        return n;
    }
    qint64 m_nPos = 0;

private:
    QByteArray m_data;
    qint64 m_nStep;
    qint64 m_nFailAt;
};

} // namespace

class CTestSetCodec : public QObject
{
    Q_OBJECT

private slots:
    void testWrite_data();
    void testWrite();
    void testRoundTrip_data();
    void testRoundTrip();
    void testRead_data();
    void testRead();
    void testReadsOnlyWhatTheFieldsNeed_data();
    void testReadsOnlyWhatTheFieldsNeed();
    void testReadErrorKeepsErrno();
};

void CTestSetCodec::testWrite_data()
{
    QTest::addColumn<SSetFields>("fields");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("initial settings") << SSetFields() << kInitialFile;

    SSetFields com;
    com.m_strOutSetup = "COM2:9600,n,8,1";
    QTest::newRow("15 characters") << com << Bytes({0x0F}) + "COM2:9600,n,8,1" + kTailAfterFirst;

    const struct { int nLength; QByteArray prefix; } lengths[] = {
        {254, Bytes({0xFE})},
        {255, Bytes({0xFF, 0xFF, 0x00})},
        {65533, Bytes({0xFF, 0xFD, 0xFF})},
        {65534, Bytes({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00})},
        {65535, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00})},
        {70000, Bytes({0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00})},
    };
    for (const auto& l : lengths) {
        SSetFields f;
        f.m_strOutSetup = QByteArray(l.nLength, 'x');
        QTest::addRow("length %d", l.nLength) << f << l.prefix + f.m_strOutSetup + kTailAfterFirst;
    }

    SSetFields order;
    order.m_strOutSetup = "1";
    order.m_strOutDll = "2";
    order.m_strOutInitial = "3";
    order.m_strInSetup = "4";
    order.m_strInDll = "5";
    order.m_strInInitial = "6";
    order.m_bNoInInitResponse = 7;
    order.m_bNoOutInitResponse = 8;
    order.m_nOutStartup = 9;
    order.m_bDetectCarrier = 10;
    QTest::newRow("field order")
        << order << Bytes({1, '1', 1, '2', 1, '3', 1, '4', 1, '5', 1, '6', 7, 0, 8, 0, 9, 0, 10, 0});

    SSetFields wide;
    wide.m_nOutStartup = 0x12345;
    wide.m_bNoInInitResponse = -1;
    wide.m_bDetectCarrier = 1007;
    QTest::newRow("low 16 bits of the options")
        << wide << Bytes({0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0x45, 0x23, 0xEF, 0x03});
}

void CTestSetCodec::testWrite()
{
    QFETCH(SSetFields, fields);
    QFETCH(QByteArray, expected);
    const std::optional<QByteArray> written = WriteSetFile(fields);
    QVERIFY(written);
    QCOMPARE(written->size(), expected.size());
    QVERIFY(*written == expected);
}

void CTestSetCodec::testRoundTrip_data()
{
    QTest::addColumn<SSetFields>("fields");

    SSetFields text;
    text.m_strInSetup = "TCP:1025,127.0.0.1";
    text.m_strOutSetup = "COM2:9600,n,8,1";
    text.m_strInDll = "  with spaces , and commas ,, ";
    text.m_strOutDll = "/usr/lib/trelvane/plugins/libecho.so";
    text.m_strInInitial = Bytes({0xE9, 0xFC, 0x80, 0xFF, 0x00, 0x0D, 0x0A, 0xFE});
    text.m_strOutInitial = "ATZ\r";
    text.m_bNoInInitResponse = 1;
    text.m_bDetectCarrier = 1;
    text.m_nOutStartup = 1007;
    QTest::newRow("texts and bytes") << text;

    for (int nStartup : {0, 1007, 1008, 2000, 65535}) {
        SSetFields f;
        f.m_nOutStartup = nStartup;
        QTest::addRow("m_nOutStartup %d", nStartup) << f;
    }

    SSetFields big;
    big.m_strInSetup = QByteArray(255, 'a');
    big.m_strInDll = QByteArray(65533, 'b');
    big.m_strOutSetup = QByteArray(65534, 'c');
    big.m_strOutDll = QByteArray(65535, 'd');
    big.m_strInInitial = QByteArray(254, 'e');
    big.m_strOutInitial = QByteArray(300000, '\xFF');
    QTest::newRow("every length form") << big;
}

void CTestSetCodec::testRoundTrip()
{
    QFETCH(SSetFields, fields);
    const std::optional<QByteArray> written = WriteSetFile(fields);
    QVERIFY(written);
    const SSetReadResult result = ReadSetFile(*written);
    QCOMPARE(result.m_eStatus, ESetReadStatus::Ok);
    QCOMPARE(result.m_nFieldsRead, 10);
    QVERIFY(result.m_fields == fields);
}

void CTestSetCodec::testRead_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<ESetReadStatus>("status");
    QTest::addColumn<int>("fieldsRead");
    QTest::addColumn<QByteArray>("outSetup");
    QTest::addColumn<int>("outStartup");

    const auto ok = ESetReadStatus::Ok;
    const auto bad = ESetReadStatus::BadFormat;

    QTest::newRow("initial file") << kInitialFile << ok << 10 << QByteArray("") << 1008;
    QTest::newRow("13 bytes") << kInitialFile.left(13) << bad << 9 << QByteArray() << 0;
    QTest::newRow("6 bytes") << kInitialFile.left(6) << bad << 6 << QByteArray() << 0;
    QTest::newRow("empty") << QByteArray() << bad << 0 << QByteArray() << 0;
    QTest::newRow("trailing bytes") << kInitialFile + "garbage\xFF\xFF" << ok << 10 << QByteArray("") << 1008;
    QTest::newRow("m_nOutStartup 0")
        << Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}) << ok << 10 << QByteArray("") << 0;
    QTest::newRow("m_nOutStartup 2000")
        << Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xD0, 0x07, 0, 0}) << ok << 10 << QByteArray("") << 2000;
    QTest::newRow("zero-extended 0xFFFF")
        << Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0}) << ok << 10 << QByteArray("") << 65535;
    QTest::newRow("16-bit form of a short length")
        << Bytes({0xFF, 3, 0}) + "abc" + kTailAfterFirst << ok << 10 << QByteArray("abc") << 1008;
    QTest::newRow("32-bit form of a short length")
        << Bytes({0xFF, 0xFF, 0xFF, 3, 0, 0, 0}) + "abc" + kTailAfterFirst << ok << 10 << QByteArray("abc") << 1008;
    QTest::newRow("length past the end")
        << Bytes({5}) + "abc" << bad << 0 << QByteArray() << 0;
    QTest::newRow("16-bit length past the end")
        << Bytes({0xFF, 0x00, 0x10}) + "abc" << bad << 0 << QByteArray() << 0;
    QTest::newRow("16-bit length cut short") << Bytes({0xFF, 0x00}) << bad << 0 << QByteArray() << 0;
    QTest::newRow("32-bit length cut short")
        << Bytes({0xFF, 0xFF, 0xFF, 1, 0, 0}) << bad << 0 << QByteArray() << 0;
    QTest::newRow("32-bit length just below 2^31 past the end")
        << Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}) + "abc" << bad << 0 << QByteArray() << 0;
    QTest::newRow("32-bit length 2^31")
        << Bytes({0xFF, 0xFF, 0xFF, 0, 0, 0, 0x80}) + kInitialFile << bad << 0 << QByteArray() << 0;
    QTest::newRow("32-bit length 2^32-1")
        << Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}) + kInitialFile << bad << 0 << QByteArray() << 0;

    // The wide form: marker 0xFF FE FF, then a length in UTF-16 units.
    const QByteArray marker = Bytes({0xFF, 0xFE, 0xFF});
    QTest::newRow("wide ASCII")
        << marker + Bytes({3}) + Utf16Le({'C', 'O', 'M'}) + kTailAfterFirst << ok << 10 << QByteArray("COM") << 1008;
    QTest::newRow("wide Latin-1 and euro")
        << marker + Bytes({2}) + Utf16Le({0xE9, 0x20AC}) + kTailAfterFirst << ok << 10
        << QByteArray("\xC3\xA9\xE2\x82\xAC") << 1008;
    QTest::newRow("wide surrogate pair")
        << marker + Bytes({2}) + Utf16Le({0xD83D, 0xDE00}) + kTailAfterFirst << ok << 10
        << QByteArray("\xF0\x9F\x98\x80") << 1008;
    QTest::newRow("wide empty") << marker + Bytes({0}) + kTailAfterFirst << ok << 10 << QByteArray("") << 1008;
    QTest::newRow("wide with 16-bit count")
        << marker + Bytes({0xFF, 1, 0}) + Utf16Le({'x'}) + kTailAfterFirst << ok << 10 << QByteArray("x") << 1008;
    QTest::newRow("wide lone high surrogate")
        << marker + Bytes({2}) + Utf16Le({0xD83D, 'a'}) + kTailAfterFirst << bad << 0 << QByteArray() << 0;
    QTest::newRow("wide high surrogate at the end")
        << marker + Bytes({1}) + Utf16Le({0xD83D}) + kTailAfterFirst << bad << 0 << QByteArray() << 0;
    QTest::newRow("wide lone low surrogate")
        << marker + Bytes({1}) + Utf16Le({0xDE00}) + kTailAfterFirst << bad << 0 << QByteArray() << 0;
    QTest::newRow("wide odd byte count at the end")
        << marker + Bytes({2}) + Utf16Le({'a'}) + "b" << bad << 0 << QByteArray() << 0;
    QTest::newRow("wide marker twice")
        << marker + marker + Bytes({0}) + kTailAfterFirst << bad << 0 << QByteArray() << 0;
    QTest::newRow("wide count 2^30 units")
        << marker + Bytes({0xFF, 0xFF, 0xFF, 0, 0, 0, 0x40}) + kInitialFile << bad << 0 << QByteArray() << 0;
    QTest::newRow("wide count 2^31")
        << marker + Bytes({0xFF, 0xFF, 0xFF, 0, 0, 0, 0x80}) + kInitialFile << bad << 0 << QByteArray() << 0;
    QTest::newRow("wide in a later string")
        << Bytes({1, 'o', 0, 0, 0}) + marker + Bytes({1}) + Utf16Le({0xFC}) + Bytes({0, 1, 0, 2, 0, 3, 0, 4, 0})
        << ok << 10 << QByteArray("o") << 3;
}

void CTestSetCodec::testRead()
{
    QFETCH(QByteArray, data);
    QFETCH(ESetReadStatus, status);
    QFETCH(int, fieldsRead);
    QFETCH(QByteArray, outSetup);
    QFETCH(int, outStartup);

    const SSetReadResult result = ReadSetFile(data);
    QCOMPARE(result.m_eStatus, status);
    QCOMPARE(result.m_nFieldsRead, fieldsRead);
    if (status == ESetReadStatus::Ok) {
        QCOMPARE(result.m_fields.m_strOutSetup, outSetup);
        QCOMPARE(result.m_fields.m_nOutStartup, outStartup);
    }
}

void CTestSetCodec::testReadsOnlyWhatTheFieldsNeed_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<qint64>("step");

    SSetFields f;
    f.m_strOutSetup = QByteArray(70000, 'c');
    f.m_strInInitial = "x";
    const QByteArray file = *WriteSetFile(f);
    for (qint64 nStep : {1, 3, 4096, 1 << 20})
        QTest::addRow("step %lld", nStep) << file << nStep;
}

void CTestSetCodec::testReadsOnlyWhatTheFieldsNeed()
{
    QFETCH(QByteArray, file);
    QFETCH(qint64, step);

    CTrickleSource source(file + QByteArray(100, '\x01'), step);
    const SSetReadResult result = ReadSetFields(source);
    QCOMPARE(result.m_eStatus, ESetReadStatus::Ok);
    QCOMPARE(result.m_fields.m_strOutSetup.size(), 70000);
    QCOMPARE(result.m_fields.m_strInInitial, QByteArray("x"));
    QCOMPARE(source.m_nPos, qint64(file.size()));
}

void CTestSetCodec::testReadErrorKeepsErrno()
{
    CTrickleSource source(kInitialFile, 1, 4);
    const SSetReadResult result = ReadSetFields(source);
    QCOMPARE(result.m_eStatus, ESetReadStatus::ReadError);
    QCOMPARE(result.m_nErrno, EIO);
    QCOMPARE(result.m_nFieldsRead, 4);
}

QTEST_APPLESS_MAIN(CTestSetCodec)
#include "tst_setcodec.moc"
