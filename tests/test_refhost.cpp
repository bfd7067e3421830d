// SPDX-License-Identifier: BSD-3-Clause
// Tests of the reference host: the services the block library relies on must behave, and must
// refuse bad input without crashing.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string>

#include "kvorefhost.h"

#if !defined(_WIN32)
// The whole program's operator new, the reference host's included, so that a test can refuse
// every heap request for a while (a DLL keeps its own, hence not on Windows).
#include "watched_new.h"
namespace {
bool refuse_new = false;
}
void kvotest::on_new(std::size_t) {
  if (refuse_new) throw std::bad_alloc();
}
#endif

namespace {

class RefHost : public ::testing::Test {
 protected:
  void SetUp() override { kvoref::reset(); }
  void TearDown() override { kvoref::reset(); }
};

int imalloc(int n) { return KVO_IMALLOC(&n); }
int irealloc(int index, int n) { return KVO_IREALLOC(&index, &n); }

char* heap(const char* s) {
  char* t = static_cast<char*>(std::malloc(std::strlen(s) + 1));
  std::strcpy(t, s);
  return t;
}

TEST_F(RefHost, WorkspaceMovesKeepsWordsAndNeverHandsOutZero) {
  const int a = imalloc(8);
  ASSERT_GT(a, 0);
  EXPECT_EQ(ib0[a], 0x5A5A5A5A);  // new words are not zeroed
  for (int i = 0; i < 8; ++i) ib0[a + i] = 100 + i;
  kvoref::set_moving_workspace(true);
  const int32_t* before = ib0;
  const int b = imalloc(4);
  EXPECT_NE(ib0, before);
  EXPECT_GT(b, 0);
  EXPECT_NE(b, a);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(ib0[a + i], 100 + i);
  // Growing well beyond the initial workspace keeps every live block intact.
  const int big = imalloc(10 * kvoref::workspace_words());
  ASSERT_GT(big, 0);
  EXPECT_EQ(ib0[a + 7], 107);
  EXPECT_EQ(kvoref::live_blocks(), 3);
  EXPECT_EQ(kvoref::block_words(b), 4);
  EXPECT_EQ(kvoref::block_words(0), 0);
  EXPECT_GT(imalloc(0), 0);  // a zero-word request still gets a real block
}

TEST_F(RefHost, ReallocKeepsLeadingWordsAndFreeIsForgiving) {
  const int a = imalloc(4);
  int blocker = imalloc(4);  // prevents growing in place
  for (int i = 0; i < 4; ++i) ib0[a + i] = i + 1;
  const int grown = irealloc(a, 50);
  ASSERT_GT(grown, 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ib0[grown + i], i + 1);
  EXPECT_EQ(kvoref::block_words(grown), 50);
  int shrunk = irealloc(grown, 2);
  EXPECT_EQ(ib0[shrunk + 1], 2);
  EXPECT_EQ(kvoref::block_words(shrunk), 2);
  EXPECT_EQ(irealloc(12345, 3), 0);  // unknown block
  EXPECT_EQ(irealloc(shrunk, -1), 0);
  int zero = 0, unknown = 9999, neg = -5;
  KVO_IFREE(&zero);
  KVO_IFREE(&unknown);
  KVO_IFREE(nullptr);
  EXPECT_EQ(KVO_IMALLOC(&neg), 0);
  EXPECT_EQ(KVO_IMALLOC(nullptr), 0);
  EXPECT_EQ(kvoref::live_blocks(), 2);
  KVO_IFREE(&blocker);
  KVO_IFREE(&shrunk);
  EXPECT_EQ(kvoref::live_blocks(), 0);
  // Freed regions coalesce: the whole workspace but the reserved word 0 fits without growing.
  const int words = kvoref::workspace_words();
  EXPECT_EQ(imalloc(words - 1), 1);
  EXPECT_EQ(kvoref::workspace_words(), words);
}

TEST_F(RefHost, ImallocFailureInjectionHitsExactlyTheNthCall) {
  kvoref::fail_imalloc_after(2);
  EXPECT_GT(imalloc(3), 0);
  EXPECT_EQ(imalloc(3), 0);
  EXPECT_GT(imalloc(3), 0);
  EXPECT_EQ(kvoref::live_blocks(), 2);
}

TEST_F(RefHost, ValueCoercion) {
  value_t s, n;
  value_init(&s);
  value_init(&n);
  value_assign_string(&s, heap(" 3 "));
  EXPECT_EQ(value_coerce(&s, &n, VALUE_NUMBER, 0), VALUE_NUMBER);
  EXPECT_EQ(n.u.number.ival, 3);
  EXPECT_EQ(n.u.number.is_int, 1);
  EXPECT_EQ(n.u.number.rval, 3.0);
  value_assign_id(&s, heap("2.5"));
  value_coerce(&s, &n, VALUE_NUMBER, 0);
  EXPECT_EQ(n.u.number.rval, 2.5);
  EXPECT_EQ(n.u.number.is_int, 0);
  for (const char* word : {"abc", "3x", "", "nan", "0x10", "1e999", "- 1", "1 0", "+-1"}) {
    value_assign_string(&s, heap(word));
    EXPECT_NE(value_coerce(&s, &n, VALUE_NUMBER, 0), VALUE_NUMBER) << word;
  }
  // A number too small for a double is zero of its sign, not a word.
  value_assign_string(&s, heap(" -1e-400 "));
  ASSERT_EQ(value_coerce(&s, &n, VALUE_NUMBER, 0), VALUE_NUMBER);
  EXPECT_EQ(n.u.number.rval, 0.0);
  EXPECT_TRUE(std::signbit(n.u.number.rval));
  EXPECT_EQ(n.u.number.is_int, 0);
  value_assign_string(&s, heap("yes"));
  EXPECT_EQ(value_coerce(&s, &n, VALUE_LOGICAL, 0), VALUE_LOGICAL);
  EXPECT_EQ(n.u.logical, 1);
  kvo_number_t r{};
  r.rval = 0.1;
  value_assign_number(&s, &r);
  EXPECT_EQ(value_coerce(&s, &n, VALUE_STRING, 0), VALUE_STRING);
  EXPECT_STREQ(n.u.text, "0.1");
  EXPECT_EQ(value_coerce(&n, &n, VALUE_IDENTIFIER, 0), VALUE_IDENTIFIER);  // in place
  EXPECT_STREQ(n.u.text, "0.1");
  kvoref::capture(kvHisDev, true);
  value_print(kvHisDev, &n);
  value_assign_string(&n, heap("q"));
  value_print(kvHisDev, &n);
  value_assign_logical(&n, 0);
  value_print(kvHisDev, &n);
  EXPECT_EQ(kvoref::take(kvHisDev), "0.1\"q\"FALSE");
  value_destroy(&s);
  value_destroy(&n);
  EXPECT_EQ(value_coerce(nullptr, nullptr, VALUE_NUMBER, 0), VALUE_EMPTY);
}

TEST_F(RefHost, PrintedRealsAreWrittenAsPercentGWhateverTheLocale) {
  kvoref::capture(kvHisDev, true);
  auto printed = [](double real) {
    value_t v;
    value_init(&v);
    kvo_number_t r{};
    r.rval = real;
    value_assign_number(&v, &r);
    value_print(kvHisDev, &v);
    return kvoref::take(kvHisDev);
  };
  EXPECT_EQ(printed(123456789.0), "1.23457e+08");
  EXPECT_EQ(printed(0.1), "0.1");
  const char* found = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
    if ((found = std::setlocale(LC_ALL, name))) break;
  if (!found) GTEST_SKIP() << "no locale with a decimal comma is installed";
  const std::string text = printed(-2.5e-7);
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(text, "-2.5e-07");
}

TEST_F(RefHost, CaptureKeepsExactPrintfText) {
  kvoref::capture(kvRepDev, true);
  kvoprintf(kvRepDev, "%5.2f|%-3d|%s", 3.14159, 7, "x");
  kvowrite(kvRepDev, "abcdef", 3);
  kvowrite(kvRepDev, "zzz", -1);
  kvowrite(kvRepDev, nullptr, 4);
  EXPECT_EQ(kvoref::take(kvRepDev), " 3.14|7  |xabc");
  EXPECT_EQ(kvoref::take(kvRepDev), "");
  const std::string longtext(5000, 'k');
  kvoprintf(kvRepDev, "<%s>", longtext.c_str());
  EXPECT_EQ(kvoref::take(kvRepDev), "<" + longtext + ">");
  // A line of the caller's own after a text left without its line end (the one above, then a
  // message) starts afresh; after a closed line nothing is added.
  kvoref::start_line(kvRepDev);
  kvoprintf(kvRepDev, "%s", "Sparsity may be wrong.");
  kvoref::start_line(kvRepDev);
  kvoref::start_line(kvRepDev);
  kvoprintf(kvRepDev, "!! plant: x\n");
  kvoref::start_line(kvRepDev);
  EXPECT_EQ(kvoref::take(kvRepDev), "\nSparsity may be wrong.\n!! plant: x\n");
  kvoref::start_line(7);
  kvopipe* p = kvoref::make_script("INIT", "x = 1");
  EXPECT_STREQ(kvoref::script_text(p), "x = 1");
  EXPECT_EQ(kvoref::live_scripts(), 1);
  kvodestroy(p);
  kvodestroy(p);  // a released handle is ignored
  kvodestroy(nullptr);
  EXPECT_EQ(kvoref::live_scripts(), 0);
}

// start_line looks at the stream the device writes to now: standard output is one line for
// both devices, and a device moved to its captured text or a file takes none of another
// stream's open line along.
TEST_F(RefHost, StartLineEndsTheLineOfTheStreamTheDeviceWritesTo) {
  const std::string path = ::testing::TempDir() + "refhost_start_line.txt";
  std::remove(path.c_str());
  ::testing::internal::CaptureStdout();
  kvoprintf(kvRepDev, "%s", "Sparsity may be wrong.");
  kvoref::start_line(kvHisDev);
  kvoprintf(kvHisDev, "!! plant: x\n");
  kvoprintf(kvHisDev, "%s", "open ");
  kvoprintf(kvRepDev, "closed\n");
  kvoref::start_line(kvHisDev);
  kvoprintf(kvHisDev, "%s", "open again");
  kvoref::capture(kvHisDev, true);
  kvoref::start_line(kvHisDev);
  kvoprintf(kvHisDev, "%s", "kept");
  kvoref::capture(kvHisDev, false);
  ASSERT_TRUE(kvoref::send_to_file(kvHisDev, path.c_str()));
  kvoref::start_line(kvHisDev);
  kvoprintf(kvHisDev, "%s", "filed");
  kvoref::send_to_stdout(kvHisDev);
  kvoref::start_line(kvHisDev);
  kvoprintf(kvHisDev, "last\n");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Sparsity may be wrong.\n!! plant: x\nopen closed\nopen again\nlast\n");
  EXPECT_EQ(kvoref::take(kvHisDev), "kept");
  // A file that ends in the middle of a line has it ended before the next line is appended.
  ASSERT_TRUE(kvoref::send_to_file(kvHisDev, path.c_str()));
  kvoref::start_line(kvHisDev);
  kvoprintf(kvHisDev, "next\n");
  kvoref::send_to_stdout(kvHisDev);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "filed\nnext\n");
  std::remove(path.c_str());
}

