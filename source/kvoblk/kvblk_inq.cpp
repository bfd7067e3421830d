// SPDX-License-Identifier: BSD-3-Clause
// The block inquiry that fills the host's block-information record, with its optional variable,
// equation and residual statistics, and the one-line block report built on it.
#include <cstring>
#include <new>

#include <kvoblk/kvojac.h>
#include "kvblk_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// Copies at most `width` characters of `s` and a terminator.
void copy_cut(char* to, const char* s, size_t width) {
  size_t n = 0;
  if (s)
    while (n < width && s[n] != '\0') ++n;
  if (n) std::memcpy(to, s, n);
  to[n] = '\0';
}

void blanks(char* to, size_t width) {
  std::memset(to, ' ', width);
  to[width] = '\0';
}

}  // namespace

namespace kvoblk {
namespace detail {

// The report slot's form of the base report; the report has no failure of its own.
void base_report(int blkptr, int* status) {
  if (status) *status = 0;
  kvoblk_base_report(blkptr);
}

}  // namespace detail
}  // namespace kvoblk

namespace {

// The record's identity, inclusion and ranges; the reserved words are cleared.
void fill_identity(int blkptr, nux_blk_t* info) {
  for (int32_t& w : info->reserved168) w = 0;
  info->block = ref_as<NUXEOBlock>(word(blkptr, W::block_object));
  info->model = "";
  copy_cut(info->blkid, blkid(blkptr), sizeof info->blkid - 1);
  blanks(info->type, sizeof info->type - 1);
  blanks(info->subid, sizeof info->subid - 1);
  info->included = kvoblk_inq_included(blkptr);
  for (int32_t& w : info->reserved100) w = 0;
  const int vs = info->vstart = word(blkptr, W::vstart);
  const int ve = info->vstop = word(blkptr, W::vstop);
  const int es = info->estart = word(blkptr, W::estart);
  const int ee = info->estop = word(blkptr, W::estop);
  const int ns = info->nzstart = word(blkptr, W::nzstart);
  const int ne = info->nzstop = word(blkptr, W::nzstop);
  info->nvar = extent32(vs, ve);
  info->neqn = extent32(es, ee);
  info->nnz = extent32(ns, ne);
}

// The variable statistics from one counter per block variable: how many active non-zeros
// refer to it.
void variable_statistics(int varlst, int vs, int nvar, const int* incidence, nux_blk_t* info) {
  info->nvar_active = info->nvar_fixed = 0;
  info->nconn2 = info->nconn3 = info->nconn4 = 0;
  for (int i = 0; incidence && i < nvar; ++i) {
    if (incidence[i] == 0) continue;
    const int st = kvovarlst_inq_var_status(varlst, vs + i);
    ++info->nvar_active;
    if (varIsFixed(st)) ++info->nvar_fixed;
    switch (varInqConnected(st)) {
      case 2:
        ++info->nconn2;
        break;
      case 3:
        ++info->nconn3;
        break;
      case 4:
        ++info->nconn4;
        break;
      default:
        break;
    }
  }
}

// The counts over the block's active non-zeros: free ones, and with statistics asked for, the
// variable statistics.
void nonzero_counts(int varlst, int eqnlst, kv_jac_t jac, int32_t mask, nux_blk_t* info) {
  // One counter per block variable that the variable list holds: positions a model's range
  // words name beyond the list (up to the largest int) hold no variable, and counters for them
  // would only ask the heap for gigabytes.
  const int vs = info->vstart < 1 ? 1 : info->vstart;
  const int held_vars = kvovarlst_inq_nvar(varlst);
  const int ve = info->vstop < held_vars ? info->vstop : held_vars;
  const int nvar = info->nvar > 0 ? extent32(vs, ve) : 0;
  const bool statistics = (mask & NUX_BLK_REQ_STATISTICS) != 0;
  int* incidence = nullptr;
  if (statistics && nvar > 0) {
    incidence = static_cast<int*>(heap_alloc(array_bytes(static_cast<size_t>(nvar), sizeof(int))));
    if (incidence)
      for (int i = 0; i < nvar; ++i) incidence[i] = 0;
  }
  info->nnz_free = 0;
  // The free non-zeros come with the statistics of a block with variables, also when no room
  // could be had for the counters (the statistics are then zero, the free count is not).
  if ((statistics && info->nvar > 0) || (mask & NUX_BLK_REQ_FREE_NZS)) {
    // Only the block's non-zeros that the Jacobian holds are walked: range words a model set
    // beyond it (up to the largest int) name no non-zero.
    const int first = info->nzstart < 1 ? 1 : info->nzstart;
    const int held = kvojac_inq_nnz(jac);
    const int last = info->nzstop < held ? info->nzstop : held;
    for (int k = first; k <= last; ++k) {
      const int e = kvojac_inq_nz_eqnnum(jac, k);
      if (!u3rinc_c(kvoeqnlst_inq_eqn_status(eqnlst, e))) continue;
      const int v = kvojac_inq_nz_varnum(jac, k);
      if (incidence && v >= vs && v <= ve) ++incidence[v - vs];
      if (!varIsFixed(kvovarlst_inq_var_status(varlst, v))) ++info->nnz_free;
    }
  }
  if (statistics) variable_statistics(varlst, vs, nvar, incidence, info);
  ::operator delete(incidence);
}

}  // namespace

