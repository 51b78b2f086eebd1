! Example Fortran host: a finite-element code that assembles its stiffness
! matrix into a hypermatrix (module tessera) and hands the file set to the
! out-of-core solver (module tessera_solve).
!
! Heat conduction on an nx x ny grid of unit square bilinear elements, the
! conductivity of element (i, j) 1 + mod(i + j, 3), the temperature held at
! the nodes of x = 0. The host
!   1. creates a file set and a symmetric double matrix in it; only the
!      blocks on and above the block diagonal are stored, so every entry goes
!      in as (min(p, q), max(p, q));
!   2. assembles element by element: hmputs replaces values, so adding an
!      element's share is get, add, put;
!   3. releases the matrix, removes the set (its file stays) and closes;
!   4. solves A x = b for two right-hand sides b = A v made from the element
!      matrices in memory, v = 1 and v = a wave, and checks x = v; then again
!      with the default right-hand side b = A 1, whose error the report gives.
! It prints what the solver reported and stops with a non-zero code when a
! solution, a status or the report is wrong. Built with -fdefault-integer-8:
! every argument of both modules has an explicit kind.

! The progress callback lives in a module: an internal procedure passed to C
! would need a trampoline on an executable stack.
module fe_solve_progress
  use, intrinsic :: iso_c_binding
  use tessera_solve, only: tessera_solve_string
  implicit none
contains

  ! Counts the phases begun (fraction 0) in user's two counters.
  subroutine on_progress(user, phase, fraction, eta_seconds, gflops, notice) bind(C)
    type(c_ptr), value :: user, phase, notice
    real(c_double), value :: fraction, eta_seconds, gflops
    integer(c_int32_t), pointer :: counts(:)
    call c_f_pointer(user, counts, [2])
    if (fraction /= 0) return
    counts(1) = counts(1) + 1_c_int32_t
    if (tessera_solve_string(phase) == 'factor') counts(2) = counts(2) + 1_c_int32_t
  end subroutine

end module fe_solve_progress

