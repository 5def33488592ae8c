#include "openport.h"

#include "portowner.h"
#include "remoteopening.h"
#include "serial/commport.h"
#include "setup/portfailure.h"
#include "setup/serialurl.h"
#include "setup/wsaerror.h"
#include "socket/portsocket.h"
#include "socket/tcplistener.h"
#include "stream/tlscontext.h"
#include "stream/tlscontextstore.h"

#include <QFile>

#include <netinet/in.h>

namespace {

// After the reason TLS files on disk cannot be used.
QByteArray KeptText()
{
    return "; the files loaded before stay in use";
}

QByteArray Endpoint(int nPort, const QByteArray& strAddress)
{
    return ",port:" + QByteArray::number(nPort) + ",addr:" + strAddress;
}

// The socket's own end: any address of the destination's family.
SSocketAddress AnyLocalFor(const SSocketAddress& peer)
{
    SSocketAddress local;
    if (peer.Family() == AF_INET6)
        ParseLocalAddress(QByteArray(), 0, &local);
    else
        local = IPv4Address(htonl(INADDR_ANY), 0);
    return local;
}

} // namespace

CPortOpening::CPortOpening(const QByteArray& strSetup, const QByteArray& strInitial, bool bInput,
                           bool bDetectCarrier, IPortOwner* pOwner)
    : m_strSetup(SetupStringText(strSetup)), m_strInitial(strInitial), m_bInput(bInput),
      m_bDetectCarrier(bDetectCarrier), m_pOwner(pOwner)
{
}

CPortOpening::~CPortOpening()
{
    DropPort();
    m_pRemote.reset();
}

void CPortOpening::DropPort()
{
    delete m_pSerial;
    m_pSerial = nullptr;
    if (m_pSocket) {
        // Possibly inside one of its own notifications: closed now, deleted
        // from the event loop.
        m_pSocket->Close();
        m_pSocket->deleteLater();
        m_pSocket = nullptr;
    }
}

void CPortOpening::TakePort(CCommPort** ppSerial, CPortSocket** ppSocket)
{
    *ppSerial = std::exchange(m_pSerial, nullptr);
    *ppSocket = std::exchange(m_pSocket, nullptr);
}

void CPortOpening::ReportFailure(int eWhat, int nError, const QByteArray& strDetail)
{
    SPortFailure failure;
    failure.m_eWhat = SPortFailure::EWhat(eWhat);
    failure.m_bInput = m_bInput;
    failure.m_strSetup = m_strSetup;
    failure.m_nError = nError;
    failure.m_strDetail = strDetail;
    m_pOwner->OnPortFailure(failure);
}

// A socket that could not be made: its "<kind> Create Error" line and the
// explanation.
void CPortOpening::ReportCreateError(const char* pszKind, int nError)
{
    m_pOwner->AddMessage(pszKind + QByteArrayLiteral(" Create Error:") + QByteArray::number(nError)
                         + Endpoint(m_setup.nPort, m_setup.strAddress));
    ReportFailure(SPortFailure::SocketCreate, nError);
}

void CPortOpening::Finish(int nResult)
{
    if (nResult != 0)
        DropPort();
    auto fnDone = std::move(m_fnDone);
    m_fnDone = nullptr;
    fnDone(nResult);
}

void CPortOpening::FinishLater(int nResult)
{
    // The caller may delete the port it is handed: never from inside that
    // port's own notification.
    QMetaObject::invokeMethod(this, [this, nResult] { Finish(nResult); }, Qt::QueuedConnection);
}

void CPortOpening::Start(FDone fnDone)
{
    m_fnDone = std::move(fnDone);
    const EPortKind kind = RecognisePortKind(m_strSetup);
    if (kind == EPortKind::Unknown) {
        m_pOwner->AddMessage("Invalid Setup String!");
        ReportFailure(SPortFailure::SetupString);
        Finish(20);
        return;
    }
    if (kind == EPortKind::Serial) {
        OpenSerial();
        return;
    }
    if (const int nCode = SplitWinsockSetup(m_strSetup, kind, &m_setup)) {
        m_pOwner->AddMessage("Invalid Setup String!");
        ReportFailure(SPortFailure::SetupString);
        Finish(nCode);
        return;
    }
    if (kind == EPortKind::Tcp || kind == EPortKind::Tls) {
        m_bTls = kind == EPortKind::Tls;
        // Certificate problems show before anything connects or listens.
        if (m_bTls && !MakeTlsContext(m_setup.bLocal))
            return;
        if (m_setup.bLocal)
            OpenTcpListener();
        else
            OpenTcp();
        return;
    }
    m_pOwner->AddMessage("Create UDP...");
    OpenUdp();
}

