// SPDX-License-Identifier: BSD-3-Clause
// Placement, moving and removal of a block, the solve brackets, inclusion and group residuals.
#include <stdexcept>
#include <string>
#include <utility>

#include "toy_model.h"

using kvotest::toy;
namespace W = kvoblk_word;

namespace {

int32_t& wordof(int b, int k) { return ib0[b + k]; }

// The toy at 10 variables, 8 equations and 30 non-zeros, with equation 2 of the block in a
// group of its own; the solve-bracket routines below count their calls.
struct Calls {
  int pre = 0, post = 0;
} calls;

void model_failing(int, int* status) {
  ++calls.pre;
  *status = 7;
}
void model_post(int, int* status) {
  ++calls.post;
  *status = 0;
}

}  // namespace

class Placement : public kvotest::PlacedBlockTest {
 protected:
  Placement() { list_capacity = 400; }
  void SetUp() override {
    PlacedBlockTest::SetUp();
    calls = Calls();
    toy.cyclic(10, 8, 30);
    toy.groups = {{1, 999}};
    // Offsets from a container that numbers its lists from 11, 22 and 33, equations counted
    // from an absolute base of 1000.
    delete cntr;
    kvoref::set_absolute_base(lists.eqnlst, 1000);
    cntr = new kvoref::Container(lists, 11, 22, 33);
    b = make_block("R1", true);
    kvoblk_ops_t* t = kvoblk_inq_ops(b);
    t->ini = kvotest::toy_ini;
    t->res = kvotest::toy_res;
    t->selfjac = kvotest::toy_selfjac;
    kvoblk_register_container(b, cntr);
  }
  // A second block of the toy model, placed at 101/51/301 in the same container.
  int placed_lone() {
    int st = 0;
    const int lone = kvoblk_base_create(0);
    kvoblk_inq_ops(lone)->ini = kvotest::toy_ini;
    kvoblk_register_container(lone, cntr);
    kvoblk_ini(lone, 101, 51, 301, &st);
    return lone;
  }
  int b = 0;
};

TEST_F(Placement, PlacesRangesAndGivesUngroupedEquationsTheDefaultGroup) {
  int st = 5;
  kvoblk_ini(b, 101, 51, 301, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(kvoblk_inq_vstart(b), 101);
  EXPECT_EQ(kvoblk_inq_vstop(b), 110);
  EXPECT_EQ(kvoblk_inq_estop(b), 58);
  EXPECT_EQ(kvoblk_inq_nzstop(b), 330);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 1);
  const int* groups = kvoeqnlst_vec_group(lists.eqnlst);
  for (int e = 51; e <= 58; ++e) EXPECT_EQ(groups[e - 1], e == 52 ? 999 : 1051) << e;
  EXPECT_EQ(his(), "");
  EXPECT_EQ(err(), "");
}

TEST_F(Placement, TraceAboveLevelSixIsExact) {
  kvoblk_set_diag_level(b, 7);
  int st = 0;
  kvoblk_ini(b, 101, 51, 301, &st);
  EXPECT_EQ(his(),
            "calling ini for R1\n"
            "        kvoblk_ini()\n"
            "        Block \"R1\", blk_grp_id = 1051\n"
            "        | start |  stop |   #\n"
            "        +-------+------+--------\n"
            "   vars |   101 |   110 |    10\n"
            "   eqns |    51 |    58 |     8\n"
            "   nzs  |   301 |   330 |    30\n\n");
}

TEST_F(Placement, MissingStartRefusesAndLeavesBlockUnplaced) {
  kvoblk_set_diag_level(b, 7);
  for (int estart : {0, -4}) {
    int st = 0;
    kvoblk_ini(b, 101, estart, 301, &st);
    EXPECT_EQ(st, 1);
    EXPECT_EQ(kvoblk_inq_eo_state(b), 0);
    EXPECT_EQ(toy.ini_calls, 0);
    EXPECT_EQ(his(), "calling ini for R1\n!! kvoblk_ini() vstart: 101, estart " +
                         std::to_string(estart) + ", nzstart 301\n");
  }
}

// A placed block asked to move to a missing position stays where it is: its record must not
// pair the new starts with the old stops and so claim another block's variables and equations.
TEST_F(Placement, RefusedReplacementKeepsTheBlockWhereItIs) {
  int st = 0;
  kvoblk_ini(b, 101, 51, 301, &st);
  kvoref::define_var(lists.varlst, 5, "OTHER", 2.0);
  kvoref::define_eqn(lists.eqnlst, 5, "OTHER");
  kvoblk_ini(b, 5, 5, 0, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(kvoblk_inq_vstart(b), 101);
  EXPECT_EQ(kvoblk_inq_estart(b), 51);
  EXPECT_EQ(kvoblk_inq_nzstart(b), 301);
  EXPECT_EQ(kvoblk_global_jac_offset(b), 33);
  kvoblk_set_included(b, 0);
  EXPECT_EQ(kvoref::eqn_included(lists.eqnlst, 5), 1);
  EXPECT_EQ(kvoref::eqn_included(lists.eqnlst, 51), 0);
  kvoblk_de_ini(b, &st);
  char name[129];
  kvovarlst_inq_var_name(lists.varlst, 5, name);
  EXPECT_STREQ(name, "OTHER");
  kvovarlst_inq_var_name(lists.varlst, 101, name);
  EXPECT_STREQ(name, "");
}

TEST_F(Placement, SecondPlacementAssertsAndPlacesAgain) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  kvoblk_ini(b, 5, 5, 5, &st);
  EXPECT_EQ(toy.ini_calls, 2);
  EXPECT_EQ(kvoblk_inq_vstart(b), 5);
  std::string e = err();
  EXPECT_EQ(e.rfind("Assertion 'kvoblk_ini: trying to ini an already initialized block' failed in "
                    "source/kvoblk/kvblk:",
                    0),
            0u)
      << e;
}

