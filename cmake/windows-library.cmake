# SPDX-License-Identifier: BSD-3-Clause
# kvoblk.dll: the block library for Windows. A DLL cannot leave the host services undefined as
# the ELF library does, so it imports them from a host DLL through an import library made from
# the list of host services (cmake/kvohost.def.in); whichever DLL of that name exports them serves
# as the host. The DLL exports what KVOBLK_API marks, and on 32-bit Windows also the Fortran
# entry points under their decorated stdcall names (source/kvoblk/kvofortran_stdcall.cpp).
set(KVOBLK_HOST_DLL "kvorefhost.dll" CACHE STRING
    "Name of the host DLL from which kvoblk.dll imports the host services")
find_program(KVOBLK_DLLTOOL NAMES ${KVOBLK_MINGW_TRIPLET}-dlltool dlltool REQUIRED)
set(KVOBLK_HOST_DEF ${PROJECT_BINARY_DIR}/kvohost.def)
configure_file(${PROJECT_SOURCE_DIR}/cmake/kvohost.def.in ${KVOBLK_HOST_DEF} @ONLY)
set(KVOBLK_HOST_IMPLIB ${PROJECT_BINARY_DIR}/libkvohost.dll.a)
add_custom_command(OUTPUT ${KVOBLK_HOST_IMPLIB}
                   COMMAND ${KVOBLK_DLLTOOL} --input-def ${KVOBLK_HOST_DEF}
                           --output-lib ${KVOBLK_HOST_IMPLIB}
                   DEPENDS ${KVOBLK_HOST_DEF}
                   COMMENT "Import library of the host services (${KVOBLK_HOST_DLL})")
add_custom_target(kvohost_implib DEPENDS ${KVOBLK_HOST_IMPLIB})
add_library(kvohost_import INTERFACE)
add_dependencies(kvohost_import kvohost_implib)
target_link_libraries(kvohost_import INTERFACE ${KVOBLK_HOST_IMPLIB})
add_dependencies(kvoblk kvohost_implib)
target_link_libraries(kvoblk PRIVATE ${KVOBLK_HOST_IMPLIB})
set_target_properties(kvoblk PROPERTIES PREFIX "" VERSION ${PROJECT_VERSION} SOVERSION "")
# 32-bit Windows: the Fortran entry points under their decorated stdcall names, as the list in
# tests/windows/exports-i686-stdcall.txt gives them; the linker exports them from a module
# definition made from that list (the check in tests/windows compares the built DLL with it).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KVOBLK_STDCALL_LIST ${PROJECT_SOURCE_DIR}/tests/windows/exports-i686-stdcall.txt)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KVOBLK_STDCALL_LIST})
  file(STRINGS ${KVOBLK_STDCALL_LIST} KVOBLK_STDCALL_NAMES)
  list(JOIN KVOBLK_STDCALL_NAMES "\n  " KVOBLK_STDCALL_LINES)
  set(KVOBLK_STDCALL_DEF ${PROJECT_BINARY_DIR}/kvoblk-stdcall.def)
  file(CONFIGURE OUTPUT ${KVOBLK_STDCALL_DEF} CONTENT "EXPORTS\n  ${KVOBLK_STDCALL_LINES}\n")
  target_link_options(kvoblk PRIVATE ${KVOBLK_STDCALL_DEF})
  set_property(TARGET kvoblk APPEND PROPERTY LINK_DEPENDS ${KVOBLK_STDCALL_DEF})
endif()
