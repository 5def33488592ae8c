#include "tlsprofile.h"

#include "profile.h"
#include "setup/setupstring.h"
#include "tlscredential.h"

#include <QDir>
#include <QFileInfo>

QString TlsSection()
{
    return QStringLiteral("TLS");
}

STlsConfig TlsConfig(const CProfile& profile)
{
    const QString strSection = TlsSection();
    const QDir folder = QFileInfo(profile.FilePath()).absolutePath();
    // A file the service manager handed over as a credential takes the
    // place of the profile's entry.
    auto path = [&](const char* pszKey, const char* pszCredential) {
        if (QString strCredential = TlsCredentialPath(QLatin1String(pszCredential)); !strCredential.isEmpty())
            return strCredential;
        const QString strValue = profile.GetString(strSection, QLatin1String(pszKey)).trimmed();
        return strValue.isEmpty() ? strValue : QDir::cleanPath(folder.absoluteFilePath(strValue));
    };
    STlsConfig config;
    config.strCertificate = path("Certificate", "tls-certificate");
    config.strKey = path("Key", "tls-key");
    config.strCa = path("CA", "tls-ca");
    const QString strRequire = profile.GetString(strSection, QStringLiteral("RequireClientCertificate")).trimmed();
    config.bRequireClientCertificate = strRequire == QLatin1String("1");
    if (!strRequire.isEmpty() && strRequire != QLatin1String("0") && strRequire != QLatin1String("1")) {
        config.strProblem = QStringLiteral("[TLS] RequireClientCertificate= takes 0 or 1, not '%1' (profile %2)")
                                .arg(strRequire, profile.FilePath());
    }
    return config;
}

QByteArray TlsFilesProblem(const QByteArrayList& setups, const STlsConfig& config)
{
    for (const QByteArray& strSetupIn : setups) {
        const QByteArray strSetup = SetupStringText(strSetupIn);
        SWinsockSetup setup;
        if (RecognisePortKind(strSetup) != EPortKind::Tls || SplitWinsockSetup(strSetup, EPortKind::Tls, &setup) != 0)
            continue;
        QByteArray strError;
        if (!CTlsContext::Create(config, setup.bLocal ? CTlsContext::Server : CTlsContext::Client, &strError))
            return strError;
    }
    return {};
}
