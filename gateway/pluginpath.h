#pragma once

#include <QByteArray>
#include <QStringList>

// Where a plug-in name from the settings leads, decided by looking at files
// before anything is loaded; only the one file chosen is ever loaded.
//
// - A name with "/" is used as written (relative to the current folder if it
//   is relative: the operator wrote it so).
// - A Windows path ("C:\gw\x.dll", no "/") counts as its base name after the
//   last backslash.
// - A bare name is looked up in PluginDirs(), then along the system's library
//   search (CLibrarySearch); the current folder is never searched.
// - A name ending in ".dll" (any case) is also tried with ".so" in its place;
//   a name without any "." is also tried with ".so" appended.
// The first file that is a shared library of this process's kind wins.
class CPluginPath
{
public:
    struct SResolved
    {
        QByteArray m_strFile;        // the file to load; empty when none was found
        QStringList m_listSearched;  // every file looked at, in order, and
                                     // the loader cache when it was asked
        bool Found() const { return !m_strFile.isEmpty(); }
    };

    // Folders searched first, before the environment and the program's
    // folders; for hosts and tests. Relative folders are ignored.
    static void SetPluginDirs(const QStringList& listDirs);

    // The ordered plug-in folders for a bare name:
    //   1. the folders given to SetPluginDirs()
    //   2. the absolute folders of $TRELVANE_PLUGIN_PATH (":"-separated)
    //   3. <program folder>/plugins
    //   4. <program folder>/../plugins            (build tree)
    //   5. for a program in <root>/usr/bin only: the administrator's folder
    //      <root>/usr/local/lib/trelvane/plugins
    //   6. <program folder>/../<install plug-in folder>, normally
    //      lib/trelvane/plugins (installed program)
    static QStringList PluginDirs();

    // The file a name leads to, or every place that was searched.
    static SResolved Resolve(const QByteArray& strName);
};
