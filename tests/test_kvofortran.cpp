// SPDX-License-Identifier: BSD-3-Clause
// The Fortran entry points, called as Fortran calls them: CHARACTER conversion both ways, port
// handles, the port count, the twins of the block functions and the identifier scanner.
#include <cstring>
#include <string>
#include <vector>

#include <kvoblk/kvofortran.h>
#include "fixture.h"

using kvotest::KvoTest;
namespace W = kvoblk_word;

namespace {

// Exactly n characters on the heap with nothing after them, so that reading past the length
// is caught by the address sanitizer.
struct Chars {
  explicit Chars(const std::string& s) : bytes(s.begin(), s.end()) {}
  const char* data() const { return bytes.data(); }
  int len() const { return static_cast<int>(bytes.size()); }
  std::vector<char> bytes;
};

std::string id_of(int b) {
  const char* id = kvoblk_blkid(b);
  return id ? id : "<none>";
}

// Copies the block id into an n-character variable between two guard bytes; answers the
// function value, and the variable in `out`.
int copy_out(int (*fn)(const int*, char*, int), int b, int n, std::string* out) {
  std::vector<char> v(static_cast<size_t>(n) + 2, '#');
  int r = fn(&b, v.data() + 1, n);
  EXPECT_EQ(v.front(), '#');
  EXPECT_EQ(v.back(), '#');
  *out = std::string(v.begin() + 1, v.end() - 1);
  return r;
}

nux_port* stranger = nullptr;
nux_port* foreign_get_port(int, const char*) { return stranger; }
int ninety_nine_ports(int) { return 99; }
// A model's own numbering that hands out the block's three ports in reverse order.
nux_port* reversed_port_n(int blk, int i) { return kvoblk_base_get_port_n(blk, 4 - i); }

// A model's own look-ups that destroy their block and make another at its handle, with a port
// of its own, and hand out that port.
int remade = 0;
nux_port* replacing_get_port_n(int blk, int) {
  kvoblk_destroy(blk);
  remade = kvoblk_base_create(0);
  kvoblk_add_port(remade, new kvoref::Port("NEW"));
  return kvoblk_get_port_n(remade, 1);
}
nux_port* replacing_get_port(int blk, const char*) { return replacing_get_port_n(blk, 1); }

// A model's own numbering that hands out, as its first port, the port the block holds at entry 3.
nux_port* held_third = nullptr;
nux_port* third_as_first(int, int) { return held_third; }

int group_seen = -1;
void counting_group_selfjac(int, int group, int* status) {
  group_seen = group;
  *status = 0;
}

}  // namespace

class Fortran : public KvoTest {
 protected:
  void SetUp() override {
    KvoTest::SetUp();
    int n = 0;
    b = _KVOBLK_BASE_CREATE_F(&n);
  }
  void TearDown() override {
    _KVOBLK_BASE_DESTROY_F(&b);
    KvoTest::TearDown();
  }
  void set_id(const std::string& chars) {
    Chars c(chars);
    _BLK_SET_BLKID_F(&b, c.data(), c.len());
  }
  int b = 0;
};

// ---- Block id in -------------------------------------------------------------------------------

TEST_F(Fortran, SetBlkidTrimsBlankPaddingAndFourZeroBytesClearTheId) {
  set_id("FEED    ");
  EXPECT_EQ(id_of(b), "FEED");
  set_id(std::string(8, '\0'));
  EXPECT_EQ(id_of(b), "<none>");
  EXPECT_EQ(his(), "");
}

TEST_F(Fortran, SetBlkidTakesTextUpToAZeroByteWithoutTrimming) {
  set_id(std::string("AB \0XYZW", 8));
  EXPECT_EQ(id_of(b), "AB ");
  // Zeros that do not fill the first four bytes do not make the text absent.
  set_id(std::string("\0\0\0X", 4));
  EXPECT_EQ(id_of(b), "");
}

TEST_F(Fortran, ShortValuesAreTrimmedAndNeverAbsent) {
  set_id("R1 ");
  EXPECT_EQ(id_of(b), "R1");
  set_id(std::string(3, '\0'));
  EXPECT_EQ(id_of(b), "");
  set_id("        ");
  EXPECT_EQ(id_of(b), "");
  set_id("X");
  EXPECT_EQ(id_of(b), "X");
  _BLK_SET_BLKID_F(&b, "IGNORED", 0);
  EXPECT_EQ(id_of(b), "");
  _BLK_SET_BLKID_F(&b, "IGNORED", -3);
  EXPECT_EQ(id_of(b), "");
}