// Whether a line is open is a property of the stream, not of the device that wrote last: two
// devices sent to one file share its line, and any other device number shares standard output's.
TEST_F(RefHost, StartLineSeesALineAnotherDeviceLeftOpenInTheSameStream) {
  const std::string path = ::testing::TempDir() + "refhost_shared_file.txt";
  std::remove(path.c_str());
  ASSERT_TRUE(kvoref::send_to_file(kvHisDev, path.c_str()));
  ASSERT_TRUE(kvoref::send_to_file(kvRepDev, path.c_str()));
  kvoprintf(kvRepDev, "%s", "report");
  kvoref::start_line(kvHisDev);
  kvoprintf(kvHisDev, "history\n");
  kvoprintf(kvHisDev, "%s", "open ");
  kvoprintf(kvRepDev, "closed\n");
  kvoref::start_line(kvHisDev);
  kvoprintf(kvHisDev, "last\n");
  kvoref::send_to_stdout(kvHisDev);
  kvoref::send_to_stdout(kvRepDev);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "report\nhistory\nopen closed\nlast\n");
  std::remove(path.c_str());

  ::testing::internal::CaptureStdout();
  kvoprintf(7, "%s", "seven");
  kvoref::start_line(7);
  kvoprintf(7, "eight\n");
  kvoref::start_line(7);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "seven\neight\n");
}

