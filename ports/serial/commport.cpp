#include "commport.h"

#include "portowner.h"
#include "serial/linestatus.h"
#include "serial/serialdevice.h"
#include "setup/portfailure.h"
#include "setup/serialmode.h"
#include "setup/serialpath.h"

#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

namespace {
// How often the carrier thread looks at the line (changes between two looks
// are known from the driver's count of them).
constexpr std::chrono::milliseconds kCarrierPoll{50};
} // namespace

CCommPort::CCommPort(const QByteArray& strSetup, IPortOwner* pOwner, bool bDetectCarrier, bool bInput)
    : m_pOwner(pOwner), m_bDetectCarrier(bDetectCarrier), m_bInput(bInput)
{
    Open(strSetup);
}

CCommPort::CCommPort(IPortOwner* pOwner, bool bDetectCarrier, bool bInput)
    : m_pOwner(pOwner), m_bDetectCarrier(bDetectCarrier), m_bInput(bInput)
{
}

CCommPort::~CCommPort()
{
    Close();
}

void CCommPort::Open(const QByteArray& strSetup)
{
    SPortFailure failure;
    failure.m_strSetup = strSetup;
    failure.m_bInput = m_bInput;
    const qsizetype nColon = strSetup.indexOf(':');
    if (nColon < 0) {
        m_pOwner->ShowMessageBox("Invalid Setup String!");
        m_pOwner->OnPortFailure(failure);
        return;
    }
    const QString strPath = SerialDevicePath(strSetup.left(nColon), m_pOwner->SerialPortMap());
    const int hDevice = strPath.isEmpty() ? -1 : SerialOpen(strPath);
    if (hDevice < 0) {
        failure.m_eWhat = strPath.isEmpty() ? SPortFailure::SerialName : SPortFailure::SerialOpen;
        failure.m_strPath = strPath;
        failure.m_nErrno = errno;
        m_pOwner->ShowMessageBox("OpenComm Error!");
        m_pOwner->OnPortFailure(failure);
        return;
    }

    const std::optional<SSerialMode> mode = ParseSerialMode(strSetup);
    // Opening a terminal raises DTR and RTS by itself; dtr=off and rts=off
    // lower them at once, so the lines show only the kernel's short pulse.
    // (They are set again once the settings are applied: leaving a zero rate
    // raises them too.)
    if (mode && mode->eDtr == SSerialMode::ELine::Off)
        SerialSetDtr(hDevice, false);
    if (mode && mode->eRts == SSerialMode::ELine::Off)
        SerialSetRts(hDevice, false);
    if (!mode || !SerialApplyMode(hDevice, *mode)) {
        failure.m_eWhat = mode ? SPortFailure::SerialSettings : SPortFailure::SerialMode;
        failure.m_strPath = strPath;
        failure.m_nErrno = mode ? errno : 0;
        SerialClose(hDevice);
        if (!mode)
            m_pOwner->ShowMessageBox("BuildCommDCB Error!");
        m_pOwner->ShowMessageBox("SetCommState Error!");
        m_pOwner->OnPortFailure(failure);
        return;
    }
    if (mode->eRts != SSerialMode::ELine::Default)
        SerialSetRts(hDevice, mode->eRts == SSerialMode::ELine::On);

    m_pLineStatus = CreateLineStatusSource(hDevice);
    const SCarrierLook look = LookAtCarrier(*m_pLineStatus);
    m_bCarrier = look.bCarrier;
    m_hDevice = hDevice;
    try {
        m_bRunning = true;
        m_eventThread = std::thread(&CCommPort::RunCarrierThread, this, look);
    } catch (const std::system_error&) {
        m_bRunning = false;
        m_pLineStatus.reset();
        SerialClose(m_hDevice);
        m_hDevice = -1;
        return;
    }

    SerialSetDtr(m_hDevice, mode->eDtr != SSerialMode::ELine::Off);
    m_setupMode = *mode;
    m_mode = *mode;
    m_bDtr = mode->eDtr != SSerialMode::ELine::Off;
    m_bRts = mode->eRts != SSerialMode::ELine::Off;
    // Bytes that waited before the open belong to nobody.
    SerialDiscardInput(m_hDevice);

    m_pReadNotifier = new QSocketNotifier(m_hDevice, QSocketNotifier::Read, this);
    connect(m_pReadNotifier, &QSocketNotifier::activated, this, &CCommPort::OnDataReady);
    m_pWriteNotifier = new QSocketNotifier(m_hDevice, QSocketNotifier::Write, this);
    m_pWriteNotifier->setEnabled(false);
    connect(m_pWriteNotifier, &QSocketNotifier::activated, this, &CCommPort::OnWritable);
    UpdateReadNotifier();
}

