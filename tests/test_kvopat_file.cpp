// SPDX-License-Identifier: BSD-3-Clause
// The sparsity pattern file: what the library writes when the file is missing, how it reads a
// file back into a block's pattern, the dimension query, and a reader that survives any file.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "toy_model.h"
#ifdef KVOBLK_WHITEBOX
#include "kvopat.h"
#endif

namespace fs = std::filesystem;

// ---- Largest single heap request ----------------------------------------------------------
// The reader must never allocate what a file merely announces. The whole program's operator
// new goes through here, so a test can see the largest request made while it ran.
#include "watched_new.h"
namespace {
size_t largest_request = 0;
}
void kvotest::on_new(std::size_t size) {
  if (size > largest_request) largest_request = size;
}

namespace {

// A model whose equation e depends on the listed variables: residual e is the sum of
// (c + 1) * x(c) over its columns c. Variables are named by `var_names`, equations F, G, H...
struct Shape {
  std::vector<std::string> var_names;
  std::vector<std::vector<int>> deps;  // per equation, 1-based columns
};
Shape shape;

void shape_ini(int b, int vs, int es, int nzs, int* status) {
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(b, &varlst, &eqnlst, &jac);
  for (size_t v = 0; v < shape.var_names.size(); ++v)
    kvoref::define_var(varlst, vs + static_cast<int>(v), shape.var_names[v].c_str(), 1.0);
  for (size_t e = 0; e < shape.deps.size(); ++e)
    kvoref::define_eqn(eqnlst, es + static_cast<int>(e), std::string(1, 'F' + e).c_str());
  kvoblk_set_vstop(b, vs + static_cast<int>(shape.var_names.size()) - 1);
  kvoblk_set_estop(b, es + static_cast<int>(shape.deps.size()) - 1);
  kvoblk_set_nzstop(b, nzs - 1);
  *status = 0;
}

void shape_res(int b, int* status) {
  *status = 0;
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(b, &varlst, &eqnlst, &jac);
  const int vs = kvoblk_inq_vstart(b), es = kvoblk_inq_estart(b);
  const double* x = kvovarlst_vec_value(varlst);
  double* r = kvoeqnlst_vec_residual(eqnlst);
  for (size_t e = 0; e < shape.deps.size(); ++e) {
    double sum = 0;
    for (int c : shape.deps[e]) sum += (c + 1) * x[vs + c - 2];
    r[es + e - 1] = sum;
  }
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void spit(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// Replaces the first occurrence of `from` in `text`.
std::string edit(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

using kvotest::pattern_entries;

const char* kDateLine = "Date created             : ";

}  // namespace

class PatternFile : public kvotest::PlacedBlockTest {
 protected:
  PatternFile() { list_capacity = 100; }
  void SetUp() override {
    PlacedBlockTest::SetUp();
    dir = fs::temp_directory_path() /
          ("kvopat_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    path = (dir / "b1.pat").string();
    shape = Shape{{"A", "B", "C"}, {{1, 3}, {2}}};
    b = shape_block("B1");
  }
  void TearDown() override {
    PlacedBlockTest::TearDown();
    fs::remove_all(dir);
  }

  // A placed block of the current shape, restoring from `path`, after any earlier blocks.
  int shape_block(const char* id) {
    int blk = make_block(id);
    kvoblk_ops_t* t = kvoblk_inq_ops(blk);
    t->ini = shape_ini;
    t->res = shape_res;
    kvoblk_register_container(blk, cntr);
    kvoblk_set_pat_file(blk, path.c_str());
    int st = 0;
    kvoblk_ini(blk, next_var, next_eqn, 1, &st);
    next_var += static_cast<int>(shape.var_names.size());
    next_eqn += static_cast<int>(shape.deps.size());
    return blk;
  }

  // Restores the block's pattern; answers its entries (empty for none) and the errors counted.
  std::pair<std::vector<std::pair<int, int>>, int> restore(int blk) {
    int errors = 0;
    kv_jac_t pattern = kvoblk_rpat(blk, &errors);
    std::vector<std::pair<int, int>> e = pattern_entries(pattern);
    if (pattern) kvojac_destroy(&pattern);
    return {e, errors};
  }

  // Writes the file by the numeric fallback and takes the text that produced.
  std::string write_file() {
    auto [e, errors] = restore(b);
    EXPECT_EQ(errors, 0);
    his();
    return slurp(path);
  }

  // The message a restore failure ends with.
  std::string failed(const std::string& why, const char* id = "B1") {
    return "\nError restoring sparsity pattern from file " + path + " for block " + id + "\n" +
           why + "\n\n";
  }
  std::string read_error(const std::string& what, bool first = false) {
    return std::string(first ? "\n\n" : "\n") + "Error reading file " + path + what + "\n\n";
  }

  fs::path dir;
  std::string path;
  int b = 0;
  int next_var = 1, next_eqn = 1;
};

using Entries = std::vector<std::pair<int, int>>;

// ---- Writing ------------------------------------------------------------------------------

TEST_F(PatternFile, MissingFileIsDetectedNumericallyAndSavedInTheFixedFormat) {
  auto [e, errors] = restore(b);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(e, (Entries{{1, 3}, {1, 1}, {2, 2}}));
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_NUMERIC);
  EXPECT_EQ(his(), "\nWarning while restoring sparsity pattern from file " + path +
                       " for block B1\nFile could not be opened.\n"
                       "Computing sparsity numerically and saving it to file.\n\n");

  // The date is the time of writing; everything else is fixed.
  std::vector<std::string> lines = lines_of(slurp(path));
  ASSERT_GT(lines.size(), 10u);
  EXPECT_TRUE(std::regex_match(lines[9], std::regex("Date created             : "
                                                    "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                                                    "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|"
                                                    "Nov|Dec) [0-3][0-9] [0-2][0-9]:[0-5][0-9]:"
                                                    "[0-6][0-9] Year of our Lord [0-9]{4}")))
      << lines[9];
  std::string text = slurp(path);
  size_t date = text.find(kDateLine);
  text.replace(date + std::strlen(kDateLine), text.find('\n', date) - date - std::strlen(kDateLine),
               "<date>");
  EXPECT_EQ(text, kvotest::golden("pattern_3x2.pat"));
  EXPECT_FALSE(fs::exists(path + ".kvotmp"));
}

TEST_F(PatternFile, SavedFileIsReadBackWithoutDetectingAgain) {
  write_file();
  kvoblk_set_pat_type(b, KVOBLK_PATTYPE_UNDEFINED);
  kvoblk_set_pertsize(b, 0.5);
  kvoblk_inq_ops(b)->res = nullptr;  // a second detection would now be reported
  auto [e, errors] = restore(b);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(e, (Entries{{1, 3}, {1, 1}, {2, 2}}));
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_NUMERIC);
  EXPECT_EQ(kvoblk_inq_pertsize(b), 1e-6);
  EXPECT_EQ(his(), "");
}

TEST_F(PatternFile, NumbersAreReadAsTheCConversionReadsThemWhereverTheReadsSplitTheFile) {
  // The file is read in spans of 64 KiB. Blanks are free, so the column numbers can be moved
  // to where a span ends in the middle of one, or right after one, and written as octal, hex
  // or signed numbers of the same value: the pattern and its checksum stay the same.
  const std::string text = write_file();
  const std::string numbers = "         3         1         2";
  const size_t at = text.find(numbers);
  ASSERT_NE(at, std::string::npos);
  // Each case: the first number and how far it reaches past the end of the first span.
  for (const auto& [first, past] :
       {std::pair<std::string, size_t>{"0000000003", 5}, {"3", 0}, {"3", 1}}) {
    const size_t pad = (size_t{1} << 16) + past - first.size() - at;
    const std::string moved = text.substr(0, at) + std::string(pad, ' ') + first + " 0x1 +2" +
                              text.substr(at + numbers.size());
    spit(path, moved);
    auto [e, errors] = restore(b);
    EXPECT_EQ(errors, 0) << first << " " << past;
    EXPECT_EQ(e, (Entries{{1, 3}, {1, 1}, {2, 2}})) << first << " " << past;
    EXPECT_EQ(his(), "");
  }
}

TEST_F(PatternFile, NumbersScannedInTheBufferReadAsTokensReadWhole) {
  // The five numbers of the data sections in random forms (plain, leading zeros, hex, signed,
  // out of range, too long, not numbers), with random blanks (runs of spaces of any length,
  // tabs, form feeds, CRLF line ends), one of them placed so that the first 64 KiB span ends
  // in it or just after it. A sign in front makes the reader take a number the general way:
  // both files must restore the same pattern, or fail with the same message.
  const std::string text = write_file();
  const std::string cols = "         3         1         2", counts = "         2         1";
  const size_t at_cols = text.find(cols), at_counts = text.find(counts, at_cols + cols.size());
  ASSERT_NE(at_counts, std::string::npos);
  const char* forms[] = {"3",           "03",          "0000000003", "0x3",
                         "+3",          "4",           "08",         "1a",
                         "-0",          "0x",          "2147483647", "2147483648",
                         "99999999999", "12345678901", "3\v",        "0"};
  const std::string blanks[] = {" ",
                                "\t",
                                "  \f ",
                                std::string(7, ' '),
                                std::string(8, ' '),
                                std::string(9, ' '),
                                std::string(17, ' '),
                                "\n"};
  const int values[] = {3, 1, 2, 2, 1};
  std::mt19937 gen(99);
  auto below = [&gen](size_t n) { return static_cast<size_t>(gen() % n); };
  for (int t = 0, run = 0; run < 100; ++t) {
    std::vector<std::string> fast, general, gaps;
    for (int i = 0; i < 5; ++i) {
      const size_t pick = below(4);
      fast.push_back(pick == 0   ? forms[below(sizeof forms / sizeof *forms)]
                     : pick == 1 ? "0" + std::to_string(values[i])
                                 : std::to_string(values[i]));
      general.push_back(fast.back()[0] >= '1' && fast.back()[0] <= '9' ? "+" + fast.back()
                                                                       : fast.back());
      gaps.push_back(blanks[below(sizeof blanks / sizeof *blanks)]);
    }
    const bool crlf = below(3) == 0;
    // Where the chosen number ends in a file without padding, and the padding that moves that
    // end to `past` bytes beyond the first span.
    const size_t chosen = below(3), past = below(14);
    size_t end = at_cols + (crlf ? std::count(text.begin(), text.begin() + at_cols, '\n') : 0);
    for (size_t i = 0; i <= chosen; ++i) end += gaps[i].size() + fast[i].size();
    if (end > (size_t{1} << 16) + past) continue;
    const size_t pad = (size_t{1} << 16) + past - end;
    auto file = [&](const std::vector<std::string>& n) {
      std::string out = text.substr(0, at_cols) + std::string(pad, ' ');
      for (int i = 0; i < 3; ++i) out += gaps[i] + n[i];
      out += text.substr(at_cols + cols.size(), at_counts - at_cols - cols.size());
      for (int i = 3; i < 5; ++i) out += gaps[i] + n[i];
      out += text.substr(at_counts + counts.size());
      return crlf ? std::regex_replace(out, std::regex("\n"), "\r\n") : out;
    };
    ++run;
    spit(path, file(fast));
    const auto [fast_entries, fast_errors] = restore(b);
    const std::string fast_text = his();
    spit(path, file(general));
    const auto [general_entries, general_errors] = restore(b);
    SCOPED_TRACE("case " + std::to_string(t));
    EXPECT_EQ(fast_entries, general_entries);
    EXPECT_EQ(fast_errors, general_errors);
    EXPECT_EQ(fast_text, his());
  }
}

TEST_F(PatternFile, SevenValuesFillOneLineAndAnEighthStartsAnother) {
  shape = Shape{{"A", "B", "C", "D", "E", "F", "G", "H"}, {{1, 2, 3, 4, 5, 6, 7}}};
  path = (dir / "seven.pat").string();
  int seven = shape_block("S7");
  restore(seven);
  std::string text = slurp(path);
  EXPECT_NE(text.find("==\n\n         7         6         5         4         3         2"
                      "         1\n\n\n====="),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("==\n\n         7\n"), std::string::npos) << text;

  shape.deps = {{1, 2, 3, 4, 5, 6, 7, 8}};
  path = (dir / "eight.pat").string();
  int eight = shape_block("S8");
  restore(eight);
  text = slurp(path);
  EXPECT_NE(text.find("==\n\n         8         7         6         5         4         3"
                      "         2\n         1\n\n\n====="),
            std::string::npos)
      << text;
}

// A block whose residuals depend on no variable: nothing to list, every equation counted 0.
// Its digest also has a first byte below 16, written as one digit.
TEST_F(PatternFile, EmptyPatternIsSavedAndRestoredAsEmpty) {
  shape = Shape{{"A", "B", "C"}, {{}, {}}};
  path = (dir / "empty.pat").string();
  const int blk = shape_block("E1");
  EXPECT_EQ(restore(blk).second, 0);
  his();
  const std::string text = slurp(path);
  EXPECT_NE(text.find("Number of non-zeros      : 0\n\n"
                      "Checksum ( 6 fa 56 7b 72 d7 8b 7e 3e a7 46 97 3f bb d1 d5 )\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" Column Index Pointers ===========================\n\n\n\n\n====="),
            std::string::npos)
      << text;
  EXPECT_EQ(text.substr(text.size() - 23), "\n\n         0         0\n");

  kvoblk_inq_ops(blk)->res = nullptr;  // a second detection would now be reported
  auto [e, errors] = restore(blk);
  EXPECT_EQ(errors, 0);
  EXPECT_TRUE(e.empty());
  int nnz = -1;
  blkpat_dim(blk, 3, 2, &nnz, &errors);
  EXPECT_EQ(nnz, 0);
  kvoblk_pat_ini(blk, 1, &errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(kvoblk_inq_nzstop(blk), 0);
  EXPECT_EQ(kvoblk_inq_pat_type(blk), KVOBLK_PATTYPE_NUMERIC);
  EXPECT_EQ(his(), "");
}

TEST_F(PatternFile, BlockIdFillsTheTitleBoxOrPushesItsEdgeOut) {
  const std::string id43(43, 'X');
  path = (dir / "id43.pat").string();
  restore(shape_block(id43.c_str()));
  std::vector<std::string> lines = lines_of(slurp(path));
  ASSERT_GT(lines.size(), 3u);
  EXPECT_EQ(lines[2], "* Sparsity pattern file for block " + id43 + "*");
  EXPECT_EQ(lines[2].size(), 78u);

  const std::string id50(50, 'Y');
  path = (dir / "id50.pat").string();
  restore(shape_block(id50.c_str()));
  lines = lines_of(slurp(path));
  EXPECT_EQ(lines[2], "* Sparsity pattern file for block " + id50 + "*");
}

TEST_F(PatternFile, NumbersAndNamesDoNotFollowTheLocale) {
  const char* found = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
    if ((found = std::setlocale(LC_ALL, name))) break;
  if (!found) GTEST_SKIP() << "no locale with a decimal comma is installed";
  std::string text = write_file();
  auto [e, errors] = restore(b);
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(errors, 0);
  EXPECT_NE(text.find("Perturbation size        : 1.000000e-006\n"), std::string::npos);
  EXPECT_TRUE(std::regex_search(text, std::regex("Date created             : [A-Z][a-z]{2} "
                                                 "[A-Z][a-z]{2} ")));
}

TEST_F(PatternFile, WithoutANameTheDetectedPatternIsUsedButNotSaved) {
  kvoblk_set_pat_file(b, nullptr);
  auto [e, errors] = restore(b);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(e.size(), 3u);
  EXPECT_EQ(his(),
            "\nError trying to open a sparsity file.No name supplied.\n\n"
            "\nWarning while restoring sparsity pattern from file (none) for block B1\n"
            "File could not be opened.\nComputing sparsity numerically and saving it to file.\n\n"
            "\nWarning while saving sparsity pattern to file (none) for block B1\n"
            "File could not be written.\n\n");
}

TEST_F(PatternFile, UnwritableDirectoryGivesTheSaveWarningAndStillAPattern) {
  path = (dir / "no" / "such" / "dir.pat").string();
  kvoblk_set_pat_file(b, path.c_str());
  auto [e, errors] = restore(b);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(e.size(), 3u);
  std::string h = his();
  EXPECT_NE(h.find("\nWarning while saving sparsity pattern to file " + path +
                   " for block B1\nFile could not be written.\n\n"),
            std::string::npos)
      << h;
}

// A file name as long as the folder allows is saved, although the temporary written first
// cannot carry the name with a suffix, and read back; nothing else is left in the folder.
TEST_F(PatternFile, NameOfTheLongestLengthIsSavedAndReadBack) {
  const long longest = pathconf(dir.c_str(), _PC_NAME_MAX);
  if (longest <= 0 || longest > 4096) GTEST_SKIP() << "the folder names no longest file name";
  path = (dir / std::string(static_cast<size_t>(longest), 'p')).string();
  kvoblk_set_pat_file(b, path.c_str());
  EXPECT_EQ(restore(b).second, 0);
  const std::string h = his();
  EXPECT_EQ(h.find("File could not be written."), std::string::npos) << h;
  EXPECT_TRUE(fs::is_regular_file(path));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  kvoblk_inq_ops(b)->res = nullptr;  // a second detection would now be reported
  auto [e, errors] = restore(b);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(e, (Entries{{1, 3}, {1, 1}, {2, 2}}));
  EXPECT_EQ(his(), "");
}

TEST_F(PatternFile, WriteErrorAfterCreationIsDetectedAndLeavesNoFile) {
  // A file size limit makes the writes past it fail, as a full disk would.
  struct rlimit old {};
  getrlimit(RLIMIT_FSIZE, &old);
  auto previous = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 512;
  setrlimit(RLIMIT_FSIZE, &small);
  auto [e, errors] = restore(b);
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);

  EXPECT_EQ(errors, 0);
  EXPECT_EQ(e.size(), 3u);
  std::string h = his();
  EXPECT_NE(h.find("File could not be written.\n\n"), std::string::npos) << h;
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(fs::exists(path + ".kvotmp"));
}

TEST_F(PatternFile, SavingThroughADanglingLinkWritesTheLinkTarget) {
  fs::create_symlink("target.pat", path);
  auto [e, errors] = restore(b);
  EXPECT_EQ(errors, 0);
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_TRUE(fs::exists(dir / "target.pat"));
  his();
  EXPECT_EQ(restore(b).second, 0);
  EXPECT_EQ(his(), "");
}

TEST_F(PatternFile, ADirectoryOrAPipeIsNeitherReadNorReplaced) {
  fs::create_directory(dir / "sub");
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  for (const char* name : {"sub", "pipe"}) {
    path = (dir / name).string();
    kvoblk_set_pat_file(b, path.c_str());
    auto [e, errors] = restore(b);
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(e.size(), 3u);
    EXPECT_EQ(his(), "\nWarning while restoring sparsity pattern from file " + path +
                         " for block B1\nFile could not be opened.\n"
                         "Computing sparsity numerically and saving it to file.\n\n"
                         "\nWarning while saving sparsity pattern to file " +
                         path + " for block B1\nFile could not be written.\n\n");
  }
  EXPECT_TRUE(fs::is_directory(dir / "sub"));
  EXPECT_TRUE(fs::is_fifo(dir / "pipe"));
}

// A file the process may not read is still someone's file: the numeric pattern is used, and
// the file is left as it was even where the folder would let it be replaced.
TEST_F(PatternFile, AFileThatCannotBeReadIsNotReplaced) {
  spit(path, "kept\n");
  fs::permissions(path, fs::perms::none);
  fs::permissions(dir, fs::perms::all);
  auto restored = [&] {
    auto [e, errors] = restore(b);
    return errors == 0 && e.size() == 3u &&
           his().find("File could not be written.\n\n") != std::string::npos;
  };
  bool used = false;
  if (geteuid() != 0) {
    used = restored();
  } else {
    // The super-user reads every file: a child without those rights tries it.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(setgid(65534) == 0 && setuid(65534) == 0 && restored() ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    used = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  EXPECT_TRUE(used);
  fs::permissions(path, fs::perms::owner_read);
  EXPECT_EQ(slurp(path), "kept\n");
}

// ---- Restoring ----------------------------------------------------------------------------

TEST_F(PatternFile, BelowLevelFourAMissingFileIsAnErrorAndNothingIsWritten) {
  kvoblk_set_diag_level(b, 3);
  auto [e, errors] = restore(b);
  EXPECT_EQ(errors, 1);
  EXPECT_TRUE(e.empty());
  EXPECT_EQ(his(), failed("Failed to get the block dimensions from the file."));
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(PatternFile, ModeWordsRestoreTheirPatternTypes) {
  std::string text = write_file();
  for (auto [word, type] : {std::pair<const char*, int>{"ANALYTIC", 1}, {"UNDEFINED", 0}}) {
    spit(path, edit(text, "mode : NUMERIC", std::string("mode : ") + word));
    kvoblk_set_pat_type(b, 2);
    auto [e, errors] = restore(b);
    EXPECT_EQ(errors, 0) << word;
    EXPECT_EQ(e.size(), 3u);
    EXPECT_EQ(kvoblk_inq_pat_type(b), type);
  }
  EXPECT_EQ(his(), "");
}

TEST_F(PatternFile, BlockIdsThatReadLikeKeywordsRestoreTheirOwnFile) {
  // The title line names the block before the mode line; an id that is a keyword of a later
  // section is still only the id.
  for (const char* id : {"mode", "size", "Pointers", "Checksum"}) {
    path = (dir / (std::string(id) + ".pat")).string();
    int blk = shape_block(id);
    restore(blk);
    his();
    kvoblk_set_pat_type(blk, KVOBLK_PATTYPE_UNDEFINED);
    kvoblk_set_pertsize(blk, 0.5);
    auto [e, errors] = restore(blk);
    EXPECT_EQ(errors, 0) << id;
    EXPECT_EQ(e, (Entries{{1, 3}, {1, 1}, {2, 2}})) << id;
    EXPECT_EQ(kvoblk_inq_pat_type(blk), KVOBLK_PATTYPE_NUMERIC) << id;
    EXPECT_EQ(kvoblk_inq_pertsize(blk), 1e-6) << id;
    EXPECT_EQ(his(), "") << id;
  }
}

// Files moved between machines or opened in an editor: a byte-order mark, CRLF line ends,
// trailing blanks and tabs and no final newline change no token.
TEST_F(PatternFile, EditorDebrisAroundTheTokensIsIgnored) {
  std::string text = write_file();
  std::string moved = "\xEF\xBB\xBF";
  for (char c : text) moved += c == '\n' ? std::string(" \t\r\n") : std::string(1, c);
  moved.erase(moved.find_last_not_of(" \t\r\n") + 1);
  spit(path, moved);
  auto [e, errors] = restore(b);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(e, (Entries{{1, 3}, {1, 1}, {2, 2}}));
  int nnz = 0, dim_errors = 0;
  blkpat_dim(b, 3, 2, &nnz, &dim_errors);
  EXPECT_EQ(dim_errors, 0);
  EXPECT_EQ(nnz, 3);
  EXPECT_EQ(his(), "");
}

TEST_F(PatternFile, NumericFileRestoresItsSettingsAndNoNeedsNoAmount) {
  std::string text = write_file();
  text = edit(text, "size        : 1.000000e-006", "size        : 2.5e-005");
  text = edit(text, "tolerance           : 1.000000e-012", "tolerance           : +3E-9");
  text =
      edit(text, "zero      : YES\nMove away by             : 1.000000e-002\n", "zero      : NO\n");
  spit(path, text);
  kvoblk_set_moveamount(b, 0.25);
  auto [e, errors] = restore(b);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(kvoblk_inq_pertsize(b), 2.5e-5);
  EXPECT_EQ(kvoblk_inq_zerotol(b), 3e-9);
  EXPECT_EQ(kvoblk_inq_move(b), 0);
  EXPECT_EQ(kvoblk_inq_moveamount(b), 0.25);
}

TEST_F(PatternFile, MissingNumericSettingsAreEachNamed) {
  std::string text = write_file();
  spit(path, edit(edit(text, "size ", "sighs "), "tolerance ", "tolerance : x"));
  EXPECT_EQ(restore(b).second, 1);
  EXPECT_EQ(his(), read_error(". Could not find perturbation size.") +
                       read_error(". Could not find zero tolerance.") +
                       failed("Missing elements from file."));

  spit(path, edit(text, "Move away by             : 1.000000e-002", ""));
  EXPECT_EQ(restore(b).second, 1);
  EXPECT_EQ(his(), read_error(". Could not find move from zero amount.") +
                       failed("Missing elements from file."));

  spit(path, edit(text, "from zero      : YES", "from zer0      : YES"));
  EXPECT_EQ(restore(b).second, 1);
  EXPECT_EQ(his(), read_error(". Could not find move away from zero flag.") +
                       failed("Missing elements from file."));

  // A mode line without a known word (how a pattern of another type is written) is an
  // UNDEFINED pattern that needs no numeric settings.
  spit(path, edit(text, "mode : NUMERIC", "mode : SOMETIMES"));
  EXPECT_EQ(restore(b).second, 0);
  EXPECT_EQ(kvoblk_inq_pat_type(b), 0);
  EXPECT_EQ(his(), "");
}

TEST_F(PatternFile, HeaderItemsThatAreMissingOrDoNotParseAreNamedInOrder) {
  std::string text = write_file();
  text = edit(text, "variables      : 3", "variables      : three");
  text = edit(text, "equations      : 2", "equations      :");
  text = edit(text, "non-zeros      : 3", "non-zeros      : 99999999999");
  text = edit(text, "version", "versi0n");
  text = edit(text, "for block B1", "for blok B1");
  text = edit(text, "Date created", "Date made");
  spit(path, text);
  EXPECT_EQ(restore(b).second, 1);
  EXPECT_EQ(his(), read_error(". Could not find number of variables.", true) +
                       read_error(". Could not find number of equations.") +
                       read_error(". Could not find number of non-zeros.") +
                       read_error(". Could not find file format.") +
                       read_error(". Could not find block name.") +
                       read_error(". Could not find file date.") +
                       failed("Failed to get the block dimensions from the file."));
}

TEST_F(PatternFile, FileWithoutChecksumIsRefused) {
  std::string text = write_file();
  spit(path, edit(text, "Checksum", "Checksun"));
  auto [e, errors] = restore(b);
  EXPECT_EQ(errors, 1);
  EXPECT_TRUE(e.empty());
  EXPECT_EQ(his(), read_error(". Could not find checksum."));

  // Fifteen bytes are no checksum either.
  size_t close = text.find(" )");
  spit(path, text.substr(0, text.rfind(' ', close - 1)) + text.substr(close));
  EXPECT_EQ(restore(b).second, 1);
  EXPECT_EQ(his(), read_error(". Could not find checksum."));

  // The pattern is read before the checksum: a file short of both reports only the pattern.
  spit(path, edit(text, "Checksum", "Checksun").substr(0, text.rfind("\n\n") + 2));
  EXPECT_EQ(restore(b).second, 1);
  EXPECT_EQ(his(), "\nError restoring sparsity from file " + path +
                       ". Number of scanned equation incidence counts too small :0\n\n" +
                       failed("Missing elements from file."));
}

// A file refused at any pass, or by its digest, leaves the block's pattern type and detection
// settings as they were, although the file names others.
TEST_F(PatternFile, RefusedFileLeavesTheBlocksSettingsAsTheyWere) {
  std::string text = write_file();
  text = edit(text, "size        : 1.000000e-006", "size        : 2.5e-005");
  text = edit(text, "tolerance           : 1.000000e-012", "tolerance           : 3e-009");
  text = edit(text, "Move away by             : 1.000000e-002", "Move away by : 0.5");
  const size_t sum = text.find("Checksum ( ") + 11;
  const std::string wrong_sum =
      text.substr(0, sum) + (text[sum] == '1' ? "2" : "1") + text.substr(sum + 1);
  const size_t counts = text.rfind("\n\n") + 2;
  for (const std::string& damaged :
       {wrong_sum, edit(text, "Checksum", "Checksun"), text.substr(0, counts)}) {
    spit(path, damaged);
    kvoblk_set_pat_type(b, KVOBLK_PATTYPE_ANALYTIC);
    kvoblk_set_pertsize(b, 0.125);
    kvoblk_set_zerotol(b, 0.25);
    kvoblk_set_moveamount(b, 0.375);
    auto [e, errors] = restore(b);
    EXPECT_EQ(errors, 1);
    EXPECT_TRUE(e.empty());
    EXPECT_NE(his(), "");
    EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_ANALYTIC);
    EXPECT_EQ(kvoblk_inq_pertsize(b), 0.125);
    EXPECT_EQ(kvoblk_inq_zerotol(b), 0.25);
    EXPECT_EQ(kvoblk_inq_moveamount(b), 0.375);
  }
  // Undamaged, the same file restores its settings.
  spit(path, text);
  EXPECT_EQ(restore(b).second, 0);
  EXPECT_EQ(kvoblk_inq_pertsize(b), 2.5e-5);
  EXPECT_EQ(kvoblk_inq_moveamount(b), 0.5);
}

TEST_F(PatternFile, ChecksumCoversTheFirstNamesOnly) {
  write_file();
  shape.var_names = {"A", "Q", "C"};
  EXPECT_EQ(restore(shape_block("B1")).second, 0);
  EXPECT_EQ(his(), "");
  shape.var_names = {"Z", "B", "C"};
  EXPECT_EQ(restore(shape_block("B1")).second, 1);
  EXPECT_EQ(his(), failed("File cheksum does not match."));
}

// The digest samples only the first name and entry, and the counts are not compared: a file of
// the same block with fewer variables or equations restores while its entries lie inside the
// block. The flowsheet runner, which knows the sizes are final, checks them itself.
TEST_F(PatternFile, AFileOfFewerVariablesOrEquationsRestoresWhileItsEntriesFit) {
  write_file();
  shape = Shape{{"A", "B", "C", "D"}, {{1, 3}, {2}}};
  EXPECT_EQ(restore(shape_block("B1")).second, 0);
  shape = Shape{{"A", "B", "C"}, {{1, 3}, {2}, {3}}};
  EXPECT_EQ(restore(shape_block("B1")).second, 0);
  EXPECT_EQ(his(), "");
}

TEST_F(PatternFile, ShortSectionsReportHowManyNumbersWereRead) {
  std::string text = write_file();
  size_t counts = text.rfind("\n\n") + 2;
  spit(path, text.substr(0, counts) + "         2\n");
  EXPECT_EQ(restore(b).second, 1);
  EXPECT_EQ(his(), "\nError restoring sparsity from file " + path +
                       ". Number of scanned equation incidence counts too small :1\n\n" +
                       failed("Missing elements from file."));

  spit(path, edit(text, "         3         1         2\n", "         3   junk\n"));
  EXPECT_EQ(restore(b).second, 1);
  EXPECT_EQ(his(), "\nError restoring sparsity from file " + path +
                       ". Number of scanned column pointers too small :1\n\n" +
                       failed("Missing elements from file."));

  // A count below 1 is read as a count, and the pattern pass refuses it in its own words.
  for (const char* neq : {"0", "-2"}) {
    spit(path, edit(text, "equations      : 2", std::string("equations      : ") + neq));
    EXPECT_EQ(restore(b).second, 1) << neq;
    EXPECT_EQ(his(),
              "\nError restoring sparsity from file " + path + ". Number of equations = " + neq +
                  "\n\n"
                  "\nError restoring sparsity from file " +
                  path + ". Number of nonzeros = 3\n\n" + failed("Missing elements from file."))
        << neq;
  }
}

TEST_F(PatternFile, AnnouncedCountsAreNotAllocatedButLongTokensAreReadWhole) {
  std::string text = write_file();
  spit(path, edit(edit(text, "non-zeros      : 3", "non-zeros      : 2000000000"),
                  "equations      : 2", "equations      : 2000000000"));
  largest_request = 0;
  EXPECT_EQ(restore(b).second, 1);
  EXPECT_LT(largest_request, 1u << 20);
  EXPECT_EQ(his(), "\nError restoring sparsity from file " + path +
                       ". Number of scanned column pointers too small :3\n\n" +
                       failed("Missing elements from file."));

  // The same count shows that a long token is read whole: the reader keeps a block name of
  // 300000 characters, and the dimension query tells it from the block's id.
  const std::string name(300000, 'N');
  spit(path, edit(text, "for block B1", "for block " + name));
  largest_request = 0;
  int nnz = 0, errors = 0;
  blkpat_dim(b, 3, 2, &nnz, &errors);
  EXPECT_GE(largest_request, name.size());
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(his(), "\nError restoring dimensions for sparsity pattern from file " + path +
                       "\nBlock id names do not match.\nBlock id           :  B1\n"
                       "Block id from file :  " +
                       name + "\n\n");
}

TEST_F(PatternFile, InconsistentCountsAndEntriesOutsideTheBlockAreMissingElements) {
  std::string text = write_file();
  const std::string counts = "         2         1\n";
  for (const char* bad : {"2 2\n", "1 1\n", "4 -1\n", "-1 4\n"}) {
    spit(path, edit(text, counts, bad));
    EXPECT_EQ(restore(b).second, 1) << bad;
    EXPECT_EQ(his(), failed("Missing elements from file.")) << bad;
  }
  // A variable twice in one row: the digest samples only the first entry, so it is the
  // reader that must refuse two non-zeros on one position of the Jacobian.
  for (const char* twice : {"3 3 2\n", "3 1 3\n"}) {
    std::string changed = edit(text, "         3         1         2\n", twice);
    if (twice[2] == '1') changed = edit(changed, counts, "3 0\n");
    spit(path, changed);
    EXPECT_EQ(restore(b).second, 1) << twice;
    EXPECT_EQ(his(), failed("Missing elements from file.")) << twice;
  }
  // Column 4 of a block of three variables, and a third equation of a block of two.
  for (auto [from, to] :
       {std::pair<std::string, std::string>{"         3         1         2\n", "3 1 4\n"},
        {"         3         1         2\n", "3 1 0\n"},
        {"equations      : 2", "equations      : 3"}}) {
    std::string changed = edit(text, from, to);
    if (from.rfind("equations", 0) == 0) changed = edit(changed, counts, "2 0 1\n");
    spit(path, changed);
    EXPECT_EQ(restore(b).second, 1) << to;
    EXPECT_EQ(his(), failed("Missing elements from file.")) << to;
  }
}

// The header says 1 variable, 1 equation and 6 non-zeros, all in equation 1; the first entry,
// the only one the digest samples, is the block's own. The dimension query reserves 1, so the
// restore must refuse the file rather than place 6 over the next block's non-zeros.
TEST_F(PatternFile, MoreNonZerosThanTheHeadersOwnDimensionsHoldIsRefusedBeforePlacement) {
  std::string text = write_file();
  text = edit(text, "Number of variables      : 3", "Number of variables      : 1");
  text = edit(text, "Number of equations      : 2", "Number of equations      : 1");
  text = edit(text, "Number of non-zeros      : 3", "Number of non-zeros      : 6");
  text = edit(text, "         3         1         2\n", "3 1 2 3 1 2\n");
  text = edit(text, "         2         1\n", "6\n");
  spit(path, text);
  int reserved = 0, errors = 0;
  blkpat_dim(b, 3, 2, &reserved, &errors);
  ASSERT_EQ(errors, 0);
  ASSERT_EQ(reserved, 1);

  // The neighbour takes the non-zeros right after the one reserved.
  int next = shape_block("B2");
  kvoblk_set_pat_ini_type(next, KVOBLK_PAT_NUMERIC);
  kvoblk_set_nzstart(next, 1 + reserved);
  kvoblk_pat_ini(next, 1 + reserved, &errors);
  ASSERT_EQ(errors, 0);
  ASSERT_EQ(kvoblk_inq_nzstop(next), 4);
  std::vector<std::pair<int, int>> neighbour;
  for (int k = 2; k <= 8; ++k)
    neighbour.emplace_back(kvojac_inq_nz_eqnnum(lists.jac, k), kvojac_inq_nz_varnum(lists.jac, k));
  his();

  kvoblk_pat_ini(b, 1, &errors);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(his(), failed("Missing elements from file."));
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_UNDEFINED);
  for (int k = 2; k <= 8; ++k) {
    EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, k), neighbour[k - 2].first) << k;
    EXPECT_EQ(kvojac_inq_nz_varnum(lists.jac, k), neighbour[k - 2].second) << k;
  }
  // A direct restore refuses it in the same words.
  EXPECT_EQ(restore(b).second, 1);
  EXPECT_EQ(his(), failed("Missing elements from file."));
}

TEST_F(PatternFile, BadHandlesAreAnsweredWithoutAPattern) {
  int errors = 0;
  EXPECT_EQ(kvoblk_rpat(0, &errors), 0);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(kvoblk_rpat(b + 100000, &errors), 0);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(his(), "!! kvoblk_rpat: Invalid block handle " + std::to_string(b + 100000) + "\n");
  EXPECT_EQ(kvoblk_rpat(b + 100000, nullptr), 0);
}

// A restored pattern meets the same capacity estimate as a detected one: the dimension query
// reserves what the file announces, but placement refuses more than the estimate allows.
TEST_F(PatternFile, RestoredPatternDenserThanTheEstimateIsRefusedAtPlacement) {
  path = (dir / "dense.pat").string();
  shape = Shape{};
  for (int j = 1; j <= 20; ++j) shape.var_names.push_back("V" + std::to_string(j));
  std::vector<int> all;
  for (int j = 1; j <= 20; ++j) all.push_back(j);
  shape.deps.assign(20, all);
  const int d = shape_block("D1");
  const std::string refused =
      "\nError creating sparsity pattern for block D1\n"
      "Max. number of nonzeros is too small. Please increase the matrix density factor.\n"
      "Max. number of nonzeros     : 120\n"
      "Detected number of nonzeros : 400\n\n";
  // First without the file (detected and saved), then from the file just saved.
  for (int round = 0; round < 2; ++round) {
    int nnz = 0, errors = 0;
    blkpat_dim(d, 20, 20, &nnz, &errors);
    EXPECT_EQ(nnz, round == 0 ? 120 : 400) << round;
    kvoblk_pat_ini(d, 1, &errors);
    EXPECT_EQ(errors, 1) << round;
    const std::string text = his();
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), refused.size())), refused) << round;
    EXPECT_EQ(kvoblk_inq_pat_type(d), KVOBLK_PATTYPE_UNDEFINED) << round;
    EXPECT_EQ(kvoblk_inq_nzstop(d), 0) << round;
    EXPECT_TRUE(fs::exists(path)) << round;
  }
}

