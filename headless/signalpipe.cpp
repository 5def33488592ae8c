#include "signalpipe.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Write end used by the handler; -1 while no pipe exists.
volatile sig_atomic_t g_hWrite = -1;

extern "C" void OnSignal(int nSignal)
{
    const int nSavedErrno = errno;
    const unsigned char c = static_cast<unsigned char>(nSignal);
    // Non-blocking: if the pipe is full, signals are already waiting to be read.
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
        if (::sigaction(nSignal, &action, nullptr) != 0)
            return false;
    }
    return true;
}

void CSignalPipe::OnReadable()
{
    unsigned char buffer[64];
    for (;;) {
        const ssize_t n = ::read(m_hRead, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i)
            emit signalReceived(buffer[i]);
    }
}
