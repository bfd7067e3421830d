/* Export mark of the host services. The library is built with hidden visibility; every host
   symbol it calls is declared with default visibility so that whichever host library the program
   links can export it. */
#pragma once

#include <kvoblk/kvoblk_export.h>

#if defined(_WIN32)
#define KVOHOST_API __declspec(dllimport)
#else
#define KVOHOST_API __attribute__((visibility("default")))
#endif
