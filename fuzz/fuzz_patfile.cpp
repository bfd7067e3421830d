// SPDX-License-Identifier: BSD-3-Clause
// Fuzz target for the pattern-file reader: each input is a pattern file, read directly pass by
// pass, asked for its dimensions, and restored into a block placed between guard entries of the
// global Jacobian. Whatever the file holds: a failure counts exactly one error, nothing outside
// the non-zeros the dimension query reserved is written, variable values stay bit-identical,
// and no pattern object is left behind.
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_host.h"
#include "kvopat.h"
#include "patfile_block.h"
#include "snapshot.h"

using kvoblk::detail::kvoblk_pat_file_read;
using kvoblk::detail::kvoblk_pat_header_t;

namespace {

// Largest reservation the target places; a host would refuse to make room for more.
constexpr int kMostReserved = 4096;

// Reads the file pass by pass as the restore does and checks what each pass answers. Gives the
// header of pass 1 (status in *header_status).
kvoblk_pat_header_t read_directly(const std::string& path, int* header_status) {
  kvoblk_pat_header_t h;
  int status = -1;
  h.pass = 1;
  kvoblk_pat_file_read(&h, path.c_str(), &status);
  *header_status = status;
  FUZZ_CHECK(status == 0 || status == 2);
  if (status != 0) return h;
  // Counts of variables and equations are read as they stand, even below 1; a negative number
  // of non-zeros is no count.
  FUZZ_CHECK(h.nnz >= 0);

  // Pass 3 reads with the counts pass 1 found.
  kvoblk_pat_header_t p;
  p.nvar = h.nvar;
  p.neq = h.neq;
  p.nnz = h.nnz;
  p.pass = 3;
  kvoblk_pat_file_read(&p, path.c_str(), &status);
  FUZZ_CHECK(status == 0 || status == 2 || status == 3 || status == 4);
  if (status == 0) {
    // The entries are exactly the announced ones, grouped by row in increasing row order.
    FUZZ_CHECK(p.neq >= 1);
    const auto& rows = p.pattern.rows;
    FUZZ_CHECK(rows.size() == p.nnz);
    FUZZ_CHECK(p.pattern.cols.size() == rows.size());
    for (int64_t k = 0; k < rows.size(); ++k) {
      FUZZ_CHECK(rows[k] >= 1 && rows[k] <= p.neq);
      FUZZ_CHECK(k == 0 || rows[k] >= rows[k - 1]);
    }
  }
  kvoblk_pat_header_t c;
  c.pass = 2;
  kvoblk_pat_file_read(&c, path.c_str(), &status);
  FUZZ_CHECK(status == 0 || status == 2);
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kvofuzz::Host host;
  const std::string path = (kvofuzz::scratch() / "b1.pat").string();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }

  int header_status = 0;
  const kvoblk_pat_header_t h = read_directly(path, &header_status);
  host.his();

  // Dimensioning: the model states its maximum dimensions, the file its non-zero count.
  kvofuzz::PatBlock blk(path);
  int nvar = 0, neq = 0, reserved = 0, dim_errors = 0;
  kvoblk_dim(blk.b, &nvar, &neq, &reserved, &dim_errors);
  // One error for a file that cannot be read or names another block; one each for too many
  // variables and too many equations.
  FUZZ_CHECK(dim_errors >= 0 && dim_errors <= 2);
  FUZZ_CHECK(nvar == kvofuzz::PatBlock::kVars && neq == kvofuzz::PatBlock::kEqns);
  if (dim_errors == 0) {
    FUZZ_CHECK(header_status == 0);
    // The query never reserves more than the file's own dimensions can hold (none when either
    // count is below 1).
    const int64_t most =
        h.nvar < 1 || h.neq < 1 ? 0 : static_cast<int64_t>(h.nvar) * static_cast<int64_t>(h.neq);
    FUZZ_CHECK(reserved >= 0 && static_cast<int64_t>(reserved) <= most);
  }
  host.his();
  if (reserved < 0 || reserved > kMostReserved) return 0;

  // Placement between guards, then the restore into the reserved non-zeros.
  blk.place(reserved);
  const std::vector<kvotest::Entry> jac_before = kvotest::jacobian_entries(blk.lists.jac);
  const std::vector<uint64_t> vars_before = kvotest::variable_bits(blk.lists.varlst);
  const int first = kvofuzz::PatBlock::kNzStart, last = first + reserved - 1;

  int errors = 0;
  kvoblk_pat_ini(blk.b, first, &errors);

  FUZZ_CHECK(errors == 0 || errors == 1);
  const std::vector<kvotest::Entry> jac_after = kvotest::jacobian_entries(blk.lists.jac);
  FUZZ_CHECK(kvotest::first_change_outside(jac_before, jac_after, first, last) == 0);
  FUZZ_CHECK(kvotest::variable_bits(blk.lists.varlst) == vars_before);
  FUZZ_CHECK(kvoref::live_pattern_objects() == 0);
  if (errors == 1) {
    // A refused file writes nothing and leaves the block without a pattern type.
    FUZZ_CHECK(jac_after == jac_before);
    FUZZ_CHECK(kvoblk_inq_pat_type(blk.b) == KVOBLK_PATTYPE_UNDEFINED);
  } else {
    const int stop = kvoblk_inq_nzstop(blk.b);
    FUZZ_CHECK(stop >= first - 1 && stop <= last);
    for (int p = first; p <= stop; ++p) {
      const kvotest::Entry& e = jac_after[static_cast<size_t>(p - 1)];
      FUZZ_CHECK(e.eqn >= blk.estart() && e.eqn <= blk.estop());
      FUZZ_CHECK(e.var >= blk.vstart() && e.var <= blk.vstop());
    }
  }
  return 0;
}
