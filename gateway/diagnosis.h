#pragma once

#include "tlsprofile.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

struct SPortFailure;

// Why a port or a plug-in does not start, in plain words for the operator.
// trelvaned prints these beside the fixed messages, and the settings check
// reports the same texts, so both always give one explanation.

// A setting's bytes in double quotes, as UTF-8, control characters as \xNN
// so that a setting can never break or forge a line of output.
QString QuoteSetting(const QByteArray& bytes);

// Device paths of the profile's [Serial Ports] (name -> path).
using SerialPathMap = QMap<QByteArray, QString>;

// What a setup string says when parsed by the gateway's own code.
struct SSetupReport
{
    // OpenPort's result code as far as the text decides it: 0, 1 (serial
    // string refused), 10-13 or 20.
    int m_nCode = 0;
    QString m_strDescription; // kind, port, address, device, line settings
    QString m_strProblem;     // why the port cannot start; empty when it can
    QString m_strWarning;     // what it starts as instead of what is written
};

// What a check looks at beyond the text of a setting.
struct SProbe
{
    // Serial devices (existence, kind, permission: never opened), host
    // names (looked up) and local ports (bound and released at once).
    bool m_bSystem = false;
    // Also opens and closes each serial device once. An open raises DTR,
    // which resets some boards.
    bool m_bOpenDevices = false;
    // The profile's [TLS] sections, for TLS ports (loaded with m_bSystem).
    CTlsProfile m_tls;
};

// Parses a setup string as the gateway does, and looks at what it names as
// far as probe allows.
SSetupReport DescribeSetup(const QByteArray& strSetup, const SerialPathMap& portMap, const SProbe& probe);

// Why a serial device did not open, from the errno of the open.
QString ExplainDeviceOpen(const QByteArray& strName, const QString& strPath, int nErrno,
                          const SerialPathMap& portMap);

// The explanation of one port failure, for the line after its message.
QString ExplainPortFailure(const SPortFailure& failure, const SerialPathMap& portMap);

// A transfer plug-in name resolved with the loader's own search.
struct SPluginReport
{
    QString m_strFile;        // the file the loader would load; empty when none
    QStringList m_listExports; // its exported Dll* functions
    bool m_bExportsRead = false; // the file has a symbol table to read them from
    bool m_bLoaded = false;   // it was loaded and unloaded once
    QString m_strProblem;     // not found (with the folders searched) or not loadable
};

// Finds the file and reads its headers and exports without loading it.
// With bLoad a file that looks right is also loaded and unloaded once, which
// runs its code, to see that the system can load it (its libraries, say).
SPluginReport DescribePlugin(const QByteArray& strName, bool bLoad);
