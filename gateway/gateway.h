#pragma once

#include "messagelog.h"
#include "portowner.h"
#include "trafficobserver.h"
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
// block between them through the transfer plug-ins, keeps the Message list.
// Everything runs on the user-interface thread.
//
// Sending never waits: a block the destination cannot take at once is held
// by the destination port, and its direction stops where it is (the plug-in
// pass whose DllAfterSend is due, the rest of the read in hand) and stops
// reading its source, so the source's peer is held back by the system.
// When the held bytes are out the direction goes on from there and then
// reads its source again. Neither direction ever waits for the other's peer.
//
// Starting never waits either: a port's start (name lookup, connect, the
// initial string) goes on from the event loop's notifications, and a
// Startup / Reset, a stop or a settings load that comes meanwhile gives it
// up at once (see gatewaystart.cpp). Nothing of the gateway runs an event
// loop of its own, so its handlers never nest; only a host that acts from
// inside a call the gateway makes (a box shown by a test host) can ask for
// a Startup / Reset or a stop while a gateway operation is on the stack:
// that request runs once the stack has unwound. Message boxes never wait:
// the host shows them and returns.
class CGateway : public QObject, public IPortOwner
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
    bool IsBusy() const { return m_nBusy > 0 || m_directions[0].bParked || m_directions[1].bParked; }
    bool IsInputStarted() const { return m_pInSerial || m_pInSocket; }
    // A port start is under way, or a Startup / Reset or stop waits to run.
    bool IsStarting() const { return m_pOpening || m_pending != PendingNone; }

    void OnStartupReset();
    // bKeepListening: a start follows; the listening sockets of listening
    // ports stay open for a short while, so that the next run with the same
    // setup takes them over with the clients waiting in them.
    void StopGateway(bool bClearStatus, bool bKeepListening = false);
    void OnTimer(int nIDEvent);
    // True when the destination holds part of the block back.
    bool SendToPort(CCommPort* pSerial, CPortSocket* pSocket, const char* pData, int nLen);
    void ReadSerialBlocks(CCommPort* pPort, bool bInput);

    // Timer periods: 12000 ms for timers 1 and 2, 300 ms for timer 3.
    // Tests shorten them; the program never changes them.
    void SetTimerPeriods(int nSkipMs, int nRestartMs);
    // Directory map for COMn names, from the profile's [Serial Ports].
    void SetSerialPortMap(const QMap<QByteArray, QString>& map) { m_serialPortMap = map; }

    // IPortOwner
    void AddMessage(const QByteArray& strText) override;
    void ShowMessageBox(const QByteArray& strText) override;
    void Beep() override;
    void TransferInToOut(const char* pData, int nLen) override;
    void TransferOutToIn(const char* pData, int nLen) override;
    void OnSocketClosed(CPortSocket* pSocket) override;
    void OnClientConnected(CPortSocket* pSocket) override;
    void OnCommNotify(CCommPort* pPort) override;
    void OnSerialVanished(CCommPort* pPort) override;
    void SetRestartTimer() override;
    bool OnBlocksRead(CPortSocket* pSocket, const char* pData, int nLen) override;
    void OnSendDone(QObject* pPort) override;
    void OnNoClientDrop(bool bInput, int nLen) override;
    void OnPortFailure(const SPortFailure& failure) override;
    // A stop or Startup / Reset has been requested and runs once the stack
    // has unwound: no further block is passed on meanwhile.
    bool IsStopping() const override { return m_bStopping; }
    QMap<QByteArray, QString> SerialPortMap() const override { return m_serialPortMap; }

    CCommPort* m_pInSerial = nullptr;
    CPortSocket* m_pInSocket = nullptr;
    CCommPort* m_pOutSerial = nullptr;
    CPortSocket* m_pOutSocket = nullptr;
    bool m_bOutStarted = false;
    bool m_bSkipInResponse = false;
    bool m_bSkipOutResponse = false;
    std::unique_ptr<CTransferPlugin> m_hInDll;
    std::unique_ptr<CTransferPlugin> m_hOutDll;

signals:
    // Emitted when a Startup / Reset has run to its end: whether the Input
    // runs. A start given up for a stop or reset requested meanwhile emits
    // nothing.
    void startupFinished(bool bInputStarted);

