#include "listenoptions.h"

#include <QByteArrayList>

namespace {

bool ParseAllow(const QByteArray& strValue, SListenOptions* pOptions, QByteArray* pstrProblem)
{
    if (strValue.isEmpty()) {
        *pstrProblem = "allow= needs at least one address";
        return false;
    }
    // Entries are separated by "+": an IPv6 address holds ":" and a "," is
    // not available (see the header).
    for (const QByteArray& strEntry : strValue.split('+')) {
        if (!pOptions->allow.Add(strEntry)) {
            *pstrProblem = "allow= takes addresses and prefixes written as numbers (10.0.0.7, 192.168.1.0/24, "
                           "fd00::/8) separated by '+'; '" + strEntry + "' is none";
            return false;
        }
    }
    return true;
}

// clients=<N>: plain decimal digits without a leading zero, 1 to kMaxShared.
// One client at a time is what clients=refuse does.
bool ParseShared(const QByteArray& strValue, SListenOptions* pOptions)
{
    if (strValue.isEmpty() || strValue.size() > 2 || strValue.front() == '0')
        return false;
    for (const char c : strValue) {
        if (c < '0' || c > '9')
            return false;
    }
    const int nClients = strValue.toInt();
    if (nClients > SListenOptions::kMaxShared)
        return false;
    pOptions->eClients = nClients == 1 ? SListenOptions::Refuse : SListenOptions::Share;
    pOptions->nShared = nClients == 1 ? 0 : nClients;
    return true;
}

} // namespace

bool IsTlsSectionName(const QByteArray& strName, QByteArray* pstrProblem)
{
    bool bOk = !strName.isEmpty() && strName.size() <= kMaxTlsSectionName;
    for (const char c : strName)
        bOk = bOk && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_');
    if (!bOk)
        *pstrProblem = "tls= takes the name of a profile section [TLS <name>]: 1 to "
                     + QByteArray::number(kMaxTlsSectionName) + " letters, digits, '-' and '_', not '" + strName + "'";
    return bOk;
}

bool ParseListenOptions(const QByteArray& strOptions, bool bTcp, SListenOptions* pOptions, QByteArray* pstrProblem)
{
    SListenOptions options;
    options.bGiven = true;
    bool bClients = false;
    for (const QByteArray& strOption : strOptions.split(';')) {
        const qsizetype nEquals = strOption.indexOf('=');
        const QByteArray strName = nEquals < 0 ? strOption : strOption.left(nEquals);
        const QByteArray strValue = nEquals < 0 ? QByteArray() : strOption.mid(nEquals + 1);
        if (strOption.isEmpty()) {
            *pstrProblem = "an empty option (two ';' in a row, or one at the end)";
            return false;
        }
        if (strName == "allow" && nEquals >= 0) {
            if (!ParseAllow(strValue, &options, pstrProblem))
                return false;
        } else if (strName == "clients" && nEquals >= 0 && bTcp) {
            if (bClients) {
                *pstrProblem = "clients= is given twice";
                return false;
            }
            bClients = true;
            if (strValue == "replace") {
                options.eClients = SListenOptions::Replace;
            } else if (strValue == "refuse") {
                options.eClients = SListenOptions::Refuse;
            } else if (!ParseShared(strValue, &options)) {
                *pstrProblem = "clients= takes replace, refuse or a number of clients from 1 to "
                             + QByteArray::number(SListenOptions::kMaxShared) + ", not '" + strValue + "'";
                return false;
            }
        } else if (strOption == "rfc2217" && bTcp) {
            if (options.bComPort) {
                *pstrProblem = "rfc2217 is given twice";
                return false;
            }
            options.bComPort = true;
        } else if (strName == "rfc2217" && bTcp) {
            *pstrProblem = "rfc2217 takes no value, not '" + strOption + "'";
            return false;
        } else if (strName == "rfc2217") {
            *pstrProblem = "rfc2217 is an option of a listening TCP or TLS port only";
            return false;
        } else if (strName == "tls" && nEquals >= 0) {
            if (!options.strTlsSection.isEmpty()) {
                *pstrProblem = "tls= is given twice";
                return false;
            }
            if (!IsTlsSectionName(strValue, pstrProblem))
                return false;
            options.strTlsSection = strValue;
        } else if (strName == "clients" && !bTcp) {
            *pstrProblem = "clients= is an option of a listening TCP port only";
            return false;
        } else {
            *pstrProblem = "unknown option '" + strOption + "'; known: "
                         + (bTcp ? "clients=replace|refuse|<1-" + QByteArray::number(SListenOptions::kMaxShared)
                                       + ">, allow=<addresses>, rfc2217, tls=<name> (TLS: only)"
                                 : QByteArray("allow=<addresses>"));
            return false;
        }
    }
    *pOptions = options;
    return true;
}
