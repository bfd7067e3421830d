// SPDX-License-Identifier: BSD-3-Clause
// The plant on the reference host: the recycle flowsheet solved simultaneously from a cold start
// with its material balance, degrees of freedom, connections through the plant, and the update
// methods fed with nonlinearity ratios.
#include "fixture.h"
#include "plant.h"

#if defined(__SANITIZE_ADDRESS__)
#define KVOTEST_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVOTEST_LSAN 1
#endif
#endif
#if KVOTEST_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace {

class PlantTest : public kvotest::KvoTest {};

TEST_F(PlantTest, RecycleSolvesFromAColdStartAndItsMaterialBalanceCloses) {
  for (int method :
       {KVOBLK_ANALYTIC, KVOBLK_NUMERIC, KVOBLK_UPDATE_NUMERIC, KVOBLK_UPDATE_ANALYTIC}) {
    SCOPED_TRACE(method);
    Plant plant;
    ASSERT_TRUE(build_recycle(plant)) << his();
    EXPECT_EQ(plant.degrees_of_freedom(), 0);
    EXPECT_EQ(plant.connections()->count(), 4);
    ASSERT_TRUE(plant.set_method(method));
    const kvoref::NewtonReport r = plant.solve();
    ASSERT_TRUE(r.converged) << r.message;
    const RecycleBalance b = recycle_balance(plant);
    EXPECT_LT(b.total_error, 1e-9);
    EXPECT_LT(b.a_error, 1e-9);
    EXPECT_GT(b.reacted, 0.1 * b.in_a);  // the loop really reacts and recycles
    EXPECT_GT(plant.value("SPL.OUT2.F"), 1.0);
    // The joined variables agree: the recycle is closed.
    EXPECT_NEAR(plant.value("SPL.OUT2.CA"), plant.value("MIX.IN2.CA"), 1e-9);
  }
}

TEST_F(PlantTest, ADestroyedPlantGivesItsListsBack) {
  kvoref::Lists lists;
  {
    Plant plant;
    ASSERT_TRUE(build_recycle(plant)) << his();
    lists = plant.lists();
    ASSERT_GT(kvovarlst_inq_nvar(lists.varlst), 0);
    ASSERT_GT(kvojac_inq_nnz(lists.jac), 0);
  }
  // The handles name nothing any more: the names and the Jacobian are gone with the plant.
  EXPECT_EQ(kvovarlst_inq_nvar(lists.varlst), 0);
  EXPECT_EQ(kvoeqnlst_inq_neqn(lists.eqnlst), 0);
  EXPECT_EQ(kvojac_inq_nnz(lists.jac), 0);
  // A plant that was never built has no lists to give back.
  { Plant unbuilt; }
  EXPECT_EQ(his().find("!!"), std::string::npos);
}

TEST_F(PlantTest, UpdatesSaveAThirdOfTheResidualsOnTheRecycleAndStillFallBack) {
  // The shipped flowsheet's loop (20 tanks of 0.6 m3) at the library's default NLRATIODEV.
  RecycleSpec spec;
  spec.ntanks = 20;
  spec.volume = 0.6;
  long evals[2] = {0, 0};
  for (int k = 0; k < 2; ++k) {
    Plant plant;
    ASSERT_TRUE(build_recycle(plant, spec));
    plant.set_method(k == 0 ? KVOBLK_NUMERIC : KVOBLK_UPDATE_NUMERIC);
    plant.reset_counts();
    const kvoref::NewtonReport r = plant.solve();
    ASSERT_TRUE(r.converged) << r.message;
    evals[k] = plant.total_counts().residuals;
    if (k == 1) {
      const Plant::BlockCounts c = plant.total_counts();
      EXPECT_GT(c.updates, 0);
      // The ratios the solver stored made blocks fall back to fresh Jacobians after the first.
      EXPECT_GT(c.jacobians - c.updates, static_cast<int>(plant.blocks().size()));
    }
  }
  EXPECT_LE(evals[1], 0.7 * static_cast<double>(evals[0])) << evals[1] << " vs " << evals[0];
}