TEST_F(Fortran, OnlyTrailingBlanksAreDroppedAndFourZeroBytesOfFourAreAbsent) {
  set_id("  FEED\t ");
  EXPECT_EQ(id_of(b), "  FEED\t");
  set_id(std::string(4, '\0'));
  EXPECT_EQ(id_of(b), "<none>");
}

TEST_F(Fortran, SetBlkidWithoutAddressClearsAndBadHandlesAreReported) {
  set_id("FEED");
  _BLK_SET_BLKID_F(&b, nullptr, 8);
  EXPECT_EQ(id_of(b), "<none>");
  int zero = 0, bad = 4242;
  _BLK_SET_BLKID_F(&zero, "FEED", 4);
  _BLK_SET_BLKID_F(nullptr, "FEED", 4);
  EXPECT_EQ(his(), "");
  _BLK_SET_BLKID_F(&bad, "FEED", 4);
  EXPECT_EQ(his(), "!! _BLK_SET_BLKID_F: Invalid block handle 4242\n");
}

// ---- Block id out ------------------------------------------------------------------------------

TEST_F(Fortran, CopyBlkidPadsWithBlanksAndAnswersLengthPlusOne) {
  set_id("FEED");
  std::string v;
  EXPECT_EQ(copy_out(_BLK_COPY_BLKID_F, b, 8, &v), 5);
  EXPECT_EQ(v, "FEED    ");
  EXPECT_EQ(copy_out(_BLK_COPY_BLKID_F, b, 4, &v), 5);
  EXPECT_EQ(v, "FEED");
}

TEST_F(Fortran, CopyBlkidCutsALongIdAndSaysSoThroughItsValue) {
  set_id("HEATER0001");
  std::string v;
  EXPECT_EQ(copy_out(_BLK_COPY_BLKID_F, b, 8, &v), 11);
  EXPECT_EQ(v, "HEATER00");
  EXPECT_EQ(copy_out(_BLK_COPY_BLKID_F, b, 0, &v), 11);
  int bb = b;
  EXPECT_EQ(_BLK_COPY_BLKID_F(&bb, nullptr, 8), 11);
}

TEST_F(Fortran, AllThreeCopyNamesAgreeAndNoIdReadsAsEmpty) {
  std::string v;
  for (auto fn : {_BLK_COPY_BLKID_F, KVOBLK_ID, _KVOBLK_ID}) {
    EXPECT_EQ(copy_out(fn, b, 6, &v), 1);
    EXPECT_EQ(v, "      ");
    EXPECT_EQ(copy_out(fn, 0, 3, &v), 1);
    EXPECT_EQ(v, "   ");
  }
  set_id("MIX1    ");
  for (auto fn : {_BLK_COPY_BLKID_F, KVOBLK_ID, _KVOBLK_ID}) {
    EXPECT_EQ(copy_out(fn, b, 6, &v), 5);
    EXPECT_EQ(v, "MIX1  ");
  }
  EXPECT_EQ(copy_out(KVOBLK_ID, 999, 2, &v), 1);
  EXPECT_EQ(v, "  ");
  EXPECT_EQ(his(), "!! KVOBLK_ID: Invalid block handle 999\n");
}

// ---- Ports -------------------------------------------------------------------------------------

class FortranPorts : public Fortran {
 protected:
  void SetUp() override {
    Fortran::SetUp();
    lists = kvoref::make_lists(4);
    cntr = new kvoref::Container(lists);
    kvoblk_register_container(b, cntr);
    for (const char* n : {"IN", "OUT", "VENT"}) kvoblk_add_port(b, new kvoref::Port(n));
  }
  void TearDown() override {
    _KVOBLK_BASE_DESTROY_F(&b);
    b = 0;
    delete cntr;
    Fortran::TearDown();
  }
  kvoref::Lists lists;
  kvoref::Container* cntr = nullptr;
  // The number held in entry i of the block's port array.
  int entry(int i) { return ib0[ib0[b + W::ports] + i - 1]; }
};

