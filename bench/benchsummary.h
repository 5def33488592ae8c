#pragma once

#include <QString>
#include <QStringList>

// Reads the result lines of several runs ("relay<TAB>metric<TAB>value"),
// prints medians, ranges and ratios against socat -b 512 and, where they were
// measured, socat 8 KiB and the baseline build, and writes the Markdown report
// with the targets and whether each is met, and a throughput plot next to it
// (<report name>-throughput.svg). strBaselineName says which build the
// baseline is. Returns 0, or 1 when the results cannot be read or a file not
// written.
int Summarize(const QStringList& resultFiles, const QString& strMarkdownPath, const QString& strCommand,
              const QString& strBaselineName = {});
