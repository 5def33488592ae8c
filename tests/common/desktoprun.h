#pragma once

// Runs the real desktop program on one command-line argument, in a folder
// of the test's own, and tells whether it opened the file of that name:
// an opened file goes first into the recent-file list of the profile.

#include "profile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>

inline bool DesktopOpensFile(const QString& strProgram, const QString& strFolder, const QString& strArgument,
                             int nTimeoutMs = 15000)
{
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), strFolder + QStringLiteral("/config"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(strFolder);
    program.start(strProgram, {strArgument});
    if (!program.waitForStarted())
        return false;
    const QString strExpected = QDir(strFolder).filePath(strArgument);
    CProfile profile(strFolder + QStringLiteral("/config/trelvane/trelvane.ini"));
    bool bOpened = false;
    for (QDeadlineTimer deadline(nTimeoutMs); !bOpened && !deadline.hasExpired();) {
        program.waitForFinished(20);
        bOpened = profile.Load() &&
                  profile.GetString(QStringLiteral("Recent File List"), QStringLiteral("File1")) == strExpected;
        if (program.state() == QProcess::NotRunning)
            break;
    }
    program.kill();
    program.waitForFinished();
    return bOpened;
}
