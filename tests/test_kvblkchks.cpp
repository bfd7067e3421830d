// SPDX-License-Identifier: BSD-3-Clause
// Structure checksums and the host's MD5: the digest service against the RFC 1321 vectors, which
// entries each routine samples, the exact bytes it feeds, and what it does with missing inputs.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include <kvoblk/host/kvo_md5.h>
#include "fixture.h"

#ifdef KVOBLK_WHITEBOX
#include "kvopat.h"
#endif

using kvotest::KvoTest;

namespace {

std::string hex(const unsigned char d[16]) {
  char out[33];
  for (int i = 0; i < 16; ++i) std::snprintf(out + 2 * i, 3, "%02x", d[i]);
  return out;
}

// The digest of a byte string through the host's three calls.
std::string md5_of(const std::string& bytes) {
  kvo_md5_ctx c{nullptr};
  MD5Init(&c);
  MD5Update(&c, reinterpret_cast<const unsigned char*>(bytes.data()),
            static_cast<unsigned>(bytes.size()));
  unsigned char d[16];
  MD5Final(d, &c);
  return hex(d);
}

// The digest of whatever `feed` puts into a fresh context.
template <class F>
std::string digest_of(F feed) {
  kvo_md5_ctx c{nullptr};
  MD5Init(&c);
  feed(&c);
  unsigned char d[16];
  MD5Final(d, &c);
  return hex(d);
}

// The texts run together, as the routines feed them.
std::string join(std::initializer_list<const char*> texts) {
  std::string s;
  for (const char* t : texts) s += t;
  return s;
}

const char* const kEmpty = "d41d8cd98f00b204e9800998ecf8427e";

}  // namespace

// ---- The host's MD5 ------------------------------------------------------------------------

class HostMd5 : public KvoTest {};

TEST_F(HostMd5, MatchesEveryRfc1321TestVector) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& v : vectors) EXPECT_EQ(md5_of(v.first), v.second) << '"' << v.first << '"';
}

TEST_F(HostMd5, PiecesAndEmptyUpdatesGiveTheSameDigestAsOneUpdate) {
  const std::string text = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  const std::string whole = md5_of(text);
  EXPECT_EQ(digest_of([&](kvo_md5_ctx* c) {
              MD5Update(c, nullptr, 0);
              for (char ch : text) {
                const unsigned char byte = static_cast<unsigned char>(ch);
                MD5Update(c, &byte, 1);
                MD5Update(c, &byte, 0);
              }
              MD5Update(c, nullptr, 5);  // no bytes to read: ignored
            }),
            whole);
}

TEST_F(HostMd5, NullAndNeverInitialisedContextsAreHarmlessAndGiveZeroDigests) {
  const std::string zeros(32, '0');
  const unsigned char a = 'a';
  unsigned char d[16];

  MD5Init(nullptr);
  MD5Update(nullptr, &a, 1);
  std::fill(d, d + 16, 0xAB);
  MD5Final(d, nullptr);
  EXPECT_EQ(hex(d), zeros);

  kvo_md5_ctx never{nullptr};
  MD5Update(&never, &a, 1);
  std::fill(d, d + 16, 0xAB);
  MD5Final(d, &never);
  EXPECT_EQ(hex(d), zeros);

  // Stray bits in a context that was never initialised are not taken for a digest under way.
  long long victim = 12345;
  kvo_md5_ctx stray{&victim};
  MD5Update(&stray, &a, 1);
  MD5Final(d, &stray);
  EXPECT_EQ(hex(d), zeros);
  EXPECT_EQ(victim, 12345);
}

