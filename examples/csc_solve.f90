! Example Fortran host: hands the solver its own matrix as compressed columns
! (module tessera_solve), with no file set of its own.
!
! The five-point Laplacian of an m x m grid plus 0.01 on the diagonal, its
! lower triangle in 0-based compressed columns as the C interface takes it.
! The host solves for two right-hand sides b = A v made with the stencil,
! v = 1 and v = a ramp, and checks x = v; then it checks what a host sees
! when things go wrong: arrays shorter than colptr says (refused before they
! are read), an entry above the diagonal, a name the solver does not know, a
! solution asked for with no result, and a factorisation stopped from the
! progress callback. It stops with a non-zero code when anything differs.

! The progress callback lives in a module: an internal procedure passed to C
! would need a trampoline on an executable stack.
module csc_solve_progress
  use, intrinsic :: iso_c_binding
  use tessera_solve, only: tessera_solve_string, tessera_solve_interrupt
  implicit none
contains

  ! user is the solver: asks it to stop once the factorisation has begun.
  subroutine stop_in_factor(user, phase, fraction, eta_seconds, gflops, notice) bind(C)
    type(c_ptr), value :: user, phase, notice
    real(c_double), value :: fraction, eta_seconds, gflops
    type(c_ptr), pointer :: solver
    if (tessera_solve_string(phase) /= 'factor') return
    call c_f_pointer(user, solver)
    call tessera_solve_interrupt(solver)
  end subroutine

end module csc_solve_progress

