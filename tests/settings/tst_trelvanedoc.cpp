#include "files.h"

#include "setcodec.h"
#include "trelvanedoc.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

void FillSample(CTrelvaneDoc* pDoc)
{
    pDoc->m_strInSetup = "TCP:1025,127.0.0.1";
    pDoc->m_strInDll = "libin.so";
    pDoc->m_strOutSetup = "COM2:9600,n,8,1";
    pDoc->m_strOutDll = "libout.so";
    pDoc->m_strInInitial = "hello";
    pDoc->m_strOutInitial = "ATZ\r";
    pDoc->m_bNoInInitResponse = 1;
    pDoc->m_bNoOutInitResponse = 1;
    pDoc->m_bDetectCarrier = 1;
    pDoc->m_nOutStartup = 1007;
}

// Everything the user can see of a document.
struct SDocState
{
    SSetFields m_fields;
    QString m_strPath;
    QString m_strTitle;
    bool m_bModified;
    friend bool operator==(const SDocState&, const SDocState&) = default;
};

SDocState StateOf(const CTrelvaneDoc& doc)
{
    return {doc.GetFields(), doc.GetPathName(), doc.GetTitle(), doc.IsModified()};
}

} // namespace

class CTestTrelvaneDoc : public QObject
{
    Q_OBJECT

private slots:
    void testNewKeepsSettings();
    void testSaveThenOpen();
    void testFailedOpenChangesNothing_data();
    void testFailedOpenChangesNothing();
    void testFailedSaveChangesNothing();

private:
    QTemporaryDir m_dir;
};

void CTestTrelvaneDoc::testNewKeepsSettings()
{
    CTrelvaneDoc doc;
    QVERIFY(doc.GetFields() == SSetFields());
    QCOMPARE(doc.GetTitle(), QStringLiteral("Tevrin"));
    FillSample(&doc);
    doc.SetPathName(m_dir.filePath("x.set"));
    doc.SetModifiedFlag();
    const SSetFields before = doc.GetFields();

    QVERIFY(doc.OnNewDocument());
    QVERIFY(doc.GetFields() == before);
    QVERIFY(doc.GetPathName().isEmpty());
    QCOMPARE(doc.GetTitle(), QStringLiteral("Tevrin"));
    QVERIFY(!doc.IsModified());
}

void CTestTrelvaneDoc::testSaveThenOpen()
{
    const QString strPath = m_dir.filePath("gateway one.set");
    CTrelvaneDoc doc;
    FillSample(&doc);
    doc.SetModifiedFlag();
    QString strError;
    QVERIFY2(doc.OnSaveDocument(strPath, &strError), qPrintable(strError));
    QVERIFY(!doc.IsModified());
    QCOMPARE(doc.GetPathName(), strPath);
    QCOMPARE(doc.GetTitle(), QStringLiteral("gateway one.set"));

    CTrelvaneDoc other;
    other.SetModifiedFlag();
    QVERIFY2(other.OnOpenDocument(strPath, &strError), qPrintable(strError));
    QVERIFY(other.GetFields() == doc.GetFields());
    QVERIFY(!other.IsModified());
    QCOMPARE(other.GetPathName(), strPath);
    QCOMPARE(other.GetTitle(), QStringLiteral("gateway one.set"));
}

void CTestTrelvaneDoc::testFailedOpenChangesNothing_data()
{
    QTest::addColumn<QByteArray>("content");  // empty name: no file at all
    QTest::addColumn<QString>("message");

    const QByteArray complete = *WriteSetFile(SSetFields());
    QTest::newRow("missing") << QByteArray() << QString();
    QTest::newRow("empty") << QByteArray("") << QStringLiteral("Unexpected file format.");
    QTest::newRow("13 bytes") << complete.left(13) << QStringLiteral("Unexpected file format.");
    QTest::newRow("bad wide string")
        << QByteArray("\x02x\x01y\xFF\xFE\xFF\x01\x00\xDC", 10) << QStringLiteral("Unexpected file format.");
}

void CTestTrelvaneDoc::testFailedOpenChangesNothing()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);

    const QString strPath = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".set");
    if (!content.isNull())
        QVERIFY(WriteAll(strPath, content));
    for (bool bModified : {false, true}) {
        CTrelvaneDoc doc;
        FillSample(&doc);
        doc.SetPathName(m_dir.filePath("current.set"));
        doc.SetModifiedFlag(bModified);
        const SDocState before = StateOf(doc);

        QString strError;
        QVERIFY(!doc.OnOpenDocument(strPath, &strError));
        if (!message.isEmpty())
            QCOMPARE(strError, message);
        QVERIFY(!strError.isEmpty());
        QVERIFY(StateOf(doc) == before);
    }
}

void CTestTrelvaneDoc::testFailedSaveChangesNothing()
{
    CTrelvaneDoc doc;
    FillSample(&doc);
    doc.SetModifiedFlag();
    const SDocState before = StateOf(doc);
    const QString strPath = m_dir.filePath("no such folder/a.set");

    QString strError;
    QVERIFY(!doc.OnSaveDocument(strPath, &strError));
    QCOMPARE(strError, QStringLiteral("%1\nCannot find this file.\nPlease verify that the correct path and file name "
                                      "are given.").arg(strPath));
    QVERIFY(StateOf(doc) == before);
    QVERIFY(!QFile::exists(strPath));
}

QTEST_GUILESS_MAIN(CTestTrelvaneDoc)
#include "tst_trelvanedoc.moc"
