#pragma once

#include <QString>
#include <QStringList>

// The program's INI profile. Sections are literal names, spaces included
// ("[Recent File List]"); names of sections and keys compare without regard
// to case. Lines the program does not change (comments, unknown sections
// and keys, their order) are written back exactly as they were read.
class CProfile
{
public:
    explicit CProfile(const QString& strPath = DefaultPath());

    // $XDG_CONFIG_HOME/trelvane/trelvane.ini, or ~/.config/... without it.
    static QString DefaultPath();
    QString FilePath() const { return m_strPath; }

    // A missing file is an empty profile. False (and *pstrError says why)
    // for anything but a regular file, a file over 1 MiB and a read error.
    bool Load(QString* pstrError = nullptr);
    // Writes the file atomically, creating its folder when needed.
    bool Save(QString* pstrError = nullptr) const;

    QString GetString(const QString& strSection, const QString& strKey,
                      const QString& strDefault = QString()) const;
    void SetString(const QString& strSection, const QString& strKey, const QString& strValue);
    void RemoveKey(const QString& strSection, const QString& strKey);
    // The keys of a section in file order.
    QStringList Keys(const QString& strSection) const;
    // The names of the sections in file order, as written.
    QStringList Sections() const;

    // The whole text as it would be saved.
    QByteArray ToBytes() const;
    void FromBytes(const QByteArray& data);

private:
    struct SRange
    {
        qsizetype m_nHeader = -1;  // -1: no such section
        qsizetype m_nEnd = 0;      // one past the section's last line
    };
    SRange FindSection(const QString& strSection) const;
    qsizetype FindKey(const SRange& range, const QString& strKey) const;

    QString m_strPath;
    QStringList m_lines;
    bool m_bCrLf = false;
    bool m_bFinalNewline = true;
};
