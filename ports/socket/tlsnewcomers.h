#pragma once

#include "setup/sockaddress.h"

#include <QByteArray>
#include <QObject>

#include <functional>
#include <memory>
#include <vector>

class CTlsContext;
class CTlsHandshake;
class CTlsSession;

// The TLS handshakes of a listening port's newcomers, run side by side, each
// on its own handle with its own time limit, so that a client that never
// starts its handshake holds no other back. A handshake that ends hands its
// handle, and on success its session, to fnDone, which owns them from then
// on. CancelAll (and the destructor) closes the handles of the handshakes
// still running; nothing of them runs afterwards.
//
// One address (an IPv6 /64) holds at most kMaxPerAddress places, and a
// connection that has sent nothing yet ("silent") gives its place up to a
// newcomer when the places are short: a flood of silent connections holds
// back neither a client from another address nor, for long, one from the
// same address.
class CTlsNewcomers : public QObject
{
public:
    static constexpr int kMaxPerAddress = 4;

    // pTls: the session once the handshake is done; null when it failed or
    // timed out, and strWhy says why, nFailure its ETlsFailure (-1: no
    // handshake failed, its place went to a newcomer). fnDone may delete
    // this object.
    using FDone = std::function<void(int hClient, const SSocketAddress& peer, std::unique_ptr<CTlsSession> pTls,
                                     const QByteArray& strWhy, int nFailure)>;

    CTlsNewcomers(std::shared_ptr<CTlsContext> pContext, int nTimeoutMs, FDone fnDone, QObject* pParent = nullptr);
    ~CTlsNewcomers() override;

    int Count() const { return int(m_running.size()); }
    // The context of the handshakes started from now on (those under way
    // keep theirs).
    void SetContext(std::shared_ptr<CTlsContext> pContext) { m_pContext = std::move(pContext); }
    // Whether a silent connection could make room.
    bool HasSilent() const;
    // Before Start: makes a place for a newcomer from peer when nMax places
    // or its address's kMaxPerAddress are taken, by ending the oldest silent
    // handshake there (fnDone runs for it, with the reason). False when no
    // place can be had: the newcomer is to be turned away.
    bool MakeRoom(const SSocketAddress& peer, int nMax);
    // Takes an accepted client and starts its handshake (fnDone may run
    // before this returns).
    void Start(int hClient, const SSocketAddress& peer);
    void CancelAll();

private:
    struct SRunning
    {
        int hClient = -1;
        SSocketAddress peer;
        std::unique_ptr<CTlsSession> pSession;
        CTlsHandshake* pHandshake = nullptr;
    };
    void OnDone(SRunning* pRunning, bool bOk, const QByteArray& strWhy);
    // The oldest silent handshake (of pPeer's address when given).
    SRunning* OldestSilent(const SSocketAddress* pPeer) const;

    std::shared_ptr<CTlsContext> m_pContext;
    int m_nTimeoutMs;
    FDone m_fnDone;
    std::vector<std::unique_ptr<SRunning>> m_running;
};
