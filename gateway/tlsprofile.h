#pragma once

#include "stream/tlscontext.h"

#include <QByteArrayList>

class CProfile;

// The profile section with the certificate files of TLS ports.
QString TlsSection();

// The [TLS] section: Certificate=, Key=, CA= (PEM files; a relative path is
// taken from the profile's folder) and RequireClientCertificate= (0 or 1).
// Under systemd, a credential tls-certificate, tls-key or tls-ca of the
// service takes the place of the file it names (see tlscredential.h).
// A value that cannot be taken is named in strProblem.
STlsConfig TlsConfig(const CProfile& profile);

// The TLS files as the ports of these setup strings would load them at
// their start: the first reason one of them cannot (a "TLS Setup Error:"
// text), or empty. Ports of other kinds need nothing.
QByteArray TlsFilesProblem(const QByteArrayList& setups, const STlsConfig& config);
