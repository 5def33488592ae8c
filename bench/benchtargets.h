// What the benchmark report shows, and the target of each figure against
// each relay it is compared with.
#pragma once

#include <QString>

#include <span>

namespace BenchTargets {

// The relays of the result files.
extern const QString kTrelvaned;
extern const QString kBaseline;
extern const QString kSocat;
extern const QString kSocat8k;
extern const QString kSer2net;

// How a ratio trelvaned / socat -b 512 is judged.
enum class ETarget { None, AtLeast, AtMost };

struct SMetric
{
    const char* m_pszKey;
    const char* m_pszLabel;
    const char* m_pszUnit;
    ETarget m_target;
    double m_fRatio;
    // socat's figure to compare with, when not the same metric.
    const char* m_pszSocatKey = nullptr;
};

// The relays trelvaned is compared with, in the order of their columns.
struct SPeer
{
    const QString& m_strRelay;
    const char* m_pszTitle;
    bool m_bSocat; // compared with the measure's m_pszSocatKey figure
};

// Targets against the other compared relays: socat with its default 8 KiB
// buffer (the peer a user picks when block size does not matter) and the
// baseline build (trelvaned of an older commit). Both use socat's key (the
// m_pszSocatKey of the measure) or the same key as trelvaned's figure.
struct SPeerTarget
{
    const QString& m_strRelay;
    const char* m_pszKey;
    ETarget m_target;
    double m_fRatio;
};

// The measures in the order of the report's rows, and the relays compared
// with trelvaned in the order of its columns (socat -b 512 first).
std::span<const SMetric> Metrics();
std::span<const SPeer> Peers();

bool IsRoundTrip(const SMetric& metric);
// The target of trelvaned's figure against this relay's, if any.
SPeerTarget TargetOf(const SPeer& peer, const SMetric& metric);

} // namespace BenchTargets
