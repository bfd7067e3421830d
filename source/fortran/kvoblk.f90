! SPDX-License-Identifier: BSD-3-Clause
! The block library for models written in Fortran (2003): bind(C) interfaces of every Fortran
! entry point (every argument by reference, CHARACTER as the text and its length), the codes of
! the C headers as named constants, the history and report devices, and procedures that take
! Fortran texts as they are, so that a model needs no glue code. The kinds and c_funloc come
! from iso_c_binding, which the model uses itself (this module keeps its own import private):
!
!   use, intrinsic :: iso_c_binding
!   use kvoblk
!   blk = kvoblk_base_create_f(KVOBLK_WORDS)                  ! analytic defaults (SELF, ANALYTIC)
!   ok = kvoblk_set_op(blk, 'res', c_funloc(my_res))         ! slots by name; ok is LOGICAL
!   call kvoblk_define_var(blk, 1, 'FEED.F', 1d0)             ! in the model's ini routine
!   x1 = kvoblk_inq_var_f(blk, 1)                             ! block-local numbers
!   call kvoblk_set_res_f(blk, 1, x1 - 2d0)
!
! Routines put in the operation table take the slot's arguments as kvoblk_ops_t declares them:
! the block handle and other numbers with VALUE, outputs by reference, and bind(C). The pattern
! object of selfpat is the exception: it comes by reference (INTEGER jac without VALUE), and is
! handed on as it is to kvoblk_set_pat_f; selfpat then records nzstop with kvoblk_set_nzstop_f.
! The ini routine defines the items, records vstop and estop, and calls kvoblk_pat_ini_f with
! the nzstart it was given. Until it records a stop at or past the start, a variable, equation
! or pattern entry numbered past the count the block was dimensioned for (kvoblk_dim) is
! refused: it would be defined where the next block's items go. selfjac walks the block's
! non-zeros k = 1 ... nzstop - nzstart + 1 (kvoblk_inq_nzstop_f, kvoblk_inq_nzstart_f), asks
! kvoblk_inq_nz_f for the equation and variable of each and writes its value with
! kvoblk_set_jac_f.
!
! kvoblk_base_create_1_f gives the numeric defaults: NUMERIC derivatives with the analytic
! routine switched off (DERIV_METHOD ANALYTIC is then refused) and the pattern restored from the
! file SPARSITY_FILE names. Neither that file name nor the pattern initialisation type can be set
! from here, so such a block without host code to set them detects its pattern numerically at
! every placement, with warnings that no file could be read or written. A model with its own
! pattern and derivatives starts from kvoblk_base_create_f.
!
! Of the block's attributes the derivative method, the perturbation, NLRATIODEV, MOVE and
! MOVEAMOUNT are set and read from here (kvoblk_set_*_f, kvoblk_inq_*_f; all but the method are
! stored as given), NLRATIO is set, inclusion and the pattern initialisation are read;
! DIAG_LEVEL and the others are set by host code. Handle 0 is answered without a message (reads
! give 0, a range start 1).
module kvoblk
  use, intrinsic :: iso_c_binding, only: c_int, c_double, c_char, c_funptr
  implicit none
  private :: c_int, c_double, c_char, c_funptr

  ! Derivative methods and pattern initialisation types.
  integer(c_int), parameter :: KVOBLK_ANALYTIC = 1, KVOBLK_NUMERIC = 2
  integer(c_int), parameter :: KVOBLK_UPDATE_NUMERIC = 3, KVOBLK_UPDATE_ANALYTIC = 4
  integer(c_int), parameter :: KVOBLK_PAT_SELF = 1, KVOBLK_PAT_NUMERIC = 2
  integer(c_int), parameter :: KVOBLK_PAT_RESTORE = 3
  ! Pattern types and block states.
  integer(c_int), parameter :: KVOBLK_PATTYPE_UNDEFINED = 0, KVOBLK_PATTYPE_ANALYTIC = 1
  integer(c_int), parameter :: KVOBLK_PATTYPE_NUMERIC = 2
  integer(c_int), parameter :: KVOBLK_NOT_INITIALISED = 0, KVOBLK_EO_FORM = 1, KVOBLK_SOLVING = 2
  ! Words of the block record the library defines; a model may ask for more after them.
  integer(c_int), parameter :: KVOBLK_WORDS = 22
  ! Answers of the Schubert check and status of the Schubert update.
  integer(c_int), parameter :: KVOBLK_SCHUBERT_ALLOWED = 1, KVOBLK_SCHUBERT_NOT_BEING_SOLVED = -1
  integer(c_int), parameter :: KVOBLK_SCHUBERT_NOT_ITERATED = -2
  integer(c_int), parameter :: KVOBLK_SCHUBERT_NLRATIO_OFF = -3
  integer(c_int), parameter :: KVOBLK_SCHUBERT_UPDATED = 0, KVOBLK_SCHUBERT_NO_LAST_ITERATE = 1
  integer(c_int), parameter :: KVOBLK_SCHUBERT_EMPTY_BLOCK = 2
  integer(c_int), parameter :: KVOBLK_SCHUBERT_RESIDUALS_FAILED = 3

  ! The host's history and report devices.
  integer(c_int), bind(C, name="kvHisDev") :: kvhisdev
  integer(c_int), bind(C, name="kvRepDev") :: kvrepdev

  interface
    ! ---- Creation and destruction ----
    integer(c_int) function kvoblk_base_create_f(nwords) bind(C, name="_KVOBLK_BASE_CREATE_F")
      import :: c_int
      integer(c_int), intent(in) :: nwords
    end function
    subroutine kvoblk_base_destroy_f(blk) bind(C, name="_KVOBLK_BASE_DESTROY_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end subroutine
    subroutine kvoblk_base_de_ini_f(blk, status) bind(C, name="_KVOBLK_BASE_DE_INI_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
      integer(c_int), intent(out) :: status
    end subroutine

    ! ---- Ranges ----
    integer(c_int) function kvoblk_inq_vstart_f(blk) bind(C, name="_KVOBLK_INQ_VSTART_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    integer(c_int) function kvoblk_inq_vstop_f(blk) bind(C, name="_KVOBLK_INQ_VSTOP_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    integer(c_int) function kvoblk_inq_estart_f(blk) bind(C, name="_KVOBLK_INQ_ESTART_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    integer(c_int) function kvoblk_inq_estop_f(blk) bind(C, name="_KVOBLK_INQ_ESTOP_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    integer(c_int) function kvoblk_inq_nzstart_f(blk) bind(C, name="_KVOBLK_INQ_NZSTART_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    integer(c_int) function kvoblk_inq_nzstop_f(blk) bind(C, name="_KVOBLK_INQ_NZSTOP_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    subroutine kvoblk_set_vstart_f(blk, value) bind(C, name="_KVOBLK_SET_VSTART_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, value
    end subroutine
    subroutine kvoblk_set_vstop_f(blk, value) bind(C, name="_KVOBLK_SET_VSTOP_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, value
    end subroutine
    subroutine kvoblk_set_estart_f(blk, value) bind(C, name="_KVOBLK_SET_ESTART_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, value
    end subroutine
    subroutine kvoblk_set_estop_f(blk, value) bind(C, name="_KVOBLK_SET_ESTOP_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, value
    end subroutine
    subroutine kvoblk_set_nzstart_f(blk, value) bind(C, name="_KVOBLK_SET_NZSTART_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, value
    end subroutine
    subroutine kvoblk_set_nzstop_f(blk, value) bind(C, name="_KVOBLK_SET_NZSTOP_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, value
    end subroutine

    ! ---- Matrix lists ----
    subroutine blk_inq_matrix_f(blk, varlst, eqnlst, jac) bind(C, name="_BLK_INQ_MATRIX_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
      integer(c_int), intent(out) :: varlst, eqnlst, jac
    end subroutine
    integer(c_int) function blk_inq_matrix_varlst_f(blk) bind(C, name="_BLK_INQ_MATRIX_VARLST_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    integer(c_int) function blk_inq_matrix_eqnlst_f(blk) bind(C, name="_BLK_INQ_MATRIX_EQNLST_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    integer(c_int) function blk_inq_matrix_jacobian_f(blk) &
        bind(C, name="_BLK_INQ_MATRIX_JACOBIAN_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    subroutine blk_set_matrix_precedence_f(blk, precedence) &
        bind(C, name="_BLK_SET_MATRIX_PRECEDENCE_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, precedence
    end subroutine

    ! ---- Block id ----
    subroutine blk_set_blkid_f(blk, id, idlen) bind(C, name="_BLK_SET_BLKID_F")
      import :: c_int, c_char
      integer(c_int), intent(in) :: blk
      character(kind=c_char), intent(in) :: id(*)
      integer(c_int), value :: idlen
    end subroutine
    integer(c_int) function blk_copy_blkid_f(blk, id, idlen) bind(C, name="_BLK_COPY_BLKID_F")
      import :: c_int, c_char
      integer(c_int), intent(in) :: blk
      character(kind=c_char), intent(out) :: id(*)
      integer(c_int), value :: idlen
    end function
    integer(c_int) function kvoblk_id(blk, id, idlen) bind(C, name="KVOBLK_ID")
      import :: c_int, c_char
      integer(c_int), intent(in) :: blk
      character(kind=c_char), intent(out) :: id(*)
      integer(c_int), value :: idlen
    end function

    ! ---- Ports ----
    integer(c_int) function kvoblk_get_port_f(blk, name, namelen) bind(C, name="_KVOBLK_GET_PORT_F")
      import :: c_int, c_char
      integer(c_int), intent(in) :: blk
      character(kind=c_char), intent(in) :: name(*)
      integer(c_int), value :: namelen
    end function
    integer(c_int) function kvoblk_get_port_n_f(blk, i) bind(C, name="_KVOBLK_GET_PORT_N_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, i
    end function
    integer(c_int) function blk_inq_num_ports_f(blk) bind(C, name="_BLK_INQ_NUM_PORTS_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    subroutine blk_set_num_ports_f(blk, n) bind(C, name="_BLK_SET_NUM_PORTS_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, n
    end subroutine

    ! ---- Inclusion and settings ----
    integer(c_int) function kvoblk_inq_included_f(blk) bind(C, name="_KVOBLK_INQ_INCLUDED_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    subroutine kvoblk_set_nlratio_f(blk, value) bind(C, name="_KVOBLK_SET_NLRATIO_F")
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk
      real(c_double), intent(in) :: value
    end subroutine
    real(c_double) function kvoblk_inq_nlratiodev_f(blk) bind(C, name="_KVOBLK_INQ_NLRATIODEV_F")
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk
    end function
    subroutine kvoblk_set_nlratiodev_f(blk, value) bind(C, name="_KVOBLK_SET_NLRATIODEV_F")
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk
      real(c_double), intent(in) :: value
    end subroutine
    real(c_double) function kvoblk_inq_moveamount_f(blk) bind(C, name="_KVOBLK_INQ_MOVEAMOUNT_F")
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk
    end function
    subroutine kvoblk_set_moveamount_f(blk, value) bind(C, name="_KVOBLK_SET_MOVEAMOUNT_F")
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk
      real(c_double), intent(in) :: value
    end subroutine
    real(c_double) function kvoblk_inq_pertsize_f(blk) bind(C, name="_KVOBLK_INQ_PERTSIZE_F")
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk
    end function
    subroutine kvoblk_set_pertsize_f(blk, value) bind(C, name="_KVOBLK_SET_PERTSIZE_F")
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk
      real(c_double), intent(in) :: value
    end subroutine
    integer(c_int) function kvoblk_inq_move_f(blk) bind(C, name="_KVOBLK_INQ_MOVE_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    subroutine kvoblk_set_move_f(blk, value) bind(C, name="_KVOBLK_SET_MOVE_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, value
    end subroutine
    integer(c_int) function kvoblk_inq_deriv_type_f(blk) bind(C, name="_KVOBLK_INQ_DERIV_TYPE_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    subroutine kvoblk_set_deriv_type_f(blk, method) bind(C, name="_KVOBLK_SET_DERIV_TYPE_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, method
    end subroutine

    ! ---- Pattern and Jacobian ----
    integer(c_int) function kvoblk_inq_pat_ini_f(blk) bind(C, name="_KVOBLK_INQ_PAT_INI_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
    end function
    ! errors counts failures: set it to 0 before the call.
    subroutine kvoblk_pat_ini_f(blk, nzstart, errors) bind(C, name="_KVOBLK_PAT_INI_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, nzstart
      integer(c_int), intent(inout) :: errors
    end subroutine
    subroutine kvoblk_jac_f(blk, status) bind(C, name="_KVOBLK_JAC_F")
      import :: c_int
      integer(c_int), intent(in) :: blk
      integer(c_int), intent(out) :: status
    end subroutine
    subroutine kvoblk_group_jac_f(blk, group, status) bind(C, name="_KVOBLK_GROUP_JAC_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, group
      integer(c_int), intent(out) :: status
    end subroutine

    ! ---- Identifier scanner ----
    subroutine kvovarid_next(text, textlen, pos, token, toklen, count) bind(C, name="KVOVARID_NEXT")
      import :: c_int, c_char
      character(kind=c_char), intent(in) :: text(*)
      integer(c_int), value :: textlen
      integer(c_int), intent(inout) :: pos
      character(kind=c_char), intent(out) :: token(*)
      integer(c_int), value :: toklen
      integer(c_int), intent(out) :: count
    end subroutine

    ! ---- Model routines ----
    integer(c_int) function kvoblk_base_create_1_f(nwords) bind(C, name="_KVOBLK_BASE_CREATE_1_F")
      import :: c_int
      integer(c_int), intent(in) :: nwords
    end function
    integer(c_int) function kvoblk_set_op_f(blk, name, namelen, routine) &
        bind(C, name="_KVOBLK_SET_OP_F")
      import :: c_int, c_char, c_funptr
      integer(c_int), intent(in) :: blk
      character(kind=c_char), intent(in) :: name(*)
      integer(c_int), value :: namelen
      type(c_funptr), value :: routine
    end function
    subroutine kvoblk_define_var_f(blk, i, name, namelen, value) &
        bind(C, name="_KVOBLK_DEFINE_VAR_F")
      import :: c_int, c_char, c_double
      integer(c_int), intent(in) :: blk, i
      character(kind=c_char), intent(in) :: name(*)
      integer(c_int), value :: namelen
      real(c_double), intent(in) :: value
    end subroutine
    subroutine kvoblk_define_eqn_f(blk, e, name, namelen) bind(C, name="_KVOBLK_DEFINE_EQN_F")
      import :: c_int, c_char
      integer(c_int), intent(in) :: blk, e
      character(kind=c_char), intent(in) :: name(*)
      integer(c_int), value :: namelen
    end subroutine
    real(c_double) function kvoblk_inq_var_f(blk, i) bind(C, name="_KVOBLK_INQ_VAR_F")
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk, i
    end function
    subroutine kvoblk_set_var_f(blk, i, value) bind(C, name="_KVOBLK_SET_VAR_F")
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk, i
      real(c_double), intent(in) :: value
    end subroutine
    real(c_double) function kvoblk_inq_res_f(blk, e) bind(C, name="_KVOBLK_INQ_RES_F")
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk, e
    end function
    subroutine kvoblk_set_res_f(blk, e, value) bind(C, name="_KVOBLK_SET_RES_F")
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk, e
      real(c_double), intent(in) :: value
    end subroutine
    subroutine kvoblk_set_pat_f(blk, jac, k, e, v) bind(C, name="_KVOBLK_SET_PAT_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, jac, k, e, v
    end subroutine
    subroutine kvoblk_inq_nz_f(blk, k, e, v) bind(C, name="_KVOBLK_INQ_NZ_F")
      import :: c_int
      integer(c_int), intent(in) :: blk, k
      integer(c_int), intent(out) :: e, v
    end subroutine
    real(c_double) function kvoblk_inq_jac_f(blk, k) bind(C, name="_KVOBLK_INQ_JAC_F")
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk, k
    end function
    subroutine kvoblk_set_jac_f(blk, k, value) bind(C, name="_KVOBLK_SET_JAC_F")
      import :: c_int, c_double
      integer(c_int), intent(in) :: blk, k
      real(c_double), intent(in) :: value
    end subroutine

    ! ---- Host output ----
    subroutine kvowrite(device, text, length) bind(C, name="kvowrite")
      import :: c_int, c_char
      integer(c_int), value :: device
      character(kind=c_char), intent(in) :: text(*)
      integer(c_int), value :: length
    end subroutine
  end interface

contains

  ! Puts `routine` (from c_funloc of a bind(C) routine) in the slot of that name; .true. when the
  ! slot was filled.
  logical function kvoblk_set_op(blk, name, routine)
    integer(c_int), intent(in) :: blk
    character(len=*), intent(in) :: name
    type(c_funptr), value :: routine
    kvoblk_set_op = kvoblk_set_op_f(blk, name, len(name), routine) == 1
  end function

  ! Defines block variable i with its name and starting value, or block equation e with its
  ! name; trailing blanks of the name are dropped, and a blank name defines nothing (a message
  ! on the history device names the item). Only i, e >= 1 is checked: the stops are not yet
  ! recorded while the block is being placed.
  subroutine kvoblk_define_var(blk, i, name, value)
    integer(c_int), intent(in) :: blk, i
    character(len=*), intent(in) :: name
    real(c_double), intent(in) :: value
    call kvoblk_define_var_f(blk, i, name, len(name), value)
  end subroutine
  subroutine kvoblk_define_eqn(blk, e, name)
    integer(c_int), intent(in) :: blk, e
    character(len=*), intent(in) :: name
    call kvoblk_define_eqn_f(blk, e, name, len(name))
  end subroutine

  ! The block id: set from a Fortran text, and read into one (blank-padded, cut to its length;
  ! kvoblk_id answers the full length plus 1, to see the cut).
  subroutine kvoblk_set_blkid(blk, id)
    integer(c_int), intent(in) :: blk
    character(len=*), intent(in) :: id
    call blk_set_blkid_f(blk, id, len(id))
  end subroutine
  subroutine kvoblk_get_blkid(blk, id)
    integer(c_int), intent(in) :: blk
    character(len=*), intent(out) :: id
    integer(c_int) :: n
    n = blk_copy_blkid_f(blk, id, len(id))
  end subroutine

  ! The port handle of the named port; 0 when the block has none of that name.
  integer(c_int) function kvoblk_get_port(blk, name)
    integer(c_int), intent(in) :: blk
    character(len=*), intent(in) :: name
    kvoblk_get_port = kvoblk_get_port_f(blk, name, len(name))
  end function

  ! Writes the text without its trailing blanks, and a new line, on the device.
  subroutine kvoblk_say(device, text)
    integer(c_int), intent(in) :: device
    character(len=*), intent(in) :: text
    call kvowrite(device, trim(text) // new_line('a'), len_trim(text) + 1)
  end subroutine
end module kvoblk