TEST_F(HostMd5, FinalReleasesTheContextSoItCanBeFinishedTwiceAndStartedAgain) {
  kvo_md5_ctx c{nullptr};
  MD5Init(&c);
  MD5Update(&c, reinterpret_cast<const unsigned char*>("abc"), 3);
  kvo_md5_ctx copy = c;
  unsigned char d[16];
  MD5Final(d, &c);
  EXPECT_EQ(hex(d), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(c.impl, nullptr);
  MD5Final(d, &c);
  EXPECT_EQ(hex(d), std::string(32, '0'));
  // A copy taken before the finish is not released a second time.
  MD5Final(d, &copy);
  EXPECT_EQ(hex(d), std::string(32, '0'));

  MD5Init(&c);
  MD5Update(&c, reinterpret_cast<const unsigned char*>("a"), 1);
  MD5Final(nullptr, &c);  // no digest wanted: still released
  EXPECT_EQ(c.impl, nullptr);
}

TEST_F(HostMd5, InitialisingAgainBeforeTheFinishStartsTheDigestOver) {
  kvo_md5_ctx c{nullptr};
  MD5Init(&c);
  MD5Update(&c, reinterpret_cast<const unsigned char*>("xyz"), 3);
  MD5Init(&c);
  MD5Update(&c, reinterpret_cast<const unsigned char*>("abc"), 3);
  unsigned char d[16];
  MD5Final(d, &c);
  EXPECT_EQ(hex(d), "900150983cd24fb0d6963f7d28e17f72");
}

// ---- Sampling of a block's names and pattern -----------------------------------------------

namespace {

// A flowsheet whose variables are named V1, V2, ..., equations E1, E2, ... and whose Jacobian
// holds the entries set with put(); one block is registered with it.
class Checksums : public KvoTest {
 protected:
  void TearDown() override {
    kvoblk_destroy(b);
    delete cntr;
    KvoTest::TearDown();
  }

  void flowsheet(int nvar, int neqn, int nz_capacity) {
    lists = kvoref::make_lists(nz_capacity);
    for (int i = 1; i <= nvar; ++i)
      kvoref::define_var(lists.varlst, i, ("V" + std::to_string(i)).c_str(), 0.0);
    for (int i = 1; i <= neqn; ++i)
      kvoref::define_eqn(lists.eqnlst, i, ("E" + std::to_string(i)).c_str());
    cntr = new kvoref::Container(lists);
    b = kvoblk_base_create(0);
    kvoblk_register_container(b, cntr);
  }
  void vars(int start, int stop) {
    kvoblk_set_vstart(b, start);
    kvoblk_set_vstop(b, stop);
  }
  void eqns(int start, int stop) {
    kvoblk_set_estart(b, start);
    kvoblk_set_estop(b, stop);
  }
  void nzs(int start, int stop) {
    kvoblk_set_nzstart(b, start);
    kvoblk_set_nzstop(b, stop);
  }
  // Global non-zero p holds global equation e and variable v.
  void put(int p, int e, int v) { kvoref::set_nz(lists.jac, p, e, v); }

  std::string var_digest(int k) {
    return digest_of([&](kvo_md5_ctx* c) { kvblkchks_var_checksum(b, k, c); });
  }
  std::string eqn_digest(int k) {
    return digest_of([&](kvo_md5_ctx* c) { kvblkchks_eqn_checksum(b, k, c); });
  }
  std::string jac_digest(int k) {
    return digest_of([&](kvo_md5_ctx* c) { kvblkchks_jac_checksum(b, k, c); });
  }
  // The names V<i> (or E<i>) for the given numbers, run together.
  static std::string names(char prefix, std::initializer_list<int> numbers) {
    std::string s;
    for (int i : numbers) s += prefix + std::to_string(i);
    return s;
  }

  kvoref::Lists lists;
  kvoref::Container* cntr = nullptr;
  int b = 0;
};

}  // namespace

TEST_F(Checksums, DensityOneFeedsTheFirstNameOfEachThousand) {
  flowsheet(2001, 0, 1);
  vars(1, 1000);
  EXPECT_EQ(var_digest(1), md5_of("V1"));
  vars(1, 1001);
  EXPECT_EQ(var_digest(1), md5_of("V1V1001"));
  vars(5, 2001);  // global numbering: the grid starts at the block's first variable
  EXPECT_EQ(var_digest(1), md5_of("V5V1005"));
  EXPECT_EQ(his(), "");
}

TEST_F(Checksums, DensityKFeedsOneNameInEveryThousandOverK) {
  flowsheet(1001, 0, 1);
  vars(1, 12);
  EXPECT_EQ(var_digest(1000), md5_of(names('V', {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12})));
  vars(1, 1001);
  EXPECT_EQ(var_digest(2), md5_of("V1V501V1001"));
  EXPECT_EQ(var_digest(3), md5_of("V1V334V667V1000"));  // stride 333
  EXPECT_EQ(var_digest(999), var_digest(1000));         // 1000/999 is a stride of 1
}

TEST_F(Checksums, DensitiesOutsideOneToAThousandIncludingZeroBehaveLikeOne) {
  flowsheet(2001, 0, 1);
  vars(1, 2001);
  const std::string expected = md5_of("V1V1001V2001");
  for (int k : {-5, 5000, 0, 1001, INT_MIN, INT_MAX}) EXPECT_EQ(var_digest(k), expected) << k;
}

TEST_F(Checksums, EquationsAreSampledLikeVariables) {
  flowsheet(0, 1500, 1);
  eqns(3, 1003);
  EXPECT_EQ(eqn_digest(1), md5_of("E3E1003"));
  eqns(3, 9);
  EXPECT_EQ(eqn_digest(500), md5_of("E3E5E7E9"));
  eqns(1, 4);
  EXPECT_EQ(eqn_digest(1000), md5_of("E1E2E3E4"));
  EXPECT_EQ(eqn_digest(-5), md5_of("E1"));
}

TEST_F(Checksums, EachNameIsFedWithoutTheRestOfALongerNameBeforeIt) {
  // The buffer is cleared only once, so a shorter name must not pick up the tail of the one
  // fetched before it; a name of the longest length, 128 characters, is fed whole.
  flowsheet(0, 0, 1);
  const std::string longest(128, 'L');
  kvoref::define_var(lists.varlst, 1, longest.c_str(), 0.0);
  kvoref::define_var(lists.varlst, 2, "AB", 0.0);
  kvoref::define_var(lists.varlst, 3, "", 0.0);
  kvoref::define_var(lists.varlst, 4, "C", 0.0);
  vars(1, 4);
  EXPECT_EQ(var_digest(1000), md5_of(longest + "ABC"));
}

TEST_F(Checksums, PositionsOutsideTheListFeedNothingAndKeepTheGrid) {
  flowsheet(1500, 0, 1);
  vars(1, 3500);  // runs past the list's 1500 variables
  EXPECT_EQ(var_digest(1), md5_of("V1V1001"));
  vars(-999, 1500);  // grid -999, 1, 1001: only real positions are fetched
  EXPECT_EQ(var_digest(1), md5_of("V1V1001"));
  vars(-5000000, 2);
  EXPECT_EQ(var_digest(1), kEmpty);
  EXPECT_EQ(his(), "");
}

TEST_F(Checksums, JacobianEntriesAreFedAsBlockLocalRowDashColumn) {
  flowsheet(20, 30, 2100);
  vars(11, 20);
  eqns(21, 30);
  nzs(31, 2031);
  put(31, 22, 13);    // local 2-3
  put(1031, 30, 11);  // local 10-1
  put(2031, 21, 20);  // local 1-10
  EXPECT_EQ(jac_digest(1), md5_of(join({"2-3", "10-1", "1-10"})));
  // Entries the block never set hold equation and variable 0: plain decimal with the sign.
  nzs(32, 33);
  EXPECT_EQ(jac_digest(1000), md5_of("-20--10-20--10"));
}

TEST_F(Checksums, JacobianRangeRunningPastTheJacobianFeedsOnlyTheEntriesThatExist) {
  flowsheet(2, 2, 1500);
  vars(1, 2);
  eqns(1, 2);
  for (int p = 1; p <= 1500; ++p) put(p, 1 + p % 2, 2 - p % 2);
  for (int p : {1001, 1002}) put(p, 2, 2);
  nzs(1, 5000);
  EXPECT_EQ(jac_digest(1), md5_of(join({"2-1", "2-2"})));
  nzs(-1999, 1001);  // grid -1999, -999, 1, 1001
  EXPECT_EQ(jac_digest(1), md5_of(join({"2-1", "2-2"})));
  nzs(2, 1002);
  EXPECT_EQ(jac_digest(1), md5_of(join({"1-2", "2-2"})));
  nzs(1400, 1600);
  std::string last;
  for (int p = 1400; p <= 1500; ++p) last += p % 2 ? "2-1" : "1-2";
  EXPECT_EQ(jac_digest(1000), md5_of(last));
}

TEST_F(Checksums, ReorderingSampledEntriesChangesTheDigestButChangingOthersDoesNot) {
  flowsheet(5, 5, 2001);
  vars(1, 5);
  eqns(1, 5);
  nzs(1, 2001);
  for (int p = 1; p <= 2001; ++p) put(p, 1 + p % 5, 1 + p % 3);
  const std::string before = jac_digest(1);
  EXPECT_EQ(before, md5_of(join({"2-2", "2-3", "2-1"})));
  put(2, 5, 5);
  put(1000, 5, 5);
  put(2000, 4, 4);
  EXPECT_EQ(jac_digest(1), before);
  put(1, 2, 3);  // entries 1 and 1001 swapped
  put(1001, 2, 2);
  EXPECT_NE(jac_digest(1), before);
  EXPECT_EQ(jac_digest(1), md5_of(join({"2-3", "2-2", "2-1"})));
}

TEST_F(Checksums, RoutinesOnOneContextFeedVariablesThenEquationsThenPattern) {
  flowsheet(3, 2, 3);
  vars(1, 3);
  eqns(1, 2);
  nzs(1, 3);
  put(1, 1, 1);
  put(2, 1, 3);
  put(3, 2, 2);
  const std::string all = digest_of([&](kvo_md5_ctx* c) {
    kvblkchks_var_checksum(b, 1, c);
    kvblkchks_eqn_checksum(b, 1, c);
    kvblkchks_jac_checksum(b, 1, c);
  });
  EXPECT_EQ(all, md5_of("V1E11-1"));
  vars(1, 0);  // no variables: the other two parts are still fed
  const std::string rest = digest_of([&](kvo_md5_ctx* c) {
    kvblkchks_var_checksum(b, 1, c);
    kvblkchks_eqn_checksum(b, 1, c);
    kvblkchks_jac_checksum(b, 1000, c);
  });
  EXPECT_EQ(rest, md5_of("E11-11-32-2"));
}

TEST_F(Checksums, MissingInputsFeedNothingAndPrintNothing) {
  flowsheet(3, 3, 3);
  vars(1, 3);
  eqns(1, 3);
  nzs(1, 3);
  // Handle 0 and a null context.
  for (auto routine : {kvblkchks_var_checksum, kvblkchks_eqn_checksum, kvblkchks_jac_checksum}) {
    EXPECT_EQ(digest_of([&](kvo_md5_ctx* c) { routine(0, 1, c); }), kEmpty);
    routine(b, 1, nullptr);
  }
  // An empty pattern range.
  nzs(3, 2);
  EXPECT_EQ(jac_digest(1), kEmpty);
  // A block without a container has no lists and no Jacobian.
  const int lone = kvoblk_base_create(0);
  kvoblk_set_vstop(lone, 3);
  kvoblk_set_estop(lone, 3);
  kvoblk_set_nzstop(lone, 3);
  for (auto routine : {kvblkchks_var_checksum, kvblkchks_eqn_checksum, kvblkchks_jac_checksum})
    EXPECT_EQ(digest_of([&](kvo_md5_ctx* c) { routine(lone, 1, c); }), kEmpty);
  kvoblk_destroy(lone);
  EXPECT_EQ(his(), "");
}

TEST_F(Checksums, BadHandleIsReportedAndFeedsNothing) {
  flowsheet(1, 1, 1);
  const int bad = b + 1;
  EXPECT_EQ(digest_of([&](kvo_md5_ctx* c) {
              kvblkchks_var_checksum(bad, 1, c);
              kvblkchks_eqn_checksum(bad, 1, c);
              kvblkchks_jac_checksum(bad, 1, c);
            }),
            kEmpty);
  const std::string n = std::to_string(bad);
  EXPECT_EQ(his(), "!! kvblkchks_var_checksum: Invalid block handle " + n +
                       "\n!! kvblkchks_eqn_checksum: Invalid block handle " + n +
                       "\n!! kvblkchks_jac_checksum: Invalid block handle " + n + "\n");
}

// ---- Patterns held as arrays and the structure digest --------------------------------------
// These reach the library's internal routines, so they run only in a build that links the
// library's objects into the test program (KVOBLK_WHITEBOX).
#ifdef KVOBLK_WHITEBOX

using kvoblk::detail::kvblkchks_pat_checksum;
using kvoblk::detail::structure_digest;

namespace {
std::string pat_digest(int k, int nnz, const std::vector<int>& rows, const std::vector<int>& cols) {
  return digest_of(
      [&](kvo_md5_ctx* c) { kvblkchks_pat_checksum(k, &nnz, rows.data(), cols.data(), c); });
}
std::string structure(int b, int nnz, const int* rows, const int* cols) {
  unsigned char d[16];
  kvoblk::detail::BlockPattern p;
  if (rows) {
    EXPECT_TRUE(p.resize(nnz));
    for (int k = 0; k < nnz; ++k) {
      p.rows[k] = rows[k];
      p.cols[k] = cols[k];
    }
  }
  structure_digest(b, rows ? &p : nullptr, d);
  return hex(d);
}
}  // namespace

TEST_F(Checksums, ArrayPatternIsSampledFromPositionZeroByTheSameRules) {
  std::vector<int> rows(2001), cols(2001);
  for (int i = 0; i < 2001; ++i) {
    rows[i] = 1 + i % 7;
    cols[i] = 1 + i % 11;
  }
  EXPECT_EQ(pat_digest(1, 2001, rows, cols), md5_of(join({"1-1", "7-11", "6-10"})));
  EXPECT_EQ(pat_digest(1, 2000, rows, cols), md5_of(join({"1-1", "7-11"})));
  EXPECT_EQ(pat_digest(1000, 3, rows, cols), md5_of(join({"1-1", "2-2", "3-3"})));
  EXPECT_EQ(pat_digest(0, 2001, rows, cols), pat_digest(1, 2001, rows, cols));
}

TEST_F(Checksums, ArrayPatternWithMissingInputsFeedsNothing) {
  const std::vector<int> rows{1, 2}, cols{1, 2};
  int nnz = 2;
  EXPECT_EQ(pat_digest(1, 0, rows, cols), kEmpty);
  EXPECT_EQ(pat_digest(1, -3, rows, cols), kEmpty);
  EXPECT_EQ(digest_of([&](kvo_md5_ctx* c) {
              kvblkchks_pat_checksum(1, nullptr, rows.data(), cols.data(), c);
              kvblkchks_pat_checksum(1, &nnz, nullptr, cols.data(), c);
              kvblkchks_pat_checksum(1, &nnz, rows.data(), nullptr, c);
            }),
            kEmpty);
  kvblkchks_pat_checksum(1, &nnz, rows.data(), cols.data(), nullptr);
  EXPECT_EQ(his(), "");
}

TEST_F(Checksums, JacobianAndArraysWithTheSameEntriesGiveTheSameDigest) {
  flowsheet(40, 40, 2600);
  vars(7, 40);
  eqns(9, 40);
  nzs(101, 2600);
  std::vector<int> rows, cols;
  for (int p = 101; p <= 2600; ++p) {
    const int e = 9 + p % 31, v = 7 + p % 29;
    put(p, e, v);
    rows.push_back(e - 9 + 1);
    cols.push_back(v - 7 + 1);
  }
  for (int k : {1, 2, 1000, 0, -5}) EXPECT_EQ(jac_digest(k), pat_digest(k, 2500, rows, cols)) << k;
  EXPECT_EQ(structure(b, 0, nullptr, nullptr), structure(b, 2500, rows.data(), cols.data()));
}

TEST_F(Checksums, StructureDigestCoversSampledNamesThenThePatternInOrder) {
  flowsheet(0, 0, 3);
  for (const char* n : {"A", "B", "C"}) kvoref::define_var(lists.varlst, n[0] - 'A' + 1, n, 0.0);
  kvoref::define_eqn(lists.eqnlst, 1, "F");
  kvoref::define_eqn(lists.eqnlst, 2, "G");
  vars(1, 3);
  eqns(1, 2);
  nzs(1, 3);
  put(1, 1, 1);
  put(2, 1, 3);
  put(3, 2, 2);
  EXPECT_EQ(structure(b, 0, nullptr, nullptr), md5_of("AF1-1"));
  const int rows[] = {2, 1}, cols[] = {2, 1};
  EXPECT_EQ(structure(b, 2, rows, cols), md5_of("AF2-2"));
  // A bad handle leaves out the block's part silently; the caller reports it.
  EXPECT_EQ(structure(b + 1, 2, rows, cols), md5_of("2-2"));
  EXPECT_EQ(structure(0, 0, nullptr, nullptr), kEmpty);
  EXPECT_EQ(his(), "");
}

#endif  // KVOBLK_WHITEBOX
