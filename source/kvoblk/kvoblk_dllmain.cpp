// SPDX-License-Identifier: BSD-3-Clause
// The entry point of kvoblk.dll. The library keeps no per-thread state, so it declines the
// notifications of threads starting and ending; nothing else happens at load or unload.
// Other platforms build nothing here.
#if defined(_WIN32)

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

#endif  // Windows
