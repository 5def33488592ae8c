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
    TooLarge,    // more bytes than the reader allows
    ReadFailed,  // m_nErrno tells why
};

struct SFileRead
{
    EFileRead m_eStatus = EFileRead::Ok;
    int m_nErrno = 0;
    QByteArray m_data;
    bool Ok() const { return m_eStatus == EFileRead::Ok; }
};

// One regular file read in pieces, at most nMaxBytes of it.
class CBoundedFileReader
{
public:
    explicit CBoundedFileReader(qint64 nMaxBytes) : m_nMaxBytes(nMaxBytes) {}
    ~CBoundedFileReader();
    CBoundedFileReader(const CBoundedFileReader&) = delete;
    CBoundedFileReader& operator=(const CBoundedFileReader&) = delete;

    // False (and Status() says why) unless strPath is a regular file that
    // opened for reading.
    bool Open(const QString& strPath);
    // Up to nMax bytes: the count, 0 at the end, -1 on a read error or when
    // the file goes on past the bound (Status() says which).
    qint64 ReadSome(char* p, qint64 nMax);
    const SFileRead& Status() const { return m_status; }

private:
    qint64 m_nMaxBytes;
    qint64 m_nRead = 0;
    int m_hFile = -1;
    SFileRead m_status;
};

// The whole file; TooLarge when it holds more than nMaxBytes.
SFileRead ReadRegularFile(const QString& strPath, qint64 nMaxBytes);

// The first nBytes of the file, or all of it when it is shorter.
SFileRead ReadFileStart(const QString& strPath, qint64 nBytes);

// Why a read failed, in a few words ("not a regular file", "larger than
// 1 MiB", the system's text for an error number).
QString FileReadReason(const SFileRead& result, qint64 nMaxBytes);
