! SPDX-License-Identifier: BSD-3-Clause
! The two-variable model of twovar.c written in Fortran against the installed module `kvoblk`:
! x1 + 2 x2 = 5 and x1 x2 = 2, with its own pattern and analytic Jacobian. twovar_create takes
! the block id as a C text, so the one driver runs either model.
module twovar
  use, intrinsic :: iso_c_binding
  use kvoblk
  implicit none
  private
  public :: twovar_create

contains

  integer(c_int) function twovar_create(id) bind(C, name="twovar_create")
    character(kind=c_char), intent(in) :: id(*)
    character(len=8) :: name
    integer(c_int) :: blk, i, filled

    twovar_create = 0
    name = ' '
    do i = 1, len(name)
      if (id(i) == c_null_char) exit
      name(i:i) = id(i)
    end do
    blk = kvoblk_base_create_f(KVOBLK_WORDS)
    if (blk == 0) return
    call kvoblk_set_blkid(blk, trim(name))
    filled = 0
    if (kvoblk_set_op(blk, 'selfdim', c_funloc(selfdim))) filled = filled + 1
    if (kvoblk_set_op(blk, 'ini', c_funloc(ini))) filled = filled + 1
    if (kvoblk_set_op(blk, 'selfpat', c_funloc(selfpat))) filled = filled + 1
    if (kvoblk_set_op(blk, 'res', c_funloc(res))) filled = filled + 1
    if (kvoblk_set_op(blk, 'selfjac', c_funloc(selfjac))) filled = filled + 1
    if (filled == 5) twovar_create = blk
  end function

  subroutine selfdim(blk, nvar, neqn, nnz, status) bind(C)
    integer(c_int), value :: blk
    integer(c_int), intent(out) :: nvar, neqn, nnz, status
    nvar = 2
    neqn = 2
    nnz = 4
    status = 0
    if (blk == 0) status = 1
  end subroutine

  subroutine ini(blk, vstart, estart, nzstart, status) bind(C)
    integer(c_int), value :: blk, vstart, estart, nzstart
    integer(c_int), intent(out) :: status
    integer(c_int) :: errors
    call kvoblk_set_vstop_f(blk, vstart + 1)
    call kvoblk_set_estop_f(blk, estart + 1)
    call kvoblk_set_nzstop_f(blk, nzstart - 1)
    errors = 0
    call kvoblk_pat_ini_f(blk, nzstart, errors)
    status = 0
    if (errors /= 0) status = 1
  end subroutine

  ! Every equation depends on both variables, entries grouped by row.
  subroutine selfpat(blk, jac, status) bind(C)
    integer(c_int), value :: blk
    integer(c_int), intent(in) :: jac
    integer(c_int), intent(out) :: status
    integer(c_int) :: e, v
    do e = 1, 2
      do v = 1, 2
        call kvoblk_set_pat_f(blk, jac, 2 * (e - 1) + v, e, v)
      end do
    end do
    call kvoblk_set_nzstop_f(blk, kvoblk_inq_nzstart_f(blk) + 3)
    status = 0
  end subroutine

  subroutine res(blk, status) bind(C)
    integer(c_int), value :: blk
    integer(c_int), intent(out) :: status
    real(c_double) :: x1, x2
    x1 = kvoblk_inq_var_f(blk, 1)
    x2 = kvoblk_inq_var_f(blk, 2)
    call kvoblk_set_res_f(blk, 1, x1 + 2d0 * x2 - 5d0)
    call kvoblk_set_res_f(blk, 2, x1 * x2 - 2d0)
    status = 0
  end subroutine

  ! Each non-zero's value by its equation and variable, whatever order the pattern was stored in.
  subroutine selfjac(blk, status) bind(C)
    integer(c_int), value :: blk
    integer(c_int), intent(out) :: status
    real(c_double) :: x(2)
    integer(c_int) :: k, e, v
    x(1) = kvoblk_inq_var_f(blk, 1)
    x(2) = kvoblk_inq_var_f(blk, 2)
    do k = 1, 4
      call kvoblk_inq_nz_f(blk, k, e, v)
      if (e == 1) then
        call kvoblk_set_jac_f(blk, k, real(v, c_double))
      else
        call kvoblk_set_jac_f(blk, k, x(3 - v))
      end if
    end do
    status = 0
  end subroutine

end module
