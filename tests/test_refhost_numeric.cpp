// SPDX-License-Identifier: BSD-3-Clause
// The reference host's numeric utilities: column grouping (groups never share a row, reach the
// lower bound on structured patterns, are reproducible, refuse bad patterns) and the grouped
// forward-difference Jacobian (agrees with the analytic one, puts values back bit-exactly,
// leaves the base residuals, refuses protocol errors).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cstr.h"
#include "fixture.h"
#include "sparsity_patterns.h"

#if !defined(_WIN32)
// The whole program's operator new, the reference host's included, so that a test can make one
// request fail (a DLL keeps its own, hence not on Windows).
#include "watched_new.h"
namespace {
int new_countdown = 0;
}
void kvotest::on_new(std::size_t) {
  if (new_countdown > 0 && --new_countdown == 0) throw std::bad_alloc();
}
#endif

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// Bytes the program holds from the heap, where the platform tells; 0 elsewhere.
size_t allocated_bytes() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
#else
  return 0;
#endif
}

// Block-local patterns, rows and columns counted from 1.
using patgen::block_tridiagonal;
using patgen::laplacian2d;
using patgen::Pattern;
using patgen::tridiagonal;

// Diagonal plus four distinct other random columns per row.
Pattern random_pattern(int n, unsigned seed) {
  Pattern p;
  p.nvar = p.neq = n;
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> pick(1, n);
  for (int i = 1; i <= n; ++i) {
    std::set<int> cols = {i};
    while (static_cast<int>(cols.size()) < 5) cols.insert(pick(gen));
    for (int c : cols) p.add(i, c);
  }
  return p;
}

// The stirred-tank chain: feed (F, CA, CB) then three variables and three equations per tank.
Pattern cstr_chain(int ntanks) {
  Pattern p;
  p.nvar = 3 * (ntanks + 1);
  p.neq = 3 * ntanks;
  for (int i = 1; i <= ntanks; ++i) {
    const int up = 3 * (i - 1) + 1, here = 3 * i + 1, e = 3 * (i - 1) + 1;
    p.add(e, up), p.add(e, here);
    p.add(e + 1, up), p.add(e + 1, up + 1), p.add(e + 1, here), p.add(e + 1, here + 1);
    p.add(e + 2, up), p.add(e + 2, up + 2), p.add(e + 2, here), p.add(e + 2, here + 2),
        p.add(e + 2, here + 1);
  }
  return p;
}

// Largest number of distinct columns in one row.
int lower_bound(const Pattern& p) {
  std::vector<std::set<int>> rows(p.neq + 1);
  for (int k = 0; k < p.nnz(); ++k) rows[p.rows[k]].insert(p.cols[k]);
  size_t lb = 0;
  for (const auto& r : rows) lb = std::max(lb, r.size());
  return static_cast<int>(lb);
}

class Numeric : public kvotest::KvoTest {
 protected:
  void TearDown() override {
    for (int& h : handles_) U3VGRP_DESTROY(&h);
    KvoTest::TearDown();
  }

  // Groups pattern p placed at the given offsets; answers the handle, with status and info.
  int group(const Pattern& p, int eoff = 0, int voff = 0, int* status = nullptr,
            int* info = nullptr) {
    int nvar = p.nvar, neq = p.neq, nnz = p.nnz(), h = 0;
    U3VGRP_CREATE(&nvar, &neq, &nnz, &h);
    handles_.push_back(h);
    std::vector<int> irn(p.rows), icn(p.cols);
    for (int& r : irn) r += eoff;
    for (int& c : icn) c += voff;
    int st = -1, inf = -1, zero = 0;
    U3VGRP_COMPUTE(irn.data(), icn.data(), &inf, &eoff, &voff, &zero, &h, &st);
    if (status) *status = st;
    if (info) *info = inf;
    return h;
  }

  // The groups as the report prints them: the positions of every group.
  std::vector<std::vector<int>> groups(int h, int voff = 0) {
    U3VGRP_REPORT_BY_IDX(&h, &voff);
    std::istringstream in(his());
    std::string line;
    std::getline(in, line);  // summary
    std::vector<std::vector<int>> out;
    while (std::getline(in, line)) {
      std::istringstream ls(line);
      std::string word;
      if (line.rfind("Group ", 0) == 0) {
        out.emplace_back();
        ls >> word >> word >> word >> word;  // "Group", "g:", "n", "variables:"
      }
      int pos;
      while (ls >> pos) out.back().push_back(pos);
    }
    return out;
  }

  // Checks that every column with a non-zero is in exactly one group and that no two columns
  // of a group share a row.
  void expect_valid_groups(const Pattern& p, const std::vector<std::vector<int>>& gs) {
    std::vector<int> group_of(p.nvar + 1, 0);
    for (size_t g = 0; g < gs.size(); ++g)
      for (int c : gs[g]) {
        ASSERT_GE(c, 1);
        ASSERT_LE(c, p.nvar);
        EXPECT_EQ(group_of[c], 0) << "column " << c << " in two groups";
        group_of[c] = static_cast<int>(g) + 1;
      }
    std::vector<std::set<int>> seen(p.neq + 1);
    for (int k = 0; k < p.nnz(); ++k) {
      const int g = group_of[p.cols[k]];
      ASSERT_NE(g, 0) << "column " << p.cols[k] << " in no group";
      seen[p.rows[k]].insert(p.cols[k]);
    }
    for (int r = 1; r <= p.neq; ++r) {
      std::set<int> used;
      for (int c : seen[r])
        EXPECT_TRUE(used.insert(group_of[c]).second) << "row " << r << " meets a group twice";
    }
  }

  std::vector<int> handles_;
};

