#include "sharedclient.h"

#include "setup/wsaerror.h"
#include "socket/comportserver.h"
#include "socket/hangupwatch.h"
#include "socket/portsocket.h"
#include "stream/tlssession.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <unistd.h>

CSharedClient::CSharedClient(int hSocket, const SSocketAddress& peer, std::unique_ptr<CTlsSession> pTls,
                             const FNotify& fnReadable, const FNotify& fnWritable, QObject* pParent)
    : QObject(pParent), m_hSocket(hSocket), m_peer(peer)
{
    m_stream.SetSession(std::move(pTls));
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
    CHangUpWatch::Discard(m_pHangUpWatch);
    if (m_pHalfCloseTimer)
        m_pHalfCloseTimer->stop();
    m_held.clear();
    m_nHeld = 0;
    m_nHeldOffset = 0;
    m_stream.Detach();
    m_pComPort.reset();
    if (m_hSocket >= 0) {
        ::close(m_hSocket);
        m_hSocket = -1;
    }
}

void CSharedClient::ServeComPort(CPortSocket* pPort)
{
    m_pComPort = pPort->ServeComPort(m_stream, m_hSocket, m_peer, [this] {
        if (m_pWriteNotifier)
            m_pWriteNotifier->setEnabled(true);
    });
}

void CSharedClient::WatchReadable(bool bOn)
{
    bOn = bOn || m_stream.WriteWantsRead();
    if (m_pReadNotifier && m_pReadNotifier->isEnabled() != bOn)
        m_pReadNotifier->setEnabled(bOn);
}

void CSharedClient::WatchHangUp(bool bOn, const FHangUp& fnHangUp)
{
    if (bOn && !m_pHangUpWatch && !IsClosed()) {
        m_fnHangUp = fnHangUp;
        m_pHangUpWatch = new CHangUpWatch(m_hSocket, [this](int nError) { m_fnHangUp(this, nError); }, this);
    }
    if (m_pHangUpWatch)
        m_pHangUpWatch->SetEnabled(bOn);
}

qint64 CSharedClient::ReadSome(char* pBuffer, qint64 nMax, int* pnError)
{
    for (;;) {
        if (IsClosed()) {
            *pnError = WSAENOTSOCK;
            return -1;
        }
        const ssize_t n = m_stream.Receive(m_hSocket, pBuffer, size_t(nMax));
        // A layer's replies the socket did not take go out once it is writable.
        if (m_stream.HasHeldOutput() && m_pWriteNotifier)
            m_pWriteNotifier->setEnabled(true);
        if (n >= 0) {
            m_nSessionBytes += quint64(n);
            return n;
        }
        if (errno == EINTR)
            continue;
        if (m_stream.ReadWantsWrite())
            m_pWriteNotifier->setEnabled(true);
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
        const ssize_t n = m_stream.Send(m_hSocket, pData + nSent, size_t(nLen - nSent));
        if (n >= 0) {
            nSent += n;
            m_nSessionBytes += quint64(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        const int nError = WsaErrorFromErrno(errno);
        if (nError == WSAEWOULDBLOCK) {
            if (m_stream.WriteWantsRead())
                m_pReadNotifier->setEnabled(true);
            break;
        }
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
        m_sinceProgress.start();
    }
    m_held.append(strBytes);
    m_nHeld += strBytes.size() - nTaken;
    m_pWriteNotifier->setEnabled(true);
    return true;
}

bool CSharedClient::FlushHeld(int* pnError)
{
    if (m_held.isEmpty() && m_stream.HasHeldOutput() && m_stream.Flush(m_hSocket) < 0) {
        if (errno != EAGAIN) {
            *pnError = WsaErrorFromErrno(errno);
            return false;
        }
        if (!m_stream.WriteWantsRead())
            m_pWriteNotifier->setEnabled(true);
        else
            m_pReadNotifier->setEnabled(true);
    }
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
        if (n > 0)
            m_sinceProgress.start();
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
