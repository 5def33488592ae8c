/* The benchmark's plug-in: hands every block back as a copy of its own and
 * asks for no further send, the shape of a plug-in that rewrites data. It
 * measures what the plug-in path costs per block. */
#include "trelvane_plugin.h"

#include <string.h>

/* Blocks never exceed 512 bytes. */
static char s_buffer[512];

TRELVANE_PLUGIN_API(int) DllInit(const char* setup)
{
    (void)setup;
    return 0;
}

TRELVANE_PLUGIN_API(const char*) DllTransfer(const char* data, int len, trelvane_outvalue_t* out)
{
    if (len < 0 || (size_t)len > sizeof s_buffer) {
        *out = (trelvane_outvalue_t)"benchcopy: block larger than 512 bytes";
        return NULL;
    }
    memcpy(s_buffer, data, (size_t)len);
    *out = (trelvane_outvalue_t)len;
    return s_buffer;
}

TRELVANE_PLUGIN_API(int) DllAfterSend(const char* data, int len)
{
    (void)data;
    (void)len;
    return 0;
}

TRELVANE_PLUGIN_API(int) DllQuit(void)
{
    return 0;
}