TEST_F(Placement, EmptyIniSlotReportsAndStaysUnplaced) {
  kvoblk_inq_ops(b)->ini = nullptr;
  int st = 3;
  kvoblk_ini(b, 1, 1, 1, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 0);
  EXPECT_EQ(his(), "!! kvoblk_ini: Attempt to call an undefined function\n");
}

TEST_F(Placement, WithoutContainerTheModelStillRuns) {
  int lone = kvoblk_base_create(0);
  kvoblk_inq_ops(lone)->ini = kvotest::toy_ini;
  int st = 0;
  kvoblk_ini(lone, 1, 1, 1, &st);
  EXPECT_EQ(toy.ini_calls, 1);
  EXPECT_EQ(kvoblk_inq_eo_state(lone), 1);
  kvoblk_destroy(lone);
}

TEST_F(Placement, TraceShowsCountsThatAWordCannotHold) {
  kvoblk_inq_ops(b)->ini = [](int blk, int, int, int, int*) {
    kvoblk_set_vstop(blk, -2147483647 - 1);
    kvoblk_set_estop(blk, 2147483647);
  };
  kvoblk_set_diag_level(b, 7);
  int st = 0;
  kvoblk_ini(b, 101, 1, 301, &st);
  const std::string h = his();
  EXPECT_NE(h.find("   vars |   101 | -2147483648 | -2147483748\n"), std::string::npos) << h;
  EXPECT_NE(h.find("   eqns |     1 | 2147483647 | 2147483647\n"), std::string::npos) << h;
}

// A model whose placement routine destroys its own block.
void ini_destroying(int blk, int, int, int, int* status) {
  kvoblk_destroy(blk);
  *status = 0;
}

TEST_F(Placement, RoutineThatDestroysItsBlockEndsThePlacement) {
  int lone = kvoblk_base_create(0);
  kvoblk_register_container(lone, cntr);
  kvoblk_inq_ops(lone)->ini = ini_destroying;
  int st = 0;
  kvoblk_ini(lone, 1, 1, 1, &st);
  EXPECT_EQ(st, 0);
  // Nothing is written into the released record, and no step after the routine runs.
  EXPECT_NE(wordof(lone, W::eo_state), 1);
  EXPECT_EQ(his(), "");
}

namespace {
// What the block looked like when its INIT script was asked for.
struct ScriptSeen {
  std::string name;
  int eo_state = -1, first_group = -1;
} seen;
}  // namespace

TEST_F(Placement, FailingModelRoutineStillEndsPlacedGroupedAndInitialised) {
  kvoblk_ops_t* t = kvoblk_inq_ops(b);
  t->ini = [](int blk, int vs, int es, int nzs, int* status) {
    kvotest::toy_ini(blk, vs, es, nzs, status);
    *status = 3;
  };
  t->invoke = [](int blk, const char* name, EBSContext*, int, const value_t*) {
    seen.name = name;
    seen.eo_state = kvoblk_inq_eo_state(blk);
    seen.first_group = kvoeqnlst_vec_group(blk_inq_matrix_eqnlst(blk))[50];
    return 0;
  };
  int st = 0;
  kvoblk_ini(b, 101, 51, 301, &st);
  EXPECT_EQ(st, 3);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 1);
  // The script runs last, on a block already in form and grouped.
  EXPECT_EQ(seen.name, "INIT");
  EXPECT_EQ(seen.eo_state, 1);
  EXPECT_EQ(seen.first_group, 1051);
}

TEST_F(Placement, RemovalEndsPlacementWhateverTheRoutineSaysUnlessTheSlotIsEmpty) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  kvoblk_inq_ops(b)->de_ini = nullptr;
  kvoblk_de_ini(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 1);
  EXPECT_EQ(his(), "!! kvoblk_de_ini: Attempt to call an undefined function\n");
  kvoblk_inq_ops(b)->de_ini = [](int, int* status) { *status = 4; };
  kvoblk_de_ini(b, &st);
  EXPECT_EQ(st, 4);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 0);
  // Without a container the base removal leaves the ranges as they are.
  int lone = kvoblk_base_create(0);
  kvoblk_set_vstart(lone, 5);
  kvoblk_base_de_ini(lone, &st);
  EXPECT_EQ(kvoblk_inq_vstart(lone), 5);
  kvoblk_destroy(lone);
}

TEST_F(Placement, MoveShiftsOnlyWhatIsAskedAndTellsPortsOfVariableMoves) {
  int st = 0;
  kvoblk_ini(b, 101, 51, 301, &st);
  auto* port = new kvoref::Port("IN", {101, 102});
  kvoblk_add_port(b, port);
  kvoblk_move(b, 0, 5, 0);
  EXPECT_EQ(kvoblk_inq_estart(b), 56);
  EXPECT_EQ(kvoblk_inq_estop(b), 63);
  EXPECT_EQ(kvoblk_inq_vstart(b), 101);
  EXPECT_EQ(port->shift_calls, 0);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, 301), 56);
  kvoblk_move(b, 10, 0, 20);
  EXPECT_EQ(kvoblk_inq_vstart(b), 111);
  EXPECT_EQ(kvoblk_inq_nzstart(b), 321);
  EXPECT_EQ(port->shift_calls, 1);
  EXPECT_EQ(port->var(0), 111);
  EXPECT_EQ(kvojac_inq_nz_varnum(lists.jac, 321), 111);
  char name[129];
  kvovarlst_inq_var_name(lists.varlst, 111, name);
  EXPECT_STREQ(name, "X1");
}

