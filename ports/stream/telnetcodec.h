#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <array>
#include <span>

// Bytes of the Telnet protocol (commands and the options used here).
namespace Telnet {
inline constexpr uchar kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251;
inline constexpr uchar kSb = 250, kGa = 249, kEl = 248, kEc = 247, kAyt = 246;
inline constexpr uchar kAo = 245, kIp = 244, kBrk = 243, kDm = 242, kNop = 241, kSe = 240;
inline constexpr uchar kBinary = 0, kEcho = 1, kSuppressGoAhead = 3, kComPort = 44;
// The longest subnegotiation kept (after the option byte); a longer one is
// skipped up to its end and ignored.
inline constexpr qsizetype kMaxSubnegotiation = 64;
} // namespace Telnet

// Receives what the codec finds between the data bytes. A callback runs in
// the middle of Decode: the data buffer then holds exactly the data that came
// before the event. Callbacks may queue output (SendSubnegotiation, Request)
// but must not call Decode.
class ITelnetOwner
{
public:
    // A subnegotiation of an option that is enabled on either side; payload
    // is what follows the option byte, 0xFF undoubled.
    virtual void OnSubnegotiation(uchar nOption, QByteArrayView payload) = 0;
    // A one-byte command: NOP, DM, BRK, IP, AO, AYT, EC, EL or GA.
    virtual void OnTelnetCommand(uchar nCommand) { Q_UNUSED(nCommand); }
    // One side of an option settled: enabled, or disabled (which includes the
    // peer refusing our request). bOurs: the option on our side (WILL/WONT).
    virtual void OnTelnetOption(uchar nOption, bool bOurs, bool bEnabled)
    {
        Q_UNUSED(nOption); Q_UNUSED(bOurs); Q_UNUSED(bEnabled);
    }

protected:
    ~ITelnetOwner() = default;
};

// What we do about one option on one side: refuse it, agree when the peer
// asks, or ask for it when the session starts (and agree).
enum class ETelnetWish : uchar { Refuse, Accept, Ask };
enum class ETelnetRole { Server, Client };

struct STelnetWish
{
    uchar nOption;
    ETelnetWish eOurs;   // we WILL
    ETelnetWish eTheirs; // we DO
};

// The Telnet framing of one connection, without any I/O. Decode takes bytes
// from below in pieces of any size; data bytes go to the caller, everything
// else to the owner or into replies. Output (data, subnegotiations, requests
// and replies, in the order made) collects until TakeOutput.
//
// Options are negotiated by the Q method of RFC 1143 over a table of the
// options in the wish list; every other option is refused. Data passes
// unchanged whether or not BINARY is in force: no CR NUL insertion or
// removal, so a peer that refuses BINARY still loses no byte.
class CTelnetCodec
{
public:
    CTelnetCodec(ITelnetOwner& owner, ETelnetRole eRole);
    // Up to 8 options; an option listed twice counts once.
    CTelnetCodec(ITelnetOwner& owner, std::span<const STelnetWish> wishes);

    // Queues the requests for every option we ask for.
    void Start();
    // Appends the data bytes found in the input to strData. A sequence split
    // across calls is completed by the next one. A subnegotiation is dropped
    // when it outgrows kMaxSubnegotiation (the rest up to SE is skipped) or
    // when a command other than SE cuts it off (the command then counts, so
    // an unended subnegotiation cannot swallow the stream). Replies are at
    // most as long as the negotiations that caused them.
    void Decode(QByteArrayView input, QByteArray& strData);

    void SendData(QByteArrayView data);
    void SendSubnegotiation(uchar nOption, QByteArrayView payload);
    // Asks the peer (WILL, WONT, DO or DONT) as RFC 1143 allows; false for an
    // option outside the table or a request that is already the state or
    // already queued.
    bool Request(uchar nVerb, uchar nOption);

    bool HasOutput() const { return !m_strOutput.isEmpty(); }
    QByteArray TakeOutput();

    bool IsEnabled(uchar nOption, bool bOurs) const;
    // No request of ours waits for an answer.
    bool IsSettled() const;

    static void AppendEscaped(QByteArrayView data, QByteArray& strOut);

private:
    // One side of an option: its RFC 1143 state (no, yes, want no, want
    // yes) and queue bit.
    struct SSide
    {
        uchar nState = 0;
        bool bOpposite = false; // the opposite request is queued
        ETelnetWish eWish = ETelnetWish::Refuse;
    };
    struct SOption
    {
        uchar nOption = 0;
        SSide ours;
        SSide theirs;
    };
    enum class EIn : uchar { Data, Iac, Verb, Sub, SubIac };

    void OnIacByte(uchar b, QByteArray& strData);
    void OnVerb(uchar nVerb, uchar nOption);
    void KeepSubByte(uchar b);
    void EndSubnegotiation();
    void Queue(uchar nVerb, uchar nOption);
    SOption* Find(uchar nOption);
    const SOption* Find(uchar nOption) const;

    ITelnetOwner& m_owner;
    std::array<SOption, 8> m_options{};
    int m_nOptions = 0;

    EIn m_eIn = EIn::Data;
    uchar m_nVerb = 0;
    // Option byte and payload of the subnegotiation being read;
    // m_bSubTooLong once more came than fits.
    std::array<char, 1 + Telnet::kMaxSubnegotiation> m_sub{};
    qsizetype m_nSub = 0;
    bool m_bSubTooLong = false;
    QByteArray m_strOutput;
};
