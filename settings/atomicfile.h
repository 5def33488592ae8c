#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// Which step of a save failed, so that callers can word the message.
enum class EFileWriteStage {
    None,
    Create,      // the file (or its temporary twin) could not be created
    Write,       // writing, flushing or replacing failed
    NotRegular,  // the path names a folder, a device or a pipe
};

struct SFileWriteResult
{
    EFileWriteStage m_eStage = EFileWriteStage::None;
    int m_nErrno = 0;
    bool Ok() const { return m_eStage == EFileWriteStage::None; }
};

// Replaces a file's content as one step: the bytes go to a temporary file
// in the same folder, are flushed to disk and then renamed over the target,
// which keeps its permissions. Where the folder is not writable but the
// file is, the file is rewritten in place after its space is reserved.
// A symbolic link at the path is replaced by the new file, never written
// through. A failure never leaves a half-written new file behind.
class CAtomicFileWriter
{
public:
    virtual ~CAtomicFileWriter() = default;
    SFileWriteResult Write(const QString& strPath, const QByteArray& data);

protected:
    // The system calls that can run out of space or fail with an I/O
    // error; tests replace them to provoke those failures.
    virtual ssize_t WriteSome(int fd, const char* p, size_t n);
    virtual int SyncFile(int fd);

private:
    bool WriteAll(int fd, const QByteArray& data, int* pnErrno);
    SFileWriteResult WriteInPlace(const QByteArray& path, const QByteArray& data);
};
