#pragma once

#include "setfields.h"

#include <QString>

class CAtomicFileWriter;

// Reads a settings file. Anything but a regular file is refused without
// being read, and only the bytes of the ten fields are read. On failure
// *pstrError holds the message for the user and *pFields is untouched.
bool LoadSetFile(const QString& strPath, SSetFields* pFields, QString* pstrError);

// Writes a settings file atomically. pWriter replaces the default writer
// (tests use it to provoke write failures).
bool SaveSetFile(const QString& strPath, const SSetFields& fields, QString* pstrError,
                 CAtomicFileWriter* pWriter = nullptr);
