// SPDX-License-Identifier: BSD-3-Clause
/// @file
/// The block library's exported interface: the block record's word names, the settings record,
/// the model operation table, the block functions and their dispatchers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <kvoblk/host/kvo_lists.h>
#include <kvoblk/host/kvo_print.h>
#include <kvoblk/host/kvo_value.h>
#include <kvoblk/kvoblk_export.h>
#include <kvoblk/kvoblk_host_types.h>

/// Words of the block record in the workspace: word k of block b is ib0[b + k]. Words that hold
/// references hold numbers of the library's reference table, 0 meaning none.
enum {
  KVOBLK_WORD_VSTART = 0,
  KVOBLK_WORD_VSTOP = 1,
  KVOBLK_WORD_ESTART = 2,
  KVOBLK_WORD_ESTOP = 3,
  KVOBLK_WORD_NZSTART = 4,
  KVOBLK_WORD_NZSTOP = 5,
  KVOBLK_WORD_VGRP = 6,
  KVOBLK_WORD_LASTX = 7,
  KVOBLK_WORD_LASTF = 8,
  KVOBLK_WORD_ITERATED = 9,
  KVOBLK_WORD_INCLUDED = 10,
  KVOBLK_WORD_BLKID = 11,
  KVOBLK_WORD_CONTAINER = 12,
  KVOBLK_WORD_DIAG_LEVEL = 13,
  KVOBLK_WORD_NUM_PORTS = 14,
  KVOBLK_WORD_PORTS = 15,
  KVOBLK_WORD_BEING_SOLVED = 16,
  KVOBLK_WORD_OPS = 17,
  KVOBLK_WORD_SETTINGS = 18,
  KVOBLK_WORD_EO_STATE = 19,
  KVOBLK_WORD_BLOCK_OBJECT = 20,
  KVOBLK_WORD_PORT_CALLBACK = 21,
  KVOBLK_WORD_COUNT = 22  ///< words the library defines; a model may keep its own after them
};
#ifdef __cplusplus
namespace kvoblk_word {
enum : int {
  vstart = KVOBLK_WORD_VSTART,
  vstop = KVOBLK_WORD_VSTOP,
  estart = KVOBLK_WORD_ESTART,
  estop = KVOBLK_WORD_ESTOP,
  nzstart = KVOBLK_WORD_NZSTART,
  nzstop = KVOBLK_WORD_NZSTOP,
  vgrp = KVOBLK_WORD_VGRP,
  lastx = KVOBLK_WORD_LASTX,
  lastf = KVOBLK_WORD_LASTF,
  iterated = KVOBLK_WORD_ITERATED,
  included = KVOBLK_WORD_INCLUDED,
  blkid = KVOBLK_WORD_BLKID,
  container = KVOBLK_WORD_CONTAINER,
  diag_level = KVOBLK_WORD_DIAG_LEVEL,
  num_ports = KVOBLK_WORD_NUM_PORTS,
  ports = KVOBLK_WORD_PORTS,
  being_solved = KVOBLK_WORD_BEING_SOLVED,
  ops = KVOBLK_WORD_OPS,
  settings = KVOBLK_WORD_SETTINGS,
  eo_state = KVOBLK_WORD_EO_STATE,
  block_object = KVOBLK_WORD_BLOCK_OBJECT,
  port_callback = KVOBLK_WORD_PORT_CALLBACK,
  count = KVOBLK_WORD_COUNT,
};
}  // namespace kvoblk_word
#endif

/// Derivative methods.
typedef enum kvoblk_deriv_type_t {
  KVOBLK_ANALYTIC = 1,
  KVOBLK_NUMERIC = 2,
  KVOBLK_UPDATE_NUMERIC = 3,
  KVOBLK_UPDATE_ANALYTIC = 4,
} kvoblk_deriv_type_t;

/// Pattern initialisation types and pattern types.
typedef enum kvoblk_pat_ini_type_t {
  KVOBLK_PAT_SELF = 1,
  KVOBLK_PAT_NUMERIC = 2,
  KVOBLK_PAT_RESTORE = 3,
} kvoblk_pat_ini_type_t;
/// Pattern types: how the stored pattern was obtained.
typedef enum kvoblk_pat_type_t {
  KVOBLK_PATTYPE_UNDEFINED = 0,
  KVOBLK_PATTYPE_ANALYTIC = 1,
  KVOBLK_PATTYPE_NUMERIC = 2,
} kvoblk_pat_type_t;

