#pragma once

#include "stream/streamlayer.h"
#include "stream/telnetcodec.h"

#include <QByteArray>

// The Telnet framing as a layer of the stream, over any layer below it
// (plain or TLS). The layer above sees data bytes only: Receive takes the
// Telnet sequences out, whatever the read boundaries, and hands them to the
// owner; Send doubles 0xFF. The encoded bytes of a Send and the layer's own
// replies wait in the layer while the layer below takes no more: a Send
// then reports EAGAIN, and once they are out the next Send (offered the
// same bytes again, as the stream's contract asks) counts them as taken,
// so no byte is escaped twice.
class CTelnetLayer : public IStreamLayer
{
public:
    // Most data bytes one Send encodes.
    static constexpr size_t kMaxSendChunk = 64 * 1024;
    // Reads of the layer below one Receive makes when they bring Telnet
    // sequences only; then it reports EAGAIN (the socket stays readable).
    static constexpr int kMaxReadsPerReceive = 8;

    CTelnetLayer(IStreamLayer& below, ITelnetOwner& owner, ETelnetRole eRole);

    // Asks for the options the role wants.
    void Start();
    // A subnegotiation (a com port option message), behind everything held.
    void SendSubnegotiation(uchar nOption, QByteArrayView payload);
    const CTelnetCodec& Codec() const { return m_codec; }

    ssize_t Receive(char* pData, size_t nLen) override;
    ssize_t Send(const char* pData, size_t nLen) override;
    bool HasBuffered() const override { return !m_strData.isEmpty() || m_below.HasBuffered(); }
    bool HasHeldOutput() const override { return m_nWireOffset < m_strWire.size(); }
    int Flush() override;

private:
    // Data bytes behind the held bytes, 0xFF doubled.
    void AppendEscaped(const char* pData, size_t nLen);
    // Moves the codec's replies behind the held bytes.
    void TakeCodecOutput();
    // Hands data decoded before to the caller: the count.
    size_t GiveData(char* pData, size_t nLen);

    IStreamLayer& m_below;
    CTelnetCodec m_codec;
    // Encoded bytes not yet taken below, from m_nWireOffset on.
    QByteArray m_strWire;
    qsizetype m_nWireOffset = 0;
    // Data bytes of a Send whose encoded form still waits in m_strWire.
    size_t m_nHeldData = 0;
    // Decoded data not yet handed up.
    QByteArray m_strData;
};
