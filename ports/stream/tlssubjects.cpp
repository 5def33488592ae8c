#include "tlssubjects.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

bool ParseSubjectList(const QByteArray& strList, QList<STlsSubject>* pList, QByteArray* pstrWhy)
{
    QList<STlsSubject> list;
    for (const QByteArray& strRaw : strList.split(';')) {
        const QByteArray strEntry = strRaw.trimmed();
        const qsizetype nEquals = strEntry.indexOf('=');
        const QByteArray strName = nEquals < 0 ? strEntry : strEntry.left(nEquals).trimmed();
        STlsSubject subject;
        subject.strValue = nEquals < 0 ? QByteArray() : strEntry.mid(nEquals + 1).trimmed();
        subject.nNid = strName.isEmpty() ? NID_undef : OBJ_txt2nid(strName.constData());
        if (subject.strValue.endsWith('*')) {
            subject.bPrefix = true;
            subject.strValue.chop(1);
        }
        if (nEquals < 0 || subject.nNid == NID_undef) {
            *pstrWhy = "takes entries ATTRIBUTE=VALUE (CN=plc-01) separated by ';'; '" + strEntry
                     + "' names no attribute OpenSSL knows";
            return false;
        }
        if (subject.strValue.contains('*') || (subject.strValue.isEmpty() && !subject.bPrefix)) {
            *pstrWhy = "'" + strEntry + "': a value is matched exactly, or by its beginning with one '*' at its end";
            return false;
        }
        list.append(subject);
    }
    *pList = list;
    return true;
}

bool SubjectAllowed(const QList<STlsSubject>& list, const x509_st* pCert)
{
    const X509_NAME* pName = pCert ? X509_get_subject_name(pCert) : nullptr;
    if (!pName)
        return false;
    for (const STlsSubject& subject : list) {
        for (int i = X509_NAME_get_index_by_NID(pName, subject.nNid, -1); i >= 0;
             i = X509_NAME_get_index_by_NID(pName, subject.nNid, i)) {
            unsigned char* pText = nullptr;
            const int nLen = ASN1_STRING_to_UTF8(&pText, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(pName, i)));
            if (nLen < 0)
                continue;
            const QByteArray strValue(reinterpret_cast<const char*>(pText), nLen);
            OPENSSL_free(pText);
            if (subject.bPrefix ? strValue.startsWith(subject.strValue) : strValue == subject.strValue)
                return true;
        }
    }
    return false;
}

QByteArray SubjectText(const x509_st* pCert)
{
    const X509_NAME* pName = pCert ? X509_get_subject_name(pCert) : nullptr;
    BIO* pOut = pName ? BIO_new(BIO_s_mem()) : nullptr;
    if (!pOut)
        return {};
    X509_NAME_print_ex(pOut, pName, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* pData = nullptr;
    const long nLen = BIO_get_mem_data(pOut, &pData);
    const QByteArray strText(pData, int(nLen));
    BIO_free(pOut);
    return strText;
}
