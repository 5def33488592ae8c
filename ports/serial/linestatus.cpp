#include "linestatus.h"

#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>

namespace {

// Modem status and interrupt counters of a serial driver. Devices without
// them (pseudo-terminals answer ENOTTY or EINVAL) have carrier and no errors.
class CModemLineStatus : public ILineStatusSource
{
public:
    explicit CModemLineStatus(int hDevice) : m_hDevice(hDevice)
    {
        m_bCounters = ioctl(m_hDevice, TIOCGICOUNT, &m_last) == 0;
    }

    bool Carrier() override
    {
        int nBits = 0;
        if (ioctl(m_hDevice, TIOCMGET, &nBits) == 0)
            return (nBits & TIOCM_CD) != 0;
        return errno == ENOTTY || errno == EINVAL;
    }

    int ModemLines() override
    {
        int nBits = 0;
        if (ioctl(m_hDevice, TIOCMGET, &nBits) != 0)
            return -1;
        return nBits & (TIOCM_CTS | TIOCM_DSR | TIOCM_RI | TIOCM_CD);
    }

    qint64 CarrierChanges() override
    {
        serial_icounter_struct now{};
        if (!m_bCounters || ioctl(m_hDevice, TIOCGICOUNT, &now) != 0)
            return -1;
        return quint32(now.dcd);
    }

    quint32 TakeErrors() override
    {
        serial_icounter_struct now{};
        if (!m_bCounters || ioctl(m_hDevice, TIOCGICOUNT, &now) != 0)
            return 0;
        quint32 nBits = 0;
        if (now.buf_overrun != m_last.buf_overrun)
            nBits |= CE_RXOVER;
        if (now.overrun != m_last.overrun)
            nBits |= CE_OVERRUN;
        if (now.parity != m_last.parity)
            nBits |= CE_RXPARITY;
        if (now.frame != m_last.frame)
            nBits |= CE_FRAME;
        if (now.brk != m_last.brk)
            nBits |= CE_BREAK;
        m_last = now;
        return nBits;
    }

private:
    int m_hDevice;
    bool m_bCounters = false;
    serial_icounter_struct m_last{};
};

LineStatusFactory& Factory()
{
    static LineStatusFactory factory;
    return factory;
}

} // namespace

SCarrierLook LookAtCarrier(ILineStatusSource& source)
{
    SCarrierLook look;
    qint64 nBefore = source.CarrierChanges();
    for (int i = 0; i < 3; ++i) {
        look.bCarrier = source.Carrier();
        look.nChanges = source.CarrierChanges();
        if (look.nChanges == nBefore)
            break;
        nBefore = look.nChanges;
    }
    look.nLines = source.ModemLines();
    return look;
}

std::unique_ptr<ILineStatusSource> CreateLineStatusSource(int hDevice)
{
    if (const LineStatusFactory& factory = Factory())
        return factory(hDevice);
    return std::make_unique<CModemLineStatus>(hDevice);
}

void SetLineStatusFactory(LineStatusFactory factory)
{
    Factory() = std::move(factory);
}
