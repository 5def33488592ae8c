#pragma once

#include "setfields.h"

#include <QByteArray>
#include <QByteArrayView>

// A settings string as a double-quoted C-style literal: printable ASCII as
// it is, \\ and \" for backslash and quote, \r \n \t, and \xNN for every
// other byte (control characters and bytes above 127).
QByteArray QuoteBytes(QByteArrayView bytes);

// The name of an Output start mode (1007, 1008, anything else).
QByteArray OutStartupName(qint32 nOutStartup);

// The ten fields as "name: value" lines, named like trelvane-set's options.
QByteArray FormatSetFields(const SSetFields& fields);
