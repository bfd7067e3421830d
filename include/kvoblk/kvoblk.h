// The block library's exported interface: the block record's word names, the settings record,
// the model operation table, the block functions and their dispatchers.
#pragma once

#include <cstdint>

#include "kvo_lists.h"
#include "kvo_print.h"
#include "kvo_value.h"
#include "nux_framework.h"
#include "nux_port.h"

#include "kvoblk_export.h"

// Words of the block record in the workspace: word k of block b is ib0[b + k]. Words that hold
// references hold numbers of the library's reference table, 0 meaning none.
namespace kvoblk_word {
enum : int {
  vstart = 0,
  vstop = 1,
  estart = 2,
  estop = 3,
  nzstart = 4,
  nzstop = 5,
  vgrp = 6,
  lastx = 7,
  lastf = 8,
  iterated = 9,
  included = 10,
  blkid = 11,
  container = 12,
  diag_level = 13,
  num_ports = 14,
  ports = 15,
  being_solved = 16,
  ops = 17,
  settings = 18,
  eo_state = 19,
  block_object = 20,
  port_callback = 21,
  count = 22  // words the library defines; a model may ask for more and keep its own after
};
}  // namespace kvoblk_word

// Derivative methods.
enum : int32_t {
  KVOBLK_ANALYTIC = 1,
  KVOBLK_NUMERIC = 2,
  KVOBLK_UPDATE_NUMERIC = 3,
  KVOBLK_UPDATE_ANALYTIC = 4,
};

// Pattern initialisation types and pattern types.
enum : int32_t {
  KVOBLK_PAT_SELF = 1,
  KVOBLK_PAT_NUMERIC = 2,
  KVOBLK_PAT_RESTORE = 3,
};
enum : int32_t {
  KVOBLK_PATTYPE_UNDEFINED = 0,
  KVOBLK_PATTYPE_ANALYTIC = 1,
  KVOBLK_PATTYPE_NUMERIC = 2,
};

// The names of the codes above, as the block attributes show them and reports print them:
// kvoblk_name::of(kvoblk_name::deriv_type, KVOBLK_NUMERIC) is "NUMERIC". A code without a name
// gives null. Defined here so that every program prints the library's own texts.
namespace kvoblk_name {
inline constexpr const char* deriv_type[5] = {nullptr, "ANALYTIC", "NUMERIC", "UPDATE_NUMERIC",
                                              "UPDATE_ANALYTIC"};
inline constexpr const char* pat_ini_type[4] = {"UNDEFINED", "SELF", "NUMERIC", "RESTORE"};
inline constexpr const char* pat_type[3] = {"UNDEFINED", "ANALYTIC", "NUMERIC"};
template <int N>
constexpr const char* of(const char* const (&names)[N], int code) {
  return code >= 0 && code < N ? names[code] : nullptr;
}
}  // namespace kvoblk_name

// Block states (record word eo_state).
enum : int32_t {
  KVOBLK_NOT_INITIALISED = 0,
  KVOBLK_EO_FORM = 1,
  KVOBLK_SOLVING = 2,
};

// Per-block settings, owned by the block through record word 18.
struct kvoblk_settings_t {
  int32_t matrix_precedence;
  int32_t selfjac;
  int32_t deriv_type;
  int32_t selfpat;
  int32_t pat_ini_type;
  char* pat_file;  // heap text owned by the record, or null
  int32_t pat_dense_limit;
  int32_t pat_fill_percent;
  double pertsize;
  double nlratio;
  double nlratiodev;
  int32_t move;
  double moveamount;
  double zerotol;
  int32_t pat_type;
};

// The model operation table, owned by the block through record word 17. A model overwrites the
// slots it implements; every routine takes the block handle first.
//   Required, empty at creation: selfdim, ini, res.
//   Required for a method that uses them: selfjac (analytic and updated analytic Jacobians,
//     the base one does nothing), selfpat (the model's own pattern, the base one states none),
//     inq_scriptid (when inq_nscript counts scripts).
//   Optional, empty at creation: group_selfjac (a group's analytic Jacobian; without it the
//     whole block's selfjac serves every group).
//   Optional, base routine installed at creation: every other slot. reserved10 and reserved14
//     are never called.
// A dispatcher finding an empty slot prints "Attempt to call an undefined function"; an
// exception leaving a routine ends the call with a message, status 1 and the empty-slot result.
struct kvoblk_ops_t {
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
};
static_assert(sizeof(kvoblk_ops_t) == 39 * sizeof(void (*)()), "39 slots");

