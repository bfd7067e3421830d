// SPDX-License-Identifier: BSD-3-Clause
// The flowsheet runner: the file reader's errors with their exact positions, plug-in loading,
// the drawings, and whole runs of the recycle flowsheet and of bad flowsheets.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "fixture.h"
#include "flowfile.h"
#include "models.h"
#include "run.h"
#include "svg.h"

namespace {

namespace fs = std::filesystem;
using kvoflow::Diagnostics;

// A scratch folder of this test program's own, so that suites running at the same time (a
// normal and a sanitizer build, other checkouts) never share files.
fs::path scratch(const std::string& name) {
  return fs::temp_directory_path() / ("kvoflow-" + std::to_string(getpid()) + "-" + name);
}

// Every error the reader and the model check find in `text`, one per line.
std::string errors(const std::string& text) {
  Diagnostics diag("t.toml");
  kvoflow::FlowsheetSpec spec = kvoflow::parse_flowsheet(text, "t.toml", diag);
  kvoflow::Catalogue catalogue;
  catalogue.load_plugins(spec, {}, diag);
  catalogue.check_blocks(spec, diag);
  std::string out;
  for (const std::string& line : diag.lines()) out += line + "\n";
  return out;
}

const char* const kTwoBlocks =
    "[[block]]\n"
    "id = \"R1\"\n"
    "model = \"CSTR\"\n"
    "[block.parameters]\n"
    "tanks = 2\n"
    "[[block]]\n"
    "id = \"M1\"\n"
    "model = \"MIXER\"\n";

TEST(FlowsheetFile, AGoodFileHasNoErrorsAndKeepsEveryEntry) {
  Diagnostics diag("t.toml");
  const kvoflow::FlowsheetSpec spec =
      kvoflow::parse_flowsheet(std::string(kTwoBlocks) +
                                   "method = \"UPDATE_NUMERIC\"\npattern = \"RESTORE\"\n"
                                   "[[connection]]\nfrom = \"M1.OUT\"\nto = \"R1.IN\"\n"
                                   "[fix]\n\"M1.IN1.F\" = 3\n[guess]\n\"R1.F(1)\" = 2.5\n",
                               "t.toml", diag);
  ASSERT_TRUE(diag.ok()) << diag.lines().front();
  ASSERT_EQ(spec.blocks.size(), 2u);
  EXPECT_EQ(spec.blocks[1].method, KVOBLK_UPDATE_NUMERIC);
  EXPECT_EQ(spec.blocks[1].pattern, KVOBLK_PAT_RESTORE);
  EXPECT_EQ(spec.blocks[1].pattern_file, "M1.pat");  // RESTORE without a file: the id's
  ASSERT_EQ(spec.connections.size(), 1u);
  EXPECT_EQ(spec.connections[0].from.text(), "M1.OUT");
  ASSERT_EQ(spec.fixed.size(), 1u);
  EXPECT_EQ(spec.fixed[0].value, 3.0);
  EXPECT_EQ(spec.guesses[0].pos.line, 17);
}

// One case per class of error, each at its exact line and column.
TEST(FlowsheetFile, EachClassOfErrorIsReportedAtItsLineAndColumn) {
  const auto dotted = [](int parts) {
    std::string key = "a";
    for (int k = 1; k < parts; ++k) key += ".a";
    return key;
  };
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"[[block]\nid = \"A\"\n",
       "t.toml:1:9: this is not valid TOML: Error while parsing table header: expected ']', saw "
       "'\\n'\n"},
      {"[[block]]\nid = \"R1\"\nmodel = \"CSTX\"\n",
       "t.toml:3:9: block R1 uses the model \"CSTX\", which is neither built in nor a plug-in of "
       "[plugins]; the models are CSTR, MIXER, SPLITTER, HEATER, FLASH\n"},
      {"[[block]]\nid = \"R1\"\nmodel = \"CSTR\"\n",
       "t.toml:1:1: block R1 (model CSTR) needs the parameter tanks: the number of tanks in "
       "series\n"},
      {"[[block]]\nid = \"R1\"\nmodel = \"CSTR\"\n[block.parameters]\ntanks = \"three\"\n",
       "t.toml:5:9: parameter tanks of block R1 must be a whole number, not a text\n"},
      {"[[block]]\nid = \"R1\"\nmodel = \"CSTR\"\n[block.parameters]\ntanks = 2\nvolme = 3.0\n",
       "t.toml:6:1: the model CSTR has no parameter \"volme\"; it takes tanks, volume, "
       "rate_constant, order\n"},
      {std::string(kTwoBlocks) + "[[block]]\nid = \"R1\"\nmodel = \"MIXER\"\n",
       "t.toml:10:6: a block with id \"R1\" is already defined at line 2\n"},
      {std::string(kTwoBlocks) + "[[connection]]\nfrom = \"M1.OUT\"\nto = \"R1.IN\"\n"
                                 "[[connection]]\nfrom = \"M1.OUT\"\nto = \"R1.IN2\"\n",
       "t.toml:13:8: port M1.OUT is already connected at line 10\n"},
      {std::string(kTwoBlocks) + "[[connection]]\nfrom = \"M2.OUT\"\nto = \"R1.IN\"\n",
       "t.toml:10:8: there is no block \"M2\" to connect\n"},
      {std::string(kTwoBlocks) + "method = \"EXACT\"\n",
       "t.toml:9:10: unknown derivative method \"EXACT\"; use ANALYTIC, NUMERIC, UPDATE_NUMERIC "
       "or UPDATE_ANALYTIC\n"},
      {std::string(kTwoBlocks) + "[fix]\nM1.IN1.F = 3\n",
       "t.toml:10:1: write the variable name in quotes, as in \"M1.IN1.F\" = 1.0, so that its "
       "dots stay part of the name\n"},
      // A table with nothing in it is no value either, at any depth.
      {std::string(kTwoBlocks) + "[fix]\nM1 = {}\nR1.IN = {}\n",
       "t.toml:10:1: the value of M1 must be a number, not a table\n"
       "t.toml:11:1: the value of R1.IN must be a number, not a table\n"},
      {std::string(kTwoBlocks) + "[fix]\n\"\" = 3\n",
       "t.toml:10:1: a variable name is empty; name the variable, as in \"R1.IN.F\" = 1.0\n"},
      // A key of so many parts that reading it would exhaust the stack.
      {std::string(kTwoBlocks) + "[fix]\n# " + dotted(20) + "\n\"" + dotted(20) + "\" = 1\n" +
           dotted(100000) + " = 1\n",
       "t.toml:12:1: this key joins more than 16 names with dots, deeper than any entry of a "
       "flowsheet file; a variable name goes in quotes, as in \"R1.IN.F\" = 1.0\n"},
      {"[[block]]\nid = \"\"\nmodel = \"MIXER\"\n",
       "t.toml:2:6: the block id \"\" must start with a letter and hold only letters, digits, "
       "'_' and '-' (at most 32)\n"},
      {"[[block]]\nid = \"M1\"\nmodel = \"\"\n", "t.toml:3:9: a block's model must name a model\n"},
      {"[[block]]\nmodel = \"CSTR\"\n",
       "t.toml:1:1: this block has no id\nt.toml:1:1: this block (model CSTR) needs the parameter "
       "tanks: the number of tanks in series\n"},
      {std::string(kTwoBlocks) + "pattern = \"RESTORE\"\n[[block]]\nid = \"M2\"\n"
                                 "model = \"MIXER\"\npattern = \"RESTORE\"\n"
                                 "pattern_file = \"./M1.pat\"\n",
       "t.toml:14:16: pattern file ./M1.pat is already used by block M1 at line 7\n"},
      {std::string(kTwoBlocks) + "[solvr]\n",
       "t.toml:9:2: unknown entry \"solvr\"; the file knows title, diagnostic_level, [solver], "
       "[plugins], [[block]], [[connection]], [fix] and [guess]\n"},
      {std::string(kTwoBlocks) + "[solver]\nstep_limit = 1e7\n",
       "t.toml:10:14: step_limit must be at most 1e6\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(errors(c.text), c.expected) << c.text;
}

TEST(FlowsheetFile, EveryErrorOfAFileIsReportedInLineOrderNotOnlyTheFirst) {
  // The model check runs after the reader but its error comes first, by its line.
  const std::string text =
      "[[block]]\nid = \"R1\"\nmodel = \"CSTR\"\nmethod = 3\n"
      "[[block]]\nid = \"9x\"\nmodel = \"MIXER\"\n";
  EXPECT_EQ(errors(text),
            "t.toml:1:1: block R1 (model CSTR) needs the parameter tanks: the number of tanks in "
            "series\n"
            "t.toml:4:10: method must be a text in quotes, not a whole number\n"
            "t.toml:6:6: the block id \"9x\" must start with a letter and hold only letters, "
            "digits, '_' and '-' (at most 32)\n");
}

TEST(FlowsheetFile, AMissingFileIsNamed) {
  Diagnostics diag("no/such.toml");
  kvoflow::read_flowsheet("no/such.toml", diag);
  ASSERT_EQ(diag.lines().size(), 1u);
  EXPECT_EQ(diag.lines()[0], "no/such.toml: there is no flowsheet file by this name");
  Diagnostics folder(KVOFLOW_FLOWSHEETS);
  kvoflow::read_flowsheet(KVOFLOW_FLOWSHEETS, folder);
  ASSERT_EQ(folder.lines().size(), 1u);
  EXPECT_EQ(folder.lines()[0], KVOFLOW_FLOWSHEETS ": this is a folder, not a flowsheet file");
  Diagnostics device("/dev/null");
  kvoflow::read_flowsheet("/dev/null", device);
  ASSERT_EQ(device.lines().size(), 1u);
  EXPECT_EQ(
      device.lines()[0],
      "/dev/null: this is a device or pipe, not a flowsheet file; save the flowsheet as a file");
}

// A parameter whose value cannot be read is reported once, not again as missing.
TEST(FlowsheetFile, AnUnreadableParameterIsNotAlsoReportedAsMissing) {
  EXPECT_EQ(errors("[[block]]\nid = \"S1\"\nmodel = \"SPLITTER\"\n[block.parameters]\n"
                   "fractions = [0.1, \"0.9\"]\n"),
            "t.toml:5:19: each entry of parameter fractions must be a number, not a text\n");
}

// Names and values quoted from the file, and the TOML reader's account of what it saw, may hold
// line breaks and other control characters: each error stays one line, with them escaped.
TEST(FlowsheetFile, ControlCharactersInAnErrorAreEscapedSoThatItStaysOneLine) {
  EXPECT_EQ(errors(std::string(kTwoBlocks) + "[solver]\nmax_iterations =t\n"),
            "t.toml:10:18: this is not valid TOML: Error while parsing boolean: expected 'true', "
            "saw 't\\n'\n");
  EXPECT_EQ(errors(std::string(kTwoBlocks) + "\"a\\tb\\u001B[2J\\u0000\" = 1\n"),
            "t.toml:9:1: unknown block entry \"a\\tb\\u001B[2J\\u0000\"; a block has id, model, "
            "method, pattern, pattern_file, diagnostic_level and [block.parameters]\n");
}

// The system would take a file name only up to its NUL: "..\0/../M1.pat" is read as "..".
TEST(FlowsheetFile, AFileNameWithANulCharacterIsRefused) {
  EXPECT_EQ(errors(std::string(kTwoBlocks) +
                   "pattern = \"RESTORE\"\npattern_file = \"..\\u0000/../M1.pat\"\n"
                   "[plugins]\nHEAT = \"lib\\u0000.so\"\n"),
            "t.toml:10:16: pattern_file holds the character \\u0000, which no file name can\n"
            "t.toml:12:8: the plug-in of model HEAT holds the character \\u0000, which no file "
            "name can\n");
}

// ---- Plug-ins ----------------------------------------------------------------------------------

std::string plugin_file(const std::string& model, const std::string& path,
                        const std::string& params = "evaporated = 0.25\n") {
  return "[plugins]\n" + model + " = \"" + path + "\"\n[[block]]\nid = \"C1\"\nmodel = \"" + model +
         "\"\n[block.parameters]\n" + params;
}

TEST(PluginLoading, AGoodPluginCreatesBlocksWithItsPorts) {
  Diagnostics diag("t.toml");
  const kvoflow::FlowsheetSpec spec =
      kvoflow::parse_flowsheet(plugin_file("CONC", KVOFLOW_PLUGIN), "t.toml", diag);
  kvoflow::Catalogue catalogue;
  catalogue.load_plugins(spec, {}, diag);
  catalogue.check_blocks(spec, diag);
  ASSERT_TRUE(diag.ok()) << diag.lines().front();
  const kvoflow::ModelDef* model = catalogue.find("CONC");
  ASSERT_NE(model, nullptr);
  std::string why;
  const int blk = model->create(spec.blocks[0], &why);
  ASSERT_NE(blk, 0) << why;
  EXPECT_STREQ(kvoblk_blkid(blk), "C1");
  ASSERT_EQ(kvoblk_inq_num_ports(blk), 2);
  EXPECT_STREQ(kvoblk_get_port_n(blk, 2)->name(), "OUT");
  kvoblk_destroy(blk);

  // Parameters arrive in the file's order, not sorted by name.
  const kvoflow::FlowsheetSpec order = kvoflow::parse_flowsheet(
      plugin_file("ORDER", KVOFLOW_FAULTY, "zeta = 1\nalpha = \"a\"\nmid = [1]\n"), "t.toml", diag);
  catalogue.load_plugins(order, {}, diag);
  ASSERT_NE(catalogue.find("ORDER"), nullptr);
  EXPECT_EQ(catalogue.find("ORDER")->create(order.blocks[0], &why), 0);
  EXPECT_EQ(why, "zeta alpha mid");

  // A parameter the plug-in refuses: its own sentence comes back and no block is left.
  kvoflow::BlockSpec bad = spec.blocks[0];
  bad.params[0].value.real = 1.5;
  EXPECT_EQ(model->create(bad, &why), 0);
  EXPECT_EQ(why, "parameter evaporated must be a number from 0 up to (not including) 1");
}

TEST(PluginLoading, AMissingPluginOrOneWithoutTheEntryPointIsRefusedAtItsLine) {
  EXPECT_EQ(errors(plugin_file("CONC", "nowhere/libnothing.so")),
            "t.toml:2:8: the plug-in \"nowhere/libnothing.so\" of model CONC is not there (a "
            "relative path starts at the flowsheet file's folder)\n");
  EXPECT_EQ(errors(plugin_file("CONC", KVOFLOW_NOENTRY)),
            std::string("t.toml:2:8: the plug-in ") + KVOFLOW_NOENTRY +
                " does not export the entry point kvoblk_plugin_create (see "
                "kvoblk/kvoplugin.h)\n");
  // A file that is no shared object at all.
  EXPECT_EQ(errors(plugin_file("CONC", KVOFLOW_FLOWSHEETS "/recycle.toml"))
                .rfind("t.toml:2:8: the plug-in " KVOFLOW_FLOWSHEETS
                       "/recycle.toml cannot be loaded: ",
                       0),
            0u);
  // An entry that names no plug-in is reported once, not again for every block of its model.
  EXPECT_EQ(errors("[plugins]\nCONC = 5\n[[block]]\nid = \"C1\"\nmodel = \"CONC\"\n"),
            "t.toml:2:8: the plug-in of model CONC (a shared object's path) must be a text in "
            "quotes, not a whole number\n");
  EXPECT_EQ(
      errors(plugin_file("CSTR", KVOFLOW_PLUGIN))
          .rfind("t.toml:2:8: the model name \"CSTR\" is already taken by a built-in model or an "
                 "earlier plug-in\n",
                 0),
      0u);
}

// ---- Drawings
// ------------------------------------------------------------------------------------

// Renders an SVG text to PNG with rsvg-convert; true when it renders.
bool renders(const std::string& svg, const std::string& name) {
  const fs::path dir = scratch("svg");
  fs::create_directories(dir);
  const std::string in = (dir / (name + ".svg")).string(), out = (dir / (name + ".png")).string();
  std::string why;
  if (!kvoflow::write_file(in, svg, &why)) return false;
  const std::string cmd = "rsvg-convert -o '" + out + "' '" + in + "' 2>/dev/null";
  return std::system(cmd.c_str()) == 0 && fs::file_size(out) > 0;
}

TEST(Drawings, EveryDrawingRendersAlsoWithMarkupInItsNames) {
  kvoflow::SpyPlot spy;
  spy.title = "A <b> & \"C\"";
  spy.rows = 3;
  spy.cols = 4;
  spy.cells = {{1, 1}, {2, 2}, {3, 4}, {9, 9}};  // the last lies outside and is not drawn
  spy.blocks = {{"<R1>", 1, 2, 1, 3}};
  spy.connection_rows = {3};
  spy.fixed_cols = {4};
  const std::string s = kvoflow::spy_svg(spy);
  EXPECT_NE(s.find("A &lt;b&gt; &amp; &quot;C&quot;"), std::string::npos);
  EXPECT_TRUE(renders(s, "spy"));
  // A name that is no UTF-8 (a file name in another encoding), a character XML forbids and an
  // overlong or cut sequence each become U+FFFD; good characters stay as they are.
  spy.title = "nt\xff \xef\xbf\xbf \xc0\xaf \xe2\x82 \xc3\xa9\xf0\x9f\x99\x82";
  const std::string bad = kvoflow::spy_svg(spy);
  EXPECT_NE(bad.find("nt\uFFFD \uFFFD \uFFFD\uFFFD \uFFFD\uFFFD \u00e9\U0001F642"),
            std::string::npos);
  EXPECT_TRUE(renders(bad, "spy-bytes"));

  // A large flowsheet pools its positions: a picture about a thousand pixels wide, one rectangle
  // per pooled cell, the blocks beyond the fortieth counted, not listed.
  kvoflow::SpyPlot big;
  big.rows = big.cols = 30000;
  for (int k = 1; k <= 30000; ++k) big.cells.push_back({k, k});
  for (int b = 0; b < 10000; ++b)
    big.blocks.push_back({"B", 3 * b + 1, 3 * b + 3, 3 * b + 1, 3 * b + 3});
  big.connection_rows = {29998, 29999, 30000};
  const std::string bs = kvoflow::spy_svg(big);
  EXPECT_LT(bs.size(), 200000u);
  EXPECT_NE(bs.find("width=\"1468\""), std::string::npos) << bs.substr(0, 200);
  EXPECT_NE(bs.find("and 9960 more blocks"), std::string::npos);
  EXPECT_NE(bs.find("each cell pools 59 x 59 positions"), std::string::npos);
  EXPECT_TRUE(renders(bs, "spy-big"));

  kvoflow::GroupPlot g;
  g.title = "groups";
  g.rows = 2;
  g.cols = 3;
  g.cells = {{1, 1}, {1, 2}, {2, 3}};
  g.group_of_col = {1, 2, 1};
  g.col_names = {"IN.F", "<x>", ""};
  EXPECT_TRUE(renders(kvoflow::groups_svg(g), "groups"));

  kvoflow::HistoryPlot h;
  h.title = "history";
  h.y_label = "residual";
  h.tolerance = 1e-9;
  h.series = {{"A", {10.0, 1.0, 0.0}}, {"B", {NAN, INFINITY, 1e-300}}, {"empty", {}}};
  const std::string hs = kvoflow::history_svg(h);
  EXPECT_EQ(hs.find("nan"), std::string::npos);
  EXPECT_EQ(hs.find("inf"), std::string::npos);
  // A residual that is not a number or infinite is drawn on the top line, not as convergence.
  EXPECT_NE(hs.find("points=\"80.00,50.00 360.00,50.00 640.00,390.00 \""), std::string::npos) << hs;
  EXPECT_TRUE(renders(hs, "history"));
  fs::remove_all(scratch("svg"));
}

TEST(Drawings, AFileIsReplacedOnlyWhenTheNewOneIsComplete) {
  const fs::path dir = scratch("write");
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string path = (dir / "a.svg").string();
  std::string why;
  ASSERT_TRUE(kvoflow::write_file(path, "old", &why));
  // A folder in the way of the temporary file: the write fails and the old file stays.
  fs::create_directories(path + ".kvotmp");
  EXPECT_FALSE(kvoflow::write_file(path, "new", &why));
  EXPECT_EQ(why, "cannot write " + path + ": " + path +
                     ".kvotmp is in the way (a folder or link); "
                     "remove it");
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "old");
  EXPECT_TRUE(fs::is_directory(path + ".kvotmp"));  // what was in the way stays
  // A link planted at the temporary's name is not written through: the file it names keeps
  // what it holds, and the result is not made a link to it.
  fs::remove(path + ".kvotmp");
  std::ofstream(dir / "victim") << "precious";
  fs::create_symlink(dir / "victim", path + ".kvotmp");
  EXPECT_FALSE(kvoflow::write_file(path, "new", &why));
  std::ifstream victim(dir / "victim");
  std::stringstream kept;
  kept << victim.rdbuf();
  EXPECT_EQ(kept.str(), "precious");
  EXPECT_FALSE(fs::is_symlink(path));
  // Each refusal says why.
  EXPECT_FALSE(kvoflow::write_file(dir.string(), "new", &why));
  EXPECT_EQ(why, "cannot write " + dir.string() + ": it is a folder");
  EXPECT_FALSE(kvoflow::write_file((dir / "no" / "a.svg").string(), "new", &why));
  EXPECT_EQ(why, "cannot write " + (dir / "no" / "a.svg").string() + ": there is no folder " +
                     (dir / "no").string());
  // A temporary an earlier run left behind is replaced.
  fs::remove(path + ".kvotmp");
  std::ofstream(path + ".kvotmp") << "left";
  EXPECT_TRUE(kvoflow::write_file(path, "new", &why)) << why;
  EXPECT_FALSE(fs::exists(path + ".kvotmp"));
  fs::remove_all(dir);
}