// The file a device writes to is the one it opened, also when another program renames it (a
// log rotated) and puts another file at its name, or when no file stands there any more.
TEST_F(RefHost, StartLineFollowsTheFileTheDeviceWritesToWhenItsNameNoLongerNamesIt) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows renames no file the C library holds open";
#endif
  const std::string path = ::testing::TempDir() + "refhost_rotated.txt";
  const std::string moved = path + ".1";
  std::remove(path.c_str());
  std::remove(moved.c_str());
  ASSERT_TRUE(kvoref::send_to_file(kvHisDev, path.c_str()));
  kvoprintf(kvHisDev, "%s", "open");
  ASSERT_EQ(std::rename(path.c_str(), moved.c_str()), 0);
  kvoref::start_line(kvHisDev);  // nothing stands at the name
  kvoprintf(kvHisDev, "closed\n");
  {
    std::ofstream other(path);
    other << "other";  // a line open in another file at the name
  }
  kvoref::start_line(kvHisDev);
  kvoprintf(kvHisDev, "last\n");
  kvoref::send_to_stdout(kvHisDev);
  std::ifstream in(moved);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "open\nclosed\nlast\n");
  std::ifstream again(path);
  std::stringstream other;
  other << again.rdbuf();
  EXPECT_EQ(other.str(), "other");
  std::remove(path.c_str());
  std::remove(moved.c_str());
}

