#include "benchsummary.h"

#include <QDateTime>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QSaveFile>
#include <QSysInfo>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

const QString kTrelvaned = QStringLiteral("trelvaned");
const QString kSocat = QStringLiteral("socat-b512");
const QString kSocat8k = QStringLiteral("socat-8k");

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

const SMetric kMetrics[] = {
    {"in2out_MBps", "TCP->TCP throughput, Input->Output", "MB/s", ETarget::AtLeast, 2.0},
    {"out2in_MBps", "TCP->TCP throughput, Output->Input", "MB/s", ETarget::AtLeast, 2.0},
    {"both_MBps", "TCP->TCP throughput, both ways at once (sum)", "MB/s", ETarget::AtLeast, 2.0},
    {"listen_MBps", "TCP->TCP both ways, listening Input (socat TCP-LISTEN)", "MB/s", ETarget::AtLeast, 2.0},
    {"listen_cpu_s_per_GiB", "relay CPU per GiB, listening Input", "s/GiB", ETarget::AtMost, 0.5},
    {"in2out_cpu_s_per_GiB", "relay CPU per GiB, Input->Output", "s/GiB", ETarget::AtMost, 0.5},
    {"out2in_cpu_s_per_GiB", "relay CPU per GiB, Output->Input", "s/GiB", ETarget::AtMost, 0.5},
    {"both_cpu_s_per_GiB", "relay CPU per GiB, both ways", "s/GiB", ETarget::AtMost, 0.5},
    {"lat1_p50_us", "round trip, 1-byte message, p50", "µs", ETarget::AtMost, 1.0},
    {"lat1_p99_us", "round trip, 1-byte message, p99", "µs", ETarget::AtMost, 1.2},
    {"lat512_p50_us", "round trip, 512-byte message, p50", "µs", ETarget::AtMost, 1.0},
    {"lat512_p99_us", "round trip, 512-byte message, p99", "µs", ETarget::AtMost, 1.2},
    {"lat1500_p50_us", "round trip, 1500-byte message (3 blocks), p50", "µs", ETarget::None, 0},
    {"lat1500_p99_us", "round trip, 1500-byte message (3 blocks), p99", "µs", ETarget::None, 0},
    {"udp_MBps", "TCP->UDP Output throughput", "MB/s", ETarget::AtLeast, 1.5},
    {"udp_dgps", "TCP->UDP Output datagrams", "1/s", ETarget::None, 0},
    {"udp_loss_pct", "TCP->UDP Output loss", "%", ETarget::None, 0},
    {"udp_largest_datagram", "largest UDP datagram", "bytes", ETarget::None, 0},
    {"pty_MBps", "pty Input -> TCP throughput", "MB/s", ETarget::AtLeast, 1.5},
    {"pty_cpu_s_per_GiB", "relay CPU per GiB, pty Input", "s/GiB", ETarget::None, 0},
    // socat has no plug-ins: compared with its plain Input->Output figures.
    {"plugin_MBps", "TCP->TCP Input->Output through a copying plug-in", "MB/s", ETarget::None, 0, "in2out_MBps"},
    {"plugin_cpu_s_per_GiB", "relay CPU per GiB, through a copying plug-in", "s/GiB", ETarget::None, 0,
     "in2out_cpu_s_per_GiB"},
    {"peak_rss_KiB", "relay peak resident memory (VmHWM)", "KiB", ETarget::None, 0},
    {"soak_MBps", "soak, both ways (sum)", "MB/s", ETarget::None, 0},
    {"soak_rss_10s_KiB", "soak, resident memory at 10 s", "KiB", ETarget::None, 0},
    {"soak_rss_end_KiB", "soak, resident memory at the end", "KiB", ETarget::None, 0},
    {"soak_rss_max_KiB", "soak, largest resident memory", "KiB", ETarget::None, 0},
};

// Resident memory limit while relaying, and how much it may grow from the
// tenth second to the end of the soak and still count as flat.
constexpr double kRssLimitKiB = 30 * 1024;
constexpr double kRssFlatKiB = 1024;

struct SStats
{
    double m_fMedian = 0;
    double m_fMin = 0;
    double m_fMax = 0;
    int m_nCount = 0;
};

using TResults = QMap<QString, QMap<QString, QList<double>>>; // relay -> metric -> values

