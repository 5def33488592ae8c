#include "tlsnewcomers.h"

#include "stream/tlshandshake.h"
#include "stream/tlssession.h"

#include <algorithm>
#include <utility>

#include <unistd.h>

CTlsNewcomers::CTlsNewcomers(std::shared_ptr<CTlsContext> pContext, int nTimeoutMs, FDone fnDone, QObject* pParent)
    : QObject(pParent), m_pContext(std::move(pContext)), m_nTimeoutMs(nTimeoutMs), m_fnDone(std::move(fnDone))
{
}

CTlsNewcomers::~CTlsNewcomers()
{
    CancelAll();
}

void CTlsNewcomers::Start(int hClient, const SSocketAddress& peer)
{
    auto pRunning = std::make_unique<SRunning>();
    SRunning* p = pRunning.get();
    p->hClient = hClient;
    p->peer = peer;
    p->pSession = std::make_unique<CTlsSession>(m_pContext, hClient);
    p->pHandshake = new CTlsHandshake(
        p->pSession.get(), hClient, m_nTimeoutMs,
        [this, p](bool bOk, const QByteArray& strWhy) { OnDone(p, bOk, strWhy); }, this);
    m_running.push_back(std::move(pRunning));
    p->pHandshake->Start();
}

void CTlsNewcomers::OnDone(SRunning* pRunning, bool bOk, const QByteArray& strWhy)
{
    const auto it = std::find_if(m_running.begin(), m_running.end(),
                                 [pRunning](const std::unique_ptr<SRunning>& p) { return p.get() == pRunning; });
    if (it == m_running.end())
        return;
    std::unique_ptr<SRunning> pDone = std::move(*it);
    m_running.erase(it);
    // The handshake is still on the stack: it goes from the event loop, and
    // not with this object should fnDone delete it.
    pDone->pHandshake->setParent(nullptr);
    pDone->pHandshake->deleteLater();
    std::unique_ptr<CTlsSession> pTls;
    if (bOk)
        pTls = std::move(pDone->pSession);
    pDone->pSession.reset();
    const FDone fnDone = m_fnDone;
    fnDone(pDone->hClient, pDone->peer, std::move(pTls), strWhy);
}

void CTlsNewcomers::CancelAll()
{
    // Only a finished handshake calls out, and it has left m_running by
    // then: none of these is on the stack.
    for (const std::unique_ptr<SRunning>& p : std::exchange(m_running, {})) {
        p->pHandshake->Cancel();
        delete p->pHandshake;
        p->pSession.reset();
        ::close(p->hClient);
    }
}
