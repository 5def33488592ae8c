#pragma once

#include <QByteArray>
#include <QString>

// Reading the files the programs are given (settings, profile, libraries'
// headers): a path is looked at before it is opened, so that a device is
// never opened (that can have effects of its own) and a pipe is never
// waited on; only a regular file is read, and never past a bound.
enum class EFileRead {
    Ok,
    OpenFailed,  // m_nErrno tells why (ENOENT: there is no such file)
    NotRegular,  // a folder, a device, a pipe or a socket
    TooLarge,    // more bytes than the caller allows
    ReadFailed,  // m_nErrno tells why
};

struct SFileRead
{
    EFileRead m_eStatus = EFileRead::Ok;
    int m_nErrno = 0;
    QByteArray m_data;
    bool Ok() const { return m_eStatus == EFileRead::Ok; }
};

// Opens a regular file for reading without blocking. Returns the
// descriptor (close-on-exec), or -1 with the reason in *pResult.
int OpenRegularFile(const QString& strPath, SFileRead* pResult);

// The whole file; TooLarge when it holds more than nMaxBytes.
SFileRead ReadRegularFile(const QString& strPath, qint64 nMaxBytes);

// The first nBytes of the file, or all of it when it is shorter.
SFileRead ReadFileStart(const QString& strPath, qint64 nBytes);

// A message for a failed read, naming the file (and the bound for
// TooLarge).
QString FileReadMessage(const SFileRead& result, const QString& strPath, qint64 nMaxBytes);
