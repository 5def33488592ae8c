#pragma once

#include <QByteArray>
#include <QObject>

#include <functional>

class QTimer;

// The lines of a listening port's refused clients. The first refusal of
// each reason is logged with its own line; later ones are only counted, and
// the count comes as one line "KIND Client Refused,WHAT (N more refused)"
// when the port next takes a client, or once kQuietMs have passed without a
// refusal. Then the next refusal is logged with its own line again. A flood
// of connections thus writes a few lines, not one per connection.
class CRefusalLog : public QObject
{
public:
    // A fixed set: the counters and the metrics have one value per reason.
    enum EReason { Policy, Address, Handshake, kReasons };
    static constexpr int kQuietMs = 10000;
    // "port in use", "not allowed", "handshake": WHAT of the count line.
    static const char* ReasonWord(EReason eReason);

    CRefusalLog(std::function<void(const QByteArray& strLine)> fnLog, QObject* pParent);
    // strLine: the refusal's own line; strKind: "TCP" or "TLS".
    void Refused(EReason eReason, const QByteArray& strKind, const QByteArray& strLine);
    // Logs the counts not yet logged and starts afresh.
    void Flush();

private:
    struct SReason
    {
        bool bLogged = false;
        quint64 nMore = 0;
        QByteArray strKind;
    };
    std::function<void(const QByteArray&)> m_fnLog;
    SReason m_reasons[kReasons];
    QTimer* m_pQuiet;
};
