#pragma once

#include "gateway.h"
#include "headlesshost.h"
#include "lineoutput.h"
#include "signalpipe.h"
#include "trelvanedoc.h"

#include <QObject>
#include <QString>
#include <QTimer>

// Runs the gateway from a settings file with no display: log lines go to
// standard output, status changes and message boxes to standard error.
// SIGINT and SIGTERM stop cleanly, SIGHUP reloads the file and restarts.
class CRunner : public QObject
{
    Q_OBJECT
public:
    struct SOptions
    {
        QString m_strSetFile;
        QString m_strProfile;   // the profile with [Serial Ports]
        int m_nRetrySeconds = 0; // 0: exit 1 when the Input does not start
    };

    explicit CRunner(const SOptions& options, QObject* pParent = nullptr);

    // Loads the settings and the serial port map and schedules the first
    // Startup / Reset. False when the settings cannot be used (exit 2).
    bool Start();

private:
    void OnSignal(int nSignal);
    void OnLine(const QString& strLine);
    void OnStartupFinished(bool bInputStarted);
    void OnRetry();
    void Reload();
    void LoadSerialPortMap();
    void Quit(int nExitCode);

    SOptions m_options;
    CTrelvaneDoc m_doc;
    // Standard output (Message list lines) and standard error; neither
    // ever waits for its reader.
    CLineOutput m_out;
    CLineOutput m_err;
    CHeadlessHost m_host;
    CGateway m_gateway;
    CSignalPipe m_signals;
    QTimer m_retryTimer;
    bool m_bQuitting = false;
    int m_nExitCode = 0;
};
