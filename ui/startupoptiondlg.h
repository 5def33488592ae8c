#pragma once

#include <QDialog>

class QCheckBox;
class QRadioButton;

// Edits the four startup options. The caller sets the members, runs
// DoModal() and reads them back when it returns QDialog::Accepted.
// Opened from template 103.
class CStartupOptionDlg : public QDialog
{
    Q_OBJECT
public:
    enum { IDD = 103 };

    explicit CStartupOptionDlg(QWidget* pParent = nullptr);

    int DoModal() { return exec(); }

    qint32 m_bNoInInitResponse = 0;  // check box 1016
    qint32 m_bNoOutInitResponse = 0; // check box 1017
    qint32 m_bDetectCarrier = 0;     // check box 1019
    // Id of the checked radio button, 1007 or 1008; 0 when neither is.
    qint32 m_nOutStartup = 0;

    void setVisible(bool bVisible) override;
    void accept() override;

private:
    void OnInitDialog();
    void SaveData();

    QCheckBox* m_pCheckInResponse = nullptr;  // 1016
    QCheckBox* m_pCheckOutResponse = nullptr; // 1017
    QCheckBox* m_pCheckCarrier = nullptr;     // 1019
    QRadioButton* m_pRadioWithInput = nullptr; // 1007
    QRadioButton* m_pRadioOnData = nullptr;    // 1008
};
