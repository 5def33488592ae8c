#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns POSIX signals into a Qt signal on the event loop's thread. The
// handler only writes the signal number into a socket pair (the only thing
// it may safely do); a socket notifier reads it back in the event loop.
// One instance per process.
class CSignalPipe : public QObject
{
    Q_OBJECT
public:
    explicit CSignalPipe(QObject* pParent = nullptr);
    ~CSignalPipe() override;

    // Installs the handler for each signal. False (errno set) on failure.
    bool Watch(std::initializer_list<int> signalNumbers);

signals:
    void signalReceived(int nSignal);

private:
    void OnReadable();

    int m_hRead = -1;
    QSocketNotifier* m_pNotifier = nullptr;
};
