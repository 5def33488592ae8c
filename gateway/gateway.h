#pragma once

#include "messagelog.h"
#include "portowner.h"
#include "stream/tlscontextstore.h"
#include "tlsprofile.h"
#include "trafficobserver.h"
#include "transferdirection.h"
#include "transferplugin.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>

class CPortOpening;
class CTrelvaneDoc;
class IGatewayHost;

// The gateway: brings the Input and Output ports up and down, carries every
// block between them through its two directions (CTransferDirection:
// IN-->OUT and OUT-->IN, each with its own plug-in, skip window and held
// send), keeps the Message list. Everything runs on the user-interface
// thread. Neither direction ever waits for the other's peer.
//
// Starting never waits: a port's start (name lookup, connect, the initial
// string) goes on from the event loop's notifications, and a Startup /
// Reset, a stop or a settings load that comes meanwhile gives it up at once
// (see gatewaystart.cpp). Nothing of the gateway runs an event loop of its
// own, so its handlers never nest; only a host that acts from inside a call
// the gateway makes (a box shown by a test host) can ask for a Startup /
// Reset or a stop while a gateway operation is on the stack: that request
// runs once the stack has unwound. Message boxes never wait: the host shows
// them and returns.
class CGateway : public QObject, public IPortOwner, private IDirectionHost
{
    Q_OBJECT
public:
    CGateway(const CTrelvaneDoc* pDoc, IGatewayHost* pHost, QObject* pParent = nullptr);
    ~CGateway() override;

    CMessageLog& MessageLog() { return m_log; }
    // Counters of the traffic, and the data trace when one is set.
    CTrafficObserver& Observer() { return m_observer; }

    // Operator commands. They run at once, cutting short a start under way,
    // unless a gateway operation is on the stack: then after it has unwound
    // (the last request wins).
    void RequestStartupReset();
    // Stops the gateway (settings loaded: clear the status fields). fnThen
    // runs after the stop, for example to close the window. bStartFollows:
    // fnThen starts the gateway again (a reload), so listening sockets are
    // kept for it, as across a Startup / Reset.
    void RequestStop(bool bClearStatus, std::function<void()> fnThen = {}, bool bStartFollows = false);
    // A gateway operation is on the stack, or a block waits for its
    // destination to take it.
    bool IsBusy() const { return m_nBusy > 0 || m_inToOut.IsParked() || m_outToIn.IsParked(); }
    bool IsInputStarted() const { return m_pInSerial || m_pInSocket; }
    // A port start is under way, or a Startup / Reset or stop waits to run.
    bool IsStarting() const { return m_pOpening || m_pending != PendingNone; }
    // The port a start under way is opening: the Input (true) or the Output.
    bool IsOpening(bool bInput) const { return m_pOpening && (m_eStartFor == ForInput) == bInput; }

    void OnStartupReset();
    // bKeepListening: a start follows; the listening sockets of listening
    // ports stay open for a short while, so that the next run with the same
    // setup takes them over with the clients waiting in them.
    void StopGateway(bool bClearStatus, bool bKeepListening = false);
    void OnTimer(int nIDEvent);

    // The two directions: their plug-ins (the IN-->OUT one is m_hInDll, the
    // OUT-->IN one m_hOutDll) and skip windows (m_bSkipInResponse,
    // m_bSkipOutResponse).
    const CTransferDirection& InToOut() const { return m_inToOut; }
    const CTransferDirection& OutToIn() const { return m_outToIn; }

    // Timer periods: 12000 ms for timers 1 and 2, 300 ms for timer 3.
    // Tests shorten them; the program never changes them.
    void SetTimerPeriods(int nSkipMs, int nRestartMs);
    // Directory map for COMn names, from the profile's [Serial Ports].
    void SetSerialPortMap(const QMap<QByteArray, QString>& map) { m_serialPortMap = map; }
    // Certificate files for TLS ports, from the profile's [TLS] sections;
    // SetTlsConfig: one configuration for every port.
    void SetTlsProfile(const CTlsProfile& profile) { m_tlsProfile = profile; }
    void SetTlsConfig(const STlsConfig& config) { m_tlsProfile = CTlsProfile(config); }
    const CTlsProfile& TlsProfile() const { return m_tlsProfile; }
    // The counters, with the clients of the listening ports now.
    STrafficCounters CountersNow() const;

    // IPortOwner
    void AddMessage(const QByteArray& strText) override;
    void ShowMessageBox(const QByteArray& strText) override;
    void Beep() override;
    void TransferInToOut(const char* pData, int nLen) override;
    void TransferOutToIn(const char* pData, int nLen) override;
    void OnSocketClosed(CPortSocket* pSocket) override;
    void OnClientConnected(CPortSocket* pSocket) override;
    int OnSharedClientConnected(CPortSocket* pSocket) override;
    bool OnResponseRead(CPortSocket* pSocket, const char* pData, int nLen) override;
    void OnCommNotify(CCommPort* pPort) override;
    void OnSerialVanished(CCommPort* pPort) override;
    void SetRestartTimer() override;
    bool OnBlocksRead(CPortSocket* pSocket, const char* pData, int nLen) override;
    void OnSendDone(QObject* pPort) override;
    void OnNoClientDrop(bool bInput, int nLen) override;
    void OnNotAllowedDrop(bool, int) override { m_observer.OnNotAllowed(); }
    void OnClientRefused(bool bInput, int nReason) override { m_observer.OnClientRefused(bInput, nReason); }
    void OnPortFailure(const SPortFailure& failure) override;
    SComPortMessage OnLineCommand(CPortSocket* pSocket, const SComPortMessage& request, bool* pbChanged) override;
    void OnLineReleased(CPortSocket* pSocket) override;
    void OnModemStateChanged(CCommPort* pPort, uchar nState) override;
    void OnLineErrors(CCommPort* pPort, uchar nState) override;
    bool IsStopping() const override { return m_bStopping; }
    qint64 ReadsBacklog(const QObject* pSource) const override;
    QMap<QByteArray, QString> SerialPortMap() const override { return m_serialPortMap; }
    STlsConfig TlsConfig(const QByteArray& strSection) const override { return m_tlsProfile.Config(strSection); }
    CTlsContextStore* TlsContexts() override { return &m_tlsContexts; }
    void OnTlsFailure(bool bInput, int nFailure) override { m_observer.OnTlsFailure(bInput, nFailure); }
    void OnClientSessionEnded(bool bInput, quint64 nBytes) override { m_observer.OnSessionEnded(bInput, nBytes); }

