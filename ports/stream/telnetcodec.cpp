#include "stream/telnetcodec.h"

#include <cstring>
#include <utility>

using namespace Telnet;

namespace {

// RFC 1143 states of one side of an option.
enum EQ : uchar { No, Yes, WantNo, WantYes };

enum class EReply : uchar { None, Yes, No, Wish, Invalid };

// One line of the Q method: the next state and queue bit, and what to send.
struct SStep
{
    uchar nNext;
    bool bOpposite;
    EReply eReply;
};

// Indexed by [state][queue bit]. A WILL or DO from the peer (Wish: agree or
// refuse as the option's wish says) ...
constexpr SStep kOnYes[4][2] = {
    {{No, false, EReply::Wish}, {No, false, EReply::Wish}},
    {{Yes, false, EReply::None}, {Yes, false, EReply::None}},
    {{No, false, EReply::None}, {Yes, false, EReply::None}}, // our DONT answered by WILL
    {{Yes, false, EReply::None}, {WantNo, false, EReply::No}},
};
// ... a WONT or DONT from the peer ...
constexpr SStep kOnNo[4][2] = {
    {{No, false, EReply::None}, {No, false, EReply::None}},
    {{No, false, EReply::No}, {No, false, EReply::No}},
    {{No, false, EReply::None}, {WantYes, false, EReply::Yes}},
    {{No, false, EReply::None}, {No, false, EReply::None}},
};
// ... our asking to enable the option ...
constexpr SStep kEnable[4][2] = {
    {{WantYes, false, EReply::Yes}, {WantYes, false, EReply::Yes}},
    {{Yes, false, EReply::Invalid}, {Yes, false, EReply::Invalid}},
    {{WantNo, true, EReply::None}, {WantNo, true, EReply::Invalid}},
    {{WantYes, false, EReply::Invalid}, {WantYes, false, EReply::None}},
};
// ... and to disable it.
constexpr SStep kDisable[4][2] = {
    {{No, false, EReply::Invalid}, {No, false, EReply::Invalid}},
    {{WantNo, false, EReply::No}, {WantNo, false, EReply::No}},
    {{WantNo, false, EReply::Invalid}, {WantNo, false, EReply::None}},
    {{WantYes, true, EReply::None}, {WantYes, true, EReply::Invalid}},
};

// Both roles want an 8-bit path both ways without go-aheads. The com port
// option is the client's (WILL); the server asks for it with DO, so that a
// client waiting for the server starts too, and agrees to the reverse
// direction, which some clients ask for as well.
constexpr STelnetWish kServerWishes[] = {
    {kBinary, ETelnetWish::Ask, ETelnetWish::Ask},
    {kSuppressGoAhead, ETelnetWish::Ask, ETelnetWish::Ask},
    {kComPort, ETelnetWish::Accept, ETelnetWish::Ask},
};
constexpr STelnetWish kClientWishes[] = {
    {kBinary, ETelnetWish::Ask, ETelnetWish::Ask},
    {kSuppressGoAhead, ETelnetWish::Ask, ETelnetWish::Ask},
    {kComPort, ETelnetWish::Ask, ETelnetWish::Accept},
};

bool IsVerb(uchar b) { return b >= kWill && b <= kDont; }

} // namespace

CTelnetCodec::CTelnetCodec(ITelnetOwner& owner, ETelnetRole eRole)
    : CTelnetCodec(owner, eRole == ETelnetRole::Server ? std::span<const STelnetWish>(kServerWishes)
                                                       : std::span<const STelnetWish>(kClientWishes))
{
}

CTelnetCodec::CTelnetCodec(ITelnetOwner& owner, std::span<const STelnetWish> wishes)
    : m_owner(owner)
{
    for (const STelnetWish& wish : wishes) {
        if (m_nOptions == int(m_options.size()) || Find(wish.nOption))
            continue;
        SOption& option = m_options[m_nOptions++];
        option.nOption = wish.nOption;
        option.ours.eWish = wish.eOurs;
        option.theirs.eWish = wish.eTheirs;
    }
}

