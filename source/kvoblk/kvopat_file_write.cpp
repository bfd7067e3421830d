// SPDX-License-Identifier: BSD-3-Clause
// The pattern file writer: the fixed-format text of a block's pattern, written to a fresh
// temporary beside the target and renamed over it only when complete.
#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include "kvo_win32_posix.h"
#else
#include <unistd.h>
#endif

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

#if !defined(_WIN32)
// The file calls by path, as the Windows build makes them with names in UTF-16.
int kvo_open(const char* name, int flags, int mode) { return ::open(name, flags, mode); }

// Whether the file exists, and its permission bits.
bool kvo_mode_of(const char* name, unsigned* mode) {
  struct stat st {};
  *mode = 0;
  if (::stat(name, &st) != 0) return false;
  *mode = static_cast<unsigned>(st.st_mode);
  return true;
}

int kvo_unlink(const char* name) { return ::unlink(name); }
int kvo_replace_file(const char* from, const char* to) { return ::rename(from, to); }
#endif

// ---- Writing -------------------------------------------------------------------------------

// Buffered output to a file that remembers whether any write failed, so that a full disk or a
// broken medium is noticed however far into the file it happens.
class FileOut {
 public:
  // Takes the file over; it is closed however the writing ends. The buffer is only reserved
  // ahead: without room for it the writes simply grow it.
  explicit FileOut(std::FILE* file) : file_(file) {
    try {
      buffer_.reserve(kChunk + 64);
    } catch (const std::bad_alloc&) {
    }
  }
  ~FileOut() {
    if (file_) std::fclose(file_);
  }
  FileOut(const FileOut&) = delete;
  FileOut& operator=(const FileOut&) = delete;

  void put(const char* text, size_t length) {
    buffer_.append(text, length);
    if (buffer_.size() >= kChunk) flush();
  }
  void put(const char* text) { put(text, std::strlen(text)); }
  void put(const std::string& text) { put(text.data(), text.size()); }
  void repeat(char c, int count) {
    if (count > 0) buffer_.append(static_cast<size_t>(count), c);
  }
  // An integer as "%d" prints it, right-justified in `width` characters (never cut).
  void integer(long long value, int width = 0) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    int length = static_cast<int>(end - digits);
    repeat(' ', width - length);
    put(digits, static_cast<size_t>(length));
  }

  // Writes what is buffered, forces it to the medium and closes the file; false when anything
  // failed on the way.
  bool close() {
    flush();
    bool ok = ok_ && std::fflush(file_) == 0 && !std::ferror(file_) && fsync(fileno(file_)) == 0;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    return ok;
  }

 private:
  static constexpr size_t kChunk = 1 << 16;
  void flush() {
    if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
      ok_ = false;
    buffer_.clear();
  }
  std::FILE* file_;
  std::string buffer_;
  bool ok_ = true;
};

// "%e" of a double, with at least three exponent digits whatever the C library would print and
// independent of the locale's decimal point: 1e-6 gives "1.000000e-006".
std::string format_e(double value) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 6);
  std::string s(text, result.ptr);
  size_t e = s.find('e');
  if (e == std::string::npos) return s;  // inf, nan
  size_t digits = e + 2;                 // after "e" and the sign
  size_t count = s.size() - digits;
  if (count < 3) s.insert(digits, 3 - count, '0');
  return s;
}

// The local time as "%a %b %d %H:%M:%S Year of our Lord %Y", with English day and month names
// whatever the locale.
std::string format_date(std::time_t now) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm t{};
  if (!localtime_r(&now, &t)) t = std::tm{};
  auto two = [](int v) {
    char s[3] = {static_cast<char>('0' + (v / 10) % 10), static_cast<char>('0' + v % 10), 0};
    return std::string(s);
  };
  std::string s;
  s += days[((t.tm_wday % 7) + 7) % 7];
  s += ' ';
  s += months[((t.tm_mon % 12) + 12) % 12];
  s += ' ' + two(t.tm_mday) + ' ' + two(t.tm_hour) + ':' + two(t.tm_min) + ':' + two(t.tm_sec);
  s += " Year of our Lord " + std::to_string(t.tm_year + 1900LL);
  return s;
}

// A section of values, "%10i" each, seven to a line; one empty line when there are none.
void write_values(FileOut& out, const HeapArray<int32_t>& values) {
  const int64_t n = values.size();
  for (int64_t i = 0; i < n; ++i) {
    out.integer(values[i], 10);
    if ((i + 1) % 7 == 0) out.put("\n", 1);
  }
  if (n == 0 || n % 7 != 0) out.put("\n", 1);
}

