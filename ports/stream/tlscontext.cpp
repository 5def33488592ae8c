#include "tlscontext.h"

#include "stream/tlsfiles.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

QByteArray TakeTlsErrorText()
{
    unsigned long nLast = 0;
    while (const unsigned long nError = ERR_get_error())
        nLast = nError;
    if (nLast == 0)
        return {};
    const char* pszReason = ERR_reason_error_string(nLast);
    return pszReason ? QByteArray(pszReason) : QByteArray("error ") + QByteArray::number(qulonglong(nLast), 16);
}

namespace {

// A file named by the section must be there and readable: says which
// setting names it and what is wrong.
bool CheckFile(const char* pszSetting, const QString& strPath, QByteArray* pstrError)
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
    *pstrError = QByteArray("[TLS] ") + pszSetting + "=" + QFile::encodeName(strPath) + " " + strWhy;
    return false;
}

bool Fail(const char* pszSetting, const QString& strPath, const char* pszWhat, QByteArray* pstrError)
{
    *pstrError = QByteArray("[TLS] ") + pszSetting + "=" + QFile::encodeName(strPath) + " " + pszWhat + " ("
               + TakeTlsErrorText() + ")";
    return false;
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
        *pstrError = "a listening TLS port needs Certificate= and Key= in the [TLS] section of the profile";
        return false;
    }
    if (config.strCertificate.isEmpty() != config.strKey.isEmpty()) {
        *pstrError = "[TLS] Certificate= and Key= go together: give both or neither";
        return false;
    }
    if (bServer && config.bRequireClientCertificate && config.strCa.isEmpty()) {
        *pstrError = "[TLS] RequireClientCertificate=1 needs CA=, the CA that vouches for the clients";
        return false;
    }
    if (!config.strCertificate.isEmpty()) {
        if (!CheckFile("Certificate", config.strCertificate, pstrError) || !CheckFile("Key", config.strKey, pstrError))
            return false;
        if (SSL_CTX_use_certificate_chain_file(pCtx, QFile::encodeName(config.strCertificate).constData()) != 1)
            return Fail("Certificate", config.strCertificate, "is not a PEM certificate", pstrError);
        BIO* pFile = BIO_new_file(QFile::encodeName(config.strKey).constData(), "r");
        EVP_PKEY* pKey = pFile ? PEM_read_bio_PrivateKey(pFile, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(pFile);
        if (!pKey)
            return Fail("Key", config.strKey, "is not a PEM private key without a pass phrase", pstrError);
        const bool bTaken = SSL_CTX_use_PrivateKey(pCtx, pKey) == 1 && SSL_CTX_check_private_key(pCtx) == 1;
        EVP_PKEY_free(pKey);
        if (!bTaken)
            return Fail("Key", config.strKey, "does not belong to the certificate", pstrError);
        // A peer refuses a certificate outside its validity period: every
        // connection would fail, so it is not used at all.
        const X509* pCert = SSL_CTX_get0_certificate(pCtx);
        *pstrError = CertificateTimeError("Certificate", config.strCertificate, pCert);
        if (!pstrError->isEmpty())
            return false;
        pLoaded->nCertificateExpiry = CertificateExpiry(pCert);
        for (const QByteArray& strWarning : {CertificateSoonWarning("Certificate", config.strCertificate, pCert),
                                             KeyModeWarning(config.strKey)}) {
            if (!strWarning.isEmpty())
                pLoaded->warnings.append(strWarning);
        }
    }
    if (!config.strCa.isEmpty()) {
        if (!CheckFile("CA", config.strCa, pstrError))
            return false;
        if (SSL_CTX_load_verify_locations(pCtx, QFile::encodeName(config.strCa).constData(), nullptr) != 1)
            return Fail("CA", config.strCa, "holds no PEM certificate", pstrError);
        QByteArray strWarning;
        pLoaded->nCaExpiry = CaFileExpiry(config.strCa, &strWarning);
        if (!strWarning.isEmpty())
            pLoaded->warnings.append(strWarning);
    } else if (!bServer && SSL_CTX_set_default_verify_paths(pCtx) != 1) {
        *pstrError = "the system's store of trusted CAs cannot be read (" + TakeTlsErrorText() + "); give CA=";
        return false;
    }
    if (!bServer)
        SSL_CTX_set_verify(pCtx, SSL_VERIFY_PEER, nullptr);
    else if (config.bRequireClientCertificate)
        SSL_CTX_set_verify(pCtx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    if (bServer) {
        // Resumed sessions are taken only from a context of the same files
        // and client rule (OpenSSL refuses to resume a session of a port
        // that checks clients without this).
        const QByteArray strContext = QCryptographicHash::hash(
            QFile::encodeName(config.strCertificate) + '\0' + QFile::encodeName(config.strCa) + '\0'
                + (config.bRequireClientCertificate ? "1" : "0"),
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
    return pContext;
}

CTlsContext::~CTlsContext()
{
    SSL_CTX_free(m_pCtx);
}
