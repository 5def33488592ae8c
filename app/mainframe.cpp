#include "mainframe.h"

#include "aboutdlg.h"
#include "gateway.h"
#include "messagebox.h"
#include "profile.h"
#include "recentfilelist.h"
#include "shellnames.h"
#include "trafficwindow.h"
#include "trelvanedoc.h"
#include "trelvaneview.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenuBar>
#include <QMimeData>
#include <QUrl>

namespace {

const char* const kFilters = "Tevrin Files (*.set);;All Files (*.*)";

QStringList LocalFiles(const QMimeData* pData)
{
    QStringList paths;
    if (!pData || !pData->hasUrls())
        return paths;
    for (const QUrl& url : pData->urls()) {
        if (url.isLocalFile())
            paths << url.toLocalFile();
    }
    return paths;
}

} // namespace

CMainFrame::CMainFrame(CTrelvaneDoc* pDoc, CRecentFileList* pRecent, CProfile* pProfile,
                       QWidget* pParent)
    : QMainWindow(pParent)
    , m_pDoc(pDoc)
    , m_pRecent(pRecent)
    , m_pProfile(pProfile)
{
    m_pView = new CTrelvaneView(pDoc, this);
    setCentralWidget(m_pView);
    m_pTraffic = new CTrafficWindow(&m_pView->Gateway().Observer(), this);
    // A trace file that cannot be written is told as the gateway tells its
    // own troubles, once; the relay goes on.
    connect(m_pTraffic, &CTrafficWindow::fileTraceFailed, this, [this](const QString& strText) {
        m_pTraceToFile->setChecked(false);
        m_pView->ShowMessageBox(strText);
    });
    CreateMenus();
    UpdateRecentMenu();
    UpdateCaption();
    m_fnPromptOpenName = [this] { return PromptOpenName(); };
    // A Startup / Reset that ran instead of a waiting close stop means the
    // close did not happen: the next one asks its question again.
    connect(&m_pView->Gateway(), &CGateway::startupFinished, this, [this] { m_bClosing = false; });
    m_fnPromptSaveName = [this](const QString& strProposed) { return PromptSaveName(strProposed); };
    m_fnPromptTraceName = [this] {
        return QFileDialog::getSaveFileName(this, QStringLiteral("Trace to File"), QString(),
                                            QStringLiteral("Trace Files (*.txt);;All Files (*)"), nullptr,
                                            QFileDialog::DontConfirmOverwrite);
    };
}

void CMainFrame::OnViewTraffic()
{
    m_pTraffic->show();
    m_pTraffic->raise();
    m_pTraffic->activateWindow();
}

void CMainFrame::OnTraceToFile()
{
    if (m_pTraffic->IsFileTracing()) {
        m_pTraffic->StopFileTrace();
    } else {
        // Records are appended: an existing file keeps what it holds.
        const QString strPath = m_fnPromptTraceName();
        QString strError;
        if (!strPath.isEmpty() && !m_pTraffic->StartFileTrace(strPath, &strError))
            AppMessageBox(this, strError);
    }
    m_pTraceToFile->setChecked(m_pTraffic->IsFileTracing());
}

CMainFrame::~CMainFrame()
{
    // Before the view and its gateway, which the window's trace hooks into.
    delete m_pTraffic;
}

QAction* CMainFrame::AddCommand(QMenu* pMenu, const QString& strText, int nId)
{
    QAction* pAction = pMenu->addAction(strText);
    pAction->setData(nId);
    return pAction;
}

QAction* CMainFrame::Command(int nId) const
{
    // The first recent-file entry takes the place (and id) of the greyed
    // placeholder; the one shown wins.
    QAction* pFound = nullptr;
    for (QAction* pAction : findChildren<QAction*>()) {
        if (pAction->data().toInt() != nId)
            continue;
        if (pAction->isVisible())
            return pAction;
        if (!pFound)
            pFound = pAction;
    }
    return pFound;
}

