#include "stream/comportoption.h"
#include "stream/telnetcodec.h"
#include "stream/telnetlayer.h"

#include <cerrno>
#include <cstring>

#include <QTest>

// The Telnet framing and the com port option messages: pure code, checked on
// the bytes, events and replies they produce.
class TestTelnet : public QObject
{
    Q_OBJECT
private slots:
    void decode_data();
    void decode();
    void negotiation_data();
    void negotiation();
    void requestsQueue();
    void pairing();
    void subnegotiationBound_data();
    void subnegotiationBound();
    void comPortMessage_data();
    void comPortMessage();
    void layerSend_data();
    void layerSend();
    void layerReceive_data();
    void layerReceive();
};

namespace {
using namespace Telnet;

// Writes down every event in order, with the data that came before it.
class CRecorder : public ITelnetOwner
{
public:
    QByteArray* pData = nullptr;
    QByteArray strEvents;
    void OnSubnegotiation(uchar nOption, QByteArrayView payload) override
    {
        Note("sb" + QByteArray::number(nOption) + ':' + payload.toByteArray().toHex());
    }
    void OnTelnetCommand(uchar nCommand) override { Note("cmd" + QByteArray::number(nCommand)); }
    void OnTelnetOption(uchar nOption, bool bOurs, bool bEnabled) override
    {
        Note("opt" + QByteArray::number(nOption) + (bOurs ? "o" : "t") + (bEnabled ? "+" : "-"));
    }
    void Note(const QByteArray& str) { strEvents += '@' + QByteArray::number(pData->size()) + ' ' + str + ' '; }
};

QByteArray Bytes(std::initializer_list<int> bytes)
{
    QByteArray str;
    for (int b : bytes)
        str.append(char(b));
    return str;
}

// Which sides of BINARY, ECHO, SGA and COM-PORT are on, e.g. "0o 0t 44o".
QByteArray Enabled(const CTelnetCodec& codec)
{
    QByteArray str;
    for (uchar n : {kBinary, kEcho, kSuppressGoAhead, kComPort}) {
        for (bool bOurs : {true, false}) {
            if (codec.IsEnabled(n, bOurs))
                str += QByteArray::number(n) + (bOurs ? "o " : "t ");
        }
    }
    return str.trimmed();
}

// The stream below a Telnet layer: takes nRoom bytes more, then would
// block; its reads return the pieces of `reads` one by one.
class CBelow : public IStreamLayer
{
public:
    QByteArray wire;
    qsizetype nRoom = 1 << 30;
    QByteArrayList reads;
    ssize_t Receive(char* pData, size_t nLen) override
    {
        if (reads.isEmpty()) {
            errno = EAGAIN;
            return -1;
        }
        const QByteArray piece = reads.front().left(qsizetype(nLen));
        reads.front().remove(0, piece.size());
        if (reads.front().isEmpty())
            reads.removeFirst();
        std::memcpy(pData, piece.constData(), size_t(piece.size()));
        return piece.size();
    }
    ssize_t Send(const char* pData, size_t nLen) override
    {
        if (nRoom == 0) {
            errno = EAGAIN;
            return -1;
        }
        const qsizetype n = std::min(qsizetype(nLen), nRoom);
        wire.append(pData, n);
        nRoom -= n;
        return n;
    }
    bool HasBuffered() const override { return !reads.isEmpty(); }
};

// The server with COM-PORT enabled on the client's side.
const QByteArray kComPortOn = Bytes({kIac, kWill, kComPort});
} // namespace