#ifdef __cplusplus
/// The names of the codes above, as the block attributes show them and reports print them:
/// kvoblk_name::of(kvoblk_name::deriv_type, KVOBLK_NUMERIC) is "NUMERIC". A code without a name
/// gives null. Defined here so that every program prints the library's own texts (C++ only).
namespace kvoblk_name {
/// The name tables, indexed by code.
///@{
inline constexpr const char* deriv_type[5] = {nullptr, "ANALYTIC", "NUMERIC", "UPDATE_NUMERIC",
                                              "UPDATE_ANALYTIC"};
inline constexpr const char* pat_ini_type[4] = {"UNDEFINED", "SELF", "NUMERIC", "RESTORE"};
inline constexpr const char* pat_type[3] = {"UNDEFINED", "ANALYTIC", "NUMERIC"};
///@}
/// @return the name of `code` in the table, or null when the code has none.
template <size_t N>
constexpr const char* of(const char* const (&names)[N], int code) {
  return code >= 0 && static_cast<size_t>(code) < N ? names[code] : nullptr;
}
}  // namespace kvoblk_name
#endif

/// Block states (record word eo_state).
typedef enum kvoblk_eo_state_t {
  KVOBLK_NOT_INITIALISED = 0,
  KVOBLK_EO_FORM = 1,
  KVOBLK_SOLVING = 2,
} kvoblk_eo_state_t;

/// Per-block settings, owned by the block through record word 18.
typedef struct kvoblk_settings_t {
  /// The settings, each read and written through its accessor (kvoblk_inq_pertsize, ...).
  ///@{
  int32_t matrix_precedence;
  int32_t selfjac;
  int32_t deriv_type;
  int32_t selfpat;
  int32_t pat_ini_type;
  char* pat_file;  ///< heap text owned by the record, or null
  int32_t pat_dense_limit;
  int32_t pat_fill_percent;
  double pertsize;
  double nlratio;
  double nlratiodev;
  int32_t move;
  double moveamount;
  double zerotol;
  int32_t pat_type;
  ///@}
} kvoblk_settings_t;

