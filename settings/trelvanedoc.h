#pragma once

#include <QByteArray>
#include <QString>

// The gateway settings: one document for the whole run. Strings are kept as
// the bytes the user typed or the file held; readers use the fields directly
// and read them afresh at each use.
class CTrelvaneDoc
{
public:
    CTrelvaneDoc();

    QByteArray m_strInSetup;
    QByteArray m_strInDll;
    QByteArray m_strOutSetup;
    QByteArray m_strOutDll;
    QByteArray m_strInInitial;
    QByteArray m_strOutInitial;
    qint32 m_bNoInInitResponse = 0;
    qint32 m_bNoOutInitResponse = 0;
    qint32 m_bDetectCarrier = 0;
    qint32 m_nOutStartup = 1008;
};
