// SPDX-License-Identifier: BSD-3-Clause
// The pattern file reader: a bounded tokenizer and the three passes (header, checksum,
// pattern) that trust nothing the file says.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "kvblk_internal.h"
#include "kvopat.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// ---- Reading -------------------------------------------------------------------------------

// Whitespace as the "%s" conversion knows it in the C locale, looked up by character.
struct Blanks {
  bool is[256];
  constexpr Blanks() : is{} {
    for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) is[c] = true;
  }
};
constexpr Blanks kBlanks;
inline bool blank(unsigned char c) { return kBlanks.is[c]; }

bool parse_int32(const char* s, size_t n, int base, int32_t* value);

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
    if (!given_back_.empty()) {
      token_ = std::move(given_back_.back().first);
      newline_ = given_back_.back().second;
      given_back_.pop_back();
      return true;
    }
    token_.clear();
    newline_ = false;
    // Skip blanks, then take characters up to the next blank, a buffer's span at a time.
    for (;;) {
      if (pos_ == len_ && !fill()) return false;
      for (char c; pos_ < len_ && blank(static_cast<unsigned char>(c = buffer_[pos_])); ++pos_)
        newline_ |= c == '\n' || c == '\r';
      if (pos_ < len_) break;
    }
    for (;;) {
      size_t start = pos_;
      while (pos_ < len_ && !blank(static_cast<unsigned char>(buffer_[pos_]))) ++pos_;
      token_.append(buffer_ + start, pos_ - start);
      if (pos_ < len_ || !fill()) return true;
    }
  }
  // Reads the next token as parse_int32 with base 0 reads it ("%i"): 1 with the value, 0 at
  // the end of the file, -1 for a token that is no such integer, which is then given back as
  // by unread(). A token that lies wholly in the buffer is read where it lies, without
  // copying it; tok() is then not the token.
  int next_int32(int32_t* value) {
    if (!pending_ && given_back_.empty()) {
      // The position in a local: the buffer holds characters, and a store of one could
      // otherwise be taken to change the position.
      const char* buf = buffer_;
      size_t pos = pos_;
      for (;;) {
        if (pos == len_) {
          if (!fill()) {
            token_.clear();
            return 0;
          }
          pos = pos_;
        }
        // The numbers stand right-aligned in wide fields: skip spaces eight at a time first.
        uint64_t eight = 0;
        while (pos + 8 <= len_ && (std::memcpy(&eight, buf + pos, 8), eight == kSpaces)) pos += 8;
        while (pos < len_ && blank(static_cast<unsigned char>(buf[pos]))) ++pos;
        if (pos < len_) break;
      }
      const size_t start = pos, len = len_;
      // Decimal digits without a leading zero and followed by a blank within the buffer, the
      // way the writer puts them, are taken as they are scanned.
      if (buf[pos] >= '1' && buf[pos] <= '9') {
        uint64_t magnitude = 0;
        size_t i = pos;
        for (; i < len && i - start < 11; ++i) {
          const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(buf[i])) - '0';
          if (digit > 9) break;
          magnitude = magnitude * 10 + digit;
        }
        if (i < len && blank(static_cast<unsigned char>(buf[i])) && magnitude <= INT32_MAX) {
          pos_ = i;
          *value = static_cast<int32_t>(magnitude);
          return 1;
        }
      }
      while (pos < len && !blank(static_cast<unsigned char>(buf[pos]))) ++pos;
      if (pos < len) {
        pos_ = pos;
        if (parse_int32(buf + start, pos - start, 0, value)) return 1;
        token_.assign(buf + start, pos - start);
        pending_ = true;
        return -1;
      }
      pos_ = start;  // the token runs on into the next buffer's span: read it whole below
    }
    if (!next()) return 0;
    if (parse_int32(token_.data(), token_.size(), 0, value)) return 1;
    pending_ = true;
    return -1;
  }
  // Gives the last token back; the next call of next() returns it again.
  void unread() { pending_ = true; }
  // A token with whether a line ended before it.
  using Token = std::pair<std::string, bool>;
  Token token() const { return {token_, newline_}; }
  // Gives back tokens read, in the order they were read: the next calls of next() return them
  // again before anything further in the file.
  void give_back(std::vector<Token> tokens) {
    for (auto it = tokens.rbegin(); it != tokens.rend(); ++it)
      given_back_.push_back(std::move(*it));
  }
  const std::string& tok() const { return token_; }
  bool is(const char* keyword) const { return token_ == keyword; }
  // Whether a line ended between the token before and the one next() read last.
  bool newline_before() const { return newline_; }
  // Whether tokens given back are still to come.
  bool replaying() const { return !given_back_.empty(); }

 private:
  bool fill() {
    len_ = std::fread(buffer_, 1, sizeof buffer_, file_);
    pos_ = 0;
    return len_ > 0;
  }
  static constexpr uint64_t kSpaces = 0x2020202020202020ull;
  std::FILE* file_;
  char buffer_[1 << 16];
  size_t pos_ = 0, len_ = 0;
  std::string token_;
  bool pending_ = false;
  bool newline_ = false;
  std::vector<Token> given_back_;  // the last to be returned first
};

