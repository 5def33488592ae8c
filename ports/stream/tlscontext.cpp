#include "tlscontext.h"

#include "stream/tlsfiles.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

QByteArray TakeTlsErrorText(unsigned long* pnCode)
{
    unsigned long nLast = 0;
    while (const unsigned long nError = ERR_get_error())
        nLast = nError;
    if (pnCode)
        *pnCode = nLast;
    if (nLast == 0)
        return {};
    const char* pszReason = ERR_reason_error_string(nLast);
    return pszReason ? QByteArray(pszReason) : QByteArray("error ") + QByteArray::number(qulonglong(nLast), 16);
}

namespace {

// A file named by the section must be there and readable: says which
// setting names it and what is wrong.
bool CheckFile(const QByteArray& strSetting, const QString& strPath, QByteArray* pstrError)
{
    const QFileInfo info(strPath);
    QByteArray strWhy;
    if (!info.exists())
        strWhy = "does not exist";
    else if (!info.isFile())
        strWhy = "is not a file";
    else if (QFile file(strPath); !file.open(QIODevice::ReadOnly))
        strWhy = "cannot be read (" + file.errorString().toUtf8() + ")";
    if (strWhy.isEmpty())
        return true;
    *pstrError = strSetting + "=" + QFile::encodeName(strPath) + " " + strWhy;
    return false;
}

bool Fail(const QByteArray& strSetting, const QString& strPath, const char* pszWhat, QByteArray* pstrError)
{
    *pstrError = strSetting + "=" + QFile::encodeName(strPath) + " " + pszWhat + " (" + TakeTlsErrorText() + ")";
    return false;
}

// A section's key as messages name it: "[TLS plant] Key".
QByteArray Setting(const STlsConfig& config, const char* pszKey)
{
    return '[' + config.strSection.toUtf8() + "] " + pszKey;
}

// AllowSubjects= of a listening port: a client certificate that CA= vouches
// for is refused when its subject matches no entry.
int VerifySubject(int nOk, X509_STORE_CTX* pStore)
{
    if (!nOk || X509_STORE_CTX_get_error_depth(pStore) != 0)
        return nOk;
    const SSL* pSsl = static_cast<const SSL*>(X509_STORE_CTX_get_ex_data(pStore, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto* pContext = pSsl ? static_cast<const CTlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(pSsl))) : nullptr;
    // Without its context no list can be checked: the client is refused.
    if (pContext && SubjectAllowed(pContext->AllowSubjects(), X509_STORE_CTX_get_current_cert(pStore)))
        return 1;
    X509_STORE_CTX_set_error(pStore, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

// The list as the session id context takes it: sessions of a port resume
// only under the same list.
QByteArray SubjectListKey(const QList<STlsSubject>& list)
{
    QByteArray strKey;
    for (const STlsSubject& subject : list)
        strKey += QByteArray::number(subject.nNid) + (subject.bPrefix ? '*' : '=') + subject.strValue + '\0';
    return strKey;
}

// What Load found beside errors.
struct SLoaded
{
    QByteArrayList warnings;
    qint64 nCertificateExpiry = 0;
    qint64 nCaExpiry = 0;
};

bool Load(SSL_CTX* pCtx, const STlsConfig& config, CTlsContext::ERole eRole, QByteArray* pstrError, SLoaded* pLoaded)
{
    const bool bServer = eRole == CTlsContext::Server;
    if (!config.strProblem.isEmpty()) {
        *pstrError = config.strProblem.toUtf8();
        return false;
    }
    if (bServer && (config.strCertificate.isEmpty() || config.strKey.isEmpty())) {
        *pstrError = "a listening TLS port needs Certificate= and Key= in the [" + config.strSection.toUtf8()
                   + "] section of the profile";
        return false;
    }
    if (config.strCertificate.isEmpty() != config.strKey.isEmpty()) {
        *pstrError = Setting(config, "Certificate") + "= and Key= go together: give both or neither";
        return false;
    }
    if (bServer && config.bRequireClientCertificate && config.strCa.isEmpty()) {
        *pstrError = Setting(config, "RequireClientCertificate")
                   + "=1 needs CA=, the CA that vouches for the clients";
        return false;
    }
    const QByteArray strCertificate = Setting(config, "Certificate");
    const QByteArray strKey = Setting(config, "Key");
    const QByteArray strCa = Setting(config, "CA");
    if (!config.strCertificate.isEmpty()) {
        if (!CheckFile(strCertificate, config.strCertificate, pstrError) || !CheckFile(strKey, config.strKey, pstrError))
            return false;
        if (SSL_CTX_use_certificate_chain_file(pCtx, QFile::encodeName(config.strCertificate).constData()) != 1)
            return Fail(strCertificate, config.strCertificate, "is not a PEM certificate", pstrError);
        BIO* pFile = BIO_new_file(QFile::encodeName(config.strKey).constData(), "r");
        EVP_PKEY* pKey = pFile ? PEM_read_bio_PrivateKey(pFile, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(pFile);
        if (!pKey)
            return Fail(strKey, config.strKey, "is not a PEM private key without a pass phrase", pstrError);
        const bool bTaken = SSL_CTX_use_PrivateKey(pCtx, pKey) == 1 && SSL_CTX_check_private_key(pCtx) == 1;
        EVP_PKEY_free(pKey);
        if (!bTaken)
            return Fail(strKey, config.strKey, "does not belong to the certificate", pstrError);
        // A peer refuses a certificate outside its validity period: every
        // connection would fail, so it is not used at all.
        const X509* pCert = SSL_CTX_get0_certificate(pCtx);
        *pstrError = CertificateTimeError(strCertificate, config.strCertificate, pCert);
        if (!pstrError->isEmpty())
            return false;
        pLoaded->nCertificateExpiry = CertificateExpiry(pCert);
        for (const QByteArray& strWarning : {CertificateSoonWarning(strCertificate, config.strCertificate, pCert),
                                             KeyModeWarning(strKey, config.strKey)}) {
            if (!strWarning.isEmpty())
                pLoaded->warnings.append(strWarning);
        }
    }
    if (!config.strCa.isEmpty()) {
        if (!CheckFile(strCa, config.strCa, pstrError))
            return false;
        if (SSL_CTX_load_verify_locations(pCtx, QFile::encodeName(config.strCa).constData(), nullptr) != 1)
            return Fail(strCa, config.strCa, "holds no PEM certificate", pstrError);
        QByteArray strWarning;
        pLoaded->nCaExpiry = CaFileExpiry(strCa, config.strCa, &strWarning);
        if (!strWarning.isEmpty())
            pLoaded->warnings.append(strWarning);
    }
    // A client trusts the system's store without CA=, and with it under
    // CAMode=add.
    if (!bServer && (config.strCa.isEmpty() || config.bCaAdd) && SSL_CTX_set_default_verify_paths(pCtx) != 1) {
        *pstrError = "the system's store of trusted CAs cannot be read (" + TakeTlsErrorText() + "); give CA=";
        return false;
    }
    if (!bServer)
        SSL_CTX_set_verify(pCtx, SSL_VERIFY_PEER, nullptr);
    else if (config.bRequireClientCertificate)
        SSL_CTX_set_verify(pCtx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                           config.allowSubjects.isEmpty() ? nullptr : VerifySubject);
    if (bServer) {
        // Resumed sessions are taken only from a context of the same files
        // and client rule (OpenSSL refuses to resume a session of a port
        // that checks clients without this).
        const QByteArray strContext = QCryptographicHash::hash(
            QFile::encodeName(config.strCertificate) + '\0' + QFile::encodeName(config.strCa) + '\0'
                + (config.bRequireClientCertificate ? "1" : "0") + '\0' + SubjectListKey(config.allowSubjects),
            QCryptographicHash::Sha256);
        SSL_CTX_set_session_id_context(pCtx, reinterpret_cast<const unsigned char*>(strContext.constData()),
                                       unsigned(strContext.size()));
    }
    return true;
}

} // namespace

std::shared_ptr<CTlsContext> CTlsContext::Create(const STlsConfig& config, ERole eRole, QByteArray* pstrError)
{
    ERR_clear_error();
    SSL_CTX* pCtx = SSL_CTX_new(eRole == Server ? TLS_server_method() : TLS_client_method());
    if (!pCtx) {
        *pstrError = "TLS cannot be set up (" + TakeTlsErrorText() + ")";
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(pCtx, TLS1_2_VERSION);
    // A write may take part of the bytes, and a repeated write may come from
    // another buffer: the port's held bytes move between its sends. A peer
    // that closes without the close alert ends the stream as a plain close.
    SSL_CTX_set_mode(pCtx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_options(pCtx, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SLoaded loaded;
    if (!Load(pCtx, config, eRole, pstrError, &loaded)) {
        SSL_CTX_free(pCtx);
        ERR_clear_error();
        return nullptr;
    }
    std::shared_ptr<CTlsContext> pContext(new CTlsContext(pCtx, eRole));
    pContext->m_warnings = loaded.warnings;
    pContext->m_nCertificateExpiry = loaded.nCertificateExpiry;
    pContext->m_nCaExpiry = loaded.nCaExpiry;
    pContext->m_allowSubjects = config.allowSubjects;
    SSL_CTX_set_app_data(pCtx, pContext.get());
    return pContext;
}

CTlsContext::~CTlsContext()
{
    SSL_CTX_free(m_pCtx);
}
