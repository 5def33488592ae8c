#pragma once

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

// A plain TCP event stream of the web console, once its header has been
// asked for: bytes go out without waiting, and nothing is read from it, so
// an open stream adds nothing to what the event loop watches while it has
// nothing to send (fifty idle streams would otherwise be looked at on
// every wake-up of the relay). A peer that has gone is found by the next
// send, which the console makes every second.
class CEventStream : public QObject
{
public:
    // Takes hSocket (a connected, non-blocking TCP socket).
    CEventStream(int hSocket, QObject* pParent);
    ~CEventStream() override;
    CEventStream(const CEventStream&) = delete;
    CEventStream& operator=(const CEventStream&) = delete;

    bool IsOpen() const { return m_hSocket >= 0; }
    // Bytes not handed to the system yet.
    qint64 Backlog() const { return m_strPending.size() - m_nOffset; }
    void Write(const QByteArray& strBytes);
    void Close();

private:
    void Flush();

    int m_hSocket;
    QByteArray m_strPending;
    qsizetype m_nOffset = 0;
    QSocketNotifier* m_pWriteNotifier = nullptr;
};