TEST_F(RefHost, ListsIgnoreBadHandlesAndPositions) {
  kvoref::Lists l = kvoref::make_lists(4);
  kvoref::define_var(l.varlst, 2, std::string(200, 'v').c_str(), 5.0);
  EXPECT_EQ(kvovarlst_inq_nvar(l.varlst), 2);
  EXPECT_EQ(std::strlen(kvovarlst_lookup_var_name(l.varlst, 2)), 128u);
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 3), "");
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.eqnlst, 1), "");  // wrong kind of handle
  // A long name fills a 129-character buffer and no more; a missing position writes "".
  char buffer[140];
  std::memset(buffer, 'x', sizeof buffer);
  kvovarlst_inq_var_name(l.varlst, 2, buffer);
  EXPECT_EQ(std::strlen(buffer), 128u);
  EXPECT_EQ(buffer[129], 'x');
  kvoeqnlst_inq_eqn_name(l.eqnlst, 1, buffer);
  EXPECT_STREQ(buffer, "");
  kvovarlst_set_var_value(l.varlst, 0, 1.0, 0);
  kvovarlst_set_var_value(l.varlst, 3, 1.0, 0);
  EXPECT_EQ(kvovarlst_inq_var_value(l.varlst, 2, 0), 5.0);
  EXPECT_EQ(kvovarlst_vec_value(l.varlst)[1], 5.0);
  EXPECT_EQ(kvovarlst_inq_nvar(99), 0);
  // A Jacobian refuses entries beyond its capacity.
  kvoref::set_nz(l.jac, 4, 1, 2);
  kvojac_set_nz_value(l.jac, 5, 9.0);
  kvojac_set_nz_eqnnum(l.jac, 0, 9);
  EXPECT_EQ(kvojac_inq_nz_varnum(l.jac, 4), 2);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(l.jac, 5), 0);
  double v = -1.0;
  kvojac_inq_nz_value(l.jac, 5, &v);
  EXPECT_EQ(v, 0.0);
  kv_jac_t pat = kvojac_create(2);
  kvojac_set_nnz(pat, 3);
  const int rows[] = {7, 8, 9};
  kvojac_set_rows(pat, rows);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(pat, 3), 9);
  EXPECT_EQ(kvojac_create(-1), 0);
  EXPECT_EQ(kvoref::live_pattern_objects(), 1);
  kvojac_destroy(&pat);
  EXPECT_EQ(pat, 0);
  EXPECT_EQ(kvoref::live_pattern_objects(), 0);
  EXPECT_EQ(kvojac_inq_nnz(l.jac), 4);
}

