#pragma once

#include "diagnosis.h"

#include <QString>
#include <QStringList>

struct SSetFields;

// One problem of a settings file, named by its setting.
struct SCheckProblem
{
    // True when the gateway does not run with it: the file does not load,
    // or the Input port cannot start. Otherwise it runs, and the problem
    // only warns (a plug-in it relays without, an Output that fails, a
    // value it reads as another).
    bool m_bStops = false;
    QString m_strText;
};

// What a settings file means to the gateway, and what would go wrong.
struct SCheckReport
{
    QStringList m_listLines;            // one line per setting: what the gateway makes of it
    QList<SCheckProblem> m_listProblems;
    bool m_bUnreadable = false;         // the file itself did not load

    bool Stops() const;
    // trelvaned's exit status for what the check found: 2 the file does not
    // load, 1 the Input port cannot start, 0 it runs (warnings or none).
    int ExitStatus() const;
    // "error: TEXT" or "warning: TEXT", one per problem.
    QStringList ProblemLines() const;
};

// What the check may do beyond looking: each has a command-line option.
struct SCheckOptions
{
    bool m_bOpenDevices = false; // open and close each serial device once
    bool m_bLoadPlugins = false; // load and unload each plug-in once
};

// Checks the ten settings with the gateway's own parsing. With bProbe it
// also looks at serial devices (without opening them), finds and reads each
// plug-in file (without loading it), looks up host names and binds local
// ports; options add what runs code or touches a device.
// tls: the profile's [TLS] files, for TLS ports.
SCheckReport CheckSettings(const SSetFields& fields, const SerialPathMap& portMap, bool bProbe,
                           const SCheckOptions& options = {}, const CTlsProfile& tls = {});

// Reads the file and the profile's [Serial Ports] and [TLS] (strProfile empty: the
// default profile) and checks them with every probe. A file that does not
// load, or was not written as a settings file, is a problem of its own.
SCheckReport CheckSettingsFile(const QString& strSetFile, const QString& strProfile,
                               const SCheckOptions& options = {});
