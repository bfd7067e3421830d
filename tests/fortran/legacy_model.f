! SPDX-License-Identifier: BSD-3-Clause
C     A fixed-form Fortran 77 model of one variable and one equation, X**2 - 4 = 0, that calls
C     the library's entry points through implicit interfaces, as models written before the
C     module did: INTEGER and DOUBLE PRECISION arguments by reference, CHARACTER arguments with
C     the compiler's hidden lengths.
      INTEGER FUNCTION LEGCRE(ID)
      CHARACTER*(*) ID
      CHARACTER*16 BACK
      INTEGER BLK, N, KVOBLK_BASE_CREATE_F, KVOBLK_ID
      LEGCRE = 0
      BLK = KVOBLK_BASE_CREATE_F(22)
      IF (BLK .EQ. 0) RETURN
      CALL BLK_SET_BLKID_F(BLK, ID)
      N = KVOBLK_ID(BLK, BACK)
      IF (N .NE. LEN(ID) + 1 .OR. BACK(1:LEN(ID)) .NE. ID) RETURN
      CALL KVOBLK_SET_DERIV_TYPE_F(BLK, 1)
      LEGCRE = BLK
      END

      SUBROUTINE LEGDIM(BLK, NVAR, NEQN, NNZ, STATUS)
      INTEGER BLK, NVAR, NEQN, NNZ, STATUS
      NVAR = 1
      NEQN = 1
      NNZ = 1
      STATUS = 0
      IF (BLK .EQ. 0) STATUS = 1
      END

      SUBROUTINE LEGINI(BLK, VS, ES, NZS, STATUS)
      INTEGER BLK, VS, ES, NZS, STATUS, ERRORS
      CALL KVOBLK_DEFINE_VAR_F(BLK, 1, 'L1.X', 3D0)
      CALL KVOBLK_DEFINE_EQN_F(BLK, 1, 'L1.SQUARE')
      CALL KVOBLK_SET_VSTOP_F(BLK, VS)
      CALL KVOBLK_SET_ESTOP_F(BLK, ES)
      CALL KVOBLK_SET_NZSTOP_F(BLK, NZS - 1)
      ERRORS = 0
      CALL KVOBLK_PAT_INI_F(BLK, NZS, ERRORS)
      STATUS = ERRORS
      END

      SUBROUTINE LEGPAT(BLK, JAC, STATUS)
      INTEGER BLK, JAC, STATUS, KVOBLK_INQ_NZSTART_F
      CALL KVOBLK_SET_PAT_F(BLK, JAC, 1, 1, 1)
      CALL KVOBLK_SET_NZSTOP_F(BLK, KVOBLK_INQ_NZSTART_F(BLK))
      STATUS = 0
      END

      SUBROUTINE LEGRES(BLK, STATUS)
      INTEGER BLK, STATUS
      DOUBLE PRECISION X, KVOBLK_INQ_VAR_F
      X = KVOBLK_INQ_VAR_F(BLK, 1)
      CALL KVOBLK_SET_RES_F(BLK, 1, X * X - 4D0)
      STATUS = 0
      END

      SUBROUTINE LEGJAC(BLK, STATUS)
      INTEGER BLK, STATUS, E, V
      DOUBLE PRECISION X, KVOBLK_INQ_VAR_F
      X = KVOBLK_INQ_VAR_F(BLK, 1)
      CALL KVOBLK_INQ_NZ_F(BLK, 1, E, V)
      STATUS = 1
      IF (E .NE. 1 .OR. V .NE. 1) RETURN
      CALL KVOBLK_SET_JAC_F(BLK, 1, 2D0 * X)
      STATUS = 0
      END

C     The components of the variable's name, through the identifier scanner, and a port that
C     the block does not have: 0 when both come out as expected.
      INTEGER FUNCTION LEGCHK(BLK)
      INTEGER BLK, POS, COUNT, KVOBLK_GET_PORT_F
      CHARACTER*8 TOKEN
      LEGCHK = 1
      POS = 1
      CALL KVOVARID_NEXT('L1.X', POS, TOKEN, COUNT)
      IF (TOKEN .NE. 'L1' .OR. COUNT .NE. 2 .OR. POS .NE. 4) RETURN
      CALL KVOVARID_NEXT('L1.X', POS, TOKEN, COUNT)
      IF (TOKEN .NE. 'X' .OR. COUNT .NE. 1) RETURN
      IF (KVOBLK_GET_PORT_F(BLK, 'FEED') .NE. 0) RETURN
      LEGCHK = 0
      END
