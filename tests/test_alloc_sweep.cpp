// SPDX-License-Identifier: BSD-3-Clause
// Allocation-failure sweeps: for every k that a step reaches, the k-th workspace request (and,
// where the library's objects are linked in, the k-th heap request of the library) fails. Each
// case must end with a defined status, report a failure or give exactly the result of a run
// without failures, leave variable values bit-identical and every Jacobian entry outside the
// block's reserved slice untouched, and release everything it obtained.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <kvoblk/kvoblock.h>
#include <kvoblk/kvofortran.h>
#include <kvoblk/kvojac.h>
#include "fixture.h"
#include "snapshot.h"
#ifdef KVOBLK_WHITEBOX
#include "kvblk_internal.h"
#endif

using kvotest::KvoTest;
namespace fs = std::filesystem;

namespace {

// The block under test: x1..x3, r1 = x1^2 + x2, r2 = x2 * x3, r3 = x3 + 2 x1. It sits after a
// guard variable, equation and two guard non-zeros and before a neighbour's, and is reserved
// the dense 3 x 3 non-zeros.
constexpr int kN = 3, kVs = 2, kEs = 2, kNzs = 3, kReserved = 9;
constexpr int kNeighbourNz = kNzs + kReserved, kCapacity = kNeighbourNz + 3 + 4 - 1;

void selfdim(int, int* nvar, int* neqn, int* nnz, int* status) {
  *nvar = *neqn = kN;
  *nnz = kReserved;
  *status = 0;
}

void ini(int b, int vs, int es, int nzs, int* status) {
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(b, &varlst, &eqnlst, &jac);
  for (int i = 0; i < kN; ++i) {
    kvoref::define_var(varlst, vs + i, ("X" + std::to_string(i + 1)).c_str(), 1.5 + i);
    kvoref::define_eqn(eqnlst, es + i, ("R" + std::to_string(i + 1)).c_str());
  }
  kvoblk_set_vstop(b, vs + kN - 1);
  kvoblk_set_estop(b, es + kN - 1);
  kvoblk_set_nzstop(b, nzs - 1);
  *status = 0;
}

void res(int b, int* status) {
  const double* x = kvovarlst_vec_value(blk_inq_matrix_varlst(b)) + kvoblk_inq_vstart(b) - 1;
  double* r = kvoeqnlst_vec_residual(blk_inq_matrix_eqnlst(b)) + kvoblk_inq_estart(b) - 1;
  r[0] = x[0] * x[0] + x[1];
  r[1] = x[1] * x[2];
  r[2] = x[2] + 2 * x[0];
  *status = 0;
}

// Which requests fail.
enum class Source { workspace, heap };

void fail_after(Source source, int k) {
  if (source == Source::workspace) kvoref::fail_imalloc_after(k);
#ifdef KVOBLK_WHITEBOX
  if (source == Source::heap) kvoblk::detail::heap_fail_after(k);
#endif
}

// True when the failure set was reached; switches failing off.
bool reached(Source source) {
  bool hit = true;
  if (source == Source::workspace) hit = kvoref::imalloc_fail_pending() == 0;
#ifdef KVOBLK_WHITEBOX
  if (source == Source::heap) hit = kvoblk::detail::heap_fail_pending() == 0;
#endif
  kvoref::fail_imalloc_after(0);
#ifdef KVOBLK_WHITEBOX
  kvoblk::detail::heap_fail_after(0);
#endif
  return hit;
}

int live_references() {
#ifdef KVOBLK_WHITEBOX
  return kvoblk::detail::ref_live();
#else
  return 0;
#endif
}

// What one run of a step gives: its statuses and error counts,
// the block's own non-zeros and what the pattern file holds afterwards.
struct Outcome {
  std::vector<int> statuses;
  std::vector<kvotest::Entry> slice;
  std::string file;
  // A positive status or error count is a reported failure (the update's negative status
  // counts rows it skipped, which is a result).
  bool failed() const {
    for (int s : statuses)
      if (s > 0) return true;
    return false;
  }
};

}  // namespace

