#pragma once

#include <QByteArray>

// Kind of port a setup string names, from its first three characters
// (compared case-sensitively).
enum class EPortKind { Serial, Tcp, Udp, Unknown };

EPortKind RecognisePortKind(const QByteArray& strSetup);

struct SWinsockSetup
{
    int nPort = 0;            // as converted; used modulo 65536
    QByteArray strAddress;    // every character after the first "," that follows ":"
};

// Limits of the two fields; longer fields are refused, never cut.
constexpr int kMaxPortField = 7;
constexpr int kMaxAddressField = 31;

// Splits "TCP:1025,127.0.0.1" / "UDP:..." into port and address.
// Returns 0, or 10/11 (TCP) and 12/13 (UDP) for a missing ":" / ",".
// Over-long fields give the code of a missing ",".
int SplitWinsockSetup(const QByteArray& strSetup, EPortKind kind, SWinsockSetup* pResult);

// The number rule of the port field: leading white space, optional sign,
// decimal digits up to the first other character; 0 without digits.
int ParsePortNumber(const QByteArray& strField);

// Setup strings are C strings: anything after an embedded NUL is ignored.
QByteArray SetupStringText(const QByteArray& strSetup);
