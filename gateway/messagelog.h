#pragma once

#include <QObject>
#include <QStringList>

class QDateTime;

// The Message list: time-stamped progress and error lines, at most 201.
// When a line arrives while more than 200 are held, the list is emptied first.
class CMessageLog : public QObject
{
    Q_OBJECT
public:
    enum { kMaxLines = 201 };

    explicit CMessageLog(QObject* pParent = nullptr);

    // Appends the local time as "%H:%M:%S," followed directly by the text.
    void AddMessage(const QString& strText);
    void AddMessageAt(const QString& strText, const QDateTime& when);
    const QStringList& Lines() const { return m_lines; }

signals:
    void cleared();
    void lineAdded(const QString& strLine);

private:
    QStringList m_lines;
};
