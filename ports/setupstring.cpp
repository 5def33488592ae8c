#include "setupstring.h"

QByteArray SetupStringText(const QByteArray& strSetup)
{
    const qsizetype nNul = strSetup.indexOf('\0');
    return nNul < 0 ? strSetup : strSetup.left(nNul);
}

EPortKind RecognisePortKind(const QByteArray& strSetup)
{
    const QByteArray strHead = strSetup.left(3);
    if (strHead == "COM")
        return EPortKind::Serial;
    if (strHead == "TCP")
        return EPortKind::Tcp;
    if (strHead == "UDP")
        return EPortKind::Udp;
    return EPortKind::Unknown;
}

int ParsePortNumber(const QByteArray& strField)
{
    qsizetype i = 0;
    const qsizetype n = strField.size();
    auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (i < n && isSpace(strField[i]))
        ++i;
    bool bNegative = false;
    if (i < n && (strField[i] == '+' || strField[i] == '-')) {
        bNegative = strField[i] == '-';
        ++i;
    }
    long long nValue = 0;
    // The field holds at most 7 characters, so the value cannot overflow.
    while (i < n && strField[i] >= '0' && strField[i] <= '9') {
        nValue = nValue * 10 + (strField[i] - '0');
        ++i;
    }
    return int(bNegative ? -nValue : nValue);
}

int SplitWinsockSetup(const QByteArray& strSetup, EPortKind kind, SWinsockSetup* pResult)
{
    const int nNoColon = kind == EPortKind::Tcp ? 10 : 12;
    const int nNoComma = kind == EPortKind::Tcp ? 11 : 13;
    const qsizetype nColon = strSetup.indexOf(':');
    if (nColon < 0)
        return nNoColon;
    const qsizetype nComma = strSetup.indexOf(',', nColon + 1);
    if (nComma < 0)
        return nNoComma;
    const QByteArray strPort = strSetup.mid(nColon + 1, nComma - nColon - 1);
    const QByteArray strAddress = strSetup.mid(nComma + 1);
    if (strPort.size() > kMaxPortField || strAddress.size() > kMaxAddressField)
        return nNoComma;
    pResult->nPort = ParsePortNumber(strPort);
    pResult->strAddress = strAddress;
    return 0;
}
