// SPDX-License-Identifier: BSD-3-Clause
// Internals of the Jacobian unit shared with the Fortran entry points: the identifier scanner
// behind KVOVARID_NEXT.
#pragma once

#include <kvoblk/host/kvo_numeric.h>

namespace kvoblk {
namespace detail {

// The next full-stop separated component of an identifier, Fortran style: `text` has `textlen`
// characters, `*pos` counts from 1; the token is blank-filled to `toklen` characters and
// receives the component (cut at `toklen`); `*count` is the component's length and `*pos`
// moves past its delimiter. A position outside the text yields an empty component.
inline void varid_next(const char* text, int textlen, int* pos, char* token, int toklen,
                       int* count) {
  if (token && toklen > 0) IU_CLRSTR(token, toklen);
  if (count) *count = 0;
  if (!pos) return;
  const int start = *pos;
  int n = 0;
  if (text && start >= 1 && start <= textlen) {
    for (int i = start - 1; i < textlen; ++i) {
      if (text[i] == '.' || text[i] == ' ') break;
      ++n;
    }
  }
  if (token) {
    for (int i = 0; i < n && i < toklen; ++i) token[i] = text[start - 1 + i];
  }
  if (count) *count = n;
  // A position at the very end of the integer range stays there rather than wrapping.
  const long long next = static_cast<long long>(start) + n + 1;
  *pos = next > 2147483647LL ? 2147483647 : static_cast<int>(next);
}

}  // namespace detail
}  // namespace kvoblk
