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

ssize_t ReadRetrying(int fd, char* p, size_t n)
{
    for (;;) {
        const ssize_t nGot = ::read(fd, p, n);
        if (nGot >= 0 || errno != EINTR)
            return nGot;
    }
}

// Reads until nBytes are there or the file ends.
SFileRead ReadUpTo(CBoundedFileReader& reader, qint64 nBytes)
{
    constexpr qint64 kChunk = 64 * 1024;
    QByteArray data;
    for (;;) {
        const qsizetype nOld = data.size();
        const qint64 nWant = qMin(kChunk, nBytes - nOld);
        if (nWant <= 0)
            break;
        data.resize(nOld + nWant);
        const qint64 nGot = reader.ReadSome(data.data() + nOld, nWant);
        if (nGot < 0)
            return reader.Status();
        data.resize(nOld + nGot);
        if (nGot == 0)
            break;
    }
    SFileRead result;
    result.m_data = data;
    return result;
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

CBoundedFileReader::~CBoundedFileReader()
{
    if (m_hFile >= 0)
        ::close(m_hFile);
}

bool CBoundedFileReader::Open(const QString& strPath)
{
    const QByteArray path = QFile::encodeName(strPath);
    if (path.isEmpty()) {
        m_status = Failed(EFileRead::OpenFailed, ENOENT);
        return false;
    }
    struct stat st {};
    if (::stat(path.constData(), &st) != 0) {
        m_status = Failed(EFileRead::OpenFailed, errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        m_status = Failed(EFileRead::NotRegular);
        return false;
    }
    m_hFile = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (m_hFile < 0) {
        m_status = Failed(EFileRead::OpenFailed, errno);
        return false;
    }
    // The path may have been replaced between the look and the open.
    if (::fstat(m_hFile, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_status = Failed(EFileRead::NotRegular);
        return false;
    }
    m_status = SFileRead();
    return true;
}

qint64 CBoundedFileReader::ReadSome(char* p, qint64 nMax)
{
    if (m_hFile < 0 || !m_status.Ok())
        return -1;
    const qint64 nLeft = m_nMaxBytes - m_nRead;
    if (nLeft <= 0) {
        // At the bound: one more byte tells a file that goes on. Files that
        // report no size (such as those under /proc) are caught the same way.
        char c = 0;
        const ssize_t nMore = ReadRetrying(m_hFile, &c, 1);
        if (nMore == 0)
            return 0;
        m_status = nMore > 0 ? Failed(EFileRead::TooLarge) : Failed(EFileRead::ReadFailed, errno);
        return -1;
    }
    const ssize_t nGot = ReadRetrying(m_hFile, p, size_t(qMin(nMax, nLeft)));
    if (nGot < 0) {
        m_status = Failed(EFileRead::ReadFailed, errno);
        return -1;
    }
    m_nRead += nGot;
    return nGot;
}

SFileRead ReadRegularFile(const QString& strPath, qint64 nMaxBytes)
{
    CBoundedFileReader reader(nMaxBytes);
    if (!reader.Open(strPath))
        return reader.Status();
    return ReadUpTo(reader, nMaxBytes + 1);
}

SFileRead ReadFileStart(const QString& strPath, qint64 nBytes)
{
    CBoundedFileReader reader(nBytes);
    if (!reader.Open(strPath))
        return reader.Status();
    return ReadUpTo(reader, nBytes);
}

QString FileReadReason(const SFileRead& result, qint64 nMaxBytes)
{
    switch (result.m_eStatus) {
    case EFileRead::Ok:
        return QString();
    case EFileRead::NotRegular:
        return QStringLiteral("not a regular file");
    case EFileRead::TooLarge:
        return QStringLiteral("larger than %1").arg(ByteCount(nMaxBytes));
    case EFileRead::OpenFailed:
    case EFileRead::ReadFailed:
        break;
    }
    return QString::fromLocal8Bit(std::strerror(result.m_nErrno));
}
