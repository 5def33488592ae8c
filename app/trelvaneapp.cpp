#include "trelvaneapp.h"

#include "dialogcolors.h"
#include "mainframe.h"
#include "messagebox.h"
#include "shellnames.h"
#include "trelvaneview.h"

#include <QApplication>
#include <QDialog>
#include <QIcon>
#include <QPainter>
#include <QPixmap>

namespace {

// Sockets need no start-up on this platform; the step stays so the order of
// start-up reads as designed.
bool SocketsStartup()
{
    return true;
}

} // namespace

CTrelvaneApp::CTrelvaneApp(const QStringList& args, const QString& strProfilePath)
    : m_args(args)
    , m_profile(strProfilePath)
{
}

CTrelvaneApp::~CTrelvaneApp() = default;

bool CTrelvaneApp::InitInstance()
{
    // 1. Sockets.
    if (!SocketsStartup()) {
        AppMessageBox(nullptr, QStringLiteral("Windows Socket Initial Failure!"));
        return false;
    }
    // 2. Dialogs, message boxes and file dialogs on light grey with black text.
    QApplication::setPalette(DialogPalette(QApplication::palette()), "QDialog");
    // 3. The profile and its recent-file list (4 entries).
    QString strError;
    if (!m_profile.Load(&strError))
        qWarning("Cannot read the profile: %s", qPrintable(strError));
    m_recent.ReadList(m_profile);
    // 4. Document, main window and form.
    m_pMainFrame = std::make_unique<CMainFrame>(&m_doc, &m_recent, &m_profile);
    m_pMainFrame->View()->LoadSerialPortMap(m_profile);
    m_pMainFrame->resize(m_pMainFrame->sizeHint());
    // 5, 6. Shell registration is installed with the program, not written here.
    // 7. The command-line tail is one file name; without one, a new document.
    const QString strTail = JoinCommandLine(m_args.mid(1)).trimmed();
    if (strTail.isEmpty()
        || m_pMainFrame->OpenDocumentFile(strTail) != CMainFrame::EOpenResult::Opened) {
        // The failure has been shown; go on with a new document.
        m_pMainFrame->NewDocument();
    }
    // 8. Files dropped on the window are opened.
    m_pMainFrame->setAcceptDrops(true);
    return true;
}

QStringList ProgramArguments(int argc, char* argv[])
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    return args;
}

QIcon AppIcon()
{
    QIcon icon;
    for (int nSide : {16, 32, 48, 64}) {
        QPixmap pixmap(nSide, nSide);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal u = nSide / 16.0;
        // Two ports joined by a link.
        painter.setPen(QPen(QColor(40, 40, 40), u));
        painter.setBrush(QColor(64, 112, 176));
        painter.drawRoundedRect(QRectF(0.5 * u, 4 * u, 5 * u, 8 * u), u, u);
        painter.setBrush(QColor(224, 128, 48));
        painter.drawRoundedRect(QRectF(10.5 * u, 4 * u, 5 * u, 8 * u), u, u);
        painter.setPen(QPen(QColor(40, 40, 40), 1.5 * u));
        painter.drawLine(QPointF(5.5 * u, 8 * u), QPointF(10.5 * u, 8 * u));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
