#include "stream/comportoption.h"

#include <QtEndian>

#include <array>

namespace {

// How a command's value is written.
enum class EShape : uchar { Text, Four, One, None, Poll };

struct SCommandInfo
{
    const char* pszName;
    EShape eShape;
};

constexpr std::array<SCommandInfo, 13> kCommands = {{
    {"SIGNATURE", EShape::Text},
    {"SET-BAUDRATE", EShape::Four},
    {"SET-DATASIZE", EShape::One},
    {"SET-PARITY", EShape::One},
    {"SET-STOPSIZE", EShape::One},
    {"SET-CONTROL", EShape::One},
    {"NOTIFY-LINESTATE", EShape::One},
    {"NOTIFY-MODEMSTATE", EShape::One},
    {"FLOWCONTROL-SUSPEND", EShape::None},
    {"FLOWCONTROL-RESUME", EShape::None},
    {"SET-LINESTATE-MASK", EShape::One},
    {"SET-MODEMSTATE-MASK", EShape::One},
    {"PURGE-DATA", EShape::One},
}};

constexpr const char* kControlNames[] = {
    "flow query", "flow none", "flow XON/XOFF", "flow hardware",
    "BREAK query", "BREAK on", "BREAK off",
    "DTR query", "DTR on", "DTR off",
    "RTS query", "RTS on", "RTS off",
    "inbound flow query", "inbound flow none", "inbound flow XON/XOFF", "inbound flow hardware",
    "flow DCD", "inbound flow DTR", "flow DSR",
};

EShape ShapeOf(const SComPortMessage& message)
{
    const EShape eShape = kCommands[size_t(message.eCommand)].eShape;
    const bool bNotify = message.eCommand == EComCommand::NotifyLineState
        || message.eCommand == EComCommand::NotifyModemState;
    return bNotify && !message.bFromServer ? EShape::Poll : eShape;
}

} // namespace

std::optional<SComPortMessage> ParseComPortMessage(QByteArrayView payload, QByteArray* pstrWhy)
{
    const auto refuse = [pstrWhy](const QByteArray& strWhy) -> std::optional<SComPortMessage> {
        if (pstrWhy)
            *pstrWhy = strWhy;
        return std::nullopt;
    };
    if (payload.isEmpty())
        return refuse("no command");
    const uchar nCode = uchar(payload[0]);
    SComPortMessage message;
    message.bFromServer = nCode >= ComPort::kServerOffset;
    const uchar nCommand = message.bFromServer ? uchar(nCode - ComPort::kServerOffset) : nCode;
    if (nCommand >= kCommands.size())
        return refuse("unknown command " + QByteArray::number(nCode));
    message.eCommand = EComCommand(nCommand);

    const QByteArrayView value = payload.sliced(1);
    const char* pszName = kCommands[nCommand].pszName;
    switch (ShapeOf(message)) {
    case EShape::Text:
        message.strText = value.toByteArray();
        break;
    case EShape::Four:
        if (value.size() != 4)
            return refuse(QByteArray(pszName) + " with " + QByteArray::number(value.size()) + " value bytes, not 4");
        message.nValue = qFromBigEndian<quint32>(value.data());
        break;
    case EShape::One:
        if (value.size() != 1)
            return refuse(QByteArray(pszName) + " with " + QByteArray::number(value.size()) + " value bytes, not 1");
        message.nValue = uchar(value[0]);
        break;
    case EShape::None:
        if (!value.isEmpty())
            return refuse(QByteArray(pszName) + " with a value");
        break;
    case EShape::Poll:
        break;
    }
    return message;
}

QByteArray BuildComPortMessage(const SComPortMessage& message)
{
    QByteArray str;
    str.append(char(uchar(message.eCommand) + (message.bFromServer ? ComPort::kServerOffset : 0)));
    switch (ShapeOf(message)) {
    case EShape::Text:
        str.append(message.strText);
        break;
    case EShape::Four: {
        char bytes[4];
        qToBigEndian(message.nValue, bytes);
        str.append(bytes, 4);
        break;
    }
    case EShape::One:
        str.append(char(uchar(message.nValue)));
        break;
    case EShape::None:
    case EShape::Poll:
        break;
    }
    return str;
}

bool IsComPortQuery(const SComPortMessage& message)
{
    if (message.bFromServer)
        return false;
    switch (message.eCommand) {
    case EComCommand::Signature:
        return message.strText.isEmpty();
    case EComCommand::SetBaudRate:
    case EComCommand::SetDataSize:
    case EComCommand::SetParity:
    case EComCommand::SetStopSize:
        return message.nValue == ComPort::kQuery;
    case EComCommand::SetControl:
        return message.nValue == ComPort::FlowQuery || message.nValue == ComPort::BreakQuery
            || message.nValue == ComPort::DtrQuery || message.nValue == ComPort::RtsQuery
            || message.nValue == ComPort::InFlowQuery;
    case EComCommand::NotifyLineState:
    case EComCommand::NotifyModemState:
        return true;
    default:
        return false;
    }
}

QByteArray DescribeComPortMessage(const SComPortMessage& message)
{
    QByteArray str = kCommands[size_t(message.eCommand)].pszName;
    const quint32 n = message.nValue;
    switch (message.eCommand) {
    case EComCommand::Signature: {
        // The peer's text, kept printable for a log line.
        QByteArray strText = message.strText;
        for (char& c : strText) {
            if (uchar(c) < 0x20 || uchar(c) > 0x7e)
                c = '?';
        }
        return strText.isEmpty() ? str : str + ' ' + strText;
    }
    case EComCommand::SetBaudRate:
    case EComCommand::SetDataSize:
        return str + ' ' + (n == ComPort::kQuery ? QByteArray("query") : QByteArray::number(n));
    case EComCommand::SetParity: {
        constexpr const char* kNames[] = {"query", "none", "odd", "even", "mark", "space"};
        return str + ' ' + (n < std::size(kNames) ? QByteArray(kNames[n]) : QByteArray::number(n));
    }
    case EComCommand::SetStopSize: {
        constexpr const char* kNames[] = {"query", "1", "2", "1.5"};
        return str + ' ' + (n < std::size(kNames) ? QByteArray(kNames[n]) : QByteArray::number(n));
    }
    case EComCommand::SetControl:
        return str + ' ' + (n < std::size(kControlNames) ? QByteArray(kControlNames[n]) : QByteArray::number(n));
    case EComCommand::PurgeData: {
        constexpr const char* kNames[] = {"0", "receive", "transmit", "both"};
        return str + ' ' + (n < std::size(kNames) ? QByteArray(kNames[n]) : QByteArray::number(n));
    }
    case EComCommand::FlowControlSuspend:
    case EComCommand::FlowControlResume:
        return str;
    default:
        if (ShapeOf(message) == EShape::Poll)
            return str;
        return str + " 0x" + QByteArray::number(n, 16).rightJustified(2, '0');
    }
}