TEST(Drawings, AxesTickAtOneTwoOrFiveTimesAPowerOfTen) {
  kvoflow::SpyPlot p;
  p.rows = p.cols = 300;
  const std::string s = kvoflow::spy_svg(p);
  EXPECT_NE(s.find(">250</text>"), std::string::npos);
  EXPECT_EQ(s.find(">40</text>"), std::string::npos);
}

TEST(Drawings, LegendsStateEveryBlockAndTheCanvasHoldsLongNames) {
  kvoflow::SpyPlot p;
  p.title = std::string(60, 'W');
  p.rows = p.cols = 2;
  p.blocks = {{"A", 1, 2, 1, 2}, {"EMPTY", 3, 2, 3, 2}};
  const std::string s = kvoflow::spy_svg(p);
  EXPECT_NE(s.find(">EMPTY: no rows, no columns<"), std::string::npos);
  // Sixty capitals of 16-pixel bold take far more than 600 pixels in any sans-serif face.
  EXPECT_GT(std::atoi(s.c_str() + s.find("width=\"") + 7), 70 + 600) << s.substr(0, 200);
  kvoflow::GroupPlot g;
  g.rows = 2;
  g.cols = 3;
  g.cells = {{1, 1}, {1, 2}, {2, 3}};
  g.group_of_col = {1, 2, 1};
  EXPECT_NE(kvoflow::groups_svg(g).find(">2 equations, 3 variables, 3 non-zeros<"),
            std::string::npos);
  // Names that end in a full stop still get the mark of a list cut short.
  g.col_names = {"FEED.FLOW.", "FEED.CONC.", "FEED.TEMP."};
  g.group_of_col = {1, 1, 1, 1};
  g.rows = 1;
  g.cols = 4;
  EXPECT_NE(kvoflow::groups_svg(g).find("(4): FEED.FLOW., FEED.CONC., FEED.TEMP., ...<"),
            std::string::npos);
}

