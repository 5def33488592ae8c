// Fuzzes the initial-string decoder: never longer than its input, and text
// without backslashes is left alone.
#include "escapes.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const QByteArray strTyped(reinterpret_cast<const char*>(pData), qsizetype(nSize));
    QByteArray str = strTyped;
    ExpandEscapes(str);
    if (str.size() > strTyped.size())
        abort();
    if (!strTyped.contains('\\') && str != strTyped)
        abort();
    return 0;
}
