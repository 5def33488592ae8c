// Fuzzes the setup-string splitter: kind recognition, the TCP/UDP split and
// the options of the local forms, and the TLS forms.
#include "setup/setupstring.h"
#include "setup/sockaddress.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const QByteArray strSetup = SetupStringText(QByteArray(reinterpret_cast<const char*>(pData), qsizetype(nSize)));
    const EPortKind kind = RecognisePortKind(strSetup);
    if (kind != EPortKind::Tcp && kind != EPortKind::Udp && kind != EPortKind::Tls)
        return 0;
    SWinsockSetup setup;
    const int nCode = SplitWinsockSetup(strSetup, kind, &setup);
    if (kind == EPortKind::Tls) {
        // Taken only as "TLS:<port>,<host>" with a real port and a bounded
        // host, or as a local form; everything else keeps the code 20.
        if (nCode != 0 && nCode != 20)
            abort();
        if (nCode == 0 && (!strSetup.startsWith("TLS:") || setup.nPort < 0 || setup.nPort > 65535
                           || (!setup.bLocal && (setup.nPort == 0 || setup.strAddress.isEmpty()
                                                 || setup.strAddress.size() > kMaxTlsHost))))
            abort();
        if (nCode == 0 && setup.options.bGiven != (setup.bLocal && strSetup.contains(';')))
            abort();
        return 0;
    }
    // Only an IPv6 literal may be longer than the address limit.
    if (nCode == 0 && setup.strAddress.size() > kMaxAddressField
        && (!IsIPv6Literal(setup.strAddress) || setup.strAddress.size() > kMaxIPv6Literal + 1 + kMaxIPv6Scope))
        abort();
    // A local form names a port the system can bind.
    if (nCode == 0 && setup.bLocal && (setup.nPort < 0 || setup.nPort > 65535))
        abort();
    if (nCode != 0 && nCode != 10 && nCode != 11 && nCode != 12 && nCode != 13)
        abort();
    // Options exist only on a local form, and never make a client form of
    // a string with a "," after its ":" (nor the other way round).
    const qsizetype nColon = strSetup.indexOf(':');
    const bool bComma = nColon >= 0 && strSetup.indexOf(',', nColon + 1) >= 0;
    if (nCode == 0 && setup.bLocal == bComma)
        abort();
    if (nCode == 0 && setup.options.bGiven != (setup.bLocal && strSetup.contains(';')))
        abort();
    // The option parser on its own, and the allow list it builds, on any text.
    SListenOptions options;
    QByteArray strProblem;
    if (ParseListenOptions(strSetup, (nSize & 1) != 0, &options, &strProblem) == !strProblem.isEmpty())
        abort();
    // A shared port takes 2 to kMaxShared clients, and only a shared one has a count.
    if ((options.eClients == SListenOptions::Share) != (options.nShared != 0) || options.nShared == 1
        || options.nShared > SListenOptions::kMaxShared)
        abort();
    SSocketAddress any;
    ParseNumericAddress("::ffff:10.0.0.7", 1, &any);
    options.allow.Allows(any);
    return 0;
}
