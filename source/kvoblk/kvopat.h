// Internals of the sparsity-pattern units: numeric detection, the pattern file and the
// capacity estimate, shared between checksums, detection, file and initialisation policy.
#pragma once

#include <cstdint>
#include <string>

#include "kvo_md5.h"
#include "kvoblk.h"

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

// Header of a pattern file as the reader fills it. Texts are kept whole, however long.
struct kvoblk_pat_header_t {
  std::string block_name;
  int32_t nvar = 0;
  int32_t neq = 0;
  int32_t nnz = 0;
  int32_t* rows = nullptr;  // pass 3: arrays of nnz entries provided by the caller
  int32_t* cols = nullptr;
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

void kvoblk_pat_file_write(int blkptr, const char* path, kv_jac_t pattern, int* status);
void kvoblk_pat_file_read(kvoblk_pat_header_t* header, const char* path, int* status);
void kvoblk_pat_file_dim(int blkptr, int max_nvar, int max_neq, int* nnz, int* errors);

// Capacity estimate: nvar x neq when that is at most the dense limit, else the fill percentage
// of it. Counts one error for a missing block.
void kvoblk_pat_max_nnz(int blkptr, int nvar, int neq, int* nnz, int* errors);

}  // namespace detail
}  // namespace kvoblk
