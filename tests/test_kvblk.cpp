// SPDX-License-Identifier: BSD-3-Clause
// Block core: creation and destruction, accessors, guarded settings, dispatch, containers,
// scripts and the port list.
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <kvoblk/kvoblock.h>
#include "fixture.h"

using kvotest::KvoTest;
namespace W = kvoblk_word;

namespace {

int32_t& wordof(int b, int k) { return ib0[b + k]; }

// A model that offers the SETUP, INIT, ALIAS, MEASUREMENT and CONNECT scripts.
kvopipe* offer_scripts(int, const char* name) {
  for (const char* s : {"SETUP", "INIT", "ALIAS", "MEASUREMENT", "CONNECT"})
    if (name && std::strcmp(name, s) == 0) return kvoref::make_script(name, "say hello");
  return nullptr;
}

// Offers the standard scripts, but destroys the block when asked for SETUP.
kvopipe* setup_destroys_block(int b, const char* name) {
  if (name && std::strcmp(name, "SETUP") == 0) {
    kvoblk_destroy(b);
    return nullptr;
  }
  return offer_scripts(b, name);
}

// Offers the standard scripts, but when asked for SETUP destroys the block and makes another at
// its handle, registered in `heir_cntr` and offering the same scripts.
kvoref::Container* heir_cntr = nullptr;
int heir = 0;
kvopipe* setup_replaces_block(int b, const char* name) {
  if (name && std::strcmp(name, "SETUP") == 0) {
    kvoblk_destroy(b);
    heir = kvoblk_base_create(0);
    kvoblk_inq_ops(heir)->acquire_script = offer_scripts;
    kvoblk_register_container(heir, heir_cntr);
  }
  return offer_scripts(b, name);
}

nux_port* stranger_port = nullptr;

int destroy_calls = 0;
void counting_destroy(int b) {
  ++destroy_calls;
  kvoblk_base_destroy(b);
}

nux_port* replaced_get_port_n(int, int i) {
  static kvoref::Port* p = nullptr;
  if (!p) p = new kvoref::Port("FROMMODEL");
  return i == 1 ? p : nullptr;
}
int replaced_num_ports(int) { return 1; }

// A model numbering of the ports in reverse, and a count of the look-ups made through it.
int numbering_calls = 0;
nux_port* reversed_get_port_n(int b, int i) {
  ++numbering_calls;
  int n = kvoblk_base_inq_num_ports(b);
  return i >= 1 && i <= n ? kvoblk_base_get_port_n(b, n + 1 - i) : nullptr;
}
nux_port* counting_get_port_n(int b, int i) {
  ++numbering_calls;
  return kvoblk_base_get_port_n(b, i);
}

}  // namespace

class Creation : public KvoTest {};

TEST_F(Creation, PlainCreationGivesNumericRestoreDefaults) {
  int b = kvoblk_base_create_1(0);
  ASSERT_NE(b, 0);
  EXPECT_EQ(kvoref::block_words(b), 22);
  EXPECT_EQ(kvoblk_inq_deriv_type(b), KVOBLK_NUMERIC);
  EXPECT_EQ(kvoblk_inq_settings(b)->selfjac, 0);
  EXPECT_EQ(kvoblk_inq_pat_ini_type(b), KVOBLK_PAT_RESTORE);
  EXPECT_EQ(kvoblk_inq_settings(b)->selfpat, 0);
  EXPECT_EQ(kvoblk_inq_pat_type(b), 0);
  EXPECT_EQ(kvoblk_inq_pat_file(b), nullptr);
  EXPECT_EQ(kvoblk_inq_included(b), 1);
  EXPECT_EQ(kvoblk_inq_diag_level(b), 4);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 0);
  EXPECT_EQ(kvoblk_inq_pertsize(b), 1e-6);
  EXPECT_EQ(kvoblk_inq_nlratio(b), 1.0);
  EXPECT_EQ(kvoblk_inq_nlratiodev(b), 0.01);
  EXPECT_EQ(kvoblk_inq_zerotol(b), 1e-12);
  EXPECT_EQ(kvoblk_inq_moveamount(b), 0.01);
  EXPECT_EQ(kvoblk_inq_move(b), 1);
  EXPECT_EQ(kvoblk_inq_matrix_precedence(b), 1);
  EXPECT_EQ(kvoblk_inq_settings(b)->pat_dense_limit, 100);
  EXPECT_EQ(kvoblk_inq_settings(b)->pat_fill_percent, 30);
  // Every range is empty.
  EXPECT_EQ(kvoblk_inq_vstop(b) - kvoblk_inq_vstart(b) + 1, 0);
  EXPECT_EQ(kvoblk_inq_estop(b) - kvoblk_inq_estart(b) + 1, 0);
  EXPECT_EQ(kvoblk_inq_nzstop(b) - kvoblk_inq_nzstart(b) + 1, 0);
  EXPECT_EQ(his(), "");
  kvoblk_destroy(b);
}

TEST_F(Creation, ModelCreationGivesAnalyticSelfDefaultsWithoutRefusals) {
  int b = kvoblk_base_create(0);
  EXPECT_EQ(kvoblk_inq_deriv_type(b), KVOBLK_ANALYTIC);
  EXPECT_EQ(kvoblk_inq_settings(b)->selfjac, 1);
  EXPECT_EQ(kvoblk_inq_pat_ini_type(b), KVOBLK_PAT_SELF);
  EXPECT_EQ(kvoblk_inq_settings(b)->selfpat, 1);
  EXPECT_EQ(kvoblk_inq_pat_type(b), 1);
  EXPECT_EQ(his(), "");
  kvoblk_destroy(b);
}

TEST_F(Creation, RecordLengthIsAtLeastTheDefinedWordsAndModelWordsAreLeftAlone) {
  int a = kvoblk_base_create_1(21);
  int b = kvoblk_base_create_1(30);
  EXPECT_EQ(kvoref::block_words(a), 22);
  EXPECT_EQ(kvoref::block_words(b), 30);
  // The model's words hold what the workspace gave them (the reference host's filler).
  for (int k = W::count; k < 30; ++k) EXPECT_EQ(wordof(b, k), 0x5A5A5A5A) << k;
  wordof(b, 25) = 77;
  kvoblk_set_vstart(b, 5);
  kvoblk_set_diag_level(b, 6);
  EXPECT_EQ(wordof(b, 25), 77);
  kvoblk_destroy(a);
  kvoblk_destroy(b);
  EXPECT_EQ(kvoref::live_blocks(), 0);
}

TEST_F(Creation, WorkspaceFailureGivesNoBlock) {
  // A refusal is 0; an allocator that answers -1 instead refuses too, and nothing is written
  // before the workspace.
  for (int refusal : {0, -1}) {
    kvoref::set_imalloc_refusal(refusal);
    kvoref::fail_imalloc_after(1);
    EXPECT_EQ(kvoblk_base_create_1(0), 0) << refusal;
    kvoref::fail_imalloc_after(1);
    EXPECT_EQ(kvoblk_base_create(0), 0) << refusal;
    EXPECT_EQ(kvoref::live_blocks(), 0);
  }
}

TEST_F(Creation, HeapFailureReleasesEverythingObtained) {
  // The settings record, the port callback and the operation table, in that order.
  for (int n = 1; n <= 3; ++n) {
    kvotest::fail_nothrow_new_after(n);
    EXPECT_EQ(kvoblk_base_create(0), 0) << "failing heap request " << n;
    EXPECT_EQ(kvoref::live_blocks(), 0);
  }
  kvotest::fail_nothrow_new_after(0);
  int b = kvoblk_base_create(0);
  EXPECT_NE(b, 0);
  kvoblk_destroy(b);
}

class Accessors : public KvoTest {};

TEST_F(Accessors, HandleZeroAnswersEmptyAndSetsNothing) {
  EXPECT_EQ(kvoblk_inq_vstart(0), 1);
  EXPECT_EQ(kvoblk_inq_vstop(0), 0);
  EXPECT_EQ(kvoblk_inq_estart(0), 1);
  EXPECT_EQ(kvoblk_inq_nzstop(0), 0);
  EXPECT_EQ(kvoblk_inq_pertsize(0), 0.0);
  EXPECT_EQ(kvoblk_set_pertsize(0, 3.0), 0);
  EXPECT_EQ(kvoblk_inq_pat_file(0), nullptr);
  EXPECT_EQ(kvoblk_blkid(0), nullptr);
  EXPECT_EQ(kvoblk_inq_matrix_precedence(0), 0);
  EXPECT_EQ(kvoblk_inq_diag_level(0), 0);
  kvoblk_set_vstop(0, 4);
  kvoblk_set_pat_file(0, "x.pat");
  kvoblk_base_destroy(0);
  int v = 7, e = 7, j = 7;
  blk_inq_matrix(0, &v, &e, &j);
  EXPECT_EQ(v + e + j, 0);
  EXPECT_EQ(his(), "");
}

