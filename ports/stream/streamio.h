#pragma once

#include "stream/streamlayer.h"

#include <QByteArray>

#include <memory>
#include <utility>
#include <vector>

#include <sys/types.h>

class CTlsSession;

// The stream of one connection as a stack of layers: at the bottom the
// system's calls, or the connection's TLS session (which works on the same
// handle); above them the layers pushed on (the Telnet framing), each over
// the one below. The port reads and writes the top. The handle stays the
// caller's; every call names it.
class CStreamIo
{
public:
    CStreamIo();
    ~CStreamIo();
    CStreamIo(const CStreamIo&) = delete;
    CStreamIo& operator=(const CStreamIo&) = delete;

    // pTls: the connection's session, its handshake done; null for plain TCP.
    void SetSession(std::unique_ptr<CTlsSession> pTls);
    // The layer a new layer is built over (the top so far), on hSocket.
    IStreamLayer& Top(int hSocket);
    // Puts a layer built over Top() on the stack; kept until Detach.
    void Push(std::unique_ptr<IStreamLayer> pLayer);
    // Sends TLS's close alert where the socket takes it now; forgets the
    // session and every layer pushed on.
    void Detach();
    bool IsTls() const { return m_pTls != nullptr; }
    // Bytes already taken from the socket wait in a layer (TLS, or the
    // Telnet framing), which the socket then does not report as readable.
    bool HasBuffered() const { return m_pTop->HasBuffered(); }
    // A layer holds bytes the socket has not taken yet (see Flush).
    bool HasHeldOutput() const { return m_pTop->HasHeldOutput(); }

    // A count (0 at the stream's end for Receive), or -1 with errno set:
    // EAGAIN when nothing moves now, ECONNRESET after a TLS failure (whose
    // reason TakeTlsError gives), else the system's error. A Send that
    // returned EAGAIN is offered the same bytes again.
    ssize_t Receive(int hSocket, char* pData, size_t nLen);
    ssize_t Send(int hSocket, const char* pData, size_t nLen);
    // Hands held bytes to the socket: 0 when none is left, else -1 with
    // errno (EAGAIN: wait for writability).
    int Flush(int hSocket);

    // After EAGAIN from TLS: the read waits for the socket to become
    // writable (the session must send first), or the send for it to become
    // readable (a key update). The caller arms its notifiers for these.
    bool ReadWantsWrite() const { return m_bReadWantsWrite; }
    bool WriteWantsRead() const { return m_bWriteWantsRead; }
    bool TakeReadWantsWrite() { return std::exchange(m_bReadWantsWrite, false); }
    bool TakeWriteWantsRead() { return std::exchange(m_bWriteWantsRead, false); }
    QByteArray TakeTlsError() { return std::exchange(m_strTlsError, QByteArray()); }

private:
    // The bottom layer: the socket, through the TLS session when there is one.
    class CBase : public IStreamLayer
    {
    public:
        explicit CBase(CStreamIo& io) : m_io(io) {}
        ssize_t Receive(char* pData, size_t nLen) override;
        ssize_t Send(const char* pData, size_t nLen) override;
        bool HasBuffered() const override;
        int m_hSocket = -1;

    private:
        CStreamIo& m_io;
    };
    // Maps a session result other than a count to -1 and errno.
    ssize_t TlsFailure(int nResult);

    std::unique_ptr<CTlsSession> m_pTls;
    CBase m_base {*this};
    // Pushed layers, bottom first; m_pTop is the last or m_base.
    std::vector<std::unique_ptr<IStreamLayer>> m_layers;
    IStreamLayer* m_pTop = &m_base;
    bool m_bReadWantsWrite = false;
    bool m_bWriteWantsRead = false;
    QByteArray m_strTlsError;
};
