#pragma once

#include "setfields.h"

#include <QByteArrayView>
#include <optional>

// Where the reader takes its bytes from: a buffer or an open file.
class ISetSource
{
public:
    virtual ~ISetSource() = default;
    // Reads up to nMax bytes into p. Returns the count, 0 at the end of the
    // data, or -1 on a read error (errno tells the cause).
    virtual qint64 ReadSome(char* p, qint64 nMax) = 0;
};

enum class ESetReadStatus {
    Ok,
    BadFormat,  // ends early, or a length or wide string that cannot be valid
    ReadError,  // the source failed; m_nErrno holds the cause
};

struct SSetReadResult
{
    ESetReadStatus m_eStatus = ESetReadStatus::Ok;
    SSetFields m_fields;     // complete only when m_eStatus is Ok
    int m_nFieldsRead = 0;   // fields read in full, in file order (0..10)
    qint64 m_nBytesRead = 0; // bytes taken from the source
    int m_nErrno = 0;
};

// Reads the ten fields in file order and asks the source for exactly the
// bytes they need; what follows the last field is never read. Memory grows
// with the bytes actually delivered, never with a length the data claims.
SSetReadResult ReadSetFields(ISetSource& source);
SSetReadResult ReadSetFile(QByteArrayView data);

// The file image of the fields. Empty when a string is too long for the
// format (2^31 bytes or more).
std::optional<QByteArray> WriteSetFile(const SSetFields& fields);
