#include "dialogcolors.h"

#include <QColor>
#include <QPalette>
#include <QWidget>

QPalette DialogPalette(const QPalette& base)
{
    QPalette pal(base);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        pal.setColor(group, QPalette::Window, QColor(192, 192, 192));
        pal.setColor(group, QPalette::WindowText, QColor(0, 0, 0));
    }
    pal.setColor(QPalette::Disabled, QPalette::Window, QColor(192, 192, 192));
    return pal;
}

void ApplyDialogColors(QWidget* pDialog)
{
    pDialog->setPalette(DialogPalette(pDialog->palette()));
    pDialog->setAutoFillBackground(true);
}
