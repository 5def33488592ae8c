#include "benchsummary.h"

#include "benchtargets.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QSaveFile>
#include <QSysInfo>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

using namespace BenchTargets;

namespace {

// Round trips on a shared machine vary from run to run far more than with the
// relay's own cost (a scheduler wake-up sets them), so two identical builds
// come out a few percent apart either way. A round-trip target "at most R
// times the other relay" is therefore missed only when trelvaned's runs are
// slower than R times the other's beyond that noise: a one-sided
// Mann-Whitney U test over the runs at the 5 % level (normal approximation).
// With fewer runs than that test needs, the ratio of the medians decides.
constexpr int kMinRunsForNoiseTest = 8;
constexpr double kOneSided5PercentZ = 1.645;

// z of the one-sided Mann-Whitney U test that the values of ours are larger
// than those of theirs multiplied by fScale.
double SlowerZ(const QList<double>& ours, const QList<double>& theirs, double fScale)
{
    double fU = 0;
    for (const double fOurs : ours) {
        for (const double fTheirs : theirs) {
            const double fScaled = fTheirs * fScale;
            fU += fOurs > fScaled ? 1.0 : fOurs == fScaled ? 0.5 : 0.0;
        }
    }
    const double n = double(ours.size());
    const double m = double(theirs.size());
    return (fU - n * m / 2) / std::sqrt(n * m * (n + m + 1) / 12);
}

// Largest peak resident memory (VmHWM) of trelvaned in any case but TLS,
// and in the TLS case, where OpenSSL's own tables (its providers and
// algorithm stores, about 3.5 MiB in any program) come on top.
constexpr double kPeakRssLimitKiB = 16 * 1024;
constexpr double kTlsPeakRssLimitKiB = 20 * 1024;

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

QString RatioText(double fRatio)
{
    return (fRatio < 0.01 ? QString::number(fRatio, 'g', 2) : QString::number(fRatio, 'f', 2)) + QStringLiteral("x");
}

QString Verdict(bool bMet)
{
    return bMet ? QStringLiteral("met") : QStringLiteral("**not met**");
}

// A horizontal bar chart of the throughput medians: one group of bars per
// case, one bar per relay. Plain SVG, so the Markdown viewer shows it.
QByteArray ThroughputPlot(const TResults& results, const QStringList& relays)
{
    static const char* const kColours[] = {"#1f77b4", "#9467bd", "#2ca02c", "#ff7f0e", "#8c564b"};
    struct SBar
    {
        int m_nRelay;
        double m_fValue;
    };
    QList<QPair<QString, QList<SBar>>> groups;
    double fMax = 0;
    for (const SMetric& metric : Metrics()) {
        if (QLatin1String(metric.m_pszUnit) != QLatin1String("MB/s"))
            continue;
        QList<SBar> bars;
        for (int i = 0; i < relays.size(); ++i) {
            if (const auto stats = Stats(results, relays[i], QString::fromLatin1(metric.m_pszKey))) {
                bars.append({i, stats->m_fMedian});
                fMax = std::max(fMax, stats->m_fMedian);
            }
        }
        if (!bars.isEmpty())
            groups.append({QString::fromUtf8(metric.m_pszLabel), bars});
    }
    constexpr int kLeft = 330, kBarWidth = 360, kBar = 14, kGap = 12, kTop = 40;
    int nHeight = kTop;
    for (const auto& group : groups)
        nHeight += int(group.second.size()) * kBar + kGap;
    nHeight += 10;
    QString strSvg;
    QTextStream svg(&strSvg);
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kLeft + kBarWidth + 80 << "\" height=\""
        << nHeight << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<title>Relay throughput, MB/s (median)</title>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    int nLegendX = 10;
    for (int i = 0; i < relays.size(); ++i) {
        svg << "<rect x=\"" << nLegendX << "\" y=\"10\" width=\"12\" height=\"12\" fill=\"" << kColours[i % 5]
            << "\"/><text x=\"" << nLegendX + 16 << "\" y=\"21\">" << relays[i].toHtmlEscaped() << "</text>\n";
        nLegendX += 30 + int(relays[i].size()) * 7;
    }
    svg << "<text x=\"" << kLeft + kBarWidth + 75 << "\" y=\"21\" text-anchor=\"end\">MB/s (median)</text>\n";
    int nY = kTop;
    for (const auto& group : groups) {
        const int nGroupHeight = int(group.second.size()) * kBar;
        svg << "<text x=\"" << kLeft - 8 << "\" y=\"" << nY + nGroupHeight / 2 + 4 << "\" text-anchor=\"end\">"
            << group.first.toHtmlEscaped() << "</text>\n";
        for (const SBar& bar : group.second) {
            const double fWidth = fMax > 0 ? bar.m_fValue / fMax * kBarWidth : 0;
            svg << "<rect class=\"bar\" x=\"" << kLeft << "\" y=\"" << nY + 1 << "\" width=\"" << QString::number(fWidth, 'f', 1)
                << "\" height=\"" << kBar - 2 << "\" fill=\"" << kColours[bar.m_nRelay % 5] << "\"/>"
                << "<text x=\"" << QString::number(kLeft + fWidth + 4, 'f', 1) << "\" y=\"" << nY + kBar - 3
                << "\" font-size=\"10\">" << Number(bar.m_fValue) << "</text>\n";
            nY += kBar;
        }
        nY += kGap;
    }
    svg << "</svg>\n";
    svg.flush();
    return strSvg.toUtf8();
}

// Below this line the report keeps what was written by hand.
constexpr char kKeptMarker[] = "<!-- Written by hand below this line; kept when the report is made again. -->";

bool WriteFile(const QString& strPath, const QByteArray& data)
{
    QSaveFile file(strPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        std::fprintf(stderr, "trelvane-bench: cannot write %s\n", qPrintable(strPath));
        return false;
    }
    return true;
}

} // namespace

