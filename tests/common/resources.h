#pragma once

// What a process holds (descriptors, threads, CPU time), for leak and
// busy-loop checks, and reproducible test data.

#include <QByteArray>
#include <QDir>
#include <QRandomGenerator>

#include <sys/resource.h>

inline int CountEntries(const char* pDir)
{
    return int(QDir(QString::fromLatin1(pDir))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

inline int OpenFdCount() { return CountEntries("/proc/self/fd"); }
inline int ThreadCount() { return CountEntries("/proc/self/task"); }

inline qint64 CpuMicroseconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 + usage.ru_utime.tv_usec
         + usage.ru_stime.tv_usec;
}

inline QByteArray RandomBytes(int nSize, quint32 nSeed = 1)
{
    QByteArray data(nSize, Qt::Uninitialized);
    QRandomGenerator gen(nSeed);
    for (char& c : data)
        c = char(gen.generate());
    return data;
}
