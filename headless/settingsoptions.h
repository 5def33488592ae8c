#pragma once

#include "setfields.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

#include <vector>

// The ten settings as options of trelvaned, for a run without a settings
// file: --in SETUP --out SETUP [--in-dll FILE] ... Named like the keys of
// the text form and trelvane-set's write options; --in, --out, --in-init
// and --out-init are the short names of the setup and initial strings.
class CSettingsOptions
{
public:
    explicit CSettingsOptions(QCommandLineParser& parser);

    bool IsAnyGiven() const;
    // The initial settings with the given ones over them. False, with the
    // reason, for a bad value, an option given twice or --in/--out missing.
    bool Read(SSetFields* pFields, QString* pstrError) const;

private:
    QCommandLineParser& m_parser;
    std::vector<QCommandLineOption> m_options; // one per key, in the keys' order
};