TEST_F(RefHost, MoveRemoveAndRenumber) {
  kvoref::Lists l = kvoref::make_lists(4);
  for (int p = 1; p <= 3; ++p)
    kvoref::define_var(l.varlst, p, ("V" + std::to_string(p)).c_str(), p);
  kvovarlst_move_items(l.varlst, 2, 4, 2);  // V2,V3 -> positions 4,5; list grows
  EXPECT_EQ(kvovarlst_inq_nvar(l.varlst), 5);
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 4), "V2");
  EXPECT_EQ(kvovarlst_inq_var_value(l.varlst, 5, 0), 3.0);
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 2), "");  // vacated
  kvovarlst_move_items(l.varlst, 4, 3, 2);                   // overlapping move down: V2,V3 -> 3,4
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 3), "V2");
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 4), "V3");
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 5), "");
  kvovarlst_removevars(l.varlst, 3, 3);
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 3), "");
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 4), "V3");
  kvoref::define_eqn(l.eqnlst, 1, "E1");
  kvoref::define_eqn(l.eqnlst, 2, "E2");
  kvoeqnlst_vec_residual(l.eqnlst)[0] = 3.0;
  kvoeqnlst_vec_residual(l.eqnlst)[1] = 4.0;
  double norm = -1.0;
  kvoeqnlst_norm(l.eqnlst, 1, 2, &norm);
  EXPECT_DOUBLE_EQ(norm, 5.0);
  kvoeqnlst_norm(l.eqnlst, 2, 9, &norm);  // clamped at the end of the list
  EXPECT_DOUBLE_EQ(norm, 4.0);
  // Residuals whose squares leave the range of a double still have their norm.
  for (double scale : {1e200, 1e-200}) {
    kvoeqnlst_vec_residual(l.eqnlst)[0] = 3.0 * scale;
    kvoeqnlst_vec_residual(l.eqnlst)[1] = -4.0 * scale;
    kvoeqnlst_norm(l.eqnlst, 1, 2, &norm);
    EXPECT_DOUBLE_EQ(norm, 5.0 * scale);
  }
  kvoeqnlst_vec_residual(l.eqnlst)[0] = 3.0;
  kvoeqnlst_vec_residual(l.eqnlst)[1] = 4.0;
  kvoeqnlst_in_exclude_equation(l.eqnlst, 2, 0);
  EXPECT_EQ(kvoref::eqn_included(l.eqnlst, 2), 0);
  EXPECT_EQ(kvoref::eqn_included(l.eqnlst, 1), 1);
  kvoref::set_nz(l.jac, 1, 1, 1);
  kvoref::set_nz(l.jac, 2, 2, 3);
  kvojac_renumber(l.jac, 2, 4, 0, 10, 0, 100);  // entries 3,4 are unset and stay 0
  EXPECT_EQ(kvojac_inq_nz_eqnnum(l.jac, 1), 1);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(l.jac, 2), 102);
  EXPECT_EQ(kvojac_inq_nz_varnum(l.jac, 2), 13);
  EXPECT_EQ(kvojac_inq_nz_varnum(l.jac, 3), 0);
  kv_jac_t jac = l.jac;
  KVJacIrn irn(&jac);
  KVJacIcn icn(&jac);
  ASSERT_EQ(irn.size(), 4);
  EXPECT_EQ(irn[1], 102);
  EXPECT_EQ(icn[0], 1);
  kv_jac_t bad = 77;
  EXPECT_EQ(KVJacIrn(&bad).data(), nullptr);
  EXPECT_EQ(KVJacIcn(nullptr).size(), 0);
}

