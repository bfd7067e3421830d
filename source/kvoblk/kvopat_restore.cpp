// SPDX-License-Identifier: BSD-3-Clause
// A block's pattern from its file: the restore at placement (with detection and saving when
// the file cannot be opened) and the dimension query that reads only the file's header.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "kvblk_internal.h"
#include "kvopat.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// ---- Restoring -----------------------------------------------------------------------------

// The most entries a pattern of the header's own dimensions holds: none when either count is
// below 1 (a header may say so; the pattern pass then refuses it).
int64_t most_entries(const kvoblk_pat_header_t& h) {
  if (h.nvar < 1 || h.neq < 1) return 0;
  return static_cast<int64_t>(h.nvar) * static_cast<int64_t>(h.neq);
}

// A block id as the title line of its file reads back: its words joined by single blanks.
std::string words_of(const std::string& id) {
  std::string words;
  size_t at = 0;
  while ((at = id.find_first_not_of(" \t\n\v\f\r", at)) != std::string::npos) {
    const size_t end = std::min(id.find_first_of(" \t\n\v\f\r", at), id.size());
    if (!words.empty()) words += ' ';
    words.append(id, at, end - at);
    at = end;
  }
  return words;
}

// How a file name is shown in messages; a block without one shows "(none)".
std::string shown(const char* path) { return path ? path : "(none)"; }

// The block's pattern file name and id, copied: model code may run while they are in use (the
// numeric fallback) and change either. The path is null when the block names no file.
// Pass 1 of the reader, the header; answers the reader's status.
int read_header(const char* path, kvoblk_pat_header_t* h) {
  int status = 0;
  h->pass = 1;
  kvoblk_pat_file_read(h, path, &status);
  return status;
}

struct FileOfBlock {
  explicit FileOfBlock(int blkptr)
      : has_path(kvoblk_inq_pat_file(blkptr) != nullptr),
        path_text(has_path ? kvoblk_inq_pat_file(blkptr) : ""),
        shown_path(has_path ? path_text : shown(nullptr)),
        id(text(blkid(blkptr))) {}
  const char* path() const { return has_path ? path_text.c_str() : nullptr; }
  bool has_path;
  std::string path_text;
  std::string shown_path;
  std::string id;
};

void rpat_error(const std::string& path, const std::string& id, const char* what) {
  kvoprintf(kvHisDev, "\n%s %s %s %s\n%s\n\n", "Error restoring sparsity pattern from file",
            path.c_str(), "for block", id.c_str(), what);
}

// The RESTORE fallback when the file cannot be opened: detect the pattern numerically and save
// it, so that the next run can read it.
kv_jac_t detect_and_save(int blkptr, const char* path, const std::string& shown_path,
                         const std::string& id, int* errors) {
  kvoprintf(kvHisDev, "\n%s %s %s %s\n%s\n%s\n\n",
            "Warning while restoring sparsity pattern from file", shown_path.c_str(), "for block",
            id.c_str(), "File could not be opened.",
            "Computing sparsity numerically and saving it to file.");
  int npat_errors = 0;
  kv_jac_t pattern = kvoblk_npat(blkptr, &npat_errors);
  if (npat_errors != 0 || pattern == 0) {
    if (pattern != 0) kvojac_destroy(&pattern);
    ++*errors;
    return 0;
  }
  kvoblk_set_pat_type(blkptr, KVOBLK_PATTYPE_NUMERIC);
  // Only a missing file is made: one that is there but could not be read (no permission, a
  // folder, a pipe) is kept, since what it holds may be the only copy.
  int status = 1;
  if (path && file_kind(path_of(path)) == 0) kvoblk_pat_file_write(blkptr, path, pattern, &status);
  if (status == 1) {
    // A pattern that could not be saved is still a good pattern: no error is counted.
    kvoprintf(kvHisDev, "\n%s %s %s %s\n%s\n\n", "Warning while saving sparsity pattern to file",
              shown_path.c_str(), "for block", id.c_str(), "File could not be written.");
  }
  return pattern;
}

