#include "commport.h"

#include "portowner.h"

// Serial devices are not opened yet: every open fails through the serial
// failure path (message box, invalid handle).
CCommPort::CCommPort(const QByteArray& strSetup, IPortOwner* pOwner, bool bDetectCarrier, bool bInput)
    : m_pOwner(pOwner), m_bDetectCarrier(bDetectCarrier), m_bInput(bInput)
{
    if (!strSetup.contains(':'))
        m_pOwner->ShowMessageBox("Invalid Setup String!");
    else
        m_pOwner->ShowMessageBox("OpenComm Error!");
}

CCommPort::~CCommPort()
{
    Close();
}

int CCommPort::Read(char*, int)
{
    return 0;
}

int CCommPort::Write(const char*, int)
{
    return 0;
}

bool CCommPort::OnCommNotify()
{
    return true;
}

void CCommPort::Close()
{
    m_hDevice = -1;
}
