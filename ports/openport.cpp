#include "openport.h"

#include "commport.h"
#include "portfailure.h"
#include "portowner.h"
#include "portsocket.h"
#include "setupstring.h"
#include "wsaerror.h"

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

int OpenTcp(const QByteArray& strSetup, const SWinsockSetup& setup, const QByteArray& strInitial, bool bInput,
            IPortOwner* pOwner, CPortSocket** ppSocket)
{
    auto* pSocket = new CPortSocket(CPortSocket::SocketTcp, pOwner, bInput);
    if (!pSocket->Create()) {
        const int nError = pSocket->m_nLastError;
        pOwner->AddMessage("TCP Create Error:" + QByteArray::number(nError) + Endpoint(setup.nPort, setup.strAddress));
        delete pSocket;
        ReportFailure(pOwner, bInput, SPortFailure::SocketCreate, strSetup, nError);
        return 2;
    }
    const bool bConnected = pSocket->Connect(setup.strAddress, setup.nPort);
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

int OpenUdp(const QByteArray& strSetup, const SWinsockSetup& setup, const QByteArray& strInitial, bool bInput,
            IPortOwner* pOwner, CPortSocket** ppSocket)
{
    auto* pSocket = new CPortSocket(CPortSocket::SocketUdp, pOwner, bInput);
    if (!pSocket->Create()) {
        const int nError = pSocket->m_nLastError;
        pOwner->AddMessage("UDP Create Error:" + QByteArray::number(nError) + Endpoint(setup.nPort, setup.strAddress));
        delete pSocket;
        ReportFailure(pOwner, bInput, SPortFailure::SocketCreate, strSetup, nError);
        return 4;
    }
    // Broadcast permission is asked for at creation, so that every datagram
    // to the limited broadcast address can go out, initial string or not.
    if (setup.strAddress == "255.255.255.255" && !pSocket->SetBroadcast())
        pOwner->AddMessage("Set Broadcast Failure");
    pSocket->m_nPeerPort = setup.nPort;
    pSocket->m_strPeerAddress = setup.strAddress;
    if (!strInitial.isEmpty())
        pSocket->SendToPeer(strInitial.constData(), int(strInitial.size()), setup.nPort, setup.strAddress);
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
    if (kind == EPortKind::Tcp)
        return OpenTcp(strSetup, setup, strInitial, bInput, pOwner, ppSocket);
    pOwner->AddMessage("Create UDP...");
    return OpenUdp(strSetup, setup, strInitial, bInput, pOwner, ppSocket);
}
