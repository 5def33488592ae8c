#include "gatherbuffer.h"

#include "socket/tcpoptions.h"

#include <algorithm>
#include <ctime>

bool CGatherBuffer::Begin(int hSocket, int nMaxBytes)
{
    // Asked once per connection, not at every burst.
    if (hSocket != m_hSegmentOf) {
        m_nSegment = TcpSegmentSize(hSocket);
        m_hSegmentOf = hSocket;
    }
    const int nSegment = m_nSegment;
    if (nSegment == 0)
        return false; // the blocks go one by one
    m_nLimit = std::min(nSegment, nMaxBytes);
    // Room for the block that completes a segment (blocks are at most 512 bytes).
    m_strBytes.reserve(m_nLimit + 512);
    return true;
}

qint64 CGatherBuffer::CoarseNowMs()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
