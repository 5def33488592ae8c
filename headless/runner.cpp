#include "runner.h"

#include "profile.h"
#include "serialportmap.h"

#include <QCoreApplication>
#include <QDateTime>

#include <csignal>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

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
            }),
      m_err(STDERR_FILENO, CLineOutput::DropWhenFull, [](quint64 n) { return "trelvaned: " + DroppedNotice(n); }),
      m_host(&m_err), m_gateway(&m_doc, &m_host)
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &CRunner::OnRetry);
    connect(&m_signals, &CSignalPipe::signalReceived, this, &CRunner::OnSignal);
    connect(&m_gateway.MessageLog(), &CMessageLog::lineAdded, this, &CRunner::OnLine);
    connect(&m_gateway, &CGateway::startupFinished, this, &CRunner::OnStartupFinished);
}

bool CRunner::Start()
{
    // A log reader that went away must not end the gateway.
    std::signal(SIGPIPE, SIG_IGN);
    if (!m_signals.Watch({SIGINT, SIGTERM, SIGHUP})) {
        m_host.Print(QStringLiteral("cannot watch signals: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    QString strError;
    if (!m_doc.OnOpenDocument(m_options.m_strSetFile, &strError)) {
        m_host.Print(strError);
        return false;
    }
    LoadSerialPortMap();
    // From the event loop, so that an early failure can end it.
    QMetaObject::invokeMethod(&m_gateway, &CGateway::RequestStartupReset, Qt::QueuedConnection);
    return true;
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
}

void CRunner::OnSignal(int nSignal)
{
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
        m_retryTimer.stop();
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
    m_bQuitting = true;
    m_nExitCode = nExitCode;
    m_retryTimer.stop();
    // Plug-ins quit, ports close (serial ports drop DTR), then the loop ends.
    m_gateway.RequestStop(false, [nExitCode] { QCoreApplication::exit(nExitCode); });
}
