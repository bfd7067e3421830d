// The block library's exported interface: the block record's word names, the settings record,
// the model operation table, the block functions and their dispatchers.
#pragma once

#include <stdint.h>

#include <kvoblk/host/kvo_lists.h>
#include <kvoblk/host/kvo_print.h>
#include <kvoblk/host/kvo_value.h>
#include <kvoblk/kvoblk_export.h>
#include <kvoblk/kvoblk_host_types.h>

// Words of the block record in the workspace: word k of block b is ib0[b + k]. Words that hold
// references hold numbers of the library's reference table, 0 meaning none.
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
  KVOBLK_WORD_COUNT = 22  // words the library defines; a model may ask for more and keep its own after
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

// Derivative methods.
typedef enum kvoblk_deriv_type_t {
  KVOBLK_ANALYTIC = 1,
  KVOBLK_NUMERIC = 2,
  KVOBLK_UPDATE_NUMERIC = 3,
  KVOBLK_UPDATE_ANALYTIC = 4,
} kvoblk_deriv_type_t;

// Pattern initialisation types and pattern types.
typedef enum kvoblk_pat_ini_type_t {
  KVOBLK_PAT_SELF = 1,
  KVOBLK_PAT_NUMERIC = 2,
  KVOBLK_PAT_RESTORE = 3,
} kvoblk_pat_ini_type_t;
typedef enum kvoblk_pat_type_t {
  KVOBLK_PATTYPE_UNDEFINED = 0,
  KVOBLK_PATTYPE_ANALYTIC = 1,
  KVOBLK_PATTYPE_NUMERIC = 2,
} kvoblk_pat_type_t;

// Block states (record word eo_state).
typedef enum kvoblk_eo_state_t {
  KVOBLK_NOT_INITIALISED = 0,
  KVOBLK_EO_FORM = 1,
  KVOBLK_SOLVING = 2,
} kvoblk_eo_state_t;

// Per-block settings, owned by the block through record word 18.
typedef struct kvoblk_settings_t {
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
} kvoblk_settings_t;

// The model operation table, owned by the block through record word 17. A model overwrites the
// slots it implements; every routine takes the block handle first.
typedef struct kvoblk_ops_t {
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
} kvoblk_ops_t;
KVOBLK_STATIC_ASSERT(sizeof(kvoblk_ops_t) == 39 * sizeof(void (*)()), "39 slots");

KVOBLK_BEGIN_DECL

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

// ---- Placement -----------------------------------------------------------------------------
KVOBLK_API void kvoblk_base_de_ini(int blkptr, int* status);
KVOBLK_API int kvoblk_global_var_offset(int blkptr);
KVOBLK_API int kvoblk_global_eqn_offset(int blkptr);
KVOBLK_API int kvoblk_global_jac_offset(int blkptr);

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
