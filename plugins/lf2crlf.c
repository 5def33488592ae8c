/* SPDX-License-Identifier: Apache-2.0 */
/* Turns every line feed that is not already preceded by a carriage return
 * into CR LF, for devices that want DOS line ends. A CR at the end of one
 * block and the LF at the start of the next count as a pair. */
#include "trelvane_plugin.h"

#include <stdlib.h>

static char* s_pBuffer;
static size_t s_nCapacity;
static int s_bLastWasCr;

TRELVANE_PLUGIN_API(int) DllInit(const char* setup)
{
    (void)setup;
    s_bLastWasCr = 0;
    return 0;
}

TRELVANE_PLUGIN_API(const char*) DllTransfer(const char* data, int len, trelvane_outvalue_t* out)
{
    /* The worst case doubles the block. */
    size_t nNeed = len > 0 ? 2 * (size_t)len : 1;
    if (nNeed > s_nCapacity) {
        char* pGrown = (char*)realloc(s_pBuffer, nNeed);
        if (!pGrown) {
            *out = (trelvane_outvalue_t)"lf2crlf: out of memory";
            return NULL;
        }
        s_pBuffer = pGrown;
        s_nCapacity = nNeed;
    }
    size_t n = 0;
    for (int i = 0; i < len; ++i) {
        if (data[i] == '\n' && !s_bLastWasCr)
            s_pBuffer[n++] = '\r';
        s_pBuffer[n++] = data[i];
        s_bLastWasCr = data[i] == '\r';
    }
    *out = (trelvane_outvalue_t)n;
    return s_pBuffer;
}

TRELVANE_PLUGIN_API(int) DllQuit(void)
{
    free(s_pBuffer);
    s_pBuffer = NULL;
    s_nCapacity = 0;
    return 0;
}
