// SPDX-License-Identifier: BSD-3-Clause
// Stream connections of the reference host (making, refusing, removing, moving, the report,
// CONNECT scripts) and the solver's failure reports: the structurally singular part of a system,
// a diverging solve.
#include <cmath>
#include <memory>

#include "fixture.h"
#include "kvoconnect.h"

namespace {

using kvoref::Port;

// What a port asks of its block, for ports outside any real block.
class FakeBlock : public nux_port_mesgs {
 public:
  explicit FakeBlock(const char* id) : id_(id) {}
  int var_offset() override { return 0; }
  int owns_var(int) override { return 1; }
  const char* block_id() override { return id_; }
  bool block_included() override { return true; }
  ~FakeBlock() override = default;

 private:
  const char* id_;
};

struct PortDeleter {
  void operator()(Port* p) const { p->destroy(); }
};
using PortPtr = std::unique_ptr<Port, PortDeleter>;

const std::vector<int> kLiquid = {kvoref::KIND_VOLUME_FLOW, kvoref::KIND_CONCENTRATION,
                                  kvoref::KIND_CONCENTRATION};

class Connect : public kvotest::KvoTest {
 protected:
  void SetUp() override {
    KvoTest::SetUp();
    lists = kvoref::make_lists(4);
    for (int v = 1; v <= 12; ++v)
      kvoref::define_var(lists.varlst, v, ("X" + std::to_string(v)).c_str(), v);
    for (int e = 1; e <= 2; ++e) kvoref::define_eqn(lists.eqnlst, e, "BLOCK.EQN");
    cntr.reset(new kvoref::Container(lists));
  }
  // A port of block `blk` carrying variables `vars` with the liquid stream's kinds.
  PortPtr port(FakeBlock* blk, const char* name, int direction, std::vector<int> vars,
               std::vector<int> kinds = kLiquid) {
    PortPtr p(new Port(name, std::move(vars)));
    p->attach(blk);
    p->set_stream(direction, std::move(kinds), {"F", "CA", "CB"});
    return p;
  }
  kvoref::Lists lists;
  std::unique_ptr<kvoref::Container> cntr;
  FakeBlock a{"A"}, b{"B"}, c{"C"};
};

TEST_F(Connect, MakesOneEquationPerVariablePairInItsOwnSlice) {
  kvoref::Connections conns(lists, 3, 5, cntr.get());
  PortPtr out = port(&a, "OUT", kvoref::PORT_OUTLET, {1, 2, 3});
  PortPtr in = port(&b, "IN", kvoref::PORT_INLET, {7, 8, 9});
  const int id = conns.connect(out.get(), in.get(), "S1");
  ASSERT_EQ(id, 1);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(conns.estart(), 3);
  EXPECT_EQ(conns.estop(), 5);
  EXPECT_EQ(conns.nzstop(), 10);  // the Jacobian grew from 4 to hold them
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 4), "S1.CA");
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, 7), 4);
  EXPECT_EQ(kvojac_inq_nz_varnum(lists.jac, 7), 8);  // inlet +1
  EXPECT_EQ(kvojac_inq_nz_varnum(lists.jac, 8), 2);  // outlet -1
  EXPECT_EQ(kvojac_vec_bj(lists.jac)[7], -1.0);
  int st = 0;
  conns.residuals(st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(kvoeqnlst_inq_eqn_value(lists.eqnlst, 5), 9.0 - 3.0);
  // The container heard of three more equations and six more non-zeros, before and after.
  ASSERT_EQ(cntr->edits.size(), 2u);
  EXPECT_TRUE(cntr->edits[0].pre);
  EXPECT_EQ(cntr->edits[1].deqn, 3);
  EXPECT_EQ(cntr->edits[1].dnz, 6);
  conns.report(kvHisDev);
  EXPECT_EQ(his(),
            "Stream connections (3 equations at 3-5, 6 non-zeros at 5-10):\n"
            "  S1                       A.OUT -> B.IN, 3 variables, largest difference 6.00e+00\n");
  // The slice is a solver unit over its own equations.
  int first = 0, last = 0;
  conns.equation_range(&first, &last);
  EXPECT_EQ(first, 3);
  EXPECT_EQ(last, 5);
}