TEST_F(Placement, MoveThatTakesAPositionPastTheLargestIntIsRefusedWhole) {
  int st = 0;
  kvoblk_ini(b, 101, 51, 301, &st);
  his();
  kvoblk_move(b, 0, 0, 2147483647 - 320);  // the last non-zero, 330, would pass it
  kvoblk_move(b, 2147483647 - 105, 0, 0);  // the first variable would fit, the last not
  EXPECT_EQ(his(),
            "!! kvoblk_base_move: Block R1 cannot be moved by 0, 0, 2147483327: its positions "
            "would not fit\n"
            "!! kvoblk_base_move: Block R1 cannot be moved by 2147483542, 0, 0: its positions "
            "would not fit\n");
  EXPECT_EQ(kvoblk_inq_nzstart(b), 301);
  EXPECT_EQ(kvoblk_inq_vstart(b), 101);
  EXPECT_EQ(kvojac_inq_nz_varnum(lists.jac, 301), 101);
}

// A negative shift may take a block to the first position but not before it: the lists have no
// position there, and a block recorded there would be evaluated and removed at positions that
// hold none of its items. An empty range names no position and goes along.
TEST_F(Placement, MoveBeforeTheFirstPositionIsRefusedWhole) {
  int st = 0;
  kvoblk_ini(b, 101, 51, 301, &st);
  his();
  kvoblk_move(b, -100, -51, 0);
  EXPECT_EQ(his(),
            "!! kvoblk_base_move: Block R1 cannot be moved by -100, -51, 0: its positions "
            "would not fit\n");
  EXPECT_EQ(kvoblk_inq_vstart(b), 101);
  EXPECT_EQ(kvoblk_inq_estart(b), 51);
  EXPECT_EQ(kvoref::eqn_included(lists.eqnlst, 51), 1);
  kvoblk_move(b, -100, -50, -300);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(kvoblk_inq_vstart(b), 1);
  EXPECT_EQ(kvoblk_inq_estop(b), 8);
  EXPECT_EQ(kvoblk_inq_nzstart(b), 1);
  EXPECT_EQ(kvojac_inq_nz_varnum(lists.jac, 1), 1);
  kvoblk_set_nzstop(b, 0);  // no non-zeros
  kvoblk_move(b, 0, 0, -5);
  EXPECT_EQ(kvoblk_inq_nzstart(b), -4);
  EXPECT_EQ(his(), "");
}

// A block whose placement was refused for a missing start holds nothing at its recorded
// positions (as its removal takes it): a move shifts its words as asked instead of refusing them.
TEST_F(Placement, MoveOfARefusedPlacementShiftsItsWords) {
  int st = 0;
  kvoblk_ini(b, 0, 51, 301, &st);
  ASSERT_EQ(st, 1);
  kvoblk_move(b, 0, 5, -1);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(kvoblk_inq_vstart(b), 0);
  EXPECT_EQ(kvoblk_inq_estart(b), 56);
  EXPECT_EQ(kvoblk_inq_nzstart(b), 300);
}

TEST_F(Placement, RemovalReleasesRangesAndPortVariables) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  auto* port = new kvoref::Port("IN", {1, 2, 3});
  kvoblk_add_port(b, port);
  kvoblk_de_ini(b, &st);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 0);
  EXPECT_EQ(kvoblk_inq_vstart(b), 1);
  EXPECT_EQ(kvoblk_inq_vstop(b), 0);
  EXPECT_EQ(kvoblk_inq_nzstop(b), 0);
  EXPECT_EQ(port->vars(), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(err(), "");
  kvoblk_de_ini(b, &st);  // not placed any more
  EXPECT_NE(err().find("kvoblk_de_ini: trying to de_ini a non-eo_form block"), std::string::npos);
  kvoblk_base_de_ini(0, &st);
}

// A block whose variable range is empty gives up no variable, not even the one at its start,
// and still ends with all three ranges reset and its equations removed.
TEST_F(Placement, RemovalOfABlockWithoutVariablesRemovesOnlyItsEquations) {
  int st = 0;
  kvoblk_ini(b, 101, 51, 301, &st);
  kvoblk_set_vstop(b, 100);
  kvoblk_base_de_ini(b, &st);
  EXPECT_EQ(st, 0);
  char name[129];
  kvovarlst_inq_var_name(lists.varlst, 101, name);
  EXPECT_STREQ(name, "X1");
  kvoeqnlst_inq_eqn_name(lists.eqnlst, 51, name);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(kvoblk_inq_vstart(b), 1);
  EXPECT_EQ(kvoblk_inq_vstop(b), 0);
  EXPECT_EQ(kvoblk_inq_estart(b), 1);
  EXPECT_EQ(kvoblk_inq_estop(b), 0);
  EXPECT_EQ(kvoblk_inq_nzstart(b), 1);
  EXPECT_EQ(kvoblk_inq_nzstop(b), 0);
  EXPECT_EQ(his(), "");
}

