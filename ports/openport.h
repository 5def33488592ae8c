#pragma once

#include <QByteArray>

class CCommPort;
class CPortSocket;
class IPortOwner;

// Opens one port of the gateway from its setup string and sends the decoded
// initial string. Returns 0 and exactly one new port object, or a nonzero
// code: 1 serial port not opened, 2 TCP socket not created, 3 TCP connection
// failed or timed out, 4 UDP socket not created, 10-13 and 20 setup string
// refused.
// The new port does not read yet: the caller starts its notifications once
// it has recorded the port (CPortSocket::StartReceiving, CCommPort::OnCommNotify).
int OpenPort(const QByteArray& strSetup, const QByteArray& strInitial, bool bInput, bool bDetectCarrier,
             IPortOwner* pOwner, CCommPort** ppSerial, CPortSocket** ppSocket);
