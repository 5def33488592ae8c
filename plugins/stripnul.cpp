// SPDX-License-Identifier: Apache-2.0
// Drops every NUL byte, as some terminals pad their output with them; a
// block that holds nothing else (or nothing at all) is swallowed, so the far
// end never sees an empty send. Written in C++ to show that C++ works too:
// TRELVANE_PLUGIN_API gives the exports C linkage.
#include "trelvane_plugin.h"

#include <algorithm>
#include <vector>

namespace {
std::vector<char> g_buffer;
}

TRELVANE_PLUGIN_API(const char*) DllTransfer(const char* data, int len, trelvane_outvalue_t* out)
{
    try {
        g_buffer.clear();
        std::copy_if(data, data + std::max(len, 0), std::back_inserter(g_buffer),
                     [](char c) { return c != '\0'; });
    } catch (...) {
        // No exception may leave a plug-in: the gateway is not C++-aware.
        *out = reinterpret_cast<trelvane_outvalue_t>("stripnul: out of memory");
        return nullptr;
    }
    *out = static_cast<trelvane_outvalue_t>(g_buffer.size());
    return g_buffer.empty() ? nullptr : g_buffer.data();
}

TRELVANE_PLUGIN_API(int) DllQuit(void)
{
    std::vector<char>().swap(g_buffer);
    return 0;
}