TEST(Drawings, AReplacedFileKeepsItsModeAndAFileUnderDevIsNoStream) {
  const fs::path dir = scratch("mode");
  fs::create_directories(dir);
  const std::string path = (dir / "r.json").string();
  std::string why;
  ASSERT_TRUE(kvoflow::write_file(path, "old", &why));
  // A mode no new file gets whatever the umask: the owner's alone, executable.
  fs::permissions(path, fs::perms::owner_all);
  ASSERT_TRUE(kvoflow::write_file(path, "new", &why)) << why;
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_all);
  fs::remove_all(dir);
  // A file on /dev/shm is replaced like any other, not appended to as a stream would be.
  if (!fs::is_directory("/dev/shm")) return;
  const std::string shm = "/dev/shm/" + scratch("r.json").filename().string();
  ASSERT_TRUE(kvoflow::write_file(shm, "{}", &why)) << why;
  ASSERT_TRUE(kvoflow::write_file(shm, "{}", &why)) << why;
  EXPECT_EQ(fs::file_size(shm), 2u);
  fs::remove(shm);
}

// A link to one of the process's streams is written as the stream: the file behind it keeps
// what was written to it before.
TEST(Drawings, ALinkToAStreamAppendsToItsFile) {
  const fs::path dir = scratch("stream");
  fs::create_directories(dir);
  const std::string log = (dir / "log.txt").string();
  std::FILE* stream = std::fopen(log.c_str(), "a");
  ASSERT_NE(stream, nullptr);
  std::fputs("before\n", stream);
  std::fflush(stream);
  fs::create_symlink("/dev/fd/" + std::to_string(fileno(stream)), dir / "out.json");
  std::string why;
  EXPECT_TRUE(kvoflow::write_file((dir / "out.json").string(), "{}\n", &why)) << why;
  std::fclose(stream);
  std::ifstream in(log);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "before\n{}\n");
  EXPECT_TRUE(fs::is_symlink(dir / "out.json"));
  fs::remove_all(dir);
}

