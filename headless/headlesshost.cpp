#include "headlesshost.h"

#include "lineoutput.h"

#include <QStringList>

QString EscapeControls(const QString& strText)
{
    QString strOut;
    strOut.reserve(strText.size());
    for (const QChar c : strText) {
        const char16_t u = c.unicode();
        // C0 and C1 controls, DEL, and the Unicode line and paragraph separators.
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f))
            strOut += QStringLiteral("\\x%1").arg(unsigned(u), 2, 16, QLatin1Char('0'));
        else if (u == 0x2028 || u == 0x2029)
            strOut += QStringLiteral("\\u%1").arg(unsigned(u), 4, 16, QLatin1Char('0'));
        else
            strOut += c;
    }
    return strOut;
}

void CHeadlessHost::WriteLine(const QString& strEscaped)
{
    m_pOut->Write(m_nStream, (QStringLiteral("trelvaned: ") + strEscaped).toUtf8() + '\n');
}

void CHeadlessHost::Print(const QString& strText)
{
    WriteLine(EscapeControls(strText));
}

void CHeadlessHost::PrintAbout(const QString& strFile, const QString& strText)
{
    // The file name may hold line feeds too: it stands aside as a
    // noncharacter while the text is split, and comes back escaped.
    const QString strMark(QChar(0xfdd0));
    QString strMarked = strText;
    if (!strFile.isEmpty())
        strMarked.replace(strFile, strMark);
    QStringList lines = strMarked.split(u'\n');
    if (!strFile.isEmpty() && !strMarked.contains(strMark))
        lines.front().prepend(strMark + QStringLiteral(": "));
    const QString strEscapedFile = EscapeControls(strFile);
    for (const QString& strLine : lines)
        WriteLine(EscapeControls(strLine).replace(strMark, strEscapedFile));
}

void CHeadlessHost::SetStatusText(bool bInput, const QString& strText)
{
    QString& strOld = m_strStatus[bInput ? 0 : 1];
    if (strText == strOld)
        return;
    strOld = strText;
    const QString strSide = bInput ? QStringLiteral("input") : QStringLiteral("output");
    if (strText.isEmpty())
        Print(strSide + QStringLiteral(" status cleared"));
    else
        Print(strSide + QStringLiteral(" status: ") + strText);
}

void CHeadlessHost::ShowMessageBox(const QString& strText)
{
    Print(strText);
    if (m_fnOnMessageBox)
        m_fnOnMessageBox(strText);
}

void CHeadlessHost::Explain(const QString& strText)
{
    if (strText.isEmpty())
        return;
    Print(QStringLiteral("why: ") + strText);
    if (m_fnOnExplain)
        m_fnOnExplain(strText);
}

void CHeadlessHost::Beep()
{
    Print(QStringLiteral("beep"));
}