TEST_F(Connect, RefusesIncompatiblePortsNamingBoth) {
  kvoref::Connections conns(lists, 3, 5, cntr.get());
  PortPtr out = port(&a, "OUT", kvoref::PORT_OUTLET, {1, 2, 3});
  PortPtr in = port(&b, "IN", kvoref::PORT_INLET, {7, 8, 9});
  PortPtr in2 = port(&c, "IN", kvoref::PORT_INLET, {10, 11});
  PortPtr hot =
      port(&c, "HOT", kvoref::PORT_INLET, {10, 11, 12},
           {kvoref::KIND_VOLUME_FLOW, kvoref::KIND_MOLE_FRACTION, kvoref::KIND_CONCENTRATION});
  PortPtr loose = port(&c, "FREE", kvoref::PORT_INLET, {10, 0, 12});

  EXPECT_EQ(conns.connect(out.get(), in2.get()), 0);
  EXPECT_EQ(his(), "!! connect A.OUT -> C.IN: A.OUT carries 3 variables but C.IN carries 2\n");
  EXPECT_EQ(conns.connect(out.get(), hot.get()), 0);
  EXPECT_EQ(his(),
            "!! connect A.OUT -> C.HOT: variable 2 of A.OUT is a concentration but of C.HOT a "
            "mole fraction\n");
  EXPECT_EQ(conns.connect(in.get(), out.get()), 0);
  EXPECT_EQ(his(), "!! connect B.IN -> A.OUT: B.IN is an inlet, not an outlet\n");
  EXPECT_EQ(conns.connect(out.get(), loose.get()), 0);
  EXPECT_NE(his().find("C.FREE is not bound to variables"), std::string::npos);
  ASSERT_NE(conns.connect(out.get(), in.get()), 0);
  PortPtr other_out = port(&c, "OUT", kvoref::PORT_OUTLET, {10, 11, 12});
  EXPECT_EQ(conns.connect(other_out.get(), in.get()), 0);
  EXPECT_EQ(his(), "!! connect C.OUT -> B.IN: port B.IN is already connected by A.OUT->B.IN\n");
  // Nothing refused left a trace in the lists.
  EXPECT_EQ(conns.count(), 1);
  EXPECT_EQ(conns.estop(), 5);
  EXPECT_EQ(kvoref::num_eqns(lists.eqnlst), 5);
}

TEST_F(Connect, DisconnectingRemovesEquationsAndNonZerosAndClosesTheSlice) {
  kvoref::Connections conns(lists, 3, 5, cntr.get());
  PortPtr out = port(&a, "OUT", kvoref::PORT_OUTLET, {1, 2, 3});
  PortPtr in = port(&b, "IN", kvoref::PORT_INLET, {7, 8, 9});
  PortPtr out2 = port(&a, "OUT2", kvoref::PORT_OUTLET, {4, 5, 6});
  PortPtr in2 = port(&c, "IN", kvoref::PORT_INLET, {10, 11, 12});
  const int s1 = conns.connect(out.get(), in.get(), "S1");
  const int s2 = conns.connect(out2.get(), in2.get(), "S2");
  ASSERT_NE(s2, 0);
  cntr->edits.clear();
  ASSERT_TRUE(conns.disconnect(s1));
  EXPECT_FALSE(conns.disconnect(s1));
  EXPECT_EQ(conns.count(), 1);
  EXPECT_EQ(conns.of_port(out.get()), nullptr);
  // S2 moved down to the start of the slice; its old places are empty.
  EXPECT_EQ(conns.find(s2)->estart, 3);
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 3), "S2.F");
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 6), "");
  EXPECT_EQ(kvojac_inq_nz_varnum(lists.jac, 5), 10);
  for (int k = 11; k <= 16; ++k) EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, k), 0) << k;
  ASSERT_EQ(cntr->edits.size(), 2u);
  EXPECT_EQ(cntr->edits[0].deqn, -3);
  EXPECT_EQ(cntr->edits[0].dnz, -6);
  EXPECT_FALSE(cntr->edits[1].pre);
  // A port and a name freed by the removal can be used again; the new connection goes after S2.
  const int again = conns.connect(out.get(), in.get(), "S1");
  ASSERT_NE(again, 0);
  EXPECT_EQ(conns.find(again)->estart, 6);
  EXPECT_EQ(conns.find(again)->nzstart, 11);
  EXPECT_EQ(conns.of_port(in.get()), conns.find(again));
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 6), "S1.F");
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, 12), 6);
  EXPECT_EQ(kvojac_inq_nz_varnum(lists.jac, 12), 1);
  EXPECT_TRUE(conns.disconnect(in2.get()));
  EXPECT_EQ(conns.count(), 1);
}

