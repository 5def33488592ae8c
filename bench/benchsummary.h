#pragma once

#include <QString>
#include <QStringList>

// Reads the result lines of several runs ("relay<TAB>metric<TAB>value"),
// prints medians, ranges and ratios against socat -b 512, and writes the
// Markdown report with the targets and whether each is met.
// Returns 0, or 1 when the results cannot be read or the report not written.
int Summarize(const QStringList& resultFiles, const QString& strMarkdownPath, const QString& strCommand,
              const QString& strLoad = QString());