// A port whose clearing destroys its block (and so the port itself).
struct BlockDestroyingPort : kvoref::Port {
  using kvoref::Port::Port;
  int blk = 0;
  static int set_calls;
  void set_var(int position, int variable) override {
    ++set_calls;
    kvoref::Port::set_var(position, variable);
    kvoblk_destroy(blk);
  }
};
int BlockDestroyingPort::set_calls = 0;

TEST_F(Placement, RemovalStopsClearingPortsWhenAPortDestroysTheBlock) {
  int st = 0;
  const int lone = placed_lone();  // destroyed by its port, not by the fixture
  auto* p = new BlockDestroyingPort("IN", {101, 102, 103});
  p->blk = lone;
  kvoblk_add_port(lone, p);
  kvoblk_add_port(lone, new kvoref::Port("OUT", {104}));
  BlockDestroyingPort::set_calls = 0;
  kvoblk_de_ini(lone, &st);
  EXPECT_EQ(BlockDestroyingPort::set_calls, 1);
  EXPECT_EQ(kvoref::Port::destroyed, 2);
  EXPECT_EQ(his(), "");
}

// A port whose first clearing deletes the block's port IN, so that it moves down one entry.
struct NeighbourDeletingPort : kvoref::Port {
  using kvoref::Port::Port;
  int blk = 0;
  void set_var(int position, int variable) override {
    kvoref::Port::set_var(position, variable);
    if (position == 0) kvoblk_delete_port(blk, "IN");
  }
};

TEST_F(Placement, RemovalClearsEveryVariableOfAPortThatMovedToAnotherEntry) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  kvoblk_add_port(b, new kvoref::Port("IN", {1, 2}));
  auto* out = new NeighbourDeletingPort("OUT", {3, 4, 5});
  out->blk = b;
  kvoblk_add_port(b, out);
  kvoblk_de_ini(b, &st);
  ASSERT_EQ(kvoblk_get_port_n(b, 1), out);
  EXPECT_EQ(out->vars(), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(err(), "");
}

TEST_F(Placement, RemovalClearsThePortsAfterOneWhoseClearingDeletedAPortBeforeIt) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  kvoblk_add_port(b, new kvoref::Port("IN", {1, 2}));
  auto* mid = new NeighbourDeletingPort("MID", {3});
  mid->blk = b;
  kvoblk_add_port(b, mid);
  auto* out = new kvoref::Port("OUT", {4, 5});
  kvoblk_add_port(b, out);
  kvoblk_de_ini(b, &st);  // MID moves to entry 1 and OUT to entry 2 while MID is cleared
  ASSERT_EQ(kvoblk_get_port_n(b, 2), out);
  EXPECT_EQ(mid->vars(), (std::vector<int>{0}));
  EXPECT_EQ(out->vars(), (std::vector<int>{0, 0}));
  EXPECT_EQ(err(), "");
}

// Container answers and port code are host code, and the base removal is also called from C and
// Fortran: an exception in an answer ends the removal before anything is removed, one in a
// port's code leaves only that port uncleared; either is reported with status 1, never thrown on.
struct ThrowingClearPort : kvoref::Port {
  using kvoref::Port::Port;
  void set_var(int, int) override { throw std::runtime_error("port"); }
};
struct ThrowingEqnlstContainer : kvoref::Container {
  using kvoref::Container::Container;
  int eqnlst() override { throw 1; }
};

TEST_F(Placement, BaseRemovalReportsHostCodeThatThrowsAndLetsNothingEscape) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  kvoblk_add_port(b, new ThrowingClearPort("IN", {1, 2}));
  auto* out = new kvoref::Port("OUT", {3, 4});
  kvoblk_add_port(b, out);
  EXPECT_NO_THROW(kvoblk_base_de_ini(b, &st));
  EXPECT_EQ(st, 1);
  EXPECT_EQ(kvoblk_inq_vstop(b), 0);
  EXPECT_EQ(out->vars(), (std::vector<int>{0, 0}));
  EXPECT_EQ(his(), "!! kvoblk_base_de_ini: A routine of block R1 ended with an exception\n");

  const int lone = kvoblk_base_create(0);
  kvoblk_set_blkid(lone, "L1");
  ThrowingEqnlstContainer thrower(lists);
  kvoblk_register_container(lone, &thrower);
  kvoblk_set_vstart(lone, 1);
  kvoblk_set_vstop(lone, 4);
  const int nvar = kvovarlst_inq_nvar(lists.varlst);
  EXPECT_NO_THROW(kvoblk_base_de_ini(lone, &st));
  EXPECT_EQ(st, 1);
  EXPECT_EQ(kvovarlst_inq_nvar(lists.varlst), nvar);
  EXPECT_EQ(kvoblk_inq_vstop(lone), 4);
  EXPECT_EQ(his(), "!! kvoblk_base_de_ini: A routine of block L1 ended with an exception\n");
  kvoblk_destroy(lone);
}

// What a port's code did when it replaced its block: destroyed it (and with it the port) and
// made another, which the reference workspace puts at the same handle, with a port of its own
// at entry `first_ports + 1`.
struct Replacement {
  int made = 0;
  kvoref::Port* newcomer = nullptr;
  void replace(int old, int first_ports) {
    kvoblk_destroy(old);  // destroys the calling port too
    made = kvoblk_base_create(0);
    for (int i = 0; i < first_ports; ++i)
      kvoblk_add_port(made, new kvoref::Port(("FIRST" + std::to_string(i)).c_str(), {5}));
    newcomer = new kvoref::Port("NEW", {7, 8});
    kvoblk_add_port(made, newcomer);
  }
} replacement;

