// SPDX-License-Identifier: BSD-3-Clause
// The library's version query: the MAJOR.MINOR.PATCH text the build was configured with (the
// project's version, passed in by the build as KVOBLK_VERSION_TEXT).
#include "kvoblk/kvoblk.h"

#ifndef KVOBLK_VERSION_TEXT
#error "KVOBLK_VERSION_TEXT must be defined by the build"
#endif

const char* kvoblk_version(void) { return KVOBLK_VERSION_TEXT; }
