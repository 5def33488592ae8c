// Feeds arbitrary setup strings to the serial mode parser and checks that
// what it accepts is a record the device layer can apply, and that what it
// refuses comes with a reason.
#include "setup/serialmode.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    const QByteArrayView strSetup(reinterpret_cast<const char*>(pData), qsizetype(nSize));
    const auto mode = ParseSerialMode(strSetup);
    // Every refusal says why, and asking why changes nothing.
    QByteArray strWhy;
    const auto explained = ParseSerialMode(strSetup, &strWhy);
    if (bool(mode) != bool(explained) || mode.has_value() == !strWhy.isEmpty())
        std::abort();
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
