#pragma once

#include <QByteArray>
#include <QList>

struct x509_st;

// One entry of AllowSubjects=: "ATTRIBUTE=VALUE", the attribute by its
// OpenSSL name (CN, O, OU, C, L, ST, DC, emailAddress, serialNumber, UID,
// ... and the long names; as OpenSSL spells them). A certificate's subject
// matches when one of its entries of that attribute equals VALUE exactly
// (bytes of its UTF-8 text, case counts), or, for VALUE ending in "*",
// begins with what comes before the "*" (a "*" anywhere else is refused).
struct STlsSubject
{
    int nNid = 0;
    QByteArray strValue; // without the final "*"
    bool bPrefix = false;
    bool operator==(const STlsSubject&) const = default;
};

// "CN=plc-01;CN=scada-*": entries separated by ";", blanks around them
// dropped. False with the reason (naming the entry) in *pstrWhy.
bool ParseSubjectList(const QByteArray& strList, QList<STlsSubject>* pList, QByteArray* pstrWhy);

// Whether the certificate's subject matches one entry of the list.
bool SubjectAllowed(const QList<STlsSubject>& list, const x509_st* pCert);

// The subject in one line as RFC 2253 writes it ("CN=plc-01,O=Plant",
// commas inside a value escaped), UTF-8 kept; empty without a certificate.
QByteArray SubjectText(const x509_st* pCert);
