// SPDX-License-Identifier: BSD-3-Clause
// The framework block class: the record's framework object, wrapper references through copies,
// port positions, container registration, connections, removal from the matrix and Destroy.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <kvoblk/kvoblock.h>
#include "toy_model.h"

namespace W = kvoblk_word;

namespace {

int32_t& wordof(int b, int k) { return ib0[b + k]; }

// A wrapper that counts its references and remembers whether the count ever fell to 0, which
// for a real wrapper means it has deleted itself.
class CountingWrapper : public ITUVWrapper {
 public:
  long query_interface(const void*, void**) override { return -1; }
  unsigned long add_ref() override { return static_cast<unsigned long>(++refs); }
  unsigned long release() override {
    if (--refs == 0) fell_to_zero = true;
    return static_cast<unsigned long>(refs);
  }
  ~CountingWrapper() override = default;
  int refs = 0;
  bool fell_to_zero = false;
};

// A class derived the way a model derives its own: it reaches the protected members and can
// narrow the block's range and watch the structural-edit notices.
class ModelBlock : public KVOBlock {
 public:
  using KVOBlock::KVOBlock;
  using KVOBlock::set_num_eqn;
  using KVOBlock::set_num_nz;
  using KVOBlock::set_num_var;
  using KVOBlock::tuvwrappercntr_getWrapper;
  using KVOBlock::tuvwrappercntr_setWrapper;

  int num_var() const override {
    ++range_asked;
    return narrowed_nvar >= 0 ? narrowed_nvar : KVOBlock::num_var();
  }
  mutable int64_t range_asked = 0;
  int narrowed_nvar = -1;
  int vstart() const override { return shifted_vstart != 0 ? shifted_vstart : KVOBlock::vstart(); }
  int shifted_vstart = 0;

  std::vector<std::string> notices;

 protected:
  void notifyPreStructuralEdit(int dv, int de, int dnz) override {
    notices.push_back("pre " + std::to_string(dv) + " " + std::to_string(de) + " " +
                      std::to_string(dnz));
    KVOBlock::notifyPreStructuralEdit(dv, de, dnz);
  }
  void notifyPostStructuralEdit(int dv, int de, int dnz) override {
    notices.push_back("post " + std::to_string(dv) + " " + std::to_string(de) + " " +
                      std::to_string(dnz));
    KVOBlock::notifyPostStructuralEdit(dv, de, dnz);
  }
};

// The toy at 10 variables, 8 equations and 30 non-zeros. Its de_ini routine records what the
// container had been told when it ran.
kvoref::Container* the_container = nullptr;
struct Seen {
  int de_ini = 0;
  size_t edits_at_de_ini = 0;
  int destroy = 0;
} seen;

void model_de_ini(int b, int* status) {
  ++seen.de_ini;
  seen.edits_at_de_ini = the_container ? the_container->edits.size() : 0;
  kvoblk_base_de_ini(b, status);
}
void model_destroy(int b) {
  ++seen.destroy;
  kvoblk_base_destroy(b);
}
// A de_ini routine that ends its own block.
void destroying_de_ini(int b, int* status) {
  kvoblk_destroy(b);
  *status = 0;
}

}  // namespace

class FrameworkBlock : public kvotest::PlacedBlockTest {
 protected:
  FrameworkBlock() { list_capacity = 400; }
  void SetUp() override {
    PlacedBlockTest::SetUp();
    seen = Seen();
    kvotest::toy.cyclic(10, 8, 30);
    the_container = cntr;
    b = make_block("R1", true);
    kvoblk_ops_t* t = kvoblk_inq_ops(b);
    t->ini = kvotest::toy_ini;
    t->de_ini = model_de_ini;
    t->destroy = model_destroy;
  }
  void TearDown() override {
    the_container = nullptr;
    PlacedBlockTest::TearDown();
  }
  // The framework object the block record names, as the block hands it to the host.
  NUXEOBlock* named_object() {
    nux_blk_t info{};
    kvoblk_inq_attr(b, &info);
    return info.block;
  }
  void place() { ASSERT_TRUE(place_block(b, 101, 51, 301)); }
  int b = 0;
};

// ---- The record's framework object ------------------------------------------------------------

TEST_F(FrameworkBlock, HandleObjectIsNamedInRecordUntilDeleted) {
  KVOBlock* o = create_KVOBlock(b);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->get_blkptr(), b);
  EXPECT_EQ(named_object(), static_cast<NUXEOBlock*>(o));
  delete o;
  // The block outlives the object and no longer names it.
  EXPECT_EQ(named_object(), nullptr);
  EXPECT_EQ(wordof(b, W::block_object), 0);
  EXPECT_STREQ(kvoblk_blkid(b), "R1");
  EXPECT_EQ(his(), "");
}

