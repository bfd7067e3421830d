# SPDX-License-Identifier: BSD-3-Clause
# Installation, the CMake package (find_package(kvoblk CONFIG) with kvoblk::kvoblk and
# kvoblk::refhost), the pkg-config files and the Debian packages.
include(CMakePackageConfigHelpers)

set(KVOBLK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kvoblk)

# Public headers: the block library under include/kvoblk/, the host interface it is written
# against under include/kvoblk/host/, the reference host's own header under
# include/kvoblk/refhost/.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kvoblk DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT development FILES_MATCHING PATTERN "*.h")

# On Windows the DLL is a run-time file in bin/ and its import library goes with the development
# files.
install(TARGETS kvoblk EXPORT kvoblkTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
                NAMELINK_COMPONENT development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
set(KVOBLK_EXPORTED_TARGETS kvoblk)
if(TARGET kvorefhost)
  install(TARGETS kvorefhost EXPORT kvoblkTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT refhost
                  NAMELINK_COMPONENT development
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT refhost
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  install(FILES ${PROJECT_SOURCE_DIR}/refhost/kvorefhost.h ${PROJECT_SOURCE_DIR}/refhost/kvoconnect.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kvoblk/refhost COMPONENT development)
endif()
# Programs people run: the flowsheet runner and the tools, when they are built. They come with
# the reference host they run on.
foreach(program flowsheet kvoflow)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT refhost)
  endif()
endforeach()

# On Windows the runner comes ready to run: the example flowsheets in examples/ with the example
# plug-in beside them (a flowsheet names it by its Linux file name, libkvoconcentrator.so, and the
# runner loads the DLL of that name with .dll from beside the flowsheet file in its place,
# wherever the runner is started), a note on how to run one (README.txt, CRLF line ends for any
# editor), the README and the licence. The plug-in and the programs link the compiler's run-time
# libraries statically, so nothing of the tool chain goes with them.
if(WIN32 AND TARGET kvoflow AND TARGET kvoconcentrator)
  install(TARGETS kvoconcentrator LIBRARY DESTINATION examples COMPONENT refhost)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/flowsheets/ DESTINATION examples
          COMPONENT refhost FILES_MATCHING PATTERN "*.toml")
  # The note names the build's word size: the same zip is made for 32-bit and 64-bit Windows.
  math(EXPR KVOBLK_WINDOWS_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows-readme.txt.in ${PROJECT_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE WIN32)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_SOURCE_DIR}/README.md
                ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION . COMPONENT refhost)
endif()

# The licence goes with every package, as each package's copyright file: on Linux it lies where a
# Debian system looks for it, share/doc/<package>/copyright (the package names are those below).
if(NOT WIN32)
  foreach(component library refhost development)
    if(component STREQUAL library)
      set(KVOBLK_DOC_PACKAGE libkvoblk${KVOBLK_SOVERSION})
    elseif(component STREQUAL refhost)
      if(NOT TARGET kvorefhost)
        continue()
      endif()
      set(KVOBLK_DOC_PACKAGE libkvorefhost${KVOBLK_SOVERSION})
    else()
      set(KVOBLK_DOC_PACKAGE libkvoblk-dev)
    endif()
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE RENAME copyright
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KVOBLK_DOC_PACKAGE} COMPONENT ${component})
  endforeach()
endif()

