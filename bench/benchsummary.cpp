#include "benchsummary.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
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
const QString kBase = QStringLiteral("trelvaned-base");

// How a ratio of trelvaned's figure to a compared relay's is judged.
enum class ETarget { None, AtLeast, AtMost };

struct STarget
{
    ETarget m_target = ETarget::None;
    double m_fRatio = 0;
};

constexpr STarget AtLeast(double f) { return {ETarget::AtLeast, f}; }
constexpr STarget AtMost(double f) { return {ETarget::AtMost, f}; }

struct SMetric
{
    const char* m_pszKey;
    const char* m_pszLabel;
    const char* m_pszUnit;
    STarget m_vsB512; // against socat -b 512
    STarget m_vs8k;   // against socat with its default 8 KiB buffer
    STarget m_vsBase; // against the earlier trelvaned build (BASELINE)
    // socat's figure to compare with, when not the same metric.
    const char* m_pszSocatKey = nullptr;
};

const SMetric kMetrics[] = {
    {"in2out_MBps", "TCP->TCP throughput, Input->Output", "MB/s", AtLeast(2.0), AtLeast(1.0), {}},
    {"out2in_MBps", "TCP->TCP throughput, Output->Input", "MB/s", AtLeast(2.0), AtLeast(1.0), {}},
    {"both_MBps", "TCP->TCP throughput, both ways at once (sum)", "MB/s", AtLeast(2.0), AtLeast(1.0), {}},
    {"in2out_cpu_s_per_GiB", "relay CPU per GiB, Input->Output", "s/GiB", AtMost(0.5), AtMost(1.0), {}},
    {"out2in_cpu_s_per_GiB", "relay CPU per GiB, Output->Input", "s/GiB", AtMost(0.5), AtMost(1.0), {}},
    {"both_cpu_s_per_GiB", "relay CPU per GiB, both ways", "s/GiB", AtMost(0.5), AtMost(1.0), {}},
    {"lat1_p50_us", "round trip, 1-byte message, p50", "µs", AtMost(1.0), {}, AtMost(1.0)},
    {"lat1_p99_us", "round trip, 1-byte message, p99", "µs", AtMost(1.2), {}, AtMost(1.0)},
    {"lat512_p50_us", "round trip, 512-byte message, p50", "µs", AtMost(1.0), {}, AtMost(1.0)},
    {"lat512_p99_us", "round trip, 512-byte message, p99", "µs", AtMost(1.2), {}, AtMost(1.0)},
    {"lat1500_p50_us", "round trip, 1500-byte message (3 blocks), p50", "µs", {}, {}, {}},
    {"lat1500_p99_us", "round trip, 1500-byte message (3 blocks), p99", "µs", {}, {}, {}},
    {"udp_MBps", "TCP->UDP Output throughput", "MB/s", AtLeast(1.5), {}, {}},
    {"udp_dgps", "TCP->UDP Output datagrams", "1/s", {}, {}, AtLeast(2.0)},
    {"udp_loss_pct", "TCP->UDP Output loss", "%", {}, {}, {}},
    {"udp_largest_datagram", "largest UDP datagram", "bytes", {}, {}, {}},
    {"pty_MBps", "pty Input -> TCP throughput", "MB/s", AtLeast(1.5), {}, {}},
    {"pty_cpu_s_per_GiB", "relay CPU per GiB, pty Input", "s/GiB", {}, {}, {}},
    // socat has no plug-ins: compared with its plain Input->Output figures.
    {"plugin_MBps", "TCP->TCP Input->Output through a copying plug-in", "MB/s", {}, AtLeast(0.8), {}, "in2out_MBps"},
    {"plugin_cpu_s_per_GiB", "relay CPU per GiB, through a copying plug-in", "s/GiB", {}, {}, {},
     "in2out_cpu_s_per_GiB"},
    {"peak_rss_KiB", "relay peak resident memory (VmHWM)", "KiB", {}, {}, {}},
    {"soak_MBps", "soak, both ways (sum)", "MB/s", {}, {}, {}},
    {"soak_rss_10s_KiB", "soak, resident memory at 10 s", "KiB", {}, {}, {}},
    {"soak_rss_end_KiB", "soak, resident memory at the end", "KiB", {}, {}, {}},
    {"soak_rss_max_KiB", "soak, largest resident memory", "KiB", {}, {}, {}},
};

// The relays trelvaned is compared with, in the order of the table.
struct SPeer
{
    const QString& m_strRelay;
    const char* m_pszName;
    STarget SMetric::*m_pTarget;
};

// Peak resident memory limit while relaying (VmHWM of every case).
constexpr double kPeakRssLimitKiB = 16 * 1024;

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

