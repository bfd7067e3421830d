! Interfaces of the block library's Fortran entry points for Fortran 90 models compiled with a
! Fortran 2003 C binding: every argument by reference, CHARACTER as the text and its length.
module kvoblk_f
  use, intrinsic :: iso_c_binding, only: c_int, c_double, c_char
  implicit none
  private :: c_int, c_double, c_char

  ! Derivative methods and pattern initialisation types.
  integer(c_int), parameter :: KVOBLK_ANALYTIC = 1, KVOBLK_NUMERIC = 2
  integer(c_int), parameter :: KVOBLK_UPDATE_NUMERIC = 3, KVOBLK_UPDATE_ANALYTIC = 4
  integer(c_int), parameter :: KVOBLK_PAT_SELF = 1, KVOBLK_PAT_NUMERIC = 2
  integer(c_int), parameter :: KVOBLK_PAT_RESTORE = 3

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
  end interface
end module kvoblk_f