// A port whose first clearing replaces its block.
struct BlockReplacingPort : kvoref::Port {
  using kvoref::Port::Port;
  int blk = 0;
  void set_var(int position, int variable) override {
    kvoref::Port::set_var(position, variable);
    replacement.replace(blk, 0);
  }
};

TEST_F(Placement, RemovalLeavesTheVariablesOfABlockMadeAtItsHandleWhileClearing) {
  int st = 0;
  const int lone = placed_lone();
  auto* p = new BlockReplacingPort("IN", {101, 102});
  p->blk = lone;
  kvoblk_add_port(lone, p);
  kvoblk_de_ini(lone, &st);
  ASSERT_EQ(replacement.made, lone);  // the scene needs the handle taken again
  EXPECT_EQ(replacement.newcomer->vars(), (std::vector<int>{7, 8}));
  kvoblk_destroy(lone);
  EXPECT_EQ(his(), "");
}

// Ports whose shift deletes a port before them, or replaces their block (destroying it and
// making another at the same handle, with a port of its own).
struct NeighbourDeletingShift : kvoref::Port {
  using kvoref::Port::Port;
  int blk = 0;
  void shift_vars(int offset) override {
    kvoref::Port::shift_vars(offset);
    kvoblk_delete_port(blk, "A");
  }
};
struct BlockReplacingShift : kvoref::Port {
  using kvoref::Port::Port;
  int blk = 0;
  void shift_vars(int offset) override {
    kvoref::Port::shift_vars(offset);
    replacement.replace(blk, 1);
  }
};

TEST_F(Placement, MoveShiftsEachPortOnceAndOnlyTheBlockItBeganOn) {
  int lone = placed_lone();
  auto* d = new NeighbourDeletingShift("D", {101});
  d->blk = lone;
  auto* c = new kvoref::Port("C", {102});
  for (nux_port* q : {static_cast<nux_port*>(new kvoref::Port("A", {101})),
                      static_cast<nux_port*>(d), static_cast<nux_port*>(c)})
    ASSERT_FALSE(kvoblk_add_port(lone, q));
  kvoblk_move(lone, 10, 0, 0);  // D's shift moves C down into D's entry
  EXPECT_EQ(c->vars(), (std::vector<int>{112}));
  EXPECT_EQ(d->vars(), (std::vector<int>{111}));

  kvoblk_destroy(lone);
  lone = kvoblk_base_create(0);
  kvoblk_register_container(lone, cntr);
  auto* r = new BlockReplacingShift("R", {101});
  r->blk = lone;
  ASSERT_FALSE(kvoblk_add_port(lone, r));
  ASSERT_FALSE(kvoblk_add_port(lone, new kvoref::Port("S", {102})));
  kvoblk_move(lone, 10, 0, 0);        // R, the first port, replaces the block
  ASSERT_EQ(replacement.made, lone);  // the scene needs the handle taken again
  EXPECT_EQ(replacement.newcomer->vars(), (std::vector<int>{7, 8}));
  kvoblk_destroy(lone);
  EXPECT_EQ(his(), "");
}

TEST_F(Placement, OffsetsComeFromTheContainerOnceStartsAreKnown) {
  EXPECT_EQ(kvoblk_global_var_offset(b), 11);
  EXPECT_EQ(kvoblk_global_eqn_offset(b), 22);
  EXPECT_EQ(kvoblk_global_jac_offset(b), 33);
  kvoblk_set_nzstart(b, 0);
  EXPECT_EQ(kvoblk_global_jac_offset(b), -1);
  int st = 0;
  kvoblk_ini(b, -1, 1, 1, &st);  // refused: a negative start counts as missing
  EXPECT_EQ(kvoblk_global_var_offset(b), -1);
  EXPECT_EQ(kvoblk_global_var_offset(0), -1);
  blk_set_matrix_precedence(b, 4);
  EXPECT_EQ(kvoblk_inq_matrix_precedence(b), 4);
  EXPECT_EQ(his(), "");
  // A destroyed block's handle is reported like any other bad handle.
  const int gone = kvoblk_base_create(0);
  kvoblk_destroy(gone);
  EXPECT_EQ(kvoblk_global_eqn_offset(gone), -1);
  EXPECT_EQ(his(),
            "!! kvoblk_global_eqn_offset: Invalid block handle " + std::to_string(gone) + "\n");
}

class SolveCycle : public Placement {};

TEST_F(SolveCycle, PostSolveWithoutPreSolveAssertsTwiceAndStillRuns) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  kvoblk_inq_ops(b)->post_solve = model_post;
  kvoblk_post_solve(b, &st);
  EXPECT_EQ(calls.post, 1);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 1);
  std::string e = err();
  EXPECT_NE(e.find("'kvoblk_post_solve: trying to post_solve a non-solving block'"),
            std::string::npos);
  EXPECT_NE(e.find("'kvoblk_post_solve: block is not being solved'"), std::string::npos);
}

