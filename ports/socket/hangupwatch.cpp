#include "socket/hangupwatch.h"

#include <QSocketNotifier>

#include <cerrno>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

CHangUpWatch::CHangUpWatch(int hSocket, std::function<void(int nError)> fnHangUp, QObject* pParent)
    : QObject(pParent), m_hSocket(hSocket), m_fnHangUp(std::move(fnHangUp))
{
    m_hEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_hEpoll < 0)
        return;
    epoll_event event {};
    event.events = EPOLLRDHUP;
    event.data.fd = hSocket;
    if (::epoll_ctl(m_hEpoll, EPOLL_CTL_ADD, hSocket, &event) != 0) {
        ::close(m_hEpoll);
        m_hEpoll = -1;
        return;
    }
    m_pNotifier = new QSocketNotifier(m_hEpoll, QSocketNotifier::Read, this);
    m_pNotifier->setEnabled(false);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CHangUpWatch::OnActivated);
}

CHangUpWatch::~CHangUpWatch()
{
    delete m_pNotifier;
    if (m_hEpoll >= 0)
        ::close(m_hEpoll);
}

bool CHangUpWatch::SetEnabled(bool bOn)
{
    if (!m_pNotifier)
        return false;
    if (m_pNotifier->isEnabled() != bOn)
        m_pNotifier->setEnabled(bOn);
    return true;
}

void CHangUpWatch::Discard(CHangUpWatch*& rpWatch)
{
    if (!rpWatch)
        return;
    rpWatch->SetEnabled(false);
    rpWatch->deleteLater();
    rpWatch = nullptr;
}

void CHangUpWatch::OnActivated()
{
    epoll_event event {};
    int n;
    do
        n = ::epoll_wait(m_hEpoll, &event, 1, 0);
    while (n < 0 && errno == EINTR);
    if (n <= 0)
        return;
    // Level-triggered: it stays reported, so the watch ends here.
    m_pNotifier->setEnabled(false);
    int nError = 0;
    socklen_t nSize = sizeof nError;
    ::getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &nSize);
    if (nError == 0 && (event.events & EPOLLERR))
        nError = ECONNRESET;
    m_fnHangUp(nError);
}
