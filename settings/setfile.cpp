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

bool LoadSetFile(const QString& strPath, SSetFields* pFields, QString* pstrError)
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
