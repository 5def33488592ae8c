#include "setfile.h"

#include "atomicfile.h"
#include "setcodec.h"
#include "setfilemessages.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class CFdSource : public ISetSource
{
public:
    explicit CFdSource(int fd) : m_fd(fd) {}
    qint64 ReadSome(char* p, qint64 nMax) override
    {
        for (;;) {
            const ssize_t n = ::read(m_fd, p, size_t(nMax));
            if (n >= 0 || errno != EINTR)
                return n;
        }
    }

private:
    int m_fd;
};

} // namespace

bool LoadSetFile(const QString& strPath, SSetFields* pFields, QString* pstrError, SSetFileExtent* pExtent)
{
    const QByteArray path = QFile::encodeName(strPath);
    if (path.isEmpty()) {
        *pstrError = SetFileOpenMessage(ENOENT, strPath);
        return false;
    }
    // Look before opening: opening a device can have effects of its own
    // (a serial line raises DTR), and a pipe must never be waited on.
    struct stat st {};
    if (::stat(path.constData(), &st) != 0) {
        *pstrError = SetFileOpenMessage(errno, strPath);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *pstrError = QStringLiteral("Failed to open document.");
        return false;
    }
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *pstrError = SetFileOpenMessage(errno, strPath);
        return false;
    }
    // The path may have been replaced between the two looks.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *pstrError = QStringLiteral("Failed to open document.");
        return false;
    }
    CFdSource source(fd);
    const SSetReadResult result = ReadSetFields(source);
    ::close(fd);
    switch (result.m_eStatus) {
    case ESetReadStatus::Ok:
        *pFields = result.m_fields;
        if (pExtent)
            *pExtent = {result.m_nBytesRead, qint64(st.st_size)};
        return true;
    case ESetReadStatus::BadFormat:
        *pstrError = SetFileFormatMessage();
        return false;
    case ESetReadStatus::ReadError:
        *pstrError = SetFileReadMessage(result.m_nErrno, strPath);
        return false;
    }
    return false;
}

bool SaveSetFile(const QString& strPath, const SSetFields& fields, QString* pstrError,
                 CAtomicFileWriter* pWriter)
{
    const std::optional<QByteArray> data = WriteSetFile(fields);
    if (!data) {
        *pstrError = QStringLiteral("Failed to save document.");
        return false;
    }
    CAtomicFileWriter defaultWriter;
    const SFileWriteResult result = (pWriter ? pWriter : &defaultWriter)->Write(strPath, *data);
    if (!result.Ok()) {
        *pstrError = SetFileWriteMessage(result.m_eStage, result.m_nErrno, strPath);
        return false;
    }
    return true;
}

QString SetFileOddity(const SSetFields& fields, const SSetFileExtent& extent)
{
    if (extent.m_nFileBytes > extent.m_nFieldBytes) {
        return QStringLiteral("%1 bytes follow the ten settings, which take %2; a settings file ends with them")
            .arg(extent.m_nFileBytes - extent.m_nFieldBytes).arg(extent.m_nFieldBytes);
    }
    const struct {
        const char* pszName;
        qint32 nValue;
    } flags[] = {{"no-in-init-response", fields.m_bNoInInitResponse},
                 {"no-out-init-response", fields.m_bNoOutInitResponse},
                 {"detect-carrier", fields.m_bDetectCarrier}};
    for (const auto& flag : flags) {
        if (flag.nValue != 0 && flag.nValue != 1) {
            return QStringLiteral("the flag %1 holds %2; a settings file holds 0 or 1 there")
                .arg(QLatin1String(flag.pszName)).arg(flag.nValue);
        }
    }
    return {};
}