bool CCommPort::CarrierPresent() const
{
    return !m_bDetectCarrier || LineCarrier();
}

bool CCommPort::LineCarrier() const
{
    return m_pLineStatus->Carrier();
}

void CCommPort::WatchReadable(bool bOn)
{
    if (m_pReadNotifier)
        m_pReadNotifier->setEnabled(bOn);
}

void CCommPort::WatchWritable(bool bOn)
{
    if (m_pWriteNotifier)
        m_pWriteNotifier->setEnabled(bOn);
}

// Data is watched for while nobody is handling a notification, the device
// is there and, with Detect Carrier, the carrier is present: bytes queued
// while it is absent must not wake the event loop again and again.
void CCommPort::UpdateReadNotifier()
{
    const bool bHeld = m_bDetectCarrier && !m_bCarrier;
    WatchReadable(IsOpen() && !m_bVanished && !m_bNotifyPending && !bHeld);
}

void CCommPort::OnDataReady()
{
    // The owner's read finds the bytes, or the end of a line that hung up
    // or went away (Read reports it), without asking FIONREAD first.
    m_pReadNotifier->setEnabled(false);
    OnLineReadable();
}

void CCommPort::OnLineReadable()
{
    m_bNotifyPending = true;
    // The owner reads what waits and calls OnCommNotify; it may delete this
    // port meanwhile, so nothing of it is touched afterwards.
    m_pOwner->OnCommNotify(this);
}

bool CCommPort::OnCommNotify()
{
    m_bNotifyPending = false;
    UpdateReadNotifier();
    return true;
}

int CCommPort::Read(char* pBuffer, int nMax)
{
    if (!IsOpen() || m_bVanished || pBuffer == nullptr || nMax <= 0)
        return 0;
    if (!CarrierPresent())
        return 0;
    const int nRead = LineRead(pBuffer, nMax);
    if (nRead < 0) {
        DeviceVanished();
        return 0;
    }
    return nRead;
}

int CCommPort::LineRead(char* pBuffer, int nMax)
{
    if (const quint32 nErrors = m_pLineStatus->TakeErrors()) {
        m_pOwner->ShowMessageBox("<CE-" + QByteArray::number(nErrors) + ">");
        ReportLineErrors(nErrors);
    }
    // The device is non-blocking: one read takes what the queue holds, up to
    // nMax, as asking FIONREAD first would, and costs one system call less.
    return std::max(SerialRead(m_hDevice, pBuffer, nMax), -1);
}

int CCommPort::LineWrite(const char* pData, int nLen)
{
    return std::max(SerialWrite(m_hDevice, pData, nLen), -1);
}

bool CCommPort::WriteInitial(const char* pData, int nLen, std::function<void()> fnWritten)
{
    WriteBlock(pData, nLen);
    if (!HasPending())
        return true;
    m_fnWritten = std::move(fnWritten);
    return false;
}

int CCommPort::WriteBlock(const char* pData, int nLen)
{
    if (!IsOpen() || m_bVanished || pData == nullptr || nLen <= 0)
        return 0;
    if (!CarrierPresent())
        return 0;
    if (HasPending()) {
        // Behind bytes already on their way: they keep their order.
        m_strPending.append(pData, nLen);
        return nLen;
    }
    // A write the driver takes only in part has filled its queue: the rest
    // waits for writability rather than for a retry that finds it full.
    const int nWritten = LineWrite(pData, nLen);
    if (nWritten < 0) {
        DeviceVanished();
        return 0;
    }
    if (nWritten < nLen) {
        m_strPending = QByteArray(pData + nWritten, nLen - nWritten);
        m_nPendingOffset = 0;
        WatchWritable(true);
    }
    return nLen;
}

void CCommPort::FlushPending()
{
    if (m_nPendingOffset < m_strPending.size()) {
        const int nLeft = int(m_strPending.size() - m_nPendingOffset);
        const int n = LineWrite(m_strPending.constData() + m_nPendingOffset, nLeft);
        if (n >= 0 && n < nLeft) {
            // Taken in part (or not at all): the queue is full again.
            m_nPendingOffset += n;
            WatchWritable(true);
            return;
        }
        // All of it, or the device is gone (the owner hears of that from
        // the event loop).
        if (n < 0)
            DeviceVanished();
    }
    m_strPending.clear();
    m_nPendingOffset = 0;
    if (m_fnWritten) {
        const QPointer<CCommPort> guard(this);
        auto fnWritten = std::exchange(m_fnWritten, {});
        fnWritten();
        if (!guard)
            return;
    }
    m_pOwner->OnSendDone(this);
}

