#pragma once

#include "gateway.h"
#include "headlesshost.h"
#include "lineoutput.h"
#include "metricstext.h"
#include "sdnotify.h"
#include "signalpipe.h"
#include "trelvanedoc.h"
#include "setup/addressfilter.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>
#include <optional>

// Runs the gateway from a settings file with no display: log lines go to
// standard output, status changes and message boxes to standard error.
// SIGINT and SIGTERM stop cleanly, SIGHUP reloads the file and restarts,
// SIGUSR1 prints the counters. Tells the service manager (when started by
// one) that it is ready, how it is doing and that it is alive.
class CConsoleFeed;
class CConsoleServer;
class CMetricsServer;

class CRunner : public QObject
{
    Q_OBJECT
public:
    struct SOptions
    {
        QString m_strSetFile;
        std::optional<SSetFields> m_commandLineSettings; // instead of a file
        QString m_strProfile;   // the profile with [Serial Ports]
        int m_nRetrySeconds = 0; // 0: exit 1 when the Input does not start
        QString m_strTrace;      // data trace file, "-" for standard output
        // --metrics: where /metrics is served; port 0: nowhere.
        QHostAddress m_metricsAddress;
        quint16 m_nMetricsPort = 0;
        // --http: where the web console is served; port 0: nowhere.
        QHostAddress m_consoleAddress;
        quint16 m_nConsolePort = 0;
        bool m_bConsoleInsecure = false; // --http-insecure: no TLS off loopback
        CAddressFilter m_consoleAllowed; // --http-allow
    };

    explicit CRunner(const SOptions& options, QObject* pParent = nullptr);
    ~CRunner() override;

    // Loads the settings and the serial port map and schedules the first
    // Startup / Reset. False when the settings cannot be used (exit 2).
    bool Start();

private:
    void OnSignal(int nSignal);
    void OnLine(const QString& strLine);
    void OnStartupFinished(bool bInputStarted);
    void OnRetry();
    void Reload();
    bool LoadSettings(SSetFields* pFields);
    void LoadSerialPortMap();
    // The [TLS] files the profile names now (those in use when it does not load).
    CTlsProfile ProfileTlsConfig() const;
    void Quit(int nExitCode);
    bool OpenTrace();
    void OnTraceFailed();
    bool ServeMetrics();
    bool ServeConsole();
    SMetricsSnapshot MetricsSnapshot();
    // A failure line or message box becomes the last failure, by its form.
    void NoteFailure(const QString& strText, bool bMessageBox);
    bool InputListens() const;
    void PrintCounters();
    void UpdateServiceStatus();

    SOptions m_options;
    CTrelvaneDoc m_doc;
    // Standard output (Message list lines) and standard error, in the
    // order the lines were made; never waits for a reader.
    enum { kOut, kErr };
    CLineOutput m_output;
    CHeadlessHost m_host;
    CGateway m_gateway;
    CSignalPipe m_signals;
    QTimer m_retryTimer;
    CSystemdNotify m_notify;
    QTimer m_watchdogTimer;
    QTimer m_statusTimer;
    QByteArray m_strLastStatus;
    bool m_bReady = false;
    bool m_bCountersPrinted = false;
    std::atomic<int> m_nTraceErrno {0}; // set by the trace file's writer
    bool m_bTraceFailureShown = false;
    std::unique_ptr<CLineOutput> m_pTraceFile;
    std::unique_ptr<CDataTrace> m_pTrace;
    std::unique_ptr<CMetricsServer> m_pMetrics;
    std::unique_ptr<CConsoleFeed> m_pConsoleFeed;
    std::unique_ptr<CConsoleServer> m_pConsole;
    qint64 m_nLastStartMs = 0;
    qint64 m_nLastFailureMs = 0;
    QString m_strLastFailure;
    bool m_bQuitting = false;
    int m_nExitCode = 0;
};