TEST_F(Connect, DisconnectingWritesOnlyTheConnectionsAfterTheRemovedOne) {
  kvoref::Connections conns(lists, 3, 5, cntr.get());
  PortPtr out = port(&a, "OUT", kvoref::PORT_OUTLET, {1, 2, 3});
  PortPtr in = port(&b, "IN", kvoref::PORT_INLET, {7, 8, 9});
  PortPtr out2 = port(&a, "OUT2", kvoref::PORT_OUTLET, {4, 5, 6});
  PortPtr in2 = port(&c, "IN", kvoref::PORT_INLET, {10, 11, 12});
  PortPtr out3 = port(&b, "OUT", kvoref::PORT_OUTLET, {10, 11, 12});
  PortPtr in3 = port(&c, "IN3", kvoref::PORT_INLET, {4, 5, 6});
  const int s1 = conns.connect(out.get(), in.get(), "S1");
  const int s2 = conns.connect(out2.get(), in2.get(), "S2");
  const int s3 = conns.connect(out3.get(), in3.get(), "S3");
  ASSERT_NE(s3, 0);
  // A mark on S1's first equation shows whether it is written again.
  kvoref::define_eqn(lists.eqnlst, 3, "MARK");
  ASSERT_TRUE(conns.disconnect(s2));
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 3), "MARK");
  EXPECT_EQ(conns.find(s1)->estart, 3);
  // S3 moved down into S2's places, and its old ones are empty.
  EXPECT_EQ(conns.find(s3)->estart, 6);
  EXPECT_EQ(conns.find(s3)->nzstart, 11);
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 7), "S3.CA");
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, 13), 7);
  EXPECT_EQ(kvojac_inq_nz_varnum(lists.jac, 13), 5);
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 9), "");
  for (int k = 17; k <= 22; ++k) EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, k), 0) << k;
  ASSERT_TRUE(conns.disconnect(s3));
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 3), "MARK");
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 6), "");
  EXPECT_EQ(conns.estop(), 5);
}

TEST_F(Connect, ConnectScriptsMakeTheConnectionsTheyName) {
  kvoref::Connections conns(lists, 3, 5, cntr.get());
  PortPtr out = port(&a, "OUT", kvoref::PORT_OUTLET, {1, 2, 3});
  PortPtr in = port(&b, "IN", kvoref::PORT_INLET, {7, 8, 9});
  cntr->connections = &conns;
  cntr->find_port = [&](const std::string& blk, const std::string& name) -> Port* {
    if (blk == "A" && name == "OUT") return out.get();
    if (blk == "B" && name == "IN") return in.get();
    return nullptr;
  };
  kvopipe* script = kvoref::make_script("CONNECT", "PORT IN = (X1)\nCONNECT A.OUT TO B.IN");
  EXPECT_EQ(cntr->run_script(nullptr, script, nullptr, 0, nullptr), 0);
  kvodestroy(script);
  EXPECT_EQ(conns.count(), 1);
  script = kvoref::make_script("CONNECT", "CONNECT A.OUT TO B.NOPE");
  EXPECT_EQ(cntr->run_script(nullptr, script, nullptr, 0, nullptr), 1);
  kvodestroy(script);
  EXPECT_EQ(his(), "!! CONNECT A.OUT TO B.NOPE: no such port B.NOPE\n");
}

