// SPDX-License-Identifier: BSD-3-Clause
// What must come out the same on Windows as on Linux: a pattern file written here is byte for
// byte the golden file the Linux suite writes (LF line ends, three-digit exponents, an English
// date), it is read back here, and the host's MD5 (the system's CNG) gives the standard digests.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <windows.h>

#include <kvoblk/host/kvo_md5.h>
#include "fixture.h"
#include "flowfile.h"
#include "kvo_win32_posix.h"
#include "paths.h"
#include "run.h"
#include "svg.h"

namespace fs = std::filesystem;

namespace {

// A block of three variables A, B, C and two equations: F = 2A + 4C, G = 3B.
void ini(int b, int vs, int es, int nzs, int* status) {
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(b, &varlst, &eqnlst, &jac);
  const char* names[] = {"A", "B", "C"};
  for (int v = 0; v < 3; ++v) kvoref::define_var(varlst, vs + v, names[v], 1.0);
  kvoref::define_eqn(eqnlst, es, "F");
  kvoref::define_eqn(eqnlst, es + 1, "G");
  kvoblk_set_vstop(b, vs + 2);
  kvoblk_set_estop(b, es + 1);
  kvoblk_set_nzstop(b, nzs - 1);
  *status = 0;
}

void res(int b, int* status) {
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(b, &varlst, &eqnlst, &jac);
  const double* x = kvovarlst_vec_value(varlst) + kvoblk_inq_vstart(b) - 1;
  double* r = kvoeqnlst_vec_residual(eqnlst) + kvoblk_inq_estart(b) - 1;
  r[0] = 2 * x[0] + 4 * x[2];
  r[1] = 3 * x[1];
  *status = 0;
}

// A file name as a Windows program hands it to the library: in the ANSI code page.
std::string narrow(const fs::path& path) {
  const std::wstring& w = path.native();
  const int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string name(static_cast<size_t>(n > 0 ? n : 0), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), name.data(), n, nullptr,
                      nullptr);
  return name;
}

std::string bytes_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class WindowsFiles : public kvotest::KvoTest {
 protected:
  void SetUp() override {
    KvoTest::SetUp();
    dir_ = fs::temp_directory_path() / "kvoblk-windows-files";
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    file_ = dir_ / "b1.pat";
    lists_ = kvoref::make_lists(100);
    cntr_ = new kvoref::Container(lists_);
  }
  void TearDown() override {
    for (int b : blocks_) kvoblk_destroy(b);
    delete cntr_;
    fs::remove_all(dir_);
    KvoTest::TearDown();
  }

  // A placed block B1 that restores its pattern from b1.pat; answers the errors counted.
  int restore() {
    int b = kvoblk_base_create_1(0);
    blocks_.push_back(b);
    kvoblk_set_blkid(b, "B1");
    kvoblk_ops_t* ops = kvoblk_inq_ops(b);
    ops->ini = ini;
    ops->res = res;
    kvoblk_register_container(b, cntr_);
    kvoblk_set_pat_file(b, narrow(file_).c_str());
    int status = 0;
    kvoblk_ini(b, 1 + 3 * static_cast<int>(blocks_.size() - 1),
               1 + 2 * static_cast<int>(blocks_.size() - 1), 1, &status);
    EXPECT_EQ(status, 0);
    int errors = 0;
    kv_jac_t pattern = kvoblk_rpat(b, &errors);
    EXPECT_NE(pattern, 0);
    nnz_ = pattern ? kvojac_inq_nnz(pattern) : -1;
    if (pattern) kvojac_destroy(&pattern);
    return errors;
  }
  fs::path file() const { return file_; }

  fs::path dir_;
  fs::path file_;
  int nnz_ = -1;
  kvoref::Lists lists_;
  kvoref::Container* cntr_ = nullptr;
  std::vector<int> blocks_;
};