void TestTelnet::decode_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("events");

    QTest::newRow("plain") << QByteArray("abc") << QByteArray("abc") << QByteArray();
    QTest::newRow("doubled 0xFF") << Bytes({'a', kIac, kIac, 'b', kIac, kIac}) << Bytes({'a', kIac, 'b', kIac}) << QByteArray();
    QTest::newRow("NUL and CR pass") << Bytes({'\r', 0, '\r', '\n', 0}) << Bytes({'\r', 0, '\r', '\n', 0}) << QByteArray();
    QTest::newRow("command") << Bytes({'a', kIac, kAyt, 'b'}) << QByteArray("ab") << QByteArray("@1 cmd246 ");
    QTest::newRow("stray SE, undefined code") << Bytes({'a', kIac, kSe, 'b', kIac, 16, 'c'}) << QByteArray("abc") << QByteArray();
    QTest::newRow("negotiation") << Bytes({'a', kIac, kWill, kComPort, 'b'}) << QByteArray("ab") << QByteArray("@1 opt44t+ ");
    QTest::newRow("subnegotiation with 0xFF") << kComPortOn + Bytes({'x', kIac, kSb, kComPort, 1, 0, kIac, kIac, kIac, kIac, kIac, kSe, 'y'})
                                              << QByteArray("xy") << QByteArray("@0 opt44t+ @1 sb44:0100ffff ");
    QTest::newRow("subnegotiation cut off by a command") << kComPortOn + Bytes({kIac, kSb, kComPort, 5, kIac, kNop, 'z'})
                                                         << QByteArray("z") << QByteArray("@0 opt44t+ @0 cmd241 ");
    QTest::newRow("subnegotiation of a disabled option") << Bytes({kIac, kSb, 24, 1, kIac, kSe, 'z'}) << QByteArray("z") << QByteArray();
    QTest::newRow("empty subnegotiation") << Bytes({kIac, kSb, kIac, kSe, 'z'}) << QByteArray("z") << QByteArray();
}

void TestTelnet::decode()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, events);
    // Whole, split once at every position, and byte by byte: one result.
    for (qsizetype nSplit = 0; nSplit <= input.size() + 1; ++nSplit) {
        CRecorder owner;
        QByteArray strData;
        owner.pData = &strData;
        CTelnetCodec codec(owner, ETelnetRole::Server);
        if (nSplit <= input.size()) {
            codec.Decode(QByteArrayView(input).first(nSplit), strData);
            codec.Decode(QByteArrayView(input).sliced(nSplit), strData);
        } else {
            for (char c : input)
                codec.Decode(QByteArrayView(&c, 1), strData);
        }
        QCOMPARE(strData, data);
        QCOMPARE(owner.strEvents, events);
    }
}

void TestTelnet::negotiation_data()
{
    QTest::addColumn<bool>("server");
    QTest::addColumn<QByteArray>("peer");
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<QByteArray>("enabled");
    QTest::addColumn<bool>("settled"); // all our requests answered

    const QByteArray kAll = "0o 0t 3o 3t 44o 44t";
    // pyserial's client: its requests, then its answers to ours.
    QTest::newRow("server, pyserial client")
        << true << Bytes({kIac, kDo, kEcho, kIac, kWill, kSuppressGoAhead, kIac, kDo, kSuppressGoAhead, kIac, kWill, kComPort,
                          kIac, kDo, kComPort, kIac, kDo, kBinary, kIac, kWill, kBinary})
        << Bytes({kIac, kWont, kEcho, kIac, kWill, kComPort}) << kAll << true;
    // pyserial's server: its requests, then its answers to ours.
    QTest::newRow("client, pyserial server")
        << false << Bytes({kIac, kWill, kEcho, kIac, kWill, kSuppressGoAhead, kIac, kDo, kBinary, kIac, kWill, kComPort,
                           kIac, kWill, kBinary, kIac, kDo, kSuppressGoAhead, kIac, kDo, kComPort})
        << Bytes({kIac, kDont, kEcho, kIac, kDo, kComPort}) << kAll << true;
    QTest::newRow("client, server refusing all")
        << false << Bytes({kIac, kWont, kBinary, kIac, kDont, kBinary, kIac, kWont, kSuppressGoAhead, kIac, kDont, kSuppressGoAhead,
                           kIac, kDont, kComPort})
        << QByteArray() << QByteArray() << true;
    QTest::newRow("unknown option, each time, no answer to no")
        << true << Bytes({kIac, kWill, 24, kIac, kDo, 24, kIac, kWont, 24, kIac, kDont, 24, kIac, kWill, 24})
        << Bytes({kIac, kDont, 24, kIac, kWont, 24, kIac, kDont, 24}) << QByteArray() << false;
    QTest::newRow("enabled then switched off twice")
        << true << Bytes({kIac, kDo, kBinary, kIac, kWill, kBinary, kIac, kWont, kBinary, kIac, kWont, kBinary})
        << Bytes({kIac, kDont, kBinary}) << QByteArray("0o") << false;
}