// A nonlinear test function on a pattern: row r is the sum over its non-zeros k of
// a_k (x^3/3 + sin x) at column c_k, plus the product of its first and last column.
struct TestFunction {
  explicit TestFunction(const Pattern& p) : p(p), a(p.nnz()) {
    for (int k = 0; k < p.nnz(); ++k) a[k] = 0.5 + 0.25 * (k % 7);
  }
  void residuals(const double* x, double* f) const {
    for (int r = 0; r < p.neq; ++r) f[r] = 0.1 * (r + 1);
    std::vector<int> first(p.neq, 0), last(p.neq, 0);
    for (int k = 0; k < p.nnz(); ++k) {
      const int r = p.rows[k] - 1;
      const double v = x[p.cols[k] - 1];
      f[r] += a[k] * (v * v * v / 3 + std::sin(v));
      if (!first[r]) first[r] = p.cols[k];
      last[r] = p.cols[k];
    }
    for (int r = 0; r < p.neq; ++r)
      if (first[r]) f[r] += x[first[r] - 1] * x[last[r] - 1];
  }
  // Analytic derivative of non-zero k (duplicated entries each carry the whole derivative).
  std::vector<double> jacobian(const double* x) const {
    std::vector<int> first(p.neq, 0), last(p.neq, 0);
    for (int k = 0; k < p.nnz(); ++k) {
      const int r = p.rows[k] - 1;
      if (!first[r]) first[r] = p.cols[k];
      last[r] = p.cols[k];
    }
    std::vector<double> d(p.nnz(), 0.0);
    for (int k = 0; k < p.nnz(); ++k) {
      const int r = p.rows[k] - 1, c = p.cols[k];
      for (int j = 0; j < p.nnz(); ++j) {
        if (p.rows[j] - 1 != r || p.cols[j] != c) continue;
        const double v = x[c - 1];
        d[k] += a[j] * (v * v + std::cos(v));
      }
      if (c == first[r]) d[k] += x[last[r] - 1];
      if (c == last[r]) d[k] += x[first[r] - 1];
    }
    return d;
  }
  const Pattern& p;
  std::vector<double> a;
};

// Drives U3NJAC_COMPUTE to the end; answers the number of residual evaluations, or -1 when a
// call fails.
int differentiate(int h, const Pattern& p, int voff, std::vector<double>& x, std::vector<double>& f,
                  std::vector<double>& bj, double pert,
                  const std::function<void(const double*, double*)>& res,
                  std::vector<double>* scale = nullptr) {
  std::vector<double> ones(p.nvar, 1.0), par(100, 1e-4);
  std::vector<int> vstat(p.nvar, 0), icn(p.cols);
  for (int& c : icn) c += voff;
  int request = 0, status = 0, evals = 0;
  for (;;) {
    U3NJAC_COMPUTE(&h, x.data(), scale ? scale->data() : ones.data(), vstat.data(), f.data(), &voff,
                   icn.data(), par.data(), &pert, bj.data(), &request, &status);
    if (status != 0) return -1;
    if (request != 1) return evals;
    res(x.data(), f.data());
    ++evals;
  }
}

// ---- Grouping -------------------------------------------------------------------------------

// A tridiagonal head whose natural colouring stays at the fullest row, then a random tail
// that needs more: the search goes on, with the conflicts of the head's columns listed late.
Pattern tridiagonal_then_random(int head, int tail, unsigned seed) {
  Pattern p = tridiagonal(head);
  p.nvar = p.neq = head + tail;
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> pick(head + 1, head + tail);
  for (int i = head + 1; i <= head + tail; ++i) {
    std::set<int> cols = {i, i - 1};
    while (static_cast<int>(cols.size()) < 5) cols.insert(pick(gen));
    for (int c : cols) p.add(i, c);
  }
  return p;
}

TEST_F(Numeric, GroupsNeverShareARowAndCoverEveryColumnOnce) {
  for (const Pattern& p : {random_pattern(3000, 7), cstr_chain(50), laplacian2d(12),
                           tridiagonal_then_random(2000, 1000, 9)}) {
    int status = -1, info = -1;
    const int h = group(p, 40, 900, &status, &info);
    ASSERT_EQ(status, 0);
    const auto gs = groups(h, 900);
    EXPECT_EQ(static_cast<int>(gs.size()), info);
    // The report names global positions; take the offset off before checking.
    std::vector<std::vector<int>> local = gs;
    for (auto& g : local)
      for (int& c : g) c -= 900;
    expect_valid_groups(p, local);
  }
}

// `per_row` distinct random columns of `nvar` in each of `neq` rows.
Pattern random_rows(int neq, int nvar, int per_row, unsigned seed) {
  Pattern p;
  p.neq = neq;
  p.nvar = nvar;
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> pick(1, nvar);
  for (int i = 1; i <= neq; ++i) {
    std::set<int> cols;
    while (static_cast<int>(cols.size()) < per_row) cols.insert(pick(gen));
    for (int c : cols) p.add(i, c);
  }
  return p;
}

TEST_F(Numeric, GroupsStayValidFromFewToHundredsOfGroups) {
  // From a handful of groups to more than fit a byte, through short rows (each column's
  // conflicts listed once) and long ones (too many conflicts to list: found through the rows).
  const Pattern cases[] = {random_pattern(3000, 3), random_rows(3000, 3000, 8, 4),
                           random_rows(2000, 2000, 14, 5), random_rows(3000, 600, 45, 6)};
  int previous = 0;
  for (const Pattern& p : cases) {
    int status = -1, info = -1;
    const int h = group(p, 0, 0, &status, &info);
    ASSERT_EQ(status, 0);
    EXPECT_GE(info, lower_bound(p));
    EXPECT_GT(info, previous);
    previous = info;
    expect_valid_groups(p, groups(h));
  }
  EXPECT_GT(previous, 255);
}

TEST_F(Numeric, GroupsDoNotDependOnTheGroupingsMadeBefore) {
  // Each grouping reuses the working memory of the one before; nothing left in it by a
  // larger or differently shaped pattern may change the next one's groups.
  const Pattern a = random_pattern(1500, 21), b = random_rows(2500, 2000, 14, 22);
  const auto a1 = groups(group(a));
  const auto b1 = groups(group(b));
  const auto a2 = groups(group(a));
  kvoref::reset();  // drops the working memory too
  kvoref::capture(kvHisDev, true);
  EXPECT_EQ(groups(group(b)), b1);
  EXPECT_EQ(a2, a1);
}

TEST_F(Numeric, StructuredPatternsNeedNoMoreGroupsThanTheFullestRow) {
  struct Case {
    const char* name;
    Pattern p;
    int bound;
  };
  const Case cases[] = {{"tridiagonal", tridiagonal(1000), 3},
                        {"block tridiagonal", block_tridiagonal(200, 5), 15},
                        {"five-point Laplacian", laplacian2d(40), 5},
                        {"stirred-tank chain", cstr_chain(300), 5}};
  for (const Case& c : cases) {
    ASSERT_EQ(lower_bound(c.p), c.bound) << c.name;
    int status = -1, info = -1;
    const int h = group(c.p, 0, 0, &status, &info);
    EXPECT_EQ(status, 0) << c.name;
    EXPECT_EQ(info, c.bound) << c.name;
    expect_valid_groups(c.p, groups(h));
  }
}

