#pragma once

#include <QByteArray>
#include <QObject>

#include <functional>

class CTlsSession;
class QSocketNotifier;
class QTimer;

// Runs a TLS handshake to its end from the event loop's readiness
// notifications, within a time limit. fnDone(bOk, strWhy) runs once; the
// object may be deleted (deleteLater) from it. Cancel gives the handshake
// up silently.
class CTlsHandshake : public QObject
{
public:
    using FDone = std::function<void(bool bOk, const QByteArray& strWhy)>;

    CTlsHandshake(CTlsSession* pSession, int hSocket, int nTimeoutMs, FDone fnDone, QObject* pParent = nullptr);
    // Takes the first step (fnDone may run before it returns).
    void Start();
    // Gives the handshake up: nothing runs any more (the session may go).
    void Cancel();

private:
    void Step();
    void Finish(bool bOk, const QByteArray& strWhy);

    CTlsSession* m_pSession;
    FDone m_fnDone;
    int m_nTimeoutMs;
    QSocketNotifier* m_pReadNotifier;
    QSocketNotifier* m_pWriteNotifier;
    QTimer* m_pTimer;
};
