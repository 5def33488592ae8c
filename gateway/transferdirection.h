#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <memory>

class CCommPort;
class CPortSocket;
class CTrafficObserver;
class CTransferPlugin;

// One side of the gateway as a direction sees it: the gateway's own port
// fields of that side, of which at most one is set.
struct SPortSide
{
    CCommPort* const& rpSerial;
    CPortSocket* const& rpSocket;
    // The open port of the side, or null.
    QObject* Port() const;
};

// What a direction needs of the gateway around it.
class IDirectionHost
{
public:
    virtual void AddMessage(const QByteArray& strText) = 0;
    virtual void KillTimer(int nIDEvent) = 0;
    virtual bool IsStopping() const = 0;
    // The destination of a direction that starts it itself is not started:
    // start it for the block in hand. Failed drops the block. Pending: the
    // direction holds the block and stops reading its source until the host
    // calls OnDestinationDrained once the start is over (never from inside
    // this call); the block then goes on if the destination has started.
    enum EStart { Started, Failed, Pending };
    virtual EStart StartDestination() = 0;

protected:
    ~IDirectionHost() = default;
};

// One direction of the relay: every block read on its source goes through
// its plug-in to its destination.
//
// Sending never waits: a block the destination cannot take at once is held
// by the destination port, and the direction parks where it is (the pass
// whose DllAfterSend is due, the rest of the read in hand) and stops reading
// its source, so the source's peer is held back by the system. When the
// held bytes are out (OnDestinationDrained) it goes on from there and then
// reads its source again.
class CTransferDirection
{
public:
    // The most bytes of one block read from a serial line.
    static constexpr int kSerialBlock = 500;
    // bInToOut: the index of its counters and trace. nSkipTimer: the
    // gateway timer that closes its skip window. pDestinationStarted: for a
    // direction whose destination starts with its first block, whether it
    // has started; null when the destination is started with the source.
    CTransferDirection(bool bInToOut, SPortSide source, SPortSide destination, int nSkipTimer,
                       const bool* pDestinationStarted, IDirectionHost* pHost, CTrafficObserver* pObserver);
    ~CTransferDirection();
    CTransferDirection(const CTransferDirection&) = delete;
    CTransferDirection& operator=(const CTransferDirection&) = delete;

    // The plug-in slot. A pass held by the destination forgets a plug-in
    // that leaves the slot: its DllAfterSend is not called any more.
    CTransferPlugin* Plugin() const { return m_pPlugin.get(); }
    void SetPlugin(std::unique_ptr<CTransferPlugin> pPlugin);
    std::unique_ptr<CTransferPlugin> TakePlugin();

    // The skip window ("Don't Send Response of ... Initial String"): the
    // next block read is dropped. Its timer is the gateway's.
    bool IsSkipping() const { return m_bSkip; }
    int SkipTimer() const { return m_nSkipTimer; }
    void SetSkipping(bool bSkip) { m_bSkip = bSkip; }

    // One block of the source (at most 512 bytes).
    void OnBlock(const char* pData, int nLen);
    // A block of the source that is a response to the initial string: it
    // is counted and traced as received and held back, and goes no further.
    void HoldBack(const char* pData, int nLen);
    // One read of the source socket, passed on in blocks of at most 512
    // bytes: false when the socket must not be read again until the
    // direction resumes it.
    bool OnRead(CPortSocket* pSocket, const char* pData, qsizetype nLen);
    // Characters wait in the source serial port: reads them and re-arms
    // its notification unless the direction parks.
    void OnSerialNotify(CCommPort* pPort);

    bool IsParked() const { return m_bParked; }
    QObject* SourcePort() const { return m_source.Port(); }
    // The port whose held bytes the direction waits for, or null.
    QObject* ParkedOn() const { return m_bParked ? m_pDestination.data() : nullptr; }
    bool IsParkedOn(const QObject* pPort) const { return m_bParked && pPort && m_pDestination == pPort; }
    // The destination has taken what it held: the held pass ends, the rest
    // of the read goes on, then the source is read again.
    void OnDestinationDrained();
    // The destination went away with the bytes it held: the direction no
    // longer waits for it; IsReleased() until it goes on.
    void ReleaseDestination();
    bool IsReleased() const { return m_bParked && m_bReleased; }
    // The block being sent was dropped by a listening destination without
    // a client: it counts as such, not as sent.
    void OnNoClientDrop(int nLen);
    // A stop: held blocks and the read in hand go with the ports.
    void Reset();

private:
    void TransferPasses(const char* pData, int nLen);
    // DllAfterSend of a pass whose send is over: true when another pass
    // over the same block is due.
    bool AfterPass(CTransferPlugin* pPlugin, const char* pSent, int nSentLen);
    // True when the destination holds part of the block back.
    bool SendToDestination(const char* pData, int nLen);
    void Park(QObject* pDestination);
    // Passes on the blocks of one read, nBlock bytes each but the last;
    // false when the direction parks.
    bool PassBlocks(const char* pData, qsizetype nLen, int nBlock);
    // The port that may take all blocks of a read of nLen bytes in one
    // system call, or null when they must go one by one.
    QObject* BatchDestination(qsizetype nLen) const;
    // Hands all blocks of a read to pDestination in one system call.
    void SendBatch(QObject* pDestination, const char* pData, qsizetype nLen, int nBlock);
    void ReadSerialBlocks(CCommPort* pPort);
    void BeginBlockBurst();
    void EndBlockBurst();
    // The read in hand came from the port that is still the source, open.
    bool IsSourceCurrent() const;

    const bool m_bInToOut;
    const SPortSide m_source;
    const SPortSide m_destination;
    const int m_nSkipTimer;
    const bool* const m_pDestinationStarted;
    IDirectionHost* const m_pHost;
    CTrafficObserver* const m_pObserver;

    std::unique_ptr<CTransferPlugin> m_pPlugin;
    bool m_bSkip = false;
    // The port the read in hand came from.
    QPointer<QObject> m_pReadFrom;
    // Waiting for m_pDestination's held bytes to go out.
    bool m_bParked = false;
    bool m_bReleased = false;
    QPointer<QObject> m_pDestination;
    // The held pass: its block (for a further pass), what it sent (for
    // DllAfterSend) and its plug-in (null: no DllAfterSend is due). Or a
    // block not passed on at all, waiting for its destination to start.
    bool m_bUnpassed = false;
    QByteArray m_strBlock;
    QByteArray m_strSent;
    CTransferPlugin* m_pHeldPlugin = nullptr;
    // Blocks of the read in hand not passed on yet, and their size.
    QByteArray m_strRest;
    int m_nRestBlock = 0;
    // The destination socket gathering the burst of blocks of one read.
    QPointer<CPortSocket> m_pGathering;
    // Set by OnNoClientDrop during a send.
    bool m_bNoClientDrop = false;
};
