// Fuzzes the Telnet framing and the com port option parser. The first byte
// picks a mode:
//  0: the rest is a stream from a peer, fed whole and split at many points;
//     every split gives the same data, events and replies.
//  1: the rest describes a stream: data (escaped) interleaved with commands,
//     negotiations, subnegotiations (long, cut off by a command, unknown
//     options) and a truncated tail; the data decoded is exactly the data
//     put in, whatever the splits.
//  2: the rest is a series of requests by a server and a client codec wired
//     to each other; once requests stop, the replies die out within a few
//     rounds and both sides agree on every option.
//  3: the Telnet layer of a stream: a peer's bytes come in pieces of any
//     size and are read in reads of any size, data is sent to a socket that
//     takes any amount at a time; the layer hands up exactly the data the
//     codec finds in the whole stream, and the bytes on the wire carry every
//     byte sent, in order, each once.
#include "stream/comportoption.h"
#include "stream/telnetcodec.h"
#include "stream/telnetlayer.h"

#include <QByteArrayList>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace Telnet;

namespace {

// Aborts, naming the line of the failed check.
void Check(bool b, int nLine = __builtin_LINE())
{
    if (!b) {
        std::fprintf(stderr, "fuzz_telnet: check at line %d failed\n", nLine);
        std::abort();
    }
}

// Writes every event down; checks each com port message it sees.
class CRecorder : public ITelnetOwner
{
public:
    QByteArray strEvents;
    void OnSubnegotiation(uchar nOption, QByteArrayView payload) override
    {
        Check(payload.size() <= kMaxSubnegotiation);
        strEvents += "sb" + QByteArray::number(nOption) + ':' + payload.toByteArray().toHex() + ';';
        if (nOption != kComPort)
            return;
        QByteArray strWhy;
        const auto message = ParseComPortMessage(payload, &strWhy);
        Check(message.has_value() == strWhy.isEmpty());
        if (!message)
            return;
        Check(ParseComPortMessage(BuildComPortMessage(*message)) == message);
        Check(!DescribeComPortMessage(*message).isEmpty());
    }
    void OnTelnetCommand(uchar nCommand) override
    {
        Check(nCommand > kSe && nCommand < kSb);
        strEvents += "cmd" + QByteArray::number(nCommand) + ';';
    }
    void OnTelnetOption(uchar nOption, bool bOurs, bool bEnabled) override
    {
        strEvents += "opt" + QByteArray::number(nOption) + (bOurs ? 'o' : 't') + (bEnabled ? '+' : '-') + ';';
    }
};

// Piece lengths for splitting a stream, from a seed.
class CSplits
{
public:
    explicit CSplits(quint64 nSeed) : m_n(nSeed) {}
    qsizetype Next()
    {
        m_n = m_n * 6364136223846793005ULL + 1442695040888963407ULL;
        const unsigned nPick = unsigned(m_n >> 33);
        return (nPick & 3) == 0 ? qsizetype(nPick >> 2) % 300 : qsizetype(nPick >> 2) % 4;
    }

private:
    quint64 m_n;
};

struct SResult
{
    QByteArray strData, strEvents, strOutput;
};

SResult Feed(QByteArrayView wire, bool bServer, bool bStart, CSplits* pSplits)
{
    CRecorder owner;
    CTelnetCodec codec(owner, bServer ? ETelnetRole::Server : ETelnetRole::Client);
    if (bStart)
        codec.Start();
    SResult result;
    for (qsizetype nAt = 0; nAt < wire.size();) {
        const qsizetype nLen = pSplits ? qMin(pSplits->Next(), wire.size() - nAt) : wire.size();
        codec.Decode(wire.sliced(nAt, nLen), result.strData);
        result.strOutput += codec.TakeOutput();
        nAt += nLen;
    }
    result.strEvents = owner.strEvents;
    // Replies never outgrow what caused them (three bytes a negotiation).
    Check(result.strOutput.size() <= wire.size() + 64);
    return result;
}

void RawStream(QByteArrayView wire, bool bServer, bool bStart)
{
    const SResult whole = Feed(wire, bServer, bStart, nullptr);
    Check(whole.strData.size() <= wire.size());
    CSplits splits(quint64(wire.size()) * 0x9e3779b97f4a7c15ULL + (wire.isEmpty() ? 0 : uchar(wire.back())));
    for (int i = 0; i < 3; ++i) {
        const SResult split = Feed(wire, bServer, bStart, &splits);
        Check(split.strData == whole.strData && split.strEvents == whole.strEvents
              && split.strOutput == whole.strOutput);
    }
}

// One piece of a stream that holds no data byte and ends cleanly: whatever
// follows it is read as it would be at the start.
void AppendCommand(FuzzedDataProvider& fdp, QByteArray& strWire)
{
    const auto body = [&](qsizetype nMax) {
        const std::string str = fdp.ConsumeBytesAsString(fdp.ConsumeIntegralInRange<size_t>(0, size_t(nMax)));
        CTelnetCodec::AppendEscaped(QByteArrayView(str.data(), qsizetype(str.size())), strWire);
    };
    switch (fdp.ConsumeIntegralInRange(0, 5)) {
    case 0: // NOP .. GA
        strWire.append(char(kIac)).append(char(fdp.ConsumeIntegralInRange<int>(kNop, kGa)));
        break;
    case 1: // stray SE or an undefined code
        strWire.append(char(kIac)).append(char(fdp.ConsumeIntegralInRange<int>(0, kSe)));
        break;
    case 2: // negotiation of any option
        strWire.append(char(kIac)).append(char(fdp.ConsumeIntegralInRange<int>(kWill, kDont)));
        strWire.append(char(fdp.ConsumeBool() ? kComPort : fdp.ConsumeIntegral<uchar>()));
        break;
    case 3: // subnegotiation, often COM-PORT, sometimes past the bound
        strWire.append(char(kIac)).append(char(kSb));
        if (fdp.ConsumeBool())
            strWire.append(char(kComPort));
        body(fdp.ConsumeBool() ? 8 : 200);
        strWire.append(char(kIac)).append(char(kSe));
        break;
    case 4: { // endless subnegotiation of 0xFF bytes
        strWire.append(char(kIac)).append(char(kSb)).append(char(kComPort));
        strWire.append(QByteArray(2 * fdp.ConsumeIntegralInRange<int>(0, 1000), char(kIac)));
        strWire.append(char(kIac)).append(char(kSe));
        break;
    }
    case 5: // subnegotiation cut off by the next command
        strWire.append(char(kIac)).append(char(kSb));
        body(100);
        if (fdp.ConsumeBool())
            strWire.append(char(kIac)).append(char(kNop));
        else
            strWire.append(char(kIac)).append(char(kWill)).append(char(kBinary));
        break;
    }
}

void BuiltStream(FuzzedDataProvider& fdp)
{
    const bool bServer = fdp.ConsumeBool();
    const bool bStart = fdp.ConsumeBool();
    CSplits splits(fdp.ConsumeIntegral<quint64>());
    QByteArray strWire, strData;
    if (fdp.ConsumeBool()) // COM-PORT on, so that its subnegotiations count
        strWire.append(char(kIac)).append(char(bServer ? kWill : kDo)).append(char(kComPort));
    for (int nPieces = 0; fdp.remaining_bytes() > 0 && nPieces < 200; ++nPieces) {
        if (fdp.ConsumeBool()) {
            const std::string str = fdp.ConsumeBytesAsString(fdp.ConsumeIntegralInRange<size_t>(0, 64));
            const QByteArrayView data(str.data(), qsizetype(str.size()));
            strData += data;
            CTelnetCodec::AppendEscaped(data, strWire);
        } else {
            AppendCommand(fdp, strWire);
        }
    }
    // A truncated sequence at the very end.
    static const char* const kTails[] = {"", "\xff", "\xff\xfb", "\xff\xfa", "\xff\xfa\x2c\x01\x00", "\xff\xfa\x2c\xff"};
    strWire.append(kTails[splits.Next() % std::size(kTails)]);

    const SResult whole = Feed(strWire, bServer, bStart, nullptr);
    Check(whole.strData == strData);
    const SResult split = Feed(strWire, bServer, bStart, &splits);
    Check(split.strData == strData && split.strEvents == whole.strEvents && split.strOutput == whole.strOutput);
}

void Pairing(FuzzedDataProvider& fdp)
{
    CRecorder serverOwner, clientOwner;
    CTelnetCodec server(serverOwner, ETelnetRole::Server);
    CTelnetCodec client(clientOwner, ETelnetRole::Client);
    QByteArray strIgnored;
    const auto exchange = [&] {
        const QByteArray strToClient = server.TakeOutput();
        const QByteArray strToServer = client.TakeOutput();
        client.Decode(strToClient, strIgnored);
        server.Decode(strToServer, strIgnored);
    };
    static const uchar kOptions[] = {kBinary, kSuppressGoAhead, kComPort, kEcho};
    if (fdp.ConsumeBool())
        server.Start();
    if (fdp.ConsumeBool())
        client.Start();
    for (int nSteps = 0; fdp.remaining_bytes() > 0 && nSteps < 100; ++nSteps) {
        const int nPick = fdp.ConsumeIntegralInRange(0, 9);
        if (nPick == 9) {
            exchange();
            continue;
        }
        CTelnetCodec& codec = nPick < 4 ? server : client;
        const uchar nVerb = uchar(kWill + nPick % 4);
        codec.Request(nVerb, kOptions[fdp.ConsumeIntegralInRange<size_t>(0, std::size(kOptions) - 1)]);
    }
    for (int nRounds = 0; server.HasOutput() || client.HasOutput(); ++nRounds) {
        Check(nRounds < 6);
        exchange();
    }
    Check(strIgnored.isEmpty() && server.IsSettled() && client.IsSettled());
    for (uchar nOption : kOptions) {
        Check(server.IsEnabled(nOption, true) == client.IsEnabled(nOption, false));
        Check(server.IsEnabled(nOption, false) == client.IsEnabled(nOption, true));
    }
}

// A socket under the layer: reads return the pieces given, sends take what
// the current room allows.
class CFuzzBelow : public IStreamLayer
{
public:
    QByteArrayList pieces;
    QByteArray strWire;
    size_t nRoom = 0;
    ssize_t Receive(char* pData, size_t nLen) override
    {
        if (pieces.isEmpty()) {
            errno = EAGAIN;
            return -1;
        }
        const QByteArray strPiece = pieces.front().left(qsizetype(nLen));
        pieces.front().remove(0, strPiece.size());
        if (pieces.front().isEmpty())
            pieces.removeFirst();
        std::memcpy(pData, strPiece.constData(), size_t(strPiece.size()));
        return strPiece.size();
    }
    ssize_t Send(const char* pData, size_t nLen) override
    {
        if (nRoom == 0) {
            errno = EAGAIN;
            return -1;
        }
        const size_t n = std::min(nLen, nRoom);
        strWire.append(pData, qsizetype(n));
        nRoom -= n;
        return ssize_t(n);
    }
    bool HasBuffered() const override { return !pieces.isEmpty(); }
};

void Layer(FuzzedDataProvider& fdp)
{
    CRecorder owner, reference;
    CFuzzBelow below;
    CTelnetLayer layer(below, owner, ETelnetRole::Server);
    const QByteArray strIn = QByteArray::fromStdString(fdp.ConsumeRandomLengthString(4096));
    for (qsizetype nAt = 0; nAt < strIn.size();) {
        const qsizetype nPiece = fdp.ConsumeIntegralInRange<qsizetype>(1, 700);
        below.pieces.append(strIn.mid(nAt, nPiece));
        nAt += nPiece;
    }
    below.nRoom = 1 << 20;
    QByteArray strGot;
    char buffer[1024];
    for (int nReads = 0; below.HasBuffered() || layer.HasBuffered(); ++nReads) {
        Check(nReads < 100000);
        const size_t nWant = fdp.ConsumeIntegralInRange<size_t>(1, sizeof buffer);
        const ssize_t n = layer.Receive(buffer, nWant);
        Check(n != 0 && n <= ssize_t(nWant));
        if (n > 0)
            strGot.append(buffer, n);
    }
    CTelnetCodec codec(reference, ETelnetRole::Server);
    QByteArray strData;
    codec.Decode(strIn, strData);
    Check(strGot == strData && owner.strEvents == reference.strEvents);

    // Sends as a port does: what is not taken is offered again.
    const QByteArray strSend = QByteArray::fromStdString(fdp.ConsumeRandomLengthString(4096));
    qsizetype nSent = 0;
    for (int nSpell = 0; nSent < strSend.size(); ++nSpell) {
        Check(nSpell < 100000);
        const ssize_t n = layer.Send(strSend.constData() + nSent, size_t(strSend.size() - nSent));
        if (n > 0)
            nSent += n;
        else
            below.nRoom = fdp.ConsumeIntegralInRange<size_t>(1, 300);
    }
    below.nRoom = 1 << 20;
    Check(layer.Flush() == 0);
    CRecorder peer;
    CTelnetCodec client(peer, ETelnetRole::Client);
    QByteArray strSeen;
    client.Decode(below.strWire, strSeen);
    Check(strSeen == strSend);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    if (nSize == 0)
        return 0;
    const QByteArrayView rest(reinterpret_cast<const char*>(pData) + 1, qsizetype(nSize - 1));
    FuzzedDataProvider fdp(pData + 1, nSize - 1);
    switch (pData[0] % 4) {
    case 0:
        RawStream(rest, pData[0] & 4, pData[0] & 8);
        break;
    case 1:
        BuiltStream(fdp);
        break;
    case 2:
        Pairing(fdp);
        break;
    case 3:
        Layer(fdp);
        break;
    }
    return 0;
}
