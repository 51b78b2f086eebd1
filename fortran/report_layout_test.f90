! The Fortran report type against the C struct: the same size, and every
! field read here where C wrote it (each field holds its own place in the
! declaration, 1 to 28). Stops with a non-zero code on any difference.
program report_layout_test
  use, intrinsic :: iso_c_binding
  use tessera_solve, only: tessera_solve_report
  implicit none

  interface
    function report_layout_size() result(bytes) bind(C, name='report_layout_size')
      import :: c_int64_t
      integer(c_int64_t) :: bytes
    end function
    subroutine report_layout_fill(r) bind(C, name='report_layout_fill')
      import :: tessera_solve_report
      type(tessera_solve_report), intent(out) :: r
    end subroutine
  end interface

  type(tessera_solve_report) :: r
  real(c_double) :: got(28)
  integer :: i, bad

  if (c_sizeof(r) /= report_layout_size()) then
    print '(a, i0, a, i0)', 'report layout: Fortran size ', c_sizeof(r), ', C size ', &
          report_layout_size()
    stop 1
  end if
  call report_layout_fill(r)
  got = [real(c_double) :: r%entries, r%stored_blocks, r%positive_pivots, r%negative_pivots, &
         r%tiny_pivots, r%factor_mb, r%flops, r%seconds_read, r%seconds_order, &
         r%seconds_symbolic, r%seconds_factor, r%seconds_solve, r%gflops, r%mb_read, &
         r%mb_written, r%memory_mb, r%peak_rss_mb, r%fixed_overhead_mb, r%scaled_residual, &
         r%error, r%n, r%block_order, r%rhs_columns, r%panels, r%within_memory, &
         r%factor_reused, r%resumed_at, r%reserved]
  bad = 0
  do i = 1, size(got)
    if (got(i) /= i) then
      print '(a, i0, a, g0)', 'report layout: field ', i, ' reads ', got(i)
      bad = bad + 1
    end if
  end do
  if (bad /= 0) stop 1
  print '(a, i0, a)', 'report layout: ', c_sizeof(r), ' bytes, 28 fields where C has them'
end program report_layout_test
