# SPDX-License-Identifier: BSD-3-Clause
# Cross build for 64-bit Windows with mingw-w64 (Debian's g++-mingw-w64-x86-64). Programs built
# with it run under wine64 through CMAKE_CROSSCOMPILING_EMULATOR, so CTest runs the suites there.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KVOBLK_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
find_program(KVOBLK_WINE wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KVOBLK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KVOBLK_WINE})
endif()
