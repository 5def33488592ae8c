#include "serialmode.h"

#include <QList>

#include <array>
#include <utility>

namespace {

// Highest rate taken; the device itself refuses what it cannot run.
constexpr quint32 kMaxBaud = 0x7fffffff;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArrayView Trim(QByteArrayView v)
{
    while (!v.isEmpty() && IsBlank(v.front()))
        v = v.sliced(1);
    while (!v.isEmpty() && IsBlank(v.back()))
        v.chop(1);
    return v;
}

bool EqualsNoCase(QByteArrayView a, const char* b)
{
    return a.compare(QByteArrayView(b), Qt::CaseInsensitive) == 0;
}

// Records why the string is refused, for the operator; always false.
bool Refuse(QByteArray* pstrWhy, const QByteArray& strWhy)
{
    if (pstrWhy)
        *pstrWhy = strWhy;
    return false;
}

QByteArray Quoted(QByteArrayView v)
{
    return '\'' + v.toByteArray() + '\'';
}

// Leading zeros say nothing ("09600" is 9600, "08" is 8); stored strings may
// carry them. At least one digit stays.
QByteArrayView WithoutLeadingZeros(QByteArrayView v)
{
    while (v.size() > 1 && v.front() == '0' && v[1] >= '0' && v[1] <= '9')
        v = v.sliced(1);
    return v;
}

// Decimal digits only, value within nMax.
std::optional<quint32> ParseNumber(QByteArrayView v, quint32 nMax)
{
    if (v.isEmpty())
        return std::nullopt;
    quint64 n = 0;
    for (char c : v) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + quint64(c - '0');
        if (n > nMax)
            return std::nullopt;
    }
    return quint32(n);
}

std::optional<quint32> ParseBaud(QByteArrayView vText)
{
    const QByteArrayView v = WithoutLeadingZeros(vText);
    // The old two-digit abbreviations of the mode command.
    static constexpr std::array<std::pair<const char*, quint32>, 9> kShort{{
        {"11", 110}, {"15", 150}, {"30", 300}, {"60", 600}, {"12", 1200},
        {"24", 2400}, {"48", 4800}, {"96", 9600}, {"19", 19200}}};
    for (const auto& [pText, nRate] : kShort) {
        if (v == QByteArrayView(pText))
            return nRate;
    }
    const auto n = ParseNumber(v, kMaxBaud);
    if (!n || *n == 0)
        return std::nullopt;
    return n;
}

std::optional<char> ParseParity(QByteArrayView v)
{
    if (v.size() != 1)
        return std::nullopt;
    const char c = char(v.front() | 0x20);
    if (c == 'n' || c == 'e' || c == 'o' || c == 'm' || c == 's')
        return c;
    return std::nullopt;
}

std::optional<int> ParseDataBits(QByteArrayView vText)
{
    const QByteArrayView v = WithoutLeadingZeros(vText);
    if (v.size() == 1 && v.front() >= '5' && v.front() <= '8')
        return v.front() - '0';
    return std::nullopt;
}

std::optional<SSerialMode::EStopBits> ParseStopBits(QByteArrayView vText)
{
    const QByteArrayView v = WithoutLeadingZeros(vText);
    if (v == QByteArrayView("1"))
        return SSerialMode::EStopBits::One;
    if (v == QByteArrayView("1.5"))
        return SSerialMode::EStopBits::OneAndHalf;
    if (v == QByteArrayView("2"))
        return SSerialMode::EStopBits::Two;
    return std::nullopt;
}

// "on"/"off", and "hs" (handshake) where bHandshake allows it.
enum class ESwitch { On, Off, Handshake };
std::optional<ESwitch> ParseSwitch(QByteArrayView v, bool bHandshake)
{
    if (EqualsNoCase(v, "on"))
        return ESwitch::On;
    if (EqualsNoCase(v, "off"))
        return ESwitch::Off;
    if (bHandshake && EqualsNoCase(v, "hs"))
        return ESwitch::Handshake;
    return std::nullopt;
}

// Reasons shared by both forms.
const QByteArray kBadBaud = "the baud rate must be a positive whole number, got ";
const QByteArray kBadParity = "the parity must be one of n, e, o, m, s, got ";
const QByteArray kBadData = "the data bits must be 5, 6, 7 or 8, got ";
const QByteArray kBadStop = "the stop bits must be 1, 1.5 or 2, got ";

