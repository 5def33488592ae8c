#include "benchrelay.h"

#include "profile.h"
#include "trelvanedoc.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// The serial name the pseudo-terminal is mapped to in the private profile.
const char kPtyPortName[] = "COM9";

QByteArray TrelvaneSetup(const SRelayEnd& end)
{
    switch (end.m_kind) {
    case SRelayEnd::Tcp: return "TCP:" + QByteArray::number(end.m_nPort) + ",127.0.0.1";
    case SRelayEnd::TcpListen:
        return "TCP:" + QByteArray::number(end.m_nPort) + "@127.0.0.1" + (end.m_bRfc2217 ? ";rfc2217" : "");
    case SRelayEnd::TlsListen: return "TLS:" + QByteArray::number(end.m_nPort) + "@127.0.0.1";
    case SRelayEnd::Udp: return "UDP:" + QByteArray::number(end.m_nPort) + ",127.0.0.1";
    case SRelayEnd::Pty: return QByteArray(kPtyPortName) + ":115200,n,8,1";
    }
    return {};
}

QString SocatAddress(const SRelayEnd& end)
{
    switch (end.m_kind) {
    case SRelayEnd::Tcp: return QStringLiteral("TCP:127.0.0.1:%1").arg(end.m_nPort);
    case SRelayEnd::TcpListen: return QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(end.m_nPort);
    case SRelayEnd::TlsListen:
        return QStringLiteral("OPENSSL-LISTEN:%1,bind=127.0.0.1,reuseaddr,cert=%2/server.pem,key=%2/server.key,verify=0")
            .arg(end.m_nPort)
            .arg(end.m_strTlsDir);
    case SRelayEnd::Udp: return QStringLiteral("UDP-SENDTO:127.0.0.1:%1").arg(end.m_nPort);
    case SRelayEnd::Pty: return end.m_strPtyPath + QStringLiteral(",raw,echo=0");
    }
    return {};
}

} // namespace

QString RelayName(ERelayKind kind)
{
    switch (kind) {
    case ERelayKind::Trelvaned: return QStringLiteral("trelvaned");
    case ERelayKind::Baseline: return QStringLiteral("baseline");
    case ERelayKind::SocatB512: return QStringLiteral("socat-b512");
    case ERelayKind::Socat8k: return QStringLiteral("socat-8k");
    case ERelayKind::Ser2net: return QStringLiteral("ser2net");
    }
    return {};
}

bool ParseRelayName(const QString& strName, ERelayKind* pKind)
{
    for (ERelayKind kind : {ERelayKind::Trelvaned, ERelayKind::Baseline, ERelayKind::SocatB512, ERelayKind::Socat8k,
                            ERelayKind::Ser2net}) {
        if (strName == RelayName(kind)) {
            *pKind = kind;
            return true;
        }
    }
    return false;
}

CRelayProcess::~CRelayProcess()
{
    if (m_pid > 0)
        Stop();
}

