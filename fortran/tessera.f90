! Fortran interface of libtessera: bind(C) interfaces of the 22 routines,
! the named constants of tessera.h as parameters, and the linking of the three
! areas (tessera_attach). Every integer that crosses the interface is
! integer(c_int32_t), so hosts compiled with -fdefault-integer-8 call it
! alike. Conventions:
!   - a matrix name is character(kind=c_char) :: name(12), blank-padded
!     (tessera_name('STIFFNESS') makes one);
!   - file names are type(c_ptr) :: names(n), each the c_loc of a
!     NUL-terminated character(kind=c_char) string;
!   - the host arrays of hmputs and hmgets are passed as c_loc(array), in
!     elements of the matrix's type;
!   - control-area word N is ctrl(N) (Fortran arrays count from 1 too).
module tessera
  use, intrinsic :: iso_c_binding, only: c_int32_t, c_double, c_char, c_ptr, c_loc, &
                                         c_null_ptr, c_null_char, c_f_pointer, c_associated
  implicit none
  private :: c_f_pointer, c_associated

  ! Linked areas: sizes in words and the words a host reads or sets.
  integer(c_int32_t), parameter :: TESSERA_TRACE_WORDS = 21, TESSERA_TRACE_CODES = 20
  integer(c_int32_t), parameter :: TESSERA_CACHE_WORDS = 16, TESSERA_CHOSKY_WORDS = 567
  integer(c_int32_t), parameter :: TESSERA_CHOSKY_PIVOTS = 565, TESSERA_CHOSKY_RECORDING = 566

  ! Control-area words (1-based) and their values.
  integer(c_int32_t), parameter :: TESSERA_CTRL_RECORD_LENGTH = 2, TESSERA_CTRL_BLAS = 4
  integer(c_int32_t), parameter :: TESSERA_CTRL_BUFFERS = 169, TESSERA_CTRL_INITIALISED = 187
  integer(c_int32_t), parameter :: TESSERA_DEFAULT_RECORD_LENGTH = 2048
  integer(c_int32_t), parameter :: TESSERA_MIN_RECORD_LENGTH = 128
  integer(c_int32_t), parameter :: TESSERA_BLAS_OFF = 0, TESSERA_BLAS_ON = 1
  integer(c_int32_t), parameter :: TESSERA_INITIALISED = 12345
  integer(c_int32_t), parameter :: TESSERA_NAME_BYTES = 12, TESSERA_MAX_FILES = 10
  integer(c_int32_t), parameter :: TESSERA_MAX_FILE_NAME = 80

  ! Element type codes; type word = code + TESSERA_ITEMS_UNIT * items.
  integer(c_int32_t), parameter :: TESSERA_TYPE_INT32 = 1, TESSERA_TYPE_FLOAT = 2
  integer(c_int32_t), parameter :: TESSERA_TYPE_INT32_ITEMS = 3, TESSERA_TYPE_DOUBLE = 4
  integer(c_int32_t), parameter :: TESSERA_TYPE_COMPLEX_FLOAT = 5, TESSERA_TYPE_COMPLEX_DOUBLE = 6
  integer(c_int32_t), parameter :: TESSERA_TYPE_FLOAT_ITEMS = 7, TESSERA_TYPE_DOUBLE_ITEMS = 8
  integer(c_int32_t), parameter :: TESSERA_TYPE_COMPLEX_FLOAT_ITEMS = 9
  integer(c_int32_t), parameter :: TESSERA_TYPE_COMPLEX_DOUBLE_ITEMS = 10
  integer(c_int32_t), parameter :: TESSERA_TYPE_INT32_COLUMN = 11
  integer(c_int32_t), parameter :: TESSERA_TYPE_INT32_ITEMS_COLUMN = 12
  integer(c_int32_t), parameter :: TESSERA_ITEMS_UNIT = 256

  ! Storage forms; storage word = form [+ TESSERA_BANDED + TESSERA_BAND_UNIT * width].
  integer(c_int32_t), parameter :: TESSERA_FORM_SYMMETRIC = 1, TESSERA_FORM_GENERAL = 3
  integer(c_int32_t), parameter :: TESSERA_FORM_DIAGONAL = 5, TESSERA_FORM_UPPER = 6
  integer(c_int32_t), parameter :: TESSERA_BANDED = 128, TESSERA_BAND_UNIT = 256

  ! Copy modes of hlcopm.
  integer(c_int32_t), parameter :: TESSERA_COPY = 0, TESSERA_COPY_NEGATED = 1
  integer(c_int32_t), parameter :: TESSERA_COPY_TRANSPOSED = 2
  integer(c_int32_t), parameter :: TESSERA_COPY_NEGATED_TRANSPOSED = 3
  integer(c_int32_t), parameter :: TESSERA_COPY_UPPER_BLOCKS = 4, TESSERA_COPY_DIAGONAL = 6
  integer(c_int32_t), parameter :: TESSERA_COPY_MIRRORED = 10, TESSERA_COPY_CONJUGATED = 11
  integer(c_int32_t), parameter :: TESSERA_COPY_NEGATED_CONJUGATED = 12

  ! Flags of hladd and hlmult, modes of hmclos, hmoldm, hminqm, fwsdr/bwsdr.
  integer(c_int32_t), parameter :: TESSERA_ADD = 0, TESSERA_SUBTRACT = 1
  integer(c_int32_t), parameter :: TESSERA_NO_TRANSPOSE = 0, TESSERA_TRANSPOSE = 1
  integer(c_int32_t), parameter :: TESSERA_ALL_BLOCKS = 0, TESSERA_UPPER_BLOCKS = 1
  integer(c_int32_t), parameter :: TESSERA_CLOSE_CHECK = 0, TESSERA_CLOSE_DELETE = 1
  integer(c_int32_t), parameter :: TESSERA_READ_WRITE = 0, TESSERA_READ_ONLY = 1
  integer(c_int32_t), parameter :: TESSERA_MATRIX_ABSENT = -1, TESSERA_MATRIX_CLOSED = 0
  integer(c_int32_t), parameter :: TESSERA_FACTOR_TRIANGULAR = 0, TESSERA_FACTOR_DIAGONAL = 5

  ! Status numbers.
  integer(c_int32_t), parameter :: TESSERA_OK = 0
  integer(c_int32_t), parameter :: TESSERA_STATUS_RECORD_LENGTH_DIFFERS = 1
  integer(c_int32_t), parameter :: TESSERA_STATUS_BAD_ARGUMENT = 2
  integer(c_int32_t), parameter :: TESSERA_STATUS_RECORD_TOO_SMALL = 3
  integer(c_int32_t), parameter :: TESSERA_STATUS_FILESETS_OPEN = 4
  integer(c_int32_t), parameter :: TESSERA_STATUS_MATRIX_OPEN = 9
  integer(c_int32_t), parameter :: TESSERA_STATUS_COLUMNS_DIFFER = 10
  integer(c_int32_t), parameter :: TESSERA_STATUS_COLUMNS_NOT_POSITIVE = 11
  integer(c_int32_t), parameter :: TESSERA_STATUS_TYPES_DIFFER = 13
  integer(c_int32_t), parameter :: TESSERA_STATUS_BAD_TYPE = 14
  integer(c_int32_t), parameter :: TESSERA_STATUS_SHAPES_DO_NOT_CONFORM = 16
  integer(c_int32_t), parameter :: TESSERA_STATUS_MATRIX_EXISTS = 17
  integer(c_int32_t), parameter :: TESSERA_STATUS_FORMS_DIFFER = 19
  integer(c_int32_t), parameter :: TESSERA_STATUS_BAD_FORM = 20
  integer(c_int32_t), parameter :: TESSERA_STATUS_ROWS_DIFFER = 29
  integer(c_int32_t), parameter :: TESSERA_STATUS_ROWS_NOT_POSITIVE = 30
  integer(c_int32_t), parameter :: TESSERA_STATUS_NO_SUCH_MATRIX = 31
  integer(c_int32_t), parameter :: TESSERA_STATUS_ITEMS_DIFFER = 32
  integer(c_int32_t), parameter :: TESSERA_STATUS_READ_ONLY = 35
  integer(c_int32_t), parameter :: TESSERA_STATUS_REGION_OUTSIDE = 37
  integer(c_int32_t), parameter :: TESSERA_STATUS_TRANSPOSE_TYPE = 38
  integer(c_int32_t), parameter :: TESSERA_STATUS_TRANSPOSE_FORM = 39
  integer(c_int32_t), parameter :: TESSERA_STATUS_NOT_INITIALISED = 100
  integer(c_int32_t), parameter :: TESSERA_STATUS_AREA_TOO_SMALL = 101
  integer(c_int32_t), parameter :: TESSERA_STATUS_POOL_TOO_SMALL = 105
  integer(c_int32_t), parameter :: TESSERA_STATUS_FILE_CREATE_OPEN = 161
  integer(c_int32_t), parameter :: TESSERA_STATUS_FILE_CLOSE = 162
  integer(c_int32_t), parameter :: TESSERA_STATUS_FILE_EXTEND = 163
  integer(c_int32_t), parameter :: TESSERA_STATUS_RECORD_READ = 164
  integer(c_int32_t), parameter :: TESSERA_STATUS_RECORD_WRITE = 165
  integer(c_int32_t), parameter :: TESSERA_STATUS_FULL = 170

  ! The library's exported pointers.
  type(c_ptr), bind(C, name='Xerror') :: xerror
  type(c_ptr), bind(C, name='Xcache') :: xcache
  type(c_ptr), bind(C, name='Xchosky') :: xchosky

  ! Areas the module owns, linked by tessera_attach() without arguments.
  ! The trace: words 0 (last slot written) to 20 (codes, innermost first).
  integer(c_int32_t), target, save :: tessera_trace(0:TESSERA_TRACE_WORDS - 1) = 0
  integer(c_int32_t), target, save :: tessera_cache(0:TESSERA_CACHE_WORDS - 1) = 0
  integer(c_int32_t), target, save :: tessera_chosky(0:TESSERA_CHOSKY_WORDS - 1) = 0

  interface
    ! Control area and file sets.
    subroutine hminmf(ctrl, length, nfs, ndesc, option, ierr) bind(C, name='hminmf')
      import :: c_int32_t
      integer(c_int32_t), intent(inout) :: ctrl(*)
      integer(c_int32_t), intent(in) :: length, nfs, ndesc, option
      integer(c_int32_t), intent(out) :: ierr
    end subroutine
    subroutine hmnewf(ctrl, nfiles, names, index_records, initial_words, handle, ierr) &
        bind(C, name='hmnewf')
      import :: c_int32_t, c_ptr
      integer(c_int32_t), intent(inout) :: ctrl(*)
      integer(c_int32_t), intent(in) :: nfiles
      type(c_ptr), intent(in) :: names(*)
      integer(c_int32_t), intent(in) :: index_records, initial_words
      integer(c_int32_t), intent(out) :: handle, ierr
    end subroutine
    subroutine hmoldf(ctrl, nfiles, names, handle, ierr) bind(C, name='hmoldf')
      import :: c_int32_t, c_ptr
      integer(c_int32_t), intent(inout) :: ctrl(*)
      integer(c_int32_t), intent(in) :: nfiles
      type(c_ptr), intent(in) :: names(*)
      integer(c_int32_t), intent(out) :: handle, ierr
    end subroutine
    subroutine hmclos(ctrl, ierr) bind(C, name='hmclos')
      import :: c_int32_t
      integer(c_int32_t), intent(inout) :: ctrl(*)
      integer(c_int32_t), intent(inout) :: ierr  ! in: TESSERA_CLOSE_CHECK or _DELETE
    end subroutine
    subroutine hmclos_filename(ctrl, names, ierr) bind(C, name='hmclos_filename')
      import :: c_int32_t, c_ptr
      integer(c_int32_t), intent(inout) :: ctrl(*)
      type(c_ptr), intent(in) :: names(*)
      integer(c_int32_t), intent(inout) :: ierr
    end subroutine
    subroutine hmkilf(ctrl, handle, ierr) bind(C, name='hmkilf')
      import :: c_int32_t
      integer(c_int32_t), intent(inout) :: ctrl(*)
      integer(c_int32_t), intent(inout) :: handle
      integer(c_int32_t), intent(out) :: ierr
    end subroutine
    subroutine hmkilf_filename(ctrl, handle, names, ierr) bind(C, name='hmkilf_filename')
      import :: c_int32_t, c_ptr
      integer(c_int32_t), intent(inout) :: ctrl(*)
      integer(c_int32_t), intent(inout) :: handle
      type(c_ptr), intent(in) :: names(*)
      integer(c_int32_t), intent(out) :: ierr
    end subroutine
    subroutine hmremf(ctrl, handle, ierr) bind(C, name='hmremf')
      import :: c_int32_t
      integer(c_int32_t), intent(inout) :: ctrl(*)
      integer(c_int32_t), intent(inout) :: handle
      integer(c_int32_t), intent(out) :: ierr
    end subroutine
    subroutine hmremf_filename(ctrl, handle, names, ierr) bind(C, name='hmremf_filename')
      import :: c_int32_t, c_ptr
      integer(c_int32_t), intent(inout) :: ctrl(*)
      integer(c_int32_t), intent(inout) :: handle
      type(c_ptr), intent(in) :: names(*)
      integer(c_int32_t), intent(out) :: ierr
    end subroutine

    ! Matrices.
    subroutine hmnewm(ctrl, name, qualifier, fileset, typeword, storageword, nrows, ncols, &
                      handle, ierr) bind(C, name='hmnewm')
      import :: c_int32_t, c_char
      integer(c_int32_t), intent(inout) :: ctrl(*)
      character(kind=c_char), intent(in) :: name(12)
      integer(c_int32_t), intent(in) :: qualifier, fileset, typeword, storageword, nrows, ncols
      integer(c_int32_t), intent(out) :: handle, ierr
    end subroutine
    subroutine hmoldm(ctrl, name, qualifier, fileset, readonly, typeword, storageword, nrows, &
                      ncols, handle, ierr) bind(C, name='hmoldm')
      import :: c_int32_t, c_char
      integer(c_int32_t), intent(inout) :: ctrl(*)
      character(kind=c_char), intent(in) :: name(12)
      integer(c_int32_t), intent(in) :: qualifier, fileset, readonly
      integer(c_int32_t), intent(out) :: typeword, storageword, nrows, ncols, handle, ierr
    end subroutine
    subroutine hmrelm(ctrl, handle, ierr) bind(C, name='hmrelm')
      import :: c_int32_t
      integer(c_int32_t), intent(inout) :: ctrl(*)
      integer(c_int32_t), intent(inout) :: handle
      integer(c_int32_t), intent(out) :: ierr
    end subroutine
    subroutine hmkilm(ctrl, name, qualifier, fileset, ierr) bind(C, name='hmkilm')
      import :: c_int32_t, c_char
      integer(c_int32_t), intent(inout) :: ctrl(*)
      character(kind=c_char), intent(in) :: name(12)
      integer(c_int32_t), intent(in) :: qualifier, fileset
      integer(c_int32_t), intent(out) :: ierr
    end subroutine
    subroutine hminqm(ctrl, name, qualifier, fileset, state) bind(C, name='hminqm')
      import :: c_int32_t, c_char
      integer(c_int32_t), intent(inout) :: ctrl(*)
      character(kind=c_char), intent(in) :: name(12)
      integer(c_int32_t), intent(in) :: qualifier, fileset
      integer(c_int32_t), intent(out) :: state
    end subroutine

    ! Regions: a is c_loc of the host array, in elements of the matrix's type.
    subroutine hmputs(ctrl, im, i1, nr, j1, nc, a, lda, ierr) bind(C, name='hmputs')
      import :: c_int32_t, c_ptr
      integer(c_int32_t), intent(inout) :: ctrl(*)
      integer(c_int32_t), intent(in) :: im, i1, nr, j1, nc
      type(c_ptr), value :: a
      integer(c_int32_t), intent(in) :: lda
      integer(c_int32_t), intent(out) :: ierr
    end subroutine
    subroutine hmgets(ctrl, im, i1, nr, j1, nc, a, lda, ierr) bind(C, name='hmgets')
      import :: c_int32_t, c_ptr
      integer(c_int32_t), intent(inout) :: ctrl(*)
      integer(c_int32_t), intent(in) :: im, i1, nr, j1, nc
      type(c_ptr), value :: a
      integer(c_int32_t), intent(in) :: lda
      integer(c_int32_t), intent(out) :: ierr
    end subroutine

    ! Hypermatrix algebra.
    subroutine hladd(ctrl, ma, mb, op, ierr) bind(C, name='hladd')
      import :: c_int32_t
      integer(c_int32_t), intent(inout) :: ctrl(*)
      integer(c_int32_t), intent(inout) :: ma, mb
      integer(c_int32_t), intent(in) :: op
      integer(c_int32_t), intent(out) :: ierr
    end subroutine
    subroutine hlcopm(ctrl, ma, mb, mode, ierr) bind(C, name='hlcopm')
      import :: c_int32_t
      integer(c_int32_t), intent(inout) :: ctrl(*)
      integer(c_int32_t), intent(in) :: ma, mb, mode
      integer(c_int32_t), intent(out) :: ierr
    end subroutine
    subroutine hlmult(ctrl, ma, mb, mc, ta, tb, up, sub, ierr) bind(C, name='hlmult')
      import :: c_int32_t
      integer(c_int32_t), intent(inout) :: ctrl(*)
      integer(c_int32_t), intent(in) :: ma, mb, mc, ta, tb
      integer(c_int32_t), intent(inout) :: up
      integer(c_int32_t), intent(in) :: sub
      integer(c_int32_t), intent(out) :: ierr
    end subroutine

    ! Dense block solver.
    subroutine crudr(a, f, g, n, m, ierr) bind(C, name='crudr')
      import :: c_int32_t, c_double
      real(c_double), intent(inout) :: a(*)
      real(c_double), intent(inout) :: f(*), g(*)
      integer(c_int32_t), intent(in) :: n, m
      integer(c_int32_t), intent(inout) :: ierr  ! in: global number of the first column
    end subroutine
    subroutine fwsdr(u, x, n, k, mode, ierr) bind(C, name='fwsdr')
      import :: c_int32_t, c_double
      real(c_double), intent(in) :: u(*)
      real(c_double), intent(inout) :: x(*)
      integer(c_int32_t), intent(in) :: n, k, mode
      integer(c_int32_t), intent(out) :: ierr
    end subroutine
    subroutine bwsdr(u, x, n, k, mode, ierr) bind(C, name='bwsdr')
      import :: c_int32_t, c_double
      real(c_double), intent(in) :: u(*)
      real(c_double), intent(inout) :: x(*)
      integer(c_int32_t), intent(in) :: n, k, mode
      integer(c_int32_t), intent(out) :: ierr
    end subroutine

    ! The header-only helpers of tessera_sizing.h and tessera_status.h,
    ! compiled into this module's library.
    function tessera_control_length(record_length, nfs, ndesc, buffers) result(length) &
        bind(C, name='tessera_fortran_control_length')
      import :: c_int32_t
      integer(c_int32_t), value :: record_length, nfs, ndesc, buffers
      integer(c_int32_t) :: length
    end function
    function tessera_fileset_min_words(record_length, control_length, index_records) &
        result(words) bind(C, name='tessera_fortran_fileset_min_words')
      import :: c_int32_t
      integer(c_int32_t), value :: record_length, control_length, index_records
      integer(c_int32_t) :: words
    end function
    function tessera_buffers_for_hyperblock(b1, ndesc) result(buffers) &
        bind(C, name='tessera_fortran_buffers_for_hyperblock')
      import :: c_int32_t
      integer(c_int32_t), value :: b1, ndesc
      integer(c_int32_t) :: buffers
    end function
    function tessera_status_text_c(status) result(text) bind(C, name='tessera_fortran_status_text')
      import :: c_int32_t, c_ptr
      integer(c_int32_t), value :: status
      type(c_ptr) :: text
    end function
  end interface

