// Export macro for the host services. The library is built with hidden visibility; every
// host symbol it calls is declared with default visibility so the host library can export it.
#pragma once

#if defined(_WIN32)
#define KVOHOST_API __declspec(dllimport)
#else
#define KVOHOST_API __attribute__((visibility("default")))
#endif
