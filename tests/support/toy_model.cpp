// SPDX-License-Identifier: BSD-3-Clause
// The shared toy model and the placed-block fixture.
#include "toy_model.h"

#include <algorithm>
#include <cmath>

namespace kvotest {

ToyModel toy;

void ToyModel::diagonal(int n, std::vector<double> c) {
  nvar = neq = n;
  nz.clear();
  coef = c.empty() ? std::vector<double>(n, 1.0) : c;
  for (int i = 0; i < n; ++i) nz.emplace_back(i, i);
}

void ToyModel::dense(int n) {
  nvar = neq = n;
  nz.clear();
  coef.clear();
  for (int e = 0; e < n; ++e)
    for (int v = 0; v < n; ++v) {
      nz.emplace_back(e, v);
      coef.push_back(1.0 + e + 10.0 * v);
    }
}

void ToyModel::cyclic(int nv, int ne, int nnz) {
  nvar = nv;
  neq = ne;
  nz.clear();
  coef.clear();
  x_step = 0.0;
  for (int k = 0; k < nnz; ++k) nz.emplace_back(k % ne, k % nv);
}

std::vector<std::pair<int, int>> pattern_entries(kv_jac_t pattern) {
  std::vector<std::pair<int, int>> e;
  for (int k = 1; k <= kvojac_inq_nnz(pattern); ++k)
    e.emplace_back(kvojac_inq_nz_eqnnum(pattern, k), kvojac_inq_nz_varnum(pattern, k));
  return e;
}

void toy_ini(int b, int vs, int es, int nzs, int* status) {
  ++toy.ini_calls;
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(b, &varlst, &eqnlst, &jac);
  for (int i = 0; i < toy.nvar; ++i)
    kvoref::define_var(varlst, vs + i, ("X" + std::to_string(i + 1)).c_str(),
                       toy.x0 + toy.x_step * i);
  for (int i = 0; i < toy.neq; ++i)
    kvoref::define_eqn(eqnlst, es + i, ("E" + std::to_string(i + 1)).c_str());
  for (size_t k = 0; k < toy.nz.size(); ++k)
    kvoref::set_nz(jac, nzs + static_cast<int>(k), es + toy.nz[k].first, vs + toy.nz[k].second);
  for (const auto& [e, group] : toy.groups)
    if (eqnlst) kvoeqnlst_vec_group(eqnlst)[es + e - 1] = group;
  kvoblk_set_vstop(b, vs + toy.nvar - 1);
  kvoblk_set_estop(b, es + toy.neq - 1);
  kvoblk_set_nzstop(b, nzs + static_cast<int>(toy.nz.size()) - 1);
  *status = 0;
}

void toy_res(int b, int* status) {
  ++toy.res_calls;
  if (toy.fail_at != 0 && toy.res_calls == toy.fail_at) {
    *status = toy.fail_status;
    return;
  }
  const int varlst = blk_inq_matrix_varlst(b), eqnlst = blk_inq_matrix_eqnlst(b);
  const int vs = kvoblk_inq_vstart(b), es = kvoblk_inq_estart(b);
  double* r = kvoeqnlst_vec_residual(eqnlst);
  for (int e = 0; e < toy.neq; ++e) r[es + e - 1] = 0.0;
  for (size_t k = 0; k < toy.nz.size() && k < toy.coef.size(); ++k) {
    const double x = kvovarlst_inq_var_value(varlst, vs + toy.nz[k].second, 0);
    r[es + toy.nz[k].first - 1] += toy.coef[k] * (toy.power == 1 ? x : x * x);
  }
  *status = 0;
}

void toy_selfjac(int b, int* status) {
  ++toy.selfjac_calls;
  const int varlst = blk_inq_matrix_varlst(b), jac = blk_inq_matrix_jacobian(b);
  const int vs = kvoblk_inq_vstart(b), nzs = kvoblk_inq_nzstart(b);
  for (size_t k = 0; k < toy.nz.size() && k < toy.coef.size(); ++k) {
    const double x = kvovarlst_inq_var_value(varlst, vs + toy.nz[k].second, 0);
    kvojac_set_nz_value(jac, nzs + static_cast<int>(k),
                        toy.coef[k] * (toy.power == 1 ? 1.0 : 2.0 * x));
  }
  *status = 0;
}

void PlacedBlockTest::SetUp() {
  KvoTest::SetUp();
  toy = ToyModel();
  lists = kvoref::make_lists(list_capacity);
  cntr = new kvoref::Container(lists);
}

void PlacedBlockTest::TearDown() {
  for (int b : blocks) kvoblk_destroy(b);
  blocks.clear();
  delete cntr;
  KvoTest::TearDown();
}

int PlacedBlockTest::make_block(const char* id, bool analytic) {
  const int b = analytic ? kvoblk_base_create(0) : kvoblk_base_create_1(0);
  blocks.push_back(b);
  kvoblk_set_blkid(b, id);
  return b;
}

bool PlacedBlockTest::place_block(int b, int vs, int es, int nzs) {
  kvoblk_register_container(b, cntr);
  int st = -1;
  kvoblk_ini(b, vs, es, nzs, &st);
  EXPECT_EQ(st, 0);
  return st == 0;
}

void PlacedBlockTest::destroy_block(int b) {
  kvoblk_destroy(b);
  blocks.erase(std::remove(blocks.begin(), blocks.end(), b), blocks.end());
}

int PlacedBlockTest::place(int vs, int es, int nzs, bool analytic, const char* id) {
  const int b = make_block(id, analytic);
  kvoblk_ops_t* t = kvoblk_inq_ops(b);
  t->ini = toy_ini;
  t->res = toy_res;
  if (analytic) t->selfjac = toy_selfjac;
  t->pre_solve = kvoblk_base_pre_solve;
  t->post_solve = kvoblk_base_post_solve;
  place_block(b, vs, es, nzs);
  return b;
}

double PlacedBlockTest::bj(int k) {
  double v = 0.0;
  kvojac_inq_nz_value(lists.jac, k, &v);
  return v;
}

}  // namespace kvotest