extern "C" {

// The fourteen script names of the block model, in their fixed order (no terminating entry).
KVOBLK_API extern const char* const kvoblk_script_names[14];

// ---- Creation, destruction, record accessors -----------------------------------------------
KVOBLK_API int kvoblk_base_create_1(int nwords);
KVOBLK_API int kvoblk_base_create(int nwords);
KVOBLK_API void kvoblk_base_destroy(int blkptr);

// The settings record and the operation table of a block (null for handle 0 or a bad handle).
// A model fills its slots through the table this returns.
KVOBLK_API kvoblk_ops_t* kvoblk_inq_ops(int blkptr);
KVOBLK_API kvoblk_settings_t* kvoblk_inq_settings(int blkptr);

KVOBLK_API const char* kvoblk_blkid(int blkptr);
// Replaces the block id by a private copy of `id` (none for null).
KVOBLK_API void kvoblk_set_blkid(int blkptr, const char* id);
// Makes the heap text `id` (from malloc) the block id; the block releases it.
KVOBLK_API void kvoblk_adopt_blkid(int blkptr, char* id);

KVOBLK_API void blk_inq_matrix(int blkptr, int* varlst, int* eqnlst, int* jac);
KVOBLK_API int blk_inq_matrix_varlst(int blkptr);
KVOBLK_API int blk_inq_matrix_eqnlst(int blkptr);
KVOBLK_API int blk_inq_matrix_jacobian(int blkptr);
KVOBLK_API int kvoblk_inq_varlst(int blkptr);

KVOBLK_API int kvoblk_inq_included(int blkptr);
KVOBLK_API int kvoblk_inq_diag_level(int blkptr);
KVOBLK_API void kvoblk_set_diag_level(int blkptr, int level);
KVOBLK_API int kvoblk_inq_eo_state(int blkptr);

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

// Derivative method and analytic-Jacobian support, with the rules that guard each other.
KVOBLK_API int kvoblk_set_deriv_type(int blkptr, int method);
KVOBLK_API int kvoblk_inq_deriv_type(int blkptr);
KVOBLK_API int blk_selfjac_enable(int blkptr);
KVOBLK_API int blk_selfjac_disable(int blkptr);

// Pattern initialisation type and model-pattern support, likewise guarded.
KVOBLK_API int kvoblk_set_pat_ini_type(int blkptr, int type);
KVOBLK_API int kvoblk_inq_pat_ini_type(int blkptr);
KVOBLK_API int blk_selfpat_enable(int blkptr);
KVOBLK_API int blk_selfpat_disable(int blkptr);

// ---- Dispatchers, in table order -----------------------------------------------------------
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

// ---- Base routines that a model's own routines can call ------------------------------------
KVOBLK_API void kvoblk_base_selfjac(int blkptr, int* status);
KVOBLK_API void kvoblk_base_nlratio(int blkptr);
KVOBLK_API void kvoblk_base_selfpat(int blkptr, kv_jac_t* jac, int* status);
KVOBLK_API void kvoblk_base_npat_res(int blkptr, int* status);
KVOBLK_API int kvoblk_base_isof_type(int blkptr, const char* type);
KVOBLK_API NUXEOCntr* kvoblk_base_inq_embedded_container(int blkptr, const NUXEOCntr* cntr);

// ---- Containers, scripts and the port list -------------------------------------------------
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

}  // extern "C"

extern "C" {

// ---- Placement -----------------------------------------------------------------------------
KVOBLK_API void kvoblk_base_de_ini(int blkptr, int* status);
KVOBLK_API int kvoblk_global_var_offset(int blkptr);
KVOBLK_API int kvoblk_global_eqn_offset(int blkptr);
KVOBLK_API int kvoblk_global_jac_offset(int blkptr);

}  // extern "C"

// The message-digest context of the host.
struct kvo_md5_ctx;

extern "C" {

// ---- Dimensioning --------------------------------------------------------------------------
KVOBLK_API void kvoblk_dim(int blkptr, int* nvar, int* neqn, int* nnz, int* status);

// ---- Structure checksums -------------------------------------------------------------------
// Feed one name in every 1000/k of the block's variables, equations or pattern entries into the
// digest (k outside 1..1000 samples one in 1000).
KVOBLK_API void kvblkchks_var_checksum(int blkptr, int k, kvo_md5_ctx* ctx);
KVOBLK_API void kvblkchks_eqn_checksum(int blkptr, int k, kvo_md5_ctx* ctx);
KVOBLK_API void kvblkchks_jac_checksum(int blkptr, int k, kvo_md5_ctx* ctx);

// ---- Sparsity patterns ---------------------------------------------------------------------
// Numeric detection: a pattern object of block-local entries, or 0 (one error counted).
KVOBLK_API kv_jac_t kvoblk_npat(int blkptr, int* errors);
// Restore from the block's pattern file (or detect and save when it cannot be opened).
KVOBLK_API kv_jac_t kvoblk_rpat(int blkptr, int* errors);
// Non-zero reservation at dimensioning, by the pattern initialisation type.
KVOBLK_API void blkpat_dim(int blkptr, int nvar, int neq, int* nnz, int* errors);
// Writes the block's pattern into the global Jacobian from position nzstart.
KVOBLK_API void kvoblk_pat_ini(int blkptr, int nzstart, int* errors);

}  // extern "C"

#include "kvojac.h"
#include "kvoattr.h"
#include "kvoport.h"
#include "kvofortran.h"
#include "kvopat_compare.h"
#include "kvoblock.h"