TEST_F(PlantTest, DegreesOfFreedomFollowConnectionsAndFixedVariables) {
  Plant plant;
  ASSERT_TRUE(plant.add(mix_create("MIX", 2)));
  ASSERT_TRUE(plant.add(split_create("SPL", {0.5, 0.5})));
  EXPECT_FALSE(plant.add(mix_create("MIX", 1)));  // id in use: refused and destroyed
  EXPECT_EQ(his(), "!! plant: the id MIX is in use\n");
  ASSERT_TRUE(plant.build());
  // 9 + 11 variables, 3 + 7 equations.
  EXPECT_EQ(plant.degrees_of_freedom(), 10);
  const int id = plant.connect("MIX.OUT", "SPL.IN");
  ASSERT_NE(id, 0);
  EXPECT_EQ(plant.degrees_of_freedom(), 7);
  EXPECT_EQ(plant.connect("MIX.OUT", "SPL.NOPE"), 0);
  EXPECT_EQ(his(), "!! connect MIX.OUT -> SPL.NOPE: there is no port SPL.NOPE\n");
  EXPECT_EQ(plant.connect("SPL.OUT1", "MIX.OUT"), 0);
  EXPECT_EQ(his(), "!! connect SPL.OUT1 -> MIX.OUT: MIX.OUT is an outlet, not an inlet\n");
  EXPECT_TRUE(plant.fix("SPL.SF(1)", 0.25));
  EXPECT_EQ(plant.degrees_of_freedom(), 6);
  EXPECT_TRUE(plant.disconnect(id));
  EXPECT_EQ(plant.degrees_of_freedom(), 9);
  EXPECT_FALSE(plant.fix("SPL.SF(9)", 1.0));
}

TEST_F(PlantTest, BlocksAndVariablesAreFoundByTheirLiveNamesAfterARename) {
  Plant plant;
  const int mix = mix_create("MIX", 1);
  ASSERT_TRUE(plant.add(mix));
  ASSERT_TRUE(plant.add(split_create("SPL", {0.5, 0.5})));
  EXPECT_EQ(plant.block("MIX"), mix);
  kvoblk_set_blkid(mix, "M2");  // renamed after it joined
  EXPECT_EQ(plant.block("MIX"), 0);
  EXPECT_EQ(plant.block("M2"), mix);
  EXPECT_TRUE(plant.add(mix_create("MIX", 1)));  // the old id is free again
  EXPECT_FALSE(plant.add(mix_create("M2", 1)));  // the new one is not
  EXPECT_EQ(his(), "!! plant: the id M2 is in use\n");
  ASSERT_TRUE(plant.build());
  EXPECT_NE(plant.connect("M2.OUT", "SPL.IN"), 0);
  const int sf = plant.var("SPL.SF(1)");
  ASSERT_NE(sf, 0);
  EXPECT_STREQ(kvovarlst_lookup_var_name(plant.lists().varlst, sf), "SPL.SF(1)");
  EXPECT_EQ(plant.var(""), 0);  // unnamed positions are no variable's
  EXPECT_EQ(plant.var("SPL.SF(9)"), 0);

  // A rename the plant never looked up: two blocks share an id, and the build says so.
  Plant twins;
  const int first = mix_create("A", 1);
  ASSERT_TRUE(twins.add(first));
  ASSERT_TRUE(twins.add(mix_create("B", 1)));
  kvoblk_set_blkid(first, "B");
  EXPECT_FALSE(twins.build());
  EXPECT_EQ(his(), "!! plant: the id B is in use\n");
}

// A model's pattern routine that writes two entries more than its block reserved.
void (*g_own_pat)(int, kv_jac_t*, int*) = nullptr;
void overrunning_pat(int blk, kv_jac_t* jac, int* status) {
  g_own_pat(blk, jac, status);
  const int stop = kvoblk_inq_nzstop(blk);
  for (int k = 1; k <= 2; ++k) kvoref::set_nz(*jac, stop + k, kvoblk_inq_estart(blk), k);
  kvoblk_set_nzstop(blk, stop + 2);
}