TEST_F(FrameworkBlock, NewObjectForSameBlockTakesOverAndOldOneLeavesItAlone) {
  auto* first = new KVOBlock(b);
  int32_t first_number = wordof(b, W::block_object);
  auto* second = new KVOBlock(b);
  EXPECT_EQ(named_object(), static_cast<NUXEOBlock*>(second));
  EXPECT_NE(wordof(b, W::block_object), first_number);
  // A copy refers to the block but does not become its framework object.
  KVOBlock copy(*second);
  EXPECT_EQ(copy.get_blkptr(), b);
  EXPECT_EQ(named_object(), static_cast<NUXEOBlock*>(second));
  delete first;
  EXPECT_EQ(named_object(), static_cast<NUXEOBlock*>(second));
  // The first object's number was released: the next object gets it back.
  auto* third = new KVOBlock(b);
  EXPECT_EQ(wordof(b, W::block_object), first_number);
  delete second;
  EXPECT_EQ(named_object(), static_cast<NUXEOBlock*>(third));
  delete third;
  EXPECT_EQ(named_object(), nullptr);
}

TEST_F(FrameworkBlock, AssignedObjectLeavesItsOldBlockNamingNoObject) {
  int other = kvoblk_base_create_1(0);
  kvoblk_register_container(other, cntr);
  KVOBlock x(b);
  auto* y = new KVOBlock(other);
  *y = x;
  EXPECT_EQ(y->get_blkptr(), b);
  EXPECT_EQ(wordof(other, W::block_object), 0);
  delete y;
  // The old block's next notice hands the container no object, not a deleted one.
  kvoblk_notifyPreStructuralEdit(other, 1, 0, 0);
  ASSERT_EQ(cntr->edits.size(), 1u);
  EXPECT_EQ(cntr->edits[0].block, nullptr);
  EXPECT_EQ(named_object(), static_cast<NUXEOBlock*>(&x));
  // Assigning another object of the same block keeps the block's name of it.
  KVOBlock z(b);
  z = x;
  EXPECT_EQ(named_object(), static_cast<NUXEOBlock*>(&z));
  kvoblk_destroy(other);
  EXPECT_EQ(his(), "");
}

TEST_F(FrameworkBlock, ObjectForBadHandleIsRefusedWithoutTouchingWorkspace) {
  int words = kvoref::workspace_words();
  KVOBlock o(987654);
  EXPECT_EQ(his(), "!! KVOBlock::KVOBlock: Invalid block handle 987654\n");
  EXPECT_EQ(o.num_var(), 0);
  EXPECT_EQ(his(), "!! KVOBlock::num_var: Invalid block handle 987654\n");
  // A count setter reports the bad handle once, under its own name.
  ModelBlock m(987654);
  his();
  m.set_num_var(3);
  EXPECT_EQ(his(), "!! KVOBlock::set_num_var: Invalid block handle 987654\n");
  EXPECT_EQ(kvoref::workspace_words(), words);
}

TEST_F(FrameworkBlock, FactoryAnswersNullWhenMemoryRunsOut) {
  kvotest::fail_nothrow_new_after(1);
  EXPECT_EQ(create_KVOBlock(b), nullptr);
  EXPECT_EQ(named_object(), nullptr);
}

TEST_F(FrameworkBlock, NameConstructorCreatesBlockThatAdoptsTheName) {
  char* name = static_cast<char*>(std::malloc(3));
  std::memcpy(name, "R7", 3);
  auto* o = new KVOBlock(name, 40);
  int blk = o->get_blkptr();
  ASSERT_NE(blk, 0);
  EXPECT_GE(kvoref::block_words(blk), 40);
  EXPECT_EQ(o->name(), name);  // adopted, not copied
  EXPECT_TRUE(o->isof_type("KVOBLK"));
  nux_blk_t info{};
  o->inq_attr(info);
  EXPECT_EQ(info.block, static_cast<NUXEOBlock*>(o));
  // set_name adopts a new text and releases the old one (the sanitizer run checks both).
  char* renamed = static_cast<char*>(std::malloc(3));
  std::memcpy(renamed, "R8", 3);
  o->set_name(renamed);
  EXPECT_STREQ(o->name(), "R8");
  o->set_name(const_cast<char*>(o->name()));  // its own id: kept, neither freed nor lost
  EXPECT_STREQ(o->name(), "R8");
  int blocks = kvoref::live_blocks();
  o->Destroy();
  EXPECT_EQ(kvoref::live_blocks(), blocks - 1);
  EXPECT_EQ(his(), "");
}

