// SPDX-License-Identifier: BSD-3-Clause
// The flowsheet's three global lists (variables, equations, Jacobian non-zeros), the pattern
// vectors of the Jacobian, connection managers and the variable status utilities. Positions are
// global and 1-based; list handles are one-word integers, 0 meaning none.
#pragma once

#include <kvoblk/host/kvo_host_export.h>
#include <kvoblk/host/kvo_value.h>

// Handle of the Jacobian service or of a pattern object made by kvojac_create; 0 is none.
typedef int kv_jac_t;

#ifdef __cplusplus
// A connection manager links variables of one block to another block's. The library only
// deactivates and activates managers around a change of inclusion.
class KVOHOST_API kvo_connmgr {
 public:
  virtual void activate() = 0;
  virtual void deactivate() = 0;

 protected:
  virtual ~kvo_connmgr() = default;
};

// A read-only view of the equation (row) or variable (column) number of every entry of a
// Jacobian or pattern object: entry k is element k-1. Valid until the object changes.
// The host defines the destructor and the two constructors below, which set data_ and size_ (the
// entry count; null and 0 for a handle the service does not know). data_ may point straight into
// the service's own storage: the library never writes through it and edits no pattern while it
// holds a view (a view does live across the block's residual evaluations in a numeric Jacobian
// or an update). A copy the constructor made is released by the destructor. The destructor must
// be defined even by a host without pattern objects: the class's type information comes with it.
class KVOHOST_API KVJacPatternVector {
 public:
  virtual ~KVJacPatternVector();
  KVJacPatternVector(const KVJacPatternVector&) = delete;
  KVJacPatternVector& operator=(const KVJacPatternVector&) = delete;

  int* data() const { return data_; }
  int size() const { return size_; }
  int operator[](int i) const { return data_[i]; }

 protected:
  KVJacPatternVector() = default;
  int* data_ = nullptr;
  int size_ = 0;
};

// Row (equation) numbers of every entry.
class KVOHOST_API KVJacIrn : public KVJacPatternVector {
 public:
  explicit KVJacIrn(kv_jac_t* jac);
};

// Column (variable) numbers of every entry.
class KVOHOST_API KVJacIcn : public KVJacPatternVector {
 public:
  explicit KVJacIcn(kv_jac_t* jac);
};
#else
typedef struct kvo_connmgr kvo_connmgr;
#endif

KVOBLK_BEGIN_DECL

// ---- Variable list -------------------------------------------------------------------------
// Every `zero` argument below is 0.
// Copies the variable's name, at most 128 characters and its terminator, into `buffer` (the
// library's buffers hold 129 characters or more).
KVOHOST_API void kvovarlst_inq_var_name(int varlst, int pos, char* buffer);
// The name as a text owned by the service; never null.
KVOHOST_API const char* kvovarlst_lookup_var_name(int varlst, int pos);
KVOHOST_API double kvovarlst_inq_var_value(int varlst, int pos, int zero);
// The bounds. Numeric pattern detection reads them: it refuses a block with a variable outside
// its bounds ("... is outside its bounds", no pattern), and it does not perturb a variable whose
// bounds are equal, so that variable's column gets no entries. A variable without bounds
// therefore answers a wide interval (the reference host: -1e35 and 1e35), never 0 and 0.
KVOHOST_API double kvovarlst_inq_var_lower(int varlst, int pos, int zero);
KVOHOST_API double kvovarlst_inq_var_upper(int varlst, int pos, int zero);
// The scale; numeric detection steps by it (0 or not a number counts as 1).
KVOHOST_API double kvovarlst_inq_var_scale(int varlst, int pos);
KVOHOST_API void kvovarlst_set_var_value(int varlst, int pos, double value, int zero);
// Live arrays, position p at element p-1; writable in place. A numeric Jacobian needs both
// (with the residual and value arrays of the other two services): a null array fails it.
KVOHOST_API double* kvovarlst_vec_value(int varlst);
KVOHOST_API int* kvovarlst_vec_status(int varlst);
KVOHOST_API int kvovarlst_inq_var_status(int varlst, int pos);
// The number of variable positions in the whole list.
KVOHOST_API int kvovarlst_inq_nvar(int varlst);
// Moves `count` items (name, value, status) from position `from` to position `to`; the ranges
// may overlap and `count` may be 0. The list grows to hold the destination; what the source
// positions hold afterwards is not read (the reference host empties them). Only moving a block
// (kvoblk_move) calls it.
KVOHOST_API void kvovarlst_move_items(int varlst, int from, int to, int count);
// Empties positions first..last (called by kvoblk_de_ini). The positions after them keep their
// numbers: the library moves no other block, so nothing may shift.
KVOHOST_API void kvovarlst_removevars(int varlst, int first, int last);
// The variable's connection manager, or null for a variable that has none.
KVOHOST_API kvo_connmgr* kvovarlst_inq_var_connMgr(int varlst, int pos);
// Named variable attributes such as "NAME.SPEC". Return non-zero when the attribute is known.
KVOHOST_API int kvovarlst_assign_value(int varlst, const char* attr, const value_t* value);
KVOHOST_API int kvovarlst_lookup_value(int varlst, const char* attr, value_t* value);
// Defines variable `pos` (the list grows to hold it): its name, its value, no bounds, scale 1,
// status 0. Models call it when they are placed.
KVOHOST_API void kvovarlst_define_var(int varlst, int pos, const char* name, double value);

