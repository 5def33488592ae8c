#include "remoteopening.h"

#include "portowner.h"
#include "serial/remoteline.h"
#include "setup/portfailure.h"
#include "setup/serialmode.h"
#include "setup/wsaerror.h"
#include "socket/boundsocket.h"
#include "socket/portsocket.h"
#include "socket/tcpoptions.h"
#include "stream/tlscontext.h"
#include "stream/tlshandshake.h"
#include "stream/tlssession.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Keepalive of a device server's connection: a line that went away without
// a word is noticed within about half a minute even while nothing is sent.
constexpr int kKeepIdleSeconds = 15;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepProbes = 3;

} // namespace

CRemoteOpening::CRemoteOpening(const QByteArray& strSetup, const QString& strUrl, bool bInput, bool bDetectCarrier,
                               IPortOwner* pOwner)
    : m_strSetup(strSetup), m_strUrl(strUrl), m_bInput(bInput), m_bDetectCarrier(bDetectCarrier), m_pOwner(pOwner)
{
}

CRemoteOpening::~CRemoteOpening()
{
    if (m_pHandshake)
        m_pHandshake->Cancel();
    m_pTlsSession.reset();
    delete m_pLine;
    CloseSocket();
}

CCommPort* CRemoteOpening::Line() const
{
    return m_pLine;
}

void CRemoteOpening::CloseSocket()
{
    delete m_pConnectNotifier;
    m_pConnectNotifier = nullptr;
    if (m_hSocket >= 0) {
        ::close(m_hSocket);
        m_hSocket = -1;
    }
}

void CRemoteOpening::Fail(const QByteArray& strLine, const QByteArray& strDetail)
{
    if (!strLine.isEmpty())
        m_pOwner->AddMessage(strLine);
    m_pOwner->ShowMessageBox("OpenComm Error!");
    SPortFailure failure;
    failure.m_eWhat = SPortFailure::RemoteLine;
    failure.m_bInput = m_bInput;
    failure.m_strSetup = m_strSetup;
    failure.m_strPath = m_strUrl;
    failure.m_strDetail = strDetail;
    m_pOwner->OnPortFailure(failure);
    auto fnDone = std::exchange(m_fnDone, {});
    fnDone(nullptr);
}

void CRemoteOpening::Start(FDone fnDone)
{
    m_fnDone = std::move(fnDone);
    QByteArray strWhy;
    const std::optional<SSerialUrl> url = ParseSerialUrl(m_strUrl, &strWhy);
    // A setting that cannot be used: the boxes a local line shows, its
    // failure for the explanation, and the open is over.
    const auto fail = [this](SPortFailure::EWhat eWhat) {
        SPortFailure failure;
        failure.m_eWhat = eWhat;
        failure.m_bInput = m_bInput;
        failure.m_strSetup = m_strSetup;
        m_pOwner->OnPortFailure(failure);
        auto fn = std::exchange(m_fnDone, {});
        fn(nullptr);
    };
    if (!url) {
        m_pOwner->ShowMessageBox("OpenComm Error!");
        fail(SPortFailure::SerialName);
        return;
    }
    m_url = *url;
    const std::optional<SSerialMode> mode = ParseSerialMode(m_strSetup);
    if (!mode) {
        m_pOwner->ShowMessageBox("BuildCommDCB Error!");
        m_pOwner->ShowMessageBox("SetCommState Error!");
        fail(SPortFailure::SerialMode);
        return;
    }
    m_pMode = std::make_unique<SSerialMode>(*mode);
    if (m_url.bTls) {
        QByteArray strError;
        m_pTlsContext = CTlsContext::Create(m_pOwner->TlsConfig(QByteArray()), CTlsContext::Client, &strError);
        if (!m_pTlsContext) {
            Fail("TLS Setup Error:" + strError, "the certificate files of the profile's [TLS] section are not "
                                                "usable: " + strError);
            return;
        }
    }
    if (ParseNumericAddress(m_url.strHost, m_url.nPort, &m_peer)) {
        OnPeer();
        return;
    }
    m_lookup.Start(m_url.strHost, [this] {
        if (m_lookup.Succeeded()) {
            m_peer = m_lookup.Address();
            m_peer.SetPort(m_url.nPort);
        }
        OnPeer();
    });
}