TEST_F(FortranPorts, PortHandlesAreTheNumbersTheBlockHoldsThePortsUnder) {
  Chars out("OUT     ");
  const int by_name = _KVOBLK_GET_PORT_F(&b, out.data(), out.len());
  EXPECT_NE(by_name, 0);
  EXPECT_EQ(by_name, entry(2));
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(_KVOBLK_GET_PORT_N_F(&b, &i), entry(i));
  // The numbers survive the workspace moving under them.
  kvoblk_add_port(b, new kvoref::Port("DRAIN"));
  int two = 2;
  EXPECT_EQ(_KVOBLK_GET_PORT_N_F(&b, &two), by_name);
}

TEST_F(FortranPorts, AModelsOwnNumberingGivesTheNumberOfThePortItHandsOut) {
  // Port i is not at entry i here: the number is the one of the entry that holds the port.
  kvoblk_inq_ops(b)->get_port_n = reversed_port_n;
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(_KVOBLK_GET_PORT_N_F(&b, &i), entry(4 - i));
  EXPECT_EQ(his(), "");
}

TEST_F(FortranPorts, MissingAbsentAndForeignPortsGiveZero) {
  Chars none(std::string(8, '\0')), unknown("STEAM   ");
  EXPECT_EQ(_KVOBLK_GET_PORT_F(&b, none.data(), none.len()), 0);
  EXPECT_EQ(_KVOBLK_GET_PORT_F(&b, unknown.data(), unknown.len()), 0);
  EXPECT_EQ(_KVOBLK_GET_PORT_F(&b, nullptr, 8), 0);
  for (int i : {0, 4, -1}) EXPECT_EQ(_KVOBLK_GET_PORT_N_F(&b, &i), 0);
  EXPECT_EQ(_KVOBLK_GET_PORT_N_F(&b, nullptr), 0);
  // A port the model finds itself but the block does not hold has no handle to give.
  auto* own = new kvoref::Port("IN");
  stranger = own;
  kvoblk_inq_ops(b)->get_port = foreign_get_port;
  EXPECT_EQ(_KVOBLK_GET_PORT_F(&b, "IN", 2), 0);
  own->destroy();
  EXPECT_EQ(his(), "");
}

TEST_F(FortranPorts, APortOfABlockMadeAtTheHandleDuringTheLookUpHasNoHandle) {
  int one = 1;
  kvoblk_inq_ops(b)->get_port_n = replacing_get_port_n;
  EXPECT_EQ(_KVOBLK_GET_PORT_N_F(&b, &one), 0);
  ASSERT_EQ(remade, b);  // the scene needs the handle taken again
  kvoblk_inq_ops(b)->get_port = replacing_get_port;
  EXPECT_EQ(_KVOBLK_GET_PORT_F(&b, "NEW", 3), 0);
  ASSERT_EQ(remade, b);
  EXPECT_EQ(his(), "");
}

TEST_F(FortranPorts, APortHeldAboveALoweredCountKeepsItsHandle) {
  const int third = entry(3);
  held_third = kvoblk_get_port_n(b, 3);
  int one = 1;
  _BLK_SET_NUM_PORTS_F(&b, &one);
  kvoblk_inq_ops(b)->get_port_n = third_as_first;
  EXPECT_EQ(_KVOBLK_GET_PORT_N_F(&b, &one), third);
}

TEST_F(FortranPorts, PortCountIsReadAndStoredDirectly) {
  EXPECT_EQ(_BLK_INQ_NUM_PORTS_F(&b), 3);
  int n = 7;
  _BLK_SET_NUM_PORTS_F(&b, &n);
  EXPECT_EQ(_BLK_INQ_NUM_PORTS_F(&b), 7);
  // A count beyond the array reads no entry past it.
  int five = 5;
  EXPECT_EQ(_KVOBLK_GET_PORT_N_F(&b, &five), 0);
  for (int bad : {-1, -100}) {
    _BLK_SET_NUM_PORTS_F(&b, &bad);
    EXPECT_EQ(_BLK_INQ_NUM_PORTS_F(&b), 7);
  }
  _BLK_SET_NUM_PORTS_F(&b, nullptr);
  int zero = 0;
  _BLK_SET_NUM_PORTS_F(&zero, &n);
  EXPECT_EQ(_BLK_INQ_NUM_PORTS_F(&zero), 0);
  EXPECT_EQ(his(), "");
}

