// trelvane-set: shows and writes settings files and edits the profile's
// [Serial Ports] map, for systems without the desktop program.

#include "setshow.h"

#include "atomicfile.h"
#include "profile.h"
#include "serialportmap.h"
#include "setfile.h"
#include "setfilemessages.h"
#include "settext.h"
#include "settingscheck.h"
#include "settingsfile.h"
#include "setup/serialurl.h"
#include "trelvanedoc.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <sys/stat.h>

namespace {

enum { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

const char kUsage[] =
    "Usage: trelvane-set [--profile FILE] COMMAND [ARGUMENTS]\n"
    "\n"
    "Shows and writes Trelvane settings files (.set) and edits the serial port map.\n"
    "Settings files are read in either form, binary or text (see trelvane.set(5)),\n"
    "told apart by their content.\n"
    "\n"
    "Commands:\n"
    "  show FILE.set                 print the ten settings, strings C-escaped; a file\n"
    "                                that is not a settings file is refused\n"
    "  check FILE.set [OPTIONS]      parse both setup strings as the gateway would, look\n"
    "                                at each serial device without opening it, find each\n"
    "                                plug-in and read its exports without loading it,\n"
    "                                look up host names, try to bind listening ports;\n"
    "                                print what each setting means, and one line per\n"
    "                                problem on standard error: \"error:\" stops the\n"
    "                                gateway, \"warning:\" does not\n"
    "      --open-devices            also open and close each serial device once (this\n"
    "                                raises DTR, which resets some boards)\n"
    "      --load-plugins            also load and unload each plug-in once (this runs\n"
    "                                the plug-in's code)\n"
    "  write FILE.set [OPTIONS]      write a settings file; without --update it is\n"
    "                                made from the initial settings plus OPTIONS\n"
    "      --update                  change only the given settings of an existing\n"
    "                                binary file\n"
    "      --force                   replace an existing file (without --update)\n"
    "      --in-setup S              Input setup string, e.g. TCP:1025,127.0.0.1,\n"
    "                                TCP:4001 (listening) or UDP:5000 (fixed local port)\n"
    "      --in-dll S                IN-->OUT transfer plug-in\n"
    "      --in-initial S            Input initial string (\\r \\n \\t \\\\ decoded at start)\n"
    "      --out-setup S             Output setup string, e.g. COM2:9600,n,8,1\n"
    "      --out-dll S               OUT-->IN transfer plug-in\n"
    "      --out-initial S           Output initial string\n"
    "      --no-in-init-response[=0|1]   drop the first Input block after a start\n"
    "      --no-out-init-response[=0|1]  drop the first Output block after its start\n"
    "      --detect-carrier[=0|1]    serial ports follow their carrier line\n"
    "      --out-startup MODE        1007 or with-input: Output starts with the Input;\n"
    "                                1008 or first-data: on the first Input block;\n"
    "                                or any number from 0 to 65535\n"
    "                                String values are stored byte for byte as given\n"
    "                                (--opt VALUE or --opt=VALUE; use $'\\r' in a shell\n"
    "                                for control characters). Values the gateway would\n"
    "                                refuse are written, with a warning on standard error.\n"
    "  text FILE.set [OUT.conf]      convert to the text form, on standard output\n"
    "                                without OUT.conf (or with -)\n"
    "  binary FILE.conf OUT.set      convert to the binary form (- for standard output);\n"
    "                                a .set converted to text and back comes out byte\n"
    "                                for byte\n"
    "      --force                   replace an existing OUT file\n"
    "  serial-ports list             print the [Serial Ports] entries (NAME=PATH)\n"
    "  serial-ports set NAME PATH    map a port name to a device path; the name begins\n"
    "                                with COM, as the setup strings that use it (COM7,\n"
    "                                COMGPS); PATH may also be a device server's line,\n"
    "                                rfc2217://HOST:PORT (rfc2217s:// for TLS)\n"
    "  serial-ports remove NAME      remove a port name's entry\n"
    "\n"
    "Options:\n"
    "  --profile FILE   the profile to edit\n"
    "                   (default: $XDG_CONFIG_HOME/trelvane/trelvane.ini)\n"
    "  -h, --help       show this help\n"
    "  -V, --version    show the version\n"
    "\n"
    "Exit status: 0 done, 1 a file could not be read or written (check: or an error\n"
    "was found; warnings alone give 0), 2 bad command line.\n";

void PrintLine(std::FILE* pOut, const QString& strText)
{
    QString strOne = strText;
    strOne.replace(u'\n', u' ');
    const QByteArray line = (QStringLiteral("trelvane-set: ") + strOne).toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), pOut);
}

