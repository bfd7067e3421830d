// SPDX-License-Identifier: BSD-3-Clause
// Fortran entry points for what a model does beyond the block functions: the second creation
// routine, filling operation-table slots by name, defining its variables and equations, and
// reading and writing variable values, residuals, pattern entries and Jacobian values by
// block-local number. Arguments by reference, CHARACTER as address and length.
#include <kvoblk/kvoblk.h>
#include <kvoblk/kvofortran.h>

#include <cstdlib>
#include <cstring>

#include "kvblk_internal.h"
#include "kvofortran_internal.h"

using kvoblk::detail::Conversion;
using kvoblk::detail::convert;
namespace W = kvoblk_word;

namespace {

// The slot names of the operation table, in table order: slot i is the i-th routine pointer.
constexpr const char* kSlotNames[] = {
    "selfdim",       "ini",          "de_ini",         "res",          "selfjac",
    "pre_solve",     "post_solve",   "inq_attr",       "destroy",      "reserved10",
    "inq_nscript",   "inq_scriptid", "acquire_script", "reserved14",   "inq_embedded_container",
    "init",          "invoke",       "scope_invoke",   "report",       "register_container",
    "set_included",  "nlratio",      "inq_num_ports",  "get_port",     "get_port_n",
    "add_port",      "selfpat",      "npat_res",       "npat_compare", "isof_type",
    "move",          "num_attr",     "name_attr",      "lookup_value", "assign_value",
    "describe_attr", "group_res",    "group_selfjac",  "delete_port"};
static_assert(sizeof(kSlotNames) / sizeof(kSlotNames[0]) == 39, "one name per slot");

int handle(const int* blkptr) { return blkptr ? *blkptr : 0; }

// "!! <fn>: " and the message, in two print calls.
void fail(const char* fn, const char* message) {
  kvoprintf(kvHisDev, "!! %s: ", fn);
  kvoprintf(kvHisDev, "%s", message);
}

// The list position of block-local item i of a block range start..stop, or 0 (with a message)
// when i is outside it. With `open_end` the stop is not checked (items are being defined). A
// position below 1 is outside every list, whatever the range words say.
int position(const char* fn, const char* what, int start, int stop, const int* i, bool open_end) {
  const long long pos = i ? static_cast<long long>(start) + *i - 1 : 0;
  if (!i || *i < 1 || (!open_end && *i > static_cast<long long>(stop) - start + 1) || pos < 1 ||
      pos > 2147483647LL) {
    kvoprintf(kvHisDev, "!! %s: ", fn);
    kvoprintf(kvHisDev, "%s %d is outside the block\n", what, i ? *i : 0);
    return 0;
  }
  return static_cast<int>(pos);
}

int var_position(const char* fn, int b, const int* i, bool open_end = false) {
  return position(fn, "Variable", kvoblk_inq_vstart(b), kvoblk_inq_vstop(b), i, open_end);
}
int eqn_position(const char* fn, int b, const int* e, bool open_end = false) {
  return position(fn, "Equation", kvoblk_inq_estart(b), kvoblk_inq_estop(b), e, open_end);
}
int nz_position(const char* fn, int b, const int* k) {
  return position(fn, "Non-zero", kvoblk_inq_nzstart(b), kvoblk_inq_nzstop(b), k, false);
}

// The numbers of variables, equations and non-zeros the block's last dimensioning gave, while
// they bound its Fortran definitions: from the start of its placement until the model sets a
// range's stop, only the count tells where the next block's items begin. -1 where only the list
// positions bound them: no dimensioning was recorded, the block is not being placed, or the
// model has set that stop at or past the range's start (its own stop then stands, as before).
struct Counts {
  int nvar = -1, neq = -1, nnz = -1;
};
Counts counts(int b) {
  const kvoblk::detail::BlockFacts* s = b != 0 ? kvoblk::detail::facts(b) : nullptr;
  Counts c;
  if (!s || !s->placing || !s->dim_known) return c;
  using kvoblk::detail::word;
  // A stop before its start holds nothing: a model that empties a range before defining its
  // items (nzstop = nzstart - 1 ahead of the pattern routine) has not set that stop yet.
  const auto unset = [b](int stop, int start, int before) {
    return word(b, stop) == before || word(b, stop) < word(b, start);
  };
  if (unset(W::vstop, W::vstart, s->placing_vstop)) c.nvar = s->dim_nvar;
  if (unset(W::estop, W::estart, s->placing_estop)) c.neq = s->dim_neq;
  if (unset(W::nzstop, W::nzstart, s->placing_nzstop)) c.nnz = s->dim_nnz;
  return c;
}

// `pos`, the list position of block-local item i (0 when refused already), or 0 with a message
// when i lies past a count of `count` items (none when negative): it would be defined where
// the next block's items go.
int within_count(const char* fn, const char* what, const char* item, int b, const int* i, int pos,
                 int count) {
  if (pos == 0 || count < 0 || *i <= count) return pos;
  kvoprintf(kvHisDev, "!! %s: ", fn);
  kvoprintf(kvHisDev, "%s %d lies past the %d %s%s block %s was dimensioned for\n", what, *i, count,
            item, count == 1 ? "" : "s", kvoblk::detail::text(kvoblk::detail::blkid(b)));
  return 0;
}

// The list position of a variable, equation or non-zero being defined: past its start, and
// within `count` (from counts()).
int defined_var(const char* fn, int b, const int* i, int count) {
  return within_count(fn, "Variable", "variable", b, i, var_position(fn, b, i, true), count);
}
int defined_eqn(const char* fn, int b, const int* e, int count) {
  return within_count(fn, "Equation", "equation", b, e, eqn_position(fn, b, e, true), count);
}
int defined_nz(const char* fn, int b, const int* k, int count) {
  const int pos = position(fn, "Non-zero", kvoblk_inq_nzstart(b), 0, k, true);
  return within_count(fn, "Non-zero", "non-zero", b, k, pos, count);
}

// Converts a name argument into `*text` (null when it is absent). False, with a message, when
// memory ran out: the caller then changes nothing, rather than acting on a name it was not given.
bool name_text(const char* fn, const char* name, int namelen, char** text) {
  if (convert(name, namelen, text) != Conversion::no_memory) return true;
  fail(fn, "Out of memory\n");
  return false;
}

// False, with a message, for a name that is blank or absent: an item without a name cannot be
// told apart from any other in the lists and reports, so it is not defined.
bool named(const char* fn, const char* what, const int* i, const char* text) {
  if (text && text[0] != 0) return true;
  kvoprintf(kvHisDev, "!! %s: ", fn);
  kvoprintf(kvHisDev, "%s %d is given a blank name\n", what, i ? *i : 0);
  return false;
}

// False, with a message for a live block, when the block has no list to define its items in
// (it is not registered with a container yet): the item would be lost without a word. Handle 0
// and a bad handle (already reported by the list query) get no message of their own.
bool has_list(const char* fn, const char* what, const char* list_name, int b, const int* i,
              int list) {
  if (list != 0) return true;
  if (b != 0 && kvoblk::detail::registered(b)) {
    kvoprintf(kvHisDev, "!! %s: ", fn);
    kvoprintf(kvHisDev, "%s %d cannot be defined: the block has no %s list\n", what, i ? *i : 0,
              list_name);
  }
  return false;
}

}  // namespace