void CMainFrame::CreateMenus()
{
    m_pFileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    QAction* pNew = AddCommand(m_pFileMenu, QStringLiteral("&New\tCtrl+N"), ID_FILE_NEW);
    pNew->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    connect(pNew, &QAction::triggered, this, &CMainFrame::OnFileNew);
    QAction* pOpen = AddCommand(m_pFileMenu, QStringLiteral("&Open...\tCtrl+O"), ID_FILE_OPEN);
    pOpen->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(pOpen, &QAction::triggered, this, &CMainFrame::OnFileOpen);
    QAction* pSave = AddCommand(m_pFileMenu, QStringLiteral("&Save\tCtrl+S"), ID_FILE_SAVE);
    pSave->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    connect(pSave, &QAction::triggered, this, &CMainFrame::OnFileSave);
    QAction* pSaveAs = AddCommand(m_pFileMenu, QStringLiteral("Save &As..."), ID_FILE_SAVE_AS);
    connect(pSaveAs, &QAction::triggered, this, &CMainFrame::OnFileSaveAs);
    m_pFileMenu->addSeparator();
    m_pRecentPlaceholder = AddCommand(m_pFileMenu, QStringLiteral("Recent File"), ID_FILE_MRU_FILE1);
    m_pRecentPlaceholder->setEnabled(false);
    for (int i = 0; i < m_pRecent->Size(); ++i) {
        auto* pAction = new QAction(this);
        pAction->setData(ID_FILE_MRU_FILE1 + i);
        connect(pAction, &QAction::triggered, this, [this, i] { OnOpenRecentFile(i); });
        m_recentActions << pAction;
    }
    m_pFileMenu->addActions(m_recentActions);
    m_pFileMenu->addSeparator();
    QAction* pExit = AddCommand(m_pFileMenu, QStringLiteral("E&xit"), ID_APP_EXIT);
    connect(pExit, &QAction::triggered, this, &QWidget::close);

    QMenu* pSetup = menuBar()->addMenu(QStringLiteral("&Setup"));
    connect(AddCommand(pSetup, QStringLiteral("&Input Setup"), ID_SETUP_INPUTSETUP),
            &QAction::triggered, m_pView, &CTrelvaneView::OnInputSetup);
    connect(AddCommand(pSetup, QStringLiteral("&Output Setup"), ID_SETUP_OUTPUTSETUP),
            &QAction::triggered, m_pView, &CTrelvaneView::OnOutputSetup);
    pSetup->addSeparator();
    // The document's own command; the form's button reaches the same one.
    connect(AddCommand(pSetup, QStringLiteral("S&tartup Option"), ID_SETUP_STARTUPOPTION),
            &QAction::triggered, m_pView, &CTrelvaneView::OnStartupOption);

    QMenu* pView = menuBar()->addMenu(QStringLiteral("&View"));
    connect(AddCommand(pView, QStringLiteral("&Traffic Window"), ID_VIEW_TRAFFIC), &QAction::triggered, this,
            &CMainFrame::OnViewTraffic);
    m_pTraceToFile = AddCommand(pView, QStringLiteral("Trace to &File..."), ID_VIEW_TRACE_TO_FILE);
    m_pTraceToFile->setCheckable(true);
    connect(m_pTraceToFile, &QAction::triggered, this, &CMainFrame::OnTraceToFile);

    QMenu* pHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    connect(AddCommand(pHelp, QStringLiteral("&About Trelvane..."), ID_APP_ABOUT),
            &QAction::triggered, this, &CMainFrame::OnAppAbout);
}

void CMainFrame::UpdateCaption()
{
    setWindowTitle(FrameCaption(m_pDoc->GetTitle(), AppTitle()));
}

void CMainFrame::UpdateRecentMenu()
{
    const QStringList& files = m_pRecent->Files();
    m_pRecentPlaceholder->setVisible(files.isEmpty());
    for (int i = 0; i < m_recentActions.size(); ++i) {
        QAction* pAction = m_recentActions[i];
        pAction->setVisible(i < files.size());
        if (i < files.size()) {
            QString strText = AbbreviatePath(files[i]);
            strText.replace(QLatin1Char('&'), QStringLiteral("&&"));
            pAction->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(strText));
            pAction->setToolTip(files[i]);
        }
    }
}

void CMainFrame::AddToRecentFileList(const QString& strPath)
{
    m_pRecent->Add(strPath);
    UpdateRecentMenu();
    SaveRecentFileList();
}

void CMainFrame::SaveRecentFileList()
{
    // Read the profile afresh so that what others wrote meanwhile stays.
    m_pProfile->Load();
    m_pRecent->WriteList(*m_pProfile);
    QString strError;
    if (!m_pProfile->Save(&strError))
        qWarning("Cannot write the profile: %s", qPrintable(strError));
}

// ---- document commands ---------------------------------------------------

void CMainFrame::NewDocument()
{
    m_pDoc->OnNewDocument();
    m_bClosing = false; // its stop replaces a close that was waiting
    m_pView->OnInitialUpdate();
    UpdateCaption();
}

void CMainFrame::OnFileNew()
{
    if (!SaveModified())
        return;
    NewDocument();
}

void CMainFrame::OnFileOpen()
{
    const QString strName = m_fnPromptOpenName ? m_fnPromptOpenName() : QString();
    if (!strName.isEmpty())
        OpenDocumentFile(strName);
}