TEST_F(FrameworkBlock, NameConstructorWithoutBlockFreesTheNameAndStoresNothing) {
  int blocks = kvoref::live_blocks();
  kvoref::fail_imalloc_after(1);
  KVOBlock failed(strdup("R9"), 40);
  EXPECT_EQ(failed.get_blkptr(), 0);
  // A length beyond the word count would otherwise become a record far smaller than asked.
  KVOBlock huge(strdup("R10"), static_cast<unsigned int>(INT_MAX) + 1u);
  EXPECT_EQ(huge.get_blkptr(), 0);
  EXPECT_EQ(kvoref::live_blocks(), blocks);
  EXPECT_EQ(his(), "");
}

// ---- Wrapper references -----------------------------------------------------------------------

TEST_F(FrameworkBlock, WrapperReferencesStayBalancedThroughCopiesAndAssignment) {
  CountingWrapper w, other;
  {
    ModelBlock a(b);
    a.tuvwrappercntr_setWrapper(&w);
    EXPECT_EQ(w.refs, 1);
    EXPECT_EQ(a.tuvwrappercntr_getWrapper(), &w);
    EXPECT_EQ(w.refs, 1);  // getting adds no reference
    // Setting the same wrapper again never lets it fall to zero in between.
    a.tuvwrappercntr_setWrapper(&w);
    EXPECT_EQ(w.refs, 1);
    EXPECT_FALSE(w.fell_to_zero);
    {
      ModelBlock copy(a);
      EXPECT_EQ(w.refs, 2);
      EXPECT_EQ(copy.tuvwrappercntr_getWrapper(), &w);
      ModelBlock assigned;
      assigned.tuvwrappercntr_setWrapper(&other);
      assigned = a;
      EXPECT_EQ(w.refs, 3);
      EXPECT_EQ(other.refs, 0);
      EXPECT_EQ(assigned.get_blkptr(), b);
      ModelBlock& self = assigned;
      assigned = self;
      EXPECT_EQ(w.refs, 3);
      copy.tuvwrappercntr_setWrapper(nullptr);
      EXPECT_EQ(w.refs, 2);
      EXPECT_EQ(copy.tuvwrappercntr_getWrapper(), nullptr);
    }
    EXPECT_EQ(w.refs, 1);
    EXPECT_FALSE(w.fell_to_zero);
    a.tuvwrappercntr_setWrapper(&other);
    EXPECT_EQ(w.refs, 0);
    EXPECT_EQ(other.refs, 1);
  }
  EXPECT_EQ(other.refs, 0);
}

// ---- Ports ------------------------------------------------------------------------------------

TEST_F(FrameworkBlock, PortIndexGivesPositionOfExactNameOrZero) {
  KVOBlock o(b);
  auto* in = new kvoref::Port("IN");
  o.port_add(in);
  o.port_add(new kvoref::Port("OUT"));
  o.port_add(new kvoref::Port("VENT"));
  ASSERT_EQ(o.port_num(), 3);
  EXPECT_EQ(o.port_index("OUT"), 2);
  EXPECT_EQ(o.port_index("VENT"), 3);
  EXPECT_EQ(o.port_index("out"), 0);
  EXPECT_EQ(o.port_index("OU"), 0);
  EXPECT_EQ(o.port_index("NONE"), 0);
  EXPECT_EQ(o.port_index(nullptr), 0);
  // A port that has lost its name is passed over, not compared.
  in->null_name_ = true;
  EXPECT_EQ(o.port_index("IN"), 0);
  EXPECT_EQ(o.port_index("OUT"), 2);
  // A count stored far past the array (a Fortran model may store any count) is searched only
  // as far as the array.
  kvoblk_ops_t* t = kvoblk_inq_ops(b);
  t->inq_num_ports = [](int) { return INT_MAX; };
  EXPECT_EQ(o.port_index("NONE"), 0);
  EXPECT_EQ(o.port_index("VENT"), 3);
  // So is a derived class's that keeps the library's numbering.
  struct Plain : KVOBlock {
    using KVOBlock::KVOBlock;
  };
  const Plain plain(b);
  EXPECT_EQ(plain.port_index("NONE"), 0);
  EXPECT_EQ(his(), "");
}

// A derived class that numbers ports of its own is searched by its count and its ports, even
// where the block record holds none.
TEST_F(FrameworkBlock, PortIndexFollowsDerivedClassPortNumbering) {
  class OwnPorts : public KVOBlock {
   public:
    using KVOBlock::KVOBlock;
    using KVOBlock::port_get;
    int port_num() const override { return 3; }
    nux_port* port_get(int i) const override { return i >= 1 && i <= 3 ? held[i - 1] : nullptr; }
    nux_port* held[3] = {new kvoref::Port("IN"), new kvoref::Port("OUT"), new kvoref::Port("VENT")};
  };
  OwnPorts o(b);
  ASSERT_EQ(kvoblk_inq_num_ports(b), 0);
  EXPECT_EQ(o.port_index("OUT"), 2);
  EXPECT_EQ(o.port_index("VENT"), 3);
  EXPECT_EQ(o.port_index("vent"), 0);
  // An empty position of its own numbering does not end the search.
  nux_port* out = o.held[1];
  o.held[1] = nullptr;
  EXPECT_EQ(o.port_index("VENT"), 3);
  o.held[1] = out;
  for (nux_port* p : o.held) p->destroy();
  EXPECT_EQ(his(), "");
}

