#include "trelvaneview.h"

#include "dialogunits.h"
#include "gateway.h"
#include "messagebox.h"
#include "portsetupdlg.h"
#include "profile.h"
#include "startupoptioncommand.h"
#include "textcodec.h"
#include "tlsprofile.h"
#include "trelvanedoc.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace {

using K = EDlgItemKind;

const SDlgItem kViewItems[] = {
    {1000, K::PushButton, "Input Setup", {197, 41, 57, 15}, true},
    {1001, K::PushButton, "Output Setup", {197, 59, 57, 15}, true},
    {1011, K::DefPushButton, "Startup / Reset", {197, 7, 57, 31}, true},
    {-1, K::GroupBox, "Input", {6, 3, 187, 73}, false},
    {-1, K::GroupBox, "Output", {6, 80, 187, 73}, false},
    {1002, K::Edit, "", {10, 30, 179, 12}, true},
    {-1, K::Static, "Configure:", {12, 19, 55, 10}, false},
    {-1, K::Static, "IN-->OUT Transfer DLL:", {9, 50, 78, 8}, false},
    {1003, K::Edit, "", {12, 60, 81, 12}, true},
    {1004, K::Edit, "", {12, 106, 176, 12}, true},
    {-1, K::Static, "Configure:", {12, 95, 55, 10}, false},
    {-1, K::Static, "OUT-->IN Transfer DLL:", {11, 126, 78, 8}, false},
    {1005, K::Edit, "", {12, 138, 80, 12}, true},
    {-1, K::Static, "Status:", {96, 49, 37, 8}, false},
    {1006, K::Edit, "", {97, 60, 89, 12}, true},
    {-1, K::Static, "Status:", {96, 126, 38, 8}, false},
    {1007, K::Edit, "", {97, 138, 89, 12}, true},
    {1013, K::ListBox, "", {6, 166, 187, 28}, true},
    {-1, K::Static, "Message:", {6, 155, 36, 9}, false},
    {1018, K::PushButton, "Startup Option", {197, 77, 57, 15}, true},
};

const SDlgTemplate kViewTemplate = {"", {289, 201}, kViewItems};

// Shows a setting from its start, as an edit control does after SetWindowText.
void ShowSetting(QLineEdit* pEdit, const QByteArray& strBytes)
{
    pEdit->setText(DisplayText(strBytes));
    pEdit->setCursorPosition(0);
}

} // namespace

CTrelvaneView::CTrelvaneView(CTrelvaneDoc* pDoc, QWidget* pParent)
    : QWidget(pParent)
    , m_pDoc(pDoc)
{
    const CDialogUnits units = BuildForm(this, kViewTemplate);
    m_sizeForm = units.ToPixels(kViewTemplate.sizeUnits);
    setMinimumSize(m_sizeForm);

    const auto edit = [this](int nId) { return static_cast<QLineEdit*>(DialogItem(this, nId)); };
    const auto button = [this](int nId) { return static_cast<QPushButton*>(DialogItem(this, nId)); };
    m_listMessage = static_cast<QListWidget*>(DialogItem(this, 1013));
    m_editOutDll = edit(1005);
    m_editInDll = edit(1003);
    m_editOutConfig = edit(1004);
    m_editInConfig = edit(1002);
    m_editInStatus = edit(1006);
    m_editOutStatus = edit(1007);
    m_pDefaultButton = button(1011);
    for (QLineEdit* pEdit : {m_editInConfig, m_editInDll, m_editOutConfig, m_editOutDll}) {
        // Read-only edits sit on the form's grey, as the platform draws them.
        pEdit->setReadOnly(true);
        QPalette pal = pEdit->palette();
        pal.setColor(QPalette::Base, pal.color(QPalette::Window));
        pEdit->setPalette(pal);
    }
    m_rcList = m_listMessage->geometry();

    connect(button(1000), &QPushButton::clicked, this, &CTrelvaneView::OnInputSetup);
    connect(button(1001), &QPushButton::clicked, this, &CTrelvaneView::OnOutputSetup);
    connect(button(1011), &QPushButton::clicked, this, &CTrelvaneView::OnStartupReset);
    connect(button(1018), &QPushButton::clicked, this, &CTrelvaneView::OnStartupOption);

    m_pGateway = std::make_unique<CGateway>(m_pDoc, this);
    CMessageLog& log = m_pGateway->MessageLog();
    for (const QString& strLine : log.Lines())
        m_listMessage->addItem(strLine);
    connect(&log, &CMessageLog::lineAdded, this, &CTrelvaneView::OnLineAdded);
    connect(&log, &CMessageLog::cleared, m_listMessage, &QListWidget::clear);
}

