#pragma once

#include "setfields.h"

#include <QByteArray>

// The name of an Output start mode (1007, 1008, anything else).
QByteArray OutStartupName(qint32 nOutStartup);

// The ten fields as "name: value" lines, named like trelvane-set's options;
// strings quoted as in the text form of the settings.
QByteArray FormatSetFields(const SSetFields& fields);