TEST_F(SolveCycle, PreSolveMarksSolvingWhateverTheRoutineSays) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  kvoblk_inq_ops(b)->pre_solve = model_failing;
  kvoblk_pre_solve(b, &st);
  EXPECT_EQ(st, 7);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 2);
  EXPECT_EQ(wordof(b, W::being_solved), 1);
  EXPECT_EQ(err(), "");
  kvoblk_pre_solve(b, &st);
  EXPECT_NE(err().find("kvoblk_pre_solve"), std::string::npos);
  kvoblk_inq_ops(b)->pre_solve = nullptr;
  kvoblk_inq_ops(b)->post_solve = nullptr;
  kvoblk_post_solve(b, &st);
  EXPECT_EQ(his(), "!! kvoblk_post_solve: Attempt to call an undefined function\n");
  EXPECT_EQ(kvoblk_inq_eo_state(b), 2);
  EXPECT_EQ(wordof(b, W::being_solved), 0);
}

TEST_F(SolveCycle, EmptyPreSolveSlotKeepsTheFormButMarksTheBlockSolved) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  kvoblk_inq_ops(b)->pre_solve = nullptr;
  st = 5;
  kvoblk_pre_solve(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(his(), "!! kvoblk_pre_solve: Attempt to call an undefined function\n");
  EXPECT_EQ(kvoblk_inq_eo_state(b), 1);
  EXPECT_EQ(wordof(b, W::being_solved), 1);
  EXPECT_EQ(err(), "");
}

TEST_F(SolveCycle, GroupResidualAcceptsOnlyTheBlocksGroup) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  kvoblk_group_res(b, 1001, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(toy.res_calls, 1);
  kvoblk_group_res(b, 1002, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(toy.res_calls, 1);
  EXPECT_EQ(his(),
            "!! kvoblk_base_group_res: Illegal equation group 1002 specified in block R1, 1001 "
            "expected\n");
}

TEST_F(SolveCycle, GroupSelfJacobianServesEveryGroupOfTheBlock) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  for (int g : {0, 1001, 1008}) {
    kvoblk_group_selfjac(b, g, &st);
    EXPECT_EQ(st, 0) << g;
  }
  EXPECT_EQ(toy.selfjac_calls, 3);
  kvoblk_group_selfjac(b, 1009, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(his(),
            "!! kvoblk_group_selfjac: Illegal equation group 1009 specified in block R1, (valid "
            "range is 1001 to 1008)\n");
}

namespace {
// Routines that destroy their block and make another, which the workspace puts at the same
// handle; the newcomer counts its scripts.
int newcomer = 0, newcomer_scripts = 0;
void replace_block(int blk, int* = nullptr) {
  kvoblk_destroy(blk);
  newcomer = kvoblk_base_create(0);
  kvoblk_inq_ops(newcomer)->invoke = [](int, const char*, EBSContext*, int, const value_t*) {
    return ++newcomer_scripts, 0;
  };
}
}  // namespace

// The steps after a routine belong to the block it ran for: a block made meanwhile at its handle
// is neither placed nor given the INIT script, nor marked solving or in form.
TEST_F(SolveCycle, StepsAfterARoutineThatReplacedItsBlockLeaveTheNewBlockAlone) {
  int st = 0;
  kvoblk_inq_ops(b)->ini = [](int blk, int, int, int, int*) { replace_block(blk); };
  kvoblk_ini(b, 1, 1, 1, &st);
  ASSERT_EQ(newcomer, b);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 0);
  EXPECT_EQ(newcomer_scripts, 0);
  for (int solving : {0, 1}) {
    // In form (or solving), replaced by the bracket that moves it on.
    wordof(b, W::eo_state) = 1 + solving;
    wordof(b, W::being_solved) = solving;
    kvoblk_inq_ops(b)->pre_solve = kvoblk_inq_ops(b)->post_solve = replace_block;
    solving ? kvoblk_post_solve(b, &st) : kvoblk_pre_solve(b, &st);
    EXPECT_EQ(kvoblk_inq_eo_state(b), 0) << solving;
  }
  EXPECT_EQ(his() + err(), "");
}

// An exception is a failure like any other: placement, removal and the solve brackets still
// move the block's state, so that the call that closes each finds the block where it expects.
TEST_F(SolveCycle, RoutinesEndedByAnExceptionStillMoveTheState) {
  int st = 0;
  kvoblk_ops_t* t = kvoblk_inq_ops(b);
  t->ini = [](int, int, int, int, int*) { throw 1; };
  kvoblk_ini(b, 1, 1, 1, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 1);
  t->pre_solve = t->post_solve = t->de_ini = [](int, int*) { throw 1; };
  kvoblk_pre_solve(b, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 2);
  kvoblk_post_solve(b, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 1);
  EXPECT_EQ(wordof(b, W::being_solved), 0);
  kvoblk_de_ini(b, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 0);
  EXPECT_EQ(err(), "");
  EXPECT_EQ(his(),
            "!! kvoblk_ini: A routine of block R1 ended with an exception\n"
            "!! kvoblk_pre_solve: A routine of block R1 ended with an exception\n"
            "!! kvoblk_post_solve: A routine of block R1 ended with an exception\n"
            "!! kvoblk_de_ini: A routine of block R1 ended with an exception\n");
}

class Inclusion : public Placement {};

