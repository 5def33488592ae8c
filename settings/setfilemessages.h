#pragma once

#include <QString>

enum class EFileWriteStage;

// The messages shown for failed loads and saves, chosen from the system's
// error number. strPath is the path as the user gave it.
QString SetFileFormatMessage();
QString SetFileOpenMessage(int nErrno, const QString& strPath);
QString SetFileReadMessage(int nErrno, const QString& strPath);
QString SetFileWriteMessage(EFileWriteStage eStage, int nErrno, const QString& strPath);
