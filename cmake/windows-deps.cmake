# SPDX-License-Identifier: BSD-3-Clause
# What the tests, examples and runner need on Windows where Debian has no mingw build of it:
# GoogleTest is built from Debian's source package (/usr/src/googletest); toml++ (header-only
# mode) and nlohmann-json are header-only and taken from the build machine's headers through a
# folder that holds only them, so no Linux system header is ever on a Windows include path.
# Each is offered through a package configuration in the build tree, so the find_package calls
# of the project find them as on Linux.
set(KVOBLK_WIN_PACKAGES ${PROJECT_BINARY_DIR}/windows-packages)
file(MAKE_DIRECTORY ${KVOBLK_WIN_PACKAGES}/include)
foreach(dir nlohmann toml++)
  if(EXISTS /usr/include/${dir} AND NOT EXISTS ${KVOBLK_WIN_PACKAGES}/include/${dir})
    file(CREATE_LINK /usr/include/${dir} ${KVOBLK_WIN_PACKAGES}/include/${dir} SYMBOLIC)
  endif()
endforeach()

# A package configuration that defines one header-only imported target.
function(kvoblk_header_package package target version definitions)
  set(dir ${KVOBLK_WIN_PACKAGES}/${package})
  file(WRITE ${dir}/${package}Config.cmake
"if(NOT TARGET ${target})
  add_library(${target} INTERFACE IMPORTED)
  set_target_properties(${target} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES \"${KVOBLK_WIN_PACKAGES}/include\"
    INTERFACE_COMPILE_DEFINITIONS \"${definitions}\")
endif()
")
  file(WRITE ${dir}/${package}ConfigVersion.cmake
"set(PACKAGE_VERSION ${version})
set(PACKAGE_VERSION_COMPATIBLE TRUE)
if(PACKAGE_FIND_VERSION_MAJOR AND NOT PACKAGE_FIND_VERSION_MAJOR EQUAL ${version})
  string(REGEX MATCH \"^[0-9]+\" major \"${version}\")
  if(NOT PACKAGE_FIND_VERSION_MAJOR EQUAL major)
    set(PACKAGE_VERSION_COMPATIBLE FALSE)
  endif()
endif()
")
  set(${package}_DIR ${dir} CACHE PATH "Windows build: header-only ${package}" FORCE)
endfunction()
kvoblk_header_package(nlohmann_json nlohmann_json::nlohmann_json 3.11.2 "")
kvoblk_header_package(tomlplusplus tomlplusplus::tomlplusplus 3.3.0 "TOML_HEADER_ONLY=1")

if(KVOBLK_BUILD_TESTS)
  set(KVOBLK_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for Windows")
  if(NOT EXISTS ${KVOBLK_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "Windows tests need GoogleTest's sources in ${KVOBLK_GTEST_SOURCE} "
                        "(Debian package googletest)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${KVOBLK_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gtest_main gmock gmock_main)
    # GoogleTest's own sources are not held to this project's warning level.
    target_compile_options(${t} PRIVATE -w)
  endforeach()
  file(WRITE ${KVOBLK_WIN_PACKAGES}/GTest/GTestConfig.cmake "set(GTest_FOUND TRUE)\n")
  set(GTest_DIR ${KVOBLK_WIN_PACKAGES}/GTest CACHE PATH "Windows build: GoogleTest from source"
      FORCE)
endif()

# Makes UTF-8 the program's ANSI code page through a manifest (honoured from Windows 10 version
# 1903 on), so that names beyond the user's code page reach it. MSVC's linker embeds a listed
# manifest; with mingw-w64 it goes in as a resource (type 24, id 1: the manifest Windows reads
# when the program starts). A macro, so that the resource compiler is enabled in the directory of
# the target that asks for it, and only there: a project that takes this one in as a
# subdirectory gets no language it did not ask for.
macro(kvoblk_utf8_code_page target)
  if(NOT MSVC)
    enable_language(RC)
  endif()
  kvoblk_utf8_manifest_source(${target})
endmacro()
# The manifest is the one beside this file, also for a target of a project that takes this one
# in; the resource script goes to the target's own build folder.
function(kvoblk_utf8_manifest_source target)
  set(manifest ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/utf8.manifest)
  if(MSVC)
    target_sources(${target} PRIVATE ${manifest})
  else()
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-utf8-manifest.rc)
    file(CONFIGURE OUTPUT ${rc} CONTENT "1 24 \"${manifest}\"\n")
    target_sources(${target} PRIVATE ${rc})
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${manifest})
  endif()
endfunction()