// ---- Containers -------------------------------------------------------------------------------

TEST_F(FrameworkBlock, RegisterContainerRefusesWrongTypeWithTwoPartMessage) {
  KVOBlock o(b);
  cntr->accepts_type = false;
  o.register_container(cntr);
  EXPECT_EQ(his(),
            "!! KVOBlock::register_container: Can not register container: incorrect type!\n");
  EXPECT_EQ(blk_inq_matrix_varlst(b), 0);
  o.register_container(nullptr);
  EXPECT_EQ(his(), "");
  cntr->accepts_type = true;
  o.register_container(cntr);
  EXPECT_EQ(blk_inq_matrix_varlst(b), lists.varlst);
  EXPECT_EQ(his(), "");
}

// ---- Connections ------------------------------------------------------------------------------

TEST_F(FrameworkBlock, EachSharedConnectionManagerIsCalledOnce) {
  place();
  kvoref::ConnMgr five, two;
  // Variables 101..105 share one manager, 108 and 110 another; the rest have none.
  for (int v = 101; v <= 105; ++v) kvoref::set_var_connmgr(lists.varlst, v, &five);
  kvoref::set_var_connmgr(lists.varlst, 108, &two);
  kvoref::set_var_connmgr(lists.varlst, 110, &two);
  KVOBlock o(b);
  o.activate_connections();
  EXPECT_EQ(five.log, "A");
  EXPECT_EQ(two.log, "A");
  o.deactivate_connections();
  EXPECT_EQ(five.log, "AD");
  EXPECT_EQ(two.log, "AD");
  EXPECT_EQ(his(), "");
}

TEST_F(FrameworkBlock, ConnectionsFollowTheDerivedClassRangeAndSkipEmptyBlocks) {
  place();
  kvoref::ConnMgr first, last;
  kvoref::set_var_connmgr(lists.varlst, 101, &first);
  kvoref::set_var_connmgr(lists.varlst, 110, &last);
  ModelBlock o(b);
  o.narrowed_nvar = 5;
  o.activate_connections();
  EXPECT_EQ(first.activations, 1);
  EXPECT_EQ(last.activations, 0);
  o.narrowed_nvar = 0;
  o.deactivate_connections();
  EXPECT_EQ(first.deactivations + last.deactivations, 0);
  // The first position is the derived class's too: 106..110.
  o.shifted_vstart = 106;
  o.narrowed_nvar = 5;
  o.activate_connections();
  EXPECT_EQ(first.activations, 1);
  EXPECT_EQ(last.activations, 1);
}

// Positions below the first hold no variable: a range that starts far below it costs no pass
// per missing position, and the managers inside the list are still called.
TEST_F(FrameworkBlock, ConnectionsFromFarBelowTheListStartAtItsFirstPosition) {
  place();
  kvoref::ConnMgr first, last;
  kvoref::set_var_connmgr(lists.varlst, 1, &first);
  kvoref::set_var_connmgr(lists.varlst, 110, &last);
  ModelBlock o(b);
  o.shifted_vstart = INT_MIN + 200;
  o.narrowed_nvar = INT_MAX;
  o.activate_connections();
  EXPECT_EQ(first.log, "A");
  EXPECT_EQ(last.log, "A");
  EXPECT_LT(o.range_asked, 1000);
  EXPECT_EQ(his(), "");
}

// ---- Removal from the matrix ------------------------------------------------------------------

TEST_F(FrameworkBlock, RemoveFromMatrixNotifiesContainerAroundDeIni) {
  place();
  KVOBlock* o = create_KVOBlock(b);
  o->removeFromMatrix();
  ASSERT_EQ(cntr->edits.size(), 2u);
  const auto& pre = cntr->edits[0];
  const auto& post = cntr->edits[1];
  EXPECT_TRUE(pre.pre);
  EXPECT_FALSE(post.pre);
  for (const auto& e : cntr->edits) {
    EXPECT_EQ(e.block, static_cast<NUXEOBlock*>(o));
    EXPECT_EQ(e.dvar, -10);
    EXPECT_EQ(e.deqn, -8);
    EXPECT_EQ(e.dnz, -30);
  }
  // de_ini ran once, after the pre-edit notice and before the post-edit one.
  EXPECT_EQ(seen.de_ini, 1);
  EXPECT_EQ(seen.edits_at_de_ini, 1u);
  EXPECT_EQ(o->state(), NUXEOBlock::NOT_INITIALISED);
  EXPECT_EQ(o->num_var(), 0);
  delete o;
  EXPECT_EQ(his(), "");
}

