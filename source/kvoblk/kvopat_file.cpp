// The sparsity pattern file: the writer, the three-pass reader, the restore of a block's pattern
// from its file and the dimension query that reads only the file's header.
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
void write_values(FileOut& out, const std::vector<int32_t>& values) {
  size_t n = values.size();
  for (size_t i = 0; i < n; ++i) {
    out.integer(values[i], 10);
    if ((i + 1) % 7 == 0) out.put("\n", 1);
  }
  if (n == 0 || n % 7 != 0) out.put("\n", 1);
}

// Writes the whole file to `file`; false when a write failed.
bool write_pattern(FileOut& out, int blkptr, int nvar, int neq, const std::vector<int32_t>& rows,
                   const std::vector<int32_t>& cols, const unsigned char digest[16]) {
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
  out.integer(static_cast<long long>(cols.size()));
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
  write_values(out, cols);

  // Entries are grouped by row, so the per-equation counts are all a reader needs to rebuild
  // the rows.
  std::vector<int32_t> counts(static_cast<size_t>(neq), 0);
  for (int32_t r : rows) ++counts[static_cast<size_t>(r - 1)];
  out.put("\n\n");
  out.repeat('=', 27);
  out.put(" Equation Incidence Count ");
  out.repeat('=', 25);
  out.put("\n\n");
  write_values(out, counts);
  return out.close();
}

// ---- Reading -------------------------------------------------------------------------------

// Whitespace as the "%s" conversion knows it in the C locale.
inline bool blank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Whitespace-separated tokens of a file, read whole whatever their length, with one token of
// push-back so that a value that does not parse can still be seen as a keyword.
class Tokens {
 public:
  explicit Tokens(std::FILE* file) : file_(file) {}
  ~Tokens() { std::fclose(file_); }
  Tokens(const Tokens&) = delete;
  Tokens& operator=(const Tokens&) = delete;

  // Reads the next token into tok(); false at the end of the file.
  bool next() {
    if (pending_) {
      pending_ = false;
      return true;
    }
    token_.clear();
    // Skip blanks, then take characters up to the next blank, a buffer's span at a time.
    for (;;) {
      if (pos_ == len_ && !fill()) return false;
      while (pos_ < len_ && blank(static_cast<unsigned char>(buffer_[pos_]))) ++pos_;
      if (pos_ < len_) break;
    }
    for (;;) {
      size_t start = pos_;
      while (pos_ < len_ && !blank(static_cast<unsigned char>(buffer_[pos_]))) ++pos_;
      token_.append(buffer_ + start, pos_ - start);
      if (pos_ < len_ || !fill()) return true;
    }
  }
  // Gives the last token back; the next call of next() returns it again.
  void unread() { pending_ = true; }
  const std::string& tok() const { return token_; }
  bool is(const char* keyword) const { return token_ == keyword; }

 private:
  bool fill() {
    len_ = std::fread(buffer_, 1, sizeof buffer_, file_);
    pos_ = 0;
    return len_ > 0;
  }
  std::FILE* file_;
  char buffer_[1 << 16];
  size_t pos_ = 0, len_ = 0;
  std::string token_;
  bool pending_ = false;
};