TEST_F(RefHost, AMoveWhoseSourceRunsPastTheEndMovesWhatTheListHolds) {
  // A block may record stops beyond the positions its lists hold: its items still move, and
  // the destination shows the positions past the end as empty.
  kvoref::Lists l = kvoref::make_lists(3);
  for (int p = 1; p <= 3; ++p) {
    kvoref::define_var(l.varlst, p, ("V" + std::to_string(p)).c_str(), p);
    kvoref::set_nz(l.jac, p, p, p);
  }
  for (int p = 1; p <= 5; ++p) kvoref::define_eqn(l.eqnlst, p, ("E" + std::to_string(p)).c_str());
  kvovarlst_move_items(l.varlst, 2, 5, 4);  // V2,V3 and two positions past the end
  EXPECT_EQ(kvovarlst_inq_nvar(l.varlst), 6);
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 5), "V2");
  EXPECT_EQ(kvovarlst_inq_var_value(l.varlst, 6, 0), 3.0);
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 2), "");
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 3), "");
  kvovarlst_move_items(l.varlst, 7, 20, 2);  // nothing held: the list does not grow
  EXPECT_EQ(kvovarlst_inq_nvar(l.varlst), 6);
  kvoeqnlst_move_items(l.eqnlst, 4, 1, 3);  // E4,E5 and one position past the end
  EXPECT_EQ(kvoref::num_eqns(l.eqnlst), 5);
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(l.eqnlst, 1), "E4");
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(l.eqnlst, 2), "E5");
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(l.eqnlst, 3), "");  // took the empty third item
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(l.eqnlst, 5), "");
  kvojac_move_items(l.jac, 3, 4, 2);
  EXPECT_EQ(kvojac_inq_nnz(l.jac), 4);
  EXPECT_EQ(kvojac_inq_nz_varnum(l.jac, 4), 3);
  EXPECT_EQ(kvojac_inq_nz_varnum(l.jac, 3), 0);
  // Numbers shifted past the ends of an int wrap instead of overflowing.
  kvojac_renumber(l.jac, 4, 4, 0, INT32_MAX, 0, INT32_MIN);
  EXPECT_EQ(kvojac_inq_nz_varnum(l.jac, 4), INT32_MIN + 2);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(l.jac, 4), INT32_MIN + 3);
}

TEST_F(RefHost, AJacobianCutDownKeepsItsEntriesAndGrowsAgainWithZeros) {
  kvoref::Lists l = kvoref::make_lists(10);
  for (int k = 1; k <= 10; ++k) {
    kvoref::set_nz(l.jac, k, k, k);
    kvojac_set_nz_value(l.jac, k, 1.0 * k);
  }
  // Cut a little: the capacity is kept, and what grows back into it is empty.
  kvoref::resize_jac(l.jac, 4);
  kvoref::resize_jac(l.jac, 10);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(l.jac, 4), 4);
  for (int k = 5; k <= 10; ++k) {
    EXPECT_EQ(kvojac_inq_nz_eqnnum(l.jac, k), 0) << k;
    EXPECT_EQ(kvojac_inq_nz_varnum(l.jac, k), 0) << k;
    EXPECT_EQ(kvojac_vec_bj(l.jac)[k - 1], 0.0) << k;
  }
  // A large reservation cut down to a few entries is released; the entries stay.
  kvoref::resize_jac(l.jac, 1000000);
  kvoref::set_nz(l.jac, 1000000, 7, 7);
  kvoref::resize_jac(l.jac, 3);
  ASSERT_EQ(kvojac_inq_nnz(l.jac), 3);
  EXPECT_EQ(kvojac_inq_nz_varnum(l.jac, 3), 3);
  EXPECT_EQ(kvojac_vec_bj(l.jac)[2], 3.0);
  kvoref::resize_jac(l.jac, 1000000);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(l.jac, 4), 0);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(l.jac, 1000000), 0);
}

TEST_F(RefHost, SpecAttributeFollowsLastFullStop) {
  kvoref::Lists l = kvoref::make_lists(0);
  kvoref::define_var(l.varlst, 1, "B1.X1", 0.0);
  value_t v, out;
  value_init(&v);
  value_init(&out);
  value_assign_id(&v, heap("FIXED"));
  EXPECT_EQ(kvovarlst_assign_value(l.varlst, "B1.X1.SPEC", &v), 1);
  EXPECT_EQ(kvovarlst_assign_value(l.varlst, "B1.X1.LOWER", &v), 0);
  EXPECT_EQ(kvovarlst_assign_value(l.varlst, "B1.X2.SPEC", &v), 0);
  value_destroy(&v);  // the list kept its own copy
  EXPECT_EQ(kvovarlst_lookup_value(l.varlst, "B1.X1.SPEC", &out), 1);
  EXPECT_EQ(out.kind, VALUE_IDENTIFIER);
  EXPECT_STREQ(out.u.text, "FIXED");
  EXPECT_EQ(kvovarlst_lookup_value(l.varlst, "X1.SPEC", &out), 0);
  value_destroy(&out);
}

