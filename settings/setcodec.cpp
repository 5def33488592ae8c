#include "setcodec.h"

#include <QString>
#include <QStringDecoder>
#include <QtEndian>

#include <cerrno>
#include <cstring>

namespace {

// Strings longer than this are refused on both sides: the 32-bit length
// field is read as signed by the programs that share these files.
constexpr qint64 kMaxStringBytes = 0x7FFFFFFF;
// Buffers grow by at most this much ahead of the bytes that really arrived.
constexpr qint64 kReadChunk = 64 * 1024;

class CByteViewSource : public ISetSource
{
public:
    explicit CByteViewSource(QByteArrayView data) : m_data(data) {}
    qint64 ReadSome(char* p, qint64 nMax) override
    {
        const qint64 n = qMin(nMax, qint64(m_data.size() - m_nPos));
        if (n > 0)
            std::memcpy(p, m_data.data() + m_nPos, size_t(n));
        m_nPos += n;
        return n;
    }

private:
    QByteArrayView m_data;
    qsizetype m_nPos = 0;
};

struct SFailure
{
    ESetReadStatus m_eStatus;
    int m_nErrno;
};

class CSetReader
{
public:
    explicit CSetReader(ISetSource& source) : m_source(source) {}

    SSetReadResult Run();

private:
    // Each step returns false after recording the failure in m_failure.
    bool ReadFull(char* p, qint64 n);
    bool ReadBytes(qint64 n, QByteArray* pOut);
    bool ReadLength(qint64* pnLength, bool* pbWide, ESetLength* peForm);
    bool ReadString(QByteArray* pOut, SSetStringForm* pForm);
    bool ReadWide(qint64 nChars, QByteArray* pOut);
    bool ReadWord(qint32* pn);
    bool Fail(ESetReadStatus eStatus, int nErrno = 0)
    {
        m_failure = {eStatus, nErrno};
        return false;
    }

