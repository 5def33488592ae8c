#pragma once

#include <QMainWindow>

#include <functional>

class CProfile;
class CRecentFileList;
class CTrafficWindow;
class CTrelvaneDoc;
class CTrelvaneView;
class QAction;
class QMenu;

// The main window: menu, caption, the main form as its only child, and the
// document commands New, Open, Save, Save As with the save question, the
// failure messages and the recent-file list.
class CMainFrame : public QMainWindow
{
    Q_OBJECT
public:
    // Command ids of the menu; each action carries its id as data.
    enum ECommand {
        ID_FILE_NEW = 57600,
        ID_FILE_OPEN = 57601,
        ID_FILE_SAVE = 57603,
        ID_FILE_SAVE_AS = 57604,
        ID_FILE_MRU_FILE1 = 57616,
        ID_APP_EXIT = 57665,
        ID_APP_ABOUT = 57664,
        ID_SETUP_INPUTSETUP = 32771,
        ID_SETUP_OUTPUTSETUP = 32772,
        ID_SETUP_STARTUPOPTION = 32773,
        ID_VIEW_TRAFFIC = 32780,
        ID_VIEW_TRACE_TO_FILE = 32781,
    };
    enum class EOpenResult { Opened, AlreadyOpen, Cancelled, Failed };

    CMainFrame(CTrelvaneDoc* pDoc, CRecentFileList* pRecent, CProfile* pProfile,
               QWidget* pParent = nullptr);
    ~CMainFrame() override;

    CTrelvaneView* View() const { return m_pView; }
    QAction* Command(int nId) const;

    // The file dialogs; tests put their own answers in.
    std::function<QString()> m_fnPromptOpenName;
    std::function<QString(const QString& strProposed)> m_fnPromptSaveName;
    // The file for the data trace; empty to cancel.
    std::function<QString()> m_fnPromptTraceName;

    CTrafficWindow* TrafficWindow() const { return m_pTraffic; }

    EOpenResult OpenDocumentFile(const QString& strName);
    // Asks "Save changes to %1?" for a modified document; false when the
    // action is to be abandoned (Cancel, or a failed save).
    bool SaveModified();
    bool DoFileSave();
    // Saves under strPath, or after asking for a name when it is empty.
    bool DoSave(const QString& strPath);
    // Makes the document untitled and shows it again (File New).
    void NewDocument();

public slots:
    void OnFileNew();
    void OnFileOpen();
    void OnFileSave();
    void OnFileSaveAs();
    void OnAppAbout();
    // Shows the window with the counters and the latest blocks.
    void OnViewTraffic();
    // Starts a data trace into a file the user picks, or stops it.
    void OnTraceToFile();
    void OnOpenRecentFile(int nIndex);
    // Opens the files one after another, each with its own save question.
    void OpenDroppedFiles(const QStringList& paths);

protected:
    void closeEvent(QCloseEvent* pEvent) override;
    void dragEnterEvent(QDragEnterEvent* pEvent) override;
    void dropEvent(QDropEvent* pEvent) override;

private:
    void CreateMenus();
    QAction* AddCommand(QMenu* pMenu, const QString& strText, int nId);
    void UpdateCaption();
    void UpdateRecentMenu();
    void AddToRecentFileList(const QString& strPath);
    void SaveRecentFileList();
    QString PromptOpenName();
    QString PromptSaveName(const QString& strProposed);

    CTrelvaneDoc* m_pDoc;
    CRecentFileList* m_pRecent;
    CProfile* m_pProfile;
    CTrelvaneView* m_pView = nullptr;
    QMenu* m_pFileMenu = nullptr;
    QAction* m_pRecentPlaceholder = nullptr;
    QList<QAction*> m_recentActions;
    CTrafficWindow* m_pTraffic = nullptr;
    QAction* m_pTraceToFile = nullptr;
    bool m_bCloseReady = false;
    bool m_bClosing = false;
};
