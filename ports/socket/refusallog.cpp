#include "refusallog.h"

#include <QTimer>

#include <utility>

const char* CRefusalLog::ReasonWord(EReason eReason)
{
    static const char* const kWords[kReasons] = {"port in use", "not allowed", "handshake"};
    return kWords[eReason];
}

CRefusalLog::CRefusalLog(std::function<void(const QByteArray&)> fnLog, QObject* pParent)
    : QObject(pParent), m_fnLog(std::move(fnLog)), m_pQuiet(new QTimer(this))
{
    m_pQuiet->setSingleShot(true);
    connect(m_pQuiet, &QTimer::timeout, this, &CRefusalLog::Flush);
}

void CRefusalLog::Refused(EReason eReason, const QByteArray& strKind, const QByteArray& strLine)
{
    SReason& reason = m_reasons[eReason];
    m_pQuiet->start(kQuietMs);
    if (reason.bLogged) {
        ++reason.nMore;
        return;
    }
    reason.bLogged = true;
    reason.strKind = strKind;
    m_fnLog(strLine);
}

void CRefusalLog::Flush()
{
    m_pQuiet->stop();
    for (int i = 0; i < kReasons; ++i) {
        SReason& reason = m_reasons[i];
        if (reason.nMore > 0) {
            m_fnLog(reason.strKind + " Client Refused," + ReasonWord(EReason(i)) + " ("
                    + QByteArray::number(reason.nMore) + " more refused)");
        }
        reason = SReason();
    }
}
