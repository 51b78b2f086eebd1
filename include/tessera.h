/**
 * \file tessera.h
 * \brief libtessera: out-of-core hypermatrices kept as blocks in sets of
 * direct-access record files.
 *
 * \par Calling convention
 * Every routine returns nothing and takes every argument by address;
 * integers are 32-bit signed (`int32_t`, `integer(c_int32_t)` in Fortran).
 * The last argument, `ierr`, receives the status: 0 for success, a positive
 * number for a refusal (::tessera_status), a negative column number for a
 * refused pivot of the dense solver. After a failure the area behind
 * ::Xerror holds the chain of trace codes of the failure path, innermost
 * first; tessera_status_text() in tessera_status.h gives one sentence for
 * each status.
 *
 * \par Memory
 * The host owns all memory: the control area (an `int32_t` array passed as
 * the first argument of every store and algebra routine) and three small
 * integer areas it links in through ::Xerror (::TESSERA_TRACE_WORDS words),
 * ::Xcache (::TESSERA_CACHE_WORDS words) and ::Xchosky
 * (::TESSERA_CHOSKY_WORDS words). Link all three before the first call; a
 * routine called while an area it reaches is still null refuses with status
 * ::TESSERA_STATUS_NOT_INITIALISED and writes nothing through it.
 * tessera_sizing.h computes a control-area length that fits a record length,
 * a number of file sets and matrices and a number of block buffers.
 *
 * \par Word numbers
 * Control-area words are numbered from 1, as every position the library
 * stores: word N is `ctrl[N - 1]` in C (see TESSERA_CTRL()). The three
 * linked areas are counted from 0.
 *
 * \par Call order
 * Link the areas; hminmf() lays out the control area (the host may then
 * change the words listed in ::tessera_ctrl_word); hmnewf() or hmoldf()
 * opens a file set; hmnewm() or hmoldm() opens matrices; hmputs() and
 * hmgets() move regions, hladd(), hlcopm() and hlmult() combine whole
 * matrices; hmrelm() closes each matrix (hmkilm() deletes one); hmremf()
 * ends each file set keeping its files (hmkilf() deletes them); hmclos()
 * finishes. crudr(), fwsdr() and bwsdr() need none of this.
 *
 * \par Error trace
 * Ten routines clear the trace (set ::Xerror word 0 to 0) on entry: hmnewf,
 * hmoldf, hmclos, hmclos_filename, hminmf, hmkilm, hmrelm, hladd, hlcopm
 * and hlmult. The others add to what is there.
 *
 * \par Threads
 * The library starts no threads and takes no locks. Calls on one control
 * area, or on the linked areas (which are process-wide), must not overlap.
 */
#ifndef TESSERA_H
#define TESSERA_H

#include <stdint.h>

