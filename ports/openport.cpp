#include "openport.h"

#include "commport.h"
#include "portfailure.h"
#include "portowner.h"
#include "portsocket.h"
#include "setupstring.h"
#include "hostlookup.h"
#include "sockaddress.h"
#include "tcplistener.h"
#include "wsaerror.h"

#include <netinet/in.h>

namespace {

void ReportFailure(IPortOwner* pOwner, bool bInput, SPortFailure::EWhat eWhat, const QByteArray& strSetup,
                   int nError = 0)
{
    SPortFailure failure;
    failure.m_eWhat = eWhat;
    failure.m_bInput = bInput;
    failure.m_strSetup = strSetup;
    failure.m_nError = nError;
    pOwner->OnPortFailure(failure);
}

QByteArray Endpoint(int nPort, const QByteArray& strAddress)
{
    return ",port:" + QByteArray::number(nPort) + ",addr:" + strAddress;
}

// A socket that could not be made: its "<kind> Create Error" line and the
// explanation.
void ReportCreateError(IPortOwner* pOwner, const char* pszKind, int nError, const SWinsockSetup& setup, bool bInput,
                       const QByteArray& strSetup)
{
    pOwner->AddMessage(pszKind + QByteArrayLiteral(" Create Error:") + QByteArray::number(nError)
                       + Endpoint(setup.nPort, setup.strAddress));
    ReportFailure(pOwner, bInput, SPortFailure::SocketCreate, strSetup, nError);
}

// A destination given by name is looked up without blocking the event loop;
// the open waits for it as a connect does. Returns -2 when a stop gave up
// the wait.
int LookUpPeer(const QByteArray& strName, int nPort, IPortOwner* pOwner, SSocketAddress* pPeer)
{
    CHostLookup lookup;
    lookup.Start(strName);
    const int nResult = lookup.Wait(pOwner);
    if (nResult == 0) {
        *pPeer = lookup.Address();
        pPeer->SetPort(quint16(nPort));
    }
    return nResult;
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

int OpenTcp(const QByteArray& strSetup, const SWinsockSetup& setup, const QByteArray& strInitial, bool bInput, IPortOwner* pOwner,
            CPortSocket** ppSocket)
{
    auto* pSocket = new CPortSocket(CPortSocket::SocketTcp, pOwner, bInput);
    SSocketAddress peer;
    const bool bNumeric = ParseNumericAddress(setup.strAddress, quint16(setup.nPort), &peer);
    SSocketAddress local = AnyLocalFor(peer);
    if (!pSocket->Create(&local)) {
        ReportCreateError(pOwner, "TCP", pSocket->m_nLastError, setup, bInput, strSetup);
        delete pSocket;
        return 2;
    }
    if (!bNumeric) {
        if (LookUpPeer(setup.strAddress, setup.nPort, pOwner, &peer) == -2) {
            delete pSocket; // a stop was requested meanwhile: give up quietly
            return 3;
        }
        local = AnyLocalFor(peer);
        if (peer.Family() == AF_INET6 && !pSocket->Create(&local)) {
            ReportCreateError(pOwner, "TCP", pSocket->m_nLastError, setup, bInput, strSetup);
            delete pSocket;
            return 2;
        }
    }
    bool bConnected = false;
    if (peer.IsValid())
        bConnected = pSocket->Connect(peer);
    else
        pSocket->m_nLastError = WSAEINVAL; // the name does not resolve
    pOwner->AddMessage("Connect TCP...");
    if (!bConnected) {
        int nError = pSocket->m_nLastError;
        if (nError == WSAEWOULDBLOCK) {
            const int nWait = pSocket->WaitConnected(CPortSocket::kConnectTimeoutMs);
            if (nWait == -1) {
                pOwner->AddMessage("TCP Connect TimeOut!port:" + QByteArray::number(setup.nPort)
                                   + ",addr:" + setup.strAddress);
                delete pSocket;
                ReportFailure(pOwner, bInput, SPortFailure::ConnectTimeout, strSetup);
                return 3;
            }
            if (nWait == -2) {
                // A stop was requested while connecting: give up quietly.
                delete pSocket;
                return 3;
            }
            nError = nWait;
        }
        if (nError != 0) {
            pOwner->AddMessage("Connect error! not 10035");
            pOwner->AddMessage("TCP Connect Error:" + QByteArray::number(nError)
                               + Endpoint(setup.nPort, setup.strAddress));
            delete pSocket;
            ReportFailure(pOwner, bInput, SPortFailure::Connect, strSetup, nError);
            return 3;
        }
    }
    if (!strInitial.isEmpty())
        pSocket->Send(strInitial.constData(), int(strInitial.size()));
    *ppSocket = pSocket;
    return 0;
}

// "TCP:<port>[@<address>]": listens; counts as started once it listens.
int OpenTcpListener(const QByteArray& strSetup, const SWinsockSetup& setup, const QByteArray& strInitial, bool bInput, IPortOwner* pOwner,
                    CPortSocket** ppSocket)
{
    SSocketAddress local;
    ParseLocalAddress(setup.strAddress, quint16(setup.nPort), &local);
    int nError = 0;
    CTcpListener* pListener
        = CTcpListener::Open(QByteArray::number(setup.nPort) + '@' + setup.strAddress, local, &nError);
    if (!pListener) {
        ReportCreateError(pOwner, "TCP", nError, setup, bInput, strSetup);
        return 2;
    }
    auto* pSocket = new CPortSocket(CPortSocket::SocketTcp, pOwner, bInput);
    pSocket->SetListenOptions(setup.options);
    pSocket->Listen(pListener, strInitial);
    pOwner->AddMessage("Listen TCP...");
    *ppSocket = pSocket;
    return 0;
}

int OpenUdp(const QByteArray& strSetup, const SWinsockSetup& setup, const QByteArray& strInitial, bool bInput, IPortOwner* pOwner,
            CPortSocket** ppSocket)
{
    auto* pSocket = new CPortSocket(CPortSocket::SocketUdp, pOwner, bInput);
    SSocketAddress local;
    SSocketAddress peer;
    const bool bBroadcast = !setup.bLocal && setup.strAddress == "255.255.255.255";
    const bool bNumeric = bBroadcast || setup.bLocal || ParseNumericAddress(setup.strAddress, 0, &peer);
    if (setup.bLocal)
        ParseLocalAddress(setup.strAddress, quint16(setup.nPort), &local);
    else
        local = AnyLocalFor(peer);
    if (!pSocket->Create(&local)) {
        ReportCreateError(pOwner, "UDP", pSocket->m_nLastError, setup, bInput, strSetup);
        delete pSocket;
        return 4;
    }
    if (setup.bLocal) {
        pSocket->SetListenOptions(setup.options);
        pSocket->FollowPeer(strInitial);
        *ppSocket = pSocket;
        return 0;
    }
    // Broadcast permission is asked for at creation, so that every datagram
    // to the limited broadcast address can go out, initial string or not.
    if (bBroadcast && !pSocket->SetBroadcast())
        pOwner->AddMessage("Set Broadcast Failure");
    pSocket->m_nPeerPort = setup.nPort;
    pSocket->m_strPeerAddress = setup.strAddress;
    if (!bNumeric) {
        // A name that does not resolve still opens; its datagrams go nowhere.
        const int nLookup = pSocket->ResolvePeerName(pOwner);
        if (nLookup == -2) {
            delete pSocket; // a stop was requested meanwhile
            return 4;
        }
        if (nLookup == -3) {
            ReportCreateError(pOwner, "UDP", pSocket->m_nLastError, setup, bInput, strSetup);
            delete pSocket;
            return 4;
        }
    }
    if (!strInitial.isEmpty())
        pSocket->SendInitialTo(strInitial, setup.nPort, setup.strAddress);
    *ppSocket = pSocket;
    return 0;
}

} // namespace

int OpenPort(const QByteArray& strSetupIn, const QByteArray& strInitial, bool bInput, bool bDetectCarrier,
             IPortOwner* pOwner, CCommPort** ppSerial, CPortSocket** ppSocket)
{
    *ppSerial = nullptr;
    *ppSocket = nullptr;
    const QByteArray strSetup = SetupStringText(strSetupIn);
    const EPortKind kind = RecognisePortKind(strSetup);
    if (kind == EPortKind::Unknown) {
        pOwner->AddMessage("Invalid Setup String!");
        ReportFailure(pOwner, bInput, SPortFailure::SetupString, strSetup);
        return 20;
    }
    if (kind == EPortKind::Serial) {
        pOwner->AddMessage("Open Port...");
        auto* pPort = new CCommPort(strSetup, pOwner, bDetectCarrier, bInput);
        if (!pPort->IsOpen()) {
            delete pPort;
            return 1;
        }
        if (!strInitial.isEmpty())
            pPort->Write(strInitial.constData(), int(strInitial.size()));
        *ppSerial = pPort;
        return 0;
    }
    SWinsockSetup setup;
    if (const int nCode = SplitWinsockSetup(strSetup, kind, &setup)) {
        pOwner->AddMessage("Invalid Setup String!");
        ReportFailure(pOwner, bInput, SPortFailure::SetupString, strSetup);
        return nCode;
    }
    if (kind == EPortKind::Tcp) {
        if (setup.bLocal)
            return OpenTcpListener(strSetup, setup, strInitial, bInput, pOwner, ppSocket);
        return OpenTcp(strSetup, setup, strInitial, bInput, pOwner, ppSocket);
    }
    pOwner->AddMessage("Create UDP...");
    return OpenUdp(strSetup, setup, strInitial, bInput, pOwner, ppSocket);
}
