// SPDX-License-Identifier: BSD-3-Clause
// The Fortran entry points as 32-bit Windows exports them: stdcall (the callee pops its
// arguments), each CHARACTER length passed by value right after the address, and the exported
// name decorated with an at sign and the byte count of the arguments. Each forwards to the
// entry point of the same name, so both behave alike. Other platforms build nothing here.
#if defined(_WIN32) && defined(__i386__)

#include <kvoblk/kvofortran.h>

namespace {

// Bytes a stdcall function of these arguments pops: each argument rounded up to a word.
template <typename R, typename... A>
constexpr int stdcall_bytes(R(__attribute__((stdcall)) *)(A...)) {
  return (0 + ... + static_cast<int>((sizeof(A) + 3) / 4 * 4));
}

}  // namespace

// Defines the stdcall function `fn` under the decorated name `label`@`bytes` (the extra
// underscore of its symbol is the platform's prefix of C names) and checks that `bytes` is what
// the arguments occupy, so a wrong count in a name can never unbalance a caller's stack. The
// list of decorated exports (tests/windows/exports-i686-stdcall.txt) is the module definition
// that exports them.
#define KVO_STDCALL(ret, fn, label, bytes, params, call)                           \
  extern "C" ret __attribute__((stdcall)) fn params __asm__("_" label "@" #bytes); \
  ret __attribute__((stdcall)) fn params { return call; }                          \
  static_assert(stdcall_bytes(&fn) == bytes, "argument bytes of " label)

// ---- The entry points of the Fortran interface ---------------------------------------------
KVO_STDCALL(int, kvo_sc_base_create, "_KVOBLK_BASE_CREATE_F", 4, (const int* n),
            _KVOBLK_BASE_CREATE_F(n));
KVO_STDCALL(void, kvo_sc_base_destroy, "_KVOBLK_BASE_DESTROY_F", 4, (const int* b),
            _KVOBLK_BASE_DESTROY_F(b));
KVO_STDCALL(void, kvo_sc_base_de_ini, "_KVOBLK_BASE_DE_INI_F", 8, (const int* b, int* s),
            _KVOBLK_BASE_DE_INI_F(b, s));
KVO_STDCALL(int, kvo_sc_inq_vstart, "_KVOBLK_INQ_VSTART_F", 4, (const int* b),
            _KVOBLK_INQ_VSTART_F(b));
KVO_STDCALL(int, kvo_sc_inq_vstop, "_KVOBLK_INQ_VSTOP_F", 4, (const int* b),
            _KVOBLK_INQ_VSTOP_F(b));
KVO_STDCALL(int, kvo_sc_inq_estart, "_KVOBLK_INQ_ESTART_F", 4, (const int* b),
            _KVOBLK_INQ_ESTART_F(b));
KVO_STDCALL(int, kvo_sc_inq_estop, "_KVOBLK_INQ_ESTOP_F", 4, (const int* b),
            _KVOBLK_INQ_ESTOP_F(b));
KVO_STDCALL(int, kvo_sc_inq_nzstart, "_KVOBLK_INQ_NZSTART_F", 4, (const int* b),
            _KVOBLK_INQ_NZSTART_F(b));
KVO_STDCALL(int, kvo_sc_inq_nzstop, "_KVOBLK_INQ_NZSTOP_F", 4, (const int* b),
            _KVOBLK_INQ_NZSTOP_F(b));
KVO_STDCALL(void, kvo_sc_set_vstart, "_KVOBLK_SET_VSTART_F", 8, (const int* b, const int* v),
            _KVOBLK_SET_VSTART_F(b, v));
KVO_STDCALL(void, kvo_sc_set_vstop, "_KVOBLK_SET_VSTOP_F", 8, (const int* b, const int* v),
            _KVOBLK_SET_VSTOP_F(b, v));
KVO_STDCALL(void, kvo_sc_set_estart, "_KVOBLK_SET_ESTART_F", 8, (const int* b, const int* v),
            _KVOBLK_SET_ESTART_F(b, v));
KVO_STDCALL(void, kvo_sc_set_estop, "_KVOBLK_SET_ESTOP_F", 8, (const int* b, const int* v),
            _KVOBLK_SET_ESTOP_F(b, v));
KVO_STDCALL(void, kvo_sc_set_nzstart, "_KVOBLK_SET_NZSTART_F", 8, (const int* b, const int* v),
            _KVOBLK_SET_NZSTART_F(b, v));
KVO_STDCALL(void, kvo_sc_set_nzstop, "_KVOBLK_SET_NZSTOP_F", 8, (const int* b, const int* v),
            _KVOBLK_SET_NZSTOP_F(b, v));
KVO_STDCALL(void, kvo_sc_inq_matrix, "_BLK_INQ_MATRIX_F", 16,
            (const int* b, int* varlst, int* eqnlst, int* jac),
            _BLK_INQ_MATRIX_F(b, varlst, eqnlst, jac));
KVO_STDCALL(int, kvo_sc_inq_matrix_varlst, "_BLK_INQ_MATRIX_VARLST_F", 4, (const int* b),
            _BLK_INQ_MATRIX_VARLST_F(b));
KVO_STDCALL(int, kvo_sc_inq_matrix_eqnlst, "_BLK_INQ_MATRIX_EQNLST_F", 4, (const int* b),
            _BLK_INQ_MATRIX_EQNLST_F(b));
KVO_STDCALL(int, kvo_sc_inq_matrix_jacobian, "_BLK_INQ_MATRIX_JACOBIAN_F", 4, (const int* b),
            _BLK_INQ_MATRIX_JACOBIAN_F(b));
KVO_STDCALL(void, kvo_sc_set_matrix_precedence, "_BLK_SET_MATRIX_PRECEDENCE_F", 8,
            (const int* b, const int* p), _BLK_SET_MATRIX_PRECEDENCE_F(b, p));
KVO_STDCALL(void, kvo_sc_set_blkid, "_BLK_SET_BLKID_F", 12,
            (const int* b, const char* id, int idlen), _BLK_SET_BLKID_F(b, id, idlen));
KVO_STDCALL(int, kvo_sc_copy_blkid, "_BLK_COPY_BLKID_F", 12, (const int* b, char* id, int idlen),
            _BLK_COPY_BLKID_F(b, id, idlen));
KVO_STDCALL(int, kvo_sc_id, "KVOBLK_ID", 12, (const int* b, char* id, int idlen),
            KVOBLK_ID(b, id, idlen));
KVO_STDCALL(int, kvo_sc_id_underscored, "_KVOBLK_ID", 12, (const int* b, char* id, int idlen),
            _KVOBLK_ID(b, id, idlen));
KVO_STDCALL(int, kvo_sc_get_port, "_KVOBLK_GET_PORT_F", 12,
            (const int* b, const char* name, int namelen), _KVOBLK_GET_PORT_F(b, name, namelen));
KVO_STDCALL(int, kvo_sc_get_port_n, "_KVOBLK_GET_PORT_N_F", 8, (const int* b, const int* i),
            _KVOBLK_GET_PORT_N_F(b, i));
KVO_STDCALL(int, kvo_sc_inq_num_ports, "_BLK_INQ_NUM_PORTS_F", 4, (const int* b),
            _BLK_INQ_NUM_PORTS_F(b));
KVO_STDCALL(void, kvo_sc_set_num_ports, "_BLK_SET_NUM_PORTS_F", 8, (const int* b, const int* n),
            _BLK_SET_NUM_PORTS_F(b, n));
KVO_STDCALL(int, kvo_sc_inq_included, "_KVOBLK_INQ_INCLUDED_F", 4, (const int* b),
            _KVOBLK_INQ_INCLUDED_F(b));
KVO_STDCALL(void, kvo_sc_set_nlratio, "_KVOBLK_SET_NLRATIO_F", 8, (const int* b, const double* v),
            _KVOBLK_SET_NLRATIO_F(b, v));
KVO_STDCALL(double, kvo_sc_inq_nlratiodev, "_KVOBLK_INQ_NLRATIODEV_F", 4, (const int* b),
            _KVOBLK_INQ_NLRATIODEV_F(b));
KVO_STDCALL(void, kvo_sc_set_nlratiodev, "_KVOBLK_SET_NLRATIODEV_F", 8,
            (const int* b, const double* v), _KVOBLK_SET_NLRATIODEV_F(b, v));
KVO_STDCALL(double, kvo_sc_inq_moveamount, "_KVOBLK_INQ_MOVEAMOUNT_F", 4, (const int* b),
            _KVOBLK_INQ_MOVEAMOUNT_F(b));
KVO_STDCALL(void, kvo_sc_set_moveamount, "_KVOBLK_SET_MOVEAMOUNT_F", 8,
            (const int* b, const double* v), _KVOBLK_SET_MOVEAMOUNT_F(b, v));
KVO_STDCALL(double, kvo_sc_inq_pertsize, "_KVOBLK_INQ_PERTSIZE_F", 4, (const int* b),
            _KVOBLK_INQ_PERTSIZE_F(b));
KVO_STDCALL(void, kvo_sc_set_pertsize, "_KVOBLK_SET_PERTSIZE_F", 8, (const int* b, const double* v),
            _KVOBLK_SET_PERTSIZE_F(b, v));
KVO_STDCALL(int, kvo_sc_inq_move, "_KVOBLK_INQ_MOVE_F", 4, (const int* b), _KVOBLK_INQ_MOVE_F(b));
KVO_STDCALL(void, kvo_sc_set_move, "_KVOBLK_SET_MOVE_F", 8, (const int* b, const int* v),
            _KVOBLK_SET_MOVE_F(b, v));
KVO_STDCALL(int, kvo_sc_inq_deriv_type, "_KVOBLK_INQ_DERIV_TYPE_F", 4, (const int* b),
            _KVOBLK_INQ_DERIV_TYPE_F(b));
KVO_STDCALL(void, kvo_sc_set_deriv_type, "_KVOBLK_SET_DERIV_TYPE_F", 8,
            (const int* b, const int* m), _KVOBLK_SET_DERIV_TYPE_F(b, m));
KVO_STDCALL(int, kvo_sc_inq_pat_ini, "_KVOBLK_INQ_PAT_INI_F", 4, (const int* b),
            _KVOBLK_INQ_PAT_INI_F(b));
KVO_STDCALL(void, kvo_sc_pat_ini, "_KVOBLK_PAT_INI_F", 12,
            (const int* b, const int* value, int* errors), _KVOBLK_PAT_INI_F(b, value, errors));
KVO_STDCALL(void, kvo_sc_jac, "_KVOBLK_JAC_F", 8, (const int* b, int* s), _KVOBLK_JAC_F(b, s));
KVO_STDCALL(void, kvo_sc_group_jac, "_KVOBLK_GROUP_JAC_F", 12, (const int* b, const int* g, int* s),
            _KVOBLK_GROUP_JAC_F(b, g, s));
KVO_STDCALL(void, kvo_sc_varid_next, "KVOVARID_NEXT", 24,
            (const char* text, int textlen, int* pos, char* token, int toklen, int* count),
            KVOVARID_NEXT(text, textlen, pos, token, toklen, count));
KVO_STDCALL(void, kvo_sc_varid_next_underscored, "_KVOVARID_NEXT", 24,
            (const char* text, int textlen, int* pos, char* token, int toklen, int* count),
            _KVOVARID_NEXT(text, textlen, pos, token, toklen, count));

// ---- The model routines a Fortran model needs besides them -----------------------------------
KVO_STDCALL(int, kvo_sc_base_create_1, "_KVOBLK_BASE_CREATE_1_F", 4, (const int* n),
            _KVOBLK_BASE_CREATE_1_F(n));
KVO_STDCALL(int, kvo_sc_set_op, "_KVOBLK_SET_OP_F", 16,
            (const int* b, const char* name, int namelen, void (*routine)()),
            _KVOBLK_SET_OP_F(b, name, namelen, routine));
KVO_STDCALL(void, kvo_sc_define_var, "_KVOBLK_DEFINE_VAR_F", 20,
            (const int* b, const int* i, const char* name, int namelen, const double* value),
            _KVOBLK_DEFINE_VAR_F(b, i, name, namelen, value));
KVO_STDCALL(void, kvo_sc_define_eqn, "_KVOBLK_DEFINE_EQN_F", 16,
            (const int* b, const int* e, const char* name, int namelen),
            _KVOBLK_DEFINE_EQN_F(b, e, name, namelen));
KVO_STDCALL(double, kvo_sc_inq_var, "_KVOBLK_INQ_VAR_F", 8, (const int* b, const int* i),
            _KVOBLK_INQ_VAR_F(b, i));
KVO_STDCALL(void, kvo_sc_set_var, "_KVOBLK_SET_VAR_F", 12,
            (const int* b, const int* i, const double* v), _KVOBLK_SET_VAR_F(b, i, v));
KVO_STDCALL(double, kvo_sc_inq_res, "_KVOBLK_INQ_RES_F", 8, (const int* b, const int* e),
            _KVOBLK_INQ_RES_F(b, e));
KVO_STDCALL(void, kvo_sc_set_res, "_KVOBLK_SET_RES_F", 12,
            (const int* b, const int* e, const double* v), _KVOBLK_SET_RES_F(b, e, v));
KVO_STDCALL(void, kvo_sc_set_pat, "_KVOBLK_SET_PAT_F", 20,
            (const int* b, const int* jac, const int* k, const int* e, const int* v),
            _KVOBLK_SET_PAT_F(b, jac, k, e, v));
KVO_STDCALL(void, kvo_sc_inq_nz, "_KVOBLK_INQ_NZ_F", 16,
            (const int* b, const int* k, int* e, int* v), _KVOBLK_INQ_NZ_F(b, k, e, v));
KVO_STDCALL(double, kvo_sc_inq_jac, "_KVOBLK_INQ_JAC_F", 8, (const int* b, const int* k),
            _KVOBLK_INQ_JAC_F(b, k));
KVO_STDCALL(void, kvo_sc_set_jac, "_KVOBLK_SET_JAC_F", 12,
            (const int* b, const int* k, const double* v), _KVOBLK_SET_JAC_F(b, k, v));

#endif  // 32-bit Windows
