#include "settingscheck.h"

#include "profile.h"
#include "serialportmap.h"
#include "setfields.h"
#include "settingsfile.h"
#include "setup/setupstring.h"
#include "tlsprofile.h"

#include <algorithm>

namespace {

void AddProblem(SCheckReport* pReport, bool bStops, const QString& strText)
{
    pReport->m_listProblems.append({bStops, strText});
}

// bInput: a port that cannot start stops the gateway; an Output that cannot
// start fails at each start while the Input runs.
void CheckSetup(const char* pszName, bool bInput, const QByteArray& strSetup, const SerialPathMap& portMap,
                const SProbe& probe, SCheckReport* pReport)
{
    const QString strName = QLatin1String(pszName);
    const SSetupReport setup = DescribeSetup(strSetup, portMap, probe);
    QString strLine = QStringLiteral("%1: %2").arg(strName, QuoteSetting(strSetup));
    if (!setup.m_strDescription.isEmpty())
        strLine += QStringLiteral(": ") + setup.m_strDescription;
    if (setup.m_nCode != 0)
        strLine += QStringLiteral(": result code %1").arg(setup.m_nCode);
    pReport->m_listLines.append(strLine);
    if (!setup.m_strWarning.isEmpty())
        AddProblem(pReport, false, strName + QStringLiteral(": ") + setup.m_strWarning);
    if (!setup.m_strProblem.isEmpty())
        AddProblem(pReport, bInput, strName + QStringLiteral(": ") + setup.m_strProblem);
}

// A plug-in that does not load is left out: the gateway relays without it.
void CheckPlugin(const char* pszName, const QByteArray& strDll, bool bProbe, bool bLoad, SCheckReport* pReport)
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
    const SPluginReport plugin = DescribePlugin(strDll, bLoad);
    if (!plugin.m_strProblem.isEmpty()) {
        pReport->m_listLines.append(QStringLiteral("%1: %2: not usable, blocks pass unchanged")
                                        .arg(strName, QuoteSetting(strDll)));
        AddProblem(pReport, false, strName + QStringLiteral(": ") + plugin.m_strProblem);
        return;
    }
    const QString strExports = !plugin.m_bExportsRead ? QStringLiteral("its exports cannot be read (no section table)")
        : plugin.m_listExports.isEmpty() ? QStringLiteral("exports no Dll* function, blocks pass unchanged")
                                         : QStringLiteral("exports ") + plugin.m_listExports.join(QStringLiteral(", "));
    pReport->m_listLines.append(QStringLiteral("%1: %2: found %3, %4; %5")
                                    .arg(strName, QuoteSetting(strDll), plugin.m_strFile, strExports,
                                         plugin.m_bLoaded ? QStringLiteral("loads") : QStringLiteral("not loaded")));
}

// A listening port with rfc2217 serves the serial line at the other side:
// say when there is none, or when it opens only with the first block.
void CheckComPort(const char* pszName, const QByteArray& strSetup, const QByteArray& strOther, bool bOutputLate,
                  SCheckReport* pReport)
{
    const EPortKind kind = RecognisePortKind(strSetup);
    SWinsockSetup setup;
    if ((kind != EPortKind::Tcp && kind != EPortKind::Tls) || SplitWinsockSetup(strSetup, kind, &setup) != 0
        || !setup.bLocal || !setup.options.bComPort)
        return;
    const QString strName = QLatin1String(pszName);
    if (RecognisePortKind(strOther) != EPortKind::Serial) {
        AddProblem(pReport, false, strName + QStringLiteral(": rfc2217 serves the serial line at the other side, "
                                                            "but the other port is not a serial line: the clients' "
                                                            "settings are answered as asked and change nothing"));
    } else if (bOutputLate) {
        AddProblem(pReport, false, strName + QStringLiteral(": rfc2217 on the Input while the Output serial line "
                                                            "opens only with the first block (out-startup 1008): "
                                                            "settings that come before are answered as asked and not "
                                                            "applied; out-startup 1007 opens the line with the Input"));
    }
}

} // namespace