/// The model operation table, owned by the block through record word 17. A model overwrites the
/// slots it implements; every routine takes the block handle first.
///   - Required, empty at creation: selfdim, ini, res.
///   - Required for a method that uses them: selfjac (analytic and updated analytic Jacobians,
///     the base one does nothing), selfpat (the model's own pattern, the base one states none),
///     inq_scriptid (when inq_nscript counts scripts).
///   - Optional, empty at creation: group_selfjac (a group's analytic Jacobian; without it the
///     whole block's selfjac serves every group).
///   - Optional, base routine installed at creation: every other slot. reserved10 and reserved14
///     are never called.
///
/// A dispatcher finding an empty slot prints "Attempt to call an undefined function"; an
/// exception leaving a routine ends the call with a message, status 1 and the empty-slot result;
/// placement, removal and the solve brackets still move the block's state, as for any status.
typedef struct kvoblk_ops_t {
  /// Slot routines in table order; the dispatcher kvoblk_<slot> runs each with its arguments.
  ///@{
  void (*selfdim)(int blkptr, int* nvar, int* neqn, int* nnz, int* status);
  void (*ini)(int blkptr, int vstart, int estart, int nzstart, int* status);
  void (*de_ini)(int blkptr, int* status);
  void (*res)(int blkptr, int* status);
  void (*selfjac)(int blkptr, int* status);
  void (*pre_solve)(int blkptr, int* status);
  void (*post_solve)(int blkptr, int* status);
  void (*inq_attr)(int blkptr, nux_blk_t* desc);
  void (*destroy)(int blkptr);
  void (*reserved10)();
  void (*inq_nscript)(int blkptr, int* count);
  void (*inq_scriptid)(int blkptr, int index, char* name);
  kvopipe* (*acquire_script)(int blkptr, const char* name);
  void (*reserved14)();
  NUXEOCntr* (*inq_embedded_container)(int blkptr, const NUXEOCntr* cntr);
  void (*init)(int blkptr, int* status);
  int (*invoke)(int blkptr, const char* name, EBSContext* ctx, int nargs, const value_t* args);
  int (*scope_invoke)(int blkptr, const char* name, int scope1, int scope2, EBSContext* ctx,
                      int nargs, const value_t* args);
  void (*report)(int blkptr, int* status);
  void (*register_container)(int blkptr, NUXBlockCallback* cntr);
  void (*set_included)(int blkptr, int included);
  void (*nlratio)(int blkptr);
  int (*inq_num_ports)(int blkptr);
  nux_port* (*get_port)(int blkptr, const char* name);
  nux_port* (*get_port_n)(int blkptr, int i);
  bool (*add_port)(int blkptr, nux_port* port);
  void (*selfpat)(int blkptr, kv_jac_t* jac, int* status);
  void (*npat_res)(int blkptr, int* status);
  void (*npat_compare)(int blkptr, double a, double b, int* status);
  int (*isof_type)(int blkptr, const char* type);
  void (*move)(int blkptr, int dv, int de, int dnz);
  int (*num_attr)(int blkptr);
  const char* (*name_attr)(int blkptr, int i);
  bool (*lookup_value)(int blkptr, const char* attr, value_t* value);
  bool (*assign_value)(int blkptr, const char* attr, const value_t* value);
  const nuxblock_attr_desc* (*describe_attr)(int blkptr, const char* attr);
  void (*group_res)(int blkptr, int group, int* status);
  void (*group_selfjac)(int blkptr, int group, int* status);
  bool (*delete_port)(int blkptr, const char* name);
  ///@}
} kvoblk_ops_t;
KVOBLK_STATIC_ASSERT(sizeof(kvoblk_ops_t) == 39 * sizeof(void (*)()), "39 slots");

KVOBLK_BEGIN_DECL

/// The fourteen script names of the block model, in their fixed order (no terminating entry).
KVOBLK_API extern const char* const kvoblk_script_names[14];

/// The version of the loaded library as "MAJOR.MINOR.PATCH" (for example "0.9.0"), a static text.
/// A simulator names it when it reports which release it runs on; `kvoflow --version` and
/// `pkg-config --modversion kvoblk` give the same text.
KVOBLK_API const char* kvoblk_version(void);

// ---- Creation, destruction, record accessors -----------------------------------------------
/// Creates a block record of `nwords` words (the library's KVOBLK_WORD_COUNT words first; a model
/// may ask for more and keep its own after them) with the base routines in its operation table.
/// kvoblk_base_create_1 gives the numeric defaults (NUMERIC derivatives, pattern RESTORE from the
/// pattern file), kvoblk_base_create the analytic ones (ANALYTIC derivatives, the model's own
/// pattern, SELF).
/// Returns the block handle, or 0 when no block could be made.
///@{
KVOBLK_API int kvoblk_base_create_1(int nwords);
KVOBLK_API int kvoblk_base_create(int nwords);
///@}
/// Base routine of the destroy slot: releases the block record and everything it owns (settings,
/// operation table, id, ports array, solve data). Handle 0 does nothing.
KVOBLK_API void kvoblk_base_destroy(int blkptr);

/// The settings record and the operation table of a block (null for handle 0 or a bad handle).
/// A model fills its slots through the table this returns.
///@{
KVOBLK_API kvoblk_ops_t* kvoblk_inq_ops(int blkptr);
KVOBLK_API kvoblk_settings_t* kvoblk_inq_settings(int blkptr);
///@}

/// @return the block id, a text the block owns (valid until the id changes or the block is
/// destroyed), or null for handle 0, a bad handle or a block without an id.
KVOBLK_API const char* kvoblk_blkid(int blkptr);
/// Replaces the block id by a private copy of `id` (none for null).
KVOBLK_API void kvoblk_set_blkid(int blkptr, const char* id);
/// Makes the heap text `id` (from malloc) the block id; the block releases it.
KVOBLK_API void kvoblk_adopt_blkid(int blkptr, char* id);

