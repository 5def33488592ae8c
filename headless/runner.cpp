#include "runner.h"

#include "metricsserver.h"
#include "profile.h"
#include "serialportmap.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>

#include <csignal>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How often the service manager's status line is brought up to date.
constexpr int kStatusMs = 5000;
// What may wait for a slow reader: log lines, and a data trace.
constexpr qsizetype kLogQueueBytes = 64 * 1024;
constexpr qsizetype kTraceQueueBytes = 4 * 1024 * 1024;

QByteArray DroppedNotice(quint64 nDropped)
{
    return QByteArray::number(nDropped) + " lines dropped: the output was not read in time\n";
}

} // namespace

CRunner::CRunner(const SOptions& options, QObject* pParent)
    : QObject(pParent), m_options(options),
      m_out(STDOUT_FILENO, CLineOutput::DropWhenFull,
            [](quint64 n) {
                // Shaped like the Message list lines around it.
                return QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss,")).toUtf8() + "trelvaned: "
                    + DroppedNotice(n);
            },
            options.m_strTrace == u"-" ? kTraceQueueBytes : kLogQueueBytes),
      m_err(STDERR_FILENO, CLineOutput::DropWhenFull, [](quint64 n) { return "trelvaned: " + DroppedNotice(n); },
            kLogQueueBytes),
      m_host(&m_err), m_gateway(&m_doc, &m_host)
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &CRunner::OnRetry);
    connect(&m_signals, &CSignalPipe::signalReceived, this, &CRunner::OnSignal);
    connect(&m_gateway.MessageLog(), &CMessageLog::lineAdded, this, &CRunner::OnLine);
    connect(&m_gateway, &CGateway::startupFinished, this, &CRunner::OnStartupFinished);
    connect(&m_watchdogTimer, &QTimer::timeout, this, [this] { m_notify.Send("WATCHDOG=1"); });
    connect(&m_statusTimer, &QTimer::timeout, this, &CRunner::UpdateServiceStatus);
    m_host.SetOnMessageBox([this](const QString& strText) { NoteFailure(strText); });
}

CRunner::~CRunner()
{
    // The gateway goes first (it may still be tracing), then the trace.
    m_gateway.Observer().SetTrace(nullptr);
}

