#include "portsetupdlg.h"

#include "dialogunits.h"
#include "textcodec.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {

using K = EDlgItemKind;

const SDlgItem kItems[] = {
    {1007, K::RadioButton, "Serial Port (RS232)", {6, 1, 76, 16}, false},
    {1008, K::RadioButton, "Winsock (TCP/UDP)", {90, 1, 77, 16}, false},
    {1009, K::Edit, "", {4, 50, 208, 14}, true},
    {1012, K::Edit, "", {3, 79, 208, 14}, true},
    {1010, K::Edit, "", {4, 108, 99, 14}, true},
    {1, K::DefPushButton, "OK", {111, 107, 50, 14}, true},
    {2, K::PushButton, "Cancel", {164, 107, 50, 14}, true},
    {-1, K::Static,
     "Setup String:\n"
     "Serial Port:<COMn>:<Baud Rate>,<Parity>,<Data Bits>,<Stop Bits>\n"
     "Winsock:   <TCP/UDP>:<Port Number>,<IP Address>",
     {5, 19, 219, 28}, false},
    {-1, K::Static, "Data Transfer DLL:", {5, 97, 79, 9}, false},
    {-1, K::Static, "Initial String:", {5, 69, 56, 9}, false},
};

const SDlgTemplate kTemplate = {"Input/Output Port Setup", {235, 126}, kItems};

// Help beside the grammar text above the field: every form it takes.
const char kSetupHelp[] =
    "COM2:9600,n,8,1\tserial line\n"
    "TCP:1025,127.0.0.1\tTCP client (also a host name or an IPv6 address: TCP:1025,::1)\n"
    "UDP:5000,192.168.1.20\tUDP to one destination (255.255.255.255: broadcast)\n"
    "TCP:4001\tlistening TCP port, one client at a time (TCP:4001@127.0.0.1: one local address)\n"
    "UDP:5000\tUDP on a fixed local port, answering the last sender (UDP:5000@::1)\n"
    "TCP:4001;clients=refuse\ta second client is refused while one is connected (clients=replace: the default)\n"
    "TCP:4001;clients=4\tup to 4 clients (2-64) share the port: each gets every block, their blocks go whole, "
    "in turn\n"
    "TCP:4001;allow=192.168.1.0/24+10.0.0.7+fd00::/8\tclients from these addresses only, separated by '+'\n"
    "UDP:5000@::1;allow=::1/128\tdatagrams from these senders only; options follow ';', several: "
    "TCP:4001;clients=refuse;allow=10.0.0.7\n"
    "TCP:4001;rfc2217\tthe serial line at the other side as a remote COM port (RFC 2217, e.g. pyserial's "
    "rfc2217://host:4001): clients set its speed, data bits, parity, stop bits, flow control, DTR, RTS and break, "
    "and hear of its modem lines; also TLS:4001;rfc2217;clients=refuse\n"
    "TLS:4001\tlistening port with TLS, same options (TLS:4001@::1;clients=refuse); certificate and key "
    "from the profile's [TLS] section\n"
    "TLS:4001,device.example\tTLS client; checks the server's certificate and name against [TLS] CA= "
    "or the system's CAs\n"
    "TLS:4001;tls=plant\tlistening port with the files of the profile's [TLS plant] section (keys it lacks "
    "from [TLS])\n"
    "TLS:4001;tls=vendor,device.example\tTLS client with the files of [TLS vendor]: tls= comes before the ','";

} // namespace

CPortSetupDlg::CPortSetupDlg(QWidget* pParent)
    : QDialog(pParent)
{
    BuildDialog(this, kTemplate);
    m_pRadioSerial = static_cast<QRadioButton*>(DialogItem(this, 1007));
    m_pRadioWinsock = static_cast<QRadioButton*>(DialogItem(this, 1008));
    m_editSetup = static_cast<QLineEdit*>(DialogItem(this, 1009));
    m_pEditDll = static_cast<QLineEdit*>(DialogItem(this, 1010));
    m_pEditInitial = static_cast<QLineEdit*>(DialogItem(this, 1012));
    m_editSetup->setToolTip(QString::fromLatin1(kSetupHelp));

    connect(m_pRadioSerial, &QRadioButton::clicked, this, &CPortSetupDlg::OnPortKindClicked);
    connect(m_pRadioWinsock, &QRadioButton::clicked, this, &CPortSetupDlg::OnPortKindClicked);
    connect(static_cast<QPushButton*>(DialogItem(this, 1)), &QPushButton::clicked, this,
            &CPortSetupDlg::accept);
    connect(static_cast<QPushButton*>(DialogItem(this, 2)), &QPushButton::clicked, this,
            &CPortSetupDlg::reject);
}

void CPortSetupDlg::setVisible(bool bVisible)
{
    if (bVisible && !isVisible())
        OnInitDialog();
    QDialog::setVisible(bVisible);
}

void CPortSetupDlg::OnInitDialog()
{
    const auto load = [](QLineEdit* pEdit, const QByteArray& strBytes, QString& strShown) {
        pEdit->setText(DisplayText(strBytes));
        strShown = pEdit->text();
    };
    load(m_editSetup, m_strSetup, m_strShownSetup);
    load(m_pEditDll, m_strDll, m_strShownDll);
    load(m_pEditInitial, m_strInitial, m_strShownInitial);
    // The buttons only offer defaults; the kind is read from the text.
    for (QRadioButton* pRadio : {m_pRadioSerial, m_pRadioWinsock}) {
        pRadio->setAutoExclusive(false);
        pRadio->setChecked(false);
        pRadio->setAutoExclusive(true);
    }
    m_editSetup->setFocus();
    m_editSetup->selectAll();
}

void CPortSetupDlg::SaveData()
{
    m_strSetup = SettingTextToBytes(m_editSetup->text(), m_strShownSetup, m_strSetup);
    m_strDll = SettingTextToBytes(m_pEditDll->text(), m_strShownDll, m_strDll);
    m_strInitial = SettingTextToBytes(m_pEditInitial->text(), m_strShownInitial, m_strInitial);
}

void CPortSetupDlg::accept()
{
    SaveData();
    QDialog::accept();
}

void CPortSetupDlg::OnPortKindClicked()
{
    // The kind is the first three characters, case-sensitive; a shorter
    // text never matches.
    const QString strPrefix = m_editSetup->text().left(3);
    if (m_pRadioSerial->isChecked()) {
        if (strPrefix != QLatin1String("COM"))
            m_editSetup->setText(QStringLiteral("COM2:9600,n,8,1"));
    } else if (m_pRadioWinsock->isChecked()) {
        if (strPrefix != QLatin1String("UDP") && strPrefix != QLatin1String("TCP"))
            m_editSetup->setText(QStringLiteral("TCP:1025,127.0.0.1"));
    }
}
