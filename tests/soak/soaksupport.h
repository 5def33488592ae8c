#pragma once

// Counts, resource samples and figure lines shared by the soak tests.
//
// Counts: small by default (CI, and smaller still in a sanitizer build);
// TRELVANE_SOAK_FULL=1 gives the full counts, TRELVANE_SOAK_SCALE=f gives
// f times the full counts (at least the small ones).

#include "resources.h"
#include "sanitized.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTimer>
#include <QtGlobal>

#include <unistd.h>

namespace soak {

inline constexpr bool kSanitized = kTestSanitized;

inline double Scale()
{
    if (qEnvironmentVariableIntValue("TRELVANE_SOAK_FULL") == 1)
        return 1.0;
    bool bOk = false;
    const double f = qEnvironmentVariable("TRELVANE_SOAK_SCALE").toDouble(&bOk);
    return bOk && f > 0 ? f : 0.0;
}

// nSmall for CI (a quarter of it under the sanitizers), nFull for the
// documented full run.
inline qint64 Count(qint64 nSmall, qint64 nFull)
{
    const double f = Scale();
    if (f > 0)
        return qMax(nSmall, qint64(double(nFull) * f));
    return kSanitized ? qMax<qint64>(1, nSmall / 4) : nSmall;
}

struct SResources
{
    int nFds = 0;
    int nThreads = 0;
    qint64 nRssKib = 0;
};

inline SResources Sample()
{
    SResources r;
    r.nFds = OpenFdCount();
    r.nThreads = ThreadCount();
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (statm.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> fields = statm.readAll().split(' ');
        if (fields.size() > 1)
            r.nRssKib = fields[1].toLongLong() * (sysconf(_SC_PAGESIZE) / 1024);
    }
    return r;
}

// Resource samples of a cycle run. The first sample is the baseline, taken
// after a warm-up so that lazily made objects do not count as growth.
class CGrowth
{
public:
    // Growth allowed on top of the baseline. Memory freed under the
    // sanitizers sits in quarantine, so there resident memory is only shown.
    static constexpr int kFdSlack = 2;
    static constexpr int kThreadSlack = 0;
    static constexpr qint64 kRssSlackKib = 4096;

    void Take() { m_samples.append(Sample()); }
    bool IsEmpty() const { return m_samples.isEmpty(); }
    const SResources& First() const { return m_samples.first(); }
    const SResources& Last() const { return m_samples.last(); }
    int MaxFds() const { return Max(&SResources::nFds); }
    int MaxThreads() const { return Max(&SResources::nThreads); }
    // Empty when nothing grew, else what did.
    QString Problems() const
    {
        QStringList problems;
        if (MaxFds() > First().nFds + kFdSlack)
            problems << QStringLiteral("descriptors %1 -> %2").arg(First().nFds).arg(MaxFds());
        if (MaxThreads() > First().nThreads + kThreadSlack)
            problems << QStringLiteral("threads %1 -> %2").arg(First().nThreads).arg(MaxThreads());
        if (!kSanitized && Last().nRssKib > First().nRssKib + kRssSlackKib)
            problems << QStringLiteral("rss %1 KiB -> %2 KiB").arg(First().nRssKib).arg(Last().nRssKib);
        return problems.join(QStringLiteral(", "));
    }
    QString Text() const
    {
        return QStringLiteral("samples=%1 fd_start=%2 fd_end=%3 fd_max=%4 threads_start=%5 threads_end=%6 "
                              "rss_start_kib=%7 rss_end_kib=%8")
            .arg(m_samples.size())
            .arg(First().nFds)
            .arg(Last().nFds)
            .arg(MaxFds())
            .arg(First().nThreads)
            .arg(Last().nThreads)
            .arg(First().nRssKib)
            .arg(Last().nRssKib);
    }

private:
    int Max(int SResources::*pField) const
    {
        int n = 0;
        for (const SResources& r : m_samples)
            n = qMax(n, r.*pField);
        return n;
    }

    QList<SResources> m_samples;
};

// One figure line; scripts/robustness-report.sh collects them.
inline void Figure(const QString& strCase, const QString& strValues)
{
    qInfo().noquote() << QStringLiteral("FIGURE %1 %2%3")
                             .arg(strCase, strValues, kSanitized ? QStringLiteral(" sanitized=1") : QString());
}

// Runs the event loop until fnDone holds. QTRY_* looks every 50 ms, which is
// too coarse for thousands of short cycles; here a 1 ms tick wakes the loop
// so conditions set by a peer thread are seen at once.
template <class F>
bool WaitFor(F fnDone, int nTimeoutMs)
{
    QDeadlineTimer deadline(nTimeoutMs);
    QTimer tick;
    tick.start(1);
    while (!fnDone()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace soak
