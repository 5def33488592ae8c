#pragma once

#include "profile.h"
#include "recentfilelist.h"
#include "trelvanedoc.h"

#include <QStringList>

#include <memory>

class CMainFrame;

// The application: the start-up sequence, and the document, profile,
// recent-file list and main window it creates, which live for the whole run.
class CTrelvaneApp
{
public:
    // args as the program received them, the program's own name first.
    explicit CTrelvaneApp(const QStringList& args, const QString& strProfilePath = CProfile::DefaultPath());
    ~CTrelvaneApp();

    // Runs the start-up steps; false when the program is to end at once.
    // The main window is created but not shown.
    bool InitInstance();

    CMainFrame* MainFrame() const { return m_pMainFrame.get(); }
    CTrelvaneDoc& Document() { return m_doc; }
    CRecentFileList& RecentFileList() { return m_recent; }
    CProfile& Profile() { return m_profile; }

private:
    QStringList m_args;
    CProfile m_profile;
    CRecentFileList m_recent {4};
    CTrelvaneDoc m_doc;
    std::unique_ptr<CMainFrame> m_pMainFrame;
};

// The command line as the program received it, decoded as Qt decodes its
// own arguments.
QStringList ProgramArguments(int argc, char* argv[]);

// The program's icon, drawn so that no image plug-in is needed.
class QIcon;
QIcon AppIcon();
