#include "drainwatch.h"

#include <QTimer>

CDrainWatch::CDrainWatch(std::function<qint64()> fnBacklog, std::function<void()> fnStuck, QObject* pParent)
    : QObject(pParent), m_fnBacklog(std::move(fnBacklog)), m_fnStuck(std::move(fnStuck)), m_pTimer(new QTimer(this))
{
    m_pTimer->setTimerType(Qt::PreciseTimer);
    connect(m_pTimer, &QTimer::timeout, this, &CDrainWatch::OnLook);
}

void CDrainWatch::Start()
{
    if (m_pTimer->isActive())
        return;
    m_nBacklog = m_fnBacklog();
    m_nStillMs = 0;
    m_pTimer->start(kLookMs);
}

void CDrainWatch::Stop()
{
    m_pTimer->stop();
}

bool CDrainWatch::IsActive() const
{
    return m_pTimer->isActive();
}

void CDrainWatch::OnLook()
{
    const qint64 nBacklog = m_fnBacklog();
    // The destination's backlog only shrinks while its source is not read:
    // any change is progress.
    if (nBacklog != m_nBacklog) {
        m_nBacklog = nBacklog;
        m_nStillMs = 0;
        return;
    }
    m_nStillMs += kLookMs;
    if (m_nStillMs < kStuckMs)
        return;
    m_pTimer->stop();
    m_fnStuck();
}