bool CRunner::Start()
{
    // A log reader that went away must not end the gateway.
    std::signal(SIGPIPE, SIG_IGN);
    // Stop signals first: when several are pending, a stop wins.
    if (!m_signals.Watch({SIGINT, SIGTERM, SIGHUP, SIGUSR1})) {
        m_host.Print(QStringLiteral("cannot watch signals: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    QString strError;
    if (!m_doc.OnOpenDocument(m_options.m_strSetFile, &strError)) {
        m_host.Print(strError);
        return false;
    }
    if (!OpenTrace() || !ServeMetrics())
        return false;
    LoadSerialPortMap();
    if (m_notify.IsEnabled()) {
        if (m_notify.WatchdogPingMs() > 0) {
            m_notify.Send("WATCHDOG=1");
            m_watchdogTimer.start(m_notify.WatchdogPingMs());
        }
        UpdateServiceStatus();
        m_statusTimer.start(kStatusMs);
    }
    // From the event loop, so that an early failure can end it.
    QMetaObject::invokeMethod(&m_gateway, &CGateway::RequestStartupReset, Qt::QueuedConnection);
    return true;
}

bool CRunner::OpenTrace()
{
    if (m_options.m_strTrace.isEmpty())
        return true;
    CLineOutput* pOutput = &m_out;
    if (m_options.m_strTrace != u"-") {
        // Appended to; opened without waiting for a FIFO's reader.
        const QByteArray strPath = QFile::encodeName(m_options.m_strTrace);
        const int hFile = ::open(strPath.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                                 0644);
        struct stat info {};
        if (hFile < 0 || ::fstat(hFile, &info) != 0) {
            m_host.Print(QStringLiteral("cannot open the trace file %1: %2")
                             .arg(m_options.m_strTrace, QString::fromLocal8Bit(std::strerror(errno))));
            return false;
        }
        ::fcntl(hFile, F_SETFL, ::fcntl(hFile, F_GETFL) & ~O_NONBLOCK);
        // A regular file always makes progress: the relay waits for it rather
        // than lose records. Anything else may stall and drops instead.
        const bool bRegular = S_ISREG(info.st_mode);
        m_pTraceFile = std::make_unique<CLineOutput>(
            hFile, bRegular ? CLineOutput::WaitWhenFull : CLineOutput::DropWhenFull,
            [](quint64 n) { return "trelvaned: " + DroppedNotice(n); }, kTraceQueueBytes);
        pOutput = m_pTraceFile.get();
    }
    m_pTrace = std::make_unique<CDataTrace>([pOutput](const QByteArray& record) { pOutput->Write(record); });
    m_gateway.Observer().SetTrace(m_pTrace.get());
    return true;
}

bool CRunner::ServeMetrics()
{
    if (m_options.m_nMetricsPort == 0)
        return true;
    m_pMetrics = std::make_unique<CMetricsServer>([this] { return MetricsSnapshot(); });
    QString strError;
    if (!m_pMetrics->Listen(m_options.m_metricsAddress, m_options.m_nMetricsPort, &strError)) {
        const QString strAddress = m_options.m_metricsAddress.protocol() == QAbstractSocket::IPv6Protocol
                                       ? u'[' + m_options.m_metricsAddress.toString() + u']'
                                       : m_options.m_metricsAddress.toString();
        m_host.Print(QStringLiteral("cannot serve metrics on %1:%2: %3")
                         .arg(strAddress)
                         .arg(m_options.m_nMetricsPort)
                         .arg(strError));
        return false;
    }
    return true;
}

SMetricsSnapshot CRunner::MetricsSnapshot()
{
    SMetricsSnapshot snapshot;
    snapshot.m_counters = m_gateway.Observer().Counters();
    snapshot.m_bInputStarted = m_gateway.IsInputStarted();
    snapshot.m_bOutputStarted = m_gateway.m_bOutStarted;
    snapshot.m_nLastStartMs = m_nLastStartMs;
    snapshot.m_nLastFailureMs = m_nLastFailureMs;
    snapshot.m_strLastFailure = m_strLastFailure;
    return snapshot;
}

void CRunner::NoteFailure(const QString& strText)
{
    m_strLastFailure = strText;
    m_nLastFailureMs = QDateTime::currentMSecsSinceEpoch();
}

void CRunner::PrintCounters()
{
    m_host.Print(QStringLiteral("counters: ") + FormatCounters(m_gateway.Observer().Counters()));
}

void CRunner::UpdateServiceStatus()
{
    const QString strState = QStringLiteral("Input %1, Output %2")
                                 .arg(m_gateway.IsInputStarted() ? QStringLiteral("started")
                                                                 : QStringLiteral("not started"),
                                      m_gateway.m_bOutStarted ? QStringLiteral("started")
                                                              : QStringLiteral("not started"));
    const QByteArray strStatus =
        "STATUS=" + (strState + QStringLiteral("; ") + FormatCounters(m_gateway.Observer().Counters())).toUtf8();
    if (strStatus != m_strLastStatus && m_notify.Send(strStatus))
        m_strLastStatus = strStatus;
}

void CRunner::LoadSerialPortMap()
{
    CProfile profile(m_options.m_strProfile.isEmpty() ? CProfile::DefaultPath() : m_options.m_strProfile);
    QString strError;
    if (!profile.Load(&strError)) {
        m_host.Print(QStringLiteral("cannot read the profile, [Serial Ports] not applied: %1").arg(strError));
        return;
    }
    m_gateway.SetSerialPortMap(SerialPortMap(profile));
}

void CRunner::OnLine(const QString& strLine)
{
    // The Message list keeps its text; the output shows control characters
    // escaped, so that each line stays one line.
    m_out.Write(EscapeControls(strLine).toUtf8() + '\n');
    // Without its "HH:mm:ss," time stamp.
    const QString strText = strLine.mid(9);
    if (IsFailureText(strText))
        NoteFailure(strText);
}

void CRunner::OnSignal(int nSignal)
{
    if (nSignal == SIGUSR1) {
        PrintCounters();
        return;
    }
    if (nSignal == SIGHUP) {
        if (!m_bQuitting)
            Reload();
        return;
    }
    m_host.Print(QStringLiteral("stopping (%1)").arg(nSignal == SIGINT ? QStringLiteral("SIGINT")
                                                                        : QStringLiteral("SIGTERM")));
    Quit(0);
}

void CRunner::Reload()
{
    m_host.Print(QStringLiteral("reloading %1").arg(m_options.m_strSetFile));
    // Read into a second document first: a file that does not load leaves
    // the running gateway and its settings alone.
    CTrelvaneDoc loaded;
    QString strError;
    if (!loaded.OnOpenDocument(m_options.m_strSetFile, &strError)) {
        m_host.Print(strError);
        m_host.Print(QStringLiteral("keeping the current settings"));
        return;
    }
    m_retryTimer.stop();
    // The settings change only while the gateway is stopped and no gateway
    // operation is on the stack.
    const SSetFields fields = loaded.GetFields();
    m_gateway.RequestStop(true, [this, fields] {
        m_doc.SetFields(fields);
        LoadSerialPortMap();
        m_gateway.RequestStartupReset();
    });
}

void CRunner::OnStartupFinished(bool bInputStarted)
{
    if (m_bQuitting) {
        // A restart got in ahead of the stop: ask again.
        Quit(m_nExitCode);
        return;
    }
    if (bInputStarted) {
        m_nLastStartMs = QDateTime::currentMSecsSinceEpoch();
        m_retryTimer.stop();
        if (!m_bReady) {
            m_bReady = true;
            m_notify.Send("READY=1");
        }
        UpdateServiceStatus();
        return;
    }
    if (m_options.m_nRetrySeconds > 0) {
        m_host.Print(QStringLiteral("the Input port did not start; retrying in %1 s")
                         .arg(m_options.m_nRetrySeconds));
        m_retryTimer.start(m_options.m_nRetrySeconds * 1000);
        return;
    }
    m_host.Print(QStringLiteral("the Input port did not start"));
    Quit(1);
}

void CRunner::OnRetry()
{
    if (!m_bQuitting)
        m_gateway.RequestStartupReset();
}

void CRunner::Quit(int nExitCode)
{
    if (!m_bQuitting)
        m_notify.Send("STOPPING=1");
    m_bQuitting = true;
    m_nExitCode = nExitCode;
    m_retryTimer.stop();
    // Plug-ins quit, ports close (serial ports drop DTR), the counters are
    // printed, then the loop ends.
    m_gateway.RequestStop(false, [this, nExitCode] {
        if (!m_bCountersPrinted) {
            m_bCountersPrinted = true;
            PrintCounters();
        }
        QCoreApplication::exit(nExitCode);
    });
}