CMainFrame::EOpenResult CMainFrame::OpenDocumentFile(const QString& strName)
{
    const QString strPath = OpenFileName(strName);
    if (strPath.isEmpty())
        return EOpenResult::Failed;
    if (!m_pDoc->GetPathName().isEmpty() && strPath == OpenFileName(m_pDoc->GetPathName())) {
        // Already open: only bring the window to the front.
        raise();
        activateWindow();
        return EOpenResult::AlreadyOpen;
    }
    if (!SaveModified())
        return EOpenResult::Cancelled;
    QString strError;
    if (!m_pDoc->OnOpenDocument(strPath, &strError)) {
        // The document keeps its settings, path, title and modified flag.
        AppMessageBox(this, strError);
        return EOpenResult::Failed;
    }
    AddToRecentFileList(strPath);
    m_bClosing = false; // its stop replaces a close that was waiting
    m_pView->OnInitialUpdate();
    UpdateCaption();
    return EOpenResult::Opened;
}

bool CMainFrame::SaveModified()
{
    if (!m_pDoc->IsModified())
        return true;
    const QString strName = m_pDoc->GetPathName().isEmpty()
                                ? m_pDoc->GetTitle()
                                : QFileInfo(m_pDoc->GetPathName()).fileName();
    switch (AppMessageBox(this, QStringLiteral("Save changes to %1?").arg(strName),
                          QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel)) {
    case QMessageBox::Yes:
        return DoFileSave();
    case QMessageBox::No:
        return true;
    default:
        return false;
    }
}

bool CMainFrame::DoFileSave()
{
    // A file that is gone, or that we may not write, is saved under a new name.
    const QString strPath = m_pDoc->GetPathName();
    const QFileInfo info(strPath);
    if (strPath.isEmpty() || !info.exists() || !info.isWritable())
        return DoSave(QString());
    return DoSave(strPath);
}

bool CMainFrame::DoSave(const QString& strPathIn)
{
    QString strPath = strPathIn;
    if (strPath.isEmpty()) {
        const QString strProposed = m_pDoc->GetPathName().isEmpty()
                                        ? ProposedSaveName(m_pDoc->GetTitle())
                                        : m_pDoc->GetPathName();
        strPath = m_fnPromptSaveName ? m_fnPromptSaveName(strProposed) : QString();
        if (strPath.isEmpty())
            return false;
        strPath = OpenFileName(strPath);
    }
    QString strError;
    // The file is written beside its target and renamed into place, so a
    // failed save leaves neither a partial file nor a damaged old one.
    if (!m_pDoc->OnSaveDocument(strPath, &strError)) {
        AppMessageBox(this, strError);
        return false;
    }
    AddToRecentFileList(strPath);
    UpdateCaption();
    return true;
}

void CMainFrame::OnFileSave()
{
    DoFileSave();
}

void CMainFrame::OnFileSaveAs()
{
    DoSave(QString());
}

void CMainFrame::OnAppAbout()
{
    CAboutDlg dlg(this);
    dlg.DoModal();
}

void CMainFrame::OnOpenRecentFile(int nIndex)
{
    if (nIndex < 0 || nIndex >= m_pRecent->Files().size())
        return;
    const QString strPath = m_pRecent->Files().at(nIndex);
    if (OpenDocumentFile(strPath) == EOpenResult::Failed) {
        m_pRecent->Remove(strPath);
        UpdateRecentMenu();
        SaveRecentFileList();
    }
}

void CMainFrame::OpenDroppedFiles(const QStringList& paths)
{
    activateWindow();
    raise();
    for (const QString& strPath : paths)
        OpenDocumentFile(strPath);
}

// ---- window events -------------------------------------------------------

void CMainFrame::closeEvent(QCloseEvent* pEvent)
{
    if (m_bCloseReady) {
        pEvent->accept();
        return;
    }
    pEvent->ignore();
    // The question is asked once per close, also when the close has to wait.
    if (!m_bClosing && !SaveModified())
        return;
    // Stop the gateway first; when an operation of it is under way the stop,
    // and the close after it, wait until that operation has unwound. A
    // repeated close asks for the stop again.
    m_bClosing = true;
    m_pView->StopBeforeClose([this] {
        m_bCloseReady = true;
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    });
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* pEvent)
{
    if (!LocalFiles(pEvent->mimeData()).isEmpty())
        pEvent->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* pEvent)
{
    const QStringList paths = LocalFiles(pEvent->mimeData());
    if (paths.isEmpty())
        return;
    pEvent->acceptProposedAction();
    // Open them once the drop has returned to its source.
    QMetaObject::invokeMethod(this, [this, paths] { OpenDroppedFiles(paths); }, Qt::QueuedConnection);
}

// ---- file dialogs --------------------------------------------------------

QString CMainFrame::PromptOpenName()
{
    QFileDialog dlg(this, QStringLiteral("Open"), QString(), QString::fromLatin1(kFilters));
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return QString();
    return dlg.selectedFiles().front();
}

QString CMainFrame::PromptSaveName(const QString& strProposed)
{
    QFileDialog dlg(this, QStringLiteral("Save As"), QString(), QString::fromLatin1(kFilters));
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setDefaultSuffix(QStringLiteral("set"));
    dlg.selectFile(strProposed);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return QString();
    return dlg.selectedFiles().front();
}