TEST_F(FortranPorts, PortCountTwinsUseTheStoredWordAndTakeZero) {
  // The block's own count routine is not asked.
  kvoblk_inq_ops(b)->inq_num_ports = ninety_nine_ports;
  EXPECT_EQ(_BLK_INQ_NUM_PORTS_F(&b), 3);
  int zero = 0;
  _BLK_SET_NUM_PORTS_F(&b, &zero);
  EXPECT_EQ(_BLK_INQ_NUM_PORTS_F(&b), 0);
  EXPECT_EQ(his(), "");
}

TEST_F(FortranPorts, PortCountIsStoredAsGivenAndNoPortIsEverLost) {
  kvoref::Port::destroyed = 0;
  int one = 1, seven = 7;
  _BLK_SET_NUM_PORTS_F(&b, &one);
  EXPECT_EQ(_BLK_INQ_NUM_PORTS_F(&b), 1);
  EXPECT_EQ(his(), "");
  // A port added now goes after the ports the array still holds, never over one of them.
  auto* drain = new kvoref::Port("DRAIN");
  EXPECT_FALSE(kvoblk_add_port(b, drain));
  EXPECT_EQ(_BLK_INQ_NUM_PORTS_F(&b), 4);
  EXPECT_EQ(kvoblk_get_port_n(b, 4), drain);
  EXPECT_STREQ(kvoblk_get_port_n(b, 3)->name(), "VENT");
  // A count above the array is bounded by it.
  _BLK_SET_NUM_PORTS_F(&b, &seven);
  EXPECT_EQ(kvoblk_get_port_n(b, 5), nullptr);
  int minus = -1;
  _BLK_SET_NUM_PORTS_F(&b, &minus);
  EXPECT_EQ(_BLK_INQ_NUM_PORTS_F(&b), 7);
  _BLK_SET_NUM_PORTS_F(&b, &one);
  _KVOBLK_BASE_DESTROY_F(&b);  // every port goes with the block, also those above the count
  b = 0;
  EXPECT_EQ(kvoref::Port::destroyed, 4);
}

TEST_F(FortranPorts, AnAdditionAfterARaisedCountGrowsTheArrayByOneEntry) {
  // A count raised to 5 past the three ports the array holds counts as far as the array
  // reaches: the array grows by one entry and the new port is port 4, the count 4.
  int five = 5;
  _BLK_SET_NUM_PORTS_F(&b, &five);
  auto* late = new kvoref::Port("LATE");
  ASSERT_FALSE(kvoblk_add_port(b, late));
  EXPECT_EQ(_BLK_INQ_NUM_PORTS_F(&b), 4);
  EXPECT_EQ(kvoblk_get_port_n(b, 4), late);
  int four = 4;
  EXPECT_EQ(_KVOBLK_GET_PORT_N_F(&b, &four), entry(4));
  EXPECT_EQ(_KVOBLK_GET_PORT_N_F(&b, &five), 0);
  EXPECT_EQ(kvoblk_get_port(b, "LATE"), late);
  // A count far past the array asks the workspace for no more than one entry either.
  const int huge = 1 << 29;
  _BLK_SET_NUM_PORTS_F(&b, &huge);
  auto* next = new kvoref::Port("NEXT");
  EXPECT_FALSE(kvoblk_add_port(b, next));
  EXPECT_EQ(_BLK_INQ_NUM_PORTS_F(&b), 5);
  EXPECT_EQ(kvoblk_get_port_n(b, 5), next);
  EXPECT_EQ(his(), "");
}

// ---- The twins of the block functions ----------------------------------------------------------