int Failed(const QString& strText)
{
    PrintLine(stderr, strText);
    return kExitFailed;
}

int UsageError(const QString& strText)
{
    PrintLine(stderr, strText + QStringLiteral(" (see trelvane-set --help)"));
    return kExitUsage;
}

QString Text(const QByteArray& arg)
{
    return QString::fromLocal8Bit(arg);
}

// An argument "--name" or "--name=value".
struct SOption
{
    QByteArray strName;
    std::optional<QByteArray> value;
};

std::optional<SOption> SplitOption(const QByteArray& arg)
{
    if (!arg.startsWith("--") || arg.size() == 2)
        return std::nullopt;
    SOption option;
    const qsizetype nEquals = arg.indexOf('=');
    if (nEquals < 0) {
        option.strName = arg.mid(2);
    } else {
        option.strName = arg.mid(2, nEquals - 2);
        option.value = arg.mid(nEquals + 1);
    }
    return option;
}

bool IsHelp(const QByteArray& arg)
{
    return arg == "-h" || arg == "--help";
}

int Help()
{
    std::fputs(kUsage, stdout);
    return kExitOk;
}

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

// ---- write ------------------------------------------------------------

struct SStringOption
{
    const char* pszName;
    QByteArray SSetFields::*pField;
};

const SStringOption kStringOptions[] = {
    {"in-setup", &SSetFields::m_strInSetup},     {"in-dll", &SSetFields::m_strInDll},
    {"in-initial", &SSetFields::m_strInInitial}, {"out-setup", &SSetFields::m_strOutSetup},
    {"out-dll", &SSetFields::m_strOutDll},       {"out-initial", &SSetFields::m_strOutInitial},
};

struct SIntOption
{
    const char* pszName;
    qint32 SSetFields::*pField;
    bool bFlag; // 0 or 1, and the bare option means 1
};

const SIntOption kIntOptions[] = {
    {"no-in-init-response", &SSetFields::m_bNoInInitResponse, true},
    {"no-out-init-response", &SSetFields::m_bNoOutInitResponse, true},
    {"detect-carrier", &SSetFields::m_bDetectCarrier, true},
    {"out-startup", &SSetFields::m_nOutStartup, false},
};

// The profile's [Serial Ports], as trelvaned will read them; empty when the
// profile cannot be read.
SerialPathMap ProfilePortMap(const QString& strProfile)
{
    CProfile profile(strProfile.isEmpty() ? CProfile::DefaultPath() : strProfile);
    QString strError;
    return profile.Load(&strError) ? SerialPortMap(profile) : SerialPathMap();
}

