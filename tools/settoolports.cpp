// trelvane-set serial-ports: lists and edits the profile's [Serial Ports].

#include "settoolcommand.h"

#include "profile.h"
#include "serialportmap.h"
#include "setup/serialurl.h"

#include <QFile>

namespace SetTool {

namespace {

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

} // namespace

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

} // namespace SetTool