int Runs(const TResults& results, const QString& strRelay)
{
    return Stats(results, strRelay, QStringLiteral("in2out_MBps")).value_or(SStats {}).m_nCount;
}

// A bar chart of the median throughput per case and relay, as an SVG file
// beside the report; returns its file name, empty when nothing was written.
QString WriteThroughputPlot(const TResults& results, const QString& strDir)
{
    const QList<std::pair<QString, QString>> cases = {
        {QStringLiteral("in2out_MBps"), QStringLiteral("TCP In->Out")},
        {QStringLiteral("out2in_MBps"), QStringLiteral("TCP Out->In")},
        {QStringLiteral("both_MBps"), QStringLiteral("TCP both ways")},
        {QStringLiteral("plugin_MBps"), QStringLiteral("with plug-in")},
        {QStringLiteral("udp_MBps"), QStringLiteral("UDP Output")},
        {QStringLiteral("pty_MBps"), QStringLiteral("pty Input")}};
    const QList<std::pair<QString, QString>> relays = {{kTrelvaned, QStringLiteral("trelvaned")},
                                                       {kBase, QStringLiteral("trelvaned before")},
                                                       {kSocat8k, QStringLiteral("socat 8 KiB")},
                                                       {kSocat, QStringLiteral("socat -b 512")}};
    const char* const colours[] = {"#1b6ca8", "#8fb8de", "#e07b39", "#b0b0b0"};
    double fMax = 0;
    for (const auto& c : cases)
        for (const auto& r : relays)
            if (const auto st = Stats(results, r.first, c.first))
                fMax = std::max(fMax, st->m_fMedian);
    if (fMax <= 0)
        return {};
    const int nLabel = 110, nWidth = 640, nBar = 9, nGap = 10, nTop = 30;
    const int nGroup = int(relays.size()) * nBar + nGap;
    const int nHeight = nTop + int(cases.size()) * nGroup + 40;
    const double fScale = (nWidth - nLabel - 70) / fMax;
    QString strSvg;
    QTextStream svg(&strSvg);
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << nWidth << "\" height=\"" << nHeight
        << "\" font-family=\"sans-serif\" font-size=\"11\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"" << nLabel << "\" y=\"16\" font-size=\"12\">Throughput, MB/s (median)</text>\n";
    for (int c = 0; c < cases.size(); ++c) {
        const int y0 = nTop + c * nGroup;
        svg << "<text x=\"" << nLabel - 6 << "\" y=\"" << y0 + nGroup / 2 << "\" text-anchor=\"end\">"
            << cases[c].second << "</text>\n";
        for (int r = 0; r < relays.size(); ++r) {
            const auto st = Stats(results, relays[r].first, cases[c].first);
            if (!st)
                continue;
            const int y = y0 + r * nBar;
            const int w = std::max(1, int(st->m_fMedian * fScale));
            svg << "<rect x=\"" << nLabel << "\" y=\"" << y << "\" width=\"" << w << "\" height=\"" << nBar - 1
                << "\" fill=\"" << colours[r] << "\"/>\n"
                << "<text x=\"" << nLabel + w + 4 << "\" y=\"" << y + nBar - 1 << "\" font-size=\"9\">"
                << Number(st->m_fMedian) << "</text>\n";
        }
    }
    const int yLegend = nHeight - 18;
    for (int r = 0; r < relays.size(); ++r) {
        const int x = nLabel + r * 125;
        svg << "<rect x=\"" << x << "\" y=\"" << yLegend - 9 << "\" width=\"10\" height=\"10\" fill=\"" << colours[r]
            << "\"/>\n<text x=\"" << x + 14 << "\" y=\"" << yLegend << "\">" << relays[r].second << "</text>\n";
    }
    svg << "</svg>\n";
    svg.flush();
    const QString strName = QStringLiteral("performance-throughput.svg");
    QSaveFile file(strDir + QLatin1Char('/') + strName);
    if (!file.open(QIODevice::WriteOnly) || file.write(strSvg.toUtf8()) < 0 || !file.commit())
        return {};
    return strName;
}

} // namespace

