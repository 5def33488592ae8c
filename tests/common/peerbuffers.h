#pragma once

#include <QByteArray>

#include <algorithm>
#include <mutex>
#include <sys/types.h>

// What a peer thread still has to send and what it has received, shared
// with the test's thread.
class CPeerBuffers
{
public:
    // Queued for the peer's thread.
    void Send(const QByteArray& data)
    {
        std::lock_guard lock(m_mutex);
        m_outgoing += data;
    }
    QByteArray Received()
    {
        std::lock_guard lock(m_mutex);
        return m_received;
    }
    qint64 ReceivedSize()
    {
        std::lock_guard lock(m_mutex);
        return m_received.size();
    }
    qint64 PendingSend()
    {
        std::lock_guard lock(m_mutex);
        return m_outgoing.size() - m_nOutOffset;
    }

protected:
    void AppendReceived(const char* pData, qint64 nLen)
    {
        std::lock_guard lock(m_mutex);
        m_received.append(pData, nLen);
    }
    // Hands at most nMax pending bytes to fnWrite(pData, nLen), which returns
    // how many it took (negative: none).
    template <typename FWrite>
    void WritePending(qint64 nMax, FWrite fnWrite)
    {
        std::lock_guard lock(m_mutex);
        const qint64 nPending = std::min(m_outgoing.size() - m_nOutOffset, nMax);
        if (nPending <= 0)
            return;
        const ssize_t n = fnWrite(m_outgoing.constData() + m_nOutOffset, size_t(nPending));
        if (n > 0)
            m_nOutOffset += n;
    }

    std::mutex m_mutex;

private:
    QByteArray m_received;
    QByteArray m_outgoing;
    qint64 m_nOutOffset = 0;
};
