#pragma once

#include "setfields.h"

#include <QString>

class CAtomicFileWriter;

// Reads a settings file. Anything but a regular file is refused without
// being read, and only the bytes of the ten fields are read. On failure
// *pstrError holds the message for the user and *pFields is untouched.
// How much of the file the ten fields took up.
struct SSetFileExtent
{
    qint64 m_nFieldBytes = 0;
    qint64 m_nFileBytes = 0;
};
bool LoadSetFile(const QString& strPath, SSetFields* pFields, QString* pstrError,
                 SSetFileExtent* pExtent = nullptr);

// Why a file that loads was not written as a settings file: bytes after the
// ten fields, or a flag that is neither 0 nor 1 (the gateway ignores the
// first and counts any other value as set). Empty when it looks like one.
QString SetFileOddity(const SSetFields& fields, const SSetFileExtent& extent);

// Writes a settings file atomically. pWriter replaces the default writer
// (tests use it to provoke write failures).
bool SaveSetFile(const QString& strPath, const SSetFields& fields, QString* pstrError,
                 CAtomicFileWriter* pWriter = nullptr);
