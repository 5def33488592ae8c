#include "settingscheck.h"

#include "profile.h"
#include "serialportmap.h"
#include "setfields.h"
#include "settingsfile.h"

namespace {

void CheckSetup(const char* pszName, const QByteArray& strSetup, const SerialPathMap& portMap, bool bProbe,
                SCheckReport* pReport)
{
    const QString strName = QLatin1String(pszName);
    const SSetupReport setup = DescribeSetup(strSetup, portMap, bProbe);
    QString strLine = QStringLiteral("%1: %2").arg(strName, QuoteSetting(strSetup));
    if (!setup.m_strDescription.isEmpty())
        strLine += QStringLiteral(": ") + setup.m_strDescription;
    if (setup.m_nCode != 0)
        strLine += QStringLiteral(": result code %1").arg(setup.m_nCode);
    pReport->m_listLines.append(strLine);
    if (!setup.m_strProblem.isEmpty())
        pReport->m_listProblems.append(strName + QStringLiteral(": ") + setup.m_strProblem);
}

void CheckPlugin(const char* pszName, const QByteArray& strDll, bool bProbe, SCheckReport* pReport)
{
    const QString strName = QLatin1String(pszName);
    if (strDll.isEmpty()) {
        pReport->m_listLines.append(strName + QStringLiteral(": none, blocks pass unchanged"));
        return;
    }
    if (!bProbe) {
        pReport->m_listLines.append(QStringLiteral("%1: %2").arg(strName, QuoteSetting(strDll)));
        return;
    }
    const SPluginReport plugin = DescribePlugin(strDll, true);
    if (plugin.m_strProblem.isEmpty()) {
        pReport->m_listLines.append(QStringLiteral("%1: %2: loads %3").arg(strName, QuoteSetting(strDll), plugin.m_strFile));
        return;
    }
    pReport->m_listLines.append(QStringLiteral("%1: %2: does not load").arg(strName, QuoteSetting(strDll)));
    pReport->m_listProblems.append(strName + QStringLiteral(": ") + plugin.m_strProblem);
}

} // namespace

SCheckReport CheckSettings(const SSetFields& f, const SerialPathMap& portMap, bool bProbe)
{
    SCheckReport report;
    CheckSetup("in-setup", f.m_strInSetup, portMap, bProbe, &report);
    CheckPlugin("in-dll", f.m_strInDll, bProbe, &report);
    CheckSetup("out-setup", f.m_strOutSetup, portMap, bProbe, &report);
    CheckPlugin("out-dll", f.m_strOutDll, bProbe, &report);

    if (f.m_nOutStartup == 1007) {
        report.m_listLines.append(QStringLiteral("out-startup: 1007, the Output starts with the Input"));
    } else {
        report.m_listLines.append(
            QStringLiteral("out-startup: %1, the Output starts on the first block from the Input").arg(f.m_nOutStartup));
        if (f.m_nOutStartup != 1008) {
            report.m_listProblems.append(QStringLiteral("out-startup: %1 is neither 1007 (with-input) nor 1008 "
                                                        "(first-data); it acts as 1008").arg(f.m_nOutStartup));
        }
    }
    return report;
}

SCheckReport CheckSettingsFile(const QString& strSetFile, const QString& strProfile)
{
    SSetFields fields;
    SSetFileExtent extent;
    QString strError;
    ESetFileKind eKind = ESetFileKind::Binary;
    if (!LoadSettingsFile(strSetFile, &fields, &strError, &extent, nullptr, &eKind)) {
        SCheckReport report;
        // A text file's message names the file and the line already.
        report.m_listProblems.append(eKind == ESetFileKind::Text ? strError : strSetFile + QStringLiteral(": ") + strError);
        return report;
    }
    CProfile profile(strProfile.isEmpty() ? CProfile::DefaultPath() : strProfile);
    const bool bProfile = profile.Load(&strError);
    SCheckReport report = CheckSettings(fields, bProfile ? SerialPortMap(profile) : SerialPathMap(), true);
    if (!bProfile) {
        report.m_listProblems.prepend(QStringLiteral("profile %1: %2; [Serial Ports] not applied")
                                          .arg(profile.FilePath(), strError));
    }
    const QString strOddity = SetFileOddity(fields, extent);
    if (!strOddity.isEmpty())
        report.m_listProblems.prepend(strSetFile + QStringLiteral(": not a settings file as Trelvane writes one: ")
                                      + strOddity);
    return report;
}
