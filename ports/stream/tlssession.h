#pragma once

#include <QByteArray>

#include <memory>

class CTlsContext;

// Why a TLS handshake failed, from a fixed set (the counters have one value
// each): no client certificate, a certificate expired or not yet valid, a
// certificate no trusted CA vouches for, a subject not in AllowSubjects=, a
// certificate for another name, a protocol failure (version, ciphers, not
// TLS at all), no handshake in time, the peer closed or reset the
// connection, anything else.
enum ETlsFailure
{
    TlsNoCertificate,
    TlsExpired,
    TlsUnknownCa,
    TlsNotAllowed,
    TlsNameMismatch,
    TlsProtocol,
    TlsTimeout,
    TlsClosed,
    TlsOther,
    kTlsFailureKinds
};
// "no_certificate", "expired", "unknown_ca", "not_allowed", "name_mismatch",
// "protocol", "timeout", "closed", "other".
const char* TlsFailureName(int nFailure);
struct ssl_st;
struct bio_st;

// One TLS connection on an existing non-blocking stream socket, which stays
// the caller's (it is never closed here). Nothing waits: every call does
// what the socket allows now. Writes may take part of the bytes, and a write
// that would block may be repeated with other bytes behind the first ones
// (the held-bytes logic of a port keeps working).
class CTlsSession
{
public:
    // Results of the three calls below besides counts.
    static constexpr int kFailed = -1;
    static constexpr int kWouldBlock = -2;

    // A server session (the context's role), or a client session that
    // checks the server's certificate for strHost (a name or an address).
    CTlsSession(std::shared_ptr<CTlsContext> pContext, int hSocket, const QByteArray& strHost = QByteArray());
    ~CTlsSession();
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;

    // One step of the handshake: 1 done, kWouldBlock, or kFailed.
    int Handshake();
    // Count read, 0 at the peer's orderly close, kWouldBlock, or kFailed.
    int Read(char* pData, int nLen);
    // Count taken (> 0), kWouldBlock, or kFailed. nLen must be > 0.
    int Write(const char* pData, int nLen);
    // After kWouldBlock: the socket must become writable (else readable).
    bool WantsWrite() const { return m_bWantsWrite; }
    // Decrypted or received bytes wait inside the session: a read returns
    // them although the socket may not be readable.
    bool HasBuffered() const;
    // After kFailed: why, in words ("certificate has expired", "Hostname
    // mismatch", "the peer closed the connection", ...).
    QByteArray ErrorText() const { return m_strError; }
    // After kFailed: the errno of a failed system call, 0 for a TLS failure.
    int SystemError() const { return m_nErrno; }
    // After a failed handshake: its ETlsFailure (TlsTimeout when no step
    // failed: the handshake was given up).
    int Failure() const { return m_nFailure; }
    // The subject of the peer's certificate (SubjectText); empty when it
    // presented none.
    QByteArray PeerSubject() const;
    // A server session whose client has not sent its first handshake
    // message yet.
    bool IsSilent() const;
    // Sends the close alert when the socket takes it now; never waits.
    void Shutdown();

private:
    // Maps an OpenSSL result: count, 0, kWouldBlock or kFailed.
    int Result(int nRet, bool bRead);

    std::shared_ptr<CTlsContext> m_pContext;
    ssl_st* m_pSsl = nullptr;
    bool m_bWantsWrite = false;
    bool m_bHandshakeDone = false;
    QByteArray m_strError;
    int m_nErrno = 0;
    int m_nFailure = TlsTimeout;
};
