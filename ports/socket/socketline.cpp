// The com port option (rfc2217) of a listening port: its clients' sessions
// and the serial line's news for them.

#include "socket/portsocket.h"

#include "portowner.h"
#include "socket/comportserver.h"

#include <algorithm>

std::unique_ptr<CComPortServer> CPortSocket::ServeComPort(CStreamIo& stream, int hSocket, const SSocketAddress& peer,
                                                          std::function<void()> fnHeld)
{
    if (!m_listenOptions.bComPort)
        return nullptr;
    auto pSession = std::make_unique<CComPortServer>(this, m_pOwner, peer, std::move(fnHeld));
    pSession->Attach(stream, hSocket);
    return pSession;
}

void CPortSocket::AddLineSession(CComPortServer* pSession)
{
    m_lineSessions.push_back(pSession);
}

void CPortSocket::RemoveLineSession(CComPortServer* pSession)
{
    std::erase(m_lineSessions, pSession);
    if (pSession->HasChangedLine())
        m_bLineChanged = true;
    if (!m_lineSessions.empty() || !m_bLineChanged)
        return;
    m_bLineChanged = false;
    // From the event loop: a session goes inside the port's own calls.
    QMetaObject::invokeMethod(this, [this] { m_pOwner->OnLineReleased(this); }, Qt::QueuedConnection);
}

void CPortSocket::NotifyModemState(uchar nState)
{
    // A copy: a send may end a session.
    const std::vector<CComPortServer*> sessions = m_lineSessions;
    for (CComPortServer* pSession : sessions) {
        if (std::find(m_lineSessions.begin(), m_lineSessions.end(), pSession) != m_lineSessions.end())
            pSession->NotifyModemState(nState);
    }
}

void CPortSocket::NotifyLineState(uchar nState)
{
    const std::vector<CComPortServer*> sessions = m_lineSessions;
    for (CComPortServer* pSession : sessions) {
        if (std::find(m_lineSessions.begin(), m_lineSessions.end(), pSession) != m_lineSessions.end())
            pSession->NotifyLineState(nState);
    }
}