// An integer token as the C conversions read it, but only when the whole token is the number
// and it fits: base 10 ("%d"), 0 ("%i": 0x... hexadecimal, 0... octal) or 16 ("%x", which
// takes an optional 0x and, like the C function, wraps a negative value).
bool parse_int(const std::string& s, int base, int64_t* value) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  bool prefixed = i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X');
  if (base == 0) base = prefixed ? 16 : (i < s.size() && s[i] == '0') ? 8 : 10;
  if (base == 16 && prefixed) i += 2;
  if (i == s.size()) return false;
  uint64_t magnitude = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : 99;
    if (digit >= base) return false;
    magnitude = magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (magnitude > 0xFFFFFFFFull) return false;
  }
  *value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool parse_int32(const std::string& s, int base, int32_t* value) {
  int64_t v = 0;
  if (!parse_int(s, base, &v) || v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

// A finite double written in decimal ("%le" without the locale: the point is always '.').
bool parse_double(const std::string& s, double* value) {
  const char* first = s.data();
  const char* last = first + s.size();
  if (first != last && *first == '+') ++first;
  if (first == last || *first == '+') return false;
  double v = 0;
  auto result = std::from_chars(first, last, v, std::chars_format::general);
  if (result.ec != std::errc() || result.ptr != last || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

// After a keyword: skips one token (the colon) and reads the value token. A value that does not
// parse is given back, so the keyword counts as not found.
bool int_after_colon(Tokens& in, int base, int32_t* value) {
  if (!in.next() || !in.next()) return false;
  if (parse_int32(in.tok(), base, value)) return true;
  in.unread();
  return false;
}

bool double_after_colon(Tokens& in, double* value) {
  if (!in.next() || !in.next()) return false;
  if (parse_double(in.tok(), value)) return true;
  in.unread();
  return false;
}

bool word_after_colon(Tokens& in, std::string* word) {
  if (!in.next() || !in.next()) return false;
  *word = in.tok();
  return true;
}

void missing(const char* path, const char* what, bool first) {
  kvoprintf(kvHisDev, first ? "\n\n%s%s%s\n\n" : "\n%s%s%s\n\n", "Error reading file ", path, what);
}

void read_header(kvoblk_pat_header_t* h, Tokens& in, const char* path, int* status) {
  bool nvar = false, neq = false, nnz = false, version = false, block = false, date = false;
  while (!(nvar && neq && nnz && version && block && date) && in.next()) {
    int32_t count = 0;
    if (in.is("variables")) {
      // A negative count is no count.
      if (int_after_colon(in, 10, &count) && count >= 0) h->nvar = count, nvar = true;
    } else if (in.is("equations")) {
      if (int_after_colon(in, 10, &count) && count >= 0) h->neq = count, neq = true;
    } else if (in.is("non-zeros")) {
      if (int_after_colon(in, 10, &count) && count >= 0) h->nnz = count, nnz = true;
    } else if (in.is("version")) {
      if (word_after_colon(in, &h->version)) version = true;
    } else if (in.is("block")) {
      if (in.next()) h->block_name = in.tok(), block = true;
    } else if (in.is("created")) {
      if (!in.next()) break;
      std::string text;
      int n = 0;
      for (; n < 9 && in.next(); ++n) text += (n ? " " : "") + in.tok();
      if (n == 9) h->date = text, date = true;
    }
  }
  bool first = true;
  auto report = [&](bool found, const char* what) {
    if (found) return;
    *status = 2;
    missing(path, what, first);
    first = false;
  };
  report(nvar, ". Could not find number of variables.");
  report(neq, ". Could not find number of equations.");
  report(nnz, ". Could not find number of non-zeros.");
  report(version, ". Could not find file format.");
  report(block, ". Could not find block name.");
  report(date, ". Could not find file date.");
}

void read_checksum(kvoblk_pat_header_t* h, Tokens& in, const char* path, int* status) {
  while (in.next()) {
    if (!in.is("Checksum") || !in.next()) continue;  // the parenthesis follows the keyword
    unsigned char sum[16];
    int k = 0;
    for (int64_t v = 0; k < 16 && in.next(); ++k) {
      if (!parse_int(in.tok(), 16, &v)) {
        in.unread();
        break;
      }
      sum[k] = static_cast<unsigned char>(static_cast<uint64_t>(v) & 0xFF);
    }
    if (k == 16) {
      std::memcpy(h->checksum, sum, 16);
      return;
    }
  }
  *status = 2;
  kvoprintf(kvHisDev, "\n%s%s%s\n\n", "Error reading file ", path, ". Could not find checksum.");
}

// Reads up to `wanted` integers ("%i") into `values`, stopping at the end of the file or at a
// token that is not one. The vector grows with what is read; what it reserves is bounded by the
// size of the file, never by the count the file announces.
void read_ints(Tokens& in, int64_t wanted, int64_t file_bytes, std::vector<int32_t>* values) {
  values->clear();
  values->reserve(static_cast<size_t>(std::min<int64_t>(wanted, file_bytes / 2 + 1)));
  int32_t v = 0;
  while (static_cast<int64_t>(values->size()) < wanted && in.next()) {
    if (!parse_int32(in.tok(), 0, &v)) {
      in.unread();
      return;
    }
    values->push_back(v);
  }
}

void too_small(const char* path, const char* what, size_t count) {
  kvoprintf(kvHisDev, "\n%s%s%s%d\n\n", "Error restoring sparsity from file ", path, what,
            static_cast<int>(count));
}

void read_pattern(kvoblk_pat_header_t* h, Tokens& in, const char* path, int64_t file_bytes,
                  int* status) {
  // The mode, and for a numeric pattern the settings that found it.
  bool mode = false, size = false, tolerance = false, flag = false, amount = false;
  while (!(mode && size && tolerance && flag && amount) && in.next()) {
    std::string word;
    if (in.is("mode")) {
      if (!word_after_colon(in, &word)) continue;
      int m = word == "NUMERIC" ? 2 : word == "ANALYTIC" ? 1 : word == "UNDEFINED" ? 0 : -1;
      if (m < 0) {
        // A mode line without a known word (a pattern of another type is written that way):
        // the mode counts as found, as UNDEFINED, with no numeric settings to follow. The
        // word may be the next keyword, so it is read again.
        in.unread();
        m = 0;
      }
      h->mode = m;
      mode = true;
      if (m != 2) size = tolerance = flag = amount = true;
    } else if (mode && h->mode == 2 && in.is("size")) {
      size = double_after_colon(in, &h->pertsize) || size;
    } else if (mode && h->mode == 2 && in.is("tolerance")) {
      tolerance = double_after_colon(in, &h->zerotol) || tolerance;
    } else if (mode && h->mode == 2 && in.is("zero")) {
      if (!word_after_colon(in, &word)) continue;
      h->move = word == "YES" ? 1 : 0;
      flag = true;
      if (h->move == 0) amount = true;
    } else if (flag && h->move == 1 && in.is("by")) {
      amount = double_after_colon(in, &h->moveamount) || amount;
    }
  }
  auto report = [&](const char* what) {
    *status = 2;
    kvoprintf(kvHisDev, "\n%s%s%s\n\n", "Error reading file ", path, what);
  };
  if (!mode) {
    report(". Could not find sparsity type.");
  } else {
    if (!size) report(". Could not find perturbation size.");
    if (!tolerance) report(". Could not find zero tolerance.");
    if (!flag) report(". Could not find move away from zero flag.");
    if (flag && !amount) report(". Could not find move from zero amount.");
  }
  if (*status != 0) return;

  if (h->neq < 1) {
    *status = 3;
    kvoprintf(kvHisDev, "\n%s%s%s%d\n\n", "Error restoring sparsity from file ", path,
              ". Number of equations = ", h->neq);
    kvoprintf(kvHisDev, "\n%s%s%s%d\n\n", "Error restoring sparsity from file ", path,
              ". Number of nonzeros = ", h->nnz);
    return;
  }

  // Column of every entry.
  h->rows.clear();
  bool pointers = false;
  while (!pointers && in.next()) pointers = in.is("Pointers");
  h->cols.clear();
  if (pointers && in.next()) read_ints(in, h->nnz, file_bytes, &h->cols);
  if (static_cast<int64_t>(h->cols.size()) < h->nnz) {
    *status = 4;
    too_small(path, ". Number of scanned column pointers too small :", h->cols.size());
    return;
  }

  // Entries of every equation.
  std::vector<int32_t> counts;
  bool count = false;
  while (!count && in.next()) count = in.is("Count");
  if (count && in.next()) read_ints(in, h->neq, file_bytes, &counts);
  if (static_cast<int64_t>(counts.size()) < h->neq) {
    *status = 4;
    too_small(path, ". Number of scanned equation incidence counts too small :", counts.size());
    return;
  }

  // The counts must account for every column read, no more and no less; otherwise the rows
  // cannot be rebuilt. The restore reports this as missing elements.
  int64_t sum = 0;
  for (int32_t c : counts) {
    if (c < 0) {
      *status = 4;
      return;
    }
    sum += c;
  }
  if (sum != h->nnz) {
    *status = 4;
    return;
  }
  h->rows.clear();
  h->rows.reserve(h->cols.size());
  for (size_t e = 0; e < counts.size(); ++e)
    h->rows.insert(h->rows.end(), static_cast<size_t>(counts[e]), static_cast<int32_t>(e + 1));
}

// ---- Restoring -----------------------------------------------------------------------------

// The block's current placement: numbers of variables and equations (0 when none).
int range(int blkptr, int start, int stop) {
  int64_t n = static_cast<int64_t>(word(blkptr, stop)) - word(blkptr, start) + 1;
  return n > 0 && n <= INT32_MAX ? static_cast<int>(n) : 0;
}
int block_nvar(int blkptr) { return range(blkptr, W::vstart, W::vstop); }
int block_neq(int blkptr) { return range(blkptr, W::estart, W::estop); }

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
  int status = 0;
  kvoblk_pat_file_write(blkptr, path, pattern, &status);
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
  if (status == 0 && static_cast<int64_t>(h.nnz) > static_cast<int64_t>(h.nvar) * h.neq) status = 4;
  if (status == 0) {
    // Every entry must lie inside the block as it is placed now.
    const int nvar = block_nvar(blkptr), neq = block_neq(blkptr);
    for (size_t k = 0; k < h.cols.size() && status == 0; ++k)
      if (h.rows[k] < 1 || h.rows[k] > neq || h.cols[k] < 1 || h.cols[k] > nvar) status = 4;
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

  // The stored digest must be the block's own for these entries.
  static int32_t none = 0;
  unsigned char digest[16];
  structure_digest(blkptr, h.nnz, h.rows.empty() ? &none : h.rows.data(),
                   h.cols.empty() ? &none : h.cols.data(), digest);
  if (std::memcmp(digest, h.checksum, 16) != 0) {
    ++*errors;
    rpat_error(spath, id, "File cheksum does not match.");
    return 0;
  }

  kv_jac_t pattern = kvojac_create(h.nnz);
  if (pattern == 0) {
    ++*errors;
    return 0;
  }
  kvojac_set_nnz(pattern, h.nnz);
  kvojac_set_columns(pattern, h.cols.data());
  kvojac_set_rows(pattern, h.rows.data());
  kvoblk_set_pat_type(blkptr, h.mode);
  if (h.mode == KVOBLK_PATTYPE_NUMERIC) {
    kvoblk_set_pertsize(blkptr, h.pertsize);
    kvoblk_set_zerotol(blkptr, h.zerotol);
    kvoblk_set_move(blkptr, h.move);
    if (h.move == 1) kvoblk_set_moveamount(blkptr, h.moveamount);
  }
  return pattern;
}

// False for a name that exists but is no regular file (a directory, a device, a pipe): such a
// name is neither read, which might never end or block, nor replaced by a pattern file.
bool regular_or_absent(const std::filesystem::path& name) {
  std::error_code ec;
  std::filesystem::file_status st = std::filesystem::status(name, ec);
  return !std::filesystem::exists(st) || std::filesystem::is_regular_file(st);
}

// Creates the temporary a new pattern file is written to, beside `target` and under a fresh
// name. It never opens an entry that already exists, nor follows a link: anything planted at a
// name it tries is left alone and another name is taken. The file gets the permissions of the
// file it replaces, or those of a new file (0666 less the umask). Answers the descriptor, or -1.
int create_temporary(const std::filesystem::path& target, std::string* name) {
  struct stat old {};
  const bool replacing = ::stat(target.c_str(), &old) == 0;
  static uint64_t serial = 0;
  for (int attempt = 0; attempt < 64; ++attempt) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    uint64_t mix = static_cast<uint64_t>(now) ^ (static_cast<uint64_t>(getpid()) << 32);
    mix ^= ++serial * 0x9E3779B97F4A7C15ull;
    mix ^= reinterpret_cast<uintptr_t>(&mix);
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".kvotmp%012llx",
                  static_cast<unsigned long long>(mix & 0xFFFFFFFFFFFFull));
    *name = target.string() + suffix;
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    const int fd = ::open(name->c_str(), flags, 0666);
    if (fd >= 0) {
      // A file system without permission bits keeps its own; the pattern is written all the same.
      if (replacing) (void)::fchmod(fd, old.st_mode & 07777);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// Makes a rename in the folder of `target` durable; a folder that cannot be synchronised is
// no reason to fail, the file itself is complete.
void sync_folder(const std::filesystem::path& target) {
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

// Size of an open file in bytes, or a large bound when it cannot be told.
int64_t file_size(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return INT32_MAX;
  long size = std::ftell(file);
  std::rewind(file);
  return size < 0 ? INT32_MAX : static_cast<int64_t>(size);
}

}  // namespace

namespace kvoblk {
namespace detail {

void kvoblk_pat_file_write(int blkptr, const char* path, kv_jac_t pattern, int* status) {
  int ignored = 0;
  if (!status) status = &ignored;
  *status = 1;
  if (!path || !*path || blkptr == 0 || !live(blkptr, __func__)) return;
  try {
    const int nvar = block_nvar(blkptr), neq = block_neq(blkptr);
    std::vector<int32_t> rows, cols;
    if (pattern != 0) {
      // A pattern object's entries are block-local already.
      int nnz = kvojac_inq_nnz(pattern);
      rows.reserve(static_cast<size_t>(nnz > 0 ? nnz : 0));
      cols.reserve(rows.capacity());
      for (int k = 1; k <= nnz; ++k) {
        rows.push_back(kvojac_inq_nz_eqnnum(pattern, k));
        cols.push_back(kvojac_inq_nz_varnum(pattern, k));
      }
    } else if (word(blkptr, W::nzstop) >= word(blkptr, W::nzstart)) {
      // The block's own part of the global Jacobian, converted to block-local numbers.
      kv_jac_t jac = blk_inq_matrix_jacobian(blkptr);
      if (jac == 0) return;
      const int nzstart = word(blkptr, W::nzstart), nzstop = word(blkptr, W::nzstop);
      const int vstart = word(blkptr, W::vstart), estart = word(blkptr, W::estart);
      KVJacIrn irn(&jac);
      KVJacIcn icn(&jac);
      if (nzstart < 1 || nzstop > irn.size() || nzstop > icn.size()) return;
      for (int p = nzstart; p <= nzstop; ++p) {
        rows.push_back(irn[p - 1] - estart + 1);
        cols.push_back(icn[p - 1] - vstart + 1);
      }
    }
    // An entry outside the block would make a file that no reader can restore.
    for (size_t k = 0; k < rows.size(); ++k)
      if (rows[k] < 1 || rows[k] > neq || cols[k] < 1 || cols[k] > nvar) return;

    unsigned char digest[16];
    static int32_t none = 0;
    if (pattern != 0)
      structure_digest(blkptr, static_cast<int>(rows.size()), rows.empty() ? &none : rows.data(),
                       cols.empty() ? &none : cols.data(), digest);
    else
      structure_digest(blkptr, static_cast<int>(rows.size()), nullptr, nullptr, digest);

    // The new file replaces the old one only once it is complete: it is written under a
    // temporary name beside the file it replaces, forced to the medium and then renamed. A name
    // that is a symbolic link stays a link: the file it names is replaced whole, never written
    // into.
    std::error_code ec;
    std::filesystem::path target(path);
    for (int hops = 0; hops < 40 && std::filesystem::is_symlink(target, ec); ++hops) {
      std::filesystem::path link = std::filesystem::read_symlink(target, ec);
      if (ec) break;
      target = link.is_absolute() ? link : target.parent_path() / link;
    }
    if (!regular_or_absent(target)) return;
    std::string temporary;
    const int fd = create_temporary(target, &temporary);
    if (fd < 0) return;
    std::FILE* file = fdopen(fd, "wb");
    if (!file) {
      ::close(fd);
      ::unlink(temporary.c_str());
      return;
    }
    bool written = false;
    try {
      FileOut out(file);
      written = write_pattern(out, blkptr, nvar, neq, rows, cols, digest);
    } catch (...) {
      written = false;  // the temporary is removed below
    }
    if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
      ::unlink(temporary.c_str());
      return;
    }
    sync_folder(target);
    *status = 0;
  } catch (...) {
    *status = 1;
  }
}

void kvoblk_pat_file_read(kvoblk_pat_header_t* header, const char* path, int* status) {
  int ignored = 0;
  if (!status) status = &ignored;
  *status = 0;
  if (!path) {
    kvoprintf(kvHisDev, "\n%s%s\n\n", "Error trying to open a sparsity file.", "No name supplied.");
    *status = 1;
    return;
  }
  if (!header) {
    *status = 1;
    return;
  }
  std::FILE* file = regular_or_absent(path) ? std::fopen(path, "rb") : nullptr;
  if (!file) {
    *status = 1;
    return;
  }
  const int64_t bytes = file_size(file);
  std::unique_ptr<Tokens> in;
  try {
    in = std::make_unique<Tokens>(file);
  } catch (...) {
    std::fclose(file);
    *status = 2;
    return;
  }
  try {
    switch (header->pass) {
      case 1:
        read_header(header, *in, path, status);
        break;
      case 2:
        read_checksum(header, *in, path, status);
        break;
      case 3:
        read_pattern(header, *in, path, bytes, status);
        break;
      default:
        *status = 2;
        break;
    }
  } catch (...) {
    *status = 2;
  }
}

void kvoblk_pat_file_dim(int blkptr, int max_nvar, int max_neq, int* nnz, int* errors) {
  int ignored_nnz = 0, ignored_errors = 0;
  if (!nnz) nnz = &ignored_nnz;
  if (!errors) errors = &ignored_errors;
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
      // more, and alone when the block has no id.
      const bool same = h.block_name == id || (id.size() >= 43 && h.block_name == id + "*") ||
                        (id.empty() && h.block_name == "*");
      if (!same) {
        ++*errors;
        kvoprintf(kvHisDev, "\n%s %s\n%s\n%s %s\n%s %s\n\n", error_head, spath.c_str(),
                  "Block id names do not match.", "Block id           : ", id.c_str(),
                  "Block id from file : ", h.block_name.c_str());
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
      const int64_t most = static_cast<int64_t>(h.nvar) * static_cast<int64_t>(h.neq);
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
  int ignored = 0;
  if (!errors) errors = &ignored;
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