// "baud[,parity[,data[,stop[,flow]]]]"; an empty field keeps its default.
bool ParseCommaForm(QByteArrayView strMode, SSerialMode& mode, QByteArray* pstrWhy)
{
    const QList<QByteArrayView> fields = [&] {
        QList<QByteArrayView> list;
        qsizetype nStart = 0;
        for (qsizetype i = 0; i <= strMode.size(); ++i) {
            if (i == strMode.size() || strMode[i] == ',') {
                list.append(Trim(strMode.sliced(nStart, i - nStart)));
                nStart = i + 1;
            }
        }
        return list;
    }();
    if (fields.size() > 5)
        return Refuse(pstrWhy, "more than five fields after the ':' (baud,parity,data,stop,flow)");

    const auto baud = ParseBaud(fields[0]);
    if (!baud)
        return Refuse(pstrWhy, kBadBaud + Quoted(fields[0]));
    mode.nBaud = *baud;

    if (fields.size() > 1 && !fields[1].isEmpty()) {
        const auto parity = ParseParity(fields[1]);
        if (!parity)
            return Refuse(pstrWhy, kBadParity + Quoted(fields[1]));
        mode.cParity = *parity;
    }
    if (fields.size() > 2 && !fields[2].isEmpty()) {
        const auto data = ParseDataBits(fields[2]);
        if (!data)
            return Refuse(pstrWhy, kBadData + Quoted(fields[2]));
        mode.nDataBits = *data;
    }
    if (fields.size() > 3 && !fields[3].isEmpty()) {
        const auto stop = ParseStopBits(fields[3]);
        if (!stop)
            return Refuse(pstrWhy, kBadStop + Quoted(fields[3]));
        mode.eStopBits = *stop;
    }
    if (fields.size() > 4 && !fields[4].isEmpty()) {
        if (EqualsNoCase(fields[4], "x"))
            mode.bXonXoff = true;
        else if (EqualsNoCase(fields[4], "p"))
            mode.bRtsCts = true;
        else
            return Refuse(pstrWhy, "flow control must be x (XON/XOFF) or p (RTS/CTS), got " + Quoted(fields[4]));
    }
    return true;
}

// "baud=9600 parity=N data=8 stop=1 xon=off octs=off dtr=on rts=on"; blanks
// may stand around "=". Every key at most once; baud is required.
bool ParseKeywordForm(QByteArrayView strMode, SSerialMode& mode, QByteArray* pstrWhy)
{
    static constexpr std::array<const char*, 8> kKeys{
        "baud", "parity", "data", "stop", "xon", "octs", "dtr", "rts"};
    std::array<std::optional<QByteArrayView>, kKeys.size()> values;

    qsizetype i = 0;
    const qsizetype n = strMode.size();
    auto skipBlanks = [&] {
        while (i < n && IsBlank(strMode[i]))
            ++i;
    };
    for (;;) {
        skipBlanks();
        if (i == n)
            break;
        const qsizetype nKey = i;
        while (i < n && !IsBlank(strMode[i]) && strMode[i] != '=')
            ++i;
        const QByteArrayView key = strMode.sliced(nKey, i - nKey);
        skipBlanks();
        if (i == n || strMode[i] != '=')
            return Refuse(pstrWhy, Quoted(key) + " has no '=' and value");
        ++i;
        skipBlanks();
        const qsizetype nValue = i;
        while (i < n && !IsBlank(strMode[i]) && strMode[i] != '=')
            ++i;
        const QByteArrayView value = strMode.sliced(nValue, i - nValue);
        if (key.isEmpty() || value.isEmpty())
            return Refuse(pstrWhy, "a key or value is empty around an '='");

        std::size_t k = 0;
        while (k < kKeys.size() && !EqualsNoCase(key, kKeys[k]))
            ++k;
        if (k == kKeys.size())
            return Refuse(pstrWhy, "unknown key " + Quoted(key) + " (baud parity data stop xon octs dtr rts)");
        if (values[k])
            return Refuse(pstrWhy, Quoted(key) + " is given twice");
        values[k] = value;
    }

    if (!values[0])
        return Refuse(pstrWhy, "baud= is missing");
    const auto baud = ParseBaud(*values[0]);
    if (!baud)
        return Refuse(pstrWhy, kBadBaud + Quoted(*values[0]));
    mode.nBaud = *baud;

    if (values[1]) {
        const auto parity = ParseParity(*values[1]);
        if (!parity)
            return Refuse(pstrWhy, kBadParity + Quoted(*values[1]));
        mode.cParity = *parity;
    }
    if (values[2]) {
        const auto data = ParseDataBits(*values[2]);
        if (!data)
            return Refuse(pstrWhy, kBadData + Quoted(*values[2]));
        mode.nDataBits = *data;
    }
    if (values[3]) {
        const auto stop = ParseStopBits(*values[3]);
        if (!stop)
            return Refuse(pstrWhy, kBadStop + Quoted(*values[3]));
        mode.eStopBits = *stop;
    }
    if (values[4]) {
        const auto xon = ParseSwitch(*values[4], false);
        if (!xon)
            return Refuse(pstrWhy, "xon= must be on or off, got " + Quoted(*values[4]));
        mode.bXonXoff = *xon == ESwitch::On;
    }

    // termios has one switch for both directions of RTS/CTS: "octs=on" and
    // "rts=hs" both ask for it, and one of them may not say "off" to it.
    std::optional<ESwitch> octs;
    std::optional<ESwitch> rts;
    if (values[5] && !(octs = ParseSwitch(*values[5], false)))
        return Refuse(pstrWhy, "octs= must be on or off, got " + Quoted(*values[5]));
    if (values[7] && !(rts = ParseSwitch(*values[7], true)))
        return Refuse(pstrWhy, "rts= must be on, off or hs, got " + Quoted(*values[7]));
    const bool bOcts = octs == ESwitch::On;
    const bool bRtsHs = rts == ESwitch::Handshake;
    if ((bOcts && rts == ESwitch::Off) || (bRtsHs && octs == ESwitch::Off))
        return Refuse(pstrWhy, "octs= and rts= contradict each other (one RTS/CTS switch serves both)");
    mode.bRtsCts = bOcts || bRtsHs;
    if (rts == ESwitch::On)
        mode.eRts = SSerialMode::ELine::On;
    else if (rts == ESwitch::Off)
        mode.eRts = SSerialMode::ELine::Off;

    if (values[6]) {
        // Linux has no DTR handshake.
        const auto dtr = ParseSwitch(*values[6], true);
        if (!dtr)
            return Refuse(pstrWhy, "dtr= must be on or off, got " + Quoted(*values[6]));
        if (*dtr == ESwitch::Handshake)
            return Refuse(pstrWhy, "dtr=hs: Linux has no DTR handshake");
        mode.eDtr = *dtr == ESwitch::On ? SSerialMode::ELine::On : SSerialMode::ELine::Off;
    }
    return true;
}

} // namespace

