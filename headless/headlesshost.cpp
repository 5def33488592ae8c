#include "headlesshost.h"

namespace {

// A message is one line of output, whatever it holds.
QString OneLine(QString strText)
{
    strText.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    strText.replace(u'\n', u' ').replace(u'\r', u' ');
    return strText;
}

} // namespace

void CHeadlessHost::Print(const QString& strText)
{
    const QByteArray line = (QStringLiteral("trelvaned: ") + OneLine(strText)).toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), m_pOut);
    std::fflush(m_pOut);
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
}

void CHeadlessHost::Explain(const QString& strText)
{
    if (!strText.isEmpty())
        Print(QStringLiteral("why: ") + strText);
}

void CHeadlessHost::Beep()
{
    Print(QStringLiteral("beep"));
}
