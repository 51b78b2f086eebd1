! Example Fortran host: assembles the stiffness matrix of a chain of n - 1
! springs (spring e joins nodes e and e + 1, stiffness e) into a symmetric
! hypermatrix, one element at a time (get the 2 x 2 region, add, put it
! back), keeps the file set, opens it again read-only and checks every
! element against the known tridiagonal matrix. Built with
! -fdefault-integer-8 too: every argument of the library is
! integer(c_int32_t), whatever the default integer kind.
program stiffness
  use, intrinsic :: iso_c_binding
  use tessera
  implicit none

  integer(c_int32_t), parameter :: n = 100   ! nodes: several 32 x 32 blocks
  integer(c_int32_t), allocatable :: ctrl(:)
  integer(c_int32_t) :: length, nfs, ndesc, option, ierr, fs, k, nfiles, zero, q
  integer(c_int32_t) :: e, two, type, form, nrows, ncols, rdonly
  character(kind=c_char, len=64), target :: file
  type(c_ptr) :: names(1)
  real(c_double), target :: ke(2, 2), full(n, n)
  real(c_double) :: expected
  integer :: i, j, bad

  call tessera_attach()           ! the module's own trace, cache and chosky areas
  nfs = 1
  ndesc = 2
  option = 0
  length = tessera_control_length(TESSERA_DEFAULT_RECORD_LENGTH, nfs, ndesc, 0_c_int32_t)
  allocate(ctrl(length))
  call hminmf(ctrl, length, nfs, ndesc, option, ierr)
  call check('hminmf', ierr)

  file = 'stiffness.tsf' // c_null_char
  names(1) = c_loc(file)
  nfiles = 1
  zero = 0
  call hmnewf(ctrl, nfiles, names, zero, zero, fs, ierr)
  call check('hmnewf', ierr)

  q = 1
  type = TESSERA_TYPE_DOUBLE
  form = TESSERA_FORM_SYMMETRIC
  call hmnewm(ctrl, tessera_name('K'), q, fs, type, form, n, n, k, ierr)
  call check('hmnewm', ierr)

  ! Element e adds e * [1 -1; -1 1] to rows and columns e, e + 1.
  two = 2
  do e = 1, n - 1
    call hmgets(ctrl, k, e, two, e, two, c_loc(ke), two, ierr)
    call check('hmgets', ierr)
    ke = ke + real(e, c_double) * reshape([1d0, -1d0, -1d0, 1d0], [2, 2])
    call hmputs(ctrl, k, e, two, e, two, c_loc(ke), two, ierr)
    call check('hmputs', ierr)
  end do
  call hmrelm(ctrl, k, ierr)
  call check('hmrelm', ierr)
  call hmremf(ctrl, fs, ierr)      ! tables and header written, file kept
  call check('hmremf', ierr)

  call hmoldf(ctrl, nfiles, names, fs, ierr)
  call check('hmoldf', ierr)
  rdonly = TESSERA_READ_ONLY
  call hmoldm(ctrl, tessera_name('K'), q, fs, rdonly, type, form, nrows, ncols, k, ierr)
  call check('hmoldm', ierr)
  if (tessera_type_code(type) /= TESSERA_TYPE_DOUBLE .or. &
      tessera_storage_form(form) /= TESSERA_FORM_SYMMETRIC .or. nrows /= n .or. ncols /= n) then
    print *, 'stiffness: wrong type, form or shape:', type, form, nrows, ncols
    stop 1
  end if
  call hmgets(ctrl, k, 1_c_int32_t, n, 1_c_int32_t, n, c_loc(full), n, ierr)
  call check('hmgets', ierr)

  ! K(i,i) = (i - 1) + i inside, 1 and n - 1 at the ends; K(i,i+1) = -i.
  bad = 0
  do j = 1, n
    do i = 1, n
      if (i == j) then
        expected = real(max(i - 1, 0) + merge(i, 0, i < n), c_double)
      else if (abs(i - j) == 1) then
        expected = -real(min(i, j), c_double)
      else
        expected = 0d0
      end if
      if (full(i, j) /= expected) bad = bad + 1
    end do
  end do

  call hmrelm(ctrl, k, ierr)
  call check('hmrelm', ierr)
  call hmkilf(ctrl, fs, ierr)      ! deletes stiffness.tsf
  call check('hmkilf', ierr)
  ierr = TESSERA_CLOSE_CHECK
  call hmclos(ctrl, ierr)
  call check('hmclos', ierr)
  deallocate(ctrl)
  if (bad /= 0) then
    print *, 'stiffness: elements wrong:', bad
    stop 1
  end if
  print '(a, i0, a, i0, a)', 'stiffness: ', n, ' x ', n, ' chain assembled, stored and read back'

contains

  subroutine check(what, status)
    character(len=*), intent(in) :: what
    integer(c_int32_t), intent(in) :: status
    if (status == 0) return
    print *, what, ': status ', status, ': ', tessera_status_text(status)
    print *, '  trace: ', tessera_last_trace()
    stop 1
  end subroutine

end program stiffness
