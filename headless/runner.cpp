#include "runner.h"

#include "consolefeed.h"
#include "consoleserver.h"
#include "consoletls.h"
#include "metricsserver.h"
#include "profile.h"
#include "serialportmap.h"
#include "settingsfile.h"
#include "setup/setupstring.h"
#include "socket/portsocket.h"
#include "stream/tlscontext.h"
#include "tlsprofile.h"
#include "tracefile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>

#include <csignal>
#include <cerrno>
#include <cstring>
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
      m_output({{STDOUT_FILENO,
                 [](quint64 n) {
                     // Shaped like the Message list lines around it.
                     return QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss,")).toUtf8()
                         + "trelvaned: " + DroppedNotice(n);
                 }},
                {STDERR_FILENO, [](quint64 n) { return "trelvaned: " + DroppedNotice(n); }}},
               CLineOutput::DropWhenFull, options.m_strTrace == u"-" ? kTraceQueueBytes : kLogQueueBytes),
      m_host(&m_output, kErr), m_gateway(&m_doc, &m_host)
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &CRunner::OnRetry);
    connect(&m_signals, &CSignalPipe::signalReceived, this, &CRunner::OnSignal);
    connect(&m_gateway.MessageLog(), &CMessageLog::lineAdded, this, &CRunner::OnLine);
    connect(&m_gateway, &CGateway::startupFinished, this, &CRunner::OnStartupFinished);
    connect(&m_watchdogTimer, &QTimer::timeout, this, [this] { m_notify.Send("WATCHDOG=1"); });
    connect(&m_statusTimer, &QTimer::timeout, this, &CRunner::UpdateServiceStatus);
    m_host.SetOnMessageBox([this](const QString& strText) { NoteFailure(strText, true); });
    m_host.SetOnExplain([this](const QString& strText) {
        if (m_pConsoleFeed)
            m_pConsoleFeed->Explain(strText);
    });
}

CRunner::~CRunner()
{
    m_pConsole.reset();
    m_pConsoleFeed.reset();
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
    SSetFields fields;
    if (!LoadSettings(&fields))
        return false;
    m_doc.SetFields(fields);
    if (!OpenTrace() || !ServeMetrics() || !ServeConsole())
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
    if (m_options.m_strTrace == u"-") {
        m_pTrace = std::make_unique<CDataTrace>([this](const QByteArray& record) { m_output.Write(kOut, record); });
        m_gateway.Observer().SetTrace(m_pTrace.get());
        return true;
    }
    const STraceFileOpen file = OpenTraceFile(m_options.m_strTrace, false);
    if (file.m_hFile < 0) {
        m_host.Print(QStringLiteral("cannot open the trace file %1: %2").arg(m_options.m_strTrace, file.m_strReason));
        return false;
    }
    // A regular file always makes progress: the relay waits for it rather
    // than lose records. Anything else may stall and drops instead.
    m_pTraceFile = std::make_unique<CLineOutput>(
        file.m_hFile, file.m_bRegular ? CLineOutput::WaitWhenFull : CLineOutput::DropWhenFull,
        [](quint64 n) { return "trelvaned: " + DroppedNotice(n); }, kTraceQueueBytes);
    m_pTraceFile->SetOnFailure([this](int nErrno) {
        m_nTraceErrno = nErrno;
        QMetaObject::invokeMethod(this, &CRunner::OnTraceFailed, Qt::QueuedConnection);
    });
    CLineOutput* pOutput = m_pTraceFile.get();
    m_pTrace = std::make_unique<CDataTrace>([pOutput](const QByteArray& record) { pOutput->Write(record); });
    m_gateway.Observer().SetTrace(m_pTrace.get());
    return true;
}

