#include "tlsnewcomers.h"

#include "stream/tlshandshake.h"
#include "stream/tlssession.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <netinet/in.h>
#include <unistd.h>

namespace {

// The address a place is counted for: IPv4 (also mapped into IPv6), or the
// /64 network of an IPv6 address (one host commonly has all of it).
QByteArray AddressGroup(const SSocketAddress& peer)
{
    if (peer.Family() == AF_INET) {
        const auto* pIn = reinterpret_cast<const sockaddr_in*>(&peer.storage);
        return QByteArray(reinterpret_cast<const char*>(&pIn->sin_addr), 4);
    }
    const auto* pIn6 = reinterpret_cast<const sockaddr_in6*>(&peer.storage);
    const char* pBytes = reinterpret_cast<const char*>(&pIn6->sin6_addr);
    if (IN6_IS_ADDR_V4MAPPED(&pIn6->sin6_addr))
        return QByteArray(pBytes + 12, 4);
    return QByteArray(pBytes, 8);
}

const QByteArray kMadeRoom = "no TLS handshake begun, place given to a newcomer";

} // namespace

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
    const int nFailure = bOk || strWhy == kMadeRoom ? -1 : pDone->pSession->Failure();
    pDone->pSession.reset();
    const FDone fnDone = m_fnDone;
    fnDone(pDone->hClient, pDone->peer, std::move(pTls), strWhy, nFailure);
}

bool CTlsNewcomers::HasSilent() const
{
    return OldestSilent(nullptr) != nullptr;
}

CTlsNewcomers::SRunning* CTlsNewcomers::OldestSilent(const SSocketAddress* pPeer) const
{
    const QByteArray strGroup = pPeer ? AddressGroup(*pPeer) : QByteArray();
    for (const std::unique_ptr<SRunning>& p : m_running) {
        if (p->pSession->IsSilent() && (!pPeer || AddressGroup(p->peer) == strGroup))
            return p.get();
    }
    return nullptr;
}

bool CTlsNewcomers::MakeRoom(const SSocketAddress& peer, int nMax)
{
    const QByteArray strGroup = AddressGroup(peer);
    const auto nSame = std::count_if(m_running.begin(), m_running.end(), [&](const std::unique_ptr<SRunning>& p) {
        return AddressGroup(p->peer) == strGroup;
    });
    SRunning* pGone = nullptr;
    if (nSame >= kMaxPerAddress) {
        if (!(pGone = OldestSilent(&peer)))
            return false;
    } else if (Count() >= nMax) {
        if (!(pGone = OldestSilent(nullptr)))
            return false;
    } else {
        return true;
    }
    pGone->pHandshake->Cancel();
    OnDone(pGone, false, kMadeRoom);
    return true;
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
