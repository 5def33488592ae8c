#pragma once

#include <QFont>
#include <QList>
#include <QRect>
#include <QString>

#include <span>

class QDialog;
class QWidget;

// Converts dialog units to pixels. One horizontal unit is a quarter of the
// dialog font's average character width, one vertical unit an eighth of its
// height; each value is scaled and rounded to the nearest pixel on its own,
// halves away from zero, the way the dialog manager places template items.
class CDialogUnits
{
public:
    explicit CDialogUnits(const QFont& font);
    CDialogUnits(int nBaseX, int nBaseY);

    int BaseX() const { return m_nBaseX; }
    int BaseY() const { return m_nBaseY; }

    int ToPixelsX(int nUnits) const;
    int ToPixelsY(int nUnits) const;
    // x, y, width, height in dialog units to the same in pixels.
    QRect ToPixels(const QRect& rcUnits) const;
    QSize ToPixels(const QSize& sizeUnits) const;

    // The templates' font, "MS Sans Serif" 8 point. Linux rarely has it, so
    // the nearest look-alikes follow in order, and any sans-serif last.
    static QFont DialogFont();

private:
    int m_nBaseX = 1;
    int m_nBaseY = 1;
};

enum class EDlgItemKind
{
    PushButton,
    DefPushButton,
    RadioButton, // auto radio button; siblings form one group
    CheckBox,    // auto check box
    Edit,        // single-line edit, border, horizontal auto-scroll
    Static,      // left-aligned text, wraps at word breaks
    GroupBox,
    Icon,
    ListBox,     // not sorted, vertical scroll bar, border
};

// One control of a dialog template.
struct SDlgItem
{
    int nId;            // control id; -1 for statics that have none
    EDlgItemKind eKind;
    const char* pszText;
    QRect rcUnits;      // x, y, width, height in dialog units
    bool bTabStop;
};

struct SDlgTemplate
{
    const char* pszCaption;
    QSize sizeUnits;                // client area in dialog units
    std::span<const SDlgItem> items; // in template (tab) order
};

// Builds a dialog from its template: font, caption, fixed client size,
// the controls at their template rectangles with their ids as object names,
// and the tab order of the template. Returns the base units it used; the
// controls, in template order, go to pItems when given.
CDialogUnits BuildDialog(QDialog* pDialog, const SDlgTemplate& tmpl,
                         QList<QWidget*>* pItems = nullptr);

// The same for a child form (no caption, no window frame): font, colours,
// controls and tab order; the form's size is left to its owner.
CDialogUnits BuildForm(QWidget* pForm, const SDlgTemplate& tmpl,
                       QList<QWidget*>* pItems = nullptr);

// The control with the given id, found by its object name.
QWidget* DialogItem(const QWidget* pDialog, int nId);

inline QString DialogItemName(int nId) { return QString::number(nId); }
