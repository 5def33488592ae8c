#include "profile.h"

#include "atomicfile.h"
#include "fileread.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace {

// A profile holds a few dozen short lines; this is far more than any needs.
constexpr qint64 kMaxProfileBytes = 1024 * 1024;

// The name of a section header line, or a null string for other lines.
QString SectionName(const QString& strLine)
{
    const QString strTrimmed = strLine.trimmed();
    if (!strTrimmed.startsWith(u'['))
        return QString();
    const qsizetype nClose = strTrimmed.indexOf(u']');
    if (nClose < 0)
        return QString();
    return strTrimmed.mid(1, nClose - 1).trimmed();
}

bool IsComment(const QString& strTrimmed)
{
    return strTrimmed.startsWith(u';') || strTrimmed.startsWith(u'#');
}

// Splits "key = value"; false for lines that are not entries.
bool SplitEntry(const QString& strLine, QString* pstrKey, QString* pstrValue)
{
    const QString strTrimmed = strLine.trimmed();
    if (strTrimmed.isEmpty() || IsComment(strTrimmed) || strTrimmed.startsWith(u'['))
        return false;
    const qsizetype nEquals = strTrimmed.indexOf(u'=');
    if (nEquals <= 0)
        return false;
    *pstrKey = strTrimmed.left(nEquals).trimmed();
    if (pstrValue)
        *pstrValue = strTrimmed.mid(nEquals + 1).trimmed();
    return true;
}

bool SameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

CProfile::CProfile(const QString& strPath)
    : m_strPath(strPath)
{
}

QString CProfile::DefaultPath()
{
    QString strBase = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (strBase.isEmpty() || QDir::isRelativePath(strBase))
        strBase = QDir::homePath() + QStringLiteral("/.config");
    return strBase + QStringLiteral("/trelvane/trelvane.ini");
}

bool CProfile::Load(QString* pstrError)
{
    const SFileRead read = ReadRegularFile(m_strPath, kMaxProfileBytes);
    if (read.m_eStatus == EFileRead::OpenFailed && read.m_nErrno == ENOENT) {
        FromBytes(QByteArray());
        return true;
    }
    if (!read.Ok()) {
        if (pstrError)
            *pstrError = FileReadReason(read, kMaxProfileBytes);
        return false;
    }
    FromBytes(read.m_data);
    return true;
}

bool CProfile::Save(QString* pstrError) const
{
    const QString strFolder = QFileInfo(m_strPath).absolutePath();
    if (!QDir().mkpath(strFolder)) {
        if (pstrError)
            *pstrError = QStringLiteral("Cannot create the folder %1").arg(strFolder);
        return false;
    }
    CAtomicFileWriter writer;
    const SFileWriteResult result = writer.Write(m_strPath, ToBytes());
    if (!result.Ok() && pstrError)
        *pstrError = QStringLiteral("Cannot write %1: %2").arg(m_strPath, QString::fromLocal8Bit(std::strerror(result.m_nErrno)));
    return result.Ok();
}

void CProfile::FromBytes(const QByteArray& data)
{
    QString strText = QString::fromUtf8(data);
    m_bCrLf = strText.contains(QStringLiteral("\r\n"));
    if (m_bCrLf)
        strText.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_bFinalNewline = strText.isEmpty() || strText.endsWith(u'\n');
    if (strText.endsWith(u'\n'))
        strText.chop(1);
    m_lines = strText.isEmpty() && data.isEmpty() ? QStringList() : strText.split(u'\n');
}

QByteArray CProfile::ToBytes() const
{
    if (m_lines.isEmpty())
        return QByteArray();
    const QString strEol = m_bCrLf ? QStringLiteral("\r\n") : QStringLiteral("\n");
    QString strText = m_lines.join(strEol);
    if (m_bFinalNewline)
        strText += strEol;
    return strText.toUtf8();
}

CProfile::SRange CProfile::FindSection(const QString& strSection) const
{
    SRange range;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const QString strName = SectionName(m_lines[i]);
        if (strName.isNull())
            continue;
        if (range.m_nHeader >= 0) {
            range.m_nEnd = i;
            return range;
        }
        if (SameName(strName, strSection))
            range.m_nHeader = i;
    }
    range.m_nEnd = m_lines.size();
    return range;
}

qsizetype CProfile::FindKey(const SRange& range, const QString& strKey) const
{
    if (range.m_nHeader < 0)
        return -1;
    QString strName;
    for (qsizetype i = range.m_nHeader + 1; i < range.m_nEnd; ++i) {
        if (SplitEntry(m_lines[i], &strName, nullptr) && SameName(strName, strKey))
            return i;
    }
    return -1;
}

QString CProfile::GetString(const QString& strSection, const QString& strKey, const QString& strDefault) const
{
    const qsizetype nLine = FindKey(FindSection(strSection), strKey);
    QString strName;
    QString strValue;
    if (nLine < 0 || !SplitEntry(m_lines[nLine], &strName, &strValue))
        return strDefault;
    return strValue;
}

void CProfile::SetString(const QString& strSection, const QString& strKey, const QString& strValueIn)
{
    // A line break in a value would split the entry in two.
    QString strValue = strValueIn;
    strValue.replace(u'\r', u' ').replace(u'\n', u' ');
    const SRange range = FindSection(strSection);
    const qsizetype nLine = FindKey(range, strKey);
    if (nLine >= 0) {
        QString strName;
        SplitEntry(m_lines[nLine], &strName, nullptr);
        m_lines[nLine] = strName + u'=' + strValue;
        return;
    }
    const QString strEntry = strKey + u'=' + strValue;
    if (range.m_nHeader < 0) {
        if (!m_lines.isEmpty() && !m_lines.last().trimmed().isEmpty())
            m_lines.append(QString());
        m_lines.append(u'[' + strSection + u']');
        m_lines.append(strEntry);
        m_bFinalNewline = true;
        return;
    }
    // After the section's last entry, before any blank lines or comments
    // that separate it from the next section.
    qsizetype nInsert = range.m_nHeader + 1;
    QString strName;
    for (qsizetype i = range.m_nHeader + 1; i < range.m_nEnd; ++i) {
        if (SplitEntry(m_lines[i], &strName, nullptr))
            nInsert = i + 1;
    }
    m_lines.insert(nInsert, strEntry);
    if (nInsert == m_lines.size() - 1)
        m_bFinalNewline = true;
}

void CProfile::RemoveKey(const QString& strSection, const QString& strKey)
{
    const qsizetype nLine = FindKey(FindSection(strSection), strKey);
    if (nLine >= 0)
        m_lines.removeAt(nLine);
}

QStringList CProfile::Keys(const QString& strSection) const
{
    const SRange range = FindSection(strSection);
    QStringList keys;
    if (range.m_nHeader < 0)
        return keys;
    QString strName;
    for (qsizetype i = range.m_nHeader + 1; i < range.m_nEnd; ++i) {
        if (SplitEntry(m_lines[i], &strName, nullptr))
            keys.append(strName);
    }
    return keys;
}

QStringList CProfile::Sections() const
{
    QStringList sections;
    for (const QString& strLine : m_lines) {
        if (const QString strName = SectionName(strLine); !strName.isNull())
            sections.append(strName);
    }
    return sections;
}
