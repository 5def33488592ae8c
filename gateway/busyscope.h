#pragma once

#include "gateway.h"

// Marks a gateway operation on the stack; the last one to leave runs what
// a host asked for from inside it (a Startup / Reset or stop requested from
// a box the operation showed).
class CBusyScope
{
public:
    explicit CBusyScope(CGateway* pGateway) : m_pGateway(pGateway) { ++m_pGateway->m_nBusy; }
    ~CBusyScope() { m_pGateway->LeaveBusy(); }
    CBusyScope(const CBusyScope&) = delete;
    CBusyScope& operator=(const CBusyScope&) = delete;

private:
    CGateway* m_pGateway;
};

