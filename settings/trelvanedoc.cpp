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
    return *this;
}

void CTrelvaneDoc::SetFields(const SSetFields& fields)
{
    static_cast<SSetFields&>(*this) = fields;
}