// ---- Whole runs
// ----------------------------------------------------------------------------------

class Runner : public kvotest::KvoTest {
 protected:
  void SetUp() override {
    KvoTest::SetUp();
    dir_ = scratch(::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    KvoTest::TearDown();
  }
  int run(const std::string& file, kvoflow::Options o = kvoflow::Options(), bool quiet = true) {
    o.file = file;
    o.workdir = dir_.string();
    o.quiet = quiet;
    o.plugin_dirs = {fs::path(KVOFLOW_PLUGIN).parent_path().string()};
    return kvoflow::run(o);
  }
  std::string write(const std::string& name, const std::string& text) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path) << text;
    return path;
  }
  fs::path dir_;
};

TEST_F(Runner, TheRecycleFlowsheetSolvesAndItsMaterialBalanceCloses) {
  kvoflow::Options o;
  o.json = (dir_ / "r.json").string();
  o.svg_dir = (dir_ / "svg").string();
  o.compare_methods = true;
  ASSERT_EQ(run(KVOFLOW_FLOWSHEETS "/recycle.toml", o), kvoflow::EXIT_SOLVED) << his() << err();
  const std::string report = his();
  EXPECT_NE(report.find("The overall material balance closes to"), std::string::npos) << report;
  std::ifstream in(o.json);
  const nlohmann::json j = nlohmann::json::parse(in);
  EXPECT_TRUE(j["solve"]["converged"].get<bool>());
  const auto& b = j["material_balance"];
  EXPECT_LE(b["relative_closure"].get<double>(), 1e-9);
  EXPECT_NEAR(b["total_in"].get<double>(), 20.0, 1e-12);  // 10 m3/h of 2 kmol/m3 A
  // Of the A that enters, what does not leave has reacted to B.
  const auto& a = b["components"][0];
  EXPECT_EQ(a["component"], "CA");
  EXPECT_NEAR(a["in"].get<double>() + a["made"].get<double>(), a["out"].get<double>(), 1e-9);
  EXPECT_LT(a["made"].get<double>(), -1.0);
  ASSERT_EQ(j["methods"].size(), 4u);
  for (const auto& m : j["methods"]) EXPECT_TRUE(m["converged"].get<bool>()) << m["label"];
  // Updates fed with the solver's ratios save at least 30 % of NUMERIC's residual evaluations.
  ASSERT_EQ(j["methods"][1]["method"], "NUMERIC");
  ASSERT_EQ(j["methods"][2]["method"], "UPDATE_NUMERIC");
  EXPECT_LE(j["methods"][2]["residual_evaluations"].get<double>(),
            0.7 * j["methods"][1]["residual_evaluations"].get<double>());
  // Every stream of the file and the three boundary streams are in the table.
  EXPECT_EQ(j["streams"].size(), 5u + 3u);
  // Every variable once, in list order: the mixer's first, the concentrator's last.
  std::ifstream again(o.json);
  const nlohmann::ordered_json vars = nlohmann::ordered_json::parse(again)["variables"];
  ASSERT_EQ(vars.size(), 100u);
  EXPECT_EQ(vars.begin().key(), "MIX.IN1.F");
  EXPECT_EQ(vars.items().begin().value().get<double>(), 10.0);  // fixed fresh feed
  EXPECT_EQ((--vars.end()).key(), "CONC.OUT.CB");
  for (const char* f : {"jacobian.svg", "pattern-R1.svg", "convergence.svg"})
    EXPECT_TRUE(fs::exists(dir_ / "svg" / f)) << f;
  // The chain's groups as the grouping service made them: as many as the fullest row's
  // non-zeros (BALB of a tank: five), every column in one.
  std::ifstream groups_in(dir_ / "svg" / "pattern-R1.svg");
  std::stringstream groups;
  groups << groups_in.rdbuf();
  EXPECT_NE(groups.str().find(">5 column groups<"), std::string::npos);
  int columns = 0;
  for (int g = 1; g <= 5; ++g) {
    const std::string head = ">group " + std::to_string(g) + " (";
    const size_t at = groups.str().find(head);
    ASSERT_NE(at, std::string::npos) << head;
    columns += std::atoi(groups.str().c_str() + at + head.size());
  }
  EXPECT_EQ(columns, 63);

  // The second run restores the flash's pattern from the file the first one saved.
  EXPECT_TRUE(fs::exists(dir_ / "FL.pat"));
  ASSERT_EQ(run(KVOFLOW_FLOWSHEETS "/recycle.toml"), kvoflow::EXIT_SOLVED);
  EXPECT_NE(his().find("RESTORE (read from " + (dir_ / "FL.pat").string() + ")"),
            std::string::npos);
}

TEST_F(Runner, ProgressShowsDetectionAndEveryNewtonStepUnlessQuiet) {
  ASSERT_EQ(run(KVOFLOW_FLOWSHEETS "/recycle.toml", kvoflow::Options(), false),
            kvoflow::EXIT_SOLVED);
  const std::string loud = his();
  EXPECT_NE(loud.find("  pattern detection for block R1:  25 % (16 of 64 residual evaluations)\n"),
            std::string::npos);
  // Step 0: the cold start's largest residual is the mixer's A balance, 10 m3/h of 2 kmol/m3.
  EXPECT_NE(loud.find("     0   2.000e+01  MIX.BALA                            -"),
            std::string::npos)
      << loud;
  EXPECT_NE(loud.find("Degrees of freedom: 0 (94 free variables, 94 equations)"),
            std::string::npos);
  ASSERT_EQ(run(KVOFLOW_FLOWSHEETS "/recycle.toml"), kvoflow::EXIT_SOLVED);
  const std::string quiet = his();
  EXPECT_EQ(quiet.find("pattern detection"), std::string::npos);
  EXPECT_EQ(quiet.find("MIX.BALA"), std::string::npos);
  EXPECT_NE(quiet.find("== Streams =="), std::string::npos);  // the report stays
}