TEST_F(PlantTest, ADetectingBlocksReservationIsGivenBackOncePlacedAndAnOverrunIsRefused) {
  // 3 x 200 tanks detect their patterns: each reserves 30 % of its 603 x 600 entries, over
  // 100,000, and finds about 2,200.
  Plant plant;
  for (const char* id : {"R1", "R2", "R3"}) {
    const int r = cstr_create(id, 200);
    ASSERT_EQ(kvoblk_set_pat_ini_type(r, KVOBLK_PAT_NUMERIC), KVOBLK_PAT_NUMERIC);
    ASSERT_TRUE(plant.add(r));
  }
  ASSERT_TRUE(plant.build(8)) << his();
  const int last = plant.block("R3");
  EXPECT_EQ(kvoblk_inq_nzstop(last), 3 * cstr_nnz(200));
  // What the blocks use and room for 8 connection equations; the next block starts right after.
  EXPECT_EQ(kvojac_inq_nnz(plant.lists().jac), kvoblk_inq_nzstop(last) + 16);
  EXPECT_EQ(kvoblk_inq_nzstart(plant.block("R2")), kvoblk_inq_nzstop(plant.block("R1")) + 1);
  EXPECT_EQ(plant.degrees_of_freedom(), 9);

  // Entries beyond a reservation would be lost: the plant says so instead of solving without.
  Plant over;
  ASSERT_TRUE(over.add(mix_create("M1", 2)));
  const int m2 = mix_create("M2", 2);
  g_own_pat = kvoblk_inq_ops(m2)->selfpat;
  kvoblk_inq_ops(m2)->selfpat = overrunning_pat;
  ASSERT_TRUE(over.add(m2));
  his();
  EXPECT_FALSE(over.build(8));
  EXPECT_EQ(his(), "!! plant: block M2 placed 17 non-zeros but reserved 15\n");
  // Its blocks are registered with its container and placed in its lists: building again is
  // refused, and keeps both, rather than replacing the container the blocks still name.
  const kvoref::Lists first = over.lists();
  kvoref::Container* const registered_with = over.container();
  EXPECT_FALSE(over.build(8));
  EXPECT_EQ(his(), "!! plant: the plant cannot be built again after a failed build\n");
  EXPECT_EQ(over.container(), registered_with);
  EXPECT_EQ(over.lists().varlst, first.varlst);
  EXPECT_EQ(over.lists().jac, first.jac);

  // The same with the block's id cleared after it joined: named "?", not read through null.
  Plant unnamed;
  const int m3 = mix_create("M3", 2);
  kvoblk_inq_ops(m3)->selfpat = overrunning_pat;
  ASSERT_TRUE(unnamed.add(m3));
  kvoblk_set_blkid(m3, nullptr);
  his();
  EXPECT_FALSE(unnamed.build(8));
  EXPECT_EQ(his(), "!! plant: block ? placed 17 non-zeros but reserved 15\n");
}

TEST_F(PlantTest, ResidualEvaluationsAreCountedPerBlockWhoeverAsks) {
  Plant plant;
  ASSERT_TRUE(build_recycle(plant));
  plant.set_method(KVOBLK_NUMERIC);
  plant.reset_counts();
  const kvoref::NewtonReport r = plant.solve();
  ASSERT_TRUE(r.converged);
  const Plant::BlockCounts mix = plant.counts(plant.block("MIX"));
  // The solver's passes plus the numeric differencing of every Jacobian.
  EXPECT_GT(mix.residuals, r.residual_calls);
  EXPECT_EQ(mix.jacobians, r.jacobian_calls);
  EXPECT_EQ(plant.total_counts().jacobians, 4 * r.jacobian_calls);
}

TEST_F(PlantTest, ABlockOfAPlantIsNotTakenAgainNorSolvedBeforeTheBuild) {
  Plant plant;
  const int mix = mix_create("MIX", 2);
  ASSERT_TRUE(plant.add(mix));
  // The same block again, here or in another plant: refused and left alive for its plant,
  // which alone destroys it.
  EXPECT_FALSE(plant.add(mix));
  EXPECT_EQ(his(), "!! plant: block MIX belongs to a plant already\n");
  {
    Plant other;
    EXPECT_FALSE(other.add(mix));
    EXPECT_EQ(his(), "!! plant: block MIX belongs to a plant already\n");
  }
  EXPECT_STREQ(kvoblk_blkid(mix), "MIX");
  EXPECT_EQ(plant.blocks().size(), 1u);
  // Before the build no block is placed: the solve says so rather than failing a residual.
  kvoref::NewtonReport r = plant.solve();
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.message, "the plant is not built yet");
  EXPECT_EQ(his(), "!! plant: solve: the plant is not built yet\n");
  ASSERT_TRUE(plant.build());
  plant.fix("MIX.IN1.F", 1.0), plant.fix("MIX.IN1.CA", 1.0), plant.fix("MIX.IN1.CB", 0.0);
  plant.fix("MIX.IN2.F", 1.0), plant.fix("MIX.IN2.CA", 0.0), plant.fix("MIX.IN2.CB", 0.0);
  r = plant.solve();
  EXPECT_TRUE(r.converged) << r.message << r.iterations << " " << r.norm << his();
  EXPECT_DOUBLE_EQ(plant.value("MIX.OUT.CA"), 0.5);
  EXPECT_EQ(his().find("!!"), std::string::npos);
  // A block destroyed by its handle from outside: the solve names it instead of failing in a
  // unit with no name, or leaving its equations out.
  kvoblk_destroy(mix);
  his();
  r = plant.solve();
  EXPECT_FALSE(r.converged);
  const std::string gone =
      "block handle " + std::to_string(mix) + " was destroyed outside the plant";
  EXPECT_EQ(r.message, gone);
  EXPECT_NE(his().find("!! plant: solve: " + gone + "\n"), std::string::npos) << his();
}

