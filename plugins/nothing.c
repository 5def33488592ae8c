/* SPDX-License-Identifier: Apache-2.0 */
/* A plug-in that exports none of the four functions: the gateway loads and
 * unloads it and passes every block unchanged. Handy as a placeholder for a
 * direction whose plug-in is still being written, and as the smallest valid
 * plug-in. */
#include "trelvane_plugin.h"

/* Hidden: nothing here is visible to the gateway. */
int trelvane_nothing_placeholder(void)
{
    return 0;
}
