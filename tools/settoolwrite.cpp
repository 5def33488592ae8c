// trelvane-set write: a settings file from the initial settings and the
// options given, or some settings of an existing one changed.

#include "settoolcommand.h"

#include "profile.h"
#include "serialportmap.h"
#include "setfile.h"
#include "settingscheck.h"
#include "settext.h"
#include "settingsfile.h"
#include "trelvanedoc.h"

#include <QFile>
#include <QStringList>

#include <algorithm>
#include <sys/stat.h>

namespace SetTool {

namespace {

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

} // namespace

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

} // namespace SetTool
