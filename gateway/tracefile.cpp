#include "tracefile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString ErrorText(int nErrno)
{
    return QString::fromLocal8Bit(std::strerror(nErrno));
}

} // namespace

STraceFileOpen OpenTraceFile(const QString& strPath, bool bRegularOnly)
{
    STraceFileOpen result;
    const QByteArray path = QFile::encodeName(strPath);
    const int hFile = ::open(path.constData(),
                             O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0600);
    if (hFile < 0) {
        const int nErrno = errno;
        struct stat info {};
        const bool bLink = nErrno == ELOOP && ::lstat(path.constData(), &info) == 0 && S_ISLNK(info.st_mode);
        result.m_bNotRegular = nErrno == EISDIR;
        result.m_strReason = bLink ? QStringLiteral("it is a symbolic link, which a trace is never written through")
                             : result.m_bNotRegular ? QStringLiteral("not a regular file")
                                                    : ErrorText(nErrno);
        return result;
    }
    struct stat info {};
    if (::fstat(hFile, &info) != 0) {
        result.m_strReason = ErrorText(errno);
        ::close(hFile);
        return result;
    }
    result.m_bRegular = S_ISREG(info.st_mode);
    if (bRegularOnly && !result.m_bRegular) {
        result.m_bNotRegular = true;
        result.m_strReason = QStringLiteral("not a regular file");
        ::close(hFile);
        return result;
    }
    ::fcntl(hFile, F_SETFL, ::fcntl(hFile, F_GETFL) & ~O_NONBLOCK);
    result.m_hFile = hFile;
    return result;
}

QString TraceFailureText(const QString& strPath, int nErrno, quint64 nLostBytes, quint64 nLostRecords)
{
    return QStringLiteral("cannot write the trace file %1: %2; tracing stopped, %3 bytes of %4 %5 not written")
        .arg(strPath, ErrorText(nErrno))
        .arg(nLostBytes)
        .arg(nLostRecords)
        .arg(nLostRecords == 1 ? QStringLiteral("record") : QStringLiteral("records"));
}
