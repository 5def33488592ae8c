// No code of the programs runs an event loop of its own on its caller's
// stack: starts, sends and lookups go on from the event loop's
// notifications instead.

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

class TestNoWait : public QObject
{
    Q_OBJECT
private slots:
    void noNestedEventLoop();
};

void TestNoWait::noNestedEventLoop()
{
    static const QRegularExpression nested(QStringLiteral("\\bprocessEvents\\b|\\bQEventLoop\\b"));
    int nFiles = 0;
    QStringList found;
    for (const char* pszFolder : {"app", "ui", "gateway", "ports", "settings", "headless", "tools"}) {
        QDirIterator it(QStringLiteral(TRELVANE_SOURCE_DIR "/") + QLatin1String(pszFolder),
                        {QStringLiteral("*.cpp"), QStringLiteral("*.h"), QStringLiteral("*.c")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            ++nFiles;
            int nLine = 0;
            while (!file.atEnd()) {
                ++nLine;
                const QString strLine = QString::fromUtf8(file.readLine());
                if (nested.match(strLine).hasMatch())
                    found.append(QStringLiteral("%1:%2: %3").arg(file.fileName()).arg(nLine).arg(strLine.trimmed()));
            }
        }
    }
    QVERIFY(nFiles > 50);
    QVERIFY2(found.isEmpty(), qPrintable(found.join(u'\n')));
}

QTEST_GUILESS_MAIN(TestNoWait)
#include "tst_nowait.moc"