install(EXPORT kvoblkTargets NAMESPACE kvoblk:: DESTINATION ${KVOBLK_CMAKE_DIR}
        COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kvoblkConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/kvoblkConfig.cmake
                              INSTALL_DESTINATION ${KVOBLK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kvoblkConfigVersion.cmake
                                 COMPATIBILITY ${KVOBLK_COMPATIBILITY})
install(FILES ${PROJECT_BINARY_DIR}/kvoblkConfig.cmake
              ${PROJECT_BINARY_DIR}/kvoblkConfigVersion.cmake
        DESTINATION ${KVOBLK_CMAKE_DIR} COMPONENT development)

# The pkg-config files name their prefix relative to where they are installed, so that a staged
# or relocated installation (DESTDIR, another prefix) works as it is.
file(RELATIVE_PATH KVOBLK_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KVOBLK_PC_TO_PREFIX "${KVOBLK_PC_TO_PREFIX}")
# kvoblk-fortran names the module's folder and its static library, and the compiler's run-time
# library that the library's procedures call, for a program linked by the C++ compiler.
set(KVOBLK_FORTRAN_RUNTIME "")
if(CMAKE_Fortran_COMPILER_ID STREQUAL "GNU")
  set(KVOBLK_FORTRAN_RUNTIME -lgfortran)
endif()
foreach(pc kvoblk kvorefhost kvoblk-fortran)
  if(pc STREQUAL kvoblk OR (pc STREQUAL kvorefhost AND TARGET kvorefhost)
     OR (pc STREQUAL kvoblk-fortran AND TARGET kvoblk_fortran))
    configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc
            DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
  endif()
endforeach()

# Debian packages, one per component: the library, the reference host with the runner, and the
# development files. On Windows one zip of all three, to be unpacked anywhere: bin/ (the DLLs
# and the programs), examples/ (flowsheets and the plug-in they load), lib/ (import libraries,
# CMake and pkg-config files), include/, and README.txt on how to run a flowsheet.
# Only for the project's own builds: CPack writes its configuration into the top-level build
# folder, so a project that takes kvoblk in with add_subdirectory keeps its own packaging.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()
set(CPACK_PACKAGE_NAME kvoblk)
set(CPACK_PACKAGE_VENDOR "kvoblk developers")
set(CPACK_PACKAGE_CONTACT "kvoblk developers <kvoblk@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library refhost development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The library packages declare their SONAMEs (shlibs) for packages built against them, and have
# the loader's cache refreshed when they are installed or removed. Before 1.0 a minor release may
# change the interface, so a package built against this release asks for exactly this version.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
# The system libraries each package needs are worked out by dpkg-shlibdeps from its programs and
# libraries, with the versions of the machine the packages are made on, so the names and versions
# fit whichever Debian release that is. The library itself is found in the build folder and named
# here, at exactly this version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
# Without dpkg-shlibdeps CPack says so in passing and makes the packages anyway, depending on
# none of the system libraries they need: the packaging is stopped instead, before anything is
# made. Read by cpack when it runs, so the machine that makes the packages is the one asked.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectChecks.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} [=[
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
  if(NOT SHLIBDEPS_EXECUTABLE OR NOT EXISTS "${SHLIBDEPS_EXECUTABLE}")
    message(FATAL_ERROR "dpkg-shlibdeps not found: it works out the system libraries each "
                        "Debian package depends on. Install dpkg-dev (scripts/install-deps.sh "
                        "does) and make the packages again.")
  endif()
endif()
]=])
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libkvoblk${KVOBLK_SOVERSION})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_REFHOST_PACKAGE_NAME libkvorefhost${KVOBLK_SOVERSION})
set(CPACK_DEBIAN_REFHOST_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_REFHOST_PACKAGE_DEPENDS "libkvoblk${KVOBLK_SOVERSION} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkvoblk-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "libkvoblk${KVOBLK_SOVERSION} (= ${PROJECT_VERSION}), libkvorefhost${KVOBLK_SOVERSION} (= ${PROJECT_VERSION})")
# The Fortran module's users link the Fortran run-time as well (kvoblk-fortran.pc names it).
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SUGGESTS "gfortran")
# Debug information stays in the build tree: the packaged libraries and programs are stripped.
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION "The block library (host services bound at load time)")
set(CPACK_COMPONENT_REFHOST_DESCRIPTION "The reference host and the flowsheet runner")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "Headers, host interface, Fortran module, CMake package and pkg-config files")
include(CPack)
