#include "tlsprofile.h"

#include "profile.h"
#include "setup/setupstring.h"
#include "stream/tlssubjects.h"
#include "tlscredential.h"

#include <QDir>
#include <QFileInfo>

QString TlsSection()
{
    return QStringLiteral("TLS");
}

namespace {

// "TLS" for [TLS], "TLS plant" for tls=plant.
QString SectionOf(const QByteArray& strName)
{
    return strName.isEmpty() ? TlsSection() : TlsSection() + u' ' + QString::fromLatin1(strName);
}

} // namespace

STlsConfig TlsConfig(const CProfile& profile, const QByteArray& strName)
{
    const QString strSection = SectionOf(strName);
    const QStringList own = profile.Keys(strSection);
    // A key of the named section, else of [TLS].
    auto value = [&](const QString& strKey) {
        const bool bOwn = own.contains(strKey, Qt::CaseInsensitive);
        return profile.GetString(bOwn ? strSection : TlsSection(), strKey).trimmed();
    };
    const QDir folder = QFileInfo(profile.FilePath()).absolutePath();
    const QString strPrefix = strName.isEmpty() ? QStringLiteral("tls-")
                                                : QStringLiteral("tls-%1-").arg(QString::fromLatin1(strName));
    // A file the service manager handed over as a credential takes the
    // place of the profile's entry.
    auto path = [&](const char* pszKey, const char* pszCredential) {
        if (QString strCredential = TlsCredentialPath(strPrefix + QLatin1String(pszCredential));
            !strCredential.isEmpty())
            return strCredential;
        const QString strValue = value(QLatin1String(pszKey));
        return strValue.isEmpty() ? strValue : QDir::cleanPath(folder.absoluteFilePath(strValue));
    };
    STlsConfig config;
    config.strSection = strSection;
    config.strCertificate = path("Certificate", "certificate");
    config.strKey = path("Key", "key");
    config.strCa = path("CA", "ca");
    auto problem = [&](const QString& strText) {
        if (config.strProblem.isEmpty())
            config.strProblem = QStringLiteral("[%1] %2 (profile %3)").arg(strSection, strText, profile.FilePath());
    };
    const QString strRequire = value(QStringLiteral("RequireClientCertificate"));
    config.bRequireClientCertificate = strRequire == QLatin1String("1");
    if (!strRequire.isEmpty() && strRequire != QLatin1String("0") && strRequire != QLatin1String("1"))
        problem(QStringLiteral("RequireClientCertificate= takes 0 or 1, not '%1'").arg(strRequire));
    const QString strCaMode = value(QStringLiteral("CAMode"));
    config.bCaAdd = strCaMode == QLatin1String("add");
    if (!strCaMode.isEmpty() && strCaMode != QLatin1String("add") && strCaMode != QLatin1String("replace"))
        problem(QStringLiteral("CAMode= takes replace or add, not '%1'").arg(strCaMode));
    const QString strAllow = value(QStringLiteral("AllowSubjects"));
    if (!strAllow.isEmpty()) {
        QByteArray strWhy;
        if (!ParseSubjectList(strAllow.toUtf8(), &config.allowSubjects, &strWhy))
            problem(QStringLiteral("AllowSubjects= %1").arg(QString::fromUtf8(strWhy)));
        else if (!config.bRequireClientCertificate)
            problem(QStringLiteral("AllowSubjects= needs RequireClientCertificate=1"));
    }
    return config;
}

CTlsProfile::CTlsProfile(const CProfile& profile) : m_base(TlsConfig(profile)), m_strProfile(profile.FilePath())
{
    const QString strPrefix = TlsSection() + u' ';
    for (const QString& strSection : profile.Sections()) {
        if (!strSection.startsWith(strPrefix, Qt::CaseInsensitive))
            continue;
        const QByteArray strName = strSection.mid(strPrefix.size()).toUtf8();
        QByteArray strWhy;
        if (IsTlsSectionName(strName, &strWhy))
            m_named.insert(strName.toLower(), TlsConfig(profile, strName));
    }
}

STlsConfig CTlsProfile::Config(const QByteArray& strName) const
{
    if (strName.isEmpty())
        return m_base;
    if (const auto it = m_named.constFind(strName.toLower()); it != m_named.constEnd())
        return *it;
    STlsConfig config;
    config.strSection = SectionOf(strName);
    config.strProblem = QStringLiteral("tls=%1 names the section [%2], which the profile %3 does not have")
                            .arg(QString::fromLatin1(strName), config.strSection,
                                 m_strProfile.isEmpty() ? QStringLiteral("(none)") : m_strProfile);
    return config;
}

QByteArray TlsFilesProblem(const QByteArrayList& setups, const CTlsProfile& profile)
{
    for (const QByteArray& strSetupIn : setups) {
        const QByteArray strSetup = SetupStringText(strSetupIn);
        SWinsockSetup setup;
        if (RecognisePortKind(strSetup) != EPortKind::Tls || SplitWinsockSetup(strSetup, EPortKind::Tls, &setup) != 0)
            continue;
        QByteArray strError;
        if (!CTlsContext::Create(profile.Config(setup.options.strTlsSection),
                                 setup.bLocal ? CTlsContext::Server : CTlsContext::Client, &strError))
            return strError;
    }
    return {};
}
