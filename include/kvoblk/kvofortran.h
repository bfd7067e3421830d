// SPDX-License-Identifier: BSD-3-Clause
/// @file
/// Entry points for unit models written in Fortran: twins of the block functions a model calls,
/// taking every argument by reference, and CHARACTER arguments as address and length.
///
/// Calling convention
/// - Every argument is passed by reference: INTEGER as the address of a 32-bit integer, DOUBLE
/// PRECISION as the address of a binary64 value. A CHARACTER argument is the address of its
/// characters followed immediately by its length, an int passed by value.
/// - Results come back as the function value (INTEGER or DOUBLE PRECISION). Entry points that
/// forward to a setter or an action are subroutines.
/// - Handles (block, variable list, equation list, Jacobian, port) are one-word INTEGERs that
/// Fortran code treats as opaque. A port handle is the number under which the block holds the
/// port in its port array; it stays valid while the block holds the port, also when the
/// workspace moves.
/// - The names carry no "@bytes" decoration: on ELF platforms '@' introduces a symbol version.
/// The names keep the leading underscore and the upper case.
/// - A null address where a handle is expected reads as handle 0 (answered silently); a null
/// address for an input value makes the call do nothing; null outputs are not written.
///
/// Binding from gfortran: declare each entry point in an interface block with bind(C) and the
/// exported name, the arguments without VALUE (by reference), and the hidden CHARACTER length as
/// an explicit `integer(c_int), value` argument right after the text:
///
/// use, intrinsic :: iso_c_binding
/// interface
/// integer(c_int) function kvoblk_inq_vstart_f(blk) bind(C, name="_KVOBLK_INQ_VSTART_F")
/// import :: c_int
/// integer(c_int), intent(in) :: blk
/// end function
/// subroutine blk_set_blkid_f(blk, id, idlen) bind(C, name="_BLK_SET_BLKID_F")
/// import :: c_int, c_char
/// integer(c_int), intent(in) :: blk
/// character(kind=c_char), intent(in) :: id(*)
/// integer(c_int), value :: idlen
/// end subroutine
/// end interface
/// character(len=8) :: id = 'FEED'
/// call blk_set_blkid_f(blk, id, len(id))
///
/// The Fortran module `kvoblk` (source/fortran/kvoblk.f90) declares every entry point this way.
///
/// CHARACTER arguments coming in (block id, port name) are converted to text like this: a value
/// of four or more characters whose first four bytes are zero is absent; otherwise a value that
/// holds a zero byte ends there; otherwise trailing blanks are dropped (all blanks give the empty
/// text). A CHARACTER argument going out (the block id) is filled with the text and blank-padded,
/// and the function value is the full length of the text plus 1: a value above the variable's
/// length plus 1 means the text was cut.
#pragma once

#include <kvoblk/kvoblk_export.h>
#include <stddef.h>

KVOBLK_BEGIN_DECL
// The names below are the ones Fortran compilers call (leading underscore, upper case): reserved
// in C and C++, but they are the interface.
// NOLINTBEGIN(bugprone-reserved-identifier)

// ---- Creation and destruction --------------------------------------------------------------
/// Creation, destruction and removal: twins of kvoblk_base_create (the analytic defaults),
/// kvoblk_base_destroy and kvoblk_base_de_ini. Returns the block handle, 0 when no block can be
/// made or nwords is missing; *status 0 removed, 1 not.
///@{
KVOBLK_API int _KVOBLK_BASE_CREATE_F(const int* nwords);
KVOBLK_API void _KVOBLK_BASE_DESTROY_F(const int* blkptr);
KVOBLK_API void _KVOBLK_BASE_DE_INI_F(const int* blkptr, int* status);
///@}

