! SPDX-License-Identifier: BSD-3-Clause
! A Fortran model for 32-bit Windows that calls every Fortran entry point of kvoblk.dll by its
! decorated stdcall name. The compiler decorates each name with the byte count it works out from
! the interface (CHARACTER lengths passed as values right after the text), so linking this
! program against the DLL's import library proves that every exported name and byte count is the
! one a Fortran caller expects. It is linked, not run (the build machine runs no 32-bit code).
module kvoblk_stdcall
  use, intrinsic :: iso_c_binding, only: c_int, c_double, c_char, c_funptr
  implicit none
  abstract interface
    integer(c_int) function int_of_h(blk) bind(C)
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    real(c_double) function real_of_h(blk) bind(C)
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk
    end function
    subroutine h_only(blk) bind(C)
      import :: c_int
      integer(c_int), intent(in) :: blk
    end subroutine
    subroutine h_int(blk, v) bind(C)
      import :: c_int
      integer(c_int), intent(in) :: blk, v
    end subroutine
    subroutine h_int_out(blk, s) bind(C)
      import :: c_int
      integer(c_int), intent(in) :: blk
      integer(c_int), intent(inout) :: s
    end subroutine
    subroutine h_real(blk, v) bind(C)
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk
      real(c_double), intent(in) :: v
    end subroutine
    integer(c_int) function int_of_h_int(blk, i) bind(C)
      import :: c_int
      integer(c_int), intent(in) :: blk, i
    end function
    real(c_double) function real_of_h_int(blk, i) bind(C)
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk, i
    end function
    subroutine h_int_real(blk, i, v) bind(C)
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk, i
      real(c_double), intent(in) :: v
    end subroutine
    subroutine h_int_int_out(blk, i, s) bind(C)
      import :: c_int
      integer(c_int), intent(in) :: blk, i
      integer(c_int), intent(inout) :: s
    end subroutine
    subroutine h_3_out(blk, a, b, c) bind(C)
      import :: c_int
      integer(c_int), intent(in) :: blk
      integer(c_int), intent(out) :: a, b, c
    end subroutine
    subroutine h_text_in(blk, text, textlen) bind(C)
      import :: c_int, c_char
      integer(c_int), intent(in) :: blk
      character(kind=c_char), intent(in) :: text(*)
      integer(c_int), value :: textlen
    end subroutine
    integer(c_int) function int_of_h_text_in(blk, text, textlen) bind(C)
      import :: c_int, c_char
      integer(c_int), intent(in) :: blk
      character(kind=c_char), intent(in) :: text(*)
      integer(c_int), value :: textlen
    end function
    integer(c_int) function int_of_h_text_out(blk, text, textlen) bind(C)
      import :: c_int, c_char
      integer(c_int), intent(in) :: blk
      character(kind=c_char), intent(out) :: text(*)
      integer(c_int), value :: textlen
    end function
    subroutine varid_h(text, textlen, pos, token, toklen, count) bind(C)
      import :: c_int, c_char
      character(kind=c_char), intent(in) :: text(*)
      integer(c_int), value :: textlen, toklen
      integer(c_int), intent(inout) :: pos
      character(kind=c_char), intent(out) :: token(*)
      integer(c_int), intent(out) :: count
    end subroutine
    integer(c_int) function set_op_h(blk, name, namelen, routine) bind(C)
      import :: c_int, c_char, c_funptr
      integer(c_int), intent(in) :: blk
      character(kind=c_char), intent(in) :: name(*)
      integer(c_int), value :: namelen
      type(c_funptr), value :: routine
    end function
    subroutine define_var_h(blk, i, name, namelen, value) bind(C)
      import :: c_int, c_char, c_double
      integer(c_int), intent(in) :: blk, i
      character(kind=c_char), intent(in) :: name(*)
      integer(c_int), value :: namelen
      real(c_double), intent(in) :: value
    end subroutine
    subroutine define_eqn_h(blk, e, name, namelen) bind(C)
      import :: c_int, c_char
      integer(c_int), intent(in) :: blk, e
      character(kind=c_char), intent(in) :: name(*)
      integer(c_int), value :: namelen
    end subroutine
    subroutine set_pat_h(blk, jac, k, e, v) bind(C)
      import :: c_int
      integer(c_int), intent(in) :: blk, jac, k, e, v
    end subroutine
    subroutine inq_nz_h(blk, k, e, v) bind(C)
      import :: c_int
      integer(c_int), intent(in) :: blk, k
      integer(c_int), intent(out) :: e, v
    end subroutine
  end interface

  procedure(int_of_h), bind(C, name="_KVOBLK_BASE_CREATE_F") :: base_create
  procedure(int_of_h), bind(C, name="_KVOBLK_BASE_CREATE_1_F") :: base_create_1
  procedure(h_only), bind(C, name="_KVOBLK_BASE_DESTROY_F") :: base_destroy
  procedure(h_int_out), bind(C, name="_KVOBLK_BASE_DE_INI_F") :: base_de_ini
  procedure(int_of_h), bind(C, name="_KVOBLK_INQ_VSTART_F") :: inq_vstart
  procedure(int_of_h), bind(C, name="_KVOBLK_INQ_VSTOP_F") :: inq_vstop
  procedure(int_of_h), bind(C, name="_KVOBLK_INQ_ESTART_F") :: inq_estart
  procedure(int_of_h), bind(C, name="_KVOBLK_INQ_ESTOP_F") :: inq_estop
  procedure(int_of_h), bind(C, name="_KVOBLK_INQ_NZSTART_F") :: inq_nzstart
  procedure(int_of_h), bind(C, name="_KVOBLK_INQ_NZSTOP_F") :: inq_nzstop
  procedure(h_int), bind(C, name="_KVOBLK_SET_VSTART_F") :: set_vstart
  procedure(h_int), bind(C, name="_KVOBLK_SET_VSTOP_F") :: set_vstop
  procedure(h_int), bind(C, name="_KVOBLK_SET_ESTART_F") :: set_estart
  procedure(h_int), bind(C, name="_KVOBLK_SET_ESTOP_F") :: set_estop
  procedure(h_int), bind(C, name="_KVOBLK_SET_NZSTART_F") :: set_nzstart
  procedure(h_int), bind(C, name="_KVOBLK_SET_NZSTOP_F") :: set_nzstop
  procedure(h_3_out), bind(C, name="_BLK_INQ_MATRIX_F") :: inq_matrix
  procedure(int_of_h), bind(C, name="_BLK_INQ_MATRIX_VARLST_F") :: inq_varlst
  procedure(int_of_h), bind(C, name="_BLK_INQ_MATRIX_EQNLST_F") :: inq_eqnlst
  procedure(int_of_h), bind(C, name="_BLK_INQ_MATRIX_JACOBIAN_F") :: inq_jacobian
  procedure(h_int), bind(C, name="_BLK_SET_MATRIX_PRECEDENCE_F") :: set_precedence
  procedure(h_text_in), bind(C, name="_BLK_SET_BLKID_F") :: set_blkid
  procedure(int_of_h_text_out), bind(C, name="_BLK_COPY_BLKID_F") :: copy_blkid
  procedure(int_of_h_text_out), bind(C, name="KVOBLK_ID") :: kvoblk_id
  procedure(int_of_h_text_out), bind(C, name="_KVOBLK_ID") :: kvoblk_id_
  procedure(int_of_h_text_in), bind(C, name="_KVOBLK_GET_PORT_F") :: get_port
  procedure(int_of_h_int), bind(C, name="_KVOBLK_GET_PORT_N_F") :: get_port_n
  procedure(int_of_h), bind(C, name="_BLK_INQ_NUM_PORTS_F") :: inq_num_ports
  procedure(h_int), bind(C, name="_BLK_SET_NUM_PORTS_F") :: set_num_ports
  procedure(int_of_h), bind(C, name="_KVOBLK_INQ_INCLUDED_F") :: inq_included
  procedure(h_real), bind(C, name="_KVOBLK_SET_NLRATIO_F") :: set_nlratio
  procedure(real_of_h), bind(C, name="_KVOBLK_INQ_NLRATIODEV_F") :: inq_nlratiodev
  procedure(h_real), bind(C, name="_KVOBLK_SET_NLRATIODEV_F") :: set_nlratiodev
  procedure(real_of_h), bind(C, name="_KVOBLK_INQ_MOVEAMOUNT_F") :: inq_moveamount
  procedure(h_real), bind(C, name="_KVOBLK_SET_MOVEAMOUNT_F") :: set_moveamount
  procedure(real_of_h), bind(C, name="_KVOBLK_INQ_PERTSIZE_F") :: inq_pertsize
  procedure(h_real), bind(C, name="_KVOBLK_SET_PERTSIZE_F") :: set_pertsize
  procedure(int_of_h), bind(C, name="_KVOBLK_INQ_MOVE_F") :: inq_move
  procedure(h_int), bind(C, name="_KVOBLK_SET_MOVE_F") :: set_move
  procedure(int_of_h), bind(C, name="_KVOBLK_INQ_DERIV_TYPE_F") :: inq_deriv_type
  procedure(h_int), bind(C, name="_KVOBLK_SET_DERIV_TYPE_F") :: set_deriv_type
  procedure(int_of_h), bind(C, name="_KVOBLK_INQ_PAT_INI_F") :: inq_pat_ini
  procedure(h_int_int_out), bind(C, name="_KVOBLK_PAT_INI_F") :: pat_ini
  procedure(h_int_out), bind(C, name="_KVOBLK_JAC_F") :: jac
  procedure(h_int_int_out), bind(C, name="_KVOBLK_GROUP_JAC_F") :: group_jac
  procedure(varid_h), bind(C, name="KVOVARID_NEXT") :: varid_next
  procedure(varid_h), bind(C, name="_KVOVARID_NEXT") :: varid_next_
  procedure(set_op_h), bind(C, name="_KVOBLK_SET_OP_F") :: set_op
  procedure(define_var_h), bind(C, name="_KVOBLK_DEFINE_VAR_F") :: define_var
  procedure(define_eqn_h), bind(C, name="_KVOBLK_DEFINE_EQN_F") :: define_eqn
  procedure(real_of_h_int), bind(C, name="_KVOBLK_INQ_VAR_F") :: inq_var
  procedure(h_int_real), bind(C, name="_KVOBLK_SET_VAR_F") :: set_var
  procedure(real_of_h_int), bind(C, name="_KVOBLK_INQ_RES_F") :: inq_res
  procedure(h_int_real), bind(C, name="_KVOBLK_SET_RES_F") :: set_res
  procedure(set_pat_h), bind(C, name="_KVOBLK_SET_PAT_F") :: set_pat
  procedure(inq_nz_h), bind(C, name="_KVOBLK_INQ_NZ_F") :: inq_nz
  procedure(real_of_h_int), bind(C, name="_KVOBLK_INQ_JAC_F") :: inq_jac
  procedure(h_int_real), bind(C, name="_KVOBLK_SET_JAC_F") :: set_jac

  !GCC$ ATTRIBUTES STDCALL :: base_create, base_create_1, base_destroy, base_de_ini
  !GCC$ ATTRIBUTES STDCALL :: inq_vstart, inq_vstop, inq_estart, inq_estop, inq_nzstart
  !GCC$ ATTRIBUTES STDCALL :: inq_nzstop, set_vstart, set_vstop, set_estart, set_estop
  !GCC$ ATTRIBUTES STDCALL :: set_nzstart, set_nzstop, inq_matrix, inq_varlst, inq_eqnlst
  !GCC$ ATTRIBUTES STDCALL :: inq_jacobian, set_precedence, set_blkid, copy_blkid
  !GCC$ ATTRIBUTES STDCALL :: kvoblk_id, kvoblk_id_, get_port, get_port_n, inq_num_ports
  !GCC$ ATTRIBUTES STDCALL :: set_num_ports, inq_included, set_nlratio, inq_nlratiodev
  !GCC$ ATTRIBUTES STDCALL :: set_nlratiodev, inq_moveamount, set_moveamount, inq_pertsize
  !GCC$ ATTRIBUTES STDCALL :: set_pertsize, inq_move, set_move, inq_deriv_type
  !GCC$ ATTRIBUTES STDCALL :: set_deriv_type, inq_pat_ini, pat_ini, jac, group_jac
  !GCC$ ATTRIBUTES STDCALL :: varid_next, varid_next_, set_op, define_var, define_eqn
  !GCC$ ATTRIBUTES STDCALL :: inq_var, set_var, inq_res, set_res, set_pat, inq_nz, inq_jac
  !GCC$ ATTRIBUTES STDCALL :: set_jac
