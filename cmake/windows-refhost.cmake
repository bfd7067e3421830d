# SPDX-License-Identifier: BSD-3-Clause
# The reference host on Windows: MD5 from the operating system's CNG (bcrypt) and the sparse LU
# and maximum transversal from Eigen (header-only) behind the small part of the KLU/BTF interface
# the Newton solver and the structural analysis use, so their sources stay the same.
find_path(EIGEN3_INCLUDE_DIR Eigen/SparseLU PATHS /usr/include/eigen3 NO_CMAKE_FIND_ROOT_PATH
          REQUIRED)
target_sources(kvorefhost PRIVATE ${PROJECT_SOURCE_DIR}/refhost/windows/klu_eigen.cpp)
target_include_directories(kvorefhost PRIVATE ${PROJECT_SOURCE_DIR}/refhost/windows)
target_include_directories(kvorefhost SYSTEM PRIVATE ${EIGEN3_INCLUDE_DIR})
target_compile_definitions(kvorefhost PRIVATE KVOHOST_BUILDING)
target_link_libraries(kvorefhost PRIVATE bcrypt)
set_target_properties(kvorefhost PROPERTIES PREFIX "" SOVERSION "")
