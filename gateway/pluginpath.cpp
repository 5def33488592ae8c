#include "pluginpath.h"

#include "librarysearch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#ifndef TRELVANE_PLUGIN_INSTALL_DIR
#define TRELVANE_PLUGIN_INSTALL_DIR "lib/trelvane/plugins"
#endif
#ifndef TRELVANE_LOCAL_PLUGIN_DIR
#define TRELVANE_LOCAL_PLUGIN_DIR "local/lib/trelvane/plugins"
#endif

namespace {

QStringList g_listPluginDirs;

void AddAbsolute(QStringList& listDirs, const QString& strDir)
{
    if (!strDir.isEmpty() && QDir::isAbsolutePath(strDir)) {
        const QString strClean = QDir::cleanPath(strDir);
        if (!listDirs.contains(strClean))
            listDirs.append(strClean);
    }
}

// The name as written, then the ".so" forms of a Windows-style name.
QList<QByteArray> Variants(const QByteArray& strName)
{
    QList<QByteArray> list{strName};
    if (strName.size() > 4 && strName.right(4).toLower() == ".dll")
        list.append(strName.chopped(4) + ".so");
    const int nSlash = strName.lastIndexOf('/');
    if (strName.indexOf('.', nSlash + 1) < 0)
        list.append(strName + ".so");
    return list;
}

// Looks at one file; true (and the result filled in) when it is the one.
bool Try(const QString& strFile, CPluginPath::SResolved* pResult)
{
    pResult->m_listSearched.append(strFile);
    if (!CLibrarySearch::IsLoadable(strFile))
        return false;
    pResult->m_strFile = QFile::encodeName(strFile);
    return true;
}

bool TryFolders(const QStringList& listFolders, const QList<QByteArray>& listVariants,
                CPluginPath::SResolved* pResult)
{
    for (const QString& strFolder : listFolders) {
        for (const QByteArray& strVariant : listVariants) {
            if (Try(strFolder + u'/' + QFile::decodeName(strVariant), pResult))
                return true;
        }
    }
    return false;
}

} // namespace

void CPluginPath::SetPluginDirs(const QStringList& listDirs)
{
    g_listPluginDirs = listDirs;
}

QStringList CPluginPath::PluginDirs()
{
    QStringList listDirs;
    for (const QString& strDir : std::as_const(g_listPluginDirs))
        AddAbsolute(listDirs, strDir);
    const QString strEnv = qEnvironmentVariable("TRELVANE_PLUGIN_PATH");
    for (const QString& strDir : strEnv.split(u':', Qt::SkipEmptyParts))
        AddAbsolute(listDirs, strDir);
    if (QCoreApplication::instance()) {
        const QString strApp = QCoreApplication::applicationDirPath();
        AddAbsolute(listDirs, strApp + QStringLiteral("/plugins"));
        AddAbsolute(listDirs, strApp + QStringLiteral("/../plugins"));
        // A program in <root>/usr/bin (the Debian packages) first looks in the
        // administrator's folder below <root>/usr/local, which no package owns.
        const QDir dirApp(QDir::cleanPath(strApp));
        QDir dirPrefix(dirApp);
        if (dirApp.dirName() == QLatin1String("bin") && dirPrefix.cdUp() && dirPrefix.dirName() == QLatin1String("usr"))
            AddAbsolute(listDirs, dirPrefix.path() + u'/' + QStringLiteral(TRELVANE_LOCAL_PLUGIN_DIR));
        AddAbsolute(listDirs, strApp + QStringLiteral("/../") + QStringLiteral(TRELVANE_PLUGIN_INSTALL_DIR));
    }
    return listDirs;
}

CPluginPath::SResolved CPluginPath::Resolve(const QByteArray& strName)
{
    SResolved result;
    if (strName.isEmpty() || strName.contains('\0'))
        return result;
    if (strName.contains('/')) {
        for (const QByteArray& strVariant : Variants(strName)) {
            if (Try(QFile::decodeName(strVariant), &result))
                break;
        }
        return result;
    }

    const QByteArray strBase = strName.mid(strName.lastIndexOf('\\') + 1);
    if (strBase.isEmpty() || strBase == "." || strBase == "..")
        return result;
    const QList<QByteArray> listVariants = Variants(strBase);
    if (TryFolders(PluginDirs(), listVariants, &result) || TryFolders(CLibrarySearch::Folders(), listVariants, &result))
        return result;
    // The loader cache lists libraries of further folders (ld.so.conf).
    result.m_listSearched.append(CLibrarySearch::CacheFile());
    for (const QByteArray& strVariant : listVariants) {
        for (const QString& strFile : CLibrarySearch::CacheFiles(strVariant)) {
            if (CLibrarySearch::IsLoadable(strFile)) {
                result.m_strFile = QFile::encodeName(strFile);
                return result;
            }
        }
    }
    return result;
}
