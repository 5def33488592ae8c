#include "addressfilter.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace {

// The address bytes of a socket address, an IPv4-mapped IPv6 address
// taken as the IPv4 address it carries. False for other families.
bool AddressBytes(const SSocketAddress& address, int* pnFamily, quint8* pBytes)
{
    if (address.Family() == AF_INET) {
        const auto* pIn = reinterpret_cast<const sockaddr_in*>(&address.storage);
        std::memcpy(pBytes, &pIn->sin_addr, 4);
        *pnFamily = AF_INET;
        return true;
    }
    if (address.Family() == AF_INET6) {
        const auto* pIn6 = reinterpret_cast<const sockaddr_in6*>(&address.storage);
        if (IN6_IS_ADDR_V4MAPPED(&pIn6->sin6_addr)) {
            std::memcpy(pBytes, pIn6->sin6_addr.s6_addr + 12, 4);
            *pnFamily = AF_INET;
        } else {
            std::memcpy(pBytes, pIn6->sin6_addr.s6_addr, 16);
            *pnFamily = AF_INET6;
        }
        return true;
    }
    return false;
}

bool SameLeadingBits(const quint8* pA, const quint8* pB, int nBits)
{
    const int nWhole = nBits / 8;
    if (std::memcmp(pA, pB, size_t(nWhole)) != 0)
        return false;
    const int nRest = nBits % 8;
    if (nRest == 0)
        return true;
    const quint8 nMask = quint8(0xff << (8 - nRest));
    return (pA[nWhole] & nMask) == (pB[nWhole] & nMask);
}

} // namespace

bool CAddressFilter::Add(const QByteArray& strEntry)
{
    const qsizetype nSlash = strEntry.indexOf('/');
    const QByteArray strAddress = nSlash < 0 ? strEntry : strEntry.left(nSlash);
    SEntry entry;
    if (::inet_pton(AF_INET, strAddress.constData(), entry.bytes) == 1)
        entry.nFamily = AF_INET;
    else if (::inet_pton(AF_INET6, strAddress.constData(), entry.bytes) == 1)
        entry.nFamily = AF_INET6;
    else
        return false;
    const int nMaxBits = entry.nFamily == AF_INET ? 32 : 128;
    entry.nBits = nMaxBits;
    if (nSlash >= 0) {
        const QByteArray strBits = strEntry.mid(nSlash + 1);
        if (strBits.isEmpty() || strBits.size() > 3)
            return false;
        for (char c : strBits) {
            if (c < '0' || c > '9')
                return false;
        }
        entry.nBits = strBits.toInt();
        if (entry.nBits > nMaxBits)
            return false;
    }
    // Clients are compared by the IPv4 address an IPv4-mapped one carries,
    // so a mapped entry (::ffff:a.b.c.d, ::ffff:0:0/96 and longer prefixes)
    // becomes the IPv4 entry it stands for.
    static const quint8 kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (entry.nFamily == AF_INET6 && entry.nBits >= 96 && std::memcmp(entry.bytes, kMappedPrefix, 12) == 0) {
        std::memmove(entry.bytes, entry.bytes + 12, 4);
        std::memset(entry.bytes + 4, 0, 12);
        entry.nFamily = AF_INET;
        entry.nBits -= 96;
    }
    m_listEntries.append(entry);
    return true;
}

bool CAddressFilter::Allows(const SSocketAddress& address) const
{
    if (m_listEntries.isEmpty())
        return true;
    int nFamily = 0;
    quint8 bytes[16] {};
    if (!AddressBytes(address, &nFamily, bytes))
        return false;
    for (const SEntry& entry : m_listEntries) {
        if (entry.nFamily == nFamily && SameLeadingBits(entry.bytes, bytes, entry.nBits))
            return true;
    }
    return false;
}