bool CPortOpening::MakeTlsContext(bool bServer)
{
    const STlsConfig config = m_pOwner->TlsConfig(m_setup.options.strTlsSection);
    const CTlsContext::ERole eRole = bServer ? CTlsContext::Server : CTlsContext::Client;
    CTlsContextStore::SResult result;
    if (CTlsContextStore* pStore = m_pOwner->TlsContexts())
        result = pStore->Get(config, eRole);
    else
        result.pContext = CTlsContext::Create(config, eRole, &result.strError);
    m_pTlsContext = result.pContext;
    if (m_pTlsContext) {
        if (!result.strKept.isEmpty())
            m_pOwner->AddMessage("TLS Setup Warning:" + result.strKept + KeptText());
        // Usable now, but not for long, or not safe.
        for (const QByteArray& strWarning : m_pTlsContext->Warnings())
            m_pOwner->AddMessage("TLS Setup Warning:" + strWarning);
        return true;
    }
    m_pOwner->AddMessage("TLS Setup Error:" + result.strError);
    ReportFailure(SPortFailure::TlsSetup, 0, result.strError);
    Finish(2);
    return false;
}

// A listening port: each newcomer's handshake takes the files as they are
// on disk now.
std::function<std::shared_ptr<CTlsContext>()> CPortOpening::TlsRenewal() const
{
    CTlsContextStore* pStore = m_pOwner->TlsContexts();
    if (!pStore)
        return {};
    IPortOwner* pOwner = m_pOwner;
    const STlsConfig config = pOwner->TlsConfig(m_setup.options.strTlsSection);
    return [pStore, pOwner, config] {
        const CTlsContextStore::SResult result = pStore->Get(config, CTlsContext::Server);
        if (!result.strKept.isEmpty())
            pOwner->AddMessage("TLS Setup Warning:" + result.strKept + KeptText());
        if (result.bRenewed) {
            pOwner->AddMessage("TLS Certificate Renewed:[" + config.strSection.toUtf8()
                               + "] Certificate=" + QFile::encodeName(config.strCertificate));
            for (const QByteArray& strWarning : result.pContext->Warnings())
                pOwner->AddMessage("TLS Setup Warning:" + strWarning);
        }
        return result.pContext;
    };
}

void CPortOpening::OnTcpReady()
{
    if (!m_bTls) {
        SendInitial();
        return;
    }
    m_pSocket->StartTls(m_pTlsContext, m_setup.strAddress, [this](bool bOk, const QByteArray& strWhy) {
        QMetaObject::invokeMethod(this, [this, bOk, strWhy] { OnTlsDone(bOk, strWhy); }, Qt::QueuedConnection);
    });
}

void CPortOpening::OnTlsDone(bool bOk, const QByteArray& strWhy)
{
    if (bOk) {
        SendInitial();
        return;
    }
    m_pOwner->AddMessage("TLS Handshake Error:" + strWhy + Endpoint(m_setup.nPort, m_setup.strAddress));
    m_pOwner->OnTlsFailure(m_bInput, m_pSocket->TlsFailure());
    DropPort();
    ReportFailure(SPortFailure::TlsHandshake, 0, strWhy);
    Finish(3);
}

void CPortOpening::OpenSerial()
{
    m_pOwner->AddMessage("Open Port...");
    const qsizetype nColon = m_strSetup.indexOf(':');
    if (nColon >= 0) {
        if (const std::optional<QString> url = MappedSerialUrl(m_strSetup.left(nColon), m_pOwner->SerialPortMap())) {
            OpenRemoteSerial(*url);
            return;
        }
    }
    m_pSerial = new CCommPort(m_strSetup, m_pOwner, m_bDetectCarrier, m_bInput);
    if (!m_pSerial->IsOpen()) {
        Finish(1);
        return;
    }
    SendSerialInitial();
}

void CPortOpening::OpenRemoteSerial(const QString& strUrl)
{
    m_pRemote = std::make_unique<CRemoteOpening>(m_strSetup, strUrl, m_bInput, m_bDetectCarrier, m_pOwner);
    m_pRemote->Start([this](CCommPort* pLine) {
        m_pSerial = pLine;
        if (!pLine) {
            Finish(1);
            return;
        }
        SendSerialInitial();
    });
}

void CPortOpening::SendSerialInitial()
{
    if (m_strInitial.isEmpty()
        || m_pSerial->WriteInitial(m_strInitial.constData(), int(m_strInitial.size()), [this] { FinishLater(0); }))
        Finish(0);
}

void CPortOpening::SendInitial()
{
    if (m_strInitial.isEmpty()
        || m_pSocket->SendInitial(m_strInitial.constData(), int(m_strInitial.size()), [this] { FinishLater(0); }))
        Finish(0);
}

void CPortOpening::OpenTcp()
{
    m_pSocket = new CPortSocket(CPortSocket::SocketTcp, m_pOwner, m_bInput);
    const bool bNumeric = ParseNumericAddress(m_setup.strAddress, quint16(m_setup.nPort), &m_peer);
    SSocketAddress local = AnyLocalFor(m_peer);
    if (!m_pSocket->Create(&local)) {
        ReportCreateError("TCP", m_pSocket->m_nLastError);
        Finish(2);
        return;
    }
    if (bNumeric) {
        OnTcpPeer(false);
        return;
    }
    // A destination given by name is looked up on the lookup thread; the
    // open goes on with its answer.
    m_lookup.Start(m_setup.strAddress, [this] {
        if (m_lookup.Succeeded()) {
            m_peer = m_lookup.Address();
            m_peer.SetPort(quint16(m_setup.nPort));
        }
        OnTcpPeer(true);
    });
}