private:
    friend class CBusyScope;
    enum EPending { PendingNone, PendingReset, PendingStop };
    // What a port start under way is for.
    enum EStart { StartInput, StartOutputWithInput, StartOutputOnBlock };

    // One direction of the relay, indexed by the side it reads: [1] IN-->OUT,
    // [0] OUT-->IN.
    struct SDirection
    {
        // Being passed on (on the stack).
        bool bActive = false;
        // Waiting for pDestination's held bytes to go out.
        bool bParked = false;
        quint64 nParkId = 0;
        QPointer<QObject> pDestination;
        // The pass whose send was held: its block (for a further pass), what
        // it sent (for DllAfterSend) and the plug-in it ran in.
        QByteArray strBlock;
        QByteArray strSent;
        CTransferPlugin* pPlugin = nullptr;
        quint64 nPluginGeneration = 0;
        // strBlock has not been passed on at all: it waits for the Output
        // start that it caused.
        bool bUnpassed = false;
        // Blocks of the read in hand not passed on yet.
        QByteArray strRest;
        // Where the blocks come from, read again once they are all out.
        QPointer<CPortSocket> pSourceSocket;
        QPointer<CCommPort> pSourceSerial;
    };

    // Starts opening a port; OnPortOpened goes on when it is over.
    void StartPort(bool bInput, EStart eStart);
    void OnPortOpened(quint64 nGeneration, int nResult);
    // Makes an opened port the gateway's (status, plug-in, "Done!"): 0, or
    // the start's failure code.
    int RecordPort(bool bInput, int nResult, CCommPort* pSerial, CPortSocket* pSocket, bool bArm);
    // The first block from the Input starts the Output; it is held, and the
    // Input is not read, until that start is over.
    void StartOutputForBlock(const char* pData, int nLen);
    // Gives up a start under way: nothing of it reports.
    void CancelStart();
    // Lets a recorded port deliver blocks.
    void ArmPort(bool bInput);
    void TransferPasses(bool bInToOut, const char* pData, int nLen);
    // Marks the direction as waiting for pDestination's held bytes.
    SDirection& Park(bool bInToOut, QObject* pDestination);
    // The socket that may take all blocks of a read of nLen bytes in one
    // system call, or null when they must go one by one.
    CPortSocket* BatchDestination(bool bInput, qsizetype nLen) const;
    // DllAfterSend of a pass of direction bInToOut whose send is over: true
    // when another pass over the same block is due.
    bool AfterPass(bool bInToOut, CTransferPlugin* pPlugin, quint64 nGeneration, const char* pSent, int nSentLen);
    // Passes on the blocks of one read (at most 512 bytes each); false when
    // the direction has to wait for its destination.
    bool PassBlocks(bool bInput, const char* pData, qsizetype nLen);
    bool IsSourceCurrent(const SDirection& direction, bool bInput) const;
    // Goes on with a direction whose destination has taken its held bytes.
    void ResumeDirection(bool bInput, quint64 nParkId);
    // Lets directions parked on a port that went away go on (from the event
    // loop): their held bytes are gone with the port.
    void ReleaseParked(QObject* pPort);
    void BeginBlockBurst(bool bInput);
    void EndBlockBurst(bool bInput);
    void UnloadPlugin(bool bInput);
    // The Output port went away by itself: tear its side down.
    void DropOutput(QObject* pPort);
    void SetStatus(bool bInput, const QString& strText);
    void SetTimer(int nIDEvent);
    void KillTimer(int nIDEvent);
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
    EStart m_eStart = StartInput;
    quint64 m_nStartGeneration = 0;
    QByteArray m_strStartSetup;
    // Startup / Reset starts the Output with the Input (mode 1007).
    bool m_bOutWithIn = false;
    SDirection m_directions[2];
    // The Input port may deliver blocks (armed after the start, including
    // that of the Output with "Output Startup with Input").
    bool m_bInputArmed = false;
    // Destination gathering the burst of blocks read on the Input [1] /
    // Output [0] port.
    QPointer<CPortSocket> m_pGathering[2];
    // Bumped whenever the plug-in slot of a direction changes ([1] IN-->OUT,
    // [0] OUT-->IN), so a pass notices an unload of its own plug-in that
    // happened while its send waited; the other direction's does not matter.
    quint64 m_nPluginGeneration[2] {};
    // The port dropped the block being sent for lack of a client or peer:
    // it counts as dropped, not as sent.
    bool m_bNoClientDrop = false;
};
