#include "tlscontextstore.h"

#include <QFile>

#include <sys/stat.h>

namespace {

// Everything the configuration says, the role included.
QByteArray ConfigKey(const STlsConfig& config, CTlsContext::ERole eRole)
{
    QByteArray strKey = QByteArray::number(int(eRole)) + '\0' + config.strSection.toUtf8() + '\0'
                      + QFile::encodeName(config.strCertificate) + '\0' + QFile::encodeName(config.strKey) + '\0'
                      + QFile::encodeName(config.strCa) + '\0' + (config.bCaAdd ? '1' : '0')
                      + (config.bRequireClientCertificate ? '1' : '0') + config.strProblem.toUtf8() + '\0';
    for (const STlsSubject& subject : config.allowSubjects)
        strKey += QByteArray::number(subject.nNid) + (subject.bPrefix ? '*' : '=') + subject.strValue + '\0';
    return strKey;
}

// The state of the files on disk (a link followed to its file, as a
// certificate manager's links are).
QByteArray FilesState(const STlsConfig& config)
{
    QByteArray strState;
    for (const QString& strPath : {config.strCertificate, config.strKey, config.strCa}) {
        struct stat info {};
        if (strPath.isEmpty() || ::stat(QFile::encodeName(strPath).constData(), &info) != 0) {
            strState += "-;";
            continue;
        }
        strState += QByteArray::number(qulonglong(info.st_ino)) + ',' + QByteArray::number(qlonglong(info.st_size))
                  + ',' + QByteArray::number(qlonglong(info.st_mtim.tv_sec)) + '.'
                  + QByteArray::number(qlonglong(info.st_mtim.tv_nsec)) + ','
                  + QByteArray::number(qlonglong(info.st_ctim.tv_sec)) + '.'
                  + QByteArray::number(qlonglong(info.st_ctim.tv_nsec)) + ';';
    }
    return strState;
}

} // namespace

CTlsContextStore::SResult CTlsContextStore::Get(const STlsConfig& config, CTlsContext::ERole eRole)
{
    SResult result;
    const QByteArray strKey = ConfigKey(config, eRole);
    const QByteArray strFiles = FilesState(config);
    auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const SEntry& e) { return e.strKey == strKey; });
    if (it != m_entries.end() && it->pContext && (it->strFiles == strFiles || it->strFailedFiles == strFiles)) {
        result.pContext = it->pContext;
        return result;
    }
    result.pContext = CTlsContext::Create(config, eRole, &result.strError);
    if (it == m_entries.end()) {
        if (!result.pContext)
            return result;
        m_entries.push_back({strKey, strFiles, QByteArray(), result.pContext});
        result.bMade = true;
        return result;
    }
    if (result.pContext) {
        result.bMade = true;
        result.bRenewed = it->pContext != nullptr;
        it->pContext = result.pContext;
        it->strFiles = strFiles;
        it->strFailedFiles.clear();
        return result;
    }
    if (!it->pContext)
        return result;
    it->strFailedFiles = strFiles;
    result.strKept = std::exchange(result.strError, QByteArray());
    result.pContext = it->pContext;
    return result;
}
