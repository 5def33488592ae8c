#pragma once

#include "setfields.h"

#include <QByteArrayView>
#include <QString>

#include <array>
#include <optional>

// The six strings in the order the file stores them.
inline constexpr QByteArray SSetFields::* kSetFileStrings[6] = {
    &SSetFields::m_strOutSetup, &SSetFields::m_strOutDll, &SSetFields::m_strOutInitial,
    &SSetFields::m_strInSetup,  &SSetFields::m_strInDll,  &SSetFields::m_strInInitial};

// How a string's length was stored: the writer takes the shortest form that
// holds it; the reader also takes a wider one than needed.
enum class ESetLength : quint8 { Shortest, Bits16, Bits32 };

// How one string was stored, beyond its bytes.
struct SSetStringForm
{
    bool m_bWide = false; // UTF-16 in the file (UTF-8 in the field)
    ESetLength m_eLength = ESetLength::Shortest; // of the bytes, or of a wide string's units
    friend bool operator==(const SSetStringForm&, const SSetStringForm&) = default;
};

// What a file holds besides the ten values: the form of each string (in
// file order) and the bytes after the last field. Writing the values with
// the layout they were read with gives the file back byte for byte.
struct SSetLayout
{
    std::array<SSetStringForm, 6> m_forms{};
    QByteArray m_strTrailing;
    friend bool operator==(const SSetLayout&, const SSetLayout&) = default;
};

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
    SSetLayout m_layout;     // the string forms; the trailing bytes are not read
    int m_nFieldsRead = 0;   // fields read in full, in file order (0..10)
    qint64 m_nBytesRead = 0; // bytes taken from the source
    int m_nErrno = 0;
};

// Reads the ten fields in file order and asks the source for exactly the
// bytes they need; what follows the last field is never read. Memory grows
// with the bytes actually delivered, never with a length the data claims.
SSetReadResult ReadSetFields(ISetSource& source);
SSetReadResult ReadSetFile(QByteArrayView data);

// The UTF-16 text of a string stored in the wide form; empty when the bytes
// are not UTF-8 (a leading byte-order mark is kept as a character).
std::optional<QString> WideText(const QByteArray& str);

// The file image of the fields. Empty when a string is too long for the
// format (2^31 bytes or more), or does not fit the form the layout asks for
// (a 16-bit length of 65534 or more, a wide string that is not UTF-8).
std::optional<QByteArray> WriteSetFile(const SSetFields& fields, const SSetLayout& layout = {});
