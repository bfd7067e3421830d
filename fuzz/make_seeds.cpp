// SPDX-License-Identifier: BSD-3-Clause
// Writes the seed corpora of the fuzz targets into DIRECTORY/<target>/: pattern files that the
// library itself writes for the pattern-file target's block (by the restore fallback and by the
// writer for each generation mode), and short step sequences for the attribute and Fortran
// targets. Run once; the seeds are committed (fuzz/corpus).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kvopat.h"
#include "patfile_block.h"

namespace fs = std::filesystem;

namespace {

// Writes B1's pattern file by the numeric fallback of the restore, with the move flag given,
// then by the writer with each other generation mode.
void pattern_files(const fs::path& dir) {
  for (int move = 1; move >= 0; --move) {
    kvoref::reset();
    const std::string path = (dir / (move ? "numeric_move.pat" : "numeric_nomove.pat")).string();
    fs::remove(path);
    kvofuzz::PatBlock blk(path);
    kvoblk_set_move(blk.b, move);
    blk.place(kvofuzz::PatBlock::kVars * kvofuzz::PatBlock::kEqns);
    int errors = 0;
    kvoblk_pat_ini(blk.b, kvofuzz::PatBlock::kNzStart, &errors);
    if (errors != 0) std::fprintf(stderr, "no pattern for %s\n", path.c_str());
    if (!move) continue;
    const char* names[] = {"undefined.pat", "analytic.pat"};
    for (int type = 0; type <= 1; ++type) {
      kvoblk_set_pat_type(blk.b, type);
      int status = 0;
      kvoblk::detail::kvoblk_pat_file_write(blk.b, (dir / names[type]).string().c_str(), 0,
                                            &status);
      if (status != 0) std::fprintf(stderr, "cannot write %s\n", names[type]);
    }
  }
  kvoref::reset();
}

struct Bytes {
  std::vector<uint8_t> b;
  Bytes& u8(int v) {
    b.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  template <class T>
  Bytes& raw(T v) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&v);
    b.insert(b.end(), p, p + sizeof v);
    return *this;
  }
  // A counted text as Input::bytes reads it.
  Bytes& text(const std::string& s) {
    u8(static_cast<int>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  void save(const fs::path& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
};

// Attribute steps: [op][pick][value]; op 0 look-up, 1 assignment, 2 description, 3 name test;
// pick below 128 is a table name, else a counted name follows.
void attribute_steps(const fs::path& dir) {
  Bytes all;
  all.u8(0).text("B1");
  for (int a = 0; a < 13; ++a) all.u8(0).u8(a);
  for (int a = 0; a < 13; ++a) all.u8(2).u8(a);
  all.save(dir / "lookup_describe_all");

  // A number: kind, ival, rval, code, field, is_int, extra.
  auto number = [](Bytes& s, int32_t i, double r, int is_int) {
    s.u8(1).raw(i).raw(r).raw(int16_t{0}).raw(int16_t{0}).u8(is_int).u8(0);
  };
  Bytes assign;
  assign.u8(1).text("MIXER");
  number(assign.u8(1).u8(4), 0, 2.9, 0);    // DIAG_LEVEL = 2.9
  number(assign.u8(1).u8(3), 3, 0.0, 1);    // PERT = 3
  number(assign.u8(1).u8(4), 0, 1e300, 0);  // DIAG_LEVEL = 1e300
  assign.u8(1).u8(0).u8(3).text("NUMERIC");
  assign.u8(1).u8(0).u8(3).text("numeric");
  assign.u8(1).u8(8).u8(4).u8(0);
  assign.u8(1).u8(1).u8(4).u8(1);
  assign.u8(1).u8(10).u8(2).text("file.pat");
  assign.u8(1).u8(0x80).text("deriv_method").u8(3).text("ANALYTIC");
  assign.u8(1).u8(7).u8(2).text("1e-9");
  assign.u8(0).u8(4).u8(0).u8(3);
  assign.save(dir / "assign_each_kind");
}

// Fortran steps: [op] then the op's arguments; a CHARACTER argument is a counted text and a
// length byte (below 200: the whole text).
void fortran_steps(const fs::path& dir) {
  Bytes s;
  s.u8(0).text("FEED    ").u8(0);       // id FEED
  s.u8(1).u8(8 + 8);                    // copied into CHARACTER*8
  s.u8(1).u8(8 + 3);                    // into CHARACTER*3
  s.u8(3).text("P1").u8(3).text("P2");  // two ports
  s.u8(2).text("P2      ").u8(0);       // found
  s.u8(2).text(std::string(8, '\0')).u8(0);
  s.u8(4).raw(int8_t{1});  // count 1: P2 no longer found
  s.u8(2).text("P2").u8(0);
  s.u8(4).raw(int8_t{-1});
  s.u8(5).text("B1.TEMP").u8(0).u8(4 + 8).raw(int8_t{1}).u8(0);
  s.u8(5).text("B1.TEMP").u8(0).u8(4 + 2).raw(int8_t{4}).u8(0);
  s.u8(0).text(std::string(8, '\0')).u8(0);  // clears the id
  s.u8(1).u8(8 + 4);
  s.save(dir / "id_ports_scan");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const fs::path dir(argv[1]);
  for (const char* target : {"patfile", "attr", "fortran"}) fs::create_directories(dir / target);
  pattern_files(dir / "patfile");
  attribute_steps(dir / "attr");
  fortran_steps(dir / "fortran");
  return 0;
}
