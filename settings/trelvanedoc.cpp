#include "trelvanedoc.h"

#include "setfile.h"

#include <QFileInfo>

CTrelvaneDoc::CTrelvaneDoc()
    : m_strTitle(DefaultTitle())
{
}

QString CTrelvaneDoc::DefaultTitle()
{
    return QStringLiteral("Tevrin");
}

bool CTrelvaneDoc::OnNewDocument()
{
    m_strPathName.clear();
    m_strTitle = DefaultTitle();
    m_bModified = false;
    return true;
}

bool CTrelvaneDoc::OnOpenDocument(const QString& strPath, QString* pstrError)
{
    SSetFields fields;
    if (!LoadSetFile(strPath, &fields, pstrError))
        return false;
    SetFields(fields);
    SetPathName(strPath);
    m_bModified = false;
    return true;
}

bool CTrelvaneDoc::OnSaveDocument(const QString& strPath, QString* pstrError)
{
    if (!SaveSetFile(strPath, GetFields(), pstrError))
        return false;
    SetPathName(strPath);
    m_bModified = false;
    return true;
}

void CTrelvaneDoc::SetPathName(const QString& strPath)
{
    m_strPathName = strPath;
    m_strTitle = QFileInfo(strPath).fileName();
}

SSetFields CTrelvaneDoc::GetFields() const
{
    SSetFields f;
    f.m_strInSetup = m_strInSetup;
    f.m_strInDll = m_strInDll;
    f.m_strOutSetup = m_strOutSetup;
    f.m_strOutDll = m_strOutDll;
    f.m_strInInitial = m_strInInitial;
    f.m_strOutInitial = m_strOutInitial;
    f.m_bNoInInitResponse = m_bNoInInitResponse;
    f.m_bNoOutInitResponse = m_bNoOutInitResponse;
    f.m_bDetectCarrier = m_bDetectCarrier;
    f.m_nOutStartup = m_nOutStartup;
    return f;
}

void CTrelvaneDoc::SetFields(const SSetFields& f)
{
    m_strInSetup = f.m_strInSetup;
    m_strInDll = f.m_strInDll;
    m_strOutSetup = f.m_strOutSetup;
    m_strOutDll = f.m_strOutDll;
    m_strInInitial = f.m_strInInitial;
    m_strOutInitial = f.m_strOutInitial;
    m_bNoInInitResponse = f.m_bNoInInitResponse;
    m_bNoOutInitResponse = f.m_bNoOutInitResponse;
    m_bDetectCarrier = f.m_bDetectCarrier;
    m_nOutStartup = f.m_nOutStartup;
}