std::optional<SStats> Stats(const TResults& results, const QString& strRelay, const QString& strMetric)
{
    QList<double> values = results.value(strRelay).value(strMetric);
    if (values.isEmpty())
        return std::nullopt;
    std::sort(values.begin(), values.end());
    SStats stats;
    const qsizetype n = values.size();
    stats.m_fMedian = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    stats.m_fMin = values.first();
    stats.m_fMax = values.last();
    stats.m_nCount = int(n);
    return stats;
}

QString Number(double f)
{
    if (f >= 1000)
        return QString::number(f, 'f', 0);
    if (f >= 10)
        return QString::number(f, 'f', 1);
    return QString::number(f, 'f', 2);
}

QString Cell(const std::optional<SStats>& stats)
{
    if (!stats)
        return QStringLiteral("–");
    if (stats->m_nCount == 1)
        return Number(stats->m_fMedian);
    return QStringLiteral("%1 (%2–%3)").arg(Number(stats->m_fMedian), Number(stats->m_fMin), Number(stats->m_fMax));
}

QString Machine()
{
    QString strModel;
    QFile cpuInfo(QStringLiteral("/proc/cpuinfo"));
    if (cpuInfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : cpuInfo.readAll().split('\n')) {
            if (line.startsWith("model name")) {
                strModel = QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
                break;
            }
        }
    }
    return QStringLiteral("nproc %1, %2, Linux %3")
        .arg(QThread::idealThreadCount())
        .arg(strModel.isEmpty() ? QStringLiteral("unknown CPU") : strModel, QSysInfo::kernelVersion());
}

QString SocatVersion()
{
    QProcess socat;
    socat.start(QStringLiteral("socat"), {QStringLiteral("-V")});
    if (!socat.waitForFinished(5000))
        return QStringLiteral("unknown");
    for (const QByteArray& line : socat.readAllStandardOutput().split('\n')) {
        if (line.startsWith("socat version"))
            return QString::fromLatin1(line.mid(14).split(' ').value(0));
    }
    return QStringLiteral("unknown");
}

} // namespace

