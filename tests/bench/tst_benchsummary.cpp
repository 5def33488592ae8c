// The benchmark summary on small made-up result files: the compared relays'
// columns, the targets and their verdicts, the memory limit and the plot.
#include "benchsummary.h"

#include <QFile>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

class TestBenchSummary : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QStringList m_files;
    QString m_strMarkdown;

    // Adds one run's result file: "relay metric value" per entry.
    void AddRun(const QString& strRelay, const QList<QPair<const char*, double>>& values)
    {
        const QString strPath = m_dir.filePath(QStringLiteral("%1.%2.tsv").arg(strRelay).arg(m_files.size()));
        QFile file(strPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (const auto& value : values)
            file.write(QStringLiteral("%1\t%2\t%3\n").arg(strRelay, QLatin1String(value.first)).arg(value.second).toUtf8());
        m_files << strPath;
    }

    // Summarizes the runs added so far into report.md and reads it back.
    void Summarize()
    {
        const QString strPath = m_dir.filePath(QStringLiteral("report.md"));
        QCOMPARE(::Summarize(m_files, strPath, QStringLiteral("make bench"), QStringLiteral("commit abc1234")), 0);
        QFile file(strPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        m_strMarkdown = QString::fromUtf8(file.readAll());
    }

    // The cells of the table row of this measure, without the label.
    QStringList Row(const QString& strLabel) const
    {
        for (const QString& strLine : m_strMarkdown.split(QLatin1Char('\n'))) {
            if (strLine.startsWith(QStringLiteral("| ") + strLabel + QStringLiteral(" |"))) {
                QStringList cells = strLine.split(QLatin1Char('|'));
                cells = cells.mid(2, cells.size() - 3);
                for (QString& strCell : cells)
                    strCell = strCell.trimmed();
                return cells;
            }
        }
        return {};
    }

    // The target line of this measure against this relay, or empty.
    QString TargetLine(const QString& strLabel, const QString& strPeer) const
    {
        for (const QString& strLine : m_strMarkdown.split(QLatin1Char('\n'))) {
            if (strLine.startsWith(QStringLiteral("- ") + strLabel + QStringLiteral(": "))
                && strLine.contains(QStringLiteral("x ") + strPeer + QStringLiteral(" (")))
                return strLine;
        }
        return {};
    }

private slots:
    void init()
    {
        m_files.clear();
        m_strMarkdown.clear();
        QVERIFY(m_dir.isValid());
    }

    void socat8kIsAComparedPeer()
    {
        AddRun(QStringLiteral("trelvaned"), {{"in2out_MBps", 300}, {"out2in_MBps", 500}, {"in2out_cpu_s_per_GiB", 2.0},
                                             {"plugin_MBps", 330}, {"peak_rss_KiB", 9000}});
        AddRun(QStringLiteral("socat-b512"), {{"in2out_MBps", 100}, {"out2in_MBps", 100}, {"in2out_cpu_s_per_GiB", 8.0}});
        AddRun(QStringLiteral("socat-8k"), {{"in2out_MBps", 400}, {"out2in_MBps", 400}, {"in2out_cpu_s_per_GiB", 2.6}});
        Summarize();

        // The existing columns come first, unchanged; no baseline was measured.
        QVERIFY(m_strMarkdown.contains(QStringLiteral("| Measure | Unit | trelvaned | socat -b 512 | ratio | target | met | "
                                                      "socat 8 KiB | ratio | target | met |\n")));
        QVERIFY(!m_strMarkdown.contains(QStringLiteral("| baseline |")));

        QCOMPARE(Row(QStringLiteral("TCP->TCP throughput, Input->Output")),
                 QStringList({QStringLiteral("MB/s"), QStringLiteral("300.0"), QStringLiteral("100.0"), QStringLiteral("3.00x"),
                              QStringLiteral(">= 2.0x"), QStringLiteral("yes"), QStringLiteral("400.0"),
                              QStringLiteral("0.75x"), QStringLiteral(">= 1.0x"), QStringLiteral("**no**")}));
        QCOMPARE(Row(QStringLiteral("TCP->TCP throughput, Output->Input")).mid(7), QStringList({
                     QStringLiteral("1.25x"), QStringLiteral(">= 1.0x"), QStringLiteral("yes")}));
        QVERIFY(TargetLine(QStringLiteral("TCP->TCP throughput, Input->Output"), QStringLiteral("socat 8 KiB"))
                    .endsWith(QStringLiteral("(measured 0.75x) — **not met**")));
        // CPU: lower is better.
        QVERIFY(TargetLine(QStringLiteral("relay CPU per GiB, Input->Output"), QStringLiteral("socat 8 KiB"))
                    .contains(QStringLiteral("<= 1.0x socat 8 KiB (measured 0.77x) — met")));
        // The plug-in case against socat -b 512's plain Input->Output figure
        // (330 / 100); socat 8 KiB's is shown beside it without a target.
        const QStringList plugin = Row(QStringLiteral("TCP->TCP Input->Output through a copying plug-in"));
        QCOMPARE(plugin.value(4), QStringLiteral(">= 1.0x"));
        QCOMPARE(plugin.value(5), QStringLiteral("yes"));
        QCOMPARE(plugin.value(6), QStringLiteral("400.0"));
        QCOMPARE(plugin.value(7), QStringLiteral("0.82x"));
        QCOMPARE(plugin.value(9), QString());
        QVERIFY(TargetLine(QStringLiteral("TCP->TCP Input->Output through a copying plug-in"), QStringLiteral("socat -b 512"))
                    .endsWith(QStringLiteral("(measured 3.30x) — met")));
        // A measure socat 8 KiB lacks: its cells stay empty, no target line.
        QCOMPARE(Row(QStringLiteral("relay peak resident memory (VmHWM)")).value(6), QStringLiteral("–"));
    }

    void baselineTargets()
    {
        AddRun(QStringLiteral("trelvaned"), {{"in2out_MBps", 300}, {"udp_dgps", 210000}, {"lat1_p50_us", 10.5},
                                             {"lat1_p99_us", 21.6}, {"lat512_p50_us", 10}, {"lat512_p99_us", 23},
                                             {"lat1500_p50_us", 16}});
        AddRun(QStringLiteral("socat-b512"), {{"in2out_MBps", 100}, {"lat1_p50_us", 10}});
        AddRun(QStringLiteral("baseline"), {{"in2out_MBps", 200}, {"udp_dgps", 100000}, {"lat1_p50_us", 10},
                                            {"lat1_p99_us", 20}, {"lat512_p50_us", 10}, {"lat512_p99_us", 20},
                                            {"lat1500_p50_us", 15}});
        AddRun(QStringLiteral("baseline"), {{"in2out_MBps", 220}, {"udp_dgps", 110000}});
        Summarize();

        QVERIFY(m_strMarkdown.contains(QStringLiteral("| socat -b 512 | ratio | target | met | baseline | ratio | target | "
                                                      "met |\n")));
        QVERIFY(!m_strMarkdown.contains(QStringLiteral("socat 8 KiB | ratio")));
        QVERIFY(m_strMarkdown.contains(QStringLiteral("2 of the baseline (commit abc1234)")));
        // The median of the two baseline runs: 105000 datagrams/s.
        QCOMPARE(Row(QStringLiteral("TCP->UDP Output datagrams")).mid(6),
                 QStringList({QStringLiteral("105000 (100000–110000)"), QStringLiteral("2.00x"), QStringLiteral(">= 2.0x"),
                              QStringLiteral("yes")}));
        // No worse than the baseline; with one run each, the medians decide.
        QVERIFY(TargetLine(QStringLiteral("round trip, 1-byte message, p50"), QStringLiteral("baseline"))
                    .contains(QStringLiteral("<= 1.0x baseline (measured 1.05x) — **not met**")));
        QVERIFY(TargetLine(QStringLiteral("round trip, 1-byte message, p99"), QStringLiteral("baseline"))
                    .contains(QStringLiteral("<= 1.0x baseline (measured 1.08x) — **not met**")));
        QVERIFY(TargetLine(QStringLiteral("round trip, 512-byte message, p99"), QStringLiteral("baseline"))
                    .contains(QStringLiteral("(measured 1.15x) — **not met**")));
        QVERIFY(TargetLine(QStringLiteral("round trip, 512-byte message, p50"), QStringLiteral("baseline"))
                    .contains(QStringLiteral("(measured 1.00x) — met")));
        // The 1500-byte case is shown, without a target.
        QCOMPARE(Row(QStringLiteral("round trip, 1500-byte message (3 blocks), p50")).mid(6, 3),
                 QStringList({QStringLiteral("15.0"), QStringLiteral("1.07x"), QString()}));
        QVERIFY(TargetLine(QStringLiteral("round trip, 1500-byte message (3 blocks), p50"), QStringLiteral("baseline"))
                    .isEmpty());
    }

    void roundTripNoiseTest_data()
    {
        QTest::addColumn<QList<double>>("ours");
        QTest::addColumn<QList<double>>("theirs");
        QTest::addColumn<QString>("strMet");
        QTest::addColumn<QString>("strVerdict");
        const QList<double> noisy {50, 68, 70, 66, 75, 52, 71, 69, 67, 73};
        // Runs that overlap: the median ratio is above 1.0x, but not beyond the noise.
        QTest::newRow("within the noise")
            << QList<double> {51, 69, 71, 68, 76, 52, 72, 70, 66, 74} << noisy << QStringLiteral("yes (noise)")
            << QStringLiteral("(measured 1.01x, not slower beyond the run-to-run noise (z = 0.45, 10 and 10 runs)) — met");
        // Every run 10 % slower than its counterpart: slower beyond the noise.
        QList<double> slower;
        for (const double f : noisy)
            slower << f * 1.1;
        QTest::newRow("slower") << slower << noisy << QStringLiteral("**no**")
                                << QStringLiteral("slower beyond the run-to-run noise");
        // Faster: met on the ratio alone.
        QTest::newRow("faster") << QList<double> {40, 41, 42, 43, 44, 45, 46, 47, 48, 49} << noisy << QStringLiteral("yes")
                                << QStringLiteral("(measured 0.65x, not slower");
        // Too few runs for the test: the medians decide.
        QTest::newRow("few runs") << QList<double> {51, 69, 71} << QList<double> {50, 68, 70} << QStringLiteral("**no**")
                                  << QStringLiteral("(measured 1.01x) — **not met**");
    }

    void roundTripNoiseTest()
    {
        QFETCH(QList<double>, ours);
        QFETCH(QList<double>, theirs);
        QFETCH(QString, strMet);
        QFETCH(QString, strVerdict);
        for (const double f : ours)
            AddRun(QStringLiteral("trelvaned"), {{"lat512_p50_us", f}});
        for (const double f : theirs)
            AddRun(QStringLiteral("baseline"), {{"lat512_p50_us", f}});
        Summarize();
        QCOMPARE(Row(QStringLiteral("round trip, 512-byte message, p50")).value(9), strMet);
        const QString strLine = TargetLine(QStringLiteral("round trip, 512-byte message, p50"), QStringLiteral("baseline"));
        QVERIFY2(strLine.contains(strVerdict), qPrintable(strLine));
        QCOMPARE(strLine.endsWith(QStringLiteral("— met")), strMet.startsWith(QStringLiteral("yes")));
    }

    void peakMemoryLimit_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<double>("fLargestKiB");
        QTest::addColumn<QString>("strLine");
        const QString strPlain = QStringLiteral("below 16 MiB in every case without TLS ");
        const QString strTls = QStringLiteral("below 20 MiB in the TLS case ");
        QTest::newRow("below") << QByteArray("peak_rss_KiB") << 16383.0 << strPlain + "(largest 16383 KiB) — met";
        QTest::newRow("at the limit") << QByteArray("peak_rss_KiB") << 16384.0
                                      << strPlain + "(largest 16384 KiB) — **not met**";
        QTest::newRow("tls below") << QByteArray("tls_peak_rss_KiB") << 20479.0 << strTls + "(largest 20479 KiB) — met";
        QTest::newRow("tls at the limit") << QByteArray("tls_peak_rss_KiB") << 20480.0
                                          << strTls + "(largest 20480 KiB) — **not met**";
    }

    void peakMemoryLimit()
    {
        QFETCH(QByteArray, key);
        QFETCH(double, fLargestKiB);
        QFETCH(QString, strLine);
        // The largest run counts, not the median.
        AddRun(QStringLiteral("trelvaned"), {{key.constData(), 9000}});
        AddRun(QStringLiteral("trelvaned"), {{key.constData(), fLargestKiB}});
        AddRun(QStringLiteral("trelvaned"), {{key.constData(), 9100}});
        Summarize();
        QVERIFY2(m_strMarkdown.contains("- relay peak resident memory (VmHWM) " + strLine + QLatin1Char('\n')),
                 qPrintable(m_strMarkdown));
    }

    // Notes below the marker line outlive a new report; the old figures do not.
    void handNotesKept()
    {
        AddRun(QStringLiteral("trelvaned"), {{"in2out_MBps", 300}});
        Summarize();
        const QString strMarker = m_strMarkdown.mid(m_strMarkdown.lastIndexOf(QStringLiteral("<!--")));
        QVERIFY(strMarker.startsWith(QStringLiteral("<!-- Written by hand below")));
        QFile file(m_dir.filePath(QStringLiteral("report.md")));
        QVERIFY(file.open(QIODevice::Append));
        file.write("\n## Measured by hand\n\nkept 123\n");
        file.close();

        m_files.clear();
        AddRun(QStringLiteral("trelvaned"), {{"in2out_MBps", 456}});
        Summarize();
        QVERIFY(m_strMarkdown.endsWith(strMarker + QStringLiteral("\n## Measured by hand\n\nkept 123\n")));
        QCOMPARE(m_strMarkdown.count(QStringLiteral("<!-- Written by hand")), 1);
        QVERIFY(Row(QStringLiteral("TCP->TCP throughput, Input->Output")).value(1).startsWith(QStringLiteral("456")));
    }

    void throughputPlot()
    {
        AddRun(QStringLiteral("trelvaned"), {{"in2out_MBps", 300}, {"udp_MBps", 200}, {"lat1_p50_us", 10}});
        AddRun(QStringLiteral("baseline"), {{"in2out_MBps", 250}, {"udp_MBps", 100}});
        AddRun(QStringLiteral("socat-b512"), {{"in2out_MBps", 100}});
        AddRun(QStringLiteral("socat-8k"), {{"in2out_MBps", 400}});
        Summarize();
        QVERIFY(m_strMarkdown.contains(QStringLiteral("![Throughput per relay and case](report-throughput.svg)")));

        QFile plot(m_dir.filePath(QStringLiteral("report-throughput.svg")));
        QVERIFY(plot.open(QIODevice::ReadOnly));
        QXmlStreamReader svg(&plot);
        QStringList bars, texts;
        while (!svg.atEnd()) {
            if (svg.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (svg.name() == QStringLiteral("rect") && svg.attributes().value(QStringLiteral("class")) == QStringLiteral("bar"))
                bars << svg.attributes().value(QStringLiteral("width")).toString();
            else if (svg.name() == QStringLiteral("text"))
                texts << svg.readElementText();
        }
        QVERIFY2(!svg.hasError(), qPrintable(svg.errorString()));
        // One bar per relay and throughput case: four for Input->Output
        // (the widest is socat 8 KiB's), two for UDP; none for round trips.
        QCOMPARE(bars.size(), 6);
        QCOMPARE(bars.mid(0, 4), QStringList({QStringLiteral("270.0"), QStringLiteral("225.0"), QStringLiteral("360.0"),
                                              QStringLiteral("90.0")}));
        for (const QString& strName : {QStringLiteral("trelvaned"), QStringLiteral("baseline"), QStringLiteral("socat-8k"),
                                       QStringLiteral("socat-b512"), QStringLiteral("TCP->TCP throughput, Input->Output")})
            QVERIFY2(texts.contains(strName), qPrintable(strName));
        QVERIFY(!texts.contains(QStringLiteral("round trip, 1-byte message, p50")));
    }

    void unreadableResultsFail()
    {
        QCOMPARE(::Summarize({m_dir.filePath(QStringLiteral("missing.tsv"))}, {}, QStringLiteral("make bench")), 1);
    }
};

QTEST_GUILESS_MAIN(TestBenchSummary)
#include "tst_benchsummary.moc"