// ---- Ranges --------------------------------------------------------------------------------
/// Twins of kvoblk_inq_vstart and its siblings: returns the range word (for handle 0 a start
/// is 1 and a stop 0); the setters store the value.
///@{
KVOBLK_API int _KVOBLK_INQ_VSTART_F(const int* blkptr);
KVOBLK_API int _KVOBLK_INQ_VSTOP_F(const int* blkptr);
KVOBLK_API int _KVOBLK_INQ_ESTART_F(const int* blkptr);
KVOBLK_API int _KVOBLK_INQ_ESTOP_F(const int* blkptr);
KVOBLK_API int _KVOBLK_INQ_NZSTART_F(const int* blkptr);
KVOBLK_API int _KVOBLK_INQ_NZSTOP_F(const int* blkptr);
KVOBLK_API void _KVOBLK_SET_VSTART_F(const int* blkptr, const int* value);
KVOBLK_API void _KVOBLK_SET_VSTOP_F(const int* blkptr, const int* value);
KVOBLK_API void _KVOBLK_SET_ESTART_F(const int* blkptr, const int* value);
KVOBLK_API void _KVOBLK_SET_ESTOP_F(const int* blkptr, const int* value);
KVOBLK_API void _KVOBLK_SET_NZSTART_F(const int* blkptr, const int* value);
KVOBLK_API void _KVOBLK_SET_NZSTOP_F(const int* blkptr, const int* value);
///@}

// ---- Matrix lists --------------------------------------------------------------------------
/// Twins of blk_inq_matrix and its siblings and of blk_set_matrix_precedence: returns the list
/// handle, 0 for handle 0 or a block without a container.
///@{
KVOBLK_API void _BLK_INQ_MATRIX_F(const int* blkptr, int* varlst, int* eqnlst, int* jac);
KVOBLK_API int _BLK_INQ_MATRIX_VARLST_F(const int* blkptr);
KVOBLK_API int _BLK_INQ_MATRIX_EQNLST_F(const int* blkptr);
KVOBLK_API int _BLK_INQ_MATRIX_JACOBIAN_F(const int* blkptr);
KVOBLK_API void _BLK_SET_MATRIX_PRECEDENCE_F(const int* blkptr, const int* precedence);
///@}

// ---- Block id ------------------------------------------------------------------------------
/// Replaces the block id by the converted text (an absent text clears it); without memory for
/// the new id the block keeps the one it had, with a message.
KVOBLK_API void _BLK_SET_BLKID_F(const int* blkptr, const char* id, int idlen);
/// Copies the block id into the CHARACTER variable; the value is the id's length plus 1.
/// KVOBLK_ID and _KVOBLK_ID are the same entry point under its two other names.
///@{
KVOBLK_API int _BLK_COPY_BLKID_F(const int* blkptr, char* id, int idlen);
KVOBLK_API int KVOBLK_ID(const int* blkptr, char* id, int idlen);
KVOBLK_API int _KVOBLK_ID(const int* blkptr, char* id, int idlen);
///@}

// ---- Ports ---------------------------------------------------------------------------------
/// The port handle of the named port, or of port i (1-based, in the block's numbering); 0 when
/// there is none, the name is absent or cannot be copied (with a message), the port found is
/// not one the block holds (a port above a lowered count is), or the look-up destroyed the block.
///@{
KVOBLK_API int _KVOBLK_GET_PORT_F(const int* blkptr, const char* name, int namelen);
KVOBLK_API int _KVOBLK_GET_PORT_N_F(const int* blkptr, const int* i);
///@}
/// The stored port count, read directly (not through the block's own routine).
KVOBLK_API int _BLK_INQ_NUM_PORTS_F(const int* blkptr);
/// Stores a port count n >= 0 as given; a negative count changes nothing. Ports above a lowered
/// count stay in the block's array: the block still destroys them, and the next port added goes
/// after them, never over them.
KVOBLK_API void _BLK_SET_NUM_PORTS_F(const int* blkptr, const int* n);