TEST_F(WindowsFiles, PatternFileIsByteForByteTheOneLinuxWrites) {
  EXPECT_EQ(restore(), 0);
  ASSERT_TRUE(fs::exists(file()));
  std::string text = bytes_of(file());
  EXPECT_EQ(text.find('\r'), std::string::npos) << "line ends must be LF alone";
  const std::string head = "Date created             : ";
  const size_t at = text.find(head);
  ASSERT_NE(at, std::string::npos);
  const size_t from = at + head.size(), to = text.find('\n', from);
  EXPECT_TRUE(std::regex_match(text.substr(from, to - from),
                               std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|"
                                          "Jul|Aug|Sep|Oct|Nov|Dec) [0-3][0-9] [0-2][0-9]:"
                                          "[0-5][0-9]:[0-6][0-9] Year of our Lord [0-9]{4}")))
      << text.substr(from, to - from);
  text.replace(from, to - from, "<date>");
  EXPECT_EQ(text, kvotest::golden("pattern_3x2.pat"));
  // Nothing but the file is left in the folder: the temporary was renamed over it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(WindowsFiles, PatternFileWrittenHereIsRestoredWithoutDetectingAgain) {
  ASSERT_EQ(restore(), 0);
  const std::string first = bytes_of(file());
  his();
  EXPECT_EQ(restore(), 0);
  EXPECT_EQ(his().find("Computing sparsity numerically"), std::string::npos);
  EXPECT_EQ(bytes_of(file()), first);  // read, not written again
}

// Git on Windows checks text files out with CRLF line ends; such a copy is the same pattern.
TEST_F(WindowsFiles, PatternFileWithCrlfLineEndsIsRestoredAsTheSamePattern) {
  ASSERT_EQ(restore(), 0);
  const int nnz = nnz_;
  std::string text;
  for (char c : bytes_of(file())) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::ofstream(file(), std::ios::binary) << text;
  his();
  EXPECT_EQ(restore(), 0);
  EXPECT_EQ(nnz_, nnz);
  EXPECT_EQ(his().find("Computing sparsity numerically"), std::string::npos);
}

