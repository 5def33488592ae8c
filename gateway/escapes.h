#pragma once

#include <QByteArray>

// Decodes the backslash escapes of an initial string in place: \\ \n \r \t;
// a backslash before any other character stays with it, and a trailing
// backslash stays as it is. The decoded text has no length limit.
void ExpandEscapes(QByteArray& str);
