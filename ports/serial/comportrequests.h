#pragma once

#include "setup/serialmode.h"
#include "stream/comportoption.h"

#include <QByteArray>
#include <QList>

#include <optional>


// The com port commands that give a remote line the settings of a mode
// string: speed, data bits, parity, stop bits and flow control, then DTR and
// RTS raised as opening a local line raises them (dtr=off / rts=off keep
// them low; RTS is left to the device server under RTS/CTS flow control).
QList<SComPortMessage> ComPortSettingsOf(const SSerialMode& mode);
// SET-PARITY's and SET-STOPSIZE's codes for a mode's parity letter and stop bits.
uchar ComPortParityCode(char cParity);
uchar ComPortStopCode(SSerialMode::EStopBits eStop);

// The commands a client has sent and not yet seen answered. Every command
// of RFC 2217 is answered with its code + 100 and the value in force; the
// answers come in the order of the commands, so the oldest command of the
// same code is the one answered.
class CComPortRequests
{
public:
    // How long a device server may take to answer a command.
    static constexpr qint64 kAnswerTimeoutMs = 3000;

    void Sent(const SComPortMessage& command, qint64 nNowMs);
    // An answer from the server: the command it answers is done. Returns
    // the command when the server refused it (answered another value);
    // nothing for an accepted command, or for an answer nobody asked for.
    std::optional<SComPortMessage> Answered(const SComPortMessage& answer);
    // The commands without an answer for kAnswerTimeoutMs; they are given up.
    QList<SComPortMessage> TakeOverdue(qint64 nNowMs);
    // When the oldest command becomes overdue; -1 when none waits.
    qint64 NextDeadline() const;
    bool IsEmpty() const { return m_listWaiting.isEmpty(); }

private:
    struct SWaiting
    {
        SComPortMessage command;
        qint64 nDeadline;
    };
    QList<SWaiting> m_listWaiting;
};