class AllocSweep : public KvoTest {
 protected:
  void SetUp() override {
    KvoTest::SetUp();
    dir = fs::temp_directory_path() /
          ("kvosweep_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    path = (dir / "b.pat").string();
  }
  void TearDown() override {
    fs::remove_all(dir);
    KvoTest::TearDown();
  }

  // A fresh host with the guard and neighbour entries.
  void fresh_host() {
    kvoref::reset();
    kvoref::set_moving_workspace(true);
    kvoref::capture(kvHisDev, true);
    kvoref::capture(kvRepDev, true);
    lists = kvoref::make_lists(kCapacity);
    kvoref::define_var(lists.varlst, 1, "GUARD", 0.5);
    kvoref::define_eqn(lists.eqnlst, 1, "GUARD");
    kvoref::define_var(lists.varlst, kVs + kN, "NEXT", 0.25);
    kvoref::define_eqn(lists.eqnlst, kEs + kN, "NEXT");
    for (int p = 1; p <= kCapacity; ++p) {
      const bool before = p < kNzs, neighbour = p >= kNeighbourNz && p < kNeighbourNz + 3;
      if (before) kvoref::set_nz(lists.jac, p, 1, 1);
      if (neighbour) kvoref::set_nz(lists.jac, p, kEs + kN, kVs + kN);
      if (!before && !neighbour && p >= kNeighbourNz) kvoref::set_nz(lists.jac, p, -1, -1);
      if (before || p >= kNeighbourNz) kvojac_set_nz_value(lists.jac, p, 1000.0 + p);
    }
  }

  // The block under test, made without failures: named, with the model's routines, in the
  // container, with pattern initialisation `type`.
  int make_block(int type) {
    int b = kvoblk_base_create_1(0);
    kvoblk_set_blkid(b, "B");
    kvoblk_ops_t* t = kvoblk_inq_ops(b);
    t->selfdim = selfdim;
    t->ini = ini;
    t->res = res;
    kvoblk_register_container(b, cntr);
    kvoblk_set_pat_file(b, path.c_str());
    kvoblk_set_pat_ini_type(b, type);
    return b;
  }
  // A block made and placed without failures, with its pattern when asked.
  int placed_block(int type, bool with_pattern = false) {
    int b = make_block(type);
    int st = 0, errors = 0;
    kvoblk_ini(b, kVs, kEs, kNzs, &st);
    EXPECT_EQ(st, 0);
    if (with_pattern) kvoblk_pat_ini(b, kNzs, &errors);
    EXPECT_EQ(errors, 0);
    return b;
  }

  // Pattern initialisation: one error, and no pattern type, or the pattern.
  static void pattern_step(int& b, Outcome& out) {
    int errors = 0;
    kvoblk_pat_ini(b, kNzs, &errors);
    EXPECT_LE(errors, 1);
    if (errors != 0) {
      EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_UNDEFINED);
    }
    out.statuses = {errors};
  }

  std::vector<kvotest::Entry> slice() {
    std::vector<kvotest::Entry> all = kvotest::jacobian_entries(lists.jac);
    return std::vector<kvotest::Entry>(all.begin() + (kNzs - 1),
                                       all.begin() + (kNzs - 1 + kReserved));
  }

  std::string file_text() {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<none>";
    std::stringstream s;
    s << in.rdbuf();
    // The date of writing is the only line that differs between runs.
    std::string text = s.str();
    const size_t at = text.find("Date created");
    if (at != std::string::npos) text.erase(at, text.find('\n', at) - at);
    return text;
  }

