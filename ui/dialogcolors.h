#pragma once

class QPalette;
class QWidget;

// Dialogs show light grey, RGB(192, 192, 192), behind black text. Edit
// fields and push buttons keep their own colours.
QPalette DialogPalette(const QPalette& base);
void ApplyDialogColors(QWidget* pDialog);
