// SPDX-License-Identifier: BSD-3-Clause
// The maximum transversal of the BTF interface, for Windows builds where SuiteSparse is not at
// hand (klu_eigen.cpp): a matching of rows to columns of a compressed-column pattern.
#pragma once

// Matches rows to columns of the nrow x ncol pattern (Ap, Ai): match[i] is the column of row i,
// or -1 when row i is unmatched. Returns the number of matched rows (the structural rank).
// maxwork, work and Work are accepted for the interface's sake; the search always completes.
int btf_maxtrans(int nrow, int ncol, int* Ap, int* Ai, double maxwork, double* work, int* match,
                 int* Work);