void TestTelnet::negotiation()
{
    QFETCH(bool, server);
    QFETCH(QByteArray, peer);
    QFETCH(QByteArray, replies);
    QFETCH(QByteArray, enabled);
    QFETCH(bool, settled);
    CRecorder owner;
    QByteArray strData;
    owner.pData = &strData;
    CTelnetCodec codec(owner, server ? ETelnetRole::Server : ETelnetRole::Client);
    codec.Start();
    const QByteArray strStart = codec.TakeOutput();
    QCOMPARE(strStart.left(6), Bytes({kIac, kWill, kBinary, kIac, kDo, kBinary}));
    QVERIFY(!codec.IsSettled());
    codec.Decode(peer, strData);
    QCOMPARE(codec.TakeOutput().toHex(' '), replies.toHex(' '));
    QCOMPARE(Enabled(codec), enabled);
    QCOMPARE(codec.IsSettled(), settled);
    QVERIFY(strData.isEmpty());
}

void TestTelnet::requestsQueue()
{
    CRecorder owner;
    QByteArray strData;
    owner.pData = &strData;
    CTelnetCodec codec(owner, ETelnetRole::Server);
    codec.Decode(Bytes({kIac, kWill, kBinary}), strData);
    QCOMPARE(codec.TakeOutput(), Bytes({kIac, kDo, kBinary}));
    QVERIFY(!codec.Request(kDo, kBinary)); // already on
    QVERIFY(!codec.Request(kDo, 24));      // not in the table
    QVERIFY(codec.Request(kDont, kBinary));
    QVERIFY(codec.Request(kDo, kBinary)); // queued behind the DONT, nothing sent
    QCOMPARE(codec.TakeOutput(), Bytes({kIac, kDont, kBinary}));
    codec.Decode(Bytes({kIac, kWont, kBinary}), strData);
    QCOMPARE(codec.TakeOutput(), Bytes({kIac, kDo, kBinary}));
    codec.Decode(Bytes({kIac, kWill, kBinary}), strData);
    QVERIFY(codec.IsEnabled(kBinary, false));
    QVERIFY(!codec.HasOutput());
}

void TestTelnet::pairing()
{
    CRecorder serverOwner, clientOwner;
    QByteArray strServerData, strClientData;
    serverOwner.pData = &strServerData;
    clientOwner.pData = &strClientData;
    CTelnetCodec server(serverOwner, ETelnetRole::Server);
    CTelnetCodec client(clientOwner, ETelnetRole::Client);
    server.Start();
    client.Start();
    int nRounds = 0;
    while (server.HasOutput() || client.HasOutput()) {
        QVERIFY(++nRounds <= 3);
        const QByteArray strToClient = server.TakeOutput();
        const QByteArray strToServer = client.TakeOutput();
        client.Decode(strToClient, strClientData);
        server.Decode(strToServer, strServerData);
    }
    // COM-PORT: the client's side only, which each side accepts but only the
    // client asks for.
    QCOMPARE(Enabled(server), QByteArray("0o 0t 3o 3t 44t"));
    QCOMPARE(Enabled(client), QByteArray("0o 0t 3o 3t 44o"));
    QVERIFY(server.IsSettled() && client.IsSettled());

    const QByteArray strPayload = Bytes({1, kIac, 0, 0, kIac});
    const QByteArray strSent = Bytes({kIac, 0, kIac, kIac, 'a', '\r', 0, kIac});
    client.SendData(strSent.first(4));
    client.SendSubnegotiation(kComPort, strPayload);
    client.SendData(strSent.sliced(4));
    serverOwner.strEvents.clear();
    server.Decode(client.TakeOutput(), strServerData);
    QCOMPARE(strServerData, strSent);
    QCOMPARE(serverOwner.strEvents, "@4 sb44:" + strPayload.toHex() + ' ');
}

void TestTelnet::subnegotiationBound_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("kept");
    QTest::newRow("64 kept") << 64 << true;
    QTest::newRow("65 dropped") << 65 << false;
    QTest::newRow("1 MiB dropped") << (1 << 20) << false;
}

void TestTelnet::subnegotiationBound()
{
    QFETCH(int, size);
    QFETCH(bool, kept);
    CRecorder owner;
    QByteArray strData;
    owner.pData = &strData;
    CTelnetCodec codec(owner, ETelnetRole::Server);
    codec.Decode(kComPortOn, strData);
    const QByteArray strPayload(size, char(kIac));
    codec.SendSubnegotiation(kComPort, strPayload);
    codec.Decode(codec.TakeOutput() + "after", strData);
    QCOMPARE(strData, QByteArray("after"));
    QCOMPARE(owner.strEvents.contains("sb44:" + strPayload.toHex()), kept);
    QCOMPARE(owner.strEvents.count("sb"), kept ? 1 : 0);
}

