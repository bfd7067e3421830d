! A two-stream mixer written in Fortran 90: two feeds, each with a flow F (kg/s) and a
! temperature T (K), mix into one product of the same heat capacity. Block variables, in order:
! IN1.F, IN1.T, IN2.F, IN2.T, OUT.F, OUT.T; equations:
!
!   FLOW:  F - F1 - F2            = 0
!   HEAT:  F T - F1 T1 - F2 T2    = 0
!
! The routines are bound to C so that the glue (mixer_glue.cpp) can put them in the block's
! operation table. They reach the block only through the library's Fortran entry points and the
! host's list services.
module mixer
  use, intrinsic :: iso_c_binding
  use kvoblk_f
  implicit none
  private

  public :: mixer_create, mixer_selfdim, mixer_ini, mixer_selfpat, mixer_res, mixer_selfjac
  public :: mixer_report, mixer_port_check, mixer_set_method

  integer(c_int), parameter :: NVAR = 6, NEQN = 2, NNZ = 9
  ! Words of the block record: the library's 22, nothing of the model's own.
  integer(c_int), parameter :: NWORDS = 22
  ! The pattern by rows: block-local equation and variable of each non-zero.
  integer(c_int), parameter :: PAT_ROW(NNZ) = (/ 1, 1, 1, 2, 2, 2, 2, 2, 2 /)
  integer(c_int), parameter :: PAT_COL(NNZ) = (/ 1, 3, 5, 1, 2, 3, 4, 5, 6 /)
  character(len=5), parameter :: VAR_NAME(NVAR) = &
      (/ 'IN1.F', 'IN1.T', 'IN2.F', 'IN2.T', 'OUT.F', 'OUT.T' /)
  character(len=4), parameter :: EQN_NAME(NEQN) = (/ 'FLOW', 'HEAT' /)
  ! Starting guesses: what a mixer of two unit feeds at 300 K would give.
  real(c_double), parameter :: GUESS(NVAR) = (/ 1d0, 300d0, 1d0, 300d0, 2d0, 300d0 /)

  ! Host services and the glue's helpers.
  interface
    real(c_double) function kvovarlst_inq_var_value(varlst, pos, zero) &
        bind(C, name="kvovarlst_inq_var_value")
      import :: c_int, c_double
      integer(c_int), value :: varlst, pos, zero
    end function
    type(c_ptr) function kvoeqnlst_vec_residual(eqnlst) bind(C, name="kvoeqnlst_vec_residual")
      import :: c_int, c_ptr
      integer(c_int), value :: eqnlst
    end function
    integer(c_int) function kvoeqnlst_inq_neqn(eqnlst) bind(C, name="kvoeqnlst_inq_neqn")
      import :: c_int
      integer(c_int), value :: eqnlst
    end function
    integer(c_int) function kvojac_inq_nz_eqnnum(jac, k) bind(C, name="kvojac_inq_nz_eqnnum")
      import :: c_int
      integer(c_int), value :: jac, k
    end function
    integer(c_int) function kvojac_inq_nz_varnum(jac, k) bind(C, name="kvojac_inq_nz_varnum")
      import :: c_int
      integer(c_int), value :: jac, k
    end function
    subroutine kvojac_set_nz_eqnnum(jac, k, eqn) bind(C, name="kvojac_set_nz_eqnnum")
      import :: c_int
      integer(c_int), value :: jac, k, eqn
    end subroutine
    subroutine kvojac_set_nz_varnum(jac, k, var) bind(C, name="kvojac_set_nz_varnum")
      import :: c_int
      integer(c_int), value :: jac, k, var
    end subroutine
    subroutine kvojac_set_nz_value(jac, k, value) bind(C, name="kvojac_set_nz_value")
      import :: c_int, c_double
      integer(c_int), value :: jac, k
      real(c_double), value :: value
    end subroutine
    subroutine mixer_define_var(varlst, pos, name, namelen, value) bind(C, name="mixer_define_var")
      import :: c_int, c_char, c_double
      integer(c_int), value :: varlst, pos
      character(kind=c_char), intent(in) :: name(*)
      integer(c_int), value :: namelen
      real(c_double), value :: value
    end subroutine
    subroutine mixer_define_eqn(eqnlst, pos, name, namelen) bind(C, name="mixer_define_eqn")
      import :: c_int, c_char
      integer(c_int), value :: eqnlst, pos
      character(kind=c_char), intent(in) :: name(*)
      integer(c_int), value :: namelen
    end subroutine
    subroutine mixer_say(text, textlen) bind(C, name="mixer_say")
      import :: c_int, c_char
      character(kind=c_char), intent(in) :: text(*)
      integer(c_int), value :: textlen
    end subroutine
  end interface

