! SPDX-License-Identifier: BSD-3-Clause
! A two-stream mixer written in Fortran 90: two feeds, each with a flow F (kg/s) and a
! temperature T (K), mix into one product of the same heat capacity. Block variables, in order:
! IN1.F, IN1.T, IN2.F, IN2.T, OUT.F, OUT.T; equations:
!
!   FLOW:  F - F1 - F2            = 0
!   HEAT:  F T - F1 T1 - F2 T2    = 0
!
! The model is Fortran only: it uses the library's module `kvoblk`, puts its own routines in the
! block's operation table by slot name, defines its variables and equations and reads and writes
! values, residuals and Jacobian non-zeros by block-local number. The routines the table calls
! take the slots' arguments (handle and numbers by VALUE); the rest are bound to C for the
! driver program.
module mixer
  use, intrinsic :: iso_c_binding
  use kvoblk
  implicit none
  private

  public :: mixer_create, mixer_selfdim, mixer_ini, mixer_selfpat, mixer_res, mixer_selfjac
  public :: mixer_report, mixer_port_check, mixer_set_method

  integer(c_int), parameter :: NVAR = 6, NEQN = 2, NNZ = 9
  ! The pattern by rows: block-local equation and variable of each non-zero.
  integer(c_int), parameter :: PAT_ROW(NNZ) = (/ 1, 1, 1, 2, 2, 2, 2, 2, 2 /)
  integer(c_int), parameter :: PAT_COL(NNZ) = (/ 1, 3, 5, 1, 2, 3, 4, 5, 6 /)
  character(len=5), parameter :: VAR_NAME(NVAR) = &
      (/ 'IN1.F', 'IN1.T', 'IN2.F', 'IN2.T', 'OUT.F', 'OUT.T' /)
  character(len=4), parameter :: EQN_NAME(NEQN) = (/ 'FLOW', 'HEAT' /)
  ! Starting guesses: what a mixer of two unit feeds at 300 K would give.
  real(c_double), parameter :: GUESS(NVAR) = (/ 1d0, 300d0, 1d0, 300d0, 2d0, 300d0 /)

