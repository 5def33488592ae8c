// The serial line set at run time by a network client (the com port
// option): CCommPort's side of it, and the commands as answers.

#include "serial/linecontrol.h"

#include "portowner.h"
#include "serial/commport.h"
#include "serial/comportrequests.h"
#include "serial/linestatus.h"
#include "serial/serialdevice.h"

#include <sys/ioctl.h>

using namespace ComPort;

uchar ModemStateBits(int nLines)
{
    if (nLines < 0)
        return kModemCts | kModemDsr | kModemDcd;
    uchar n = 0;
    if (nLines & TIOCM_CD)
        n |= kModemDcd;
    if (nLines & TIOCM_RI)
        n |= kModemRi;
    if (nLines & TIOCM_DSR)
        n |= kModemDsr;
    if (nLines & TIOCM_CTS)
        n |= kModemCts;
    return n;
}

uchar ModemChangeBits(int nBefore, int nNow)
{
    const uchar nOld = ModemStateBits(nBefore);
    const uchar nNew = ModemStateBits(nNow);
    const uchar nFlip = nOld ^ nNew;
    uchar n = 0;
    if (nFlip & kModemDcd)
        n |= kModemDcdDelta;
    if ((nOld & kModemRi) && !(nNew & kModemRi))
        n |= kModemRiEdge;
    if (nFlip & kModemDsr)
        n |= kModemDsrDelta;
    if (nFlip & kModemCts)
        n |= kModemCtsDelta;
    return n;
}

uchar LineStateBits(quint32 nErrors)
{
    uchar n = 0;
    if (nErrors & CE_BREAK)
        n |= kLineBreak;
    if (nErrors & CE_FRAME)
        n |= kLineFraming;
    if (nErrors & CE_RXPARITY)
        n |= kLineParity;
    if (nErrors & (CE_OVERRUN | CE_RXOVER))
        n |= kLineOverrun;
    return n;
}

bool CCommPort::SetMode(const SSerialMode& mode)
{
    if (!IsOpen() || m_bVanished)
        return false;
    if (!SerialApplyMode(m_hDevice, mode)) {
        // Back to the mode in force: a refused one may have taken in part.
        SerialApplyMode(m_hDevice, m_mode);
        return false;
    }
    m_mode = mode;
    return true;
}

void CCommPort::SetDtr(bool bOn)
{
    if (IsOpen())
        SerialSetDtr(m_hDevice, bOn);
    m_bDtr = bOn;
}

void CCommPort::SetRts(bool bOn)
{
    if (IsOpen())
        SerialSetRts(m_hDevice, bOn);
    m_bRts = bOn;
}

bool CCommPort::SetBreak(bool bOn)
{
    if (!IsOpen() || !SerialSetBreak(m_hDevice, bOn))
        return false;
    m_bBreak = bOn;
    return true;
}

void CCommPort::Purge(bool bReceive, bool bTransmit)
{
    if (!IsOpen())
        return;
    SerialPurge(m_hDevice, bReceive, bTransmit);
    if (bTransmit && HasPending()) {
        // Held bytes belong to the transmit side; a direction waiting for
        // them goes on.
        m_strPending.clear();
        m_nPendingOffset = 0;
        QMetaObject::invokeMethod(this, [this] { m_pOwner->OnSendDone(this); }, Qt::QueuedConnection);
    }
}

uchar CCommPort::ModemState() const
{
    return ModemStateBits(m_pLineStatus ? m_pLineStatus->ModemLines() : -1);
}

void CCommPort::RestoreSetup()
{
    if (!IsOpen())
        return;
    SetMode(m_setupMode);
    if (m_bBreak)
        SetBreak(false);
    SetDtr(m_setupMode.eDtr != SSerialMode::ELine::Off);
    SetRts(m_setupMode.eRts != SSerialMode::ELine::Off);
}

void CCommPort::OnModemLinesChanged(int nBefore, int nNow)
{
    if (!IsOpen())
        return;
    const uchar nChange = ModemChangeBits(nBefore, nNow);
    if (nChange != 0)
        m_pOwner->OnModemStateChanged(this, ModemStateBits(nNow) | nChange);
}

void CCommPort::ReportLineErrors(quint32 nErrors)
{
    const uchar nState = LineStateBits(nErrors);
    if (nState == 0)
        return;
    // From the event loop: the owner is inside this port's Read.
    QMetaObject::invokeMethod(
        this, [this, nState] { if (IsOpen()) m_pOwner->OnLineErrors(this, nState); }, Qt::QueuedConnection);
}