/// The block's variable list, equation list and Jacobian, from its registered container.
/// blk_inq_matrix writes all three (non-null outputs only).
/// Returns the list handle; 0 for handle 0 or a block without a container.
///@{
KVOBLK_API void blk_inq_matrix(int blkptr, int* varlst, int* eqnlst, int* jac);
KVOBLK_API int blk_inq_matrix_varlst(int blkptr);
KVOBLK_API int blk_inq_matrix_eqnlst(int blkptr);
KVOBLK_API int blk_inq_matrix_jacobian(int blkptr);
KVOBLK_API int kvoblk_inq_varlst(int blkptr);
///@}

/// Inclusion (1 included, 0 excluded), diagnostic level (default 4) and state (a
/// kvoblk_eo_state_t) of the block.
/// Returns the record word; 0 for handle 0. The setter stores the level; handle 0 does nothing.
///@{
KVOBLK_API int kvoblk_inq_included(int blkptr);
KVOBLK_API int kvoblk_inq_diag_level(int blkptr);
KVOBLK_API void kvoblk_set_diag_level(int blkptr, int level);
KVOBLK_API int kvoblk_inq_eo_state(int blkptr);
///@}

/// The block's ranges in the global lists: vstart..vstop, estart..estop, nzstart..nzstop,
/// 1-based and inclusive; a range holds stop - start + 1 items.
/// Returns the word; for handle 0 (or a bad handle) a start is 1 and a stop 0. The setters store
/// the value unchecked; handle 0 does nothing.
///@{
KVOBLK_API int kvoblk_inq_vstart(int blkptr);
KVOBLK_API int kvoblk_inq_vstop(int blkptr);
KVOBLK_API int kvoblk_inq_estart(int blkptr);
KVOBLK_API int kvoblk_inq_estop(int blkptr);
KVOBLK_API int kvoblk_inq_nzstart(int blkptr);
KVOBLK_API int kvoblk_inq_nzstop(int blkptr);
KVOBLK_API void kvoblk_set_vstart(int blkptr, int value);
KVOBLK_API void kvoblk_set_vstop(int blkptr, int value);
KVOBLK_API void kvoblk_set_estart(int blkptr, int value);
KVOBLK_API void kvoblk_set_estop(int blkptr, int value);
KVOBLK_API void kvoblk_set_nzstart(int blkptr, int value);
KVOBLK_API void kvoblk_set_nzstop(int blkptr, int value);
///@}

/// Settings of the block: perturbation size, nonlinearity ratio and its allowed deviation, zero
/// tolerance, move flag and move amount of numeric detection, pattern type (a kvoblk_pat_type_t),
/// pattern file name and matrix precedence.
/// Returns the setting; 0, 0.0 or null for handle 0. The setters that answer an int return 1 when
/// the value was stored and 0 for handle 0; kvoblk_inq_pat_file returns a text the block owns.
/// kvoblk_set_pat_file stores a private copy (none for null or the empty name); when the copy
/// cannot be made the block keeps the name it had and a message says so.
///@{
KVOBLK_API double kvoblk_inq_pertsize(int blkptr);
KVOBLK_API int kvoblk_set_pertsize(int blkptr, double value);
KVOBLK_API double kvoblk_inq_nlratio(int blkptr);
KVOBLK_API int kvoblk_set_nlratio(int blkptr, double value);
KVOBLK_API double kvoblk_inq_nlratiodev(int blkptr);
KVOBLK_API int kvoblk_set_nlratiodev(int blkptr, double value);
KVOBLK_API double kvoblk_inq_zerotol(int blkptr);
KVOBLK_API void kvoblk_set_zerotol(int blkptr, double value);
KVOBLK_API double kvoblk_inq_moveamount(int blkptr);
KVOBLK_API void kvoblk_set_moveamount(int blkptr, double value);
KVOBLK_API int kvoblk_inq_move(int blkptr);
KVOBLK_API void kvoblk_set_move(int blkptr, int value);
KVOBLK_API int kvoblk_inq_pat_type(int blkptr);
KVOBLK_API void kvoblk_set_pat_type(int blkptr, int value);
KVOBLK_API const char* kvoblk_inq_pat_file(int blkptr);
KVOBLK_API void kvoblk_set_pat_file(int blkptr, const char* name);
KVOBLK_API int kvoblk_inq_matrix_precedence(int blkptr);
KVOBLK_API void blk_set_matrix_precedence(int blkptr, int precedence);
///@}

