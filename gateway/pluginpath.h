#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>

// Maps a plug-in name from the settings to the files to try, in order.
//
// - A name with "/" is used as written (relative to the current folder if it
//   is relative: the operator wrote it so).
// - A Windows path ("C:\gw\x.dll", no "/") counts as its base name after the
//   last backslash.
// - A bare name is looked up in PluginDirs(), then by the system's library
//   search (dlopen without a folder); the current folder is never searched.
// - A name ending in ".dll" (any case) is also tried with ".so" in its place;
//   a name without any "." is also tried with ".so" appended.
class CPluginPath
{
public:
    // Folders searched first, before the environment and the program's
    // folders; for hosts and tests. Relative folders are ignored.
    static void SetPluginDirs(const QStringList& listDirs);

    // The ordered plug-in folders for a bare name:
    //   1. the folders given to SetPluginDirs()
    //   2. the absolute folders of $TRELVANE_PLUGIN_PATH (":"-separated)
    //   3. <program folder>/plugins
    //   4. <program folder>/../plugins            (build tree)
    //   5. <program folder>/../<install plug-in folder>, normally
    //      lib/trelvane/plugins (installed program)
    static QStringList PluginDirs();

    // Every file name to hand to the loader, in order. Entries without "/"
    // are left to the system's library search.
    static QList<QByteArray> Candidates(const QByteArray& strName);
};