extern "C" {

KVOBLK_API int _KVOBLK_BASE_CREATE_1_F(const int* nwords) {
  return nwords ? kvoblk_base_create_1(*nwords) : 0;
}

KVOBLK_API int _KVOBLK_SET_OP_F(const int* blkptr, const char* name, int namelen,
                                void (*routine)()) {
  const int b = handle(blkptr);
  kvoblk_ops_t* ops = b != 0 ? kvoblk_inq_ops(b) : nullptr;
  if (!ops) return 0;
  char* slot = nullptr;
  if (!name_text(__func__, name, namelen, &slot)) return 0;
  int index = -1;
  for (int i = 0; slot && i < 39; ++i) {
    if (std::strcmp(slot, kSlotNames[i]) == 0) index = i;
  }
  if (index < 0) {
    kvoprintf(kvHisDev, "!! %s: ", __func__);
    kvoprintf(kvHisDev, "Unknown operation '%s'\n", slot ? slot : "");
    std::free(slot);
    return 0;
  }
  std::free(slot);
  // The table is 39 routine pointers of one size; slot `index` takes the routine as it is.
  std::memcpy(reinterpret_cast<char*>(ops) + index * sizeof(routine), &routine, sizeof(routine));
  return 1;
}

KVOBLK_API void _KVOBLK_DEFINE_VAR_F(const int* blkptr, const int* i, const char* name, int namelen,
                                     const double* value) {
  const int b = handle(blkptr);
  const int varlst = b != 0 ? blk_inq_matrix_varlst(b) : 0;
  if (!has_list(__func__, "Variable", "variable", b, i, varlst) || !value) return;
  const int pos = defined_var(__func__, b, i, counts(b).nvar);
  if (pos == 0) return;
  char* text = nullptr;
  if (!name_text(__func__, name, namelen, &text)) return;
  if (named(__func__, "Variable", i, text)) kvovarlst_define_var(varlst, pos, text, *value);
  std::free(text);
}

KVOBLK_API void _KVOBLK_DEFINE_EQN_F(const int* blkptr, const int* e, const char* name,
                                     int namelen) {
  const int b = handle(blkptr);
  const int eqnlst = b != 0 ? blk_inq_matrix_eqnlst(b) : 0;
  if (!has_list(__func__, "Equation", "equation", b, e, eqnlst)) return;
  const int pos = defined_eqn(__func__, b, e, counts(b).neq);
  if (pos == 0) return;
  char* text = nullptr;
  if (!name_text(__func__, name, namelen, &text)) return;
  if (named(__func__, "Equation", e, text)) kvoeqnlst_define_eqn(eqnlst, pos, text);
  std::free(text);
}

KVOBLK_API double _KVOBLK_INQ_VAR_F(const int* blkptr, const int* i) {
  const int b = handle(blkptr);
  const int varlst = b != 0 ? blk_inq_matrix_varlst(b) : 0;
  const int pos = varlst != 0 ? var_position(__func__, b, i) : 0;
  return pos != 0 ? kvovarlst_inq_var_value(varlst, pos, 0) : 0.0;
}

KVOBLK_API void _KVOBLK_SET_VAR_F(const int* blkptr, const int* i, const double* value) {
  const int b = handle(blkptr);
  const int varlst = b != 0 && value ? blk_inq_matrix_varlst(b) : 0;
  const int pos = varlst != 0 ? var_position(__func__, b, i) : 0;
  if (pos != 0) kvovarlst_set_var_value(varlst, pos, *value, 0);
}

KVOBLK_API double _KVOBLK_INQ_RES_F(const int* blkptr, const int* e) {
  const int b = handle(blkptr);
  const int eqnlst = b != 0 ? blk_inq_matrix_eqnlst(b) : 0;
  const int pos = eqnlst != 0 ? eqn_position(__func__, b, e) : 0;
  const double* r = pos != 0 ? kvoeqnlst_vec_residual(eqnlst) : nullptr;
  return r && pos <= kvoeqnlst_inq_neqn(eqnlst) ? r[pos - 1] : 0.0;
}

KVOBLK_API void _KVOBLK_SET_RES_F(const int* blkptr, const int* e, const double* value) {
  const int b = handle(blkptr);
  const int eqnlst = b != 0 && value ? blk_inq_matrix_eqnlst(b) : 0;
  const int pos = eqnlst != 0 ? eqn_position(__func__, b, e) : 0;
  double* r = pos != 0 ? kvoeqnlst_vec_residual(eqnlst) : nullptr;
  if (r && pos <= kvoeqnlst_inq_neqn(eqnlst)) r[pos - 1] = *value;
}

KVOBLK_API void _KVOBLK_SET_PAT_F(const int* blkptr, const int* jac, const int* k, const int* e,
                                  const int* v) {
  const int b = handle(blkptr);
  if (b == 0 || !jac || *jac == 0 || !k || !e || !v) return;
  // Entries name list positions; the block's ranges are being set, so only the lower ends and,
  // until the model sets the stops, the dimensioned counts bound them.
  const Counts c = counts(b);
  const int pos = defined_nz(__func__, b, k, c.nnz);
  const int eqn = defined_eqn(__func__, b, e, c.neq);
  const int var = defined_var(__func__, b, v, c.nvar);
  if (pos == 0 || eqn == 0 || var == 0) return;
  kvojac_set_nz_eqnnum(*jac, pos, eqn);
  kvojac_set_nz_varnum(*jac, pos, var);
}

KVOBLK_API void _KVOBLK_INQ_NZ_F(const int* blkptr, const int* k, int* e, int* v) {
  const int b = handle(blkptr);
  const int jac = b != 0 ? blk_inq_matrix_jacobian(b) : 0;
  const int pos = jac != 0 ? nz_position(__func__, b, k) : 0;
  // Block-local numbers, 0 for an entry no int can number from the block's start.
  auto local = [](int global, int start) {
    const long long n = static_cast<long long>(global) - start + 1;
    return n >= -2147483647LL - 1 && n <= 2147483647LL ? static_cast<int>(n) : 0;
  };
  if (e) *e = pos != 0 ? local(kvojac_inq_nz_eqnnum(jac, pos), kvoblk_inq_estart(b)) : 0;
  if (v) *v = pos != 0 ? local(kvojac_inq_nz_varnum(jac, pos), kvoblk_inq_vstart(b)) : 0;
}

KVOBLK_API double _KVOBLK_INQ_JAC_F(const int* blkptr, const int* k) {
  const int b = handle(blkptr);
  const int jac = b != 0 ? blk_inq_matrix_jacobian(b) : 0;
  const int pos = jac != 0 ? nz_position(__func__, b, k) : 0;
  double value = 0.0;
  if (pos != 0) kvojac_inq_nz_value(jac, pos, &value);
  return value;
}

KVOBLK_API void _KVOBLK_SET_JAC_F(const int* blkptr, const int* k, const double* value) {
  const int b = handle(blkptr);
  const int jac = b != 0 && value ? blk_inq_matrix_jacobian(b) : 0;
  const int pos = jac != 0 ? nz_position(__func__, b, k) : 0;
  if (pos != 0) kvojac_set_nz_value(jac, pos, *value);
}

}  // extern "C"
