#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

struct ssl_ctx_st;

// The certificate files of the profile's [TLS] section, paths already
// resolved (relative ones against the profile's folder).
struct STlsConfig
{
    QString strCertificate;          // PEM: this end's certificate (and its chain)
    QString strKey;                  // PEM: its private key
    QString strCa;                   // PEM: trusted CAs; empty: the system's store (clients only)
    bool bRequireClientCertificate = false;
    // Set when a value of the section cannot be taken: every TLS port then
    // fails to start with it.
    QString strProblem;
};

// An OpenSSL context for one role, loaded from the configuration: a
// listening port (certificate and key required; with
// bRequireClientCertificate, clients must present a certificate that CA=
// vouches for) or a client (checks the server against CA= or the system's
// store, presents its certificate when one is given).
class CTlsContext
{
public:
    enum ERole { Server, Client };

    // nullptr with the reason in *pstrError (names the file and what is
    // wrong with it).
    static std::shared_ptr<CTlsContext> Create(const STlsConfig& config, ERole eRole, QByteArray* pstrError);
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    ssl_ctx_st* Handle() const { return m_pCtx; }
    ERole Role() const { return m_eRole; }

private:
    CTlsContext(ssl_ctx_st* pCtx, ERole eRole) : m_pCtx(pCtx), m_eRole(eRole) {}

    ssl_ctx_st* m_pCtx;
    ERole m_eRole;
};

// The newest OpenSSL error of this thread as text (empty when none); clears
// the thread's error queue.
QByteArray TakeTlsErrorText();