TEST_F(PlantTest, APlantDestroyedAfterAHostResetLeavesWhatWasMadeSinceAlone) {
  // The reset takes the old plant's blocks and lists with the workspace; the plant made after
  // it gets the same handles. Destroying the old plant must not destroy or release those.
  // (What the old block kept on the heap is lost with its record: the reset's doing.)
  auto* old = new Plant;
  {
#if KVOTEST_LSAN
    __lsan::ScopedDisabler lost_with_the_reset;
#endif
    ASSERT_TRUE(old->add(cstr_create("R1", 2)));
  }
  ASSERT_TRUE(old->build());
  kvoref::reset();
  kvoref::capture(kvHisDev, true);
  int r1 = 0;
  {
    Plant fresh;
    r1 = cstr_create("R1", 2);
    ASSERT_TRUE(fresh.add(r1));
    ASSERT_TRUE(fresh.build());
    const kvoref::Lists lists = fresh.lists();
    delete old;
    EXPECT_STREQ(kvoblk_blkid(r1), "R1");
    EXPECT_EQ(kvovarlst_inq_nvar(lists.varlst), cstr_nvars(2));
    ASSERT_TRUE(fresh.fix("R1.IN.F", 1) && fresh.fix("R1.IN.CA", 1) && fresh.fix("R1.IN.CB", 0));
    const kvoref::NewtonReport r = fresh.solve();
    EXPECT_TRUE(r.converged) << r.message;
    EXPECT_GT(fresh.counts(r1).residuals, 0);
    EXPECT_EQ(his().find("!!"), std::string::npos) << his();
  }

  // A plant made before a reset that takes its blocks after it owns them, and destroys them:
  // the handle is free again.
  {
    Plant early;
    kvoref::reset();
    kvoref::capture(kvHisDev, true);
    ASSERT_TRUE(early.add(cstr_create("R1", 2)));
    ASSERT_TRUE(early.build());
  }
  const int after = cstr_create("R9", 2);
  EXPECT_EQ(after, r1);
  kvoblk_destroy(after);
}

TEST_F(PlantTest, APlantFromBeforeAHostResetNeitherSolvesNorTakesBlocks) {
  // The old plant's block and list handles now name the fresh plant's: a solve through them
  // would move the fresh plant's variables, and a block it took would never be destroyed.
  auto* old = new Plant;
  {
#if KVOTEST_LSAN
    __lsan::ScopedDisabler lost_with_the_reset;
#endif
    ASSERT_TRUE(old->add(mix_create("MIX", 2)));
  }
  ASSERT_TRUE(old->build());
  kvoref::reset();
  kvoref::capture(kvHisDev, true);
  Plant fresh;
  ASSERT_TRUE(fresh.add(mix_create("MIX", 2)));
  ASSERT_TRUE(fresh.build());
  ASSERT_EQ(fresh.lists().varlst, old->lists().varlst);
  ASSERT_TRUE(fresh.fix("MIX.IN1.F", 2.0) && fresh.fix("MIX.IN2.F", 3.0));
  ASSERT_TRUE(fresh.set_value("MIX.OUT.F", 7.0));
  const std::string stale = "the host was reset after the plant took its blocks";
  const kvoref::NewtonReport r = old->solve();
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.message, stale);
  EXPECT_EQ(his(), "!! plant: solve: " + stale + "\n");
  // Nor does it set values or methods through those handles.
  EXPECT_FALSE(old->set_value("MIX.OUT.F", 1.0));
  EXPECT_FALSE(old->fix(1, 1.0));
  EXPECT_FALSE(old->set_method(KVOBLK_NUMERIC));
  EXPECT_EQ(his(), "!! plant: set_method: " + stale + "\n");
  EXPECT_DOUBLE_EQ(fresh.value("MIX.OUT.F"), 7.0);
  EXPECT_DOUBLE_EQ(fresh.value(1), 2.0);
  EXPECT_EQ(kvoblk_inq_deriv_type(fresh.block("MIX")), KVOBLK_ANALYTIC);
  // A block offered to it is refused and destroyed, as any block the plant refuses is.
  const int late = mix_create("LATE", 1);
  EXPECT_FALSE(old->add(late));
  EXPECT_EQ(his(), "!! plant: " + stale + "\n");
  EXPECT_EQ(kvoblk_inq_ops(late), nullptr);
  delete old;
  EXPECT_STREQ(kvoblk_blkid(fresh.block("MIX")), "MIX");
}

}  // namespace
