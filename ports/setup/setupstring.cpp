#include "setupstring.h"

#include <arpa/inet.h>

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
    if (strHead == "TLS")
        return EPortKind::Tls;
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

namespace {

bool IsDigits(const QByteArray& strText)
{
    if (strText.isEmpty())
        return false;
    for (char c : strText) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

bool IsIPv4Literal(const QByteArray& strAddress)
{
    in_addr addr {};
    return ::inet_pton(AF_INET, strAddress.constData(), &addr) == 1;
}

// The local form after "TCP:" / "UDP:": decimal digits (0-65535), optionally
// followed by "@" and an IPv4 or IPv6 literal, then optionally ";" and the
// options. Nothing else: every other text without a "," stays refused.
bool SplitLocalForm(const QByteArray& strText, EPortKind kind, SWinsockSetup* pResult, QByteArray* pstrProblem)
{
    const qsizetype nSemicolon = strText.indexOf(';');
    const QByteArray strRest = nSemicolon < 0 ? strText : strText.left(nSemicolon);
    const qsizetype nAt = strRest.indexOf('@');
    const QByteArray strPort = nAt < 0 ? strRest : strRest.left(nAt);
    if (!IsDigits(strPort) || strPort.size() > 5 || strPort.toInt() > 65535)
        return false;
    QByteArray strAddress;
    if (nAt >= 0) {
        strAddress = strRest.mid(nAt + 1);
        if (!IsIPv4Literal(strAddress) && !IsIPv6Literal(strAddress))
            return false;
    }
    SListenOptions options;
    if (nSemicolon >= 0) {
        QByteArray strProblem;
        if (!ParseListenOptions(strText.mid(nSemicolon + 1), kind != EPortKind::Udp, &options, &strProblem)) {
            if (pstrProblem)
                *pstrProblem = strProblem;
            return false;
        }
        if (kind != EPortKind::Tls && !options.strTlsSection.isEmpty()) {
            if (pstrProblem)
                *pstrProblem = "tls= is an option of TLS: ports only";
            return false;
        }
    }
    pResult->options = options;
    pResult->nPort = strPort.toInt();
    pResult->strAddress = strAddress;
    pResult->bLocal = true;
    return true;
}

// A host name as a certificate names it: letters, digits, '-', '_' and '.'.
bool IsHostName(const QByteArray& strHost)
{
    if (strHost.isEmpty() || strHost.size() > kMaxTlsHost)
        return false;
    for (char c : strHost) {
        const bool bOk = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-'
                      || c == '_' || c == '.';
        if (!bOk)
            return false;
    }
    return true;
}

// "TLS:<port>,<host>" and the local form with options; 20 for anything else.
int SplitTlsSetup(const QByteArray& strSetup, SWinsockSetup* pResult, QByteArray* pstrOptionsProblem)
{
    constexpr int kRefused = 20;
    if (!strSetup.startsWith("TLS:"))
        return kRefused;
    const QByteArray strText = strSetup.mid(4);
    const qsizetype nComma = strText.indexOf(',');
    if (nComma < 0)
        return SplitLocalForm(strText, EPortKind::Tls, pResult, pstrOptionsProblem) ? 0 : kRefused;
    // The client form takes its one option, tls=<name>, between the port
    // and the ",": the host runs to the end of the string.
    QByteArray strPort = strText.left(nComma);
    QByteArray strSection;
    if (const qsizetype nSemicolon = strPort.indexOf(';'); nSemicolon >= 0) {
        const QByteArray strOption = strPort.mid(nSemicolon + 1);
        strPort = strPort.left(nSemicolon);
        QByteArray strProblem;
        if (!strOption.startsWith("tls=")) {
            strProblem = "a TLS client takes one option before the ',', tls=<name>, not '" + strOption + "'";
        } else if (IsTlsSectionName(strOption.mid(4), &strProblem)) {
            strSection = strOption.mid(4);
        }
        if (strSection.isEmpty()) {
            if (pstrOptionsProblem)
                *pstrOptionsProblem = strProblem;
            return kRefused;
        }
    }
    const QByteArray strHost = strText.mid(nComma + 1);
    if (!IsDigits(strPort) || strPort.size() > 5 || strPort.toInt() < 1 || strPort.toInt() > 65535)
        return kRefused;
    if (!IsHostName(strHost) && !IsIPv6Literal(strHost))
        return kRefused;
    pResult->nPort = strPort.toInt();
    pResult->strAddress = strHost;
    pResult->bLocal = false;
    pResult->options = SListenOptions();
    pResult->options.strTlsSection = strSection;
    return 0;
}

} // namespace

bool IsIPv6Literal(const QByteArray& strAddress)
{
    const qsizetype nPercent = strAddress.indexOf('%');
    const QByteArray strLiteral = nPercent < 0 ? strAddress : strAddress.left(nPercent);
    if (strLiteral.size() > kMaxIPv6Literal || !strLiteral.contains(':'))
        return false;
    if (nPercent >= 0) {
        const QByteArray strScope = strAddress.mid(nPercent + 1);
        if (strScope.isEmpty() || strScope.size() > kMaxIPv6Scope)
            return false;
        for (char c : strScope) {
            const bool bOk = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'
                          || c == '-' || c == '.';
            if (!bOk)
                return false;
        }
    }
    in6_addr addr {};
    return ::inet_pton(AF_INET6, strLiteral.constData(), &addr) == 1;
}

int SplitWinsockSetup(const QByteArray& strSetup, EPortKind kind, SWinsockSetup* pResult,
                      QByteArray* pstrOptionsProblem)
{
    if (kind == EPortKind::Tls)
        return SplitTlsSetup(strSetup, pResult, pstrOptionsProblem);
    const int nNoColon = kind == EPortKind::Tcp ? 10 : 12;
    const int nNoComma = kind == EPortKind::Tcp ? 11 : 13;
    const qsizetype nColon = strSetup.indexOf(':');
    if (nColon < 0)
        return nNoColon;
    const qsizetype nComma = strSetup.indexOf(',', nColon + 1);
    if (nComma < 0) {
        // The local forms are written "TCP:..." / "UDP:..." exactly.
        const bool bLocal = nColon == 3 && SplitLocalForm(strSetup.mid(nColon + 1), kind, pResult, pstrOptionsProblem);
        return bLocal ? 0 : nNoComma;
    }
    const QByteArray strPort = strSetup.mid(nColon + 1, nComma - nColon - 1);
    const QByteArray strAddress = strSetup.mid(nComma + 1);
    if (strPort.size() > kMaxPortField)
        return nNoComma;
    if (strAddress.size() > kMaxAddressField && !IsIPv6Literal(strAddress))
        return nNoComma;
    pResult->nPort = ParsePortNumber(strPort);
    pResult->strAddress = strAddress;
    pResult->bLocal = false;
    return 0;
}
