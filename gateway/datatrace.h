#pragma once

#include <QByteArray>

#include <functional>

// Writes one record per event of a block: a header line with the local
// time in microseconds, the direction, the stage and the length, then for
// data a hex and printable-ASCII dump, 16 bytes a line:
//
//   2026-12-08 23:01:02.123456 IN-->OUT received 18 bytes
//     0000  48 65 6c 6c 6f 2c 20 77  6f 72 6c 64 0d 0a 00 ff  |Hello, world....|
//     0010  41 42                                             |AB|
class CDataTrace
{
public:
    enum EStage { Received, Sent, HeldBack, Swallowed, NoClient };
    using FSink = std::function<void(const QByteArray& record)>;
    // Microseconds since the epoch; tests put a fixed clock in.
    using FClock = std::function<qint64()>;

    explicit CDataTrace(FSink fnSink);

    void SetClock(FClock fnClock) { m_fnClock = std::move(fnClock); }
    // nPass counts the sends of one received block from 1; shown from 2 on.
    void Record(bool bInToOut, EStage stage, const char* pData, int nLen, int nPass = 1);

    // The dump lines alone, for tests and the window.
    static void AppendDump(QByteArray& out, const char* pData, int nLen);

private:
    // The longest header line, and the longest dump line (eight offset
    // digits and sixteen bytes).
    enum { kMaxHeader = 128, kMaxDumpLine = 2 + 8 + 2 + 49 + 2 + 16 + 2 };

    void AppendTime(QByteArray& out, qint64 nMicroseconds);

    FSink m_fnSink;
    FClock m_fnClock;
    qint64 m_nSecond = 0;     // the second m_strSecond shows
    QByteArray m_strSecond;
};