TEST_F(RefHost, NamingStatusAndNameCheck) {
  EXPECT_EQ(nuxLookupPortPhase("LIQUID"), 2);
  EXPECT_EQ(nuxLookupPortPhase("liquid"), 0);
  EXPECT_STREQ(nuxPortPhaseName(42), "UNDEFINED");
  int type = -1, basis = -1;
  EXPECT_FALSE(nuxLookupPortType("NOPE", &type, &basis));
  EXPECT_EQ(type, -1);
  EXPECT_TRUE(nuxLookupPortType("MASS_FLOW", &type, &basis));
  EXPECT_EQ(basis, 2);
  EXPECT_STREQ(nuxPortTypeName(type, basis), "MASS_FLOW");
  EXPECT_EQ(nuxPortTypeName(9, 9), nullptr);
  EXPECT_EQ(stred_kvopt_object("Mix_1"), 1);
  for (const char* bad : {"", "1A", "_A", "A-B", "A B"}) EXPECT_EQ(stred_kvopt_object(bad), 0);
  EXPECT_EQ(stred_kvopt_object(nullptr), 0);
  int status = kvoref::VAR_FIXED | (3 << kvoref::VAR_CONNECTED_SHIFT);
  varSetExcluded(&status, 1);
  EXPECT_EQ(status & kvoref::VAR_EXCLUDED, kvoref::VAR_EXCLUDED);
  EXPECT_EQ(varInqConnected(status), 3);
  EXPECT_EQ(varIsFixed(status), 1);
  varSetExcluded(nullptr, 1);
  char s[4] = {'a', 'b', 'c', 'd'};
  IU_CLRSTR(s, 3);
  EXPECT_EQ(std::string(s, 4), "   d");
  auto* port = new kvoref::Port("IN", {0, 5});
  port->shift_vars(10);
  EXPECT_EQ(port->var(1), 15);
  EXPECT_EQ(port->var(0), 0);
  EXPECT_EQ(port->var(2), 0);
  port->mat().stream_fixed = true;
  EXPECT_FALSE(port->material()->set_stream("S1"));
  port->destroy();
  EXPECT_EQ(kvoref::Port::destroyed, 1);
}

#if !defined(_WIN32)
// Runs `call` while every heap request fails; true when nothing escaped from it.
template <class F>
bool without_heap(F call) {
  refuse_new = true;
  bool escaped = false;
  try {
    call();
  } catch (...) {
    escaped = true;
  }
  refuse_new = false;
  return !escaped;
}

TEST_F(RefHost, MessagesAboutExhaustedMemoryAreStillWritten) {
  const std::string path = ::testing::TempDir() + "refhost_exhausted.txt";
  std::remove(path.c_str());
  ASSERT_TRUE(kvoref::send_to_file(kvHisDev, path.c_str()));
  kvoref::capture(kvRepDev, true);
  EXPECT_TRUE(without_heap([] {
    kvoprintf(kvHisDev, "!! %s: ", "kvoblk_pat_ini");
    kvoprintf(kvHisDev, "Not enough memory to place the sparsity of block %s\n", "B1");
    kvoprintf(kvRepDev, "%s", "a captured text longer than a short string");
  }));
  kvoref::send_to_stdout(kvHisDev);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "!! kvoblk_pat_ini: Not enough memory to place the sparsity of block B1\n");
  std::remove(path.c_str());
}

// Captured text dropped for want of memory leaves the captured line as the kept text left it.
TEST_F(RefHost, DroppedCapturedTextLeavesTheLineAsItWas) {
  kvoref::capture(kvHisDev, true);
  kvoprintf(kvHisDev, "kept\n");
  const std::string longer(100, 'x');
  EXPECT_TRUE(without_heap([&] { kvoprintf(kvHisDev, "%s", longer.c_str()); }));
  kvoref::start_line(kvHisDev);
  kvoprintf(kvHisDev, "next\n");
  EXPECT_EQ(kvoref::take(kvHisDev), "kept\nnext\n");
}

