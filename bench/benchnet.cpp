#include "benchnet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

int BindLoopback(int nType, int* pnPort)
{
    const int hFd = ::socket(AF_INET, nType | SOCK_CLOEXEC, 0);
    if (hFd < 0)
        return -1;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nSize = sizeof addr;
    if (::bind(hFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
        || (nType == SOCK_STREAM && ::listen(hFd, 4) != 0)
        || ::getsockname(hFd, reinterpret_cast<sockaddr*>(&addr), &nSize) != 0) {
        ::close(hFd);
        return -1;
    }
    *pnPort = ntohs(addr.sin_port);
    return hFd;
}

} // namespace

int ListenLoopback(int* pnPort)
{
    return BindLoopback(SOCK_STREAM, pnPort);
}

int BindUdpLoopback(int* pnPort)
{
    return BindLoopback(SOCK_DGRAM, pnPort);
}

int FreeLoopbackPort()
{
    int nPort = 0;
    const int hFd = BindLoopback(SOCK_STREAM, &nPort);
    if (hFd < 0)
        return 0;
    ::close(hFd);
    return nPort;
}

int ConnectLoopback(int nPort, int nTimeoutMs)
{
    const double fDeadline = NowSeconds() + nTimeoutMs / 1000.0;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(nPort));
    do {
        const int hFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (hFd < 0)
            return -1;
        if (::connect(hFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            return hFd;
        ::close(hFd);
        ::usleep(20000); // the relay is still starting
    } while (NowSeconds() < fDeadline);
    return -1;
}

bool AcceptBoth(int hListenA, int* phA, int hListenB, int* phB, int nTimeoutMs)
{
    *phA = -1;
    *phB = -1;
    const double fDeadline = NowSeconds() + nTimeoutMs / 1000.0;
    while (*phA < 0 || *phB < 0) {
        const int nLeft = int((fDeadline - NowSeconds()) * 1000);
        if (nLeft <= 0)
            break;
        pollfd fds[2] = {{hListenA, POLLIN, 0}, {hListenB, POLLIN, 0}};
        if (*phA >= 0)
            fds[0].fd = -1;
        if (*phB >= 0)
            fds[1].fd = -1;
        if (::poll(fds, 2, nLeft) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN)
            *phA = ::accept4(hListenA, nullptr, nullptr, SOCK_CLOEXEC);
        if (fds[1].revents & POLLIN)
            *phB = ::accept4(hListenB, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (*phA >= 0 && *phB >= 0)
        return true;
    for (int* ph : {phA, phB}) {
        if (*ph >= 0)
            ::close(*ph);
        *ph = -1;
    }
    return false;
}

int AcceptOne(int hListen, int nTimeoutMs)
{
    if (!WaitReadable(hListen, nTimeoutMs))
        return -1;
    return ::accept4(hListen, nullptr, nullptr, SOCK_CLOEXEC);
}

bool WriteAll(int hFd, const char* pData, size_t nLen)
{
    while (nLen > 0) {
        const ssize_t n = ::write(hFd, pData, nLen);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        pData += n;
        nLen -= size_t(n);
    }
    return true;
}

bool ReadExact(int hFd, char* pData, size_t nLen)
{
    while (nLen > 0) {
        const ssize_t n = ::read(hFd, pData, nLen);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
        pData += n;
        nLen -= size_t(n);
    }
    return true;
}

void SetNoDelay(int hFd)
{
    const int nOn = 1;
    ::setsockopt(hFd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
}

bool WaitReadable(int hFd, int nTimeoutMs)
{
    pollfd fd {hFd, POLLIN, 0};
    for (;;) {
        const int n = ::poll(&fd, 1, nTimeoutMs);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0;
    }
}

double NowSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

const char* Pattern(uint64_t nPos)
{
    static const std::vector<char> s_pattern = [] {
        std::vector<char> pattern(kPatternPeriod + kChunk);
        std::mt19937 generator(20261208);
        for (size_t i = 0; i < kPatternPeriod; ++i)
            pattern[i] = char(generator());
        for (size_t i = 0; i < kChunk; ++i)
            pattern[kPatternPeriod + i] = pattern[i];
        return pattern;
    }();
    return s_pattern.data() + nPos % kPatternPeriod;
}
