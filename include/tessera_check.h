/**
 * \file tessera_check.h
 * \brief The library's self-check and read-only view of a stored file set.
 *
 * A view opens the files of a set at rest, without a control area of the
 * host's, and reads every stored structure with bounds checks of its own:
 * the set header, the set's extent table and free-record lists, the matrix
 * directory, each matrix's header, saved extent table, block index and
 * packed edge records. Nothing is ever written to the files. A damaged set
 * still opens (as far as its header allows) and tessera_view_check() lists
 * each fault as a finding; no damaged file makes the view crash, read
 * outside its buffers or loop.
 *
 * Values are read through the library's own get (tessera_view_get()), in a
 * control area the view keeps to itself, and only for matrices the check
 * found sound. The view links its own areas to ::Xerror, ::Xcache and
 * ::Xchosky for the length of each call and gives the host's back before it
 * returns, so a host may hold a view beside its own control area (calls must
 * not overlap, as for every routine of the library).
 *
 * \code
 * tessera_view *v = NULL;
 * char why[512];
 * const char *files[] = {"set1.hm", "set2.hm"};
 * if (tessera_view_open(2, files, &v, why, sizeof why) != TESSERA_VIEW_OK) {
 *   fprintf(stderr, "%s\n", why);
 * } else {
 *   int64_t faults = tessera_view_check(v, print_finding, NULL);
 *   tessera_view_close(v);
 * }
 * \endcode
 */
#ifndef TESSERA_CHECK_H
#define TESSERA_CHECK_H

#include <stddef.h>
#include <stdint.h>

#include "tessera.h"

