#pragma once

#include <QObject>

#include <functional>

class QTimer;

// A port whose far end has closed while the port is not read (its reads
// wait for their destination) keeps the bytes it has not read yet: they
// are delivered as long as the destination still takes bytes. Only a
// destination that takes nothing for kStuckMs makes the close be taken at
// once, with what it still holds (a peer that never reads must not keep an
// unattended gateway from restarting).
class CDrainWatch : public QObject
{
public:
    static constexpr int kStuckMs = 3000;
    static constexpr int kLookMs = 250;

    // fnBacklog: the bytes the destination still holds (-1: none known);
    // fnStuck: it took nothing for kStuckMs. The watch is off again by then.
    CDrainWatch(std::function<qint64()> fnBacklog, std::function<void()> fnStuck, QObject* pParent);

    void Start();
    void Stop();
    bool IsActive() const;

private:
    void OnLook();

    std::function<qint64()> m_fnBacklog;
    std::function<void()> m_fnStuck;
    QTimer* m_pTimer;
    qint64 m_nBacklog = -1;
    int m_nStillMs = 0;
};
