#pragma once

#include <QByteArray>

#include <sys/socket.h>

// An IPv4 or IPv6 socket address with its port.
struct SSocketAddress
{
    sockaddr_storage storage {};
    socklen_t nLength = 0;

    bool IsValid() const { return nLength > 0; }
    int Family() const { return storage.ss_family; }
    const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    sockaddr* Get() { return reinterpret_cast<sockaddr*>(&storage); }
    void SetPort(quint16 nPort);
    quint16 Port() const;
    // "127.0.0.1" or "::1" (an IPv4 address mapped into IPv6 shows as IPv4).
    QByteArray AddressText() const;
    // ",port:<port>,addr:<address>": how the Message list names a client.
    QByteArray EndpointText() const;
    bool operator==(const SSocketAddress& other) const;
};

SSocketAddress IPv4Address(quint32 nAddressNetOrder, quint16 nPort);

// A remote address written as a number: what inet_aton takes (IPv4, as
// always), or an IPv6 literal with an optional "%scope". Never asks the
// resolver. False for anything else (a host name).
bool ParseNumericAddress(const QByteArray& strAddress, quint16 nPort, SSocketAddress* pAddress);

// The first address getaddrinfo gives for strName in that family (port 0).
// With AI_NUMERICHOST in nFlags it never asks the resolver.
bool FirstAddressOf(const QByteArray& strName, int nFamily, int nFlags, SSocketAddress* pAddress);

// The local address of a local-form setup string: empty means every
// interface, IPv6 and IPv4 on one socket where the system has IPv6.
bool ParseLocalAddress(const QByteArray& strAddress, quint16 nPort, SSocketAddress* pAddress);