bool SCheckReport::Stops() const
{
    return m_bUnreadable || std::any_of(m_listProblems.cbegin(), m_listProblems.cend(),
                                        [](const SCheckProblem& problem) { return problem.m_bStops; });
}

int SCheckReport::ExitStatus() const
{
    return m_bUnreadable ? 2 : Stops() ? 1 : 0;
}

QStringList SCheckReport::ProblemLines() const
{
    QStringList list;
    for (const SCheckProblem& problem : m_listProblems)
        list.append((problem.m_bStops ? QStringLiteral("error: ") : QStringLiteral("warning: ")) + problem.m_strText);
    return list;
}

SCheckReport CheckSettings(const SSetFields& f, const SerialPathMap& portMap, bool bProbe,
                           const SCheckOptions& options, const CTlsProfile& tls)
{
    SCheckReport report;
    SProbe probe;
    probe.m_tls = tls;
    probe.m_bSystem = bProbe;
    probe.m_bOpenDevices = bProbe && options.m_bOpenDevices;
    const bool bLoad = bProbe && options.m_bLoadPlugins;
    CheckSetup("in-setup", true, f.m_strInSetup, portMap, probe, &report);
    CheckPlugin("in-dll", f.m_strInDll, bProbe, bLoad, &report);
    CheckSetup("out-setup", false, f.m_strOutSetup, portMap, probe, &report);
    CheckPlugin("out-dll", f.m_strOutDll, bProbe, bLoad, &report);
    CheckComPort("in-setup", f.m_strInSetup, f.m_strOutSetup, f.m_nOutStartup != 1007, &report);
    CheckComPort("out-setup", f.m_strOutSetup, f.m_strInSetup, false, &report);

    if (f.m_nOutStartup == 1007) {
        report.m_listLines.append(QStringLiteral("out-startup: 1007, the Output starts with the Input"));
    } else {
        report.m_listLines.append(
            QStringLiteral("out-startup: %1, the Output starts on the first block from the Input").arg(f.m_nOutStartup));
        if (f.m_nOutStartup != 1008) {
            AddProblem(&report, false, QStringLiteral("out-startup: %1 is neither 1007 (with-input) nor 1008 "
                                                      "(first-data); it acts as 1008").arg(f.m_nOutStartup));
        }
    }
    return report;
}

SCheckReport CheckSettingsFile(const QString& strSetFile, const QString& strProfile, const SCheckOptions& options)
{
    SSetFields fields;
    SSetFileExtent extent;
    QString strError;
    ESetFileKind eKind = ESetFileKind::Binary;
    if (!LoadSettingsFile(strSetFile, &fields, &strError, &extent, nullptr, &eKind)) {
        SCheckReport report;
        report.m_bUnreadable = true;
        // A text file's message names the file and the line already.
        AddProblem(&report, true,
                   eKind == ESetFileKind::Text ? strError : strSetFile + QStringLiteral(": ") + strError);
        return report;
    }
    CProfile profile(strProfile.isEmpty() ? CProfile::DefaultPath() : strProfile);
    const bool bProfile = profile.Load(&strError);
    SCheckReport report = CheckSettings(fields, bProfile ? SerialPortMap(profile) : SerialPathMap(), true, options,
                                        bProfile ? CTlsProfile(profile) : CTlsProfile());
    // The gateway runs such a file, and without a profile's map.
    if (!bProfile) {
        report.m_listProblems.prepend({false, QStringLiteral("profile %1: %2; [Serial Ports] and [TLS] not applied")
                                                  .arg(profile.FilePath(), strError)});
    }
    const QString strOddity = SetFileOddity(fields, extent);
    if (!strOddity.isEmpty())
        report.m_listProblems.prepend({false, strSetFile + QStringLiteral(": not a settings file as Trelvane writes "
                                                                          "one: ") + strOddity});
    return report;
}
