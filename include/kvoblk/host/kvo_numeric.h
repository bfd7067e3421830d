// SPDX-License-Identifier: BSD-3-Clause
// Numeric utilities of the host: column grouping of a sparse pattern, grouped forward-difference
// Jacobians driven through a request flag, and the blank-fill string utility. Fortran style:
// every argument by reference, strings as address plus length by value.
#pragma once

#include <kvoblk/host/kvo_host_export.h>

KVOBLK_BEGIN_DECL

// Makes an empty grouping for a block of nvar variables, neq equations and nnz non-zeros and
// stores its handle (non-zero) in *handle, or 0 when none can be made. The library calls
// U3VGRP_COMPUTE next in either case, so that call must answer handle 0 with a failure status.
// The block keeps the handle in its record (one 32-bit word) until U3VGRP_DESTROY.
KVOHOST_API void U3VGRP_CREATE(int* nvar, int* neq, int* nnz, int* handle);

// Groups the block's columns so that no two columns of one group share a row. irn and icn hold
// the global equation and variable numbers (list positions) of the block's nnz non-zeros;
// *eoff and *voff are the amounts by which global numbers exceed block-local ones, which run
// from 1 to neq and nvar (the library passes estart - 1 and vstart - 1). The arrays are the
// Jacobian's own pattern vectors and are valid only during the call: the service copies what it
// needs, the row of every non-zero included, since U3NJAC_COMPUTE is given no row numbers.
// *info may be set by the service and is ignored; *zero is 0. *status is 0 on success; on a
// failure the library destroys the handle and the block keeps the grouping it had. The library
// prints nothing of its own for a failed grouping: kvoblk_pre_solve and the block's NUMERIC
// kvoblk_jac answer the service's status, so the service says why on the history device.
KVOHOST_API void U3VGRP_COMPUTE(int* irn, int* icn, int* info, int* eoff, int* voff, int* zero,
                                int* handle, int* status);

// Releases the grouping and sets *handle to 0.
KVOHOST_API void U3VGRP_DESTROY(int* handle);

// Prints the groups on the history device with the variables' global positions.
KVOHOST_API void U3VGRP_REPORT_BY_IDX(int* handle, int* voff);

// One step of a grouped forward-difference Jacobian. The caller starts with *request 0 and
// calls again after evaluating the residuals whenever *request comes back 1; any other value
// means the Jacobian values bj are complete and the variables are back at the base point.
// A caller that must abandon a sequence (its residual evaluation failed) calls once more with
// *request -1: the values and the base residuals are put back and the sequence ends.
// The step of variable j is h = *pert * max(|x_j|, |scale_j|) (scale 1 when unusable); the
// quotient uses the step actually taken, (x_j + h) - x_j, and values are restored bit-exactly.
// x, scale and vstat start at the block's first variable, f at its first equation, icn and bj
// at its first non-zero; par holds 100 parameters and *pert the relative perturbation size.
//
// What the library hands over and expects:
// - *vgrp is a handle made by U3VGRP_CREATE and U3VGRP_COMPUTE for this block, never 0 (a
//   block without non-zeros is not differenced).
// - Before the first call the library evaluates nothing: on request 0, f holds whatever the
//   last residual evaluation left, which need not be the residuals at x. A service that needs
//   the base residuals asks for them first, by answering request 0 with *request 1 and nothing
//   perturbed (the one evaluation at the base point a Jacobian costs besides its groups), and
//   copies them when the next call comes. When the sequence ends or is abandoned, f should
//   hold the base residuals, so that after a Jacobian the list holds the residuals at x.
// - x, f and bj are the live arrays of the lists, fetched afresh for every call (a residual
//   evaluation may grow a list and move them), so the service keeps indices between calls, never
//   the pointers it is given. It perturbs x in place; the residual routine reads it there.
// - icn holds the global variable numbers (list positions) of the block's non-zeros, block-local
//   plus *voff; bj receives one value per non-zero in the same order, written by the service
//   alone (the library writes none of them).
// - scale holds 1.0 for every variable, so the step is *pert * max(|x_j|, 1); par holds 1.0e-4
//   in every element and vstat the variables' live status words. A service may ignore all three.
KVOHOST_API void U3NJAC_COMPUTE(int* vgrp, double* x, double* scale, int* vstat, double* f,
                                int* voff, int* icn, double* par, double* pert, double* bj,
                                int* request, int* status);

// Fills a Fortran string of `length` characters with blanks.
KVOHOST_API void IU_CLRSTR(char* text, int length);

KVOBLK_END_DECL