// ---- Equation list -------------------------------------------------------------------------
// Copies the equation's name, at most 128 characters and its terminator, into `buffer`.
KVOHOST_API void kvoeqnlst_inq_eqn_name(int eqnlst, int pos, char* buffer);
// The name as a text owned by the service; never null.
KVOHOST_API const char* kvoeqnlst_lookup_eqn_name(int eqnlst, int pos);
// The residual the last evaluation left.
KVOHOST_API double kvoeqnlst_inq_eqn_value(int eqnlst, int pos);
// Live residual array, position p at element p-1; writable in place.
KVOHOST_API double* kvoeqnlst_vec_residual(int eqnlst);
// Live array of equation-group numbers, position p at element p-1, 0 meaning no group; may be
// null for a host without groups. At placement the library gives every equation of the block
// still in group 0 the block's group number, the absolute index of its first equation.
KVOHOST_API int* kvoeqnlst_vec_group(int eqnlst);
// The absolute index of position `pos`: the position itself for a flowsheet of one list, the
// position plus the list's base where lists are parts of a larger one. It is the block's group
// number, so it must not be 0 for a defined equation (0 is no group).
KVOHOST_API int kvoeqnlst_absolute_index(int eqnlst, int pos);
// The number of equation positions in the whole list, so that callers can bound their loops
// over the live arrays.
KVOHOST_API int kvoeqnlst_inq_neqn(int eqnlst);
KVOHOST_API int kvoeqnlst_inq_eqn_status(int eqnlst, int pos);
// Writes the norm of the residuals of positions first..last into *norm, which the block's
// information record shows as `resnorm` (the reference host: the Euclidean norm).
KVOHOST_API void kvoeqnlst_norm(int eqnlst, int first, int last, double* norm);
// Includes (non-zero) or excludes (0) one equation: the status word u3rinc_c reads.
KVOHOST_API void kvoeqnlst_in_exclude_equation(int eqnlst, int pos, int include);
// As kvovarlst_move_items and kvovarlst_removevars, for equations (name, residual, group,
// status).
KVOHOST_API void kvoeqnlst_move_items(int eqnlst, int from, int to, int count);
KVOHOST_API void kvoeqnlst_removeeqns(int eqnlst, int first, int last);
// Defines equation `pos` (the list grows to hold it): its name, residual 0, group 0, active.
KVOHOST_API void kvoeqnlst_define_eqn(int eqnlst, int pos, const char* name);

// ---- Jacobian and pattern objects ----------------------------------------------------------
// The flowsheet's Jacobian (the container's handle) is sized by the host: its entry count
// (kvojac_inq_nnz) must cover every non-zero a block is given, and the library never changes that
// count; it reads and writes only entries 1 to the count. Pattern objects are made by
// kvojac_create with room for `capacity` entries; the library then sets their count (never above
// the capacity) before it writes entries or hands rows and columns over, and destroys every
// object it made, except the ones kvoblk_npat and kvoblk_rpat hand to their caller. A model's
// selfpat routine may be handed such an object instead of the Jacobian.
// kvojac_create answers 0 when it cannot make the object (the library then says so and the
// detection, restore or comparison fails); kvojac_destroy releases an object and may set *jac
// to 0.
KVOHOST_API kv_jac_t kvojac_create(int capacity);
KVOHOST_API void kvojac_destroy(kv_jac_t* jac);
KVOHOST_API void kvojac_set_nnz(kv_jac_t jac, int nnz);
KVOHOST_API int kvojac_inq_nnz(kv_jac_t jac);
// The service keeps its own copy of the first nnz numbers.
KVOHOST_API void kvojac_set_rows(kv_jac_t jac, const int* rows);
KVOHOST_API void kvojac_set_columns(kv_jac_t jac, const int* columns);
KVOHOST_API int kvojac_inq_nz_eqnnum(kv_jac_t jac, int k);
KVOHOST_API int kvojac_inq_nz_varnum(kv_jac_t jac, int k);
KVOHOST_API void kvojac_set_nz_eqnnum(kv_jac_t jac, int k, int eqn);
KVOHOST_API void kvojac_set_nz_varnum(kv_jac_t jac, int k, int var);
KVOHOST_API void kvojac_inq_nz_value(kv_jac_t jac, int k, double* value);
KVOHOST_API void kvojac_set_nz_value(kv_jac_t jac, int k, double value);
// Live array of the values, entry k at element k-1; writable in place.
KVOHOST_API double* kvojac_vec_bj(kv_jac_t jac);
// Moves entries (numbers and values) as kvovarlst_move_items moves variables.
KVOHOST_API void kvojac_move_items(kv_jac_t jac, int from, int to, int count);
// In entries first..last, adds dv to every variable number and de to every equation number;
// vstart and estart are the block's starts before the move (a host may ignore them). Called
// by kvoblk_move before the entries themselves are moved.
KVOHOST_API void kvojac_renumber(kv_jac_t jac, int first, int last, int vstart, int dv, int estart,
                                 int de);

// ---- Variable and equation status words ----------------------------------------------------
// The library reads and changes status words only through these four calls (and hands the live
// variable status array to U3NJAC_COMPUTE), so their bits are the host's own choice.
// Marks one variable status word excluded (flag non-zero) or not excluded.
KVOHOST_API void varSetExcluded(int* status, int excluded);
KVOHOST_API int varIsFixed(int status);
// Connection code of a variable: 0 unconnected, 2, 3 or 4 for the kinds of connection.
KVOHOST_API int varInqConnected(int status);
// Non-zero when the equation status word marks an active (included) equation.
KVOHOST_API int u3rinc_c(int status);

KVOBLK_END_DECL
