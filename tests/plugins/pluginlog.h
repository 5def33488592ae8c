#pragma once

// What the test plug-ins record (one line per call in the file named by
// TP_LOG) and whether a library is mapped into this process.

#include <QByteArrayList>
#include <QFile>
#include <QtGlobal>

inline QByteArrayList LogLines(const QString& strLog)
{
    QFile file(strLog);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArrayList list = file.readAll().split('\n');
    list.removeAll(QByteArray());
    return list;
}

inline bool IsMapped(const QByteArray& strFile)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains(strFile);
}

// The test plug-ins' scripts, cleared after each test.
inline void ClearPluginScript()
{
    for (const char* psz : {"TP_LOG", "TP_INIT", "TP_QUIT", "TP_TRANSFER", "TP_TEXT", "TP_OUT", "TP_AFTER", "TP_SLEEP_MS",
                            "TP_STAMPS"})
        qunsetenv(psz);
}
