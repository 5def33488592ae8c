#pragma once

#include "setcodec.h"
#include "setfields.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// The text form of the settings: one "key = value" a line, "#" comments,
// strings in double quotes with backslash escapes. Keys are named like
// trelvane-set's write options.

enum class ESetKeyKind { String, Flag, OutStartup };

struct SSetKey
{
    const char* m_pszName;
    ESetKeyKind m_eKind;
    QByteArray SSetFields::* m_pString; // for strings
    qint32 SSetFields::* m_pNumber;     // for flags and the start mode
    int m_nFileIndex;                   // a string's place in the binary file
    bool m_bInitial;                    // an initial string (see ReadSetText)
};

// The ten keys, in the order the text form writes them.
extern const SSetKey kSetKeys[10];

struct SSetTextResult
{
    bool m_bOk = false;
    SSetFields m_fields; // keys the text leaves out keep their initial values
    SSetLayout m_layout;
    int m_nLine = 0;     // on failure: the line of the first problem
    QString m_strError;  // and what is wrong there
};

// Reads the text form. Refused, with the line: a key that is unknown or
// given twice, a bad escape or quote, a number the binary file cannot hold,
// and settings that together would not fit a settings file. The escapes
// \r \n \t \\ stand for their characters; in the two initial strings they
// are the gateway's own and are kept as written, to be decoded when the
// string is sent, as when typed into the desktop program.
SSetTextResult ReadSetText(QByteArrayView text);

// A string as the text form writes it, in double quotes. An initial string
// (bInitial) keeps the gateway's escapes \r \n \t \\ as typed, and a byte
// the gateway would take as one (a lone backslash, a carriage return) is
// written \xNN; in the other strings \r \n \t \\ stand for their bytes.
QByteArray QuoteSetString(const QByteArray& str, bool bInitial);

// The text form of the settings; reading it back gives the same settings
// and layout.
QByteArray WriteSetText(const SSetFields& fields, const SSetLayout& layout = {});

// Whether file content is to be read as text: it is not empty, holds no
// zero byte and does not begin with a control character other than a blank
// or a line end. Every binary settings file with flags of 0 or 1 has a zero
// byte, and a cut-short one mostly begins with a control character.
bool IsSetText(QByteArrayView data);

// A start mode as written on a command line or in text: with-input (1007),
// first-data (1008) or a number from 0 to 65535.
std::optional<qint32> ParseOutStartup(QByteArrayView value);
