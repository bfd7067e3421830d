// SPDX-License-Identifier: BSD-3-Clause
// Numeric utilities of the host: column grouping of a sparse pattern, grouped forward-difference
// Jacobians driven through a request flag, and the blank-fill string utility. Fortran style:
// every argument by reference, strings as address plus length by value.
#pragma once

#include <kvoblk/host/kvo_host_export.h>

KVOBLK_BEGIN_DECL

// Makes an empty grouping for a block of nvar variables, neq equations and nnz non-zeros and
// stores its handle (non-zero) in *handle.
KVOHOST_API void U3VGRP_CREATE(int* nvar, int* neq, int* nnz, int* handle);

// Groups the block's columns so that no two columns of one group share a row. irn and icn hold
// the global equation and variable numbers of the block's nnz non-zeros; *eoff and *voff are
// the amounts by which global numbers exceed block-local ones. *info may be set by the service;
// *zero is 0. *status is 0 on success.
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
KVOHOST_API void U3NJAC_COMPUTE(int* vgrp, double* x, double* scale, int* vstat, double* f,
                                int* voff, int* icn, double* par, double* pert, double* bj,
                                int* request, int* status);

// Fills a Fortran string of `length` characters with blanks.
KVOHOST_API void IU_CLRSTR(char* text, int length);

KVOBLK_END_DECL
