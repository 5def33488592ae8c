#pragma once

// Test certificates made with OpenSSL: CAs and certificates signed by them,
// valid now or expired, written as PEM files into a temporary folder.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstdio>
#include <deque>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

class CTestPki
{
public:
    struct SIssued
    {
        QString strCert;
        QString strKey;
        X509* pCert = nullptr; // kept for signing (CAs)
        EVP_PKEY* pKey = nullptr;
    };

    ~CTestPki()
    {
        for (SIssued& issued : m_all) {
            X509_free(issued.pCert);
            EVP_PKEY_free(issued.pKey);
        }
    }

    QString Path(const QString& strName) const { return m_dir.filePath(strName); }

    // A CA (pszSan nullptr; pIssuer nullptr: self-signed root) or a leaf
    // for strSan ("DNS:localhost,IP:127.0.0.1") and pszUsage ("serverAuth",
    // "clientAuth"), valid from nFromDays to nToDays around now. Their
    // extensions are those strict checkers (openssl verify -x509_strict,
    // Python's default context) ask for.
    const SIssued& Issue(const QString& strName, const SIssued* pIssuer, const char* pszSan, long nFromDays = -1,
                         long nToDays = 30, const char* pszUsage = "serverAuth")
    {
        SIssued issued;
        issued.pKey = EVP_EC_gen("P-256");
        X509* pCert = X509_new();
        X509_set_version(pCert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(pCert), long(m_all.size()) + 1);
        X509_gmtime_adj(X509_getm_notBefore(pCert), nFromDays * 86400);
        X509_gmtime_adj(X509_getm_notAfter(pCert), nToDays * 86400);
        X509_NAME* pName = X509_get_subject_name(pCert);
        const QByteArray strCn = strName.toUtf8();
        X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(strCn.constData()),
                                   -1, -1, 0);
        X509_set_issuer_name(pCert, pIssuer ? X509_get_subject_name(pIssuer->pCert) : pName);
        X509_set_pubkey(pCert, issued.pKey);
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, pIssuer ? pIssuer->pCert : pCert, pCert, nullptr, nullptr, 0);
        auto add = [&](int nNid, const char* pszValue) {
            X509_EXTENSION* pExt = X509V3_EXT_conf_nid(nullptr, &ctx, nNid, pszValue);
            X509_add_ext(pCert, pExt, -1);
            X509_EXTENSION_free(pExt);
        };
        if (pszSan) {
            add(NID_basic_constraints, "critical,CA:FALSE");
            add(NID_key_usage, "critical,digitalSignature");
            add(NID_ext_key_usage, pszUsage);
            add(NID_subject_alt_name, pszSan);
        } else {
            add(NID_basic_constraints, "critical,CA:TRUE");
            add(NID_key_usage, "critical,keyCertSign,cRLSign");
        }
        add(NID_subject_key_identifier, "hash");
        add(NID_authority_key_identifier, "keyid:always");
        X509_sign(pCert, pIssuer ? pIssuer->pKey : issued.pKey, EVP_sha256());
        issued.pCert = pCert;
        issued.strCert = Path(strName + QStringLiteral(".pem"));
        issued.strKey = Path(strName + QStringLiteral(".key"));
        Write(issued.strCert, [&](FILE* pFile) { PEM_write_X509(pFile, pCert); });
        Write(issued.strKey, [&](FILE* pFile) {
            PEM_write_PrivateKey(pFile, issued.pKey, nullptr, nullptr, 0, nullptr, nullptr);
        });
        QFile::setPermissions(issued.strKey, QFile::ReadOwner | QFile::WriteOwner);
        m_all.push_back(issued);
        return m_all.back();
    }

private:
    template <typename FWrite>
    static void Write(const QString& strPath, FWrite fnWrite)
    {
        FILE* pFile = std::fopen(strPath.toLocal8Bit().constData(), "w");
        fnWrite(pFile);
        std::fclose(pFile);
    }

    QTemporaryDir m_dir;
    std::deque<SIssued> m_all;
};
