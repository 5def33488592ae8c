#include "signalpipe.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Write end used by the handler; -1 while no pipe exists.
volatile sig_atomic_t g_hWrite = -1;
// One mark per signal number, set by the handler, taken by the loop.
std::atomic<bool> g_pending[NSIG];
static_assert(std::atomic<bool>::is_always_lock_free, "the handler needs lock-free flags");

extern "C" void OnSignal(int nSignal)
{
    const int nSavedErrno = errno;
    if (nSignal > 0 && nSignal < NSIG)
        g_pending[nSignal].store(true);
    const unsigned char c = 1;
    // Non-blocking: a full pair already holds a wake-up.
    [[maybe_unused]] const ssize_t n = ::write(g_hWrite, &c, 1);
    errno = nSavedErrno;
}

} // namespace

CSignalPipe::CSignalPipe(QObject* pParent)
    : QObject(pParent)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    m_hRead = fds[0];
    g_hWrite = fds[1];
    m_pNotifier = new QSocketNotifier(m_hRead, QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CSignalPipe::OnReadable);
}

CSignalPipe::~CSignalPipe()
{
    if (m_hRead < 0)
        return;
    const int hWrite = g_hWrite;
    g_hWrite = -1;
    ::close(hWrite);
    ::close(m_hRead);
}

bool CSignalPipe::Watch(std::initializer_list<int> signalNumbers)
{
    if (m_hRead < 0)
        return false;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int nSignal : signalNumbers) {
        if (nSignal <= 0 || nSignal >= NSIG) {
            errno = EINVAL;
            return false;
        }
        if (::sigaction(nSignal, &action, nullptr) != 0)
            return false;
        m_watched.push_back(nSignal);
    }
    return true;
}

void CSignalPipe::OnReadable()
{
    // Drain the wake-ups first: a signal that arrives after this still
    // writes a new one, so its mark is never left unseen.
    unsigned char buffer[256];
    while (::read(m_hRead, buffer, sizeof buffer) > 0) {
    }
    for (int nSignal : m_watched) {
        if (g_pending[nSignal].exchange(false))
            emit signalReceived(nSignal);
    }
}