const char* const kConcentrator =
    "[plugins]\nCONC = \"libkvoconcentrator.so\"\n"
    "[[block]]\nid = \"C1\"\nmodel = \"CONC\"\npattern = \"RESTORE\"\n"
    "[block.parameters]\nevaporated = 0.25\n";

TEST_F(Runner, BadPortsConnectionsAndDegreesOfFreedomStopBeforeSolving) {
  const std::string two = std::string(kConcentrator) +
                          "[[block]]\nid = \"H1\"\nmodel = \"HEATER\"\n"
                          "[[block]]\nid = \"M1\"\nmodel = \"MIXER\"\n";
  // A port the block does not have.
  std::string f = write("a.toml", two + "[[connection]]\nfrom = \"C1.OUTLET\"\nto = \"M1.IN1\"\n");
  EXPECT_EQ(run(f), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), f + ":16:8: block C1 has no port OUTLET; its ports are IN, OUT\n");
  // Ports of different kinds of stream.
  f = write("b.toml", two + "[[connection]]\nfrom = \"C1.OUT\"\nto = \"H1.IN\"\n");
  EXPECT_EQ(run(f), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), f + ":15:1: the connection C1.OUT -> H1.IN is refused: C1.OUT carries 3 "
                       "variables but H1.IN carries 2\n");
  EXPECT_NE(his().find("!! connect C1.OUT -> H1.IN: C1.OUT carries 3 variables but H1.IN "
                       "carries 2\n"),
            std::string::npos);
  // An unknown variable.
  f = write("c.toml", std::string(kConcentrator) + "[fix]\n\"C1.IN.G\" = 1\n");
  EXPECT_EQ(run(f), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), f + ":10:1: there is no variable C1.IN.G; block C1 has C1.IN.F, C1.IN.CA, "
                       "C1.IN.CB, C1.OUT.F, C1.OUT.CA, C1.OUT.CB\n");
  // Several, fixed and guessed, with good names between them: each bad one gets its advice,
  // and the good ones after a bad one are taken.
  f = write("c2.toml", std::string(kConcentrator) +
                           "[fix]\n\"C1.IN.G\" = 1\n\"X9.F\" = 1\n\"C1.IN.F\" = 1\n\"C1.OUT\" = 2\n"
                           "[guess]\n\"C1.IN.Q\" = 1\n\"C1.OUT.CA\" = 0.5\n\"C1.IN.F\" = 2\n");
  EXPECT_EQ(run(f), kvoflow::EXIT_INPUT);
  const std::string vars = "C1.IN.F, C1.IN.CA, C1.IN.CB, C1.OUT.F, C1.OUT.CA, C1.OUT.CB\n";
  EXPECT_EQ(err(), f + ":10:1: there is no variable C1.IN.G; block C1 has " + vars + f +
                       ":11:1: there is no variable X9.F; there is no block X9\n" + f +
                       ":13:1: there is no variable C1.OUT; block C1 has " + vars + f +
                       ":15:1: there is no variable C1.IN.Q to guess; block C1 has " + vars + f +
                       ":17:1: variable C1.IN.F is fixed at line 12; a guess for it has no "
                       "effect\n");
  // Too few fixed variables: the ones no equation determines are named.
  f = write("d.toml", std::string(kConcentrator) + "[fix]\n\"C1.IN.F\" = 1\n\"C1.IN.CA\" = 1\n");
  EXPECT_EQ(run(f), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), f + ": the flowsheet has 1 degree of freedom too many (4 free variables, 3 "
                       "equations): fix 1 more of the variables that no equation determines: "
                       "C1.IN.CB, C1.OUT.CB\n");
  // Square, but no equation is left to determine IN.CB or OUT.CB.
  f = write("e.toml", std::string(kConcentrator) +
                          "[fix]\n\"C1.IN.F\" = 1\n\"C1.IN.CA\" = 1\n\"C1.OUT.F\" = 0.75\n");
  EXPECT_EQ(run(f), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), f + ": the flowsheet is square (3 free variables, 3 equations) but "
                       "structurally singular: no equation can be solved for some variables; "
                       "equations C1.FLOW involve no free variable; variables C1.IN.CB, "
                       "C1.OUT.CB appear only in C1.BALB\n");
  // A variable the model's pattern leaves out of every equation is named as such.
  f = write("g.toml", std::string("[plugins]\nMISSNZ = \"") + KVOFLOW_FAULTY +
                          "\"\n[[block]]\nid = \"P\"\nmodel = \"MISSNZ\"\n[fix]\n"
                          "\"P.IN.F\" = 1\n\"P.IN.CB\" = 0\n\"P.OUT.CA\" = 1\n");
  EXPECT_EQ(run(f), kvoflow::EXIT_INPUT);
  EXPECT_NE(err().find("; variables P.IN.CA appear in no equation\n"), std::string::npos);
  // Nothing was solved, so the RESTORE block's pattern file was written once, whole.
  EXPECT_EQ(his().find("Solved"), std::string::npos);
}

TEST_F(Runner, APluginThatAnswersAnExistingBlockIsRefusedAndTheBlockKept) {
  const std::string f =
      write("s.toml", std::string("[plugins]\nSAME = \"") + KVOFLOW_SAMEBLOCK +
                          "\"\n[[block]]\nid = \"A1\"\nmodel = \"SAME\"\n[block.parameters]\n"
                          "evaporated = 0.25\n[[block]]\nid = \"A2\"\nmodel = \"SAME\"\n"
                          "[block.parameters]\nevaporated = 0.25\n");
  EXPECT_EQ(run(f), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), f + ":8:1: block A2 (model SAME) cannot be created: the model answered block "
                       "A1, which the flowsheet already holds\n");
  EXPECT_EQ(his().find("Invalid block handle"), std::string::npos);
}

// An exception of any kind out of a plug-in costs only its block, reported at the block's line.
TEST_F(Runner, APluginThatThrowsIsRefusedAtItsBlock) {
  const std::string f = write("x.toml", std::string("[plugins]\nTHROWS = \"") + KVOFLOW_FAULTY +
                                            "\"\n[[block]]\nid = \"X1\"\nmodel = \"THROWS\"\n");
  EXPECT_EQ(run(f), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), f + ":3:1: block X1 (model THROWS) cannot be created: the model failed with an "
                       "exception that is no standard one\n");
}

// A chain given another tank keeps its first names, which are all the pattern file's digest
// samples, and the library restores a file of fewer variables: the runner, whose block sizes
// are final, refuses the old file and says which file to delete.
TEST_F(Runner, APatternFileOfTheBlockAtAnotherSizeIsRefusedAndNamed) {
  const std::string head =
      "[[block]]\nid = \"R\"\nmodel = \"CSTR\"\npattern = \"RESTORE\"\n[block.parameters]\n";
  const std::string fix = "[fix]\n\"R.IN.F\" = 1\n\"R.IN.CA\" = 1\n\"R.IN.CB\" = 0\n";
  ASSERT_EQ(run(write("r.toml", head + "tanks = 2\n" + fix)), kvoflow::EXIT_SOLVED);
  const std::string f = write("r.toml", head + "tanks = 3\n" + fix);
  EXPECT_EQ(run(f), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), f + ":1:1: block R has 12 variables and 9 equations, but its pattern file " +
                       (dir_ / "R.pat").string() +
                       " is of 9 and 6; delete it to have the pattern detected and saved afresh\n");
  fs::remove(dir_ / "R.pat");
  EXPECT_EQ(run(f), kvoflow::EXIT_SOLVED);
  // A file the library refuses while it sizes the block is named with the same advice.
  std::ofstream(dir_ / "R.pat") << "damaged\n";
  err();
  EXPECT_EQ(run(f), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), f + ":1:1: block R cannot use the pattern file " + (dir_ / "R.pat").string() +
                       " (see the messages above); delete it to have the pattern detected and "
                       "saved afresh\n");
  // The flowsheet file named as a block's pattern file is refused before the library reads it.
  const std::string self = write("self.toml",
                                 "[[block]]\nid = \"M\"\nmodel = \"MIXER\"\n"
                                 "pattern = \"RESTORE\"\npattern_file = \"self.toml\"\n");
  EXPECT_EQ(run(self), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), self + ":5:16: the pattern file " + (dir_ / "self.toml").string() +
                       " is the flowsheet file itself; name another file\n");
}