void CCommPort::OnWritable()
{
    WatchWritable(false);
    if (HasPending())
        FlushPending();
}

void CCommPort::OnCarrierChanged(bool bCarrier)
{
    // Posts from a port that has been closed meanwhile are dropped.
    if (!IsOpen() || bCarrier == m_bCarrier)
        return;
    m_bCarrier = bCarrier;
    if (!m_bDetectCarrier)
        return;
    // Re-enabling the notifier reports bytes that waited at once.
    UpdateReadNotifier();
    if (!m_bInput)
        return;
    IPortOwner* pOwner = m_pOwner;
    pOwner->Beep();
    if (!bCarrier)
        pOwner->SetRestartTimer();
}

void CCommPort::TakeFirstCarrier(bool bCarrier)
{
    m_bCarrier = bCarrier;
    UpdateReadNotifier();
}

// Marks the device as gone and tells the owner from the event loop, never
// from inside a Read or Write the owner is running.
void CCommPort::DeviceVanished()
{
    if (!IsOpen() || m_bVanished)
        return;
    m_bVanished = true;
    UpdateReadNotifier();
    WatchWritable(false);
    QMetaObject::invokeMethod(this, &CCommPort::OnDeviceVanished, Qt::QueuedConnection);
}

void CCommPort::OnDeviceVanished()
{
    if (!IsOpen())
        return;
    if (m_fnWritten) {
        // The rest of an initial string can no longer go out.
        m_strPending.clear();
        m_nPendingOffset = 0;
        const QPointer<CCommPort> guard(this);
        auto fnWritten = std::exchange(m_fnWritten, {});
        fnWritten();
        if (!guard)
            return;
    }
    // The Input restarts as on a carrier loss; the Output is torn down.
    if (m_bInput)
        m_pOwner->SetRestartTimer();
    else
        m_pOwner->OnSerialVanished(this);
}

void CCommPort::RunCarrierThread(SCarrierLook last)
{
    const auto post = [this](bool bCarrier) {
        QMetaObject::invokeMethod(this, [this, bCarrier] { OnCarrierChanged(bCarrier); }, Qt::QueuedConnection);
    };
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_cvWake.wait_for(lock, kCarrierPoll, [this] { return !m_bRunning; }))
            return;
        lock.unlock();
        const bool bHungUp = SerialHungUp(m_hDevice);
        const SCarrierLook now = bHungUp ? last : LookAtCarrier(*m_pLineStatus);
        lock.lock();
        if (!m_bRunning)
            return;
        if (bHungUp) {
            QMetaObject::invokeMethod(this, [this] { DeviceVanished(); }, Qt::QueuedConnection);
            return;
        }
        // The driver counts every change, so a drop and return shorter than
        // the poll is still seen: as the change away and the change back.
        const bool bCounted = now.nChanges >= 0 && last.nChanges >= 0 && now.nChanges != last.nChanges;
        if (now.bCarrier == last.bCarrier && bCounted)
            post(!now.bCarrier);
        if (now.bCarrier != last.bCarrier || bCounted)
            post(now.bCarrier);
        if (now.nLines != last.nLines) {
            QMetaObject::invokeMethod(
                this, [this, nBefore = last.nLines, nNow = now.nLines] { OnModemLinesChanged(nBefore, nNow); },
                Qt::QueuedConnection);
        }
        last = now;
    }
}

void CCommPort::Close()
{
    if (m_eventThread.joinable()) {
        {
            const std::lock_guard lock(m_mutex);
            m_bRunning = false;
        }
        m_cvWake.notify_all();
        m_eventThread.join();
    }
    delete m_pReadNotifier;
    m_pReadNotifier = nullptr;
    delete m_pWriteNotifier;
    m_pWriteNotifier = nullptr;
    if (m_hDevice >= 0) {
        SerialClose(m_hDevice);
        m_hDevice = -1;
    }
    m_pLineStatus.reset();
    m_fnWritten = nullptr;
    m_strPending.clear();
    m_nPendingOffset = 0;
}