TEST_F(Accessors, BadHandleIsReportedAndTreatedAsNoBlock) {
  int b = kvoblk_base_create_1(0);
  kvoblk_destroy(b);
  EXPECT_EQ(kvoblk_inq_vstart(b), 1);
  kvoblk_set_vstop(b, 9);
  EXPECT_EQ(his(), "!! kvoblk_inq_vstart: Invalid block handle " + std::to_string(b) +
                       "\n!! kvoblk_set_vstop: Invalid block handle " + std::to_string(b) + "\n");
  EXPECT_EQ(kvoblk_add_port(-5, nullptr), true);
}

TEST_F(Accessors, PatternFileIsCopiedAndEmptyMeansNone) {
  int b = kvoblk_base_create_1(0);
  char name[] = "tank.pat";
  kvoblk_set_pat_file(b, name);
  name[0] = 'X';
  EXPECT_STREQ(kvoblk_inq_pat_file(b), "tank.pat");
  kvoblk_set_pat_file(b, kvoblk_inq_pat_file(b));  // replacing a name by itself keeps it
  EXPECT_STREQ(kvoblk_inq_pat_file(b), "tank.pat");
  kvoblk_set_pat_file(b, "");
  EXPECT_EQ(kvoblk_inq_pat_file(b), nullptr);
  kvoblk_set_pat_file(b, nullptr);
  EXPECT_EQ(kvoblk_inq_pat_file(b), nullptr);
  kvoblk_destroy(b);
}

TEST_F(Accessors, MatrixListsComeFromTheContainer) {
  int b = kvoblk_base_create_1(0);
  int v = 9, e = 9, j = 9;
  blk_inq_matrix(b, &v, &e, &j);
  EXPECT_EQ(v + e + j, 0);
  kvoref::Lists l = kvoref::make_lists(10);
  kvoref::Container c(l);
  kvoblk_register_container(b, &c);
  blk_inq_matrix(b, &v, &e, &j);
  EXPECT_EQ(v, l.varlst);
  EXPECT_EQ(e, l.eqnlst);
  EXPECT_EQ(j, l.jac);
  EXPECT_EQ(blk_inq_matrix_jacobian(b), l.jac);
  EXPECT_EQ(kvoblk_inq_varlst(b), l.varlst);
  kvoblk_destroy(b);
}

class GuardedSettings : public KvoTest {};

TEST_F(GuardedSettings, AnalyticMethodsNeedAnalyticSupport) {
  int b = kvoblk_base_create_1(0);
  kvoblk_set_blkid(b, "B1");
  EXPECT_EQ(kvoblk_set_deriv_type(b, 1), 2);
  EXPECT_EQ(his(), "Block B1 does not support \"DERIV_METHOD = ANALYTIC\".\n");
  EXPECT_EQ(kvoblk_set_deriv_type(b, 4), 2);
  EXPECT_EQ(his(), "Block B1 does not support \"DERIV_METHOD = UPDATE_ANALYTIC\".\n");
  EXPECT_EQ(kvoblk_set_deriv_type(b, 3), 3);
  for (int bad : {0, 5}) {
    EXPECT_EQ(kvoblk_set_deriv_type(b, bad), 0);
    EXPECT_EQ(his(), "!! kvoblk_set_deriv_type: Unknown option.\n");
  }
  EXPECT_EQ(kvoblk_inq_deriv_type(b), 3);
  EXPECT_EQ(blk_selfjac_enable(b), 1);
  EXPECT_EQ(kvoblk_set_deriv_type(b, 1), 1);
  EXPECT_EQ(blk_selfjac_disable(b), 0);  // ANALYTIC keeps the flag set
  EXPECT_EQ(kvoblk_inq_settings(b)->selfjac, 1);
  kvoblk_set_deriv_type(b, 2);
  EXPECT_EQ(blk_selfjac_disable(b), 1);
  EXPECT_EQ(his(), "");
  kvoblk_destroy(b);
}

TEST_F(GuardedSettings, SelfPatternNeedsModelPatternSupport) {
  int b = kvoblk_base_create_1(0);
  kvoblk_set_blkid(b, "B1");
  EXPECT_EQ(kvoblk_set_pat_ini_type(b, 1), 3);
  EXPECT_EQ(his(), "Block B1 does not support \"SPARSITY_GEN = AUTO\".\n");
  EXPECT_EQ(blk_selfpat_enable(b), 1);
  EXPECT_EQ(kvoblk_set_pat_ini_type(b, 1), 1);
  EXPECT_EQ(blk_selfpat_disable(b), 0);
  for (int bad : {0, 4}) {
    EXPECT_EQ(kvoblk_set_pat_ini_type(b, bad), 0);
    EXPECT_EQ(his(), "!! kvoblk_set_pat_ini_type: Unknown option.\n");
  }
  EXPECT_EQ(kvoblk_inq_pat_ini_type(b), 1);
  kvoblk_set_pat_ini_type(b, 2);
  EXPECT_EQ(blk_selfpat_disable(b), 1);
  EXPECT_EQ(blk_selfpat_enable(0), 0);
  kvoblk_destroy(b);
}

class Dispatch : public KvoTest {};

