#pragma once

#include <QDialog>

// The About box: program icon and version line. Opened from template 100.
class CAboutDlg : public QDialog
{
    Q_OBJECT
public:
    enum { IDD = 100 };

    explicit CAboutDlg(QWidget* pParent = nullptr);

    int DoModal() { return exec(); }
};
