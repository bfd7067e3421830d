// Internals of the sparsity-pattern units: numeric detection, the pattern file and the
// capacity estimate, shared between checksums, detection, file and initialisation policy.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <kvoblk/host/kvo_md5.h>
#include <kvoblk/kvoblk.h>

namespace kvoblk {
namespace detail {

// Feeds "%d-%d" of rows[i], cols[i] for i = 0, stride, 2*stride ... below *nnz.
void kvblkchks_pat_checksum(int k, int* nnz, const int* rows, const int* cols, kvo_md5_ctx* ctx);

// The structure digest of a block: its sampled variable and equation names, then the pattern,
// either the block's own part of the Jacobian (rows == null) or the given arrays.
void structure_digest(int blkptr, int nnz, const int* rows, const int* cols,
                      unsigned char digest[16]);

// Numeric detection proper. On return *rows and *cols (malloc'ed, owned by the caller, or null)
// hold *count block-local entries sorted by row.
void kvoblk_npat_compute(int blkptr, int* status, int** rows, int** cols, int* count,
                         double pertsize, double zerotol, double moveamount, int move);
void kvoblk_npat_step(double upper, double lower, double* value, double h, int* direction);
void kvoblk_pat_sort_rows(int* rows, int* cols, int count, int neq);

// Header of a pattern file as the reader fills it. Texts are kept whole, however long. The
// reader collects the entries of pass 3 into rows and cols as it actually reads them, so their
// size is bounded by what the file holds, never by the counts it announces.
struct kvoblk_pat_header_t {
  std::string block_name;
  int32_t nvar = 0;
  int32_t neq = 0;
  int32_t nnz = 0;
  std::vector<int32_t> rows;  // pass 3: block-local row of every entry, from the incidence counts
  std::vector<int32_t> cols;  // pass 3: block-local column of every entry
  std::string version;
  std::string date;
  unsigned char checksum[16] = {};
  int32_t mode = 0;
  int32_t move = 0;
  double moveamount = 0;
  double pertsize = 0;
  double zerotol = 0;
  int32_t pass = 1;
};

// Writes the block's pattern file: from the pattern object when one is given (its entries are
// block-local already), else from the block's part of the global Jacobian. The file is written
// under a temporary name and renamed over `path` only when complete. *status: 0 written, 1 not
// (no path, no block, entries outside the block, or the file could not be created or written).
void kvoblk_pat_file_write(int blkptr, const char* path, kv_jac_t pattern, int* status);
// Performs the pass named in header->pass (1 header, 2 checksum, 3 pattern). Pass 3 uses nnz and
// neq as pass 1 left them. *status: 0 success, 1 no name or cannot open, 2 keyword or value
// missing, 3 fewer than one equation, 4 data sections short or inconsistent.
void kvoblk_pat_file_read(kvoblk_pat_header_t* header, const char* path, int* status);
// The RESTORE branch of blkpat_dim: the file's non-zero count after checking it against the
// block, or the capacity estimate when the file cannot be opened.
void kvoblk_pat_file_dim(int blkptr, int max_nvar, int max_neq, int* nnz, int* errors);

// Capacity estimate: nvar x neq when that is at most the dense limit, else the fill percentage
// of it. Counts one error for a missing block.
void kvoblk_pat_max_nnz(int blkptr, int nvar, int neq, int* nnz, int* errors);

}  // namespace detail
}  // namespace kvoblk