TEST_F(FrameworkBlock, RemoveFromMatrixUsesDerivedCountsAndNotices) {
  place();
  ModelBlock o(b);
  o.narrowed_nvar = 3;
  o.removeFromMatrix();
  EXPECT_EQ(o.notices, (std::vector<std::string>{"pre -3 -8 -30", "post -3 -8 -30"}));
  ASSERT_EQ(cntr->edits.size(), 2u);
  EXPECT_EQ(cntr->edits[1].dvar, -3);
}

// A placement refused for a missing start leaves the given starts with stops of 0: the block
// holds nothing, and its removal must not tell the container that the matrix grows.
TEST_F(FrameworkBlock, RemoveFromMatrixOfARefusedPlacementShrinksNothing) {
  kvoblk_register_container(b, cntr);
  int st = 0;
  kvoblk_ini(b, 101, 0, 301, &st);
  ASSERT_EQ(st, 1);
  KVOBlock o(b);
  o.removeFromMatrix();
  ASSERT_EQ(cntr->edits.size(), 2u);
  for (const auto& e : cntr->edits) {
    EXPECT_EQ(e.dvar, 0);
    EXPECT_EQ(e.deqn, 0);
    EXPECT_EQ(e.dnz, 0);
  }
}

// A de_ini routine that destroys its own block: the container that was told the matrix shrinks
// is told again once the block has left, for the same object and counts, and the released
// handle is not called invalid.
TEST_F(FrameworkBlock, RemoveFromMatrixOfABlockItsDeIniDestroysStillEndsTheEdit) {
  place();
  kvoblk_inq_ops(b)->de_ini = destroying_de_ini;
  auto* o = new KVOBlock(b);
  o->removeFromMatrix();
  ASSERT_EQ(cntr->edits.size(), 2u);
  EXPECT_TRUE(cntr->edits[0].pre);
  EXPECT_FALSE(cntr->edits[1].pre);
  EXPECT_EQ(cntr->edits[1].block, cntr->edits[0].block);
  EXPECT_EQ(cntr->edits[1].dvar, -10);
  EXPECT_EQ(cntr->edits[1].deqn, -8);
  EXPECT_EQ(cntr->edits[1].dnz, -30);
  EXPECT_EQ(his(), "");
  delete o;
  b = make_block("R2", true);  // for the fixture's teardown
}

// A derived class that replaces the post-edit notice still has it called when de_ini destroys
// the block, and the base notice it forwards to still reaches the container told of the start.
TEST_F(FrameworkBlock, RemoveFromMatrixCallsTheDerivedPostNoticeWhenDeIniDestroysTheBlock) {
  static int posts = 0;
  struct Counting : KVOBlock {
    using KVOBlock::KVOBlock;
    void notifyPostStructuralEdit(int dvar, int deqn, int dnz) override {
      ++posts;
      KVOBlock::notifyPostStructuralEdit(dvar, deqn, dnz);
    }
  };
  posts = 0;
  place();
  kvoblk_inq_ops(b)->de_ini = destroying_de_ini;
  Counting o(b);
  o.removeFromMatrix();
  EXPECT_EQ(posts, 1);
  ASSERT_EQ(cntr->edits.size(), 2u);
  EXPECT_FALSE(cntr->edits[1].pre);
  EXPECT_EQ(cntr->edits[1].block, static_cast<NUXEOBlock*>(&o));
  EXPECT_EQ(cntr->edits[1].dnz, -30);
  EXPECT_EQ(his(), "");
  b = make_block("R2", true);  // for the fixture's teardown
}

// A pre-edit notice that destroys the block: de_ini is not run on the released handle, and the
// container told the edit began is told it ended.
TEST_F(FrameworkBlock, RemoveFromMatrixWhosePreNoticeDestroysTheBlockRunsNoDeIni) {
  static int de_inis = 0;
  struct Ending : KVOBlock {
    using KVOBlock::KVOBlock;
    void notifyPreStructuralEdit(int dvar, int deqn, int dnz) override {
      KVOBlock::notifyPreStructuralEdit(dvar, deqn, dnz);
      kvoblk_destroy(get_blkptr());
    }
  };
  de_inis = 0;
  place();
  kvoblk_inq_ops(b)->de_ini = [](int, int* status) {
    ++de_inis;
    *status = 0;
  };
  Ending o(b);
  o.removeFromMatrix();
  EXPECT_EQ(de_inis, 0);
  ASSERT_EQ(cntr->edits.size(), 2u);
  EXPECT_FALSE(cntr->edits[1].pre);
  EXPECT_EQ(cntr->edits[1].block, static_cast<NUXEOBlock*>(&o));
  EXPECT_EQ(his(), "");
  b = make_block("R2", true);  // for the fixture's teardown
}