contains

  ! Makes the block, gives it the id (at most 8 characters, blank-padded as Fortran keeps it)
  ! and puts the model's routines in its operation table. Reads the id back to make sure the
  ! library stored it without the padding. 0 when the block cannot be made.
  integer(c_int) function mixer_create(id, idlen) bind(C, name="mixer_create_f")
    character(kind=c_char), intent(in) :: id(*)
    integer(c_int), value :: idlen
    character(len=8) :: name
    character(len=16) :: back
    integer(c_int) :: blk, n, i, filled

    mixer_create = 0
    name = ' '
    do i = 1, min(idlen, len(name))
      name(i:i) = id(i)
    end do
    blk = kvoblk_base_create_f(KVOBLK_WORDS)
    if (blk == 0) return
    filled = 0
    if (kvoblk_set_op(blk, 'selfdim', c_funloc(mixer_selfdim))) filled = filled + 1
    if (kvoblk_set_op(blk, 'ini', c_funloc(mixer_ini))) filled = filled + 1
    if (kvoblk_set_op(blk, 'selfpat', c_funloc(mixer_selfpat))) filled = filled + 1
    if (kvoblk_set_op(blk, 'res', c_funloc(mixer_res))) filled = filled + 1
    if (kvoblk_set_op(blk, 'selfjac', c_funloc(mixer_selfjac))) filled = filled + 1
    if (filled /= 5) then
      call kvoblk_base_destroy_f(blk)
      return
    end if
    call blk_set_blkid_f(blk, name, len(name))
    n = blk_copy_blkid_f(blk, back, len(back))
    if (n /= len_trim(name) + 1 .or. back /= name) then
      call say('!! mixer: the block id did not come back as it was given')
      call kvoblk_base_destroy_f(blk)
      return
    end if
    mixer_create = blk
  end function

  subroutine mixer_selfdim(blk, nvars, neqns, nnzs, status) bind(C)
    integer(c_int), value :: blk
    integer(c_int), intent(out) :: nvars, neqns, nnzs, status
    nvars = NVAR
    neqns = NEQN
    nnzs = NNZ
    status = 0
    if (blk == 0) status = 1
  end subroutine

  ! Placement: defines the variables and equations from the given starts, records the stops and
  ! has the library initialise the pattern (from mixer_selfpat, by detection or from a file, as
  ! the block's pattern initialisation type says).
  subroutine mixer_ini(blk, vstart, estart, nzstart, status) bind(C)
    integer(c_int), value :: blk, vstart, estart, nzstart
    integer(c_int), intent(out) :: status
    integer(c_int) :: varlst, eqnlst, jac, i, errors
    character(len=40) :: full

    status = 0
    call blk_inq_matrix_f(blk, varlst, eqnlst, jac)
    if (varlst == 0 .or. eqnlst == 0 .or. jac == 0) then
      call kvoblk_set_vstop_f(blk, vstart - 1)
      call kvoblk_set_estop_f(blk, estart - 1)
      call kvoblk_set_nzstop_f(blk, nzstart - 1)
      call say('!! mixer: the block has no lists to be placed in')
      status = 1
      return
    end if
    do i = 1, NVAR
      call item_name(blk, VAR_NAME(i), full)
      call kvoblk_define_var(blk, i, full, GUESS(i))
    end do
    do i = 1, NEQN
      call item_name(blk, EQN_NAME(i), full)
      call kvoblk_define_eqn(blk, i, full)
    end do
    call kvoblk_set_vstop_f(blk, vstart + NVAR - 1)
    call kvoblk_set_estop_f(blk, estart + NEQN - 1)
    call kvoblk_set_nzstop_f(blk, nzstart - 1)
    errors = 0
    call kvoblk_pat_ini_f(blk, nzstart, errors)
    if (errors /= 0) then
      call say('!! mixer: the block has no sparsity pattern')
      status = 1
    end if
  end subroutine

  ! The model's own pattern, written into the pattern object it is given as the block's non-zeros
  ! 1 to NNZ.
  subroutine mixer_selfpat(blk, jac, status) bind(C)
    integer(c_int), value :: blk
    integer(c_int), intent(in) :: jac
    integer(c_int), intent(out) :: status
    integer(c_int) :: k

    status = 0
    if (jac == 0) then
      status = 1
      return
    end if
    do k = 1, NNZ
      call kvoblk_set_pat_f(blk, jac, k, PAT_ROW(k), PAT_COL(k))
    end do
    call kvoblk_set_nzstop_f(blk, kvoblk_inq_nzstart_f(blk) + NNZ - 1)
  end subroutine

  subroutine mixer_res(blk, status) bind(C)
    integer(c_int), value :: blk
    integer(c_int), intent(out) :: status
    real(c_double) :: x(NVAR)
    integer(c_int) :: neqns

    call load(blk, x, status)
    if (status /= 0) return
    neqns = kvoblk_inq_estop_f(blk)
    neqns = neqns - kvoblk_inq_estart_f(blk) + 1
    if (neqns /= NEQN) then
      status = 1
      return
    end if
    call kvoblk_set_res_f(blk, 1, x(5) - x(1) - x(3))
    call kvoblk_set_res_f(blk, 2, x(5) * x(6) - x(1) * x(2) - x(3) * x(4))
  end subroutine

  ! The analytic Jacobian: fills whatever pattern the block got, in any entry order.
  subroutine mixer_selfjac(blk, status) bind(C)
    integer(c_int), value :: blk
    integer(c_int), intent(out) :: status
    real(c_double) :: x(NVAR)
    integer(c_int) :: k, e, v

    call load(blk, x, status)
    if (status /= 0) return
    do k = 1, kvoblk_inq_nzstop_f(blk) - kvoblk_inq_nzstart_f(blk) + 1
      call kvoblk_inq_nz_f(blk, k, e, v)
      call kvoblk_set_jac_f(blk, k, partial(e, v, x))
    end do
  end subroutine

  ! One line per variable on the history device: the components of its name, found with the
  ! identifier scanner, and its value.
  subroutine mixer_report(blk) bind(C, name="mixer_report_f")
    integer(c_int), intent(in) :: blk
    real(c_double) :: x(NVAR)
    character(len=40) :: full
    character(len=8) :: part(3)
    character(len=80) :: line
    integer(c_int) :: i, j, pos, count, status

    call load(blk, x, status)
    if (status /= 0) then
      call say('!! mixer: the block is not placed')
      return
    end if
    do i = 1, NVAR
      call item_name(blk, VAR_NAME(i), full)
      pos = 1
      do j = 1, 3
        call kvovarid_next(full, len_trim(full), pos, part(j), len(part(j)), count)
      end do
      write (line, '(A,1X,A,1X,A,F14.6)') part(1), part(2)(1:4), part(3)(1:2), x(i)
      call say(line)
    end do
  end subroutine

  ! Finds the ports from Fortran: the handle of the port named OUT must be the handle of the
  ! last port. 0 when they agree, 1 otherwise.
  integer(c_int) function mixer_port_check(blk) bind(C, name="mixer_port_check_f")
    integer(c_int), intent(in) :: blk
    character(len=8) :: name
    character(len=80) :: line
    integer(c_int) :: n, by_name, by_number

    name = 'OUT'
    n = blk_inq_num_ports_f(blk)
    by_name = kvoblk_get_port_f(blk, name, len(name))
    by_number = kvoblk_get_port_n_f(blk, n)
    mixer_port_check = 1
    if (n > 0 .and. by_name /= 0 .and. by_name == by_number) mixer_port_check = 0
    write (line, '(A,I0,A)') 'Fortran finds port OUT by name and as port ', n, &
        ', the last of the block'
    if (mixer_port_check /= 0) line = '!! mixer: port OUT is not the last port of the block'
    call say(line)
  end function

  ! Chooses the derivative method; answers the method in force afterwards.
  integer(c_int) function mixer_set_method(blk, method) bind(C, name="mixer_set_method_f")
    integer(c_int), intent(in) :: blk, method
    call kvoblk_set_deriv_type_f(blk, method)
    mixer_set_method = kvoblk_inq_deriv_type_f(blk)
  end function

  ! ---- Helpers ----

  ! "<block id>.<item>", with the block id copied out of the library.
  subroutine item_name(blk, item, full)
    integer(c_int), intent(in) :: blk
    character(len=*), intent(in) :: item
    character(len=*), intent(out) :: full
    character(len=16) :: id
    integer(c_int) :: n

    n = kvoblk_id(blk, id, len(id))
    if (n > len(id) + 1) n = len(id) + 1  ! an id cut to 16 characters
    full = id(1:n - 1) // '.' // item
  end subroutine

  ! The block's variable values, status 1 when the block does not hold its six variables.
  subroutine load(blk, x, status)
    integer(c_int), intent(in) :: blk
    real(c_double), intent(out) :: x(NVAR)
    integer(c_int), intent(out) :: status
    integer(c_int) :: i, varlst, nvars

    status = 0
    x = 0d0
    varlst = blk_inq_matrix_varlst_f(blk)
    nvars = kvoblk_inq_vstop_f(blk) - kvoblk_inq_vstart_f(blk) + 1
    if (varlst == 0 .or. nvars /= NVAR) then
      status = 1
      return
    end if
    do i = 1, NVAR
      x(i) = kvoblk_inq_var_f(blk, i)
    end do
  end subroutine

  ! d(equation row)/d(variable col) at x, block-local numbers.
  real(c_double) function partial(row, col, x)
    integer(c_int), intent(in) :: row, col
    real(c_double), intent(in) :: x(NVAR)
    partial = 0d0
    if (row == 1) then
      select case (col)
      case (1, 3)
        partial = -1d0
      case (5)
        partial = 1d0
      end select
    else if (row == 2) then
      select case (col)
      case (1)
        partial = -x(2)
      case (2)
        partial = -x(1)
      case (3)
        partial = -x(4)
      case (4)
        partial = -x(3)
      case (5)
        partial = x(6)
      case (6)
        partial = x(5)
      end select
    end if
  end function

  subroutine say(text)
    character(len=*), intent(in) :: text
    call kvoblk_say(kvhisdev, text)
  end subroutine

end module mixer
