#include "serial/comportrequests.h"

#include "setup/serialmode.h"

#include <cstdlib>

namespace {

// SET-CONTROL's values come in groups (outbound flow, BREAK, DTR, RTS,
// inbound flow); an answer carries a value of the group it answers.
int ControlGroup(quint32 nValue)
{
    using namespace ComPort;
    switch (nValue) {
    case FlowDcd:
    case FlowDsr: return 0;
    case InFlowDtr: return 4;
    default: break;
    }
    if (nValue <= FlowHardware)
        return 0;
    if (nValue <= BreakOff)
        return 1;
    if (nValue <= DtrOff)
        return 2;
    if (nValue <= RtsOff)
        return 3;
    return 4;
}

bool Answers(const SComPortMessage& answer, const SComPortMessage& command)
{
    if (command.eCommand != answer.eCommand)
        return false;
    return command.eCommand != EComCommand::SetControl || ControlGroup(command.nValue) == ControlGroup(answer.nValue);
}

// Whether an answer holds the value the command asked for. Speeds may come
// back rounded to what the far UART's clock divides (within 2 %).
bool Agrees(const SComPortMessage& command, const SComPortMessage& answer)
{
    if (command.eCommand != EComCommand::SetBaudRate)
        return answer.nValue == command.nValue;
    const qint64 nDiff = std::llabs(qint64(answer.nValue) - qint64(command.nValue));
    return nDiff * 50 <= qint64(command.nValue);
}

} // namespace

uchar ComPortParityCode(char cParity)
{
    switch (cParity) {
    case 'o': return ComPort::kParityOdd;
    case 'e': return ComPort::kParityEven;
    case 'm': return ComPort::kParityMark;
    case 's': return ComPort::kParitySpace;
    default: return ComPort::kParityNone;
    }
}

uchar ComPortStopCode(SSerialMode::EStopBits eStop)
{
    switch (eStop) {
    case SSerialMode::EStopBits::Two: return ComPort::kStopTwo;
    case SSerialMode::EStopBits::OneAndHalf: return ComPort::kStopOneAndHalf;
    case SSerialMode::EStopBits::One: break;
    }
    return ComPort::kStopOne;
}

QList<SComPortMessage> ComPortSettingsOf(const SSerialMode& mode)
{
    using namespace ComPort;
    QList<SComPortMessage> list;
    list << ComPortCommand(EComCommand::SetBaudRate, mode.nBaud) << ComPortCommand(EComCommand::SetDataSize, quint32(mode.nDataBits))
         << ComPortCommand(EComCommand::SetParity, ComPortParityCode(mode.cParity))
         << ComPortCommand(EComCommand::SetStopSize, ComPortStopCode(mode.eStopBits));
    const uchar nFlow = mode.bRtsCts ? FlowHardware : mode.bXonXoff ? FlowXonXoff : FlowNone;
    list << ComPortCommand(EComCommand::SetControl, nFlow);
    list << ComPortCommand(EComCommand::SetControl, mode.eDtr == SSerialMode::ELine::Off ? DtrOff : DtrOn);
    if (mode.eRts != SSerialMode::ELine::Default || !mode.bRtsCts)
        list << ComPortCommand(EComCommand::SetControl, mode.eRts == SSerialMode::ELine::Off ? RtsOff : RtsOn);
    return list;
}

void CComPortRequests::Sent(const SComPortMessage& command, qint64 nNowMs)
{
    m_listWaiting.append({command, nNowMs + kAnswerTimeoutMs});
}

std::optional<SComPortMessage> CComPortRequests::Answered(const SComPortMessage& answer)
{
    // The oldest command the answer fits; else the oldest of its code (a
    // SET-CONTROL answered with a value of another group is refused).
    qsizetype nFound = -1;
    for (qsizetype i = 0; i < m_listWaiting.size() && nFound < 0; ++i) {
        if (Answers(answer, m_listWaiting[i].command))
            nFound = i;
    }
    for (qsizetype i = 0; i < m_listWaiting.size() && nFound < 0; ++i) {
        if (m_listWaiting[i].command.eCommand == answer.eCommand)
            nFound = i;
    }
    if (nFound < 0)
        return std::nullopt;
    const SComPortMessage command = m_listWaiting.takeAt(nFound).command;
    if (Agrees(command, answer))
        return std::nullopt;
    return command;
}

QList<SComPortMessage> CComPortRequests::TakeOverdue(qint64 nNowMs)
{
    QList<SComPortMessage> list;
    for (qsizetype i = 0; i < m_listWaiting.size();) {
        if (m_listWaiting[i].nDeadline <= nNowMs)
            list.append(m_listWaiting.takeAt(i).command);
        else
            ++i;
    }
    return list;
}

qint64 CComPortRequests::NextDeadline() const
{
    qint64 nNext = -1;
    for (const SWaiting& waiting : m_listWaiting) {
        if (nNext < 0 || waiting.nDeadline < nNext)
            nNext = waiting.nDeadline;
    }
    return nNext;
}
