// trelvane-set: shows and writes settings files and edits the profile's
// [Serial Ports] map, for systems without the desktop program.

#include "setshow.h"
#include "settoolcommand.h"

#include "atomicfile.h"
#include "setfile.h"
#include "setfilemessages.h"
#include "settext.h"
#include "settingscheck.h"
#include "settingsfile.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QList>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <sys/stat.h>

using namespace SetTool;

namespace {

// ---- show -------------------------------------------------------------

// A command's words: its flags (each sets a bool) and its file names, "--"
// ending the flags. Returns an exit status when the command must end here
// (help, an unknown option), else nothing.
struct SFlag
{
    const char* pszName;
    bool* pbSet;
};

std::optional<int> SplitCommandArgs(const QList<QByteArray>& args, const char* pszCommand,
                                    std::initializer_list<SFlag> flags, QList<QByteArray>* pFiles)
{
    bool bOptionsEnded = false;
    for (const QByteArray& arg : args) {
        if (bOptionsEnded || arg == "-" || !arg.startsWith('-')) {
            pFiles->append(arg);
            continue;
        }
        if (arg == "--") {
            bOptionsEnded = true;
            continue;
        }
        if (IsHelp(arg))
            return Help();
        const auto flag = std::find_if(flags.begin(), flags.end(), [&](const SFlag& f) { return arg == f.pszName; });
        if (flag == flags.end())
            return UsageError(QStringLiteral("%1: unknown option '%2'").arg(QLatin1String(pszCommand), Text(arg)));
        *flag->pbSet = true;
    }
    return std::nullopt;
}

int Show(const QList<QByteArray>& args)
{
    QList<QByteArray> files;
    if (const std::optional<int> nExit = SplitCommandArgs(args, "show", {}, &files))
        return *nExit;
    if (files.size() != 1)
        return UsageError(QStringLiteral("show needs one settings file"));
    const QString strPath = QFile::decodeName(files.front());
    SSetFields fields;
    SSetFileExtent extent;
    QString strError;
    if (!LoadSettingsFile(strPath, &fields, &strError, &extent))
        return Failed(strError);
    const QString strOddity = SetFileOddity(fields, extent);
    if (!strOddity.isEmpty())
        return Failed(QStringLiteral("%1 is not a settings file: %2").arg(strPath, strOddity));
    const QByteArray text = FormatSetFields(fields);
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    return kExitOk;
}

// ---- text, binary -----------------------------------------------------

int Convert(const QList<QByteArray>& args, bool bToText)
{
    QList<QByteArray> files;
    bool bForce = false;
    if (const std::optional<int> nExit
        = SplitCommandArgs(args, bToText ? "text" : "binary", {{"--force", &bForce}}, &files))
        return *nExit;
    if (bToText ? files.isEmpty() || files.size() > 2 : files.size() != 2) {
        return UsageError(bToText ? QStringLiteral("text needs a settings file and at most one output file")
                                  : QStringLiteral("binary needs a settings file and an output file"));
    }
    SSetFields fields;
    SSetLayout layout;
    QString strError;
    if (!LoadSettingsFile(QFile::decodeName(files[0]), &fields, &strError, nullptr, &layout))
        return Failed(strError);
    // "-" (or no output file for text): standard output, either form.
    if (files.size() == 1 || files[1] == "-") {
        const std::optional<QByteArray> data
            = bToText ? std::optional<QByteArray>(WriteSetText(fields, layout)) : WriteSetFile(fields, layout);
        if (!data)
            return Failed(QStringLiteral("Failed to save document."));
        std::fwrite(data->constData(), 1, size_t(data->size()), stdout);
        return std::fflush(stdout) == 0 ? kExitOk : Failed(QStringLiteral("cannot write to standard output"));
    }
    const QByteArray text = bToText ? WriteSetText(fields, layout) : QByteArray();
    const QString strOut = QFile::decodeName(files[1]);
    if (struct stat st; !bForce && ::lstat(files[1].constData(), &st) == 0)
        return Failed(QStringLiteral("%1 exists; use --force to replace it").arg(strOut));
    if (!bToText)
        return SaveSetFile(strOut, fields, &strError, nullptr, layout) ? kExitOk : Failed(strError);
    const SFileWriteResult result = CAtomicFileWriter().Write(strOut, text);
    return result.Ok() ? kExitOk : Failed(SetFileWriteMessage(result.m_eStage, result.m_nErrno, strOut));
}

// ---- check ------------------------------------------------------------

int Check(const QList<QByteArray>& args, const QString& strProfile)
{
    QList<QByteArray> files;
    SCheckOptions options;
    if (const std::optional<int> nExit = SplitCommandArgs(
            args, "check",
            {{"--open-devices", &options.m_bOpenDevices}, {"--load-plugins", &options.m_bLoadPlugins}}, &files))
        return *nExit;
    if (files.size() != 1)
        return UsageError(QStringLiteral("check needs one settings file"));
    // The plug-in search starts in the program's folder, as trelvaned's does
    // (both are installed side by side).
    int nArgc = 1;
    char szProgram[] = "trelvane-set";
    char* argv[] = {szProgram, nullptr};
    const QCoreApplication app(nArgc, argv);
    const SCheckReport report = CheckSettingsFile(QFile::decodeName(files.front()), strProfile, options);
    for (const QString& strLine : report.m_listLines) {
        const QByteArray line = strLine.toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    }
    std::fflush(stdout);
    for (const QString& strProblem : report.ProblemLines())
        PrintLine(stderr, strProblem);
    return report.Stops() ? kExitFailed : kExitOk;
}

} // namespace

int main(int argc, char* argv[])
{
    // Arguments stay bytes: string settings are stored exactly as given.
    QList<QByteArray> args;
    for (int i = 1; i < argc; ++i)
        args.append(QByteArray(argv[i]));

    QString strProfile;
    while (!args.isEmpty() && args.front().startsWith('-')) {
        const QByteArray arg = args.takeFirst();
        if (IsHelp(arg))
            return Help();
        if (arg == "-V" || arg == "--version") {
            std::printf("trelvane-set %s\n", TRELVANE_VERSION);
            return kExitOk;
        }
        const std::optional<SOption> option = SplitOption(arg);
        if (option && option->strName == "profile") {
            QByteArray value;
            if (option->value)
                value = *option->value;
            else if (!args.isEmpty())
                value = args.takeFirst();
            if (value.isEmpty())
                return UsageError(QStringLiteral("--profile needs a file name"));
            strProfile = QFile::decodeName(value);
            continue;
        }
        return UsageError(QStringLiteral("unknown option '%1'").arg(Text(arg)));
    }
    if (args.isEmpty())
        return UsageError(QStringLiteral("no command given"));
    const QByteArray command = args.takeFirst();
    if (command == "show")
        return Show(args);
    if (command == "write")
        return Write(args, strProfile);
    if (command == "check")
        return Check(args, strProfile);
    if (command == "text" || command == "binary")
        return Convert(args, command == "text");
    if (command == "serial-ports")
        return SerialPorts(args, strProfile);
    return UsageError(QStringLiteral("unknown command '%1'").arg(Text(command)));
}
