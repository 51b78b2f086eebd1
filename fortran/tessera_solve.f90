! Fortran interface of the out-of-core solver libtessera_solve: bind(C)
! interfaces of every function of tessera_solve.h, its status numbers as
! parameters, the report as a bind(C) derived type, and wrappers that take and
! give Fortran strings and arrays. A module of its own (tessera_solve.mod, in
! libtessera_solve_fortran) so that a host of the hypermatrix routines alone
! (module tessera) never links the solver and what the solver links.
!
! Conventions:
!   - a solver is a type(c_ptr) from tessera_solve_create();
!   - every integer has an explicit kind (c_int for the C int statuses, which
!     is 32 bits wherever this module is built; c_int32_t, c_int64_t for the
!     rest), so hosts compiled with -fdefault-integer-8 call it alike;
!   - functions that take a string exist twice: the C name takes a Fortran
!     string (trailing blanks dropped, the NUL added here); the same name
!     with _c is the bare binding, for a NUL-terminated character(kind=c_char)
!     array;
!   - tessera_solve_message() and tessera_solve_report_json() give Fortran
!     strings (_c: the C pointers), tessera_solve_get_solution() gives x(n, k);
!   - a progress callback is a bind(C) subroutine with the interface
!     tessera_solve_progress, passed as c_funloc(callback); its phase and
!     notice are C strings, read with tessera_solve_string();
!   - CSC arrays are 0-based as in C: tessera_solve_set_csc() is the bare
!     binding, tessera_solve_set_csc_arrays() takes whole arrays and checks
!     them against colptr before the library reads them.
module tessera_solve
  use, intrinsic :: iso_c_binding, only: c_int, c_int32_t, c_int64_t, c_double, c_char, &
                                         c_ptr, c_funptr, c_null_char, c_null_ptr, c_loc, &
                                         c_f_pointer, c_associated
  implicit none
  private :: c_f_pointer, c_associated, c_string, fortran_string

  ! Status of every call.
  integer(c_int), parameter :: TESSERA_SOLVE_OK = 0
  integer(c_int), parameter :: TESSERA_SOLVE_INPUT = 1         ! input malformed, not symmetric, missing
  integer(c_int), parameter :: TESSERA_SOLVE_NOT_DEFINITE = 3  ! a pivot refused
  integer(c_int), parameter :: TESSERA_SOLVE_DISK = 4          ! disk space short or a write refused
  integer(c_int), parameter :: TESSERA_SOLVE_FACTOR_SET = 5    ! a factor file that cannot be used
  integer(c_int), parameter :: TESSERA_SOLVE_MEMORY = 6        ! the memory allowed is too small
  integer(c_int), parameter :: TESSERA_SOLVE_LIBRARY = 7       ! another refusal of libtessera
  integer(c_int), parameter :: TESSERA_SOLVE_INTERRUPTED = 8   ! stopped by tessera_solve_interrupt
  integer(c_int), parameter :: TESSERA_SOLVE_BAD_CALL = 9      ! null solver, bad argument, no result

  ! The report's figures, field for field the C struct tessera_solve_report
  ! (NaN for a residual or an error that is not known).
  type, bind(C) :: tessera_solve_report
    integer(c_int64_t) :: entries          ! stored entries of the lower triangle
    integer(c_int64_t) :: stored_blocks    ! blocks of the factor U
    integer(c_int64_t) :: positive_pivots
    integer(c_int64_t) :: negative_pivots
    integer(c_int64_t) :: tiny_pivots      ! pivots replaced by tiny ones
    real(c_double) :: factor_mb            ! MB of U's records
    real(c_double) :: flops                ! predicted operations of the factorisation
    real(c_double) :: seconds_read, seconds_order, seconds_symbolic, seconds_factor, seconds_solve
    real(c_double) :: gflops               ! rate of the factorisation
    real(c_double) :: mb_read, mb_written  ! through the library
    real(c_double) :: memory_mb            ! the limit
    real(c_double) :: peak_rss_mb          ! peak resident set of the process
    real(c_double) :: fixed_overhead_mb    ! resident before the solve's own memory
    real(c_double) :: scaled_residual      ! |Ax - b| / (|A| |x| eps), infinity norms
    real(c_double) :: error                ! |x - 1| when b = A 1
    integer(c_int32_t) :: n
    integer(c_int32_t) :: block_order
    integer(c_int32_t) :: rhs_columns
    integer(c_int32_t) :: panels
    integer(c_int32_t) :: within_memory    ! 1: peak_rss_mb <= memory_mb + fixed_overhead_mb
    integer(c_int32_t) :: factor_reused
    integer(c_int32_t) :: resumed_at       ! block row a resumed factorisation went on from, -1
    integer(c_int32_t) :: reserved
  end type

  abstract interface
    ! A progress callback: phase ("read", "order (nd)", "symbolic", "factor",
    ! "solve"), fraction of the phase done (-1 with a notice), seconds left
    ! (-1 unknown), GFLOP/s (0 when not counted), and a notice or "".
    subroutine tessera_solve_progress(user, phase, fraction, eta_seconds, gflops, notice) bind(C)
      import :: c_ptr, c_double
      type(c_ptr), value :: user, phase, notice
      real(c_double), value :: fraction, eta_seconds, gflops
    end subroutine
  end interface

  interface
    function tessera_solve_create() result(s) bind(C, name='tessera_solve_create')
      import :: c_ptr
      type(c_ptr) :: s
    end function
    subroutine tessera_solve_destroy(s) bind(C, name='tessera_solve_destroy')
      import :: c_ptr
      type(c_ptr), value :: s
    end subroutine

    ! The matrix.
    function tessera_solve_set_matrix_file_c(s, path) result(status) &
        bind(C, name='tessera_solve_set_matrix_file')
      import :: c_ptr, c_char, c_int
      type(c_ptr), value :: s
      character(kind=c_char), intent(in) :: path(*)
      integer(c_int) :: status
    end function
    function tessera_solve_set_generated_c(s, problem_name) result(status) &
        bind(C, name='tessera_solve_set_generated')
      import :: c_ptr, c_char, c_int
      type(c_ptr), value :: s
      character(kind=c_char), intent(in) :: problem_name(*)
      integer(c_int) :: status
    end function
    function tessera_solve_set_fileset_c(s, nfiles, files, name, qualifier) result(status) &
        bind(C, name='tessera_solve_set_fileset')
      import :: c_ptr, c_char, c_int, c_int32_t
      type(c_ptr), value :: s
      integer(c_int32_t), value :: nfiles
      type(c_ptr), intent(in) :: files(*)
      character(kind=c_char), intent(in) :: name(*)
      integer(c_int32_t), value :: qualifier
      integer(c_int) :: status
    end function
    ! Lower triangle in compressed columns, 0-based: colptr(0:n), rowind and
    ! values (colptr(n) of each), copied.
    function tessera_solve_set_csc(s, n, colptr, rowind, values) result(status) &
        bind(C, name='tessera_solve_set_csc')
      import :: c_ptr, c_int, c_int32_t, c_int64_t, c_double
      type(c_ptr), value :: s
      integer(c_int32_t), value :: n
      integer(c_int64_t), intent(in) :: colptr(*)
      integer(c_int32_t), intent(in) :: rowind(*)
      real(c_double), intent(in) :: values(*)
      integer(c_int) :: status
    end function
    function tessera_solve_set_factor_c(s, path) result(status) &
        bind(C, name='tessera_solve_set_factor')
      import :: c_ptr, c_char, c_int
      type(c_ptr), value :: s
      character(kind=c_char), intent(in) :: path(*)
      integer(c_int) :: status
    end function

    ! Right-hand sides and the solution.
    ! k columns of b(ldb, k), copied.
    function tessera_solve_set_rhs(s, k, b, ldb) result(status) bind(C, name='tessera_solve_set_rhs')
      import :: c_ptr, c_int, c_int32_t, c_int64_t, c_double
      type(c_ptr), value :: s
      integer(c_int32_t), value :: k
      real(c_double), intent(in) :: b(*)
      integer(c_int64_t), value :: ldb
      integer(c_int) :: status
    end function
    function tessera_solve_set_rhs_file_c(s, path) result(status) &
        bind(C, name='tessera_solve_set_rhs_file')
      import :: c_ptr, c_char, c_int
      type(c_ptr), value :: s
      character(kind=c_char), intent(in) :: path(*)
      integer(c_int) :: status
    end function
    function tessera_solve_set_output_file_c(s, path) result(status) &
        bind(C, name='tessera_solve_set_output_file')
      import :: c_ptr, c_char, c_int
      type(c_ptr), value :: s
      character(kind=c_char), intent(in) :: path(*)
      integer(c_int) :: status
    end function

    ! Options.
    function tessera_solve_set_memory(s, bytes) result(status) bind(C, name='tessera_solve_set_memory')
      import :: c_ptr, c_int, c_int64_t
      type(c_ptr), value :: s
      integer(c_int64_t), value :: bytes
      integer(c_int) :: status
    end function
    function tessera_solve_set_ordering_c(s, name) result(status) &
        bind(C, name='tessera_solve_set_ordering')
      import :: c_ptr, c_char, c_int
      type(c_ptr), value :: s
      character(kind=c_char), intent(in) :: name(*)
      integer(c_int) :: status
    end function
    function tessera_solve_set_block_order(s, nb) result(status) &
        bind(C, name='tessera_solve_set_block_order')
      import :: c_ptr, c_int, c_int32_t
      type(c_ptr), value :: s
      integer(c_int32_t), value :: nb
      integer(c_int) :: status
    end function
    function tessera_solve_set_indefinite(s, on) result(status) &
        bind(C, name='tessera_solve_set_indefinite')
      import :: c_ptr, c_int, c_int32_t
      type(c_ptr), value :: s
      integer(c_int32_t), value :: on
      integer(c_int) :: status
    end function
    function tessera_solve_set_refine(s, steps) result(status) bind(C, name='tessera_solve_set_refine')
      import :: c_ptr, c_int, c_int32_t
      type(c_ptr), value :: s
      integer(c_int32_t), value :: steps
      integer(c_int) :: status
    end function
    function tessera_solve_set_keep_c(s, path, resume) result(status) &
        bind(C, name='tessera_solve_set_keep')
      import :: c_ptr, c_char, c_int, c_int32_t
      type(c_ptr), value :: s
      character(kind=c_char), intent(in) :: path(*)
      integer(c_int32_t), value :: resume
      integer(c_int) :: status
    end function
    function tessera_solve_set_work_dir_c(s, dir) result(status) &
        bind(C, name='tessera_solve_set_work_dir')
      import :: c_ptr, c_char, c_int
      type(c_ptr), value :: s
      character(kind=c_char), intent(in) :: dir(*)
      integer(c_int) :: status
    end function
    ! fn: c_funloc of a tessera_solve_progress subroutine, or c_null_funptr
    ! to stop the calls; user is handed back to it as it is.
    function tessera_solve_set_progress(s, fn, user) result(status) &
        bind(C, name='tessera_solve_set_progress')
      import :: c_ptr, c_funptr, c_int
      type(c_ptr), value :: s
      type(c_funptr), value :: fn
      type(c_ptr), value :: user
      integer(c_int) :: status
    end function
    ! Safe from a progress callback, a signal handler or another thread.
    subroutine tessera_solve_interrupt(s) bind(C, name='tessera_solve_interrupt')
      import :: c_ptr
      type(c_ptr), value :: s
    end subroutine

    ! Running and the results.
    function tessera_solve_run(s) result(status) bind(C, name='tessera_solve_run')
      import :: c_ptr, c_int
      type(c_ptr), value :: s
      integer(c_int) :: status
    end function
    function tessera_solve_message_c(s) result(text) bind(C, name='tessera_solve_message')
      import :: c_ptr
      type(c_ptr), value :: s
      type(c_ptr) :: text
    end function
    function tessera_solve_order(s) result(n) bind(C, name='tessera_solve_order')
      import :: c_ptr, c_int32_t
      type(c_ptr), value :: s
      integer(c_int32_t) :: n
    end function
    function tessera_solve_rhs_columns(s) result(k) bind(C, name='tessera_solve_rhs_columns')
      import :: c_ptr, c_int32_t
      type(c_ptr), value :: s
      integer(c_int32_t) :: k
    end function
    ! x(ldx, k) with ldx >= n.
    function tessera_solve_solution(s, x, ldx) result(status) bind(C, name='tessera_solve_solution')
      import :: c_ptr, c_int, c_int64_t, c_double
      type(c_ptr), value :: s
      real(c_double), intent(inout) :: x(*)
      integer(c_int64_t), value :: ldx
      integer(c_int) :: status
    end function
    function tessera_solve_report_json_c(s) result(text) bind(C, name='tessera_solve_report_json')
      import :: c_ptr
      type(c_ptr), value :: s
      type(c_ptr) :: text
    end function
    function tessera_solve_get_report(s, r) result(status) bind(C, name='tessera_solve_get_report')
      import :: c_ptr, c_int, tessera_solve_report
      type(c_ptr), value :: s
      type(tessera_solve_report), intent(out) :: r
      integer(c_int) :: status
    end function
  end interface

  ! File names as Fortran strings, or as c_loc of NUL-terminated strings
  ! (the names array the host gave hmnewf).
  interface tessera_solve_set_fileset
    module procedure set_fileset_strings, set_fileset_pointers
  end interface

