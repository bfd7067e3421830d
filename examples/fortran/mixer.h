// SPDX-License-Identifier: BSD-3-Clause
// A two-stream mixer whose model is written in Fortran (mixer.f90), as a block: the C++ side
// of it. Block variables, in order: IN1.F, IN1.T, IN2.F, IN2.T, OUT.F, OUT.T (flows in kg/s,
// temperatures in K); equations FLOW and HEAT. Variables are named "<id>.IN1.F" and so on.
#pragma once

#include <kvoblk/kvoblk.h>

// Block-local positions of the mixer's variables (0-based).
enum MixerVar { MIX_F1 = 0, MIX_T1, MIX_F2, MIX_T2, MIX_F, MIX_T, MIX_NVAR };

// The model's routines the driver calls, bound to C in mixer.f90: arguments by reference, a
// CHARACTER argument as text and length.
extern "C" {
int mixer_create_f(const char* id, int idlen);
void mixer_report_f(const int* blk);
int mixer_port_check_f(const int* blk);
int mixer_set_method_f(const int* blk, const int* method);
}

// Makes a mixer block with the given id (at most 8 characters); the Fortran code installs its
// own routines in the block's operation table. The block starts with analytic derivatives and
// its own pattern; 0 when it cannot be made.
inline int mixer_create(const char* id) {
  int n = 0;
  while (id && id[n]) ++n;
  return mixer_create_f(id ? id : "", n);
}

// The mixer's report on the history device, one line per variable.
inline void mixer_report(int blk) { mixer_report_f(&blk); }

// True when the Fortran code finds the block's last port under the name OUT.
inline bool mixer_ports_agree(int blk) { return mixer_port_check_f(&blk) == 0; }

// Sets the derivative method from Fortran; answers the method in force afterwards.
inline int mixer_set_method(int blk, int method) { return mixer_set_method_f(&blk, &method); }
