// Feeds arbitrary bytes to the settings file reader, once from a buffer and
// once through a source that hands out a few bytes at a time, and checks
// that both agree, that whatever is read writes back to a file that reads
// the same, and that written with the layout it was read with, it gives
// back the bytes it was read from.
#include "setcodec.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

class CChoppySource : public ISetSource
{
public:
    CChoppySource(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
    qint64 ReadSome(char* p, qint64 nMax) override
    {
        const size_t nStep = 1 + (m_nPos * 7) % 5;
        const size_t n = std::min({size_t(nMax), nStep, m_n - m_nPos});
        std::memcpy(p, m_p + m_nPos, n);
        m_nPos += n;
        return qint64(n);
    }

private:
    const uint8_t* m_p;
    size_t m_n;
    size_t m_nPos = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const SSetReadResult result =
        ReadSetFile(QByteArrayView(reinterpret_cast<const char*>(data), qsizetype(size)));
    CChoppySource source(data, size);
    const SSetReadResult choppy = ReadSetFields(source);
    if (choppy.m_eStatus != result.m_eStatus || choppy.m_nFieldsRead != result.m_nFieldsRead)
        std::abort();
    if (result.m_eStatus != ESetReadStatus::Ok)
        return 0;
    if (!(choppy.m_fields == result.m_fields))
        std::abort();
    const std::optional<QByteArray> written = WriteSetFile(result.m_fields);
    if (!written)
        std::abort();
    const SSetReadResult again = ReadSetFile(*written);
    if (again.m_eStatus != ESetReadStatus::Ok || !(again.m_fields == result.m_fields))
        std::abort();
    const std::optional<QByteArray> same = WriteSetFile(result.m_fields, result.m_layout);
    if (!same || *same != QByteArrayView(reinterpret_cast<const char*>(data), qsizetype(result.m_nBytesRead)))
        std::abort();
    return 0;
}