// A port the block deletes is told to the container before it goes: its connection goes first.
TEST_F(Connect, APortTheBlockDeletesLeavesNoConnectionBehind) {
  kvoref::Connections conns(lists, 3, 5, cntr.get());
  cntr->connections = &conns;
  const int blk = kvoblk_base_create(0);
  kvoblk_set_blkid(blk, "A");
  kvoblk_register_container(blk, cntr.get());
  auto* out = new Port("OUT", {1, 2, 3});
  out->set_stream(kvoref::PORT_OUTLET, kLiquid);
  ASSERT_FALSE(kvoblk_add_port(blk, out));
  PortPtr in = port(&b, "IN", kvoref::PORT_INLET, {7, 8, 9});
  ASSERT_NE(conns.connect(out, in.get(), "S1"), 0);
  EXPECT_FALSE(kvoblk_delete_port(blk, "OUT"));
  EXPECT_EQ(conns.count(), 0);
  EXPECT_EQ(conns.of_port(in.get()), nullptr);
  int st = 1;
  conns.residuals(st);
  EXPECT_EQ(st, 0);
  kvoblk_destroy(blk);
  EXPECT_EQ(his(), "");
}

// A block destroyed with its port still connected: the connection loses that side, so the set
// reads no freed port, and its equations stay until it is disconnected.
TEST_F(Connect, ABlockDestroyedWithAConnectedPortLeavesAnEmptySideNotAFreedPort) {
  auto conns = std::make_unique<kvoref::Connections>(lists, 3, 5, cntr.get());
  PortPtr in = port(&b, "IN", kvoref::PORT_INLET, {7, 8, 9});
  PortPtr in2 = port(&c, "IN", kvoref::PORT_INLET, {10, 11, 12});
  const int blk = kvoblk_base_create(0);
  kvoblk_set_blkid(blk, "A");
  auto* out = new Port("OUT", {1, 2, 3});
  out->set_stream(kvoref::PORT_OUTLET, kLiquid);
  ASSERT_FALSE(kvoblk_add_port(blk, out));
  const int s1 = conns->connect(out, in.get(), "S1");
  ASSERT_NE(s1, 0);
  cntr->edits.clear();
  kvoblk_destroy(blk);
  EXPECT_TRUE(cntr->edits.empty());
  ASSERT_NE(conns->find(s1), nullptr);
  EXPECT_EQ(conns->find(s1)->from, nullptr);
  EXPECT_EQ(conns->of_port(in.get()), conns->find(s1));
  int st = 0;
  conns->residuals(st);
  EXPECT_EQ(st, 1);
  conns->report(kvHisDev);
  const std::string report = his();
  EXPECT_NE(report.find("S1                       ? -> B.IN, 3 variables"), std::string::npos)
      << report;
  EXPECT_TRUE(conns->disconnect(s1));
  EXPECT_EQ(conns->of_port(in.get()), nullptr);
  // A set destroyed first is forgotten by its ports: destroying them later touches no set.
  PortPtr out2 = port(&a, "OUT2", kvoref::PORT_OUTLET, {4, 5, 6});
  ASSERT_NE(conns->connect(out2.get(), in2.get(), "S2"), 0);
  conns.reset();
}

