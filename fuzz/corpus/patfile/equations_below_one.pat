******************************************************************************
*                                                                            *
* Sparsity pattern file for block B1                                         *
*                                                                            *
******************************************************************************

      WARNING: THIS FILE HAS A FIXED FORMAT. DO NOT CHANGE IT.

File format version      : Quil-1
Date created             : Tue Dec 08 01:02:35 Year of our Lord 2026

Number of variables      : 3
Number of equations      : -2
Number of non-zeros      : 3

Checksum ( c1 87 44 6f 70 ef 55 cc 22 3a de 39 d7 24 6a 5c )

Sparsity generation mode : NUMERIC
Perturbation size        : 1.000000e-006
Zero tolerance           : 1.000000e-012
Move away from zero      : YES
Move away by             : 1.000000e-002


============================ Column Index Pointers ===========================

         3         1         2


=========================== Equation Incidence Count =========================

         2         1