#ifdef __cplusplus
extern "C" {
#endif

/** \brief Results of the view routines. */
enum tessera_view_result {
  TESSERA_VIEW_OK = 0,               /**< done */
  TESSERA_VIEW_MISSING_FILE = 1,     /**< a file does not exist */
  TESSERA_VIEW_NOT_RECORD_FILE = 2,  /**< a file is no record file of a set, or unreadable */
  TESSERA_VIEW_NOT_A_SET = 3,        /**< the files are no set: no set header in file 1, record
                                          lengths that differ, files of two sets, a file twice */
  TESSERA_VIEW_FILE_ORDER = 4,       /**< the files of one set, not in the order of creation */
  TESSERA_VIEW_FILE_COUNT = 5,       /**< more or fewer files than the set has */
  TESSERA_VIEW_NO_MATRIX = 6,        /**< no matrix of that index */
  TESSERA_VIEW_DAMAGED = 7,          /**< the matrix's stored structures are damaged */
  TESSERA_VIEW_READ_FAILED = 8,      /**< the library refused the read */
  TESSERA_VIEW_BAD_ARGUMENT = 9,     /**< a null pointer or a count out of range */
  TESSERA_VIEW_NO_MEMORY = 10        /**< memory for the view was refused */
};

/** \brief A stored set opened for reading (opaque). */
typedef struct tessera_view tessera_view;

/**
 * \brief Open a stored set for reading and check it.
 *
 * \param[in]  nfiles        number of files, 1 to 10
 * \param[in]  files         their paths, in the order the set was created
 *                           with (record r lies in file (r mod n) + 1)
 * \param[out] view          the view on success, NULL otherwise
 * \param[out] message       when not NULL: on failure one sentence for the
 *                           user naming the file concerned (a missing file,
 *                           a file that is not a set, the files out of order
 *                           with the one that must come first, a file
 *                           missing from the set or not part of it)
 * \param[in]  message_size  bytes of message
 * \return ::TESSERA_VIEW_OK, or the ::tessera_view_result that says why the
 *         files are not read as a set
 */
TESSERA_API int tessera_view_open(int32_t nfiles, const char *const *files, tessera_view **view,
                                  char *message, size_t message_size);

/**
 * \brief Close the files (kept, unchanged) and free the view.
 * \param[in] view  the view; NULL is accepted
 */
TESSERA_API void tessera_view_close(tessera_view *view);

/** \brief The stored set header. */
typedef struct tessera_set_info {
  int32_t files;            /**< files given */
  int32_t record_length;    /**< words per record */
  int32_t header_records;   /**< records of the set header */
  int32_t created_records;  /**< records the files were created with */
  int32_t index_region;     /**< records of the index region at creation */
  int32_t data_region;      /**< records of the data region at creation */
  int32_t index_growth;     /**< least extension in records when index records run out */
  int32_t data_growth;      /**< least extension in records when data records run out */
  int32_t end;              /**< records in the set */
  int32_t table_records;    /**< records of the set's extent table */
  int32_t table_first;      /**< its first record */
  int32_t table_capacity;   /**< its entries */
  int32_t table_free;       /**< its free entries */
  int32_t free_a_records;   /**< list A: free index records */
  int32_t free_a_extents;   /**< list A: extents */
  int32_t free_b_records;   /**< list B: free data records */
  int32_t free_b_extents;   /**< list B: extents */
  int32_t node_records;     /**< records of the directory's node table */
  int32_t node_first;       /**< its first record */
  int32_t node_capacity;    /**< its nodes */
  int32_t node_free;        /**< its free nodes */
  int32_t matrices;         /**< matrices in the directory */
  int32_t released_nodes;   /**< nodes of killed matrices, their header slots waiting for reuse */
  int32_t header_record;    /**< record of the last matrix header placed */
  int32_t header_offset;    /**< its offset in the record */
  int32_t cache_flag;       /**< 1 when the set was created with a memory-first cache on */
  char created_as[81];      /**< the name file 1 was created with */
} tessera_set_info;

/**
 * \brief The stored set header.
 * \param[in]  view  the view
 * \param[out] info  the header's words
 * \return ::TESSERA_VIEW_OK or ::TESSERA_VIEW_BAD_ARGUMENT
 */
TESSERA_API int tessera_view_set(const tessera_view *view, tessera_set_info *info);

/**
 * \brief Number of matrices of the set's directory.
 *
 * Matrices are numbered 0 .. count-1 in directory order (by key: qualifier,
 * then the name as three signed words).
 *
 * \param[in] view  the view
 * \return the count; 0 for NULL
 */
TESSERA_API int32_t tessera_view_matrix_count(const tessera_view *view);

/** \brief A matrix as its stored header and structures describe it. */
typedef struct tessera_matrix_info {
  unsigned char name[12];   /**< the name's 12 bytes as stored */
  int32_t qualifier;        /**< its qualifier */
  int32_t damaged;          /**< 1 when the check found its stored structures damaged; the
                                 words below are then 0 when its header is unreadable */
  int32_t type;             /**< ::tessera_type_code */
  int32_t items;            /**< items per element */
  int32_t form;             /**< storage form, 1 to 6 */
  int32_t lower_band;       /**< lower band width */
  int32_t upper_band;       /**< upper band width */
  int32_t rows;             /**< rows m */
  int32_t columns;          /**< columns n */
  int32_t stored_columns;   /**< columns stored: 1 for the diagonal form and one-column types */
  int32_t block_order;      /**< nb */
  int32_t hyper_order;      /**< b1 */
  int32_t block_rows;       /**< rows of the block grid */
  int32_t block_columns;    /**< columns of the block grid */
  int32_t stored_blocks;    /**< blocks in its block index */
  int64_t possible_blocks;  /**< blocks its storage form can hold */
  int32_t index_nodes;      /**< nodes of its block index */
  int32_t index_height;     /**< height of its block index */
  int32_t records;          /**< records it holds: blocks, packed edge records, index nodes,
                                 saved extent table */
  int32_t placement;        /**< where its extent table is saved: 1, 2 or 3 */
  int32_t header_record;    /**< record of its header */
  int32_t header_offset;    /**< word of that record where its header begins */
} tessera_matrix_info;

/**
 * \brief A matrix of the set.
 * \param[in]  view   the view
 * \param[in]  index  0 .. tessera_view_matrix_count() - 1
 * \param[out] info   what its stored structures say
 * \return ::TESSERA_VIEW_OK, ::TESSERA_VIEW_NO_MATRIX or ::TESSERA_VIEW_BAD_ARGUMENT
 */
TESSERA_API int tessera_view_matrix(const tessera_view *view, int32_t index,
                                    tessera_matrix_info *info);

/**
 * \brief The stored blocks of a matrix, in block-position order.
 * \param[in]  view           the view
 * \param[in]  index          the matrix
 * \param[out] block_rows     block rows (1-based) of at most `capacity` blocks
 * \param[out] block_columns  their block columns
 * \param[in]  capacity       room in both arrays; 0 asks for the count only
 * \param[out] count          when not NULL: the number of stored blocks
 * \return ::TESSERA_VIEW_OK; ::TESSERA_VIEW_DAMAGED when the block index is
 *         damaged; ::TESSERA_VIEW_NO_MATRIX, ::TESSERA_VIEW_BAD_ARGUMENT
 */
TESSERA_API int tessera_view_blocks(const tessera_view *view, int32_t index, int32_t *block_rows,
                                    int32_t *block_columns, int64_t capacity, int64_t *count);

/**
 * \brief A region of a matrix, read by the library's get.
 *
 * Blocks never stored read as zero; symmetric forms read whole.
 *
 * \param[in,out] view    the view (it keeps the matrix open for the next read)
 * \param[in]     index   the matrix
 * \param[in]     i1      first row, 1-based
 * \param[in]     nr      rows
 * \param[in]     j1      first column
 * \param[in]     nc      columns
 * \param[out]    a       column-major elements of the matrix's type
 * \param[in]     lda     leading dimension of a in elements, nr or more
 * \param[out]    status  when not NULL: the library's ierr after a refusal
 * \return ::TESSERA_VIEW_OK; ::TESSERA_VIEW_DAMAGED for a matrix the check
 *         found damaged; ::TESSERA_VIEW_READ_FAILED when the library refused
 *         (status tells why); ::TESSERA_VIEW_NO_MATRIX, ::TESSERA_VIEW_BAD_ARGUMENT
 */
TESSERA_API int tessera_view_get(tessera_view *view, int32_t index, int32_t i1, int32_t nr,
                                 int32_t j1, int32_t nc, void *a, int32_t lda, int32_t *status);

/** \brief One fault of a stored set. */
typedef struct tessera_finding {
  const char *where;  /**< the structure: the set header, a table, a matrix and which of
                           its structures; valid until the view is closed */
  const char *what;   /**< what is wrong, one sentence */
  int64_t record;     /**< the record it concerns, -1 when none */
} tessera_finding;

/**
 * \brief Called once for each finding.
 * \param context  the caller's pointer given to tessera_view_check()
 * \param finding  the finding
 */
typedef void (*tessera_finding_fn)(void *context, const tessera_finding *finding);

/**
 * \brief The offline check of the set.
 *
 * Every record below the set's end held exactly once (free lists, tables,
 * matrix headers, index nodes, packed edge records, blocks), the directory
 * tree balanced and ordered, every block index ordered with its leaf chain
 * whole, stored headers within range.
 *
 * \param[in] view     the view
 * \param[in] fn       called once per finding; may be NULL
 * \param[in] context  passed to fn
 * \return the number of findings: 0 for a sound set
 */
TESSERA_API int64_t tessera_view_check(const tessera_view *view, tessera_finding_fn fn,
                                       void *context);

#ifdef __cplusplus
}
#endif

#endif /* TESSERA_CHECK_H */