TEST_F(RefHost, MovesAndSpecsNeedNoHeapAndKeepTheArraysInStep) {
  kvoref::Lists l = kvoref::make_lists(4);
  for (int p = 1; p <= 4; ++p) {
    kvoref::define_var(l.varlst, p, ("Variable number " + std::to_string(p)).c_str(), p);
    kvoref::define_eqn(l.eqnlst, p, ("Equation number " + std::to_string(p)).c_str());
    kvoref::set_nz(l.jac, p, p, p);
  }
  value_t fixed;
  value_init(&fixed);
  value_assign_id(&fixed, heap("FIXED"));
  int known = 0;
  EXPECT_TRUE(without_heap([&] {
    kvovarlst_move_items(l.varlst, 1, 2, 3);  // overlapping, upwards
    kvoeqnlst_move_items(l.eqnlst, 2, 1, 3);  // overlapping, downwards
    kvojac_move_items(l.jac, 1, 2, 3);
    known = kvovarlst_assign_value(l.varlst, "Variable number 3.SPEC", &fixed);
  }));
  EXPECT_EQ(known, 1);
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 1), "");
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 4), "Variable number 3");
  EXPECT_EQ(kvovarlst_inq_var_value(l.varlst, 4, 0), 3.0);
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(l.eqnlst, 1), "Equation number 2");
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(l.eqnlst, 4), "");
  EXPECT_EQ(kvojac_inq_nz_varnum(l.jac, 4), 3);
  EXPECT_EQ(kvojac_inq_nz_varnum(l.jac, 1), 0);
  // A move of nothing leaves the list alone, however far away its destination.
  kvovarlst_move_items(l.varlst, 2, 9, 0);
  EXPECT_EQ(kvovarlst_inq_nvar(l.varlst), 4);
  EXPECT_STREQ(kvovarlst_lookup_var_name(l.varlst, 2), "Variable number 1");
  value_destroy(&fixed);
}

TEST_F(RefHost, WorkspaceAndConversionsRefuseRatherThanThrowWithoutHeap) {
  const int a = imalloc(4);
  int blocker = imalloc(4);  // a growth of `a` must move it
  ib0[a] = 7;
  value_t s, t;
  value_init(&s);
  value_init(&t);
  value_assign_string(&s, heap("a text longer than a short string"));
  int b = -1, grown = -1, kind = -1;
  EXPECT_TRUE(without_heap([&] {
    b = imalloc(4);
    grown = irealloc(a, 64);
    kind = value_coerce(&s, &t, VALUE_IDENTIFIER, 0);
  }));
  EXPECT_EQ(b, 0);
  EXPECT_EQ(grown, 0);
  EXPECT_EQ(kvoref::block_words(a), 4);  // the refused growth left the block whole
  EXPECT_EQ(kvoref::live_blocks(), 2);
  EXPECT_EQ(kind, VALUE_EMPTY);
  EXPECT_EQ(t.kind, VALUE_EMPTY);
  // With memory back, both services work again.
  grown = irealloc(a, 64);
  ASSERT_GT(grown, 0);
  EXPECT_EQ(ib0[grown], 7);
  EXPECT_EQ(value_coerce(&s, &t, VALUE_IDENTIFIER, 0), VALUE_IDENTIFIER);
  value_destroy(&s);
  value_destroy(&t);
  KVO_IFREE(&blocker);
}

TEST_F(RefHost, RefusalsWithoutHeapGiveBackEveryFreeWord) {
  const int a = imalloc(4);
  const int blocker = imalloc(4);
  ASSERT_GT(blocker, a);
  const int words = kvoref::workspace_words();
  int b = -1, moved = -1;
  EXPECT_TRUE(without_heap([&] {
    b = imalloc(4);
    moved = irealloc(a, 64);
  }));
  EXPECT_EQ(b, 0);
  EXPECT_EQ(moved, 0);
  // Every word after the blocker is still free: one block takes them all without growing.
  const int rest = imalloc(words - (blocker + 4));
  EXPECT_EQ(rest, blocker + 4);
  EXPECT_EQ(kvoref::workspace_words(), words);
}
#endif

}  // namespace