// ---- Inclusion and settings ----------------------------------------------------------------
/// Twins of the inclusion, settings and derivative-method functions of kvoblk.h: returns the
/// value (0 or 0.0 for handle 0); the setters store it as their twins do.
///@{
KVOBLK_API int _KVOBLK_INQ_INCLUDED_F(const int* blkptr);
KVOBLK_API void _KVOBLK_SET_NLRATIO_F(const int* blkptr, const double* value);
KVOBLK_API double _KVOBLK_INQ_NLRATIODEV_F(const int* blkptr);
KVOBLK_API void _KVOBLK_SET_NLRATIODEV_F(const int* blkptr, const double* value);
KVOBLK_API double _KVOBLK_INQ_MOVEAMOUNT_F(const int* blkptr);
KVOBLK_API void _KVOBLK_SET_MOVEAMOUNT_F(const int* blkptr, const double* value);
KVOBLK_API double _KVOBLK_INQ_PERTSIZE_F(const int* blkptr);
KVOBLK_API void _KVOBLK_SET_PERTSIZE_F(const int* blkptr, const double* value);
KVOBLK_API int _KVOBLK_INQ_MOVE_F(const int* blkptr);
KVOBLK_API void _KVOBLK_SET_MOVE_F(const int* blkptr, const int* value);
KVOBLK_API int _KVOBLK_INQ_DERIV_TYPE_F(const int* blkptr);
KVOBLK_API void _KVOBLK_SET_DERIV_TYPE_F(const int* blkptr, const int* method);
///@}

// ---- Pattern and Jacobian ------------------------------------------------------------------
/// Twins of kvoblk_inq_pat_ini_type, kvoblk_pat_ini, kvoblk_jac and kvoblk_group_jac: returns
/// the pattern initialisation type (0 for handle 0). `errors` of _KVOBLK_PAT_INI_F is an error
/// counter: each failure adds 1 to it, so the caller sets it to 0 first; status words are 0 on
/// success.
///@{
KVOBLK_API int _KVOBLK_INQ_PAT_INI_F(const int* blkptr);
KVOBLK_API void _KVOBLK_PAT_INI_F(const int* blkptr, const int* nzstart, int* errors);
KVOBLK_API void _KVOBLK_JAC_F(const int* blkptr, int* status);
KVOBLK_API void _KVOBLK_GROUP_JAC_F(const int* blkptr, const int* group, int* status);
///@}

// ---- Model routines --------------------------------------------------------------------------
/// What a Fortran model needs besides the block functions, without glue code of its own.
/// A block with the other defaults (kvoblk_base_create_1: numeric derivatives with the analytic
/// routine switched off, pattern restored from the file SPARSITY_FILE names, which only host
/// code can set); 0 when it cannot be made.
KVOBLK_API int _KVOBLK_BASE_CREATE_1_F(const int* nwords);
/// Puts `routine` in the operation-table slot of that name ("selfdim", "ini", "res", "selfjac",
/// "selfpat", ... as the fields of kvoblk_ops_t are named). The routine must take the slot's
/// arguments as the slot declares them (handle and numbers by value, outputs by reference, as
/// bind(C) routines with VALUE arguments do). Answers 1 when the slot was filled, 0 for a bad
/// handle or an unknown name (with a message).
KVOBLK_API int _KVOBLK_SET_OP_F(const int* blkptr, const char* name, int namelen,
                                void (*routine)());
/// Define block variable i (list position vstart + i - 1) with its name and starting value, or
/// block equation e (estart + e - 1) with its name, through the host's definition services.
/// Numbers below 1 are refused with a message; the block's stops are not checked, so a model
/// defines its items before it records its stops. A live block without lists (not registered
/// with a container yet) defines nothing, with a message.
///@{
KVOBLK_API void _KVOBLK_DEFINE_VAR_F(const int* blkptr, const int* i, const char* name, int namelen,
                                     const double* value);
KVOBLK_API void _KVOBLK_DEFINE_EQN_F(const int* blkptr, const int* e, const char* name,
                                     int namelen);