/// Derivative method (a kvoblk_deriv_type_t) and analytic-Jacobian support, with the rules that
/// guard each other: ANALYTIC and UPDATE_ANALYTIC need the support switched on, and the support
/// cannot be switched off while one of them is in force.
/// Returns: kvoblk_set_deriv_type: the method asked for when it was accepted, the method in force
/// when an analytic method was refused, 0 for a code outside 1 to 4 (the method stays);
/// kvoblk_inq_deriv_type: the method; blk_selfjac_enable: 1; blk_selfjac_disable: 1 when the
/// support is off afterwards, 0 when it was refused. All give 0 for handle 0.
///@{
KVOBLK_API int kvoblk_set_deriv_type(int blkptr, int method);
KVOBLK_API int kvoblk_inq_deriv_type(int blkptr);
KVOBLK_API int blk_selfjac_enable(int blkptr);
KVOBLK_API int blk_selfjac_disable(int blkptr);
///@}

/// Pattern initialisation type (a kvoblk_pat_ini_type_t) and model-pattern support, likewise
/// guarded: SELF needs the support.
/// Returns: kvoblk_set_pat_ini_type: the type asked for when it was accepted, else the type in
/// force; kvoblk_inq_pat_ini_type: the type; blk_selfpat_enable: 1; blk_selfpat_disable: 1 when
/// the support is off afterwards, 0 when it was refused. All give 0 for handle 0.
///@{
KVOBLK_API int kvoblk_set_pat_ini_type(int blkptr, int type);
KVOBLK_API int kvoblk_inq_pat_ini_type(int blkptr);
KVOBLK_API int blk_selfpat_enable(int blkptr);
KVOBLK_API int blk_selfpat_disable(int blkptr);
///@}

// ---- Dispatchers, in table order -----------------------------------------------------------
/// Dispatchers, one per slot of kvoblk_ops_t and in its order: each runs the routine in the
/// block's slot of the same name with the same arguments. A status word is set to 0 first and then
/// holds what the routine leaves in it (0 success, non-zero a failure the routine reports). Handle
/// 0 does nothing; a bad handle prints "Invalid block handle"; an empty slot prints "Attempt to
/// call an undefined function" after the dispatcher's name. kvoblk_res and kvoblk_group_res do
/// nothing for an excluded block.
/// Returns what the routine returns. With no routine to run: kvoblk_selfdim sets status 1,
/// kvoblk_invoke and kvoblk_scope_invoke return 1, the others 0, false or null. Note the sense of
/// kvoblk_add_port and kvoblk_delete_port: false when the port was added or removed, true when
/// it was refused (a port that was not added stays the caller's to destroy).
/// kvoblk_register_container keeps the container pointer until the block is destroyed; the
/// container must outlive the block (see NUXBlockCallback).
///@{
KVOBLK_API void kvoblk_selfdim(int blkptr, int* nvar, int* neqn, int* nnz, int* status);
KVOBLK_API void kvoblk_ini(int blkptr, int vstart, int estart, int nzstart, int* status);
KVOBLK_API void kvoblk_de_ini(int blkptr, int* status);
KVOBLK_API void kvoblk_res(int blkptr, int* status);
KVOBLK_API void kvoblk_selfjac(int blkptr, int* status);
KVOBLK_API void kvoblk_pre_solve(int blkptr, int* status);
KVOBLK_API void kvoblk_post_solve(int blkptr, int* status);
KVOBLK_API void kvoblk_inq_attr(int blkptr, nux_blk_t* desc);
KVOBLK_API void kvoblk_destroy(int blkptr);
KVOBLK_API void kvoblk_inq_nscript(int blkptr, int* count);
KVOBLK_API void kvoblk_inq_scriptid(int blkptr, int index, char* name);
KVOBLK_API kvopipe* kvoblk_acquire_script(int blkptr, const char* name);
KVOBLK_API NUXEOCntr* kvoblk_inq_embedded_container(int blkptr, const NUXEOCntr* cntr);
KVOBLK_API void kvoblk_init(int blkptr, int* status);
KVOBLK_API int kvoblk_invoke(int blkptr, const char* name, EBSContext* ctx, int nargs,
                             const value_t* args);
