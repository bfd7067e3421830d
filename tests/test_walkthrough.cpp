// SPDX-License-Identifier: BSD-3-Clause
// The README's model walkthrough, compiled and run: a one-tank reactor written with the
// model-writer helpers, placed, checked and solved. A test also checks that every code snippet
// of the README's walkthrough appears in this file as written, so the two cannot drift apart.
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <kvoblk/kvomodel.h>
#include "fixture.h"
#include "kvorefhost.h"
#include "plant.h"

namespace {

// ---- The model -------------------------------------------------------------------------------
// The model and the first test are laid out as the README shows them (the last test compares the
// two line for line), so the formatter leaves them alone.
// clang-format off

using namespace kvomodel;

// Record words after the library's 22: the tank volume and the rate constant.
enum TankWord : int { VOLUME = kvoblk_word::count, RATE = VOLUME + kRealWords, TANK_WORDS = RATE + kRealWords };
// Block-local variables and equations.
enum TankVar : int { F0, CA0, CB0, F, CA, CB, TANK_NVAR };
enum TankEqn : int { FLOW, BALA, BALB, TANK_NEQN };

struct Nz {
  int eqn, var;
};
const Nz kTankPattern[] = {{FLOW, F0}, {FLOW, F},  {BALA, F0}, {BALA, CA0}, {BALA, F},
                           {BALA, CA}, {BALB, F0}, {BALB, CB0}, {BALB, F},  {BALB, CA},
                           {BALB, CB}};
constexpr int kTankNnz = sizeof kTankPattern / sizeof kTankPattern[0];

void tank_selfdim(int, int* nvar, int* neqn, int* nnz, int* status) {
  *nvar = TANK_NVAR;
  *neqn = TANK_NEQN;
  *nnz = kTankNnz;
  *status = 0;
}

void tank_ini(int blk, int vstart, int estart, int nzstart, int* status) {
  static const char* const vars[TANK_NVAR] = {"F0", "CA0", "CB0", "F", "CA", "CB"};
  static const char* const eqns[TANK_NEQN] = {"FLOW", "BALA", "BALB"};
  const char* blkid = kvoblk_blkid(blk);  // null for a block without an id
  const std::string id = blkid ? blkid : "";
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(blk, &varlst, &eqnlst, &jac);
  for (int i = 0; i < TANK_NVAR; ++i)
    kvoref::define_var(varlst, vstart + i, (id + "." + vars[i]).c_str(), i == CB0 ? 0.0 : 1.0, 0.0);
  for (int e = 0; e < TANK_NEQN; ++e)
    kvoref::define_eqn(eqnlst, estart + e, (id + "." + eqns[e]).c_str());
  kvoblk_set_vstop(blk, vstart + TANK_NVAR - 1);
  kvoblk_set_estop(blk, estart + TANK_NEQN - 1);
  kvoblk_set_nzstop(blk, nzstart - 1);
  int errors = 0;
  kvoblk_pat_ini(blk, nzstart, &errors);  // SELF, NUMERIC or RESTORE, as the block says
  *status = errors != 0;
}

void tank_res(int blk, int* status) {
  const double* x = var_values(blk);
  double* r = residuals(blk);
  if (!x || !r) {
    *status = 1;
    return;
  }
  const double rate = real(blk, VOLUME) * real(blk, RATE) * x[CA];
  r[FLOW] = x[F] - x[F0];
  r[BALA] = x[F0] * x[CA0] - x[F] * x[CA] - rate;
  r[BALB] = x[F0] * x[CB0] - x[F] * x[CB] + rate;
  *status = 0;
}

void tank_selfpat(int blk, kv_jac_t* jac, int* status) {
  int k = kvoblk_inq_nzstart(blk);
  for (const Nz& nz : kTankPattern) set_pattern_entry(blk, *jac, k++, nz.eqn, nz.var);
  kvoblk_set_nzstop(blk, k - 1);
  *status = 0;
}

double tank_partial(int blk, const double* x, int e, int v) {
  const double vk = real(blk, VOLUME) * real(blk, RATE);
  switch (e * TANK_NVAR + v) {
    case FLOW * TANK_NVAR + F0: return -1.0;
    case FLOW * TANK_NVAR + F: return 1.0;
    case BALA * TANK_NVAR + F0: return x[CA0];
    case BALA * TANK_NVAR + CA0: return x[F0];
    case BALA * TANK_NVAR + F: return -x[CA];
    case BALA * TANK_NVAR + CA: return -x[F] - vk;
    case BALB * TANK_NVAR + F0: return x[CB0];
    case BALB * TANK_NVAR + CB0: return x[F0];
    case BALB * TANK_NVAR + F: return -x[CB];
    case BALB * TANK_NVAR + CA: return vk;
    case BALB * TANK_NVAR + CB: return -x[F];
    default: return 0.0;
  }
}

void tank_selfjac(int blk, int* status) {
  const double* x = var_values(blk);
  *status = x ? 0 : 1;
  for (int k = kvoblk_inq_nzstart(blk); x && k <= kvoblk_inq_nzstop(blk); ++k) {
    int e = 0, v = 0;
    if (pattern_entry(blk, k, &e, &v)) set_jacobian_value(blk, k, tank_partial(blk, x, e, v));
  }
}

int tank_create(const char* id, double volume, double rate) {
  const int blk = kvoblk_base_create(TANK_WORDS);  // ANALYTIC derivatives, SELF pattern
  if (blk == 0) return 0;
  kvoblk_set_blkid(blk, id);
  set_real(blk, VOLUME, volume);
  set_real(blk, RATE, rate);
  kvoblk_ops_t* t = kvoblk_inq_ops(blk);
  t->selfdim = tank_selfdim;
  t->ini = tank_ini;
  t->res = tank_res;
  t->selfpat = tank_selfpat;
  t->selfjac = tank_selfjac;
  return blk;
}

// ---- Driving it ------------------------------------------------------------------------------

class Walkthrough : public kvotest::KvoTest {};

TEST_F(Walkthrough, TheTankModelSolvesToItsClosedForm) {
  for (int method : {KVOBLK_ANALYTIC, KVOBLK_NUMERIC, KVOBLK_UPDATE_NUMERIC, KVOBLK_UPDATE_ANALYTIC}) {
    const int tank = tank_create("T1", 4.0, 1.5);
    int nvar = 0, neqn = 0, nnz = 0, status = 0;
    kvoblk_dim(tank, &nvar, &neqn, &nnz, &status);
    kvoref::Lists lists = kvoref::make_lists(nnz);
    kvoref::Container cntr(lists);
    kvoblk_register_container(tank, &cntr);
    kvoblk_ini(tank, 1, 1, 1, &status);
    ASSERT_EQ(status, 0);
    for (int v : {F0, CA0, CB0}) kvoref::set_var_status(lists.varlst, var_pos(tank, v), kvoref::VAR_FIXED);
    set_var_value(tank, F0, 10.0);
    set_var_value(tank, CA0, 2.0);
    kvoblk_set_deriv_type(tank, method);
    BlockUnit unit(tank);
    const kvoref::NewtonReport r = kvoref::newton_solve(lists, {&unit});
    ASSERT_TRUE(r.converged) << r.message;
    // F CA0 = (F + V k) CA
    EXPECT_NEAR(var_value(tank, CA), 10.0 * 2.0 / (10.0 + 6.0), 1e-10);
    EXPECT_NEAR(var_value(tank, CA) + var_value(tank, CB), 2.0, 1e-10);
    EXPECT_EQ(residual(tank, BALA), kvoeqnlst_inq_eqn_value(lists.eqnlst, eqn_pos(tank, BALA)));
    kvoblk_destroy(tank);
  }
}
// clang-format on

TEST_F(Walkthrough, HelpersKeepToTheBlockAndItsRecord) {
  const int tank = tank_create("T1", 4.0, 1.5);
  EXPECT_EQ(real(tank, VOLUME), 4.0);
  EXPECT_EQ(real(tank, RATE), 1.5);
  EXPECT_EQ(var_values(tank), nullptr);  // not placed: no values, reads give 0
  EXPECT_EQ(var_value(tank, F), 0.0);
  int nvar = 0, neqn = 0, nnz = 0, status = 0;
  kvoblk_dim(tank, &nvar, &neqn, &nnz, &status);
  kvoref::Lists lists = kvoref::make_lists(nnz + 2);
  kvoref::define_var(lists.varlst, 1, "OTHER", 7.0);
  kvoref::Container cntr(lists);
  kvoblk_register_container(tank, &cntr);
  kvoblk_ini(tank, 2, 1, 3, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(var_pos(tank, F0), 2);
  EXPECT_EQ(var_pos(tank, TANK_NVAR), 0);  // outside the block
  set_var_value(tank, -1, 99.0);           // ignored
  set_var_value(tank, TANK_NVAR, 99.0);
  EXPECT_EQ(kvovarlst_inq_var_value(lists.varlst, 1, 0), 7.0);
  int e = -1, v = -1;
  ASSERT_TRUE(pattern_entry(tank, 3, &e, &v));
  EXPECT_EQ(e, FLOW);
  EXPECT_EQ(v, F0);
  EXPECT_FALSE(pattern_entry(tank, 1, &e, &v));  // an entry of no block
  kvoblk_destroy(tank);
}

// Every ```cpp block of the README's section "Writing a unit model" appears in this file, line
// for line (indentation aside: a snippet from a function body is shown flush left).
std::string without_indent(const std::string& text) {
  std::string out;
  bool line_start = true;
  for (char c : text) {
    if (line_start && c == ' ') continue;
    line_start = c == '\n';
    out += c;
  }
  return out;
}

TEST(WalkthroughText, EveryReadmeSnippetIsCompiledHere) {
  auto read = [](const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  };
  const std::string readme = read(KVOBLK_SOURCE_DIR "/README.md");
  const std::string source = without_indent(read(KVOBLK_SOURCE_DIR "/tests/test_walkthrough.cpp"));
  const size_t begin = readme.find("\n## Writing a unit model\n");
  ASSERT_NE(begin, std::string::npos);
  const size_t end = readme.find("\n## ", begin + 1);
  const std::string section = readme.substr(begin, end - begin);
  int snippets = 0;
  for (size_t at = section.find("```cpp\n"); at != std::string::npos;
       at = section.find("```cpp\n", at + 1)) {
    const size_t from = at + 7, to = section.find("```\n", from);
    ASSERT_NE(to, std::string::npos);
    const std::string snippet = without_indent(section.substr(from, to - from));
    EXPECT_NE(source.find(snippet), std::string::npos) << "README snippet not in the test:\n"
                                                       << snippet;
    ++snippets;
  }
  EXPECT_GE(snippets, 6);
}

}  // namespace
