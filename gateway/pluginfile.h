#pragma once

#include <QString>
#include <QStringList>

// What a plug-in file is, read from its ELF headers and dynamic symbol
// table without loading it: loading runs the file's own code (its
// constructors), which a check of a settings file someone sent must not do.
struct SPluginFile
{
    QString m_strProblem;       // why the loader would refuse it; empty when it would take it
    QStringList m_listExports;  // the Dll* functions it exports, DllInit, DllTransfer,
                                // DllAfterSend, DllQuit first
    bool m_bSymbolsRead = false; // false when it has no symbol table to read
};

SPluginFile InspectPluginFile(const QString& strFile);