kv_jac_t restore(int blkptr, int* errors) {
  const FileOfBlock file(blkptr);
  const char* path = file.path();
  const std::string& spath = file.shown_path;
  const std::string& id = file.id;

  kvoblk_pat_header_t h;
  int status = read_header(path, &h);
  if (status == 1 && diag(blkptr) >= 4) return detect_and_save(blkptr, path, spath, id, errors);
  if (status != 0) {
    ++*errors;
    rpat_error(spath, id, "Failed to get the block dimensions from the file.");
    return 0;
  }

  h.pass = 3;
  kvoblk_pat_file_read(&h, path, &status);
  // A pattern holds at most its variables times its equations, and the dimension query reserved
  // no more than that: a header announcing more is damaged, and placing its entries would run
  // into the next block's non-zeros.
  if (status == 0 && h.nnz > most_entries(h)) status = 4;
  if (status == 0) {
    // Every entry must lie inside the block as it is placed now, and no row may name a
    // variable twice: the digest samples only some entries, and a repeated entry would put two
    // non-zeros of the Jacobian on one position.
    if (first_outside(h.pattern, block_nvar(blkptr), block_neq(blkptr)) >= 0 ||
        first_repeated(h.pattern, block_nvar(blkptr)) >= 0)
      status = 4;
  }
  if (status != 0) {
    ++*errors;
    rpat_error(spath, id, "Missing elements from file.");
    return 0;
  }

  h.pass = 2;
  kvoblk_pat_file_read(&h, path, &status);
  if (status != 0) {
    ++*errors;
    return 0;
  }

  // The stored digest must be the block's own for these entries. The file's variable and
  // equation counts are not compared with the block's: a file of fewer (the block's counts are
  // maxima at dimensioning) restores as long as its entries lie inside the block.
  unsigned char digest[16];
  structure_digest(blkptr, &h.pattern, digest);
  if (std::memcmp(digest, h.checksum, 16) != 0) {
    ++*errors;
    rpat_error(spath, id, "File cheksum does not match.");
    return 0;
  }

  kv_jac_t pattern = object_of_pattern(h.pattern, blkptr, "kvoblk_rpat");
  if (pattern == 0) {
    ++*errors;
    return 0;
  }
  kvoblk_set_pat_type(blkptr, h.mode);
  if (h.mode == KVOBLK_PATTYPE_NUMERIC) {
    kvoblk_set_pertsize(blkptr, h.pertsize);
    kvoblk_set_zerotol(blkptr, h.zerotol);
    kvoblk_set_move(blkptr, h.move);
    if (h.move == 1) kvoblk_set_moveamount(blkptr, h.moveamount);
  }
  return pattern;
}

}  // namespace

namespace kvoblk {
namespace detail {

void kvoblk_pat_file_dim(int blkptr, int max_nvar, int max_neq, int* nnz, int* errors) {
  KVOBLK_OUT(nnz);
  KVOBLK_OUT(errors);
  if (blkptr == 0 || !live(blkptr, __func__)) {
    ++*errors;
    return;
  }
  try {
    const FileOfBlock file(blkptr);
    const char* path = file.path();
    const std::string& spath = file.shown_path;
    const std::string& id = file.id;

    kvoblk_pat_header_t h;
    const int status = read_header(path, &h);
    const char* error_head = "Error restoring dimensions for sparsity pattern from file";
    if (status == 0) {
      // The title line ends in an asterisk that stands right after an id of 43 characters or
      // more, and alone when the block has no id; an id of several words is read whole, so that
      // its first word alone is another block.
      const bool one_word = h.title_id.find(' ') == std::string::npos;
      const bool same = words_of(id) == h.title_id || (one_word && h.block_name == id);
      if (!same) {
        ++*errors;
        kvoprintf(kvHisDev, "\n%s %s\n%s\n%s %s\n%s %s\n\n", error_head, spath.c_str(),
                  "Block id names do not match.", "Block id           : ", id.c_str(),
                  "Block id from file : ", h.title_id.c_str());
        return;
      }
      if (max_nvar < h.nvar) {
        ++*errors;
        kvoprintf(kvHisDev, "\n%s %s %s %s\n%s\n%s%d\n%s%d\n\n", error_head, spath.c_str(),
                  "for block ", id.c_str(), "Number of variables higher than specified maximum.",
                  "Number of variables from file      : ", h.nvar,
                  "Specified Max. number of variables : ", max_nvar);
      }
      if (max_neq < h.neq) {
        ++*errors;
        kvoprintf(kvHisDev, "\n%s %s %s %s\n%s\n%s%d\n%s%d\n\n", error_head, spath.c_str(),
                  "for block ", id.c_str(), "Number of equations higher than specified maximum.",
                  "Number of equations from file      : ", h.neq,
                  "Specified Max. number of equations : ", max_neq);
      }
      // A pattern holds at most its variables times its equations; a header that announces
      // more contradicts itself, and the host reserves what this answers.
      const int64_t most = most_entries(h);
      *nnz = h.nnz > most ? static_cast<int>(std::min<int64_t>(most, INT32_MAX)) : h.nnz;
    } else if (status == 1) {
      if (diag(blkptr) >= 6)
        kvoprintf(kvHisDev, "\n%s %s %s %s %s\n%s %s\n\n",
                  "Warning while restoring dimensions for sparsity pattern", "from file",
                  spath.c_str(), "for block ", id.c_str(), "Could not open file.",
                  "Will use the max. dimensions provided numerically.");
      kvoblk_pat_max_nnz(blkptr, max_nvar, max_neq, nnz, errors);
    } else {
      // The count is left as it was: the file announced nothing that can be trusted.
      ++*errors;
      kvoprintf(kvHisDev, "\n%s %s %s %s\n%s %s\n\n", error_head, spath.c_str(), "for block ",
                id.c_str(), "Elements missing from file.", "File may be corrupted.");
    }
  } catch (...) {
    ++*errors;
  }
}

}  // namespace detail
}  // namespace kvoblk

extern "C" {

KVOBLK_API kv_jac_t kvoblk_rpat(int blkptr, int* errors) {
  KVOBLK_OUT(errors);
  if (blkptr == 0) return 0;
  if (!live(blkptr, __func__)) {
    ++*errors;
    return 0;
  }
  try {
    return restore(blkptr, errors);
  } catch (...) {
    ++*errors;
    return 0;
  }
}

}  // extern "C"
