// SPDX-License-Identifier: BSD-3-Clause
// The block record: creation with its two sets of defaults, destruction, the record and
// settings accessors, the port callback object, and the guarded method and pattern setters.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kvblk_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// The object through which a block's ports ask their block. It holds only the block handle.
class kvoblk_port_callback : public nux_port_mesgs {
 public:
  explicit kvoblk_port_callback(int blkptr) : blkptr_(blkptr) {}
  ~kvoblk_port_callback() override = default;

  int var_offset() override { return kvoblk_global_var_offset(blkptr_); }
  int owns_var(int i) override {
    if (!registered(blkptr_)) return 0;
    if (word(blkptr_, W::eo_state) == KVOBLK_NOT_INITIALISED) return 1;
    return word(blkptr_, W::vstart) <= i && i <= word(blkptr_, W::vstop) ? 1 : 0;
  }
  const char* block_id() override { return kvoblk_blkid(blkptr_); }
  bool block_included() override { return kvoblk_inq_included(blkptr_) != 0; }

 private:
  int blkptr_;
};

// One of the block's lists from its container, 0 for none. The answer is host code: an
// exception ends the request with a message and no list.
int ask_container(const char* fn, int blkptr, int (NUXBlockCallback::*list)()) {
  if (!live(blkptr, fn)) return 0;
  NUXBlockCallback* c = container(blkptr);
  if (!c) return 0;
  try {
    return (c->*list)();
  } catch (...) {
    report_exception(fn, blkptr);
    return 0;
  }
}

// Releases a reference word's object and clears the word. The caller knows the type.
template <class T>
T* take_ref(int blkptr, int k) {
  int32_t n = word(blkptr, k);
  T* object = ref_as<T>(n);
  ref_drop(n);
  word(blkptr, k) = 0;
  return object;
}

void free_settings(kvoblk_settings_t* s) {
  if (!s) return;
  std::free(s->pat_file);
  delete s;
}

// Releases everything a block owns, the ports first, then the record. Used by destruction and
// by creation when the heap fails half-way.
void release_block(int blkptr) {
  // Ports and their array first: a port's destroy may still ask the block through its
  // callback, so the record must be whole while it runs.
  int array = word(blkptr, W::ports);
  const uint64_t serial = serial_of(blkptr);
  if (array != 0) {
    // The whole array, not only the stored count: a count lowered by a setter must not leave
    // ports behind.
    // A port's destroy may add a port to the block: the array may then have grown, and the
    // newcomer is destroyed with the rest rather than left behind, recorded as held.
    for (int i = 1; facts(blkptr) && i <= facts(blkptr)->port_capacity; ++i) {
      int32_t ref = word(word(blkptr, W::ports), i - 1);
      nux_port* port = ref_as<nux_port>(ref);
      ref_drop(ref);
      word(word(blkptr, W::ports), i - 1) = 0;
      if (port) {
        forget_port_holder(port);
        // The port's destroy is host code, and destruction is also called from C and Fortran:
        // an exception is reported and the rest of the block is still released, rather than
        // reaching the caller with the block half released and never released after.
        try {
          port->destroy();
        } catch (...) {
          report_exception("kvoblk_base_destroy", blkptr, serial);
        }
      }
      // A port's destroy is the host's code and may have destroyed the block itself: that call
      // released everything, the ports left over included, and the record is gone. A block
      // made at the handle since is another one, and is left alone.
      if (!same_serial(blkptr, serial)) return;
    }
    array = word(blkptr, W::ports);
    KVO_IFREE(&array);
    word(blkptr, W::ports) = 0;
    word(blkptr, W::num_ports) = 0;
  }
  std::free(take_ref<char>(blkptr, W::blkid));
  free_settings(take_ref<kvoblk_settings_t>(blkptr, W::settings));
  delete take_ref<kvoblk_port_callback>(blkptr, W::port_callback);
  delete take_ref<kvoblk_ops_t>(blkptr, W::ops);
  // The grouping and the update buffers belong to the block too; a block destroyed while
  // solving must not leak them.
  release_solve_data(blkptr);
  ref_drop(word(blkptr, W::container));
  ref_drop(word(blkptr, W::block_object));
  forget_block(blkptr);
  int record = blkptr;
  KVO_IFREE(&record);
}

}  // namespace

namespace kvoblk {
namespace detail {
void install_base_ops(kvoblk_ops_t* table);

bool store_blkid(int blkptr, char* id) {
  if (id != nullptr && id == blkid(blkptr)) return true;  // the block's own id: nothing changes
  // The new text is registered before the old one is let go, so that a reference table that
  // cannot grow leaves the block with the id it had.
  const int32_t ref = id ? ref_put(id) : 0;
  if (id && ref == 0) {
    std::free(id);
    return false;
  }
  std::free(take_ref<char>(blkptr, W::blkid));
  word(blkptr, W::blkid) = ref;
  return true;
}

}  // namespace detail
}  // namespace kvoblk

