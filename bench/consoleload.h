#pragma once

#include <atomic>
#include <thread>
#include <vector>

// What watching trelvaned's web console asks of it: open event streams,
// read as they come, and a scrape at a steady pace, from a thread of the
// benchmark's own.
class CConsoleLoad
{
public:
    static constexpr int kStreams = 50;
    static constexpr int kScrapeMs = 100;

    ~CConsoleLoad() { Stop(); }

    // Opens the streams on 127.0.0.1:nPort (trying for nTimeoutMs while the
    // relay comes up) and starts the scrapes; false when a stream did not open.
    bool Start(int nPort, int nTimeoutMs);
    void Stop();
    int Scrapes() const { return m_nScrapes; }
    int FailedScrapes() const { return m_nFailed; }
    long long StreamBytes() const { return m_nStreamBytes; }

private:
    void Run();
    bool Scrape();

    int m_nPort = 0;
    std::vector<int> m_streams;
    std::thread m_thread;
    std::atomic<bool> m_bStop {false};
    std::atomic<int> m_nScrapes {0};
    std::atomic<int> m_nFailed {0};
    std::atomic<long long> m_nStreamBytes {0};
};