// Writes the whole file to `file`; false when a write failed.
bool write_pattern(FileOut& out, int blkptr, int nvar, int neq, const BlockPattern& p,
                   const unsigned char digest[16]) {
  const char* id = text(blkid(blkptr));
  std::string stars(78, '*');
  std::string side = "*" + std::string(76, ' ') + "*";
  out.put(stars + "\n" + side + "\n");
  out.put("* Sparsity pattern file for block ");
  out.put(id);
  out.repeat(' ', 43 - static_cast<int>(std::strlen(id)));
  out.put("*\n" + side + "\n" + stars + "\n\n");
  out.put("      WARNING: THIS FILE HAS A FIXED FORMAT.");
  out.put(" DO NOT CHANGE IT.\n\n");
  out.put("File format version      : ");
  out.put("Quil-1\n");
  out.put("Date created             : " + format_date(std::time(nullptr)) + "\n\n");
  out.put("Number of variables      : ");
  out.integer(nvar);
  out.put("\nNumber of equations      : ");
  out.integer(neq);
  out.put("\nNumber of non-zeros      : ");
  out.integer(static_cast<long long>(p.cols.size()));
  out.put("\n\nChecksum ( ");
  for (int k = 0; k < 16; ++k) {
    char hex[4];
    auto end = std::to_chars(hex, hex + sizeof hex, digest[k], 16).ptr;
    out.put(hex, static_cast<size_t>(end - hex));
    out.put(" ", 1);
  }
  out.put(")\n\n");

  // The mode line; for a pattern found numerically the settings that found it follow.
  out.put("Sparsity generation mode :");
  switch (kvoblk_inq_pat_type(blkptr)) {
    case KVOBLK_PATTYPE_NUMERIC: {
      out.put(" NUMERIC\n");
      out.put("Perturbation size        : " + format_e(kvoblk_inq_pertsize(blkptr)) + "\n");
      out.put("Zero tolerance           : " + format_e(kvoblk_inq_zerotol(blkptr)) + "\n");
      bool move = kvoblk_inq_move(blkptr) != 0;
      out.put("Move away from zero      :");
      out.put(move ? " YES\n" : " NO\n");
      if (move)
        out.put("Move away by             : " + format_e(kvoblk_inq_moveamount(blkptr)) + "\n");
      break;
    }
    case KVOBLK_PATTYPE_ANALYTIC:
      out.put(" ANALYTIC\n");
      break;
    case KVOBLK_PATTYPE_UNDEFINED:
      out.put(" UNDEFINED\n");
      break;
    default:
      break;
  }
  out.put("\n\n");

  out.repeat('=', 28);
  out.put(" Column Index Pointers ");
  out.repeat('=', 27);
  out.put("\n\n");
  write_values(out, p.cols);

  // Entries are grouped by row, so the per-equation counts are all a reader needs to rebuild
  // the rows.
  HeapArray<int32_t> counts;
  if (!counts.resize(neq)) return false;
  for (int32_t& c : counts) c = 0;  // a block without equations has no array to clear
  for (int32_t r : p.rows) ++counts[r - 1];
  out.put("\n\n");
  out.repeat('=', 27);
  out.put(" Equation Incidence Count ");
  out.repeat('=', 25);
  out.put("\n\n");
  write_values(out, counts);
  return out.close();
}

// Creates the temporary a new pattern file is written to, beside `target` and under a fresh
// name. It never opens an entry that already exists, nor follows a link: anything planted at a
// name it tries is left alone and another name is taken. The file gets the permissions of the
// file it replaces, or those of a new file (0666 less the umask). A target whose name is as
// long as the folder allows leaves no room for the suffix: the temporary then takes the suffix
// alone as its name, in the same folder. Answers the descriptor, or -1.
int create_temporary(const std::filesystem::path& target, std::filesystem::path* name) {
  unsigned mode = 0;
  const bool replacing = kvo_mode_of(target.c_str(), &mode);
  static uint64_t serial = 0;
  bool suffix_alone = false;
  for (int attempt = 0; attempt < 64; ++attempt) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    uint64_t mix = static_cast<uint64_t>(now) ^ (static_cast<uint64_t>(getpid()) << 32);
    mix ^= ++serial * 0x9E3779B97F4A7C15ull;
    mix ^= reinterpret_cast<uintptr_t>(&mix);
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".kvotmp%012llx",
                  static_cast<unsigned long long>(mix & 0xFFFFFFFFFFFFull));
    if (suffix_alone) {
      *name = target.parent_path() / suffix;
    } else {
      *name = target;
      *name += suffix;
    }
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    const int fd = kvo_open(name->c_str(), flags, 0666);
    if (fd >= 0) {
      // A file system without permission bits keeps its own; the pattern is written all the same.
      if (replacing) (void)::fchmod(fd, mode & 07777);
      return fd;
    }
    if (errno == EEXIST) continue;
    // Any other failure of the long name is tried once more under the short one (the C library
    // of Windows does not say ENAMETOOLONG for a name that is too long); a folder that refuses
    // the short name too refuses the file.
    if (suffix_alone) return -1;
    suffix_alone = true;
  }
  return -1;
}

