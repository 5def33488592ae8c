#include "datatrace.h"

#include <chrono>
#include <cstring>
#include <ctime>

namespace {

qint64 NowMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

constexpr char kDigits[] = "0123456789abcdef";

// Per byte value: its two hex digits and a space, and how the text column
// shows it.
struct STables
{
    char hex[256][4];
    char shown[256];
};

constexpr STables MakeTables()
{
    STables t {};
    for (int c = 0; c < 256; ++c) {
        t.hex[c][0] = kDigits[c >> 4];
        t.hex[c][1] = kDigits[c & 15];
        t.hex[c][2] = ' ';
        t.hex[c][3] = ' ';
        t.shown[c] = c >= 0x20 && c < 0x7f ? char(c) : '.';
    }
    return t;
}

constexpr STables kTables = MakeTables();

} // namespace

void CDataTrace::AppendTime(QByteArray& out, qint64 nMicroseconds)
{
    // The date and time of day change once a second: made again only then.
    const qint64 nSeconds = nMicroseconds / 1000000;
    if (nSeconds != m_nSecond || m_strSecond.isEmpty()) {
        const std::time_t nTime = std::time_t(nSeconds);
        std::tm local {};
        localtime_r(&nTime, &local);
        char buffer[40];
        const size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
        m_strSecond = QByteArray(buffer, qsizetype(n));
        m_nSecond = nSeconds;
    }
    out += m_strSecond;
    char digits[7] = {'.'};
    for (int i = 6, n = int(nMicroseconds % 1000000); i >= 1; --i, n /= 10)
        digits[i] = char('0' + n % 10);
    out.append(digits, 7);
}

CDataTrace::CDataTrace(FSink fnSink) : m_fnSink(std::move(fnSink)), m_fnClock(NowMicroseconds) {}

void CDataTrace::Record(bool bInToOut, EStage stage, const char* pData, int nLen, int nPass)
{
    QByteArray record;
    const bool bDump = stage == Received || stage == Sent;
    record.reserve(kMaxHeader + (bDump ? (qsizetype(nLen) + 15) / 16 * kMaxDumpLine : 0));
    AppendTime(record, m_fnClock());
    record += bInToOut ? " IN-->OUT " : " OUT-->IN ";
    switch (stage) {
    case Received: record.append("received ").append(QByteArray::number(nLen)).append(" bytes"); break;
    case Sent: record.append("sent ").append(QByteArray::number(nLen)).append(" bytes"); break;
    case Swallowed: record += "swallowed by the plug-in"; break;
    case HeldBack:
        record.append("held back ").append(QByteArray::number(nLen)).append(" bytes (response to the initial string)");
        break;
    case NoClient: record.append("dropped ").append(QByteArray::number(nLen)).append(" bytes (no client connected)"); break;
    }
    if (nPass > 1)
        record += ", pass " + QByteArray::number(nPass);
    record += '\n';
    if (bDump)
        AppendDump(record, pData, nLen);
    m_fnSink(record);
}

void CDataTrace::AppendDump(QByteArray& out, const char* pData, int nLen)
{
    if (nLen <= 0)
        return;
    // Room for the longest lines first (an offset of eight digits), then
    // the bytes are written in place from tables and the rest cut off: no
    // formatting call and no reallocation per line.
    const qsizetype nLines = (qsizetype(nLen) + 15) / 16;
    const qsizetype nStart = out.size();
    out.resize(nStart + nLines * kMaxDumpLine);
    char* p = out.data() + nStart;
    for (int nLine = 0; nLine < nLen; nLine += 16) {
        *p++ = ' ';
        *p++ = ' ';
        // The offset: four digits, more for a plug-in's longer output.
        const unsigned nOffset = unsigned(nLine);
        int nDigits = 4;
        while (nDigits < 8 && (nOffset >> (4 * nDigits)) != 0)
            ++nDigits;
        for (int d = nDigits - 1; d >= 0; --d)
            *p++ = kDigits[(nOffset >> (4 * d)) & 15];
        *p++ = ' ';
        *p++ = ' ';
        const unsigned char* pLine = reinterpret_cast<const unsigned char*>(pData) + nLine;
        const int nCount = qMin(16, nLen - nLine);
        // "hh " per byte; each copy writes a fourth byte that the next one
        // (or the filler after it) overwrites.
        if (nCount == 16) {
            for (int i = 0; i < 8; ++i, p += 3)
                std::memcpy(p, kTables.hex[pLine[i]], 4);
            *p++ = ' ';
            for (int i = 8; i < 16; ++i, p += 3)
                std::memcpy(p, kTables.hex[pLine[i]], 4);
        } else {
            for (int i = 0; i < 16; ++i, p += 3) {
                if (i == 8)
                    *p++ = ' ';
                std::memcpy(p, i < nCount ? kTables.hex[pLine[i]] : "    ", 4);
            }
        }
        *p++ = ' ';
        *p++ = '|';
        for (int i = 0; i < nCount; ++i)
            *p++ = kTables.shown[pLine[i]];
        *p++ = '|';
        *p++ = '\n';
    }
    out.resize(p - out.constData());
}
