#pragma once

#include <QByteArray>
#include <QString>

// Why a port did not open, as facts for a plain explanation that goes beside
// the fixed message (which has already been shown or logged).
struct SPortFailure
{
    enum EWhat {
        SetupString,    // refused by the grammar (result 10-13, 20; serial without ":")
        SerialName,     // the name before the ":" maps to no device path
        SerialOpen,     // the device did not open: m_strPath, m_nErrno
        SerialMode,     // the mode string cannot be applied (BuildCommDCB Error!)
        SerialSettings, // the device refused the settings: m_strPath, m_nErrno (0: read back differs)
        SocketCreate,   // the socket could not be made: m_nError
        Connect,        // the TCP connect failed: m_nError
        ConnectTimeout, // no answer within the connect time bound
        TlsSetup,       // the [TLS] files do not make a usable context: m_strDetail
        TlsHandshake,   // the TLS handshake with the server failed: m_strDetail
        RemoteLine,     // a device server's line did not open: m_strPath (its URL), m_strDetail
    };

    EWhat m_eWhat = SetupString;
    bool m_bInput = true;
    QByteArray m_strSetup; // the whole setup string
    QString m_strPath;
    int m_nErrno = 0;
    int m_nError = 0;      // Winsock number, as logged
    QByteArray m_strDetail; // TLS: what is wrong, in words
};
