#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

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
    QString m_strProblem;     // empty when nothing is wrong
};

// Parses a setup string as the gateway does. With bProbe the device behind
// a serial name is opened and closed once, and a host name is looked up.
SSetupReport DescribeSetup(const QByteArray& strSetup, const SerialPathMap& portMap, bool bProbe);

// Why a serial device did not open, from the errno of the open.
QString ExplainDeviceOpen(const QByteArray& strName, const QString& strPath, int nErrno,
                          const SerialPathMap& portMap);

// The explanation of one port failure, for the line after its message.
QString ExplainPortFailure(const SPortFailure& failure, const SerialPathMap& portMap);

// A transfer plug-in name resolved with the loader's own search.
struct SPluginReport
{
    QString m_strFile;    // the file the loader would load; empty when none
    QString m_strProblem; // not found (with the folders searched) or not loadable
};

// With bProbe a found file is loaded and unloaded once to see that it is a
// plug-in the system can load.
SPluginReport DescribePlugin(const QByteArray& strName, bool bProbe);
