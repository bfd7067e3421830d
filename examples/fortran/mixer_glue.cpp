// The glue between the block library and the Fortran mixer: thin wrappers that put the Fortran
// routines in the block's operation table, and the host services the Fortran code needs that
// take C strings (defining list items, printing).
#include <string>

#include "kvorefhost.h"
#include "mixer.h"

// The Fortran routines (bind(C) in mixer.f90): arguments by reference, CHARACTER as text and
// length.
extern "C" {
int mixer_create_f(const char* id, int idlen);
void mixer_selfdim_f(int* nvar, int* neqn, int* nnz);
void mixer_ini_f(const int* blk, const int* vstart, const int* estart, const int* nzstart,
                 int* status);
void mixer_selfpat_f(const int* blk, const int* jac, int* status);
void mixer_res_f(const int* blk, int* status);
void mixer_selfjac_f(const int* blk, int* status);
void mixer_report_f(const int* blk);
int mixer_port_check_f(const int* blk);
int mixer_set_method_f(const int* blk, const int* method);
}

// Services for the Fortran code: texts come with their lengths and without terminators.
extern "C" {
void mixer_define_var(int varlst, int pos, const char* name, int namelen, double value) {
  kvoref::define_var(varlst, pos, std::string(name, namelen > 0 ? namelen : 0).c_str(), value);
}
void mixer_define_eqn(int eqnlst, int pos, const char* name, int namelen) {
  kvoref::define_eqn(eqnlst, pos, std::string(name, namelen > 0 ? namelen : 0).c_str());
}
void mixer_say(const char* text, int textlen) {
  kvoprintf(kvHisDev, "%.*s\n", textlen > 0 ? textlen : 0, text);
}
}

namespace {

// The operation table passes values; the Fortran routines take addresses.
void selfdim(int, int* nvar, int* neqn, int* nnz, int* status) {
  mixer_selfdim_f(nvar, neqn, nnz);
  *status = 0;
}
void ini(int blk, int vstart, int estart, int nzstart, int* status) {
  mixer_ini_f(&blk, &vstart, &estart, &nzstart, status);
}
void selfpat(int blk, kv_jac_t* jac, int* status) {
  const int none = 0;
  mixer_selfpat_f(&blk, jac ? jac : &none, status);
}
void res(int blk, int* status) { mixer_res_f(&blk, status); }
void selfjac(int blk, int* status) { mixer_selfjac_f(&blk, status); }

}  // namespace

int mixer_create(const char* id) {
  const std::string text = id ? id : "";
  const int blk = mixer_create_f(text.data(), static_cast<int>(text.size()));
  kvoblk_ops_t* t = kvoblk_inq_ops(blk);
  if (!t) return 0;
  t->selfdim = selfdim;
  t->ini = ini;
  t->selfpat = selfpat;
  t->res = res;
  t->selfjac = selfjac;
  return blk;
}

void mixer_report(int blk) { mixer_report_f(&blk); }

bool mixer_ports_agree(int blk) { return mixer_port_check_f(&blk) == 0; }

int mixer_set_method(int blk, int method) { return mixer_set_method_f(&blk, &method); }