TEST_F(Connect, MovingTheSliceLeavesWhatTheBlocksHoldAndClearsOnlyItsStaleTail) {
  kvoref::Connections conns(lists, 3, 5, cntr.get());
  PortPtr out = port(&a, "OUT", kvoref::PORT_OUTLET, {1, 2, 3});
  PortPtr in = port(&b, "IN", kvoref::PORT_INLET, {7, 8, 9});
  ASSERT_NE(conns.connect(out.get(), in.get(), "S1"), 0);
  // The block grew by two equations and two non-zeros into the old slice.
  kvoref::define_eqn(lists.eqnlst, 3, "BLOCK.G1");
  kvoref::define_eqn(lists.eqnlst, 4, "BLOCK.G2");
  kvoref::set_nz(lists.jac, 5, 3, 4);
  kvoref::set_nz(lists.jac, 6, 4, 5);
  conns.place(5, 7);
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 3), "BLOCK.G1");
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 4), "BLOCK.G2");
  EXPECT_EQ(kvojac_inq_nz_varnum(lists.jac, 5), 4);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, 6), 4);
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 5), "S1.F");
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, 12), 7);
  // It shrank back: the slice follows and its old last places are emptied.
  conns.place(3, 5);
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 5), "S1.CB");
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 6), "");
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 7), "");
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, 11), 0);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, 12), 0);
}

TEST_F(Connect, ReportKeepsADifferenceThatIsNotANumber) {
  kvoref::Connections conns(lists, 3, 5, cntr.get());
  PortPtr out = port(&a, "OUT", kvoref::PORT_OUTLET, {1, 2, 3});
  PortPtr in = port(&b, "IN", kvoref::PORT_INLET, {7, 8, 9});
  ASSERT_NE(conns.connect(out.get(), in.get(), "S1"), 0);
  kvovarlst_set_var_value(lists.varlst, 2, std::nan(""), 0);  // a later pair differs by 6
  conns.report(kvHisDev);
  EXPECT_NE(his().find("3 variables, largest difference nan\n"), std::string::npos) << his();
}

// ---- Solver failures ---------------------------------------------------------------------------

TEST(Structure, NamesTheOverAndUnderDeterminedParts) {
  kvoref::reset();
  kvoref::Lists l = kvoref::make_lists(4);
  for (int v = 1; v <= 3; ++v)
    kvoref::define_var(l.varlst, v, ("X" + std::to_string(v)).c_str(), 1.0);
  for (int e = 1; e <= 3; ++e) kvoref::define_eqn(l.eqnlst, e, ("E" + std::to_string(e)).c_str());
  // E1 and E2 both depend on X1 only; E3 on X2 and X3.
  kvoref::set_nz(l.jac, 1, 1, 1);
  kvoref::set_nz(l.jac, 2, 2, 1);
  kvoref::set_nz(l.jac, 3, 3, 2);
  kvoref::set_nz(l.jac, 4, 3, 3);
  const kvoref::StructuralReport r = kvoref::structural_singularity(l);
  EXPECT_TRUE(r.singular());
  EXPECT_EQ(r.matched, 2);
  EXPECT_EQ(r.over_eqns, (std::vector<int>{1, 2}));
  EXPECT_EQ(r.over_vars, (std::vector<int>{1}));
  EXPECT_EQ(r.under_eqns, (std::vector<int>{3}));
  EXPECT_EQ(r.under_vars, (std::vector<int>{2, 3}));
  // Fixing X3 leaves a square system whose only fault is E1 against E2.
  kvoref::set_var_status(l.varlst, 3, kvoref::VAR_FIXED);
  const kvoref::StructuralReport fixed = kvoref::structural_singularity(l);
  EXPECT_TRUE(fixed.under_vars.empty());
  EXPECT_EQ(fixed.over_eqns, (std::vector<int>{1, 2}));
  kvoref::reset();
}

