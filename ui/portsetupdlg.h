#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>

class QLineEdit;
class QRadioButton;

// Edits the three settings of one port: setup string, transfer DLL name and
// initial string. The caller fills the members, runs DoModal() and reads the
// members back when it returns QDialog::Accepted; after Cancel they still
// hold what the caller put in. Opened from template 102.
class CPortSetupDlg : public QDialog
{
    Q_OBJECT
public:
    enum { IDD = 102 };

    explicit CPortSetupDlg(QWidget* pParent = nullptr);

    int DoModal() { return exec(); }

    QLineEdit* m_editSetup = nullptr; // 1009, read and replaced while open
    QByteArray m_strSetup;            // 1009
    QByteArray m_strDll;              // 1010
    QByteArray m_strInitial;          // 1012

    void setVisible(bool bVisible) override;
    void accept() override;

public slots:
    // Offers the default setup string of the checked port kind unless the
    // text already names that kind.
    void OnPortKindClicked();

private:
    void OnInitDialog();
    void SaveData();

    QRadioButton* m_pRadioSerial = nullptr;  // 1007
    QRadioButton* m_pRadioWinsock = nullptr; // 1008
    QLineEdit* m_pEditDll = nullptr;         // 1010
    QLineEdit* m_pEditInitial = nullptr;     // 1012
    // Texts the fields showed right after loading: a field whose text is
    // still the same keeps the caller's bytes.
    QString m_strShownSetup;
    QString m_strShownDll;
    QString m_strShownInitial;
};