// A de_ini routine that destroys the block, whose destroy routine deletes the object (a model
// that keeps its objects itself), or that makes another block at the released handle while the
// object lives: the edit still ends at the container told it began, for the same object.
TEST_F(FrameworkBlock, RemoveFromMatrixEndsTheEditWhenDeIniEndsTheObjectOrReplacesTheBlock) {
  static KVOBlock* kept = nullptr;
  static kvoref::Container* other = nullptr;  // set: de_ini makes a block registered there
  static int made = 0;
  kvoref::Container elsewhere(lists);
  for (kvoref::Container* replace : {static_cast<kvoref::Container*>(nullptr), &elsewhere}) {
    other = replace;
    cntr->edits.clear();
    kvoblk_ops_t* t = kvoblk_inq_ops(b);
    t->ini = kvotest::toy_ini;
    place();
    t->destroy = [](int blk) {
      if (!other) {
        delete kept;
        kept = nullptr;
      }
      kvoblk_base_destroy(blk);
    };
    t->de_ini = [](int blk, int* status) {
      kvoblk_destroy(blk);
      if (other) kvoblk_register_container(made = kvoblk_base_create_1(0), other);
      *status = 0;
    };
    kept = new KVOBlock(b);
    NUXEOBlock* presented = kept;
    kept->removeFromMatrix();
    ASSERT_EQ(cntr->edits.size(), 2u);
    EXPECT_EQ(cntr->edits[1].block, presented);
    EXPECT_EQ(cntr->edits[1].dvar, -10);
    EXPECT_TRUE(elsewhere.edits.empty());
    EXPECT_EQ(his(), "");
    delete kept;
    blocks.clear();
    if (other) {
      ASSERT_EQ(made, b);  // the scene needs the handle given out again
      kvoblk_destroy(made);
    }
    b = make_block("R2", true);
  }
}

// An object whose block was destroyed meanwhile: each step reports the stale handle once, the
// three counts in their order, then the two notices and the removal between them.
TEST_F(FrameworkBlock, RemoveFromMatrixOfAStaleHandleReportsItOncePerStep) {
  KVOBlock o(b);
  kvoblk_destroy(b);
  blocks.clear();
  o.removeFromMatrix();
  const std::string h = ": Invalid block handle " + std::to_string(b) + "\n";
  EXPECT_EQ(his(), "!! KVOBlock::num_var" + h + "!! KVOBlock::num_eqn" + h + "!! KVOBlock::num_nz" +
                       h + "!! kvoblk_notifyPreStructuralEdit" + h + "!! kvoblk_de_ini" + h +
                       "!! kvoblk_notifyPostStructuralEdit" + h);
  b = make_block("R2", true);
}

// A host that replaces the block's framework object when told the edit begins: the container
// was told the block leaves the matrix, so it leaves, and the edit ends for the object it began
// with. A container whose post-edit notice throws after the block went is reported as the
// exported notice reports it, and nothing reaches the caller.
TEST_F(FrameworkBlock, RemoveFromMatrixEndsWhatItToldTheContainerWhateverTheHostDoes) {
  static KVOBlock* replaced = nullptr;
  struct Replacing : kvoref::Container {
    using kvoref::Container::Container;
    void pre_structural_edit(NUXEOBlock* blk, int dv, int de, int dnz) override {
      kvoref::Container::pre_structural_edit(blk, dv, de, dnz);
      if (!replaced) return;
      const int handle = replaced->get_blkptr();
      delete replaced;
      replaced = create_KVOBlock(handle);
    }
    void post_structural_edit(NUXEOBlock* blk, int dv, int de, int dnz) override {
      kvoref::Container::post_structural_edit(blk, dv, de, dnz);
      if (throws) throw std::runtime_error("post");
    }
    bool throws = false;
  };
  Replacing host(lists);
  kvoref::Container* fixture_cntr = cntr;
  cntr = &host;
  place();
  cntr = fixture_cntr;
  KVOBlock* first = replaced = new KVOBlock(b);
  NUXEOBlock* presented = first;
  first->removeFromMatrix();
  EXPECT_EQ(seen.de_ini, 1);
  EXPECT_EQ(kvoblk_inq_eo_state(b), 0);
  ASSERT_EQ(host.edits.size(), 2u);
  EXPECT_EQ(host.edits[1].block, presented);
  EXPECT_EQ(host.edits[1].dnz, -30);
  EXPECT_EQ(his(), "");
  delete replaced;
  replaced = nullptr;

  host.edits.clear();
  host.throws = true;
  int st = 0;
  kvoblk_ini(b, 101, 51, 301, &st);
  kvoblk_inq_ops(b)->de_ini = destroying_de_ini;
  KVOBlock o(b);
  EXPECT_NO_THROW(o.removeFromMatrix());
  EXPECT_EQ(host.edits.size(), 2u);
  EXPECT_EQ(his(),
            "!! kvoblk_notifyPostStructuralEdit: A routine of block  ended with an exception\n");
  blocks.clear();
  b = make_block("R2", true);
}

