/* SPDX-License-Identifier: Apache-2.0 */
/* Trelvane transfer plug-in interface.
 *
 * A transfer plug-in is a shared library that may export any of the four
 * functions below under exactly these names (C linkage, no decoration).
 * The gateway calls them from its one user-interface thread, one at a time.
 *
 *   DllInit(setup)          after the port's initial string went out;
 *                           0 = ready, anything else = error code
 *   DllTransfer(p, n, &out) for every pass over a received block; return
 *                           the bytes to send with their count in *out, or
 *                           NULL with *out = 0 to send nothing, or NULL with
 *                           *out = address of an error text (at most 27
 *                           characters) to have the block sent unchanged
 *   DllAfterSend(p, n)      after every pass (p NULL and n 0 when nothing was
 *                           sent); -1 = call DllTransfer again for the same
 *                           block, 0 = done, anything else = error code
 *   DllQuit()               before the ports close; 0 = fine
 *
 * See docs/plugins.md for the whole contract.
 */
#ifndef TRELVANE_PLUGIN_H
#define TRELVANE_PLUGIN_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#  define TRELVANE_CALL __stdcall
#else
#  define TRELVANE_CALL
#endif

#if defined(_WIN32)
#  define TRELVANE_EXPORT __declspec(dllexport)
#else
#  define TRELVANE_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#  define TRELVANE_EXTERN_C extern "C"
#else
#  define TRELVANE_EXTERN_C
#endif

/* Declares a plug-in export: TRELVANE_PLUGIN_API(int) DllQuit(void) { ... } */
#define TRELVANE_PLUGIN_API(type) TRELVANE_EXTERN_C TRELVANE_EXPORT type TRELVANE_CALL

/* The out-value of DllTransfer is pointer-sized so that it can carry the
 * address of an error text; on 32-bit Windows it is a 32-bit integer. */
typedef intptr_t trelvane_outvalue_t;

/* The gateway shows at most this many characters of an error text and never
 * reads further, terminator or not. */
#define TRELVANE_MAX_ERROR_TEXT 27

/* The largest count DllTransfer may return. A larger or negative count is
 * logged as an error ("bad count <n>") and the received block goes out
 * unchanged. */
#define TRELVANE_MAX_TRANSFER_COUNT 1048576

/* Out-values below this (and negative ones) are taken as error numbers, not
 * as text addresses: the gateway logs "bad text <n>" for them. */
#define TRELVANE_LOWEST_TEXT_ADDRESS 4096

typedef int (TRELVANE_CALL *TrelvaneDllInitFn)(const char* setup);
typedef const char* (TRELVANE_CALL *TrelvaneDllTransferFn)(const char* data, int len, trelvane_outvalue_t* out);
typedef int (TRELVANE_CALL *TrelvaneDllAfterSendFn)(const char* data, int len);
typedef int (TRELVANE_CALL *TrelvaneDllQuitFn)(void);

/* Prototypes, so that the compiler checks a plug-in's definitions. Define
 * only the ones the plug-in needs; a declaration alone exports nothing. */
#ifndef TRELVANE_NO_PROTOTYPES
TRELVANE_PLUGIN_API(int) DllInit(const char* setup);
TRELVANE_PLUGIN_API(const char*) DllTransfer(const char* data, int len, trelvane_outvalue_t* out);
TRELVANE_PLUGIN_API(int) DllAfterSend(const char* data, int len);
TRELVANE_PLUGIN_API(int) DllQuit(void);
#endif

#endif /* TRELVANE_PLUGIN_H */
