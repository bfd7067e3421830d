// The model operation table: the dispatchers that run a block's routines, the simple base
// routines, and the installation of the base routines at creation.
#include <cstring>

#include "kvblk_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// The routine in one slot of a live block's table, or null.
template <class F>
F slot(int blkptr, F kvoblk_ops_t::*member) {
  kvoblk_ops_t* t = ops(blkptr);
  return t ? t->*member : nullptr;
}

// Status words are set to 0 before anything else; a caller that passes none gets a local one.
#define KVOBLK_STATUS(status) \
  int status##_local = 0;     \
  if (!(status)) (status) = &status##_local; \
  *(status) = 0

void base_inq_nscript(int, int* count) {
  if (count) *count = 0;
}
kvopipe* base_acquire_script(int, const char*) { return nullptr; }
void base_init(int, int* status) {
  if (status) *status = 0;
}

}  // namespace

namespace kvoblk {
namespace detail {

// Base routines defined by the other units of the block core.
nux_port* base_get_port(int blkptr, const char* name);
bool base_add_port(int blkptr, nux_port* port);
void base_move(int blkptr, int dv, int de, int dnz);
void base_set_included(int blkptr, int included);
void base_group_res(int blkptr, int group, int* status);
void base_report(int blkptr, int* status);

void install_base_ops(kvoblk_ops_t* t) {
  *t = kvoblk_ops_t();
  t->de_ini = kvoblk_base_de_ini;
  t->selfjac = kvoblk_base_selfjac;
  t->pre_solve = kvoblk_base_pre_solve;
  t->post_solve = kvoblk_base_post_solve;
  t->inq_attr = kvoblk_base_inq_attr;
  t->report = base_report;
  t->destroy = kvoblk_base_destroy;
  t->inq_nscript = base_inq_nscript;
  t->acquire_script = base_acquire_script;
  t->inq_embedded_container = kvoblk_base_inq_embedded_container;
  t->init = base_init;
  t->invoke = kvoblk_base_invoke;
  t->scope_invoke = kvoblk_base_scope_invoke;
  t->register_container = kvoblk_base_register_container;
  t->set_included = base_set_included;
  t->nlratio = kvoblk_base_nlratio;
  t->inq_num_ports = kvoblk_base_inq_num_ports;
  t->get_port = base_get_port;
  t->get_port_n = kvoblk_base_get_port_n;
  t->add_port = base_add_port;
  t->selfpat = kvoblk_base_selfpat;
  t->npat_res = kvoblk_base_npat_res;
  t->isof_type = kvoblk_base_isof_type;
  t->move = base_move;
  t->group_res = base_group_res;
  t->npat_compare = kvoblk_npat_compare_base;
  t->num_attr = kvoblk_base_num_attr;
  t->name_attr = kvoblk_base_name_attr;
  t->lookup_value = kvoblk_base_lookup_value;
  t->assign_value = kvoblk_base_assign_value;
  t->describe_attr = kvoblk_base_describe_attr;
  t->delete_port = kvoblk_base_delete_port;
}

}  // namespace detail
}  // namespace kvoblk

