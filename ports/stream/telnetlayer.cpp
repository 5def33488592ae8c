#include "stream/telnetlayer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

CTelnetLayer::CTelnetLayer(IStreamLayer& below, ITelnetOwner& owner, ETelnetRole eRole)
    : m_below(below), m_codec(owner, eRole)
{
}

void CTelnetLayer::Start()
{
    m_codec.Start();
    TakeCodecOutput();
    Flush();
}

void CTelnetLayer::SendSubnegotiation(uchar nOption, QByteArrayView payload)
{
    m_codec.SendSubnegotiation(nOption, payload);
    TakeCodecOutput();
    Flush();
}

void CTelnetLayer::TakeCodecOutput()
{
    if (m_codec.HasOutput())
        m_strWire.append(m_codec.TakeOutput());
}

int CTelnetLayer::Flush()
{
    while (HasHeldOutput()) {
        const ssize_t n = m_below.Send(m_strWire.constData() + m_nWireOffset, size_t(m_strWire.size() - m_nWireOffset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN) {
                // The stream has failed: what was held is lost with it.
                const int nErrno = errno;
                m_strWire.clear();
                m_nWireOffset = 0;
                m_nHeldData = 0;
                errno = nErrno;
            }
            return -1;
        }
        if (n == 0) {
            errno = EAGAIN;
            return -1;
        }
        m_nWireOffset += n;
    }
    // Keeps the buffer for the next send.
    m_strWire.resize(0);
    m_nWireOffset = 0;
    return 0;
}

ssize_t CTelnetLayer::Send(const char* pData, size_t nLen)
{
    if (HasHeldOutput()) {
        if (Flush() < 0)
            return -1;
        if (m_nHeldData > 0) {
            // These bytes went out encoded already.
            const size_t nTaken = std::min(nLen, m_nHeldData);
            m_nHeldData -= nTaken;
            return ssize_t(nTaken);
        }
    }
    if (nLen == 0)
        return 0;
    nLen = std::min(nLen, kMaxSendChunk);
    AppendEscaped(pData, nLen);
    if (Flush() < 0 && errno != EAGAIN)
        return -1;
    if (HasHeldOutput()) {
        m_nHeldData = nLen;
        errno = EAGAIN;
        return -1;
    }
    return ssize_t(nLen);
}

void CTelnetLayer::AppendEscaped(const char* pData, size_t nLen)
{
    // Into room for the worst case (every byte 0xFF), without a copy per run.
    const qsizetype nBefore = m_strWire.size();
    m_strWire.resize(nBefore + 2 * qsizetype(nLen));
    char* pOut = m_strWire.data() + nBefore;
    const char* p = pData;
    const char* const pEnd = pData + nLen;
    while (p < pEnd) {
        const auto* pIac = static_cast<const char*>(std::memchr(p, Telnet::kIac, size_t(pEnd - p)));
        const char* pStop = pIac ? pIac + 1 : pEnd;
        std::memcpy(pOut, p, size_t(pStop - p));
        pOut += pStop - p;
        if (pIac)
            *pOut++ = char(Telnet::kIac);
        p = pStop;
    }
    m_strWire.resize(pOut - m_strWire.constData());
}

size_t CTelnetLayer::GiveData(char* pData, size_t nLen)
{
    const size_t n = std::min(nLen, size_t(m_strData.size()));
    std::memcpy(pData, m_strData.constData(), n);
    if (n == size_t(m_strData.size()))
        m_strData.resize(0); // keeps the buffer for the next read
    else
        m_strData.remove(0, qsizetype(n));
    return n;
}

ssize_t CTelnetLayer::Receive(char* pData, size_t nLen)
{
    if (nLen == 0)
        return 0;
    for (int nRead = 0; m_strData.isEmpty(); ++nRead) {
        if (nRead == kMaxReadsPerReceive) {
            errno = EAGAIN;
            return -1;
        }
        // The raw bytes land in the caller's buffer; their data bytes are
        // never more than they are.
        const ssize_t n = m_below.Receive(pData, nLen);
        if (n <= 0)
            return n;
        m_codec.Decode(QByteArrayView(pData, qsizetype(n)), m_strData);
        TakeCodecOutput();
        // Replies go out at once; what the socket does not take waits for
        // the port's next flush (HasHeldOutput).
        const int nErrno = errno;
        Flush();
        errno = nErrno;
    }
    return ssize_t(GiveData(pData, nLen));
}
