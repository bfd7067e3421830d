// SPDX-License-Identifier: BSD-3-Clause
// The part of the KLU sparse LU interface the reference host's Newton solver uses, for Windows
// builds where SuiteSparse is not at hand: the same names and meanings, carried out by Eigen's
// SparseLU in klu_eigen.cpp. Matrices are square, in compressed columns (Ap, Ai, Ax), 0-based.
#pragma once

#define KLU_OK 0
#define KLU_SINGULAR 1
#define KLU_INVALID (-3)

struct klu_common {
  int status = KLU_OK;  // outcome of the last call
  double rcond = 0.0;   // reciprocal condition estimate of the last factorisation
};

struct klu_symbolic;  // the matrix order and pattern
struct klu_numeric;   // one numeric factorisation

int klu_defaults(klu_common* common);
klu_symbolic* klu_analyze(int n, int* Ap, int* Ai, klu_common* common);
klu_numeric* klu_factor(int* Ap, int* Ai, double* Ax, klu_symbolic* symbolic, klu_common* common);
int klu_refactor(int* Ap, int* Ai, double* Ax, klu_symbolic* symbolic, klu_numeric* numeric,
                 klu_common* common);
int klu_rcond(klu_symbolic* symbolic, klu_numeric* numeric, klu_common* common);
int klu_solve(klu_symbolic* symbolic, klu_numeric* numeric, int ldim, int nrhs, double* B,
              klu_common* common);
int klu_free_symbolic(klu_symbolic** symbolic, klu_common* common);
int klu_free_numeric(klu_numeric** numeric, klu_common* common);