// ---- Dimension query ----------------------------------------------------------------------

TEST_F(PatternFile, DimensionQueryTakesTheCountFromAFileOfTheSameBlock) {
  write_file();
  int nnz = -1, errors = 0;
  blkpat_dim(b, 3, 2, &nnz, &errors);
  EXPECT_EQ(nnz, 3);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(his(), "");

  nnz = -1;
  blkpat_dim(b, 2, 1, &nnz, &errors);
  EXPECT_EQ(nnz, 3);
  EXPECT_EQ(errors, 2);
  const std::string head =
      "\nError restoring dimensions for sparsity pattern from file " + path + " for block  B1\n";
  EXPECT_EQ(his(), head +
                       "Number of variables higher than specified maximum.\n"
                       "Number of variables from file      : 3\n"
                       "Specified Max. number of variables : 2\n\n" +
                       head +
                       "Number of equations higher than specified maximum.\n"
                       "Number of equations from file      : 2\n"
                       "Specified Max. number of equations : 1\n\n");
}

TEST_F(PatternFile, DimensionQueryComparesTheWholeBlockId) {
  path = (dir / "long.pat").string();
  int first = shape_block("REACTOR_TRAIN_SECTION_1");
  restore(first);
  his();
  int nnz = 0, errors = 0;
  blkpat_dim(first, 3, 2, &nnz, &errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(nnz, 3);

  int second = shape_block("REACTOR_TRAIN_SECTION_2");
  nnz = 7;
  blkpat_dim(second, 3, 2, &nnz, &errors);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(nnz, 7);
  EXPECT_EQ(his(), "\nError restoring dimensions for sparsity pattern from file " + path +
                       "\nBlock id names do not match.\n"
                       "Block id           :  REACTOR_TRAIN_SECTION_2\n"
                       "Block id from file :  REACTOR_TRAIN_SECTION_1\n\n");
}

TEST_F(PatternFile, DimensionQueryFallsBackToTheEstimateOrCountsACorruptFile) {
  int nnz = 0, errors = 0;
  blkpat_dim(b, 10, 11, &nnz, &errors);
  EXPECT_EQ(nnz, 33);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(his(), "");
  kvoblk_set_diag_level(b, 5);
  blkpat_dim(b, 10, 10, &nnz, &errors);
  EXPECT_EQ(his(), "");
  kvoblk_set_diag_level(b, 6);
  blkpat_dim(b, 10, 10, &nnz, &errors);
  EXPECT_EQ(nnz, 100);
  EXPECT_EQ(his(), "\nWarning while restoring dimensions for sparsity pattern from file " + path +
                       " for block  B1\nCould not open file. Will use the max. dimensions "
                       "provided numerically.\n\n");

  kvoblk_set_diag_level(b, 4);
  std::string text = write_file();
  spit(path, edit(text, "non-zeros", "nonzeros"));
  nnz = 5;
  blkpat_dim(b, 10, 10, &nnz, &errors);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(nnz, 5);
  // Only the message of the number of variables opens with an empty line of its own.
  EXPECT_EQ(his(), read_error(". Could not find number of non-zeros.") +
                       "\nError restoring dimensions for sparsity pattern from file " + path +
                       " for block  B1\nElements missing from file. File may be corrupted.\n\n");
}

// ---- Any file at all ----------------------------------------------------------------------

// Every damaged version of a good file ends in a restored pattern inside the block and no
// error, or in no pattern and exactly one error; the dimension query counts at most one error
// per check. Run under the sanitizers this also shows that no damage reads or writes outside
// an array.
TEST_F(PatternFile, AnyDamageEndsInSuccessOrExactlyOneError) {
  // Eight entries, so that the column section spans two lines.
  shape = Shape{{"A", "B", "C", "D"}, {{1, 2, 4}, {2, 3}, {1, 3, 4}}};
  path = (dir / "fuzz.pat").string();
  int blk = shape_block("FUZZ");
  restore(blk);
  const std::string good = slurp(path);
  his();

  std::vector<std::string> cases;
  std::vector<std::string> lines = lines_of(good);
  for (size_t n = 0; n <= lines.size(); ++n) {  // truncated after every line, and mid-line
    std::string t;
    for (size_t i = 0; i < n; ++i) t += lines[i] + "\n";
    cases.push_back(t);
    if (n < lines.size()) cases.push_back(t + lines[n].substr(0, lines[n].size() / 2));
  }
  std::vector<std::pair<size_t, size_t>> tokens;  // start and length of every token
  for (size_t i = 0; i < good.size();) {
    while (i < good.size() && std::isspace(static_cast<unsigned char>(good[i]))) ++i;
    size_t start = i;
    while (i < good.size() && !std::isspace(static_cast<unsigned char>(good[i]))) ++i;
    if (i > start) tokens.emplace_back(start, i - start);
  }
  for (auto [start, length] : tokens) {
    std::string token = good.substr(start, length);
    auto replaced = [&](const std::string& with) {
      return good.substr(0, start) + with + good.substr(start + length);
    };
    cases.push_back(replaced(""));                   // deleted
    cases.push_back(replaced(token + " " + token));  // duplicated
    if (std::isdigit(static_cast<unsigned char>(token[0]))) {
      for (const char* number : {"2147483647", "2147483648", "-2147483648", "99999999999999999999",
                                 "-1", "0", "1e999", "0x7fffffff", "nan"})
        cases.push_back(replaced(number));
    }
    cases.push_back(replaced(std::string(200000, 'W')));  // one very long token
  }
  std::mt19937 random(12345);
  for (int n = 0; n < 300; ++n) {
    std::string t = good;
    for (int k = 0; k < 1 + n % 4; ++k) {
      size_t at = random() % t.size();
      char byte = static_cast<char>(random() % 256);
      if (random() % 2)
        t[at] = byte;
      else
        t.insert(at, 1, byte);
    }
    cases.push_back(t);
  }

  kvoblk_set_diag_level(blk, 3);  // an unopenable file must not start a detection here
  for (size_t c = 0; c < cases.size(); ++c) {
    spit(path, cases[c]);
    int errors = 0;
    kv_jac_t pattern = kvoblk_rpat(blk, &errors);
    if (pattern) {
      EXPECT_EQ(errors, 0) << "case " << c;
      for (auto [row, col] : pattern_entries(pattern)) {
        EXPECT_TRUE(row >= 1 && row <= 3 && col >= 1 && col <= 4) << "case " << c;
      }
      kvojac_destroy(&pattern);
    } else {
      EXPECT_EQ(errors, 1) << "case " << c << "\n" << cases[c];
    }
    int nnz = 0, dim_errors = 0;
    blkpat_dim(blk, 4, 3, &nnz, &dim_errors);
    EXPECT_LE(dim_errors, 2) << "case " << c;
    his();
  }
  EXPECT_GT(cases.size(), 900u);
  EXPECT_EQ(kvoref::live_pattern_objects(), 0);
}

TEST_F(PatternFile, DimensionQueryAndRestoreAcceptTheirOwnFileForLongMissingAndStarredIds) {
  // The title line's closing asterisk stands right after a long id, and alone without an id;
  // an id's own asterisks, at the end of a word or alone, are not taken for it, and the words
  // after them are no keywords.
  for (std::string id :
       {std::string(43, 'L'), std::string(60, 'M'), std::string(), std::string("A* mode"),
        std::string("A B*"), std::string("A * B"), std::string(41, 'W') + " Z*"}) {
    kvoblk_set_blkid(b, id.empty() ? nullptr : id.c_str());
    fs::remove(path);
    write_file();
    int nnz = -1, errors = 0;
    blkpat_dim(b, 3, 2, &nnz, &errors);
    EXPECT_EQ(errors, 0) << id;
    EXPECT_EQ(nnz, 3) << id;
    kvoblk_set_pat_type(b, KVOBLK_PATTYPE_UNDEFINED);
    EXPECT_EQ(restore(b).second, 0) << id;
    EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_NUMERIC) << id;
    EXPECT_EQ(his(), "") << id;
  }
  // Another block is told the id of the file, without the asterisk that closes the box.
  kvoblk_set_blkid(b, "OTHER");
  int nnz = -1, errors = 0;
  blkpat_dim(b, 3, 2, &nnz, &errors);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(his(), "\nError restoring dimensions for sparsity pattern from file " + path +
                       "\nBlock id names do not match.\nBlock id           :  OTHER\n"
                       "Block id from file :  " +
                       std::string(41, 'W') + " Z*\n\n");
  fs::remove(path);
  kvoblk_set_blkid(b, std::string(60, 'M').c_str());
  write_file();
  kvoblk_set_blkid(b, "OTHER");
  blkpat_dim(b, 3, 2, &nnz, &errors);
  EXPECT_EQ(errors, 2);
  EXPECT_NE(his().find("Block id from file :  " + std::string(60, 'M') + "\n\n"),
            std::string::npos);
}