bool CRelayProcess::Start(ERelayKind kind, const QString& strTrelvaned, const SRelayEnd& in, const SRelayEnd& out,
                          const QString& strWorkDir, QString* pstrError)
{
    QDir().mkpath(strWorkDir);
    m_kind = kind;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QString strProgram;
    if (IsTrelvaned(kind)) {
        const QString strConfig = strWorkDir + QStringLiteral("/config");
        QDir().mkpath(strConfig);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), strConfig);
        CProfile profile(strConfig + QStringLiteral("/trelvane/trelvane.ini"));
        for (const SRelayEnd* pEnd : {&in, &out}) {
            if (pEnd->m_kind == SRelayEnd::Pty)
                profile.SetString(QStringLiteral("Serial Ports"), QString::fromLatin1(kPtyPortName), pEnd->m_strPtyPath);
            if (pEnd->m_kind == SRelayEnd::TlsListen) {
                profile.SetString(QStringLiteral("TLS"), QStringLiteral("Certificate"),
                                  pEnd->m_strTlsDir + QStringLiteral("/server.pem"));
                profile.SetString(QStringLiteral("TLS"), QStringLiteral("Key"), pEnd->m_strTlsDir + QStringLiteral("/server.key"));
            }
        }
        if (!profile.Save(pstrError))
            return false;
        CTrelvaneDoc doc;
        doc.m_strInSetup = TrelvaneSetup(in);
        doc.m_strOutSetup = TrelvaneSetup(out);
        doc.m_strInDll = in.m_strDll;
        doc.m_strOutDll = out.m_strDll;
        doc.m_nOutStartup = 1007; // both ports connect at start
        const QString strSet = strWorkDir + QStringLiteral("/bench.set");
        if (!doc.OnSaveDocument(strSet, pstrError))
            return false;
        strProgram = strTrelvaned;
        m_arguments = QStringList {strProgram} + m_extraArguments + QStringList {strSet};
    } else if (kind == ERelayKind::Ser2net) {
        if (in.m_kind != SRelayEnd::Pty || out.m_kind != SRelayEnd::TcpListen) {
            *pstrError = QStringLiteral("ser2net serves only a line Input with a listening TCP Output");
            return false;
        }
        const QString strConfig = strWorkDir + QStringLiteral("/ser2net.yaml");
        QFile config(strConfig);
        const QByteArray text = "connection: &bench\n"
                                "  accepter: " + QByteArray(out.m_bRfc2217 ? "telnet(rfc2217)," : "")
                                + "tcp,127.0.0.1," + QByteArray::number(out.m_nPort) + "\n"
                                "  connector: serialdev," + QFile::encodeName(in.m_strPtyPath) + ",115200n81,local\n"
                                "  options:\n"
                                "    kickolduser: true\n"
                                "    dev-to-net-bufsize: 65536\n"
                                "    net-to-dev-bufsize: 65536\n";
        if (!config.open(QIODevice::WriteOnly) || config.write(text) != text.size()) {
            *pstrError = QStringLiteral("cannot write %1").arg(strConfig);
            return false;
        }
        config.close();
        // Debian installs it in /usr/sbin, which a user's PATH may lack.
        strProgram = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
        if (strProgram.isEmpty())
            strProgram = QStandardPaths::findExecutable(QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin")});
        if (strProgram.isEmpty()) {
            *pstrError = QStringLiteral("ser2net is not installed (scripts/install-deps.sh installs it)");
            return false;
        }
        m_arguments = {strProgram, QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), strConfig,
                       QStringLiteral("-P"), strWorkDir + QStringLiteral("/ser2net.pid")};
    } else {
        strProgram = QStringLiteral("socat");
        m_arguments = {strProgram};
        if (kind == ERelayKind::SocatB512)
            m_arguments << QStringLiteral("-b") << QStringLiteral("512");
        m_arguments << SocatAddress(in) << SocatAddress(out);
    }

    m_strLogPath = strWorkDir + QStringLiteral("/relay.log");
    const QByteArray strLog = QFile::encodeName(m_strLogPath);
    std::vector<QByteArray> argStore;
    std::vector<char*> argv;
    for (const QString& strArg : m_arguments)
        argStore.push_back(strArg.toLocal8Bit());
    for (QByteArray& arg : argStore)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> envStore;
    std::vector<char*> envp;
    for (const QString& strVar : env.toStringList())
        envStore.push_back(strVar.toLocal8Bit());
    for (QByteArray& var : envStore)
        envp.push_back(var.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, strLog.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const int nError = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (nError != 0) {
        m_pid = -1;
        *pstrError = QStringLiteral("cannot start %1: %2").arg(strProgram, QString::fromLocal8Bit(strerror(nError)));
        return false;
    }
    return true;
}

bool CRelayProcess::IsRunning()
{
    if (m_pid <= 0)
        return false;
    int nStatus = 0;
    if (::waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
    }
    return true;
}

int CRelayProcess::Stop()
{
    if (m_pid <= 0)
        return 0;
    ::kill(m_pid, SIGTERM);
    int nStatus = 0;
    for (int i = 0; i < 300; ++i) {
        if (::waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
            m_pid = -1;
            return nStatus;
        }
        ::usleep(10000);
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, &nStatus, 0);
    m_pid = -1;
    return nStatus;
}

double CRelayProcess::CpuSeconds() const
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(m_pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = file.readAll();
    // Fields after the command name, which ends with the last ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the whole line; here 11 and 12.
    if (fields.size() < 13)
        return 0;
    const double fTicks = double(::sysconf(_SC_CLK_TCK));
    return (fields[11].toDouble() + fields[12].toDouble()) / fTicks;
}

long CRelayProcess::StatusKiB(const char* pszKey) const
{
    QFile file(QStringLiteral("/proc/%1/status").arg(m_pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(pszKey))
            return line.mid(int(strlen(pszKey))).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

bool CRelayProcess::HasMapped(const QString& strFileName) const
{
    QFile maps(QStringLiteral("/proc/%1/maps").arg(m_pid));
    if (m_pid <= 0 || !maps.open(QIODevice::ReadOnly))
        return false;
    const QByteArray strSuffix = '/' + QFile::encodeName(strFileName);
    for (const QByteArray& line : maps.readAll().split('\n')) {
        if (line.endsWith(strSuffix))
            return true;
    }
    return false;
}

bool CRelayProcess::WaitBothPortsStarted(int nTimeoutMs, bool bInputClient) const
{
    if (!IsTrelvaned(m_kind))
        return true;
    for (int nWaited = 0; nWaited < nTimeoutMs; nWaited += 5) {
        QFile file(m_strLogPath);
        const QByteArray log = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        if (log.count("Done!") >= 2 && (!bInputClient || log.contains(" Client Accepted,")))
            return true;
        ::usleep(5000);
    }
    return false;
}

QString CRelayProcess::LogTail() const
{
    QFile file(m_strLogPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.size() > 20)
        lines = lines.mid(lines.size() - 20);
    return QString::fromLocal8Bit(lines.join('\n'));
}
