// Fuzzes the setup-string splitter: kind recognition and the TCP/UDP split.
#include "setupstring.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const QByteArray strSetup = SetupStringText(QByteArray(reinterpret_cast<const char*>(pData), qsizetype(nSize)));
    const EPortKind kind = RecognisePortKind(strSetup);
    if (kind != EPortKind::Tcp && kind != EPortKind::Udp)
        return 0;
    SWinsockSetup setup;
    const int nCode = SplitWinsockSetup(strSetup, kind, &setup);
    // Only an IPv6 literal may be longer than the address limit.
    if (nCode == 0 && setup.strAddress.size() > kMaxAddressField
        && (!IsIPv6Literal(setup.strAddress) || setup.strAddress.size() > kMaxIPv6Literal + 1 + kMaxIPv6Scope))
        abort();
    // A local form names a port the system can bind.
    if (nCode == 0 && setup.bLocal && (setup.nPort < 0 || setup.nPort > 65535))
        abort();
    if (nCode != 0 && nCode != 10 && nCode != 11 && nCode != 12 && nCode != 13)
        abort();
    return 0;
}
