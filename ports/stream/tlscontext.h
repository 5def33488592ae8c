#pragma once

#include "stream/tlssubjects.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <memory>

struct ssl_ctx_st;

// The certificate files of a profile section ([TLS] or [TLS <name>]),
// paths already resolved (relative ones against the profile's folder).
struct STlsConfig
{
    QString strCertificate;          // PEM: this end's certificate (and its chain)
    QString strKey;                  // PEM: its private key
    QString strCa;                   // PEM: trusted CAs; empty: the system's store (clients only)
    bool bRequireClientCertificate = false;
    // Set when a value of the section cannot be taken: every TLS port then
    // fails to start with it.
    QString strProblem;
    // CAMode=add: a client trusts CA= and the system's store (replace, the
    // default: CA= alone). A listening port checks clients against CA= only.
    bool bCaAdd = false;
    // AllowSubjects=: a listening port takes only clients whose certificate
    // subject matches an entry (empty: every client CA= vouches for).
    QList<STlsSubject> allowSubjects;
    QString strSection = QStringLiteral("TLS"); // as messages name it: "TLS", "TLS plant"
};

// An OpenSSL context for one role, loaded from the configuration: a
// listening port (certificate and key required; with
// bRequireClientCertificate, clients must present a certificate that CA=
// vouches for) or a client (checks the server against CA= or the system's
// store, presents its certificate when one is given). A certificate outside
// its validity period is refused; one that expires soon, an expired CA=
// file and a key others may read only warn. A listening port's sessions
// may be resumed, within the same configuration only.
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
    // What is usable now but will not stay so, or is not safe; one line each.
    const QByteArrayList& Warnings() const { return m_warnings; }
    // notAfter in seconds since the epoch of Certificate= and of CA= (the
    // latest of its CAs); 0 when not given.
    qint64 CertificateExpiry() const { return m_nCertificateExpiry; }
    qint64 CaExpiry() const { return m_nCaExpiry; }
    // AllowSubjects= of a listening port (empty: no list).
    const QList<STlsSubject>& AllowSubjects() const { return m_allowSubjects; }

private:
    CTlsContext(ssl_ctx_st* pCtx, ERole eRole) : m_pCtx(pCtx), m_eRole(eRole) {}

    ssl_ctx_st* m_pCtx;
    ERole m_eRole;
    QByteArrayList m_warnings;
    qint64 m_nCertificateExpiry = 0;
    qint64 m_nCaExpiry = 0;
    QList<STlsSubject> m_allowSubjects;
};

// The newest OpenSSL error of this thread as text (empty when none); clears
// the thread's error queue. pnCode (optional): its code, 0 when none.
QByteArray TakeTlsErrorText(unsigned long* pnCode = nullptr);