int Write(const QList<QByteArray>& args, const QString& strProfile)
{
    std::optional<QByteArray> strings[std::size(kStringOptions)];
    std::optional<qint32> ints[std::size(kIntOptions)];
    bool bUpdate = false;
    bool bForce = false;
    QList<QByteArray> files;
    bool bOptionsEnded = false;

    for (qsizetype i = 0; i < args.size(); ++i) {
        const QByteArray& arg = args[i];
        if (bOptionsEnded || arg == "-" || !arg.startsWith('-')) {
            files.append(arg);
            continue;
        }
        if (arg == "--") {
            bOptionsEnded = true;
            continue;
        }
        if (IsHelp(arg))
            return Help();
        const std::optional<SOption> option = SplitOption(arg);
        if (!option)
            return UsageError(QStringLiteral("write: unknown option '%1'").arg(Text(arg)));
        const QString strName = Text(option->strName);
        // The value of an option that needs one: after "=" or the next argument.
        auto takeValue = [&](QByteArray* pValue) {
            if (option->value) {
                *pValue = *option->value;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            *pValue = args[++i];
            return true;
        };

        if (option->strName == "update" || option->strName == "force") {
            if (option->value)
                return UsageError(QStringLiteral("write: --%1 takes no value").arg(strName));
            (option->strName == "update" ? bUpdate : bForce) = true;
            continue;
        }
        bool bKnown = false;
        for (size_t n = 0; n < std::size(kStringOptions) && !bKnown; ++n) {
            if (option->strName != kStringOptions[n].pszName)
                continue;
            bKnown = true;
            if (strings[n])
                return UsageError(QStringLiteral("write: --%1 given twice").arg(strName));
            QByteArray value;
            if (!takeValue(&value))
                return UsageError(QStringLiteral("write: --%1 needs a value").arg(strName));
            strings[n] = value;
        }
        for (size_t n = 0; n < std::size(kIntOptions) && !bKnown; ++n) {
            if (option->strName != kIntOptions[n].pszName)
                continue;
            bKnown = true;
            if (ints[n])
                return UsageError(QStringLiteral("write: --%1 given twice").arg(strName));
            if (kIntOptions[n].bFlag) {
                const QByteArray value = option->value.value_or("1");
                if (value != "0" && value != "1")
                    return UsageError(QStringLiteral("write: --%1 takes 0 or 1, got '%2'").arg(strName, Text(value)));
                ints[n] = value == "1" ? 1 : 0;
            } else {
                QByteArray value;
                if (!takeValue(&value))
                    return UsageError(QStringLiteral("write: --%1 needs a value").arg(strName));
                const std::optional<qint32> nValue = ParseOutStartup(value);
                if (!nValue) {
                    return UsageError(QStringLiteral("write: --%1 takes 1007, 1008, with-input, first-data "
                                                     "or a number from 0 to 65535, got '%2'").arg(strName, Text(value)));
                }
                ints[n] = *nValue;
            }
        }
        if (!bKnown)
            return UsageError(QStringLiteral("write: unknown option '--%1'").arg(strName));
    }

    if (files.size() != 1)
        return UsageError(QStringLiteral("write needs one settings file"));
    if (bUpdate && bForce)
        return UsageError(QStringLiteral("write: --update and --force exclude each other"));
    const QString strPath = QFile::decodeName(files.front());

    CTrelvaneDoc doc;
    QString strError;
    if (bUpdate) {
        // A text file would come back binary, without its comments.
        SSetFields loaded;
        ESetFileKind eKind = ESetFileKind::Binary;
        if (!LoadSettingsFile(strPath, &loaded, &strError, nullptr, nullptr, &eKind))
            return Failed(strError);
        if (eKind == ESetFileKind::Text) {
            return Failed(QStringLiteral("%1 is in the text form: edit it as text, or convert it with "
                                         "'trelvane-set binary'").arg(strPath));
        }
        doc.SetFields(loaded);
    } else if (struct stat st; !bForce && ::lstat(files.front().constData(), &st) == 0) {
        return Failed(QStringLiteral("%1 exists; use --update to change some settings or --force to replace it")
                          .arg(strPath));
    }
    SSetFields fields = doc.GetFields();
    for (size_t n = 0; n < std::size(kStringOptions); ++n) {
        if (strings[n])
            fields.*kStringOptions[n].pField = *strings[n];
    }
    for (size_t n = 0; n < std::size(kIntOptions); ++n) {
        if (ints[n])
            fields.*kIntOptions[n].pField = *ints[n];
    }
    doc.SetFields(fields);
    if (!doc.OnSaveDocument(strPath, &strError))
        return Failed(strError);
    // The format takes any value; say which of the values given here the
    // gateway will refuse. (Problems are named by their setting.)
    QStringList listGiven;
    for (size_t n = 0; n < std::size(kStringOptions); ++n) {
        if (strings[n])
            listGiven.append(QLatin1String(kStringOptions[n].pszName) + QStringLiteral(": "));
    }
    for (size_t n = 0; n < std::size(kIntOptions); ++n) {
        if (ints[n])
            listGiven.append(QLatin1String(kIntOptions[n].pszName) + QStringLiteral(": "));
    }
    for (const SCheckProblem& problem : CheckSettings(fields, ProfilePortMap(strProfile), false).m_listProblems) {
        if (std::any_of(listGiven.cbegin(), listGiven.cend(),
                        [&](const QString& strName) { return problem.m_strText.startsWith(strName); }))
            PrintLine(stderr, QStringLiteral("warning: ") + problem.m_strText);
    }
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

// ---- serial-ports -----------------------------------------------------

// A name as a setup string spells it before its ":", that the profile can
// hold as a key and give back unchanged.
bool IsPortName(const QByteArray& name)
{
    if (name.isEmpty() || name.startsWith(';') || name.startsWith('#') || name.startsWith('['))
        return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == ':' || c == '=' || c == ']')
            return false;
    }
    return true;
}

