#include "tlshandshake.h"

#include "stream/tlssession.h"

#include <QSocketNotifier>
#include <QTimer>

#include <utility>

CTlsHandshake::CTlsHandshake(CTlsSession* pSession, int hSocket, int nTimeoutMs, FDone fnDone, QObject* pParent)
    : QObject(pParent), m_pSession(pSession), m_fnDone(std::move(fnDone)), m_nTimeoutMs(nTimeoutMs),
      m_pReadNotifier(new QSocketNotifier(hSocket, QSocketNotifier::Read, this)),
      m_pWriteNotifier(new QSocketNotifier(hSocket, QSocketNotifier::Write, this)), m_pTimer(new QTimer(this))
{
    m_pReadNotifier->setEnabled(false);
    m_pWriteNotifier->setEnabled(false);
    connect(m_pReadNotifier, &QSocketNotifier::activated, this, &CTlsHandshake::Step);
    connect(m_pWriteNotifier, &QSocketNotifier::activated, this, &CTlsHandshake::Step);
    m_pTimer->setSingleShot(true);
    // A handshake is given its full time (a coarse timer may fire early).
    m_pTimer->setTimerType(Qt::PreciseTimer);
    connect(m_pTimer, &QTimer::timeout, this, [this] {
        Finish(false, "no TLS handshake within " + QByteArray::number(m_nTimeoutMs / 1000) + " s");
    });
}

void CTlsHandshake::Start()
{
    m_pTimer->start(m_nTimeoutMs);
    Step();
}

void CTlsHandshake::Step()
{
    if (!m_fnDone)
        return;
    m_pReadNotifier->setEnabled(false);
    m_pWriteNotifier->setEnabled(false);
    const int nResult = m_pSession->Handshake();
    if (nResult == 1)
        Finish(true, {});
    else if (nResult == CTlsSession::kWouldBlock)
        (m_pSession->WantsWrite() ? m_pWriteNotifier : m_pReadNotifier)->setEnabled(true);
    else
        Finish(false, m_pSession->ErrorText());
}

void CTlsHandshake::Cancel()
{
    m_pTimer->stop();
    // The socket's own notifiers take over from here: these stay off.
    m_pReadNotifier->setEnabled(false);
    m_pWriteNotifier->setEnabled(false);
    m_fnDone = nullptr;
}

void CTlsHandshake::Finish(bool bOk, const QByteArray& strWhy)
{
    auto fnDone = std::exchange(m_fnDone, {});
    Cancel();
    if (fnDone)
        fnDone(bOk, strWhy);
}
