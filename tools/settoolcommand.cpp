// trelvane-set's help text, messages and option words.

#include "settoolcommand.h"

namespace SetTool {

namespace {

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

} // namespace

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

} // namespace SetTool
