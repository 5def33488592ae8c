#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

// Watches a connected TCP socket for its peer's FIN, a reset or an error
// while the socket is not read (its reading paused), without reading it:
// an epoll set of its own holds the socket for EPOLLRDHUP only (a hang-up
// and an error are always reported), and a notifier watches that set.
// Bytes waiting unread do not wake it, so a paused port does not spin.
class CHangUpWatch : public QObject
{
public:
    // fnHangUp(nError) once the peer has closed or the connection failed:
    // nError is the socket's pending error (errno), 0 for a plain FIN. The
    // watch is off again by then.
    CHangUpWatch(int hSocket, std::function<void(int nError)> fnHangUp, QObject* pParent);
    ~CHangUpWatch() override;
    CHangUpWatch(const CHangUpWatch&) = delete;
    CHangUpWatch& operator=(const CHangUpWatch&) = delete;

    // On while the socket's reading is paused. False when the system has
    // no epoll set for it (the close is then seen at the next read).
    bool SetEnabled(bool bOn);
    // Switches the watch off and lets the event loop delete it (it may be
    // the one reporting now); rpWatch is null afterwards.
    static void Discard(CHangUpWatch*& rpWatch);

private:
    void OnActivated();

    int m_hSocket;
    int m_hEpoll = -1;
    QSocketNotifier* m_pNotifier = nullptr;
    std::function<void(int)> m_fnHangUp;
};