void TestTelnet::comPortMessage_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("command"); // -1: refused
    QTest::addColumn<bool>("server");
    QTest::addColumn<uint>("value");
    QTest::addColumn<QByteArray>("words");
    QTest::addColumn<bool>("query");

    QTest::newRow("signature ask") << Bytes({0}) << 0 << false << 0u << QByteArray("SIGNATURE") << true;
    QTest::newRow("signature text") << QByteArray("\x64" "box\x01") << 0 << true << 0u << QByteArray("SIGNATURE box?") << false;
    QTest::newRow("baud 57600") << Bytes({1, 0, 0, 0xe1, 0}) << 1 << false << 57600u << QByteArray("SET-BAUDRATE 57600") << false;
    QTest::newRow("baud answer max") << Bytes({101, 0xff, 0xff, 0xff, 0xff}) << 1 << true << 0xffffffffu << QByteArray("SET-BAUDRATE 4294967295") << false;
    QTest::newRow("data size query") << Bytes({2, 0}) << 2 << false << 0u << QByteArray("SET-DATASIZE query") << true;
    QTest::newRow("parity mark") << Bytes({3, 4}) << 3 << false << 4u << QByteArray("SET-PARITY mark") << false;
    QTest::newRow("stop 1.5") << Bytes({104, 3}) << 4 << true << 3u << QByteArray("SET-STOPSIZE 1.5") << false;
    QTest::newRow("control DTR on") << Bytes({5, 8}) << 5 << false << 8u << QByteArray("SET-CONTROL DTR on") << false;
    QTest::newRow("control RTS query") << Bytes({5, 10}) << 5 << false << 10u << QByteArray("SET-CONTROL RTS query") << true;
    QTest::newRow("control DSR flow") << Bytes({105, 19}) << 5 << true << 19u << QByteArray("SET-CONTROL flow DSR") << false;
    QTest::newRow("line state") << Bytes({106, 0x12}) << 6 << true << 0x12u << QByteArray("NOTIFY-LINESTATE 0x12") << false;
    QTest::newRow("modem state") << Bytes({107, 0x88}) << 7 << true << 0x88u << QByteArray("NOTIFY-MODEMSTATE 0x88") << false;
    QTest::newRow("modem state poll") << Bytes({7}) << 7 << false << 0u << QByteArray("NOTIFY-MODEMSTATE") << true;
    QTest::newRow("suspend") << Bytes({8}) << 8 << false << 0u << QByteArray("FLOWCONTROL-SUSPEND") << false;
    QTest::newRow("resume answer") << Bytes({109}) << 9 << true << 0u << QByteArray("FLOWCONTROL-RESUME") << false;
    QTest::newRow("line mask") << Bytes({10, 0x1e}) << 10 << false << 0x1eu << QByteArray("SET-LINESTATE-MASK 0x1e") << false;
    QTest::newRow("modem mask") << Bytes({111, 0x80}) << 11 << true << 0x80u << QByteArray("SET-MODEMSTATE-MASK 0x80") << false;
    QTest::newRow("purge both") << Bytes({12, 3}) << 12 << false << 3u << QByteArray("PURGE-DATA both") << false;
    QTest::newRow("empty") << QByteArray() << -1 << false << 0u << QByteArray() << false;
    QTest::newRow("unknown 13") << Bytes({13, 1}) << -1 << false << 0u << QByteArray() << false;
    QTest::newRow("unknown 113") << Bytes({113}) << -1 << false << 0u << QByteArray() << false;
    QTest::newRow("baud short") << Bytes({1, 0, 0, 0x25}) << -1 << false << 0u << QByteArray() << false;
    QTest::newRow("baud long") << Bytes({101, 0, 0, 0x25, 0x80, 0, 0, 0, 0}) << -1 << false << 0u << QByteArray() << false;
    QTest::newRow("parity missing") << Bytes({3}) << -1 << false << 0u << QByteArray() << false;
    QTest::newRow("control two bytes") << Bytes({5, 8, 9}) << -1 << false << 0u << QByteArray() << false;
    QTest::newRow("suspend with value") << Bytes({8, 0}) << -1 << false << 0u << QByteArray() << false;
    QTest::newRow("modem state answer empty") << Bytes({107}) << -1 << false << 0u << QByteArray() << false;
}

