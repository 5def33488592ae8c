#include "dialogunits.h"

#include "dialogcolors.h"

#include <QCheckBox>
#include <QDialog>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>

#include <limits>

namespace {

// Integer a*b/c rounded to the nearest, halves away from zero.
int MulDiv(int a, int b, int c)
{
    const qint64 n = qint64(a) * b * 2;
    const qint64 d = qint64(c) * 2;
    return int(n >= 0 ? (n + c) / d : (n - c) / d);
}

// Template texts were measured in the template's font; a wider stand-in
// font would wrap them onto lines the design does not have. Condense the
// text of such a static just enough that each of its lines fits. Widths are
// measured as the label lays the text out (fractional advances), so a line
// that is found to fit is not wrapped after all.
void FitStaticText(QLabel* pLabel)
{
    const QStringList lines = pLabel->text().split(QLatin1Char('\n'));
    // A rectangle that holds only the text's own lines: a word moved to a
    // further line would vanish below it, so the lines are never wrapped
    // (at worst a line is cut at the right edge).
    const QFontMetricsF fmLabel(pLabel->font());
    if (pLabel->height() < fmLabel.height() * (lines.size() + 1))
        pLabel->setWordWrap(false);
    const auto widest = [&lines](const QFont& font) {
        const QFontMetricsF fm(font);
        qreal rWidest = 0;
        for (const QString& strLine : lines)
            rWidest = qMax(rWidest, fm.horizontalAdvance(strLine));
        return rWidest;
    };
    const qreal rRoom = pLabel->contentsRect().width();
    QFont font = pLabel->font();
    const qreal rWidest = widest(font);
    if (rWidest <= rRoom)
        return;
    for (int nStretch = qMin(99, int(rRoom * 100 / rWidest)); nStretch >= 60; --nStretch) {
        font.setStretch(nStretch);
        if (widest(font) <= rRoom)
            break;
    }
    pLabel->setFont(font);
}

QWidget* CreateItem(QWidget* pDialog, const SDlgItem& item)
{
    const QString strText = QString::fromLatin1(item.pszText ? item.pszText : "");
    switch (item.eKind) {
    case EDlgItemKind::PushButton:
    case EDlgItemKind::DefPushButton: {
        auto* pButton = new QPushButton(strText, pDialog);
        pButton->setAutoDefault(false);
        pButton->setDefault(item.eKind == EDlgItemKind::DefPushButton);
        return pButton;
    }
    case EDlgItemKind::RadioButton:
        return new QRadioButton(strText, pDialog);
    case EDlgItemKind::CheckBox:
        return new QCheckBox(strText, pDialog);
    case EDlgItemKind::Edit: {
        auto* pEdit = new QLineEdit(pDialog);
        // Setting texts have no length limit of their own.
        pEdit->setMaxLength(std::numeric_limits<int>::max());
        return pEdit;
    }
    case EDlgItemKind::Static: {
        auto* pLabel = new QLabel(strText, pDialog);
        pLabel->setTextFormat(Qt::PlainText); // "<COMn>" is text, not markup
        pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        pLabel->setWordWrap(true);
        return pLabel;
    }
    case EDlgItemKind::GroupBox:
        return new QGroupBox(strText, pDialog);
    case EDlgItemKind::Icon: {
        auto* pLabel = new QLabel(pDialog);
        pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return pLabel;
    }
    case EDlgItemKind::ListBox: {
        auto* pList = new QListWidget(pDialog);
        pList->setSortingEnabled(false);
        pList->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        pList->setUniformItemSizes(true); // long logs stay cheap to lay out
        return pList;
    }
    }
    return nullptr;
}

} // namespace

CDialogUnits::CDialogUnits(const QFont& font)
{
    const QFontMetrics fm(font);
    const int nAlphabet = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_nBaseX = qMax(1, MulDiv(nAlphabet, 1, 52));
    m_nBaseY = qMax(1, fm.height());
}

CDialogUnits::CDialogUnits(int nBaseX, int nBaseY)
    : m_nBaseX(qMax(1, nBaseX))
    , m_nBaseY(qMax(1, nBaseY))
{
}

int CDialogUnits::ToPixelsX(int nUnits) const { return MulDiv(nUnits, m_nBaseX, 4); }

int CDialogUnits::ToPixelsY(int nUnits) const { return MulDiv(nUnits, m_nBaseY, 8); }

QRect CDialogUnits::ToPixels(const QRect& rcUnits) const
{
    return QRect(ToPixelsX(rcUnits.x()), ToPixelsY(rcUnits.y()),
                 ToPixelsX(rcUnits.width()), ToPixelsY(rcUnits.height()));
}

QSize CDialogUnits::ToPixels(const QSize& sizeUnits) const
{
    return QSize(ToPixelsX(sizeUnits.width()), ToPixelsY(sizeUnits.height()));
}

QFont CDialogUnits::DialogFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

CDialogUnits BuildDialog(QDialog* pDialog, const SDlgTemplate& tmpl, QList<QWidget*>* pItems)
{
    const CDialogUnits units = BuildForm(pDialog, tmpl, pItems);
    pDialog->setWindowTitle(QString::fromLatin1(tmpl.pszCaption));
    pDialog->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                            | Qt::WindowCloseButtonHint);
    pDialog->setFixedSize(units.ToPixels(tmpl.sizeUnits));
    return units;
}

CDialogUnits BuildForm(QWidget* pForm, const SDlgTemplate& tmpl, QList<QWidget*>* pItems)
{
    pForm->setFont(CDialogUnits::DialogFont());
    const CDialogUnits units(pForm->font());
    ApplyDialogColors(pForm);

    QWidget* pPrevTab = nullptr;
    for (const SDlgItem& item : tmpl.items) {
        QWidget* pItem = CreateItem(pForm, item);
        if (item.nId >= 0)
            pItem->setObjectName(DialogItemName(item.nId));
        pItem->setGeometry(units.ToPixels(item.rcUnits));
        if (item.eKind == EDlgItemKind::Static)
            FitStaticText(static_cast<QLabel*>(pItem));
        if (pItems)
            pItems->append(pItem);
        if (item.bTabStop) {
            pItem->setFocusPolicy(Qt::StrongFocus);
            if (pPrevTab)
                QWidget::setTabOrder(pPrevTab, pItem);
            pPrevTab = pItem;
        } else if (item.eKind == EDlgItemKind::RadioButton
                   || item.eKind == EDlgItemKind::CheckBox
                   || item.eKind == EDlgItemKind::PushButton
                   || item.eKind == EDlgItemKind::DefPushButton
                   || item.eKind == EDlgItemKind::Edit
                   || item.eKind == EDlgItemKind::ListBox) {
            pItem->setFocusPolicy(Qt::ClickFocus); // reached by mouse, never by Tab
        } else {
            pItem->setFocusPolicy(Qt::NoFocus);
        }
    }
    return units;
}

QWidget* DialogItem(const QWidget* pDialog, int nId)
{
    return pDialog->findChild<QWidget*>(DialogItemName(nId), Qt::FindDirectChildrenOnly);
}
