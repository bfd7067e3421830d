// SPDX-License-Identifier: BSD-3-Clause
// Snapshots of the flowsheet's global lists, so that a test or a fuzz target can prove that a
// call left everything outside a block's own slice exactly as it was (bit for bit).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include <kvoblk/host/kvo_lists.h>

namespace kvotest {

// One non-zero of a Jacobian: equation, variable and the bits of its value.
struct Entry {
  int eqn = 0, var = 0;
  uint64_t bits = 0;
  bool operator==(const Entry& o) const { return eqn == o.eqn && var == o.var && bits == o.bits; }
  bool operator!=(const Entry& o) const { return !(*this == o); }
};

inline uint64_t bits_of(double v) {
  uint64_t b = 0;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// Every non-zero of the Jacobian, position p at element p-1.
inline std::vector<Entry> jacobian_entries(kv_jac_t jac) {
  std::vector<Entry> all;
  const int n = kvojac_inq_nnz(jac);
  for (int k = 1; k <= n; ++k) {
    double v = 0;
    kvojac_inq_nz_value(jac, k, &v);
    all.push_back({kvojac_inq_nz_eqnnum(jac, k), kvojac_inq_nz_varnum(jac, k), bits_of(v)});
  }
  return all;
}

// The bits of every variable value.
inline std::vector<uint64_t> variable_bits(int varlst) {
  std::vector<uint64_t> all;
  const int n = kvovarlst_inq_nvar(varlst);
  const double* x = kvovarlst_vec_value(varlst);
  for (int p = 0; p < n && x; ++p) all.push_back(bits_of(x[p]));
  return all;
}

// The first position (1-based) at which the two snapshots differ outside positions
// first..last, or 0 when they agree there (a snapshot of another length differs at its end).
inline int first_change_outside(const std::vector<Entry>& before, const std::vector<Entry>& after,
                                int first, int last) {
  const size_t n = before.size() > after.size() ? before.size() : after.size();
  for (size_t i = 0; i < n; ++i) {
    const int p = static_cast<int>(i) + 1;
    if (p >= first && p <= last) continue;
    if (i >= before.size() || i >= after.size() || before[i] != after[i]) return p;
  }
  return 0;
}

}  // namespace kvotest
