// SPDX-License-Identifier: BSD-3-Clause
// The unit model conformance checks (see conformance.h).
#include "conformance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <set>

#include <kvoblk/kvoblk.h>
#include "kvorefhost.h"

namespace kvotest {

namespace {

using Entry = std::pair<int, int>;

struct Placed {
  int blk = 0;
  kvoref::Lists lists;
  std::unique_ptr<kvoref::Container> cntr;
  int vs = 0, es = 0, nv = 0, ne = 0;
  ~Placed() {
    if (blk) kvoblk_destroy(blk);
  }
  double* x() const { return kvovarlst_vec_value(lists.varlst) + vs - 1; }
  std::vector<double> res() const {
    int st = 0;
    kvoblk_res(blk, &st);
    EXPECT_EQ(st, 0);
    const double* r = kvoeqnlst_vec_residual(lists.eqnlst) + es - 1;
    return std::vector<double>(r, r + ne);
  }
};

// Entries whose residual moves when one variable moves, at the current point.
std::set<Entry> detect(const Placed& p) {
  std::set<Entry> found;
  const std::vector<double> base = p.res();
  for (int i = 0; i < p.nv; ++i) {
    const double keep = p.x()[i];
    p.x()[i] = keep + 1e-4 * (std::fabs(keep) + 1.0);
    const std::vector<double> moved = p.res();
    p.x()[i] = keep;
    for (int e = 0; e < p.ne; ++e)
      if (std::fabs(moved[e] - base[e]) > 1e-13 * (1.0 + std::fabs(base[e]))) found.insert({e, i});
  }
  return found;
}

// The analytic Jacobian of the block as a dense matrix, by the current derivative method.
std::vector<double> jacobian(const Placed& p, int method) {
  std::vector<double> dense(static_cast<size_t>(p.ne) * p.nv, 0.0);
  EXPECT_EQ(kvoblk_set_deriv_type(p.blk, method), method);
  int st = 0;
  p.res();  // the methods that difference or update start from current residuals
  kvoblk_jac(p.blk, &st);
  EXPECT_LE(st, 0) << "method " << method;
  const double* bj = kvojac_vec_bj(p.lists.jac);
  for (int k = kvoblk_inq_nzstart(p.blk); k <= kvoblk_inq_nzstop(p.blk); ++k) {
    const int e = kvojac_inq_nz_eqnnum(p.lists.jac, k) - p.es;
    const int i = kvojac_inq_nz_varnum(p.lists.jac, k) - p.vs;
    if (e >= 0 && e < p.ne && i >= 0 && i < p.nv)
      dense[static_cast<size_t>(e) * p.nv + i] += bj[k - 1];
  }
  return dense;
}

}  // namespace

bool sample_model(const ModelCase& model, int vstart, int estart, int nzstart, int offset,
                  ModelSample* out) {
  Placed p;
  p.blk = model.create();
  EXPECT_NE(p.blk, 0) << model.name;
  if (p.blk == 0) return false;
  int nv = 0, ne = 0, nz = 0, st = 0;
  kvoblk_dim(p.blk, &nv, &ne, &nz, &st);
  EXPECT_EQ(st, 0) << model.name;
  p.lists = kvoref::make_lists(nzstart - 1 + nz);
  for (int v = 1; v < vstart; ++v) kvoref::define_var(p.lists.varlst, v, "PAD.X", 42.0);
  for (int e = 1; e < estart; ++e) kvoref::define_eqn(p.lists.eqnlst, e, "PAD.F");
  p.cntr.reset(new kvoref::Container(p.lists, offset, offset, offset));
  kvoblk_register_container(p.blk, p.cntr.get());
  kvoblk_ini(p.blk, vstart, estart, nzstart, &st);
  EXPECT_EQ(st, 0) << model.name;
  p.vs = kvoblk_inq_vstart(p.blk);
  p.es = kvoblk_inq_estart(p.blk);
  p.nv = kvoblk_inq_vstop(p.blk) - p.vs + 1;
  p.ne = kvoblk_inq_estop(p.blk) - p.es + 1;
  EXPECT_EQ(p.vs, vstart) << model.name;
  EXPECT_EQ(p.nv, nv) << model.name << ": placed another number of variables than dimensioned";
  EXPECT_EQ(p.ne, ne) << model.name << ": placed another number of equations than dimensioned";
  if (st != 0 || p.nv != nv || p.ne != ne || p.nv <= 0) return false;
  out->nvar = nv;
  out->neqn = ne;

  // The stated pattern, through selfpat into a scratch object, and as placed.
  const int nzstop = kvoblk_inq_nzstop(p.blk);
  kv_jac_t scratch = kvojac_create(nzstart - 1 + nz);
  kvojac_set_nnz(scratch, nzstart - 1 + nz);
  kvoblk_selfpat(p.blk, &scratch, &st);
  EXPECT_EQ(st, 0) << model.name;
  std::set<Entry> stated, placed;
  for (int k = nzstart; k <= kvoblk_inq_nzstop(p.blk); ++k)
    stated.insert(
        {kvojac_inq_nz_eqnnum(scratch, k) - p.es, kvojac_inq_nz_varnum(scratch, k) - p.vs});
  kvojac_destroy(&scratch);
  kvoblk_set_nzstop(p.blk, nzstop);
  for (int k = nzstart; k <= nzstop; ++k)
    placed.insert(
        {kvojac_inq_nz_eqnnum(p.lists.jac, k) - p.es, kvojac_inq_nz_varnum(p.lists.jac, k) - p.vs});
  EXPECT_EQ(placed, stated) << model.name << ": the placed pattern is not the stated one";
  out->nnz_dimensioned = nz;
  out->stated.assign(stated.begin(), stated.end());

  // Detection at the model's own guesses and at a second point.
  std::set<Entry> detected = detect(p);
  for (int i = 0; i < p.nv; ++i)
    p.x()[i] = p.x()[i] * (1.07 + 0.013 * (i % 5)) + 0.01 * (i % 3 + 1);
  const std::set<Entry> second = detect(p);
  detected.insert(second.begin(), second.end());
  out->detected.assign(detected.begin(), detected.end());
  out->residuals = p.res();

  // Analytic Jacobian against central differences at the second point.
  out->jacobian = jacobian(p, KVOBLK_ANALYTIC);
  out->worst_jacobian_error = 0.0;
  for (int i = 0; i < p.nv; ++i) {
    const double keep = p.x()[i];
    const double h = 1e-6 * (std::fabs(keep) + 1.0);
    p.x()[i] = keep + h;
    const std::vector<double> up = p.res();
    p.x()[i] = keep - h;
    const std::vector<double> down = p.res();
    p.x()[i] = keep;
    for (int e = 0; e < p.ne; ++e) {
      const double d = (up[e] - down[e]) / (2.0 * h);
      const double a = out->jacobian[static_cast<size_t>(e) * p.nv + i];
      const double err = std::fabs(a - d) / std::max(1.0, std::fabs(d));
      if (err > out->worst_jacobian_error) {
        out->worst_jacobian_error = err;
        out->where_worst =
            "equation " + std::to_string(e + 1) + ", variable " + std::to_string(i + 1);
      }
    }
  }

  // Every derivative method gives the analytic values (the update methods fall back to theirs
  // on the first evaluation of a solve).
  kvoblk_pre_solve(p.blk, &st);
  for (int method : {KVOBLK_NUMERIC, KVOBLK_UPDATE_NUMERIC, KVOBLK_UPDATE_ANALYTIC}) {
    kvoblk_post_solve(p.blk, &st);
    kvoblk_set_deriv_type(p.blk, method);
    kvoblk_pre_solve(p.blk, &st);
    const std::vector<double> j = jacobian(p, method);
    for (size_t k = 0; k < j.size(); ++k) {
      const double d =
          std::fabs(j[k] - out->jacobian[k]) / std::max(1.0, std::fabs(out->jacobian[k]));
      if (d > out->worst_method_difference) {
        out->worst_method_difference = d;
        out->worst_method = method;
      }
    }
  }
  kvoblk_post_solve(p.blk, &st);
  return true;
}

void check_model_conformance(const ModelCase& model) {
  ModelSample first, shifted;
  ASSERT_TRUE(sample_model(model, 1, 1, 1, 0, &first)) << model.name;
  EXPECT_EQ(first.stated, first.detected)
      << model.name << ": the stated pattern differs from the one detected at two points";
  EXPECT_EQ(static_cast<int>(first.stated.size()), first.nnz_dimensioned)
      << model.name << ": the pattern does not hold the non-zeros the model dimensions";
  EXPECT_LT(first.worst_method_difference, 1e-4)
      << model.name << ": derivative method " << first.worst_method
      << " disagrees with the analytic Jacobian";
  EXPECT_LT(first.worst_jacobian_error, 1e-6)
      << model.name << ": analytic Jacobian differs from central differences at "
      << first.where_worst;
  // Placed behind other items, in a container with global offsets: the same block.
  ASSERT_TRUE(sample_model(model, 7, 5, 11, 100, &shifted)) << model.name;
  EXPECT_EQ(shifted.stated, first.stated) << model.name << ": pattern depends on the placement";
  EXPECT_EQ(shifted.residuals, first.residuals)
      << model.name << ": residuals depend on the placement";
  EXPECT_EQ(shifted.jacobian, first.jacobian)
      << model.name << ": Jacobian depends on the placement";
}

}  // namespace kvotest