void TestTelnet::comPortMessage()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, command);
    QFETCH(bool, server);
    QFETCH(uint, value);
    QFETCH(QByteArray, words);
    QFETCH(bool, query);
    QByteArray strWhy;
    const auto message = ParseComPortMessage(payload, &strWhy);
    QCOMPARE(message.has_value(), command >= 0);
    QCOMPARE(strWhy.isEmpty(), command >= 0);
    if (!message)
        return;
    QCOMPARE(int(message->eCommand), command);
    QCOMPARE(message->bFromServer, server);
    QCOMPARE(message->nValue, value);
    QCOMPARE(DescribeComPortMessage(*message), words);
    QCOMPARE(IsComPortQuery(*message), query);
    QCOMPARE(BuildComPortMessage(*message).toHex(' '), payload.toHex(' '));
}

void TestTelnet::layerSend_data()
{
    QTest::addColumn<int>("room"); // bytes the stream below takes per writable spell
    for (int nRoom : {1, 2, 3, 7, 512, 1 << 20})
        QTest::newRow(QByteArray::number(nRoom).constData()) << nRoom;
}

// Sends as a port does: what is not taken is offered again once the socket
// is writable. Every data byte goes out once, each 0xFF doubled once.
void TestTelnet::layerSend()
{
    QFETCH(int, room);
    QByteArray data = Bytes({kIac, 'a', kIac, kIac, 0, kIac});
    for (int i = 0; i < 1000; ++i)
        data.append(char(i * 37 % 256));
    QByteArray expected;
    for (char c : data)
        expected.append(uchar(c) == kIac ? QByteArray(2, c) : QByteArray(1, c));

    CBelow below;
    CRecorder owner;
    CTelnetLayer layer(below, owner, ETelnetRole::Server);
    below.nRoom = room;
    qsizetype nOffset = 0;
    for (int nSpell = 0; nOffset < data.size() && nSpell < 10000; ++nSpell) {
        const ssize_t n = layer.Send(data.constData() + nOffset, size_t(data.size() - nOffset));
        if (n > 0) {
            QVERIFY(n <= data.size() - nOffset);
            nOffset += n;
            continue;
        }
        QCOMPARE(n, ssize_t(-1));
        QCOMPARE(errno, EAGAIN);
        below.nRoom = room; // writable again
    }
    QCOMPARE(nOffset, data.size());
    below.nRoom = 1 << 30;
    QCOMPARE(layer.Flush(), 0);
    QVERIFY(!layer.HasHeldOutput());
    QCOMPARE(below.wire.toHex(), expected.toHex());
}

void TestTelnet::layerReceive_data()
{
    QTest::addColumn<int>("chunk"); // the size of the port's reads
    QTest::newRow("port reads") << 16384;
    QTest::newRow("reads of 3") << 3;
    QTest::newRow("reads of 1") << 1;
}

// Whatever the pieces the socket brings and the size of the reads, the layer
// above gets the data bytes only, the owner the subnegotiations, and the
// negotiation's replies go out.
void TestTelnet::layerReceive()
{
    QFETCH(int, chunk);
    const QByteArray input = Bytes({'x', kIac, kIac, 'y', kIac, kWill, kComPort, 'z', kIac, kSb, kComPort, 1, 0, 0,
                                    kIac, kIac, 0, kIac, kSe, kIac, kIac, kIac, kDo, kBinary, 0});
    const QByteArray data = Bytes({'x', kIac, 'y', 'z', kIac, 0});
    for (qsizetype nSplit = 0; nSplit <= input.size(); ++nSplit) {
        CBelow below;
        CRecorder owner;
        QByteArray received;
        owner.pData = &received;
        CTelnetLayer layer(below, owner, ETelnetRole::Server);
        below.reads = {input.first(nSplit), input.sliced(nSplit)};
        below.reads.removeAll(QByteArray());
        QByteArray buffer(chunk, Qt::Uninitialized);
        for (int i = 0; i < 1000; ++i) {
            const ssize_t n = layer.Receive(buffer.data(), size_t(chunk));
            if (n > 0)
                received.append(buffer.constData(), n);
            else if (!layer.HasBuffered())
                break;
        }
        QCOMPARE(received.toHex(), data.toHex());
        QVERIFY(owner.strEvents.contains("sb44:010000ff00"));
        QVERIFY(below.wire.contains(Bytes({kIac, kDo, kComPort})));
        QVERIFY(below.wire.contains(Bytes({kIac, kWill, kBinary})));
    }
}

QTEST_APPLESS_MAIN(TestTelnet)
#include "tst_telnet.moc"