int Summarize(const QStringList& resultFiles, const QString& strMarkdownPath, const QString& strCommand)
{
    TResults results;
    for (const QString& strPath : resultFiles) {
        QFile file(strPath);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "trelvane-bench: cannot read %s\n", qPrintable(strPath));
            return 1;
        }
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.trimmed().split('\t');
            bool bOk = false;
            const double fValue = fields.value(2).toDouble(&bOk);
            if (fields.size() == 3 && bOk && !line.startsWith('#'))
                results[QString::fromUtf8(fields[0])][QString::fromUtf8(fields[1])].append(fValue);
        }
    }
    const int nReps = Stats(results, kTrelvaned, QStringLiteral("in2out_MBps")).value_or(SStats {}).m_nCount;
    const int nSocatReps = Stats(results, kSocat, QStringLiteral("in2out_MBps")).value_or(SStats {}).m_nCount;

    QString strTable;
    QTextStream table(&strTable);
    table << "| Measure | Unit | trelvaned | socat -b 512 | ratio | target | met |\n"
          << "|---|---|---|---|---|---|---|\n";
    QString strText;
    QTextStream text(&strText);
    text << QStringLiteral("%1 %2 %3 %4\n").arg(QStringLiteral("measure"), -44).arg(QStringLiteral("trelvaned"), -26)
                .arg(QStringLiteral("socat -b 512"), -26).arg(QStringLiteral("ratio"));
    QStringList targetLines;
    for (const SMetric& metric : kMetrics) {
        const QString strKey = QString::fromLatin1(metric.m_pszKey);
        const auto ours = Stats(results, kTrelvaned, strKey);
        const auto theirs
            = Stats(results, kSocat, metric.m_pszSocatKey ? QString::fromLatin1(metric.m_pszSocatKey) : strKey);
        if (!ours && !theirs)
            continue;
        QString strRatio = QStringLiteral("–");
        QString strTarget, strMet;
        if (ours && theirs && theirs->m_fMedian > 0) {
            const double fRatio = ours->m_fMedian / theirs->m_fMedian;
            strRatio = (fRatio < 0.01 ? QString::number(fRatio, 'g', 2) : QString::number(fRatio, 'f', 2))
                       + QStringLiteral("x");
            if (metric.m_target != ETarget::None) {
                const bool bMet = metric.m_target == ETarget::AtLeast ? fRatio >= metric.m_fRatio
                                                                      : fRatio <= metric.m_fRatio;
                strTarget = (metric.m_target == ETarget::AtLeast ? QStringLiteral(">= ") : QStringLiteral("<= "))
                            + QString::number(metric.m_fRatio, 'f', 1) + QStringLiteral("x");
                strMet = bMet ? QStringLiteral("yes") : QStringLiteral("**no**");
                targetLines << QStringLiteral("- %1: %2 (measured %3) — %4")
                                   .arg(QString::fromUtf8(metric.m_pszLabel), strTarget, strRatio,
                                        bMet ? QStringLiteral("met") : QStringLiteral("**not met**"));
            }
        }
        table << "| " << QString::fromUtf8(metric.m_pszLabel) << " | " << QString::fromUtf8(metric.m_pszUnit) << " | "
              << Cell(ours) << " | " << Cell(theirs) << " | " << strRatio << " | " << strTarget << " | " << strMet
              << " |\n";
        text << QStringLiteral("%1 %2 %3 %4\n")
                    .arg(QString::fromUtf8(metric.m_pszLabel), -44)
                    .arg(Cell(ours), -26)
                    .arg(Cell(theirs), -26)
                    .arg(strRatio);
    }

    // Absolute targets on trelvaned's own resident memory.
    if (const auto soakMax = Stats(results, kTrelvaned, QStringLiteral("soak_rss_max_KiB"))) {
        const bool bBelow = soakMax->m_fMax < kRssLimitKiB;
        targetLines << QStringLiteral("- headless resident memory below 30 MiB while relaying (largest %1 KiB) — %2")
                           .arg(Number(soakMax->m_fMax), bBelow ? QStringLiteral("met") : QStringLiteral("**not met**"));
        const auto at10 = Stats(results, kTrelvaned, QStringLiteral("soak_rss_10s_KiB"));
        const auto atEnd = Stats(results, kTrelvaned, QStringLiteral("soak_rss_end_KiB"));
        if (at10 && atEnd) {
            const double fGrowth = atEnd->m_fMax - at10->m_fMin;
            const bool bFlat = fGrowth < kRssFlatKiB;
            targetLines << QStringLiteral("- resident memory flat over the 60 s run (growth from 10 s to the end %1 KiB, "
                                          "limit %2 KiB) — %3")
                               .arg(Number(fGrowth), Number(kRssFlatKiB),
                                    bFlat ? QStringLiteral("met") : QStringLiteral("**not met**"));
        }
    } else {
        targetLines << QStringLiteral("- headless resident memory below 30 MiB, flat over 60 s — not measured in this run");
    }
    // Stretch: without a plug-in, at least socat's default 8 KiB buffer.
    const auto oursIn = Stats(results, kTrelvaned, QStringLiteral("in2out_MBps"));
    const auto socat8k = Stats(results, kSocat8k, QStringLiteral("in2out_MBps"));
    QString strStretch;
    if (oursIn && socat8k) {
        const bool bMet = oursIn->m_fMedian >= socat8k->m_fMedian;
        strStretch = QStringLiteral("- stretch: Input->Output throughput at least socat's default 8 KiB buffer "
                                    "(%1 MB/s) — %2")
                         .arg(Cell(socat8k), bMet ? QStringLiteral("met") : QStringLiteral("not met"));
        targetLines << strStretch;
    }

    std::fputs(qPrintable(strText), stdout);
    std::fputs("\n", stdout);
    std::fputs(qPrintable(targetLines.join(QLatin1Char('\n'))), stdout);
    std::fputs("\n", stdout);

    if (strMarkdownPath.isEmpty())
        return 0;
    QSaveFile file(strMarkdownPath);
    if (!file.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "trelvane-bench: cannot write %s\n", qPrintable(strMarkdownPath));
        return 1;
    }
    QTextStream md(&file);
    md << "# Relay performance\n\n"
       << "This file is generated; do not edit it by hand. Regenerate it with\n\n"
       << "    " << strCommand << "\n\n"
       << "- Date: " << QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'")) << "\n"
       << "- Machine: " << Machine() << "\n"
       << "- socat " << SocatVersion() << "; " << nReps << " runs of trelvaned, " << nSocatReps
       << " of socat -b 512, interleaved\n\n"
       << "## How it is measured\n\n"
       << "`trelvane-bench` (bench/) plays both peers on loopback: the Input and the Output peer are TCP\n"
       << "servers and the relay connects to both as a client. trelvaned runs headless with a generated\n"
       << "settings file (`TCP:port,127.0.0.1` on both sides, Output connected at start, no plug-in);\n"
       << "socat runs as `socat -b 512 TCP:127.0.0.1:IN TCP:127.0.0.1:OUT`. Every relayed byte is compared\n"
       << "with the sent pattern. Each case starts a fresh relay.\n\n"
       << "- Throughput: a fixed amount per direction through the relay, MB/s = 10^6 bytes/s, from the first\n"
       << "  write to the last byte read; both ways at once reports the sum of the two directions.\n"
       << "- CPU per GiB: the relay's user + system time (/proc/<pid>/stat) during the transfer, per GiB relayed.\n"
       << "- Round trip: the Input peer writes a message, the Output peer echoes it, the Input peer waits for\n"
       << "  all of it; the peers set TCP_NODELAY, the relay keeps its own defaults. The relay and both peers\n"
       << "  are pinned to one CPU: on a small virtual machine a wake-up on the other CPU adds tens of\n"
       << "  microseconds at random, which would hide the relay's own cost.\n"
       << "- Listening Input: both ways at once with the relay's Input listening and the Input peer as its\n"
       << "  client (trelvaned: `TCP:port@127.0.0.1`; socat: `TCP-LISTEN:port,bind=127.0.0.1,reuseaddr`).\n"
       << "- UDP Output: TCP Input to `UDP:port,127.0.0.1` (socat: `UDP-SENDTO:127.0.0.1:port`); received\n"
       << "  bytes per second, datagrams per second and the share of bytes that never arrived.\n"
       << "- pty Input: a pseudo-terminal as the Input serial port (trelvaned: `COM9:115200,n,8,1` mapped to\n"
       << "  the pty in a private profile; socat: `/dev/pts/N,raw,echo=0`) to a TCP Output.\n"
       << "- Memory: VmHWM of the relay per case; the soak relays both ways for 60 s and samples VmRSS\n"
       << "  every second.\n\n"
       << "Cells show the median and, in brackets, the smallest and largest run. The ratio is trelvaned's\n"
       << "median over socat -b 512's median (for times and CPU, lower is better).\n\n"
       << "## Results\n\n"
       << strTable << "\n";
    if (const auto s8k = Stats(results, kSocat8k, QStringLiteral("in2out_MBps"))) {
        md << "socat with its default 8 KiB buffer, for reference: Input->Output " << Cell(s8k) << " MB/s";
        if (const auto s8kBoth = Stats(results, kSocat8k, QStringLiteral("both_MBps")))
            md << ", both ways " << Cell(s8kBoth) << " MB/s";
        md << ".\n\n";
    }
    md << "## Targets\n\n" << targetLines.join(QLatin1Char('\n')) << "\n\n";
    md << "## Notes\n\n"
       << "- Blocks: a socket port takes what one wake-up may pass on (up to 64 blocks) with one receive and\n"
       << "  hands it on in blocks of at most 512 bytes, in order: the same blocks as one 512-byte receive\n"
       << "  after the other. Each block is still one send (one datagram on UDP) and one plug-in pass.\n"
       << "- The read notifier stays armed between wake-ups; only an activation nested in a wait of its\n"
       << "  own transfer switches it off until the outer one has finished.\n"
       << "- TCP_NODELAY is set on the relay's TCP sockets, so a single block leaves at once; the blocks of\n"
       << "  one receive leave through a corked destination (TCP_CORK), uncorked after the last one; the\n"
       << "  500-byte blocks of a serial read burst do so from the second block on. With\n"
       << "  Nagle's rule the tail of a message longer than one block waits for the far end's delayed\n"
       << "  acknowledgement (about 40 ms on Linux), which the 1500-byte round trip shows for socat -b 512.\n"
       << "- trelvaned runs Qt's poll() event loop rather than GLib's (fewer instructions per wake-up); the\n"
       << "  event loop is most of what the relay spends per wake-up, so it sets the round-trip time.\n"
       << "- The plug-in rows load a plug-in (bench/benchcopy.c) on IN-->OUT that hands every block back as\n"
       << "  a copy, so each block makes one DllTransfer and one DllAfterSend call; socat has no plug-ins,\n"
       << "  so its column there repeats its plain Input->Output figures.\n"
       << "- The pseudo-terminal itself limits the pty case: socat with its 8 KiB buffer reaches about the\n"
       << "  same figure as socat -b 512 there.\n";
    if (const auto s8kPty = Stats(results, kSocat8k, QStringLiteral("pty_MBps")))
        md << "  (socat 8 KiB, pty Input: " << Cell(s8kPty) << " MB/s.)\n";
    md.flush();
    if (!file.commit()) {
        std::fprintf(stderr, "trelvane-bench: cannot write %s\n", qPrintable(strMarkdownPath));
        return 1;
    }
    return 0;
}
