#pragma once

#include <QByteArray>

// The ten values of a settings file, named as in the document. The strings
// are raw bytes; the four options are stored in the file as 16 bits each.
struct SSetFields
{
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

    friend bool operator==(const SSetFields&, const SSetFields&) = default;
};
