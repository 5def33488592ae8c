#include "setfile.h"

#include "atomicfile.h"
#include "fileread.h"
#include "setcodec.h"
#include "setfilemessages.h"

namespace {

class CReaderSource : public ISetSource
{
public:
    explicit CReaderSource(CBoundedFileReader& reader) : m_reader(reader) {}
    qint64 ReadSome(char* p, qint64 nMax) override { return m_reader.ReadSome(p, nMax); }

private:
    CBoundedFileReader& m_reader;
};

} // namespace

bool LoadSetFile(const QString& strPath, SSetFields* pFields, QString* pstrError, SSetFileExtent* pExtent,
                 SSetLayout* pLayout)
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
    case ESetReadStatus::Ok: {
        // What follows the ten fields is only counted, unless it is to be kept.
        qint64 nMore = 0;
        QByteArray strTrailing;
        if (pExtent || pLayout) {
            char buffer[4096];
            qint64 n;
            while ((n = reader.ReadSome(buffer, sizeof buffer)) > 0) {
                nMore += n;
                if (pLayout)
                    strTrailing.append(buffer, n);
            }
            if (n < 0 && pLayout) {
                *pstrError = reader.Status().m_eStatus == EFileRead::TooLarge
                                 ? QStringLiteral("Failed to open document.")
                                 : SetFileReadMessage(reader.Status().m_nErrno, strPath);
                return false;
            }
        }
        *pFields = result.m_fields;
        if (pExtent)
            *pExtent = {result.m_nBytesRead, result.m_nBytesRead + nMore};
        if (pLayout) {
            *pLayout = result.m_layout;
            pLayout->m_strTrailing = strTrailing;
        }
        return true;
    }
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
                 CAtomicFileWriter* pWriter, const SSetLayout& layout)
{
    const std::optional<QByteArray> data = WriteSetFile(fields, layout);
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
