#pragma once

#include "stream/tlscontext.h"

class CProfile;

// The profile section with the certificate files of TLS ports.
QString TlsSection();

// The [TLS] section: Certificate=, Key=, CA= (PEM files; a relative path is
// taken from the profile's folder) and RequireClientCertificate= (0 or 1).
// A value that cannot be taken is named in strProblem.
STlsConfig TlsConfig(const CProfile& profile);
