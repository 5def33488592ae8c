#include "settext.h"

#include "setfile.h"

#include <QChar>
#include <QList>

#include <algorithm>

#include <iterator>

const SSetKey kSetKeys[10] = {
    {"in-setup", ESetKeyKind::String, &SSetFields::m_strInSetup, nullptr, 3, false},
    {"in-dll", ESetKeyKind::String, &SSetFields::m_strInDll, nullptr, 4, false},
    {"in-initial", ESetKeyKind::String, &SSetFields::m_strInInitial, nullptr, 5, true},
    {"out-setup", ESetKeyKind::String, &SSetFields::m_strOutSetup, nullptr, 0, false},
    {"out-dll", ESetKeyKind::String, &SSetFields::m_strOutDll, nullptr, 1, false},
    {"out-initial", ESetKeyKind::String, &SSetFields::m_strOutInitial, nullptr, 2, true},
    {"no-in-init-response", ESetKeyKind::Flag, nullptr, &SSetFields::m_bNoInInitResponse, -1, false},
    {"no-out-init-response", ESetKeyKind::Flag, nullptr, &SSetFields::m_bNoOutInitResponse, -1, false},
    {"detect-carrier", ESetKeyKind::Flag, nullptr, &SSetFields::m_bDetectCarrier, -1, false},
    {"out-startup", ESetKeyKind::OutStartup, nullptr, &SSetFields::m_nOutStartup, -1, false},
};