  // Runs `prepare` without failures, then `step` with the k-th request of `source` failing, for
  // k = 0 (no failure: the reference outcome) and every k the step reaches, and checks each case.
  // `prepare` gets the block (0 before creation) and answers the block the step works on.
  // With `writes_pattern`, a failed step must leave the block's slice as it found it.
  void sweep(Source source, const std::function<int()>& prepare,
             const std::function<void(int&, Outcome&)>& step, bool writes_pattern = false) {
    Outcome reference;
    int requests = 0;
    for (int k = 0; k < 5000; ++k) {
      SCOPED_TRACE(std::string(source == Source::heap ? "heap" : "workspace") +
                   " request failing: " + std::to_string(k));
      fresh_host();
      cntr = new kvoref::Container(lists);
      const int refs_before = live_references();
      const int blocks_before = kvoref::live_blocks();
      int b = prepare();
      const std::vector<kvotest::Entry> jac_before = kvotest::jacobian_entries(lists.jac);
      const std::vector<uint64_t> vars_before = kvotest::variable_bits(lists.varlst);
      const std::vector<kvotest::Entry> slice_before = slice();

      fail_after(source, k);
      Outcome out;
      step(b, out);
      const bool hit = reached(source);
      out.slice = slice();
      out.file = file_text();

      const std::vector<kvotest::Entry> jac_after = kvotest::jacobian_entries(lists.jac);
      EXPECT_EQ(kvotest::first_change_outside(jac_before, jac_after, kNzs, kNzs + kReserved - 1),
                0);
      if (k == 0) {
        EXPECT_FALSE(out.failed()) << his();
        reference = out;
      } else if (!out.failed()) {
        // Success must be the whole success: the same non-zeros, values and file.
        EXPECT_EQ(out.slice, reference.slice);
      } else if (writes_pattern) {
        // A failed pattern initialisation writes no non-zero.
        EXPECT_EQ(out.slice, slice_before);
      }
      // A pattern file is the complete one or none.
      if (k > 0) {
        EXPECT_TRUE(out.file == reference.file || out.file == "<none>") << out.file;
      }
      // Variables are left as the reference run left them (or as they were: a failed step
      // must restore anything it perturbed).
      const std::vector<uint64_t> vars_after = kvotest::variable_bits(lists.varlst);
      if (k == 0) reference_vars = vars_after;
      EXPECT_TRUE(vars_after == reference_vars || vars_after == vars_before);

      if (b != 0) {
        int st = 0;
        kvoblk_post_solve(b, &st);
        kvoblk_destroy(b);
      }
      delete cntr;
      cntr = nullptr;
      EXPECT_EQ(kvoref::live_blocks(), blocks_before);
      EXPECT_EQ(kvoref::live_pattern_objects(), 0);
      EXPECT_EQ(live_references(), refs_before);
      fs::remove(path);
      if (HasFailure()) break;
      if (k > 0 && !hit) break;  // the step makes fewer than k requests: all were failed once
      requests = k;
    }
    std::printf("%s requests failed one at a time: %d\n",
                source == Source::heap ? "heap" : "workspace", requests);
  }

  // The kinds of requests swept: the library's own heap requests only where its objects are
  // linked in (the internal build), where the hook is reachable.
  std::vector<Source> sources() {
#ifdef KVOBLK_WHITEBOX
    return {Source::workspace, Source::heap};
#else
    return {Source::workspace};
#endif
  }

  fs::path dir;
  std::string path;
  kvoref::Lists lists;
  kvoref::Container* cntr = nullptr;
  std::vector<uint64_t> reference_vars;
};

TEST_F(AllocSweep, CreationEndsWithACompleteBlockOrNone) {
  for (Source source : sources()) {
    sweep(
        source, [] { return 0; },
        [&](int& b, Outcome& out) {
          b = kvoblk_base_create_1(0);
          if (b != 0) kvoblk_set_blkid(b, "B");
          KVOBlock* object = b != 0 ? create_KVOBlock(b) : nullptr;
          out.statuses = {b == 0 ? 1 : 0, object == nullptr ? 1 : 0};
          if (b != 0) {
            // A block handed out is complete: its table, its settings and their defaults.
            EXPECT_NE(kvoblk_inq_ops(b), nullptr);
            EXPECT_EQ(kvoblk_inq_pat_ini_type(b), KVOBLK_PAT_RESTORE);
            EXPECT_EQ(kvoblk_inq_pertsize(b), 1e-6);
            const char* id = kvoblk_blkid(b);
            EXPECT_TRUE(id == nullptr || std::string(id) == "B");
            out.statuses.push_back(id ? 0 : 1);
          }
          delete object;
        });
  }
}

#ifdef KVOBLK_WHITEBOX
// On 32-bit targets a block's range words name more doubles than a size can count: the request
// must ask for more than any heap has, never for the wrapped-around few bytes.
TEST(HeapSizes, AnArrayWhoseBytesDoNotFitASizeAsksForMoreThanAnyHeapHas) {
  using kvoblk::detail::array_bytes;
  EXPECT_EQ(array_bytes(3, sizeof(double)), 24u);
  EXPECT_EQ(array_bytes(SIZE_MAX / 8 + 2, sizeof(double)), SIZE_MAX);
  EXPECT_EQ(array_bytes(SIZE_MAX / 4, sizeof(int)), SIZE_MAX / 4 * 4);
}

TEST_F(AllocSweep, BlockIdThatCannotBeCopiedLeavesTheOneTheBlockHad) {
  const int b = kvoblk_base_create_1(0);
  kvoblk_set_blkid(b, "OLD");
  kvoblk::detail::heap_fail_after(1);
  kvoblk_set_blkid(b, "NEW");
  ASSERT_TRUE(reached(Source::heap));
  EXPECT_STREQ(kvoblk_blkid(b), "OLD");
  EXPECT_EQ(his(), "!! kvoblk_set_blkid: Out of memory for the block id\n");
  kvoblk_destroy(b);
}

