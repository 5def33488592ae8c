#pragma once

#include <cstddef>
#include <cstdint>

// Loopback plumbing for the benchmark peers: listeners, blocking reads and
// writes, the byte pattern every stream carries and a monotonic clock.

// A TCP listener on 127.0.0.1 with a port the system picks; -1 on failure.
int ListenLoopback(int* pnPort);
// A UDP socket bound to 127.0.0.1 with a port the system picks.
int BindUdpLoopback(int* pnPort);
// Accepts one connection on each listener within nTimeoutMs, whichever
// connects first. False (both results -1) on time-out.
bool AcceptBoth(int hListenA, int* phA, int hListenB, int* phB, int nTimeoutMs);
// Accepts one connection within nTimeoutMs, -1 on time-out.
int AcceptOne(int hListen, int nTimeoutMs);
// A loopback TCP port nobody listens on at the moment.
int FreeLoopbackPort();
// Connects to 127.0.0.1:nPort, trying again until something listens there
// or nTimeoutMs has passed (-1).
int ConnectLoopback(int nPort, int nTimeoutMs);

bool WriteAll(int hFd, const char* pData, size_t nLen);
bool ReadExact(int hFd, char* pData, size_t nLen);
void SetNoDelay(int hFd);
// Waits until the descriptor is readable; false after nTimeoutMs.
bool WaitReadable(int hFd, int nTimeoutMs);

// Seconds on the monotonic clock.
double NowSeconds();

// The stream every sender writes: byte i of the stream is Pattern()[i % kPeriod].
// The period is a prime, so a lost, doubled or reordered block of any
// realistic size shifts the pattern and shows up in the comparison.
constexpr size_t kPatternPeriod = 1000003;
// Reads and writes are at most this long, so Pattern(pos) + kChunk is valid.
constexpr size_t kChunk = 65536;
const char* Pattern(uint64_t nPos);
