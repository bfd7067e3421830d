// SPDX-License-Identifier: BSD-3-Clause
// Pattern checks and the two comparisons: the stored pattern against the one obtained the other
// way with its exact report, the refusals and what is put back afterwards, and the comparison of
// analytic with numeric Jacobian values.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <kvoblk/kvopat_compare.h>
#include "toy_model.h"
// The program built from the library's objects has no example models.
#ifndef KVOBLK_WHITEBOX
#include "cstr.h"
#endif

namespace {

using Entries = std::vector<std::pair<int, int>>;  // block-local (row, column)

// A linear test model: residual `row` is the sum of coef * x_col over its dependencies, so
// numeric detection finds exactly the dependencies and numeric derivatives are the
// coefficients. What the block stores, what the model's selfpat states and the analytic values
// are set apart, so that each can disagree with the others.
struct Dep {
  int row, col;
  double coef;
};
struct Model {
  int nvar = 2, neq = 2;
  Entries stored;             // written into the Jacobian at placement
  Entries own;                // what selfpat states
  std::vector<Dep> deps;      // what the residuals depend on
  std::vector<double> exact;  // analytic value of each stored entry
  std::vector<double> value, lower, upper;
  std::string eqn_prefix = "E";  // equations are named by it and their number
  int selfpat_status = 0, selfjac_status = 0, selfdim_status = 0;
  int fail_from_call = 0;  // residual calls from this one on report a problem (0: none)
  int calls = 0;
  std::vector<std::vector<double>> seen;  // variable values at every residual call
} m;

void shape(int nvar, int neq) {
  m = Model();
  m.nvar = nvar;
  m.neq = neq;
  m.value.assign(nvar, 1.0);
  m.lower.assign(nvar, -1e35);
  m.upper.assign(nvar, 1e35);
}

void model_selfdim(int, int* nvar, int* neq, int* nnz, int* status) {
  *nvar = m.nvar;
  *neq = m.neq;
  *nnz = static_cast<int>(m.own.size());
  *status = m.selfdim_status;
}

void model_ini(int b, int vs, int es, int nzs, int* status) {
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(b, &varlst, &eqnlst, &jac);
  for (int j = 0; j < m.nvar; ++j)
    kvoref::define_var(varlst, vs + j, ("X" + std::to_string(j + 1)).c_str(), m.value[j],
                       m.lower[j], m.upper[j]);
  for (int i = 0; i < m.neq; ++i)
    kvoref::define_eqn(eqnlst, es + i, (m.eqn_prefix + std::to_string(i + 1)).c_str());
  for (size_t k = 0; k < m.stored.size(); ++k)
    kvoref::set_nz(jac, nzs + static_cast<int>(k), es + m.stored[k].first - 1,
                   vs + m.stored[k].second - 1);
  kvoblk_set_vstop(b, vs + m.nvar - 1);
  kvoblk_set_estop(b, es + m.neq - 1);
  kvoblk_set_nzstop(b, nzs + static_cast<int>(m.stored.size()) - 1);
  *status = 0;
}

void model_res(int b, int* status) {
  ++m.calls;
  int varlst = blk_inq_matrix_varlst(b), eqnlst = blk_inq_matrix_eqnlst(b);
  int vs = kvoblk_inq_vstart(b), es = kvoblk_inq_estart(b);
  std::vector<double> x(m.nvar);
  for (int j = 0; j < m.nvar; ++j) x[j] = kvovarlst_inq_var_value(varlst, vs + j, 0);
  m.seen.push_back(x);
  double* r = kvoeqnlst_vec_residual(eqnlst);
  for (int i = 0; i < m.neq; ++i) r[es + i - 1] = 0.0;
  for (const Dep& d : m.deps) r[es + d.row - 2] += d.coef * x[d.col - 1];
  *status = m.fail_from_call > 0 && m.calls >= m.fail_from_call ? 1 : 0;
}

void model_selfjac(int b, int* status) {
  double* bj = kvojac_vec_bj(blk_inq_matrix_jacobian(b));
  const int nzs = kvoblk_inq_nzstart(b);
  for (size_t k = 0; k < m.exact.size(); ++k) bj[nzs - 1 + k] = m.exact[k];
  *status = m.selfjac_status;
}

// States the model's pattern in global numbers from entry 1 of the object it is given, and
// sets the block's stop as it would at placement.
void model_selfpat(int b, kv_jac_t* jac, int* status) {
  const int vs = kvoblk_inq_vstart(b), es = kvoblk_inq_estart(b);
  for (size_t k = 0; k < m.own.size(); ++k) {
    kvojac_set_nz_eqnnum(*jac, static_cast<int>(k) + 1, es + m.own[k].first - 1);
    kvojac_set_nz_varnum(*jac, static_cast<int>(k) + 1, vs + m.own[k].second - 1);
  }
  kvoblk_set_nzstop(b, kvoblk_inq_nzstart(b) + 77);
  *status = m.selfpat_status;
}

// States the model's pattern as the pattern routine's contract asks: entries 1 ... n of the
// object it is given and the object's count; the block's stop is left alone.
void contract_selfpat(int b, kv_jac_t* jac, int* status) {
  const int vs = kvoblk_inq_vstart(b), es = kvoblk_inq_estart(b);
  for (size_t k = 0; k < m.own.size(); ++k) {
    kvojac_set_nz_eqnnum(*jac, static_cast<int>(k) + 1, es + m.own[k].first - 1);
    kvojac_set_nz_varnum(*jac, static_cast<int>(k) + 1, vs + m.own[k].second - 1);
  }
  kvojac_set_nnz(*jac, static_cast<int>(m.own.size()));
  *status = m.selfpat_status;
}

// Column padding as the report's formats make it.
std::string pad(const std::string& s, size_t width) {
  return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

const std::string kNumericHeading = "\nChecking NUMERICAL  sparsity...\n";
const std::string kAnalyticHeading = "\nChecking ANALYTICAL sparsity...\n";
const std::string kFine = "No obvious errors found.\n";

}  // namespace

// A block of the test model placed at variable 11, equation 6, non-zero 21, so that every
// conversion between global and block-local numbers is exercised.
class CompareTest : public kvotest::PlacedBlockTest {
 protected:
  CompareTest() { list_capacity = 100; }
  void SetUp() override {
    PlacedBlockTest::SetUp();
    shape(2, 2);
  }
  void place(int pat_type = KVOBLK_PATTYPE_ANALYTIC) {
    b = make_block("R1", true);
    kvoblk_ops_t* t = kvoblk_inq_ops(b);
    t->selfdim = model_selfdim;
    t->ini = model_ini;
    t->res = model_res;
    t->selfjac = model_selfjac;
    t->selfpat = model_selfpat;
    t->npat_compare = kvoblk_npat_compare_base;
    ASSERT_TRUE(place_block(b, 11, 6, 21));
    kvoblk_set_pat_type(b, pat_type);
    his();
  }
  int compare(double pertsize = 0.0, double zerotol = 0.0) {
    int errors = -1;
    kvoblk_npat_compare(b, pertsize, zerotol, &errors);
    return errors;
  }
  double value(int j) { return kvovarlst_inq_var_value(lists.varlst, 10 + j, 0); }