contains

  function tessera_solve_set_matrix_file(s, path) result(status)
    type(c_ptr), intent(in) :: s
    character(len=*), intent(in) :: path
    integer(c_int) :: status
    status = tessera_solve_set_matrix_file_c(s, c_string(path))
  end function

  function tessera_solve_set_generated(s, problem_name) result(status)
    type(c_ptr), intent(in) :: s
    character(len=*), intent(in) :: problem_name
    integer(c_int) :: status
    status = tessera_solve_set_generated_c(s, c_string(problem_name))
  end function

  function set_fileset_strings(s, files, name, qualifier) result(status)
    type(c_ptr), intent(in) :: s
    character(len=*), intent(in) :: files(:)
    character(len=*), intent(in) :: name
    integer(c_int32_t), intent(in) :: qualifier
    integer(c_int) :: status
    character(kind=c_char, len=len(files) + 1), allocatable, target :: copies(:)
    type(c_ptr), allocatable :: pointers(:)
    integer :: i
    allocate(copies(size(files)), pointers(size(files)))
    do i = 1, size(files)
      copies(i) = trim(files(i)) // c_null_char
      pointers(i) = c_loc(copies(i))
    end do
    status = set_fileset_pointers(s, pointers, name, qualifier)
  end function

  function set_fileset_pointers(s, files, name, qualifier) result(status)
    type(c_ptr), intent(in) :: s
    type(c_ptr), intent(in) :: files(:)
    character(len=*), intent(in) :: name
    integer(c_int32_t), intent(in) :: qualifier
    integer(c_int) :: status
    ! An empty list: the library sees nfiles 0 and refuses it by its status.
    type(c_ptr) :: none(1)
    if (size(files) == 0) then
      none(1) = c_null_ptr
      status = tessera_solve_set_fileset_c(s, 0_c_int32_t, none, c_string(name), qualifier)
    else
      status = tessera_solve_set_fileset_c(s, int(size(files), c_int32_t), files, &
                                           c_string(name), qualifier)
    end if
  end function

  ! The bare tessera_solve_set_csc() reads colptr(0:n) and, column by
  ! column, the entries colptr(j) to colptr(j + 1) - 1 of rowind and values,
  ! trusting the host. Here n is size(colptr) - 1 and the arrays are checked
  ! first: rowind or values shorter than colptr(n), or a pointer outside
  ! 0 to colptr(n), is refused with TESSERA_SOLVE_BAD_CALL (the message is
  ! left as it was) instead of being read past its end. What the library
  ! checks itself (rows of the lower triangle, ascending, finite values)
  ! comes back from it with its status and message.
  function tessera_solve_set_csc_arrays(s, colptr, rowind, values) result(status)
    type(c_ptr), intent(in) :: s
    integer(c_int64_t), intent(in) :: colptr(0:)
    integer(c_int32_t), intent(in) :: rowind(:)
    real(c_double), intent(in) :: values(:)
    integer(c_int) :: status
    integer(c_int64_t) :: n, nnz
    n = size(colptr, kind=c_int64_t) - 1
    status = TESSERA_SOLVE_BAD_CALL
    if (n < 1 .or. n > huge(0_c_int32_t)) return
    nnz = colptr(n)
    if (nnz < 0 .or. nnz > size(rowind, kind=c_int64_t) .or. &
        nnz > size(values, kind=c_int64_t)) return
    if (any(colptr < 0 .or. colptr > nnz)) return
    status = tessera_solve_set_csc(s, int(n, c_int32_t), colptr, rowind, values)
  end function

  function tessera_solve_set_factor(s, path) result(status)
    type(c_ptr), intent(in) :: s
    character(len=*), intent(in) :: path
    integer(c_int) :: status
    status = tessera_solve_set_factor_c(s, c_string(path))
  end function

  function tessera_solve_set_rhs_file(s, path) result(status)
    type(c_ptr), intent(in) :: s
    character(len=*), intent(in) :: path
    integer(c_int) :: status
    status = tessera_solve_set_rhs_file_c(s, c_string(path))
  end function

  function tessera_solve_set_output_file(s, path) result(status)
    type(c_ptr), intent(in) :: s
    character(len=*), intent(in) :: path
    integer(c_int) :: status
    status = tessera_solve_set_output_file_c(s, c_string(path))
  end function

  function tessera_solve_set_ordering(s, name) result(status)
    type(c_ptr), intent(in) :: s
    character(len=*), intent(in) :: name
    integer(c_int) :: status
    status = tessera_solve_set_ordering_c(s, c_string(name))
  end function

  function tessera_solve_set_keep(s, path, resume) result(status)
    type(c_ptr), intent(in) :: s
    character(len=*), intent(in) :: path
    integer(c_int32_t), intent(in) :: resume
    integer(c_int) :: status
    status = tessera_solve_set_keep_c(s, c_string(path), resume)
  end function

  function tessera_solve_set_work_dir(s, dir) result(status)
    type(c_ptr), intent(in) :: s
    character(len=*), intent(in) :: dir
    integer(c_int) :: status
    status = tessera_solve_set_work_dir_c(s, c_string(dir))
  end function

  ! The last failure's message ("" after a success).
  function tessera_solve_message(s) result(text)
    type(c_ptr), intent(in) :: s
    character(len=:), allocatable :: text
    text = fortran_string(tessera_solve_message_c(s))
  end function

  ! The report of the last run as one JSON object ("{}" before one).
  function tessera_solve_report_json(s) result(text)
    type(c_ptr), intent(in) :: s
    character(len=:), allocatable :: text
    text = fortran_string(tessera_solve_report_json_c(s))
  end function

  ! The solution of the last run as x(n, k); x is left unallocated when
  ! there is none (the status says why).
  function tessera_solve_get_solution(s, x) result(status)
    type(c_ptr), intent(in) :: s
    real(c_double), allocatable, intent(out) :: x(:, :)
    integer(c_int) :: status
    integer(c_int32_t) :: n, k
    n = tessera_solve_order(s)
    k = tessera_solve_rhs_columns(s)
    status = TESSERA_SOLVE_BAD_CALL
    if (n < 1 .or. k < 1) return
    allocate(x(n, k))
    status = tessera_solve_solution(s, x, int(n, c_int64_t))
    if (status /= TESSERA_SOLVE_OK) deallocate(x)
  end function

  ! A C string as a Fortran string ("" for a null pointer): for the phase
  ! and notice a progress callback is given.
  function tessera_solve_string(p) result(text)
    type(c_ptr), intent(in) :: p
    character(len=:), allocatable :: text
    text = fortran_string(p)
  end function

  ! text without its trailing blanks, NUL-terminated.
  function c_string(text) result(chars)
    character(len=*), intent(in) :: text
    character(kind=c_char, len=len_trim(text) + 1) :: chars
    chars = trim(text) // c_null_char
  end function

  function fortran_string(p) result(text)
    type(c_ptr), intent(in) :: p
    character(len=:), allocatable :: text
    character(kind=c_char), pointer :: chars(:)
    integer :: n
    if (.not. c_associated(p)) then
      text = ''
      return
    end if
    ! The length is found first, then the pointer is remade with it, so
    ! nothing past the NUL is ever read.
    call c_f_pointer(p, chars, [huge(0)])
    n = 0
    do while (chars(n + 1) /= c_null_char)
      n = n + 1
    end do
    call c_f_pointer(p, chars, [n])
    allocate(character(len=n) :: text)
    text = transfer(chars, text)
  end function

end module tessera_solve
