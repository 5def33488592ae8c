#pragma once

#include "setup/listenoptions.h"

#include <QByteArray>

// Kind of port a setup string names, from its first three characters
// (compared case-sensitively). Tls: a TCP port with TLS ("TLS:...").
enum class EPortKind { Serial, Tcp, Udp, Tls, Unknown };

EPortKind RecognisePortKind(const QByteArray& strSetup);

struct SWinsockSetup
{
    int nPort = 0;            // as converted; used modulo 65536
    QByteArray strAddress;    // client form: the remote address, every character after the ","
                              // local form: the local address after "@", empty for every interface
    // Local form ("TCP:<port>[@<address>]", "UDP:<port>[@<address>]"): a
    // listening TCP port, or a UDP port on a fixed local port.
    bool bLocal = false;
    // Local form: the options after ";" ("TCP:4001;clients=refuse"). TLS
    // client form: only strTlsSection, from "TLS:<port>;tls=<name>,<host>".
    SListenOptions options;
};

// Limits of the two fields; longer fields are refused, never cut. An IPv6
// literal may be longer than the address limit: up to 45 characters plus a
// "%scope" of at most 15.
constexpr int kMaxPortField = 7;
constexpr int kMaxAddressField = 31;
constexpr int kMaxIPv6Literal = 45;
constexpr int kMaxIPv6Scope = 15;
constexpr int kMaxTlsHost = 253;

// Splits "TCP:1025,127.0.0.1" / "UDP:..." into port and address, and the
// local forms "TCP:4001", "TCP:4001@::1" into port and local address.
// Returns 0, or 10/11 (TCP) and 12/13 (UDP) for a missing ":" / ",".
// TLS strings are taken only in the exact forms "TLS:<port>[;tls=<name>],<host>"
// (port 1-65535, host a name of up to kMaxTlsHost characters or an address)
// and "TLS:<port>[@<address>][;options]" (options as for TCP, and tls=<name>);
// every other one gives 20, the code of an unknown kind.
// Over-long fields and refused options of a local form give the code of a
// missing ","; pstrOptionsProblem (optional) then says what is wrong with
// the options (empty when the rest of the string is at fault).
int SplitWinsockSetup(const QByteArray& strSetup, EPortKind kind, SWinsockSetup* pResult,
                      QByteArray* pstrOptionsProblem = nullptr);

// The number rule of the port field: leading white space, optional sign,
// decimal digits up to the first other character; 0 without digits.
int ParsePortNumber(const QByteArray& strField);

// An IPv6 address written as a literal, with an optional "%scope"
// (interface name or number); no host names, no brackets.
bool IsIPv6Literal(const QByteArray& strAddress);

// Setup strings are C strings: anything after an embedded NUL is ignored.
QByteArray SetupStringText(const QByteArray& strSetup);
