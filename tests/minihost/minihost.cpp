// SPDX-License-Identifier: BSD-3-Clause
// A second host, written for the tests: only the services one small model needs (workspace,
// print devices, one variable list, one equation list, one Jacobian with pattern objects). It
// shows that the block library binds to whichever host the program links: the same libkvoblk
// runs here as on the reference host.
#include "minihost.h"

#include <kvoblk/host/kvo_alloc.h>
#include <kvoblk/host/kvo_lists.h>
#include <kvoblk/host/kvo_print.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The workspace grows by appending; freed words are not reused. Word 0 is never handed out.
std::vector<int32_t> workspace(1, 0);

// Handle 1 of each kind is the flowsheet's list; pattern objects are handles 2 and up.
struct Jac {
  std::vector<int> rows, cols;
  std::vector<double> values;
  int nnz = 0;
};
std::vector<double> values, residuals;
std::vector<int> var_status, eqn_status, groups;
std::vector<Jac> jacs(2);
// Requests for entry k of an object that holds fewer entries: the library promises none.
int outside = 0;

Jac* jac_of(kv_jac_t h) { return h >= 1 && h < static_cast<int>(jacs.size()) ? &jacs[h] : nullptr; }
// True when j holds entry k; counts a request for an entry it does not hold.
bool holds(const Jac* j, int k) {
  if (!j) return false;
  if (k >= 1 && k <= j->nnz) return true;
  ++outside;
  return false;
}
void fit(Jac* j, int n) {
  if (static_cast<int>(j->rows.size()) < n) {
    j->rows.resize(n);
    j->cols.resize(n);
    j->values.resize(n);
  }
}

}  // namespace

extern "C" {

int32_t* ib0 = nullptr;
int kvHisDev = 1;
int kvRepDev = 2;

int KVO_IMALLOC(int* nwords) {
  if (!nwords || *nwords < 1) return 0;
  const int index = static_cast<int>(workspace.size());
  workspace.resize(workspace.size() + *nwords, 0);
  ib0 = workspace.data();
  return index;
}
int KVO_IREALLOC(int* index, int* nwords) {
  const int moved = KVO_IMALLOC(nwords);
  if (moved && index && *index > 0)
    for (int k = 0; k < *nwords && *index + k < moved; ++k) ib0[moved + k] = ib0[*index + k];
  return moved;
}
void KVO_IFREE(int*) {}

int kvoprintf(int device, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::printf("%s", device == kvRepDev ? "[report] " : "");
  const int n = std::vprintf(format, args);
  va_end(args);
  return n;
}
void kvowrite(int, const char* text, int length) {
  std::fwrite(text, 1, length > 0 ? length : 0, stdout);
}
void kvodestroy(kvopipe*) {}

// No names: the model's run never asks for one, and the library binds a host function only
// when it is first called.

double* kvovarlst_vec_value(int varlst) { return varlst == 1 ? values.data() : nullptr; }
int kvovarlst_inq_nvar(int varlst) { return varlst == 1 ? static_cast<int>(values.size()) : 0; }
int* kvovarlst_vec_status(int varlst) { return varlst == 1 ? var_status.data() : nullptr; }
int kvovarlst_inq_var_status(int, int) { return 0; }
double* kvoeqnlst_vec_residual(int eqnlst) { return eqnlst == 1 ? residuals.data() : nullptr; }
int* kvoeqnlst_vec_group(int eqnlst) { return eqnlst == 1 ? groups.data() : nullptr; }
int kvoeqnlst_inq_neqn(int eqnlst) { return eqnlst == 1 ? static_cast<int>(residuals.size()) : 0; }
int kvoeqnlst_inq_eqn_status(int, int) { return 1; }
int kvoeqnlst_absolute_index(int, int pos) { return pos; }
int u3rinc_c(int status) { return status & 1; }

kv_jac_t kvojac_create(int capacity) {
  jacs.emplace_back();
  fit(&jacs.back(), capacity > 0 ? capacity : 0);
  return static_cast<kv_jac_t>(jacs.size() - 1);
}
void kvojac_destroy(kv_jac_t* jac) {
  if (Jac* j = jac ? jac_of(*jac) : nullptr) *j = Jac();
  if (jac) *jac = 0;
}
void kvojac_set_nnz(kv_jac_t jac, int nnz) {
  if (Jac* j = jac_of(jac)) {
    fit(j, nnz);
    j->nnz = nnz;
  }
}
int kvojac_inq_nnz(kv_jac_t jac) { return jac_of(jac) ? jac_of(jac)->nnz : 0; }
void kvojac_set_rows(kv_jac_t jac, const int* rows) {
  if (Jac* j = jac_of(jac)) std::memcpy(j->rows.data(), rows, sizeof(int) * j->nnz);
}
void kvojac_set_columns(kv_jac_t jac, const int* columns) {
  if (Jac* j = jac_of(jac)) std::memcpy(j->cols.data(), columns, sizeof(int) * j->nnz);
}
int kvojac_inq_nz_eqnnum(kv_jac_t jac, int k) {
  Jac* j = jac_of(jac);
  return holds(j, k) ? j->rows[k - 1] : 0;
}
int kvojac_inq_nz_varnum(kv_jac_t jac, int k) {
  Jac* j = jac_of(jac);
  return holds(j, k) ? j->cols[k - 1] : 0;
}
void kvojac_set_nz_eqnnum(kv_jac_t jac, int k, int eqn) {
  if (Jac* j = jac_of(jac); holds(j, k)) j->rows[k - 1] = eqn;
}
void kvojac_set_nz_varnum(kv_jac_t jac, int k, int var) {
  if (Jac* j = jac_of(jac); holds(j, k)) j->cols[k - 1] = var;
}
void kvojac_inq_nz_value(kv_jac_t jac, int k, double* value) {
  Jac* j = jac_of(jac);
  if (value) *value = holds(j, k) ? j->values[k - 1] : 0.0;
}
void kvojac_set_nz_value(kv_jac_t jac, int k, double value) {
  if (Jac* j = jac_of(jac); holds(j, k)) j->values[k - 1] = value;
}
double* kvojac_vec_bj(kv_jac_t jac) { return jac_of(jac) ? jac_of(jac)->values.data() : nullptr; }

}  // extern "C"

// The pattern vectors: a view of the rows or columns of a Jacobian or pattern object.
KVJacPatternVector::~KVJacPatternVector() = default;
KVJacIrn::KVJacIrn(kv_jac_t* jac) {
  if (Jac* j = jac ? jac_of(*jac) : nullptr) {
    data_ = j->rows.data();
    size_ = j->nnz;
  }
}
KVJacIcn::KVJacIcn(kv_jac_t* jac) {
  if (Jac* j = jac ? jac_of(*jac) : nullptr) {
    data_ = j->cols.data();
    size_ = j->nnz;
  }
}

namespace minihost {

void make_lists(int nvar, int neqn, int nnz) {
  values.assign(nvar, 0.0);
  var_status.assign(nvar, 0);
  residuals.assign(neqn, 0.0);
  eqn_status.assign(neqn, 1);
  groups.assign(neqn, 0);
  jacs.assign(2, Jac());
  fit(&jacs[1], nnz);
  jacs[1].nnz = nnz;
}

int entries_outside() { return outside; }

}  // namespace minihost
