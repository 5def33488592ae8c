#pragma once

#include <QString>
#include <QStringList>

class CProfile;

// The recent-file list: at most nSize paths, newest first, kept in the
// profile's section [Recent File List] under File1, File2, ...
class CRecentFileList
{
public:
    explicit CRecentFileList(int nSize = 4);

    int Size() const { return m_nSize; }
    const QStringList& Files() const { return m_files; }

    // Puts the path at the top; an entry already in the list moves up.
    void Add(const QString& strPath);
    void Remove(const QString& strPath);

    void ReadList(const CProfile& profile);
    // Replaces the section's File1..FileN keys with the current list.
    void WriteList(CProfile& profile) const;

    static QString Section() { return QStringLiteral("Recent File List"); }
    static QString EntryKey(int nIndex) { return QStringLiteral("File%1").arg(nIndex + 1); }

private:
    int m_nSize;
    QStringList m_files;
};
