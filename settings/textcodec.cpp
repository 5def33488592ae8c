#include "textcodec.h"

#include <QStringDecoder>

QString DisplayText(const QByteArray& strBytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString strText = decoder.decode(strBytes);
    if (decoder.hasError())
        return QString::fromLatin1(strBytes);
    return strText;
}
