#include "settingsoptions.h"

#include "settext.h"

#include <algorithm>
#include <iterator>

namespace {

struct SOptionText
{
    const char* pszShortName; // or null
    const char* pszValue;     // null for a switch
    const char* pszHelp;
};

// For each key of the text form, in the same order.
const SOptionText kOptionTexts[std::size(kSetKeys)] = {
    {"in", "setup", "Run without a settings file: the Input setup string (e.g. TCP:4001)."},
    {nullptr, "file", "The IN-->OUT transfer plug-in."},
    {"in-init", "text", "The Input initial string (\\r \\n \\t \\\\ decoded when sent)."},
    {"out", "setup", "Run without a settings file: the Output setup string (e.g. COM2:9600,n,8,1)."},
    {nullptr, "file", "The OUT-->IN transfer plug-in."},
    {"out-init", "text", "The Output initial string."},
    {nullptr, nullptr, "Drop the first Input block after a start."},
    {nullptr, nullptr, "Drop the first Output block after its start."},
    {nullptr, nullptr, "Serial ports follow their carrier line."},
    {nullptr, "mode", "with-input (1007) or first-data (1008, the default)."},
};

} // namespace

CSettingsOptions::CSettingsOptions(QCommandLineParser& parser) : m_parser(parser)
{
    for (size_t n = 0; n < std::size(kSetKeys); ++n) {
        const SOptionText& text = kOptionTexts[n];
        QStringList names;
        if (text.pszShortName)
            names.append(QLatin1String(text.pszShortName));
        names.append(QLatin1String(kSetKeys[n].m_pszName));
        m_options.emplace_back(names, QLatin1String(text.pszHelp),
                               text.pszValue ? QLatin1String(text.pszValue) : QString());
        parser.addOption(m_options.back());
    }
}

bool CSettingsOptions::IsAnyGiven() const
{
    return std::any_of(m_options.cbegin(), m_options.cend(),
                       [this](const QCommandLineOption& option) { return m_parser.isSet(option); });
}

bool CSettingsOptions::Read(SSetFields* pFields, QString* pstrError) const
{
    SSetFields fields;
    for (size_t n = 0; n < std::size(kSetKeys); ++n) {
        const SSetKey& key = kSetKeys[n];
        const QCommandLineOption& option = m_options[n];
        const QString strName = QStringLiteral("--") + option.names().front();
        qsizetype nTimes = 0;
        for (const QString& strOptionName : option.names())
            nTimes += m_parser.optionNames().count(strOptionName);
        if (nTimes > 1) {
            *pstrError = QStringLiteral("%1 given twice").arg(strName);
            return false;
        }
        if (nTimes == 0)
            continue;
        if (key.m_eKind == ESetKeyKind::Flag) {
            fields.*key.m_pNumber = 1;
        } else if (key.m_eKind == ESetKeyKind::String) {
            fields.*key.m_pString = m_parser.value(option).toUtf8();
        } else if (const std::optional<qint32> nMode = ParseOutStartup(m_parser.value(option).toUtf8())) {
            fields.*key.m_pNumber = *nMode;
        } else {
            *pstrError = QStringLiteral("%1 takes with-input, first-data or a number from 0 to 65535, got '%2'")
                             .arg(strName, m_parser.value(option));
            return false;
        }
    }
    if (fields.m_strInSetup.isEmpty() || fields.m_strOutSetup.isEmpty()) {
        *pstrError = QStringLiteral("a run without a settings file needs --in and --out");
        return false;
    }
    *pFields = fields;
    return true;
}