// The stream table's columns cut port names at 12 characters, where two streams of a block with a
// long id look alike; those streams are named in full under the table.
TEST_F(Runner, StreamsWhoseNamesTheTableCutsAreNamedInFull) {
  const auto mixer = [&](const std::string& id) {
    std::string text = "[[block]]\nid = \"" + id + "\"\nmodel = \"MIXER\"\n[fix]\n";
    for (const char* v : {"IN1.F", "IN1.CA", "IN1.CB", "IN2.F", "IN2.CA", "IN2.CB"})
      text += "\"" + id + "." + v + "\" = 1\n";
    return write(id + ".toml", text);
  };
  ASSERT_EQ(run(mixer("Mixer_of_feed_line_1")), kvoflow::EXIT_SOLVED) << err();
  EXPECT_NE(his().find("  3                Mixer_of_feed_line_1.OUT -> (product)\n"),
            std::string::npos)
      << his();
  // Names that fit their columns get no such line.
  ASSERT_EQ(run(mixer("M1")), kvoflow::EXIT_SOLVED) << err();
  EXPECT_EQ(his().find(" -> "), std::string::npos);
}

// The library takes a missing file for an error below diagnostic level 4; a quiet flowsheet must
// still detect and save the pattern, and read it back the next time.
TEST_F(Runner, AQuietDiagnosticLevelStillDetectsAndSavesAMissingPatternFile) {
  const std::string f = write("q.toml",
                              "diagnostic_level = 0\n[[block]]\nid = \"R\"\nmodel = \"CSTR\"\n"
                              "pattern = \"RESTORE\"\n[block.parameters]\ntanks = 2\n"
                              "[fix]\n\"R.IN.F\" = 1\n\"R.IN.CA\" = 1\n\"R.IN.CB\" = 0\n");
  ASSERT_EQ(run(f), kvoflow::EXIT_SOLVED) << his() << err();
  EXPECT_NE(his().find("RESTORE (detected, saved to "), std::string::npos);
  ASSERT_EQ(run(f), kvoflow::EXIT_SOLVED) << his() << err();
  EXPECT_NE(his().find("RESTORE (read from "), std::string::npos);
}

// A wrong analytic derivative and a stated pattern without an entry its residual has are each
// named by block, equation and variable; the solve then starts from the same point.
TEST_F(Runner, CheckingDerivativesNamesWrongValuesAndMissingEntriesAndKeepsTheStart) {
  const std::string f =
      write("d.toml",
            std::string("[plugins]\nWRONGJAC = \"") + KVOFLOW_FAULTY + "\"\nMISSNZ = \"" +
                KVOFLOW_FAULTY +
                "\"\n[[block]]\nid = \"J\"\nmodel = \"WRONGJAC\"\n[[block]]\nid = \"P\"\n"
                "model = \"MISSNZ\"\n[fix]\n\"J.IN.F\" = 1\n\"J.IN.CA\" = 1\n\"J.IN.CB\" = 0\n"
                "\"P.IN.F\" = 1\n\"P.IN.CA\" = 2\n\"P.IN.CB\" = 0\n");
  kvoflow::Options o;
  o.json = (dir_ / "plain.json").string();
  ASSERT_EQ(run(f, o), kvoflow::EXIT_SOLVED) << his() << err();
  EXPECT_EQ(his().find("analytic derivatives"), std::string::npos);
  o.json = (dir_ / "checked.json").string();
  o.check_derivatives = true;
  ASSERT_EQ(run(f, o), kvoflow::EXIT_SOLVED) << his() << err();
  const std::string h = his();
  EXPECT_NE(h.find("  block J: analytic derivatives that differ from numeric differences:\n"
                   "    d J.FLOW / d J.OUT.F: analytic 2, numeric 1\n"
                   "\nAnalyzing sparsity for block P"),
            std::string::npos)
      << h;
  EXPECT_NE(h.find("\nP.BALA" + std::string(46, ' ') + "P.IN.CA" + std::string(45, ' ') +
                   "     X  \n"),
            std::string::npos)
      << h;
  EXPECT_NE(h.find("  block P: analytic derivatives agree with numeric differences\n"),
            std::string::npos);
  std::ifstream plain(dir_ / "plain.json"), checked(dir_ / "checked.json");
  const nlohmann::json a = nlohmann::json::parse(plain), b = nlohmann::json::parse(checked);
  EXPECT_EQ(a["solve"]["history"], b["solve"]["history"]);
  EXPECT_EQ(a["variables"], b["variables"]);
}

// Variables are fixed and reported by name: two blocks of a model that leaves its block id out of
// the names would have one of each pair fixed and the other missing from the results.
TEST_F(Runner, BlocksThatNameTheirVariablesAlikeAreRefused) {
  const std::string f =
      write("n.toml", std::string("[plugins]\nNOID = \"") + KVOFLOW_FAULTY +
                          "\"\n[[block]]\nid = \"A\"\nmodel = \"NOID\"\n[[block]]\nid = \"B\"\n"
                          "model = \"NOID\"\n[fix]\n\"IN.F\" = 1\n\"IN.CA\" = 1\n\"IN.CB\" = 0\n");
  EXPECT_EQ(run(f), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), f + ":6:1: block B names variables as block A does (IN.F, IN.CA, IN.CB, OUT.F, "
                       "OUT.CA, OUT.CB); a model must name them <block id>.<item>, so that each "
                       "variable has a name of its own\n");
  // A block that repeats a name of its own is told so, not that it repeats itself.
  const std::string g = write("t.toml", std::string("[plugins]\nTWINS = \"") + KVOFLOW_FAULTY +
                                            "\"\n[[block]]\nid = \"T\"\nmodel = \"TWINS\"\n");
  EXPECT_EQ(run(g), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), g + ":3:1: block T gives more than one of its variables the same name (T.IN.F); "
                       "each variable must have a name of its own\n");
}