  int b = 0;
};

// ---- The pattern comparison ----------------------------------------------------------------

class PatternCompare : public CompareTest {};

TEST_F(PatternCompare, ReportsEveryDifferenceOfAStoredAnalyticPatternExactly) {
  m.stored = {{1, 1}, {1, 2}, {2, 2}};
  m.deps = {{1, 1, 1.0}, {2, 1, 2.0}, {2, 2, 3.0}};
  m.value = {1.5, -2.0};
  place();
  EXPECT_EQ(compare(), 0);
  EXPECT_EQ(his(), kvotest::golden("compare_analytic_stored.txt"));
  // Values, settings and the stored pattern are as they were.
  EXPECT_EQ(value(1), 1.5);
  EXPECT_EQ(value(2), -2.0);
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_ANALYTIC);
  EXPECT_EQ(kvoblk_inq_pertsize(b), 1e-6);
  EXPECT_EQ(kvoblk_inq_nzstop(b), 23);
  EXPECT_EQ(kvojac_inq_nz_varnum(lists.jac, 22), 12);
}

TEST_F(PatternCompare, ReportsAStoredNumericPatternAgainstTheModelsOwnWithTotals) {
  shape(3, 3);
  m.stored = {{1, 1}, {2, 2}, {2, 1}, {3, 3}};
  m.own = {{1, 1}, {1, 2}, {2, 2}, {3, 1}, {3, 3}};
  place(KVOBLK_PATTYPE_NUMERIC);
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_NUMERIC);
  EXPECT_EQ(compare(), 0);
  EXPECT_EQ(his(), kvotest::golden("compare_numeric_stored.txt"));
  // The model's pattern routine moved the block's stop; the stored pattern is put back, and so
  // is the initialisation type switched to SELF for the model's count.
  EXPECT_EQ(kvoblk_inq_nzstop(b), 24);
  EXPECT_EQ(kvoblk_inq_pat_ini_type(b), KVOBLK_PAT_NUMERIC);
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_NUMERIC);
  EXPECT_EQ(kvoref::live_pattern_objects(), 0);
}

// The block's non-zeros start at 21 and its stop lies in the object's range; the entries are
// still read from 1 ... count, where the routine wrote them. Its count is below the model's
// dimensioned one, so nothing past it is read either.
TEST_F(PatternCompare, ModelStatingItsPatternFromEntryOneIsReadFromThere) {
  shape(3, 3);
  m.stored = {{1, 1}, {2, 2}, {2, 1}, {3, 3}};
  m.own = {{1, 1}, {1, 2}, {2, 2}, {3, 1}, {3, 3}};
  place(KVOBLK_PATTYPE_NUMERIC);
  kvoblk_inq_ops(b)->selfpat = contract_selfpat;
  kvoblk_inq_ops(b)->selfdim = [](int, int* nvar, int* neq, int* nnz, int* status) {
    *nvar = m.nvar;
    *neq = m.neq;
    *nnz = static_cast<int>(m.own.size()) + 3;
    *status = 0;
  };
  EXPECT_EQ(compare(), 0);
  EXPECT_EQ(his(), kvotest::golden("compare_numeric_stored.txt"));
  EXPECT_EQ(kvoblk_inq_nzstop(b), 24);
}