// One equation (x - 1) + c (x - 1)^2 = 0 in variable and equation `pos`, with `slope` times its
// derivative as the Jacobian.
class Curve : public kvoref::SolverUnit {
 public:
  Curve(const kvoref::Lists& l, int pos, double c, double slope = 1.0)
      : l_(l), pos_(pos), c_(c), slope_(slope) {}
  const char* name() const override { return "CURVE"; }
  void pre_solve(int& st) override { st = 0; }
  void residuals(int& st) override {
    st = 0;
    const double d = kvovarlst_inq_var_value(l_.varlst, pos_, 0) - 1.0;
    kvoeqnlst_vec_residual(l_.eqnlst)[pos_ - 1] = d + c_ * d * d;
  }
  void jacobian(int& st) override {
    st = 0;
    const double d = kvovarlst_inq_var_value(l_.varlst, pos_, 0) - 1.0;
    kvojac_set_nz_value(l_.jac, pos_, slope_ * (1.0 + 2.0 * c_ * d));
  }
  void post_solve(int& st) override { st = 0; }
  void equation_range(int* first, int* last) const override { *first = *last = pos_; }
  void set_nlratio(double ratio) override { ratios.push_back(ratio); }
  std::vector<double> ratios;

 private:
  kvoref::Lists l_;
  int pos_;
  double c_, slope_;
};

// x - 1 = 0 in the first variable, with a Jacobian of any value.
struct Line : Curve {
  Line(const kvoref::Lists& l, double slope) : Curve(l, 1, 0.0, slope) {}
};

TEST(Newton, MeasuresEveryUnitsRatioAndRefreshesAfterAStepThatGainedTooLittle) {
  kvoref::reset();
  kvoref::Lists l = kvoref::make_lists(1);
  kvoref::define_var(l.varlst, 1, "X", 3.0);
  kvoref::define_eqn(l.eqnlst, 1, "LINE.F");
  kvoref::set_nz(l.jac, 1, 1, 1);
  Line exact(l, 1.0);
  const kvoref::NewtonReport good = kvoref::newton_solve(l, {&exact});
  ASSERT_TRUE(good.converged);
  // The linear model was exact: ratio 1 after every step, nothing refreshed.
  EXPECT_EQ(exact.ratios, std::vector<double>(good.iterations, 1.0));
  EXPECT_EQ(good.refreshes, 0);

  kvovarlst_set_var_value(l.varlst, 1, 3.0, 0);
  Line half(l, 2.0);  // predicts twice the change each step makes
  kvoref::NewtonOptions o;
  o.max_iterations = 3;
  kvoref::newton_solve(l, {&half}, o);
  ASSERT_FALSE(half.ratios.empty());
  EXPECT_DOUBLE_EQ(half.ratios.front(), 1.5);  // |actual - predicted| = half the prediction

  kvovarlst_set_var_value(l.varlst, 1, 3.0, 0);
  Line wrong(l, -1.0);  // every step makes the residual worse
  const kvoref::NewtonReport bad = kvoref::newton_solve(l, {&wrong}, o);
  EXPECT_EQ(bad.refreshes, bad.iterations);
  EXPECT_EQ(wrong.ratios.back(), kvoref::kNlratioRefresh);
  kvoref::reset();
}