///@}
/// Value of block variable i and residual of block equation e, read and written. A number
/// outside the block is refused with a message; reads then give 0.
///@{
KVOBLK_API double _KVOBLK_INQ_VAR_F(const int* blkptr, const int* i);
KVOBLK_API void _KVOBLK_SET_VAR_F(const int* blkptr, const int* i, const double* value);
KVOBLK_API double _KVOBLK_INQ_RES_F(const int* blkptr, const int* e);
KVOBLK_API void _KVOBLK_SET_RES_F(const int* blkptr, const int* e, const double* value);
///@}
/// For the selfpat routine: entry k of the block's pattern (position nzstart + k - 1 of the
/// pattern object `jac` the routine was given) links block equation e to block variable v.
KVOBLK_API void _KVOBLK_SET_PAT_F(const int* blkptr, const int* jac, const int* k, const int* e,
                                  const int* v);
/// For the selfjac routine: the block equation e and block variable v of the block's non-zero k
/// (0 and 0 when k is outside the block), and its value read and written.
///@{
KVOBLK_API void _KVOBLK_INQ_NZ_F(const int* blkptr, const int* k, int* e, int* v);
KVOBLK_API double _KVOBLK_INQ_JAC_F(const int* blkptr, const int* k);
KVOBLK_API void _KVOBLK_SET_JAC_F(const int* blkptr, const int* k, const double* value);
///@}

// ---- Identifier scanner --------------------------------------------------------------------
/// The next full-stop separated component of `text` from position *pos (counted from 1) into
/// the blank-filled `token`; *count is its length and *pos moves past its delimiter.
///@{
KVOBLK_API void KVOVARID_NEXT(const char* text, int textlen, int* pos, char* token, int toklen,
                              int* count);
KVOBLK_API void _KVOVARID_NEXT(const char* text, int textlen, int* pos, char* token, int toklen,
                               int* count);
///@}

