#pragma once

#include "boundedlistener.h"
#include "consolefeed.h"
#include "consolestatus.h"
#include "eventstream.h"
#include "metricstext.h"

#include <QAbstractHttpServer>
#include <QPointer>
#include <QTimer>

#include <optional>
#include <vector>

// The web console: a page, its state as JSON and a stream of server-sent
// events, and /metrics, on one bounded listener. Read-only: nothing served
// changes the gateway. Runs on the gateway's thread and never waits for a
// client; a stream that is not read is closed.
class CConsoleServer : public QAbstractHttpServer
{
    Q_OBJECT
public:
    // Event streams open at once; a request for one more gets 503.
    static constexpr int kMaxStreams = 64;
    // Bytes that may wait unread on a stream before it is closed.
    static constexpr qint64 kMaxStreamBacklog = 1 << 20;
    // How often the counters (and the blocks, to those who asked) go out.
    static constexpr int kTickMs = 1000;

    struct SAccess
    {
        CAddressFilter allowed;
        std::optional<QSslConfiguration> tls;
    };

    CConsoleServer(const SConsoleSources& sources, QObject* pParent = nullptr);
    ~CConsoleServer() override;

    // False with the system's reason (the port is in use, say).
    bool Listen(const QHostAddress& address, quint16 nPort, const SAccess& access, QString* pstrError);
    // The settings were loaded again: every stream gets the whole state.
    void SettingsChanged();
    int StreamCount() const { return int(m_streams.size()); }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* pSocket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* pSocket) override;

private:
    // An event stream: a plain one on a descriptor of its own (pPlain),
    // a TLS one on its socket.
    struct SStream
    {
        QPointer<QTcpSocket> pSocket;
        QPointer<CEventStream> pPlain;
        bool bTraffic = false;
        bool IsOpen() const;
    };

    void OpenStream(QTcpSocket* pSocket, bool bTraffic);
    void OnLine(const CConsoleFeed::SLine& line);
    void OnTick();
    // Sends the ports' state when it differs from what was sent.
    void SendStateIfChanged();
    void Broadcast(const QByteArray& strEvent, bool bTrafficOnly = false);
    void Send(SStream& stream, const QByteArray& strEvent);
    void DropClosed();
    void UpdateBlocksWanted();
    QByteArray StateEvent();

    SConsoleSources m_sources;
    CBoundedListener* m_pListener = nullptr;
    QString m_strSteps[2];
    std::vector<SStream> m_streams;
    QTimer m_tick;
    QTimer m_stateSoon;
    QByteArray m_strLastState;
};
