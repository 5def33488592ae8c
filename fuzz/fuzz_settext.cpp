// Feeds arbitrary bytes to the text form's reader, and checks that what it
// reads writes back to text that reads the same; and, read as a binary
// settings file, that the bytes come back through text unchanged.
#include "setcodec.h"
#include "settext.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const SSetTextResult text = ReadSetText(bytes);
    if (text.m_bOk) {
        const SSetTextResult again = ReadSetText(WriteSetText(text.m_fields, text.m_layout));
        if (!again.m_bOk || !(again.m_fields == text.m_fields) || !(again.m_layout == text.m_layout))
            std::abort();
    } else if (text.m_nLine < 1 || text.m_strError.isEmpty()) {
        std::abort();
    }

    const SSetReadResult binary = ReadSetFile(bytes);
    if (binary.m_eStatus != ESetReadStatus::Ok)
        return 0;
    SSetLayout layout = binary.m_layout;
    layout.m_strTrailing = bytes.sliced(binary.m_nBytesRead).toByteArray();
    const SSetTextResult converted = ReadSetText(WriteSetText(binary.m_fields, layout));
    if (!converted.m_bOk || WriteSetFile(converted.m_fields, converted.m_layout) != bytes.toByteArray())
        std::abort();
    return 0;
}
