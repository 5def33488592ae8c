#pragma once

#include "setfields.h"

#include <QByteArray>
#include <QString>

// The gateway settings: one document for the whole run. Strings are kept as
// the bytes the user typed or the file held; readers use the fields directly
// and read them afresh at each use.
// The ten fields (m_strInSetup ... m_nOutStartup) are the public members of
// SSetFields, with their initial values there.
class CTrelvaneDoc : public SSetFields
{
public:
    CTrelvaneDoc();

    // File New: the document becomes untitled and unmodified; the settings
    // stay as they are.
    bool OnNewDocument();
    // Reads the file into the document. On failure the document is left
    // exactly as it was and *pstrError holds the message to show.
    bool OnOpenDocument(const QString& strPath, QString* pstrError);
    // Writes the document to the file; on success the document takes the
    // file as its path and is no longer modified. On failure nothing changes.
    bool OnSaveDocument(const QString& strPath, QString* pstrError);

    // The path of the document's file, empty for an untitled document.
    QString GetPathName() const { return m_strPathName; }
    // Binds the document to a file; the title becomes the file's name.
    void SetPathName(const QString& strPath);
    QString GetTitle() const { return m_strTitle; }
    void SetTitle(const QString& strTitle) { m_strTitle = strTitle; }
    bool IsModified() const { return m_bModified; }
    void SetModifiedFlag(bool bModified = true) { m_bModified = bModified; }

    // The ten fields as one record, and back.
    SSetFields GetFields() const;
    void SetFields(const SSetFields& fields);

    // Title of a document that has no file.
    static QString DefaultTitle();

private:
    QString m_strPathName;
    QString m_strTitle;
    bool m_bModified = false;
};
