#pragma once

#include "setup/addressfilter.h"

#include <QByteArray>

// Options of a listening TCP port or a UDP port on a fixed local port,
// written after its local form, each after a ";":
//   TCP:4001;clients=refuse;allow=192.168.1.0/24+10.0.0.7+fd00::/8
//   TCP:4001;clients=4
//   TLS:4001;rfc2217;clients=refuse
// A "," never appears in them: a "," after the ":" makes a string a client
// form ("TCP:1;a=b,host" connects to host, port 1), as it always did.
struct SListenOptions
{
    enum EClients { Replace, Refuse, Share };
    // What a listening TCP port does with a second client: replace the
    // current one (the default), refuse the newcomer, or share the port
    // among up to nShared clients (refusing any beyond).
    EClients eClients = Replace;
    // clients=<N>: the most clients a shared port takes (2 to kMaxShared;
    // clients=1 is the same as clients=refuse).
    static constexpr int kMaxShared = 64;
    int nShared = 0;
    // Clients (TCP) or senders (UDP) taken; empty: everyone.
    CAddressFilter allow;
    // rfc2217: the connection is Telnet with the com port option; its
    // commands set the serial line at the other side (listening TCP only).
    bool bComPort = false;
    // Any option was written: the port also logs its clients' disconnects.
    bool bGiven = false;
    // TLS ports only, tls=<name>: the port's certificate files come from
    // the profile's section [TLS <name>] (empty: [TLS]).
    QByteArray strTlsSection;
};

// A section name of tls=: 1 to kMaxTlsSectionName letters, digits, '-' and
// '_'. False with the reason in *pstrProblem.
constexpr int kMaxTlsSectionName = 32;
bool IsTlsSectionName(const QByteArray& strName, QByteArray* pstrProblem);

// Parses the options after the local form (tls= is taken here for any
// kind; the setup string parser refuses it outside TLS ports), without the first ";" (every
// option, "name=value", is separated from the next by ";"; "allow" may be
// repeated, its addresses adding up). bTcp: a listening TCP port (else a
// UDP port, which takes no "clients"). False with the reason, naming the
// option, in *pstrProblem.
bool ParseListenOptions(const QByteArray& strOptions, bool bTcp, SListenOptions* pOptions, QByteArray* pstrProblem);
