#pragma once

// Options and state of a connected TCP socket shared by the socket ports.

// Keepalive probes: idle time before the first, interval, count. Best
// effort: a system without these options still relays, it only notices a
// vanished peer later.
void SetTcpKeepAlive(int hSocket, int nIdleSeconds, int nIntervalSeconds, int nProbes);
// Every block goes out as soon as it is handed over (no Nagle delay).
void SetTcpNoDelay(int hSocket);
// Data in flight or window probes, and no acknowledgement for nAckTimeoutMs:
// the peer is gone. A slow consumer answers the window probes, so it is
// never caught here.
bool IsTcpAckOverdue(int hSocket, int nAckTimeoutMs);
// The segment size of the connection, or 0 when the system does not say.
int TcpSegmentSize(int hSocket);
