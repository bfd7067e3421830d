// SPDX-License-Identifier: BSD-3-Clause
// The Fortran entry points: each dereferences its arguments, converts CHARACTER arguments and
// forwards to the block function it twins. Port handles handed out are reference numbers.
#include <kvoblk/kvofortran.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "kvblk_internal.h"
#include "kvofortran_internal.h"
#include "kvojac_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// A missing handle is handle 0, which every forwarded function answers silently.
int handle(const int* blkptr) { return blkptr ? *blkptr : 0; }

}  // namespace

namespace kvoblk {
namespace detail {

Conversion convert(const char* a, int n, char** out) {
  *out = nullptr;
  if (!a) return Conversion::absent;
  const size_t length = n > 0 ? static_cast<size_t>(n) : 0;
  if (length >= 4 && a[0] == 0 && a[1] == 0 && a[2] == 0 && a[3] == 0) return Conversion::absent;
  size_t m = length;
  if (const void* zero = std::memchr(a, 0, length)) {
    m = static_cast<size_t>(static_cast<const char*>(zero) - a);
  } else {
    while (m > 0 && a[m - 1] == ' ') --m;
  }
  char* t = static_cast<char*>(heap_malloc(m + 1));
  if (!t) return Conversion::no_memory;
  if (m > 0) std::memcpy(t, a, m);
  t[m] = 0;
  *out = t;
  return Conversion::text;
}

}  // namespace detail
}  // namespace kvoblk

namespace {

// The block id, blank-padded into the n characters at `out`; the id's length plus 1.
int copy_blkid(const char* fn, const int* blkptr, char* out, int n) {
  const int b = handle(blkptr);
  const char* id = b != 0 && live(b, fn) ? text(blkid(b)) : "";
  const size_t length = std::strlen(id);
  const size_t room = out && n > 0 ? static_cast<size_t>(n) : 0;
  const size_t copied = length < room ? length : room;
  if (copied > 0) std::memcpy(out, id, copied);
  if (room > copied) std::memset(out + copied, ' ', room - copied);
  return length < static_cast<size_t>(INT_MAX) ? static_cast<int>(length) + 1 : INT_MAX;
}

// The number under which the block's port array holds `port`, or 0 when it is not there (a
// model's own numbering may hand out ports the block does not hold; those have no number). A
// port above a lowered count is still the block's and keeps its number. The entry `hint`
// (1-based) is looked at first: with the library's numbering port i sits at entry i, so walking
// a block's ports one by one does not search the array for each. `serial` is the block's from
// before the look-up: a block made at the handle meanwhile is another block, and its ports are
// none of the one asked.
int port_number(int blkptr, uint64_t serial, const nux_port* port, int hint = 0) {
  if (!port || !same_serial(blkptr, serial)) return 0;
  const int array = word(blkptr, W::ports);
  const int n = array != 0 ? facts(blkptr)->port_capacity : 0;
  if (hint >= 1 && hint <= port_count(blkptr)) {
    const int32_t ref = word(array, hint - 1);
    if (ref != 0 && ref_get(ref) == port) return ref;
  }
  for (int i = 0; i < n; ++i) {
    const int32_t ref = word(array, i);
    if (ref != 0 && ref_get(ref) == port) return ref;
  }
  return 0;
}

}  // namespace

extern "C" {

// ---- Creation and destruction --------------------------------------------------------------

KVOBLK_API int _KVOBLK_BASE_CREATE_F(const int* nwords) {
  return nwords ? kvoblk_base_create(*nwords) : 0;
}

KVOBLK_API void _KVOBLK_BASE_DESTROY_F(const int* blkptr) { kvoblk_base_destroy(handle(blkptr)); }

KVOBLK_API void _KVOBLK_BASE_DE_INI_F(const int* blkptr, int* status) {
  kvoblk_base_de_ini(handle(blkptr), status);
}

// ---- Ranges --------------------------------------------------------------------------------

#define KVOBLK_RANGE_TWINS(NAME, name)                                          \
  KVOBLK_API int _KVOBLK_INQ_##NAME##_F(const int* blkptr) {                    \
    return kvoblk_inq_##name(handle(blkptr));                                   \
  }                                                                             \
  KVOBLK_API void _KVOBLK_SET_##NAME##_F(const int* blkptr, const int* value) { \
    if (value) kvoblk_set_##name(handle(blkptr), *value);                       \
  }
KVOBLK_RANGE_TWINS(VSTART, vstart)
KVOBLK_RANGE_TWINS(VSTOP, vstop)
KVOBLK_RANGE_TWINS(ESTART, estart)
KVOBLK_RANGE_TWINS(ESTOP, estop)
KVOBLK_RANGE_TWINS(NZSTART, nzstart)
KVOBLK_RANGE_TWINS(NZSTOP, nzstop)
#undef KVOBLK_RANGE_TWINS

// ---- Matrix lists --------------------------------------------------------------------------

KVOBLK_API void _BLK_INQ_MATRIX_F(const int* blkptr, int* varlst, int* eqnlst, int* jac) {
  blk_inq_matrix(handle(blkptr), varlst, eqnlst, jac);
}

KVOBLK_API int _BLK_INQ_MATRIX_VARLST_F(const int* blkptr) {
  return blk_inq_matrix_varlst(handle(blkptr));
}

KVOBLK_API int _BLK_INQ_MATRIX_EQNLST_F(const int* blkptr) {
  return blk_inq_matrix_eqnlst(handle(blkptr));
}

KVOBLK_API int _BLK_INQ_MATRIX_JACOBIAN_F(const int* blkptr) {
  return blk_inq_matrix_jacobian(handle(blkptr));
}