// A plug-in's own faults are named at its block's line: ports its ini left unbound or bound to
// another block's variables (which a connection would join without a word), a stated pattern
// entry off the block's items, an ini that records no stops, and a residual routine that fails
// while the pattern is detected, which leaves no pattern file behind.
TEST_F(Runner, PortsAndPatternEntriesOffTheBlockAndAFailedDetectionAreNamedAtTheBlock) {
  // Block A, a good concentrator, then block B of the faulty model at line 7.
  const auto after_a = [this](const std::string& model) {
    return write(model + ".toml", "[plugins]\nCONC = \"libkvoconcentrator.so\"\n" + model +
                                      " = \"" + KVOFLOW_FAULTY +
                                      "\"\n[[block]]\nid = \"A\"\nmodel = \"CONC\"\n"
                                      "[[block]]\nid = \"B\"\nmodel = \"" +
                                      model + "\"\n");
  };
  const std::string f = after_a("PORTS");
  EXPECT_EQ(run(f), kvoflow::EXIT_INPUT);
  const std::string how =
      "; the model's ini routine binds each port variable to one of the block's own positions "
      "(set_var)\n";
  EXPECT_EQ(err(), f +
                       ":7:1: port IN of block B (model PORTS) has its variable 1 bound to no "
                       "variable" +
                       how + f +
                       ":7:1: port OUT of block B (model PORTS) has its variable 1 bound to "
                       "A.OUT.F, which is not a variable of the block" +
                       how);
  const std::string s = after_a("STRAYNZ");
  EXPECT_EQ(run(s), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), s + ":7:1: block B (model STRAYNZ) has its pattern entry 4 at equation B.BALA "
                       "and variable A.OUT.CB, which are not both the block's own; the model's "
                       "selfpat gives each entry a block-local equation and variable "
                       "(set_pattern_entry)\n");
  const std::string n = after_a("NOSTOPS");
  EXPECT_EQ(run(n), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), n + ":7:1: block B (model NOSTOPS) announced 6 variables and 3 equations but "
                       "holds 0 and 0 after placement; the model's ini routine records its last "
                       "variable and equation (kvoblk_set_vstop, kvoblk_set_estop)\n");
  const std::string g =
      write("f.toml",
            std::string("[plugins]\nFAILRES = \"") + KVOFLOW_FAULTY +
                "\"\n[[block]]\nid = \"F\"\nmodel = \"FAILRES\"\npattern = \"RESTORE\"\n");
  EXPECT_EQ(run(g), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), g + ":3:1: block F (model FAILRES) could not be placed: numeric detection gave "
                       "it no pattern, as when the model's residual routine fails at the starting "
                       "values (see the messages above)\n");
  EXPECT_FALSE(fs::exists(dir_ / "F.pat"));
  // A block whose ini ends in an exception is never in the lists; it is the one named, not the
  // good block placed before it, and its pattern was never to be detected.
  const std::string t =
      write("t.toml", std::string("[plugins]\nCONC = \"libkvoconcentrator.so\"\nINITHROWS = \"") +
                          KVOFLOW_FAULTY +
                          "\"\n[[block]]\nid = \"A\"\nmodel = \"CONC\"\n[[block]]\nid = \"B\"\n"
                          "model = \"INITHROWS\"\npattern = \"NUMERIC\"\n");
  EXPECT_EQ(run(t), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), t + ":7:1: block B (model INITHROWS) could not be placed (see the messages "
                       "above)\n");
}

// A block whose model restores its pattern from a file it does not name gets the flowsheet's
// default file, <id>.pat in the work directory, as pattern = "RESTORE" gives: saved at the first
// run, restored at the next, and never another block's file.
TEST_F(Runner, AModelThatRestoresWithoutAFileGetsTheDefaultPatternFile) {
  const std::string head = std::string("[plugins]\nRESTORES = \"") + KVOFLOW_FAULTY +
                           "\"\n[[block]]\nid = \"R\"\nmodel = \"RESTORES\"\n";
  const std::string f =
      write("r.toml", head + "[fix]\n\"R.IN.F\" = 1\n\"R.IN.CA\" = 1\n\"R.IN.CB\" = 0\n");
  his();
  ASSERT_EQ(run(f, kvoflow::Options(), false), kvoflow::EXIT_SOLVED) << err();
  EXPECT_TRUE(fs::is_regular_file(dir_ / "R.pat"));
  EXPECT_NE(his().find("pattern RESTORE (detected numerically and saved to " +
                       (dir_ / "R.pat").string() + ")"),
            std::string::npos);
  ASSERT_EQ(run(f, kvoflow::Options(), false), kvoflow::EXIT_SOLVED) << err();
  EXPECT_NE(his().find("pattern RESTORE (restored from " + (dir_ / "R.pat").string() + ")"),
            std::string::npos);
  const std::string g = write("q.toml", head +
                                            "[[block]]\nid = \"Q\"\nmodel = \"RESTORES\"\n"
                                            "pattern = \"RESTORE\"\npattern_file = \"R.pat\"\n");
  EXPECT_EQ(run(g), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), g + ":3:1: block R (model RESTORES) restores its pattern from R.pat, which is "
                       "the pattern file of block Q; give it pattern = \"RESTORE\" and a "
                       "pattern_file of another name\n");
  // The same file named by its full path is the same file.
  const std::string a = write("a.toml", head +
                                            "[[block]]\nid = \"Q\"\nmodel = \"RESTORES\"\n"
                                            "pattern = \"RESTORE\"\npattern_file = \"" +
                                            (dir_ / "R.pat").generic_string() + "\"\n");
  EXPECT_EQ(run(a), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), a + ":3:1: block R (model RESTORES) restores its pattern from R.pat, which is "
                       "the pattern file of block Q; give it pattern = \"RESTORE\" and a "
                       "pattern_file of another name\n");
  // Two files named, one relative to the work directory and one by its full path, are one.
  const std::string full = (dir_ / "sub" / ".." / "M.pat").generic_string();
  const std::string two =
      write("two.toml", std::string(kTwoBlocks) +
                            "pattern = \"RESTORE\"\npattern_file = \"M.pat\"\n[[block]]\nid = "
                            "\"M2\"\nmodel = \"MIXER\"\npattern = \"RESTORE\"\npattern_file = \"" +
                            full + "\"\n");
  EXPECT_EQ(run(two), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), two + ":15:16: pattern file " + full +
                       " is already used by block M1 at line 10 (M.pat, the same file in the "
                       "work directory)\n");
  EXPECT_FALSE(fs::exists(dir_ / "M.pat"));
}

TEST_F(Runner, ValuesOutsideTheirBoundsAreRefusedAtTheirLine) {
  const std::string f = write("b.toml", std::string(kConcentrator) +
                                            "[fix]\n\"C1.IN.F\" = -1\n\"C1.IN.CA\" = 1\n"
                                            "[guess]\n\"C1.OUT.F\" = -2.5\n");
  EXPECT_EQ(run(f), kvoflow::EXIT_INPUT);
  EXPECT_EQ(err(), f + ":10:1: the fixed value -1 lies below the lower bound 0 of C1.IN.F\n" + f +
                       ":13:1: the guess -2.5 lies below the lower bound 0 of C1.OUT.F\n");
}

// A tolerance is printed as given, not rounded to one digit past the figure it is compared with.
TEST_F(Runner, TolerancesArePrintedAsGiven) {
  const std::string f = write("t.toml", std::string(kConcentrator) +
                                            "[solver]\nbalance_tolerance = 2.5e-9\n"
                                            "[fix]\n\"C1.IN.F\" = 1\n\"C1.IN.CA\" = 1\n"
                                            "\"C1.IN.CB\" = 0\n");
  ASSERT_EQ(run(f), kvoflow::EXIT_SOLVED) << err();
  EXPECT_NE(his().find("relative (required 2.5e-09).\n"), std::string::npos);
  // A round tolerance keeps its power of ten, also where two digits would print it plainly.
  kvoflow::HistoryPlot p;
  p.tolerance = 1e-3;
  p.series = {{"Newton", {1.0, 1e-4}}};
  EXPECT_NE(kvoflow::history_svg(p).find(">tolerance 1e-03<"), std::string::npos);
}

