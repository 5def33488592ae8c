#include "librarysearch.h"

#include "fileread.h"

#include <QDir>
#include <QFile>
#include <QtEndian>

#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/auxv.h>
#include <vector>

namespace {

// The loader cache is about 100 KiB on a full desktop system.
constexpr qint64 kMaxCacheBytes = 16 * 1024 * 1024;

// Header and entry of the cache format "glibc-ld.so.cache1.1". String
// offsets count from the start of this header. An older format may come
// first ("ld.so-1.7.0", 12-byte entries); the new part then follows it.
constexpr char kNewMagic[] = "glibc-ld.so.cache1.1";
constexpr qsizetype kNewHeaderSize = 48;
constexpr qsizetype kNewEntrySize = 24;
constexpr char kOldMagic[] = "ld.so-1.7.0";
constexpr qsizetype kOldHeaderSize = 16;
constexpr qsizetype kOldEntrySize = 12;

quint32 Word(const QByteArray& data, qsizetype nAt)
{
    return qFromUnaligned<quint32>(data.constData() + nAt);
}

// Where the new-format part starts, or -1.
qsizetype NewPart(const QByteArray& data)
{
    const qsizetype nNewMagic = qsizetype(sizeof kNewMagic - 1);
    if (data.startsWith(QByteArrayView(kNewMagic, nNewMagic)))
        return 0;
    if (!data.startsWith(QByteArrayView(kOldMagic, qsizetype(sizeof kOldMagic - 1))) || data.size() < kOldHeaderSize)
        return -1;
    const qint64 nEnd = kOldHeaderSize + qint64(Word(data, 12)) * kOldEntrySize;
    const qint64 nNew = (nEnd + 7) & ~qint64(7);
    if (nNew + kNewHeaderSize > data.size() || data.mid(nNew, nNewMagic) != QByteArrayView(kNewMagic, nNewMagic))
        return -1;
    return qsizetype(nNew);
}

// The NUL-terminated string at nBase + nOffset, or a null array.
QByteArray StringAt(const QByteArray& data, qsizetype nBase, quint32 nOffset)
{
    const qint64 nAt = qint64(nBase) + nOffset;
    if (nAt >= data.size())
        return QByteArray();
    const char* p = data.constData() + nAt;
    const void* pEnd = std::memchr(p, '\0', size_t(data.size() - nAt));
    return pEnd ? QByteArray(p, static_cast<const char*>(pEnd) - p) : QByteArray();
}

// The ELF identification, type and machine of a file's header.
struct SElfKind
{
    QByteArray m_ident;  // class and byte order
    quint16 m_nType = 0;
    quint16 m_nMachine = 0;
};

bool ElfKindOf(const QByteArray& d, SElfKind* pKind)
{
    if (d.size() < EI_NIDENT + 4 || !d.startsWith(ELFMAG))
        return false;
    pKind->m_ident = d.mid(EI_CLASS, 2);
    // e_type and e_machine follow the identification in the file's own
    // byte order.
    const uchar* p = reinterpret_cast<const uchar*>(d.constData() + EI_NIDENT);
    const bool bBig = d[EI_DATA] == ELFDATA2MSB;
    pKind->m_nType = bBig ? qFromBigEndian<quint16>(p) : qFromLittleEndian<quint16>(p);
    pKind->m_nMachine = bBig ? qFromBigEndian<quint16>(p + 2) : qFromLittleEndian<quint16>(p + 2);
    return true;
}

bool ReadElfKind(const QString& strFile, SElfKind* pKind)
{
    const SFileRead head = ReadFileStart(strFile, EI_NIDENT + 4);
    return head.Ok() && ElfKindOf(head.m_data, pKind);
}

// What this process is: its program file, or where /proc is missing the
// kernel's own library mapped into every process (the vDSO).
SElfKind SelfKind()
{
    SElfKind kind;
    if (ReadElfKind(QStringLiteral("/proc/self/exe"), &kind))
        return kind;
    if (const auto nVdso = getauxval(AT_SYSINFO_EHDR))
        ElfKindOf(QByteArray(reinterpret_cast<const char*>(nVdso), EI_NIDENT + 4), &kind);
    return kind;
}

} // namespace

QStringList CLibrarySearch::Folders()
{
    void* hProgram = dlopen(nullptr, RTLD_NOW);
    if (!hProgram)
        return {};
    QStringList listFolders;
    Dl_serinfo size {};
    if (dlinfo(hProgram, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
        // The loader writes the paths' text behind the array, so the
        // buffer is sized (and aligned) as it asks.
        std::vector<Dl_serinfo> buffer(size.dls_size / sizeof(Dl_serinfo) + 1);
        Dl_serinfo* pInfo = buffer.data();
        *pInfo = size;
        if (dlinfo(hProgram, RTLD_DI_SERINFO, pInfo) == 0) {
            for (unsigned n = 0; n < pInfo->dls_cnt; ++n) {
                const QString strFolder = QFile::decodeName(pInfo->dls_serpath[n].dls_name);
                if (QDir::isAbsolutePath(strFolder) && !listFolders.contains(QDir::cleanPath(strFolder)))
                    listFolders.append(QDir::cleanPath(strFolder));
            }
        }
    }
    dlclose(hProgram);
    return listFolders;
}

QString CLibrarySearch::CacheFile()
{
    return QStringLiteral("/etc/ld.so.cache");
}

QStringList CLibrarySearch::CacheFiles(const QByteArray& strName)
{
    const SFileRead cache = ReadRegularFile(CacheFile(), kMaxCacheBytes);
    if (!cache.Ok())
        return {};
    const QByteArray& data = cache.m_data;
    const qsizetype nBase = NewPart(data);
    if (nBase < 0)
        return {};
    const quint32 nEntries = Word(data, nBase + 20);
    QStringList listFiles;
    for (quint32 n = 0; n < nEntries; ++n) {
        const qint64 nAt = nBase + kNewHeaderSize + qint64(n) * kNewEntrySize;
        if (nAt + kNewEntrySize > data.size())
            break;
        if (StringAt(data, nBase, Word(data, qsizetype(nAt) + 4)) != strName)
            continue;
        const QByteArray strFile = StringAt(data, nBase, Word(data, qsizetype(nAt) + 8));
        if (strFile.startsWith('/'))
            listFiles.append(QFile::decodeName(strFile));
    }
    return listFiles;
}

bool CLibrarySearch::IsLoadable(const QString& strFile)
{
    static const SElfKind s_self = SelfKind();
    SElfKind kind;
    return !s_self.m_ident.isEmpty() && ReadElfKind(strFile, &kind) && kind.m_nType == ET_DYN &&
           kind.m_ident == s_self.m_ident && kind.m_nMachine == s_self.m_nMachine;
}
