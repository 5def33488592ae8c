#pragma once

#include "stream/tlscontext.h"

#include <QByteArrayList>
#include <QMap>

class CProfile;

// The profile section with the certificate files of TLS ports.
QString TlsSection();

// A [TLS] or [TLS <name>] section: Certificate=, Key=, CA= (PEM files; a
// relative path is taken from the profile's folder), CAMode= (replace or
// add), RequireClientCertificate= (0 or 1) and AllowSubjects= (entries
// separated by ';', see tlssubjects.h). A key that [TLS <name>] does not
// have is taken from [TLS]; written empty there, it is not set for the
// section's ports.
// Under systemd, a credential tls-certificate, tls-key or tls-ca of the
// service ([TLS <name>]: tls-<name>-certificate, ...) takes the place of the
// file it names (see tlscredential.h). A value that cannot be taken is
// named in strProblem.
STlsConfig TlsConfig(const CProfile& profile, const QByteArray& strName = QByteArray());

// Every TLS section of a profile: [TLS] and each [TLS <name>].
class CTlsProfile
{
public:
    CTlsProfile() = default;
    explicit CTlsProfile(const CProfile& profile);
    // One configuration for [TLS]; no named sections.
    explicit CTlsProfile(const STlsConfig& base) : m_base(base) {}
    // The files of the section a port names (tls=<name>; empty: [TLS]). A
    // name without its section gives a configuration whose strProblem says so.
    STlsConfig Config(const QByteArray& strName = QByteArray()) const;

private:
    STlsConfig m_base;
    QMap<QByteArray, STlsConfig> m_named; // by name in lower case
    QString m_strProfile;
};

// The TLS files as the ports of these setup strings would load them at
// their start: the first reason one of them cannot (a "TLS Setup Error:"
// text), or empty. Ports of other kinds need nothing.
QByteArray TlsFilesProblem(const QByteArrayList& setups, const CTlsProfile& profile);