extern "C" {

// ---- Creation and destruction --------------------------------------------------------------

KVOBLK_API int kvoblk_base_create_1(int nwords) {
  int n = nwords < W::count ? static_cast<int>(W::count) : nwords;
  int blkptr = KVO_IMALLOC(&n);
  // No block lies before the workspace's base: an index below 1 is a refusal, whatever its value.
  if (blkptr <= 0) return 0;
  // Every word the library defines starts at 0 so that a failure half-way releases only what
  // was obtained. Words from 22 on belong to the model and are left as they are.
  for (int k = 0; k < W::count; ++k) word(blkptr, k) = 0;
  if (!register_block(blkptr, n)) {
    KVO_IFREE(&blkptr);
    return 0;
  }

  word(blkptr, W::vstart) = 1;
  word(blkptr, W::vstop) = 0;
  word(blkptr, W::estart) = 1;
  word(blkptr, W::estop) = 0;
  word(blkptr, W::nzstart) = 1;
  word(blkptr, W::nzstop) = 0;

  // The settings record starts zeroed, so the pattern-file setter finds no previous name.
  auto* s = heap_make<kvoblk_settings_t>();
  word(blkptr, W::settings) = ref_put(s);
  if (word(blkptr, W::settings) == 0) {
    delete s;
    release_block(blkptr);
    return 0;
  }
  s->matrix_precedence = 1;
  s->pat_dense_limit = 100;
  s->pat_fill_percent = 30;
  kvoblk_set_pat_file(blkptr, "");
  kvoblk_set_pat_ini_type(blkptr, KVOBLK_PAT_RESTORE);
  kvoblk_set_pat_type(blkptr, KVOBLK_PATTYPE_UNDEFINED);
  blk_selfpat_disable(blkptr);
  kvoblk_set_deriv_type(blkptr, KVOBLK_NUMERIC);
  blk_selfjac_disable(blkptr);
  kvoblk_set_move(blkptr, 1);
  kvoblk_set_zerotol(blkptr, 1e-12);
  kvoblk_set_moveamount(blkptr, 0.01);
  kvoblk_set_pertsize(blkptr, 1e-6);
  kvoblk_set_nlratio(blkptr, 1.0);
  kvoblk_set_nlratiodev(blkptr, 0.01);

  word(blkptr, W::included) = 1;
  word(blkptr, W::diag_level) = 4;

  auto* callback = heap_make<kvoblk_port_callback>(blkptr);
  word(blkptr, W::port_callback) = ref_put(callback);
  if (word(blkptr, W::port_callback) == 0) {
    delete callback;
    release_block(blkptr);
    return 0;
  }
  word(blkptr, W::being_solved) = 0;

  auto* table = heap_make<kvoblk_ops_t>();
  if (table) install_base_ops(table);
  word(blkptr, W::ops) = ref_put(table);
  if (word(blkptr, W::ops) == 0) {
    delete table;
    release_block(blkptr);
    return 0;
  }
  return blkptr;
}

KVOBLK_API int kvoblk_base_create(int nwords) {
  int blkptr = kvoblk_base_create_1(nwords);
  if (blkptr == 0) return 0;
  // The flags come first: choosing SELF or ANALYTIC is refused while they are clear.
  blk_selfpat_enable(blkptr);
  kvoblk_set_pat_ini_type(blkptr, KVOBLK_PAT_SELF);
  blk_selfjac_enable(blkptr);
  kvoblk_set_deriv_type(blkptr, KVOBLK_ANALYTIC);
  kvoblk_set_pat_type(blkptr, KVOBLK_PATTYPE_ANALYTIC);
  return blkptr;
}

KVOBLK_API void kvoblk_base_destroy(int blkptr) {
  if (!live(blkptr, __func__)) return;
  release_block(blkptr);
}

KVOBLK_API kvoblk_ops_t* kvoblk_inq_ops(int blkptr) {
  return live(blkptr, __func__) ? ops(blkptr) : nullptr;
}

KVOBLK_API kvoblk_settings_t* kvoblk_inq_settings(int blkptr) {
  return live(blkptr, __func__) ? settings(blkptr) : nullptr;
}

// ---- Block id ------------------------------------------------------------------------------

KVOBLK_API const char* kvoblk_blkid(int blkptr) {
  return live(blkptr, __func__) ? blkid(blkptr) : nullptr;
}

KVOBLK_API void kvoblk_adopt_blkid(int blkptr, char* id) {
  if (!live(blkptr, __func__)) {
    std::free(id);
    return;
  }
  if (!store_blkid(blkptr, id)) {
    head(__func__);
    kvoprintf(kvHisDev, "Out of memory for the block id\n");
  }
}

KVOBLK_API void kvoblk_set_blkid(int blkptr, const char* id) {
  if (!live(blkptr, __func__)) return;
  char* copy = copy_text(id);
  // Without room for the copy or its reference the block keeps the id it had.
  if ((id && !copy) || !store_blkid(blkptr, copy)) {
    head(__func__);
    kvoprintf(kvHisDev, "Out of memory for the block id\n");
  }
}

// ---- Matrix lists --------------------------------------------------------------------------

KVOBLK_API void blk_inq_matrix(int blkptr, int* varlst, int* eqnlst, int* jac) {
  if (varlst) *varlst = 0;
  if (eqnlst) *eqnlst = 0;
  if (jac) *jac = 0;
  if (!live(blkptr, __func__)) return;
  NUXBlockCallback* c = container(blkptr);
  if (!c) return;
  // The container's answers are host code: an exception must not reach a C or Fortran caller.
  // It ends the request with a message and no lists at all.
  try {
    if (varlst) *varlst = c->varlst();
    if (eqnlst) *eqnlst = c->eqnlst();
    if (jac) *jac = c->jacobian();
  } catch (...) {
    if (varlst) *varlst = 0;
    if (eqnlst) *eqnlst = 0;
    if (jac) *jac = 0;
    report_exception(__func__, blkptr);
  }
}

KVOBLK_API int blk_inq_matrix_varlst(int blkptr) {
  return ask_container(__func__, blkptr, &NUXBlockCallback::varlst);
}

KVOBLK_API int blk_inq_matrix_eqnlst(int blkptr) {
  return ask_container(__func__, blkptr, &NUXBlockCallback::eqnlst);
}

KVOBLK_API int blk_inq_matrix_jacobian(int blkptr) {
  return ask_container(__func__, blkptr, &NUXBlockCallback::jacobian);
}

KVOBLK_API int kvoblk_inq_varlst(int blkptr) { return blk_inq_matrix_varlst(blkptr); }

// ---- Record words --------------------------------------------------------------------------

KVOBLK_API int kvoblk_inq_included(int blkptr) {
  return live(blkptr, __func__) ? word(blkptr, W::included) : 0;
}

KVOBLK_API int kvoblk_inq_diag_level(int blkptr) {
  return live(blkptr, __func__) ? word(blkptr, W::diag_level) : 0;
}

KVOBLK_API void kvoblk_set_diag_level(int blkptr, int level) {
  if (live(blkptr, __func__)) word(blkptr, W::diag_level) = level;
}

KVOBLK_API int kvoblk_inq_eo_state(int blkptr) {
  return live(blkptr, __func__) ? word(blkptr, W::eo_state) : 0;
}

#define KVOBLK_RANGE_WORD(name, k, empty)                      \
  KVOBLK_API int kvoblk_inq_##name(int blkptr) {               \
    return live(blkptr, __func__) ? word(blkptr, k) : (empty); \
  }                                                            \
  KVOBLK_API void kvoblk_set_##name(int blkptr, int value) {   \
    if (live(blkptr, __func__)) word(blkptr, k) = value;       \
  }