namespace {

// The answers without a line: a setting as asked, a query as a usual line.
SComPortMessage AnswerWithoutLine(const SComPortMessage& request)
{
    SComPortMessage answer = request;
    answer.bFromServer = true;
    const quint32 n = request.nValue;
    switch (request.eCommand) {
    case EComCommand::SetBaudRate: answer.nValue = n == kQuery ? 9600 : n; break;
    case EComCommand::SetDataSize: answer.nValue = n == kQuery ? 8 : n; break;
    case EComCommand::SetParity: answer.nValue = n == kQuery ? kParityNone : n; break;
    case EComCommand::SetStopSize: answer.nValue = n == kQuery ? kStopOne : n; break;
    case EComCommand::SetControl:
        switch (n) {
        case FlowQuery: answer.nValue = FlowNone; break;
        case BreakQuery: answer.nValue = BreakOff; break;
        case DtrQuery: answer.nValue = DtrOn; break;
        case RtsQuery: answer.nValue = RtsOn; break;
        case InFlowQuery: answer.nValue = InFlowNone; break;
        default: break;
        }
        break;
    case EComCommand::NotifyModemState: answer.nValue = ModemStateBits(-1); break;
    default: break;
    }
    return answer;
}

quint32 FlowCode(const SSerialMode& mode, bool bInbound)
{
    if (mode.bRtsCts)
        return bInbound ? InFlowHardware : FlowHardware;
    if (mode.bXonXoff)
        return bInbound ? InFlowXonXoff : FlowXonXoff;
    return bInbound ? InFlowNone : FlowNone;
}

// The mode a setting asks for; false when the value is none the line can
// take (then the line stays as it is).
bool ModeAsked(const SComPortMessage& request, SSerialMode& mode)
{
    const quint32 n = request.nValue;
    switch (request.eCommand) {
    case EComCommand::SetBaudRate:
        mode.nBaud = n;
        break;
    case EComCommand::SetDataSize:
        if (n < 5 || n > 8)
            return false;
        mode.nDataBits = int(n);
        break;
    case EComCommand::SetParity: {
        constexpr char kParities[] = {'n', 'n', 'o', 'e', 'm', 's'};
        if (n < kParityNone || n > kParitySpace)
            return false;
        mode.cParity = kParities[n];
        break;
    }
    case EComCommand::SetStopSize:
        if (n == kStopOne)
            mode.eStopBits = SSerialMode::EStopBits::One;
        else if (n == kStopTwo)
            mode.eStopBits = SSerialMode::EStopBits::Two;
        else if (n == kStopOneAndHalf)
            mode.eStopBits = SSerialMode::EStopBits::OneAndHalf;
        else
            return false;
        break;
    case EComCommand::SetControl:
        // Linux sets flow control for both directions at once.
        if (n == FlowNone || n == InFlowNone) {
            mode.bXonXoff = mode.bRtsCts = false;
        } else if (n == FlowXonXoff || n == InFlowXonXoff) {
            mode.bXonXoff = true;
            mode.bRtsCts = false;
        } else if (n == FlowHardware || n == InFlowHardware) {
            mode.bXonXoff = false;
            mode.bRtsCts = true;
        } else {
            return false; // DCD, DTR and DSR flow control: not on Linux
        }
        break;
    default:
        return false;
    }
    // The stop bits the data bits allow, as in a setup string.
    if ((mode.eStopBits == SSerialMode::EStopBits::OneAndHalf) != (mode.nDataBits == 5)
        && mode.eStopBits != SSerialMode::EStopBits::One)
        return false;
    BuildTermios(mode);
    return true;
}

// The SET-CONTROL commands for modem lines and break: true when handled.
bool ApplyLineControl(CCommPort& line, quint32 n, quint32* pnAnswer)
{
    switch (n) {
    case BreakOn:
    case BreakOff: line.SetBreak(n == BreakOn); break;
    case DtrOn:
    case DtrOff: line.SetDtr(n == DtrOn); break;
    case RtsOn:
    case RtsOff: line.SetRts(n == RtsOn); break;
    case BreakQuery:
    case DtrQuery:
    case RtsQuery: break;
    default: return false;
    }
    if (n >= BreakQuery && n <= BreakOff)
        *pnAnswer = line.Break() ? BreakOn : BreakOff;
    else if (n >= DtrQuery && n <= DtrOff)
        *pnAnswer = line.Dtr() ? DtrOn : DtrOff;
    else
        *pnAnswer = line.Rts() ? RtsOn : RtsOff;
    return true;
}

} // namespace

SComPortMessage ApplyComPortMessage(CCommPort* pLine, const SComPortMessage& request, bool* pbChanged)
{
    *pbChanged = false;
    if (!pLine || !pLine->IsOpen() || pLine->IsVanished())
        return AnswerWithoutLine(request);
    SComPortMessage answer = request;
    answer.bFromServer = true;
    CCommPort& line = *pLine;
    const quint32 n = request.nValue;
    if (request.eCommand == EComCommand::NotifyModemState) {
        answer.nValue = line.ModemState();
        return answer;
    }
    if (request.eCommand == EComCommand::PurgeData) {
        if (n >= kPurgeReceive && n <= kPurgeBoth)
            line.Purge(n & kPurgeReceive, n & kPurgeTransmit);
        return answer;
    }
    if (request.eCommand == EComCommand::SetControl) {
        const bool bDtr = line.Dtr(), bRts = line.Rts(), bBreak = line.Break();
        quint32 nAnswer = 0;
        if (ApplyLineControl(line, n, &nAnswer)) {
            answer.nValue = nAnswer;
            *pbChanged = line.Dtr() != bDtr || line.Rts() != bRts || line.Break() != bBreak;
            return answer;
        }
    }
    const bool bQuery = IsComPortQuery(request);
    SSerialMode mode = line.Mode();
    if (!bQuery && ModeAsked(request, mode)) {
        const SSerialMode before = line.Mode();
        if (line.SetMode(mode))
            *pbChanged = before.nBaud != mode.nBaud || before.nDataBits != mode.nDataBits
                      || before.cParity != mode.cParity || before.eStopBits != mode.eStopBits
                      || before.bXonXoff != mode.bXonXoff || before.bRtsCts != mode.bRtsCts;
    }
    const SSerialMode& now = line.Mode();
    switch (request.eCommand) {
    case EComCommand::SetBaudRate: answer.nValue = now.nBaud; break;
    case EComCommand::SetDataSize: answer.nValue = quint32(now.nDataBits); break;
    case EComCommand::SetParity: answer.nValue = ComPortParityCode(now.cParity); break;
    case EComCommand::SetStopSize: answer.nValue = ComPortStopCode(now.eStopBits); break;
    case EComCommand::SetControl:
        answer.nValue = FlowCode(now, (n >= InFlowQuery && n <= InFlowHardware) || n == InFlowDtr);
        break;
    default: break;
    }
    return answer;
}
