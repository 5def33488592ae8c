#pragma once

#include <QByteArray>

#include <memory>
#include <utility>

#include <sys/types.h>

class CTlsSession;

// The bytes of one stream connection, through the system's calls or through
// the connection's TLS session (which works on the same handle), with one
// meaning of the results either way. The handle stays the caller's.
class CStreamIo
{
public:
    CStreamIo();
    ~CStreamIo();
    CStreamIo(const CStreamIo&) = delete;
    CStreamIo& operator=(const CStreamIo&) = delete;

    // pTls: the connection's session, its handshake done; null for plain TCP.
    void SetSession(std::unique_ptr<CTlsSession> pTls);
    // Sends TLS's close alert where the socket takes it now; forgets the
    // session.
    void Detach();
    bool IsTls() const { return m_pTls != nullptr; }
    // TLS: bytes already taken from the socket wait in the session, which
    // the socket then does not report as readable.
    bool HasBuffered() const;

    // A count (0 at the stream's end for Receive), or -1 with errno set:
    // EAGAIN when nothing moves now, ECONNRESET after a TLS failure (whose
    // reason TakeTlsError gives), else the system's error.
    ssize_t Receive(int hSocket, char* pData, size_t nLen);
    ssize_t Send(int hSocket, const char* pData, size_t nLen);

    // After EAGAIN from TLS: the read waits for the socket to become
    // writable (the session must send first), or the send for it to become
    // readable (a key update). The caller arms its notifiers for these.
    bool ReadWantsWrite() const { return m_bReadWantsWrite; }
    bool WriteWantsRead() const { return m_bWriteWantsRead; }
    bool TakeReadWantsWrite() { return std::exchange(m_bReadWantsWrite, false); }
    bool TakeWriteWantsRead() { return std::exchange(m_bWriteWantsRead, false); }
    QByteArray TakeTlsError() { return std::exchange(m_strTlsError, QByteArray()); }

private:
    // Maps a session result other than a count to -1 and errno.
    ssize_t TlsFailure(int nResult);

    std::unique_ptr<CTlsSession> m_pTls;
    bool m_bReadWantsWrite = false;
    bool m_bWriteWantsRead = false;
    QByteArray m_strTlsError;
};
