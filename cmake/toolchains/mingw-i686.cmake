# SPDX-License-Identifier: BSD-3-Clause
# Cross build for 32-bit Windows with mingw-w64 (Debian's g++-mingw-w64-i686 and
# gfortran-mingw-w64-i686). The posix thread model's compilers are used because the C++ library
# needs std::mutex and friends.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KVOBLK_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
