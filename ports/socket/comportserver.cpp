#include "socket/comportserver.h"

#include "portowner.h"
#include "socket/portsocket.h"
#include "stream/streamio.h"
#include "stream/telnetlayer.h"

#include <memory>

CComPortServer::CComPortServer(CPortSocket* pPort, IPortOwner* pOwner, const SSocketAddress& peer,
                               std::function<void()> fnHeld)
    : m_pPort(pPort), m_pOwner(pOwner), m_peer(peer), m_fnHeld(std::move(fnHeld))
{
    m_pPort->AddLineSession(this);
}

CComPortServer::~CComPortServer()
{
    m_pPort->RemoveLineSession(this);
}

void CComPortServer::Attach(CStreamIo& stream, int hSocket)
{
    auto pLayer = std::make_unique<CTelnetLayer>(stream.Top(hSocket), *this, ETelnetRole::Server);
    m_pLayer = pLayer.get();
    stream.Push(std::move(pLayer));
    m_pLayer->Start();
    if (m_pLayer->HasHeldOutput())
        m_fnHeld();
}

void CComPortServer::OnSubnegotiation(uchar nOption, QByteArrayView payload)
{
    if (nOption != Telnet::kComPort)
        return;
    const std::optional<SComPortMessage> message = ParseComPortMessage(payload);
    // A malformed message, or a server's message from a client, gets nothing.
    if (!message || message->bFromServer)
        return;
    OnCommand(*message);
}

void CComPortServer::OnTelnetOption(uchar nOption, bool /*bOurs*/, bool bEnabled)
{
    if (nOption != Telnet::kComPort || !bEnabled || m_bAnnounced)
        return;
    m_bAnnounced = true;
    SComPortMessage poll;
    poll.eCommand = EComCommand::NotifyModemState;
    bool bChanged = false;
    SComPortMessage state = m_pOwner->OnLineCommand(m_pPort, poll, &bChanged);
    state.nValue &= m_nModemMask;
    Answer(state);
}

void CComPortServer::OnCommand(const SComPortMessage& message)
{
    SComPortMessage answer = message;
    switch (message.eCommand) {
    case EComCommand::Signature:
        // Asked for ours, or told the client's: ours either way.
        answer.strText = kSignature;
        break;
    case EComCommand::SetLineStateMask:
        m_nLineMask = uchar(message.nValue);
        break;
    case EComCommand::SetModemStateMask:
        m_nModemMask = uchar(message.nValue);
        break;
    case EComCommand::NotifyLineState:
        // A poll: no error waits to be told.
        answer.nValue = 0;
        break;
    case EComCommand::FlowControlSuspend:
    case EComCommand::FlowControlResume:
        // No answer: the server's codes would ask the client to suspend.
        // The data keeps flowing; TCP holds it while the client does not read.
        return;
    default: {
        bool bChanged = false;
        answer = m_pOwner->OnLineCommand(m_pPort, message, &bChanged);
        if (bChanged && !IsComPortQuery(message)) {
            m_bChanged = true;
            LogChange(answer);
        }
        break;
    }
    }
    Answer(answer);
}

void CComPortServer::Answer(SComPortMessage message)
{
    message.bFromServer = true;
    m_pLayer->SendSubnegotiation(Telnet::kComPort, BuildComPortMessage(message));
    if (m_pLayer->HasHeldOutput())
        m_fnHeld();
}

void CComPortServer::LogChange(const SComPortMessage& answer)
{
    // A client that floods commands must not flood the list: a bounded
    // number of lines per window, the rest summed up in the next window.
    if (!m_logWindow.isValid() || m_logWindow.elapsed() >= kLogWindowMs) {
        if (m_nNotLogged > 0) {
            m_pOwner->AddMessage("RFC2217 Set," + QByteArray::number(m_nNotLogged) + " changes not listed"
                                 + m_peer.EndpointText());
        }
        m_logWindow.start();
        m_nLogLines = 0;
        m_nNotLogged = 0;
    }
    if (m_nLogLines == kMaxLogLines) {
        ++m_nNotLogged;
        return;
    }
    ++m_nLogLines;
    SComPortMessage request = answer;
    request.bFromServer = false;
    m_pOwner->AddMessage("RFC2217 Set," + DescribeComPortMessage(request) + m_peer.EndpointText());
}

void CComPortServer::NotifyModemState(uchar nState)
{
    // The lines that changed, as their state bits as well.
    const uchar nDelta = nState & 0x0f;
    if (((nDelta | uchar(nDelta << 4)) & m_nModemMask) == 0 || !m_pLayer)
        return;
    SComPortMessage message;
    message.eCommand = EComCommand::NotifyModemState;
    message.nValue = nState & m_nModemMask;
    Answer(message);
}

void CComPortServer::NotifyLineState(uchar nState)
{
    if ((nState & m_nLineMask) == 0 || !m_pLayer)
        return;
    SComPortMessage message;
    message.eCommand = EComCommand::NotifyLineState;
    message.nValue = nState & m_nLineMask;
    Answer(message);
}
