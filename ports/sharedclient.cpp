#include "sharedclient.h"

#include "tlssession.h"
#include "wsaerror.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

CSharedClient::CSharedClient(int hSocket, const SSocketAddress& peer, std::unique_ptr<CTlsSession> pTls,
                             const FNotify& fnReadable, const FNotify& fnWritable, QObject* pParent)
    : QObject(pParent), m_hSocket(hSocket), m_peer(peer), m_pTls(std::move(pTls))
{
    m_pReadNotifier = new QSocketNotifier(hSocket, QSocketNotifier::Read, this);
    m_pReadNotifier->setEnabled(false);
    connect(m_pReadNotifier, &QSocketNotifier::activated, this, [this, fnReadable] { fnReadable(this); });
    m_pWriteNotifier = new QSocketNotifier(hSocket, QSocketNotifier::Write, this);
    m_pWriteNotifier->setEnabled(false);
    connect(m_pWriteNotifier, &QSocketNotifier::activated, this, [this, fnWritable] {
        // Watched only while bytes are held.
        m_pWriteNotifier->setEnabled(false);
        fnWritable(this);
    });
}

CSharedClient::~CSharedClient()
{
    Close();
}

void CSharedClient::Close()
{
    for (QSocketNotifier** ppNotifier : {&m_pReadNotifier, &m_pWriteNotifier}) {
        if (*ppNotifier) {
            (*ppNotifier)->setEnabled(false);
            (*ppNotifier)->deleteLater();
            *ppNotifier = nullptr;
        }
    }
    if (m_pHalfCloseTimer)
        m_pHalfCloseTimer->stop();
    m_held.clear();
    m_nHeld = 0;
    m_nHeldOffset = 0;
    m_bReadWantsWrite = false;
    m_bWriteWantsRead = false;
    if (m_pTls) {
        m_pTls->Shutdown();
        m_pTls.reset();
    }
    if (m_hSocket >= 0) {
        ::close(m_hSocket);
        m_hSocket = -1;
    }
}

void CSharedClient::WatchReadable(bool bOn)
{
    bOn = bOn || m_bWriteWantsRead;
    if (m_pReadNotifier && m_pReadNotifier->isEnabled() != bOn)
        m_pReadNotifier->setEnabled(bOn);
}

bool CSharedClient::HasBuffered() const
{
    return m_pTls && m_pTls->HasBuffered();
}

qint64 CSharedClient::TlsResult(int n, int* pnError)
{
    if (n >= 0)
        return n;
    if (n == CTlsSession::kWouldBlock) {
        *pnError = WSAEWOULDBLOCK;
        return -1;
    }
    if (m_pTls->SystemError() != 0) {
        *pnError = WsaErrorFromErrno(m_pTls->SystemError());
        return -1;
    }
    m_strTlsError = m_pTls->ErrorText();
    *pnError = WSAECONNRESET;
    return -1;
}

qint64 CSharedClient::ReadSome(char* pBuffer, qint64 nMax, int* pnError)
{
    for (;;) {
        if (IsClosed()) {
            *pnError = WSAENOTSOCK;
            return -1;
        }
        if (m_pTls) {
            const int n = m_pTls->Read(pBuffer, int(std::min<qint64>(nMax, INT_MAX)));
            if (n == CTlsSession::kWouldBlock && m_pTls->WantsWrite()) {
                m_bReadWantsWrite = true;
                m_pWriteNotifier->setEnabled(true);
            }
            return TlsResult(n, pnError);
        }
        const ssize_t n = ::recv(m_hSocket, pBuffer, size_t(nMax), 0);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        *pnError = WsaErrorFromErrno(errno);
        return -1;
    }
}

qint64 CSharedClient::WriteSome(const char* pData, qint64 nLen, int* pnError)
{
    qint64 nSent = 0;
    while (nSent < nLen) {
        if (IsClosed()) {
            *pnError = WSAENOTSOCK;
            return -1;
        }
        if (m_pTls) {
            const int n = m_pTls->Write(pData + nSent, int(std::min<qint64>(nLen - nSent, INT_MAX)));
            if (n > 0) {
                nSent += n;
                continue;
            }
            if (n == CTlsSession::kWouldBlock) {
                if (!m_pTls->WantsWrite()) {
                    // Rare (a key update): the send goes on once readable.
                    m_bWriteWantsRead = true;
                    m_pReadNotifier->setEnabled(true);
                }
                break;
            }
            return TlsResult(n, pnError);
        }
        const ssize_t n = ::send(m_hSocket, pData + nSent, size_t(nLen - nSent), MSG_NOSIGNAL);
        if (n >= 0) {
            nSent += n;
            continue;
        }
        if (errno == EINTR)
            continue;
        const int nError = WsaErrorFromErrno(errno);
        if (nError == WSAEWOULDBLOCK)
            break;
        *pnError = nError;
        return -1;
    }
    return nSent;
}

bool CSharedClient::Send(const QByteArray& strBytes, int* pnError)
{
    if (strBytes.isEmpty())
        return true;
    qsizetype nTaken = 0;
    if (!HasHeld()) {
        const qint64 n = WriteSome(strBytes.constData(), strBytes.size(), pnError);
        if (n < 0)
            return false;
        if (n == strBytes.size())
            return true;
        nTaken = qsizetype(n);
        m_nHeldOffset = nTaken;
    }
    m_held.append(strBytes);
    m_nHeld += strBytes.size() - nTaken;
    m_pWriteNotifier->setEnabled(true);
    return true;
}

bool CSharedClient::FlushHeld(int* pnError)
{
    while (!m_held.isEmpty()) {
        const QByteArray& strFront = m_held.front();
        const qint64 nWant = strFront.size() - m_nHeldOffset;
        const qint64 n = WriteSome(strFront.constData() + m_nHeldOffset, nWant, pnError);
        if (n < 0) {
            m_held.clear();
            m_nHeld = 0;
            m_nHeldOffset = 0;
            return false;
        }
        m_nHeld -= n;
        if (n < nWant) {
            m_nHeldOffset += qsizetype(n);
            m_pWriteNotifier->setEnabled(true);
            return true;
        }
        m_held.removeFirst();
        m_nHeldOffset = 0;
    }
    return true;
}
