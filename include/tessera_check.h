/*
 * The library's self-check and read-only view of a stored file set.
 *
 * A view opens the files of a set at rest, without a control area of the
 * host's, and reads every stored structure with bounds checks of its own:
 * the set header, the set's extent table and free-record lists, the matrix
 * directory, each matrix's header, saved extent table, block index and
 * packed edge records. Nothing is ever written to the files. On a damaged
 * set the view still opens (as far as the set header allows), and
 * tessera_view_check lists each fault as a finding; no damaged file makes it
 * crash, read outside its buffers or loop.
 *
 * Values are read through the library's own get (tessera_view_get), in a
 * control area the view keeps to itself, and only for matrices the check
 * found sound. The view links its own areas to Xerror, Xcache and Xchosky
 * for the length of each call and gives the host's back before it returns,
 * so a host may hold a view beside its own control area (calls must not
 * overlap, as for every routine of the library).
 *
 *   tessera_view *v = NULL;
 *   char why[512];
 *   const char *files[] = {"set1.hm", "set2.hm"};
 *   if (tessera_view_open(2, files, &v, why, sizeof why) != TESSERA_VIEW_OK) {
 *     fprintf(stderr, "%s\n", why);
 *   } else {
 *     int64_t faults = tessera_view_check(v, print_finding, NULL);
 *     tessera_view_close(v);
 *   }
 */
#ifndef TESSERA_CHECK_H
#define TESSERA_CHECK_H

#include <stddef.h>
#include <stdint.h>

#include "tessera.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the view routines. */
enum {
  TESSERA_VIEW_OK = 0,
  TESSERA_VIEW_MISSING_FILE = 1,     /* a file does not exist */
  TESSERA_VIEW_NOT_RECORD_FILE = 2,  /* a file is no record file of a set, or unreadable */
  TESSERA_VIEW_NOT_A_SET = 3,        /* the files are no set: no set header in file 1, record
                                        lengths that differ, files of two sets, a file twice */
  TESSERA_VIEW_FILE_ORDER = 4,       /* the files of one set, not in the order of creation */
  TESSERA_VIEW_FILE_COUNT = 5,       /* more or fewer files than the set has */
  TESSERA_VIEW_NO_MATRIX = 6,        /* no matrix of that index */
  TESSERA_VIEW_DAMAGED = 7,          /* the matrix's stored structures are damaged */
  TESSERA_VIEW_READ_FAILED = 8,      /* the library refused the read; status holds its ierr */
  TESSERA_VIEW_BAD_ARGUMENT = 9,
  TESSERA_VIEW_NO_MEMORY = 10
};

typedef struct tessera_view tessera_view;

/* Open the set made of files[0 .. nfiles-1], in the order the set was
 * created with (record r lies in file (r mod n) + 1). On success *view is the
 * view; otherwise *view is NULL and message (when not NULL) receives one
 * sentence for the user, naming the file concerned: a missing file, a file
 * that is not a set, the files out of order (with the file that must come
 * first), a file missing from the set or not part of it. */
TESSERA_API int tessera_view_open(int32_t nfiles, const char *const *files, tessera_view **view,
                                  char *message, size_t message_size);
/* Close the files (kept, unchanged) and free the view. NULL is accepted. */
TESSERA_API void tessera_view_close(tessera_view *view);

/* The stored set header. */
typedef struct tessera_set_info {
  int32_t files;            /* files given */
  int32_t record_length;    /* words per record */
  int32_t header_records;
  int32_t created_records;  /* records the files were created with */
  int32_t index_region, data_region;  /* records of each region at creation */
  int32_t index_growth, data_growth;  /* least extensions in records */
  int32_t end;              /* records in the set */
  int32_t table_records, table_first, table_capacity, table_free;  /* the set's extent table */
  int32_t free_a_records, free_a_extents;  /* list A: free index records */
  int32_t free_b_records, free_b_extents;  /* list B: free data records */
  int32_t node_records, node_first, node_capacity, node_free;  /* the directory's node table */
  int32_t matrices;         /* matrices in the directory */
  int32_t released_nodes;   /* nodes of killed matrices, whose header slots wait for reuse */
  int32_t header_record, header_offset;  /* where the last matrix header was placed */
  int32_t cache_flag;
  char created_as[81];      /* the name file 1 was created with */
} tessera_set_info;

TESSERA_API int tessera_view_set(const tessera_view *view, tessera_set_info *info);

/* Matrices are numbered 0 .. count-1 in directory order (by key: qualifier,
 * then the name as three signed words). */
TESSERA_API int32_t tessera_view_matrix_count(const tessera_view *view);

typedef struct tessera_matrix_info {
  unsigned char name[12];   /* the name's 12 bytes as stored */
  int32_t qualifier;
  int32_t damaged;          /* 1 when the check found its stored structures damaged; the
                               words below past qualifier are then 0 when unreadable */
  int32_t type, items;      /* element type code 1..12, items per element */
  int32_t form;             /* storage form 1..6 */
  int32_t lower_band, upper_band;
  int32_t rows, columns, stored_columns;
  int32_t block_order;      /* nb */
  int32_t hyper_order;      /* b1 */
  int32_t block_rows, block_columns;
  int32_t stored_blocks;    /* blocks in its block index */
  int64_t possible_blocks;  /* blocks its storage form can hold */
  int32_t index_nodes, index_height;
  int32_t records;          /* records it holds: blocks, packed edge records, index nodes,
                               saved extent table */
  int32_t placement;        /* where its extent table is saved: 1, 2 or 3 */
  int32_t header_record, header_offset;
} tessera_matrix_info;

TESSERA_API int tessera_view_matrix(const tessera_view *view, int32_t index,
                                    tessera_matrix_info *info);

/* The stored blocks of a matrix in block-position order, as block rows and
 * columns (1-based). At most capacity are written; *count receives how many
 * the matrix has. TESSERA_VIEW_DAMAGED when its block index is damaged. */
TESSERA_API int tessera_view_blocks(const tessera_view *view, int32_t index, int32_t *block_rows,
                                    int32_t *block_columns, int64_t capacity, int64_t *count);

/* Rows i1 .. i1+nr-1, columns j1 .. j1+nc-1 of a matrix into a (column-major,
 * leading dimension lda, elements of the matrix's type), read by the
 * library's get: blocks never stored read as zero, symmetric forms read
 * whole. TESSERA_VIEW_READ_FAILED with the library's ierr in *status when it
 * refuses; TESSERA_VIEW_DAMAGED for a matrix the check found damaged. */
TESSERA_API int tessera_view_get(tessera_view *view, int32_t index, int32_t i1, int32_t nr,
                                 int32_t j1, int32_t nc, void *a, int32_t lda, int32_t *status);

/* One fault of the set: where it was found (the set header, a table, a
 * matrix and which of its structures), what is wrong, and the record it
 * concerns (-1 when none). The strings live until the view is closed. */
typedef struct tessera_finding {
  const char *where;
  const char *what;
  int64_t record;
} tessera_finding;

typedef void (*tessera_finding_fn)(void *context, const tessera_finding *finding);

/* The offline check: every record below the set's end held exactly once
 * (free lists, tables, matrix headers, index nodes, packed edge records,
 * blocks), the directory tree balanced and ordered, every block index
 * ordered with its leaf chain whole, stored headers within range. Calls fn
 * (when not NULL) once per finding and returns their number: 0 for a sound
 * set. */
TESSERA_API int64_t tessera_view_check(const tessera_view *view, tessera_finding_fn fn,
                                       void *context);

#ifdef __cplusplus
}
#endif

#endif /* TESSERA_CHECK_H */
