// SPDX-License-Identifier: BSD-3-Clause
// Print service: the history and report devices, printf-style output and script pipes.
#pragma once

#include <kvoblk/host/kvo_host_export.h>

// A script handle of the print pipe service. A model's acquire_script operation hands one out;
// the library passes it to the container and releases it with kvodestroy.
typedef struct kvopipe kvopipe;

KVOBLK_BEGIN_DECL

// Device numbers of the history device (diagnostics, warnings, traces, reports) and of the
// report device (one-line block reports).
extern KVOHOST_API int kvHisDev;
extern KVOHOST_API int kvRepDev;

// Writes the formatted text to the device exactly as printf would; no newline is added. One line
// of the library often comes in several calls (a message head, then its body), so the service
// adds nothing of its own between calls (no prefix, no newline). The result is not looked at.
KVOHOST_API int kvoprintf(int device, const char* format, ...) KVOHOST_PRINTF_FORMAT(2, 3);

// Writes `length` characters of `text` unchanged.
KVOHOST_API void kvowrite(int device, const char* text, int length);

// Releases a script handle.
KVOHOST_API void kvodestroy(kvopipe* pipe);

KVOBLK_END_DECL
