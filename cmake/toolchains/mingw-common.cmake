# SPDX-License-Identifier: BSD-3-Clause
# What both mingw-w64 toolchains share: the compilers of the triplet (the Fortran one where it
# is installed), the search roots, and programs and DLLs that carry the compiler's run-time
# libraries inside them, so that they start under wine or on a plain Windows machine without
# DLLs of the tool chain beside them.
foreach(lang_tool C:gcc CXX:g++ Fortran:gfortran RC:windres)
  string(REPLACE ":" ";" pair ${lang_tool})
  list(GET pair 0 lang)
  list(GET pair 1 tool)
  foreach(candidate /usr/bin/${KVOBLK_MINGW_TRIPLET}-${tool}-posix
                    /usr/bin/${KVOBLK_MINGW_TRIPLET}-${tool})
    if(EXISTS ${candidate})
      set(CMAKE_${lang}_COMPILER ${candidate})
      break()
    endif()
  endforeach()
endforeach()
set(CMAKE_FIND_ROOT_PATH /usr/${KVOBLK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
# Programs and DLLs side by side in bin/, where Windows looks for a program's DLLs first.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
# printf and friends format as C99 says (%zu, two-digit exponents) rather than as the system's
# C library does, so text comes out as on every other platform.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
