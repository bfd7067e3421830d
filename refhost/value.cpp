// SPDX-License-Identifier: BSD-3-Clause
// Value service of the reference host: tagged values holding a number, a text (string or
// identifier) or a logical, with conversion between the kinds and printing.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "kvorefhost.h"

namespace {

bool is_text_kind(int kind) { return kind == VALUE_STRING || kind == VALUE_IDENTIFIER; }

char* copy_text(const char* text) {
  const char* t = text ? text : "";
  const size_t n = std::strlen(t) + 1;
  char* copy = static_cast<char*>(std::malloc(n));
  if (copy) std::memcpy(copy, t, n);
  return copy;
}

// Makes `value` (already emptied) own `text`.
void set_text(value_t* value, int kind, char* text) {
  value->kind = kind;
  value->u.text = text ? text : copy_text("");
  if (!value->u.text) value->kind = VALUE_EMPTY;
}

kvo_number_t integer_number(int32_t i) {
  kvo_number_t n{};
  n.ival = i;
  n.rval = i;
  n.is_int = 1;
  return n;
}

std::string trimmed(const char* text) {
  std::string s = text ? text : "";
  const char* blanks = " \t\r\n\f\v";
  const size_t b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return std::string();
  const size_t e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

// Whether a decimal real that no double holds is below the smallest one rather than above the
// largest: its first significant digit stands after the decimal point once the exponent is
// applied. The text is one from_chars took whole: [-]digits[.digits][e[+-]digits].
bool below_smallest(const char* first, const char* last) {
  const char* e = std::find_if(first, last, [](char c) { return c == 'e' || c == 'E'; });
  int64_t exponent = 0;
  if (e != last) {
    const char* p = e + 1;
    const bool negative = p != last && *p == '-';
    if (p != last && (*p == '-' || *p == '+')) ++p;
    // Saturated far beyond any double's range, so that no exponent overflows.
    for (; p != last; ++p) exponent = std::min<int64_t>(exponent * 10 + (*p - '0'), 1000000);
    if (negative) exponent = -exponent;
  }
  // The power of ten of the first significant digit, before the exponent.
  const char* point = std::find(first, e, '.');
  const char* digit = std::find_if(first, e, [](char c) { return c >= '1' && c <= '9'; });
  if (digit == e) return true;  // zero never overflows; it is below everything
  const int64_t lead = digit < point ? point - digit - 1 : -(digit - point);
  return lead + exponent < 0;
}

// Parses the whole text as a number. Only decimal integers and decimal reals (with an optional
// exponent) count: hexadecimal, "inf" and "nan" are words, not numbers. A real too small for a
// double reads as zero of its sign, as strtod reads it; one too large is no number.
bool parse_number(const char* text, kvo_number_t* out) {
  const std::string s = trimmed(text);
  if (s.empty() || s.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
  const char* p = s.c_str();
  char* end = nullptr;
  errno = 0;
  const long l = std::strtol(p, &end, 10);
  if (*end == '\0' && errno == 0 && l >= INT32_MIN && l <= INT32_MAX) {
    *out = integer_number(static_cast<int32_t>(l));
    return true;
  }
  // Parsed the same whatever the locale.
  double d = 0.0;
  const char* last = p + std::strlen(p);
  const char* first = *p == '+' && p[1] != '-' ? p + 1 : p;  // "+2.5" as strtod takes it
  const auto parsed = std::from_chars(first, last, d);
  if (parsed.ptr != last) return false;
  if (parsed.ec == std::errc::result_out_of_range && below_smallest(first, last))
    d = *first == '-' ? -0.0 : 0.0;
  else if (parsed.ec != std::errc() || !std::isfinite(d))
    return false;
  *out = kvo_number_t{};
  out->rval = d;
  return true;
}

bool equals_ignoring_case(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return true;
}

bool parse_logical(const char* text, bool* out) {
  const std::string s = trimmed(text);
  for (const char* t : {"TRUE", "YES", "ON", "1"}) {
    if (equals_ignoring_case(s, t)) return *out = true, true;
  }
  for (const char* t : {"FALSE", "NO", "OFF", "0"}) {
    if (equals_ignoring_case(s, t)) return *out = false, true;
  }
  return false;
}

std::string number_text(const kvo_number_t& n) {
  char buf[64];
  if (n.is_int) {
    std::snprintf(buf, sizeof buf, "%d", n.ival);
  } else {
    // Formatted the same whatever the locale.
    const auto r = std::to_chars(buf, buf + sizeof buf - 1, n.rval, std::chars_format::general, 15);
    *r.ptr = '\0';
  }
  return buf;
}

// Deep copy, so that a conversion whose source and target are the same value stays sound. The
// copy's text (null for other kinds) is also handed back in `owned` and the caller frees that:
// ownership kept in a plain pointer is what the static analyzer can follow, a union member not.
value_t clone(const value_t& v, char** owned) {
  value_t c = v;
  *owned = nullptr;
  if (is_text_kind(v.kind)) {
    *owned = copy_text(v.u.text);
    c.u.text = *owned;
    if (!c.u.text) c.kind = VALUE_EMPTY;
  }
  return c;
}

// Fills the emptied `target` with `src` converted to `kind`; leaves it empty when the conversion
// is impossible.
void convert(const value_t& src, value_t* target, int kind) {
  switch (kind) {
    case VALUE_NUMBER: {
      kvo_number_t n{};
      if (src.kind == VALUE_NUMBER) {
        n = src.u.number;
      } else if (is_text_kind(src.kind)) {
        if (!parse_number(src.u.text, &n)) break;
      } else if (src.kind == VALUE_LOGICAL) {
        n = integer_number(src.u.logical ? 1 : 0);
      } else {
        break;
      }
      value_assign_number(target, &n);
      break;
    }
    case VALUE_STRING:
    case VALUE_IDENTIFIER: {
      std::string text;
      if (is_text_kind(src.kind)) {
        text = src.u.text;
      } else if (src.kind == VALUE_NUMBER) {
        text = number_text(src.u.number);
      } else if (src.kind == VALUE_LOGICAL) {
        text = src.u.logical ? "TRUE" : "FALSE";
      } else {
        break;
      }
      set_text(target, kind, copy_text(text.c_str()));
      break;
    }
    case VALUE_LOGICAL: {
      bool flag = false;
      if (src.kind == VALUE_LOGICAL) {
        flag = src.u.logical != 0;
      } else if (src.kind == VALUE_NUMBER) {
        flag = src.u.number.is_int ? src.u.number.ival != 0 : src.u.number.rval != 0.0;
      } else if (is_text_kind(src.kind)) {
        if (!parse_logical(src.u.text, &flag)) break;
      } else {
        break;
      }
      value_assign_logical(target, flag ? 1 : 0);
      break;
    }
    default:
      break;
  }
}

}  // namespace

extern "C" {

void value_init(value_t* value) {
  if (!value) return;
  std::memset(value, 0, sizeof *value);
  value->kind = VALUE_EMPTY;
}

void value_destroy(value_t* value) {
  if (!value) return;
  if (is_text_kind(value->kind)) std::free(value->u.text);
  value_init(value);
}

int value_coerce(const value_t* source, value_t* target, int kind, int /*zero*/) {
  if (!target) return VALUE_EMPTY;
  if (!source) {
    value_destroy(target);
    return VALUE_EMPTY;
  }
  char* owned = nullptr;
  value_t src = clone(*source, &owned);
  value_destroy(target);

  // A conversion that finds no memory for its text leaves the target empty, which the caller
  // takes for a value of the wrong kind.
  try {
    convert(src, target, kind);
  } catch (const std::bad_alloc&) {
    value_destroy(target);
  }
  std::free(owned);
  return target->kind;
}

void value_print(int device, const value_t* value) {
  if (!value) return;
  switch (value->kind) {
    case VALUE_NUMBER:
      if (value->u.number.is_int) {
        kvoprintf(device, "%d", value->u.number.ival);
      } else {
        // As "%g", with a decimal point whatever the locale. The text fits the small buffer,
        // so printing needs no heap.
        char buf[32];
        const auto r = std::to_chars(buf, buf + sizeof buf, value->u.number.rval,
                                     std::chars_format::general, 6);
        kvowrite(device, buf, static_cast<int>(r.ptr - buf));
      }
      break;
    case VALUE_STRING:
      kvoprintf(device, "\"%s\"", value->u.text ? value->u.text : "");
      break;
    case VALUE_IDENTIFIER:
      kvoprintf(device, "%s", value->u.text ? value->u.text : "");
      break;
    case VALUE_LOGICAL:
      kvoprintf(device, "%s", value->u.logical ? "TRUE" : "FALSE");
      break;
    default:
      break;
  }
}

void value_assign_string(value_t* value, char* text) {
  if (!value) {
    std::free(text);
    return;
  }
  if (is_text_kind(value->kind) && value->u.text == text) {  // already owns this text
    value->kind = VALUE_STRING;
    return;
  }
  value_destroy(value);
  set_text(value, VALUE_STRING, text);
}

void value_assign_id(value_t* value, char* text) {
  if (!value) {
    std::free(text);
    return;
  }
  if (is_text_kind(value->kind) && value->u.text == text) {  // already owns this text
    value->kind = VALUE_IDENTIFIER;
    return;
  }
  value_destroy(value);
  set_text(value, VALUE_IDENTIFIER, text);
}

void value_assign_logical(value_t* value, int flag) {
  if (!value) return;
  value_destroy(value);
  value->kind = VALUE_LOGICAL;
  value->u.logical = flag ? 1 : 0;
}

void value_assign_number(value_t* value, const kvo_number_t* number) {
  if (!value) return;
  if (!number) {
    value_destroy(value);
    return;
  }
  const kvo_number_t copy = *number;  // the record may live inside `value`
  value_destroy(value);
  value->kind = VALUE_NUMBER;
  value->u.number = copy;
}

}  // extern "C"