// Results never replace the flowsheet they came from, a link stays a link, and a pattern that
// could not be saved is reported as not saved.
TEST_F(Runner, OutputsKeepTheInputAndLinksAndSayWhatWasNotSaved) {
  const std::string flowsheet =
      std::string(kConcentrator) + "[fix]\n\"C1.IN.F\" = 1\n\"C1.IN.CA\" = 1\n\"C1.IN.CB\" = 0\n";
  const std::string f = write("c.toml", flowsheet);
  kvoflow::Options o;
  o.json = f;
  EXPECT_EQ(run(f, o), kvoflow::EXIT_OUTPUT);
  EXPECT_NE(his().find("!! kvoflow: will not write over the flowsheet file " + f),
            std::string::npos);
  std::ifstream in(f);
  std::stringstream kept;
  kept << in.rdbuf();
  EXPECT_EQ(kept.str(), flowsheet);
  // Nor the pattern file the run restored from, nor the drawings the results.
  const std::string pat = (dir_ / "C1.pat").string();
  const auto saved = fs::last_write_time(pat);
  o.json = pat;
  EXPECT_EQ(run(f, o), kvoflow::EXIT_OUTPUT);
  EXPECT_NE(his().find("!! kvoflow: will not write over the pattern file " + pat),
            std::string::npos);
  EXPECT_EQ(fs::last_write_time(pat), saved);
  o.json = (dir_ / "jacobian.svg").string();
  o.svg_dir = dir_.string();
  EXPECT_EQ(run(f, o), kvoflow::EXIT_OUTPUT);
  std::ifstream results(o.json);
  EXPECT_TRUE(nlohmann::json::parse(results)["solve"]["converged"].get<bool>());
  o.svg_dir.clear();

  std::ofstream(dir_ / "target.json") << "{}";
  fs::create_symlink("target.json", dir_ / "link.json");
  o.json = (dir_ / "link.json").string();
  ASSERT_EQ(run(f, o), kvoflow::EXIT_SOLVED);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.json"));
  std::ifstream target(dir_ / "target.json");
  EXPECT_TRUE(nlohmann::json::parse(target)["solve"]["converged"].get<bool>());
  // A link to a file not made yet makes that file.
  fs::create_symlink("made.json", dir_ / "dangling.json");
  o.json = (dir_ / "dangling.json").string();
  ASSERT_EQ(run(f, o), kvoflow::EXIT_SOLVED);
  EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.json"));
  EXPECT_TRUE(fs::is_regular_file(dir_ / "made.json"));

  // A file where the pattern file's folder should be: detected, solved, and not saved.
  std::ofstream(dir_ / "taken") << "x";
  std::string taken = flowsheet;
  taken.insert(taken.find("[block.parameters]"), "pattern_file = \"taken/C1.pat\"\n");
  const std::string g = write("d.toml", taken);
  o.json = (dir_ / "d.json").string();
  ASSERT_EQ(run(g, o), kvoflow::EXIT_SOLVED) << err();
  const std::string out = his();
  EXPECT_NE(out.find("RESTORE (detected, not saved to "), std::string::npos) << out;
  EXPECT_NE(out.find("!! kvoflow: block C1: its pattern could not be saved to "),
            std::string::npos);
  std::ifstream d(dir_ / "d.json");
  EXPECT_FALSE(nlohmann::json::parse(d)["blocks"][0]["pattern_file_saved"].get<bool>());
}

TEST_F(Runner, AFailedSolveNamesTheVariablesHeldOnABound) {
  // With 3 tanks too little A reacts: the flash feed lies beyond the dew point at the drum's
  // fixed temperature and pressure, the liquid flow is held at 0 and the Jacobian turns
  // singular there. The report names that flow, not only the singular Jacobian.
  std::ifstream in(KVOFLOW_FLOWSHEETS "/recycle.toml");
  std::stringstream text;
  text << in.rdbuf();
  std::string flowsheet = text.str();
  const size_t at = flowsheet.find("tanks = 20\n");
  ASSERT_NE(at, std::string::npos);
  flowsheet.replace(at, 10, "tanks = 3");
  his();
  EXPECT_EQ(run(write("three.toml", flowsheet)), kvoflow::EXIT_SOLVE);
  const std::string out = his();
  EXPECT_NE(out.find("the Jacobian is singular"), std::string::npos) << out;
  EXPECT_NE(out.find(
                "Where it stopped, 3 free variables were on a bound: FL.LIQ.F (lower bound 0)"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Other starting guesses"), std::string::npos) << out;
  // The models' analytic derivatives are right there, so none is blamed.
  EXPECT_EQ(out.find("analytic derivatives differ"), std::string::npos) << out;
}

// A wrong analytic derivative makes a solve creep, and cut short it fails like a flowsheet without
// a solution; the explanation names the derivative where the solve ended.
TEST_F(Runner, ASolveThatFailsNamesTheAnalyticDerivativesThatDiffer) {
  const std::string f =
      write("j.toml", std::string("[solver]\nmax_iterations = 3\n[plugins]\nWRONGJAC = \"") +
                          KVOFLOW_FAULTY +
                          "\"\n[[block]]\nid = \"J\"\nmodel = \"WRONGJAC\"\n[fix]\n\"J.IN.F\" = 2\n"
                          "\"J.IN.CA\" = 1\n\"J.IN.CB\" = 0\n");
  his();
  EXPECT_EQ(run(f), kvoflow::EXIT_SOLVE);
  const std::string out = his();
  EXPECT_NE(out.find("  At the point the variables hold, these analytic derivatives differ from "
                     "numeric differences, which alone can keep Newton's method from converging:\n"
                     "  block J: analytic derivatives that differ from numeric differences:\n"
                     "    d J.FLOW / d J.OUT.F: analytic 2, numeric 1\n"),
            std::string::npos)
      << out;
  // Each solve is judged by the derivatives it used: the block's own NUMERIC solve converges,
  // and the runs with ANALYTIC and UPDATE_ANALYTIC in every block fail on the wrong one.
  const std::string n =
      write("n.toml", std::string("[solver]\nmax_iterations = 3\n[plugins]\nWRONGJAC = \"") +
                          KVOFLOW_FAULTY +
                          "\"\n[[block]]\nid = \"J\"\nmodel = \"WRONGJAC\"\nmethod = \"NUMERIC\"\n"
                          "[fix]\n\"J.IN.F\" = 2\n\"J.IN.CA\" = 1\n\"J.IN.CB\" = 0\n");
  kvoflow::Options o;
  o.compare_methods = true;
  EXPECT_EQ(run(n, o), kvoflow::EXIT_SOLVED);
  const std::string all = his();
  size_t listed = 0;
  for (size_t at = all.find("d J.FLOW / d J.OUT.F: analytic 2, numeric 1\n");
       at != std::string::npos; at = all.find("d J.FLOW / d J.OUT.F: analytic 2", at + 1))
    ++listed;
  EXPECT_EQ(listed, 2u) << all;
}

TEST_F(Runner, ASolveThatFailsKeepsTheBestPointAndLeavesThePatternFileAlone) {
  const std::string f =
      write("div.toml", std::string("[solver]\nmax_iterations = 4\n") + kConcentrator +
                            "[fix]\n\"C1.IN.F\" = 1\n\"C1.IN.CA\" = 1e9\n"
                            "\"C1.IN.CB\" = 0\n");
  // A valid pattern file from a good run is there first.
  const std::string good = write("good.toml", std::string(kConcentrator) +
                                                  "[fix]\n\"C1.IN.F\" = 1\n\"C1.IN.CA\" = 1\n"
                                                  "\"C1.IN.CB\" = 0\n");
  ASSERT_EQ(run(good), kvoflow::EXIT_SOLVED) << err();
  const fs::path pat = dir_ / "C1.pat";
  const auto stamp = fs::last_write_time(pat);
  std::ifstream before_in(pat);
  std::stringstream before;
  before << before_in.rdbuf();
  his();
  EXPECT_EQ(run(f), kvoflow::EXIT_SOLVE);
  const std::string out = his();
  EXPECT_NE(out.find("The solve (as specified) stopped: no convergence after 4 iterations"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("NOT SOLVED"), std::string::npos);
  std::ifstream after_in(pat);
  std::stringstream after;
  after << after_in.rdbuf();
  EXPECT_EQ(after.str(), before.str());
  EXPECT_EQ(fs::last_write_time(pat), stamp);
  // A damaged pattern file stops the run before solving and is not replaced.
  std::ofstream(pat) << "damaged\n";
  EXPECT_EQ(run(good), kvoflow::EXIT_INPUT);
  std::ifstream damaged(pat);
  std::string first;
  std::getline(damaged, first);
  EXPECT_EQ(first, "damaged");
}

}  // namespace
