#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The system loader's search for a library name without "/", done by
// looking at files instead of loading them, so that nothing runs before the
// one file to load has been chosen.
class CLibrarySearch
{
public:
    // The folders the loader searches, in its order: this program's run
    // paths, LD_LIBRARY_PATH and the system folders. Relative and empty
    // entries (which would reach the current folder) are left out.
    static QStringList Folders();

    // The loader's cache of library names (/etc/ld.so.cache).
    static QString CacheFile();

    // The files the cache lists under exactly this name, in its order.
    static QStringList CacheFiles(const QByteArray& strName);

    // True for a regular file with the ELF header of a shared library of
    // this process's kind (class, byte order, machine).
    static bool IsLoadable(const QString& strFile);
};