void CPortOpening::OnTcpPeer(bool bNamed)
{
    if (bNamed) {
        SSocketAddress local = AnyLocalFor(m_peer);
        if (m_peer.Family() == AF_INET6 && !m_pSocket->Create(&local)) {
            ReportCreateError("TCP", m_pSocket->m_nLastError);
            Finish(2);
            return;
        }
    }
    bool bConnected = false;
    if (m_peer.IsValid())
        bConnected = m_pSocket->Connect(m_peer);
    else
        m_pSocket->m_nLastError = WSAEINVAL; // the name does not resolve
    m_pOwner->AddMessage(m_bTls ? "Connect TLS..." : "Connect TCP...");
    if (bConnected) {
        OnTcpReady();
        return;
    }
    if (m_pSocket->m_nLastError == WSAEWOULDBLOCK) {
        m_pSocket->AwaitConnect(CPortSocket::kConnectTimeoutMs, [this](int nResult) {
            QMetaObject::invokeMethod(this, [this, nResult] { OnConnected(nResult); }, Qt::QueuedConnection);
        });
        return;
    }
    OnConnected(m_pSocket->m_nLastError);
}

void CPortOpening::OnConnected(int nResult)
{
    if (nResult == -1) {
        m_pOwner->AddMessage("TCP Connect TimeOut!port:" + QByteArray::number(m_setup.nPort)
                             + ",addr:" + m_setup.strAddress);
        DropPort();
        ReportFailure(SPortFailure::ConnectTimeout);
        Finish(3);
        return;
    }
    if (nResult != 0) {
        m_pOwner->AddMessage("Connect error! not 10035");
        m_pOwner->AddMessage("TCP Connect Error:" + QByteArray::number(nResult)
                             + Endpoint(m_setup.nPort, m_setup.strAddress));
        DropPort();
        ReportFailure(SPortFailure::Connect, nResult);
        Finish(3);
        return;
    }
    OnTcpReady();
}

// "TCP:<port>[@<address>]" / "TLS:...": listens; counts as started once it listens.
void CPortOpening::OpenTcpListener()
{
    SSocketAddress local;
    ParseLocalAddress(m_setup.strAddress, quint16(m_setup.nPort), &local);
    int nError = 0;
    // A kept listening socket goes only to a port of the same kind.
    CTcpListener* pListener = CTcpListener::Open((m_bTls ? "TLS " : "") + QByteArray::number(m_setup.nPort) + '@'
                                                     + m_setup.strAddress,
                                                 local, &nError);
    if (!pListener) {
        ReportCreateError("TCP", nError);
        Finish(2);
        return;
    }
    m_pSocket = new CPortSocket(CPortSocket::SocketTcp, m_pOwner, m_bInput);
    m_pSocket->SetListenOptions(m_setup.options);
    m_pSocket->SetTlsContext(m_pTlsContext, m_bTls ? TlsRenewal() : nullptr);
    m_pSocket->Listen(pListener, m_strInitial);
    m_pOwner->AddMessage(m_bTls ? "Listen TLS..." : "Listen TCP...");
    Finish(0);
}

void CPortOpening::OpenUdp()
{
    m_pSocket = new CPortSocket(CPortSocket::SocketUdp, m_pOwner, m_bInput);
    SSocketAddress local;
    SSocketAddress peer;
    const bool bBroadcast = !m_setup.bLocal && m_setup.strAddress == "255.255.255.255";
    const bool bNumeric = bBroadcast || m_setup.bLocal || ParseNumericAddress(m_setup.strAddress, 0, &peer);
    if (m_setup.bLocal)
        ParseLocalAddress(m_setup.strAddress, quint16(m_setup.nPort), &local);
    else
        local = AnyLocalFor(peer);
    if (!m_pSocket->Create(&local)) {
        ReportCreateError("UDP", m_pSocket->m_nLastError);
        Finish(4);
        return;
    }
    if (m_setup.bLocal) {
        m_pSocket->SetListenOptions(m_setup.options);
        m_pSocket->FollowPeer(m_strInitial);
        Finish(0);
        return;
    }
    // Broadcast permission is asked for at creation, so that every datagram
    // to the limited broadcast address can go out, initial string or not.
    if (bBroadcast && !m_pSocket->SetBroadcast())
        m_pOwner->AddMessage("Set Broadcast Failure");
    m_pSocket->m_nPeerPort = m_setup.nPort;
    m_pSocket->m_strPeerAddress = m_setup.strAddress;
    if (bNumeric) {
        OnUdpPeer(0);
        return;
    }
    // A name that does not resolve still opens; its datagrams go nowhere.
    m_pSocket->ResolvePeerName([this](int nLookup) {
        QMetaObject::invokeMethod(this, [this, nLookup] { OnUdpPeer(nLookup); }, Qt::QueuedConnection);
    });
}

void CPortOpening::OnUdpPeer(int nLookup)
{
    if (nLookup == -3) {
        ReportCreateError("UDP", m_pSocket->m_nLastError);
        Finish(4);
        return;
    }
    SendInitial();
}