// The first write to the trace file failed (a full disk, say): tracing
// stops, the relay goes on, and the loss is told once.
void CRunner::OnTraceFailed()
{
    if (m_bTraceFailureShown || m_nTraceErrno == 0)
        return;
    m_bTraceFailureShown = true;
    m_gateway.Observer().SetTrace(nullptr);
    m_host.Print(TraceFailureText(m_options.m_strTrace, m_nTraceErrno, m_pTraceFile->LostBytes(),
                                  m_pTraceFile->LostRecords()));
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

// --http: the web console. Off the loopback addresses it runs TLS with the
// profile's [TLS] files unless --http-insecure says otherwise.
bool CRunner::ServeConsole()
{
    if (m_options.m_nConsolePort == 0)
        return true;
    const QString strAddress = m_options.m_consoleAddress.protocol() == QAbstractSocket::IPv6Protocol
                                   ? u'[' + m_options.m_consoleAddress.toString() + u']'
                                   : m_options.m_consoleAddress.toString();
    const QString strWhere = QStringLiteral("%1:%2").arg(strAddress).arg(m_options.m_nConsolePort);
    CConsoleServer::SAccess access;
    access.allowed = m_options.m_consoleAllowed;
    if (!m_options.m_consoleAddress.isLoopback() && !m_options.m_bConsoleInsecure) {
        CProfile profile(m_options.m_strProfile.isEmpty() ? CProfile::DefaultPath() : m_options.m_strProfile);
        QString strError;
        QSslConfiguration configuration;
        if (!profile.Load(&strError) || !MakeConsoleTls(TlsConfig(profile), &configuration, &strError)) {
            m_host.Print(QStringLiteral("cannot serve the web console on %1 with TLS: %2 (or give --http-insecure "
                                        "to serve it without TLS)")
                             .arg(strWhere, strError));
            return false;
        }
        access.tls = configuration;
    }
    m_pConsoleFeed = std::make_unique<CConsoleFeed>(&m_gateway.Observer());
    for (const QString& strLine : m_gateway.MessageLog().Lines())
        m_pConsoleFeed->AddLine(strLine);
    SConsoleSources sources;
    sources.pGateway = &m_gateway;
    sources.pDoc = &m_doc;
    sources.pHost = &m_host;
    sources.pRetryTimer = &m_retryTimer;
    sources.fnSnapshot = [this] { return MetricsSnapshot(); };
    sources.pFeed = m_pConsoleFeed.get();
    sources.strSettingsName = m_options.m_commandLineSettings ? QStringLiteral("settings of the command line")
                                                              : QFileInfo(m_options.m_strSetFile).fileName();
    m_pConsole = std::make_unique<CConsoleServer>(sources);
    QString strError;
    if (!m_pConsole->Listen(m_options.m_consoleAddress, m_options.m_nConsolePort, access, &strError)) {
        m_host.Print(QStringLiteral("cannot serve the web console on %1: %2").arg(strWhere, strError));
        return false;
    }
    return true;
}

SMetricsSnapshot CRunner::MetricsSnapshot()
{
    SMetricsSnapshot snapshot;
    snapshot.m_counters = m_gateway.CountersNow();
    snapshot.m_bInputStarted = m_gateway.IsInputStarted();
    snapshot.m_bOutputStarted = m_gateway.m_bOutStarted;
    snapshot.m_nLastStartMs = m_nLastStartMs;
    snapshot.m_nLastFailureMs = m_nLastFailureMs;
    snapshot.m_strLastFailure = m_strLastFailure;
    for (int p = 0; p < 2; ++p) {
        const CPortSocket* pSocket = p == 0 ? m_gateway.m_pInSocket : m_gateway.m_pOutSocket;
        if (const CTlsContext* pTls = pSocket ? pSocket->TlsContext() : nullptr) {
            snapshot.m_nTlsExpiry[p][0] = pTls->CertificateExpiry();
            snapshot.m_nTlsExpiry[p][1] = pTls->CaExpiry();
        }
    }
    return snapshot;
}

void CRunner::NoteFailure(const QString& strText, bool bMessageBox)
{
    QString strForm = FailureForm(strText);
    if (strForm.isEmpty() && bMessageBox)
        strForm = QStringLiteral("other");
    // The client of a listening Input that leaves restarts the gateway: a
    // client that leaves is no failure.
    if (strForm.isEmpty() || (strForm.startsWith(u"Remote Input closed") && InputListens()))
        return;
    m_strLastFailure = strForm;
    m_nLastFailureMs = QDateTime::currentMSecsSinceEpoch();
    if (m_pConsoleFeed)
        m_pConsoleFeed->NoteFailure(strText, m_nLastFailureMs);
}

bool CRunner::InputListens() const
{
    const QByteArray strSetup = SetupStringText(m_doc.m_strInSetup);
    const EPortKind eKind = RecognisePortKind(strSetup);
    SWinsockSetup setup;
    return (eKind == EPortKind::Tcp || eKind == EPortKind::Tls) && SplitWinsockSetup(strSetup, eKind, &setup) == 0
        && setup.bLocal;
}

void CRunner::PrintCounters()
{
    m_host.Print(QStringLiteral("counters: ") + FormatCounters(m_gateway.CountersNow()));
}

void CRunner::UpdateServiceStatus()
{
    const QString strState = QStringLiteral("Input %1, Output %2")
                                 .arg(m_gateway.IsInputStarted() ? QStringLiteral("started")
                                                                 : QStringLiteral("not started"),
                                      m_gateway.m_bOutStarted ? QStringLiteral("started")
                                                              : QStringLiteral("not started"));
    const QByteArray strStatus =
        "STATUS=" + (strState + QStringLiteral("; ") + FormatCounters(m_gateway.CountersNow())).toUtf8();
    if (strStatus != m_strLastStatus && m_notify.Send(strStatus))
        m_strLastStatus = strStatus;
}

CTlsProfile CRunner::ProfileTlsConfig() const
{
    CProfile profile(m_options.m_strProfile.isEmpty() ? CProfile::DefaultPath() : m_options.m_strProfile);
    QString strError;
    // A profile that does not load leaves the files in use as they are.
    return profile.Load(&strError) ? CTlsProfile(profile) : m_gateway.TlsProfile();
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
    m_gateway.SetTlsProfile(CTlsProfile(profile));
}

void CRunner::OnLine(const QString& strLine)
{
    // The Message list keeps its text; the output shows control characters
    // escaped, so that each line stays one line.
    m_output.Write(kOut, EscapeControls(strLine).toUtf8() + '\n');
    // Without its "HH:mm:ss," time stamp.
    NoteFailure(strLine.mid(9), false);
    if (m_pConsoleFeed)
        m_pConsoleFeed->AddLine(strLine);
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

bool CRunner::LoadSettings(SSetFields* pFields)
{
    if (m_options.m_commandLineSettings) {
        *pFields = *m_options.m_commandLineSettings;
        return true;
    }
    QString strError;
    if (!LoadSettingsFile(m_options.m_strSetFile, pFields, &strError)) {
        m_host.PrintAbout(m_options.m_strSetFile, strError);
        return false;
    }
    return true;
}

void CRunner::Reload()
{
    m_host.Print(m_options.m_commandLineSettings
                     ? QStringLiteral("restarting with the settings of the command line")
                     : QStringLiteral("reloading %1").arg(m_options.m_strSetFile));
    // Read apart first: a file that does not load leaves the running
    // gateway and its settings alone.
    SSetFields fields;
    if (!LoadSettings(&fields)) {
        m_host.Print(QStringLiteral("keeping the current settings"));
        return;
    }
    // TLS files caught in the middle of a renewal (a new certificate beside
    // the old key) would end the running ports: they stay as they are, and
    // the next SIGHUP tries again.
    if (const QByteArray strTls = TlsFilesProblem({fields.m_strInSetup, fields.m_strOutSetup}, ProfileTlsConfig());
        !strTls.isEmpty()) {
        m_host.Print(QStringLiteral("TLS Setup Error:") + QString::fromUtf8(strTls));
        m_host.Print(QStringLiteral("keeping the current settings"));
        return;
    }
    m_retryTimer.stop();
    // The settings change only while the gateway is stopped and no gateway
    // operation is on the stack.
    m_gateway.RequestStop(true, [this, fields] {
        m_doc.SetFields(fields);
        LoadSerialPortMap();
        m_gateway.RequestStartupReset();
        if (m_pConsole)
            m_pConsole->SettingsChanged();
    }, true);
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
        // The last records, and what failed of them, before the counters.
        if (m_pTraceFile && !m_bTraceFailureShown) {
            m_pTraceFile->Flush(CLineOutput::kCloseWaitMs);
            OnTraceFailed();
        }
        if (!m_bCountersPrinted) {
            m_bCountersPrinted = true;
            PrintCounters();
        }
        QCoreApplication::exit(nExitCode);
    });
}