contains

  ! Link the three areas: the module's own when called without arguments,
  ! else the host's (each at least TESSERA_*_WORDS words).
  subroutine tessera_attach(trace, cache, chosky)
    integer(c_int32_t), target, intent(inout), optional :: trace(0:), cache(0:), chosky(0:)
    if (present(trace)) then
      xerror = c_loc(trace)
    else
      xerror = c_loc(tessera_trace)
    end if
    if (present(cache)) then
      xcache = c_loc(cache)
    else
      xcache = c_loc(tessera_cache)
    end if
    if (present(chosky)) then
      xchosky = c_loc(chosky)
    else
      xchosky = c_loc(tessera_chosky)
    end if
  end subroutine

  ! Unlink the three areas; every routine then refuses with status 100.
  subroutine tessera_detach()
    xerror = c_null_ptr
    xcache = c_null_ptr
    xchosky = c_null_ptr
  end subroutine

  ! A matrix name: the first 12 characters of text, blank-padded.
  function tessera_name(text) result(name)
    character(len=*), intent(in) :: text
    character(kind=c_char) :: name(12)
    integer :: i
    name = ' '
    do i = 1, min(len(text), 12)
      name(i) = text(i:i)
    end do
  end function

  ! Type word of an element type with items per element.
  pure function tessera_type_word(code, items) result(word)
    integer(c_int32_t), intent(in) :: code, items
    integer(c_int32_t) :: word
    word = code + TESSERA_ITEMS_UNIT * items
  end function

  ! Element type code and items per element of a type word from hmoldm.
  pure function tessera_type_code(typeword) result(code)
    integer(c_int32_t), intent(in) :: typeword
    integer(c_int32_t) :: code
    code = mod(typeword, TESSERA_ITEMS_UNIT)
  end function
  pure function tessera_type_items(typeword) result(items)
    integer(c_int32_t), intent(in) :: typeword
    integer(c_int32_t) :: items
    items = max(typeword / TESSERA_ITEMS_UNIT, 1_c_int32_t)
  end function

  ! Storage words: a form, a form with a band; form and band width of a word.
  pure function tessera_storage_band(form, width) result(word)
    integer(c_int32_t), intent(in) :: form, width
    integer(c_int32_t) :: word
    word = form + TESSERA_BANDED + TESSERA_BAND_UNIT * width
  end function
  pure function tessera_storage_form(storageword) result(form)
    integer(c_int32_t), intent(in) :: storageword
    integer(c_int32_t) :: form
    form = mod(storageword, TESSERA_BANDED)
  end function
  pure function tessera_storage_band_width(storageword) result(width)
    integer(c_int32_t), intent(in) :: storageword
    integer(c_int32_t) :: width
    width = storageword / TESSERA_BAND_UNIT
  end function

  ! The sentence of a status number (tessera_status.h).
  function tessera_status_text(status) result(text)
    integer(c_int32_t), intent(in) :: status
    character(len=:), allocatable :: text
    character(kind=c_char), pointer :: chars(:)
    integer :: n
    call c_f_pointer(tessera_status_text_c(status), chars, [200])
    n = 0
    do while (chars(n + 1) /= c_null_char)
      n = n + 1
    end do
    allocate(character(len=n) :: text)
    text = transfer(chars(1:n), text)
  end function

  ! The trace codes of the last failure, innermost first.
  function tessera_last_trace() result(codes)
    integer(c_int32_t), allocatable :: codes(:)
    integer(c_int32_t), pointer :: area(:)
    integer :: n
    if (.not. c_associated(xerror)) then
      allocate(codes(0))
      return
    end if
    call c_f_pointer(xerror, area, [TESSERA_TRACE_WORDS])
    n = max(0, min(int(area(1)), int(TESSERA_TRACE_CODES)))
    codes = area(2:n + 1)
  end function

end module tessera
