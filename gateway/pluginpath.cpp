#include "pluginpath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#ifndef TRELVANE_PLUGIN_INSTALL_DIR
#define TRELVANE_PLUGIN_INSTALL_DIR "lib/trelvane/plugins"
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
        AddAbsolute(listDirs, strApp + QStringLiteral("/../") + QStringLiteral(TRELVANE_PLUGIN_INSTALL_DIR));
    }
    return listDirs;
}

QList<QByteArray> CPluginPath::Candidates(const QByteArray& strName)
{
    if (strName.contains('/'))
        return Variants(strName);

    const QByteArray strBase = strName.mid(strName.lastIndexOf('\\') + 1);
    if (strBase.isEmpty() || strBase == "." || strBase == "..")
        return {};
    const QList<QByteArray> listVariants = Variants(strBase);
    QList<QByteArray> listFiles;
    for (const QString& strDir : PluginDirs()) {
        const QByteArray strPrefix = QFile::encodeName(strDir) + '/';
        for (const QByteArray& strVariant : listVariants)
            listFiles.append(strPrefix + strVariant);
    }
    // Without a "/" dlopen searches only LD_LIBRARY_PATH, the run paths, the
    // loader cache and the system folders.
    listFiles.append(listVariants);
    return listFiles;
}
