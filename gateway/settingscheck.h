#pragma once

#include "diagnosis.h"

#include <QString>
#include <QStringList>

struct SSetFields;

// What a settings file means to the gateway, and what would go wrong.
struct SCheckReport
{
    QStringList m_listLines;    // one line per setting: what the gateway makes of it
    QStringList m_listProblems; // one line per problem, named by its setting
};

// Checks the ten settings with the gateway's own parsing. With bProbe it
// also opens and closes each serial device, looks up host names and loads
// each plug-in once; without, only what the values themselves say.
SCheckReport CheckSettings(const SSetFields& fields, const SerialPathMap& portMap, bool bProbe);

// Reads the file and the profile's [Serial Ports] (strProfile empty: the
// default profile) and checks them with every probe. A file that does not
// load, or was not written as a settings file, is a problem of its own.
SCheckReport CheckSettingsFile(const QString& strSetFile, const QString& strProfile);
