#include "consoleload.h"

#include "benchnet.h"

#include <string>
#include <poll.h>
#include <unistd.h>

namespace {

const char kEvents[] = "GET /api/events HTTP/1.1\r\nHost: bench\r\nAccept: text/event-stream\r\n\r\n";
const char kMetrics[] = "GET /metrics HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";

} // namespace

bool CConsoleLoad::Start(int nPort, int nTimeoutMs)
{
    m_nPort = nPort;
    for (int i = 0; i < kStreams; ++i) {
        const int hSocket = ConnectLoopback(nPort, nTimeoutMs);
        if (hSocket < 0 || !WriteAll(hSocket, kEvents, sizeof kEvents - 1) || !WaitReadable(hSocket, nTimeoutMs)) {
            if (hSocket >= 0)
                ::close(hSocket);
            Stop();
            return false;
        }
        m_streams.push_back(hSocket);
    }
    m_bStop = false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CConsoleLoad::Stop()
{
    m_bStop = true;
    if (m_thread.joinable())
        m_thread.join();
    for (const int hSocket : m_streams)
        ::close(hSocket);
    m_streams.clear();
}

// One /metrics request on a new connection, read to the end of its body.
bool CConsoleLoad::Scrape()
{
    const int hSocket = ConnectLoopback(m_nPort, 1000);
    if (hSocket < 0)
        return false;
    bool bOk = WriteAll(hSocket, kMetrics, sizeof kMetrics - 1);
    std::string response;
    size_t nWanted = std::string::npos;
    char buffer[16384];
    while (bOk && response.size() < nWanted && WaitReadable(hSocket, 2000)) {
        const ssize_t n = ::read(hSocket, buffer, sizeof buffer);
        if (n <= 0)
            break;
        response.append(buffer, size_t(n));
        const size_t nEnd = response.find("\r\n\r\n");
        if (nWanted == std::string::npos && nEnd != std::string::npos) {
            const size_t nAt = response.find("Content-Length: ");
            bOk = response.compare(0, 12, "HTTP/1.1 200") == 0 && nAt < nEnd;
            if (bOk)
                nWanted = nEnd + 4 + std::stoul(response.substr(nAt + 16, nEnd - nAt - 16));
        }
    }
    ::close(hSocket);
    return bOk && response.size() == nWanted;
}

void CConsoleLoad::Run()
{
    std::vector<pollfd> fds;
    for (const int hSocket : m_streams)
        fds.push_back({hSocket, POLLIN, 0});
    double fNextScrape = NowSeconds();
    char buffer[65536];
    while (!m_bStop) {
        const double fNow = NowSeconds();
        if (fNow >= fNextScrape) {
            (Scrape() ? m_nScrapes : m_nFailed)++;
            fNextScrape += kScrapeMs / 1000.0;
            continue;
        }
        const int nWaitMs = int((fNextScrape - fNow) * 1000) + 1;
        if (::poll(fds.data(), fds.size(), nWaitMs) <= 0)
            continue;
        for (pollfd& fd : fds) {
            if (fd.revents == 0)
                continue;
            const ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
            if (n > 0)
                m_nStreamBytes += n;
            else
                fd.events = 0; // closed: not watched any more
        }
    }
}