void CTelnetCodec::Start()
{
    for (int i = 0; i < m_nOptions; ++i) {
        const SOption& option = m_options[i];
        if (option.ours.eWish == ETelnetWish::Ask)
            Request(kWill, option.nOption);
        if (option.theirs.eWish == ETelnetWish::Ask)
            Request(kDo, option.nOption);
    }
}

void CTelnetCodec::Decode(QByteArrayView input, QByteArray& strData)
{
    const char* p = input.data();
    const char* const pEnd = p + input.size();
    while (p < pEnd) {
        if (m_eIn == EIn::Data) {
            // Runs of data go out in one piece.
            const auto* pIac = static_cast<const char*>(std::memchr(p, kIac, size_t(pEnd - p)));
            const char* pStop = pIac ? pIac : pEnd;
            strData.append(p, pStop - p);
            if (!pIac)
                break;
            p = pIac + 1;
            m_eIn = EIn::Iac;
            continue;
        }
        const uchar b = uchar(*p++);
        switch (m_eIn) {
        case EIn::Data:
            break;
        case EIn::Iac:
            OnIacByte(b, strData);
            break;
        case EIn::Verb:
            m_eIn = EIn::Data;
            OnVerb(m_nVerb, b);
            break;
        case EIn::Sub:
            if (b == kIac)
                m_eIn = EIn::SubIac;
            else
                KeepSubByte(b);
            break;
        case EIn::SubIac:
            if (b == kIac) {
                m_eIn = EIn::Sub;
                KeepSubByte(b);
            } else if (b == kSe) {
                m_eIn = EIn::Data;
                EndSubnegotiation();
            } else {
                // Any other command cuts the subnegotiation off: it is
                // dropped, and the command counts, so that a peer that never
                // ends one does not swallow the rest of the stream.
                OnIacByte(b, strData);
            }
            break;
        }
    }
}

void CTelnetCodec::OnIacByte(uchar b, QByteArray& strData)
{
    m_eIn = EIn::Data;
    if (b == kIac) {
        strData.append(char(kIac));
    } else if (IsVerb(b)) {
        m_nVerb = b;
        m_eIn = EIn::Verb;
    } else if (b == kSb) {
        m_nSub = 0;
        m_bSubTooLong = false;
        m_eIn = EIn::Sub;
    } else if (b > kSe) {
        m_owner.OnTelnetCommand(b);
    }
    // A stray SE and the undefined codes below it are dropped.
}

void CTelnetCodec::OnVerb(uchar nVerb, uchar nOption)
{
    const bool bOurs = nVerb == kDo || nVerb == kDont;
    const bool bYes = nVerb == kWill || nVerb == kDo;
    SOption* pOption = Find(nOption);
    SSide unknown; // no, refused: every option outside the table
    SSide& side = pOption ? (bOurs ? pOption->ours : pOption->theirs) : unknown;
    const uchar nBefore = side.nState;
    const SStep& step = (bYes ? kOnYes : kOnNo)[side.nState][side.bOpposite];
    EReply eReply = step.eReply;
    side.nState = step.nNext;
    side.bOpposite = step.bOpposite;
    if (eReply == EReply::Wish) {
        const bool bAgree = side.eWish != ETelnetWish::Refuse;
        side.nState = bAgree ? Yes : No;
        eReply = bAgree ? EReply::Yes : EReply::No;
    }
    if (eReply == EReply::Yes)
        Queue(bOurs ? kWill : kDo, nOption);
    else if (eReply == EReply::No)
        Queue(bOurs ? kWont : kDont, nOption);

    const bool bSettled = side.nState == Yes || side.nState == No;
    if (pOption && bSettled && side.nState != nBefore)
        m_owner.OnTelnetOption(nOption, bOurs, side.nState == Yes);
}

