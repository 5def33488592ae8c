#include "consoletls.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

bool MakeConsoleTls(const STlsConfig& config, QSslConfiguration* pConfiguration, QString* pstrError)
{
    if (!config.strProblem.isEmpty()) {
        *pstrError = config.strProblem;
        return false;
    }
    if (!QSslSocket::supportsSsl()) {
        *pstrError = QStringLiteral("this system's Qt has no TLS backend (OpenSSL)");
        return false;
    }
    if (config.strCertificate.isEmpty() || config.strKey.isEmpty()) {
        *pstrError = QStringLiteral("the profile's [TLS] section has no Certificate= and Key=");
        return false;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(config.strCertificate, QSsl::Pem);
    if (chain.isEmpty()) {
        *pstrError = QStringLiteral("[TLS] Certificate=: no PEM certificate could be read from the file");
        return false;
    }
    QFile keyFile(config.strKey);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        *pstrError = QStringLiteral("[TLS] Key=: %1").arg(keyFile.errorString());
        return false;
    }
    const QByteArray keyPem = keyFile.readAll();
    QSslKey key;
    for (const QSsl::KeyAlgorithm eAlgorithm : {QSsl::Rsa, QSsl::Ec}) {
        key = QSslKey(keyPem, eAlgorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            break;
    }
    if (key.isNull()) {
        *pstrError = QStringLiteral("[TLS] Key=: no unencrypted RSA or EC private key in PEM could be read from the file");
        return false;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    if (config.bRequireClientCertificate) {
        const QList<QSslCertificate> cas = QSslCertificate::fromPath(config.strCa, QSsl::Pem);
        if (cas.isEmpty()) {
            *pstrError = QStringLiteral("[TLS] RequireClientCertificate=1 needs CA= with the PEM certificates "
                                        "of the CAs that vouch for clients");
            return false;
        }
        configuration.setCaCertificates(cas);
        configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    } else {
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    }
    *pConfiguration = configuration;
    return true;
}
