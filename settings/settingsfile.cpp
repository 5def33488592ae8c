#include "settingsfile.h"

#include "fileread.h"
#include "setfilemessages.h"
#include "settext.h"

namespace {

// The text of the largest binary file, with every byte escaped (four
// characters), and room for comments.
constexpr qint64 kMaxSetTextBytes = 4 * kMaxSetFileBytes + 1024 * 1024;

} // namespace

bool LoadSettingsFile(const QString& strPath, SSetFields* pFields, QString* pstrError, SSetFileExtent* pExtent,
                      SSetLayout* pLayout, ESetFileKind* peKind)
{
    const SFileRead file = ReadRegularFile(strPath, kMaxSetTextBytes);
    if (!file.Ok() || !IsSetText(file.m_data)) {
        // Whatever is not text, or cannot be read, is for the binary reader,
        // which reads it again and says what is wrong in its own words.
        if (peKind)
            *peKind = ESetFileKind::Binary;
        return LoadSetFile(strPath, pFields, pstrError, pExtent, pLayout);
    }
    if (peKind)
        *peKind = ESetFileKind::Text;
    const SSetTextResult result = ReadSetText(file.m_data);
    if (!result.m_bOk) {
        *pstrError = QStringLiteral("%1, line %2: %3").arg(strPath).arg(result.m_nLine).arg(result.m_strError);
        return false;
    }
    const std::optional<QByteArray> image = WriteSetFile(result.m_fields, result.m_layout);
    if (!image) {
        // The reader refuses what does not fit the binary form.
        *pstrError = SetFileFormatMessage();
        return false;
    }
    *pFields = result.m_fields;
    if (pExtent)
        *pExtent = {image->size() - result.m_layout.m_strTrailing.size(), image->size()};
    if (pLayout)
        *pLayout = result.m_layout;
    return true;
}
