#pragma once

#include "gatewayhost.h"

#include <QRect>
#include <QSize>
#include <QWidget>

#include <functional>
#include <memory>

class CGateway;
class CProfile;
class CTrelvaneDoc;
class QLineEdit;
class QListWidget;
class QPushButton;

// The main form: shows the settings of the document, opens the setup
// dialogs, carries the two status fields and the Message list, and owns
// the gateway, for which it is the host. Built from template 101.
class CTrelvaneView : public QWidget, public IGatewayHost
{
    Q_OBJECT
public:
    enum { IDD = 101 };

    explicit CTrelvaneView(CTrelvaneDoc* pDoc, QWidget* pParent = nullptr);
    ~CTrelvaneView() override;

    CTrelvaneDoc* GetDocument() const { return m_pDoc; }
    CGateway& Gateway() { return *m_pGateway; }

    // Takes the COMn device map of the profile's [Serial Ports] section and
    // the certificate files of its [TLS] section.
    void LoadSerialPortMap(const CProfile& profile);

    // Shows the document's settings and stops the gateway, clearing both
    // status fields; after New, Open and at start-up.
    void OnInitialUpdate();
    // Stops the gateway before the window closes; fnThen runs once it has
    // stopped, which may be later when a gateway operation is under way.
    void StopBeforeClose(std::function<void()> fnThen);

    QSize sizeHint() const override { return m_sizeForm; }

    // IGatewayHost
    void SetStatusText(bool bInput, const QString& strText) override;
    void ShowMessageBox(const QString& strText) override;
    void Beep() override;

signals:
    // Input Setup, Output Setup or Startup Option ended with OK.
    void documentModified();

public slots:
    void OnInputSetup();
    void OnOutputSetup();
    void OnStartupOption();
    void OnStartupReset();

protected:
    void resizeEvent(QResizeEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    void OnPortSetup(bool bInput);
    void OnLineAdded(const QString& strLine);

    QListWidget* m_listMessage = nullptr; // 1013
    QLineEdit* m_editOutDll = nullptr;    // 1005
    QLineEdit* m_editInDll = nullptr;     // 1003
    QLineEdit* m_editOutConfig = nullptr; // 1004
    QLineEdit* m_editInConfig = nullptr;  // 1002
    QLineEdit* m_editInStatus = nullptr;  // 1006
    QLineEdit* m_editOutStatus = nullptr; // 1007
    QPushButton* m_pDefaultButton = nullptr; // 1011

    CTrelvaneDoc* m_pDoc;
    std::unique_ptr<CGateway> m_pGateway;
    QSize m_sizeForm;  // the template's size in pixels
    QRect m_rcList;    // the Message list's template rectangle in pixels
};