KVOBLK_RANGE_WORD(vstart, W::vstart, 1)
KVOBLK_RANGE_WORD(vstop, W::vstop, 0)
KVOBLK_RANGE_WORD(estart, W::estart, 1)
KVOBLK_RANGE_WORD(estop, W::estop, 0)
KVOBLK_RANGE_WORD(nzstart, W::nzstart, 1)
KVOBLK_RANGE_WORD(nzstop, W::nzstop, 0)
#undef KVOBLK_RANGE_WORD

// ---- Plain settings ------------------------------------------------------------------------

namespace {
kvoblk_settings_t* live_settings(int blkptr, const char* fn) {
  return live(blkptr, fn) ? settings(blkptr) : nullptr;
}
}  // namespace

#define KVOBLK_SETTING(type, name, field, result, stored)       \
  KVOBLK_API type kvoblk_inq_##name(int blkptr) {               \
    kvoblk_settings_t* s = live_settings(blkptr, __func__);     \
    return s ? s->field : type();                               \
  }                                                             \
  KVOBLK_API result kvoblk_set_##name(int blkptr, type value) { \
    kvoblk_settings_t* s = live_settings(blkptr, __func__);     \
    if (!s) return result();                                    \
    s->field = value;                                           \
    return static_cast<result>(stored);                         \
  }
KVOBLK_SETTING(double, pertsize, pertsize, int, 1)
KVOBLK_SETTING(double, nlratio, nlratio, int, 1)
KVOBLK_SETTING(double, nlratiodev, nlratiodev, int, 1)
KVOBLK_SETTING(double, zerotol, zerotol, void, 0)
KVOBLK_SETTING(double, moveamount, moveamount, void, 0)
KVOBLK_SETTING(int, move, move, void, 0)
KVOBLK_SETTING(int, pat_type, pat_type, void, 0)
#undef KVOBLK_SETTING

