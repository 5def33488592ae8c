#include "setfile.h"

#include "atomicfile.h"
#include "fileread.h"
#include "setcodec.h"
#include "setfilemessages.h"

namespace {

// Far beyond any real settings (ten short strings), far below what would
// strain the memory: a string that claims more is refused.
constexpr qint64 kMaxSetFileBytes = 16 * 1024 * 1024;

class CReaderSource : public ISetSource
{
public:
    explicit CReaderSource(CBoundedFileReader& reader) : m_reader(reader) {}
    qint64 ReadSome(char* p, qint64 nMax) override { return m_reader.ReadSome(p, nMax); }

private:
    CBoundedFileReader& m_reader;
};

} // namespace

bool LoadSetFile(const QString& strPath, SSetFields* pFields, QString* pstrError, SSetFileExtent* pExtent)
{
    // The reader looks before opening: opening a device can have effects of
    // its own (a serial line raises DTR), and a pipe must never be waited on.
    CBoundedFileReader reader(kMaxSetFileBytes);
    if (!reader.Open(strPath)) {
        *pstrError = reader.Status().m_eStatus == EFileRead::NotRegular
                         ? QStringLiteral("Failed to open document.")
                         : SetFileOpenMessage(reader.Status().m_nErrno, strPath);
        return false;
    }
    CReaderSource source(reader);
    const SSetReadResult result = ReadSetFields(source);
    switch (result.m_eStatus) {
    case ESetReadStatus::Ok:
        *pFields = result.m_fields;
        if (pExtent) {
            // What follows the ten fields is counted, not kept.
            qint64 nMore = 0;
            char buffer[4096];
            for (qint64 n; (n = reader.ReadSome(buffer, sizeof buffer)) > 0;)
                nMore += n;
            *pExtent = {result.m_nBytesRead, result.m_nBytesRead + nMore};
        }
        return true;
    case ESetReadStatus::BadFormat:
        *pstrError = SetFileFormatMessage();
        return false;
    case ESetReadStatus::ReadError:
        *pstrError = reader.Status().m_eStatus == EFileRead::TooLarge
                         ? QStringLiteral("Failed to open document.")
                         : SetFileReadMessage(result.m_nErrno, strPath);
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