extern "C" {

KVOBLK_API void kvoblk_base_inq_attr(int blkptr, nux_blk_t* info) {
  if (blkptr == 0) {
    assertion("kvoblk_base_inq_attr: blkptr is 0", __LINE__);
    return;
  }
  if (!live(blkptr, __func__) || !info) return;
  const int32_t mask = info->request;
  int varlst = 0, eqnlst = 0;
  kv_jac_t jac = 0;
  blk_inq_matrix(blkptr, &varlst, &eqnlst, &jac);
  fill_identity(blkptr, info);
  nonzero_counts(varlst, eqnlst, jac, mask, info);
  info->reserved196 = 0;
  info->reserved232 = 0;
  if (mask & NUX_BLK_REQ_ACTIVE_EQNS) {
    info->neqn_active = 0;
    const int first = info->estart < 1 ? 1 : info->estart;
    const int held = kvoeqnlst_inq_neqn(eqnlst);
    const int last = info->estop < held ? info->estop : held;
    for (int e = first; e <= last; ++e)
      if (u3rinc_c(kvoeqnlst_inq_eqn_status(eqnlst, e))) ++info->neqn_active;
  }
  if (mask & NUX_BLK_REQ_NORM) {
    int st = 0;
    const uint64_t serial = serial_of(blkptr);
    kvoblk_res(blkptr, &st);
    // The residual routine is the model's, which may have destroyed the block, and made another
    // at its handle: the inquiry ends with the block it was asked about.
    if (!same_serial(blkptr, serial)) return;
    // The residual routine may have moved the workspace; the range is read again.
    kvoeqnlst_norm(eqnlst, word(blkptr, W::estart), word(blkptr, W::estop), &info->resnorm);
  }
  info->deriv_type = kvoblk_inq_deriv_type(blkptr);
  info->pertsize = kvoblk_inq_pertsize(blkptr);
  info->nlratiodev = kvoblk_inq_nlratiodev(blkptr);
}

KVOBLK_API void kvoblk_base_report(int blkptr) {
  if (!live(blkptr, __func__)) return;
  // Zeroed first and terminated afterwards: a model's own inquiry may leave texts unset.
  nux_blk_t info{};
  info.request = 0;
  kvoblk_inq_attr(blkptr, &info);
  info.blkid[sizeof info.blkid - 1] = '\0';
  info.type[sizeof info.type - 1] = '\0';
  info.subid[sizeof info.subid - 1] = '\0';
  kvoprintf(kvRepDev, "BLOCK: %*s TYPE: %*s SUBID: %*s\n", 8, info.blkid, 8, info.type, 64,
            info.subid);
}

}  // extern "C"