// Makes a rename in the folder of `target` durable; a folder that cannot be synchronised is
// no reason to fail, the file itself is complete.
void sync_folder(const std::filesystem::path& target) {
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  const int fd = kvo_open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

// Writes the file under a temporary name and renames it over `path` once it is complete.
// The new file replaces the old one only then: it is written beside the file it replaces,
// forced to the medium and then renamed. A name that is a symbolic link stays a link: the
// file it names is replaced whole, never written into.
bool replace_file(const char* path, int blkptr, int nvar, int neq, const BlockPattern& p,
                  const unsigned char digest[16]) {
  std::error_code ec;
  std::filesystem::path target = path_of(path);
  for (int hops = 0; hops < 40 && std::filesystem::is_symlink(target, ec); ++hops) {
    std::filesystem::path link = std::filesystem::read_symlink(target, ec);
    if (ec) break;
    target = link.is_absolute() ? link : target.parent_path() / link;
  }
  if (!regular_or_absent(target)) return false;
  std::filesystem::path temporary;
  const int fd = create_temporary(target, &temporary);
  if (fd < 0) return false;
  std::FILE* file = fdopen(fd, "wb");
  if (!file) {
    ::close(fd);
    (void)kvo_unlink(temporary.c_str());
    return false;
  }
  bool written = false;
  try {
    FileOut out(file);
    written = write_pattern(out, blkptr, nvar, neq, p, digest);
  } catch (...) {
    written = false;  // the temporary is removed below
  }
  const bool renamed = written && kvo_replace_file(temporary.c_str(), target.c_str()) == 0;
  if (!renamed) {
    (void)kvo_unlink(temporary.c_str());
    return false;
  }
  sync_folder(target);
  return true;
}

}  // namespace

namespace kvoblk {
namespace detail {

#if defined(_WIN32)
std::filesystem::path path_of(const char* name) {
  const int bytes = static_cast<int>(std::strlen(name));
  const int n = MultiByteToWideChar(CP_ACP, 0, name, bytes, nullptr, 0);
  if (n <= 0) return std::filesystem::path();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, name, bytes, wide.data(), n);
  // A long path is reached by its long form, also by the temporary beside the file.
  return std::filesystem::path(kvo_long_form(wide));
}
#else
std::filesystem::path path_of(const char* name) { return std::filesystem::path(name); }
#endif

int file_kind(const std::filesystem::path& name) {
#if defined(_WIN32)
  if (name.native().rfind(L"\\\\?\\", 0) == 0) return kvo_long_kind(name.native());
#endif
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(name, ec);
  if (st.type() == std::filesystem::file_type::not_found) return 0;
  if (!std::filesystem::status_known(st)) return -1;
  return std::filesystem::is_regular_file(st) ? 1 : 2;
}

void kvoblk_pat_file_write(int blkptr, const char* path, kv_jac_t pattern, int* status) {
  KVOBLK_OUT(status);
  *status = 1;
  if (!path || !*path || blkptr == 0 || !live(blkptr, __func__)) return;
  try {
    const int nvar = block_nvar(blkptr), neq = block_neq(blkptr);
    // A pattern object's entries are block-local already; the block's own part of the global
    // Jacobian is made block-local.
    BlockPattern p;
    if (pattern != 0) {
      if (!pattern_of_object(pattern, 1, kvojac_inq_nnz(pattern), 1, 1, &p)) return;
    } else if (!pattern_of_block(blkptr, nullptr, &p)) {
      return;
    }
    // An entry outside the block would make a file that no reader can restore.
    if (first_outside(p, nvar, neq) >= 0) return;
    unsigned char digest[16];
    structure_digest(blkptr, pattern != 0 ? &p : nullptr, digest);
    if (replace_file(path, blkptr, nvar, neq, p, digest)) *status = 0;
  } catch (...) {
    *status = 1;
  }
}

}  // namespace detail
}  // namespace kvoblk