// An integer token as the C conversions read it, but only when the whole token is the number
// and it fits: base 10 ("%d"), 0 ("%i": 0x... hexadecimal, 0... octal) or 16 ("%x", which
// takes an optional 0x and, like the C function, wraps a negative value).
bool parse_int(const char* s, size_t n, int base, int64_t* value) {
  size_t i = 0;
  bool negative = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  bool prefixed = i + 1 < n && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X');
  if (base == 0) base = prefixed ? 16 : (i < n && s[i] == '0') ? 8 : 10;
  if (base == 16 && prefixed) i += 2;
  if (i == n) return false;
  uint64_t magnitude = 0;
  if (base == 10) {
    // Decimal, the common case: one comparison a digit.
    for (; i < n; ++i) {
      const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(s[i])) - '0';
      if (digit > 9) return false;
      magnitude = magnitude * 10 + digit;
      if (magnitude > 0xFFFFFFFFull) return false;
    }
    *value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
  }
  for (; i < n; ++i) {
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

bool parse_int(const std::string& s, int base, int64_t* value) {
  return parse_int(s.data(), s.size(), base, value);
}

bool parse_int32(const char* s, size_t n, int base, int32_t* value) {
  int64_t v = 0;
  if (!parse_int(s, n, base, &v) || v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

bool parse_int32(const std::string& s, int base, int32_t* value) {
  return parse_int32(s.data(), s.size(), base, value);
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

// Reads the block id of the title line, after its keyword "block": the first word into *first,
// and the id whole into *id. The title box closes the line with an asterisk, alone after a short
// id and right after one that fills the box: when the line's last word ends in an asterisk, the
// id is every word of the line up to that asterisk, joined by single blanks, so that none of its
// words is taken for a keyword and asterisks of the id's own (a word ending in one, or one alone)
// stay in it. Otherwise the id is the first word, and the words read after it are given back, as
// a file whose tokens are laid out otherwise is read token by token. A title that starts among
// words given back lies on a line already looked at, which did not end in an asterisk: its id is
// its first word, and the line is not looked at again (once from every word "block" of it would
// take time that grows with the square of the line).
bool read_title(Tokens& in, std::string* first, std::string* id) {
  if (!in.next()) return false;
  *first = in.tok();
  // The words after the first up to the end of the line, then the first word of the next line.
  std::vector<Tokens::Token> more;
  size_t on_line = 0;
  if (!in.replaying()) {
    while (in.next()) {
      more.push_back(in.token());
      if (in.newline_before()) break;
      ++on_line;
    }
  }
  std::string words = *first;
  const std::string& last = on_line > 0 ? more[on_line - 1].first : *first;
  if (last.back() == '*') {
    for (size_t k = 0; k < on_line; ++k) words += ' ' + more[k].first;
    more.erase(more.begin(), more.begin() + static_cast<std::ptrdiff_t>(on_line));
  }
  in.give_back(std::move(more));
  if (words.back() == '*') words.pop_back();
  if (!words.empty() && words.back() == ' ') words.pop_back();
  *id = std::move(words);
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
      if (int_after_colon(in, 10, &count)) h->nvar = count, nvar = true;
    } else if (in.is("equations")) {
      // A count below 1 is read as it stands: the pattern pass refuses it in its own words.
      if (int_after_colon(in, 10, &count)) h->neq = count, neq = true;
    } else if (in.is("non-zeros")) {
      // A negative number of non-zeros is no count: it could be neither reserved nor filled.
      if (int_after_colon(in, 10, &count) && count >= 0) h->nnz = count, nnz = true;
    } else if (in.is("version")) {
      if (word_after_colon(in, &h->version)) version = true;
    } else if (in.is("block")) {
      if (read_title(in, &h->block_name, &h->title_id)) block = true;
    } else if (in.is("created")) {
      if (!in.next()) break;
      std::string text;
      int n = 0;
      for (; n < 9 && in.next(); ++n) text += (n ? " " : "") + in.tok();
      if (n == 9) h->date = text, date = true;
    }
  }
  // The message of the number of variables, the first item, opens with an empty line of its
  // own, whichever items are missing.
  auto report = [&](bool found, const char* what, bool first = false) {
    if (found) return;
    *status = 2;
    missing(path, what, first);
  };
  report(nvar, ". Could not find number of variables.", true);
  report(neq, ". Could not find number of equations.");
  report(nnz, ". Could not find number of non-zeros.");
  report(version, ". Could not find file format.");
  report(block, ". Could not find block name.");
  report(date, ". Could not find file date.");
}

void read_checksum(kvoblk_pat_header_t* h, Tokens& in, const char* path, int* status) {
  std::string word, id;
  while (in.next()) {
    if (in.is("block")) {
      read_title(in, &word, &id);  // an id is no keyword, whatever it reads
      continue;
    }
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
// token that is not one. The array grows with what is read; what it reserves is bounded by the
// size of the file, never by the count the file announces.
void read_ints(Tokens& in, int64_t wanted, int64_t file_bytes, HeapArray<int32_t>* values) {
  values->clear();
  if (!values->reserve(std::min<int64_t>(wanted, file_bytes / 2 + 1))) throw std::bad_alloc();
  int32_t v = 0;
  while (values->size() < wanted && in.next_int32(&v) == 1)
    if (!values->push_back(v)) throw std::bad_alloc();
}

void too_small(const char* path, const char* what, int64_t count) {
  kvoprintf(kvHisDev, "\n%s%s%s%d\n\n", "Error restoring sparsity from file ", path, what,
            static_cast<int>(count));
}

// The mode, and for a numeric pattern the settings that found it.
void read_mode(kvoblk_pat_header_t* h, Tokens& in, const char* path, int* status) {
  bool mode = false, size = false, tolerance = false, flag = false, amount = false;
  while (!(mode && size && tolerance && flag && amount) && in.next()) {
    std::string word, id;
    if (in.is("block")) {
      // The title's block id is no keyword, whatever it reads: a block called "mode", or
      // "REACTOR mode", must not be taken for the mode line.
      read_title(in, &word, &id);
    } else if (in.is("mode")) {
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
}

// The two data sections: the column of every entry, then the entries of every equation, from
// which the rows are rebuilt.
void read_entries(kvoblk_pat_header_t* h, Tokens& in, const char* path, int64_t file_bytes,
                  int* status) {
  HeapArray<int32_t>& rows = h->pattern.rows;
  HeapArray<int32_t>& cols = h->pattern.cols;
  rows.clear();
  bool pointers = false;
  while (!pointers && in.next()) pointers = in.is("Pointers");
  cols.clear();
  if (pointers && in.next()) read_ints(in, h->nnz, file_bytes, &cols);
  if (cols.size() < h->nnz) {
    *status = 4;
    too_small(path, ". Number of scanned column pointers too small :", cols.size());
    return;
  }
  HeapArray<int32_t> counts;
  bool count = false;
  while (!count && in.next()) count = in.is("Count");
  if (count && in.next()) read_ints(in, h->neq, file_bytes, &counts);
  if (counts.size() < h->neq) {
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
  if (!rows.resize(cols.size())) throw std::bad_alloc();
  int64_t k = 0;
  for (int64_t e = 0; e < counts.size(); ++e)
    for (int32_t c = 0; c < counts[e]; ++c) rows[k++] = static_cast<int32_t>(e + 1);
}

void read_pattern(kvoblk_pat_header_t* h, Tokens& in, const char* path, int64_t file_bytes,
                  int* status) {
  read_mode(h, in, path, status);
  if (*status != 0) return;
  if (h->neq < 1) {
    *status = 3;
    kvoprintf(kvHisDev, "\n%s%s%s%d\n\n", "Error restoring sparsity from file ", path,
              ". Number of equations = ", h->neq);
    kvoprintf(kvHisDev, "\n%s%s%s%d\n\n", "Error restoring sparsity from file ", path,
              ". Number of nonzeros = ", h->nnz);
    return;
  }
  read_entries(h, in, path, file_bytes, status);
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

// A name that is no regular file is not read: reading a device or a pipe might never end or
// block.
bool regular_or_absent(const std::filesystem::path& name) { return file_kind(name) != 2; }

void kvoblk_pat_file_read(kvoblk_pat_header_t* header, const char* path, int* status) {
  KVOBLK_OUT(status);
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
  // Opened by its path, in UTF-16 on Windows: the CRT's narrow fopen reads names in a code
  // page of its own, which is not UTF-8 even where the program's ANSI code page is.
  const std::filesystem::path name = path_of(path);
#if defined(_WIN32)
  std::FILE* file = regular_or_absent(name) ? _wfopen(name.c_str(), L"rb") : nullptr;
#else
  std::FILE* file = regular_or_absent(name) ? std::fopen(name.c_str(), "rb") : nullptr;
#endif
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

}  // namespace detail
}  // namespace kvoblk
