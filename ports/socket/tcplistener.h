#pragma once

#include "setup/sockaddress.h"

#include <QByteArray>
#include <QObject>

#include <functional>

class QSocketNotifier;

// Closes an accepted client that is not taken, after sending it strLine
// (may be empty: nothing is sent). Never waits.
void TurnAwayClient(int hClient, const QByteArray& strLine);

// The listening socket of a listening TCP port; hands every client it
// accepts to its port. When the gateway restarts (the port's client has
// closed, a Startup / Reset, a reload), the listening socket outlives the
// port (KeepForRestart): the next run's listener for the same setup takes
// it over, so a client that connects within the restart gap waits in the
// backlog instead of being reset or refused. A kept socket that no run
// takes over is closed after kKeepMs, or at once when a listener of
// another setup needs its port.
class CTcpListener : public QObject
{
public:
    static constexpr int kKeepMs = 2000;

    // fnReady: whether the port can take a client now (else it waits in the
    // backlog and is offered a moment later); fnAccept takes the handle.
    using FReady = std::function<bool()>;
    using FAccept = std::function<void(int hClient, const SSocketAddress& peer)>;

    // Listens on the local address; strKey names the setup that a kept
    // socket may be taken over by. nullptr with the Winsock error on failure.
    static CTcpListener* Open(const QByteArray& strKey, const SSocketAddress& local, int* pnError);
    ~CTcpListener() override;

    void SetAccept(FReady fnReady, FAccept fnAccept)
    {
        m_fnReady = std::move(fnReady);
        m_fnAccept = std::move(fnAccept);
    }
    // Accepting starts with Resume (once the port is recorded).
    void Resume();
    void KeepForRestart();
    quint16 LocalPort() const;
    int Handle() const { return m_hListen; }

private:
    CTcpListener(const QByteArray& strKey, int hListen);
    void OnAcceptable();
    void PauseFor(int nMs);

    QByteArray m_strKey;
    int m_hListen = -1;
    bool m_bKeep = false;
    QSocketNotifier* m_pNotifier = nullptr;
    FReady m_fnReady;
    FAccept m_fnAccept;
};
