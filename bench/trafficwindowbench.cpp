// trelvane-bench-traffic: what the desktop program's Traffic Window costs the
// relay. Runs the gateway in this process, as the desktop program does,
// between two loopback TCP peers on threads of their own that send and
// receive the same amount each way at once, and reports MB/s each way with
// the window hidden and shown (offscreen unless QT_QPA_PLATFORM says
// otherwise), alternating, for the given number of rounds.

#include "gateway.h"
#include "gatewayhost.h"
#include "trafficwindow.h"
#include "trelvanedoc.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QTimer>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class CQuietHost : public IGatewayHost
{
public:
    void SetStatusText(bool, const QString&) override {}
    void ShowMessageBox(const QString& strText) override
    {
        std::fprintf(stderr, "box: %s\n", qPrintable(strText));
    }
    void Beep() override {}
};

// A loopback server taking one connection; once released it sends nBytes
// and receives nBytes at the same time.
class CPeer
{
public:
    explicit CPeer(qint64 nBytes) : m_nBytes(nBytes)
    {
        m_hListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nSize = sizeof addr;
        if (::bind(m_hListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_hListen, 1) != 0
            || ::getsockname(m_hListen, reinterpret_cast<sockaddr*>(&addr), &nSize) != 0)
            std::perror("listen");
        m_nPort = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~CPeer()
    {
        m_bGo = true;
        // Ends an accept that never got its connection.
        ::shutdown(m_hListen, SHUT_RDWR);
        m_thread.join();
        ::close(m_hListen);
    }
    QByteArray Setup() const { return "TCP:" + QByteArray::number(m_nPort) + ",127.0.0.1"; }
    void Go() { m_bGo = true; }
    bool Done() const { return m_bDone; }

private:
    void Run()
    {
        const int h = ::accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (h < 0) {
            m_bDone = true;
            return;
        }
        while (!m_bGo)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::thread sender([this, h] {
            std::vector<char> buffer(65536, 'x');
            for (qint64 nSent = 0; nSent < m_nBytes;) {
                const ssize_t n = ::send(h, buffer.data(), size_t(std::min<qint64>(m_nBytes - nSent, 65536)),
                                         MSG_NOSIGNAL);
                if (n <= 0)
                    return;
                nSent += n;
            }
        });
        std::vector<char> buffer(65536);
        for (qint64 nGot = 0; nGot < m_nBytes;) {
            const ssize_t n = ::recv(h, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            nGot += n;
        }
        sender.join();
        m_bDone = true;
        ::close(h);
    }

    qint64 m_nBytes;
    int m_hListen = -1;
    quint16 m_nPort = 0;
    std::thread m_thread;
    std::atomic<bool> m_bGo {false};
    std::atomic<bool> m_bDone {false};
};

// CPU seconds of the calling thread: the gateway's and the window's, not
// the peers'. Less disturbed by other load on the machine than MB/s.
double ThreadCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
         + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One relay of nBytes each way; MB/s each way, or -1 when it did not run.
// *pnShownLines: the lines of latest blocks the window showed at the end;
// *pdCpu: the gateway thread's CPU seconds during the relay.
double RunOnce(bool bShown, qint64 nBytes, qsizetype* pnShownLines, double* pdCpu)
{
    CTrelvaneDoc doc;
    CQuietHost host;
    CGateway gateway(&doc, &host);
    CPeer in(nBytes), out(nBytes);
    doc.m_strInSetup = in.Setup();
    doc.m_strOutSetup = out.Setup();
    doc.m_nOutStartup = 1007;

    CTrafficWindow window(&gateway.Observer());
    if (bShown)
        window.show();

    QEventLoop loop;
    QElapsedTimer timer;
    bool bStarted = false;
    QObject::connect(&gateway, &CGateway::startupFinished, &loop, [&](bool bInput) {
        // Only the first start: the peers' close at the end restarts the gateway.
        if (bStarted)
            return;
        if (!bInput || !gateway.m_bOutStarted) {
            loop.exit(1);
            return;
        }
        bStarted = true;
        *pdCpu = -ThreadCpuSeconds();
        timer.start();
        in.Go();
        out.Go();
    });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (bStarted && in.Done() && out.Done())
            loop.exit(0);
    });
    poll.start(5);
    // The window's first paint (fonts, the platform's setup) before the
    // relay, so that only its steady cost is measured.
    QTimer::singleShot(500, &gateway, &CGateway::RequestStartupReset);
    const int nResult = loop.exec();
    const double dSeconds = timer.nsecsElapsed() / 1e9;
    *pdCpu += ThreadCpuSeconds();
    // One more refresh, to see that the window kept up.
    poll.stop();
    QTimer::singleShot(CTrafficWindow::kBlocksRefreshMs + CTrafficWindow::kRefreshMs, &loop, [&] { loop.exit(0); });
    loop.exec();
    *pnShownLines = window.BlocksText().count(u'\n');
    gateway.StopGateway(false);
    in.Go();
    out.Go();
    if (nResult != 0)
        return -1;
    return double(nBytes) / 1e6 / dSeconds;
}

} // namespace

int main(int argc, char* argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The relay's throughput with the Traffic Window hidden and shown."));
    parser.addHelpOption();
    const QCommandLineOption mibOption(QStringLiteral("mib"), QStringLiteral("MiB each way per run."),
                                       QStringLiteral("n"), QStringLiteral("256"));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"), QStringLiteral("Runs of each kind."),
                                          QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption onlyOption(QStringLiteral("only"), QStringLiteral("Runs of one kind only: hidden or shown "
                                                                                "(for perf stat, say)."),
                                        QStringLiteral("kind"));
    parser.addOptions({mibOption, roundsOption, onlyOption});
    parser.process(app);
    const qint64 nBytes = parser.value(mibOption).toLongLong() << 20;
    const int nRounds = parser.value(roundsOption).toInt();
    if (nBytes <= 0 || nRounds <= 0)
        parser.showHelp(2);

    for (int nRound = 0; nRound < nRounds; ++nRound) {
        for (const bool bShown : {false, true}) {
            if (parser.isSet(onlyOption) && parser.value(onlyOption) != (bShown ? u"shown" : u"hidden"))
                continue;
            qsizetype nLines = 0;
            double dCpu = 0;
            const double dRate = RunOnce(bShown, nBytes, &nLines, &dCpu);
            std::printf("window-%s\tMB/s each way\t%.1f\tgateway CPU s per GiB relayed\t%.3f\tlines shown\t%lld\n",
                        bShown ? "shown" : "hidden", dRate, dCpu / (2.0 * double(nBytes) / double(1 << 30)),
                        static_cast<long long>(nLines));
            std::fflush(stdout);
        }
    }
    return 0;
}