// Folders and files named with letters of the code page beyond ASCII, and spaces.
TEST_F(WindowsFiles, PatternFileInAFolderWithLettersBeyondAsciiIsWrittenThereAndRestored) {
  const fs::path folder = dir_ / L"Str\u00f6me und W\u00e4rme";
  file_ = folder / L"B\u00e4r 1.pat";
  if (narrow(file_).find('?') != std::string::npos)
    GTEST_SKIP() << "the code page has no such letters";
  fs::create_directories(folder);
  EXPECT_EQ(restore(), 0);
  ASSERT_TRUE(fs::is_regular_file(file_));
  const std::string first = bytes_of(file_);
  his();
  EXPECT_EQ(restore(), 0);
  EXPECT_EQ(his().find("Computing sparsity numerically"), std::string::npos);
  EXPECT_EQ(bytes_of(file_), first);
  // The file and its folder are all there is: nothing went to a misspelt folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

// Names in a flowsheet file are UTF-8 whatever the program's code page (a program without the
// UTF-8 manifest, or Windows before version 1903): a pattern file named there is written under
// that name, and one with a letter the code page lacks under none, never under a look-alike
// name ("o" for "\u0151") that may be another file's.
TEST_F(WindowsFiles, PatternFilesNamedInAFlowsheetFileKeepTheirLettersInAnyCodePage) {
  if (GetACP() == CP_UTF8) GTEST_SKIP() << "the code page is UTF-8";
  const auto run = [&](const std::string& pattern_file) {
    const fs::path flowsheet = dir_ / "f.toml";
    std::ofstream(flowsheet, std::ios::binary)
        << "[[block]]\nid = \"R\"\nmodel = \"CSTR\"\npattern = \"RESTORE\"\npattern_file = \""
        << pattern_file
        << "\"\n[block.parameters]\ntanks = 2\n[fix]\n\"R.IN.F\" = 1\n\"R.IN.CA\" = 1\n"
           "\"R.IN.CB\" = 0\n";
    kvoflow::Options o;
    o.file = narrow(flowsheet);
    o.workdir = narrow(dir_);
    o.quiet = true;
    return kvoflow::run(o);
  };
  EXPECT_EQ(run("Muster B\xC3\xA4r.pat"), kvoflow::EXIT_SOLVED) << his() << err();
  EXPECT_TRUE(fs::is_regular_file(dir_ / L"Muster B\u00e4r.pat"));
  EXPECT_EQ(run("Muster \xC5\x91.pat"), kvoflow::EXIT_SOLVED) << his() << err();
  EXPECT_FALSE(fs::exists(dir_ / L"Muster o.pat"));
  // The flowsheet and the one pattern file are all there is.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

// Names Windows takes for one file (the dots and spaces that end a name are dropped) are refused
// as one pattern file; names that differ only in letters the code page lacks, or spells by bytes
// that are no UTF-8, name different files and are not.
TEST_F(WindowsFiles, PatternFilesAreOneExactlyWhenWindowsTakesTheirNamesForOne) {
  const auto run = [&](const std::vector<std::string>& files) {
    std::string text, fix = "[fix]\n";
    for (size_t i = 0; i < files.size(); ++i) {
      const std::string id = "T" + std::to_string(i + 1);
      text += "[[block]]\nid = \"" + id +
              "\"\nmodel = \"CSTR\"\npattern = \"RESTORE\"\npattern_file = \"" + files[i] +
              "\"\n[block.parameters]\ntanks = 1\n";
      fix += "\"" + id + ".IN.F\" = 1\n\"" + id + ".IN.CA\" = 1\n\"" + id + ".IN.CB\" = 0\n";
    }
    std::ofstream(dir_ / "f.toml", std::ios::binary) << text << fix;
    kvoflow::Options o;
    o.file = narrow(dir_ / "f.toml");
    o.workdir = narrow(dir_) + "\\";
    o.quiet = true;
    return kvoflow::run(o);
  };
  EXPECT_EQ(run({"\xC3\x84.pat", "\xC3\x96.pat", "\xC5\x91.pat", "\xC5\xB1.pat"}),
            kvoflow::EXIT_SOLVED)
      << err();
  err();
  EXPECT_EQ(run({"R.pat", "R.pat.", "sub/../r.PAT "}), kvoflow::EXIT_INPUT);
  const std::string e = err();
  EXPECT_NE(e.find(":12:16: pattern file R.pat. is already used by block T1 at line 5 (R.pat, "
                   "the same file in the work directory)"),
            std::string::npos)
      << e;
  EXPECT_NE(e.find(":19:16: pattern file sub/../r.PAT  is already used by block T1"),
            std::string::npos)
      << e;
}

// A name may hold half of a surrogate pair (the current folder's, say), which no UTF-8 spells:
// its key is still made, kept apart from the other half's, and a whole name's key is unchanged.
TEST(WindowsFileKey, NamesWithHalfASurrogatePairHaveKeysOfTheirOwn) {
  const auto named = [](wchar_t half) {
    std::wstring name = L"C:\\dir\\a";
    name.push_back(half);
    return fs::path(name + L".pat");
  };
  std::string high, low;
  ASSERT_NO_THROW(high = kvoflow::full_file_key(named(static_cast<wchar_t>(0xD800))));
  ASSERT_NO_THROW(low = kvoflow::full_file_key(named(static_cast<wchar_t>(0xDC00))));
  EXPECT_NE(high, low);
  EXPECT_EQ(high, kvoflow::full_file_key(named(static_cast<wchar_t>(0xD800))));
  EXPECT_EQ(kvoflow::full_file_key(fs::path(L"C:\\dir\\sub\\..\\r\u00E4.pat.")),
            "C:/DIR/R\xC3\x84.PAT");
}

// A small flowsheet: one stirred tank, its pattern restored from (or saved to) a file.
std::string tank_flowsheet(const std::string& id, const std::string& pattern_file) {
  return "[[block]]\nid = \"" + id + "\"\nmodel = \"CSTR\"\npattern = \"RESTORE\"\n" +
         (pattern_file.empty() ? "" : "pattern_file = \"" + pattern_file + "\"\n") +
         "[block.parameters]\ntanks = 2\n[fix]\n\"" + id + ".IN.F\" = 1\n\"" + id +
         ".IN.CA\" = 1\n\"" + id + ".IN.CB\" = 0\n";
}

// Windows takes CON, NUL, AUX, COM1.. for devices in any folder, on most versions with any
// extension. Only the device named by itself is written to; any other such name is refused
// with the reason, before anything reaches a device: a block CON's default pattern file
// CON.pat would be the console, where reading it waits for input.
TEST_F(WindowsFiles, NamesWindowsTakesForDevicesAreRefusedWithTheReason) {
  std::string why;
  EXPECT_TRUE(kvoflow::write_file("NUL", "{}\n", &why)) << why;
  const std::string aux = narrow(dir_ / "aux.json");
  if (kvoflow::device_of(dir_ / "aux.json").empty())
    GTEST_SKIP() << "this Windows gives such names to files";
  EXPECT_FALSE(kvoflow::write_file(aux, "{}\n", &why));
  EXPECT_EQ(why, "cannot write " + aux +
                     ": Windows takes the name for the device aux; choose "
                     "another name");

  std::ofstream(dir_ / "con.toml", std::ios::binary) << tank_flowsheet("R", "");
  std::ofstream(dir_ / "cond.toml", std::ios::binary) << tank_flowsheet("CON", "");
  kvoflow::Options o;
  o.workdir = narrow(dir_);
  o.quiet = true;
  o.file = narrow(dir_ / "con.toml");
  EXPECT_EQ(kvoflow::run(o), kvoflow::EXIT_INPUT);
  EXPECT_NE(err().find("Windows takes this name for the device con, not a file; rename the "
                       "flowsheet file"),
            std::string::npos);
  o.file = narrow(dir_ / "cond.toml");
  EXPECT_EQ(kvoflow::run(o), kvoflow::EXIT_INPUT);
  EXPECT_NE(err().find(":1:1: the pattern file " + narrow(dir_ / "CON.pat") +
                       " of block CON is a name Windows takes for the device CON; name another "
                       "file with pattern_file"),
            std::string::npos);
  // Given another file, the block CON runs.
  std::ofstream(dir_ / "cond.toml", std::ios::binary) << tank_flowsheet("CON", "CON1.pat");
  EXPECT_EQ(kvoflow::run(o), kvoflow::EXIT_SOLVED) << his() << err();
  EXPECT_TRUE(fs::is_regular_file(dir_ / "CON1.pat"));
}

// A result file is not replaced when its owner made it read-only, nor while another program
// holds it open: the old file stays whole, no temporary is left, and the reason is given, as
// it is where a part of the path is a file.
TEST_F(WindowsFiles, ResultFileReadOnlyOrHeldOpenIsKeptAndTheReasonGiven) {
  const fs::path json = dir_ / "r.json";
  std::ofstream(json, std::ios::binary) << "old";
  ASSERT_TRUE(SetFileAttributesW(json.c_str(), FILE_ATTRIBUTE_READONLY));
  std::string why;
  EXPECT_FALSE(kvoflow::write_file(narrow(json), "new", &why));
  EXPECT_EQ(why, "cannot write " + narrow(json) + ": the file is read-only");
  ASSERT_TRUE(SetFileAttributesW(json.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(bytes_of(json), "old");

  // As an editor or viewer opens a file: others may read it, not delete or rename over it.
  HANDLE held = CreateFileW(json.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const bool written = kvoflow::write_file(narrow(json), "new", &why);
  CloseHandle(held);
  EXPECT_FALSE(written);
  EXPECT_EQ(why, "cannot replace " + narrow(json) + ": another program has it open");
  EXPECT_EQ(bytes_of(json), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
  // Let go, it is replaced.
  EXPECT_TRUE(kvoflow::write_file(narrow(json), "new", &why)) << why;
  EXPECT_EQ(bytes_of(json), "new");
  // Windows answers "no such file" where a part of the path is a file; that is no missing folder.
  EXPECT_FALSE(kvoflow::write_file(narrow(json / "x" / "r.json"), "new", &why));
  EXPECT_EQ(why, "cannot write " + narrow(json / "x" / "r.json") +
                     ": a part of its path is not a folder");
}

// Removes a folder and all in it by the long form of its path; the C++ library's walk over a
// folder reads no folder deeper than the 260-character limit.
void remove_tree(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        remove_tree(folder + L"\\" + name);
      else
        DeleteFileW((folder + L"\\" + name).c_str());
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(folder.c_str());
}

// A folder named relative to its drive's current folder ("D:Bilder") is made and written to.
TEST_F(WindowsFiles, FoldersNamedRelativeToTheDrivesCurrentFolderAreMade) {
  const fs::path was = fs::current_path();
  fs::current_path(dir_);
  std::ofstream("f.toml", std::ios::binary) << tank_flowsheet("R", "");
  const std::string drive = narrow(dir_.root_name());
  kvoflow::Options o;
  o.file = "f.toml";
  o.workdir = drive + "Muster";
  o.svg_dir = drive + "Bilder";
  o.quiet = true;
  const int status = kvoflow::run(o);
  fs::current_path(was);
  EXPECT_EQ(status, kvoflow::EXIT_SOLVED) << his() << err();
  EXPECT_TRUE(fs::is_regular_file(dir_ / "Muster" / "R.pat"));
  EXPECT_TRUE(fs::is_regular_file(dir_ / "Bilder" / "convergence.svg"));
}

// Past the 260-character limit a path is reached by its long form, whichever way it was
// written; the results and the pattern file are saved there and the pattern restored.
TEST_F(WindowsFiles, LongPathsAreReachedByTheirLongFormAndResultsSavedThere) {
  const fs::path root = fs::absolute(fs::temp_directory_path() / "kvoblk-windows-long");
  remove_tree(L"\\\\?\\" + root.native());
  const fs::path deep = root / std::wstring(120, L'd') / std::wstring(110, L'e');
  const std::wstring full = fs::path(deep).make_preferred().native();
  ASSERT_GE(full.size(), kvoflow::kLongPath);
  EXPECT_EQ(kvoflow::long_form(deep).native(), L"\\\\?\\" + full);
  EXPECT_EQ(kvoflow::long_form(fs::path(full + L"\\x\\..\\r.json")).native(),
            L"\\\\?\\" + full + L"\\r.json");
  EXPECT_EQ(kvoflow::long_form(fs::path(L"\\\\srv\\share\\" + std::wstring(240, L'f'))).native(),
            L"\\\\?\\UNC\\srv\\share\\" + std::wstring(240, L'f'));
  EXPECT_EQ(kvoflow::long_form(dir_ / "r.json"), dir_ / "r.json");

  kvoflow::make_folders(deep);
  std::ofstream(kvoflow::long_form(deep / "f.toml"), std::ios::binary)
      << tank_flowsheet("R", std::string(40, 'p') + ".pat");
  kvoflow::Options o;
  o.file = narrow(deep / "f.toml");
  o.workdir = narrow(deep / "Muster");
  o.json = narrow(deep / (std::string(30, 'r') + ".json"));
  o.quiet = true;
  ASSERT_GT(o.workdir.size() + 1 + 44, size_t{260});
  EXPECT_EQ(kvoflow::run(o), kvoflow::EXIT_SOLVED) << his() << err();
  EXPECT_TRUE(fs::is_regular_file(kvoflow::status_of(kvoflow::path_of(o.json))));
  EXPECT_TRUE(
      fs::is_regular_file(kvoflow::status_of(deep / "Muster" / (std::string(40, 'p') + ".pat"))));
  his();
  EXPECT_EQ(kvoflow::run(o), kvoflow::EXIT_SOLVED) << his() << err();
  EXPECT_EQ(his().find("Computing sparsity numerically"), std::string::npos);
  remove_tree(L"\\\\?\\" + root.native());
  EXPECT_FALSE(fs::exists(root));
}

// A name of 200 characters or more is reached by its long form, where the C runtime's status
// call finds nothing: the runner looks it up by its attributes, so that a flowsheet there is
// read, its folders made, and the flowsheet known as the file a result would write over.
TEST_F(WindowsFiles, WhatIsAtALongFormNameIsFound) {
  const fs::path deep = dir_ / std::string(170, 'd');
  const fs::path file = deep / "f.toml";
  const size_t length = fs::absolute(file).native().size();
  ASSERT_GE(length, kvoflow::kLongPath);
  ASSERT_LT(length, size_t{250});
  kvoflow::make_folders(deep / "x" / "y");
  EXPECT_TRUE(fs::is_directory(kvoflow::status_of(deep / "x" / "y")));
  const std::string text = tank_flowsheet("R", "");
  std::ofstream(kvoflow::long_form(file), std::ios::binary) << text;
  EXPECT_TRUE(fs::is_regular_file(kvoflow::status_of(file)));
  EXPECT_EQ(kvoflow::status_of(deep / "none").type(), fs::file_type::not_found);
  EXPECT_TRUE(kvoflow::same_file(file, deep / "x" / ".." / "f.toml"));
  EXPECT_FALSE(kvoflow::same_file(file, deep / "x"));
  kvoflow::Options o;
  o.file = narrow(file);
  o.workdir = narrow(deep / "w");
  o.json = o.file;
  o.quiet = true;
  EXPECT_EQ(kvoflow::run(o), kvoflow::EXIT_OUTPUT) << his() << err();
  EXPECT_NE(his().find("will not write over the flowsheet file"), std::string::npos);
  EXPECT_TRUE(fs::is_regular_file(kvoflow::status_of(deep / "w" / "R.pat")));
  std::ifstream in(kvoflow::long_form(file), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
}

// The size of a file is not known at its long-form name: a flowsheet there larger than any is
// refused all the same, while it is read.
TEST_F(WindowsFiles, AnOversizedFlowsheetAtALongFormNameIsRefused) {
  const fs::path deep = dir_ / std::string(200, 'd');
  kvoflow::make_folders(deep);
  const fs::path file = deep / "f.toml";
  std::ofstream(kvoflow::long_form(file), std::ios::binary)
      << tank_flowsheet("R", "") << std::string((16u << 20) + 1, '#');
  kvoflow::Diagnostics diag("f.toml");
  kvoflow::read_flowsheet(narrow(file), diag);
  ASSERT_EQ(diag.lines().size(), 1u) << ::testing::PrintToString(diag.lines());
  EXPECT_NE(diag.lines()[0].find("the file is larger than 16 MB, which no flowsheet is"),
            std::string::npos);
  remove_tree(L"\\\\?\\" + dir_.native());
}

// A long-form name that cannot be there (a letter no file name takes, a share no server has) is
// a missing file, as the same name is when short, not a device.
TEST_F(WindowsFiles, ALongFormNameThatCannotBeThereIsNoFile) {
  const std::string tail = std::string(200, 'd') + "\\f.toml";
  for (const std::string& name : {narrow(dir_) + "\\a<b" + tail, "\\\\nosrv\\share\\" + tail}) {
    EXPECT_FALSE(fs::exists(kvoflow::status_of(kvoflow::path_of(name)))) << name;
    kvoflow::Diagnostics diag("f.toml");
    kvoflow::read_flowsheet(name, diag);
    ASSERT_EQ(diag.lines().size(), 1u) << name;
    EXPECT_NE(diag.lines()[0].find("there is no flowsheet file by this name"), std::string::npos)
        << diag.lines()[0];
  }
}

// The library reaches a pattern file past the 260-character limit by the long form of its path
// however the host names it (absolute, relative, on a share), and so also the temporary it writes
// first, whose name is 19 characters longer. Shorter names are used as given.
TEST_F(WindowsFiles, LongPatternFilePathsAreTakenInTheirLongForm) {
  const std::wstring d(120, L'd'), e(110, L'e'), here = dir_.native();
  const std::wstring full = here + L"\\" + d + L"\\" + e;
  const std::wstring share = L"\\\\srv\\share\\" + std::wstring(240, L'f');
  EXPECT_EQ(kvo_long_form(full + L"\\x\\..\\b1.pat"), L"\\\\?\\" + full + L"\\b1.pat");
  EXPECT_EQ(kvo_long_form(fs::path(full + L"\\b1.pat").generic_wstring()),
            L"\\\\?\\" + full + L"\\b1.pat");
  EXPECT_EQ(kvo_long_form(share), L"\\\\?\\UNC\\" + share.substr(2));
  EXPECT_EQ(kvo_long_form(L"\\\\?\\" + full), L"\\\\?\\" + full);
  EXPECT_EQ(kvo_long_form(L"\\\\.\\NUL"), L"\\\\.\\NUL");
  EXPECT_EQ(kvo_long_form(here + L"\\b1.pat"), here + L"\\b1.pat");
  const fs::path was = fs::current_path();
  fs::current_path(dir_);
  const std::wstring relative = kvo_long_form(d + L"\\" + e + L"\\b1.pat");
  const std::wstring on_drive =
      kvo_long_form(dir_.root_name().native() + d + L"\\" + e + L"\\b1.pat");
  const std::wstring short_one = kvo_long_form(L"b1.pat");
  fs::current_path(was);
  EXPECT_EQ(relative, L"\\\\?\\" + full + L"\\b1.pat");
  EXPECT_EQ(on_drive, L"\\\\?\\" + full + L"\\b1.pat");
  EXPECT_EQ(short_one, L"b1.pat");

  // Saved, restored without detecting again, and saved again by a relative name.
  ASSERT_TRUE(fs::create_directories(L"\\\\?\\" + full));
  file_ = full + L"\\b1.pat";
  ASSERT_GT(full.size() + 7 + 19, size_t{260});
  const fs::path stored = L"\\\\?\\" + full + L"\\b1.pat";
  EXPECT_EQ(restore(), 0) << his();
  ASSERT_TRUE(fs::is_regular_file(stored));
  // The temporary was renamed over the file (the C++ library's folder walk takes no long form).
  WIN32_FIND_DATAW entry;
  EXPECT_EQ(FindFirstFileW((stored.native() + L".kvotmp*").c_str(), &entry), INVALID_HANDLE_VALUE);
  his();
  EXPECT_EQ(restore(), 0);
  EXPECT_EQ(his().find("Computing sparsity numerically"), std::string::npos);
  ASSERT_TRUE(DeleteFileW(stored.c_str()));
  fs::current_path(dir_);
  file_ = d + L"\\" + e + L"\\b1.pat";
  EXPECT_EQ(restore(), 0);
  fs::current_path(was);
  EXPECT_NE(his().find("Computing sparsity numerically"), std::string::npos);
  ASSERT_TRUE(fs::is_regular_file(stored));
  // A file there is replaced whole by another, both named in full.
  std::ofstream(fs::path(L"\\\\?\\" + full + L"\\b2.pat"), std::ios::binary) << "new";
  EXPECT_EQ(kvo_replace_file(kvo_long_form(full + L"\\b2.pat").c_str(),
                             kvo_long_form(full + L"\\b1.pat").c_str()),
            0);
  EXPECT_EQ(bytes_of(stored), "new");
  remove_tree(L"\\\\?\\" + here + L"\\" + d);
}

// Windows paths written as TOML text read as escapes; the message says how to write them.
TEST(WindowsFlowsheetFile, BackslashesInAPathAreAnsweredWithHowToWriteThem) {
  for (const char* name : {"C:\\Models\\x.dll", "C:\\Users\\me\\x.dll"}) {
    kvoflow::Diagnostics diag("f.toml");
    kvoflow::parse_flowsheet(std::string("[plugins]\nX = \"") + name + "\"\n", "f.toml", diag);
    ASSERT_EQ(diag.lines().size(), 1u);
    EXPECT_NE(diag.lines()[0].find("; write a backslash in a file name as \\\\ or put the name in "
                                   "single quotes"),
              std::string::npos)
        << diag.lines()[0];
  }
}

// Blocks r1 and R1 are two blocks, but r1.pat and R1.pat are one file on Windows: the second
// block would take the first one's pattern for a damaged file at every run.
TEST(WindowsFlowsheetFile, PatternFilesThatDifferOnlyInCapitalsAreOneFile) {
  const auto block = [](const std::string& id, const std::string& file) {
    return "[[block]]\nid = \"" + id + "\"\nmodel = \"CSTR\"\npattern = \"RESTORE\"\n" +
           (file.empty() ? "" : "pattern_file = \"" + file + "\"\n") +
           "[block.parameters]\ntanks = 1\n";
  };
  kvoflow::Diagnostics diag("f.toml");
  kvoflow::parse_flowsheet(block("r1", "") + block("R1", "") + block("x", "Sub/../\\u00c4.pat") +
                               block("y", "\\u00e4.pat"),
                           "f.toml", diag);
  const std::vector<std::string> lines = diag.lines();
  ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[0],
            "f.toml:8:6: pattern file R1.pat is already used by block r1 at line 2 (r1.pat: "
            "Windows does not tell capitals from small letters in file names)");
  EXPECT_EQ(lines[1].find("f.toml:24:16: pattern file \xC3\xA4.pat is already used by block x"), 0u)
      << lines[1];
}

std::string md5_hex(const std::vector<std::string>& pieces) {
  kvo_md5_ctx ctx{};
  MD5Init(&ctx);
  for (const std::string& p : pieces)
    MD5Update(&ctx, reinterpret_cast<const unsigned char*>(p.data()),
              static_cast<unsigned int>(p.size()));
  unsigned char d[16];
  MD5Final(d, &ctx);
  std::string hex;
  for (unsigned char c : d) {
    const char* digits = "0123456789abcdef";
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

TEST(WindowsDigest, SystemMd5GivesTheStandardDigestsWhateverTheChunks) {
  EXPECT_EQ(md5_hex({}), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5_hex({"abc"}), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5_hex({"message ", "", "digest"}), "f96b697d7cb7938d525a2f31aaf161d0");
  const std::string digits =
      "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
  EXPECT_EQ(md5_hex({digits.substr(0, 63), digits.substr(63)}), "57edf4a22be3c955ac49da2e2107b67a");
  // A context started twice digests only what came after the second start; one finished is
  // empty and gives zeros.
  kvo_md5_ctx ctx{};
  MD5Init(&ctx);
  MD5Update(&ctx, reinterpret_cast<const unsigned char*>("xyz"), 3);
  MD5Init(&ctx);
  MD5Update(&ctx, reinterpret_cast<const unsigned char*>("abc"), 3);
  unsigned char d[16], zeros[16] = {};
  MD5Final(d, &ctx);
  EXPECT_EQ(d[0], 0x90);
  EXPECT_EQ(d[15], 0x72);
  MD5Final(d, &ctx);
  EXPECT_EQ(std::memcmp(d, zeros, 16), 0);
}

}  // namespace
