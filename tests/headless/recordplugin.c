/* A transfer plug-in that records DllInit, DllTransfer and DllQuit, one
 * line each, in the file named by TRELVANE_TEST_RECORD. Blocks pass
 * unchanged. While the file named by TRELVANE_TEST_STALL exists, DllTransfer
 * does not return (a slow plug-in that keeps the gateway busy). Loading it
 * alone creates the file named by TRELVANE_TEST_LOADED. */
#include "trelvane_plugin.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static void Record(const char* a, const char* b)
{
    const char* path = getenv("TRELVANE_TEST_RECORD");
    if (!path)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    ssize_t n = write(fd, a, strlen(a));
    n += write(fd, b, strlen(b));
    n += write(fd, "\n", 1);
    (void)n;
    close(fd);
}

__attribute__((constructor)) static void MarkLoaded(void)
{
    const char* path = getenv("TRELVANE_TEST_LOADED");
    int fd = path ? open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600) : -1;
    if (fd >= 0)
        close(fd);
}

TRELVANE_PLUGIN_API(int) DllInit(const char* setup)
{
    Record("DllInit ", setup ? setup : "");
    return 0;
}

TRELVANE_PLUGIN_API(int) DllQuit(void)
{
    Record("DllQuit", "");
    return 0;
}

TRELVANE_PLUGIN_API(const char*) DllTransfer(const char* data, int len, trelvane_outvalue_t* out)
{
    Record("DllTransfer", "");
    const char* stall = getenv("TRELVANE_TEST_STALL");
    const struct timespec tick = {0, 5 * 1000 * 1000};
    while (stall && access(stall, F_OK) == 0)
        nanosleep(&tick, NULL);
    *out = len;
    return data;
}
