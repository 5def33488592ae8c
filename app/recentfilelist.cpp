#include "recentfilelist.h"

#include "profile.h"

CRecentFileList::CRecentFileList(int nSize)
    : m_nSize(nSize)
{
}

void CRecentFileList::Add(const QString& strPath)
{
    if (strPath.isEmpty())
        return;
    m_files.removeAll(strPath);
    m_files.prepend(strPath);
    while (m_files.size() > m_nSize)
        m_files.removeLast();
}

void CRecentFileList::Remove(const QString& strPath)
{
    m_files.removeAll(strPath);
}

void CRecentFileList::ReadList(const CProfile& profile)
{
    m_files.clear();
    for (int i = 0; i < m_nSize; ++i) {
        const QString strPath = profile.GetString(Section(), EntryKey(i));
        if (!strPath.isEmpty() && !m_files.contains(strPath))
            m_files.append(strPath);
    }
}

void CRecentFileList::WriteList(CProfile& profile) const
{
    for (int i = 0; i < m_nSize; ++i) {
        if (i < m_files.size())
            profile.SetString(Section(), EntryKey(i), m_files[i]);
        else
            profile.RemoveKey(Section(), EntryKey(i));
    }
}
