#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <optional>

// Messages of the Telnet com port option (RFC 2217): the payload of
// IAC SB COM-PORT-OPTION <command> <value> IAC SE, as values.
enum class EComCommand : uchar {
    Signature = 0,
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    FlowControlSuspend = 8,
    FlowControlResume = 9,
    SetLineStateMask = 10,
    SetModemStateMask = 11,
    PurgeData = 12,
};

namespace ComPort {
// An access server's code is the command's plus this.
inline constexpr uchar kServerOffset = 100;
// For SET-BAUDRATE, SET-DATASIZE, SET-PARITY and SET-STOPSIZE: send the
// value in force.
inline constexpr uchar kQuery = 0;
inline constexpr uchar kParityNone = 1, kParityOdd = 2, kParityEven = 3, kParityMark = 4, kParitySpace = 5;
inline constexpr uchar kStopOne = 1, kStopTwo = 2, kStopOneAndHalf = 3;
// SET-CONTROL values. Flow settings without "In" are outbound or both ways.
enum EControl : uchar {
    FlowQuery, FlowNone, FlowXonXoff, FlowHardware,
    BreakQuery, BreakOn, BreakOff,
    DtrQuery, DtrOn, DtrOff,
    RtsQuery, RtsOn, RtsOff,
    InFlowQuery, InFlowNone, InFlowXonXoff, InFlowHardware,
    FlowDcd, InFlowDtr, FlowDsr,
};
// NOTIFY-LINESTATE bits, also those of SET-LINESTATE-MASK.
inline constexpr uchar kLineTimeout = 0x80, kLineShiftEmpty = 0x40, kLineHoldingEmpty = 0x20,
                       kLineBreak = 0x10, kLineFraming = 0x08, kLineParity = 0x04,
                       kLineOverrun = 0x02, kLineDataReady = 0x01;
// NOTIFY-MODEMSTATE bits, also those of SET-MODEMSTATE-MASK; the low four
// say which line changed (RI: its trailing edge).
inline constexpr uchar kModemDcd = 0x80, kModemRi = 0x40, kModemDsr = 0x20, kModemCts = 0x10,
                       kModemDcdDelta = 0x08, kModemRiEdge = 0x04, kModemDsrDelta = 0x02,
                       kModemCtsDelta = 0x01;
inline constexpr uchar kPurgeReceive = 1, kPurgeTransmit = 2, kPurgeBoth = 3;
} // namespace ComPort

struct SComPortMessage
{
    EComCommand eCommand = EComCommand::Signature;
    // Sent by the access server (code + 100): an answer or a notification.
    bool bFromServer = false;
    // The baud rate, or the one-byte value; 0 for commands without one.
    quint32 nValue = 0;
    // SIGNATURE only; empty asks the peer for its signature.
    QByteArray strText;

    bool operator==(const SComPortMessage&) const = default;
};

// A client's command with its value.
inline SComPortMessage ComPortCommand(EComCommand eCommand, quint32 nValue)
{
    SComPortMessage message;
    message.eCommand = eCommand;
    message.nValue = nValue;
    return message;
}

// Reads the payload that follows the option byte. Only the shape is checked
// (a known code, the value's length); what a value means is the receiver's
// business, since the protocol answers an unknown value with the one in
// force. A client's NOTIFY-LINESTATE or NOTIFY-MODEMSTATE is a poll: a value
// byte, if any, is ignored. Returns nothing for a malformed payload, with the
// reason in *pstrWhy when given.
std::optional<SComPortMessage> ParseComPortMessage(QByteArrayView payload, QByteArray* pstrWhy = nullptr);
// The payload for SendSubnegotiation(Telnet::kComPort, ...).
QByteArray BuildComPortMessage(const SComPortMessage& message);

// Whether a client's message asks for the value in force instead of setting
// one (SET-CONTROL's requests included).
bool IsComPortQuery(const SComPortMessage& message);
// In words for log lines, e.g. "SET-BAUDRATE 57600", "SET-CONTROL DTR on".
QByteArray DescribeComPortMessage(const SComPortMessage& message);
