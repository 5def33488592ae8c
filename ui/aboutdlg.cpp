#include "aboutdlg.h"

#include "dialogunits.h"

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

namespace {

using K = EDlgItemKind;

const SDlgItem kAboutItems[] = {
    {-1, K::Icon, "", {11, 17, 18, 20}, false},
    {-1, K::Static, "TRELVANE Application Version 1.0", {40, 10, 119, 8}, false},
    {-1, K::Static, "Data gateway for two ports", {40, 25, 119, 10}, false},
    {1, K::DefPushButton, "OK", {176, 6, 32, 14}, true},
    {-1, K::Static, "Trelvane developers\ndev@trelvane.invalid", {41, 42, 93, 16}, false},
};

const SDlgTemplate kAboutTemplate = {"About TRELVANE", {217, 63}, kAboutItems};

} // namespace

CAboutDlg::CAboutDlg(QWidget* pParent)
    : QDialog(pParent)
{
    QList<QWidget*> items;
    const CDialogUnits units = BuildDialog(this, kAboutTemplate, &items);

    // The program's icon at its natural size, as an icon control shows it.
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull())
        icon = style()->standardIcon(QStyle::SP_ComputerIcon);
    const int nSide = style()->pixelMetric(QStyle::PM_LargeIconSize);
    auto* pIcon = static_cast<QLabel*>(items.front());
    pIcon->setPixmap(icon.pixmap(nSide, nSide));
    pIcon->resize(nSide, nSide);

    connect(static_cast<QPushButton*>(DialogItem(this, 1)), &QPushButton::clicked, this,
            &CAboutDlg::accept);

    // Placed at 34, 22 dialog units from the owner's client area, or from
    // the screen's corner when there is no owner.
    QPoint ptPos(units.ToPixelsX(34), units.ToPixelsY(22));
    if (pParent)
        ptPos = pParent->window()->mapToGlobal(ptPos);
    move(ptPos);
}
