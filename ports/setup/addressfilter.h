#pragma once

#include "setup/sockaddress.h"

#include <QByteArray>
#include <QList>

// The addresses a listening port takes clients (TCP) or datagrams (UDP)
// from: IPv4 and IPv6 addresses and prefixes ("10.0.0.7", "192.168.1.0/24",
// "fd00::/8"). Empty: every address. An IPv4 client of a port that listens
// on IPv6 and IPv4 at once (its address mapped into IPv6) is matched by the
// IPv4 entries, and so is an entry written as a mapped address
// ("::ffff:10.0.0.7", "::ffff:0:0/96": every IPv4 client).
class CAddressFilter
{
public:
    // Adds one entry; false (nothing added) for anything but an address
    // written as numbers with an optional "/<prefix length>".
    bool Add(const QByteArray& strEntry);
    bool IsEmpty() const { return m_listEntries.isEmpty(); }
    bool Allows(const SSocketAddress& address) const;

private:
    struct SEntry
    {
        int nFamily = 0;
        quint8 bytes[16] {};
        int nBits = 0;
    };
    QList<SEntry> m_listEntries;
};
