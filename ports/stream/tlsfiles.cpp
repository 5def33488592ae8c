#include "tlsfiles.h"

#include <QDateTime>
#include <QFile>

#include <ctime>

#include <sys/stat.h>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {

qint64 TimeSeconds(const ASN1_TIME* pTime)
{
    tm parts {};
    if (!pTime || ASN1_TIME_to_tm(pTime, &parts) != 1)
        return 0;
    return qint64(::timegm(&parts));
}

QByteArray TimeText(qint64 nSeconds)
{
    return QDateTime::fromSecsSinceEpoch(nSeconds, Qt::UTC).toString(Qt::ISODate).toUtf8();
}

QByteArray Named(const QByteArray& strSetting, const QString& strPath)
{
    return strSetting + "=" + QFile::encodeName(strPath);
}

QByteArray SoonText(qint64 nNotAfter)
{
    const qint64 nLeft = nNotAfter - QDateTime::currentSecsSinceEpoch();
    if (nLeft > qint64(kExpiryWarningDays) * 86400)
        return {};
    return " expires in " + QByteArray::number(nLeft / 86400) + " days (notAfter " + TimeText(nNotAfter)
         + "): renew it";
}

} // namespace

qint64 CertificateExpiry(const x509_st* pCert)
{
    return TimeSeconds(X509_get0_notAfter(pCert));
}

QByteArray CertificateTimeError(const QByteArray& strSetting, const QString& strPath, const x509_st* pCert)
{
    const qint64 nNow = QDateTime::currentSecsSinceEpoch();
    const qint64 nNotBefore = TimeSeconds(X509_get0_notBefore(pCert));
    const qint64 nNotAfter = CertificateExpiry(pCert);
    if (nNotAfter < nNow)
        return Named(strSetting, strPath) + " has expired (notAfter " + TimeText(nNotAfter) + ")";
    if (nNotBefore > nNow)
        return Named(strSetting, strPath) + " is not yet valid (notBefore " + TimeText(nNotBefore) + ")";
    return {};
}

QByteArray CertificateSoonWarning(const QByteArray& strSetting, const QString& strPath, const x509_st* pCert)
{
    const QByteArray strSoon = SoonText(CertificateExpiry(pCert));
    return strSoon.isEmpty() ? strSoon : Named(strSetting, strPath) + strSoon;
}

qint64 CaFileExpiry(const QByteArray& strSetting, const QString& strPath, QByteArray* pstrWarning)
{
    qint64 nLatest = 0;
    if (BIO* pFile = BIO_new_file(QFile::encodeName(strPath).constData(), "r")) {
        while (X509* pCert = PEM_read_bio_X509(pFile, nullptr, nullptr, nullptr)) {
            nLatest = qMax(nLatest, CertificateExpiry(pCert));
            X509_free(pCert);
        }
        BIO_free(pFile);
    }
    ERR_clear_error();
    // The file vouches for peers as long as one of its CAs is valid.
    if (nLatest == 0)
        return 0;
    if (nLatest < QDateTime::currentSecsSinceEpoch())
        *pstrWarning = Named(strSetting, strPath) + " has expired (notAfter " + TimeText(nLatest)
                     + "): no peer can be checked against it";
    else if (const QByteArray strSoon = SoonText(nLatest); !strSoon.isEmpty())
        *pstrWarning = Named(strSetting, strPath) + strSoon;
    return nLatest;
}

QByteArray KeyModeWarning(const QByteArray& strSetting, const QString& strPath)
{
    struct stat info {};
    if (::stat(QFile::encodeName(strPath).constData(), &info) != 0 || (info.st_mode & 077) == 0)
        return {};
    return Named(strSetting, strPath) + " may be read by " + ((info.st_mode & 007) ? "others" : "its group")
         + " (mode " + QByteArray::number(info.st_mode & 0777, 8).rightJustified(4, '0')
         + "): only its owner should read it (chmod 600)";
}
