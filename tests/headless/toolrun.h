#pragma once

#include <QByteArray>
#include <QList>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// Runs a program with arguments given as raw bytes (QProcess would pass
// them through QString, which cannot carry every byte) and collects its
// output. Exit code -1 when it did not run or did not exit normally.
struct SToolRun
{
    int nExit = -1;
    QByteArray out;
    QByteArray err;
};

inline SToolRun RunTool(const QByteArray& program, const QList<QByteArray>& args)
{
    SToolRun run;
    QList<QByteArray> all = {program};
    all += args;
    QList<char*> argv;
    for (QByteArray& arg : all)
        argv.append(arg.data());
    argv.append(nullptr);

    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    pid_t pid = 0;
    const int nSpawn = posix_spawn(&pid, program.constData(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (nSpawn == 0) {
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        QByteArray* sinks[2] = {&run.out, &run.err};
        int nOpen = 2;
        while (nOpen > 0) {
            if (::poll(fds, 2, 30000) <= 0)
                break;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !fds[i].revents)
                    continue;
                char buffer[4096];
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, n);
                } else if (n == 0 || errno != EINTR) {
                    fds[i].fd = -1;
                    --nOpen;
                }
            }
        }
        int nStatus = 0;
        if (::waitpid(pid, &nStatus, 0) == pid && WIFEXITED(nStatus))
            run.nExit = WEXITSTATUS(nStatus);
    }
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    return run;
}
