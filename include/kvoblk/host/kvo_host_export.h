// SPDX-License-Identifier: BSD-3-Clause
/* Export mark of the host services. The library is built with hidden visibility; every host
   symbol it calls is declared with default visibility so that whichever host library the program
   links can export it. */
#pragma once

#include <kvoblk/kvoblk_export.h>

#if defined(_WIN32) && defined(KVOHOST_BUILDING)
/* The host library itself exports what it defines. */
#define KVOHOST_API __declspec(dllexport)
#elif defined(_WIN32)
/* Everyone else imports the host services from the host DLL. */
#define KVOHOST_API __declspec(dllimport)
#else
#define KVOHOST_API __attribute__((visibility("default")))
#endif

/* Format checking of printf-style functions against C99's formats. mingw-w64's compiler checks
   plain `printf` formats against the system's C library, but programs built here format as C99
   does (__USE_MINGW_ANSI_STDIO), so the check asks for the GNU (C99) formats there. */
#if defined(__MINGW32__)
#define KVOHOST_PRINTF_FORMAT(format_arg, first_arg) \
  __attribute__((format(gnu_printf, format_arg, first_arg)))
#else
#define KVOHOST_PRINTF_FORMAT(format_arg, first_arg) \
  __attribute__((format(printf, format_arg, first_arg)))
#endif
