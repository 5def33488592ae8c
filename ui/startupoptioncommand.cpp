#include "startupoptioncommand.h"

#include "startupoptiondlg.h"
#include "trelvanedoc.h"

bool OnStartupOption(CTrelvaneDoc& doc, QWidget* pParent,
                     const std::function<void()>& setModified)
{
    CStartupOptionDlg dlg(pParent);
    dlg.m_bNoInInitResponse = doc.m_bNoInInitResponse;
    dlg.m_bNoOutInitResponse = doc.m_bNoOutInitResponse;
    dlg.m_bDetectCarrier = doc.m_bDetectCarrier;
    dlg.m_nOutStartup = doc.m_nOutStartup;
    if (dlg.DoModal() != QDialog::Accepted)
        return false;
    doc.m_bNoInInitResponse = dlg.m_bNoInInitResponse;
    doc.m_bNoOutInitResponse = dlg.m_bNoOutInitResponse;
    doc.m_bDetectCarrier = dlg.m_bDetectCarrier;
    doc.m_nOutStartup = dlg.m_nOutStartup;
    if (setModified)
        setModified(); // doc.SetModifiedFlag()
    return true;
}
