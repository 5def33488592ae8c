#include "fileread.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

SFileRead Failed(EFileRead eStatus, int nErrno = 0)
{
    SFileRead result;
    result.m_eStatus = eStatus;
    result.m_nErrno = nErrno;
    return result;
}

// Reads up to nMax bytes from the current position; false on an error.
bool ReadUpTo(int fd, qint64 nMax, QByteArray* pData, int* pnErrno)
{
    constexpr qint64 kChunk = 64 * 1024;
    while (pData->size() < nMax) {
        const qsizetype nOld = pData->size();
        const qint64 nWant = qMin(kChunk, nMax - nOld);
        pData->resize(nOld + nWant);
        const ssize_t n = ::read(fd, pData->data() + nOld, size_t(nWant));
        if (n < 0 && errno == EINTR) {
            pData->resize(nOld);
            continue;
        }
        if (n <= 0) {
            pData->resize(nOld);
            if (n < 0)
                *pnErrno = errno;
            return n == 0;
        }
        pData->resize(nOld + n);
    }
    return true;
}

QString ByteCount(qint64 nBytes)
{
    if (nBytes >= 1024 * 1024 && nBytes % (1024 * 1024) == 0)
        return QStringLiteral("%1 MiB").arg(nBytes / (1024 * 1024));
    if (nBytes >= 1024 && nBytes % 1024 == 0)
        return QStringLiteral("%1 KiB").arg(nBytes / 1024);
    return QStringLiteral("%1 bytes").arg(nBytes);
}

} // namespace

int OpenRegularFile(const QString& strPath, SFileRead* pResult)
{
    const QByteArray path = QFile::encodeName(strPath);
    if (path.isEmpty()) {
        *pResult = Failed(EFileRead::OpenFailed, ENOENT);
        return -1;
    }
    struct stat st {};
    if (::stat(path.constData(), &st) != 0) {
        *pResult = Failed(EFileRead::OpenFailed, errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *pResult = Failed(EFileRead::NotRegular);
        return -1;
    }
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *pResult = Failed(EFileRead::OpenFailed, errno);
        return -1;
    }
    // The path may have been replaced between the look and the open.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *pResult = Failed(EFileRead::NotRegular);
        return -1;
    }
    *pResult = SFileRead();
    return fd;
}

namespace {

// Reads up to nBytes; with bRefuseMore, a file that holds more is TooLarge.
SFileRead ReadBounded(const QString& strPath, qint64 nBytes, bool bRefuseMore)
{
    SFileRead result;
    const int fd = OpenRegularFile(strPath, &result);
    if (fd < 0)
        return result;
    // One byte past the bound tells a file that is too large; files that
    // report no size (such as those under /proc) are caught the same way.
    struct stat st {};
    int nErrno = 0;
    if (bRefuseMore && ::fstat(fd, &st) == 0 && st.st_size > nBytes)
        result = Failed(EFileRead::TooLarge);
    else if (!ReadUpTo(fd, bRefuseMore ? nBytes + 1 : nBytes, &result.m_data, &nErrno))
        result = Failed(EFileRead::ReadFailed, nErrno);
    else if (result.m_data.size() > nBytes)
        result = Failed(EFileRead::TooLarge);
    ::close(fd);
    return result;
}

} // namespace

SFileRead ReadRegularFile(const QString& strPath, qint64 nMaxBytes)
{
    return ReadBounded(strPath, nMaxBytes, true);
}

SFileRead ReadFileStart(const QString& strPath, qint64 nBytes)
{
    return ReadBounded(strPath, nBytes, false);
}

QString FileReadMessage(const SFileRead& result, const QString& strPath, qint64 nMaxBytes)
{
    switch (result.m_eStatus) {
    case EFileRead::Ok:
        return QString();
    case EFileRead::OpenFailed:
        return QStringLiteral("Cannot open %1: %2").arg(strPath, QString::fromLocal8Bit(std::strerror(result.m_nErrno)));
    case EFileRead::NotRegular:
        return QStringLiteral("Cannot read %1: not a regular file").arg(strPath);
    case EFileRead::TooLarge:
        return QStringLiteral("Cannot read %1: larger than %2").arg(strPath, ByteCount(nMaxBytes));
    case EFileRead::ReadFailed:
        return QStringLiteral("Cannot read %1: %2").arg(strPath, QString::fromLocal8Bit(std::strerror(result.m_nErrno)));
    }
    return QString();
}