TEST_F(Fortran, CreationGivesTheAnalyticDefaultsAndDestructionReleasesTheRecord) {
  EXPECT_EQ(_KVOBLK_INQ_DERIV_TYPE_F(&b), KVOBLK_ANALYTIC);
  EXPECT_EQ(_KVOBLK_INQ_PAT_INI_F(&b), KVOBLK_PAT_SELF);
  const int before = kvoref::live_blocks();
  int n = 30;
  int c = _KVOBLK_BASE_CREATE_F(&n);
  EXPECT_EQ(kvoref::block_words(c), 30);
  _KVOBLK_BASE_DESTROY_F(&c);
  EXPECT_EQ(kvoref::live_blocks(), before);
  EXPECT_EQ(_KVOBLK_BASE_CREATE_F(nullptr), 0);
  EXPECT_EQ(kvoref::live_blocks(), before);
}

TEST_F(Fortran, RangesAndSettingsPassThroughUnchanged) {
  const int v[6] = {11, 20, 31, 40, 51, 60};
  _KVOBLK_SET_VSTART_F(&b, &v[0]);
  _KVOBLK_SET_VSTOP_F(&b, &v[1]);
  _KVOBLK_SET_ESTART_F(&b, &v[2]);
  _KVOBLK_SET_ESTOP_F(&b, &v[3]);
  _KVOBLK_SET_NZSTART_F(&b, &v[4]);
  _KVOBLK_SET_NZSTOP_F(&b, &v[5]);
  EXPECT_EQ(_KVOBLK_INQ_VSTART_F(&b), 11);
  EXPECT_EQ(_KVOBLK_INQ_VSTOP_F(&b), 20);
  EXPECT_EQ(_KVOBLK_INQ_ESTART_F(&b), 31);
  EXPECT_EQ(_KVOBLK_INQ_ESTOP_F(&b), 40);
  EXPECT_EQ(_KVOBLK_INQ_NZSTART_F(&b), 51);
  EXPECT_EQ(_KVOBLK_INQ_NZSTOP_F(&b), 60);
  _KVOBLK_SET_VSTART_F(&b, nullptr);
  EXPECT_EQ(_KVOBLK_INQ_VSTART_F(&b), 11);

  const double x[4] = {0.97, 0.05, 0.25, 1e-5};
  _KVOBLK_SET_NLRATIO_F(&b, &x[0]);
  _KVOBLK_SET_NLRATIODEV_F(&b, &x[1]);
  _KVOBLK_SET_MOVEAMOUNT_F(&b, &x[2]);
  _KVOBLK_SET_PERTSIZE_F(&b, &x[3]);
  EXPECT_EQ(kvoblk_inq_nlratio(b), 0.97);
  EXPECT_EQ(_KVOBLK_INQ_NLRATIODEV_F(&b), 0.05);
  EXPECT_EQ(_KVOBLK_INQ_MOVEAMOUNT_F(&b), 0.25);
  EXPECT_EQ(_KVOBLK_INQ_PERTSIZE_F(&b), 1e-5);
  const int move = 0, method = KVOBLK_UPDATE_NUMERIC, precedence = 3;
  _KVOBLK_SET_MOVE_F(&b, &move);
  _KVOBLK_SET_DERIV_TYPE_F(&b, &method);
  _BLK_SET_MATRIX_PRECEDENCE_F(&b, &precedence);
  EXPECT_EQ(_KVOBLK_INQ_MOVE_F(&b), 0);
  EXPECT_EQ(_KVOBLK_INQ_DERIV_TYPE_F(&b), KVOBLK_UPDATE_NUMERIC);
  EXPECT_EQ(kvoblk_inq_matrix_precedence(b), 3);
  EXPECT_EQ(_KVOBLK_INQ_INCLUDED_F(&b), 1);
  EXPECT_EQ(his(), "");
}

TEST_F(Fortran, HandleZeroIsSilentAndABadHandleIsReportedByTheFunctionForwardedTo) {
  EXPECT_EQ(_KVOBLK_INQ_VSTART_F(nullptr), 1);
  EXPECT_EQ(_KVOBLK_INQ_VSTOP_F(nullptr), 0);
  EXPECT_EQ(_KVOBLK_INQ_PERTSIZE_F(nullptr), 0.0);
  int zero = 0;
  EXPECT_EQ(_BLK_INQ_NUM_PORTS_F(&zero), 0);
  EXPECT_EQ(his(), "");
  int bad = 77;
  EXPECT_EQ(_KVOBLK_INQ_ESTART_F(&bad), 1);
  EXPECT_EQ(_BLK_INQ_NUM_PORTS_F(&bad), 0);
  EXPECT_EQ(his(),
            "!! kvoblk_inq_estart: Invalid block handle 77\n"
            "!! _BLK_INQ_NUM_PORTS_F: Invalid block handle 77\n");
}

