#include "serial/remoteline.h"

#include "portowner.h"
#include "setup/serialmode.h"
#include "stream/tlssession.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace {

constexpr int kReadChunk = 16 * 1024;

} // namespace

CRemoteLine::CRemoteLine(IPortOwner* pOwner, bool bDetectCarrier, bool bInput, const QByteArray& strEndpoint)
    : CCommPort(pOwner, bDetectCarrier, bInput), m_strEndpoint(strEndpoint), m_codec(*this, ETelnetRole::Client)
{
    m_clock.start();
}

CRemoteLine::~CRemoteLine()
{
    Close();
}

void CRemoteLine::Start(int hSocket, std::unique_ptr<CTlsSession> pTls, const SSerialMode& mode,
                        std::function<void(bool bOk)> fnDone)
{
    m_hSocket = hSocket;
    m_stream.SetSession(std::move(pTls));
    m_pMode = std::make_unique<SSerialMode>(mode);
    m_fnDone = std::move(fnDone);

    m_pSocketRead = new QSocketNotifier(hSocket, QSocketNotifier::Read, this);
    connect(m_pSocketRead, &QSocketNotifier::activated, this, &CRemoteLine::OnSocketReadable);
    m_pSocketWrite = new QSocketNotifier(hSocket, QSocketNotifier::Write, this);
    m_pSocketWrite->setEnabled(false);
    connect(m_pSocketWrite, &QSocketNotifier::activated, this, &CRemoteLine::OnSocketWritable);
    m_pAnswerTimer = new QTimer(this);
    m_pAnswerTimer->setSingleShot(true);
    connect(m_pAnswerTimer, &QTimer::timeout, this, &CRemoteLine::OnAnswerTimer);
    m_pNegotiateTimer = new QTimer(this);
    m_pNegotiateTimer->setSingleShot(true);
    connect(m_pNegotiateTimer, &QTimer::timeout, this, [this] {
        m_pOwner->AddMessage("RFC2217 No Answer:WILL COM-PORT-OPTION" + m_strEndpoint);
        SendSettings(false);
    });

    m_codec.Start();
    m_pNegotiateTimer->start(kNegotiateTimeoutMs);
    if (FlushOut() && m_stream.HasBuffered())
        OnSocketReadable();
}

void CRemoteLine::OnTelnetOption(uchar nOption, bool bOurs, bool bEnabled)
{
    if (nOption != Telnet::kComPort || !bOurs || m_bSettingsSent)
        return;
    if (!bEnabled)
        m_pOwner->AddMessage("RFC2217 Option Refused" + m_strEndpoint);
    SendSettings(bEnabled);
}

void CRemoteLine::SendSettings(bool bComPort)
{
    if (m_bSettingsSent)
        return;
    m_bSettingsSent = true;
    m_pNegotiateTimer->stop();
    if (bComPort) {
        for (const SComPortMessage& command : ComPortSettingsOf(*m_pMode))
            SendCommand(command);
        // Only DCD matters here: its level and its changes.
        SendCommand(ComPortCommand(EComCommand::SetModemStateMask, ComPort::kModemDcd | ComPort::kModemDcdDelta));
    }
    // The settings go out from the event loop: the open ends after this
    // call, never inside the codec's Decode.
    QMetaObject::invokeMethod(
        this,
        [this] {
            // Given up meanwhile: the connection ended or the line closed.
            if (!m_fnDone || !FlushOut())
                return;
            m_hDevice = m_hSocket;
            // Bytes that came before the settings belong to nobody.
            m_strIn.clear();
            UpdateSocketRead();
            TakeFirstCarrier(m_bDcd);
            if (auto fnDone = std::exchange(m_fnDone, {}))
                fnDone(true);
        },
        Qt::QueuedConnection);
}

void CRemoteLine::SendCommand(const SComPortMessage& command)
{
    m_codec.SendSubnegotiation(Telnet::kComPort, BuildComPortMessage(command));
    m_requests.Sent(command, m_clock.elapsed());
    ArmAnswerTimer();
}

void CRemoteLine::ArmAnswerTimer()
{
    const qint64 nNext = m_requests.NextDeadline();
    if (nNext < 0)
        m_pAnswerTimer->stop();
    else if (!m_pAnswerTimer->isActive())
        m_pAnswerTimer->start(int(std::max<qint64>(0, nNext - m_clock.elapsed())));
}