int Summarize(const QStringList& resultFiles, const QString& strMarkdownPath, const QString& strCommand,
              const QString& strLoad)
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

    const SPeer peers[] = {{kSocat, "socat -b 512", &SMetric::m_vsB512},
                           {kSocat8k, "socat 8 KiB", &SMetric::m_vs8k},
                           {kBase, "trelvaned before", &SMetric::m_vsBase}};
    QString strTable;
    QTextStream table(&strTable);
    table << "| Measure | Unit | trelvaned |";
    for (const SPeer& peer : peers)
        table << " " << peer.m_pszName << " | ratio |";
    table << "\n|---|---|---|" << QString(QStringLiteral("---|---|")).repeated(int(std::size(peers))) << "\n";
    QString strText;
    QTextStream text(&strText);
    text << QStringLiteral("%1 %2").arg(QStringLiteral("measure"), -44).arg(QStringLiteral("trelvaned"), -22);
    for (const SPeer& peer : peers)
        text << QStringLiteral(" %1 %2").arg(QString::fromLatin1(peer.m_pszName), -22).arg(QStringLiteral("ratio"), -8);
    text << "\n";
    QStringList targetLines;
    for (const SMetric& metric : kMetrics) {
        const QString strKey = QString::fromLatin1(metric.m_pszKey);
        const auto ours = Stats(results, kTrelvaned, strKey);
        if (!ours)
            continue;
        table << "| " << QString::fromUtf8(metric.m_pszLabel) << " | " << QString::fromUtf8(metric.m_pszUnit) << " | "
              << Cell(ours) << " |";
        text << QStringLiteral("%1 %2").arg(QString::fromUtf8(metric.m_pszLabel), -44).arg(Cell(ours), -22);
        for (const SPeer& peer : peers) {
            // socat has no plug-ins; an earlier trelvaned is compared like for like.
            const QString strTheirKey = metric.m_pszSocatKey && &peer.m_strRelay != &kBase
                                            ? QString::fromLatin1(metric.m_pszSocatKey)
                                            : strKey;
            const auto theirs = Stats(results, peer.m_strRelay, strTheirKey);
            QString strRatio = QStringLiteral("–");
            if (theirs && theirs->m_fMedian > 0) {
                const double fRatio = ours->m_fMedian / theirs->m_fMedian;
                strRatio = (fRatio < 0.01 ? QString::number(fRatio, 'g', 2) : QString::number(fRatio, 'f', 2))
                           + QStringLiteral("x");
                const STarget& target = metric.*peer.m_pTarget;
                if (target.m_target != ETarget::None) {
                    const bool bMet = target.m_target == ETarget::AtLeast ? fRatio >= target.m_fRatio
                                                                          : fRatio <= target.m_fRatio;
                    const QString strTarget
                        = (target.m_target == ETarget::AtLeast ? QStringLiteral(">= ") : QStringLiteral("<= "))
                          + QString::number(target.m_fRatio, 'f', 1) + QStringLiteral("x");
                    targetLines << QStringLiteral("- %1, against %2: %3 (measured %4) — %5")
                                       .arg(QString::fromUtf8(metric.m_pszLabel), QString::fromLatin1(peer.m_pszName),
                                            strTarget, strRatio,
                                            bMet ? QStringLiteral("met") : QStringLiteral("**not met**"));
                    if (!bMet)
                        strRatio = QStringLiteral("**%1**").arg(strRatio);
                }
            }
            table << " " << Cell(theirs) << " | " << strRatio << " |";
            text << QStringLiteral(" %1 %2").arg(Cell(theirs), -22).arg(strRatio, -8);
        }
        table << "\n";
        text << "\n";
    }

    // Peak resident memory of every case while relaying.
    if (const auto peak = Stats(results, kTrelvaned, QStringLiteral("peak_rss_KiB"))) {
        const bool bBelow = peak->m_fMax < kPeakRssLimitKiB;
        targetLines << QStringLiteral("- peak resident memory below 16 MiB while relaying (largest VmHWM %1 KiB) — %2")
                           .arg(Number(peak->m_fMax), bBelow ? QStringLiteral("met") : QStringLiteral("**not met**"));
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
       << " of socat -b 512, " << Runs(results, kSocat8k) << " of socat 8 KiB, " << Runs(results, kBase)
       << " of trelvaned before, interleaved\n"
       << (strLoad.isEmpty() ? QString() : QStringLiteral("- Load: %1\n").arg(strLoad)) << "\n"
       << "## How it is measured\n\n"
       << "`trelvane-bench` (bench/) plays both peers on loopback: the Input and the Output peer are TCP\n"
       << "servers and the relay connects to both as a client. trelvaned runs headless with a generated\n"
       << "settings file (`TCP:port,127.0.0.1` on both sides, Output connected at start, no plug-in);\n"
       << "socat runs as `socat -b 512 TCP:127.0.0.1:IN TCP:127.0.0.1:OUT`. Every relayed byte is compared\n"
       << "with the sent pattern. Each case starts a fresh relay.\n\n"
       << "Compared relays: socat -b 512 (keeps 512-byte blocks, as trelvaned does); socat with its default\n"
       << "8 KiB buffer (`socat TCP:... TCP:...`, what a user picks when block size does not matter); and\n"
       << "\"trelvaned before\", a second trelvaned binary built from an earlier commit (`BASELINE=path`),\n"
       << "measured the same way in the same run.\n\n"
       << "- Throughput: a fixed amount per direction through the relay, MB/s = 10^6 bytes/s, from the first\n"
       << "  write to the last byte read; both ways at once reports the sum of the two directions.\n"
       << "- CPU per GiB: the relay's user + system time (/proc/<pid>/stat) during the transfer, per GiB relayed.\n"
       << "- Round trip: the Input peer writes a message, the Output peer echoes it, the Input peer waits for\n"
       << "  all of it; the peers set TCP_NODELAY, the relay keeps its own defaults. The relay and both peers\n"
       << "  are pinned to one CPU: on a small virtual machine a wake-up on the other CPU adds tens of\n"
       << "  microseconds at random, which would hide the relay's own cost.\n"
       << "- UDP Output: TCP Input to `UDP:port,127.0.0.1` (socat: `UDP-SENDTO:127.0.0.1:port`); received\n"
       << "  bytes per second, datagrams per second and the share of bytes that never arrived.\n"
       << "- pty Input: a pseudo-terminal as the Input serial port (trelvaned: `COM9:115200,n,8,1` mapped to\n"
       << "  the pty in a private profile; socat: `/dev/pts/N,raw,echo=0`) to a TCP Output.\n"
       << "- Memory: VmHWM of the relay per case; the soak relays both ways for 60 s and samples VmRSS\n"
       << "  every second.\n\n"
       << "Cells show the median and, in brackets, the smallest and largest run. Each ratio is trelvaned's\n"
       << "median over the compared relay's median (for times and CPU, lower is better); a ratio in bold\n"
       << "misses its target.\n\n"
       << "## Results\n\n"
       << strTable << "\n";
    const QString strPlot = WriteThroughputPlot(results, QFileInfo(strMarkdownPath).absolutePath());
    if (!strPlot.isEmpty())
        md << "![Throughput per relay and case](" << strPlot << ")\n\n";
    md << "## Targets\n\n" << targetLines.join(QLatin1Char('\n')) << "\n\n";
    md << "## Notes\n\n"
       << "- Blocks: a socket port takes what one wake-up may pass on (up to 128 blocks, 64 KiB) with one\n"
       << "  receive; the gateway cuts it into blocks of at most 512 bytes, in order: the same blocks as one\n"
       << "  512-byte receive after the other. Each block is one plug-in pass and, on UDP, one datagram.\n"
       << "- Batching: where nothing is done per block -- no plug-in in that direction, no block to drop\n"
       << "  (\"Don't Send Response\" not armed), the Output running -- the blocks of one read go to a TCP\n"
       << "  destination in one send(), and to a UDP destination in one sendmmsg() of segmented sends\n"
       << "  (UDP_SEGMENT, 16 blocks each), which the system cuts into one datagram per block; where it\n"
       << "  refuses segmentation, one message per block.\n"
       << "  A TCP peer receives a byte stream: the same bytes in the same order, and segment boundaries\n"
       << "  were never part of it (the blocks of a read already left through a corked socket), so it\n"
       << "  cannot tell. A UDP peer still gets one datagram of at most 512 bytes per block, in order. With\n"
       << "  a plug-in every block keeps its own DllTransfer -> send -> DllAfterSend, each send handed to\n"
       << "  the system before its DllAfterSend; serial lines and serial reads are not batched. A lone\n"
       << "  block leaves at once: a batch is only what one read already brought.\n"
       << "- A send the system cannot take at once is held by the destination port and its direction\n"
       << "  waits (its source is not read) until writability has sent it; the other direction goes on.\n"       << "- TCP_NODELAY is set on the relay's TCP sockets, so a single block leaves at once; the blocks of\n"
       << "  one receive leave through a corked destination (TCP_CORK), uncorked after the last one; the\n"
       << "  500-byte blocks of a serial read burst do so from the second block on. With\n"
       << "  Nagle's rule the tail of a message longer than one block waits for the far end's delayed\n"
       << "  acknowledgement (about 40 ms on Linux), which the 1500-byte round trip shows for socat -b 512.\n"
       << "- trelvaned runs Qt's poll() event loop rather than GLib's (fewer instructions per wake-up); the\n"
       << "  event loop is most of what the relay spends per wake-up, so it sets the round-trip time.\n"
       << "- The plug-in rows load a plug-in (bench/benchcopy.c) on IN-->OUT that hands every block back as\n"
       << "  a copy, so each block makes one DllTransfer and one DllAfterSend call; socat has no plug-ins,\n"
       << "  so its columns there repeat its plain Input->Output figures.\n"
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