void CRemoteOpening::OnPeer()
{
    const QByteArray strEndpoint = SerialUrlEndpoint(m_url);
    if (!m_peer.IsValid()) {
        Fail("RFC2217 Connect Error:" + QByteArray::number(WSAEINVAL) + strEndpoint,
             "the name " + m_url.strHost + " does not resolve");
        return;
    }
    SSocketAddress local;
    if (m_peer.Family() == AF_INET6)
        ParseLocalAddress(QByteArray(), 0, &local);
    else
        local = IPv4Address(htonl(INADDR_ANY), 0);
    int nError = 0;
    m_hSocket = OpenBoundSocket(SOCK_STREAM, local, &nError);
    if (m_hSocket < 0) {
        Fail("RFC2217 Connect Error:" + QByteArray::number(nError) + strEndpoint,
             QByteArray("the system refused the socket (") + std::strerror(ErrnoFromWsaError(nError)) + ')');
        return;
    }
    SetTcpNoDelay(m_hSocket);
    SetTcpKeepAlive(m_hSocket, kKeepIdleSeconds, kKeepIntervalSeconds, kKeepProbes);
    m_pOwner->AddMessage(m_url.bTls ? "Connect RFC2217 TLS..." : "Connect RFC2217...");
    if (::connect(m_hSocket, m_peer.Get(), m_peer.nLength) == 0) {
        OnConnected(0);
        return;
    }
    if (errno != EINPROGRESS) {
        OnConnected(errno);
        return;
    }
    m_pConnectNotifier = new QSocketNotifier(m_hSocket, QSocketNotifier::Write, this);
    connect(m_pConnectNotifier, &QSocketNotifier::activated, this, [this] {
        m_pConnectNotifier->setEnabled(false);
        m_pConnectTimer->stop();
        int nErrno = 0;
        socklen_t nSize = sizeof nErrno;
        ::getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nErrno, &nSize);
        OnConnected(nErrno);
    });
    m_pConnectTimer = new QTimer(this);
    m_pConnectTimer->setSingleShot(true);
    connect(m_pConnectTimer, &QTimer::timeout, this, [this] {
        m_pConnectNotifier->setEnabled(false);
        CloseSocket();
        Fail("RFC2217 Connect TimeOut!port:" + QByteArray::number(m_url.nPort) + ",addr:" + m_url.strHost,
             "no answer within " + QByteArray::number(CPortSocket::kConnectTimeoutMs / 1000)
                 + " s: the host may be down, or a firewall drops the connection");
    });
    m_pConnectTimer->start(CPortSocket::kConnectTimeoutMs);
}

void CRemoteOpening::OnConnected(int nErrno)
{
    if (nErrno != 0) {
        CloseSocket();
        Fail("RFC2217 Connect Error:" + QByteArray::number(WsaErrorFromErrno(nErrno)) + SerialUrlEndpoint(m_url),
             QByteArray("connecting failed (") + std::strerror(nErrno) + ')');
        return;
    }
    // The notifier may be on the stack: it goes with the object or later.
    if (m_pConnectNotifier) {
        m_pConnectNotifier->deleteLater();
        m_pConnectNotifier = nullptr;
    }
    if (!m_url.bTls) {
        OnTlsDone(true, {});
        return;
    }
    m_pTlsSession = std::make_unique<CTlsSession>(m_pTlsContext, m_hSocket, m_url.strHost);
    m_pHandshake = new CTlsHandshake(
        m_pTlsSession.get(), m_hSocket, CPortSocket::kConnectTimeoutMs,
        [this](bool bOk, const QByteArray& strWhy) {
            m_pHandshake->deleteLater();
            m_pHandshake = nullptr;
            QMetaObject::invokeMethod(this, [this, bOk, strWhy] { OnTlsDone(bOk, strWhy); }, Qt::QueuedConnection);
        },
        this);
    m_pHandshake->Start();
}

void CRemoteOpening::OnTlsDone(bool bOk, const QByteArray& strWhy)
{
    if (!bOk) {
        m_pTlsSession.reset();
        CloseSocket();
        Fail("TLS Handshake Error:" + strWhy + SerialUrlEndpoint(m_url),
             "the TLS handshake failed: " + strWhy + "; the server's certificate must name the host as written "
             "and come from a CA in [TLS] CA= (or the system's store)");
        return;
    }
    m_pLine = new CRemoteLine(m_pOwner, m_bDetectCarrier, m_bInput, SerialUrlEndpoint(m_url));
    const int hSocket = std::exchange(m_hSocket, -1);
    m_pLine->Start(hSocket, std::move(m_pTlsSession), *m_pMode, [this](bool bOk) { OnLineStarted(bOk); });
}

void CRemoteOpening::OnLineStarted(bool bOk)
{
    if (bOk) {
        CCommPort* pLine = std::exchange(m_pLine, nullptr);
        auto fnDone = std::exchange(m_fnDone, {});
        fnDone(pLine);
        return;
    }
    // The line has logged how the connection ended; it goes from the event
    // loop, since this runs inside its own notification.
    m_pLine->deleteLater();
    m_pLine = nullptr;
    Fail({}, "the device server closed the connection while the line was being set up");
}