TEST_F(FrameworkBlock, RemoveFromMatrixWithoutContainerStillDeInitialisesSilently) {
  place();
  const int32_t registered = wordof(b, W::container);
  wordof(b, W::container) = 0;
  ModelBlock o(b);
  o.removeFromMatrix();
  wordof(b, W::container) = registered;
  EXPECT_EQ(o.notices.size(), 2u);  // made, but no one to receive them
  EXPECT_TRUE(cntr->edits.empty());
  EXPECT_EQ(seen.de_ini, 1);
  EXPECT_EQ(o.state(), NUXEOBlock::NOT_INITIALISED);
  EXPECT_EQ(his(), "");
}

TEST_F(FrameworkBlock, NoticesNeedABlockWithAContainer) {
  kvoblk_notifyPreStructuralEdit(0, 1, 2, 3);
  kvoblk_notifyPostStructuralEdit(0, 1, 2, 3);
  kvoblk_notifyPostStructuralEdit(b, 1, 2, 3);  // no container registered
  EXPECT_EQ(his(), "");
  kvoblk_notifyPostStructuralEdit(424242, 1, 2, 3);
  EXPECT_EQ(his(), "!! kvoblk_notifyPostStructuralEdit: Invalid block handle 424242\n");
  kvoblk_register_container(b, cntr);
  kvoblk_notifyPreStructuralEdit(b, 4, -5, 6);
  ASSERT_EQ(cntr->edits.size(), 1u);
  EXPECT_TRUE(cntr->edits[0].pre);
  EXPECT_EQ(cntr->edits[0].block, nullptr);  // no framework object made for the block
  EXPECT_EQ(cntr->edits[0].dvar, 4);
  EXPECT_EQ(cntr->edits[0].deqn, -5);
  EXPECT_EQ(cntr->edits[0].dnz, 6);
}

// ---- State, counts and forwarding -------------------------------------------------------------

TEST_F(FrameworkBlock, StateFollowsPlacementAndSolve) {
  KVOBlock o(b);
  EXPECT_EQ(o.state(), NUXEOBlock::NOT_INITIALISED);
  EXPECT_EQ(o.num_var(), 0);  // unplaced: first 1, last 0
  place();
  EXPECT_EQ(o.state(), NUXEOBlock::EO_FORM);
  int st = 0;
  o.pre_solve(st);
  EXPECT_EQ(o.state(), NUXEOBlock::SOLVING);
  o.post_solve(st);
  EXPECT_EQ(o.state(), NUXEOBlock::EO_FORM);
  EXPECT_EQ(his(), "");
}

TEST_F(FrameworkBlock, CountSettersMoveTheLastPositions) {
  place();
  ModelBlock o(b);
  o.set_num_var(4);
  o.set_num_eqn(0);
  o.set_num_nz(12);
  EXPECT_EQ(kvoblk_inq_vstop(b), 104);
  EXPECT_EQ(kvoblk_inq_estop(b), 50);
  EXPECT_EQ(kvoblk_inq_nzstop(b), 312);
  EXPECT_EQ(o.num_eqn(), 0);
  EXPECT_EQ(o.num_nz(), 12);
}

// Range words a model set far apart: counts and last positions saturate instead of wrapping,
// the notices carry counts that can be negated (none for a range that ends before it starts or
// starts before the first position), and connections stop at the list's end.
TEST_F(FrameworkBlock, RangesFarApartSaturateAndConnectionsStopAtTheListEnd) {
  place();
  kvoref::ConnMgr last;
  kvoref::set_var_connmgr(lists.varlst, 110, &last);
  ModelBlock o(b);
  kvoblk_set_vstop(b, INT_MAX);
  o.activate_connections();  // positions past the list hold no variable
  EXPECT_EQ(last.activations, 1);
  kvoblk_set_vstart(b, INT_MIN);
  EXPECT_EQ(o.num_var(), INT_MAX);
  kvoblk_set_vstart(b, INT_MAX);
  kvoblk_set_vstop(b, INT_MIN);
  EXPECT_EQ(o.num_var(), INT_MIN);
  o.set_num_eqn(INT_MAX);
  EXPECT_EQ(kvoblk_inq_estop(b), INT_MAX);
  kvoblk_set_nzstart(b, INT_MIN);
  o.set_num_nz(INT_MIN);
  EXPECT_EQ(kvoblk_inq_nzstop(b), INT_MIN);
  o.removeFromMatrix();
  EXPECT_EQ(o.notices[0], "pre 0 -2147483597 0");
}