end module

! The model's residual routine: x**2 - 4 = 0.
subroutine square_res(blk, status) bind(C)
  use kvoblk_stdcall
  integer(c_int), value :: blk
  integer(c_int), intent(out) :: status
  real(c_double) :: x
  x = inq_var(blk, 1)
  call set_res(blk, 1, x * x - 4d0)
  status = 0
end subroutine

program stdcall_model
  use, intrinsic :: iso_c_binding, only: c_funloc
  use kvoblk_stdcall
  implicit none
  interface
    subroutine square_res(blk, status) bind(C)
      import :: c_int
      integer(c_int), value :: blk
      integer(c_int), intent(out) :: status
    end subroutine
  end interface
  integer(c_int) :: blk, blk1, n, status, varlst, eqnlst, jaclst, e, v, pos, count
  real(c_double) :: d
  character(len=8) :: id
  character(len=16) :: token
  character(len=*), parameter :: varid = 'FEED.F.WATER'

  blk = base_create(22)
  blk1 = base_create_1(22)
  call set_blkid(blk, 'FEED    ', 8)
  n = copy_blkid(blk, id, len(id)) + kvoblk_id(blk, id, len(id)) + kvoblk_id_(blk, id, len(id))
  n = n + set_op(blk, 'res', 3, c_funloc(square_res))
  call define_var(blk, 1, 'FEED.X', 6, 3d0)
  call define_eqn(blk, 1, 'FEED.SQUARE', 11)
  call set_vstart(blk, 1); call set_vstop(blk, 1)
  call set_estart(blk, 1); call set_estop(blk, 1)
  call set_nzstart(blk, 1); call set_nzstop(blk, 1)
  n = n + inq_vstart(blk) + inq_vstop(blk) + inq_estart(blk) + inq_estop(blk)
  n = n + inq_nzstart(blk) + inq_nzstop(blk)
  call inq_matrix(blk, varlst, eqnlst, jaclst)
  n = n + inq_varlst(blk) + inq_eqnlst(blk) + inq_jacobian(blk)
  call set_precedence(blk, 1)
  n = n + get_port(blk, 'IN', 2) + get_port_n(blk, 1) + inq_num_ports(blk)
  call set_num_ports(blk, 0)
  n = n + inq_included(blk)
  call set_nlratio(blk, 1d0)
  call set_nlratiodev(blk, 0.1d0)
  call set_moveamount(blk, 0.5d0)
  call set_pertsize(blk, 1d-6)
  d = inq_nlratiodev(blk) + inq_moveamount(blk) + inq_pertsize(blk)
  call set_move(blk, 0)
  n = n + inq_move(blk)
  call set_deriv_type(blk, 2)
  n = n + inq_deriv_type(blk) + inq_pat_ini(blk)
  status = 0
  call pat_ini(blk, 1, status)
  call set_pat(blk, jaclst, 1, 1, 1)
  call inq_nz(blk, 1, e, v)
  call set_var(blk, 1, 2d0)
  d = d + inq_var(blk, 1) + inq_res(blk, 1) + inq_jac(blk, 1)
  call set_jac(blk, 1, 4d0)
  call jac(blk, status)
  call group_jac(blk, 1, status)
  pos = 1
  call varid_next(varid, len(varid), pos, token, len(token), count)
  call varid_next_(varid, len(varid), pos, token, len(token), count)
  call base_de_ini(blk, status)
  call base_destroy(blk)
  call base_destroy(blk1)
  print '(a, i0, 1x, f0.3)', 'stdcall model: ', n, d
end program
