#pragma once

#include "setup/sockaddress.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

// Resolves a host name without blocking the event loop: the system's
// resolver runs on a thread of its own and the answer comes back to the
// thread that asked. A lookup that is dropped (stop, port closed) is
// abandoned: its thread finishes on its own and its answer is thrown away.
class CHostLookup : public QObject
{
public:
    // How long a lookup may take before the name counts as unresolvable.
    static constexpr int kLookupTimeoutMs = 30000;

    // The blocking lookup, run on the lookup thread: the first IPv4 address
    // of the name, or its first IPv6 address when it has no IPv4 one.
    // Replaceable so tests can simulate names that do not resolve or a
    // resolver that does not answer.
    using FResolve = bool (*)(const QByteArray& strName, SSocketAddress* pAddress);
    static bool SystemResolve(const QByteArray& strName, SSocketAddress* pAddress);
    static FResolve s_pfnResolve;

    explicit CHostLookup(QObject* pParent = nullptr);
    ~CHostLookup() override;

    // Starts a lookup (abandoning one that runs); fnDone runs on this
    // object's thread when the answer is in, or when kLookupTimeoutMs have
    // passed without one (the name then counts as unresolvable).
    void Start(const QByteArray& strName, std::function<void()> fnDone = {});
    bool IsRunning() const { return m_pState && !m_bDone; }
    bool Succeeded() const { return m_bDone && m_bOk; }
    // The answer, with port 0.
    const SSocketAddress& Address() const { return m_address; }

private:
    struct SState;
    void Abandon();
    void OnAnswer();
    void OnTimeout();

    std::shared_ptr<SState> m_pState;
    std::function<void()> m_fnDone;
    QTimer m_timeout;
    bool m_bDone = false;
    bool m_bOk = false;
    SSocketAddress m_address;
};

// A destination name's address, kept for a short time so that a UDP port
// does not ask the resolver for every datagram. When the kept answer is
// older than kKeepMs the next use asks again in the background and goes on
// with the kept answer until the new one is in.
class CNameCache
{
public:
    static constexpr int kKeepMs = 10000;

    // The first lookup of the name; fnDone(true when it resolved) runs when
    // the answer is in (the port's open goes on from there).
    void Prime(const QByteArray& strName, std::function<void(bool bResolved)> fnDone);
    // The kept answer (port 0); false when the name did not resolve.
    bool Current(SSocketAddress* pAddress);

private:
    QByteArray m_strName;
    CHostLookup m_lookup;
    bool m_bHave = false;
    SSocketAddress m_address;
    QElapsedTimer m_age;
};
