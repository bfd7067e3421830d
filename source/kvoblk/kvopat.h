// SPDX-License-Identifier: BSD-3-Clause
// Internals of the sparsity-pattern units: numeric detection, the pattern file and the
// capacity estimate, shared between checksums, detection, file and initialisation policy.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <kvoblk/host/kvo_md5.h>
#include <kvoblk/kvoblk.h>
#include "kvblk_internal.h"

namespace kvoblk {
namespace detail {

// ---- The block-local pattern (kvopat_pattern.cpp) ------------------------------------------
// Entry k is (rows[k], cols[k]): equation and variable numbers counted from the block's first,
// 1-based, grouped by row wherever a pattern is checked, compared, saved or placed. Detection,
// the file reader, the checksum, the comparison and the placement all hold a pattern this way;
// the adapters below convert from the global Jacobian and to and from the host's pattern
// objects. The arrays are HeapArrays: every request can fail and says so.
struct BlockPattern {
  HeapArray<int> rows, cols;
  // The entry count; patterns are numbered in 32-bit words everywhere else.
  int size() const { return static_cast<int>(rows.n); }
  // Room for n entries in both arrays, or false.
  bool reserve(int64_t n) noexcept { return rows.reserve(n) && cols.reserve(n); }
  // n entries in both arrays (new ones unset), or false with the pattern not to be used.
  bool resize(int64_t n) noexcept { return rows.resize(n) && cols.resize(n); }
  void reset() noexcept {
    rows.reset();
    cols.reset();
  }
};
// An empty pattern handed to the check must still be an array: a null one means "the stored
// pattern" there.
extern const int kNoEntries[1];
inline const int* entries_of(const HeapArray<int>& v) { return v.empty() ? kNoEntries : v.data(); }
// A global equation or variable number made block-local. A number that a 32-bit word cannot
// hold becomes 0, which lies outside every block.
int local_number(int global, int start);
// Entries first..last of a pattern object of the Jacobian service, made local to a block whose
// equations and variables start at estart and vstart (1 and 1 for an object whose entries are
// block-local already). False when memory ran out.
bool pattern_of_object(kv_jac_t object, int first, int last, int estart, int vstart,
                       BlockPattern* p);
// The block's stored pattern: its non-zeros nzstart..nzstop of the global Jacobian, made
// block-local. Non-zeros that the Jacobian does not hold cannot be read: false, with a message
// under `fn` (none when fn is null), when any of them lies outside it. Memory that runs out
// throws std::bad_alloc.
bool pattern_of_block(int blkptr, const char* fn, BlockPattern* p);
// The first entry (0-based) whose row or column lies outside a block of nvar variables and neq
// equations, or -1 when every entry lies inside.
int64_t first_outside(const BlockPattern& p, int64_t nvar, int64_t neq);
// The first entry (0-based) whose column already stands in its row, or -1 when no row holds a
// column twice. The entries must lie inside a block of nvar variables, grouped by row. Memory
// that runs out throws std::bad_alloc.
int64_t first_repeated(const BlockPattern& p, int64_t nvar);
// A new pattern object of the Jacobian service holding the pattern's entries as they are; 0,
// with a message under `fn` naming the block, when the service has no room.
kv_jac_t object_of_pattern(const BlockPattern& p, int blkptr, const char* fn);
// The message of a pattern object the Jacobian service did not give, for nnz entries.
void report_no_pattern_object(int blkptr, const char* fn, int64_t nnz);
// The name of block-local equation i or variable j, for messages ("" when it has none).
const char* eqn_name(int blkptr, int64_t i);
const char* var_name(int blkptr, int64_t j);

// Feeds "%d-%d" of rows[i], cols[i] for i = 0, stride, 2*stride ... below *nnz.
void kvblkchks_pat_checksum(int k, int* nnz, const int* rows, const int* cols, kvo_md5_ctx* ctx);

// The structure digest of a block: its sampled variable and equation names, then the pattern,
// either the block's own part of the Jacobian (pattern == null) or the given one.
void structure_digest(int blkptr, const BlockPattern* pattern, unsigned char digest[16]);

// Numeric detection proper. On return *found holds the block-local entries sorted by row (none
// when detection could not start).
void kvoblk_npat_compute(int blkptr, int* status, BlockPattern* found, double pertsize,
                         double zerotol, double moveamount, int move);
void kvoblk_npat_step(double upper, double lower, double* value, double h, int* direction);
void kvoblk_pat_sort_rows(int* rows, int* cols, int count, int neq);

// What the reader takes from a pattern file. Texts are kept whole, however long. The reader
// collects the entries of pass 3 into the pattern as it actually reads them, so its size is
// bounded by what the file holds, never by the counts the file announces.
struct kvoblk_pat_header_t {
  std::string block_name;
  // The whole id of the title line, words joined by single blanks, without the closing asterisk.
  std::string title_id;
  int32_t nvar = 0;
  int32_t neq = 0;
  int32_t nnz = 0;
  BlockPattern pattern;  // pass 3: rows rebuilt from the incidence counts, columns as listed
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
// False for a name that exists but is no regular file (a directory, a device, a pipe): such a
// name is neither read nor replaced by a pattern file (kvopat_file_read.cpp).
bool regular_or_absent(const std::filesystem::path& name);
// The path a file name of the C interface names. On Windows such names are in the ANSI code
// page (the program's, which its manifest may make UTF-8); the path holds them in UTF-16, and
// the pattern file code opens, renames and removes files by the path alone
// (kvopat_file_write.cpp), a long one by its long form (kvo_win32_posix.h).
std::filesystem::path path_of(const char* name);
// What is at `name`: 0 nothing, 1 a regular file, 2 anything else (a folder, a device, a pipe),
// -1 unknown (the lookup failed). On Windows a name in the long form is looked up by its
// attributes, which the C library's status call cannot do (kvopat_file_write.cpp).
int file_kind(const std::filesystem::path& name);
// The RESTORE branch of blkpat_dim: the file's non-zero count after checking it against the
// block, or the capacity estimate when the file cannot be opened.
void kvoblk_pat_file_dim(int blkptr, int max_nvar, int max_neq, int* nnz, int* errors);

// Capacity estimate: nvar x neq when that is at most the dense limit, else the fill percentage
// of it. Counts one error for a missing block.
void kvoblk_pat_max_nnz(int blkptr, int nvar, int neq, int* nnz, int* errors);

}  // namespace detail
}  // namespace kvoblk
