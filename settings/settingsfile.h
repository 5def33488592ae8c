#pragma once

#include "setfile.h"

#include <QString>

// Reading a settings file in either form. The desktop program opens only
// the binary form; trelvaned and trelvane-set read both.
enum class ESetFileKind { Binary, Text };

// The kind is told by the content, not the name (see IsSetText). A binary
// file is read as LoadSetFile reads it, with its messages; a text file that
// is refused is named with the line: "plant.conf, line 3: ...". The extent
// of a text file is that of the binary file it stands for.
bool LoadSettingsFile(const QString& strPath, SSetFields* pFields, QString* pstrError,
                      SSetFileExtent* pExtent = nullptr, SSetLayout* pLayout = nullptr,
                      ESetFileKind* peKind = nullptr);