TEST_F(Dispatch, EmptySlotsReportThemselves) {
  int b = kvoblk_base_create(0);
  int st = 9;
  kvoblk_res(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(his(), "!! kvoblk_res: Attempt to call an undefined function\n");
  int nv = 5, ne = 5, nz = 5;
  kvoblk_selfdim(b, &nv, &ne, &nz, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(nv + ne + nz, 0);
  EXPECT_EQ(his(), "!! kvoblk_selfdim: Attempt to call an undefined function\n");
  kvoblk_group_selfjac(b, 0, &st);  // falls back on the base selfjac
  EXPECT_EQ(his(), "");
  kvoblk_inq_ops(b)->selfjac = nullptr;
  kvoblk_group_selfjac(b, 0, &st);
  EXPECT_EQ(his(), "!! kvoblk_group_selfjac: Attempt to call an undefined function\n");
  EXPECT_EQ(kvoblk_invoke(b, "SETUP", nullptr, 0, nullptr), 0);
  kvoblk_inq_ops(b)->invoke = nullptr;
  EXPECT_EQ(kvoblk_invoke(b, "SETUP", nullptr, 0, nullptr), 1);
  EXPECT_EQ(his(), "!! kvoblk_invoke: Attempt to call an undefined function\n");
  char name[16] = "junk";
  kvoblk_inq_scriptid(b, 1, name);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(his(), "!! kvoblk_inq_scriptid: Attempt to call an undefined function\n");
  kvoblk_destroy(b);
}

// Every dispatcher with a result reports its own empty slot and answers the table's result for it.
TEST_F(Dispatch, EmptySlotsGiveTheTableResults) {
  int b = kvoblk_base_create(0);
  kvoblk_ops_t* t = kvoblk_inq_ops(b);
  t->scope_invoke = nullptr;
  t->add_port = nullptr;
  t->delete_port = nullptr;
  t->acquire_script = nullptr;
  t->get_port = nullptr;
  t->get_port_n = nullptr;
  t->name_attr = nullptr;
  auto* port = new kvoref::Port("IN");
  EXPECT_EQ(kvoblk_scope_invoke(b, "SETUP", 1, 2, nullptr, 0, nullptr), 1);
  EXPECT_TRUE(kvoblk_add_port(b, port));
  EXPECT_TRUE(kvoblk_delete_port(b, "IN"));
  EXPECT_EQ(kvoblk_acquire_script(b, "SETUP"), nullptr);
  EXPECT_EQ(kvoblk_get_port(b, "IN"), nullptr);
  EXPECT_EQ(kvoblk_get_port_n(b, 1), nullptr);
  EXPECT_EQ(kvoblk_name_attr(b, 1), nullptr);
  std::string expected;
  for (const char* fn :
       {"kvoblk_scope_invoke", "kvoblk_add_port", "kvoblk_delete_port", "kvoblk_acquire_script",
        "kvoblk_get_port", "kvoblk_get_port_n", "kvoblk_name_attr"})
    expected += std::string("!! ") + fn + ": Attempt to call an undefined function\n";
  EXPECT_EQ(his(), expected);
  EXPECT_EQ(port->attach_calls, 0);
  port->destroy();
  kvoblk_destroy(b);
}

TEST_F(Dispatch, HandleZeroAnswersTheTableResultsSilently) {
  int st = 5, count = 5;
  EXPECT_EQ(kvoblk_invoke(0, "X", nullptr, 0, nullptr), 1);
  EXPECT_EQ(kvoblk_scope_invoke(0, "X", 1, 2, nullptr, 0, nullptr), 1);
  EXPECT_EQ(kvoblk_add_port(0, nullptr), true);
  EXPECT_EQ(kvoblk_delete_port(0, "X"), true);
  EXPECT_EQ(kvoblk_acquire_script(0, "X"), nullptr);
  EXPECT_EQ(kvoblk_get_port(0, "X"), nullptr);
  EXPECT_EQ(kvoblk_get_port_n(0, 1), nullptr);
  EXPECT_EQ(kvoblk_name_attr(0, 1), nullptr);
  EXPECT_EQ(kvoblk_isof_type(0, "KVOBLK"), 0);
  kvoblk_inq_nscript(0, &count);
  EXPECT_EQ(count, 0);
  char name[4] = "abc";
  kvoblk_inq_scriptid(0, 1, name);
  EXPECT_STREQ(name, "");
  kvoblk_res(0, &st);
  EXPECT_EQ(st, 0);
  // Unlike an empty slot, a missing block is no failure of selfdim: every output is 0.
  int nv = 5, ne = 5, nz = 5;
  st = 5;
  kvoblk_selfdim(0, &nv, &ne, &nz, &st);
  EXPECT_EQ(nv + ne + nz + st, 0);
  kvoblk_res(0, nullptr);
  EXPECT_EQ(his(), "");
}

TEST_F(Dispatch, ModelExceptionsStopAtTheDispatcherWithStatusAndTheEmptyResult) {
  int b = kvoblk_base_create(0);
  kvoblk_set_blkid(b, "T1");
  kvoblk_ops_t* t = kvoblk_inq_ops(b);
  t->res = [](int, int* status) {
    *status = 7;
    throw std::runtime_error("model fault");
  };
  t->invoke = [](int, const char*, EBSContext*, int, const value_t*) -> int { throw 1; };
  t->report = [](int, int*) { throw std::bad_alloc(); };
  int st = 0;
  kvoblk_res(b, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(his(), "!! kvoblk_res: A routine of block T1 ended with an exception\n");
  EXPECT_EQ(kvoblk_invoke(b, "SETUP", nullptr, 0, nullptr), 1);
  EXPECT_EQ(his(), "!! kvoblk_invoke: A routine of block T1 ended with an exception\n");
  // The report's status is otherwise always 0; a failure that ended it early is not.
  kvoblk_report(b, &st);
  EXPECT_EQ(st, 1);
  kvoblk_res(b, nullptr);
  his();
  // The block stays usable.
  EXPECT_EQ(kvoblk_isof_type(b, "KVOBLK"), 1);
  kvoblk_destroy(b);
}

TEST_F(Dispatch, ExcludedBlockEvaluatesNothingEvenWithAnEmptySlot) {
  int b = kvoblk_base_create(0);
  wordof(b, W::included) = 0;
  int st = 3;
  kvoblk_res(b, &st);
  kvoblk_group_res(b, 1, &st);
  kvoblk_npat_compare(b, 1.0, 2.0, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(his(), "");
  // Only those three skip an excluded block: the analytic Jacobian's slot is still looked at.
  kvoblk_inq_ops(b)->selfjac = nullptr;
  kvoblk_selfjac(b, &st);
  EXPECT_EQ(his(), "!! kvoblk_selfjac: Attempt to call an undefined function\n");
  kvoblk_destroy(b);
}

TEST_F(Dispatch, TypeTestAcceptsOnlyTheExactName) {
  int b = kvoblk_base_create(0);
  EXPECT_EQ(kvoblk_isof_type(b, "KVOBLK"), 1);
  for (const char* other : {"KVOBL", "KVOBLKX", "kvoblk", ""})
    EXPECT_EQ(kvoblk_isof_type(b, other), 0) << other;
  EXPECT_EQ(kvoblk_isof_type(b, nullptr), 0);
  kvoblk_destroy(b);
}

TEST_F(Dispatch, ReplacedSlotsAreSeenByTheLibrarysOwnCalls) {
  int b = kvoblk_base_create(0);
  kvoblk_inq_ops(b)->get_port_n = replaced_get_port_n;
  kvoblk_inq_ops(b)->inq_num_ports = replaced_num_ports;
  nux_port* p = kvoblk_get_port(b, "FROMMODEL");
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p->name(), "FROMMODEL");
  p->destroy();
  kvoblk_inq_ops(b)->destroy = counting_destroy;
  destroy_calls = 0;
  kvoblk_destroy(b);
  EXPECT_EQ(destroy_calls, 1);
  EXPECT_EQ(kvoref::live_blocks(), 0);
}

class Containers : public KvoTest {
 protected:
  kvoref::Lists lists = kvoref::make_lists(10);
  kvoref::Container first{lists};
  kvoref::Container second{lists};
};

TEST_F(Containers, RegistrationKeepsTheFirstContainer) {
  int b = kvoblk_base_create(0);
  kvoblk_set_blkid(b, "REACTOR12");
  kvoblk_register_container(b, &first);
  kvoblk_register_container(b, &first);
  EXPECT_EQ(his(), "");
  kvoblk_register_container(b, &second);
  EXPECT_EQ(his(), "!! kvoblk_base_register_container: Unable to register block: REACTOR1\n");
  EXPECT_EQ(blk_inq_matrix_varlst(b), lists.varlst);
  kvoblk_destroy(b);
}

TEST_F(Containers, TypicalRegistrationRunsTheFourStandardScriptsInOrder) {
  int b = kvoblk_base_create(0);
  kvoblk_set_blkid(b, "B1");
  kvoblk_inq_ops(b)->acquire_script = offer_scripts;
  kvoblk_base_typical_register(b, &first);
  ASSERT_EQ(first.scripts_run.size(), 4u);
  const char* order[] = {"SETUP", "ALIAS", "MEASUREMENT", "CONNECT"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(first.scripts_run[i].name, order[i]);
    EXPECT_FALSE(first.scripts_run[i].had_context);
    EXPECT_EQ(first.scripts_run[i].nargs, 0);
  }
  EXPECT_EQ(kvoref::live_scripts(), 0);
  EXPECT_EQ(his(), "");
  // Already registered elsewhere: the refusal, and the scripts still run (in the first one).
  kvoblk_base_typical_register(b, &second);
  EXPECT_EQ(his(), "!! kvoblk_base_register_container: Unable to register block:       B1\n");
  EXPECT_EQ(first.scripts_run.size(), 8u);
  kvoblk_base_typical_register(b, nullptr);
  kvoblk_base_typical_register(0, &first);
  EXPECT_EQ(his(),
            "!! kvoblk_base_typical_register: Unable to register block:       B1\n"
            "!! kvoblk_base_typical_register: Unable to register block:         \n");
  kvoblk_destroy(b);
}

TEST_F(Containers, TypicalRegistrationStopsWhenAScriptDestroysTheBlock) {
  int b = kvoblk_base_create(0);
  kvoblk_inq_ops(b)->acquire_script = setup_destroys_block;
  kvoblk_base_typical_register(b, &first);
  EXPECT_TRUE(first.scripts_run.empty());
  EXPECT_EQ(kvoref::live_blocks(), 0);
  EXPECT_EQ(his(), "");
}

// The script acquired for the block that went is not run for the block made at its handle, and
// the registration's later scripts are not run for it either.
TEST_F(Containers, TypicalRegistrationEndsWhenAScriptReplacesTheBlock) {
  heir_cntr = &second;
  int b = kvoblk_base_create(0);
  kvoblk_inq_ops(b)->acquire_script = setup_replaces_block;
  kvoblk_base_typical_register(b, &first);
  ASSERT_EQ(heir, b);  // the scene needs the handle taken again
  EXPECT_TRUE(first.scripts_run.empty());
  EXPECT_TRUE(second.scripts_run.empty());
  EXPECT_EQ(kvoref::live_scripts(), 0);
  kvoblk_destroy(b);
}

TEST_F(Containers, InvocationLineShowsAboveLevelFour) {
  int b = kvoblk_base_create(0);
  kvoblk_set_blkid(b, "B1");
  kvoblk_inq_ops(b)->acquire_script = offer_scripts;
  kvoblk_register_container(b, &first);
  first.script_result = 42;
  EXPECT_EQ(kvoblk_invoke(b, "INIT", nullptr, 0, nullptr), 42);
  EXPECT_EQ(his(), "");
  kvoblk_set_diag_level(b, 5);
  EXPECT_EQ(kvoblk_scope_invoke(b, "INIT", 3, 4, nullptr, 0, nullptr), 42);
  EXPECT_EQ(his(), "Block B1       invoking script method INIT\n");
  EXPECT_EQ(kvoblk_invoke(b, "SOLVER", nullptr, 0, nullptr), 0);  // the model has none
  EXPECT_EQ(his(), "");
  EXPECT_EQ(kvoref::live_scripts(), 0);
  kvoblk_destroy(b);
}

// A container whose script run throws (the reference one does when memory runs out).
struct ThrowingContainer : kvoref::Container {
  using kvoref::Container::Container;
  int run_script(NUXEOBlock*, kvopipe*, EBSContext*, int, const value_t*) override {
    throw std::runtime_error("no room");
  }
};

TEST_F(Containers, ScriptWithoutContainerIsReleasedUnrun) {
  int b = kvoblk_base_create(0);
  kvoblk_inq_ops(b)->acquire_script = offer_scripts;
  EXPECT_EQ(kvoblk_invoke(b, "INIT", nullptr, 0, nullptr), 0);
  EXPECT_EQ(kvoref::live_scripts(), 0);
  kvoblk_destroy(b);
}

TEST_F(Containers, ScriptWhoseRunThrowsIsReportedReleasedAndFailsAlsoCalledDirectly) {
  int b = kvoblk_base_create(0);
  kvoblk_set_blkid(b, "B1");
  kvoblk_inq_ops(b)->acquire_script = offer_scripts;
  ThrowingContainer thrower(lists);
  kvoblk_register_container(b, &thrower);
  const std::string line = "!! kvoblk_base_invoke: A routine of block B1 ended with an exception\n";
  EXPECT_EQ(kvoblk_invoke(b, "INIT", nullptr, 0, nullptr), 1);
  EXPECT_EQ(kvoref::live_scripts(), 0);
  EXPECT_EQ(his(), line);
  EXPECT_EQ(kvoblk_base_invoke(b, "INIT", nullptr, 0, nullptr), 1);  // a model's "super" call
  EXPECT_EQ(kvoref::live_scripts(), 0);
  EXPECT_EQ(his(), line);
  kvoblk_destroy(b);
}

TEST_F(Containers, ScriptNamesAreTheFourteenInTheirFixedOrder) {
  const char* names[] = {"SETUP",       "INIT",      "ALIAS",    "MEASUREMENT", "CONNECT",
                         "SOLVER",      "READVAR",   "SETVAR",   "PROCONN",     "PROMEAS",
                         "PROMEASCONN", "OBJECTIVE", "PRESOLVE", "POSTSOLVE"};
  for (int i = 0; i < 14; ++i) EXPECT_STREQ(kvoblk_script_names[i], names[i]) << i;
}

TEST_F(Containers, ScriptRunsForTheBlockObjectWithTheCallersContextThroughTheInvokeSlot) {
  int b = kvoblk_base_create(0);
  kvoblk_inq_ops(b)->acquire_script = offer_scripts;
  kvoblk_register_container(b, &first);
  {
    KVOBlock object(b);
    auto* ctx = reinterpret_cast<EBSContext*>(&second);
    value_t args[2] = {};
    kvoblk_scope_invoke(b, "ALIAS", 1, 2, ctx, 2, args);
    ASSERT_EQ(first.scripts_run.size(), 1u);
    EXPECT_EQ(first.scripts_run[0].block, static_cast<NUXEOBlock*>(&object));
    EXPECT_TRUE(first.scripts_run[0].had_context);
    EXPECT_EQ(first.scripts_run[0].nargs, 2);
  }
  // A model's own invoke routine is what a scoped invocation runs.
  kvoblk_inq_ops(b)->invoke = [](int, const char*, EBSContext*, int, const value_t*) { return 7; };
  EXPECT_EQ(kvoblk_scope_invoke(b, "ALIAS", 1, 2, nullptr, 0, nullptr), 7);
  kvoblk_destroy(b);
}

TEST_F(Containers, TypicalRegistrationWorksFromTheRegistrationSlot) {
  int b = kvoblk_base_create(0);
  kvoblk_inq_ops(b)->acquire_script = offer_scripts;
  kvoblk_inq_ops(b)->register_container = kvoblk_base_typical_register;
  kvoblk_register_container(b, &first);
  EXPECT_EQ(first.scripts_run.size(), 4u);
  EXPECT_EQ(blk_inq_matrix_varlst(b), lists.varlst);
  kvoblk_destroy(b);
}

TEST_F(Containers, ContainingContainerIsTheRegisteredContainersAnswer) {
  int b = kvoblk_base_create(0);
  NUXEOCntr outer, asked;
  first.parent = &outer;
  EXPECT_EQ(kvoblk_inq_container(b, &asked), nullptr);
  kvoblk_register_container(b, &first);
  EXPECT_EQ(kvoblk_inq_container(b, &asked), &outer);
  EXPECT_EQ(kvoblk_inq_container(0, &asked), nullptr);
  kvoblk_destroy(b);
}

// A container whose answers all throw: each question asked of it from a C entry point ends with
// the exception reported and the function's answer for no container, and nothing escapes.
struct ThrowingAnswers : kvoref::Container {
  using kvoref::Container::Container;
  int varlst() override { throw std::runtime_error("no room"); }
  int eqnlst() override { throw 1; }
  int jacobian() override { throw std::bad_alloc(); }
  int global_var_offset() override { throw 1; }
  int global_eqn_offset() override { throw 1; }
  int global_jac_offset() override { throw 1; }
  void pre_structural_edit(NUXEOBlock*, int, int, int) override { throw 1; }
  void post_structural_edit(NUXEOBlock*, int, int, int) override { throw 1; }
  NUXEOCntr* containing_container(const NUXEOCntr&) override { throw 1; }
};

TEST_F(Containers, AnswersThatThrowAreReportedAndGiveNoAnswer) {
  int b = kvoblk_base_create(0);
  kvoblk_set_blkid(b, "B1");
  ThrowingAnswers thrower(lists);
  kvoblk_register_container(b, &thrower);
  auto said = [](const char* fn) {
    return std::string("!! ") + fn + ": A routine of block B1 ended with an exception\n";
  };
  int v = -1, e = -1, j = -1;
  blk_inq_matrix(b, &v, &e, &j);
  EXPECT_EQ(std::vector<int>({v, e, j}), std::vector<int>({0, 0, 0}));
  EXPECT_EQ(his(), said("blk_inq_matrix"));
  EXPECT_EQ(blk_inq_matrix_varlst(b), 0);
  EXPECT_EQ(blk_inq_matrix_eqnlst(b), 0);
  EXPECT_EQ(blk_inq_matrix_jacobian(b), 0);
  EXPECT_EQ(his(), said("blk_inq_matrix_varlst") + said("blk_inq_matrix_eqnlst") +
                       said("blk_inq_matrix_jacobian"));
  NUXEOCntr asked;
  EXPECT_EQ(kvoblk_inq_container(b, &asked), nullptr);
  EXPECT_EQ(his(), said("kvoblk_inq_container"));
  EXPECT_EQ(kvoblk_global_var_offset(b), -1);
  EXPECT_EQ(kvoblk_global_eqn_offset(b), -1);
  EXPECT_EQ(kvoblk_global_jac_offset(b), -1);
  EXPECT_EQ(his(), said("kvoblk_global_var_offset") + said("kvoblk_global_eqn_offset") +
                       said("kvoblk_global_jac_offset"));
  kvoblk_notifyPreStructuralEdit(b, 1, 1, 1);
  kvoblk_notifyPostStructuralEdit(b, 1, 1, 1);
  EXPECT_EQ(his(),
            said("kvoblk_notifyPreStructuralEdit") + said("kvoblk_notifyPostStructuralEdit"));
  kvoblk_destroy(b);
}

class Ports : public KvoTest {
 protected:
  void SetUp() override {
    KvoTest::SetUp();
    kvoref::Port::destroyed = 0;
    b = kvoblk_base_create(0);
    kvoblk_set_blkid(b, "B1");
  }
  void TearDown() override {
    kvoblk_destroy(b);
    KvoTest::TearDown();
  }
  int b = 0;
  kvoref::Lists lists = kvoref::make_lists(10);
  kvoref::Container cntr{lists};
};

TEST_F(Ports, DuplicateAndImproperNamesAreRefused) {
  EXPECT_FALSE(kvoblk_add_port(b, new kvoref::Port("IN")));
  EXPECT_FALSE(kvoblk_add_port(b, new kvoref::Port("OUT")));
  auto* dup = new kvoref::Port("IN");
  EXPECT_TRUE(kvoblk_add_port(b, dup));
  EXPECT_EQ(his(), "!!Port IN already exists in block B1\n");
  auto* bad = new kvoref::Port("2IN");
  EXPECT_TRUE(kvoblk_add_port(b, bad));
  EXPECT_EQ(his(), "Unable to create port '2IN': improper name\n");
  auto* unnamed = new kvoref::Port("X");
  unnamed->null_name_ = true;
  EXPECT_TRUE(kvoblk_add_port(b, unnamed));
  EXPECT_EQ(his(), "Unable to create port '': improper name\n");
  EXPECT_EQ(kvoblk_inq_num_ports(b), 2);
  EXPECT_EQ(dup->attach_calls + bad->attach_calls, 0);
  dup->destroy();
  bad->destroy();
  unnamed->destroy();
}

TEST_F(Ports, LookupIsExactAndIndexedFromOne) {
  auto* in = new kvoref::Port("INLET");
  kvoblk_add_port(b, in);
  EXPECT_EQ(kvoblk_get_port(b, "IN"), nullptr);
  EXPECT_EQ(kvoblk_get_port(b, "INLET"), in);
  EXPECT_EQ(kvoblk_get_port(b, "inlet"), nullptr);
  EXPECT_EQ(kvoblk_get_port(b, nullptr), nullptr);
  EXPECT_EQ(kvoblk_get_port_n(b, 0), nullptr);
  EXPECT_EQ(kvoblk_get_port_n(b, 1), in);
  EXPECT_EQ(kvoblk_get_port_n(b, 2), nullptr);
}

// A container whose port notices throw: a deletion called from C reports it and lets nothing
// escape. A refused removal leaves the port; a failed change notice comes after the deletion.
struct PortNoticesThrow : kvoref::Container {
  using kvoref::Container::Container;
  bool refuse = true;
  void port_removed(nux_port* port) override {
    if (refuse) throw std::runtime_error("kept");
    kvoref::Container::port_removed(port);
  }
  void ports_changed() override { throw 1; }
};

TEST_F(Ports, DeletionReportsContainerExceptionsAndLetsNoneEscape) {
  nux_port* p[2] = {new kvoref::Port("A"), new kvoref::Port("B")};
  for (nux_port* q : p) kvoblk_add_port(b, q);
  PortNoticesThrow thrower(lists);
  kvoblk_register_container(b, &thrower);
  const std::string line =
      "!! kvoblk_base_delete_port: A routine of block B1 ended with an exception\n";
  EXPECT_TRUE(kvoblk_base_delete_port(b, "A"));
  EXPECT_EQ(his(), line);
  EXPECT_EQ(kvoblk_inq_num_ports(b), 2);
  thrower.refuse = false;
  EXPECT_FALSE(kvoblk_base_delete_port(b, "A"));
  EXPECT_EQ(his(), line);
  EXPECT_EQ(kvoblk_inq_num_ports(b), 1);
  EXPECT_EQ(kvoblk_get_port_n(b, 1), p[1]);
  EXPECT_EQ(kvoref::Port::destroyed, 1);
}

TEST_F(Ports, DeletionClosesTheGapAndTellsTheContainer) {
  nux_port* p[3] = {new kvoref::Port("A"), new kvoref::Port("B"), new kvoref::Port("C")};
  for (nux_port* q : p) kvoblk_add_port(b, q);
  EXPECT_TRUE(kvoblk_delete_port(b, "A"));  // no container yet: refused, port stays
  EXPECT_EQ(kvoblk_inq_num_ports(b), 3);
  kvoblk_register_container(b, &cntr);
  EXPECT_TRUE(kvoblk_delete_port(b, "Z"));
  EXPECT_FALSE(kvoblk_delete_port(b, "A"));
  EXPECT_EQ(kvoblk_inq_num_ports(b), 2);
  EXPECT_EQ(kvoblk_get_port_n(b, 1), p[1]);
  EXPECT_EQ(kvoblk_get_port_n(b, 2), p[2]);
  ASSERT_EQ(cntr.ports_removed.size(), 1u);
  EXPECT_EQ(cntr.ports_removed[0], p[0]);
  EXPECT_EQ(cntr.ports_changed_calls, 1);
  EXPECT_EQ(kvoref::Port::destroyed, 1);
  // The array keeps its size, so the next addition fits.
  EXPECT_FALSE(kvoblk_add_port(b, new kvoref::Port("D")));
  EXPECT_EQ(kvoblk_get_port_n(b, 3)->name(), std::string("D"));
  EXPECT_EQ(his(), "");
}

// A container that notes how many ports had been destroyed when it heard of a removal.
namespace {
struct RemovalWatchingContainer : kvoref::Container {
  using kvoref::Container::Container;
  int destroyed_when_told = -1;
  void port_removed(nux_port* port) override {
    destroyed_when_told = kvoref::Port::destroyed;
    kvoref::Container::port_removed(port);
  }
};
}  // namespace

TEST_F(Ports, ContainerHearsOfTheRemovalBeforeThePortGoes) {
  RemovalWatchingContainer c(lists);
  kvoblk_register_container(b, &c);
  kvoblk_add_port(b, new kvoref::Port("A"));
  EXPECT_FALSE(kvoblk_delete_port(b, "A"));
  EXPECT_EQ(c.destroyed_when_told, 0);
}

// The host's destroy of the port being deleted sets the block's port count to 0: the deletion
// writes nothing in front of the port array, and the ports left are still destroyed with the
// block.
namespace {
struct CountClearingPort : kvoref::Port {
  using kvoref::Port::Port;
  int block = 0;
  void destroy() override {
    wordof(block, W::num_ports) = 0;
    kvoref::Port::destroy();
  }
};
}  // namespace

TEST_F(Ports, DeletionSurvivesAPortDestroyThatChangesTheCount) {
  auto* p = new CountClearingPort("B");
  p->block = b;
  kvoblk_add_port(b, new kvoref::Port("A"));
  kvoblk_add_port(b, p);
  kvoblk_add_port(b, new kvoref::Port("C"));
  kvoblk_register_container(b, &cntr);
  const int array = wordof(b, W::ports);
  const int32_t before = ib0[array - 1];
  EXPECT_FALSE(kvoblk_delete_port(b, "B"));
  EXPECT_EQ(ib0[wordof(b, W::ports) - 1], before);
  EXPECT_EQ(kvoblk_inq_num_ports(b), 0);
  kvoblk_destroy(b);
  b = 0;
  EXPECT_EQ(kvoref::Port::destroyed, 3);
}

TEST_F(Ports, DestructionDestroysEachPortOnce) {
  for (const char* n : {"A", "B", "C"}) kvoblk_add_port(b, new kvoref::Port(n));
  kvoblk_destroy(b);
  b = 0;
  EXPECT_EQ(kvoref::Port::destroyed, 3);
  EXPECT_EQ(kvoref::live_blocks(), 0);
}

// A host port that asks its block for its id while it goes, and then destroys the block itself.
namespace {
std::string id_seen_by_port;
struct BlockDestroyingPort : kvoref::Port {
  using kvoref::Port::Port;
  int blk = 0;
  void destroy() override {
    const char* id = block() ? block()->block_id() : nullptr;
    id_seen_by_port = id ? id : "(none)";
    const int owner = blk;
    kvoref::Port::destroy();
    kvoblk_destroy(owner);
  }
};
}  // namespace

TEST_F(Ports, DestructionSurvivesAPortThatDestroysTheBlock) {
  auto* p = new BlockDestroyingPort("B");
  p->blk = b;
  for (nux_port* q : {static_cast<nux_port*>(new kvoref::Port("A")), static_cast<nux_port*>(p),
                      static_cast<nux_port*>(new kvoref::Port("C"))})
    kvoblk_add_port(b, q);
  kvoblk_destroy(b);
  b = 0;
  // The block was whole while its port went, and the port's own destruction of it finished
  // the job: every port destroyed once, nothing touched after the record was released.
  EXPECT_EQ(id_seen_by_port, "B1");
  EXPECT_EQ(kvoref::Port::destroyed, 3);
  EXPECT_EQ(kvoref::live_blocks(), 0);
  EXPECT_EQ(his(), "");
}

// A port whose destroy throws: destruction is also called from C and Fortran, so the exception
// is reported and the other ports and the record are still released.
namespace {
struct ThrowingDestroyPort : kvoref::Port {
  using kvoref::Port::Port;
  void destroy() override {
    kvoref::Port::destroy();
    throw std::runtime_error("port");
  }
};
}  // namespace

TEST_F(Ports, DestructionGoesOnPastAPortWhoseDestroyThrows) {
  kvoblk_add_port(b, new ThrowingDestroyPort("A"));
  kvoblk_add_port(b, new kvoref::Port("B"));
  EXPECT_NO_THROW(kvoblk_base_destroy(b));
  b = 0;
  EXPECT_EQ(kvoref::Port::destroyed, 2);
  EXPECT_EQ(kvoref::live_blocks(), 0);
  EXPECT_EQ(his(), "!! kvoblk_base_destroy: A routine of block B1 ended with an exception\n");
}

// The entry is out once the port's destroy runs: the container still hears that the ports
// changed when the destroy throws.
TEST_F(Ports, DeletionWhosePortDestroyThrowsStillTellsTheContainer) {
  kvoblk_add_port(b, new ThrowingDestroyPort("A"));
  kvoblk_add_port(b, new kvoref::Port("B"));
  kvoref::Container cntr(lists);
  kvoblk_register_container(b, &cntr);
  EXPECT_FALSE(kvoblk_base_delete_port(b, "A"));
  EXPECT_EQ(his(), "!! kvoblk_base_delete_port: A routine of block B1 ended with an exception\n");
  EXPECT_EQ(kvoblk_inq_num_ports(b), 1);
  EXPECT_EQ(cntr.ports_removed.size(), 1u);
  EXPECT_EQ(cntr.ports_changed_calls, 1);
}

TEST_F(Ports, StoredCountBeyondTheArrayIsNeverWalked) {
  kvoblk_add_port(b, new kvoref::Port("A"));
  auto* p = new kvoref::Port("B");
  // A count written straight into the record: loops stay within the array's real capacity.
  wordof(b, W::num_ports) = 1000;
  EXPECT_EQ(kvoblk_get_port_n(b, 500), nullptr);
  EXPECT_EQ(kvoblk_get_port(b, "nothing"), nullptr);
  wordof(b, W::num_ports) = 1;
  EXPECT_FALSE(kvoblk_add_port(b, p));
  EXPECT_EQ(kvoblk_inq_num_ports(b), 2);
}

TEST_F(Ports, FirstArrayAllocationFailureRefusesThePort) {
  auto* p = new kvoref::Port("A");
  kvoref::fail_imalloc_after(1);
  EXPECT_TRUE(kvoblk_add_port(b, p));
  EXPECT_EQ(kvoblk_inq_num_ports(b), 0);
  EXPECT_EQ(wordof(b, W::ports), 0);
  EXPECT_EQ(p->attach_calls, 0);
  p->destroy();
}

TEST_F(Ports, CallbackAnswersForTheBlock) {
  auto* p = new kvoref::Port("IN");
  kvoblk_add_port(b, p);
  nux_port_mesgs* m = p->block();
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(m->block_id(), "B1");
  EXPECT_TRUE(m->block_included());
  EXPECT_EQ(m->owns_var(12345), 1);  // not placed: every variable counts as the block's
  EXPECT_EQ(m->var_offset(), -1);    // no container
  wordof(b, W::eo_state) = 1;
  kvoblk_set_vstart(b, 10);
  kvoblk_set_vstop(b, 12);
  EXPECT_EQ(m->owns_var(9), 0);
  EXPECT_EQ(m->owns_var(10), 1);
  EXPECT_EQ(m->owns_var(12), 1);
  EXPECT_EQ(m->owns_var(13), 0);
  wordof(b, W::eo_state) = 0;
  // With a container the offset is the container's one for variables.
  kvoref::Container offsets(lists, 7, 11, 13);
  kvoblk_register_container(b, &offsets);
  EXPECT_EQ(m->var_offset(), 7);
  wordof(b, W::included) = 0;
  EXPECT_FALSE(m->block_included());
}

TEST_F(Ports, DeletionRemovesTheNamedPortWhateverTheModelsNumbering) {
  kvoblk_register_container(b, &cntr);
  nux_port* p[3] = {new kvoref::Port("A"), new kvoref::Port("B"), new kvoref::Port("C")};
  for (nux_port* q : p) kvoblk_add_port(b, q);
  kvoblk_inq_ops(b)->get_port_n = reversed_get_port_n;
  EXPECT_FALSE(kvoblk_delete_port(b, "A"));
  ASSERT_EQ(cntr.ports_removed.size(), 1u);
  EXPECT_EQ(cntr.ports_removed[0], p[0]);
  EXPECT_EQ(kvoblk_base_get_port_n(b, 1), p[1]);
  EXPECT_EQ(kvoblk_base_get_port_n(b, 2), p[2]);
}

TEST_F(Ports, LookupWithAHugeStoredCountVisitsOnlyTheArray) {
  kvoblk_add_port(b, new kvoref::Port("A"));
  wordof(b, W::num_ports) = INT32_MAX;
  EXPECT_EQ(kvoblk_get_port(b, "Z"), nullptr);  // would take minutes if the count were walked
  // A model's own numbering is asked as often as the count says it has ports.
  kvoblk_inq_ops(b)->get_port_n = counting_get_port_n;
  wordof(b, W::num_ports) = 5;
  numbering_calls = 0;
  EXPECT_EQ(kvoblk_get_port(b, "Z"), nullptr);
  EXPECT_EQ(numbering_calls, 5);
  wordof(b, W::num_ports) = 1;
}

TEST_F(Ports, GrowthFailureRefusesTheSecondPortAndKeepsTheFirst) {
  auto* a = new kvoref::Port("A");
  auto* c = new kvoref::Port("C");
  EXPECT_FALSE(kvoblk_add_port(b, a));
  const int array = wordof(b, W::ports);
  for (int refusal : {0, -1}) {
    kvoref::set_imalloc_refusal(refusal);
    kvoref::fail_imalloc_after(1);
    EXPECT_TRUE(kvoblk_add_port(b, c)) << refusal;
    EXPECT_EQ(kvoblk_inq_num_ports(b), 1);
    EXPECT_EQ(wordof(b, W::ports), array);
    EXPECT_EQ(kvoblk_get_port_n(b, 1), a);
  }
  EXPECT_EQ(c->attach_calls, 0);
  c->destroy();
}

TEST_F(Ports, AdditionWhoseLookupDestroysTheBlockIsRefused) {
  int lone = kvoblk_base_create(0);
  kvoblk_inq_ops(lone)->get_port = [](int blk, const char*) -> nux_port* {
    kvoblk_destroy(blk);
    return nullptr;
  };
  auto* p = new kvoref::Port("IN");
  EXPECT_TRUE(kvoblk_add_port(lone, p));
  EXPECT_EQ(p->attach_calls, 0);
  EXPECT_EQ(kvoref::live_blocks(), 1);  // only the fixture's block
  // Also when the look-up answers a port: nothing is read from the released record.
  lone = kvoblk_base_create(0);
  kvoblk_set_blkid(lone, "GONE");
  kvoblk_inq_ops(lone)->get_port = [](int blk, const char*) -> nux_port* {
    kvoblk_destroy(blk);
    return stranger_port;
  };
  stranger_port = p;
  EXPECT_TRUE(kvoblk_add_port(lone, p));
  EXPECT_EQ(p->attach_calls, 0);
  EXPECT_EQ(his(), "");
  p->destroy();
}

// A model whose port numbering destroys its block, and a container that destroys the block
// when told of a removed port.
nux_port* numbering_destroying(int blk, int) {
  kvoblk_destroy(blk);
  return nullptr;
}
namespace {
struct DestroyingContainer : kvoref::Container {
  using kvoref::Container::Container;
  int blk = 0;
  void port_removed(nux_port* port) override {
    kvoref::Container::port_removed(port);
    kvoblk_destroy(blk);
  }
};
}  // namespace

TEST_F(Ports, LookupsStopSilentlyWhenTheBlockIsDestroyedMeanwhile) {
  DestroyingContainer c(lists);
  int lone[3] = {};
  for (int& blk : lone) {
    blk = kvoblk_base_create(0);
    kvoblk_register_container(blk, &c);
    for (const char* n : {"A", "B", "C"}) kvoblk_add_port(blk, new kvoref::Port(n));
  }
  // The search ends with the block, without naming it an invalid handle at every position.
  kvoblk_inq_ops(lone[0])->get_port_n = numbering_destroying;
  EXPECT_TRUE(kvoblk_delete_port(lone[0], "B"));
  kvoblk_inq_ops(lone[1])->get_port_n = numbering_destroying;
  auto* d = new kvoref::Port("D");
  EXPECT_TRUE(kvoblk_add_port(lone[1], d));
  EXPECT_EQ(d->attach_calls, 0);
  d->destroy();
  // The port went with the block: it is destroyed once, and the deletion counts as done.
  c.blk = lone[2];
  EXPECT_FALSE(kvoblk_delete_port(lone[2], "B"));
  EXPECT_EQ(kvoref::Port::destroyed, 10);
  EXPECT_EQ(kvoref::live_blocks(), 1);
  EXPECT_EQ(his(), "");
}

TEST_F(Ports, APortAnotherBlockHoldsIsRefused) {
  auto* p = new kvoref::Port("IN");
  ASSERT_FALSE(kvoblk_add_port(b, p));
  int c = kvoblk_base_create(0);
  kvoblk_set_blkid(c, "C1");
  // Held by two blocks, the port would be destroyed by both.
  EXPECT_TRUE(kvoblk_add_port(c, p));
  EXPECT_EQ(his(), "!!Port IN already exists in block B1\n");
  EXPECT_EQ(kvoblk_inq_num_ports(c), 0);
  EXPECT_EQ(p->attach_calls, 1);
  kvoblk_destroy(c);
  kvoblk_destroy(b);
  b = 0;
  EXPECT_EQ(kvoref::Port::destroyed, 1);
}

// A port object that outlives its destroy(): the host may make a new port where a destroyed
// one was, and that port belongs to no block.
namespace {
struct KeptPort : kvoref::Port {
  using kvoref::Port::Port;
  void destroy() override { ++kvoref::Port::destroyed; }
};
}  // namespace

TEST_F(Ports, APortWhoseHolderLetItGoCanBeAddedAgain) {
  KeptPort p("IN");
  kvoblk_register_container(b, &cntr);
  ASSERT_FALSE(kvoblk_add_port(b, &p));
  ASSERT_FALSE(kvoblk_delete_port(b, "IN"));
  int c = kvoblk_base_create(0);
  EXPECT_FALSE(kvoblk_add_port(c, &p));
  kvoblk_destroy(c);
  EXPECT_FALSE(kvoblk_add_port(b, &p));
  EXPECT_EQ(kvoblk_inq_num_ports(b), 1);
  EXPECT_EQ(his(), "");
  kvoblk_destroy(b);
  b = 0;
  EXPECT_EQ(kvoref::Port::destroyed, 3);
}

// A port whose destroy adds another port to its block, which is being destroyed: the newcomer
// goes with the block, and is free to join another block afterwards.
namespace {
struct AddingPort : kvoref::Port {
  using kvoref::Port::Port;
  int blk = 0;
  nux_port* next = nullptr;
  void destroy() override {
    kvoblk_add_port(blk, next);
    kvoref::Port::destroy();
  }
};
}  // namespace

TEST_F(Ports, APortAddedWhileTheBlockIsDestroyedGoesWithIt) {
  KeptPort q("Q");
  auto* p = new AddingPort("P");
  p->blk = b;
  p->next = &q;
  kvoblk_register_container(b, &cntr);
  ASSERT_FALSE(kvoblk_add_port(b, p));
  kvoblk_destroy(b);
  b = 0;
  EXPECT_EQ(kvoref::Port::destroyed, 2);
  int c = kvoblk_base_create(0);
  EXPECT_FALSE(kvoblk_add_port(c, &q));
  EXPECT_EQ(his(), "");
  kvoblk_destroy(c);
  EXPECT_EQ(kvoref::Port::destroyed, 3);
}

// A container that, told of a removal, deletes the same port itself (once).
namespace {
struct ReenteringContainer : kvoref::Container {
  using kvoref::Container::Container;
  int blk = 0;
  bool inside = false;
  void port_removed(nux_port* port) override {
    kvoref::Container::port_removed(port);
    if (inside) return;
    inside = true;
    kvoblk_delete_port(blk, port->name());
  }
};
}  // namespace

TEST_F(Ports, ADeletionRepeatedFromTheRemovalNoticeDeletesThePortOnce) {
  ReenteringContainer c(lists);
  c.blk = b;
  kvoblk_register_container(b, &c);
  nux_port* p[3] = {new kvoref::Port("A"), new kvoref::Port("B"), new kvoref::Port("C")};
  for (nux_port* q : p) kvoblk_add_port(b, q);
  EXPECT_FALSE(kvoblk_delete_port(b, "A"));
  EXPECT_EQ(kvoref::Port::destroyed, 1);
  EXPECT_EQ(kvoblk_inq_num_ports(b), 2);
  EXPECT_EQ(kvoblk_get_port_n(b, 1), p[1]);
  EXPECT_EQ(kvoblk_get_port_n(b, 2), p[2]);
  EXPECT_EQ(c.ports_changed_calls, 1);
}

// A model numbering that, asked for its first port, destroys its block and creates another,
// which the workspace places at the same handle, with ports of its own.
namespace {
int reborn = 0;
nux_port* rebirth_get_port_n(int b, int i) {
  if (i != 1) return kvoblk_base_get_port_n(b, i);
  kvoblk_destroy(b);
  reborn = kvoblk_base_create(0);
  for (const char* n : {"NEW1", "NEW2", "NEW3"}) kvoblk_add_port(reborn, new kvoref::Port(n));
  return nullptr;
}
int rebirth_num_ports(int b) {
  rebirth_get_port_n(b, 1);
  return 3;
}
}  // namespace

TEST_F(Ports, LookupsEndWithTheirBlockAndNeverReadABlockMadeAtItsHandle) {
  for (const char* n : {"A", "B", "C"}) kvoblk_add_port(b, new kvoref::Port(n));
  kvoblk_inq_ops(b)->get_port_n = rebirth_get_port_n;
  EXPECT_EQ(kvoblk_get_port(b, "NEW2"), nullptr);
  ASSERT_EQ(reborn, b);  // the scene needs the handle taken again
  EXPECT_EQ(kvoblk_inq_num_ports(b), 3);
  // The deletion and the addition that begin with such a look-up end there too: the new block
  // keeps its ports, and the one offered is not taken.
  kvoblk_register_container(b, &cntr);
  kvoblk_inq_ops(b)->get_port_n = rebirth_get_port_n;
  EXPECT_TRUE(kvoblk_delete_port(b, "NEW3"));
  ASSERT_EQ(reborn, b);
  EXPECT_EQ(kvoblk_inq_num_ports(b), 3);
  EXPECT_TRUE(cntr.ports_removed.empty());
  kvoblk_inq_ops(b)->get_port_n = rebirth_get_port_n;
  auto* offered = new kvoref::Port("D");
  EXPECT_TRUE(kvoblk_add_port(b, offered));
  ASSERT_EQ(reborn, b);
  EXPECT_EQ(kvoblk_inq_num_ports(b), 3);
  EXPECT_EQ(offered->attach_calls, 0);
  offered->destroy();
  // The same when the model's count is what makes the new block.
  kvoblk_inq_ops(b)->inq_num_ports = rebirth_num_ports;
  EXPECT_EQ(kvoblk_get_port(b, "NEW2"), nullptr);
  ASSERT_EQ(reborn, b);
}

TEST_F(Ports, EachAdditionGrowsTheArrayByOneEntryAndNeverOverwritesAPort) {
  // The first addition obtains a one-entry array, each later one one entry more.
  kvoref::fail_imalloc_after(1 << 30);
  std::vector<nux_port*> p;
  for (int i = 0; i < 1000; ++i) {
    p.push_back(new kvoref::Port(("P" + std::to_string(i)).c_str()));
    ASSERT_FALSE(kvoblk_add_port(b, p.back()));
  }
  EXPECT_EQ((1 << 30) - kvoref::imalloc_fail_pending(), 1000);
  kvoref::fail_imalloc_after(0);
  EXPECT_EQ(kvoblk_get_port(b, "P999"), p[999]);
  // A count raised past the array reads no entry beyond it, and a count lowered by a setter
  // leaves the ports above it where they are: the next port goes after the last one held.
  wordof(b, W::num_ports) = 1001;
  EXPECT_EQ(kvoblk_get_port_n(b, 1001), nullptr);
  wordof(b, W::num_ports) = 2;
  auto* late = new kvoref::Port("LATE");
  ASSERT_FALSE(kvoblk_add_port(b, late));
  EXPECT_EQ(kvoblk_inq_num_ports(b), 1001);
  EXPECT_EQ(kvoblk_get_port_n(b, 1000), p[999]);
  EXPECT_EQ(kvoblk_get_port_n(b, 1001), late);
  kvoblk_destroy(b);
  b = 0;
  EXPECT_EQ(kvoref::Port::destroyed, 1001);
}

// A port whose name, asked for the first time, deletes the block's first port.
namespace {
struct DeletingNamePort : kvoref::Port {
  using kvoref::Port::Port;
  int blk = 0;
  mutable bool done = false;
  const char* name() const override {
    if (!done) {
      done = true;
      kvoblk_delete_port(blk, "A");
    }
    return kvoref::Port::name();
  }
};
}  // namespace

TEST_F(Ports, ASearchByNameFollowsTheArrayAPortsNameChanged) {
  kvoblk_register_container(b, &cntr);
  auto* x = new DeletingNamePort("X");
  x->blk = b;
  x->done = true;
  auto* c = new kvoref::Port("C");
  for (nux_port* q : {static_cast<nux_port*>(new kvoref::Port("A")), static_cast<nux_port*>(x),
                      static_cast<nux_port*>(c)})
    ASSERT_FALSE(kvoblk_add_port(b, q));
  // Asked at position 2, X deletes A: C moves to position 2, which the search has passed, and
  // position 3 is empty. No entry read before the deletion is used after it.
  x->done = false;
  EXPECT_EQ(kvoblk_get_port(b, "C"), nullptr);
  EXPECT_EQ(kvoblk_inq_num_ports(b), 2);
  EXPECT_EQ(kvoblk_get_port(b, "C"), c);
  EXPECT_EQ(kvoref::Port::destroyed, 1);
}

// A port whose destroy deletes another port of its block, by name.
namespace {
struct NeighbourDeletingDestroy : kvoref::Port {
  using kvoref::Port::Port;
  int blk = 0;
  void destroy() override {
    kvoblk_delete_port(blk, "A");
    kvoref::Port::destroy();
  }
};
}  // namespace

TEST_F(Ports, DeletionKeepsThePortsAfterOneThatTheDeletedPortsDestroyMovedDown) {
  kvoblk_register_container(b, &cntr);
  auto* p = new NeighbourDeletingDestroy("B");
  p->blk = b;
  auto* c = new kvoref::Port("C");
  for (nux_port* q : {static_cast<nux_port*>(new kvoref::Port("A")), static_cast<nux_port*>(p),
                      static_cast<nux_port*>(c)})
    ASSERT_FALSE(kvoblk_add_port(b, q));
  EXPECT_FALSE(kvoblk_delete_port(b, "B"));
  EXPECT_EQ(kvoblk_inq_num_ports(b), 1);
  EXPECT_EQ(kvoblk_get_port_n(b, 1), c);
  EXPECT_EQ(kvoblk_get_port(b, "C"), c);
  kvoblk_destroy(b);
  b = 0;
  EXPECT_EQ(kvoref::Port::destroyed, 3);
}

// Host code run while a block is looked at or destroyed replaces it: the block is destroyed and
// another is made at the same handle, with ports of its own. What was begun on the old block
// ends with it and hands back nothing of it.
namespace {
int remake_block(int old) {
  kvoblk_destroy(old);
  const int made = kvoblk_base_create(0);
  for (const char* n : {"NEW1", "NEW2"}) kvoblk_add_port(made, new kvoref::Port(n));
  return made;
}
// Outlives its destroy (the port object is the test's), and replaces its block when asked its
// name once armed.
struct ReplacingNamePort : kvoref::Port {
  using kvoref::Port::Port;
  int blk = 0;
  mutable int made = 0;
  mutable bool armed = false;
  void destroy() override { ++kvoref::Port::destroyed; }
  const char* name() const override {
    if (armed) {
      armed = false;
      made = remake_block(blk);
    }
    return kvoref::Port::name();
  }
};
struct ReplacingDestroyPort : kvoref::Port {
  using kvoref::Port::Port;
  int blk = 0;
  static int made;
  void destroy() override {
    const int owner = blk;
    kvoref::Port::destroy();
    made = remake_block(owner);
  }
};
int ReplacingDestroyPort::made = 0;
}  // namespace

TEST_F(Ports, HostCodeThatReplacesTheBlockEndsWhatWasBegunOnIt) {
  ReplacingNamePort x("X");
  x.blk = b;
  ASSERT_FALSE(kvoblk_add_port(b, &x));
  x.armed = true;
  // The port's name destroyed the block it was found in: it is not handed back.
  EXPECT_EQ(kvoblk_get_port(b, "X"), nullptr);
  ASSERT_EQ(x.made, b);
  EXPECT_EQ(kvoblk_inq_num_ports(b), 2);
  EXPECT_EQ(kvoref::Port::destroyed, 1);

  // A port destroyed with its block makes the new one: the new block keeps its ports.
  auto* p = new ReplacingDestroyPort("P");
  p->blk = b;
  ASSERT_FALSE(kvoblk_add_port(b, p));
  ASSERT_FALSE(kvoblk_add_port(b, new kvoref::Port("Q")));
  kvoref::Port::destroyed = 0;
  kvoblk_destroy(b);
  ASSERT_EQ(ReplacingDestroyPort::made, b);
  EXPECT_EQ(kvoref::Port::destroyed, 4);  // the new block's NEW1 and NEW2 stay
  EXPECT_EQ(kvoblk_inq_num_ports(b), 2);
  EXPECT_NE(kvoblk_get_port(b, "NEW2"), nullptr);
  EXPECT_EQ(his(), "");
}

// A port whose name is its own text, which another port renames when asked its name.
namespace {
struct RenamablePort : kvoref::Port {
  using kvoref::Port::Port;
  std::string own = "P";
  const char* name() const override { return own.c_str(); }
};
struct RenamingNamePort : kvoref::Port {
  using kvoref::Port::Port;
  RenamablePort* target = nullptr;
  const char* name() const override {
    if (target) target->own = std::string(200, 'R');
    return kvoref::Port::name();
  }
};
}  // namespace

TEST_F(Ports, AnAdditionKeepsTheNameItTookWhenTheLookupRenamesThePort) {
  auto* x = new RenamingNamePort("X");
  ASSERT_FALSE(kvoblk_add_port(b, x));
  auto* p = new RenamablePort("P");
  x->target = p;
  // The name taken before the look-up is what the addition checks and reports, not the text
  // the renaming released.
  EXPECT_FALSE(kvoblk_add_port(b, p));
  x->target = nullptr;
  EXPECT_EQ(his(), "");
  EXPECT_EQ(kvoblk_get_port_n(b, 2), p);
}
