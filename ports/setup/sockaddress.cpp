#include "sockaddress.h"

#include "setup/setupstring.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

void SSocketAddress::SetPort(quint16 nPort)
{
    if (Family() == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = htons(nPort);
    else
        reinterpret_cast<sockaddr_in*>(&storage)->sin_port = htons(nPort);
}

quint16 SSocketAddress::Port() const
{
    if (Family() == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
}

QByteArray SSocketAddress::AddressText() const
{
    char text[INET6_ADDRSTRLEN] = {};
    if (Family() == AF_INET6) {
        const in6_addr& addr = reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&addr))
            ::inet_ntop(AF_INET, &addr.s6_addr[12], text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &addr, text, sizeof text);
    } else if (Family() == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr, text, sizeof text);
    }
    return QByteArray(text);
}

bool SSocketAddress::operator==(const SSocketAddress& other) const
{
    return nLength == other.nLength && std::memcmp(&storage, &other.storage, size_t(nLength)) == 0;
}

SSocketAddress IPv4Address(quint32 nAddressNetOrder, quint16 nPort)
{
    SSocketAddress address;
    auto* pIn = reinterpret_cast<sockaddr_in*>(&address.storage);
    pIn->sin_family = AF_INET;
    pIn->sin_addr.s_addr = nAddressNetOrder;
    pIn->sin_port = htons(nPort);
    address.nLength = sizeof(sockaddr_in);
    return address;
}

bool FirstAddressOf(const QByteArray& strName, int nFamily, int nFlags, SSocketAddress* pAddress)
{
    addrinfo hints {};
    hints.ai_family = nFamily;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = nFlags;
    addrinfo* pList = nullptr;
    if (::getaddrinfo(strName.constData(), nullptr, &hints, &pList) != 0 || !pList)
        return false;
    std::memcpy(&pAddress->storage, pList->ai_addr, pList->ai_addrlen);
    pAddress->nLength = socklen_t(pList->ai_addrlen);
    ::freeaddrinfo(pList);
    return true;
}

namespace {

// An IPv6 literal with its scope; numeric only, so no resolver is asked.
bool ParseIPv6(const QByteArray& strAddress, quint16 nPort, SSocketAddress* pAddress)
{
    if (!IsIPv6Literal(strAddress) || !FirstAddressOf(strAddress, AF_INET6, AI_NUMERICHOST, pAddress))
        return false;
    pAddress->SetPort(nPort);
    return true;
}

} // namespace

bool ParseNumericAddress(const QByteArray& strAddress, quint16 nPort, SSocketAddress* pAddress)
{
    const QByteArray strText = strAddress; // NUL-terminated copy
    in_addr addr {};
    if (::inet_aton(strText.constData(), &addr)) {
        *pAddress = IPv4Address(addr.s_addr, nPort);
        return true;
    }
    return ParseIPv6(strText, nPort, pAddress);
}

bool ParseLocalAddress(const QByteArray& strAddress, quint16 nPort, SSocketAddress* pAddress)
{
    if (strAddress.isEmpty()) {
        SSocketAddress any;
        auto* pIn6 = reinterpret_cast<sockaddr_in6*>(&any.storage);
        pIn6->sin6_family = AF_INET6;
        pIn6->sin6_addr = in6addr_any;
        pIn6->sin6_port = htons(nPort);
        any.nLength = sizeof(sockaddr_in6);
        *pAddress = any;
        return true;
    }
    in_addr addr {};
    if (::inet_pton(AF_INET, strAddress.constData(), &addr) == 1) {
        *pAddress = IPv4Address(addr.s_addr, nPort);
        return true;
    }
    return ParseIPv6(strAddress, nPort, pAddress);
}

QByteArray SSocketAddress::EndpointText() const
{
    return ",port:" + QByteArray::number(Port()) + ",addr:" + AddressText();
}