TEST_F(Numeric, RandomPatternNeedsAtMostElevenGroups) {
  // Large enough that the working arrays are taken in whole huge pages.
  const Pattern p = random_pattern(60000, 12345);
  int status = -1, info = -1;
  const int h = group(p, 0, 0, &status, &info);
  EXPECT_EQ(status, 0);
  EXPECT_GE(info, lower_bound(p));
  EXPECT_LE(info, 11);
  expect_valid_groups(p, groups(h));
}

TEST_F(Numeric, SamePatternGivesSameGroupsWhateverTheEntryOrderAndOffsets) {
  const Pattern p = random_pattern(2000, 99);
  const auto first = groups(group(p));
  EXPECT_EQ(groups(group(p)), first);
  // The same non-zeros listed backwards, and the block placed elsewhere.
  Pattern reversed = p;
  std::reverse(reversed.rows.begin(), reversed.rows.end());
  std::reverse(reversed.cols.begin(), reversed.cols.end());
  EXPECT_EQ(groups(group(reversed, 17, 5), 0), first);
}

TEST_F(Numeric, ReleasedGroupingIsReusedOnlyForTheSamePattern) {
  // A grouping released and asked for again with the same non-zeros, placed anywhere, comes
  // back unchanged; the same columns in other rows are grouped afresh.
  const Pattern a = laplacian2d(12);
  int h = group(a);
  const auto first = groups(h);
  U3VGRP_DESTROY(&h);
  h = group(a, 3, 7);
  EXPECT_EQ(groups(h, 0), first);
  U3VGRP_DESTROY(&h);

  Pattern one_row = a;  // every entry in row 1: each column needs a group of its own
  for (int& r : one_row.rows) r = 1;
  int info = 0;
  h = group(one_row, 0, 0, nullptr, &info);
  EXPECT_EQ(info, 144);
  expect_valid_groups(one_row, groups(h));
}

TEST_F(Numeric, ReportNamesGlobalPositionsAndWrapsLongGroups) {
  int h = group(tridiagonal(5), 0, 100);
  int voff = 100;
  U3VGRP_REPORT_BY_IDX(&h, &voff);
  EXPECT_EQ(his(),
            "3 groups for 5 variables, lower bound 3\n"
            "Group 1: 2 variables: 101 104\n"
            "Group 2: 2 variables: 102 105\n"
            "Group 3: 1 variable: 103\n");

  Pattern diag;
  diag.nvar = diag.neq = 25;
  for (int i = 1; i <= 25; ++i) diag.add(i, i);
  h = group(diag, 0, 99990);
  voff = 99990;
  U3VGRP_REPORT_BY_IDX(&h, &voff);
  EXPECT_EQ(his(),
            "1 group for 25 variables, lower bound 1\n"
            "Group 1: 25 variables: 99991 99992 99993 99994 99995 99996 99997 99998 99999\n"
            "    100000 100001 100002 100003 100004 100005 100006 100007 100008 100009\n"
            "    100010 100011 100012 100013 100014 100015\n");
}

TEST_F(Numeric, VariablesWithoutNonZerosAreInNoGroup) {
  Pattern p;
  p.nvar = 6;
  p.neq = 2;
  p.add(1, 2), p.add(1, 5), p.add(2, 5), p.add(2, 2), p.add(2, 2);  // 2 repeated in row 2
  int h = group(p);
  int voff = 0;
  U3VGRP_REPORT_BY_IDX(&h, &voff);
  EXPECT_EQ(his(),
            "2 groups for 2 variables, lower bound 2\n"
            "Group 1: 1 variable: 2\n"
            "Group 2: 1 variable: 5\n");
}