TEST_F(Inclusion, ExclusionSwitchesEquationsAndVariablesWithOneCallPerManager) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  kvoref::ConnMgr m1, m2;
  for (int v = 1; v <= 10; ++v) kvoref::set_var_connmgr(lists.varlst, v, v <= 6 ? &m1 : &m2);
  kvoblk_set_included(b, 0);
  EXPECT_EQ(kvoblk_inq_included(b), 0);
  EXPECT_EQ(m1.log, "DA");
  EXPECT_EQ(m2.log, "DA");
  for (int e = 1; e <= 8; ++e) EXPECT_EQ(kvoref::eqn_included(lists.eqnlst, e), 0) << e;
  for (int v = 1; v <= 10; ++v)
    EXPECT_NE(kvovarlst_inq_var_status(lists.varlst, v) & kvoref::VAR_EXCLUDED, 0) << v;
  kvoblk_set_included(b, 0);
  EXPECT_EQ(m1.log, "DA");
  kvoblk_set_included(b, 7);
  EXPECT_EQ(kvoblk_inq_included(b), 1);
  EXPECT_EQ(m1.log, "DADA");
  EXPECT_EQ(kvoref::eqn_included(lists.eqnlst, 8), 1);
  EXPECT_EQ(kvovarlst_inq_var_status(lists.varlst, 10) & kvoref::VAR_EXCLUDED, 0);
}

// Range words a model set past the lists' ends: only the positions the lists hold are visited.
TEST_F(Inclusion, RangesPastTheListsEndsVisitOnlyWhatTheListsHold) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  kvoref::ConnMgr m1;
  kvoref::set_var_connmgr(lists.varlst, 10, &m1);
  kvoblk_set_vstop(b, 2147483647);
  kvoblk_set_estop(b, 2147483647);
  kvoblk_set_included(b, 0);
  EXPECT_EQ(m1.log, "DA");
  EXPECT_EQ(kvoref::eqn_included(lists.eqnlst, 8), 0);
  kvoblk_set_vstop(b, 10);
  kvoblk_set_estop(b, 8);
}

namespace {
kvoref::ConnMgr* placed_mgr = nullptr;
// The toy's placement with every fresh variable under `placed_mgr`.
void ini_with_manager(int blk, int vs, int es, int nzs, int* status) {
  kvotest::toy_ini(blk, vs, es, nzs, status);
  for (int v = vs; v < vs + 10; ++v)
    kvoref::set_var_connmgr(blk_inq_matrix_varlst(blk), v, placed_mgr);
}
}  // namespace

// An excluded block that is removed and placed again stays excluded, its fresh equations and
// variables with it, and an inclusion brings them back.
TEST_F(Inclusion, ExcludedBlockPlacedAgainKeepsItsNewItemsOutOfTheSolve) {
  kvoref::ConnMgr m;
  placed_mgr = &m;
  kvoblk_inq_ops(b)->ini = ini_with_manager;
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  kvoblk_set_included(b, 0);
  kvoblk_de_ini(b, &st);
  kvoblk_ini(b, 21, 11, 31, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(kvoblk_inq_included(b), 0);
  EXPECT_EQ(m.log, "DADA");
  for (int e = 11; e <= 18; ++e) EXPECT_EQ(kvoref::eqn_included(lists.eqnlst, e), 0) << e;
  for (int v = 21; v <= 30; ++v)
    EXPECT_NE(kvovarlst_inq_var_status(lists.varlst, v) & kvoref::VAR_EXCLUDED, 0) << v;
  kvoblk_set_included(b, 1);
  EXPECT_EQ(m.log, "DADADA");
  for (int e = 11; e <= 18; ++e) EXPECT_EQ(kvoref::eqn_included(lists.eqnlst, e), 1) << e;
  for (int v = 21; v <= 30; ++v)
    EXPECT_EQ(kvovarlst_inq_var_status(lists.varlst, v) & kvoref::VAR_EXCLUDED, 0) << v;
  placed_mgr = nullptr;
}

// Connection managers that throw, or replace the block (destroying it and making another at
// its handle), when they are deactivated.
struct ThrowingMgr : kvoref::ConnMgr {
  void deactivate() override { throw std::runtime_error("no room"); }
};
struct ReplacingMgr : kvoref::ConnMgr {
  int blk = 0;
  void deactivate() override {
    kvoref::ConnMgr::deactivate();
    if (blk != 0) replacement.replace(blk, 0);
    blk = 0;
  }
};

TEST_F(Inclusion, ManagerThatThrowsWhileAnExcludedBlockIsPlacedEndsThePlacementWithStatus) {
  ThrowingMgr m;
  placed_mgr = &m;
  kvoblk_inq_ops(b)->ini = ini_with_manager;
  kvoblk_set_included(b, 0);
  int st = 0;
  EXPECT_NO_THROW(kvoblk_ini(b, 1, 1, 1, &st));
  EXPECT_EQ(st, 1);
  EXPECT_EQ(his(), "!! kvoblk_ini: A routine of block R1 ended with an exception\n");
  placed_mgr = nullptr;
}

// A manager whose deactivation throws: the switch is not made, and a manager deactivated
// before it gets its activation back rather than staying switched off.
TEST_F(Inclusion, ManagerThatThrowsLeavesNoOtherManagerDeactivated) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  struct {
    kvoref::ConnMgr ok;
    ThrowingMgr bad;
  } m;
  // The managers are called in the order of their addresses: the one that throws comes second.
  ASSERT_LT(static_cast<kvo_connmgr*>(&m.ok), static_cast<kvo_connmgr*>(&m.bad));
  for (int v = 1; v <= 10; ++v)
    kvoref::set_var_connmgr(lists.varlst, v, v <= 6 ? static_cast<kvo_connmgr*>(&m.ok) : &m.bad);
  EXPECT_NO_THROW(kvoblk_set_included(b, 0));
  EXPECT_EQ(m.ok.log, "DA");
  EXPECT_EQ(kvoblk_inq_included(b), 1);
  EXPECT_EQ(kvoref::eqn_included(lists.eqnlst, 1), 1);
  EXPECT_EQ(kvovarlst_inq_var_status(lists.varlst, 1) & kvoref::VAR_EXCLUDED, 0);
  EXPECT_EQ(his(), "!! kvoblk_set_included: A routine of block R1 ended with an exception\n");
}

