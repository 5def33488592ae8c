#pragma once

#include <QString>

struct STlsConfig;

// The [TLS] files handed over by systemd as credentials of the service
// (LoadCredential=tls-key:..., read from $CREDENTIALS_DIRECTORY): root
// reads the files, the service's own user reads the copies. Names:
// "tls-certificate", "tls-key", "tls-ca"; for a section [TLS <name>]
// "tls-<name>-certificate", ... (see tlsprofile.h).
//
// The file of the credential strName when the service manager passed one
// by that name; empty otherwise (no $CREDENTIALS_DIRECTORY, or no such file).
QString TlsCredentialPath(const QString& strName);

// When one of the configuration's files exists but this user (strUser) may
// not read it: "; user U may not read [TLS] Key=FILE", with what to do
// about it; empty otherwise.
QString UnreadableTlsFileHint(const STlsConfig& config, const QString& strUser);
