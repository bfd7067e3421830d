// SPDX-License-Identifier: BSD-3-Clause
// A faulty plug-in: the concentrator, except that every call after the first answers the block
// the first one made, so the runner must refuse the second block instead of renaming the first.
#define kvoblk_plugin_create concentrator_create
#include "../../examples/plugin/concentrator.cpp"
#undef kvoblk_plugin_create

extern "C" KVOBLK_PLUGIN_EXPORT int kvoblk_plugin_create(const kvoblk_plugin_request* request) {
  static int first = 0;
  if (first == 0) first = concentrator_create(request);
  return first;
}
