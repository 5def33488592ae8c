#pragma once

#include <QByteArrayView>
#include <QtGlobal>

#include <optional>
#include <termios.h>

// Line settings of a serial setup string such as "COM2:9600,n,8,1" or
// "COM2: baud=9600 parity=N data=8 stop=1", and the termios record that
// applies them.
struct SSerialMode
{
    enum class EStopBits { One, OneAndHalf, Two };
    // A modem line the string asks for explicitly (keyword form dtr=, rts=).
    enum class ELine { Default, On, Off };

    quint32 nBaud = 0;
    char cParity = 'n'; // n, e, o, m, s
    int nDataBits = 8;
    EStopBits eStopBits = EStopBits::One;
    bool bXonXoff = false;
    bool bRtsCts = false;
    ELine eDtr = ELine::Default;
    ELine eRts = ELine::Default;
    // True when the rate has a Bxxx constant; otherwise the record's speed
    // is B0 and the device layer sets nBaud through termios2 (BOTHER).
    bool bStandardBaud = true;

    // Raw mode built from a cleared record: CREAD | CLOCAL, character size,
    // parity, stop bits, flow control and (for standard rates) the speed.
    termios tio{};
};

// Parses the whole setup string, device name included (the text before the
// first ":" is not looked at). Returns nothing for a string whose settings
// cannot be applied through termios; then *pstrWhy (when given) says which
// field is wrong, in words for the operator.
std::optional<SSerialMode> ParseSerialMode(QByteArrayView strSetup, QByteArray* pstrWhy = nullptr);

// Fills mode.tio (and bStandardBaud) from the other fields, after one of
// them has changed.
void BuildTermios(SSerialMode& mode);

// The Bxxx constant of a rate, or B0 when there is none.
speed_t StandardSpeed(quint32 nBaud);

// Whether the settings read back from the device hold what the mode asked
// for: the rate within 2 % (drivers round to what their clock can divide),
// the stop bits and both kinds of flow control. Character size and parity
// are not compared: pseudo-terminals keep 8 bits without parity.
bool ModeTookEffect(const SSerialMode& mode, tcflag_t nCflag, tcflag_t nIflag, quint32 nBaud);
