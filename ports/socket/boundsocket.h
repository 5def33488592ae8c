#pragma once

#include "setup/sockaddress.h"

// socket() + bind() of a non-blocking, close-on-exec socket. Binding the
// IPv6 "any" address takes IPv4 too; where the system has no IPv6 it falls
// back to the IPv4 "any" address. Returns the handle, or -1 with the
// Winsock error in *pnError.
int OpenBoundSocket(int nType, const SSocketAddress& local, int* pnError);