int Summarize(const QStringList& resultFiles, const QString& strMarkdownPath, const QString& strCommand,
              const QString& strBaselineName)
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
    const auto runs = [&](const QString& strRelay) {
        return Stats(results, strRelay, QStringLiteral("in2out_MBps")).value_or(SStats {}).m_nCount;
    };
    // socat -b 512 always has its columns; the others when they were measured.
    QList<const SPeer*> peers;
    for (const SPeer& peer : Peers()) {
        if (&peer == &Peers().front() || results.contains(peer.m_strRelay))
            peers.append(&peer);
    }

    QString strTable;
    QTextStream table(&strTable);
    table << "| Measure | Unit | trelvaned |";
    QString strRule = QStringLiteral("|---|---|---|");
    QString strText;
    QTextStream text(&strText);
    text << QStringLiteral("%1 %2").arg(QStringLiteral("measure"), -44).arg(QStringLiteral("trelvaned"), -26);
    for (const SPeer* pPeer : peers) {
        table << " " << pPeer->m_pszTitle << " | ratio | target | met |";
        strRule += QStringLiteral("---|---|---|---|");
        text << QStringLiteral(" %1 %2").arg(QLatin1String(pPeer->m_pszTitle), -26).arg(QStringLiteral("ratio"), -9);
    }
    table << "\n" << strRule << "\n";
    text << Qt::endl;
    QStringList targetLines;
    for (const SMetric& metric : Metrics()) {
        const QString strKey = QString::fromLatin1(metric.m_pszKey);
        const QString strLabel = QString::fromUtf8(metric.m_pszLabel);
        const auto ours = Stats(results, kTrelvaned, strKey);
        QString strRow, strTextRow;
        bool bAny = ours.has_value();
        for (const SPeer* pPeer : peers) {
            const SPeerTarget compare = TargetOf(*pPeer, metric);
            const bool bSocatKey = pPeer->m_bSocat && metric.m_pszSocatKey;
            const auto theirs
                = Stats(results, pPeer->m_strRelay, bSocatKey ? QString::fromLatin1(metric.m_pszSocatKey) : strKey);
            bAny = bAny || theirs.has_value();
            QString strRatio = QStringLiteral("–");
            QString strTarget, strMet;
            if (ours && theirs && theirs->m_fMedian > 0) {
                const double fRatio = ours->m_fMedian / theirs->m_fMedian;
                strRatio = RatioText(fRatio);
                if (compare.m_target != ETarget::None) {
                    bool bMet
                        = compare.m_target == ETarget::AtLeast ? fRatio >= compare.m_fRatio : fRatio <= compare.m_fRatio;
                    QString strMeasured = strRatio;
                    strMet = bMet ? QStringLiteral("yes") : QStringLiteral("**no**");
                    const QList<double> ourRuns = results.value(kTrelvaned).value(strKey);
                    const QList<double> theirRuns = results.value(pPeer->m_strRelay).value(strKey);
                    if (IsRoundTrip(metric) && compare.m_target == ETarget::AtMost
                        && ourRuns.size() >= kMinRunsForNoiseTest && theirRuns.size() >= kMinRunsForNoiseTest) {
                        const double fZ = SlowerZ(ourRuns, theirRuns, compare.m_fRatio);
                        const bool bSlower = fZ > kOneSided5PercentZ;
                        strMeasured += QStringLiteral(", %1 beyond the run-to-run noise (z = %2, %3 and %4 runs)")
                                           .arg(bSlower ? QStringLiteral("slower") : QStringLiteral("not slower"))
                                           .arg(fZ, 0, 'f', 2)
                                           .arg(ourRuns.size())
                                           .arg(theirRuns.size());
                        if (!bMet && !bSlower)
                            strMet = QStringLiteral("yes (noise)");
                        bMet = !bSlower;
                    }
                    strTarget = (compare.m_target == ETarget::AtLeast ? QStringLiteral(">= ") : QStringLiteral("<= "))
                                + QString::number(compare.m_fRatio, 'f', 1) + QStringLiteral("x");
                    if (!bMet)
                        strMet = QStringLiteral("**no**");
                    targetLines << QStringLiteral("- %1: %2 %3 (measured %4) — %5")
                                       .arg(strLabel, strTarget, QLatin1String(pPeer->m_pszTitle), strMeasured,
                                            Verdict(bMet));
                }
            }
            strRow += QStringLiteral(" %1 | %2 | %3 | %4 |").arg(Cell(theirs), strRatio, strTarget, strMet);
            strTextRow += QStringLiteral(" %1 %2").arg(Cell(theirs), -26).arg(strRatio, -9);
        }
        if (!bAny)
            continue;
        table << "| " << strLabel << " | " << QString::fromUtf8(metric.m_pszUnit) << " | " << Cell(ours) << " |"
              << strRow << "\n";
        const QString strLine = QStringLiteral("%1 %2").arg(strLabel, -44).arg(Cell(ours), -26) + strTextRow;
        text << QStringView(strLine).trimmed() << "\n";
    }

    // A port serving RFC 2217 against the same port without it (random
    // data: every 256th byte is doubled on the wire), trelvaned's own runs.
    for (const char* pszWay : {"line2tcp", "tcp2line"}) {
        const auto plain = Stats(results, kTrelvaned, QStringLiteral("%1_MBps").arg(QLatin1String(pszWay)));
        const auto telnet = Stats(results, kTrelvaned, QStringLiteral("rfc2217_%1_MBps").arg(QLatin1String(pszWay)));
        if (plain && telnet && plain->m_fMedian > 0) {
            const double fRatio = telnet->m_fMedian / plain->m_fMedian;
            targetLines << QStringLiteral("- %1 through a listening port with rfc2217 >= 0.8x the same without it "
                                          "(measured %2) — %3")
                               .arg(QLatin1String(pszWay), RatioText(fRatio), Verdict(fRatio >= 0.8));
        }
    }

    // Absolute targets on trelvaned's own resident memory.
    if (const auto peak = Stats(results, kTrelvaned, QStringLiteral("peak_rss_KiB"))) {
        targetLines << QStringLiteral("- relay peak resident memory (VmHWM) below 16 MiB in every case without TLS "
                                      "(largest %1 KiB) — %2")
                           .arg(Number(peak->m_fMax), Verdict(peak->m_fMax < kPeakRssLimitKiB));
    }
    if (const auto tlsPeak = Stats(results, kTrelvaned, QStringLiteral("tls_peak_rss_KiB"))) {
        targetLines << QStringLiteral("- relay peak resident memory (VmHWM) below 20 MiB in the TLS case (largest %1 KiB) "
                                      "— %2")
                           .arg(Number(tlsPeak->m_fMax), Verdict(tlsPeak->m_fMax < kTlsPeakRssLimitKiB));
    }
    if (const auto soakMax = Stats(results, kTrelvaned, QStringLiteral("soak_rss_max_KiB"))) {
        targetLines << QStringLiteral("- headless resident memory below 30 MiB while relaying (largest %1 KiB) — %2")
                           .arg(Number(soakMax->m_fMax), Verdict(soakMax->m_fMax < kRssLimitKiB));
        const auto at10 = Stats(results, kTrelvaned, QStringLiteral("soak_rss_10s_KiB"));
        const auto atEnd = Stats(results, kTrelvaned, QStringLiteral("soak_rss_end_KiB"));
        if (at10 && atEnd) {
            const double fGrowth = atEnd->m_fMax - at10->m_fMin;
            targetLines << QStringLiteral("- resident memory flat over the 60 s run (growth from 10 s to the end %1 KiB, "
                                          "limit %2 KiB) — %3")
                               .arg(Number(fGrowth), Number(kRssFlatKiB), Verdict(fGrowth < kRssFlatKiB));
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
    // The plot goes next to the report, named after it.
    const QFileInfo mdInfo(strMarkdownPath);
    const QString strPlotName = mdInfo.completeBaseName() + QStringLiteral("-throughput.svg");
    QStringList plotRelays {kTrelvaned};
    for (const QString& strRelay : {kBaseline, kSocat8k, kSocat, kSer2net}) {
        if (results.contains(strRelay))
            plotRelays << strRelay;
    }
    if (!WriteFile(mdInfo.dir().filePath(strPlotName), ThroughputPlot(results, plotRelays)))
        return 1;

    QString strRuns = QStringLiteral("%1 runs of trelvaned, %2 of socat -b 512").arg(runs(kTrelvaned)).arg(runs(kSocat));
    if (results.contains(kSocat8k))
        strRuns += QStringLiteral(", %1 of socat 8 KiB").arg(runs(kSocat8k));
    if (results.contains(kBaseline))
        strRuns += QStringLiteral(", %1 of the baseline (%2)").arg(runs(kBaseline)).arg(strBaselineName);
    if (results.contains(kSer2net))
        strRuns += QStringLiteral(", %1 of ser2net (line cases)")
                       .arg(Stats(results, kSer2net, QStringLiteral("line2tcp_MBps")).value_or(SStats {}).m_nCount);
    // Round trips may have runs of their own (LATREPS of make bench).
    const auto roundTripRuns = [&](const QString& strRelay) {
        return Stats(results, strRelay, QStringLiteral("lat1_p50_us")).value_or(SStats {}).m_nCount;
    };
    if (roundTripRuns(kTrelvaned) != runs(kTrelvaned)) {
        strRuns += QStringLiteral("; round trips: %1 runs of trelvaned, %2 of socat -b 512")
                       .arg(roundTripRuns(kTrelvaned))
                       .arg(roundTripRuns(kSocat));
        if (results.contains(kBaseline))
            strRuns += QStringLiteral(", %1 of the baseline").arg(roundTripRuns(kBaseline));
    }
    QString strMd;
    QTextStream md(&strMd);
    md << "# Relay performance\n\n"
       << "This file is generated, up to the marker line near its end; notes written by hand go below that\n"
       << "line and stay. Regenerate it with\n\n"
       << "    " << strCommand << "\n\n"
       << "- Date: " << QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'")) << "\n"
       << "- Machine: " << Machine() << "\n"
       << "- socat " << SocatVersion() << "; " << strRuns << ", interleaved\n\n"
       << "## How it is measured\n\n"
       << "`trelvane-bench` (bench/) plays both peers on loopback: the Input and the Output peer are TCP\n"
       << "servers and the relay connects to both as a client. trelvaned runs headless with a generated\n"
       << "settings file (`TCP:port,127.0.0.1` on both sides, Output connected at start, no plug-in);\n"
       << "socat runs as `socat -b 512 TCP:127.0.0.1:IN TCP:127.0.0.1:OUT` and, as \"socat 8 KiB\" in the\n"
       << "throughput, UDP and pty cases, with its default 8 KiB buffer (no `-b`). Every relayed byte is\n"
       << "compared with the sent pattern. Each case starts a fresh relay.\n\n"
       << "- Throughput: a fixed amount per direction through the relay, MB/s = 10^6 bytes/s, from the first\n"
       << "  write to the last byte read; both ways at once reports the sum of the two directions.\n"
       << "- CPU per GiB: the relay's user + system time (/proc/<pid>/stat) during the transfer, per GiB relayed.\n"
       << "- Round trip: the Input peer writes a message, the Output peer echoes it, the Input peer waits for\n"
       << "  all of it; the peers set TCP_NODELAY, the relay keeps its own defaults. The relay and both peers\n"
       << "  are pinned to one CPU: on a small virtual machine a wake-up on the other CPU adds tens of\n"
       << "  microseconds at random, which would hide the relay's own cost. Besides the full runs, make bench\n"
       << "  runs the round trips alone LATREPS more times per relay (default 10; socat -b 512 without the\n"
       << "  1500-byte case), interleaved, so their medians and the noise test below rest on more runs.\n"
       << "- Listening Input: both ways at once with the relay's Input listening and the Input peer as its\n"
       << "  client (trelvaned: `TCP:port@127.0.0.1`; socat: `TCP-LISTEN:port,bind=127.0.0.1,reuseaddr`).\n"
       << "- UDP Output: TCP Input to `UDP:port,127.0.0.1` (socat: `UDP-SENDTO:127.0.0.1:port`); received\n"
       << "  bytes per second, datagrams per second and the share of bytes that never arrived.\n"
       << "- pty Input: a pseudo-terminal as the Input serial port (trelvaned: `COM9:115200,n,8,1` mapped to\n"
       << "  the pty in a private profile; socat: `/dev/pts/N,raw,echo=0`) to a TCP Output.\n"
       << "- Line (the device server's shape): a pseudo-terminal as the Input serial line and a listening\n"
       << "  TCP Output that the benchmark connects to, as programs on the network reach a box serving its\n"
       << "  COM1 (trelvaned: `COM9:115200,n,8,1` and `TCP:port@127.0.0.1`; socat: `/dev/pts/N,raw,echo=0\n"
       << "  TCP-LISTEN:port,bind=127.0.0.1,reuseaddr`; ser2net: `accepter: tcp,127.0.0.1,port`,\n"
       << "  `connector: serialdev,/dev/pts/N,115200n81,local` with 64 KiB buffers each way). Line -> TCP\n"
       << "  and TCP -> line run one after the other through the same relay, half the TCP cases' amount\n"
       << "  each; the round trip sends one byte into the line, which a program on the network answers at\n"
       << "  once (pinned to one CPU as the TCP round trips). \"lineplugin\" is line -> TCP through the\n"
       << "  copying plug-in.\n"
       << "- Line with rfc2217: the same shape with the listening port serving RFC 2217 (trelvaned\n"
       << "  `TCP:port@127.0.0.1;rfc2217`, ser2net `accepter: telnet(rfc2217),tcp,127.0.0.1,port`); the\n"
       << "  benchmark speaks Telnet (answers the negotiation, doubles 0xFF), and the pattern holds every\n"
       << "  byte value, so about one byte in 256 is doubled on the wire.\n"
       << "- Memory: VmHWM of the relay per case; the soak relays both ways for 60 s and samples VmRSS\n"
       << "  every second.\n"
       << "- Baseline: when `BASELINE=path` names another trelvaned build (e.g. of the commit before a\n"
       << "  change; `scripts/build-baseline.sh COMMIT DIR` builds one outside the repository), it runs as a\n"
       << "  third relay in the same interleaved rounds (throughput, round-trip and UDP cases), so a change\n"
       << "  is measured against the build before it on the same machine at the same time.\n\n"
       << "Cells show the median and, in brackets, the smallest and largest run. Each ratio is trelvaned's\n"
       << "median over the median of the relay left of it (for times, CPU and memory, lower is better).\n"
       << "Round trips vary from run to run far more than with the relay's own cost (on a shared machine a\n"
       << "scheduler wake-up sets them), so two identical builds come out a few percent apart either way. A\n"
       << "round-trip target \"at most R times\" the other relay is therefore missed only when trelvaned's runs\n"
       << "are slower than R times the other's beyond that noise: a one-sided Mann-Whitney U test over the\n"
       << "runs at the 5 % level (z above 1.645), given at least " << kMinRunsForNoiseTest
       << " runs on each side; \"yes (noise)\" marks a\n"
       << "ratio above R that is not. With fewer runs the ratio of the medians decides.\n\n"
       << "## Results\n\n"
       << strTable << "\n"
       << "![Throughput per relay and case](" << strPlotName << ")\n\n";
    md << "## Targets\n\n" << targetLines.join(QLatin1Char('\n')) << "\n\n";
    md << "## Notes\n\n"
       << "- Blocks: a socket port takes what one wake-up may pass on (up to 128 blocks, 64 KiB) with one\n"
       << "  receive; the gateway cuts it into blocks of at most 512 bytes, in order: the same blocks as one\n"
       << "  512-byte receive after the other. Each block is one plug-in pass and, on UDP, one datagram.\n"
       << "- Batching: where nothing is done per block -- no plug-in in that direction, no block to drop\n"
       << "  (\"Don't Send Response\" not armed), the Output running -- the blocks of one read go to a TCP\n"
       << "  destination in one send(), and to a UDP destination in one sendmmsg() of segmented sends\n"
       << "  (UDP_SEGMENT, 16 blocks each), which the system cuts into one datagram per block; where it\n"
       << "  refuses segmentation, one message per block. A TCP peer receives a byte stream: the same bytes\n"
       << "  in the same order, and segment boundaries were never part of it (the blocks of a read already\n"
       << "  left through a corked socket), so it cannot tell. A UDP peer still gets one datagram of at most\n"
       << "  512 bytes per block, in order. A lone block leaves at once: a batch is only what one read\n"
       << "  already brought.\n"
       << "- Plug-in: with a plug-in every block keeps its own pass, DllTransfer -> send -> DllAfterSend, in\n"
       << "  order, and each block is handed to the system (one send per block) before its DllAfterSend;\n"
       << "  nothing gathers or corks it, so a plug-in that paces a device by waiting in DllAfterSend puts\n"
       << "  one block on the wire per wait.\n"
       << "- Gathering: without a plug-in but with a block to drop or an Output to start, the blocks of one\n"
       << "  read bound for a TCP destination are appended to a buffer of the destination port, which goes\n"
       << "  to the system whenever it holds a full segment (TCP_MAXSEG, at most 64 KiB), after the read's\n"
       << "  last block, and at the next block once its oldest byte has waited 5 ms. The part of a segment\n"
       << "  the system does not take is held as any held send, and the direction waits for it.\n"
       << "- A send the system cannot take at once is held by the destination port and its direction\n"
       << "  waits (its source is not read) until writability has sent it; the other direction goes on.\n"
       << "- TCP_NODELAY is set on the relay's TCP sockets, so a single block leaves at once; the 500-byte\n"
       << "  blocks of a serial read burst are gathered from the second block on (without a plug-in). With\n"
       << "  Nagle's rule the tail of a message longer than one block waits for the far end's delayed\n"
       << "  acknowledgement (about 40 ms on Linux), which the 1500-byte round trip shows for socat -b 512.\n"
       << "- trelvaned runs Qt's poll() event loop rather than GLib's (fewer instructions per wake-up); the\n"
       << "  event loop is most of what the relay spends per wake-up, so it sets the round-trip time.\n"
       << "- The plug-in rows load a plug-in (bench/benchcopy.c) on IN-->OUT that hands every block back as\n"
       << "  a copy, so each block makes one DllTransfer and one DllAfterSend call; socat has no plug-ins,\n"
       << "  so its columns there repeat its plain Input->Output figures.\n"
       << "- The pseudo-terminal itself limits the pty case: socat with its 8 KiB buffer reaches about the\n"
       << "  same figure as socat -b 512 there.\n"
       << "- Serial reads: one read takes what the line's queue holds (up to 64 blocks), cut into blocks of\n"
       << "  at most 500 bytes in memory: the blocks one 500-byte read after the other gives for bytes that\n"
       << "  were already queued. Without a plug-in, the blocks of one read go to a TCP destination in one\n"
       << "  send(), and the blocks of one socket read to a serial line in one write().\n";
    md.flush();
    // Notes written by hand below the marker line stay when the report is
    // made again.
    QByteArray report = strMd.toUtf8();
    QFile old(strMarkdownPath);
    if (old.open(QIODevice::ReadOnly)) {
        const QByteArray strOld = old.readAll();
        const qsizetype nKept = strOld.indexOf(kKeptMarker);
        report += '\n' + (nKept >= 0 ? strOld.mid(nKept) : QByteArray(kKeptMarker) + '\n');
    } else {
        report += '\n' + QByteArray(kKeptMarker) + '\n';
    }
    return WriteFile(strMarkdownPath, report) ? 0 : 1;
}
