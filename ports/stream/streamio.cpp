#include "streamio.h"

#include "stream/tlssession.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include <sys/socket.h>

CStreamIo::CStreamIo() = default;
CStreamIo::~CStreamIo()
{
    // Layers above go before the bottom they work over.
    m_layers.clear();
}

void CStreamIo::SetSession(std::unique_ptr<CTlsSession> pTls)
{
    Detach();
    m_pTls = std::move(pTls);
}

IStreamLayer& CStreamIo::Top(int hSocket)
{
    m_base.m_hSocket = hSocket;
    return *m_pTop;
}

void CStreamIo::Push(std::unique_ptr<IStreamLayer> pLayer)
{
    m_pTop = pLayer.get();
    m_layers.push_back(std::move(pLayer));
}

void CStreamIo::Detach()
{
    while (!m_layers.empty())
        m_layers.pop_back();
    m_pTop = &m_base;
    if (m_pTls) {
        m_pTls->Shutdown();
        m_pTls.reset();
    }
    m_base.m_hSocket = -1;
    m_bReadWantsWrite = false;
    m_bWriteWantsRead = false;
    m_strTlsError.clear();
}

ssize_t CStreamIo::Receive(int hSocket, char* pData, size_t nLen)
{
    m_base.m_hSocket = hSocket;
    return m_pTop->Receive(pData, nLen);
}

ssize_t CStreamIo::Send(int hSocket, const char* pData, size_t nLen)
{
    m_base.m_hSocket = hSocket;
    return m_pTop->Send(pData, nLen);
}

int CStreamIo::Flush(int hSocket)
{
    m_base.m_hSocket = hSocket;
    return m_pTop->Flush();
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

bool CStreamIo::CBase::HasBuffered() const
{
    return m_io.m_pTls && m_io.m_pTls->HasBuffered();
}

ssize_t CStreamIo::CBase::Receive(char* pData, size_t nLen)
{
    CTlsSession* pTls = m_io.m_pTls.get();
    if (!pTls)
        return ::recv(m_hSocket, pData, nLen, 0);
    const int n = pTls->Read(pData, int(std::min<size_t>(nLen, INT_MAX)));
    if (n >= 0)
        return n;
    if (n == CTlsSession::kWouldBlock && pTls->WantsWrite())
        m_io.m_bReadWantsWrite = true;
    return m_io.TlsFailure(n);
}

ssize_t CStreamIo::CBase::Send(const char* pData, size_t nLen)
{
    CTlsSession* pTls = m_io.m_pTls.get();
    if (!pTls)
        return ::send(m_hSocket, pData, nLen, MSG_NOSIGNAL);
    if (nLen == 0)
        return 0;
    const int n = pTls->Write(pData, int(std::min<size_t>(nLen, INT_MAX)));
    if (n > 0)
        return n;
    if (n == CTlsSession::kWouldBlock && !pTls->WantsWrite())
        m_io.m_bWriteWantsRead = true; // rare: a key update
    return m_io.TlsFailure(n);
}