KVOBLK_API int kvoblk_scope_invoke(int blkptr, const char* name, int scope1, int scope2,
                                   EBSContext* ctx, int nargs, const value_t* args);
KVOBLK_API void kvoblk_report(int blkptr, int* status);
KVOBLK_API void kvoblk_register_container(int blkptr, NUXBlockCallback* cntr);
KVOBLK_API void kvoblk_set_included(int blkptr, int included);
KVOBLK_API void kvoblk_nlratio(int blkptr);
KVOBLK_API int kvoblk_inq_num_ports(int blkptr);
KVOBLK_API nux_port* kvoblk_get_port(int blkptr, const char* name);
KVOBLK_API nux_port* kvoblk_get_port_n(int blkptr, int i);
KVOBLK_API bool kvoblk_add_port(int blkptr, nux_port* port);
KVOBLK_API void kvoblk_selfpat(int blkptr, kv_jac_t* jac, int* status);
KVOBLK_API void kvoblk_npat_res(int blkptr, int* status);
KVOBLK_API void kvoblk_npat_compare(int blkptr, double a, double b, int* status);
KVOBLK_API int kvoblk_isof_type(int blkptr, const char* type);
KVOBLK_API void kvoblk_move(int blkptr, int dv, int de, int dnz);
KVOBLK_API int kvoblk_num_attr(int blkptr);
KVOBLK_API const char* kvoblk_name_attr(int blkptr, int i);
KVOBLK_API bool kvoblk_lookup_value(int blkptr, const char* attr, value_t* value);
KVOBLK_API bool kvoblk_assign_value(int blkptr, const char* attr, const value_t* value);
KVOBLK_API const nuxblock_attr_desc* kvoblk_describe_attr(int blkptr, const char* attr);
KVOBLK_API void kvoblk_group_res(int blkptr, int group, int* status);
KVOBLK_API void kvoblk_group_selfjac(int blkptr, int group, int* status);
KVOBLK_API bool kvoblk_delete_port(int blkptr, const char* name);
///@}

// ---- Base routines that a model's own routines can call ------------------------------------
/// Base routines of the slots of the same names, for a model's own routines to call: an analytic
/// Jacobian of no values, the nonlinearity ratio left as it is, the pattern by numeric detection,
/// the residuals for detection through the res slot, the type test ("KVOBLK" and what the model
/// adds) and no embedded container.
/// Returns: kvoblk_base_isof_type: 1 when the block is of the type, else 0;
/// kvoblk_base_inq_embedded_container: null. Status words: 0 success, 1 failure.
///@{
KVOBLK_API void kvoblk_base_selfjac(int blkptr, int* status);
KVOBLK_API void kvoblk_base_nlratio(int blkptr);
KVOBLK_API void kvoblk_base_selfpat(int blkptr, kv_jac_t* jac, int* status);
KVOBLK_API void kvoblk_base_npat_res(int blkptr, int* status);
KVOBLK_API int kvoblk_base_isof_type(int blkptr, const char* type);
KVOBLK_API NUXEOCntr* kvoblk_base_inq_embedded_container(int blkptr, const NUXEOCntr* cntr);
///@}

// ---- Containers, scripts and the port list -------------------------------------------------
/// Containers, scripts and the port list: registering the block with a container (the typical
/// registration also runs the standard scripts), the container the block is in, running a named
/// script through the container, and the base routines of the port slots.
/// Returns: kvoblk_inq_container: the container object or null; kvoblk_base_invoke and
/// kvoblk_base_scope_invoke: what the container's script run returns, 0 when the model hands out
/// no script of that name or the block has no container; kvoblk_base_inq_num_ports: the port
/// count; kvoblk_base_get_port_n: port i (1-based) or null; kvoblk_base_delete_port: false when
/// the port was found, removed and destroyed, true when nothing was removed (no such port, or no
/// container registered).
///@{
KVOBLK_API void kvoblk_base_register_container(int blkptr, NUXBlockCallback* cntr);
KVOBLK_API void kvoblk_base_typical_register(int blkptr, NUXBlockCallback* cntr);
KVOBLK_API NUXEOCntr* kvoblk_inq_container(int blkptr, const NUXEOCntr* cntr);
KVOBLK_API int kvoblk_base_invoke(int blkptr, const char* name, EBSContext* ctx, int nargs,
                                  const value_t* args);
