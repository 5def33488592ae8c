#include "textcodec.h"

#include <QStringDecoder>

QString DisplayText(const QByteArray& strBytes)
{
    // A leading byte-order mark is kept as a character, so nothing is lost.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString strText = decoder.decode(strBytes);
    if (decoder.hasError())
        return QString::fromLatin1(strBytes);
    return strText;
}

QByteArray SettingTextToBytes(const QString& strText, const QString& strShown, const QByteArray& strOriginal)
{
    if (strText == strShown)
        return strOriginal;
    return strText.toUtf8();
}