// The reader goes by tokens: a file written by hand without the asterisk box, its header on one
// line, reads as the written one does; the words after the id are not taken into it.
TEST_F(PatternFile, HeaderOnOneLineWithoutTheBoxReadsTokenByToken) {
  std::string text = write_file();
  std::string flat;
  for (char c : text.substr(0, text.find("Checksum")))
    if (c != '*') flat += c == '\n' ? ' ' : c;
  spit(path, flat + text.substr(text.find("Checksum")));
  int nnz = -1, errors = 0;
  blkpat_dim(b, 3, 2, &nnz, &errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(nnz, 3);
  EXPECT_EQ(his(), "");
}

// An id of several words stands on the title line word by word; the words after the first are
// neither keywords of the file nor a different id.
TEST_F(PatternFile, BlockIdOfSeveralWordsRestoresItsOwnFileAndNoOther) {
  path = (dir / "words.pat").string();
  const int blk = shape_block("REACTOR mode");
  restore(blk);
  his();
  kvoblk_set_pat_type(blk, KVOBLK_PATTYPE_UNDEFINED);
  kvoblk_set_pertsize(blk, 0.5);
  auto [e, errors] = restore(blk);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(kvoblk_inq_pat_type(blk), KVOBLK_PATTYPE_NUMERIC);
  EXPECT_EQ(kvoblk_inq_pertsize(blk), 1e-6);
  int nnz = -1;
  blkpat_dim(blk, 3, 2, &nnz, &errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(nnz, 3);
  EXPECT_EQ(his(), "");

  kvoblk_set_blkid(blk, "REACTOR");
  nnz = -1;
  blkpat_dim(blk, 3, 2, &nnz, &errors);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(nnz, -1);
  EXPECT_EQ(his(), "\nError restoring dimensions for sparsity pattern from file " + path +
                       "\nBlock id names do not match.\n"
                       "Block id           :  REACTOR\n"
                       "Block id from file :  REACTOR mode\n\n");
}

// A title line is looked at once: a line of many words "block" (a damaged or hostile file) is
// read in one pass, not once from every word of it.
TEST_F(PatternFile, ALineOfManyBlockKeywordsIsReadInOnePass) {
  std::string text = write_file();
  std::string junk;
  for (int i = 0; i < 200000; ++i) junk += "block ";
  spit(path, junk + "\n" + text);
  int nnz = -1, errors = 0;
  blkpat_dim(b, 3, 2, &nnz, &errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(nnz, 3);
  auto [e, restore_errors] = restore(b);
  EXPECT_EQ(restore_errors, 0);
  EXPECT_EQ(e.size(), 3u);
}

TEST_F(PatternFile, DimensionQueryNeverAnswersMoreThanTheFilesOwnDimensionsHold) {
  std::string text = write_file();
  spit(path, edit(text, "Number of non-zeros      : 3", "Number of non-zeros      : 2000000000"));
  int nnz = -1, errors = 0;
  blkpat_dim(b, 3, 2, &nnz, &errors);
  EXPECT_EQ(nnz, 6);
  EXPECT_EQ(errors, 0);
}

// ---- Replacing a file ---------------------------------------------------------------------
// These call the writer directly, so they run only in the build that links the library's
// objects into the test program (KVOBLK_WHITEBOX).
#ifdef KVOBLK_WHITEBOX

namespace {

// While it lives, writes to files past `bytes` fail as they do on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    previous_ = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_;
    small.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  struct rlimit old_ {};
  void (*previous_)(int) = nullptr;
};

// The names in a folder, sorted.
std::vector<std::string> names_in(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A file's permission bits.
unsigned mode_of(const std::string& name) {
  struct stat st {};
  EXPECT_EQ(lstat(name.c_str(), &st), 0) << name;
  return st.st_mode & 07777u;
}

using Names = std::vector<std::string>;

}  // namespace

class PatternReplace : public PatternFile {
 protected:
  // Writes the pattern (1,3), (1,1), (2,2) of the block to `to`; answers the writer's status.
  int write(const std::string& to) {
    kv_jac_t pattern = kvojac_create(3);
    kvojac_set_nnz(pattern, 3);
    const int rows[] = {1, 1, 2}, cols[] = {3, 1, 2};
    kvojac_set_rows(pattern, rows);
    kvojac_set_columns(pattern, cols);
    int status = -1;
    kvoblk::detail::kvoblk_pat_file_write(b, to.c_str(), pattern, &status);
    kvojac_destroy(&pattern);
    return status;
  }
};

// The mode line names the block's pattern type, and only a numeric one is followed by the
// settings that found it; each file restores the type it names.
TEST_F(PatternReplace, ModeLineFollowsThePatternTypeAndRestores) {
  const std::string tail = " )\n\nSparsity generation mode :";
  const std::string numeric =
      " NUMERIC\nPerturbation size        : 1.000000e-006\nZero tolerance           : "
      "1.000000e-012\nMove away from zero      : NO\n\n\n=";
  kvoblk_set_move(b, 0);
  for (auto [type, after, restored] :
       {std::tuple<int, std::string, int>{KVOBLK_PATTYPE_NUMERIC, numeric, 2},
        {KVOBLK_PATTYPE_ANALYTIC, " ANALYTIC\n\n\n=", 1},
        {KVOBLK_PATTYPE_UNDEFINED, " UNDEFINED\n\n\n=", 0},
        {7, "\n\n=", 0}}) {
    kvoblk_set_pat_type(b, type);
    ASSERT_EQ(write(path), 0) << type;
    const std::string text = slurp(path);
    EXPECT_NE(text.find(tail + after), std::string::npos) << type << "\n" << text;
    kvoblk_set_pat_type(b, 5);
    kvoblk_set_moveamount(b, 0.25);
    auto [e, errors] = restore(b);
    EXPECT_EQ(errors, 0) << type;
    EXPECT_EQ(e, (Entries{{1, 3}, {1, 1}, {2, 2}})) << type;
    EXPECT_EQ(kvoblk_inq_pat_type(b), restored) << type;
    EXPECT_EQ(kvoblk_inq_move(b), 0) << type;
    EXPECT_EQ(kvoblk_inq_moveamount(b), 0.25) << type;
  }
  EXPECT_EQ(his(), "");
}

// A block whose equation range is empty writes no entries and no counts: each section is one
// empty line.
TEST_F(PatternReplace, BlockWithoutEquationsWritesTwoEmptySections) {
  kvoblk_set_estop(b, kvoblk_inq_estart(b) - 1);
  kv_jac_t none = kvojac_create(0);
  int status = -1;
  kvoblk::detail::kvoblk_pat_file_write(b, path.c_str(), none, &status);
  kvojac_destroy(&none);
  ASSERT_EQ(status, 0);
  const std::string text = slurp(path);
  EXPECT_NE(text.find("Number of equations      : 0\nNumber of non-zeros      : 0\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(
                " Column Index Pointers ===========================\n\n\n\n\n"
                "=========================== Equation Incidence Count =========================\n"
                "\n\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.substr(text.size() - 4), "=\n\n\n");
}

TEST_F(PatternReplace, FullDiskAtAnyByteFailsAndKeepsTheOldFileWhole) {
  ASSERT_EQ(write(path), 0);
  const std::string fresh = slurp(path);
  const std::string old = std::string(3000, 'o') + "\n";
  size_t failed_writes = 0;
  for (size_t limit = 0; limit <= fresh.size() + 1; ++limit) {
    spit(path, old);
    int status = -1;
    {
      FileSizeLimit full(limit);
      status = write(path);
    }
    if (limit >= fresh.size()) {
      EXPECT_EQ(status, 0) << limit;
      EXPECT_EQ(slurp(path).size(), fresh.size()) << limit;
    } else {
      ++failed_writes;
      EXPECT_EQ(status, 1) << limit;
      EXPECT_EQ(slurp(path), old) << limit;
    }
    EXPECT_EQ(names_in(dir), Names{"b1.pat"}) << limit;  // no temporary is left behind
  }
  EXPECT_EQ(failed_writes, fresh.size());
  EXPECT_EQ(his(), "");
}

TEST_F(PatternReplace, UnwritableFolderFailsAndKeepsTheOldFile) {
  spit(path, "old\n");
  fs::permissions(dir, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // Root writes into any folder: the child takes an ordinary user's rights first.
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    _exit(write(path) == 1 ? 0 : 2);
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), 0);
  EXPECT_EQ(slurp(path), "old\n");
  EXPECT_EQ(names_in(dir), Names{"b1.pat"});
}

TEST_F(PatternReplace, FolderAtTheTargetOrBehindALinkThereIsLeftAlone) {
  fs::create_directory(path);
  spit(path + "/inside", "x");
  EXPECT_EQ(write(path), 1);
  EXPECT_TRUE(fs::is_directory(path));
  EXPECT_EQ(slurp(path + "/inside"), "x");
  const std::string link = (dir / "link.pat").string();
  fs::create_symlink("b1.pat", link);
  EXPECT_EQ(write(link), 1);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(names_in(dir), (Names{"b1.pat", "link.pat"}));
  EXPECT_EQ(names_in(path), Names{"inside"});
}

// A link at the target stays a link: the file it names is replaced whole, never written into.
TEST_F(PatternReplace, LinkAtTheTargetKeepsTheFileItNamesWholeOrReplacesIt) {
  const std::string real = (dir / "real.pat").string();
  spit(real, "old\n");
  fs::create_symlink("real.pat", path);
  {
    FileSizeLimit full(100);
    EXPECT_EQ(write(path), 1);
  }
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_EQ(slurp(real), "old\n");
  EXPECT_EQ(names_in(dir), (Names{"b1.pat", "real.pat"}));

  ASSERT_EQ(write(path), 0);
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_EQ(fs::read_symlink(path), "real.pat");
  EXPECT_EQ(slurp(real).rfind("**********", 0), 0u);
  EXPECT_EQ(names_in(dir), (Names{"b1.pat", "real.pat"}));
}

// Whatever stands at a name the temporary could have had is neither written through, nor
// removed, nor renamed onto the target.
TEST_F(PatternReplace, EntriesPlantedAtTheTemporarysOldNameAreNeverUsed) {
  const std::string victim = (dir / "victim").string();
  const std::string planted = path + ".kvotmp";
  spit(victim, "victim\n");
  fs::create_symlink(victim, planted);
  spit(path, "old\n");
  {
    FileSizeLimit full(100);
    EXPECT_EQ(write(path), 1);
  }
  EXPECT_EQ(slurp(victim), "victim\n");
  EXPECT_EQ(slurp(path), "old\n");
  EXPECT_TRUE(fs::is_symlink(planted));

  ASSERT_EQ(write(path), 0);
  EXPECT_EQ(slurp(victim), "victim\n");
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_EQ(slurp(path).rfind("**********", 0), 0u);
  EXPECT_TRUE(fs::is_symlink(planted));
  EXPECT_EQ(names_in(dir), (Names{"b1.pat", "b1.pat.kvotmp", "victim"}));

  fs::remove(planted);
  spit(planted, "planted\n");
  ASSERT_EQ(write(path), 0);
  EXPECT_EQ(slurp(planted), "planted\n");
  EXPECT_EQ(names_in(dir), (Names{"b1.pat", "b1.pat.kvotmp", "victim"}));
}

TEST_F(PatternReplace, ReplacementKeepsTheTargetsPermissionsAndANewFileFollowsTheUmask) {
  spit(path, "old\n");
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(write(path), 0);
  EXPECT_EQ(mode_of(path), 0600u);

  fs::remove(path);
  const mode_t mask = umask(027);
  const int status = write(path);
  umask(mask);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(mode_of(path), 0640u);
}

#endif  // KVOBLK_WHITEBOX
