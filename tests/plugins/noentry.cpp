// SPDX-License-Identifier: BSD-3-Clause
// A shared object that looks like a plug-in but exports its creation function under another
// name, so the runner must refuse it.
extern "C" __attribute__((visibility("default"))) int kvoblk_plugin_make(const void*) { return 0; }
