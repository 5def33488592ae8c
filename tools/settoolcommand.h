// What trelvane-set's commands share: exit codes, messages and option words,
// and the commands kept in files of their own.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdio>
#include <optional>

namespace SetTool {

enum { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

// One line on pOut, "trelvane-set: " first.
void PrintLine(std::FILE* pOut, const QString& strText);
// The line on standard error, and the exit status to end with.
int Failed(const QString& strText);
int UsageError(const QString& strText);
QString Text(const QByteArray& arg);

// An argument "--name" or "--name=value".
struct SOption
{
    QByteArray strName;
    std::optional<QByteArray> value;
};

std::optional<SOption> SplitOption(const QByteArray& arg);
bool IsHelp(const QByteArray& arg);
int Help();

int Write(const QList<QByteArray>& args, const QString& strProfile);
int SerialPorts(const QList<QByteArray>& argsIn, QString strProfile);

} // namespace SetTool
