#pragma once

#include <QByteArray>
#include <QObject>

class IPortOwner;

// A serial port of the gateway, opened from a setup string such as
// "COM2:9600,n,8,1". Lives on the user-interface thread.
class CCommPort : public QObject
{
    Q_OBJECT
public:
    // Runs the open sequence; failures are shown as message boxes through the
    // owner. The object always exists afterwards; IsOpen() tells the outcome.
    CCommPort(const QByteArray& strSetup, IPortOwner* pOwner, bool bDetectCarrier, bool bInput);
    ~CCommPort() override;

    bool IsOpen() const { return m_hDevice >= 0; }

    // Takes at most nMax bytes that are already queued; 0 when none (or when
    // carrier is absent with Detect Carrier on). Never negative.
    int Read(char* pBuffer, int nMax);
    // Puts the whole block out, waiting for writability while dispatching
    // events; gives up when the owner is stopping or the port closes.
    // Returns the count written.
    int Write(const char* pData, int nLen);
    // Re-arms the data notification after the owner has read what waited.
    bool OnCommNotify();
    void Close();

    int m_hDevice = -1;
    IPortOwner* m_pOwner = nullptr;
    bool m_bDetectCarrier = false;
    bool m_bInput = false;
};