void CRemoteLine::OnAnswerTimer()
{
    for (const SComPortMessage& command : m_requests.TakeOverdue(m_clock.elapsed()))
        m_pOwner->AddMessage("RFC2217 No Answer:" + DescribeComPortMessage(command) + m_strEndpoint);
    ArmAnswerTimer();
}

void CRemoteLine::OnSubnegotiation(uchar nOption, QByteArrayView payload)
{
    if (nOption != Telnet::kComPort)
        return;
    std::optional<SComPortMessage> message = ParseComPortMessage(payload);
    // What a client sends is the server's business; a server's malformed
    // message is ignored.
    if (!message || !message->bFromServer)
        return;
    switch (message->eCommand) {
    case EComCommand::NotifyModemState:
        OnModemState(uchar(message->nValue));
        return;
    case EComCommand::NotifyLineState:
    case EComCommand::FlowControlSuspend:
    case EComCommand::FlowControlResume:
    case EComCommand::Signature:
        return;
    default:
        break;
    }
    if (const std::optional<SComPortMessage> refused = m_requests.Answered(*message)) {
        SComPortMessage answer = *message;
        answer.bFromServer = false;
        m_pOwner->AddMessage("RFC2217 Refused:" + DescribeComPortMessage(*refused) + " (answered "
                             + DescribeComPortMessage(answer) + ')' + m_strEndpoint);
    }
    if (m_requests.IsEmpty())
        m_pAnswerTimer->stop();
}

void CRemoteLine::OnModemState(uchar nState)
{
    const bool bDcd = (nState & ComPort::kModemDcd) != 0;
    const bool bFirst = !std::exchange(m_bModemStateSeen, true);
    const bool bBlip = !bFirst && bDcd == m_bDcd && (nState & ComPort::kModemDcdDelta) != 0;
    m_bDcd = bDcd;
    if (!IsOpen())
        return; // the open takes the level as it is then
    if (bFirst) {
        TakeFirstCarrier(bDcd);
        return;
    }
    // A drop and return between two notifications still counts as both.
    if (bBlip)
        OnCarrierChanged(!bDcd);
    OnCarrierChanged(bDcd);
}

void CRemoteLine::OnSocketReadable()
{
    if (m_hSocket < 0)
        return;
    const QPointer<CRemoteLine> guard(this);
    char buffer[kReadChunk];
    for (;;) {
        if (m_strIn.size() >= kMaxHeld)
            break;
        const ssize_t n = m_stream.Receive(m_hSocket, buffer, sizeof buffer);
        if (n == 0) {
            ConnectionEnded("the device server closed the connection");
            return;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (m_stream.TakeReadWantsWrite())
                    m_pSocketWrite->setEnabled(true);
                break;
            }
            const QByteArray strTls = m_stream.TakeTlsError();
            ConnectionEnded(strTls.isEmpty() ? QByteArray(std::strerror(errno)) : strTls);
            return;
        }
        m_codec.Decode(QByteArrayView(buffer, n), m_strIn);
        if (!guard)
            return;
    }
    if (!FlushOut())
        return;
    UpdateSocketRead();
    if (!m_strIn.isEmpty() && m_bWatchData)
        PostData();
}

void CRemoteLine::UpdateSocketRead()
{
    if (!m_pSocketRead)
        return;
    const bool bOn = m_hSocket >= 0 && !IsVanished() && m_strIn.size() < kMaxHeld;
    const bool bWasOff = !m_pSocketRead->isEnabled();
    m_pSocketRead->setEnabled(bOn);
    // TLS: bytes the session took from the socket make it look idle.
    if (bOn && bWasOff && m_stream.HasBuffered())
        QMetaObject::invokeMethod(this, &CRemoteLine::OnSocketReadable, Qt::QueuedConnection);
}

void CRemoteLine::OnSocketWritable()
{
    m_pSocketWrite->setEnabled(false);
    if (m_stream.ReadWantsWrite() || m_stream.HasBuffered()) {
        OnSocketReadable();
        return;
    }
    FlushOut();
}

