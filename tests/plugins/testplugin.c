/* A scripted plug-in for the tests. Every call is appended as one line to the
 * file named by $TP_LOG (if set), prefixed with TP_TAG. Results come from
 * the environment, read at each call:
 *   TP_INIT, TP_QUIT      results of DllInit / DllQuit (default 0)
 *   TP_TRANSFER           upper (default): the block in capitals
 *                         bigger: a static buffer, count = received + 10
 *                         swallow: null, out-value 0
 *                         text: null, out-value = address of $TP_TEXT
 *                         edge: null, 27 letters that end at an unreadable page
 *                         value: null, out-value = $TP_OUT
 *                         count: a static buffer, out-value = $TP_OUT
 *   TP_AFTER              results of DllAfterSend in turn, "," separated,
 *                         then 0 (for example "-1,0" or "7")
 *   TP_SLEEP_MS           DllAfterSend takes that long (a slow plug-in)
 *   TP_STAMPS             file to which DllAfterSend appends, as it returns,
 *                         the CLOCK_MONOTONIC time in nanoseconds, one a line
 * Built with TP_ONLY_AFTERSEND it exports DllAfterSend alone.
 * Loading it appends "TP_TAG loaded" to the file named by $TP_LOADLOG: its
 * code has run, whatever the gateway does with it afterwards. */
#include "trelvane_plugin.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#define BIG_SIZE (TRELVANE_MAX_TRANSFER_COUNT + 16)

static int s_nAfterCalls;

static void Record(const char* pszEvent, const char* data, int len)
{
    const char* pszLog = getenv("TP_LOG");
    if (!pszLog)
        return;
    FILE* f = fopen(pszLog, "a");
    if (!f)
        return;
    fprintf(f, "%s %s", TP_TAG, pszEvent);
    if (len >= 0) {
        fprintf(f, " %d ", len);
        if (!data)
            fputs("(null)", f);
        else
            fwrite(data, 1, (size_t)(len > 64 ? 64 : len), f);
    }
    fputc('\n', f);
    fclose(f);
}

__attribute__((constructor)) static void OnLoad(void)
{
    const char* pszLog = getenv("TP_LOADLOG");
    FILE* f = pszLog ? fopen(pszLog, "a") : NULL;
    if (f) {
        fprintf(f, "%s loaded\n", TP_TAG);
        fclose(f);
    }
}

#ifndef TP_ONLY_AFTERSEND

static char s_big[BIG_SIZE];
static char s_upper[1024];
static char* s_pEdgePages;

static long EnvNumber(const char* pszName)
{
    const char* psz = getenv(pszName);
    return psz ? strtol(psz, NULL, 10) : 0;
}

TRELVANE_PLUGIN_API(int) DllInit(const char* setup)
{
    Record("init", setup, (int)strlen(setup));
    return (int)EnvNumber("TP_INIT");
}

static const char* EdgeText(void)
{
    if (!s_pEdgePages) {
        long nPage = sysconf(_SC_PAGESIZE);
        void* p = mmap(NULL, (size_t)(2 * nPage), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return NULL;
        s_pEdgePages = (char*)p;
        mprotect(s_pEdgePages + nPage, (size_t)nPage, PROT_NONE);
        memset(s_pEdgePages + nPage - TRELVANE_MAX_ERROR_TEXT, 'E', TRELVANE_MAX_ERROR_TEXT);
    }
    return s_pEdgePages + sysconf(_SC_PAGESIZE) - TRELVANE_MAX_ERROR_TEXT;
}

TRELVANE_PLUGIN_API(const char*) DllTransfer(const char* data, int len, trelvane_outvalue_t* out)
{
    char szIn[32];
    snprintf(szIn, sizeof szIn, "transfer out=%ld", (long)*out);
    Record(szIn, data, len);
    const char* pszMode = getenv("TP_TRANSFER");
    if (!pszMode || !strcmp(pszMode, "upper")) {
        int n = len < (int)sizeof s_upper ? len : (int)sizeof s_upper;
        for (int i = 0; i < n; ++i)
            s_upper[i] = (data[i] >= 'a' && data[i] <= 'z') ? (char)(data[i] - 32) : data[i];
        *out = n;
        return s_upper;
    }
    if (!strcmp(pszMode, "bigger")) {
        for (int i = 0; i < len + 10 && i < BIG_SIZE; ++i)
            s_big[i] = (char)('a' + i % 26);
        *out = len + 10;
        return s_big;
    }
    if (!strcmp(pszMode, "swallow")) {
        *out = 0;
        return NULL;
    }
    if (!strcmp(pszMode, "text")) {
        *out = (trelvane_outvalue_t)getenv("TP_TEXT");
        return NULL;
    }
    if (!strcmp(pszMode, "edge")) {
        *out = (trelvane_outvalue_t)EdgeText();
        return NULL;
    }
    if (!strcmp(pszMode, "value")) {
        *out = (trelvane_outvalue_t)strtoll(getenv("TP_OUT"), NULL, 10);
        return NULL;
    }
    if (!strcmp(pszMode, "count")) {
        memset(s_big, 'c', sizeof s_big);
        *out = (trelvane_outvalue_t)strtoll(getenv("TP_OUT"), NULL, 10);
        return s_big;
    }
    *out = 0;
    return NULL;
}

TRELVANE_PLUGIN_API(int) DllQuit(void)
{
    Record("quit", NULL, -1);
    if (s_pEdgePages) {
        munmap(s_pEdgePages, (size_t)(2 * sysconf(_SC_PAGESIZE)));
        s_pEdgePages = NULL;
    }
    return (int)EnvNumber("TP_QUIT");
}

#endif

TRELVANE_PLUGIN_API(int) DllAfterSend(const char* data, int len)
{
    Record("aftersend", data, len);
    const char* pszSleep = getenv("TP_SLEEP_MS");
    if (pszSleep)
        usleep((useconds_t)(strtol(pszSleep, NULL, 10) * 1000));
    const char* pszStamps = getenv("TP_STAMPS");
    FILE* fStamps = pszStamps ? fopen(pszStamps, "a") : NULL;
    if (fStamps) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        fprintf(fStamps, "%lld\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
        fclose(fStamps);
    }
    /* The n-th call takes the n-th number of the list. */
    const char* psz = getenv("TP_AFTER");
    int nCall = s_nAfterCalls++;
    while (psz && *psz && nCall > 0) {
        psz = strchr(psz, ',');
        psz = psz ? psz + 1 : NULL;
        --nCall;
    }
    return psz && *psz ? (int)strtol(psz, NULL, 10) : 0;
}
