#include "shellnames.h"

#include <QDir>
#include <QFileInfo>

QString FrameCaption(const QString& strDocTitle, const QString& strAppTitle)
{
    return strDocTitle + QStringLiteral(" - ") + strAppTitle;
}

QString ProposedSaveName(const QString& strTitle)
{
    static const QString kBad = QStringLiteral(" #%;/\\");
    qsizetype nEnd = strTitle.size();
    for (qsizetype i = 0; i < strTitle.size(); ++i) {
        if (kBad.contains(strTitle[i])) {
            nEnd = i;
            break;
        }
    }
    return strTitle.left(qMin<qsizetype>(nEnd, 8)) + QStringLiteral(".set");
}

QString JoinCommandLine(const QStringList& args)
{
    return args.join(QLatin1Char(' '));
}

QString OpenFileName(const QString& strName)
{
    QString strPath = strName;
    const qsizetype nFirst = strPath.indexOf(QLatin1Char('"'));
    const qsizetype nLast = strPath.lastIndexOf(QLatin1Char('"'));
    if (nFirst >= 0 && nLast > nFirst)
        strPath = strPath.mid(nFirst + 1, nLast - nFirst - 1);
    if (strPath.isEmpty())
        return strPath;
    return QDir::cleanPath(QFileInfo(strPath).absoluteFilePath());
}

QString AbbreviatePath(const QString& strPath, int nMaxChars)
{
    if (strPath.size() <= nMaxChars)
        return strPath;
    const QString kEllipsis = QStringLiteral("...");
    const qsizetype nSlash = strPath.lastIndexOf(QLatin1Char('/'));
    const QString strName = strPath.mid(nSlash + 1);
    if (strName.size() > nMaxChars)
        return strName.left(nMaxChars - kEllipsis.size()) + kEllipsis;

    // Root ("/" for an absolute path), then "...", then the tail.
    const QString strRoot = strPath.startsWith(QLatin1Char('/')) ? QStringLiteral("/") : QString();
    QString strTail = QLatin1Char('/') + strName;
    if (strRoot.size() + kEllipsis.size() + strTail.size() > nMaxChars)
        return strName;
    qsizetype nPos = nSlash;
    while (nPos > 0) {
        const qsizetype nPrev = strPath.lastIndexOf(QLatin1Char('/'), nPos - 1);
        const QString strMore = strPath.mid(nPrev + 1, nPos - nPrev - 1);
        const QString strCandidate = QLatin1Char('/') + strMore + strTail;
        if (strRoot.size() + kEllipsis.size() + strCandidate.size() > nMaxChars)
            break;
        strTail = strCandidate;
        nPos = nPrev;
    }
    return strRoot + kEllipsis + strTail;
}