// The copy of the new id is made but the reference table cannot take it: the block keeps the
// id it had, and each setter says why the new one was not taken.
TEST_F(AllocSweep, BlockIdThatCannotBeRegisteredLeavesTheOneTheBlockHad) {
  int b = kvoblk_base_create_1(0);
  kvoblk_set_blkid(b, "OLD");
  kvoblk::detail::heap_fail_after(2);
  kvoblk_set_blkid(b, "NEW");
  ASSERT_TRUE(reached(Source::heap));
  EXPECT_STREQ(kvoblk_blkid(b), "OLD");
  kvoblk::detail::heap_fail_after(2);
  _BLK_SET_BLKID_F(&b, "FEED    ", 8);
  ASSERT_TRUE(reached(Source::heap));
  EXPECT_STREQ(kvoblk_blkid(b), "OLD");
  EXPECT_EQ(his(),
            "!! kvoblk_set_blkid: Out of memory for the block id\n"
            "!! _BLK_SET_BLKID_F: Out of memory for the block id\n");
  // A port name that cannot be copied is not taken for a name that finds no port.
  kvoblk::detail::heap_fail_after(1);
  EXPECT_EQ(_KVOBLK_GET_PORT_F(&b, "IN      ", 8), 0);
  ASSERT_TRUE(reached(Source::heap));
  EXPECT_EQ(his(), "!! _KVOBLK_GET_PORT_F: Out of memory for the port name\n");
  kvoblk_destroy(b);
}

// A container the reference table cannot take leaves the block unregistered, and says so; a
// later registration takes it.
TEST_F(AllocSweep, ContainerThatCannotBeRegisteredIsReported) {
  kvoref::Lists l = kvoref::make_lists(4);
  kvoref::Container c(l);
  const int b = kvoblk_base_create_1(0);
  kvoblk_set_blkid(b, "B");
  kvoblk::detail::heap_fail_after(1);
  kvoblk_register_container(b, &c);
  ASSERT_TRUE(reached(Source::heap));
  EXPECT_EQ(blk_inq_matrix_varlst(b), 0);
  EXPECT_EQ(his(), "!! kvoblk_base_register_container: Not enough memory to register block B\n");
  kvoblk_register_container(b, &c);
  EXPECT_EQ(blk_inq_matrix_varlst(b), l.varlst);
  kvoblk_destroy(b);
}

// A name that cannot be copied is reported once and changes nothing: no slot is filled and no
// variable is defined under a name it was not given.
TEST_F(AllocSweep, FortranNamesThatCannotBeCopiedChangeNothing) {
  kvoref::Lists l = kvoref::make_lists(4);
  kvoref::Container c(l);
  int b = kvoblk_base_create(0);
  kvoblk_register_container(b, &c);
  kvoblk_ops_t* ops = kvoblk_inq_ops(b);
  const auto before = ops->res;
  kvoblk::detail::heap_fail_after(1);
  EXPECT_EQ(_KVOBLK_SET_OP_F(&b, "res", 3, reinterpret_cast<void (*)()>(&res)), 0);
  ASSERT_TRUE(reached(Source::heap));
  EXPECT_EQ(ops->res, before);
  kvoref::define_var(l.varlst, 1, "OLD", 1.0);
  int one = 1;
  const double v = 2.0;
  kvoblk::detail::heap_fail_after(1);
  _KVOBLK_DEFINE_VAR_F(&b, &one, "NEW", 3, &v);
  ASSERT_TRUE(reached(Source::heap));
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 1), "OLD");
  EXPECT_EQ(kvovarlst_inq_var_value(l.varlst, 1, 0), 1.0);
  EXPECT_EQ(his(),
            "!! _KVOBLK_SET_OP_F: Out of memory\n"
            "!! _KVOBLK_DEFINE_VAR_F: Out of memory\n");
  kvoblk_destroy(b);
}

TEST_F(AllocSweep, PatternFileNameThatCannotBeCopiedLeavesTheOneTheBlockHad) {
  const int b = kvoblk_base_create_1(0);
  kvoblk_set_pat_file(b, "old.pat");
  kvoblk::detail::heap_fail_after(1);
  kvoblk_set_pat_file(b, "new.pat");
  ASSERT_TRUE(reached(Source::heap));
  EXPECT_STREQ(kvoblk_inq_pat_file(b), "old.pat");
  EXPECT_EQ(his(), "!! kvoblk_set_pat_file: Out of memory for the pattern file name\n");
  kvoblk_destroy(b);
}
#endif

