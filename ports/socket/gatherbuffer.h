#pragma once

#include <QByteArray>

#include <utility>

// The blocks of one burst gathered for a TCP stream: they go to the system
// a full segment at a time, where a corked socket would have sent one; the
// rest when the burst ends, and at the next block once the oldest gathered
// byte has waited nMaxWaitMs (a slow pass).
class CGatherBuffer
{
public:
    explicit CGatherBuffer(int nMaxWaitMs) : m_nMaxWaitMs(nMaxWaitMs) {}

    // Starts gathering for hSocket's segment size, at most nMaxBytes; false
    // (nothing gathered) when the system does not tell it. The size is
    // asked once per socket until Reset.
    bool Begin(int hSocket, int nMaxBytes);
    // Ends gathering; what is gathered stays until taken.
    void Stop() { m_nLimit = 0; }
    bool IsOn() const { return m_nLimit > 0; }
    bool IsEmpty() const { return m_strBytes.isEmpty(); }

    // Gathers a block: true when the gathered bytes are due to be sent.
    bool Add(const char* pData, qsizetype nLen)
    {
        if (m_strBytes.isEmpty())
            m_nSinceMs = CoarseNowMs();
        m_strBytes.append(pData, nLen);
        return m_strBytes.size() >= m_nLimit || CoarseNowMs() - m_nSinceMs >= m_nMaxWaitMs;
    }
    const QByteArray& Bytes() const { return m_strBytes; }
    // Empties the buffer, keeping its memory for the next burst.
    void Clear() { m_strBytes.resize(0); }
    // The gathered bytes, for a caller that keeps them; the next burst gets
    // a buffer of its own.
    QByteArray Take() { return std::exchange(m_strBytes, QByteArray()); }
    // Stops and forgets everything gathered.
    void Reset()
    {
        m_nLimit = 0;
        m_strBytes.clear();
        m_hSegmentOf = -1;
    }

private:
    // Milliseconds of a coarse monotonic clock: read without a system call
    // at every block, and fine enough for a bound of a few milliseconds.
    static qint64 CoarseNowMs();

    int m_nMaxWaitMs;
    int m_nLimit = 0;
    int m_hSegmentOf = -1; // the socket whose segment size m_nSegment is
    int m_nSegment = 0;
    qint64 m_nSinceMs = 0;
    QByteArray m_strBytes;
};