KVOBLK_API void _BLK_SET_MATRIX_PRECEDENCE_F(const int* blkptr, const int* precedence) {
  if (precedence) blk_set_matrix_precedence(handle(blkptr), *precedence);
}

// ---- Block id ------------------------------------------------------------------------------

KVOBLK_API void _BLK_SET_BLKID_F(const int* blkptr, const char* id, int idlen) {
  const int b = handle(blkptr);
  if (!live(b, __func__)) return;
  char* t = nullptr;
  // The block owns the copy and none clears the id; without room for the copy or its reference
  // the block keeps the id it had rather than losing it.
  if (convert(id, idlen, &t) == Conversion::no_memory || !store_blkid(b, t)) {
    head(__func__);
    kvoprintf(kvHisDev, "Out of memory for the block id\n");
  }
}

KVOBLK_API int _BLK_COPY_BLKID_F(const int* blkptr, char* id, int idlen) {
  return copy_blkid(__func__, blkptr, id, idlen);
}

KVOBLK_API int KVOBLK_ID(const int* blkptr, char* id, int idlen) {
  return copy_blkid(__func__, blkptr, id, idlen);
}

KVOBLK_API int _KVOBLK_ID(const int* blkptr, char* id, int idlen) {
  return copy_blkid(__func__, blkptr, id, idlen);
}

// ---- Ports ---------------------------------------------------------------------------------

KVOBLK_API int _KVOBLK_GET_PORT_F(const int* blkptr, const char* name, int namelen) {
  const int b = handle(blkptr);
  char* t = nullptr;
  const Conversion c = convert(name, namelen, &t);
  if (c == Conversion::no_memory) {
    // Not the answer for a name that finds no port: the name was never looked up.
    head(__func__);
    kvoprintf(kvHisDev, "Out of memory for the port name\n");
  }
  if (c != Conversion::text) return 0;  // no name finds no port
  const uint64_t serial = serial_of(b);
  nux_port* port = kvoblk_get_port(b, t);
  std::free(t);
  // The look-up ran model code: the block may be gone and the workspace may have moved.
  return port_number(b, serial, port);
}

KVOBLK_API int _KVOBLK_GET_PORT_N_F(const int* blkptr, const int* i) {
  if (!i) return 0;
  const int b = handle(blkptr);
  const uint64_t serial = serial_of(b);
  return port_number(b, serial, kvoblk_get_port_n(b, *i), *i);
}

KVOBLK_API int _BLK_INQ_NUM_PORTS_F(const int* blkptr) {
  const int b = handle(blkptr);
  return live(b, __func__) ? word(b, W::num_ports) : 0;
}

KVOBLK_API void _BLK_SET_NUM_PORTS_F(const int* blkptr, const int* n) {
  const int b = handle(blkptr);
  if (!n || *n < 0 || !live(b, __func__)) return;
  // Stored as given. Ports above a lowered count stay in the array: the block destroys them
  // with itself, and the next port added goes after them, never over them.
  word(b, W::num_ports) = *n;
}

// ---- Inclusion and settings ----------------------------------------------------------------

KVOBLK_API int _KVOBLK_INQ_INCLUDED_F(const int* blkptr) {
  return kvoblk_inq_included(handle(blkptr));
}

KVOBLK_API void _KVOBLK_SET_NLRATIO_F(const int* blkptr, const double* value) {
  if (value) kvoblk_set_nlratio(handle(blkptr), *value);
}

#define KVOBLK_SETTING_TWINS(NAME, name, type)                                   \
  KVOBLK_API type _KVOBLK_INQ_##NAME##_F(const int* blkptr) {                    \
    return kvoblk_inq_##name(handle(blkptr));                                    \
  }                                                                              \
  KVOBLK_API void _KVOBLK_SET_##NAME##_F(const int* blkptr, const type* value) { \
    if (value) kvoblk_set_##name(handle(blkptr), *value);                        \
  }
KVOBLK_SETTING_TWINS(NLRATIODEV, nlratiodev, double)
KVOBLK_SETTING_TWINS(MOVEAMOUNT, moveamount, double)
KVOBLK_SETTING_TWINS(PERTSIZE, pertsize, double)
KVOBLK_SETTING_TWINS(MOVE, move, int)
KVOBLK_SETTING_TWINS(DERIV_TYPE, deriv_type, int)
#undef KVOBLK_SETTING_TWINS

// ---- Pattern and Jacobian ------------------------------------------------------------------

KVOBLK_API int _KVOBLK_INQ_PAT_INI_F(const int* blkptr) {
  return kvoblk_inq_pat_ini_type(handle(blkptr));
}

KVOBLK_API void _KVOBLK_PAT_INI_F(const int* blkptr, const int* nzstart, int* errors) {
  if (!nzstart) {
    if (errors) ++*errors;  // nowhere to put the pattern: one failure, as the counter counts
    return;
  }
  kvoblk_pat_ini(handle(blkptr), *nzstart, errors);
}

KVOBLK_API void _KVOBLK_JAC_F(const int* blkptr, int* status) {
  kvoblk_jac(handle(blkptr), status);
}

KVOBLK_API void _KVOBLK_GROUP_JAC_F(const int* blkptr, const int* group, int* status) {
  if (!group) {
    if (status) *status = 1;
    return;
  }
  kvoblk_group_jac(handle(blkptr), *group, status);
}

// ---- Identifier scanner --------------------------------------------------------------------

KVOBLK_API void KVOVARID_NEXT(const char* source, int textlen, int* pos, char* token, int toklen,
                              int* count) {
  varid_next(source, textlen, pos, token, toklen, count);
}

KVOBLK_API void _KVOVARID_NEXT(const char* source, int textlen, int* pos, char* token, int toklen,
                               int* count) {
  varid_next(source, textlen, pos, token, toklen, count);
}

}  // extern "C"