TEST_F(PatternCompare, IdenticalPatternsSayNoDifferencesAndNothingMore) {
  m.stored = {{1, 2}, {1, 1}, {2, 2}};
  m.deps = {{1, 1, 1.0}, {1, 2, 1.0}, {2, 2, 1.0}};
  place();
  EXPECT_EQ(compare(), 0);
  const std::string text = his();
  const std::string tail =
      "\nComparing ANALYTIC and NUMERICAL sparsity patterns...\n"
      "\nFound no differences.\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

// Every equation has one entry in each pattern, at another column: the differences are listed,
// but neither the totals table nor the per-equation table appears.
TEST_F(PatternCompare, DifferencesWithEqualCountsPerEquationPrintOnlyTheList) {
  m.stored = {{1, 1}, {2, 2}};
  m.deps = {{1, 2, 1.0}, {2, 1, 1.0}};
  place();
  EXPECT_EQ(compare(), 0);
  const std::string text = his();
  const std::string tail =
      "\nComparing ANALYTIC and NUMERICAL sparsity patterns...\n"
      "\nFound 4 significant differences.\n"
      "\nList of all different non-zero entries:\n"
      "\n" +
      pad("Equation", 52) + pad("Variable", 52) + "Ana Num \n" + pad(std::string(50, '-'), 52) +
      pad(std::string(50, '-'), 52) + "--- --- \n" + pad("E1", 52) + pad("X1", 52) + " X      \n" +
      pad("E1", 52) + pad("X2", 52) + "     X  \n" + pad("E2", 52) + pad("X2", 52) + " X      \n" +
      pad("E2", 52) + pad("X1", 52) + "     X  \n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
}

TEST_F(PatternCompare, EquationNameThatFillsItsColumnStaysApartFromTheVariable) {
  const std::string eqn = std::string(60, 'E') + "1";
  m.eqn_prefix = std::string(60, 'E');
  m.stored = {{1, 1}, {2, 2}};
  m.deps = {{1, 1, 1.0}, {1, 2, 1.0}, {2, 2, 1.0}};
  place();
  EXPECT_EQ(compare(), 0);
  const std::string text = his();
  EXPECT_NE(text.find("\n" + eqn + " " + pad("X2", 52) + "    " + " X  \n"), std::string::npos)
      << text;
}

TEST_F(PatternCompare, UndefinedStoredPatternIsErrorOne) {
  m.stored = {{1, 1}, {2, 2}};
  place(KVOBLK_PATTYPE_UNDEFINED);
  EXPECT_EQ(compare(), 1);
  EXPECT_EQ(his(), "\nAnalyzing sparsity for block R1\n\nError. Stored sparsity is UNDEFINED.\n\n");
  EXPECT_EQ(m.calls, 0);
}

TEST_F(PatternCompare, BlockWithoutStoredNonZerosIsErrorOneInEitherDirection) {
  place();
  EXPECT_EQ(compare(), 1);
  EXPECT_EQ(his(),
            "\nAnalyzing sparsity for block R1\n"
            "\nStored sparsity is ANALYTIC. Will compare with computed NUMERIC sparsity.\n"
            "Error. Number of nonzeros stored in Jacobian is 0\n");
  kvoblk_set_pat_type(b, KVOBLK_PATTYPE_NUMERIC);
  EXPECT_EQ(compare(), 1);
  EXPECT_EQ(his(),
            "\nAnalyzing sparsity for block R1\n"
            "\nStored sparsity is NUMERIC. Will compare with computed ANALYTIC sparsity.\n"
            "Error. Number of nonzeros stored in Jacobian is 0\n");
}

TEST_F(PatternCompare, ZeroIncidenceInTheStoredPatternIsReportedAndStillCompared) {
  shape(2, 3);
  m.stored = {{1, 1}, {3, 2}};
  m.deps = {{1, 1, 1.0}, {2, 1, 1.0}, {3, 2, 1.0}};
  place();
  EXPECT_EQ(compare(), 0);
  EXPECT_EQ(his(),
            "\nAnalyzing sparsity for block R1\n"
            "\nStored sparsity is ANALYTIC. Will compare with computed NUMERIC sparsity.\n" +
                kNumericHeading + kFine + kAnalyticHeading +
                "Error. Zero incidence in row    2, E2\n"
                "\nComparing ANALYTIC and NUMERICAL sparsity patterns...\n"
                "\nFound 1 significant differences.\n"
                "\nTotal number of non-zero entries:\n"
                "\nAnalytic      Numeric       Difference\n"
                "----------    ----------    ----------\n"
                "         2             3             1\n"
                "\nDifferences in the number of non-zero entries per equation:\n"
                "\n" +
                pad("Equation", 54) + pad("Analytic", 14) + pad("Numeric", 14) +
                pad("Difference", 14) + "\n" + pad(std::string(50, '-'), 54) +
                pad("----------", 14) + pad("----------", 14) + pad("----------", 14) + "\n" +
                pad("E2", 50) + "             0             1             1\n" +
                pad(std::string(50, '-'), 54) + pad("----------", 14) + pad("----------", 14) +
                pad("----------", 14) +
                "\n"
                "\nList of all different non-zero entries:\n"
                "\n" +
                pad("Equation", 52) + pad("Variable", 52) + "Ana Num \n" +
                pad(std::string(50, '-'), 52) + pad(std::string(50, '-'), 52) + "--- --- \n" +
                pad("E2", 52) + pad("X1", 52) + "    " + " X  \n");
}

TEST_F(PatternCompare, RowOutOfOrderRefusesTheComparisonWithTheCodeOfThePatternAtFault) {
  m.stored = {{2, 2}, {1, 1}};
  m.deps = {{1, 1, 1.0}, {2, 2, 1.0}};
  place();
  EXPECT_EQ(compare(), 4);
  EXPECT_EQ(his(),
            "\nAnalyzing sparsity for block R1\n"
            "\nStored sparsity is ANALYTIC. Will compare with computed NUMERIC sparsity.\n" +
                kNumericHeading + kFine + kAnalyticHeading +
                "Error in element 1. Row not in increasing order.\n");

  // The same stored pattern called NUMERIC is the numeric side of the comparison.
  m.own = {{1, 1}, {2, 2}};
  kvoblk_set_pat_type(b, KVOBLK_PATTYPE_NUMERIC);
  EXPECT_EQ(compare(), 3);
  EXPECT_EQ(his(),
            "\nAnalyzing sparsity for block R1\n"
            "\nStored sparsity is NUMERIC. Will compare with computed ANALYTIC sparsity.\n" +
                kNumericHeading + "Error in element 1. Row not in increasing order.\n");
}

TEST_F(PatternCompare, RowOrderErrorWithAnEmptyColumnIsStatusSixAndRefused) {
  shape(3, 2);
  m.stored = {{2, 2}, {1, 1}};
  m.deps = {{1, 1, 1.0}, {2, 2, 1.0}, {2, 3, 1.0}};
  place();
  EXPECT_EQ(compare(), 4);
  const std::string text = his();
  EXPECT_NE(text.find(kAnalyticHeading + "Error in element 1. Row not in increasing order.\n"
                                         "Error. Zero incidence in column 3, X3\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("Comparing"), std::string::npos);
}

TEST_F(PatternCompare, DuplicateColumnIsNamedWithRowAndColumn) {
  m.stored = {{1, 1}, {1, 2}, {1, 1}, {2, 2}};
  m.deps = {{1, 1, 1.0}, {1, 2, 1.0}, {2, 2, 1.0}};
  place();
  EXPECT_EQ(compare(), 4);
  const std::string text = his();
  EXPECT_NE(text.find(kAnalyticHeading + "Error. Duplicate element. Row    1 E1\n"
                                         "                          Column 1 X1\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("No obvious errors found.\n", text.find(kAnalyticHeading)),
            std::string::npos);
}

TEST_F(PatternCompare, EntriesOutsideTheBlockAreListedOneByOne) {
  // Entry 2 names the block's third variable and entry 3 an equation before the block.
  m.stored = {{1, 1}, {1, 3}, {0, 2}};
  m.deps = {{1, 1, 1.0}, {2, 2, 1.0}};
  place();
  EXPECT_EQ(compare(), 4);
  const std::string text = his();
  EXPECT_NE(text.find(kAnalyticHeading + "Error. Element 2 has invalid column number: 3\n"
                                         "Error. Element 3 has invalid row    number: 0\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("Zero incidence"), std::string::npos);
}

TEST_F(PatternCompare, MoreNonZerosThanTheBlockCanHoldIsStatusTwo) {
  m.stored = {{1, 1}, {1, 2}, {2, 1}, {2, 2}, {2, 2}};
  m.deps = {{1, 1, 1.0}, {2, 2, 1.0}};
  place();
  EXPECT_EQ(compare(), 4);
  const std::string text = his();
  EXPECT_NE(text.find(kAnalyticHeading + "Error. Number of nonzeros is too high.\n"
                                         "Max number of nonzeros (variables*equations) = 4\n"
                                         "Number of nonzeros                           = 5\n"),
            std::string::npos)
      << text;
}

TEST_F(PatternCompare, StoredNonZerosOutsideTheJacobianAreRefusedNotRead) {
  m.stored = {{1, 1}, {2, 2}};
  m.deps = {{1, 1, 1.0}, {2, 2, 1.0}};
  place();
  kvoblk_set_nzstop(b, 500);  // the Jacobian holds 100 non-zeros
  EXPECT_EQ(compare(), 1);
  EXPECT_EQ(his(),
            "\nAnalyzing sparsity for block R1\n"
            "\nStored sparsity is ANALYTIC. Will compare with computed NUMERIC sparsity.\n"
            "!! kvoblk_npat_compare_analytic: Non-zeros 21 to 500 of block R1 are not in the "
            "Jacobian\n");
  EXPECT_EQ(m.calls, 0);
}

TEST_F(PatternCompare, DetectionThatCannotStartIsErrorTwoAndChangesNothing) {
  m.stored = {{1, 1}, {2, 2}};
  m.deps = {{1, 1, 1.0}, {2, 2, 1.0}};
  m.value = {5.0, 1.0};
  m.upper = {2.0, 1e35};
  place();
  EXPECT_EQ(compare(), 2);
  EXPECT_EQ(his(),
            "\nAnalyzing sparsity for block R1\n"
            "\nStored sparsity is ANALYTIC. Will compare with computed NUMERIC sparsity.\n"
            "Variable 0 , X1 is outside its bounds\n"
            "\nSparsity not computed. Please correct previous mistakes and try again.\n");
  EXPECT_EQ(value(1), 5.0);
}

TEST_F(PatternCompare, ResidualProblemsDuringDetectionStillCompare) {
  m.stored = {{1, 1}, {2, 2}};
  m.deps = {{1, 1, 1.0}, {2, 2, 1.0}};
  m.fail_from_call = 2;
  place();
  EXPECT_EQ(compare(), 0);
  const std::string text = his();
  EXPECT_NE(text.find("Sparsity may be wrong." + kNumericHeading + kFine), std::string::npos)
      << text;
  EXPECT_NE(text.find("\nFound no differences.\n"), std::string::npos) << text;
}

TEST_F(PatternCompare, UsesTheGivenPerturbationAndOtherwiseTheBlocksOwn) {
  m.stored = {{1, 1}, {2, 2}};
  m.deps = {{1, 1, 1.0}, {2, 2, 1.0}};
  place();
  kvoblk_set_move(b, 0);
  ASSERT_EQ(compare(1e-3, 1e-9), 0);
  ASSERT_GE(m.seen.size(), 2u);
  EXPECT_EQ(m.seen[1][0], 1.0 + 1e-3 * 2.0);  // the step is pertsize x (|x| + 1)
  m.seen.clear();
  ASSERT_EQ(compare(0.0, -1.0), 0);
  ASSERT_GE(m.seen.size(), 2u);
  EXPECT_EQ(m.seen[1][0], 1.0 + 1e-6 * 2.0);
  m.seen.clear();
  ASSERT_EQ(compare(std::numeric_limits<double>::quiet_NaN(), 0.0), 0);
  ASSERT_GE(m.seen.size(), 2u);
  EXPECT_EQ(m.seen[1][0], 1.0 + 1e-6 * 2.0);
  EXPECT_EQ(kvoblk_inq_pertsize(b), 1e-6);
  EXPECT_EQ(kvoblk_inq_zerotol(b), 1e-12);
}

TEST_F(PatternCompare, ModelWithoutItsOwnPatternIsErrorTwoAndKeepsItsType) {
  m.stored = {{1, 1}, {2, 2}};
  place(KVOBLK_PATTYPE_NUMERIC);
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_RESTORE);
  blk_selfpat_disable(b);
  his();
  EXPECT_EQ(compare(), 2);
  EXPECT_EQ(his(),
            "\nAnalyzing sparsity for block R1\n"
            "\nStored sparsity is NUMERIC. Will compare with computed ANALYTIC sparsity.\n"
            "Block R1 does not support \"SPARSITY_GEN = AUTO\".\n");
  EXPECT_EQ(kvoblk_inq_pat_ini_type(b), KVOBLK_PAT_RESTORE);
}

TEST_F(PatternCompare, FailingDimensioningOrPatternRoutineIsErrorTwoAndRestoresTheBlock) {
  m.stored = {{1, 1}, {2, 2}};
  m.own = {{1, 1}, {2, 2}};
  place(KVOBLK_PATTYPE_NUMERIC);
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_NUMERIC);
  m.selfdim_status = 3;
  EXPECT_EQ(compare(), 2);
  EXPECT_EQ(kvoblk_inq_pat_ini_type(b), KVOBLK_PAT_NUMERIC);
  m.selfdim_status = 0;
  m.selfpat_status = 1;
  EXPECT_EQ(compare(), 2);
  EXPECT_EQ(kvoblk_inq_pat_ini_type(b), KVOBLK_PAT_NUMERIC);
  EXPECT_EQ(kvoblk_inq_nzstop(b), 22);
  EXPECT_EQ(kvoref::live_pattern_objects(), 0);
  EXPECT_EQ(his(),
            "\nAnalyzing sparsity for block R1\n"
            "\nStored sparsity is NUMERIC. Will compare with computed ANALYTIC sparsity.\n"
            "\nAnalyzing sparsity for block R1\n"
            "\nStored sparsity is NUMERIC. Will compare with computed ANALYTIC sparsity.\n");
  // A host that gives no object for the model's pattern is named as the reason.
  m.selfpat_status = 0;
  kvoref::refuse_pattern_objects(true);
  EXPECT_EQ(compare(), 2);
  EXPECT_EQ(kvoblk_inq_pat_ini_type(b), KVOBLK_PAT_NUMERIC);
  EXPECT_EQ(his(),
            "\nAnalyzing sparsity for block R1\n"
            "\nStored sparsity is NUMERIC. Will compare with computed ANALYTIC sparsity.\n"
            "!! kvoblk_npat_compare_numeric: The Jacobian service gave no pattern object for the 2 "
            "non-zeros of block R1\n");
}

// A model pattern that was never stated is error 2, said in words: an empty pattern slot (the
// dispatcher's line, and no check of entries nobody wrote), or a dimensioning or pattern routine
// that destroys its own block.
TEST_F(PatternCompare, ModelPatternNeverStatedIsErrorTwoInWords) {
  m.stored = {{1, 1}, {2, 2}};
  m.own = {{1, 1}, {2, 2}};
  place(KVOBLK_PATTYPE_NUMERIC);
  kvoblk_inq_ops(b)->selfpat = nullptr;
  EXPECT_EQ(compare(), 2);
  EXPECT_EQ(his(),
            "\nAnalyzing sparsity for block R1\n"
            "\nStored sparsity is NUMERIC. Will compare with computed ANALYTIC sparsity.\n"
            "!! kvoblk_selfpat: Attempt to call an undefined function\n");
  EXPECT_EQ(kvoblk_inq_nzstop(b), 22);

  place(KVOBLK_PATTYPE_NUMERIC);
  kvoblk_inq_ops(b)->selfpat = [](int blk, kv_jac_t*, int* status) {
    kvoblk_destroy(blk);
    *status = 0;
  };
  EXPECT_EQ(compare(), 2);
  EXPECT_EQ(his(),
            "\nAnalyzing sparsity for block R1\n"
            "\nStored sparsity is NUMERIC. Will compare with computed ANALYTIC sparsity.\n"
            "!! kvoblk_npat_compare_numeric: Block " +
                std::to_string(b) + " was destroyed while its sparsity was being compared\n");
  EXPECT_EQ(kvoref::live_pattern_objects(), 0);

  place(KVOBLK_PATTYPE_NUMERIC);
  kvoblk_inq_ops(b)->selfdim = [](int blk, int*, int*, int*, int* status) {
    kvoblk_destroy(blk);
    *status = 0;
  };
  EXPECT_EQ(compare(), 2);
  EXPECT_NE(his().find("!! kvoblk_npat_compare_numeric: Block " + std::to_string(b) +
                       " was destroyed while its sparsity was being compared\n"),
            std::string::npos);
}

// The same when the dimensioning or pattern routine also makes another block at the handle:
// the comparison ends in the same words, and puts none of the old block's ranges or types into
// the block there now.
namespace {
int replaced_by = 0;
// The range words and pattern type the block made at the handle starts with.
std::vector<int> fresh;
std::vector<int> words_of(int blk) {
  return {kvoblk_inq_vstart(blk), kvoblk_inq_estop(blk), kvoblk_inq_nzstop(blk),
          kvoblk_inq_pat_type(blk)};
}
void replace_block(int blk) {
  kvoblk_destroy(blk);
  replaced_by = kvoblk_base_create(0);
  fresh = words_of(replaced_by);
}
}  // namespace

TEST_F(PatternCompare, ModelPatternOfABlockItsRoutineReplacedIsErrorTwoInWords) {
  m.stored = {{1, 1}, {2, 2}};
  m.own = {{1, 1}, {2, 2}};
  const std::string gone = "!! kvoblk_npat_compare_numeric: Block ";
  place(KVOBLK_PATTYPE_NUMERIC);
  kvoblk_inq_ops(b)->selfpat = [](int blk, kv_jac_t*, int* status) {
    replace_block(blk);
    *status = 0;
  };
  EXPECT_EQ(compare(), 2);
  ASSERT_EQ(replaced_by, b);  // the scene needs the handle taken again
  EXPECT_NE(his().find(gone + std::to_string(b) +
                       " was destroyed while its sparsity was being compared\n"),
            std::string::npos);
  EXPECT_EQ(words_of(b), fresh);
  EXPECT_EQ(kvoref::live_pattern_objects(), 0);

  replaced_by = 0;
  place(KVOBLK_PATTYPE_NUMERIC);
  kvoblk_inq_ops(b)->selfdim = [](int blk, int*, int*, int*, int* status) {
    replace_block(blk);
    *status = 0;
  };
  EXPECT_EQ(compare(), 2);
  ASSERT_EQ(replaced_by, b);
  EXPECT_NE(his().find(gone + std::to_string(b) +
                       " was destroyed while its sparsity was being compared\n"),
            std::string::npos);
  EXPECT_EQ(words_of(b), fresh);
}

TEST_F(PatternCompare, ModelPatternOutsideTheBlockIsErrorFour) {
  m.stored = {{1, 1}, {2, 2}};
  m.own = {{1, 1}, {2, 5}};
  place(KVOBLK_PATTYPE_NUMERIC);
  EXPECT_EQ(compare(), 4);
  EXPECT_EQ(his(),
            "\nAnalyzing sparsity for block R1\n"
            "\nStored sparsity is NUMERIC. Will compare with computed ANALYTIC sparsity.\n" +
                kNumericHeading + kFine + kAnalyticHeading +
                "Error. Element 2 has invalid column number: 5\n");
}

TEST_F(PatternCompare, DispatcherLeavesAnExcludedBlockAlone) {
  m.stored = {{1, 1}, {2, 2}};
  m.deps = {{1, 1, 1.0}, {2, 2, 1.0}};
  place();
  kvoblk_set_included(b, 0);
  his();
  EXPECT_EQ(compare(), 0);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(m.calls, 0);
}

TEST_F(PatternCompare, HandleZeroAndBadHandlesAreAnsweredWithoutOutput) {
  int errors = -1;
  kvoblk_npat_compare_base(0, 0.0, 0.0, &errors);
  EXPECT_EQ(errors, 0);
  kvoblk_npat_compare_base(12345, 0.0, 0.0, &errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(his(), "!! kvoblk_npat_compare_base: Invalid block handle 12345\n");
  kvoblk_npat_compare_base(0, 0.0, 0.0, nullptr);
}

#ifndef KVOBLK_WHITEBOX
class PatternCompareAt : public PatternCompare, public ::testing::WithParamInterface<int> {};

// The chain's pattern routine writes at the block's own non-zero positions, wherever the block
// is placed in the Jacobian.
TEST_P(PatternCompareAt, StirredTankChainsNumericPatternMatchesItsOwn) {
  lists = kvoref::make_lists(200);
  cntr->set_lists(lists);
  const int blk = cstr_create("T", 2, CstrParams());
  ASSERT_NE(blk, 0);
  ASSERT_EQ(kvoblk_set_pat_ini_type(blk, KVOBLK_PAT_NUMERIC), KVOBLK_PAT_NUMERIC);
  kvoblk_base_register_container(blk, cntr);
  int st = 0;
  kvoblk_ini(blk, 1, 1, GetParam(), &st);
  ASSERT_EQ(st, 0);
  ASSERT_EQ(kvoblk_inq_pat_type(blk), KVOBLK_PATTYPE_NUMERIC);
  const int nzstop = kvoblk_inq_nzstop(blk);
  his();
  int errors = -1;
  kvoblk_npat_compare_base(blk, 0.0, 0.0, &errors);
  EXPECT_EQ(errors, 0);
  const std::string text = his();
  EXPECT_NE(text.find("\nFound no differences.\n"), std::string::npos) << text;
  EXPECT_EQ(kvoblk_inq_nzstop(blk), nzstop);
  EXPECT_EQ(kvoblk_inq_pat_ini_type(blk), KVOBLK_PAT_NUMERIC);

  // And its analytic Jacobian agrees with the numeric one on that pattern.
  int count = -1, *pos = nullptr;
  double *a = nullptr, *v = nullptr;
  kvoblk_jac_compare(blk, 0.0, 1e-4, 1e-6, &count, &pos, &a, &v, &errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(pos, nullptr);
  EXPECT_EQ(kvoblk_inq_deriv_type(blk), KVOBLK_ANALYTIC);
  kvoblk_destroy(blk);
  EXPECT_EQ(kvoref::live_pattern_objects(), 0);
}
INSTANTIATE_TEST_SUITE_P(FirstNonZero, PatternCompareAt, ::testing::Values(1, 5));
#endif

// ---- The value comparison ------------------------------------------------------------------

class JacCompare : public CompareTest {
 protected:
  // Three non-zeros on the diagonal of a 3 x 3 block.
  void diagonal(std::vector<double> exact, std::vector<double> coef) {
    shape(3, 3);
    m.stored = {{1, 1}, {2, 2}, {3, 3}};
    m.exact = exact;
    for (int i = 0; i < 3; ++i) m.deps.push_back({i + 1, i + 1, coef[i]});
    place();
  }
  // The position pointer is not null on entry: the comparison must clear it.
  void run(double pertsize = 0.0) {
    pos = reinterpret_cast<int*>(&count);
    kvoblk_jac_compare(b, pertsize, 1e-3, 1e-8, &count, &pos, &a, &v, &errors);
  }
  void TearDown() override {
    std::free(pos);
    std::free(a);
    std::free(v);
    CompareTest::TearDown();
  }
  int count = -1, errors = -1;
  int* pos = nullptr;
  double* a = nullptr;
  double* v = nullptr;
};

TEST_F(JacCompare, HandsBackOnlySignificantDifferencesAndOppositeSigns) {
  diagonal({2.0, 2.0, 1e-9}, {2.001, 2.01, -1e-9});
  kvoblk_set_deriv_type(b, KVOBLK_UPDATE_ANALYTIC);
  run();
  EXPECT_EQ(errors, 0);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(pos[0], 22);
  EXPECT_EQ(pos[1], 23);
  EXPECT_EQ(a[0], 2.0);
  EXPECT_NEAR(v[0], 2.01, 1e-6);
  EXPECT_EQ(a[1], 1e-9);
  EXPECT_NEAR(v[1], -1e-9, 1e-15);
  // Method and perturbation come back; the Jacobian holds the numeric values.
  EXPECT_EQ(kvoblk_inq_deriv_type(b), KVOBLK_UPDATE_ANALYTIC);
  EXPECT_EQ(kvoblk_inq_pertsize(b), 1e-6);
  EXPECT_NEAR(kvojac_vec_bj(lists.jac)[20], 2.001, 1e-6);
  for (int j = 1; j <= 3; ++j) EXPECT_EQ(value(j), 1.0);
  EXPECT_EQ(his(), "");
}

TEST_F(JacCompare, NothingSignificantHandsBackNoArrays) {
  diagonal({1.0, 2.0, 3.0}, {1.0, 2.0, 3.0});
  run();
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(pos, nullptr);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(v, nullptr);
}

TEST_F(JacCompare, ExcludedBlockIsRefusedRatherThanComparedWithItself) {
  diagonal({2.0, 2.0, 2.0}, {5.0, 5.0, 5.0});
  ib0[b + kvoblk_word::included] = 0;
  his();
  run();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(pos, nullptr);
  EXPECT_EQ(his(), "!! kvoblk_jac_compare: Block " + std::string(kvoblk_blkid(b)) +
                       " is excluded: its Jacobian is not evaluated\n");
}

// An infinite analytic value against a finite numeric one of the same sign passes the
// tolerance test, whose relative bound it makes infinite; it is a broken derivative all the same.
TEST_F(JacCompare, ValueThatIsNotFiniteIsSignificant) {
  diagonal({1.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()},
           {1.0, 2.0, 3.0});
  run();
  ASSERT_EQ(count, 2);
  EXPECT_EQ(pos[0], 22);
  EXPECT_TRUE(std::isnan(a[0]));
  EXPECT_EQ(pos[1], 23);
  EXPECT_TRUE(std::isinf(a[1]));
  EXPECT_NEAR(v[1], 3.0, 1e-6);
}

TEST_F(JacCompare, GrowsItsArraysPastTheFirstHundred) {
  const int n = 250;
  shape(n, n);
  for (int i = 1; i <= n; ++i) {
    m.stored.push_back({i, i});
    m.exact.push_back(1.0);
    m.deps.push_back({i, i, 2.0});
  }
  lists = kvoref::make_lists(400);
  cntr->set_lists(lists);
  place();
  run();
  EXPECT_EQ(errors, 0);
  ASSERT_EQ(count, n);
  EXPECT_EQ(pos[n - 1], 21 + n - 1);
  EXPECT_EQ(a[n - 1], 1.0);
  EXPECT_NEAR(v[n - 1], 2.0, 1e-6);
}

TEST_F(JacCompare, AnalyticFailureIsPassedOnAndRestoresTheMethod) {
  diagonal({1.0, 1.0, 1.0}, {5.0, 5.0, 5.0});
  kvoblk_set_deriv_type(b, KVOBLK_NUMERIC);
  m.selfjac_status = 6;
  run();
  EXPECT_EQ(errors, 6);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(pos, nullptr);
  EXPECT_EQ(kvoblk_inq_deriv_type(b), KVOBLK_NUMERIC);
  EXPECT_EQ(m.calls, 0);
}

TEST_F(JacCompare, NumericFailureIsPassedOnAndRestoresPerturbationAndValues) {
  diagonal({1.0, 1.0, 1.0}, {5.0, 5.0, 5.0});
  m.fail_from_call = 2;
  run(1e-2);
  EXPECT_NE(errors, 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(pos, nullptr);
  EXPECT_EQ(kvoblk_inq_pertsize(b), 1e-6);
  EXPECT_EQ(kvoblk_inq_deriv_type(b), KVOBLK_ANALYTIC);
  for (int j = 1; j <= 3; ++j) EXPECT_EQ(value(j), 1.0);
}

TEST_F(JacCompare, NumericEvaluationUsesTheGivenPerturbation) {
  diagonal({1.0, 1.0, 1.0}, {1.0, 1.0, 1.0});
  run(1e-2);
  EXPECT_EQ(errors, 0);
  bool perturbed = false;
  for (const auto& x : m.seen)
    for (double xi : x) perturbed = perturbed || std::fabs(xi - 1.01) < 1e-12;
  EXPECT_TRUE(perturbed);
  EXPECT_EQ(kvoblk_inq_pertsize(b), 1e-6);
}

TEST_F(JacCompare, BlockDestroyedByTheAnalyticRoutineIsAFailureInWords) {
  diagonal({1.0, 1.0, 1.0}, {5.0, 5.0, 5.0});
  kvoblk_inq_ops(b)->selfjac = [](int blk, int* status) {
    kvoblk_destroy(blk);
    *status = 0;
  };
  run();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(pos, nullptr);
  EXPECT_EQ(his(), "!! kvoblk_jac_compare: Block " + std::to_string(b) +
                       " was destroyed while its Jacobian was being compared\n");
  EXPECT_EQ(m.calls, 0);
}

// The same when the routine also makes another block at the handle: the method and the
// perturbation the comparison switched are not put into the block there now.
namespace {
int fresh_deriv_type = -1;
double fresh_pertsize = -1.0;
}  // namespace

TEST_F(JacCompare, BlockReplacedByTheAnalyticRoutineIsAFailureInWords) {
  diagonal({1.0, 1.0, 1.0}, {5.0, 5.0, 5.0});
  kvoblk_set_deriv_type(b, KVOBLK_UPDATE_ANALYTIC);
  kvoblk_set_pertsize(b, 1e-3);
  kvoblk_inq_ops(b)->selfjac = [](int blk, int* status) {
    replace_block(blk);
    fresh_deriv_type = kvoblk_inq_deriv_type(replaced_by);
    fresh_pertsize = kvoblk_inq_pertsize(replaced_by);
    *status = 0;
  };
  run();
  ASSERT_EQ(replaced_by, b);  // the scene needs the handle taken again
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(his(), "!! kvoblk_jac_compare: Block " + std::to_string(b) +
                       " was destroyed while its Jacobian was being compared\n");
  EXPECT_EQ(kvoblk_inq_deriv_type(b), fresh_deriv_type);
  EXPECT_EQ(kvoblk_inq_pertsize(b), fresh_pertsize);
}

// An empty analytic slot evaluates nothing: whatever the Jacobian held is no analytic value.
TEST_F(JacCompare, EmptyAnalyticSlotIsAFailureNotAListOfDifferences) {
  diagonal({1.0, 1.0, 1.0}, {5.0, 5.0, 5.0});
  kvoblk_inq_ops(b)->selfjac = nullptr;
  kvoblk_set_deriv_type(b, KVOBLK_NUMERIC);
  run();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(pos, nullptr);
  EXPECT_EQ(his(), "!! kvoblk_selfjac: Attempt to call an undefined function\n");
  EXPECT_EQ(kvoblk_inq_deriv_type(b), KVOBLK_NUMERIC);
  EXPECT_EQ(m.calls, 0);
}

TEST_F(JacCompare, BlockWithoutAnalyticJacobianIsRefusedBeforeAnyEvaluation) {
  diagonal({1.0, 1.0, 1.0}, {5.0, 5.0, 5.0});
  kvoblk_set_deriv_type(b, KVOBLK_UPDATE_NUMERIC);
  blk_selfjac_disable(b);
  run();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(his(), "Block R1 does not support \"DERIV_METHOD = ANALYTIC\".\n");
  EXPECT_EQ(kvoblk_inq_deriv_type(b), KVOBLK_UPDATE_NUMERIC);
  EXPECT_EQ(m.calls, 0);
}

TEST_F(JacCompare, NonZerosOutsideTheJacobianAreRefused) {
  diagonal({1.0, 1.0, 1.0}, {5.0, 5.0, 5.0});
  kvoblk_set_nzstop(b, 101);
  run();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(pos, nullptr);
  EXPECT_EQ(his(),
            "!! kvoblk_jac_compare: Non-zeros 21 to 101 of block R1 are not in the Jacobian\n");
}

TEST_F(JacCompare, EmptyBlockAndHandleZeroFindNothing) {
  place();
  run();
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(pos, nullptr);
  pos = reinterpret_cast<int*>(&count);
  kvoblk_jac_compare(0, 0.0, 1e-3, 1e-8, &count, &pos, &a, &v, &errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(pos, nullptr);
  kvoblk_jac_compare(0, 0.0, 1e-3, 1e-8, nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(his(), "");
}

TEST_F(JacCompare, ArraysTheCallerCannotTakeAreReleased) {
  diagonal({1.0, 1.0, 1.0}, {5.0, 5.0, 5.0});
  pos = nullptr;
  kvoblk_jac_compare(b, 0.0, 1e-3, 1e-8, &count, &pos, nullptr, nullptr, &errors);
  EXPECT_EQ(count, 3);
  ASSERT_NE(pos, nullptr);
  EXPECT_EQ(pos[2], 23);
}

// ---- Internal routines ---------------------------------------------------------------------
// These reach the library's internal routines, so they run only in a build that links the
// library's objects into the test program (KVOBLK_WHITEBOX).
#ifdef KVOBLK_WHITEBOX

#include "kvopat_compare_internal.h"

using kvoblk::detail::kvoblk_pat_check;
using kvoblk::detail::kvoblk_pat_compare_report;
using kvoblk::detail::kvoblk_pat_row_diff;

namespace {
std::vector<int> row_diff(std::vector<int> a, std::vector<int> n) {
  int count = -1;
  int* d = reinterpret_cast<int*>(&count);
  kvoblk_pat_row_diff(a.data(), n.data(), static_cast<int>(a.size()), static_cast<int>(n.size()),
                      &count, &d);
  std::vector<int> out;
  if (count > 0) out.assign(d, d + count);
  if (count == 0) {
    EXPECT_EQ(d, nullptr);
  }
  std::free(d);
  return out;
}
}  // namespace

TEST(RowDiff, WalksTheLongerListAndStrikesFoundColumnsFromACopyOfTheShorter) {
  // A longer: its extras come first, positive, then what is left of N, negative, in the copy's
  // order after strikes moved its last element forward.
  EXPECT_EQ(row_diff({1, 2, 3, 4}, {4, 9}), (std::vector<int>{1, 2, 3, -9}));
  EXPECT_EQ(row_diff({7, 3, 5}, {3, 8, 9}), (std::vector<int>{7, 5, -9, -8}));
  // N longer: N's extras first, negative, then A's leftovers, positive.
  EXPECT_EQ(row_diff({5, 1}, {1, 2, 3}), (std::vector<int>{-2, -3, 5}));
  EXPECT_EQ(row_diff({}, {4}), (std::vector<int>{-4}));
}

namespace {
// The row difference as a search of the copy from its start for every column would give it.
std::vector<int> searched_row_diff(const std::vector<int>& a, const std::vector<int>& n) {
  const bool a_longer = a.size() >= n.size();
  const std::vector<int>& longer = a_longer ? a : n;
  std::vector<int> copy = a_longer ? n : a;
  const int sign = a_longer ? 1 : -1;
  std::vector<int> out;
  for (int column : longer) {
    auto at = std::find(copy.begin(), copy.end(), column);
    if (at == copy.end()) {
      out.push_back(sign * column);
    } else {
      *at = copy.back();
      copy.pop_back();
    }
  }
  for (int column : copy) out.push_back(-sign * column);
  return out;
}
}  // namespace

TEST(RowDiff, RepeatedColumnsLeaveTheCopyInTheOrderASearchFromItsStartLeavesIt) {
  // Rows are compared whatever they hold: repeated and negative columns too. Which place a
  // strike takes decides the order of what is left, so every strike must take the first one.
  std::mt19937 random(11);
  for (int round = 0; round < 20000; ++round) {
    const int range = 1 + static_cast<int>(random() % 6);
    std::vector<int> a(random() % 10), n(random() % 10);
    for (int& c : a) c = static_cast<int>(random() % range) - 1;
    for (int& c : n) c = static_cast<int>(random() % range) - 1;
    ASSERT_EQ(row_diff(a, n), searched_row_diff(a, n)) << "round " << round;
  }
}

TEST(RowDiff, ColumnsThatShareTheirLowBitsAreComparedInTimeNearTheirNumber) {
  // Columns far apart by a power of two: each column's place must not be searched for among
  // all the others (that took seconds for rows of this length).
  std::vector<int> a, n;
  for (int k = -32767; k <= 32767; ++k) a.push_back(k * 65536);
  n.assign(a.rbegin(), a.rend());
  n.back() = 1;
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(row_diff(a, n), (std::vector<int>{-32767 * 65536, -1}));
  for (int round = 0; round < 10; ++round) row_diff(a, n);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
}

TEST(RowDiff, ExtremeColumnsAreSignedWithoutOverflow) {
  const int lo = std::numeric_limits<int>::min(), hi = std::numeric_limits<int>::max();
  EXPECT_EQ(row_diff({hi, lo}, {}), (std::vector<int>{hi, lo}));
  // The smallest int has no negative: it stays as it is.
  EXPECT_EQ(row_diff({}, {hi, lo}), (std::vector<int>{-hi, lo}));
  EXPECT_EQ(row_diff({lo}, {hi, 3}), (std::vector<int>{-hi, -3, lo}));
}

TEST(RowDiff, SameColumnsInAnotherOrderMakeNoList) {
  EXPECT_EQ(row_diff({3, 1, 2}, {1, 2, 3}), std::vector<int>{});
  EXPECT_EQ(row_diff({}, {}), std::vector<int>{});
}

class PatternCheck : public CompareTest {
 protected:
  int check(std::vector<int> rows, std::vector<int> cols, int type = 0) {
    int status = -1;
    kvoblk_pat_check(static_cast<int>(rows.size()), rows.empty() ? kEmpty : rows.data(),
                     cols.empty() ? kEmpty : cols.data(), b, type, &status);
    return status;
  }
  const int kEmpty[1] = {0};
};

TEST_F(PatternCheck, EmptyPatternIsStatusTwo) {
  place();
  EXPECT_EQ(check({}, {}, 2), 2);
  EXPECT_EQ(his(), kNumericHeading + "Error. Number of nonzeros is 0\n");
}

TEST_F(PatternCheck, BlockWithoutVariablesOrEquationsIsStatusOneWithBothLines) {
  b = make_block("R1", true);
  EXPECT_EQ(check({1}, {1}, 1), 1);
  EXPECT_EQ(his(),
            kAnalyticHeading + "Error. Number of variables = 0\nError. Number of equations = 0\n");
}

TEST_F(PatternCheck, BlockWithVariablesButNoEquationsNamesOnlyTheEquations) {
  b = make_block("R1", true);
  kvoblk_set_vstop(b, 2);
  EXPECT_EQ(check({1}, {1}, 2), 1);
  EXPECT_EQ(his(), kNumericHeading + "Error. Number of equations = 0\n");
}

TEST_F(PatternCheck, ZeroIncidenceAloneIsStatusFiveAndNamesRowsThenColumns) {
  shape(3, 3);
  place();
  EXPECT_EQ(check({1, 1}, {1, 3}), 5);
  EXPECT_EQ(his(),
            "Error. Zero incidence in row    2, E2\n"
            "Error. Zero incidence in row    3, E3\n"
            "Error. Zero incidence in column 2, X2\n");
}

TEST_F(PatternCheck, DuplicatesAreFoundInTheirOwnRowEvenWhenRowsAreOutOfOrder) {
  place();
  // Row 1's entries are split by a row 2 entry; its duplicate column 2 is still found and named
  // under row 1, and row 2 has none.
  EXPECT_EQ(check({1, 2, 1, 2}, {2, 1, 2, 2}), 7);
  EXPECT_EQ(his(),
            "Error in element 2. Row not in increasing order.\n"
            "Error. Duplicate element. Row    1 E1\n"
            "                          Column 2 X2\n");
}

TEST_F(PatternCheck, NullArraysCheckTheStoredPattern) {
  m.stored = {{1, 1}, {2, 2}};
  place();
  int status = -1;
  kvoblk_pat_check(0, nullptr, nullptr, b, 1, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(his(), kAnalyticHeading + kFine);
}

TEST_F(PatternCheck, ReportRefusesRowsItCannotSlice) {
  place();
  const int rows_a[] = {2, 1}, cols_a[] = {1, 1}, rows_n[] = {1}, cols_n[] = {1};
  kvoblk_pat_compare_report(2, 1, rows_a, rows_n, cols_a, cols_n, b);
  EXPECT_EQ(his(), "");
  EXPECT_NE(err().find("Assertion '"), std::string::npos);
}

// ---- The block-local pattern and the heap array under it -----------------------------------

#include "kvopat.h"

TEST(HeapArray, GrowsKeepingItsItemsAndARefusedRequestLeavesItAsItWas) {
  kvoblk::detail::HeapArray<int> a;
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(a.push_back(i * i));
  EXPECT_EQ(a.size(), 20);
  EXPECT_EQ(a.cap, 32);
  kvoblk::detail::heap_fail_after(1);
  EXPECT_FALSE(a.reserve(1000));
  kvoblk::detail::heap_fail_after(0);
  EXPECT_EQ(a.cap, 32);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(a[i], i * i) << i;
  while (a.size() < a.cap) ASSERT_TRUE(a.push_back(-1));
  kvoblk::detail::heap_fail_after(1);
  EXPECT_FALSE(a.push_back(7));
  kvoblk::detail::heap_fail_after(0);
  EXPECT_EQ(a.size(), 32);
  EXPECT_EQ(a[31], -1);
  // A count that no allocation can hold and a negative one are refused without a request.
  EXPECT_FALSE(a.reserve(INT64_MAX));
  EXPECT_FALSE(a.resize(-1));
  EXPECT_EQ(a.size(), 32);
  int* owned = a.release();
  EXPECT_EQ(a.data(), nullptr);
  EXPECT_EQ(a.size(), 0);
  std::free(owned);
}

TEST_F(PatternCheck, PatternAdaptersRoundTripThroughAHostObjectAndFindEntriesOutside) {
  kvoblk::detail::BlockPattern p;
  ASSERT_TRUE(p.resize(3));
  const int rows[] = {1, 2, 3}, cols[] = {2, 1, 3};
  for (int k = 0; k < 3; ++k) p.rows[k] = rows[k], p.cols[k] = cols[k];
  kv_jac_t object = kvoblk::detail::object_of_pattern(p, 0, "kvoblk_npat");
  ASSERT_NE(object, 0);
  EXPECT_EQ(kvotest::pattern_entries(object), (Entries{{1, 2}, {2, 1}, {3, 3}}));
  // Read back made local to a block starting at equation 2 and variable 1.
  kvoblk::detail::BlockPattern q;
  ASSERT_TRUE(kvoblk::detail::pattern_of_object(object, 2, 3, 2, 1, &q));
  EXPECT_EQ(q.size(), 2);
  EXPECT_EQ(q.rows[0], 1);
  EXPECT_EQ(q.cols[0], 1);
  EXPECT_EQ(q.rows[1], 2);
  EXPECT_EQ(q.cols[1], 3);
  kvojac_destroy(&object);
  EXPECT_EQ(kvoblk::detail::first_outside(p, 3, 3), -1);
  EXPECT_EQ(kvoblk::detail::first_outside(p, 2, 3), 2);      // column 3 of a two-variable block
  EXPECT_EQ(kvoblk::detail::first_outside(p, 3, 1), 1);      // row 2 of a one-equation block
  EXPECT_EQ(kvoblk::detail::local_number(INT32_MIN, 2), 0);  // a number no word can hold
}

#endif  // KVOBLK_WHITEBOX
