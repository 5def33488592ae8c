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

} // namespace

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
            } else {
                *pstrProblem = "clients= takes replace or refuse, not '" + strValue + "'";
                return false;
            }
        } else if (strName == "clients" && !bTcp) {
            *pstrProblem = "clients= is an option of a listening TCP port only";
            return false;
        } else {
            *pstrProblem = "unknown option '" + strOption + "'; known: "
                         + (bTcp ? "clients=replace|refuse, allow=<addresses>" : "allow=<addresses>");
            return false;
        }
    }
    *pOptions = options;
    return true;
}
