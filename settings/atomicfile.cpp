#include "atomicfile.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

SFileWriteResult Failed(EFileWriteStage eStage, int nErrno)
{
    return {eStage, nErrno};
}

// Closes the descriptor, keeps the first error seen.
void CloseKeeping(int fd, int* pnErrno)
{
    if (::close(fd) != 0 && *pnErrno == 0 && errno != EINTR)
        *pnErrno = errno;
}

QByteArray TempNameNear(const QByteArray& target)
{
    const qsizetype nSlash = target.lastIndexOf('/');
    const QByteArray folder = nSlash < 0 ? QByteArray() : target.left(nSlash + 1);
    // Keep the temporary name within the 255-byte limit of a file name.
    const QByteArray name = (nSlash < 0 ? target : target.mid(nSlash + 1)).left(200);
    return folder + '.' + name + '.' +
           QByteArray::number(QRandomGenerator::global()->generate64(), 36) + ".tmp";
}

void SyncFolderOf(const QByteArray& target)
{
    const qsizetype nSlash = target.lastIndexOf('/');
    const QByteArray folder = nSlash < 0 ? QByteArray(".") : nSlash == 0 ? QByteArray("/") : target.left(nSlash);
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

ssize_t CAtomicFileWriter::WriteSome(int fd, const char* p, size_t n)
{
    return ::write(fd, p, n);
}

int CAtomicFileWriter::SyncFile(int fd)
{
    return ::fsync(fd);
}

bool CAtomicFileWriter::WriteAll(int fd, const QByteArray& data, int* pnErrno)
{
    const char* p = data.constData();
    size_t nLeft = size_t(data.size());
    while (nLeft > 0) {
        const ssize_t n = WriteSome(fd, p, nLeft);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *pnErrno = errno;
            return false;
        }
        if (n == 0) {
            *pnErrno = ENOSPC;
            return false;
        }
        p += n;
        nLeft -= size_t(n);
    }
    if (SyncFile(fd) != 0) {
        *pnErrno = errno;
        return false;
    }
    return true;
}

SFileWriteResult CAtomicFileWriter::WriteInPlace(const QByteArray& path, const QByteArray& data)
{
    // The path was a regular file a moment ago; should a link have taken its
    // place since, the open fails instead of writing where the link points.
    const int fd = ::open(path.constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0 && errno == ELOOP)
        return Failed(EFileWriteStage::NotRegular, ELOOP);
    if (fd < 0)
        return Failed(EFileWriteStage::Create, errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Failed(EFileWriteStage::NotRegular, EINVAL);
    }
    // Reserve the space first, so that a full disk is found before the old
    // content is touched.
    const int nReserve = ::posix_fallocate(fd, 0, data.size());
    if (nReserve == ENOSPC || nReserve == EDQUOT || nReserve == EIO) {
        ::close(fd);
        return Failed(EFileWriteStage::Write, nReserve);
    }
    int nErrno = 0;
    if (WriteAll(fd, data, &nErrno) && ::ftruncate(fd, data.size()) != 0)
        nErrno = errno;
    CloseKeeping(fd, &nErrno);
    return nErrno ? Failed(EFileWriteStage::Write, nErrno) : SFileWriteResult();
}

SFileWriteResult CAtomicFileWriter::Write(const QString& strPath, const QByteArray& data)
{
    const QByteArray target = QFile::encodeName(strPath);
    if (target.isEmpty())
        return Failed(EFileWriteStage::Create, ENOENT);

    // A symbolic link at the path is replaced by the new file; nothing is
    // ever written where it points. Whoever may add links to the folder
    // could otherwise direct the save onto any file the saving user may
    // write. The file the link named stays as it was. As the content may
    // have been read through the link, the new file is private to its owner.
    struct stat st {};
    const bool bFound = ::lstat(target.constData(), &st) == 0;
    if (!bFound && errno != ENOENT)
        return Failed(EFileWriteStage::Create, errno);
    const bool bLink = bFound && S_ISLNK(st.st_mode);
    const bool bExists = bFound && !bLink;
    if (bExists && !S_ISREG(st.st_mode))
        return Failed(EFileWriteStage::NotRegular, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    // A file the user may not write stays as it is, even though the folder
    // would allow replacing it.
    if (bExists && ::faccessat(AT_FDCWD, target.constData(), W_OK, AT_EACCESS) != 0)
        return Failed(EFileWriteStage::Create, errno);

    QByteArray temp;
    int fd = -1;
    for (int nTry = 0; nTry < 100 && fd < 0; ++nTry) {
        temp = TempNameNear(target);
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int nErrno = errno;
        const bool bFolderLocked = nErrno == EACCES || nErrno == EPERM || nErrno == EROFS;
        if (bFolderLocked && bExists)
            return WriteInPlace(target, data);
        return Failed(EFileWriteStage::Create, nErrno);
    }

    int nErrno = 0;
    if (bExists) {
        // Keep the owner where allowed, and the permissions of the old file.
        if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
            ::fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Only a privileged user may give a file away; the new file then
            // belongs to whoever saves it.
        }
        if (::fchmod(fd, st.st_mode & 07777) != 0)
            nErrno = errno;
    } else if (bLink && ::fchmod(fd, 0600) != 0) {
        nErrno = errno;
    }
    if (nErrno == 0)
        WriteAll(fd, data, &nErrno);
    CloseKeeping(fd, &nErrno);
    if (nErrno == 0 && ::rename(temp.constData(), target.constData()) != 0)
        nErrno = errno;
    if (nErrno != 0) {
        ::unlink(temp.constData());
        return Failed(EFileWriteStage::Write, nErrno);
    }
    SyncFolderOf(target);
    return {};
}
