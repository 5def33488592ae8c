#pragma once

#include "serial/linestatus.h"

#include <QTest>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

// Carrier and line errors as the test sets them, in place of the serial
// line's own status; installed through SetLineStatusFactory.
struct SLineScript
{
    std::atomic<bool> bCarrier {true};
    // The driver's count of DCD changes (a drop and return between two
    // looks moves it by two while bCarrier stays as it was).
    std::atomic<qint64> nCarrierChanges {0};
    std::atomic<quint32> nErrors {0};
    // TIOCM bits of the modem input lines; -1: a device without them.
    std::atomic<int> nModemLines {-1};
    std::mutex mutex;
    std::condition_variable cvPolled;
    int nPolls = 0; // guarded by mutex

    // Waits, without dispatching events, until the carrier thread has looked
    // at the line nMore more times.
    bool WaitForPolls(int nMore)
    {
        std::unique_lock lock(mutex);
        const int nTarget = nPolls + nMore;
        return cvPolled.wait_for(lock, std::chrono::seconds(5), [&] { return nPolls >= nTarget; });
    }
};

class CScriptedLineStatus : public ILineStatusSource
{
public:
    explicit CScriptedLineStatus(std::shared_ptr<SLineScript> pScript) : m_pScript(std::move(pScript)) {}
    bool Carrier() override
    {
        const bool b = m_pScript->bCarrier;
        {
            const std::lock_guard lock(m_pScript->mutex);
            ++m_pScript->nPolls;
        }
        m_pScript->cvPolled.notify_all();
        return b;
    }
    qint64 CarrierChanges() override { return m_pScript->nCarrierChanges; }
    quint32 TakeErrors() override { return m_pScript->nErrors.exchange(0); }
    int ModemLines() override { return m_pScript->nModemLines; }

private:
    std::shared_ptr<SLineScript> m_pScript;
};

// Installs a fresh script for every serial port opened from now on.
inline std::shared_ptr<SLineScript> ScriptLineStatus()
{
    auto pScript = std::make_shared<SLineScript>();
    SetLineStatusFactory([pScript](int) { return std::make_unique<CScriptedLineStatus>(pScript); });
    return pScript;
}