program fe_solve
  use, intrinsic :: iso_c_binding
  use, intrinsic :: ieee_arithmetic, only: ieee_is_nan
  use tessera
  use tessera_solve
  use fe_solve_progress
  implicit none

  integer(c_int32_t), parameter :: nx = 12, ny = 8, n = nx * (ny + 1)
  character(len=*), parameter :: matrix_name = 'HEAT'
  real(c_double), parameter :: tolerance = 1d-9
  integer(c_int32_t), allocatable :: ctrl(:)
  integer(c_int32_t) :: length, nfs, ndesc, option, ierr, fs, k, nfiles, zero, q, one
  integer(c_int32_t) :: eq(4), row, col
  character(kind=c_char, len=64), target :: file
  type(c_ptr) :: names(1), s
  real(c_double), target :: ke(4, 4), v
  real(c_double) :: b(n, 2), xv(n, 2), cond
  real(c_double), allocatable :: x(:, :)
  integer(c_int32_t), target :: calls(2)   ! phase starts, and of them "factor"
  type(tessera_solve_report) :: r
  integer :: i, j, a, c, status
  character(len=:), allocatable :: json

  ! --- assembly into the file set ----------------------------------------
  call tessera_attach()
  nfs = 1
  ndesc = 2
  option = 0
  length = tessera_control_length(TESSERA_DEFAULT_RECORD_LENGTH, nfs, ndesc, 0_c_int32_t)
  allocate(ctrl(length))
  call hminmf(ctrl, length, nfs, ndesc, option, ierr)
  call check('hminmf', ierr)
  file = 'fe_solve.tsf' // c_null_char
  names(1) = c_loc(file)
  nfiles = 1
  zero = 0
  call hmnewf(ctrl, nfiles, names, zero, zero, fs, ierr)
  call check('hmnewf', ierr)
  q = 1
  call hmnewm(ctrl, tessera_name(matrix_name), q, fs, TESSERA_TYPE_DOUBLE, &
              TESSERA_FORM_SYMMETRIC, n, n, k, ierr)
  call check('hmnewm', ierr)

  one = 1
  xv(:, 1) = 1
  xv(:, 2) = [(cos(0.3d0 * i) + 2, i = 1, n)]
  b = 0
  do j = 0, ny - 1
    do i = 0, nx - 1
      call element(i, j, ke, eq)
      do a = 1, 4
        if (eq(a) == 0) cycle
        do c = 1, 4
          if (eq(c) == 0) cycle
          b(eq(a), :) = b(eq(a), :) + ke(a, c) * xv(eq(c), :)
          if (eq(a) > eq(c)) cycle
          row = eq(a)
          col = eq(c)
          call hmgets(ctrl, k, row, one, col, one, c_loc(v), one, ierr)
          call check('hmgets', ierr)
          v = v + ke(a, c)
          call hmputs(ctrl, k, row, one, col, one, c_loc(v), one, ierr)
          call check('hmputs', ierr)
        end do
      end do
    end do
  end do
  call hmrelm(ctrl, k, ierr)
  call check('hmrelm', ierr)
  call hmremf(ctrl, fs, ierr)            ! tables written, the file kept for the solver
  call check('hmremf', ierr)
  ierr = TESSERA_CLOSE_CHECK
  call hmclos(ctrl, ierr)
  call check('hmclos', ierr)
  deallocate(ctrl)

  ! --- the solve: the set by the names given to hmnewf, two columns -------
  s = tessera_solve_create()
  if (.not. c_associated(s)) call fail('tessera_solve_create gave no solver')
  call expect('set_fileset', tessera_solve_set_fileset(s, names, matrix_name, q))
  call expect('set_rhs', tessera_solve_set_rhs(s, 2_c_int32_t, b, int(n, c_int64_t)))
  call expect('set_memory', tessera_solve_set_memory(s, 64_c_int64_t * 2**20))
  call expect('set_work_dir', tessera_solve_set_work_dir(s, '.'))
  calls = 0
  call expect('set_progress', tessera_solve_set_progress(s, c_funloc(on_progress), c_loc(calls)))
  call expect('run', tessera_solve_run(s))
  if (calls(1) < 3 .or. calls(2) < 1) then
    print '(a, 2(1x, i0))', 'fe_solve: progress phases, factor phases:', calls
    call fail('the progress callback was not called as the solve went')
  end if
  call expect('get_solution', tessera_solve_get_solution(s, x))
  if (size(x, 1) /= n .or. size(x, 2) /= 2) call fail('the solution has the wrong shape')
  if (maxval(abs(x - xv)) > tolerance * maxval(abs(xv))) then
    print '(a, es10.3)', 'fe_solve: max |x - v| = ', maxval(abs(x - xv))
    call fail('the solution is wrong')
  end if
  call expect('get_report', tessera_solve_get_report(s, r))
  cond = r%scaled_residual
  if (r%n /= n .or. r%rhs_columns /= 2 .or. r%positive_pivots /= n .or. &
      r%negative_pivots /= 0 .or. .not. ieee_is_nan(r%error) .or. .not. (cond < 100)) then
    print *, 'fe_solve: report n, columns, pivots, residual, error:', r%n, r%rhs_columns, &
             r%positive_pivots, r%negative_pivots, r%scaled_residual, r%error
    call fail('the report is wrong')
  end if
  json = tessera_solve_report_json(s)
  if (index(json, '"rhs_columns":2') == 0) call fail('the JSON report lacks the columns')
  print '(a, i0, a, i0, a, i0, a, es9.2)', 'fe_solve: ', nx, ' x ', ny, ' elements, ', n, &
        ' equations from the file set, 2 right-hand sides, scaled residual ', r%scaled_residual
  print '(a, i0, a, i0, a, f0.3, a)', '  block order ', r%block_order, ', ', r%stored_blocks, &
        ' stored blocks, factorised in ', r%seconds_factor, ' s'

  ! --- again: the set by Fortran names, b = A 1 by default -----------------
  call expect('set_progress', tessera_solve_set_progress(s, c_null_funptr, c_null_ptr))
  call expect('set_rhs_file', tessera_solve_set_rhs_file(s, ''))   ! '': back to b = A 1
  call expect('set_fileset', tessera_solve_set_fileset(s, [character(len=64) :: 'fe_solve.tsf'], &
                                                       matrix_name, q))
  call expect('run', tessera_solve_run(s))
  call expect('get_solution', tessera_solve_get_solution(s, x))
  call expect('get_report', tessera_solve_get_report(s, r))
  if (size(x, 2) /= 1 .or. maxval(abs(x - 1)) > tolerance .or. .not. (r%error < tolerance)) then
    print *, 'fe_solve: b = A 1: max |x - 1|, reported error:', maxval(abs(x - 1)), r%error
    call fail('the solution of b = A 1 is wrong')
  end if
  print '(a, es9.2)', 'fe_solve: b = A 1 solved again from the set, error ', r%error
  call tessera_solve_destroy(s)
  deallocate(x, json)
  open(newunit=i, file='fe_solve.tsf', status='old', iostat=status)
  if (status == 0) close(i, status='delete')

contains

  ! Element (i, j): its conductivity times the bilinear Laplace matrix, and
  ! the equations (1-based, 0 for a held node) of its corners (i, j),
  ! (i + 1, j), (i + 1, j + 1), (i, j + 1).
  subroutine element(i, j, ke, eq)
    integer, intent(in) :: i, j
    real(c_double), intent(out) :: ke(4, 4)
    integer(c_int32_t), intent(out) :: eq(4)
    integer, parameter :: di(4) = [0, 1, 1, 0], dj(4) = [0, 0, 1, 1]
    integer :: a
    ke = reshape([4, -1, -2, -1, -1, 4, -1, -2, -2, -1, 4, -1, -1, -2, -1, 4], [4, 4]) &
         * (1 + mod(i + j, 3)) / 6d0
    do a = 1, 4
      if (i + di(a) == 0) then
        eq(a) = 0
      else
        eq(a) = int(i + di(a) + (j + dj(a)) * nx, c_int32_t)
      end if
    end do
  end subroutine

  subroutine check(what, status)
    character(len=*), intent(in) :: what
    integer(c_int32_t), intent(in) :: status
    if (status == 0) return
    print *, what, ': status ', status, ': ', tessera_status_text(status)
    print *, '  trace: ', tessera_last_trace()
    stop 1
  end subroutine

  subroutine expect(what, status)
    character(len=*), intent(in) :: what
    integer(c_int), intent(in) :: status
    if (status == TESSERA_SOLVE_OK) return
    print '(3a, i0, 2a)', 'fe_solve: ', what, ': status ', status, ': ', tessera_solve_message(s)
    stop 1
  end subroutine

  subroutine fail(why)
    character(len=*), intent(in) :: why
    print '(2a)', 'fe_solve: ', why
    stop 1
  end subroutine

end program fe_solve
