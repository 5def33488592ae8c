// trelvaned: runs the gateway from a settings file without a display.

#include "headlesshost.h"
#include "metricstext.h"
#include "runner.h"
#include "settingscheck.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

enum { kExitUsage = 2 };

// --check: what each setting means on standard output, one line per problem
// on standard error; nothing is started or written.
int CheckOnly(const CRunner::SOptions& options)
{
    const SCheckReport report = CheckSettingsFile(options.m_strSetFile, options.m_strProfile);
    for (const QString& strLine : report.m_listLines)
        std::fputs((strLine.toUtf8() + '\n').constData(), stdout);
    for (const QString& strProblem : report.m_listProblems)
        std::fputs((QStringLiteral("trelvaned: ") + EscapeControls(strProblem)).toUtf8().append('\n').constData(), stderr);
    return report.m_listProblems.isEmpty() ? 0 : 1;
}

int Usage(const QString& strReason)
{
    const QByteArray line = QStringLiteral("trelvaned: %1 (see trelvaned --help)\n").arg(strReason).toUtf8();
    std::fputs(line.constData(), stderr);
    return kExitUsage;
}

} // namespace

int main(int argc, char* argv[])
{
    // Qt's own poll() event loop instead of GLib's: it spends fewer
    // instructions per wake-up, which shows in the relay's round-trip time.
    // Nothing here needs GLib's loop; a QT_NO_GLIB of the caller wins.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("trelvaned"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TRELVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs the Trelvane gateway from a settings file without a display.\n"
        "Message list lines go to standard output, status changes and message boxes to\n"
        "standard error. SIGINT/SIGTERM stop cleanly, SIGHUP reloads the file and restarts,\n"
        "SIGUSR1 prints the counters (they are printed at exit too).\n"
        "After a failure line, a plain explanation follows on standard error (\"why: ...\").\n"
        "Exit status: 0 stopped by a signal, 1 the Input port did not start,\n"
        "2 bad command line or unreadable settings file.\n"
        "With --check: 0 no problem found, 1 a problem found."));
    // Help and version by hand: Qt's own help option would also list
    // --help-all, and its version option is -v where trelvane-set has -V.
    // -v stays accepted for scripts written against older versions.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Displays help on commandline options."));
    const QCommandLineOption versionOption({QStringLiteral("V"), QStringLiteral("version")},
                                           QStringLiteral("Displays version information."));
    QCommandLineOption oldVersionOption(QStringLiteral("v"));
    oldVersionOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(helpOption);
    parser.addOption(versionOption);
    parser.addOption(oldVersionOption);
    const QCommandLineOption retryOption(QStringLiteral("retry"),
        QStringLiteral("When the Input port does not start, press Startup / Reset again after <seconds> "
                       "until it starts, instead of exiting with status 1."),
        QStringLiteral("seconds"));
    const QCommandLineOption profileOption(QStringLiteral("profile"),
        QStringLiteral("The profile whose [Serial Ports] maps port names to devices "
                       "(default: $XDG_CONFIG_HOME/trelvane/trelvane.ini)."),
        QStringLiteral("file"));
    const QCommandLineOption checkOption(QStringLiteral("check"),
        QStringLiteral("Check the settings file instead of running it: parse both setup strings and find "
                       "both plug-ins as the gateway would, open each serial device once, look up host "
                       "names; print what each setting means, and one line per problem on standard error."));
    parser.addOption(checkOption);
    const QCommandLineOption traceOption(QStringLiteral("trace"),
        QStringLiteral("Write every block as it passes to <file> (appended to; \"-\" for standard output): "
                       "time, direction, stage, length and a hex dump."),
        QStringLiteral("file"));
    const QCommandLineOption metricsOption(QStringLiteral("metrics"),
        QStringLiteral("Serve the counters, the state of the ports and the last start and failure at "
                       "http://<address>:<port>/metrics in the Prometheus text format; a port alone "
                       "listens on 127.0.0.1."),
        QStringLiteral("[address:]port"));
    parser.addOption(metricsOption);
    parser.addOption(retryOption);
    parser.addOption(traceOption);
    parser.addOption(profileOption);
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The settings file (.set)."));

    if (!parser.parse(QCoreApplication::arguments()))
        return Usage(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(parser.helpText().toUtf8().constData(), stdout);
        return 0;
    }
    if (parser.isSet(versionOption) || parser.isSet(oldVersionOption)) {
        std::printf("trelvaned %s\n", TRELVANE_VERSION);
        return 0;
    }

    CRunner::SOptions options;
    const QStringList files = parser.positionalArguments();
    if (files.isEmpty())
        return Usage(QStringLiteral("no settings file given"));
    if (files.size() > 1)
        return Usage(QStringLiteral("one settings file only, got %1").arg(files.size()));
    options.m_strSetFile = files.front();
    if (parser.isSet(retryOption)) {
        bool bOk = false;
        const QString strValue = parser.value(retryOption);
        const int nSeconds = strValue.toInt(&bOk);
        // Whole seconds that fit a timer's milliseconds.
        if (!bOk || nSeconds < 1 || nSeconds > 2000000)
            return Usage(QStringLiteral("--retry needs whole seconds from 1 to 2000000, got '%1'").arg(strValue));
        options.m_nRetrySeconds = nSeconds;
    }
    if (parser.isSet(traceOption)) {
        options.m_strTrace = parser.value(traceOption);
        if (options.m_strTrace.isEmpty())
            return Usage(QStringLiteral("--trace needs a file name or -"));
    }
    if (parser.isSet(profileOption)) {
        options.m_strProfile = parser.value(profileOption);
        if (options.m_strProfile.isEmpty())
            return Usage(QStringLiteral("--profile needs a file name"));
    }

    QString strMetricsError;
    if (parser.isSet(metricsOption)
        && !ParseMetricsAddress(parser.value(metricsOption), &options.m_metricsAddress, &options.m_nMetricsPort,
                                &strMetricsError))
        return Usage(strMetricsError);

    if (parser.isSet(checkOption))
        return CheckOnly(options);

    CRunner runner(options);
    if (!runner.Start())
        return kExitUsage;
    return QCoreApplication::exec();
}
