// Entry points for unit models written in Fortran: twins of the block functions a model calls,
// taking every argument by reference, and CHARACTER arguments as address and length.
//
// Calling convention
//   - Every argument is passed by reference: INTEGER as the address of a 32-bit integer, DOUBLE
//     PRECISION as the address of a binary64 value. A CHARACTER argument is the address of its
//     characters followed immediately by its length, an int passed by value.
//   - Results come back as the function value (INTEGER or DOUBLE PRECISION). Entry points that
//     forward to a setter or an action are subroutines.
//   - Handles (block, variable list, equation list, Jacobian, port) are one-word INTEGERs that
//     Fortran code treats as opaque. A port handle is the number under which the block holds the
//     port in its port array; it stays valid while the block holds the port, also when the
//     workspace moves.
//   - The names carry no "@bytes" decoration: on ELF platforms '@' introduces a symbol version.
//     The names keep the leading underscore and the upper case.
//   - A null address where a handle is expected reads as handle 0 (answered silently); a null
//     address for an input value makes the call do nothing; null outputs are not written.
//
// Binding from gfortran: declare each entry point in an interface block with bind(C) and the
// exported name, the arguments without VALUE (by reference), and the hidden CHARACTER length as
// an explicit `integer(c_int), value` argument right after the text:
//
//   use, intrinsic :: iso_c_binding
//   interface
//     integer(c_int) function kvoblk_inq_vstart_f(blk) bind(C, name="_KVOBLK_INQ_VSTART_F")
//       import :: c_int
//       integer(c_int), intent(in) :: blk
//     end function
//     subroutine blk_set_blkid_f(blk, id, idlen) bind(C, name="_BLK_SET_BLKID_F")
//       import :: c_int, c_char
//       integer(c_int), intent(in) :: blk
//       character(kind=c_char), intent(in) :: id(*)
//       integer(c_int), value :: idlen
//     end subroutine
//   end interface
//   character(len=8) :: id = 'FEED'
//   call blk_set_blkid_f(blk, id, len(id))
//
// examples/fortran/kvoblk_f.f90 declares every entry point this way.
//
// CHARACTER arguments coming in (block id, port name) are converted to text like this: a value
// of four or more characters whose first four bytes are zero is absent; otherwise a value that
// holds a zero byte ends there; otherwise trailing blanks are dropped (all blanks give the empty
// text). A CHARACTER argument going out (the block id) is filled with the text and blank-padded,
// and the function value is the full length of the text plus 1: a value above the variable's
// length plus 1 means the text was cut.
#pragma once

#include <kvoblk/kvoblk_export.h>

KVOBLK_BEGIN_DECL

// ---- Creation and destruction --------------------------------------------------------------
// A block with the analytic defaults (kvoblk_base_create); 0 when it cannot be made or nwords
// is missing.
KVOBLK_API int _KVOBLK_BASE_CREATE_F(const int* nwords);
KVOBLK_API void _KVOBLK_BASE_DESTROY_F(const int* blkptr);
KVOBLK_API void _KVOBLK_BASE_DE_INI_F(const int* blkptr, int* status);

// ---- Ranges --------------------------------------------------------------------------------
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

// ---- Matrix lists --------------------------------------------------------------------------
KVOBLK_API void _BLK_INQ_MATRIX_F(const int* blkptr, int* varlst, int* eqnlst, int* jac);
KVOBLK_API int _BLK_INQ_MATRIX_VARLST_F(const int* blkptr);
KVOBLK_API int _BLK_INQ_MATRIX_EQNLST_F(const int* blkptr);
KVOBLK_API int _BLK_INQ_MATRIX_JACOBIAN_F(const int* blkptr);
KVOBLK_API void _BLK_SET_MATRIX_PRECEDENCE_F(const int* blkptr, const int* precedence);

// ---- Block id ------------------------------------------------------------------------------
// Replaces the block id by the converted text (an absent text clears it).
KVOBLK_API void _BLK_SET_BLKID_F(const int* blkptr, const char* id, int idlen);
// Copies the block id into the CHARACTER variable; the value is the id's length plus 1.
// KVOBLK_ID and _KVOBLK_ID are the same entry point under its two other names.
KVOBLK_API int _BLK_COPY_BLKID_F(const int* blkptr, char* id, int idlen);
KVOBLK_API int KVOBLK_ID(const int* blkptr, char* id, int idlen);
KVOBLK_API int _KVOBLK_ID(const int* blkptr, char* id, int idlen);

// ---- Ports ---------------------------------------------------------------------------------
// The port handle of the named port, or of port i (1-based, in the block's numbering); 0 when
// there is none, the name is absent, or the port found is not one the block holds.
KVOBLK_API int _KVOBLK_GET_PORT_F(const int* blkptr, const char* name, int namelen);
KVOBLK_API int _KVOBLK_GET_PORT_N_F(const int* blkptr, const int* i);
// The stored port count, read directly (not through the block's own routine).
KVOBLK_API int _BLK_INQ_NUM_PORTS_F(const int* blkptr);
// Stores a port count n >= 0. A count below the ports the block holds is refused with a
// message: the ports above it would be lost to the block.
KVOBLK_API void _BLK_SET_NUM_PORTS_F(const int* blkptr, const int* n);

// ---- Inclusion and settings ----------------------------------------------------------------
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

// ---- Pattern and Jacobian ------------------------------------------------------------------
KVOBLK_API int _KVOBLK_INQ_PAT_INI_F(const int* blkptr);
// `errors` is an error counter: each failure adds 1 to it, so the caller sets it to 0 first.
KVOBLK_API void _KVOBLK_PAT_INI_F(const int* blkptr, const int* nzstart, int* errors);
KVOBLK_API void _KVOBLK_JAC_F(const int* blkptr, int* status);
KVOBLK_API void _KVOBLK_GROUP_JAC_F(const int* blkptr, const int* group, int* status);

// ---- Identifier scanner --------------------------------------------------------------------
// The next full-stop separated component of `text` from position *pos (counted from 1) into
// the blank-filled `token`; *count is its length and *pos moves past its delimiter.
KVOBLK_API void KVOVARID_NEXT(const char* text, int textlen, int* pos, char* token, int toklen,
                              int* count);
KVOBLK_API void _KVOVARID_NEXT(const char* text, int textlen, int* pos, char* token, int toklen,
                               int* count);

KVOBLK_END_DECL