TEST_F(Fortran, MatrixListsComeFromTheContainer) {
  int lists[3] = {9, 9, 9};
  _BLK_INQ_MATRIX_F(&b, &lists[0], &lists[1], &lists[2]);
  EXPECT_EQ(lists[0] + lists[1] + lists[2], 0);
  kvoref::Lists l = kvoref::make_lists(10);
  kvoref::Container cntr(l);
  kvoblk_register_container(b, &cntr);
  _BLK_INQ_MATRIX_F(&b, &lists[0], &lists[1], &lists[2]);
  EXPECT_EQ(lists[0], l.varlst);
  EXPECT_EQ(lists[1], l.eqnlst);
  EXPECT_EQ(lists[2], l.jac);
  EXPECT_EQ(_BLK_INQ_MATRIX_VARLST_F(&b), l.varlst);
  EXPECT_EQ(_BLK_INQ_MATRIX_EQNLST_F(&b), l.eqnlst);
  EXPECT_EQ(_BLK_INQ_MATRIX_JACOBIAN_F(&b), l.jac);
  _BLK_INQ_MATRIX_F(&b, nullptr, nullptr, nullptr);
  _KVOBLK_BASE_DESTROY_F(&b);
  b = 0;
}

TEST_F(Fortran, PatternInitialisationCountsFailuresWithoutClearingTheCounter) {
  int errors = 2, nzstart = 1, zero = 0;
  _KVOBLK_PAT_INI_F(&zero, &nzstart, &errors);
  EXPECT_EQ(errors, 3);
  _KVOBLK_PAT_INI_F(&b, nullptr, &errors);
  EXPECT_EQ(errors, 4);
}

TEST_F(Fortran, JacobianTwinsForwardTheGroupAndSetTheStatus) {
  kvoblk_inq_ops(b)->group_selfjac = counting_group_selfjac;
  int status = 5, group = 3;
  _KVOBLK_GROUP_JAC_F(&b, &group, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(group_seen, 3);
  _KVOBLK_GROUP_JAC_F(&b, nullptr, &status);
  EXPECT_EQ(status, 1);
  status = 5;
  _KVOBLK_JAC_F(&b, &status);
  EXPECT_EQ(status, 0);
  status = 5;
  _KVOBLK_BASE_DE_INI_F(&b, &status);
  EXPECT_EQ(status, 0);
}

// ---- Identifier scanner ------------------------------------------------------------------------

TEST_F(Fortran, IdentifierScannerWalksTheComponentsUnderBothNames) {
  for (auto fn : {KVOVARID_NEXT, _KVOVARID_NEXT}) {
    Chars text("B1.TEMP");
    char token[8];
    int pos = 1, count = -1;
    fn(text.data(), text.len(), &pos, token, 8, &count);
    EXPECT_EQ(std::string(token, 8), "B1      ");
    EXPECT_EQ(count, 2);
    EXPECT_EQ(pos, 4);
    fn(text.data(), text.len(), &pos, token, 8, &count);
    EXPECT_EQ(std::string(token, 8), "TEMP    ");
    EXPECT_EQ(count, 4);
    EXPECT_EQ(pos, 9);
    fn(text.data(), text.len(), &pos, token, 8, &count);
    EXPECT_EQ(std::string(token, 8), "        ");
    EXPECT_EQ(count, 0);
  }
}

TEST_F(Fortran, IdentifierScannerCutsAtTheTokenAndStopsAtDelimiters) {
  char token[3];
  int pos = 1, count = 0;
  KVOVARID_NEXT(".X", 2, &pos, token, 3, &count);
  EXPECT_EQ(std::string(token, 3), "   ");
  EXPECT_EQ(count, 0);
  EXPECT_EQ(pos, 2);
  Chars text("HEATER OUT");
  pos = 1;
  KVOVARID_NEXT(text.data(), text.len(), &pos, token, 3, &count);
  EXPECT_EQ(std::string(token, 3), "HEA");
  EXPECT_EQ(count, 6);
  EXPECT_EQ(pos, 8);
}
