#include "tlssession.h"

#include "stream/tlscontext.h"
#include "stream/tlssubjects.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

namespace {

const char kNotAllowed[] = "certificate subject not in AllowSubjects=";

// A socket BIO whose writes never raise SIGPIPE (MSG_NOSIGNAL): a peer that
// vanished must give an error, not end the program.
int BioSocket(BIO* pBio)
{
    return int(reinterpret_cast<intptr_t>(BIO_get_data(pBio)));
}

int BioWrite(BIO* pBio, const char* pData, int nLen)
{
    BIO_clear_retry_flags(pBio);
    ssize_t n;
    do
        n = ::send(BioSocket(pBio), pData, size_t(nLen), MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        BIO_set_retry_write(pBio);
    return int(n);
}

int BioRead(BIO* pBio, char* pData, int nLen)
{
    BIO_clear_retry_flags(pBio);
    ssize_t n;
    do
        n = ::recv(BioSocket(pBio), pData, size_t(nLen), 0);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        BIO_set_retry_read(pBio);
    return int(n);
}

long BioCtrl(BIO*, int nCmd, long, void*)
{
    return nCmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* pBio)
{
    BIO_set_init(pBio, 1);
    return 1;
}

BIO_METHOD* SocketMethod()
{
    static BIO_METHOD* s_pMethod = [] {
        BIO_METHOD* pMethod = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "trelvane socket");
        BIO_meth_set_write(pMethod, BioWrite);
        BIO_meth_set_read(pMethod, BioRead);
        BIO_meth_set_ctrl(pMethod, BioCtrl);
        BIO_meth_set_create(pMethod, BioCreate);
        return pMethod;
    }();
    return s_pMethod;
}

// A failed certificate check by its X509_V_ERR_ code.
int VerifyFailure(long nVerify)
{
    switch (nVerify) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID: return TlsExpired;
    case X509_V_ERR_APPLICATION_VERIFICATION: return TlsNotAllowed;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return TlsNameMismatch;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE: return TlsUnknownCa;
    default: return TlsOther;
    }
}

// A failure OpenSSL reported as an error code (the alerts a peer sent
// included).
int ErrorFailure(unsigned long nCode)
{
    if (ERR_GET_LIB(nCode) != ERR_LIB_SSL)
        return TlsOther;
    switch (ERR_GET_REASON(nCode)) {
    case SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE:
    case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED: return TlsNoCertificate;
    case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED: return TlsExpired;
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_CERTIFICATE_VERIFY_FAILED: return TlsUnknownCa;
    case SSL_R_TLSV1_ALERT_ACCESS_DENIED: return TlsNotAllowed;
    default: return TlsProtocol;
    }
}

// A resumed session's client certificate, checked as in a full handshake
// (CA, validity now, purpose): a session may outlive its certificate.
// Empty when it passes, else why not.
QByteArray ResumedPeerProblem(SSL* pSsl, int* pnFailure)
{
    X509* pPeer = SSL_get0_peer_certificate(pSsl);
    *pnFailure = TlsNoCertificate;
    if (!pPeer)
        return "peer did not return a certificate";
    X509_STORE_CTX* pCheck = X509_STORE_CTX_new();
    if (!pCheck || X509_STORE_CTX_init(pCheck, SSL_CTX_get_cert_store(SSL_get_SSL_CTX(pSsl)), pPeer,
                                       SSL_get_peer_cert_chain(pSsl)) != 1) {
        X509_STORE_CTX_free(pCheck);
        *pnFailure = TlsOther;
        return "TLS cannot be set up (" + TakeTlsErrorText() + ")";
    }
    X509_STORE_CTX_set_default(pCheck, "ssl_client");
    X509_VERIFY_PARAM_set1(X509_STORE_CTX_get0_param(pCheck), SSL_get0_param(pSsl));
    const bool bOk = X509_verify_cert(pCheck) == 1;
    const int nError = X509_STORE_CTX_get_error(pCheck);
    X509_STORE_CTX_free(pCheck);
    ERR_clear_error();
    *pnFailure = VerifyFailure(nError);
    return bOk ? QByteArray() : QByteArray(X509_verify_cert_error_string(nError));
}

bool IsAddress(const QByteArray& strHost)
{
    unsigned char buffer[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, strHost.constData(), buffer) == 1
        || ::inet_pton(AF_INET6, strHost.constData(), buffer) == 1;
}

} // namespace

const char* TlsFailureName(int nFailure)
{
    static const char* const kNames[kTlsFailureKinds] = {"no_certificate", "expired",  "unknown_ca",
                                                         "not_allowed",    "name_mismatch", "protocol",
                                                         "timeout",        "closed",   "other"};
    return nFailure >= 0 && nFailure < kTlsFailureKinds ? kNames[nFailure] : "other";
}

QByteArray CTlsSession::PeerSubject() const
{
    return m_pSsl ? SubjectText(SSL_get0_peer_certificate(m_pSsl)) : QByteArray();
}

