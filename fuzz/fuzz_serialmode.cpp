// Feeds arbitrary setup strings to the serial mode parser and checks that
// what it accepts is a record the device layer can apply.
#include "serialmode.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    const QByteArrayView strSetup(reinterpret_cast<const char*>(pData), qsizetype(nSize));
    const auto mode = ParseSerialMode(strSetup);
    if (!mode)
        return 0;
    const bool bSane = mode->nBaud > 0
        && (mode->tio.c_cflag & (CREAD | CLOCAL)) == (CREAD | CLOCAL)
        && mode->nDataBits >= 5 && mode->nDataBits <= 8
        && mode->bStandardBaud == (StandardSpeed(mode->nBaud) != B0)
        && ModeTookEffect(*mode, mode->tio.c_cflag, mode->tio.c_iflag, mode->nBaud);
    if (!bSane)
        std::abort();
    return 0;
}