    ISetSource& m_source;
    SFailure m_failure{ESetReadStatus::Ok, 0};
    qint64 m_nBytesRead = 0;
};

bool CSetReader::ReadFull(char* p, qint64 n)
{
    while (n > 0) {
        const qint64 nGot = m_source.ReadSome(p, n);
        if (nGot < 0)
            return Fail(ESetReadStatus::ReadError, errno);
        if (nGot == 0)
            return Fail(ESetReadStatus::BadFormat);
        p += nGot;
        n -= nGot;
        m_nBytesRead += nGot;
    }
    return true;
}

bool CSetReader::ReadBytes(qint64 n, QByteArray* pOut)
{
    QByteArray bytes;
    while (bytes.size() < n) {
        const qint64 nChunk = qMin(n - bytes.size(), kReadChunk);
        const qsizetype nOld = bytes.size();
        if (bytes.capacity() < nOld + nChunk)
            bytes.reserve(qMax(nOld + nChunk, qsizetype(qMin(n, qint64(bytes.capacity()) * 2))));
        bytes.resize(nOld + nChunk);
        if (!ReadFull(bytes.data() + nOld, nChunk))
            return false;
    }
    *pOut = bytes;
    return true;
}

bool CSetReader::ReadLength(qint64* pnLength, bool* pbWide, ESetLength* peForm)
{
    *pbWide = false;
    *peForm = ESetLength::Shortest;
    uchar b[4];
    if (!ReadFull(reinterpret_cast<char*>(b), 1))
        return false;
    if (b[0] < 0xFF) {
        *pnLength = b[0];
        return true;
    }
    if (!ReadFull(reinterpret_cast<char*>(b), 2))
        return false;
    const quint16 nWord = qFromLittleEndian<quint16>(b);
    if (nWord < 0xFFFE) {
        *pnLength = nWord;
        if (nWord < 0xFF)
            *peForm = ESetLength::Bits16;
        return true;
    }
    if (nWord == 0xFFFE) {
        *pbWide = true;
        *pnLength = 0;
        return true;
    }
    if (!ReadFull(reinterpret_cast<char*>(b), 4))
        return false;
    const quint32 nLong = qFromLittleEndian<quint32>(b);
    if (nLong > kMaxStringBytes)
        return Fail(ESetReadStatus::BadFormat);
    *pnLength = nLong;
    if (nLong < 0xFFFE)
        *peForm = ESetLength::Bits32;
    return true;
}

bool CSetReader::ReadString(QByteArray* pOut, SSetStringForm* pForm)
{
    qint64 nLength = 0;
    bool bWide = false;
    if (!ReadLength(&nLength, &bWide, &pForm->m_eLength))
        return false;
    if (!bWide)
        return ReadBytes(nLength, pOut);
    // The wide form: a second length, counting UTF-16 units, follows the
    // marker. A second marker there has no meaning.
    pForm->m_bWide = true;
    if (!ReadLength(&nLength, &bWide, &pForm->m_eLength))
        return false;
    if (bWide)
        return Fail(ESetReadStatus::BadFormat);
    return ReadWide(nLength, pOut);
}

bool CSetReader::ReadWide(qint64 nChars, QByteArray* pOut)
{
    if (nChars * 2 > kMaxStringBytes)
        return Fail(ESetReadStatus::BadFormat);
    QByteArray raw;
    if (!ReadBytes(nChars * 2, &raw))
        return false;
    QString text(nChars, Qt::Uninitialized);
    char16_t* pText = reinterpret_cast<char16_t*>(text.data());
    const uchar* pRaw = reinterpret_cast<const uchar*>(raw.constData());
    for (qint64 i = 0; i < nChars; ++i)
        pText[i] = qFromLittleEndian<quint16>(pRaw + 2 * i);
    // Lone or reversed surrogates cannot be converted to UTF-8 faithfully.
    for (qint64 i = 0; i < nChars; ++i) {
        if (QChar::isHighSurrogate(pText[i])) {
            if (i + 1 >= nChars || !QChar::isLowSurrogate(pText[i + 1]))
                return Fail(ESetReadStatus::BadFormat);
            ++i;
        } else if (QChar::isLowSurrogate(pText[i])) {
            return Fail(ESetReadStatus::BadFormat);
        }
    }
    *pOut = text.toUtf8();
    return true;
}

bool CSetReader::ReadWord(qint32* pn)
{
    uchar b[2];
    if (!ReadFull(reinterpret_cast<char*>(b), 2))
        return false;
    *pn = qFromLittleEndian<quint16>(b);
    return true;
}

SSetReadResult CSetReader::Run()
{
    SSetReadResult result;
    SSetFields& f = result.m_fields;
    qint32* const words[] = {&f.m_bNoInInitResponse, &f.m_bNoOutInitResponse, &f.m_nOutStartup,
                             &f.m_bDetectCarrier};
    bool bOk = true;
    for (size_t n = 0; n < std::size(kSetFileStrings); ++n) {
        if (!(bOk = ReadString(&(f.*kSetFileStrings[n]), &result.m_layout.m_forms[n])))
            break;
        ++result.m_nFieldsRead;
    }
    for (qint32* pWord : words) {
        if (!bOk || !(bOk = ReadWord(pWord)))
            break;
        ++result.m_nFieldsRead;
    }
    result.m_nBytesRead = m_nBytesRead;
    if (!bOk) {
        result.m_eStatus = m_failure.m_eStatus;
        result.m_nErrno = m_failure.m_nErrno;
    }
    return result;
}

bool AppendLength(QByteArray* pOut, qint64 nLength, ESetLength eForm)
{
    uchar b[4];
    if (nLength < 0xFF && eForm == ESetLength::Shortest) {
        pOut->append(char(nLength));
        return true;
    }
    pOut->append(char(0xFF));
    if (nLength < 0xFFFE && eForm != ESetLength::Bits32) {
        qToLittleEndian<quint16>(quint16(nLength), b);
        pOut->append(reinterpret_cast<const char*>(b), 2);
        return true;
    }
    if (eForm == ESetLength::Bits16)
        return false;
    qToLittleEndian<quint16>(0xFFFF, b);
    pOut->append(reinterpret_cast<const char*>(b), 2);
    qToLittleEndian<quint32>(quint32(nLength), b);
    pOut->append(reinterpret_cast<const char*>(b), 4);
    return true;
}

bool AppendString(QByteArray* pOut, const QByteArray& str, SSetStringForm form)
{
    if (!form.m_bWide) {
        if (str.size() > kMaxStringBytes || !AppendLength(pOut, str.size(), form.m_eLength))
            return false;
        pOut->append(str);
        return true;
    }
    const std::optional<QString> wide = WideText(str);
    if (!wide || qint64(wide->size()) * 2 > kMaxStringBytes)
        return false;
    const QString& text = *wide;
    pOut->append("\xFF\xFE\xFF", 3);
    if (!AppendLength(pOut, text.size(), form.m_eLength))
        return false;
    uchar b[2];
    for (QChar c : text) {
        qToLittleEndian<quint16>(c.unicode(), b);
        pOut->append(reinterpret_cast<const char*>(b), 2);
    }
    return true;
}

void AppendWord(QByteArray* pOut, qint32 n)
{
    uchar b[2];
    qToLittleEndian<quint16>(quint16(n & 0xFFFF), b);
    pOut->append(reinterpret_cast<const char*>(b), 2);
}

} // namespace

SSetReadResult ReadSetFields(ISetSource& source)
{
    return CSetReader(source).Run();
}

SSetReadResult ReadSetFile(QByteArrayView data)
{
    CByteViewSource source(data);
    return ReadSetFields(source);
}

std::optional<QString> WideText(const QByteArray& str)
{
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(str);
    // Only what comes back from UTF-16 as the same bytes can be stored wide.
    if (decoder.hasError() || text.toUtf8() != str)
        return std::nullopt;
    return text;
}

std::optional<QByteArray> WriteSetFile(const SSetFields& f, const SSetLayout& layout)
{
    qint64 nTotal = 8 + layout.m_strTrailing.size();
    for (const auto pString : kSetFileStrings) {
        if ((f.*pString).size() > kMaxStringBytes)
            return std::nullopt;
        nTotal += 7 + (f.*pString).size();
    }
    QByteArray out;
    out.reserve(nTotal);
    for (size_t n = 0; n < std::size(kSetFileStrings); ++n) {
        if (!AppendString(&out, f.*kSetFileStrings[n], layout.m_forms[n]))
            return std::nullopt;
    }
    AppendWord(&out, f.m_bNoInInitResponse);
    AppendWord(&out, f.m_bNoOutInitResponse);
    AppendWord(&out, f.m_nOutStartup);
    AppendWord(&out, f.m_bDetectCarrier);
    out.append(layout.m_strTrailing);
    return out;
}
