#include "streamio.h"

#include "stream/tlssession.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include <sys/socket.h>

CStreamIo::CStreamIo() = default;
CStreamIo::~CStreamIo() = default;

void CStreamIo::SetSession(std::unique_ptr<CTlsSession> pTls)
{
    Detach();
    m_pTls = std::move(pTls);
}

void CStreamIo::Detach()
{
    if (m_pTls) {
        m_pTls->Shutdown();
        m_pTls.reset();
    }
    m_bReadWantsWrite = false;
    m_bWriteWantsRead = false;
    m_strTlsError.clear();
}

bool CStreamIo::HasBuffered() const
{
    return m_pTls && m_pTls->HasBuffered();
}

ssize_t CStreamIo::TlsFailure(int nResult)
{
    if (nResult == CTlsSession::kWouldBlock) {
        errno = EAGAIN;
    } else if (m_pTls->SystemError() != 0) {
        errno = m_pTls->SystemError();
    } else {
        m_strTlsError = m_pTls->ErrorText();
        errno = ECONNRESET;
    }
    return -1;
}

ssize_t CStreamIo::Receive(int hSocket, char* pData, size_t nLen)
{
    if (!m_pTls)
        return ::recv(hSocket, pData, nLen, 0);
    const int n = m_pTls->Read(pData, int(std::min<size_t>(nLen, INT_MAX)));
    if (n >= 0)
        return n;
    if (n == CTlsSession::kWouldBlock && m_pTls->WantsWrite())
        m_bReadWantsWrite = true;
    return TlsFailure(n);
}

ssize_t CStreamIo::Send(int hSocket, const char* pData, size_t nLen)
{
    if (!m_pTls)
        return ::send(hSocket, pData, nLen, MSG_NOSIGNAL);
    if (nLen == 0)
        return 0;
    const int n = m_pTls->Write(pData, int(std::min<size_t>(nLen, INT_MAX)));
    if (n > 0)
        return n;
    if (n == CTlsSession::kWouldBlock && !m_pTls->WantsWrite())
        m_bWriteWantsRead = true; // rare: a key update
    return TlsFailure(n);
}
