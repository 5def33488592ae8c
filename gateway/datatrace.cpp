#include "datatrace.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

qint64 NowMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

void AppendTime(QByteArray& out, qint64 nMicroseconds)
{
    const std::time_t nSeconds = std::time_t(nMicroseconds / 1000000);
    std::tm local {};
    localtime_r(&nSeconds, &local);
    char buffer[40];
    const size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    out.append(buffer, qsizetype(n));
    std::snprintf(buffer, sizeof buffer, ".%06d", int(nMicroseconds % 1000000));
    out.append(buffer);
}

} // namespace

CDataTrace::CDataTrace(FSink fnSink) : m_fnSink(std::move(fnSink)), m_fnClock(NowMicroseconds) {}

void CDataTrace::Record(bool bInToOut, EStage stage, const char* pData, int nLen, int nPass)
{
    QByteArray record;
    record.reserve(64 + (nLen / 16 + 1) * 80);
    AppendTime(record, m_fnClock());
    record += bInToOut ? " IN-->OUT " : " OUT-->IN ";
    const QByteArray strLen = QByteArray::number(nLen);
    switch (stage) {
    case Received: record += "received " + strLen + " bytes"; break;
    case Sent: record += "sent " + strLen + " bytes"; break;
    case Swallowed: record += "swallowed by the plug-in"; break;
    case HeldBack: record += "held back " + strLen + " bytes (response to the initial string)"; break;
    case NoClient: record += "dropped " + strLen + " bytes (no client connected)"; break;
    }
    if (nPass > 1)
        record += ", pass " + QByteArray::number(nPass);
    record += '\n';
    if (stage == Received || stage == Sent)
        AppendDump(record, pData, nLen);
    m_fnSink(record);
}

void CDataTrace::AppendDump(QByteArray& out, const char* pData, int nLen)
{
    static const char kHex[] = "0123456789abcdef";
    for (int nLine = 0; nLine < nLen; nLine += 16) {
        char line[96];
        int n = 0;
        line[n++] = ' ';
        line[n++] = ' ';
        // The offset: four digits, more for a plug-in's longer output.
        char offset[16];
        const int nDigits = std::snprintf(offset, sizeof offset, "%04x", unsigned(nLine));
        out.append(line, n);
        out.append(offset, nDigits);
        n = 0;
        line[n++] = ' ';
        line[n++] = ' ';
        const int nCount = qMin(16, nLen - nLine);
        for (int i = 0; i < 16; ++i) {
            if (i == 8)
                line[n++] = ' ';
            if (i < nCount) {
                const unsigned char c = static_cast<unsigned char>(pData[nLine + i]);
                line[n++] = kHex[c >> 4];
                line[n++] = kHex[c & 15];
            } else {
                line[n++] = ' ';
                line[n++] = ' ';
            }
            line[n++] = ' ';
        }
        line[n++] = ' ';
        line[n++] = '|';
        for (int i = 0; i < nCount; ++i) {
            const char c = pData[nLine + i];
            line[n++] = c >= 0x20 && c < 0x7f ? c : '.';
        }
        line[n++] = '|';
        line[n++] = '\n';
        out.append(line, n);
    }
}