void BuildTermios(SSerialMode& mode)
{
    termios& t = mode.tio;
    t = termios{};
    t.c_cflag = CREAD | CLOCAL;
    switch (mode.nDataBits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
    }
    switch (mode.cParity) {
    case 'e': t.c_cflag |= PARENB; break;
    case 'o': t.c_cflag |= PARENB | PARODD; break;
    case 'm': t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 's': t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    // With 5 data bits the UART sends 1.5 stop bits for CSTOPB.
    if (mode.eStopBits != SSerialMode::EStopBits::One)
        t.c_cflag |= CSTOPB;
    if (mode.bRtsCts)
        t.c_cflag |= CRTSCTS;
    if (mode.bXonXoff)
        t.c_iflag |= IXON | IXOFF;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    const speed_t speed = StandardSpeed(mode.nBaud);
    mode.bStandardBaud = speed != B0;
    if (mode.bStandardBaud) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
}

speed_t StandardSpeed(quint32 nBaud)
{
    static constexpr std::array<std::pair<quint32, speed_t>, 30> kSpeeds{{
        {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150},
        {200, B200}, {300, B300}, {600, B600}, {1200, B1200}, {1800, B1800},
        {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200},
        {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
        {460800, B460800}, {500000, B500000}, {576000, B576000},
        {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
        {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000}}};
    for (const auto& [nRate, speed] : kSpeeds) {
        if (nRate == nBaud)
            return speed;
    }
    return B0;
}

std::optional<SSerialMode> ParseSerialMode(QByteArrayView strSetup, QByteArray* pstrWhy)
{
    const qsizetype nColon = strSetup.indexOf(':');
    if (nColon < 0) {
        Refuse(pstrWhy, "there is no ':' after the port name");
        return std::nullopt;
    }
    const QByteArrayView strMode = strSetup.sliced(nColon + 1);

    SSerialMode mode;
    const bool bOk = strMode.contains('=') ? ParseKeywordForm(strMode, mode, pstrWhy)
                                           : ParseCommaForm(strMode, mode, pstrWhy);
    if (!bOk)
        return std::nullopt;
    // 1.5 stop bits exist only with 5 data bits, 2 only with more.
    if (mode.eStopBits == SSerialMode::EStopBits::OneAndHalf && mode.nDataBits != 5) {
        Refuse(pstrWhy, "1.5 stop bits go only with 5 data bits");
        return std::nullopt;
    }
    if (mode.eStopBits == SSerialMode::EStopBits::Two && mode.nDataBits == 5) {
        Refuse(pstrWhy, "2 stop bits cannot go with 5 data bits (use 1.5)");
        return std::nullopt;
    }
    BuildTermios(mode);
    return mode;
}

bool ModeTookEffect(const SSerialMode& mode, tcflag_t nCflag, tcflag_t nIflag, quint32 nBaud)
{
    const quint64 nWant = mode.nBaud;
    const quint64 nGot = nBaud;
    const quint64 nDiff = nWant > nGot ? nWant - nGot : nGot - nWant;
    if (nDiff * 50 > nWant)
        return false;
    if ((nCflag & (CSTOPB | CRTSCTS)) != (mode.tio.c_cflag & (CSTOPB | CRTSCTS)))
        return false;
    return (nIflag & (IXON | IXOFF)) == (mode.tio.c_iflag & (IXON | IXOFF));
}
