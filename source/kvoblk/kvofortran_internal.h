// SPDX-License-Identifier: BSD-3-Clause
// Internals of the Fortran entry points shared by their units: the conversion of an incoming
// CHARACTER argument to text.
#pragma once

namespace kvoblk {
namespace detail {

// A CHARACTER argument as text.
enum class Conversion { absent, text, no_memory };

// Converts the n characters at `a`: four leading zero bytes (n >= 4) mean no text; a zero byte
// ends the text where it stands; otherwise trailing blanks are dropped. Reads no byte beyond
// the n given. The text is a malloc'ed copy for the caller (set only for Conversion::text).
Conversion convert(const char* a, int n, char** out);

}  // namespace detail
}  // namespace kvoblk