KVOBLK_API int kvoblk_base_scope_invoke(int blkptr, const char* name, int scope1, int scope2,
                                        EBSContext* ctx, int nargs, const value_t* args);
KVOBLK_API int kvoblk_base_inq_num_ports(int blkptr);
KVOBLK_API nux_port* kvoblk_base_get_port_n(int blkptr, int i);
KVOBLK_API bool kvoblk_base_delete_port(int blkptr, const char* name);
///@}

// ---- Placement -----------------------------------------------------------------------------
/// Placement: the base routine of de_ini removes the block's variables and equations from the
/// lists and forgets its non-zeros (*status 0), and the block's global offsets from its
/// container. The non-zeros stay in the Jacobian: a host that removes them reads
/// kvoblk_inq_nzstart and kvoblk_inq_nzstop before kvoblk_de_ini, which resets every range to
/// start 1, stop 0.
/// Returns the offset; -1 when the block is not placed or has no container.
///@{
KVOBLK_API void kvoblk_base_de_ini(int blkptr, int* status);
KVOBLK_API int kvoblk_global_var_offset(int blkptr);
KVOBLK_API int kvoblk_global_eqn_offset(int blkptr);
KVOBLK_API int kvoblk_global_jac_offset(int blkptr);
///@}

// ---- Dimensioning --------------------------------------------------------------------------
/// Dimensioning: asks the model's selfdim routine for the largest numbers of variables,
/// equations and non-zeros and lets the pattern policy reserve non-zeros. *status 0 success,
/// non-zero when the model or the policy failed.
KVOBLK_API void kvoblk_dim(int blkptr, int* nvar, int* neqn, int* nnz, int* status);

// ---- Structure checksums -------------------------------------------------------------------
/// Feed one name in every 1000/k of the block's variables, equations or pattern entries into the
/// digest (k outside 1..1000 samples one in 1000). Handle 0 or a null context feeds nothing.
///@{
KVOBLK_API void kvblkchks_var_checksum(int blkptr, int k, kvo_md5_ctx* ctx);
KVOBLK_API void kvblkchks_eqn_checksum(int blkptr, int k, kvo_md5_ctx* ctx);
KVOBLK_API void kvblkchks_jac_checksum(int blkptr, int k, kvo_md5_ctx* ctx);
///@}

// ---- Sparsity patterns ---------------------------------------------------------------------
/// Numeric detection.
/// @return a pattern object of block-local entries (the caller destroys it), or 0 with one
/// error counted in *errors. Block-local numbers count from 1: row e is equation estart + e - 1,
/// column v is variable vstart + v - 1.
KVOBLK_API kv_jac_t kvoblk_npat(int blkptr, int* errors);
/// Restore from the block's pattern file (or detect and save when it cannot be opened).
/// @return a pattern object of block-local entries (the caller destroys it), or 0 with the
/// failure counted in *errors.
KVOBLK_API kv_jac_t kvoblk_rpat(int blkptr, int* errors);
/// Non-zero reservation at dimensioning, by the pattern initialisation type: *nnz receives the
/// count; each failure adds 1 to *errors.
KVOBLK_API void blkpat_dim(int blkptr, int nvar, int neq, int* nnz, int* errors);
/// Writes the block's pattern into the global Jacobian from position nzstart.
KVOBLK_API void kvoblk_pat_ini(int blkptr, int nzstart, int* errors);

KVOBLK_END_DECL

// The other families of block functions; each of their headers also stands alone. The framework
// class is C++ only.
#include <kvoblk/kvoattr.h>
#include <kvoblk/kvofortran.h>
#include <kvoblk/kvojac.h>
#include <kvoblk/kvopat_compare.h>
#include <kvoblk/kvoport.h>
#ifdef __cplusplus
#include <kvoblk/kvoblock.h>
#endif
