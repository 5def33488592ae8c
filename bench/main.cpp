// trelvane-bench: measures a relay (trelvaned or socat) on loopback and
// prints one "relay<TAB>metric<TAB>value" line per result; --summarize turns
// the lines of several runs into the comparison table and docs/performance.md.
#include "benchcases.h"
#include "benchsummary.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>

namespace {

const QStringList kAllCases = {QStringLiteral("in2out"), QStringLiteral("out2in"), QStringLiteral("both"),
                               QStringLiteral("listen"), QStringLiteral("tls"),    QStringLiteral("lat1"),   QStringLiteral("lat512"), QStringLiteral("lat1500"), QStringLiteral("udp"),
                               QStringLiteral("pty"),    QStringLiteral("plugin"), QStringLiteral("line"),
                               QStringLiteral("lineplugin"), QStringLiteral("latline"), QStringLiteral("line2217"), QStringLiteral("console"),
                               QStringLiteral("soak")};
// The soak takes a minute; it runs only when asked for.
const QStringList kDefaultCases = kAllCases.mid(0, kAllCases.size() - 1);

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("trelvane-bench"));
    // A relay that goes away must fail the case, not end the benchmark.
    ::signal(SIGPIPE, SIG_IGN);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Relay benchmark: trelvaned against socat on loopback."));
    parser.addHelpOption();
    const QCommandLineOption relayOption(QStringLiteral("relay"),
                                         QStringLiteral("Relay to measure: trelvaned, baseline (another trelvaned build, "
                                                        "e.g. of an older commit, given by --trelvaned), "
                                                        "socat-b512 or socat-8k."),
                                         QStringLiteral("name"), QStringLiteral("socat-b512"));
    const QCommandLineOption trelvanedOption(QStringLiteral("trelvaned"), QStringLiteral("Path of trelvaned (or of the baseline build)."),
                                             QStringLiteral("path"), QStringLiteral("trelvaned"));
    const QCommandLineOption casesOption(QStringLiteral("cases"),
                                         QStringLiteral("Comma-separated cases: %1 (default: all but soak).")
                                             .arg(kAllCases.join(QLatin1Char(','))),
                                         QStringLiteral("list"), kDefaultCases.join(QLatin1Char(',')));
    const QCommandLineOption pluginOption(QStringLiteral("plugin"),
                                          QStringLiteral("The copying plug-in of the plugin case (default: benchcopy.so "
                                                         "next to this program)."),
                                          QStringLiteral("path"));
    const QCommandLineOption mibOption(QStringLiteral("mib"),
                                       QStringLiteral("MiB per direction in the throughput cases (UDP: half, pty: a quarter)."),
                                       QStringLiteral("n"), QStringLiteral("128"));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"), QStringLiteral("Round trips per latency case."),
                                          QStringLiteral("n"), QStringLiteral("10000"));
    const QCommandLineOption soakOption(QStringLiteral("soak-seconds"), QStringLiteral("Length of the soak case."),
                                        QStringLiteral("s"), QStringLiteral("60"));
    const QCommandLineOption summarizeOption(QStringLiteral("summarize"),
                                             QStringLiteral("Summarize the result files given as arguments."));
    const QCommandLineOption markdownOption(QStringLiteral("markdown"),
                                            QStringLiteral("With --summarize: write the report to this file."),
                                            QStringLiteral("path"));
    const QCommandLineOption commandOption(QStringLiteral("command"),
                                           QStringLiteral("With --summarize: the command named in the report."),
                                           QStringLiteral("text"), QStringLiteral("make bench"));
    const QCommandLineOption baselineNameOption(QStringLiteral("baseline-name"),
                                                QStringLiteral("With --summarize: which build the baseline relay is."),
                                                QStringLiteral("text"), QStringLiteral("another trelvaned build"));
    parser.addOptions({relayOption, trelvanedOption, pluginOption, casesOption, mibOption, roundsOption, soakOption,
                       summarizeOption, markdownOption, commandOption, baselineNameOption});
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("Result files (with --summarize)."));
    parser.process(app);

    if (parser.isSet(summarizeOption)) {
        if (parser.positionalArguments().isEmpty())
            parser.showHelp(2);
        return Summarize(parser.positionalArguments(), parser.value(markdownOption), parser.value(commandOption),
                         parser.value(baselineNameOption));
    }

    SBenchOptions options;
    if (!ParseRelayName(parser.value(relayOption), &options.m_kind)) {
        std::fprintf(stderr, "trelvane-bench: unknown relay \"%s\"\n", qPrintable(parser.value(relayOption)));
        return 2;
    }
    options.m_strTrelvaned = parser.value(trelvanedOption);
    options.m_strPlugin = parser.isSet(pluginOption)
                              ? parser.value(pluginOption)
                              : QCoreApplication::applicationDirPath() + QStringLiteral("/benchcopy.so");
    bool bMib = false, bRounds = false, bSoak = false;
    const double fMib = parser.value(mibOption).toDouble(&bMib);
    options.m_nRounds = parser.value(roundsOption).toInt(&bRounds);
    options.m_nSoakSeconds = parser.value(soakOption).toInt(&bSoak);
    if (!bMib || fMib <= 0 || !bRounds || options.m_nRounds <= 0 || !bSoak || options.m_nSoakSeconds <= 0) {
        std::fprintf(stderr, "trelvane-bench: --mib, --rounds and --soak-seconds take positive numbers\n");
        return 2;
    }
    options.m_nBytes = uint64_t(fMib * 1024 * 1024);
    const QStringList cases = parser.value(casesOption).split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString& strCase : cases) {
        // latN with another message size is accepted for experiments.
        if (!kAllCases.contains(strCase) && !(strCase.startsWith(QStringLiteral("lat")) && strCase.mid(3).toInt() > 0
                                              && strCase.mid(3).toInt() <= int(65536))) {
            std::fprintf(stderr, "trelvane-bench: unknown case \"%s\"\n", qPrintable(strCase));
            return 2;
        }
    }
    QTemporaryDir workDir;
    if (!workDir.isValid()) {
        std::fprintf(stderr, "trelvane-bench: cannot create a scratch folder\n");
        return 1;
    }
    options.m_strWorkDir = workDir.path();

    const QString strRelay = RelayName(options.m_kind);
    double fPeakRss = -1;
    const FReport report = [&](const QString& strMetric, double fValue) {
        // The TLS case has a bound of its own: OpenSSL's tables come on top.
        // So has the console case, whose figure is compared on its own.
        if (strMetric.endsWith(QStringLiteral("_peak_rss_KiB")) && !strMetric.startsWith(QStringLiteral("tls_"))
            && !strMetric.startsWith(QStringLiteral("console")))
            fPeakRss = std::max(fPeakRss, fValue);
        std::printf("%s\t%s\t%.6g\n", qPrintable(strRelay), qPrintable(strMetric), fValue);
        std::fflush(stdout);
    };
    int nFailed = 0;
    for (const QString& strCase : cases) {
        std::fprintf(stderr, "trelvane-bench: %s %s\n", qPrintable(strRelay), qPrintable(strCase));
        bool bOk;
        if (strCase == QStringLiteral("in2out"))
            bOk = RunThroughputCase(options, true, false, report);
        else if (strCase == QStringLiteral("out2in"))
            bOk = RunThroughputCase(options, false, true, report);
        else if (strCase == QStringLiteral("both"))
            bOk = RunThroughputCase(options, true, true, report);
        else if (strCase == QStringLiteral("listen"))
            bOk = RunListenCase(options, report);
        else if (strCase == QStringLiteral("tls"))
            bOk = RunTlsCase(options, report);
        else if (strCase == QStringLiteral("line"))
            bOk = RunLineCase(options, report);
        else if (strCase == QStringLiteral("lineplugin"))
            bOk = RunLinePluginCase(options, report);
        else if (strCase == QStringLiteral("line2217"))
            bOk = RunLineComPortCase(options, report);
        else if (strCase == QStringLiteral("latline"))
            bOk = RunLineLatencyCase(options, report);
        else if (strCase.startsWith(QStringLiteral("lat")))
            bOk = RunLatencyCase(options, strCase.mid(3).toInt(), report);
        else if (strCase == QStringLiteral("udp"))
            bOk = RunUdpCase(options, report);
        else if (strCase == QStringLiteral("pty"))
            bOk = RunPtyCase(options, report);
        else if (strCase == QStringLiteral("plugin"))
            bOk = RunPluginCase(options, report);
        else if (strCase == QStringLiteral("console"))
            bOk = RunConsoleCase(options, report);
        else
            bOk = RunSoakCase(options, report);
        if (!bOk)
            ++nFailed;
    }
    if (fPeakRss >= 0)
        report(QStringLiteral("peak_rss_KiB"), fPeakRss);
    return nFailed == 0 ? 0 : 1;
}