bool CRemoteLine::FlushOut()
{
    if (m_codec.HasOutput())
        m_strOut.append(m_codec.TakeOutput());
    qsizetype nDone = 0;
    while (nDone < m_strOut.size()) {
        const ssize_t n = m_stream.Send(m_hSocket, m_strOut.constData() + nDone, size_t(m_strOut.size() - nDone));
        if (n > 0) {
            nDone += n;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_stream.TakeWriteWantsRead();
            m_pSocketWrite->setEnabled(true);
            break;
        }
        const QByteArray strTls = m_stream.TakeTlsError();
        m_strOut.clear();
        ConnectionEnded(strTls.isEmpty() ? QByteArray(std::strerror(errno)) : strTls);
        return false;
    }
    m_strOut.remove(0, nDone);
    if (m_bWantWritable && m_strOut.size() < kMaxQueued) {
        m_bWantWritable = false;
        OnWritable();
    }
    return true;
}

void CRemoteLine::ConnectionEnded(const QByteArray& strWhy)
{
    if (m_pSocketRead)
        m_pSocketRead->setEnabled(false);
    if (m_pSocketWrite)
        m_pSocketWrite->setEnabled(false);
    if (m_pNegotiateTimer)
        m_pNegotiateTimer->stop();
    if (auto fnDone = std::exchange(m_fnDone, {})) {
        m_pOwner->AddMessage("RFC2217 Connection Lost:" + strWhy + m_strEndpoint);
        fnDone(false);
        return;
    }
    if (IsVanished())
        return;
    m_pOwner->AddMessage("RFC2217 Connection Lost:" + strWhy + m_strEndpoint);
    // As an unplugged adapter: the Input restarts, the Output is torn down.
    DeviceVanished();
}

void CRemoteLine::PostData()
{
    if (std::exchange(m_bDataPosted, true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_bDataPosted = false;
            if (!m_bWatchData || m_strIn.isEmpty() || IsVanished())
                return;
            m_bWatchData = false;
            OnLineReadable();
        },
        Qt::QueuedConnection);
}

void CRemoteLine::WatchReadable(bool bOn)
{
    m_bWatchData = bOn;
    if (bOn && !m_strIn.isEmpty())
        PostData();
}

void CRemoteLine::WatchWritable(bool bOn)
{
    m_bWantWritable = bOn;
}

int CRemoteLine::LineRead(char* pBuffer, int nMax)
{
    const int n = int(std::min<qsizetype>(nMax, m_strIn.size()));
    std::memcpy(pBuffer, m_strIn.constData(), size_t(n));
    m_strIn.remove(0, n);
    // The socket may have waited for room.
    UpdateSocketRead();
    return n;
}

int CRemoteLine::LineWrite(const char* pData, int nLen)
{
    if (m_hSocket < 0)
        return -1;
    if (m_strOut.size() >= kMaxQueued)
        return 0;
    m_codec.SendData(QByteArrayView(pData, nLen));
    // A failed send is reported from the event loop by ConnectionEnded.
    return FlushOut() ? nLen : -1;
}

void CRemoteLine::Close()
{
    if (m_hSocket >= 0) {
        if (m_bSettingsSent && m_codec.IsEnabled(Telnet::kComPort, true) && !IsVanished()) {
            // As a local line: DTR drops when the port closes.
            m_codec.SendSubnegotiation(Telnet::kComPort,
                                       BuildComPortMessage(ComPortCommand(EComCommand::SetControl, ComPort::DtrOff)));
            m_strOut.append(m_codec.TakeOutput());
            m_stream.Send(m_hSocket, m_strOut.constData(), size_t(m_strOut.size()));
        }
        m_stream.Detach();
        delete m_pSocketRead;
        m_pSocketRead = nullptr;
        delete m_pSocketWrite;
        m_pSocketWrite = nullptr;
        ::close(m_hSocket);
        m_hSocket = -1;
    }
    if (m_pAnswerTimer)
        m_pAnswerTimer->stop();
    if (m_pNegotiateTimer)
        m_pNegotiateTimer->stop();
    m_fnDone = nullptr;
    m_strIn.clear();
    m_strOut.clear();
    m_hDevice = -1;
    CCommPort::Close();
}
