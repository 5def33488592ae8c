#include "setfilemessages.h"

#include "atomicfile.h"

#include <cerrno>

namespace {

bool IsBadPath(int nErrno)
{
    return nErrno == ENOENT || nErrno == ENOTDIR || nErrno == ENAMETOOLONG || nErrno == EINVAL;
}

bool IsAccessDenied(int nErrno)
{
    return nErrno == EACCES || nErrno == EPERM || nErrno == ETXTBSY || nErrno == EBUSY;
}

bool IsDiskFull(int nErrno)
{
    return nErrno == ENOSPC || nErrno == EDQUOT || nErrno == EFBIG;
}

QString NotFound(const QString& strPath)
{
    return QStringLiteral("%1\nCannot find this file.\nPlease verify that the correct path and file name are given.")
        .arg(strPath);
}

QString ReadError(const QString& strPath)
{
    return QStringLiteral("An unexpected error occurred while reading %1.").arg(strPath);
}

QString WriteError(const QString& strPath)
{
    return QStringLiteral("An unexpected error occurred while writing %1.").arg(strPath);
}

} // namespace

QString SetFileFormatMessage()
{
    return QStringLiteral("Unexpected file format.");
}

QString SetFileOpenMessage(int nErrno, const QString& strPath)
{
    if (IsBadPath(nErrno))
        return NotFound(strPath);
    if (IsAccessDenied(nErrno))
        return QStringLiteral("Unable to read from %1, it is opened by someone else.").arg(strPath);
    if (nErrno == EIO)
        return ReadError(strPath);
    return QStringLiteral("Failed to open document.");
}

QString SetFileReadMessage(int nErrno, const QString& strPath)
{
    if (IsAccessDenied(nErrno))
        return QStringLiteral("Unable to read from %1, it is opened by someone else.").arg(strPath);
    return ReadError(strPath);
}

QString SetFileWriteMessage(EFileWriteStage eStage, int nErrno, const QString& strPath)
{
    if (eStage == EFileWriteStage::NotRegular)
        return QStringLiteral("Invalid filename.");
    if (IsBadPath(nErrno))
        return NotFound(strPath);
    if (IsAccessDenied(nErrno) || nErrno == EROFS)
        return QStringLiteral("Unable to write to %1, it is read-only or opened by someone else.").arg(strPath);
    if (IsDiskFull(nErrno))
        return QStringLiteral("Destination disk drive is full.");
    if (nErrno == EIO)
        return WriteError(strPath);
    if (eStage == EFileWriteStage::Create)
        return QStringLiteral("Invalid filename.");
    return QStringLiteral("Failed to save document.");
}
