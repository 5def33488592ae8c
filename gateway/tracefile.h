#pragma once

#include <QString>

// The file a data trace is written to.
struct STraceFileOpen
{
    int m_hFile = -1;      // blocking, close-on-exec; -1 when not opened
    bool m_bRegular = false;
    bool m_bNotRegular = false; // refused: a folder, a FIFO or a device
    QString m_strReason;   // why it was not opened
};

// Opens strPath to append records to. Never through a symbolic link at the
// path: one planted in a shared folder could aim the trace at any file the
// tracing user may write. A new file is readable by its owner only, since
// it holds every relayed byte. bRegularOnly refuses anything but a regular
// file; otherwise a FIFO is opened without waiting for its reader.
STraceFileOpen OpenTraceFile(const QString& strPath, bool bRegularOnly);

// What a trace that could not be written says, once: the reason and what
// was lost.
QString TraceFailureText(const QString& strPath, int nErrno, quint64 nLostBytes, quint64 nLostRecords);
