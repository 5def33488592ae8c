#pragma once

#include <sys/types.h>

// One layer of a connection's stream: the socket itself, its TLS session, or
// the Telnet framing over either. Each layer works over the one below it and
// means the same by its results:
// - Receive: a count of bytes for the layer above, 0 at the stream's end,
//   or -1 with errno (EAGAIN: nothing now);
// - Send: the count taken, or -1 with errno (EAGAIN: nothing taken now; the
//   caller offers the same bytes again later, from the same first byte).
// A layer may hold bytes of its own (replies it makes, or the encoded form
// of bytes a Send took) until the layer below takes them: HasHeldOutput,
// and Flush when the socket is writable again.
class IStreamLayer
{
public:
    virtual ~IStreamLayer() = default;
    virtual ssize_t Receive(char* pData, size_t nLen) = 0;
    virtual ssize_t Send(const char* pData, size_t nLen) = 0;
    // Bytes already taken from the socket wait in the layer, which the
    // socket then does not report as readable.
    virtual bool HasBuffered() const = 0;
    virtual bool HasHeldOutput() const { return false; }
    // Hands held output down as far as it goes now: 0 when none is left,
    // -1 with errno (EAGAIN: some is left).
    virtual int Flush() { return 0; }
};
