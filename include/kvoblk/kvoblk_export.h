// SPDX-License-Identifier: BSD-3-Clause
/** @file
 * Declaration macros shared by every public header of the block library and of the host
 * interface: the export mark, the C-linkage wrapper and a static assertion that works in C11 and
 * C++.
 */
#pragma once

/** Marks a name the block library exports; every other name stays hidden. */
#if defined(_WIN32)
#define KVOBLK_API __declspec(dllexport)
#else
#define KVOBLK_API __attribute__((visibility("default")))
#endif

/** Opens and closes a run of declarations with C linkage (no-ops in C); KVOBLK_STATIC_ASSERT is
    a compile-time check in either language. */
///@{
#ifdef __cplusplus
#define KVOBLK_BEGIN_DECL extern "C" {
#define KVOBLK_END_DECL }
#define KVOBLK_STATIC_ASSERT(cond, text) static_assert(cond, text)
#else
#include <stdbool.h> /* C callers get bool, which several functions take or answer */
#define KVOBLK_BEGIN_DECL
#define KVOBLK_END_DECL
#define KVOBLK_STATIC_ASSERT(cond, text) _Static_assert(cond, text)
#endif
///@}