CTlsSession::CTlsSession(std::shared_ptr<CTlsContext> pContext, int hSocket, const QByteArray& strHost)
    : m_pContext(std::move(pContext))
{
    ERR_clear_error();
    m_pSsl = SSL_new(m_pContext->Handle());
    BIO* pBio = m_pSsl ? BIO_new(SocketMethod()) : nullptr;
    if (!pBio) {
        m_strError = "TLS cannot be set up (" + TakeTlsErrorText() + ")";
        return;
    }
    BIO_set_data(pBio, reinterpret_cast<void*>(intptr_t(hSocket)));
    SSL_set_bio(m_pSsl, pBio, pBio);
    if (m_pContext->Role() == CTlsContext::Server) {
        SSL_set_accept_state(m_pSsl);
        return;
    }
    SSL_set_connect_state(m_pSsl);
    // The server's certificate must name the host the string names.
    if (IsAddress(strHost)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_pSsl), strHost.constData());
    } else if (!strHost.isEmpty()) {
        SSL_set_tlsext_host_name(m_pSsl, strHost.constData());
        SSL_set1_host(m_pSsl, strHost.constData());
    }
}

CTlsSession::~CTlsSession()
{
    SSL_free(m_pSsl);
}

int CTlsSession::Result(int nRet, bool bRead)
{
    if (nRet > 0)
        return nRet;
    const int nError = SSL_get_error(m_pSsl, nRet);
    const int nErrno = errno;
    m_bWantsWrite = nError == SSL_ERROR_WANT_WRITE;
    if (nError == SSL_ERROR_WANT_READ || nError == SSL_ERROR_WANT_WRITE) {
        ERR_clear_error();
        return kWouldBlock;
    }
    if (nError == SSL_ERROR_ZERO_RETURN && bRead)
        return 0;
    m_nErrno = 0;
    const long nVerify = SSL_get_verify_result(m_pSsl);
    unsigned long nCode = 0;
    const QByteArray strReason = TakeTlsErrorText(&nCode);
    if (!m_bHandshakeDone && nVerify != X509_V_OK) {
        // The certificate check failed: say why (expired, host name, CA).
        m_strError = nVerify == X509_V_ERR_APPLICATION_VERIFICATION ? QByteArray(kNotAllowed)
                                                                     : QByteArray(X509_verify_cert_error_string(nVerify));
        m_nFailure = VerifyFailure(nVerify);
    } else if (!strReason.isEmpty()) {
        m_strError = strReason;
        m_nFailure = ErrorFailure(nCode);
    } else if (nError == SSL_ERROR_SYSCALL && nErrno != 0) {
        m_nErrno = nErrno;
        m_strError = std::strerror(nErrno);
        m_nFailure = nErrno == ECONNRESET || nErrno == EPIPE ? TlsClosed : TlsOther;
    } else {
        m_strError = "the peer closed the connection";
        m_nFailure = TlsClosed;
        // A close in the middle of a handshake; after it, the stream's end.
        if (m_bHandshakeDone && bRead)
            return 0;
    }
    return kFailed;
}

int CTlsSession::Handshake()
{
    if (!m_pSsl)
        return kFailed;
    ERR_clear_error();
    const int nRet = SSL_do_handshake(m_pSsl);
    if (nRet == 1) {
        if (m_pContext->Role() == CTlsContext::Server && SSL_session_reused(m_pSsl)
            && (SSL_get_verify_mode(m_pSsl) & SSL_VERIFY_PEER)) {
            m_strError = ResumedPeerProblem(m_pSsl, &m_nFailure);
            if (m_strError.isEmpty() && !m_pContext->AllowSubjects().isEmpty()
                && !SubjectAllowed(m_pContext->AllowSubjects(), SSL_get0_peer_certificate(m_pSsl))) {
                m_strError = kNotAllowed;
                m_nFailure = TlsNotAllowed;
            }
            if (!m_strError.isEmpty())
                return kFailed;
        }
        m_bHandshakeDone = true;
        return 1;
    }
    return Result(nRet, false);
}

int CTlsSession::Read(char* pData, int nLen)
{
    ERR_clear_error();
    return Result(SSL_read(m_pSsl, pData, nLen), true);
}

int CTlsSession::Write(const char* pData, int nLen)
{
    ERR_clear_error();
    return Result(SSL_write(m_pSsl, pData, nLen), false);
}

bool CTlsSession::HasBuffered() const
{
    return m_pSsl && SSL_has_pending(m_pSsl) == 1;
}

bool CTlsSession::IsSilent() const
{
    return m_pSsl && !m_bHandshakeDone && SSL_get_state(m_pSsl) == TLS_ST_BEFORE;
}

void CTlsSession::Shutdown()
{
    if (m_pSsl && m_bHandshakeDone) {
        SSL_shutdown(m_pSsl);
        ERR_clear_error();
    }
}