int SerialPorts(const QList<QByteArray>& argsIn, QString strProfile)
{
    QList<QByteArray> args;
    for (qsizetype i = 0; i < argsIn.size(); ++i) {
        const std::optional<SOption> option = SplitOption(argsIn[i]);
        if (option && option->strName == "profile") {
            QByteArray value;
            if (option->value)
                value = *option->value;
            else if (i + 1 < argsIn.size())
                value = argsIn[++i];
            if (value.isEmpty())
                return UsageError(QStringLiteral("--profile needs a file name"));
            strProfile = QFile::decodeName(value);
        } else if (IsHelp(argsIn[i])) {
            return Help();
        } else if (argsIn[i].startsWith('-') && argsIn[i] != "-") {
            return UsageError(QStringLiteral("serial-ports: unknown option '%1'").arg(Text(argsIn[i])));
        } else {
            args.append(argsIn[i]);
        }
    }
    if (args.isEmpty())
        return UsageError(QStringLiteral("serial-ports needs list, set or remove"));
    const QByteArray action = args.takeFirst();
    const int nWanted = action == "list" ? 0 : action == "set" ? 2 : action == "remove" ? 1 : -1;
    if (nWanted < 0)
        return UsageError(QStringLiteral("serial-ports: unknown action '%1'").arg(Text(action)));
    if (args.size() != nWanted) {
        return UsageError(action == "list" ? QStringLiteral("serial-ports list takes no arguments")
                          : action == "set" ? QStringLiteral("serial-ports set needs NAME PATH")
                                            : QStringLiteral("serial-ports remove needs NAME"));
    }

    CProfile profile(strProfile.isEmpty() ? CProfile::DefaultPath() : strProfile);
    QString strError;
    if (!profile.Load(&strError))
        return Failed(QStringLiteral("cannot read %1: %2").arg(profile.FilePath(), strError));
    const QString strSection = SerialPortsSection();

    if (action == "list") {
        for (const QString& strKey : profile.Keys(strSection)) {
            const QByteArray line = (strKey + u'=' + profile.GetString(strSection, strKey)).toUtf8() + '\n';
            std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        }
        return kExitOk;
    }

    const QByteArray name = args[0];
    if (!IsPortName(name)) {
        return UsageError(QStringLiteral("'%1' is not a port name (no blanks, control characters, ':', '=' or ']')")
                              .arg(Text(name)));
    }
    const QString strName = QString::fromUtf8(name);
    // Only a setup string beginning with "COM" is a serial one, so any
    // other name could be mapped but never used.
    if (action == "set" && !name.startsWith("COM")) {
        const QByteArray upper = name.toUpper();
        const QByteArray suggestion = upper.startsWith("COM") ? upper : "COM" + name;
        return UsageError(QStringLiteral("'%1' can never be used: a serial setup string begins with COM "
                                         "(%2:9600,n,8,1), and the text before its ':' is the name to map; use %2")
                              .arg(strName, QString::fromUtf8(suggestion)));
    }
    if (action == "set") {
        const QString strDevice = QFile::decodeName(args[1]);
        // The gateway opens absolute paths and device servers' URLs only; the
        // profile keeps one line.
        QByteArray strWhy;
        if (IsSerialUrl(strDevice) && !ParseSerialUrl(strDevice, &strWhy))
            return UsageError(QStringLiteral("'%1' is not a device server's URL: %2").arg(strDevice, Text(strWhy)));
        if (!IsSerialUrl(strDevice) && !strDevice.startsWith(u'/'))
            return UsageError(QStringLiteral("the device path must be absolute (or a device server's URL, "
                                             "rfc2217://host:port), got '%1'").arg(strDevice));
        if (strDevice != strDevice.trimmed() || strDevice.contains(u'\n') || strDevice.contains(u'\r'))
            return UsageError(QStringLiteral("the device path must not begin or end with blanks or hold line breaks"));
        profile.SetString(strSection, strName, strDevice);
    } else {
        if (!profile.Keys(strSection).contains(strName, Qt::CaseInsensitive))
            return Failed(QStringLiteral("no entry %1 in [%2] of %3").arg(strName, strSection, profile.FilePath()));
        profile.RemoveKey(strSection, strName);
    }
    if (!profile.Save(&strError))
        return Failed(strError);
    return kExitOk;
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
