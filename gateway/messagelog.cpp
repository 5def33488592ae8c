#include "messagelog.h"

#include <QDateTime>

CMessageLog::CMessageLog(QObject* pParent) : QObject(pParent) {}

void CMessageLog::AddMessage(const QString& strText)
{
    AddMessageAt(strText, QDateTime::currentDateTime());
}

void CMessageLog::AddMessageAt(const QString& strText, const QDateTime& when)
{
    if (m_lines.size() > kMaxLines - 1) {
        m_lines.clear();
        emit cleared();
    }
    const QString strLine = when.toString(QStringLiteral("HH:mm:ss,")) + strText;
    m_lines.append(strLine);
    emit lineAdded(strLine);
}