CTrelvaneView::~CTrelvaneView()
{
    // The form's controls are about to go: stop without touching them.
    m_pGateway->StopGateway(false);
    m_pGateway.reset();
}

void CTrelvaneView::LoadSerialPortMap(const CProfile& profile)
{
    const QString strSection = QStringLiteral("Serial Ports");
    QMap<QByteArray, QString> map;
    for (const QString& strKey : profile.Keys(strSection))
        map.insert(strKey.toUtf8(), profile.GetString(strSection, strKey));
    m_pGateway->SetSerialPortMap(map);
    m_pGateway->SetTlsProfile(CTlsProfile(profile));
}

void CTrelvaneView::OnInitialUpdate()
{
    ShowSetting(m_editInDll, m_pDoc->m_strInDll);
    ShowSetting(m_editOutDll, m_pDoc->m_strOutDll);
    ShowSetting(m_editInConfig, m_pDoc->m_strInSetup);
    ShowSetting(m_editOutConfig, m_pDoc->m_strOutSetup);
    // Runs at once, or after a gateway operation under way has unwound.
    m_pGateway->RequestStop(true);
}

void CTrelvaneView::StopBeforeClose(std::function<void()> fnThen)
{
    m_pGateway->RequestStop(false, std::move(fnThen));
}

void CTrelvaneView::OnInputSetup()
{
    OnPortSetup(true);
}

void CTrelvaneView::OnOutputSetup()
{
    OnPortSetup(false);
}

void CTrelvaneView::OnPortSetup(bool bInput)
{
    QByteArray& strSetup = bInput ? m_pDoc->m_strInSetup : m_pDoc->m_strOutSetup;
    QByteArray& strDll = bInput ? m_pDoc->m_strInDll : m_pDoc->m_strOutDll;
    QByteArray& strInitial = bInput ? m_pDoc->m_strInInitial : m_pDoc->m_strOutInitial;

    CPortSetupDlg dlg(this);
    dlg.m_strSetup = strSetup;
    dlg.m_strDll = strDll;
    dlg.m_strInitial = strInitial;
    if (dlg.DoModal() != QDialog::Accepted)
        return;
    strSetup = dlg.m_strSetup;
    strDll = dlg.m_strDll;
    strInitial = dlg.m_strInitial;
    ShowSetting(bInput ? m_editInConfig : m_editOutConfig, strSetup);
    ShowSetting(bInput ? m_editInDll : m_editOutDll, strDll);
    m_pDoc->SetModifiedFlag(true);
    emit documentModified();
}

void CTrelvaneView::OnStartupOption()
{
    ::OnStartupOption(*m_pDoc, this, [this] {
        m_pDoc->SetModifiedFlag(true);
        emit documentModified();
    });
}

void CTrelvaneView::OnStartupReset()
{
    // Runs at once, or after a gateway operation under way has unwound.
    m_pGateway->RequestStartupReset();
}

void CTrelvaneView::SetStatusText(bool bInput, const QString& strText)
{
    QLineEdit* pEdit = bInput ? m_editInStatus : m_editOutStatus;
    pEdit->setText(strText);
    pEdit->setCursorPosition(0);
}

void CTrelvaneView::ShowMessageBox(const QString& strText)
{
    // Never waits: a restart, a Startup / Reset, a file load or the exit
    // goes on while the box is open.
    ShowAppMessage(this, strText);
}

void CTrelvaneView::Beep()
{
    QApplication::beep();
}

void CTrelvaneView::OnLineAdded(const QString& strLine)
{
    m_listMessage->addItem(strLine);
    m_listMessage->scrollToBottom();
}

void CTrelvaneView::resizeEvent(QResizeEvent* pEvent)
{
    QWidget::resizeEvent(pEvent);
    // The Message list takes whatever the window grows beyond the template.
    const QSize sizeExtra = (size() - m_sizeForm).expandedTo(QSize(0, 0));
    m_listMessage->setGeometry(m_rcList.adjusted(0, 0, sizeExtra.width(), sizeExtra.height()));
}

void CTrelvaneView::keyPressEvent(QKeyEvent* pEvent)
{
    // Enter presses the focused push button, else the default one, as in a
    // dialog.
    if (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) {
        auto* pButton = qobject_cast<QPushButton*>(focusWidget());
        (pButton ? pButton : m_pDefaultButton)->click();
        return;
    }
    QWidget::keyPressEvent(pEvent);
}
