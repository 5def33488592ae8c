#pragma once

#include "stream/tlscontext.h"

#include <QSslConfiguration>
#include <QString>

// The web console's TLS server configuration from the profile's [TLS]
// files: Certificate= (with its chain), Key= (RSA or EC, unencrypted PEM)
// and, with RequireClientCertificate=1, clients must present a
// certificate that CA= vouches for. False with the reason.
bool MakeConsoleTls(const STlsConfig& config, QSslConfiguration* pConfiguration, QString* pstrError);