namespace {
// What the block's routines were handed, in call order.
std::string handed;
}  // namespace

// Operations with several arguments of one type hand them on in their order, and the status a
// routine sets comes back to the caller unchanged.
TEST_F(FrameworkBlock, OperationsHandTheirArgumentsOnInOrder) {
  handed.clear();
  kvoblk_ops_t* t = kvoblk_inq_ops(b);
  t->scope_invoke = [](int, const char* name, int s1, int s2, EBSContext*, int n, const value_t*) {
    handed += std::string(name) + " " + std::to_string(s1) + " " + std::to_string(s2) + " " +
              std::to_string(n) + ";";
    return 6;
  };
  t->move = [](int, int dv, int de, int dnz) {
    handed +=
        "move " + std::to_string(dv) + " " + std::to_string(de) + " " + std::to_string(dnz) + ";";
  };
  t->npat_compare = [](int, double a, double z, int* st) {
    handed += "cmp " + std::to_string(a > z) + ";";
    *st = 3;
  };
  t->group_res = [](int, int group, int* st) { *st = 10 + group; };
  KVOBlock o(b);
  kvoblk_register_container(b, cntr);
  int st = -1;
  o.ini(101, 51, 301, st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(o.vstart(), 101);
  EXPECT_EQ(o.estart(), 51);
  EXPECT_EQ(o.nzstart(), 301);
  EXPECT_EQ(o.method_scope_invoke("RUN", 2, 9, nullptr, 4, nullptr), 6);
  o.move(1, 2, 3);
  o.pat_ncompare(1e-2, 1e-9, st);
  EXPECT_EQ(st, 3);
  o.res(5, st);
  EXPECT_EQ(st, 15);
  EXPECT_EQ(handed, "RUN 2 9 4;move 1 2 3;cmp 1;");
  EXPECT_EQ(his(), "");
}

TEST_F(FrameworkBlock, ObjectWithoutBlockAnswersNothingAndPrintsNothing) {
  KVOBlock o;
  EXPECT_EQ(o.get_blkptr(), 0);
  int st = 0;
  o.pre_solve(st);
  o.report(st);
  EXPECT_EQ(o.state(), NUXEOBlock::NOT_INITIALISED);
  EXPECT_EQ(o.num_var() + o.num_eqn() + o.num_nz() + o.port_num() + o.method_num(), 0);
  EXPECT_EQ(o.name(), nullptr);
  EXPECT_FALSE(o.included());
  EXPECT_FALSE(o.isof_type("KVOBLK"));
  EXPECT_EQ(o.port_index("IN"), 0);
  o.activate_connections();
  o.removeFromMatrix();
  EXPECT_FALSE(o.attr_lookup_ismodified("DIAG_LEVEL"));
  EXPECT_FALSE(o.BlockVariableUpdate(0));
  EXPECT_FALSE(o.BlockVariableUpdate(-1));
  EXPECT_EQ(his(), "");
  EXPECT_EQ(err(), "");
}

// ---- Destroy ----------------------------------------------------------------------------------

TEST_F(FrameworkBlock, DestroyEndsBlockThenObjectAndReleasesWrapper) {
  CountingWrapper w;
  auto* o = new ModelBlock(b);
  o->tuvwrappercntr_setWrapper(&w);
  int live = kvoref::live_blocks();
  o->Destroy();
  EXPECT_EQ(seen.destroy, 1);
  EXPECT_EQ(kvoref::live_blocks(), live - 1);
  EXPECT_EQ(w.refs, 0);
  b = 0;  // gone with the object
  blocks.clear();
  (new KVOBlock())->Destroy();
  EXPECT_EQ(his(), "");
}

// A model that keeps its objects itself deletes the object in its own destroy routine: the
// host's Destroy on that object then ends the block and the object once each.
TEST_F(FrameworkBlock, DestroyOfAnObjectTheModelDeletesEndsItOnce) {
  static KVOBlock* kept = nullptr;
  static int ended = 0;
  struct Kept : KVOBlock {
    using KVOBlock::KVOBlock;
    ~Kept() override { ++ended; }
  };
  ended = 0;
  kept = new Kept(b);
  kvoblk_inq_ops(b)->destroy = [](int blk) {
    delete kept;
    kvoblk_base_destroy(blk);
  };
  const int live = kvoref::live_blocks();
  kept->Destroy();
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(kvoref::live_blocks(), live - 1);
  b = 0;
  blocks.clear();
  EXPECT_EQ(his(), "");
}
