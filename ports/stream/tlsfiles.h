#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <QtGlobal>

struct x509_st;

// What the [TLS] files tell besides their contents: how long their
// certificates are valid, and who may read the key.

// A certificate's notAfter in seconds since the epoch.
qint64 CertificateExpiry(const x509_st* pCert);

// The time limits of a certificate in use: an error ("... has expired
// (notAfter ...)", "... is not yet valid (notBefore ...)") for one that
// cannot be used now, else empty. strSetting ("[TLS] Certificate") and
// strPath name it.
QByteArray CertificateTimeError(const QByteArray& strSetting, const QString& strPath, const x509_st* pCert);

// Warns of a certificate within kExpiryWarningDays of its notAfter.
constexpr int kExpiryWarningDays = 14;
QByteArray CertificateSoonWarning(const QByteArray& strSetting, const QString& strPath, const x509_st* pCert);

// The CAs of a CA= file: the latest notAfter among them (0: none read),
// and a warning when every one has expired or expires soon.
qint64 CaFileExpiry(const QByteArray& strSetting, const QString& strPath, QByteArray* pstrWarning);

// A warning when the key file may be read by its group or by others.
QByteArray KeyModeWarning(const QByteArray& strSetting, const QString& strPath);