void CTelnetCodec::KeepSubByte(uchar b)
{
    if (m_nSub < qsizetype(m_sub.size()))
        m_sub[m_nSub++] = char(b);
    else
        m_bSubTooLong = true;
}

void CTelnetCodec::EndSubnegotiation()
{
    if (m_bSubTooLong || m_nSub == 0)
        return;
    const uchar nOption = uchar(m_sub[0]);
    const SOption* pOption = Find(nOption);
    if (!pOption || (pOption->ours.nState != Yes && pOption->theirs.nState != Yes))
        return;
    m_owner.OnSubnegotiation(nOption, QByteArrayView(m_sub.data() + 1, m_nSub - 1));
}

bool CTelnetCodec::Request(uchar nVerb, uchar nOption)
{
    SOption* pOption = Find(nOption);
    if (!pOption || !IsVerb(nVerb))
        return false;
    const bool bOurs = nVerb == kWill || nVerb == kWont;
    const bool bEnable = nVerb == kWill || nVerb == kDo;
    SSide& side = bOurs ? pOption->ours : pOption->theirs;
    const SStep& step = (bEnable ? kEnable : kDisable)[side.nState][side.bOpposite];
    if (step.eReply == EReply::Invalid)
        return false;
    side.nState = step.nNext;
    side.bOpposite = step.bOpposite;
    if (step.eReply == EReply::Yes)
        Queue(bOurs ? kWill : kDo, nOption);
    else if (step.eReply == EReply::No)
        Queue(bOurs ? kWont : kDont, nOption);
    return true;
}

void CTelnetCodec::SendData(QByteArrayView data)
{
    AppendEscaped(data, m_strOutput);
}

void CTelnetCodec::SendSubnegotiation(uchar nOption, QByteArrayView payload)
{
    m_strOutput.append(char(kIac)).append(char(kSb));
    const char cOption = char(nOption);
    AppendEscaped(QByteArrayView(&cOption, 1), m_strOutput);
    AppendEscaped(payload, m_strOutput);
    m_strOutput.append(char(kIac)).append(char(kSe));
}

QByteArray CTelnetCodec::TakeOutput()
{
    return std::exchange(m_strOutput, QByteArray());
}

bool CTelnetCodec::IsEnabled(uchar nOption, bool bOurs) const
{
    const SOption* pOption = Find(nOption);
    return pOption && (bOurs ? pOption->ours : pOption->theirs).nState == Yes;
}

bool CTelnetCodec::IsSettled() const
{
    for (int i = 0; i < m_nOptions; ++i) {
        for (const SSide* pSide : {&m_options[i].ours, &m_options[i].theirs}) {
            if (pSide->nState == WantYes || pSide->nState == WantNo)
                return false;
        }
    }
    return true;
}

void CTelnetCodec::AppendEscaped(QByteArrayView data, QByteArray& strOut)
{
    const char* p = data.data();
    const char* const pEnd = p + data.size();
    while (p < pEnd) {
        const auto* pIac = static_cast<const char*>(std::memchr(p, kIac, size_t(pEnd - p)));
        if (!pIac) {
            strOut.append(p, pEnd - p);
            break;
        }
        strOut.append(p, pIac + 1 - p).append(char(kIac));
        p = pIac + 1;
    }
}

void CTelnetCodec::Queue(uchar nVerb, uchar nOption)
{
    const char sequence[] = {char(kIac), char(nVerb), char(nOption)};
    m_strOutput.append(sequence, 3);
}

CTelnetCodec::SOption* CTelnetCodec::Find(uchar nOption)
{
    return const_cast<SOption*>(std::as_const(*this).Find(nOption));
}

const CTelnetCodec::SOption* CTelnetCodec::Find(uchar nOption) const
{
    for (int i = 0; i < m_nOptions; ++i) {
        if (m_options[i].nOption == nOption)
            return &m_options[i];
    }
    return nullptr;
}
