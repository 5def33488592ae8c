#pragma once

#include <QObject>

#include <initializer_list>
#include <vector>

class QSocketNotifier;

// Turns POSIX signals into a Qt signal on the event loop's thread. The
// handler marks its signal as pending and writes one byte into a socket
// pair to wake the event loop (both are async-signal-safe). The byte is
// only a wake-up: when the pair is full because the loop is busy, the
// pending mark still holds, so no signal kind is ever lost; several
// arrivals of one kind before the loop gets to them count as one.
// One instance per process.
class CSignalPipe : public QObject
{
    Q_OBJECT
public:
    explicit CSignalPipe(QObject* pParent = nullptr);
    ~CSignalPipe() override;

    // Installs the handler for each signal. Pending signals are reported in
    // the order of the calls and of the list. False (errno set) on failure.
    bool Watch(std::initializer_list<int> signalNumbers);

signals:
    void signalReceived(int nSignal);

private:
    void OnReadable();

    int m_hRead = -1;
    QSocketNotifier* m_pNotifier = nullptr;
    std::vector<int> m_watched;
};