extern "C" {

// ---- Dispatchers ---------------------------------------------------------------------------

KVOBLK_API void kvoblk_selfdim(int blkptr, int* nvar, int* neqn, int* nnz, int* status) {
  int dummy[3];
  if (!nvar) nvar = &dummy[0];
  if (!neqn) neqn = &dummy[1];
  if (!nnz) nnz = &dummy[2];
  *nvar = *neqn = *nnz = 0;
  KVOBLK_STATUS(status);
  if (!live(blkptr, __func__)) return;
  auto f = slot(blkptr, &kvoblk_ops_t::selfdim);
  if (!f) {
    undefined(__func__);
    *status = 1;
    return;
  }
  f(blkptr, nvar, neqn, nnz, status);
}

KVOBLK_API void kvoblk_res(int blkptr, int* status) {
  KVOBLK_STATUS(status);
  if (!live(blkptr, __func__) || word(blkptr, W::included) == 0) return;
  auto f = slot(blkptr, &kvoblk_ops_t::res);
  if (!f) return undefined(__func__);
  f(blkptr, status);
}

KVOBLK_API void kvoblk_selfjac(int blkptr, int* status) {
  KVOBLK_STATUS(status);
  if (!live(blkptr, __func__)) return;
  auto f = slot(blkptr, &kvoblk_ops_t::selfjac);
  if (!f) return undefined(__func__);
  f(blkptr, status);
}

KVOBLK_API void kvoblk_inq_attr(int blkptr, nux_blk_t* desc) {
  if (!live(blkptr, __func__)) return;
  auto f = slot(blkptr, &kvoblk_ops_t::inq_attr);
  if (!f) return undefined(__func__);
  f(blkptr, desc);
}

KVOBLK_API void kvoblk_destroy(int blkptr) {
  if (!live(blkptr, __func__)) return;
  auto f = slot(blkptr, &kvoblk_ops_t::destroy);
  if (!f) return undefined(__func__);
  // The routine releases the record and the table: nothing of the block is read after it.
  f(blkptr);
}

KVOBLK_API void kvoblk_inq_nscript(int blkptr, int* count) {
  int local = 0;
  if (!count) count = &local;
  *count = 0;
  if (!live(blkptr, __func__)) return;
  auto f = slot(blkptr, &kvoblk_ops_t::inq_nscript);
  if (!f) return undefined(__func__);
  f(blkptr, count);
}

KVOBLK_API void kvoblk_inq_scriptid(int blkptr, int index, char* name) {
  if (name) name[0] = '\0';
  if (!live(blkptr, __func__)) return;
  auto f = slot(blkptr, &kvoblk_ops_t::inq_scriptid);
  if (!f) return undefined(__func__);
  if (name) f(blkptr, index, name);
}

KVOBLK_API kvopipe* kvoblk_acquire_script(int blkptr, const char* name) {
  if (!live(blkptr, __func__)) return nullptr;
  auto f = slot(blkptr, &kvoblk_ops_t::acquire_script);
  if (!f) {
    undefined(__func__);
    return nullptr;
  }
  return f(blkptr, name);
}

KVOBLK_API NUXEOCntr* kvoblk_inq_embedded_container(int blkptr, const NUXEOCntr* cntr) {
  if (!live(blkptr, __func__)) return nullptr;
  auto f = slot(blkptr, &kvoblk_ops_t::inq_embedded_container);
  if (!f) {
    undefined(__func__);
    return nullptr;
  }
  return f(blkptr, cntr);
}

KVOBLK_API void kvoblk_init(int blkptr, int* status) {
  KVOBLK_STATUS(status);
  if (!live(blkptr, __func__)) return;
  auto f = slot(blkptr, &kvoblk_ops_t::init);
  if (!f) return undefined(__func__);
  f(blkptr, status);
}

KVOBLK_API int kvoblk_invoke(int blkptr, const char* name, EBSContext* ctx, int nargs,
                             const value_t* args) {
  if (!live(blkptr, __func__)) return 1;
  auto f = slot(blkptr, &kvoblk_ops_t::invoke);
  if (!f) {
    undefined(__func__);
    return 1;
  }
  return f(blkptr, name, ctx, nargs, args);
}

KVOBLK_API int kvoblk_scope_invoke(int blkptr, const char* name, int scope1, int scope2,
                                   EBSContext* ctx, int nargs, const value_t* args) {
  if (!live(blkptr, __func__)) return 1;
  auto f = slot(blkptr, &kvoblk_ops_t::scope_invoke);
  if (!f) {
    undefined(__func__);
    return 1;
  }
  return f(blkptr, name, scope1, scope2, ctx, nargs, args);
}

KVOBLK_API void kvoblk_report(int blkptr, int* status) {
  KVOBLK_STATUS(status);
  if (!live(blkptr, __func__)) return;
  auto f = slot(blkptr, &kvoblk_ops_t::report);
  if (!f) return undefined(__func__);
  f(blkptr, status);
  // The report has no failure of its own to pass on.
  *status = 0;
}

KVOBLK_API void kvoblk_register_container(int blkptr, NUXBlockCallback* cntr) {
  if (!live(blkptr, __func__)) return;
  auto f = slot(blkptr, &kvoblk_ops_t::register_container);
  if (!f) return undefined(__func__);
  f(blkptr, cntr);
}

KVOBLK_API void kvoblk_set_included(int blkptr, int included) {
  if (!live(blkptr, __func__)) return;
  auto f = slot(blkptr, &kvoblk_ops_t::set_included);
  if (!f) return undefined(__func__);
  f(blkptr, included);
}

KVOBLK_API void kvoblk_nlratio(int blkptr) {
  if (!live(blkptr, __func__)) return;
  auto f = slot(blkptr, &kvoblk_ops_t::nlratio);
  if (!f) return undefined(__func__);
  f(blkptr);
}

KVOBLK_API int kvoblk_inq_num_ports(int blkptr) {
  if (!live(blkptr, __func__)) return 0;
  auto f = slot(blkptr, &kvoblk_ops_t::inq_num_ports);
  if (!f) {
    undefined(__func__);
    return 0;
  }
  return f(blkptr);
}

KVOBLK_API nux_port* kvoblk_get_port(int blkptr, const char* name) {
  if (!live(blkptr, __func__)) return nullptr;
  auto f = slot(blkptr, &kvoblk_ops_t::get_port);
  if (!f) {
    undefined(__func__);
    return nullptr;
  }
  return f(blkptr, name);
}

KVOBLK_API nux_port* kvoblk_get_port_n(int blkptr, int i) {
  if (!live(blkptr, __func__)) return nullptr;
  auto f = slot(blkptr, &kvoblk_ops_t::get_port_n);
  if (!f) {
    undefined(__func__);
    return nullptr;
  }
  return f(blkptr, i);
}

KVOBLK_API bool kvoblk_add_port(int blkptr, nux_port* port) {
  if (!live(blkptr, __func__)) return true;
  auto f = slot(blkptr, &kvoblk_ops_t::add_port);
  if (!f) {
    undefined(__func__);
    return true;
  }
  return f(blkptr, port);
}

KVOBLK_API void kvoblk_selfpat(int blkptr, kv_jac_t* jac, int* status) {
  KVOBLK_STATUS(status);
  if (!live(blkptr, __func__)) return;
  auto f = slot(blkptr, &kvoblk_ops_t::selfpat);
  if (!f) return undefined(__func__);
  f(blkptr, jac, status);
}

KVOBLK_API void kvoblk_npat_res(int blkptr, int* status) {
  KVOBLK_STATUS(status);
  if (!live(blkptr, __func__)) return;
  auto f = slot(blkptr, &kvoblk_ops_t::npat_res);
  if (!f) return undefined(__func__);
  f(blkptr, status);
}

KVOBLK_API void kvoblk_npat_compare(int blkptr, double a, double b, int* status) {
  KVOBLK_STATUS(status);
  if (!live(blkptr, __func__) || word(blkptr, W::included) == 0) return;
  auto f = slot(blkptr, &kvoblk_ops_t::npat_compare);
  if (!f) return undefined(__func__);
  f(blkptr, a, b, status);
}

KVOBLK_API int kvoblk_isof_type(int blkptr, const char* type) {
  if (!live(blkptr, __func__)) return 0;
  auto f = slot(blkptr, &kvoblk_ops_t::isof_type);
  if (!f) {
    undefined(__func__);
    return 0;
  }
  return f(blkptr, type);
}

KVOBLK_API void kvoblk_move(int blkptr, int dv, int de, int dnz) {
  if (!live(blkptr, __func__)) return;
  auto f = slot(blkptr, &kvoblk_ops_t::move);
  if (!f) return undefined(__func__);
  f(blkptr, dv, de, dnz);
}

KVOBLK_API int kvoblk_num_attr(int blkptr) {
  if (!live(blkptr, __func__)) return 0;
  auto f = slot(blkptr, &kvoblk_ops_t::num_attr);
  if (!f) {
    undefined(__func__);
    return 0;
  }
  return f(blkptr);
}

KVOBLK_API const char* kvoblk_name_attr(int blkptr, int i) {
  if (!live(blkptr, __func__)) return nullptr;
  auto f = slot(blkptr, &kvoblk_ops_t::name_attr);
  if (!f) {
    undefined(__func__);
    return nullptr;
  }
  return f(blkptr, i);
}

KVOBLK_API bool kvoblk_lookup_value(int blkptr, const char* attr, value_t* value) {
  if (!live(blkptr, __func__)) return false;
  auto f = slot(blkptr, &kvoblk_ops_t::lookup_value);
  if (!f) {
    undefined(__func__);
    return false;
  }
  return f(blkptr, attr, value);
}

KVOBLK_API bool kvoblk_assign_value(int blkptr, const char* attr, const value_t* value) {
  if (!live(blkptr, __func__)) return false;
  auto f = slot(blkptr, &kvoblk_ops_t::assign_value);
  if (!f) {
    undefined(__func__);
    return false;
  }
  return f(blkptr, attr, value);
}

KVOBLK_API const nuxblock_attr_desc* kvoblk_describe_attr(int blkptr, const char* attr) {
  if (!live(blkptr, __func__)) return nullptr;
  auto f = slot(blkptr, &kvoblk_ops_t::describe_attr);
  if (!f) {
    undefined(__func__);
    return nullptr;
  }
  return f(blkptr, attr);
}

KVOBLK_API void kvoblk_group_res(int blkptr, int group, int* status) {
  KVOBLK_STATUS(status);
  if (!live(blkptr, __func__) || word(blkptr, W::included) == 0) return;
  auto f = slot(blkptr, &kvoblk_ops_t::group_res);
  if (!f) return undefined(__func__);
  f(blkptr, group, status);
}

KVOBLK_API void kvoblk_group_selfjac(int blkptr, int group, int* status) {
  KVOBLK_STATUS(status);
  if (!live(blkptr, __func__)) return;
  auto gf = slot(blkptr, &kvoblk_ops_t::group_selfjac);
  if (gf && group != 0) return gf(blkptr, group, status);
  auto f = slot(blkptr, &kvoblk_ops_t::selfjac);
  if (!f) return undefined(__func__);
  // The whole block's analytic Jacobian serves any of its groups.
  int eqnlst = blk_inq_matrix_eqnlst(blkptr);
  int first = kvoeqnlst_absolute_index(eqnlst, word(blkptr, W::estart));
  int last = kvoeqnlst_absolute_index(eqnlst, word(blkptr, W::estop));
  if (group != 0 && (group < first || group > last)) {
    head(__func__);
    kvoprintf(kvHisDev,
              "Illegal equation group %d specified in block %s, (valid range is %d to %d)\n",
              group, text(blkid(blkptr)), first, last);
    *status = 1;
    return;
  }
  f(blkptr, status);
}

KVOBLK_API bool kvoblk_delete_port(int blkptr, const char* name) {
  if (!live(blkptr, __func__)) return true;
  auto f = slot(blkptr, &kvoblk_ops_t::delete_port);
  if (!f) {
    undefined(__func__);
    return true;
  }
  return f(blkptr, name);
}

// ---- Simple base routines ------------------------------------------------------------------

KVOBLK_API void kvoblk_base_selfjac(int, int*) {}

KVOBLK_API void kvoblk_base_nlratio(int) {}

KVOBLK_API void kvoblk_base_selfpat(int, kv_jac_t*, int*) {}

KVOBLK_API void kvoblk_base_npat_res(int blkptr, int* status) { kvoblk_res(blkptr, status); }

KVOBLK_API int kvoblk_base_isof_type(int, const char* type) {
  return type && std::strcmp(type, "KVOBLK") == 0 ? 1 : 0;
}

KVOBLK_API NUXEOCntr* kvoblk_base_inq_embedded_container(int, const NUXEOCntr*) {
  return nullptr;
}

}  // extern "C"
