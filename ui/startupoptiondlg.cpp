#include "startupoptiondlg.h"

#include "dialogunits.h"

#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>

namespace {

using K = EDlgItemKind;

const SDlgItem kStartupOptionItems[] = {
    {1, K::DefPushButton, "OK", {193, 9, 50, 14}, true},
    {2, K::PushButton, "Cancel", {193, 25, 50, 14}, true},
    {-1, K::GroupBox, "About Output Port Startup", {3, 4, 186, 47}, false},
    {1007, K::RadioButton, "Output Startup with Input", {7, 21, 96, 10}, false},
    {1008, K::RadioButton, "Output Startup When First Receive Data from Input", {7, 34, 181, 15},
     false},
    {1016, K::CheckBox, "Don't Send Response of Input Initial String to Output", {3, 55, 202, 12},
     true},
    {1017, K::CheckBox, "Don't Send Response of Output Initial String to Input", {3, 69, 208, 14},
     true},
    {1019, K::CheckBox, "Detect Carrier", {3, 85, 178, 13}, true},
};

const SDlgTemplate kStartupOptionTemplate = {"Startup Option Dialog", {245, 102}, kStartupOptionItems};

} // namespace

CStartupOptionDlg::CStartupOptionDlg(QWidget* pParent)
    : QDialog(pParent)
{
    BuildDialog(this, kStartupOptionTemplate);
    m_pCheckInResponse = static_cast<QCheckBox*>(DialogItem(this, 1016));
    m_pCheckOutResponse = static_cast<QCheckBox*>(DialogItem(this, 1017));
    m_pCheckCarrier = static_cast<QCheckBox*>(DialogItem(this, 1019));
    m_pRadioWithInput = static_cast<QRadioButton*>(DialogItem(this, 1007));
    m_pRadioOnData = static_cast<QRadioButton*>(DialogItem(this, 1008));
    connect(static_cast<QPushButton*>(DialogItem(this, 1)), &QPushButton::clicked, this,
            &CStartupOptionDlg::accept);
    connect(static_cast<QPushButton*>(DialogItem(this, 2)), &QPushButton::clicked, this,
            &CStartupOptionDlg::reject);
}

void CStartupOptionDlg::setVisible(bool bVisible)
{
    if (bVisible && !isVisible())
        OnInitDialog();
    QDialog::setVisible(bVisible);
}

void CStartupOptionDlg::OnInitDialog()
{
    // Any non-zero option is in force, so it shows as checked.
    m_pCheckInResponse->setChecked(m_bNoInInitResponse != 0);
    m_pCheckOutResponse->setChecked(m_bNoOutInitResponse != 0);
    m_pCheckCarrier->setChecked(m_bDetectCarrier != 0);
    // Check the button whose id is stored; any other value checks neither.
    for (QRadioButton* pRadio : {m_pRadioWithInput, m_pRadioOnData}) {
        pRadio->setAutoExclusive(false);
        pRadio->setChecked(pRadio->objectName() == DialogItemName(m_nOutStartup));
        pRadio->setAutoExclusive(true);
    }
    DialogItem(this, 1)->setFocus();
}

void CStartupOptionDlg::SaveData()
{
    m_bNoInInitResponse = m_pCheckInResponse->isChecked() ? 1 : 0;
    m_bNoOutInitResponse = m_pCheckOutResponse->isChecked() ? 1 : 0;
    m_bDetectCarrier = m_pCheckCarrier->isChecked() ? 1 : 0;
    if (m_pRadioWithInput->isChecked())
        m_nOutStartup = 1007;
    else if (m_pRadioOnData->isChecked())
        m_nOutStartup = 1008;
    else
        m_nOutStartup = 0;
}

void CStartupOptionDlg::accept()
{
    SaveData();
    QDialog::accept();
}
