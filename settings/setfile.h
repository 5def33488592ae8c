#pragma once

#include "setcodec.h"
#include "setfields.h"

#include <QString>

class CAtomicFileWriter;

// Far beyond any real settings (ten short strings), far below what would
// strain the memory: a file whose settings take more is refused.
inline constexpr qint64 kMaxSetFileBytes = 16 * 1024 * 1024;

// Reads a settings file. Anything but a regular file is refused without
// being read, and only the bytes of the ten fields are read. On failure
// *pstrError holds the message for the user and *pFields is untouched.
// How much of the file the ten fields took up.
struct SSetFileExtent
{
    qint64 m_nFieldBytes = 0;
    qint64 m_nFileBytes = 0;
};
// With pLayout, the forms of the strings and the bytes after the ten fields
// are kept there, so that the file can be written again byte for byte.
bool LoadSetFile(const QString& strPath, SSetFields* pFields, QString* pstrError,
                 SSetFileExtent* pExtent = nullptr, SSetLayout* pLayout = nullptr);

// Why a file that loads was not written as a settings file: bytes after the
// ten fields, or a flag that is neither 0 nor 1 (the gateway ignores the
// first and counts any other value as set). Empty when it looks like one.
QString SetFileOddity(const SSetFields& fields, const SSetFileExtent& extent);

// Writes a settings file atomically. pWriter replaces the default writer
// (tests use it to provoke write failures).
bool SaveSetFile(const QString& strPath, const SSetFields& fields, QString* pstrError,
                 CAtomicFileWriter* pWriter = nullptr, const SSetLayout& layout = {});
