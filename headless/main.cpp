// trelvaned: runs the gateway from a settings file without a display.

#include "headlesshost.h"
#include "metricstext.h"
#include "runner.h"
#include "settingscheck.h"
#include "settingsoptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

enum { kExitUsage = 2 };

void PrintProblems(const SCheckReport& report)
{
    for (const QString& strProblem : report.ProblemLines()) {
        const QByteArray line = (QStringLiteral("trelvaned: ") + EscapeControls(strProblem)).toUtf8() + '\n';
        std::fputs(line.constData(), stderr);
    }
    std::fflush(stderr);
}

// --check: what each setting means on standard output, one line per problem
// on standard error; nothing is started or written.
int CheckOnly(const CRunner::SOptions& options, const SCheckOptions& checkOptions)
{
    const SCheckReport report = CheckSettingsFile(options.m_strSetFile, options.m_strProfile, checkOptions);
    for (const QString& strLine : report.m_listLines)
        std::fputs((strLine.toUtf8() + '\n').constData(), stdout);
    std::fflush(stdout);
    PrintProblems(report);
    return report.ExitStatus();
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
        "Runs the Trelvane gateway from a settings file (binary or text form), or from\n"
        "settings given as options (--in SETUP --out SETUP ...), without a display.\n"
        "Message list lines go to standard output, status changes and message boxes to\n"
        "standard error. SIGINT/SIGTERM stop cleanly, SIGHUP reloads the file and restarts,\n"
        "SIGUSR1 prints the counters (they are printed at exit too).\n"
        "After a failure line, a plain explanation follows on standard error (\"why: ...\").\n"
        "Exit status: 0 stopped by a signal, 1 the Input port did not start,\n"
        "2 bad command line or unreadable settings file.\n"
        "With --check (and --check-first) the same for what the check finds: 2 the file\n"
        "does not load, 1 the Input port cannot start (\"error:\" lines), 0 the gateway\n"
        "runs (\"warning:\" lines say what it runs differently from what is written)."));
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
        QStringLiteral("Check the settings file instead of running it: parse both setup strings as the "
                       "gateway would, look at each serial device without opening it (that it exists, is a "
                       "terminal device and this user may read and write it), find each plug-in file and read its "
                       "exported functions without loading it, look up host names and try to bind "
                       "listening ports; print what each setting means, and one line per problem on "
                       "standard error: \"error:\" stops the gateway, \"warning:\" does not."));
    parser.addOption(checkOption);
    const QCommandLineOption openDevicesOption(QStringLiteral("open-devices"),
        QStringLiteral("With --check: also open and close each serial device once (this raises DTR, "
                       "which resets some boards)."));
    parser.addOption(openDevicesOption);
    const QCommandLineOption loadPluginsOption(QStringLiteral("load-plugins"),
        QStringLiteral("With --check: also load and unload each plug-in once (this runs the plug-in's code)."));
    parser.addOption(loadPluginsOption);
    const QCommandLineOption checkFirstOption(QStringLiteral("check-first"),
        QStringLiteral("Check the settings file as --check does before running it: the problems go to "
                       "standard error, and an error ends the run at once with the status it would end "
                       "with anyway (as the service unit uses it)."));
    parser.addOption(checkFirstOption);
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
    const QCommandLineOption httpOption(QStringLiteral("http"),
        QStringLiteral("Serve a read-only web console at http://<address>:<port>/ (the state of both ports, "
                       "the traffic, the Message list; /api/status as JSON, /api/events as server-sent events, "
                       "/metrics); a port alone listens on 127.0.0.1. Any other address needs TLS from the "
                       "profile's [TLS] (https://) or --http-insecure."),
        QStringLiteral("[address:]port"));
    parser.addOption(httpOption);
    const QCommandLineOption httpInsecureOption(QStringLiteral("http-insecure"),
        QStringLiteral("With --http on an address other than loopback: serve the console without TLS."));
    parser.addOption(httpInsecureOption);
    const QCommandLineOption httpAllowOption(QStringLiteral("http-allow"),
        QStringLiteral("With --http: take connections only from these addresses and prefixes, separated by '+' "
                       "as in allow= (10.0.0.0/8+::1)."),
        QStringLiteral("addresses"));
    parser.addOption(httpAllowOption);
    parser.addOption(retryOption);
    parser.addOption(traceOption);
    parser.addOption(profileOption);
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The settings file (.set, binary or text)."));
    const CSettingsOptions settingsOptions(parser);

    if (!parser.parse(QCoreApplication::arguments()))
        return Usage(parser.errorText());
    if (parser.isSet(helpOption)) {
        // The usage line names the program as typed; show its name only.
        QString strHelp = parser.helpText();
        const QString strUsage = QStringLiteral("Usage: ") + QCoreApplication::arguments().constFirst();
        if (strHelp.startsWith(strUsage))
            strHelp.replace(0, strUsage.size(), QStringLiteral("Usage: trelvaned"));
        std::fputs(strHelp.toUtf8().constData(), stdout);
        return 0;
    }
    if (parser.isSet(versionOption) || parser.isSet(oldVersionOption)) {
        std::printf("trelvaned %s\n", TRELVANE_VERSION);
        return 0;
    }

    CRunner::SOptions options;
    const QStringList files = parser.positionalArguments();
    if (settingsOptions.IsAnyGiven()) {
        if (!files.isEmpty())
            return Usage(QStringLiteral("settings given as options take the place of a settings file: give one or the other"));
        if (parser.isSet(checkOption) || parser.isSet(checkFirstOption))
            return Usage(QStringLiteral("--check and --check-first check a settings file"));
        QString strError;
        if (!settingsOptions.Read(&options.m_commandLineSettings.emplace(), &strError))
            return Usage(strError);
    } else if (files.isEmpty()) {
        return Usage(QStringLiteral("no settings file given"));
    } else if (files.size() > 1) {
        return Usage(QStringLiteral("one settings file only, got %1").arg(files.size()));
    } else {
        options.m_strSetFile = files.front();
    }
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
    if (parser.isSet(httpOption)
        && !ParseMetricsAddress(parser.value(httpOption), &options.m_consoleAddress, &options.m_nConsolePort,
                                &strMetricsError, QStringLiteral("--http")))
        return Usage(strMetricsError);
    if ((parser.isSet(httpInsecureOption) || parser.isSet(httpAllowOption)) && !parser.isSet(httpOption))
        return Usage(QStringLiteral("--http-insecure and --http-allow go with --http"));
    options.m_bConsoleInsecure = parser.isSet(httpInsecureOption);
    if (parser.isSet(httpAllowOption)) {
        const QByteArray strAllow = parser.value(httpAllowOption).toUtf8();
        for (const QByteArray& strEntry : strAllow.split('+')) {
            if (!options.m_consoleAllowed.Add(strEntry))
                return Usage(QStringLiteral("--http-allow takes addresses and prefixes written as numbers "
                                            "(10.0.0.7, 192.168.1.0/24, fd00::/8) separated by '+'; '%1' is none")
                                 .arg(QString::fromUtf8(strEntry)));
        }
    }

    SCheckOptions checkOptions;
    checkOptions.m_bOpenDevices = parser.isSet(openDevicesOption);
    checkOptions.m_bLoadPlugins = parser.isSet(loadPluginsOption);
    if ((checkOptions.m_bOpenDevices || checkOptions.m_bLoadPlugins) && !parser.isSet(checkOption))
        return Usage(QStringLiteral("--open-devices and --load-plugins go with --check"));
    if (parser.isSet(checkOption)) {
        if (parser.isSet(checkFirstOption))
            return Usage(QStringLiteral("--check and --check-first exclude each other"));
        return CheckOnly(options, checkOptions);
    }
    if (parser.isSet(checkFirstOption)) {
        const SCheckReport report = CheckSettingsFile(options.m_strSetFile, options.m_strProfile);
        PrintProblems(report);
        // With --retry an Input that cannot start is tried again.
        const int nStatus = report.ExitStatus();
        if (nStatus == 2 || (nStatus == 1 && options.m_nRetrySeconds == 0))
            return nStatus;
    }

    CRunner runner(options);
    if (!runner.Start())
        return kExitUsage;
    return QCoreApplication::exec();
}
