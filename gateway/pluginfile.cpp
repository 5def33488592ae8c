#include "pluginfile.h"

#include "fileread.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <elf.h>

namespace {

// A plug-in is a few hundred KiB at most; a larger file is not read whole.
constexpr qint64 kMaxPluginBytes = 256 * 1024 * 1024;

const char* const kKnownExports[] = {"DllInit", "DllTransfer", "DllAfterSend", "DllQuit"};

QString MachineName(quint16 nMachine)
{
    switch (nMachine) {
    case EM_X86_64: return QStringLiteral("x86-64");
    case EM_386: return QStringLiteral("x86 (32-bit)");
    case EM_AARCH64: return QStringLiteral("AArch64");
    case EM_ARM: return QStringLiteral("ARM (32-bit)");
    case EM_RISCV: return QStringLiteral("RISC-V");
    case EM_PPC64: return QStringLiteral("PowerPC 64");
    case EM_S390: return QStringLiteral("s390");
    default: return QStringLiteral("machine %1").arg(nMachine);
    }
}

// This program's own ELF header: the kind the loader takes.
QByteArray OwnHeader()
{
    static const QByteArray s_header = ReadFileStart(QStringLiteral("/proc/self/exe"), EI_NIDENT + 4).m_data;
    return s_header;
}

template <typename T>
bool ReadAt(const QByteArray& data, quint64 nAt, T* pValue)
{
    if (nAt > quint64(data.size()) || quint64(data.size()) - nAt < sizeof(T))
        return false;
    std::memcpy(pValue, data.constData() + nAt, sizeof(T));
    return true;
}

// The exported functions of a file of this program's class and byte order.
template <typename Ehdr, typename Shdr, typename Sym>
bool ReadExports(const QByteArray& data, QStringList* pExports)
{
    Ehdr header;
    if (!ReadAt(data, 0, &header) || header.e_shentsize != sizeof(Shdr))
        return false;
    for (quint64 nSection = 0; nSection < header.e_shnum; ++nSection) {
        Shdr section;
        if (!ReadAt(data, header.e_shoff + nSection * sizeof(Shdr), &section))
            return false;
        if (section.sh_type != SHT_DYNSYM || section.sh_entsize != sizeof(Sym))
            continue;
        Shdr strings;
        if (section.sh_link >= header.e_shnum
            || !ReadAt(data, header.e_shoff + quint64(section.sh_link) * sizeof(Shdr), &strings)
            || strings.sh_offset > quint64(data.size()) || strings.sh_size > quint64(data.size()) - strings.sh_offset)
            return false;
        const QByteArrayView names(data.constData() + strings.sh_offset, qsizetype(strings.sh_size));
        for (quint64 nAt = 0; nAt + sizeof(Sym) <= section.sh_size; nAt += sizeof(Sym)) {
            Sym symbol;
            if (!ReadAt(data, section.sh_offset + nAt, &symbol))
                return false;
            const int nBind = symbol.st_info >> 4;
            const int nType = symbol.st_info & 0xf;
            const int nVisibility = symbol.st_other & 0x3;
            if (symbol.st_shndx == SHN_UNDEF || (nBind != STB_GLOBAL && nBind != STB_WEAK)
                || (nType != STT_FUNC && nType != STT_GNU_IFUNC)
                || (nVisibility != STV_DEFAULT && nVisibility != STV_PROTECTED) || symbol.st_name >= names.size())
                continue;
            const QByteArrayView rest = names.sliced(symbol.st_name);
            const QByteArrayView name = rest.first(std::max<qsizetype>(rest.indexOf('\0'), 0));
            if (name.startsWith("Dll") && !pExports->contains(QLatin1StringView(name)))
                pExports->append(QString::fromLatin1(name));
        }
        return true;
    }
    return false;
}

int ExportRank(const QString& strName)
{
    const auto* pFound = std::find_if(std::begin(kKnownExports), std::end(kKnownExports),
                                      [&](const char* psz) { return strName == QLatin1StringView(psz); });
    return int(pFound - std::begin(kKnownExports));
}

} // namespace

SPluginFile InspectPluginFile(const QString& strFile)
{
    SPluginFile result;
    const SFileRead read = ReadRegularFile(strFile, kMaxPluginBytes);
    if (!read.Ok()) {
        result.m_strProblem = QStringLiteral("it cannot be read: %1").arg(FileReadReason(read, kMaxPluginBytes));
        return result;
    }
    const QByteArray& data = read.m_data;
    const QByteArray own = OwnHeader();
    if (data.size() < EI_NIDENT + 4 || !data.startsWith(ELFMAG)) {
        result.m_strProblem = QStringLiteral("it is not a shared library (no ELF header)");
        return result;
    }
    if (own.size() < EI_NIDENT + 4 || data[EI_CLASS] != own[EI_CLASS]) {
        const bool b64 = data[EI_CLASS] == ELFCLASS64;
        result.m_strProblem = QStringLiteral("it is a %1-bit library, this program is %2-bit")
                                  .arg(b64 ? 64 : 32).arg(b64 ? 32 : 64);
        return result;
    }
    if (data[EI_DATA] != own[EI_DATA]) {
        result.m_strProblem = QStringLiteral("its byte order is not this machine's");
        return result;
    }
    // Same byte order as this program from here on.
    quint16 nType = 0, nMachine = 0, nOwnMachine = 0;
    std::memcpy(&nType, data.constData() + EI_NIDENT, 2);
    std::memcpy(&nMachine, data.constData() + EI_NIDENT + 2, 2);
    std::memcpy(&nOwnMachine, own.constData() + EI_NIDENT + 2, 2);
    if (nMachine != nOwnMachine) {
        result.m_strProblem = QStringLiteral("it is built for %1, this program for %2")
                                  .arg(MachineName(nMachine), MachineName(nOwnMachine));
        return result;
    }
    if (nType != ET_DYN) {
        result.m_strProblem = nType == ET_EXEC ? QStringLiteral("it is a program, not a shared library")
                            : nType == ET_REL  ? QStringLiteral("it is an object file, not a linked shared library")
                                               : QStringLiteral("it is not a shared library (ELF type %1)").arg(nType);
        return result;
    }
    result.m_bSymbolsRead = data[EI_CLASS] == ELFCLASS64
        ? ReadExports<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>(data, &result.m_listExports)
        : ReadExports<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>(data, &result.m_listExports);
    std::stable_sort(result.m_listExports.begin(), result.m_listExports.end(),
                     [](const QString& a, const QString& b) { return ExportRank(a) < ExportRank(b); });
    return result;
}