namespace {

// Not a setting: the bytes a binary file holds after the ten settings.
constexpr QByteArrayView kTrailingKey = "trailing-bytes";
constexpr int kKeys = int(std::size(kSetKeys));
constexpr qint64 kMaxWord = 0xFFFF;
const char kHex[] = "0123456789ABCDEF";

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsControl(uchar u)
{
    return u < 0x20 || u == 0x7F;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void AppendHexEscape(QByteArray* pOut, uchar u)
{
    pOut->append("\\x");
    pOut->append(kHex[u >> 4]);
    pOut->append(kHex[u & 0x0F]);
}

// Bytes of the text quoted in a message: printable ASCII as it is, and no
// more than the start of a long line (which may be a secret, or megabytes).
QString Shown(QByteArrayView bytes)
{
    constexpr qsizetype kMaxShown = 40;
    QByteArray out;
    for (char c : bytes.first(qMin(bytes.size(), kMaxShown))) {
        if (IsControl(uchar(c)) || uchar(c) >= 0x80)
            AppendHexEscape(&out, uchar(c));
        else
            out.append(c);
    }
    if (bytes.size() > kMaxShown)
        out.append("...");
    return QString::fromLatin1(out);
}

// The length of the valid UTF-8 sequence of a printable character at p, or
// 0. Such sequences stay readable in the text; every other byte is escaped.
qsizetype PrintableUtf8Length(const uchar* p, qsizetype nLeft)
{
    const uchar u = p[0];
    const qsizetype n = u >= 0xF0 && u <= 0xF4 ? 4 : u >= 0xE0 ? 3 : u >= 0xC2 && u < 0xE0 ? 2 : 0;
    if (n == 0 || n > nLeft)
        return 0;
    char32_t c = u & (0x7F >> n);
    for (qsizetype i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (p[i] & 0x3F);
    }
    const char32_t nMin = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
    if (c < nMin || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || !QChar::isPrint(c))
        return 0;
    return n;
}

qint64 LengthFieldBytes(qint64 nLength, ESetLength eForm)
{
    if (eForm == ESetLength::Bits32)
        return 7;
    if (eForm == ESetLength::Bits16)
        return 3;
    return nLength < 0xFF ? 1 : nLength < 0xFFFE ? 3 : 7;
}

class CTextParser
{
public:
    explicit CTextParser(QByteArrayView text) : m_text(text) {}
    SSetTextResult Run();

private:
    // Each returns false after recording the problem.
    bool ParseLine();
    bool ParseString(QByteArray* pOut, bool bInitial);
    bool ParseForms(SSetStringForm* pForm);
    bool ParseNumber(const SSetKey& key);
    bool AtValueEnd();
    bool AddBytes(qint64 nBytes);
    QByteArrayView Word();
    void SkipBlanks()
    {
        while (m_nPos < m_line.size() && IsBlank(m_line[m_nPos]))
            ++m_nPos;
    }
    bool Fail(const QString& strError)
    {
        m_strError = m_strKey.isEmpty() ? strError : m_strKey + QStringLiteral(": ") + strError;
        return false;
    }

    QByteArrayView m_text;
    QByteArrayView m_line;
    qsizetype m_nPos = 0;
    int m_nLine = 0;
    QString m_strKey; // the key of the line being read, for messages
    QString m_strError;
    int m_keyLines[kKeys + 1] = {}; // where each key was given; the last is the trailing bytes
    qint64 m_nFileBytes = 14;       // the binary file so far: the initial settings', grown by each value
    SSetTextResult m_result;
};

SSetTextResult CTextParser::Run()
{
    // A byte-order mark that some editors put first is no part of the text.
    if (m_text.startsWith("\xEF\xBB\xBF"))
        m_text = m_text.sliced(3);
    while (!m_text.isEmpty()) {
        ++m_nLine;
        const qsizetype nEnd = m_text.indexOf('\n');
        m_line = nEnd < 0 ? m_text : m_text.first(nEnd);
        m_text = nEnd < 0 ? QByteArrayView() : m_text.sliced(nEnd + 1);
        if (m_line.endsWith('\r'))
            m_line.chop(1);
        m_nPos = 0;
        m_strKey.clear();
        if (!ParseLine()) {
            m_result.m_nLine = m_nLine;
            m_result.m_strError = m_strError;
            return m_result;
        }
    }
    m_result.m_bOk = true;
    return m_result;
}

bool CTextParser::ParseLine()
{
    SkipBlanks();
    if (m_nPos == m_line.size() || m_line[m_nPos] == '#')
        return true;
    const qsizetype nStart = m_nPos;
    while (m_nPos < m_line.size() && !IsBlank(m_line[m_nPos]) && m_line[m_nPos] != '=')
        ++m_nPos;
    const QByteArrayView name = m_line.sliced(nStart, m_nPos - nStart);
    SkipBlanks();
    if (m_nPos == m_line.size() || m_line[m_nPos] != '=')
        return Fail(QStringLiteral("expected 'setting = value', got '%1'").arg(Shown(m_line.sliced(nStart))));
    ++m_nPos;
    if (name.isEmpty())
        return Fail(QStringLiteral("a setting's name is missing before '='"));
    int nKey = 0;
    while (nKey < kKeys && name != kSetKeys[nKey].m_pszName)
        ++nKey;
    if (nKey == kKeys && name != kTrailingKey)
        return Fail(QStringLiteral("unknown setting '%1' (see trelvane.set(5) for the names)").arg(Shown(name)));
    m_strKey = QString::fromLatin1(name);
    if (m_keyLines[nKey] != 0)
        return Fail(QStringLiteral("given twice (first on line %1)").arg(m_keyLines[nKey]));
    m_keyLines[nKey] = m_nLine;
    SkipBlanks();
    if (m_nPos == m_line.size() || m_line[m_nPos] == '#')
        return Fail(QStringLiteral("the value is missing"));

    if (nKey == kKeys) {
        QByteArray bytes;
        if (!ParseString(&bytes, false) || !AtValueEnd() || !AddBytes(bytes.size()))
            return false;
        m_result.m_layout.m_strTrailing = bytes;
        return true;
    }
    const SSetKey& key = kSetKeys[nKey];
    if (key.m_eKind != ESetKeyKind::String)
        return ParseNumber(key);
    QByteArray& str = m_result.m_fields.*key.m_pString;
    SSetStringForm& form = m_result.m_layout.m_forms[key.m_nFileIndex];
    if (!ParseString(&str, key.m_bInitial) || !ParseForms(&form))
        return false;
    qint64 nLength = str.size();
    qint64 nBytes = nLength;
    if (form.m_bWide) {
        const std::optional<QString> text = WideText(str);
        if (!text)
            return Fail(QStringLiteral("a wide string must be UTF-8 text"));
        nLength = text->size();
        nBytes = 3 + 2 * nLength;
    }
    if (form.m_eLength == ESetLength::Bits16 && nLength >= 0xFFFE)
        return Fail(QStringLiteral("a length of %1 does not fit the 16 bits of length16").arg(nLength));
    // The empty string was counted with one byte from the start.
    return AddBytes(nBytes + LengthFieldBytes(nLength, form.m_eLength) - 1);
}

bool CTextParser::AddBytes(qint64 nBytes)
{
    m_nFileBytes += nBytes;
    if (m_nFileBytes > kMaxSetFileBytes) {
        return Fail(QStringLiteral("too long: the settings would take %1 bytes, and a settings file holds "
                                   "at most %2").arg(m_nFileBytes).arg(kMaxSetFileBytes));
    }
    return true;
}

bool CTextParser::ParseString(QByteArray* pOut, bool bInitial)
{
    if (m_line[m_nPos] != '"')
        return Fail(QStringLiteral("a string is written in double quotes, got '%1'").arg(Shown(m_line.sliced(m_nPos))));
    ++m_nPos;
    QByteArray out;
    QList<qsizetype> hexBackslashes; // where \x5C put a backslash
    for (;;) {
        if (m_nPos >= m_line.size())
            return Fail(QStringLiteral("the closing quote is missing"));
        const char c = m_line[m_nPos];
        if (c == '"') {
            ++m_nPos;
            break;
        }
        if (IsControl(uchar(c)))
            return Fail(QStringLiteral("a control character (%1) in a string is written as an escape")
                            .arg(Shown(m_line.sliced(m_nPos, 1))));
        if (c != '\\') {
            out.append(c);
            ++m_nPos;
            continue;
        }
        const char cNext = m_nPos + 1 < m_line.size() ? m_line[m_nPos + 1] : '\0';
        switch (cNext) {
        case '\\':
        case 'n':
        case 'r':
        case 't':
            if (bInitial)
                out.append(c).append(cNext);
            else
                out.append(cNext == '\\' ? '\\' : cNext == 'n' ? '\n' : cNext == 'r' ? '\r' : '\t');
            m_nPos += 2;
            break;
        case '"':
            out.append('"');
            m_nPos += 2;
            break;
        case 'x': {
            const int nHigh = m_nPos + 2 < m_line.size() ? HexValue(m_line[m_nPos + 2]) : -1;
            const int nLow = m_nPos + 3 < m_line.size() ? HexValue(m_line[m_nPos + 3]) : -1;
            if (nHigh < 0 || nLow < 0)
                return Fail(QStringLiteral("\\x needs two hexadecimal digits"));
            if (nHigh * 16 + nLow == '\\')
                hexBackslashes.append(out.size());
            out.append(char(nHigh * 16 + nLow));
            m_nPos += 4;
            break;
        }
        default:
            if (m_nPos + 1 >= m_line.size())
                return Fail(QStringLiteral("the closing quote is missing"));
            return Fail(QStringLiteral("unknown escape '\\%1' (the escapes are \\\\ \\\" \\r \\n \\t \\xNN)")
                            .arg(Shown(m_line.sliced(m_nPos + 1, 1))));
        }
    }
    // In an initial string the gateway would read such a backslash and what
    // follows as one of its escapes: say so rather than store a surprise.
    for (qsizetype nAt : hexBackslashes) {
        const char cNext = nAt + 1 < out.size() ? out[nAt + 1] : '\0';
        if (bInitial && (cNext == '\\' || cNext == 'n' || cNext == 'r' || cNext == 't')) {
            return Fail(QStringLiteral("\\x5C followed by '%1' is sent as the escape \\%1; write \\\\ for a backslash")
                            .arg(QLatin1Char(cNext)));
        }
    }
    *pOut = out;
    return true;
}

QByteArrayView CTextParser::Word()
{
    const qsizetype nStart = m_nPos;
    while (m_nPos < m_line.size() && !IsBlank(m_line[m_nPos]) && m_line[m_nPos] != '#')
        ++m_nPos;
    return m_line.sliced(nStart, m_nPos - nStart);
}

bool CTextParser::ParseForms(SSetStringForm* pForm)
{
    bool bLength = false;
    for (;;) {
        SkipBlanks();
        if (m_nPos == m_line.size() || m_line[m_nPos] == '#')
            return true;
        const QByteArrayView word = Word();
        if (word == "wide" && !pForm->m_bWide) {
            pForm->m_bWide = true;
        } else if ((word == "length16" || word == "length32") && !bLength) {
            bLength = true;
            pForm->m_eLength = word == "length16" ? ESetLength::Bits16 : ESetLength::Bits32;
        } else {
            return Fail(QStringLiteral("unexpected '%1' after the string").arg(Shown(word)));
        }
    }
}

bool CTextParser::ParseNumber(const SSetKey& key)
{
    const QByteArrayView word = Word();
    if (!AtValueEnd())
        return false;
    const bool bDigits = !word.isEmpty() && std::all_of(word.begin(), word.end(), [](char c) {
        return c >= '0' && c <= '9';
    });
    if (bDigits && (word.size() > 5 || word.toInt() > kMaxWord))
        return Fail(QStringLiteral("%1 does not fit a settings file, which holds 0 to 65535").arg(Shown(word)));
    std::optional<qint32> value;
    if (key.m_eKind == ESetKeyKind::OutStartup)
        value = ParseOutStartup(word);
    else if (bDigits)
        value = word.toInt();
    if (!value) {
        return Fail(key.m_eKind == ESetKeyKind::OutStartup
                        ? QStringLiteral("expected with-input, first-data or a number, got '%1'").arg(Shown(word))
                        : QStringLiteral("expected a number (0 or 1), got '%1'").arg(Shown(word)));
    }
    m_result.m_fields.*key.m_pNumber = *value;
    return true;
}

bool CTextParser::AtValueEnd()
{
    SkipBlanks();
    if (m_nPos == m_line.size() || m_line[m_nPos] == '#')
        return true;
    return Fail(QStringLiteral("unexpected '%1' after the value").arg(Shown(m_line.sliced(m_nPos))));
}

} // namespace

QByteArray QuoteSetString(const QByteArray& str, bool bInitial)
{
    QByteArray out = "\"";
    const auto* p = reinterpret_cast<const uchar*>(str.constData());
    const qsizetype n = str.size();
    for (qsizetype i = 0; i < n; ++i) {
        const uchar u = p[i];
        if (u == '\\') {
            if (!bInitial) {
                out.append("\\\\");
            } else if (i + 1 < n && (p[i + 1] == '\\' || p[i + 1] == 'n' || p[i + 1] == 'r' || p[i + 1] == 't')) {
                // One of the gateway's own escapes: kept as it is.
                out.append(char(u));
                out.append(char(p[++i]));
            } else {
                // A backslash that the gateway sends as it is.
                AppendHexEscape(&out, u);
            }
        } else if (u == '"') {
            out.append("\\\"");
        } else if (!bInitial && (u == '\r' || u == '\n' || u == '\t')) {
            out.append(u == '\r' ? "\\r" : u == '\n' ? "\\n" : "\\t");
        } else if (u >= 0x80) {
            const qsizetype nSequence = PrintableUtf8Length(p + i, n - i);
            if (nSequence == 0) {
                AppendHexEscape(&out, u);
            } else {
                out.append(reinterpret_cast<const char*>(p + i), nSequence);
                i += nSequence - 1;
            }
        } else if (IsControl(u)) {
            AppendHexEscape(&out, u);
        } else {
            out.append(char(u));
        }
    }
    out.append('"');
    return out;
}

SSetTextResult ReadSetText(QByteArrayView text)
{
    return CTextParser(text).Run();
}

QByteArray WriteSetText(const SSetFields& fields, const SSetLayout& layout)
{
    QByteArray out = "# Trelvane gateway settings; see trelvane.set(5)\n";
    for (const SSetKey& key : kSetKeys) {
        out.append(key.m_pszName).append(" = ");
        if (key.m_eKind == ESetKeyKind::String) {
            out.append(QuoteSetString(fields.*key.m_pString, key.m_bInitial));
            const SSetStringForm form = layout.m_forms[key.m_nFileIndex];
            if (form.m_bWide)
                out.append(" wide");
            if (form.m_eLength != ESetLength::Shortest)
                out.append(form.m_eLength == ESetLength::Bits16 ? " length16" : " length32");
        } else {
            const qint32 nValue = fields.*key.m_pNumber;
            if (key.m_eKind == ESetKeyKind::OutStartup && (nValue == 1007 || nValue == 1008))
                out.append(nValue == 1007 ? "with-input" : "first-data");
            else
                out.append(QByteArray::number(nValue & kMaxWord));
        }
        out.append('\n');
    }
    if (!layout.m_strTrailing.isEmpty()) {
        out.append("# after the ten settings in the binary file; the programs ignore them\n");
        out.append(kTrailingKey.data(), kTrailingKey.size()).append(" = ");
        out.append(QuoteSetString(layout.m_strTrailing, false)).append('\n');
    }
    return out;
}

bool IsSetText(QByteArrayView data)
{
    // A binary file begins with the length of the Output setup string,
    // which for a short one is a control character.
    if (data.isEmpty() || (IsControl(uchar(data[0])) && !IsBlank(data[0]) && data[0] != '\n' && data[0] != '\r'))
        return false;
    return !data.contains('\0');
}

std::optional<qint32> ParseOutStartup(QByteArrayView value)
{
    if (value == "with-input")
        return 1007;
    if (value == "first-data")
        return 1008;
    // Plain decimal digits; the file keeps 16 bits.
    if (value.isEmpty() || value.size() > 5)
        return std::nullopt;
    for (char c : value) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    const int n = value.toInt();
    if (n > kMaxWord)
        return std::nullopt;
    return n;
}
