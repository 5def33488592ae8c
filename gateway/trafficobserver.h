#pragma once

#include "datatrace.h"
#include "trafficcounters.h"

#include <cstring>

// Sees each event a data trace would record, with the bytes as they are and
// nothing formatted: a live view keeps the latest few and formats only what
// it draws.
class ITrafficTap
{
public:
    virtual ~ITrafficTap() = default;
    // pData is valid during the call only; nPass as for CDataTrace::Record.
    virtual void OnTraffic(bool bInToOut, CDataTrace::EStage stage, const char* pData, int nLen, int nPass) = 0;
};

// Counts what passes through the gateway and, while a data trace or a tap
// is set, records it. The gateway calls one hook where each event happens;
// with neither set, a hook is a few additions and one predictable branch.
class CTrafficObserver
{
public:
    const STrafficCounters& Counters() const { return m_counters; }
    // Not owned; null stops tracing.
    void SetTrace(CDataTrace* pTrace)
    {
        m_pTrace = pTrace;
        m_bRecording = m_pTrace || m_pTap;
    }
    CDataTrace* Trace() const { return m_pTrace; }
    // Not owned; null removes it. Sees the events the trace records.
    void SetTap(ITrafficTap* pTap)
    {
        m_pTap = pTap;
        m_bRecording = m_pTrace || m_pTap;
    }
    ITrafficTap* Tap() const { return m_pTap; }

    // A block as read from the port, before anything else happens to it.
    void OnReceived(bool bInToOut, const char* pData, int nLen)
    {
        const int d = bInToOut ? 0 : 1;
        ++m_counters.m_nBlocksReceived[d];
        m_counters.m_nBytesReceived[d] += quint64(nLen);
        m_nPass[d] = 0;
        if (m_bRecording) [[unlikely]]
            Record(bInToOut, CDataTrace::Received, pData, nLen);
    }
    // One send of the received block pData (or of what the plug-in made of
    // it, pSent) to the other port. Traced when it differs from the block
    // as received or is not the first send of that block.
    void OnSent(bool bInToOut, const char* pData, int nLen, const char* pSent, int nSent)
    {
        const int d = bInToOut ? 0 : 1;
        ++m_counters.m_nBlocksSent[d];
        m_counters.m_nBytesSent[d] += quint64(nSent);
        const int nPass = ++m_nPass[d];
        if (m_bRecording) [[unlikely]] {
            if (nPass > 1 || nSent != nLen || (pSent != pData && std::memcmp(pSent, pData, size_t(nLen)) != 0))
                Record(bInToOut, CDataTrace::Sent, pSent, nSent, nPass);
        }
    }
    // The plug-in's pass sent nothing.
    void OnSwallowed(bool bInToOut)
    {
        const int nPass = ++m_nPass[bInToOut ? 0 : 1];
        if (m_bRecording) [[unlikely]]
            Record(bInToOut, CDataTrace::Swallowed, nullptr, 0, nPass);
    }
    // Dropped as the response to an initial string.
    void OnHeldBack(bool bInToOut, int nLen)
    {
        ++m_counters.m_nHeldBack[bInToOut ? 0 : 1];
        if (m_bRecording) [[unlikely]]
            Record(bInToOut, CDataTrace::HeldBack, nullptr, nLen);
    }
    // Dropped because no client is connected to a listening port.
    void OnNoClient(bool bInToOut, int nLen)
    {
        ++m_counters.m_nNoClient[bInToOut ? 0 : 1];
        if (m_bRecording) [[unlikely]]
            Record(bInToOut, CDataTrace::NoClient, nullptr, nLen);
    }
    // A datagram whose sender is not allowed was dropped.
    void OnNotAllowed() { ++m_counters.m_nNotAllowed; }
    void OnClientRefused(bool bInput, int nReason) { ++m_counters.m_nRefused[bInput ? 0 : 1][nReason]; }
    void OnPluginError() { ++m_counters.m_nPluginErrors; }
    void OnRestart() { ++m_counters.m_nRestarts; }
    void OnClientRestart() { ++m_counters.m_nClientRestarts; }
    void OnTlsFailure(bool bInput, int nFailure) { ++m_counters.m_nTlsFailures[bInput ? 0 : 1][nFailure]; }
    void OnSessionEnded(bool bInput, quint64 nBytes)
    {
        const int p = bInput ? 0 : 1;
        ++m_counters.m_nSessions[p];
        m_counters.m_nSessionBytes[p] += nBytes;
        for (int b = 0; b < STrafficCounters::kSessionBuckets; ++b)
            m_counters.m_nSessionBuckets[p][b] += nBytes <= STrafficCounters::kSessionBucketBytes[b] ? 1 : 0;
    }
    void OnReconnect() { ++m_counters.m_nReconnects; }

private:
    void Record(bool bInToOut, CDataTrace::EStage stage, const char* pData, int nLen, int nPass = 1)
    {
        if (m_pTrace)
            m_pTrace->Record(bInToOut, stage, pData, nLen, nPass);
        if (m_pTap)
            m_pTap->OnTraffic(bInToOut, stage, pData, nLen, nPass);
    }

    STrafficCounters m_counters;
    int m_nPass[2] {};
    CDataTrace* m_pTrace = nullptr;
    ITrafficTap* m_pTap = nullptr;
    bool m_bRecording = false;
};
