#include "hostlookup.h"

#include "setup/setupstring.h"

#include <mutex>
#include <netinet/in.h>
#include <thread>

// Shared between the object and its lookup thread. The thread posts the
// answer only while m_pReceiver is set, under the mutex; the object clears
// it, under the same mutex, before it forgets the lookup.
struct CHostLookup::SState
{
    std::mutex mutex;
    QObject* m_pReceiver = nullptr;
    bool m_bOk = false;
    SSocketAddress m_address;
};

CHostLookup::FResolve CHostLookup::s_pfnResolve = CHostLookup::SystemResolve;

bool CHostLookup::SystemResolve(const QByteArray& strName, SSocketAddress* pAddress)
{
    // An empty name is no name, and an IPv6 literal that did not parse (an
    // unknown scope) is none either: never ask the resolver about them.
    if (strName.isEmpty() || IsIPv6Literal(strName))
        return false;
    return FirstAddressOf(strName, AF_INET, 0, pAddress) || FirstAddressOf(strName, AF_INET6, 0, pAddress);
}

CHostLookup::CHostLookup(QObject* pParent) : QObject(pParent)
{
    m_timeout.setSingleShot(true);
    // Never before its time (a coarse timer may fire up to 5 % early).
    m_timeout.setTimerType(Qt::PreciseTimer);
    connect(&m_timeout, &QTimer::timeout, this, &CHostLookup::OnTimeout);
}

CHostLookup::~CHostLookup()
{
    Abandon();
}

void CHostLookup::Abandon()
{
    m_timeout.stop();
    if (m_pState) {
        std::lock_guard lock(m_pState->mutex);
        m_pState->m_pReceiver = nullptr;
    }
    m_pState.reset();
}

void CHostLookup::Start(const QByteArray& strName, std::function<void()> fnDone)
{
    Abandon();
    m_bDone = false;
    m_bOk = false;
    m_fnDone = std::move(fnDone);
    m_pState = std::make_shared<SState>();
    m_pState->m_pReceiver = this;
    m_timeout.start(kLookupTimeoutMs);
    std::thread([pState = m_pState, strName, pfnResolve = s_pfnResolve] {
        SSocketAddress address;
        const bool bOk = pfnResolve(strName, &address);
        std::lock_guard lock(pState->mutex);
        if (!pState->m_pReceiver)
            return;
        pState->m_bOk = bOk;
        pState->m_address = address;
        QMetaObject::invokeMethod(pState->m_pReceiver, [pReceiver = pState->m_pReceiver, pState] {
            auto* pLookup = static_cast<CHostLookup*>(pReceiver);
            // A newer lookup may have replaced this one meanwhile.
            if (pLookup->m_pState == pState)
                pLookup->OnAnswer();
        }, Qt::QueuedConnection);
    }).detach();
}

void CHostLookup::OnAnswer()
{
    {
        std::lock_guard lock(m_pState->mutex);
        m_bOk = m_pState->m_bOk;
        m_address = m_pState->m_address;
        m_pState->m_pReceiver = nullptr;
    }
    m_timeout.stop();
    m_bDone = true;
    if (m_fnDone) {
        auto fnDone = m_fnDone;
        fnDone();
    }
}

void CHostLookup::OnTimeout()
{
    // The resolver did not answer in time: the name does not resolve.
    Abandon();
    m_bDone = true;
    m_bOk = false;
    if (m_fnDone) {
        auto fnDone = m_fnDone;
        fnDone();
    }
}

void CNameCache::Prime(const QByteArray& strName, std::function<void(bool bResolved)> fnDone)
{
    m_strName = strName;
    m_lookup.Start(strName, [this, fnDone = std::move(fnDone)] {
        m_bHave = m_lookup.Succeeded();
        if (m_bHave)
            m_address = m_lookup.Address();
        m_age.start();
        fnDone(m_bHave);
    });
}

bool CNameCache::Current(SSocketAddress* pAddress)
{
    if (m_age.isValid() && m_age.elapsed() >= kKeepMs && !m_lookup.IsRunning()) {
        m_lookup.Start(m_strName, [this] {
            m_bHave = m_lookup.Succeeded();
            if (m_bHave)
                m_address = m_lookup.Address();
            m_age.start();
        });
    }
    if (!m_bHave)
        return false;
    *pAddress = m_address;
    return true;
}
