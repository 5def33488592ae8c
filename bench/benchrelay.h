#pragma once

#include <QString>
#include <QStringList>
#include <sys/types.h>

// The relay under test as a child process: trelvaned with a generated
// settings file, or socat with the equivalent addresses. Baseline is another
// trelvaned build (an older commit) measured beside the current one.
// Ser2net serves only the device server's shape (a line as the Input, a
// listening TCP Output), with 64 KiB buffers each way.
enum class ERelayKind { Trelvaned, Baseline, SocatB512, Socat8k, Ser2net };

// Whether the relay is a trelvaned build (the current one or the baseline).
inline bool IsTrelvaned(ERelayKind kind)
{
    return kind == ERelayKind::Trelvaned || kind == ERelayKind::Baseline;
}

// Name used on the command line and in the result lines.
QString RelayName(ERelayKind kind);
bool ParseRelayName(const QString& strName, ERelayKind* pKind);

// One side of the relay as the benchmark offers it on loopback.
struct SRelayEnd
{
    // TcpListen: the relay listens on the port and the benchmark connects.
    // TlsListen: the same with TLS (the benchmark reaches it through a
    // socat TLS client, see benchcases.cpp).
    enum EKind { Tcp, TcpListen, TlsListen, Udp, Pty } m_kind = Tcp;
    int m_nPort = 0;          // Tcp, TcpListen, TlsListen, Udp
    QString m_strTlsDir;      // TlsListen: the folder of server.pem and server.key
    QString m_strPtyPath;     // Pty: the slave device
    bool m_bRfc2217 = false;  // TcpListen: the port serves RFC 2217 (Telnet)
    QByteArray m_strDll;      // trelvaned: plug-in for the blocks this end receives
};

class CRelayProcess
{
public:
    CRelayProcess() = default;
    ~CRelayProcess();
    CRelayProcess(const CRelayProcess&) = delete;
    CRelayProcess& operator=(const CRelayProcess&) = delete;

    // Writes what the relay needs into strWorkDir (settings file, profile)
    // and starts it; its output goes to strWorkDir/relay.log.
    bool Start(ERelayKind kind, const QString& strTrelvaned, const SRelayEnd& in, const SRelayEnd& out,
               const QString& strWorkDir, QString* pstrError);
    // trelvaned: options put before the settings file (set before Start).
    void SetExtraArguments(const QStringList& args) { m_extraArguments = args; }
    // SIGTERM, then SIGKILL after a grace period. Returns the wait status.
    int Stop();
    bool IsRunning();

    pid_t Pid() const { return m_pid; }
    // User + system CPU seconds so far, from /proc/<pid>/stat.
    double CpuSeconds() const;
    // VmHWM / VmRSS in KiB from /proc/<pid>/status; -1 when unreadable.
    long PeakRssKiB() const { return StatusKiB("VmHWM:"); }
    long RssKiB() const { return StatusKiB("VmRSS:"); }
    // Whether a file of this name is mapped into the relay (/proc/<pid>/maps).
    bool HasMapped(const QString& strFileName) const;
    // trelvaned (either build): waits until its log shows both ports started ("Done!" twice),
    // so no data reaches it while it is still connecting its Output.
    // bInputClient: a listening Input must also have taken its client, or
    // the first blocks to it would be dropped.
    // Returns at once for socat; false on time-out.
    bool WaitBothPortsStarted(int nTimeoutMs, bool bInputClient = false) const;
    // The last lines of the relay's output, for error reports.
    QString LogTail() const;
    QStringList Arguments() const { return m_arguments; }

private:
    long StatusKiB(const char* pszKey) const;

    ERelayKind m_kind = ERelayKind::SocatB512;
    pid_t m_pid = -1;
    QString m_strLogPath;
    QStringList m_arguments;
    QStringList m_extraArguments;
};
