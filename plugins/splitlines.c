/* SPDX-License-Identifier: Apache-2.0 */
/* Sends each line of a block (up to and including its LF) as a send of its
 * own, and the rest after the last LF as a final one: useful for peers that
 * expect one line per datagram. Shows the multi-send pattern: DllTransfer
 * returns the next piece, DllAfterSend answers -1 while pieces remain.
 *
 * A send that waits may let a new block in before the DllAfterSend of the
 * current one; the new block is then finished first. So the position is
 * kept on a small stack, one entry per block in progress. */
#include "trelvane_plugin.h"

#include <string.h>

#define MAX_NESTING 16

typedef struct {
    const char* pData;
    int nLen;
    int nPos;   /* where the next piece starts */
} SBlock;

static SBlock s_stack[MAX_NESTING];
static int s_nDepth;

TRELVANE_PLUGIN_API(int) DllInit(const char* setup)
{
    (void)setup;
    s_nDepth = 0;
    return 0;
}

TRELVANE_PLUGIN_API(const char*) DllTransfer(const char* data, int len, trelvane_outvalue_t* out)
{
    SBlock* pTop = s_nDepth > 0 ? &s_stack[s_nDepth - 1] : NULL;
    int bContinue = pTop && pTop->pData == data && pTop->nLen == len && pTop->nPos > 0
                    && pTop->nPos < len;
    if (!bContinue) {
        if (s_nDepth == MAX_NESTING) {
            *out = (trelvane_outvalue_t)"splitlines: nested too deep";
            return NULL;
        }
        pTop = &s_stack[s_nDepth++];
        pTop->pData = data;
        pTop->nLen = len;
        pTop->nPos = 0;
    }
    if (len <= 0) {
        *out = 0; /* nothing to send for an empty block */
        return NULL;
    }
    const char* pStart = data + pTop->nPos;
    const char* pLf = memchr(pStart, '\n', (size_t)(len - pTop->nPos));
    int nPiece = pLf ? (int)(pLf - pStart) + 1 : len - pTop->nPos;
    pTop->nPos += nPiece;
    *out = nPiece;
    return pStart;
}

TRELVANE_PLUGIN_API(int) DllAfterSend(const char* data, int len)
{
    (void)data;
    (void)len;
    if (s_nDepth == 0)
        return 0;
    SBlock* pTop = &s_stack[s_nDepth - 1];
    if (pTop->nPos < pTop->nLen)
        return -1;
    --s_nDepth;
    return 0;
}
