#include "eventstream.h"

#include <QSocketNotifier>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

CEventStream::CEventStream(int hSocket, QObject* pParent) : QObject(pParent), m_hSocket(hSocket)
{
    m_pWriteNotifier = new QSocketNotifier(hSocket, QSocketNotifier::Write, this);
    m_pWriteNotifier->setEnabled(false);
    connect(m_pWriteNotifier, &QSocketNotifier::activated, this, &CEventStream::Flush);
}

CEventStream::~CEventStream()
{
    Close();
}

void CEventStream::Write(const QByteArray& strBytes)
{
    if (!IsOpen())
        return;
    m_strPending.append(strBytes);
    if (!m_pWriteNotifier->isEnabled())
        Flush();
}

void CEventStream::Flush()
{
    while (IsOpen() && m_nOffset < m_strPending.size()) {
        const ssize_t n = ::send(m_hSocket, m_strPending.constData() + m_nOffset, size_t(m_strPending.size() - m_nOffset),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            m_nOffset += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_pWriteNotifier->setEnabled(true);
            return;
        }
        Close(); // the reader has gone
        return;
    }
    m_strPending.clear();
    m_nOffset = 0;
    if (m_pWriteNotifier)
        m_pWriteNotifier->setEnabled(false);
}

void CEventStream::Close()
{
    if (m_pWriteNotifier) {
        m_pWriteNotifier->setEnabled(false);
        m_pWriteNotifier->deleteLater();
        m_pWriteNotifier = nullptr;
    }
    if (m_hSocket >= 0) {
        ::close(m_hSocket);
        m_hSocket = -1;
    }
    m_strPending.clear();
    m_nOffset = 0;
}