contains

  ! Makes the block and gives it the id (at most 8 characters, blank-padded as Fortran keeps
  ! it). Reads the id back to make sure the library stored it without the padding. 0 when the
  ! block cannot be made.
  integer(c_int) function mixer_create(id, idlen) bind(C, name="mixer_create_f")
    character(kind=c_char), intent(in) :: id(*)
    integer(c_int), value :: idlen
    character(len=8) :: name
    character(len=16) :: back
    integer(c_int) :: blk, n, i

    mixer_create = 0
    name = ' '
    do i = 1, min(idlen, len(name))
      name(i:i) = id(i)
    end do
    blk = kvoblk_base_create_f(NWORDS)
    if (blk == 0) return
    call blk_set_blkid_f(blk, name, len(name))
    n = blk_copy_blkid_f(blk, back, len(back))
    if (n /= len_trim(name) + 1 .or. back /= name) then
      call say('!! mixer: the block id did not come back as it was given')
      call kvoblk_base_destroy_f(blk)
      return
    end if
    mixer_create = blk
  end function

  subroutine mixer_selfdim(nvars, neqns, nnzs) bind(C, name="mixer_selfdim_f")
    integer(c_int), intent(out) :: nvars, neqns, nnzs
    nvars = NVAR
    neqns = NEQN
    nnzs = NNZ
  end subroutine

  ! Placement: defines the variables and equations from the given starts, records the stops and
  ! has the library initialise the pattern (from mixer_selfpat, by detection or from a file, as
  ! the block's pattern initialisation type says).
  subroutine mixer_ini(blk, vstart, estart, nzstart, status) bind(C, name="mixer_ini_f")
    integer(c_int), intent(in) :: blk, vstart, estart, nzstart
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
      call mixer_define_var(varlst, vstart + i - 1, full, len_trim(full), GUESS(i))
    end do
    do i = 1, NEQN
      call item_name(blk, EQN_NAME(i), full)
      call mixer_define_eqn(eqnlst, estart + i - 1, full, len_trim(full))
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

  ! The model's own pattern, written into the pattern object from the block's first non-zero.
  subroutine mixer_selfpat(blk, jac, status) bind(C, name="mixer_selfpat_f")
    integer(c_int), intent(in) :: blk, jac
    integer(c_int), intent(out) :: status
    integer(c_int) :: nzs, e0, v0, k

    status = 0
    if (jac == 0) then
      status = 1
      return
    end if
    ! Entries name list positions, whatever the container's global offsets: the positions the
    ! library's own detection and pattern file write.
    nzs = kvoblk_inq_nzstart_f(blk)
    e0 = kvoblk_inq_estart_f(blk) - 1
    v0 = kvoblk_inq_vstart_f(blk) - 1
    do k = 1, NNZ
      call kvojac_set_nz_eqnnum(jac, nzs + k - 1, e0 + PAT_ROW(k))
      call kvojac_set_nz_varnum(jac, nzs + k - 1, v0 + PAT_COL(k))
    end do
    call kvoblk_set_nzstop_f(blk, nzs + NNZ - 1)
  end subroutine

  subroutine mixer_res(blk, status) bind(C, name="mixer_res_f")
    integer(c_int), intent(in) :: blk
    integer(c_int), intent(out) :: status
    real(c_double) :: x(NVAR)
    real(c_double), pointer :: r(:)
    type(c_ptr) :: residuals
    integer(c_int) :: eqnlst, es, neq

    call load(blk, x, status)
    if (status /= 0) return
    eqnlst = blk_inq_matrix_eqnlst_f(blk)
    es = kvoblk_inq_estart_f(blk)
    residuals = kvoeqnlst_vec_residual(eqnlst)
    neq = kvoeqnlst_inq_neqn(eqnlst)
    if (.not. c_associated(residuals) .or. es < 1 .or. es + NEQN - 1 > neq) then
      status = 1
      return
    end if
    call c_f_pointer(residuals, r, (/ neq /))
    r(es) = x(5) - x(1) - x(3)
    r(es + 1) = x(5) * x(6) - x(1) * x(2) - x(3) * x(4)
  end subroutine

  ! The analytic Jacobian: fills whatever pattern the block got, in any entry order.
  subroutine mixer_selfjac(blk, status) bind(C, name="mixer_selfjac_f")
    integer(c_int), intent(in) :: blk
    integer(c_int), intent(out) :: status
    real(c_double) :: x(NVAR)
    integer(c_int) :: jac, eoff, voff, k

    call load(blk, x, status)
    if (status /= 0) return
    jac = blk_inq_matrix_jacobian_f(blk)
    eoff = kvoblk_inq_estart_f(blk) - 1
    voff = kvoblk_inq_vstart_f(blk) - 1
    do k = kvoblk_inq_nzstart_f(blk), kvoblk_inq_nzstop_f(blk)
      call kvojac_set_nz_value(jac, k, &
          partial(kvojac_inq_nz_eqnnum(jac, k) - eoff, kvojac_inq_nz_varnum(jac, k) - voff, x))
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
    integer(c_int) :: varlst, vs, vstop, i

    status = 0
    x = 0d0
    varlst = blk_inq_matrix_varlst_f(blk)
    vs = kvoblk_inq_vstart_f(blk)
    vstop = kvoblk_inq_vstop_f(blk)
    if (varlst == 0 .or. vstop - vs + 1 /= NVAR) then
      status = 1
      return
    end if
    do i = 1, NVAR
      x(i) = kvovarlst_inq_var_value(varlst, vs + i - 1, 0)
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
    call mixer_say(text, len_trim(text))
  end subroutine

end module mixer