TEST_F(Inclusion, ManagerThatReplacesTheBlockLeavesTheNewBlockIncludedAndGetsItsActivation) {
  const int lone = placed_lone();
  ReplacingMgr m;
  m.blk = lone;
  for (int v = 101; v <= 110; ++v) kvoref::set_var_connmgr(lists.varlst, v, &m);
  kvoblk_set_included(lone, 0);
  ASSERT_EQ(replacement.made, lone);  // the scene needs the handle taken again
  EXPECT_EQ(kvoblk_inq_included(lone), 1);
  EXPECT_EQ(m.log, "DA");
  EXPECT_EQ(his(), "");
  kvoblk_destroy(lone);
}

// A container whose list answer replaces the block once asked: a removal or an exclusion then
// leaves the block made at the handle with its ports' variables and its inclusion.
struct ReplacingContainer : kvoref::Container {
  using kvoref::Container::Container;
  int blk = 0;
  int varlst() override {
    if (blk != 0) replacement.replace(std::exchange(blk, 0), 0);
    return kvoref::Container::varlst();
  }
};

TEST_F(Inclusion, ContainerThatReplacesTheBlockLeavesTheNewBlockAlone) {
  ReplacingContainer replacing(lists);
  for (bool removal : {true, false}) {
    const int lone = kvoblk_base_create(0);
    kvoblk_inq_ops(lone)->ini = kvotest::toy_ini;
    kvoblk_register_container(lone, &replacing);
    int st = 0;
    kvoblk_ini(lone, 101, 51, 301, &st);
    replacing.blk = lone;
    if (removal)
      kvoblk_de_ini(lone, &st);
    else
      kvoblk_set_included(lone, 0);
    ASSERT_EQ(replacement.made, lone);  // the scene needs the handle taken again
    EXPECT_EQ(replacement.newcomer->vars(), (std::vector<int>{7, 8})) << removal;
    EXPECT_EQ(kvoblk_inq_included(lone), 1) << removal;
    kvoblk_destroy(lone);
  }
  EXPECT_EQ(his(), "");
}

TEST_F(Inclusion, WithoutContainerNothingChanges) {
  int lone = kvoblk_base_create(0);
  kvoblk_set_included(lone, 0);
  EXPECT_EQ(kvoblk_inq_included(lone), 1);
  kvoblk_destroy(lone);
}

TEST_F(SolveCycle, GroupingMadeForAnotherPlacementIsNotUsed) {
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);
  kvoblk_set_deriv_type(b, KVOBLK_NUMERIC);
  kvoblk_pre_solve(b, &st);
  ASSERT_EQ(st, 0);
  // The block now holds 10 of its 30 non-zeros: the grouping of 30 must not be handed 10.
  kvoblk_set_nzstop(b, 10);
  kvoblk_jac(b, &st);
  EXPECT_EQ(st, 0);
  kvoblk_post_solve(b, &st);
  EXPECT_EQ(wordof(b, W::vgrp), 0);
}

// A placement or removal whose model routine replaces the block (destroying it and making
// another at its handle) ends there: the new block is neither marked unplaced nor placed.
TEST_F(Placement, ARoutineThatReplacesItsBlockLeavesTheNewBlocksStateAlone) {
  const int lone = placed_lone();
  kvoblk_inq_ops(lone)->de_ini = [](int blk, int*) {
    replacement.replace(blk, 0);
    wordof(replacement.made, W::eo_state) = 1;
  };
  int st = 0;
  kvoblk_de_ini(lone, &st);
  ASSERT_EQ(replacement.made, lone);  // the scene needs the handle taken again
  EXPECT_EQ(kvoblk_inq_eo_state(lone), 1);
  wordof(lone, W::eo_state) = 0;
  kvoblk_inq_ops(lone)->ini = [](int blk, int, int, int, int*) { replacement.replace(blk, 0); };
  kvoblk_ini(lone, 101, 51, 301, &st);
  ASSERT_EQ(replacement.made, lone);
  EXPECT_EQ(kvoblk_inq_eo_state(lone), 0);
  EXPECT_EQ(err(), "");
  kvoblk_destroy(lone);
}

// A routine that replaces its block and then throws: the message does not name the newcomer,
// whose routine it was not.
TEST_F(Placement, ARoutineThatReplacesItsBlockAndThrowsIsNotReportedUnderTheNewcomer) {
  const int lone = placed_lone();
  kvoblk_inq_ops(lone)->de_ini = [](int blk, int*) {
    replacement.replace(blk, 0);
    kvoblk_set_blkid(replacement.made, "NEW");
    throw 1;
  };
  int st = 0;
  kvoblk_de_ini(lone, &st);
  ASSERT_EQ(replacement.made, lone);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(his(), "!! kvoblk_de_ini: A routine of block  ended with an exception\n");
  kvoblk_destroy(lone);
}
