#include "portowner.h"

#include "serial/linecontrol.h"
#include "socket/portsocket.h"

#include <algorithm>

bool IPortOwner::OnBlocksRead(CPortSocket* pSocket, const char* pData, int nLen)
{
    const bool bInput = pSocket->m_bInput;
    int nOffset = 0;
    do {
        const int nBlock = std::min<int>(nLen - nOffset, CPortSocket::kReceiveBlock);
        if (bInput)
            TransferInToOut(pData + nOffset, nBlock);
        else
            TransferOutToIn(pData + nOffset, nBlock);
        nOffset += nBlock;
    } while (nOffset < nLen);
    return true;
}

SComPortMessage IPortOwner::OnLineCommand(CPortSocket* /*pSocket*/, const SComPortMessage& request, bool* pbChanged)
{
    return ApplyComPortMessage(nullptr, request, pbChanged);
}
