// A two-stream mixer whose model is written in Fortran (mixer.f90), as a block: the C++ side
// of it. Block variables, in order: IN1.F, IN1.T, IN2.F, IN2.T, OUT.F, OUT.T (flows in kg/s,
// temperatures in K); equations FLOW and HEAT. Variables are named "<id>.IN1.F" and so on.
#pragma once

#include <kvoblk/kvoblk.h>

// Block-local positions of the mixer's variables (0-based).
enum MixerVar { MIX_F1 = 0, MIX_T1, MIX_F2, MIX_T2, MIX_F, MIX_T, MIX_NVAR };

// Makes a mixer block with the given id (at most 8 characters) and installs the Fortran
// routines in its operation table. The block starts with analytic derivatives and its own
// pattern; 0 when it cannot be made.
int mixer_create(const char* id);

// The mixer's report on the history device, one line per variable.
void mixer_report(int blk);

// True when the Fortran code finds the block's last port under the name OUT.
bool mixer_ports_agree(int blk);

// Sets the derivative method from Fortran; answers the method in force afterwards.
int mixer_set_method(int blk, int method);