// ---- The same entry points under gfortran's names -------------------------------------------
/// Lower case with a trailing underscore, each CHARACTER argument's length (size_t, by value)
/// after all other arguments: what a model compiled with gfortran calls through implicit
/// interfaces. Each behaves exactly as the entry point it is named after.
///@{
KVOBLK_API int kvoblk_base_create_f_(const int* nwords);
KVOBLK_API void kvoblk_base_destroy_f_(const int* blkptr);
KVOBLK_API void kvoblk_base_de_ini_f_(const int* blkptr, int* status);
KVOBLK_API int kvoblk_inq_vstart_f_(const int* blkptr);
KVOBLK_API int kvoblk_inq_vstop_f_(const int* blkptr);
KVOBLK_API int kvoblk_inq_estart_f_(const int* blkptr);
KVOBLK_API int kvoblk_inq_estop_f_(const int* blkptr);
KVOBLK_API int kvoblk_inq_nzstart_f_(const int* blkptr);
KVOBLK_API int kvoblk_inq_nzstop_f_(const int* blkptr);
KVOBLK_API void kvoblk_set_vstart_f_(const int* blkptr, const int* value);
KVOBLK_API void kvoblk_set_vstop_f_(const int* blkptr, const int* value);
KVOBLK_API void kvoblk_set_estart_f_(const int* blkptr, const int* value);
KVOBLK_API void kvoblk_set_estop_f_(const int* blkptr, const int* value);
KVOBLK_API void kvoblk_set_nzstart_f_(const int* blkptr, const int* value);
KVOBLK_API void kvoblk_set_nzstop_f_(const int* blkptr, const int* value);
KVOBLK_API void blk_inq_matrix_f_(const int* blkptr, int* varlst, int* eqnlst, int* jac);
KVOBLK_API int blk_inq_matrix_varlst_f_(const int* blkptr);
KVOBLK_API int blk_inq_matrix_eqnlst_f_(const int* blkptr);
KVOBLK_API int blk_inq_matrix_jacobian_f_(const int* blkptr);
KVOBLK_API void blk_set_matrix_precedence_f_(const int* blkptr, const int* precedence);
KVOBLK_API void blk_set_blkid_f_(const int* blkptr, const char* id, size_t idlen);
KVOBLK_API int blk_copy_blkid_f_(const int* blkptr, char* id, size_t idlen);
KVOBLK_API int kvoblk_id_(const int* blkptr, char* id, size_t idlen);
KVOBLK_API int kvoblk_get_port_f_(const int* blkptr, const char* name, size_t namelen);
KVOBLK_API int kvoblk_get_port_n_f_(const int* blkptr, const int* i);
KVOBLK_API int blk_inq_num_ports_f_(const int* blkptr);
KVOBLK_API void blk_set_num_ports_f_(const int* blkptr, const int* n);
KVOBLK_API int kvoblk_inq_included_f_(const int* blkptr);
KVOBLK_API void kvoblk_set_nlratio_f_(const int* blkptr, const double* value);
KVOBLK_API double kvoblk_inq_nlratiodev_f_(const int* blkptr);
KVOBLK_API void kvoblk_set_nlratiodev_f_(const int* blkptr, const double* value);
KVOBLK_API double kvoblk_inq_moveamount_f_(const int* blkptr);
KVOBLK_API void kvoblk_set_moveamount_f_(const int* blkptr, const double* value);
KVOBLK_API double kvoblk_inq_pertsize_f_(const int* blkptr);
KVOBLK_API void kvoblk_set_pertsize_f_(const int* blkptr, const double* value);
KVOBLK_API int kvoblk_inq_move_f_(const int* blkptr);
KVOBLK_API void kvoblk_set_move_f_(const int* blkptr, const int* value);
KVOBLK_API int kvoblk_inq_deriv_type_f_(const int* blkptr);
KVOBLK_API void kvoblk_set_deriv_type_f_(const int* blkptr, const int* method);
KVOBLK_API int kvoblk_inq_pat_ini_f_(const int* blkptr);
KVOBLK_API void kvoblk_pat_ini_f_(const int* blkptr, const int* nzstart, int* errors);
KVOBLK_API void kvoblk_jac_f_(const int* blkptr, int* status);
KVOBLK_API void kvoblk_group_jac_f_(const int* blkptr, const int* group, int* status);
KVOBLK_API int kvoblk_base_create_1_f_(const int* nwords);
KVOBLK_API int kvoblk_set_op_f_(const int* blkptr, const char* name, void (*routine)(),
                                size_t namelen);
KVOBLK_API void kvoblk_define_var_f_(const int* blkptr, const int* i, const char* name,
                                     const double* value, size_t namelen);
KVOBLK_API void kvoblk_define_eqn_f_(const int* blkptr, const int* e, const char* name,
                                     size_t namelen);
KVOBLK_API double kvoblk_inq_var_f_(const int* blkptr, const int* i);
KVOBLK_API void kvoblk_set_var_f_(const int* blkptr, const int* i, const double* value);
KVOBLK_API double kvoblk_inq_res_f_(const int* blkptr, const int* e);
KVOBLK_API void kvoblk_set_res_f_(const int* blkptr, const int* e, const double* value);
KVOBLK_API void kvoblk_set_pat_f_(const int* blkptr, const int* jac, const int* k, const int* e,
                                  const int* v);
KVOBLK_API void kvoblk_inq_nz_f_(const int* blkptr, const int* k, int* e, int* v);
KVOBLK_API double kvoblk_inq_jac_f_(const int* blkptr, const int* k);
KVOBLK_API void kvoblk_set_jac_f_(const int* blkptr, const int* k, const double* value);
KVOBLK_API void kvovarid_next_(const char* text, int* pos, char* token, int* count, size_t textlen,
                               size_t toklen);
///@}

// NOLINTEND(bugprone-reserved-identifier)
KVOBLK_END_DECL
