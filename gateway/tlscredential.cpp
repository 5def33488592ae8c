#include "tlscredential.h"

#include "stream/tlscontext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <unistd.h>

QString TlsCredentialPath(const QString& strName)
{
    const QString strDir = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
    if (strDir.isEmpty())
        return {};
    const QString strPath = QDir(strDir).filePath(strName);
    return QFileInfo(strPath).isFile() ? strPath : QString();
}

QString UnreadableTlsFileHint(const STlsConfig& config, const QString& strUser)
{
    const struct
    {
        const char* pszSetting;
        const char* pszCredential;
        const QString& strPath;
    } files[] = {{"Certificate", "certificate", config.strCertificate},
                 {"Key", "key", config.strKey},
                 {"CA", "ca", config.strCa}};
    // [TLS]: tls-key; [TLS plant]: tls-plant-key.
    const QString strPrefix = config.strSection.section(u' ', 1).isEmpty()
        ? QStringLiteral("tls-")
        : QStringLiteral("tls-%1-").arg(config.strSection.section(u' ', 1));
    for (const auto& file : files) {
        if (file.strPath.isEmpty() || !QFileInfo(file.strPath).isFile())
            continue;
        const QByteArray strEncoded = QFile::encodeName(file.strPath);
        if (::access(strEncoded.constData(), R_OK) == 0 || (errno != EACCES && errno != EPERM))
            continue;
        return QStringLiteral("; user %1 may not read [%5] %2=%3: under systemd the service runs as a user of "
                              "its own; give it the file as the credential %4 (put it in /etc/credstore/trelvane.%4, "
                              "see trelvaned(8)) rather than letting others read it")
            .arg(strUser, QLatin1String(file.pszSetting), file.strPath, strPrefix + QLatin1String(file.pszCredential),
                 config.strSection);
    }
    return {};
}