TEST_F(AllocSweep, PortAdditionTakesThePortOrLeavesItToTheCaller) {
  for (Source source : sources()) {
    sweep(
        source, [&] { return make_block(KVOBLK_PAT_NUMERIC); },
        [&](int& b, Outcome& out) {
          std::vector<std::string> held;
          for (const char* name : {"P1", "P2", "P3"}) {
            auto* port = new kvoref::Port(name, {kVs});
            kvoblk_add_port(b, port);
            if (port->attach_calls == 0) {
              port->destroy();
              out.statuses.push_back(1);
            } else {
              held.push_back(name);
              out.statuses.push_back(0);
            }
          }
          ASSERT_EQ(kvoblk_inq_num_ports(b), static_cast<int>(held.size()));
          for (size_t i = 0; i < held.size(); ++i) {
            nux_port* p = kvoblk_get_port_n(b, static_cast<int>(i) + 1);
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(std::string(p->name()), held[i]);
            EXPECT_EQ(kvoblk_get_port(b, held[i].c_str()), p);
          }
        });
  }
}

TEST_F(AllocSweep, PlacementAndDimensioningReportOrComplete) {
  for (Source source : sources()) {
    sweep(
        source, [&] { return make_block(KVOBLK_PAT_NUMERIC); },
        [&](int& b, Outcome& out) {
          int nvar = 0, neq = 0, nnz = 0, st = 0, ini_st = 0;
          kvoblk_dim(b, &nvar, &neq, &nnz, &st);
          kvoblk_ini(b, kVs, kEs, kNzs, &ini_st);
          out.statuses = {st, ini_st, nnz == kReserved ? 0 : 1};
          if (ini_st == 0) {
            EXPECT_EQ(kvoblk_inq_vstop(b), kVs + kN - 1);
            EXPECT_EQ(kvoblk_inq_estop(b), kEs + kN - 1);
          }
        });
  }
}

TEST_F(AllocSweep, NumericDetectionCountsOneErrorOrPlacesThePattern) {
  for (Source source : sources())
    sweep(
        source, [&] { return placed_block(KVOBLK_PAT_NUMERIC); }, pattern_step, true);
}

TEST_F(AllocSweep, RestoreCountsOneErrorOrPlacesTheSavedPattern) {
  for (Source source : sources()) {
    sweep(
        source,
        [&] {
          // The file is written by a block of the same shape, without failures; its entries
          // are then cleared from the Jacobian.
          kvoblk_destroy(placed_block(KVOBLK_PAT_RESTORE, true));
          for (int p = kNzs; p < kNzs + kReserved; ++p) kvoref::set_nz(lists.jac, p, 0, 0);
          return placed_block(KVOBLK_PAT_RESTORE);
        },
        pattern_step, true);
  }
}

TEST_F(AllocSweep, RestoreFallbackDetectsAndSavesACompleteFileOrNone) {
  for (Source source : sources())
    sweep(
        source, [&] { return placed_block(KVOBLK_PAT_RESTORE); }, pattern_step, true);
}

TEST_F(AllocSweep, NumericJacobianReportsOrGivesTheExactValues) {
  for (Source source : sources()) {
    sweep(
        source,
        [&] {
          int b = placed_block(KVOBLK_PAT_NUMERIC, true);
          kvoblk_set_deriv_type(b, KVOBLK_NUMERIC);
          return b;
        },
        [&](int& b, Outcome& out) {
          int pre = 0, jac = 0;
          kvoblk_pre_solve(b, &pre);
          kvoblk_jac(b, &jac);
          out.statuses = {pre, jac};
        });
  }
}

TEST_F(AllocSweep, SchubertUpdateReportsOrGivesTheExactValues) {
  for (Source source : sources()) {
    sweep(
        source,
        [&] {
          int b = placed_block(KVOBLK_PAT_NUMERIC, true);
          kvoblk_set_deriv_type(b, KVOBLK_UPDATE_NUMERIC);
          return b;
        },
        [&](int& b, Outcome& out) {
          int pre = 0, first = 0, r = 0, second = 0;
          kvoblk_pre_solve(b, &pre);
          kvoblk_res(b, &r);
          kvoblk_jac(b, &first);
          // The solver's step, then the update from it.
          double* x = kvovarlst_vec_value(lists.varlst);
          for (int i = 0; i < kN; ++i) x[kVs - 1 + i] += 0.001 * (i + 1);
          kvoblk_res(b, &r);
          kvoblk_jac(b, &second);
          out.statuses = {pre, first, r, second};
        });
  }
}
