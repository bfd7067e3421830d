// SPDX-License-Identifier: BSD-3-Clause
// The Fortran entry points under the names gfortran gives them: lower case with a trailing
// underscore, and the hidden length of each CHARACTER argument (a size_t by value) after all
// other arguments. A model compiled with gfortran that calls the entry points with implicit
// interfaces (CALL KVOBLK_SET_VSTART_F(BLK, N)) links against these; each forwards to the entry
// point of the same name, so both behave alike.
#include <kvoblk/kvofortran.h>

#include <climits>
#include <cstddef>

namespace {

// A hidden CHARACTER length as the entry points take it.
int fortran_length(size_t n) {
  return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

}  // namespace

extern "C" {

KVOBLK_API int kvoblk_base_create_f_(const int* nwords) { return _KVOBLK_BASE_CREATE_F(nwords); }

KVOBLK_API void kvoblk_base_destroy_f_(const int* blkptr) { _KVOBLK_BASE_DESTROY_F(blkptr); }

KVOBLK_API void kvoblk_base_de_ini_f_(const int* blkptr, int* status) {
  _KVOBLK_BASE_DE_INI_F(blkptr, status);
}

KVOBLK_API int kvoblk_inq_vstart_f_(const int* blkptr) { return _KVOBLK_INQ_VSTART_F(blkptr); }

KVOBLK_API int kvoblk_inq_vstop_f_(const int* blkptr) { return _KVOBLK_INQ_VSTOP_F(blkptr); }

KVOBLK_API int kvoblk_inq_estart_f_(const int* blkptr) { return _KVOBLK_INQ_ESTART_F(blkptr); }

KVOBLK_API int kvoblk_inq_estop_f_(const int* blkptr) { return _KVOBLK_INQ_ESTOP_F(blkptr); }

KVOBLK_API int kvoblk_inq_nzstart_f_(const int* blkptr) { return _KVOBLK_INQ_NZSTART_F(blkptr); }

KVOBLK_API int kvoblk_inq_nzstop_f_(const int* blkptr) { return _KVOBLK_INQ_NZSTOP_F(blkptr); }

KVOBLK_API void kvoblk_set_vstart_f_(const int* blkptr, const int* value) {
  _KVOBLK_SET_VSTART_F(blkptr, value);
}

KVOBLK_API void kvoblk_set_vstop_f_(const int* blkptr, const int* value) {
  _KVOBLK_SET_VSTOP_F(blkptr, value);
}

KVOBLK_API void kvoblk_set_estart_f_(const int* blkptr, const int* value) {
  _KVOBLK_SET_ESTART_F(blkptr, value);
}

KVOBLK_API void kvoblk_set_estop_f_(const int* blkptr, const int* value) {
  _KVOBLK_SET_ESTOP_F(blkptr, value);
}

KVOBLK_API void kvoblk_set_nzstart_f_(const int* blkptr, const int* value) {
  _KVOBLK_SET_NZSTART_F(blkptr, value);
}

KVOBLK_API void kvoblk_set_nzstop_f_(const int* blkptr, const int* value) {
  _KVOBLK_SET_NZSTOP_F(blkptr, value);
}

KVOBLK_API void blk_inq_matrix_f_(const int* blkptr, int* varlst, int* eqnlst, int* jac) {
  _BLK_INQ_MATRIX_F(blkptr, varlst, eqnlst, jac);
}

KVOBLK_API int blk_inq_matrix_varlst_f_(const int* blkptr) {
  return _BLK_INQ_MATRIX_VARLST_F(blkptr);
}

KVOBLK_API int blk_inq_matrix_eqnlst_f_(const int* blkptr) {
  return _BLK_INQ_MATRIX_EQNLST_F(blkptr);
}

KVOBLK_API int blk_inq_matrix_jacobian_f_(const int* blkptr) {
  return _BLK_INQ_MATRIX_JACOBIAN_F(blkptr);
}

KVOBLK_API void blk_set_matrix_precedence_f_(const int* blkptr, const int* precedence) {
  _BLK_SET_MATRIX_PRECEDENCE_F(blkptr, precedence);
}

KVOBLK_API void blk_set_blkid_f_(const int* blkptr, const char* id, size_t idlen) {
  _BLK_SET_BLKID_F(blkptr, id, fortran_length(idlen));
}

KVOBLK_API int blk_copy_blkid_f_(const int* blkptr, char* id, size_t idlen) {
  return _BLK_COPY_BLKID_F(blkptr, id, fortran_length(idlen));
}

KVOBLK_API int kvoblk_id_(const int* blkptr, char* id, size_t idlen) {
  return KVOBLK_ID(blkptr, id, fortran_length(idlen));
}

KVOBLK_API int kvoblk_get_port_f_(const int* blkptr, const char* name, size_t namelen) {
  return _KVOBLK_GET_PORT_F(blkptr, name, fortran_length(namelen));
}

KVOBLK_API int kvoblk_get_port_n_f_(const int* blkptr, const int* i) {
  return _KVOBLK_GET_PORT_N_F(blkptr, i);
}

KVOBLK_API int blk_inq_num_ports_f_(const int* blkptr) { return _BLK_INQ_NUM_PORTS_F(blkptr); }

KVOBLK_API void blk_set_num_ports_f_(const int* blkptr, const int* n) {
  _BLK_SET_NUM_PORTS_F(blkptr, n);
}

KVOBLK_API int kvoblk_inq_included_f_(const int* blkptr) { return _KVOBLK_INQ_INCLUDED_F(blkptr); }

KVOBLK_API void kvoblk_set_nlratio_f_(const int* blkptr, const double* value) {
  _KVOBLK_SET_NLRATIO_F(blkptr, value);
}

KVOBLK_API double kvoblk_inq_nlratiodev_f_(const int* blkptr) {
  return _KVOBLK_INQ_NLRATIODEV_F(blkptr);
}

KVOBLK_API void kvoblk_set_nlratiodev_f_(const int* blkptr, const double* value) {
  _KVOBLK_SET_NLRATIODEV_F(blkptr, value);
}

KVOBLK_API double kvoblk_inq_moveamount_f_(const int* blkptr) {
  return _KVOBLK_INQ_MOVEAMOUNT_F(blkptr);
}

KVOBLK_API void kvoblk_set_moveamount_f_(const int* blkptr, const double* value) {
  _KVOBLK_SET_MOVEAMOUNT_F(blkptr, value);
}

KVOBLK_API double kvoblk_inq_pertsize_f_(const int* blkptr) {
  return _KVOBLK_INQ_PERTSIZE_F(blkptr);
}

KVOBLK_API void kvoblk_set_pertsize_f_(const int* blkptr, const double* value) {
  _KVOBLK_SET_PERTSIZE_F(blkptr, value);
}

KVOBLK_API int kvoblk_inq_move_f_(const int* blkptr) { return _KVOBLK_INQ_MOVE_F(blkptr); }

KVOBLK_API void kvoblk_set_move_f_(const int* blkptr, const int* value) {
  _KVOBLK_SET_MOVE_F(blkptr, value);
}

KVOBLK_API int kvoblk_inq_deriv_type_f_(const int* blkptr) {
  return _KVOBLK_INQ_DERIV_TYPE_F(blkptr);
}

KVOBLK_API void kvoblk_set_deriv_type_f_(const int* blkptr, const int* method) {
  _KVOBLK_SET_DERIV_TYPE_F(blkptr, method);
}

KVOBLK_API int kvoblk_inq_pat_ini_f_(const int* blkptr) { return _KVOBLK_INQ_PAT_INI_F(blkptr); }

KVOBLK_API void kvoblk_pat_ini_f_(const int* blkptr, const int* nzstart, int* errors) {
  _KVOBLK_PAT_INI_F(blkptr, nzstart, errors);
}

KVOBLK_API void kvoblk_jac_f_(const int* blkptr, int* status) { _KVOBLK_JAC_F(blkptr, status); }

KVOBLK_API void kvoblk_group_jac_f_(const int* blkptr, const int* group, int* status) {
  _KVOBLK_GROUP_JAC_F(blkptr, group, status);
}

KVOBLK_API int kvoblk_base_create_1_f_(const int* nwords) {
  return _KVOBLK_BASE_CREATE_1_F(nwords);
}

KVOBLK_API int kvoblk_set_op_f_(const int* blkptr, const char* name, void (*routine)(),
                                size_t namelen) {
  return _KVOBLK_SET_OP_F(blkptr, name, fortran_length(namelen), routine);
}

KVOBLK_API void kvoblk_define_var_f_(const int* blkptr, const int* i, const char* name,
                                     const double* value, size_t namelen) {
  _KVOBLK_DEFINE_VAR_F(blkptr, i, name, fortran_length(namelen), value);
}

KVOBLK_API void kvoblk_define_eqn_f_(const int* blkptr, const int* e, const char* name,
                                     size_t namelen) {
  _KVOBLK_DEFINE_EQN_F(blkptr, e, name, fortran_length(namelen));
}

KVOBLK_API double kvoblk_inq_var_f_(const int* blkptr, const int* i) {
  return _KVOBLK_INQ_VAR_F(blkptr, i);
}

KVOBLK_API void kvoblk_set_var_f_(const int* blkptr, const int* i, const double* value) {
  _KVOBLK_SET_VAR_F(blkptr, i, value);
}

KVOBLK_API double kvoblk_inq_res_f_(const int* blkptr, const int* e) {
  return _KVOBLK_INQ_RES_F(blkptr, e);
}

KVOBLK_API void kvoblk_set_res_f_(const int* blkptr, const int* e, const double* value) {
  _KVOBLK_SET_RES_F(blkptr, e, value);
}

KVOBLK_API void kvoblk_set_pat_f_(const int* blkptr, const int* jac, const int* k, const int* e,
                                  const int* v) {
  _KVOBLK_SET_PAT_F(blkptr, jac, k, e, v);
}

KVOBLK_API void kvoblk_inq_nz_f_(const int* blkptr, const int* k, int* e, int* v) {
  _KVOBLK_INQ_NZ_F(blkptr, k, e, v);
}

KVOBLK_API double kvoblk_inq_jac_f_(const int* blkptr, const int* k) {
  return _KVOBLK_INQ_JAC_F(blkptr, k);
}

KVOBLK_API void kvoblk_set_jac_f_(const int* blkptr, const int* k, const double* value) {
  _KVOBLK_SET_JAC_F(blkptr, k, value);
}

KVOBLK_API void kvovarid_next_(const char* text, int* pos, char* token, int* count, size_t textlen,
                               size_t toklen) {
  KVOVARID_NEXT(text, fortran_length(textlen), pos, token, fortran_length(toklen), count);
}

}  // extern "C"