TEST_F(Numeric, RefusesNonZerosOutsideTheBlockAndDropsTheOldGrouping) {
  Pattern p = tridiagonal(4);
  int status = -1, info = -1;
  int h = group(p, 10, 20, &status, &info);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(info, 3);

  struct Bad {
    int k, row, col;
    const char* message;
  };
  const Bad cases[] = {
      {0, 10, 21,
       "!! U3VGRP_COMPUTE: Non-zero 1 (equation 10, variable 21) lies outside the block's "
       "equations 11 to 14 and variables 21 to 24\n"},
      {5, 15, 23,
       "!! U3VGRP_COMPUTE: Non-zero 6 (equation 15, variable 23) lies outside the block's "
       "equations 11 to 14 and variables 21 to 24\n"},
      {9, 14, 20,
       "!! U3VGRP_COMPUTE: Non-zero 10 (equation 14, variable 20) lies outside the block's "
       "equations 11 to 14 and variables 21 to 24\n"},
      {3, 12, 2147483647,
       "!! U3VGRP_COMPUTE: Non-zero 4 (equation 12, variable 2147483647) lies outside the "
       "block's equations 11 to 14 and variables 21 to 24\n"},
  };
  for (const Bad& b : cases) {
    std::vector<int> irn(p.rows), icn(p.cols);
    for (int& r : irn) r += 10;
    for (int& c : icn) c += 20;
    irn[b.k] = b.row;
    icn[b.k] = b.col;
    int eoff = 10, voff = 20, zero = 0;
    status = -1;
    info = -1;
    U3VGRP_COMPUTE(irn.data(), icn.data(), &info, &eoff, &voff, &zero, &h, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(his(), b.message);
  }
  // The grouping made before the failure is gone: nothing to report or difference with.
  int voff = 20;
  U3VGRP_REPORT_BY_IDX(&h, &voff);
  EXPECT_EQ(his(),
            "!! U3VGRP_REPORT_BY_IDX: Grouping " + std::to_string(h) + " has not been computed\n");
  std::vector<double> x(4, 1.0), f(4, 0.0), bj(p.nnz(), 0.0);
  EXPECT_EQ(differentiate(h, p, 20, x, f, bj, 1e-6, [](const double*, double*) {}), -1);
  EXPECT_EQ(his(), "!! U3NJAC_COMPUTE: Grouping " + std::to_string(h) + " has not been computed\n");
}

TEST_F(Numeric, RefusesUnknownReleasedAndMissingArguments) {
  int nvar = 3, neq = 2, nnz = -1, h = 77;
  U3VGRP_CREATE(&nvar, &neq, &nnz, &h);
  EXPECT_EQ(h, 0);
  EXPECT_EQ(his(),
            "!! U3VGRP_CREATE: Numbers of variables, equations and non-zeros must not be "
            "negative\n");

  h = group(tridiagonal(3));
  const int released = h;
  U3VGRP_DESTROY(&h);
  EXPECT_EQ(h, 0);
  U3VGRP_DESTROY(&h);  // handle 0: nothing happens
  int stale = released;
  U3VGRP_DESTROY(&stale);  // already released: nothing happens
  EXPECT_EQ(his(), "");

  int irn[] = {1}, icn[] = {1}, off = 0, zero = 0, info = -1, status = -1;
  stale = released;
  U3VGRP_COMPUTE(irn, icn, &info, &off, &off, &zero, &stale, &status);
  EXPECT_EQ(status, 1);
  U3VGRP_REPORT_BY_IDX(&stale, &off);
  EXPECT_EQ(his(), "!! U3VGRP_COMPUTE: Unknown grouping handle " + std::to_string(released) +
                       "\n!! U3VGRP_REPORT_BY_IDX: Unknown grouping handle " +
                       std::to_string(released) + "\n");
  // A new grouping never gets the released number back.
  EXPECT_NE(group(tridiagonal(3)), released);
  his();

  h = group(tridiagonal(3));
  status = -1;
  U3VGRP_COMPUTE(nullptr, icn, &info, &off, &off, &zero, &h, &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(his(), "!! U3VGRP_COMPUTE: No pattern given for 7 non-zeros\n");

  int zero_handle = 0;
  U3VGRP_REPORT_BY_IDX(&zero_handle, &off);
  U3VGRP_REPORT_BY_IDX(nullptr, &off);
  EXPECT_EQ(his(), "");
}

#if !defined(_WIN32)
TEST_F(Numeric, ReleasesThatRunOutOfMemoryLeaveTheKeptGroupingsCountedRight) {
  // Two groupings of just over half the non-zeros kept in all are released while memory runs
  // out: neither is kept, so neither may count. Counted, they would have the next release drop
  // every kept grouping and then look for one more in an empty list.
  const Pattern big = tridiagonal(699052);
  for (int round = 0; round < 2; ++round) {
    int status = -1;
    int h = group(big, 0, 0, &status);
    ASSERT_EQ(status, 0);
    new_countdown = 1;
    U3VGRP_DESTROY(&h);
    EXPECT_EQ(new_countdown, 0);
    new_countdown = 0;
  }
  int h = group(laplacian2d(6));
  U3VGRP_DESTROY(&h);
  EXPECT_EQ(his(), "");
}
#endif

TEST_F(Numeric, HostResetReleasesLiveGroupings) {
  int h = group(tridiagonal(3));
  kvoref::reset();
  kvoref::capture(kvHisDev, true);
  int off = 0;
  U3VGRP_REPORT_BY_IDX(&h, &off);
  EXPECT_EQ(his(), "!! U3VGRP_REPORT_BY_IDX: Unknown grouping handle " + std::to_string(h) + "\n");
  handles_.clear();
}

// ---- Numeric Jacobian -----------------------------------------------------------------------

TEST_F(Numeric, JacobianAgreesWithAnalyticOneToForwardDifferenceAccuracy) {
  for (const Pattern& p : {random_pattern(500, 3), cstr_chain(40), block_tridiagonal(20, 5)}) {
    const TestFunction fn(p);
    std::vector<double> x(p.nvar), f(p.neq, 0.0), bj(p.nnz(), -999.0);
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> d(-2.0, 3.0);
    for (double& v : x) v = d(gen);
    int info = 0;
    const int h = group(p, 5, 300, nullptr, &info);
    const int evals = differentiate(h, p, 300, x, f, bj, 1e-7,
                                    [&fn](const double* xv, double* fv) { fn.residuals(xv, fv); });
    // One evaluation at the base point and one per group.
    EXPECT_EQ(evals, info + 1);
    const std::vector<double> exact = fn.jacobian(x.data());
    for (int k = 0; k < p.nnz(); ++k) {
      const double tol = 1e-5 * std::max(1.0, std::fabs(exact[k]));
      ASSERT_NEAR(bj[k], exact[k], tol) << "non-zero " << k + 1;
    }
  }
}

TEST_F(Numeric, ArraysOfReleasedGroupingsServeLaterOnesWithoutTouchingLiveOnes) {
  // Released and forgotten groupings hand their arrays to the next ones; a live grouping's
  // arrays must stay its own, and a grouping made in recycled arrays must difference right.
  auto jacobian = [](int h, const Pattern& p) {
    const TestFunction fn(p);
    std::vector<double> x(p.nvar), f(p.neq, 0.0), bj(p.nnz(), -999.0);
    for (int j = 0; j < p.nvar; ++j) x[j] = 0.5 + 0.01 * j;
    EXPECT_GT(differentiate(h, p, 0, x, f, bj, 1e-7,
                            [&fn](const double* xv, double* fv) { fn.residuals(xv, fv); }),
              0);
    const std::vector<double> exact = fn.jacobian(x.data());
    for (int k = 0; k < p.nnz(); ++k)
      EXPECT_NEAR(bj[k], exact[k], 1e-5 * std::max(1.0, std::fabs(exact[k]))) << k + 1;
    return bj;
  };
  const Pattern live = random_pattern(700, 41);
  const int h_live = group(live);
  const std::vector<double> before = jacobian(h_live, live);
  for (int round = 0; round < 3; ++round) {
    const Pattern larger = random_pattern(900 + 400 * round, 50 + round);
    int h = group(larger);
    jacobian(h, larger);
    U3VGRP_DESTROY(&h);
    kvoref::forget_groupings();
    const Pattern smaller = cstr_chain(30 + round);
    h = group(smaller);
    jacobian(h, smaller);
    U3VGRP_DESTROY(&h);
  }
  kvoref::forget_groupings();
  EXPECT_EQ(jacobian(h_live, live), before);
}

TEST_F(Numeric, SmallGroupingsLeaveLargeReleasedArraysToGroupingsOfTheirSize) {
  // A small grouping made between two large ones takes no array the first one released: held
  // by it (and by the recent groupings, counted by their non-zeros), such arrays would leave
  // the second large grouping to take fresh memory, round after round.
  const Pattern large = tridiagonal(60000);
  int h = group(large);
  U3VGRP_DESTROY(&h);
  kvoref::forget_groupings();
  h = group(tridiagonal(5));
  U3VGRP_DESTROY(&h);
  const size_t before = allocated_bytes();
  h = group(large);
  EXPECT_LT(allocated_bytes(), before + 100000);
  U3VGRP_DESTROY(&h);
}

TEST_F(Numeric, PutsValuesBackBitExactlyAndLeavesBaseResiduals) {
  const Pattern p = random_pattern(200, 5);
  const TestFunction fn(p);
  std::vector<double> x(p.nvar);
  const double awkward[] = {0.1,       -0.0,    1e-310,  -3.7e-12,
                            1.0 / 3.0, 2.0e300, -1.0e-3, 12345.678901234567};
  for (int i = 0; i < p.nvar; ++i) x[i] = awkward[i % 8];
  const std::vector<double> x0 = x;
  std::vector<double> f0(p.neq);
  std::vector<double> f(p.neq, 0.0), bj(p.nnz());
  fn.residuals(x0.data(), f0.data());
  const int h = group(p);
  ASSERT_GT(differentiate(h, p, 0, x, f, bj, 1e-6,
                          [&fn](const double* xv, double* fv) { fn.residuals(xv, fv); }),
            1);
  EXPECT_EQ(std::memcmp(x.data(), x0.data(), x.size() * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(f.data(), f0.data(), f.size() * sizeof(double)), 0);
}

TEST_F(Numeric, StepIsPerturbationTimesLargerOfValueAndScale) {
  // One variable, f = x^2: the forward difference (f(x+h) - f(x)) / h is exactly 2x + h, so the
  // result shows the step that was taken.
  Pattern p;
  p.nvar = p.neq = 1;
  p.add(1, 1);
  const int h = group(p);
  auto square = [](const double* xv, double* fv) { fv[0] = xv[0] * xv[0]; };
  struct Case {
    double x, scale, step;
  };
  const Case cases[] = {
      {0.0, 1000.0, 1e-3},  // |x| below the scale: the scale sets the step
      {-5.0, 1.0, 5e-6},    // |x| above the scale
      {0.0, 0.0, 1e-6},     // a zero scale counts as 1
      {0.0, std::numeric_limits<double>::quiet_NaN(), 1e-6},
  };
  for (const Case& c : cases) {
    std::vector<double> x{c.x}, f{0.0}, bj{0.0}, scale{c.scale};
    ASSERT_EQ(differentiate(h, p, 0, x, f, bj, 1e-6, square, &scale), 2);
    EXPECT_NEAR(bj[0], 2 * c.x + c.step, 1e-8) << c.scale;
  }

  // Scales of magnitude 1 everywhere but at the last variable: that one still sets its step.
  Pattern diag;
  diag.nvar = diag.neq = 3;
  for (int i = 1; i <= 3; ++i) diag.add(i, i);
  const int hd = group(diag);
  std::vector<double> x(3, 0.0), f(3, 0.0), bj(3, 0.0), scale{-1.0, 1.0, 1000.0};
  ASSERT_EQ(differentiate(
                hd, diag, 0, x, f, bj, 1e-6,
                [](const double* xv, double* fv) {
                  for (int i = 0; i < 3; ++i) fv[i] = xv[i] * xv[i];
                },
                &scale),
            2);
  EXPECT_NEAR(bj[0], 1e-6, 1e-12);
  EXPECT_NEAR(bj[1], 1e-6, 1e-12);
  EXPECT_NEAR(bj[2], 1e-3, 1e-9);
}

TEST_F(Numeric, StepsDownwardWhereAnUpwardStepWouldOverflow) {
  Pattern p;
  p.nvar = p.neq = 1;
  p.add(1, 1);
  const int h = group(p);
  const double big = std::numeric_limits<double>::max();
  std::vector<double> x{big}, f{0.0}, bj{0.0};
  ASSERT_EQ(differentiate(h, p, 0, x, f, bj, 1e-6,
                          [](const double* xv, double* fv) { fv[0] = 0.25 * xv[0]; }),
            2);
  EXPECT_NEAR(bj[0], 0.25, 1e-9);
  EXPECT_EQ(x[0], big);
}

TEST_F(Numeric, StepIsNeverZeroEvenForATinyPerturbation) {
  Pattern p;
  p.nvar = p.neq = 1;
  p.add(1, 1);
  const int h = group(p);
  std::vector<double> x{1.0}, f{0.0}, bj{0.0};
  ASSERT_EQ(differentiate(h, p, 0, x, f, bj, 1e-30,
                          [](const double* xv, double* fv) { fv[0] = xv[0] * xv[0]; }),
            2);
  // The step is one unit in the last place of 1.0, so the quotient is 2 + that unit.
  EXPECT_EQ(bj[0], 2.0 + std::numeric_limits<double>::epsilon());
  EXPECT_EQ(x[0], 1.0);
}

TEST_F(Numeric, DenseRowPutsEveryColumnInAGroupOfItsOwn) {
  Pattern p;
  p.nvar = p.neq = 300;
  for (int c = 1; c <= 300; ++c) p.add(1, c);
  for (int r = 2; r <= 300; ++r) p.add(r, r);
  int info = 0;
  const int h = group(p, 0, 0, nullptr, &info);
  EXPECT_EQ(info, 300);
  expect_valid_groups(p, groups(h));
}

// The stirred-tank block placed inside larger lists: the arrays start at the block's first
// variable, equation and non-zero, the pattern holds global numbers, and the residuals come
// from the model. The result must match the model's analytic Jacobian.
TEST_F(Numeric, DifferencesAPlacedBlockThroughItsResidualRoutine) {
  kvoref::Lists lists = kvoref::make_lists(200);
  kvoref::Container cntr(lists);
  CstrParams prm;
  prm.order = 2;
  prm.rate_constant = 0.8;
  const int blk = cstr_create("R1", 4, prm);
  ASSERT_NE(blk, 0);
  kvoblk_base_register_container(blk, &cntr);
  int st = -1;
  kvoblk_ini(blk, 5, 3, 7, &st);
  ASSERT_EQ(st, 0);
  kvoblk_selfpat(blk, &lists.jac, &st);
  ASSERT_EQ(st, 0);
  const int vs = kvoblk_inq_vstart(blk), es = kvoblk_inq_estart(blk);
  const int nzs = kvoblk_inq_nzstart(blk);
  int nvar = kvoblk_inq_vstop(blk) - vs + 1, neq = kvoblk_inq_estop(blk) - es + 1;
  int nnz = kvoblk_inq_nzstop(blk) - nzs + 1;
  for (int v = vs; v < vs + nvar; ++v)
    kvovarlst_set_var_value(lists.varlst, v, 0.5 + 0.1 * (v - vs), 0);
  const std::vector<double> x0(kvovarlst_vec_value(lists.varlst) + vs - 1,
                               kvovarlst_vec_value(lists.varlst) + vs - 1 + nvar);

  int h = 0, info = 0, zero = 0, eoff = es - 1, voff = vs - 1;
  U3VGRP_CREATE(&nvar, &neq, &nnz, &h);
  KVJacIrn irn(&lists.jac);
  KVJacIcn icn(&lists.jac);
  U3VGRP_COMPUTE(irn.data() + nzs - 1, icn.data() + nzs - 1, &info, &eoff, &voff, &zero, &h, &st);
  ASSERT_EQ(st, 0);
  EXPECT_EQ(info, 5);

  std::vector<double> scale(nvar, 1.0), par(100, 1e-4);
  std::vector<int> vstat(nvar, 0);
  double pert = 1e-7;
  int request = 0, evals = 0;
  for (;;) {
    U3NJAC_COMPUTE(&h, kvovarlst_vec_value(lists.varlst) + vs - 1, scale.data(), vstat.data(),
                   kvoeqnlst_vec_residual(lists.eqnlst) + es - 1, &voff, icn.data() + nzs - 1,
                   par.data(), &pert, kvojac_vec_bj(lists.jac) + nzs - 1, &request, &st);
    ASSERT_EQ(st, 0);
    if (request != 1) break;
    kvoblk_res(blk, &st);
    ASSERT_EQ(st, 0);
    ++evals;
  }
  EXPECT_EQ(evals, 6);
  const double* xv = kvovarlst_vec_value(lists.varlst) + vs - 1;
  EXPECT_EQ(std::memcmp(xv, x0.data(), nvar * sizeof(double)), 0);
  const std::vector<double> numeric(kvojac_vec_bj(lists.jac) + nzs - 1,
                                    kvojac_vec_bj(lists.jac) + nzs - 1 + nnz);
  kvoblk_selfjac(blk, &st);
  ASSERT_EQ(st, 0);
  const double* analytic = kvojac_vec_bj(lists.jac) + nzs - 1;
  for (int k = 0; k < nnz; ++k)
    EXPECT_NEAR(numeric[k], analytic[k], 1e-5 * std::max(1.0, std::fabs(analytic[k])))
        << "non-zero " << nzs + k;

  // A column edited in the host's Jacobian after the grouping is refused at the next sequence,
  // and accepted again once put back.
  const int moved = nzs + 3, was = kvojac_inq_nz_varnum(lists.jac, moved);
  const int other = was == vs ? vs + 1 : vs;
  auto start = [&](int req) {
    request = req;
    U3NJAC_COMPUTE(&h, kvovarlst_vec_value(lists.varlst) + vs - 1, scale.data(), vstat.data(),
                   kvoeqnlst_vec_residual(lists.eqnlst) + es - 1, &voff, icn.data() + nzs - 1,
                   par.data(), &pert, kvojac_vec_bj(lists.jac) + nzs - 1, &request, &st);
  };
  kvojac_set_nz_varnum(lists.jac, moved, other);
  start(0);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(his(), "!! U3NJAC_COMPUTE: Non-zero 4 is at variable " + std::to_string(other) +
                       " but the grouping has it at variable " + std::to_string(was) + "\n");
  kvojac_set_nz_varnum(lists.jac, moved, was);
  start(0);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(request, 1);
  start(-1);
  // The same through the service that sets every column at once.
  std::vector<int> all(icn.data(), icn.data() + icn.size());
  all[moved - 1] = other;
  kvojac_set_columns(lists.jac, all.data());
  start(0);
  EXPECT_EQ(st, 1);
  his();
  all[moved - 1] = was;
  kvojac_set_columns(lists.jac, all.data());
  start(0);
  EXPECT_EQ(st, 0);
  start(-1);
  U3VGRP_DESTROY(&h);
  kvoblk_destroy(blk);
}

TEST_F(Numeric, BlockWithoutNonZerosIsLeftUntouched) {
  int vgrp = 0, voff = 0, request = 0, status = -1;
  double pert = 1e-6;
  U3NJAC_COMPUTE(&vgrp, nullptr, nullptr, nullptr, nullptr, &voff, nullptr, nullptr, &pert, nullptr,
                 &request, &status);
  EXPECT_EQ(request, 0);
  EXPECT_EQ(status, 0);

  // A grouping made for no non-zeros also asks for nothing.
  Pattern empty;
  empty.nvar = 2;
  empty.neq = 1;
  int info = -1, st = -1;
  vgrp = group(empty, 0, 0, &st, &info);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(info, 0);
  double x[2] = {1.0, 2.0}, f[1] = {3.0};
  request = 0;
  U3NJAC_COMPUTE(&vgrp, x, nullptr, nullptr, f, &voff, nullptr, nullptr, &pert, nullptr, &request,
                 &status);
  EXPECT_EQ(request, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(x[1], 2.0);
  EXPECT_EQ(f[0], 3.0);
  EXPECT_EQ(his(), "");

  // With no non-zeros there is no pattern to give, and no offsets either.
  int nvar = 2, neq = 1, nnz = 0, h = 0;
  U3VGRP_CREATE(&nvar, &neq, &nnz, &h);
  handles_.push_back(h);
  st = -1;
  U3VGRP_COMPUTE(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &handles_.back(), &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(his(), "");
}

TEST_F(Numeric, AbandonedSequencePutsValuesBackAndANewOneStartsOver) {
  const Pattern p = tridiagonal(30);
  const TestFunction fn(p);
  std::vector<double> x(p.nvar), f(p.neq), bj(p.nnz(), 0.0), scale(p.nvar, 1.0), par(100);
  for (int i = 0; i < p.nvar; ++i) x[i] = 0.3 * i - 2.0;
  const std::vector<double> x0 = x;
  std::vector<double> f0(p.neq);
  fn.residuals(x0.data(), f0.data());
  std::vector<int> vstat(p.nvar, 0), icn(p.cols);
  int h = group(p), voff = 0, request = 0, status = 0;
  double pert = 1e-7;
  auto call = [&] {
    U3NJAC_COMPUTE(&h, x.data(), scale.data(), vstat.data(), f.data(), &voff, icn.data(),
                   par.data(), &pert, bj.data(), &request, &status);
  };
  call();  // asks for the base residuals
  ASSERT_EQ(request, 1);
  fn.residuals(x.data(), f.data());
  call();  // perturbs the first group
  ASSERT_EQ(request, 1);
  fn.residuals(x.data(), f.data());
  call();  // differences the first group, perturbs the second
  ASSERT_EQ(request, 1);
  EXPECT_NE(std::memcmp(x.data(), x0.data(), x.size() * sizeof(double)), 0);
  for (double& v : f) v = std::nan("");  // the caller's evaluation failed
  request = -1;
  call();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(request, 0);
  EXPECT_EQ(std::memcmp(x.data(), x0.data(), x.size() * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(f.data(), f0.data(), f.size() * sizeof(double)), 0);
  // The Jacobian gets nothing from a sequence that did not finish.
  EXPECT_EQ(std::count(bj.begin(), bj.end(), 0.0), p.nnz());

  // Half way through again, then a fresh start: the result is as good as a clean run.
  request = 0;
  call();
  fn.residuals(x.data(), f.data());
  call();
  for (int i = 0; i < p.nvar; ++i) x[i] = x0[i];  // the caller put the values back itself
  ASSERT_EQ(differentiate(h, p, 0, x, f, bj, 1e-7,
                          [&fn](const double* xv, double* fv) { fn.residuals(xv, fv); }),
            4);
  const std::vector<double> exact = fn.jacobian(x0.data());
  for (int k = 0; k < p.nnz(); ++k)
    EXPECT_NEAR(bj[k], exact[k], 1e-5 * std::max(1.0, std::fabs(exact[k])));

  // Destroying a grouping half way through a sequence is allowed and releases everything.
  request = 0;
  call();
  fn.residuals(x.data(), f.data());
  call();
  U3VGRP_DESTROY(&h);
  EXPECT_EQ(his(), "");
}

TEST_F(Numeric, RefusesProtocolErrorsAndAChangedPattern) {
  const Pattern p = tridiagonal(4);
  std::vector<double> x(4, 1.0), f(4, 0.0), bj(p.nnz(), 0.0), scale(4, 1.0), par(100);
  std::vector<int> vstat(4, 0), icn(p.cols);
  int h = group(p), voff = 0, request = 0, status = -1;
  double pert = 1e-6;
  auto call = [&](int req) {
    request = req;
    status = -1;
    U3NJAC_COMPUTE(&h, x.data(), scale.data(), vstat.data(), f.data(), &voff, icn.data(),
                   par.data(), &pert, bj.data(), &request, &status);
  };
  call(1);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(request, 0);
  EXPECT_EQ(his(), "!! U3NJAC_COMPUTE: Request 1 without a differencing sequence under way\n");
  call(7);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(his(), "!! U3NJAC_COMPUTE: Unknown request 7\n");

  for (double bad : {0.0, -1e-6, std::nan(""), std::numeric_limits<double>::infinity()}) {
    pert = bad;
    call(0);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(request, 0);
    EXPECT_EQ(his(), "!! U3NJAC_COMPUTE: The perturbation size is not a positive number\n");
  }
  pert = 1e-6;

  icn[5] = 3;  // tridiagonal(4) has variable 2 there
  call(0);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(his(),
            "!! U3NJAC_COMPUTE: Non-zero 6 is at variable 3 but the grouping has it at "
            "variable 2\n");
  icn = p.cols;

  request = 0;
  U3NJAC_COMPUTE(&h, nullptr, scale.data(), vstat.data(), f.data(), &voff, icn.data(), par.data(),
                 &pert, bj.data(), &request, &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(his(), "!! U3NJAC_COMPUTE: No variable, residual or Jacobian values given\n");

  const int live = h;
  h = live + 1000;
  call(0);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(his(), "!! U3NJAC_COMPUTE: Unknown grouping handle " + std::to_string(h) + "\n");
  h = live;
  EXPECT_EQ(x, std::vector<double>(4, 1.0));  // no refusal touched the values
}

// ---- Differential checks of the fast paths ------------------------------------------------

// A pattern of an odd shape: one row or one column at times, empty rows, columns left empty,
// dense rows, repeated non-zeros, non-zeros out of row order.
Pattern odd_pattern(std::mt19937& gen) {
  auto below = [&gen](int n) { return static_cast<int>(gen() % static_cast<unsigned>(n)); };
  Pattern p;
  const int kind = below(10);
  p.neq = kind == 0 ? 1 : 1 + below(40);
  p.nvar = kind == 1 ? 1 : 1 + below(40);
  const int per_row = 1 + below(std::min(p.nvar, 8));
  const int reach = kind == 3 ? std::max(1, p.nvar / 2) : p.nvar;  // the rest stays empty
  for (int r = 1; r <= p.neq; ++r) {
    if (below(7) == 0) continue;
    const int n = kind == 2 && below(5) == 0 ? p.nvar : per_row;
    for (int i = 0; i < n; ++i) {
      const int c = 1 + below(reach);
      p.add(r, c);
      if (below(9) == 0) p.add(r, c);
    }
  }
  if (kind >= 5) {
    std::vector<int> order(p.nnz());
    for (int k = 0; k < p.nnz(); ++k) order[k] = k;
    std::shuffle(order.begin(), order.end(), gen);
    const Pattern q = p;
    for (int k = 0; k < p.nnz(); ++k) p.rows[k] = q.rows[order[k]], p.cols[k] = q.cols[order[k]];
  }
  return p;
}

// Row r is 0.1 (r + 1) plus, over its non-zeros k in order, a_k (x^2 / 2 + sin x) at the
// non-zero's column; row nan_row is not a number. A row reads its own columns only, so a
// perturbed group changes it exactly as its one column of the group alone would.
struct RowSums {
  const Pattern& p;
  std::vector<double> a;
  int nan_row;
  void operator()(const double* x, double* f) const {
    for (int r = 0; r < p.neq; ++r) f[r] = 0.1 * (r + 1);
    for (int k = 0; k < p.nnz(); ++k) {
      const double v = x[p.cols[k] - 1];
      f[p.rows[k] - 1] += a[k] * (0.5 * v * v + std::sin(v));
    }
    if (nan_row >= 0) f[nan_row] = std::nan("");
  }
};

bool same_bits(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

TEST_F(Numeric, GroupedDifferencesEqualOneColumnAtATimeToTheBit) {
  // Odd patterns at offsets, grouped afresh, taken back from a released grouping, or grouped
  // again on a handle that held another pattern; unit scales of either sign, scales that are
  // zero, negative, tiny, huge or not finite; values at zero, near the largest double and
  // below the smallest normal one; rows that are not a number.
  std::mt19937 gen(12345);
  auto below = [&gen](int n) { return static_cast<int>(gen() % static_cast<unsigned>(n)); };
  const double inf = std::numeric_limits<double>::infinity();
  const double odd_scales[] = {0.0, -1.0, 1e300, -3.5, 1e-300, std::nan(""), inf, -1e-3};
  for (int t = 0; t < 1500; ++t) {
    SCOPED_TRACE("case " + std::to_string(t));
    const Pattern p = odd_pattern(gen);
    const int eoff = below(3) == 0 ? below(100000) : 0, voff = below(3) == 0 ? below(100000) : 0;
    int status = -1, info = -1;
    int h = group(p, eoff, voff, &status, &info);
    ASSERT_EQ(status, 0);
    if (below(3) == 0) {
      Pattern other = p;
      for (int& c : other.cols) c = 1 + below(p.nvar);
      int again = group(other), zero = 0, e = eoff, v = voff;
      std::vector<int> irn(p.rows), icn(p.cols);
      for (int& r : irn) r += eoff;
      for (int& c : icn) c += voff;
      U3VGRP_COMPUTE(irn.data(), icn.data(), &info, &e, &v, &zero, &again, &status);
      ASSERT_EQ(status, 0);
      U3VGRP_DESTROY(&h);
      h = again;
    } else if (below(3) == 0) {
      U3VGRP_DESTROY(&h);
      h = group(p, eoff, voff, &status, &info);
    }
    RowSums fn{p, std::vector<double>(p.nnz()), below(5) == 0 ? below(p.neq) : -1};
    for (int k = 0; k < p.nnz(); ++k) fn.a[k] = 0.3 + 0.17 * (k % 11) + 0.01 * k;
    std::vector<double> x(p.nvar), scale(p.nvar, 1.0);
    for (double& v : x) {
      const int m = below(8);
      v = m == 0 ? 0.0 : m == 1 ? 1e308 : m == 2 ? -1e-310 : (below(2000) - 1000) / 7.0;
    }
    const int scales = below(3);
    for (double& s : scale) {
      if (scales == 0) s = below(2) ? 1.0 : -1.0;
      if (scales == 1) s = odd_scales[below(8)];
    }
    const double pert = below(4) == 0 ? 0.5 : 1e-6;
    const std::vector<double> x0 = x;
    std::vector<double> f(p.neq), f0(p.neq), bj(p.nnz());
    ASSERT_EQ(differentiate(h, p, voff, x, f, bj, pert, fn, &scale), p.nnz() ? info + 1 : 0);
    fn(x0.data(), f0.data());
    for (int j = 0; j < p.nvar; ++j) ASSERT_TRUE(same_bits(x[j], x0[j]));
    for (int r = 0; p.nnz() > 0 && r < p.neq; ++r) ASSERT_TRUE(same_bits(f[r], f0[r]));
    // Each column moved alone, by the step the definition gives.
    std::vector<std::vector<double>> moved_alone(p.nvar);
    std::vector<double> steps(p.nvar);
    for (int k = 0; k < p.nnz(); ++k) {
      const int c = p.cols[k] - 1, r = p.rows[k] - 1;
      std::vector<double>& fc = moved_alone[c];
      if (fc.empty()) {
        double s = std::fabs(scale[c]);
        if (!(s > 0.0) || !std::isfinite(s)) s = 1.0;
        const double step = pert * std::max(std::fabs(x0[c]), s);
        std::vector<double> xc = x0;
        xc[c] = x0[c] + step;
        if (!std::isfinite(xc[c])) xc[c] = x0[c] - step;
        if (xc[c] == x0[c]) xc[c] = std::nextafter(x0[c], inf);
        steps[c] = xc[c] - x0[c];
        fc.resize(p.neq);
        fn(xc.data(), fc.data());
      }
      const double want = (fc[r] - f0[r]) / steps[c];
      ASSERT_TRUE(same_bits(bj[k], want))
          << "non-zero " << k + 1 << ": " << bj[k] << ", not " << want;
    }
    U3VGRP_DESTROY(&h);
  }
}

TEST_F(Numeric, EveryEditOfTheHostJacobianBringsTheColumnCheckBack) {
  // After each edit through a list service (or none), a new sequence must be refused exactly
  // when the full comparison of the columns would refuse it.
  std::mt19937 gen(777);
  auto below = [&gen](int n) { return static_cast<int>(gen() % static_cast<unsigned>(n)); };
  for (int t = 0; t < 100; ++t) {
    const Pattern p = odd_pattern(gen);
    if (p.nnz() == 0) continue;
    const int nzs = 1 + below(5), voff = below(7), eoff = 2;
    const int cap = nzs + p.nnz() + below(5);
    kv_jac_t jac = below(2) ? kvojac_create(cap) : kvoref::make_lists(cap).jac;
    kvojac_set_nnz(jac, cap);
    for (int k = 0; k < p.nnz(); ++k)
      kvoref::set_nz(jac, nzs + k, p.rows[k] + eoff, p.cols[k] + voff);
    int nvar = p.nvar, neq = p.neq, nnz = p.nnz(), h = 0, info = 0, zero = 0, st = -1;
    int e = eoff, v = voff;
    U3VGRP_CREATE(&nvar, &neq, &nnz, &h);
    U3VGRP_COMPUTE(KVJacIrn(&jac).data() + nzs - 1, KVJacIcn(&jac).data() + nzs - 1, &info, &e, &v,
                   &zero, &h, &st);
    ASSERT_EQ(st, 0);
    std::vector<double> x(p.nvar, 1.0), f(p.neq), bj(p.nnz()), scale(p.nvar, 1.0), par(100);
    std::vector<int> vstat(p.nvar);
    double pert = 1e-6;
    for (int step = 0; step < 30; ++step) {
      KVJacIcn icn(&jac);
      bool same = true;
      for (int k = 0; k < p.nnz(); ++k) same = same && icn[nzs - 1 + k] - voff == p.cols[k];
      auto call = [&](int request) {
        U3NJAC_COMPUTE(&h, x.data(), scale.data(), vstat.data(), f.data(), &v, icn.data() + nzs - 1,
                       par.data(), &pert, bj.data(), &request, &st);
        return request;
      };
      EXPECT_EQ(call(0) == 1 && st == 0, same) << "case " << t << " edit " << step;
      call(-1);
      his();
      const int k = 1 + below(cap);
      switch (below(8)) {
        case 0:
          kvojac_set_nz_varnum(jac, k, kvojac_inq_nz_varnum(jac, k) + (below(2) ? 1 : -1));
          break;
        case 1:
          kvojac_set_nz_eqnnum(jac, k, kvojac_inq_nz_eqnnum(jac, k));
          break;
        case 2:
          kvojac_move_items(jac, k, 1 + below(cap), 1 + below(3));
          break;
        case 3:
          kvojac_renumber(jac, k, k + below(3), 0, below(2) ? 1 : -1, 0, 0);
          break;
        case 4:
          kvoref::resize_jac(jac, cap + below(4));
          break;
        case 5:
          kvojac_set_nz_value(jac, k, 3.0);
          break;
        case 6:
          for (int q = 0; q < p.nnz(); ++q)
            kvoref::set_nz(jac, nzs + q, p.rows[q] + eoff, p.cols[q] + voff);
          break;
        default: {
          std::vector<int> all(icn.data(), icn.data() + icn.size());
          all[k - 1] += 1;
          kvojac_set_columns(jac, all.data());
        }
      }
    }
    U3VGRP_DESTROY(&h);
    kvojac_destroy(&jac);
  }
}

}  // namespace