KVOBLK_API const char* kvoblk_inq_pat_file(int blkptr) {
  kvoblk_settings_t* s = live_settings(blkptr, __func__);
  return s ? s->pat_file : nullptr;
}

KVOBLK_API void kvoblk_set_pat_file(int blkptr, const char* name) {
  kvoblk_settings_t* s = live_settings(blkptr, __func__);
  if (!s) return;
  // Copy before releasing: the new name may be the old one.
  const bool named = name && *name;
  char* copy = named ? copy_text(name) : nullptr;
  if (named && !copy) {
    // The block keeps the name it had rather than losing it.
    head(__func__);
    kvoprintf(kvHisDev, "Out of memory for the pattern file name\n");
    return;
  }
  std::free(s->pat_file);
  s->pat_file = copy;
}

KVOBLK_API int kvoblk_inq_matrix_precedence(int blkptr) {
  kvoblk_settings_t* s = live_settings(blkptr, __func__);
  return s ? s->matrix_precedence : 0;
}

KVOBLK_API void blk_set_matrix_precedence(int blkptr, int precedence) {
  kvoblk_settings_t* s = live_settings(blkptr, __func__);
  if (s) s->matrix_precedence = precedence;
}

// ---- Derivative method and analytic support ------------------------------------------------

KVOBLK_API int kvoblk_set_deriv_type(int blkptr, int method) {
  kvoblk_settings_t* s = live_settings(blkptr, __func__);
  if (!s) return 0;
  switch (method) {
    case KVOBLK_ANALYTIC:
    case KVOBLK_UPDATE_ANALYTIC:
      if (s->selfjac) {
        s->deriv_type = method;
        return method;
      }
      kvoprintf(kvHisDev, "Block %s does not support \"DERIV_METHOD = %s\".\n", text(blkid(blkptr)),
                method == KVOBLK_ANALYTIC ? "ANALYTIC" : "UPDATE_ANALYTIC");
      return s->deriv_type;
    case KVOBLK_NUMERIC:
    case KVOBLK_UPDATE_NUMERIC:
      s->deriv_type = method;
      return method;
    default:
      head(__func__);
      kvoprintf(kvHisDev, "Unknown option.\n");
      return 0;
  }
}

KVOBLK_API int kvoblk_inq_deriv_type(int blkptr) {
  kvoblk_settings_t* s = live_settings(blkptr, __func__);
  return s ? s->deriv_type : 0;
}

KVOBLK_API int blk_selfjac_enable(int blkptr) {
  kvoblk_settings_t* s = live_settings(blkptr, __func__);
  if (!s) return 0;
  s->selfjac = 1;
  return 1;
}

KVOBLK_API int blk_selfjac_disable(int blkptr) {
  kvoblk_settings_t* s = live_settings(blkptr, __func__);
  if (!s) return 0;
  if (s->deriv_type != KVOBLK_ANALYTIC && s->deriv_type != KVOBLK_UPDATE_ANALYTIC) s->selfjac = 0;
  return s->selfjac ? 0 : 1;
}

// ---- Pattern initialisation type and model-pattern support ---------------------------------

KVOBLK_API int kvoblk_set_pat_ini_type(int blkptr, int type) {
  kvoblk_settings_t* s = live_settings(blkptr, __func__);
  if (!s) return 0;
  switch (type) {
    case KVOBLK_PAT_SELF:
      if (s->selfpat) {
        s->pat_ini_type = type;
        return type;
      }
      kvoprintf(kvHisDev, "Block %s does not support \"SPARSITY_GEN = AUTO\".\n",
                text(blkid(blkptr)));
      return s->pat_ini_type;
    case KVOBLK_PAT_NUMERIC:
    case KVOBLK_PAT_RESTORE:
      s->pat_ini_type = type;
      return type;
    default:
      head(__func__);
      kvoprintf(kvHisDev, "Unknown option.\n");
      return 0;
  }
}

KVOBLK_API int kvoblk_inq_pat_ini_type(int blkptr) {
  kvoblk_settings_t* s = live_settings(blkptr, __func__);
  return s ? s->pat_ini_type : 0;
}

KVOBLK_API int blk_selfpat_enable(int blkptr) {
  kvoblk_settings_t* s = live_settings(blkptr, __func__);
  if (!s) return 0;
  s->selfpat = 1;
  return 1;
}

KVOBLK_API int blk_selfpat_disable(int blkptr) {
  kvoblk_settings_t* s = live_settings(blkptr, __func__);
  if (!s) return 0;
  if (s->pat_ini_type != KVOBLK_PAT_SELF) s->selfpat = 0;
  return s->selfpat ? 0 : 1;
}

}  // extern "C"
