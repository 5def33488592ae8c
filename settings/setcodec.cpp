#include "setcodec.h"

#include <QString>
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
    bool ReadLength(qint64* pnLength, bool* pbWide);
    bool ReadString(QByteArray* pOut);
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

bool CSetReader::ReadLength(qint64* pnLength, bool* pbWide)
{
    *pbWide = false;
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
    return true;
}

bool CSetReader::ReadString(QByteArray* pOut)
{
    qint64 nLength = 0;
    bool bWide = false;
    if (!ReadLength(&nLength, &bWide))
        return false;
    if (!bWide)
        return ReadBytes(nLength, pOut);
    // The wide form: a second length, counting UTF-16 units, follows the
    // marker. A second marker there has no meaning.
    if (!ReadLength(&nLength, &bWide))
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
    QByteArray* const strings[] = {&f.m_strOutSetup, &f.m_strOutDll, &f.m_strOutInitial,
                                   &f.m_strInSetup,  &f.m_strInDll,  &f.m_strInInitial};
    qint32* const words[] = {&f.m_bNoInInitResponse, &f.m_bNoOutInitResponse, &f.m_nOutStartup,
                             &f.m_bDetectCarrier};
    bool bOk = true;
    for (QByteArray* pString : strings) {
        if (!(bOk = ReadString(pString)))
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

void AppendLength(QByteArray* pOut, qint64 nLength)
{
    uchar b[4];
    if (nLength < 0xFF) {
        pOut->append(char(nLength));
        return;
    }
    pOut->append(char(0xFF));
    if (nLength < 0xFFFE) {
        qToLittleEndian<quint16>(quint16(nLength), b);
        pOut->append(reinterpret_cast<const char*>(b), 2);
        return;
    }
    qToLittleEndian<quint16>(0xFFFF, b);
    pOut->append(reinterpret_cast<const char*>(b), 2);
    qToLittleEndian<quint32>(quint32(nLength), b);
    pOut->append(reinterpret_cast<const char*>(b), 4);
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

std::optional<QByteArray> WriteSetFile(const SSetFields& f)
{
    const QByteArray* const strings[] = {&f.m_strOutSetup, &f.m_strOutDll, &f.m_strOutInitial,
                                         &f.m_strInSetup,  &f.m_strInDll,  &f.m_strInInitial};
    qint64 nTotal = 8;
    for (const QByteArray* pString : strings) {
        if (pString->size() > kMaxStringBytes)
            return std::nullopt;
        nTotal += 7 + pString->size();
    }
    QByteArray out;
    out.reserve(nTotal);
    for (const QByteArray* pString : strings) {
        AppendLength(&out, pString->size());
        out.append(*pString);
    }
    AppendWord(&out, f.m_bNoInInitResponse);
    AppendWord(&out, f.m_bNoOutInitResponse);
    AppendWord(&out, f.m_nOutStartup);
    AppendWord(&out, f.m_bDetectCarrier);
    return out;
}