    CCommPort* m_pInSerial = nullptr;
    CPortSocket* m_pInSocket = nullptr;
    CCommPort* m_pOutSerial = nullptr;
    CPortSocket* m_pOutSocket = nullptr;
    bool m_bOutStarted = false;

signals:
    // Emitted when a Startup / Reset has run to its end: whether the Input
    // runs. A start given up for a stop or reset requested meanwhile emits
    // nothing.
    void startupFinished(bool bInputStarted);

private:
    friend class CBusyScope;
    enum EPending { PendingNone, PendingReset, PendingStop };
    // What a port start under way is for.
    enum EStartFor { ForInput, ForOutputWithInput, ForOutputOnBlock };

    // Starts opening a port; OnPortOpened goes on when it is over.
    void StartPort(bool bInput, EStartFor eFor);
    void OnPortOpened(quint64 nGeneration, int nResult);
    // Makes an opened port the gateway's (status, plug-in, "Done!"): 0, or
    // the start's failure code.
    int RecordPort(bool bInput, int nResult, CCommPort* pSerial, CPortSocket* pSocket, bool bArm);
    // The Output start on the first block is over: IN-->OUT goes on (from
    // the event loop).
    void ResumeAfterOutputStart();
    // Gives up a start under way: nothing of it reports.
    void CancelStart();
    // Lets a recorded port deliver blocks.
    void ArmPort(bool bInput);
    // The direction that reads the Input (true) or the Output port.
    CTransferDirection& ReadingFrom(bool bInput) { return bInput ? m_inToOut : m_outToIn; }
    // Opens the direction's skip window and starts its timer.
    void StartSkipping(CTransferDirection& direction);
    // Lets directions parked on a port that went away go on (from the event
    // loop): their held bytes are gone with the port.
    void ReleaseParked(QObject* pPort);
    void UnloadPlugin(bool bInput);
    // The Output port went away by itself: tear its side down.
    void DropOutput(QObject* pPort);
    void SetStatus(bool bInput, const QString& strText);
    // The serial line at the other side of a socket port (null: none, or
    // not a serial line), and the socket port at the other side of one.
    CCommPort* LineBeyond(CPortSocket* pSocket) const;
    CPortSocket* SocketBeyond(CCommPort* pPort) const;
    void SetTimer(int nIDEvent);

    // IDirectionHost
    void KillTimer(int nIDEvent) override;
    // The Output start on the first block from the Input.
    EStart StartDestination() override;

    void LeaveBusy();
    // Posts the queued request once nothing of the gateway is on the stack.
    void PostPendingIfIdle();
    void RunPending();

    const CTrelvaneDoc* m_pDoc;
    IGatewayHost* m_pHost;
    CMessageLog m_log;
    CTrafficObserver m_observer;
    // The Output went away by itself; its next start is a reconnect.
    bool m_bOutDropped = false;
    QTimer m_timers[3];
    int m_nSkipMs = 12000;
    int m_nRestartMs = 300;
    QMap<QByteArray, QString> m_serialPortMap;
    CTlsProfile m_tlsProfile;
    CTlsContextStore m_tlsContexts;
    // The restart timer runs because the last client of a listening Input
    // left (counted apart from failures).
    bool m_bRestartForClient = false;

    int m_nBusy = 0;
    bool m_bStopping = false;
    bool m_bPendingPosted = false;
    EPending m_pending = PendingNone;
    bool m_bPendingClear = false;
    bool m_bPendingKeep = false;
    std::function<void()> m_fnAfterStop;
    // The port start under way, what it is for, and its generation: a
    // Startup / Reset, stop or reload bumps it, and an older start's news
    // is dropped. The port being opened is not recorded yet: its
    // notifications wait until ArmPort re-arms it.
    std::unique_ptr<CPortOpening> m_pOpening;
    EStartFor m_eStartFor = ForInput;
    quint64 m_nStartGeneration = 0;
    QByteArray m_strStartSetup;
    // Startup / Reset starts the Output with the Input (mode 1007).
    bool m_bOutWithIn = false;
    // The Input port may deliver blocks (armed after the start, including
    // that of the Output with "Output Startup with Input").
    bool m_bInputArmed = false;
    // IN-->OUT reads the Input and may start the Output with its first
    // block; OUT-->IN reads the Output.
    CTransferDirection m_inToOut {true, {m_pInSerial, m_pInSocket}, {m_pOutSerial, m_pOutSocket}, 1,
                                  &m_bOutStarted, this, &m_observer};
    CTransferDirection m_outToIn {false, {m_pOutSerial, m_pOutSocket}, {m_pInSerial, m_pInSocket}, 2,
                                  nullptr, this, &m_observer};
};
