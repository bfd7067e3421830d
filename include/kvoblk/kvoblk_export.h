// Export macro of the block library: every exported name carries it; everything else is hidden.
#pragma once

#if defined(_WIN32)
#define KVOBLK_API __declspec(dllexport)
#else
#define KVOBLK_API __attribute__((visibility("default")))
#endif