TEST(Newton, ARatioWeighsTheUnitsErrorAgainstTheSystemsResidualAndIgnoresRounding) {
  kvoref::reset();
  kvoref::Lists l = kvoref::make_lists(2);
  kvoref::define_var(l.varlst, 1, "X", 1.2);
  kvoref::define_eqn(l.eqnlst, 1, "CURVE.F");
  kvoref::set_nz(l.jac, 1, 1, 1);
  kvoref::NewtonOptions o;
  o.max_iterations = 1;
  o.step_limit = 1e9;
  // Alone, the curve's first step misses by 0.0168 against a predicted change of 0.22.
  Curve alone(l, 1, 0.5);
  kvoref::newton_solve(l, {&alone}, o);
  ASSERT_EQ(alone.ratios.size(), 1u);
  EXPECT_NEAR(alone.ratios[0], 1.0 + 0.0168 / 0.22, 1e-3);

  // Beside a linear unit whose residual is 1000, the same miss is small against what the step
  // set out to remove: the curve's Jacobian may be updated.
  kvovarlst_set_var_value(l.varlst, 1, 1.2, 0);
  kvoref::define_var(l.varlst, 2, "Y", 3.0);
  kvoref::define_eqn(l.eqnlst, 2, "LINE.F");
  kvoref::set_nz(l.jac, 2, 2, 2);
  Curve beside(l, 1, 0.5), line(l, 2, 0.0);
  kvovarlst_set_var_value(l.varlst, 2, 1001.0, 0);
  kvoref::newton_solve(l, {&beside, &line}, o);
  ASSERT_EQ(beside.ratios.size(), 1u);
  EXPECT_NEAR(beside.ratios[0], 1.0 + 0.0168 / 1000.0, 1e-6);
  EXPECT_EQ(line.ratios, std::vector<double>{1.0});

  // A Jacobian 20 % off close to the root misses by 5e-10, within the solve's tolerance of 1e-9:
  // rounding, not nonlinearity.
  kvoref::reset();
  kvoref::Lists one = kvoref::make_lists(1);
  kvoref::define_var(one.varlst, 1, "X", 1.0 + 3e-9);
  kvoref::define_eqn(one.eqnlst, 1, "LINE.F");
  kvoref::set_nz(one.jac, 1, 1, 1);
  Line off(one, 1.2);
  kvoref::newton_solve(one, {&off}, o);
  EXPECT_EQ(off.ratios, std::vector<double>{1.0});
  kvoref::reset();
}

TEST(Newton, ADivergingSolveStopsAtTheBestPointAndASingularOneNamesItsEquations) {
  kvoref::reset();
  kvoref::capture(kvHisDev, true);
  kvoref::Lists l = kvoref::make_lists(1);
  kvoref::define_var(l.varlst, 1, "X", 3.0);
  kvoref::define_eqn(l.eqnlst, 1, "LINE.F");
  kvoref::set_nz(l.jac, 1, 1, 1);
  Line wrong(l, -1.0);  // every step goes the wrong way
  kvoref::NewtonOptions o;
  o.divergence_factor = 100.0;
  std::vector<int> steps;
  o.progress = [&](const kvoref::NewtonProgress& p) { steps.push_back(p.step); };
  const kvoref::NewtonReport r = kvoref::newton_solve(l, {&wrong}, o);
  EXPECT_FALSE(r.converged);
  EXPECT_TRUE(r.diverged);
  EXPECT_NE(r.message.find("the solve diverges"), std::string::npos) << r.message;
  EXPECT_EQ(kvovarlst_inq_var_value(l.varlst, 1, 0), 3.0);  // back at the start
  EXPECT_EQ(r.norm, 2.0);
  EXPECT_EQ(steps.size(), r.history.size());
  EXPECT_GT(r.history.back(), 100.0 * r.history.front());

  Line flat(l, 0.0);
  const kvoref::NewtonReport s = kvoref::newton_solve(l, {&flat});
  EXPECT_TRUE(s.singular);
  EXPECT_EQ(s.message, "the Jacobian is singular (the linear system has no unique solution)");
  EXPECT_TRUE(s.singular_eqns.empty());       // its pattern is sound
  kvoref::define_eqn(l.eqnlst, 2, "LINE.G");  // a second equation in the same variable
  kvoref::resize_jac(l.jac, 2);
  kvoref::set_nz(l.jac, 2, 2, 1);
  kvoref::define_var(l.varlst, 2, "Y", 0.0);
  kvoref::set_var_status(l.varlst, 2, kvoref::VAR_FIXED);
  kvoref::define_var(l.varlst, 3, "Z", 0.0);  // free, in no equation
  const kvoref::NewtonReport t = kvoref::newton_solve(l, {&wrong});
  EXPECT_TRUE(t.singular);
  EXPECT_EQ(t.message,
            "the Jacobian is structurally singular: equations LINE.F, LINE.G cannot be matched "
            "with variables X, Z");
  kvoref::reset();
}

}  // namespace