/** Marks the library's exported symbols. */
#if defined(__GNUC__)
#define TESSERA_API __attribute__((visibility("default")))
#else
#define TESSERA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** \defgroup areas Linked areas
 * The three integer areas a host links in before its first call.
 * @{ */

/** Error trace: ::TESSERA_TRACE_WORDS 32-bit words. Word 0 is the slot last
 * written (0 after a clear), words 1 to 20 hold five-digit trace codes,
 * innermost first; the 21st code after a clear overwrites slot 1. */
extern TESSERA_API char *Xerror;
/** Block-cache control words: ::TESSERA_CACHE_WORDS 32-bit words.
 * hmnewf() and hmoldf() store 2 in word 0 and 0 in word 1 (the cache off);
 * a host that does not set up the cache only links the area. */
extern TESSERA_API char *Xcache;
/** Dense-solver diagnostics: ::TESSERA_CHOSKY_WORDS 32-bit words. hminmf()
 * sets word ::TESSERA_CHOSKY_RECORDING to 0 (tiny-pivot recording off). */
extern TESSERA_API char *Xchosky;

/** Sizes and words of the linked areas, in 32-bit words counted from 0. */
enum tessera_area_words {
  TESSERA_TRACE_WORDS = 21,       /**< words of the ::Xerror area */
  TESSERA_TRACE_CODES = 20,       /**< trace slots (words 1 to 20) */
  TESSERA_CACHE_WORDS = 16,       /**< words of the ::Xcache area (its control words, either build) */
  TESSERA_CHOSKY_WORDS = 567,     /**< words of the ::Xchosky area */
  TESSERA_CHOSKY_PIVOTS = 565,    /**< ::Xchosky word: tiny pivots recorded while recording was on */
  TESSERA_CHOSKY_RECORDING = 566  /**< ::Xchosky word: 0 recording off, non-zero on */
};
/** @} */

/** \defgroup control Control-area words
 * Word numbers (1-based) of the control area that a host may set between
 * hminmf() and the first hmnewf() or hmoldf(), or read.
 * @{ */

/** Word `word` (1-based) of the control area `ctrl`, as an lvalue. */
#define TESSERA_CTRL(ctrl, word) ((ctrl)[(word) - 1])

/** Control-area words a host may set or read. */
enum tessera_ctrl_word {
  /** Record length in 32-bit words of the file sets this area creates
   * (set: default ::TESSERA_DEFAULT_RECORD_LENGTH, at least
   * ::TESSERA_MIN_RECORD_LENGTH). The first file set fixes it for the life of
   * the area; a block is one record. hmoldf() takes the length from the
   * files and does not read this word. */
  TESSERA_CTRL_RECORD_LENGTH = 2,
  /** Products of full double-precision blocks in hlmult() (set): 0 the
   * library's own loops (default), 1 or more the BLAS routine DGEMM. */
  TESSERA_CTRL_BLAS = 4,
  /** Number of block buffers of the pool (read, after the first file set):
   * each holds one record. */
  TESSERA_CTRL_BUFFERS = 169,
  /** 12345 while the area is initialised (read): hminmf() sets it,
   * hmclos() clears it. */
  TESSERA_CTRL_INITIALISED = 187
};

/** Values of the control-area words. */
enum tessera_ctrl_value {
  TESSERA_DEFAULT_RECORD_LENGTH = 2048, /**< record length hminmf() stores */
  TESSERA_MIN_RECORD_LENGTH = 128,      /**< smallest record length a file set takes */
  TESSERA_BLAS_OFF = 0,                 /**< ::TESSERA_CTRL_BLAS: the library's own loops */
  TESSERA_BLAS_ON = 1,                  /**< ::TESSERA_CTRL_BLAS: DGEMM for double blocks */
  TESSERA_INITIALISED = 12345           /**< ::TESSERA_CTRL_INITIALISED while initialised */
};

/** Limits on names. */
enum tessera_name_limits {
  TESSERA_NAME_BYTES = 12,      /**< a matrix name: 12 bytes (three words), blank-padded, not terminated */
  TESSERA_MAX_FILES = 10,       /**< physical files of one file set */
  TESSERA_MAX_FILE_NAME = 80    /**< characters of one file name */
};
/** @} */

/** \defgroup types Element types and the type word
 * The type word of hmnewm() and hmoldm() is the type code plus
 * ::TESSERA_ITEMS_UNIT times the items per element (0 counts as 1).
 * @{ */

/** Element type codes. The vector types hold k items per element, stored
 * next to each other; the one-column types have exactly one stored column. */
enum tessera_type_code {
  TESSERA_TYPE_INT32 = 1,                 /**< 32-bit signed integer */
  TESSERA_TYPE_FLOAT = 2,                 /**< single-precision real */
  TESSERA_TYPE_INT32_ITEMS = 3,           /**< k 32-bit signed integers */
  TESSERA_TYPE_DOUBLE = 4,                /**< double-precision real */
  TESSERA_TYPE_COMPLEX_FLOAT = 5,         /**< single-precision complex (real part, imaginary part) */
  TESSERA_TYPE_COMPLEX_DOUBLE = 6,        /**< double-precision complex */
  TESSERA_TYPE_FLOAT_ITEMS = 7,           /**< k single-precision reals */
  TESSERA_TYPE_DOUBLE_ITEMS = 8,          /**< k double-precision reals */
  TESSERA_TYPE_COMPLEX_FLOAT_ITEMS = 9,   /**< k single-precision complex numbers */
  TESSERA_TYPE_COMPLEX_DOUBLE_ITEMS = 10, /**< k double-precision complex numbers */
  TESSERA_TYPE_INT32_COLUMN = 11,         /**< 32-bit signed integer, one stored column */
  TESSERA_TYPE_INT32_ITEMS_COLUMN = 12    /**< k 32-bit signed integers, one stored column */
};

/** Encoding of the type word. */
enum tessera_type_word_parts {
  TESSERA_ITEMS_UNIT = 256 /**< type word = type code + ::TESSERA_ITEMS_UNIT x items per element */
};

/** Type word of an element type.
 * \param code   element type code (::tessera_type_code)
 * \param items  items per element (1 for the scalar types)
 * \return the type word for hmnewm() */
static inline int32_t tessera_type_word(int32_t code, int32_t items) {
  return code + TESSERA_ITEMS_UNIT * items;
}
/** Element type code of a type word.
 * \param typeword  type word (from hmoldm())
 * \return the ::tessera_type_code */
static inline int32_t tessera_type_code(int32_t typeword) { return typeword % TESSERA_ITEMS_UNIT; }
/** Items per element of a type word.
 * \param typeword  type word (from hmoldm())
 * \return the items per element (0 in the word counts as 1) */
static inline int32_t tessera_type_items(int32_t typeword) {
  return typeword / TESSERA_ITEMS_UNIT == 0 ? 1 : typeword / TESSERA_ITEMS_UNIT;
}
/** Size of one item of an element type: an element of a vector type takes
 * items times this many words, of a scalar type this many.
 * \param code  element type code (::tessera_type_code)
 * \return 32-bit words per item: 1 (integers, single reals), 2 (doubles,
 *         single complex) or 4 (double complex) */
static inline int32_t tessera_words_per_item(int32_t code) {
  switch (code) {
    case 1: case 2: case 3: case 7: case 11: case 12: return 1;
    case 4: case 5: case 8: case 9: return 2;
    default: return 4;
  }
}
/** @} */

/** \defgroup forms Storage forms and the storage word
 * The storage word of hmnewm() and hmoldm() is the storage form, plus
 * ::TESSERA_BANDED and ::TESSERA_BAND_UNIT times the band width for a band
 * matrix. hmoldm() always returns the band flag, with the width
 * min(stored lower width, stored upper width): m - 1 and n - 1 for a
 * matrix created without a band, so `min(m - 1, n - 1)` then.
 * @{ */

/** Storage forms (values 2 and 4 are general too; 1 to 6 are valid). */
enum tessera_storage_form {
  TESSERA_FORM_SYMMETRIC = 1, /**< symmetric: only blocks on and above the block diagonal are stored; a put of lower blocks is ignored */
  TESSERA_FORM_GENERAL = 3,   /**< general: every block may be stored */
  TESSERA_FORM_DIAGONAL = 5,  /**< diagonal: one stored column */
  TESSERA_FORM_UPPER = 6      /**< upper triangular: values below the diagonal are neither stored nor returned */
};

/** Encoding of the storage word. */
enum tessera_storage_word_parts {
  TESSERA_BANDED = 128,   /**< band flag: the matrix has a band width on both sides of the diagonal */
  TESSERA_BAND_UNIT = 256 /**< storage word = form + ::TESSERA_BANDED + ::TESSERA_BAND_UNIT x width */
};

/** Storage word of a form without a band.
 * \param form  storage form (::tessera_storage_form)
 * \return the storage word for hmnewm() */
static inline int32_t tessera_storage_word(int32_t form) { return form; }
/** Storage word of a band matrix.
 * \param form   storage form (::tessera_storage_form)
 * \param width  band width on both sides of the diagonal, 0 or more
 * \return the storage word for hmnewm() */
static inline int32_t tessera_storage_band(int32_t form, int32_t width) {
  return form + TESSERA_BANDED + TESSERA_BAND_UNIT * width;
}
/** Storage form of a storage word.
 * \param storageword  storage word (from hmoldm())
 * \return the ::tessera_storage_form */
static inline int32_t tessera_storage_form(int32_t storageword) {
  return storageword % TESSERA_BANDED;
}
/** Band flag of a storage word.
 * \param storageword  storage word (from hmoldm())
 * \return 1 when the word carries the band flag, else 0 */
static inline int32_t tessera_storage_banded(int32_t storageword) {
  return (storageword / TESSERA_BANDED) % 2 != 0;
}
/** Band width of a storage word.
 * \param storageword  storage word with the band flag (from hmoldm())
 * \return the band width on either side of the diagonal */
static inline int32_t tessera_storage_band_width(int32_t storageword) {
  return storageword / TESSERA_BAND_UNIT;
}
/** @} */

/** \defgroup modes Operation codes
 * The values of the mode and flag arguments.
 * @{ */

/** Copy modes of hlcopm() (source A, destination B). Every mode but the
 * block-selecting ones 4, 5 and 10 is also the conversion applied to each
 * stored block. */
enum tessera_copy_mode {
  TESSERA_COPY = 0,                    /**< B(i,j) = A(i,j) */
  TESSERA_COPY_NEGATED = 1,            /**< B(i,j) = -A(i,j) */
  TESSERA_COPY_TRANSPOSED = 2,         /**< B(j,i) = A(i,j), conjugated for complex types; B must be n x m */
  TESSERA_COPY_NEGATED_TRANSPOSED = 3, /**< B(j,i) = -A(i,j) (complex: the real part negated) */
  TESSERA_COPY_UPPER_BLOCKS = 4,       /**< only the blocks of A on and above the block diagonal (mode 5 does the same) */
  TESSERA_COPY_DIAGONAL = 6,           /**< each block's diagonal into the first column of the same block of B */
  TESSERA_COPY_MIRRORED = 10,          /**< blocks on and above the block diagonal, each off-diagonal one also transposed into its mirror: a symmetric A becomes full */
  TESSERA_COPY_CONJUGATED = 11,        /**< complex: B = conj(A); other scalar types: plain copy */
  TESSERA_COPY_NEGATED_CONJUGATED = 12 /**< complex: B = -conj(A); other scalar types: negated copy */
};

/** Operation flag of hladd() and subtract flag of hlmult(). */
enum tessera_add_op {
  TESSERA_ADD = 0,     /**< add (any value but 1) */
  TESSERA_SUBTRACT = 1 /**< subtract */
};

/** Transposition flags `ta`, `tb` of hlmult(). */
enum tessera_transpose {
  TESSERA_NO_TRANSPOSE = 0, /**< as stored (any value but 1) */
  TESSERA_TRANSPOSE = 1     /**< transposed; conjugate-transposed for complex types */
};

/** Upper-only flag `up` of hlmult(). */
enum tessera_blocks {
  TESSERA_ALL_BLOCKS = 0,  /**< every block of Y */
  TESSERA_UPPER_BLOCKS = 1 /**< only blocks of Y on and above the block diagonal (any non-zero value; stored back as 1) */
};

/** Mode of hmclos() and hmclos_filename(), passed in `ierr`. */
enum tessera_close_mode {
  TESSERA_CLOSE_CHECK = 0, /**< check that no file set is open (status 4 if one is); deletes nothing */
  TESSERA_CLOSE_DELETE = 1 /**< delete the files of every file set still open (any non-zero value) */
};

/** `readonly` argument of hmoldm(). */
enum tessera_access {
  TESSERA_READ_WRITE = 0, /**< open for reading and writing */
  TESSERA_READ_ONLY = 1   /**< open for reading only (any non-zero value) */
};

/** `state` returned by hminqm(); a positive state is the open matrix's handle. */
enum tessera_matrix_state {
  TESSERA_MATRIX_ABSENT = -1, /**< no such matrix (or no such file set) */
  TESSERA_MATRIX_CLOSED = 0   /**< the matrix exists and is not open */
};

/** `mode` of fwsdr() and bwsdr(). */
enum tessera_factor_mode {
  TESSERA_FACTOR_TRIANGULAR = 0, /**< an n x n upper-triangular factor (any value but 5) */
  TESSERA_FACTOR_DIAGONAL = 5    /**< a vector of the n diagonal entries */
};
/** @} */

/** \defgroup status Status numbers
 * Values returned in `ierr`. The dense solver also returns -j for a pivot
 * refused in column j. Each has one sentence in tessera_status_text().
 * @{ */

/** Status numbers, shared by all routines. */
enum tessera_status {
  TESSERA_OK = 0,                             /**< success */
  TESSERA_STATUS_RECORD_LENGTH_DIFFERS = 1,   /**< record length differs from the first file set's */
  TESSERA_STATUS_BAD_ARGUMENT = 2,            /**< bad file-set argument: record length, number of files, file name, file-set handle */
  TESSERA_STATUS_RECORD_TOO_SMALL = 3,        /**< record too small for one element */
  TESSERA_STATUS_FILESETS_OPEN = 4,           /**< hmclos() in checking mode found file sets open */
  TESSERA_STATUS_MATRIX_OPEN = 9,             /**< a matrix of the file set is (or the matrix is already) open */
  TESSERA_STATUS_COLUMNS_DIFFER = 10,         /**< column counts differ */
  TESSERA_STATUS_COLUMNS_NOT_POSITIVE = 11,   /**< number of columns below 1 */
  TESSERA_STATUS_TYPES_DIFFER = 13,           /**< element types differ */
  TESSERA_STATUS_BAD_TYPE = 14,               /**< bad element type code or items per element */
  TESSERA_STATUS_SHAPES_DO_NOT_CONFORM = 16,  /**< shapes do not conform */
  TESSERA_STATUS_MATRIX_EXISTS = 17,          /**< a matrix of that name and qualifier exists */
  TESSERA_STATUS_FORMS_DIFFER = 19,           /**< storage forms differ */
  TESSERA_STATUS_BAD_FORM = 20,               /**< bad storage form */
  TESSERA_STATUS_ROWS_DIFFER = 29,            /**< row counts differ */
  TESSERA_STATUS_ROWS_NOT_POSITIVE = 30,      /**< number of rows below 1 */
  TESSERA_STATUS_NO_SUCH_MATRIX = 31,         /**< no such matrix, or the handle names no open matrix */
  TESSERA_STATUS_ITEMS_DIFFER = 32,           /**< items per element differ */
  TESSERA_STATUS_READ_ONLY = 35,              /**< the matrix was opened read-only */
  TESSERA_STATUS_REGION_OUTSIDE = 37,         /**< region outside the matrix, or a count below 1 */
  TESSERA_STATUS_TRANSPOSE_TYPE = 38,         /**< transposing copy of a one-column type */
  TESSERA_STATUS_TRANSPOSE_FORM = 39,         /**< transposing copy of an upper-triangular matrix */
  TESSERA_STATUS_NOT_INITIALISED = 100,       /**< control area not initialised, or a linked area still null */
  TESSERA_STATUS_AREA_TOO_SMALL = 101,        /**< control area too small */
  TESSERA_STATUS_POOL_TOO_SMALL = 105,        /**< buffer pool too small for one hyperblock */
  TESSERA_STATUS_FILE_CREATE_OPEN = 161,      /**< a file could not be created or opened */
  TESSERA_STATUS_FILE_CLOSE = 162,            /**< a file could not be closed */
  TESSERA_STATUS_FILE_EXTEND = 163,           /**< a file could not be extended */
  TESSERA_STATUS_RECORD_READ = 164,           /**< a record could not be read, or a stored file set is unsound */
  TESSERA_STATUS_RECORD_WRITE = 165,          /**< a record could not be written */
  TESSERA_STATUS_FULL = 170                   /**< a table, list or pool of the control area is full */
};
/** @} */

/** \defgroup store Control area and file sets
 * @{ */

/**
 * \brief Lay out a control area.
 *
 * Writes the fixed words, the slot tables of file sets and matrices and the
 * initialised marker; the pools and block buffers are laid out later, by the
 * first hmnewf() or hmoldf(), which sizes them from that set's record length.
 * Between this call and the first file set the host may set
 * ::TESSERA_CTRL_RECORD_LENGTH and ::TESSERA_CTRL_BLAS. Switches the dense
 * solver's pivot recording off (::Xchosky word ::TESSERA_CHOSKY_RECORDING).
 * Clears the error trace.
 *
 * \param[out] ctrl    control area of `length` words
 * \param[in]  length  words of `ctrl`; at least 641 nfs + 129 ndesc + 12928,
 *                     and enough for the pools of the first file set
 *                     (tessera_control_length() in tessera_sizing.h)
 * \param[in]  nfs     file sets open at once, 1 or more
 * \param[in]  ndesc   matrices open at once, 1 or more
 * \param[in]  option  stored as |option| in word 1; no routine reads it
 * \param[out] ierr    0; ::TESSERA_STATUS_AREA_TOO_SMALL when `length` is
 *                     below the minimum or nfs or ndesc below 1 (nothing but
 *                     word 10 written); ::TESSERA_STATUS_NOT_INITIALISED when
 *                     an area is not linked
 *
 * \code
 * int32_t length = tessera_control_length(8192, 1, 4, 100), nfs = 1, ndesc = 4, option = 0, ierr;
 * int32_t *ctrl = calloc(length, sizeof *ctrl);
 * hminmf(ctrl, &length, &nfs, &ndesc, &option, &ierr);
 * TESSERA_CTRL(ctrl, TESSERA_CTRL_RECORD_LENGTH) = 8192;
 * \endcode
 */
TESSERA_API void hminmf(int32_t *ctrl, const int32_t *length, const int32_t *nfs,
                        const int32_t *ndesc, const int32_t *option, int32_t *ierr);

/**
 * \brief Create a new file set and open it.
 *
 * Creates `nfiles` physical files (an existing file of that name is deleted
 * and created anew) with room for `initial_words` words in all, or about
 * 640 000 words when that is less; records are striped round-robin over
 * them. The record length is control-area word ::TESSERA_CTRL_RECORD_LENGTH.
 * The first file set of a control area also lays out its pools and block
 * buffers. Nothing is written to the files until hmremf(). When the call
 * fails, the files it created are deleted; files it did not create are left
 * alone. Clears the error trace.
 *
 * \param[in,out] ctrl          control area laid out by hminmf()
 * \param[in]     nfiles        number of physical files, 1 to ::TESSERA_MAX_FILES
 * \param[in]     names         `nfiles` NUL-terminated paths of at most
 *                              ::TESSERA_MAX_FILE_NAME characters
 * \param[in]     index_records records of the index region (tables, matrix
 *                              headers, block indexes); at least 50 are
 *                              taken, 200 in an area of 950 000 words or
 *                              more; 0 for that default
 * \param[in]     initial_words size of the set at creation in words; 0 for
 *                              the default. The set grows when it must. It
 *                              must hold the index region and a data record:
 *                              with large records pass at least
 *                              tessera_fileset_min_words() (tessera_sizing.h).
 * \param[out]    handle        file-set handle, passed to every later call
 *                              about the set
 * \param[out]    ierr          0; 1 record length differs from the first set's;
 *                              2 record length below 128 (first set) or 0,
 *                              nfiles out of range, a name too long;
 *                              100 area not initialised; 101 pools do not
 *                              fit (first set); 161 a file cannot be created,
 *                              or belongs to a set open in this area;
 *                              162 a file cannot be closed after a failure;
 *                              170 no free file-set slot, or the index region
 *                              fills the set
 *
 * \code
 * char *names[] = {"a.tsf", "b.tsf"};
 * int32_t nfiles = 2, m = 0, s = 0, fs, ierr;
 * hmnewf(ctrl, &nfiles, names, &m, &s, &fs, &ierr);
 * \endcode
 */
TESSERA_API void hmnewf(int32_t *ctrl, const int32_t *nfiles, char **names,
                        const int32_t *index_records, const int32_t *initial_words,
                        int32_t *handle, int32_t *ierr);

/**
 * \brief Open an existing file set.
 *
 * Opens the files of a set kept by hmremf() and rebuilds its file-set area
 * from the stored header and tables, which are checked against the files
 * before use. The first file set of a control area also lays out its pools.
 * Clears the error trace.
 *
 * \param[in,out] ctrl    control area laid out by hminmf()
 * \param[in]     nfiles  number of physical files, 1 to ::TESSERA_MAX_FILES
 * \param[in]     names   the paths, in the order the set was created with
 * \param[out]    handle  file-set handle
 * \param[out]    ierr    0; 1 record length differs from the first set's;
 *                        2 nfiles out of range or a name too long; 100 area
 *                        not initialised; 101 pools do not fit; 161 a file
 *                        cannot be opened; 162 a file cannot be closed after
 *                        a failure; 164 a record cannot be read, or the
 *                        stored set is unsound; 170 no free file-set slot or
 *                        no room for its tables. On failure the files are
 *                        closed and kept.
 *
 * \code
 * hmoldf(ctrl, &nfiles, names, &fs, &ierr);
 * \endcode
 */
TESSERA_API void hmoldf(int32_t *ctrl, const int32_t *nfiles, char **names, int32_t *handle,
                        int32_t *ierr);

/**
 * \brief Close the control area.
 *
 * In checking mode, verifies that no file set is left open; in deleting mode,
 * deletes the files of every file set still open. In both modes the area is
 * marked uninitialised (hminmf() must lay it out again). Clears the error
 * trace.
 *
 * \param[in,out] ctrl  control area
 * \param[in,out] ierr  in: the mode, ::TESSERA_CLOSE_CHECK (0) or
 *                      ::TESSERA_CLOSE_DELETE (any other value); out: 0;
 *                      4 file sets still open (checking); 100 area not
 *                      initialised; 162 a file cannot be closed (deleting)
 *
 * \code
 * ierr = TESSERA_CLOSE_CHECK;
 * hmclos(ctrl, &ierr);
 * \endcode
 */
TESSERA_API void hmclos(int32_t *ctrl, int32_t *ierr);

/**
 * \brief Close the control area, naming the files.
 *
 * hmclos() with the physical file names given by the caller instead of those
 * kept in the file-set areas; the one list is used for every open set.
 * Clears the error trace.
 *
 * \param[in,out] ctrl   control area
 * \param[in]     names  NUL-terminated paths, as many as the open sets have files
 * \param[in,out] ierr   in: the mode (see hmclos()); out: as hmclos()
 */
TESSERA_API void hmclos_filename(int32_t *ctrl, char **names, int32_t *ierr);

/**
 * \brief Kill a file set: close it and delete its files.
 *
 * Nothing is written to the files. Refused while a matrix of the set is
 * open. Does not clear the error trace.
 *
 * \param[in,out] ctrl    control area
 * \param[in,out] handle  file-set handle from hmnewf() or hmoldf()
 * \param[out]    ierr    0; 2 the handle names no open file set; 9 a matrix
 *                        of the set is open; 162 a file cannot be closed;
 *                        170 a pool refused the set's areas back
 *
 * \code
 * hmkilf(ctrl, &fs, &ierr);
 * \endcode
 */
TESSERA_API void hmkilf(int32_t *ctrl, int32_t *handle, int32_t *ierr);

/**
 * \brief Kill a file set, naming its files.
 *
 * hmkilf() with the physical file names given by the caller. Does not clear
 * the error trace.
 *
 * \param[in,out] ctrl    control area
 * \param[in,out] handle  file-set handle
 * \param[in]     names   the set's paths, in file order
 * \param[out]    ierr    as hmkilf()
 */
TESSERA_API void hmkilf_filename(int32_t *ctrl, int32_t *handle, char **names, int32_t *ierr);

/**
 * \brief Remove a file set: write its tables and header and keep its files.
 *
 * hmoldf() can open the set again later. Refused while a matrix of the set
 * is open. Does not clear the error trace.
 *
 * \param[in,out] ctrl    control area
 * \param[in,out] handle  file-set handle from hmnewf() or hmoldf()
 * \param[out]    ierr    0; 2 the handle names no open file set; 9 a matrix
 *                        of the set is open; 162 a file cannot be closed;
 *                        163 a file cannot be extended; 164, 165 a record
 *                        cannot be read or written; 170 a pool refused an
 *                        area back
 *
 * \code
 * hmremf(ctrl, &fs, &ierr);
 * \endcode
 */
TESSERA_API void hmremf(int32_t *ctrl, int32_t *handle, int32_t *ierr);

/**
 * \brief Remove a file set, naming its files.
 *
 * hmremf() with the physical file names given by the caller. Does not clear
 * the error trace.
 *
 * \param[in,out] ctrl    control area
 * \param[in,out] handle  file-set handle
 * \param[in]     names   the set's paths, in file order
 * \param[out]    ierr    as hmremf()
 */
TESSERA_API void hmremf_filename(int32_t *ctrl, int32_t *handle, char **names, int32_t *ierr);
/** @} */

/** \defgroup matrices Matrices
 * A matrix is named by 12 bytes (blank-padded, not terminated) and an
 * integer qualifier within its file set.
 * @{ */

/**
 * \brief Create a new, empty matrix in an open file set and open it.
 *
 * Fixes the shape, element type and storage form; the block order nb is the
 * largest with nb x nb elements in one record, the hyperblock order grows
 * with the buffer pool. Every element reads as zero until put. Does not
 * clear the error trace; a storage form of 9 is taken as 3 and leaves a
 * notice code in the trace with status 0.
 *
 * \param[in,out] ctrl         control area
 * \param[in]     name         12 bytes (three words), blank-padded
 * \param[in]     qualifier    any integer; (name, qualifier) is the key
 * \param[in]     fileset      file-set handle
 * \param[in]     typeword     tessera_type_word() of a ::tessera_type_code
 * \param[in]     storageword  tessera_storage_word() or tessera_storage_band()
 * \param[in]     nrows        rows m, 1 or more
 * \param[in]     ncols        columns n, 1 or more (a symmetric matrix is square)
 * \param[out]    handle       matrix handle, valid until hmrelm() or hmkilm()
 * \param[out]    ierr         0; 2 fileset names no open set; 3 record too
 *                             small for one element; 11 ncols below 1;
 *                             14 bad type word; 16 symmetric but not square;
 *                             17 the matrix exists; 20 bad storage form;
 *                             30 nrows below 1; 105 buffer pool too small for
 *                             one hyperblock; 163, 164, 165 file growth or
 *                             record access failed; 170 no descriptor slot,
 *                             directory or record space full
 *
 * \code
 * int32_t name[3], q = 1, type = tessera_type_word(TESSERA_TYPE_DOUBLE, 1);
 * int32_t form = tessera_storage_word(TESSERA_FORM_GENERAL), n = 1000, a;
 * memcpy(name, "STIFFNESS   ", 12);
 * hmnewm(ctrl, name, &q, &fs, &type, &form, &n, &n, &a, &ierr);
 * \endcode
 */
TESSERA_API void hmnewm(int32_t *ctrl, const int32_t *name, const int32_t *qualifier,
                        const int32_t *fileset, const int32_t *typeword,
                        const int32_t *storageword, const int32_t *nrows, const int32_t *ncols,
                        int32_t *handle, int32_t *ierr);

/**
 * \brief Open an existing matrix.
 *
 * Reads the matrix's stored header back and returns its type, storage form
 * and shape. Does not clear the error trace.
 *
 * \param[in,out] ctrl         control area
 * \param[in]     name         12 bytes, blank-padded
 * \param[in]     qualifier    the qualifier it was created with
 * \param[in]     fileset      file-set handle
 * \param[in]     readonly     ::TESSERA_READ_WRITE (0) or ::TESSERA_READ_ONLY
 *                             (any other value): hmputs() and the algebra then
 *                             refuse to change it
 * \param[out]    typeword     type word: decode with tessera_type_code() and
 *                             tessera_type_items()
 * \param[out]    storageword  storage word, always with the band flag: decode
 *                             with tessera_storage_form() and
 *                             tessera_storage_band_width()
 * \param[out]    nrows        rows m
 * \param[out]    ncols        columns n
 * \param[out]    handle       matrix handle
 * \param[out]    ierr         0; 2 fileset names no open set; 3 record too
 *                             small for one element; 9 the matrix is already
 *                             open (use that handle); 31 no such matrix;
 *                             105 stored hyperblock order 0; 164 a record
 *                             cannot be read; 170 no descriptor slot or work
 *                             space. The outputs but `handle` are written
 *                             only on success.
 *
 * \code
 * int32_t ro = TESSERA_READ_ONLY, type, form, m, n, a;
 * hmoldm(ctrl, name, &q, &fs, &ro, &type, &form, &m, &n, &a, &ierr);
 * if (ierr == 0 && tessera_type_code(type) != TESSERA_TYPE_DOUBLE) ...
 * \endcode
 */
TESSERA_API void hmoldm(int32_t *ctrl, const int32_t *name, const int32_t *qualifier,
                        const int32_t *fileset, const int32_t *readonly, int32_t *typeword,
                        int32_t *storageword, int32_t *nrows, int32_t *ncols, int32_t *handle,
                        int32_t *ierr);

/**
 * \brief Release (close) an open matrix.
 *
 * Writes its modified blocks, its tables and its header to the file set and
 * frees its descriptor slot. Clears the error trace.
 *
 * \param[in,out] ctrl    control area
 * \param[in,out] handle  matrix handle; 0 after success, kept (and still
 *                        valid) after a failure
 * \param[out]    ierr    0; 31 the handle names no open matrix; 164, 165 a
 *                        record cannot be read or written; 170 a table or
 *                        pool is full
 *
 * \code
 * hmrelm(ctrl, &a, &ierr);
 * \endcode
 */
TESSERA_API void hmrelm(int32_t *ctrl, int32_t *handle, int32_t *ierr);

/**
 * \brief Delete a matrix and all its blocks from a file set.
 *
 * Works on an open matrix (its handle becomes invalid) or a closed one.
 * Clears the error trace.
 *
 * \param[in,out] ctrl       control area
 * \param[in]     name       12 bytes, blank-padded
 * \param[in]     qualifier  its qualifier
 * \param[in]     fileset    file-set handle
 * \param[out]    ierr       0; 2 fileset names no open set; 31 no such
 *                           matrix; 164, 165 record access failed; 170 a
 *                           table or pool is full
 *
 * \code
 * hmkilm(ctrl, name, &q, &fs, &ierr);
 * \endcode
 */
TESSERA_API void hmkilm(int32_t *ctrl, const int32_t *name, const int32_t *qualifier,
                        const int32_t *fileset, int32_t *ierr);

/**
 * \brief Tell whether a matrix exists and whether it is open.
 *
 * Has no status and does not touch the error trace.
 *
 * \param[in]  ctrl       control area
 * \param[in]  name       12 bytes, blank-padded
 * \param[in]  qualifier  its qualifier
 * \param[in]  fileset    file-set handle
 * \param[out] state      ::TESSERA_MATRIX_ABSENT (-1) no such matrix or no
 *                        such file set; ::TESSERA_MATRIX_CLOSED (0) exists,
 *                        not open; otherwise its open handle
 *
 * \code
 * int32_t state;
 * hminqm(ctrl, name, &q, &fs, &state);
 * \endcode
 */
TESSERA_API void hminqm(int32_t *ctrl, const int32_t *name, const int32_t *qualifier,
                        const int32_t *fileset, int32_t *state);
/** @} */

/** \defgroup transfer Putting and getting regions
 * The host array is column-major with leading dimension `lda`, in elements
 * of the matrix's own type (it is declared `float` but is an untyped
 * buffer). Rows and columns are 1-based. Blocks written stay in the control
 * area's buffers until their buffer is reused or the matrix is released.
 * @{ */

/**
 * \brief Put a region of a host array into an open matrix.
 *
 * Stores rows i1 .. i1+nr-1, columns j1 .. j1+nc-1 from a(1..nr, 1..nc).
 * A symmetric matrix stores only its blocks on and above the block diagonal
 * (with the upper triangle of the diagonal blocks mirrored), an upper
 * triangular one only its upper triangle: values put elsewhere are ignored.
 * A diagonal matrix or a one-column type has one stored column (j1 + nc - 1
 * at most 1). Does not clear the error trace.
 *
 * \param[in,out] ctrl  control area
 * \param[in]     im    matrix handle, not opened read-only
 * \param[in]     i1    first row, 1-based
 * \param[in]     nr    number of rows, 1 or more
 * \param[in]     j1    first column, 1-based
 * \param[in]     nc    number of columns, 1 or more
 * \param[in]     a     host array of elements of the matrix's type
 * \param[in]     lda   leading dimension of `a` in elements, at least nr
 * \param[out]    ierr  0; 31 the handle names no open matrix; 35 opened
 *                      read-only; 37 region outside the matrix or a count
 *                      below 1; 163, 164, 165 file growth or record access
 *                      failed; 170 every buffer pinned or a table full.
 *                      Blocks before a failing one are stored.
 *
 * \code
 * int32_t one = 1, n = 1000, nc = 100;
 * hmputs(ctrl, &a, &one, &n, &one, &nc, (const float *)cols, &n, &ierr);
 * \endcode
 */
TESSERA_API void hmputs(int32_t *ctrl, const int32_t *im, const int32_t *i1, const int32_t *nr,
                        const int32_t *j1, const int32_t *nc, const float *a,
                        const int32_t *lda, int32_t *ierr);

/**
 * \brief Get a region of an open matrix into a host array.
 *
 * Fetches rows i1 .. i1+nr-1, columns j1 .. j1+nc-1 into a(1..nr, 1..nc).
 * Blocks never written read as zero. Does not clear the error trace.
 *
 * \param[in,out] ctrl  control area
 * \param[in]     im    matrix handle
 * \param[in]     i1    first row, 1-based
 * \param[in]     nr    number of rows, 1 or more
 * \param[in]     j1    first column, 1-based
 * \param[in]     nc    number of columns, 1 or more
 * \param[out]    a     host array of elements of the matrix's type
 * \param[in]     lda   leading dimension of `a` in elements, at least nr
 * \param[out]    ierr  0; 31 the handle names no open matrix; 37 region
 *                      outside the matrix or a count below 1; 164 a record
 *                      cannot be read; 170 every buffer pinned
 *
 * \code
 * double region[100];
 * int32_t i1 = 5, j1 = 7, ten = 10;
 * hmgets(ctrl, &a, &i1, &ten, &j1, &ten, (float *)region, &ten, &ierr);
 * \endcode
 */
TESSERA_API void hmgets(int32_t *ctrl, const int32_t *im, const int32_t *i1, const int32_t *nr,
                        const int32_t *j1, const int32_t *nc, float *a, const int32_t *lda,
                        int32_t *ierr);
/** @} */

/** \defgroup algebra Hypermatrix algebra
 * Block by block on matrices open in one control area; only stored blocks
 * cost anything.
 * @{ */

/**
 * \brief Add or subtract one hypermatrix into another: A = A + B or A - B.
 *
 * Both must have the same element type, items, shape and storage form. A - A
 * empties A: it is deleted and created again (new handle in `ma` and `mb`).
 * Clears the error trace.
 *
 * \param[in,out] ctrl  control area
 * \param[in,out] ma    handle of A (the result); rewritten after A - A
 * \param[in,out] mb    handle of B; rewritten after A - A
 * \param[in]     op    ::TESSERA_SUBTRACT (1) subtracts, ::TESSERA_ADD (any
 *                      other value) adds
 * \param[out]    ierr  0; 10 column counts differ; 13 types differ; 19 forms
 *                      differ; 29 row counts differ; 31 a handle names no open
 *                      matrix; 32 items differ; 35 A opened read-only;
 *                      164, 165, 170 block access failed
 *
 * \code
 * int32_t op = TESSERA_ADD;
 * hladd(ctrl, &a, &b, &op, &ierr);
 * \endcode
 */
TESSERA_API void hladd(int32_t *ctrl, int32_t *ma, int32_t *mb, const int32_t *op,
                       int32_t *ierr);

/**
 * \brief Copy one hypermatrix into another under a copy mode.
 *
 * Only A's stored blocks are copied; B's other blocks keep their values.
 * Storage forms are not compared. The same handle twice copies nothing.
 * Clears the error trace.
 *
 * \param[in,out] ctrl  control area
 * \param[in]     ma    handle of the source A
 * \param[in]     mb    handle of the destination B
 * \param[in]     mode  a ::tessera_copy_mode
 * \param[out]    ierr  0; 13 types differ; 16 shapes do not match for the
 *                      mode; 31 a handle names no open matrix; 32 items
 *                      differ; 35 B opened read-only; 38 transposing a
 *                      one-column type; 39 transposing an upper-triangular
 *                      matrix; 164, 165, 170 block access failed
 *
 * \code
 * int32_t mode = TESSERA_COPY_TRANSPOSED;
 * hlcopm(ctrl, &a, &at, &mode, &ierr);
 * \endcode
 */
TESSERA_API void hlcopm(int32_t *ctrl, const int32_t *ma, const int32_t *mb,
                        const int32_t *mode, int32_t *ierr);

/**
 * \brief Accumulate a product: Y = Y + op(A) op(B) or Y - op(A) op(B).
 *
 * Hyperblock by hyperblock; Y must exist (its stored blocks are the starting
 * values) and must not be A or B. A symmetric A or B is read through its
 * stored upper half. Clears the error trace.
 *
 * \param[in,out] ctrl  control area
 * \param[in]     ma    handle of A
 * \param[in]     mb    handle of B
 * \param[in]     mc    handle of Y, not opened read-only
 * \param[in]     ta    ::TESSERA_TRANSPOSE (1) uses A transposed
 *                      (conjugate-transposed for complex types), any other
 *                      value A as stored
 * \param[in]     tb    the same for B
 * \param[in,out] up    ::TESSERA_UPPER_BLOCKS (any non-zero value, stored
 *                      back as 1) computes only Y's blocks on and above the
 *                      block diagonal; ::TESSERA_ALL_BLOCKS every block
 * \param[in]     sub   ::TESSERA_SUBTRACT (1) subtracts the product,
 *                      ::TESSERA_ADD (any other value) adds it
 * \param[out]    ierr  0; 13 types differ; 16 shapes do not conform;
 *                      31 a handle names no open matrix; 32 items differ;
 *                      35 Y opened read-only; 164, 165, 170 block access or
 *                      work space failed
 *
 * \code
 * int32_t ta = TESSERA_NO_TRANSPOSE, tb = TESSERA_NO_TRANSPOSE;
 * int32_t up = TESSERA_ALL_BLOCKS, sub = TESSERA_ADD;
 * hlmult(ctrl, &a, &x, &y, &ta, &tb, &up, &sub, &ierr);
 * \endcode
 */
TESSERA_API void hlmult(int32_t *ctrl, const int32_t *ma, const int32_t *mb, const int32_t *mc,
                        const int32_t *ta, const int32_t *tb, int32_t *up, const int32_t *sub,
                        int32_t *ierr);
/** @} */

/** \defgroup dense Dense block solver
 * Arrays in host memory, column-major, 64-bit reals; no control area. These
 * routines do not clear the error trace.
 * @{ */

/**
 * \brief Crout decomposition of a dense block row: A = F^T G.
 *
 * Factorises the n x n diagonal block of A (n rows, m columns) into upper
 * triangular F and G, and computes the m - n right-hand columns of G. A
 * symmetric positive definite block gives F = G, its Cholesky factor;
 * negative pivots of ordinary size are accepted. A tiny pivot d (sqrt|d| at
 * most the largest |A(i,j)| / 2^55) is refused when negative and kept (0
 * taken as 1) otherwise, with A(j,j) set to sqrt d. With recording on
 * (::Xchosky word ::TESSERA_CHOSKY_RECORDING) tiny pivots are recorded there.
 *
 * \param[in,out] a     n x m, leading dimension n; the diagonal of replaced
 *                      pivots is overwritten
 * \param[out]    f     n x n, upper triangle written
 * \param[out]    g     n x m, upper triangle written
 * \param[in]     n     order of the diagonal block
 * \param[in]     m     columns of the block row, at least n
 * \param[in,out] ierr  in: the global number of the block's first column
 *                      (labels recorded pivots); out: 0; -j for a tiny
 *                      negative pivot in column j (columns before j are
 *                      complete); 16 m below n; 100 ::Xerror or ::Xchosky
 *                      not linked
 *
 * \code
 * double a[4] = {4, 2, 2, 3}, f[4], g[4];
 * int32_t n = 2, ierr = 1;
 * crudr(a, f, g, &n, &n, &ierr);   // F = G = [[2, 1], [0, sqrt 2]]
 * \endcode
 */
TESSERA_API void crudr(double *a, double *f, double *g, const int32_t *n, const int32_t *m,
                       int32_t *ierr);

/**
 * \brief Forward substitution: solve U^T Y = X in place.
 *
 * With F from crudr(), followed by bwsdr() with G, solves A Z = X. The
 * factor is refused, X unchanged, when its smallest diagonal entry is at
 * most its largest entry / 2^55.
 *
 * \param[in]     u     n x n upper-triangular factor (leading dimension n),
 *                      or its n diagonal entries in diagonal mode
 * \param[in,out] x     n x k right-hand sides, leading dimension n; the
 *                      solution on return
 * \param[in]     n     order, 1 or more
 * \param[in]     k     number of right-hand sides
 * \param[in]     mode  ::TESSERA_FACTOR_TRIANGULAR or ::TESSERA_FACTOR_DIAGONAL
 * \param[out]    ierr  0; -j the factor is refused at its smallest diagonal
 *                      entry j; 100 ::Xerror not linked
 *
 * \code
 * double x[2] = {6, 7};
 * int32_t n = 2, k = 1, mode = TESSERA_FACTOR_TRIANGULAR, ierr;
 * fwsdr(f, x, &n, &k, &mode, &ierr);
 * bwsdr(g, x, &n, &k, &mode, &ierr);   // x = (0.5, 2)
 * \endcode
 */
TESSERA_API void fwsdr(const double *u, double *x, const int32_t *n, const int32_t *k,
                       const int32_t *mode, int32_t *ierr);

/**
 * \brief Backward substitution: solve U Z = Y in place.
 *
 * The second half of a solve after fwsdr(); the same refusal test.
 *
 * \param[in]     u     n x n upper-triangular factor (leading dimension n),
 *                      or its n diagonal entries in diagonal mode
 * \param[in,out] x     n x k right-hand sides, leading dimension n; the
 *                      solution on return
 * \param[in]     n     order, 1 or more
 * \param[in]     k     number of right-hand sides
 * \param[in]     mode  ::TESSERA_FACTOR_TRIANGULAR or ::TESSERA_FACTOR_DIAGONAL
 * \param[out]    ierr  0; -j the factor is refused at its smallest diagonal
 *                      entry j; 100 ::Xerror not linked
 *
 * \code
 * bwsdr(g, x, &n, &k, &mode, &ierr);
 * \endcode
 */
TESSERA_API void bwsdr(const double *u, double *x, const int32_t *n, const int32_t *k,
                       const int32_t *mode, int32_t *ierr);
/** @} */

#ifdef __cplusplus
}
#endif

#endif /* TESSERA_H */
