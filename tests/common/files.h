#pragma once

// Whole-file reads and writes for tests that check what is on disk.

#include <QByteArray>
#include <QFile>
#include <QString>

// The file's content; a null array when it cannot be read.
inline QByteArray ReadAll(const QString& strPath)
{
    QFile file(strPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool WriteAll(const QString& strPath, const QByteArray& data)
{
    QFile file(strPath);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}