program csc_solve
  use, intrinsic :: iso_c_binding
  use tessera_solve
  use csc_solve_progress
  implicit none

  integer(c_int32_t), parameter :: m = 20, n = m * m
  real(c_double), parameter :: shift = 0.01d0, tolerance = 1d-9
  integer(c_int64_t) :: colptr(0:n)
  integer(c_int32_t) :: rowind(3 * n)
  real(c_double) :: values(3 * n), v(n, 2), b(n, 2)
  real(c_double), allocatable :: x(:, :)
  type(c_ptr), target :: s
  integer(c_int64_t) :: p, nnz, first
  type(tessera_solve_report) :: report
  integer :: i, j, col, failures

  failures = 0
  ! Column col (0-based) of the lower triangle: the diagonal, the east and
  ! the north neighbours.
  p = 0
  do col = 0, n - 1
    colptr(col) = p
    i = mod(col, m)
    j = col / m
    call add(col, 4 + shift)
    if (i + 1 < m) call add(col + 1, -1d0)
    if (j + 1 < m) call add(col + m, -1d0)
  end do
  colptr(n) = p
  nnz = p

  v(:, 1) = 1
  v(:, 2) = [(real(i, c_double) / n, i = 1, n)]
  do col = 1, n
    i = mod(col - 1, m)
    j = (col - 1) / m
    b(col, :) = (4 + shift) * v(col, :)
    if (i > 0) b(col, :) = b(col, :) - v(col - 1, :)
    if (i + 1 < m) b(col, :) = b(col, :) - v(col + 1, :)
    if (j > 0) b(col, :) = b(col, :) - v(col - m, :)
    if (j + 1 < m) b(col, :) = b(col, :) - v(col + m, :)
  end do

  s = tessera_solve_create()
  if (.not. c_associated(s)) stop 1
  call want('set_memory', tessera_solve_set_memory(s, 64_c_int64_t * 2**20), TESSERA_SOLVE_OK)
  call want('set_csc_arrays', tessera_solve_set_csc_arrays(s, colptr, rowind(1:nnz), &
                                                           values(1:nnz)), TESSERA_SOLVE_OK)
  call want('set_rhs', tessera_solve_set_rhs(s, 2_c_int32_t, b, int(n, c_int64_t)), TESSERA_SOLVE_OK)
  ! Trailing blanks of a Fortran string are not part of the name.
  call want('set_ordering', tessera_solve_set_ordering(s, 'nd      '), TESSERA_SOLVE_OK)
  call want('run', tessera_solve_run(s), TESSERA_SOLVE_OK)
  call want('get_solution', tessera_solve_get_solution(s, x), TESSERA_SOLVE_OK)
  if (.not. allocated(x)) then
    failures = failures + 1
  else if (size(x, 1) /= n .or. size(x, 2) /= 2 .or. maxval(abs(x - v)) > tolerance) then
    print *, 'csc_solve: solution wrong, max |x - v| =', maxval(abs(x - v))
    failures = failures + 1
  else
    print '(a, i0, a, es9.2)', 'csc_solve: ', n, ' equations, 2 right-hand sides, max |x - v| ', &
          maxval(abs(x - v))
  end if

  ! Arrays shorter than colptr(n): refused here, never read past their end.
  call want('short rowind', tessera_solve_set_csc_arrays(s, colptr, rowind(1:nnz - 1), &
                                                         values(1:nnz)), TESSERA_SOLVE_BAD_CALL)
  call want('short values', tessera_solve_set_csc_arrays(s, colptr, rowind(1:nnz), &
                                                         values(1:nnz - 5)), TESSERA_SOLVE_BAD_CALL)
  ! A column pointer beyond colptr(n) would have the library read past the
  ! arrays although their lengths match colptr(n).
  first = colptr(1)
  colptr(1) = nnz + 100
  call want('pointer past the end', tessera_solve_set_csc_arrays(s, colptr, rowind(1:nnz), &
                                                                 values(1:nnz)), TESSERA_SOLVE_BAD_CALL)
  colptr(1) = first
  ! An entry above the diagonal: refused by the solver, with a message.
  rowind(colptr(1) + 1) = 0
  call want('row above the diagonal', tessera_solve_set_csc_arrays(s, colptr, rowind(1:nnz), &
                                                                   values(1:nnz)), TESSERA_SOLVE_INPUT)
  if (index(tessera_solve_message(s), 'column 1') == 0) then
    print '(2a)', 'csc_solve: message: ', tessera_solve_message(s)
    failures = failures + 1
  end if
  rowind(colptr(1) + 1) = 1
  call want('set_ordering', tessera_solve_set_ordering(s, 'best'), TESSERA_SOLVE_BAD_CALL)
  if (index(tessera_solve_message(s), 'best') == 0) failures = failures + 1

  ! A factorisation stopped by its own progress callback: no solution after.
  call want('set_csc_arrays', tessera_solve_set_csc_arrays(s, colptr, rowind(1:nnz), &
                                                           values(1:nnz)), TESSERA_SOLVE_OK)
  call want('set_block_order', tessera_solve_set_block_order(s, 8_c_int32_t), TESSERA_SOLVE_OK)
  call want('set_progress', tessera_solve_set_progress(s, c_funloc(stop_in_factor), c_loc(s)), &
            TESSERA_SOLVE_OK)
  call want('interrupted run', tessera_solve_run(s), TESSERA_SOLVE_INTERRUPTED)
  if (len(tessera_solve_message(s)) == 0) failures = failures + 1
  call want('solution after it', tessera_solve_get_solution(s, x), TESSERA_SOLVE_BAD_CALL)
  if (allocated(x) .or. tessera_solve_order(s) /= 0) failures = failures + 1
  call want('get_report after it', tessera_solve_get_report(s, report), TESSERA_SOLVE_BAD_CALL)
  if (tessera_solve_report_json(s) /= '{}') failures = failures + 1

  ! Once the callback is gone, the same solver runs to the end.
  call want('set_progress', tessera_solve_set_progress(s, c_null_funptr, c_null_ptr), TESSERA_SOLVE_OK)
  call want('run', tessera_solve_run(s), TESSERA_SOLVE_OK)
  call want('get_solution', tessera_solve_get_solution(s, x), TESSERA_SOLVE_OK)
  if (allocated(x)) then
    if (maxval(abs(x - v)) > tolerance) failures = failures + 1
  end if
  call tessera_solve_destroy(s)
  if (allocated(x)) deallocate(x)

  if (failures /= 0) then
    print '(a, i0, a)', 'csc_solve: ', failures, ' checks failed'
    stop 1
  end if
  print '(a)', 'csc_solve: refusals and the interrupted run as expected'

contains

  subroutine add(row, value)
    integer, intent(in) :: row
    real(c_double), intent(in) :: value
    p = p + 1
    rowind(p) = int(row, c_int32_t)
    values(p) = value
  end subroutine

  subroutine want(what, status, expected)
    character(len=*), intent(in) :: what
    integer(c_int), intent(in) :: status, expected
    if (status == expected) return
    print '(3a, i0, a, i0, 2a)', 'csc_solve: ', what, ': status ', status, ' (expected ', &
          expected, '): ', tessera_solve_message(s)
    failures = failures + 1
  end subroutine

end program csc_solve
