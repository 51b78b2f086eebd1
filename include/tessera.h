/*
 * libtessera: out-of-core hypermatrices kept as blocks in sets of
 * direct-access record files.
 *
 * Calling convention. Every routine returns nothing and takes every argument
 * by address; integers are 32-bit signed. The last argument receives the
 * status: 0 for success, a positive number for a refusal (a negative column
 * number for a refused pivot of the dense solver). After a failure the area
 * behind Xerror holds the chain of trace codes, innermost first.
 *
 * The host owns all memory: the control area (its first argument) and the
 * three integer areas it links in through Xerror (21 words), Xcache (the block
 * cache's control words) and Xchosky (at least 567 words). Set all three
 * before the first call. Calls on one control area must not overlap.
 */
#ifndef TESSERA_H
#define TESSERA_H

#include <stdint.h>

#if defined(__GNUC__)
#define TESSERA_API __attribute__((visibility("default")))
#else
#define TESSERA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Areas the host links in; null until the host stores an address. */
extern TESSERA_API char *Xerror;
extern TESSERA_API char *Xcache;
extern TESSERA_API char *Xchosky;

/* Control area. */
TESSERA_API void hminmf(int32_t *ctrl, const int32_t *length, const int32_t *nfs,
                        const int32_t *ndesc, const int32_t *option, int32_t *ierr);

/* File sets. names is an array of nfiles NUL-terminated paths. */
TESSERA_API void hmnewf(int32_t *ctrl, const int32_t *nfiles, char **names,
                        const int32_t *index_records, const int32_t *initial_words,
                        int32_t *handle, int32_t *ierr);
TESSERA_API void hmoldf(int32_t *ctrl, const int32_t *nfiles, char **names, int32_t *handle,
                        int32_t *ierr);
/* ierr is read on entry as the mode: 0 checks, any other value closes. */
TESSERA_API void hmclos(int32_t *ctrl, int32_t *ierr);
TESSERA_API void hmclos_filename(int32_t *ctrl, char **names, int32_t *ierr);
TESSERA_API void hmkilf(int32_t *ctrl, int32_t *handle, int32_t *ierr);
TESSERA_API void hmkilf_filename(int32_t *ctrl, int32_t *handle, char **names, int32_t *ierr);
TESSERA_API void hmremf(int32_t *ctrl, int32_t *handle, int32_t *ierr);
TESSERA_API void hmremf_filename(int32_t *ctrl, int32_t *handle, char **names, int32_t *ierr);

/* Matrices. name points to 12 bytes (three words), not terminated. */
TESSERA_API void hmnewm(int32_t *ctrl, const int32_t *name, const int32_t *qualifier,
                        const int32_t *fileset, const int32_t *typeword,
                        const int32_t *storageword, const int32_t *nrows, const int32_t *ncols,
                        int32_t *handle, int32_t *ierr);
TESSERA_API void hmoldm(int32_t *ctrl, const int32_t *name, const int32_t *qualifier,
                        const int32_t *fileset, const int32_t *readonly, int32_t *typeword,
                        int32_t *storageword, int32_t *nrows, int32_t *ncols, int32_t *handle,
                        int32_t *ierr);
TESSERA_API void hmrelm(int32_t *ctrl, int32_t *handle, int32_t *ierr);
TESSERA_API void hmkilm(int32_t *ctrl, const int32_t *name, const int32_t *qualifier,
                        const int32_t *fileset, int32_t *ierr);
/* state: -1 no such matrix, 0 exists and is closed, else its open handle. */
TESSERA_API void hminqm(int32_t *ctrl, const int32_t *name, const int32_t *qualifier,
                        const int32_t *fileset, int32_t *state);

/* Submatrices: a is column-major with leading dimension lda, in elements of the
 * matrix's own type (it is declared float but is an untyped buffer). */
TESSERA_API void hmputs(int32_t *ctrl, const int32_t *im, const int32_t *i1, const int32_t *nr,
                        const int32_t *j1, const int32_t *nc, const float *a,
                        const int32_t *lda, int32_t *ierr);
TESSERA_API void hmgets(int32_t *ctrl, const int32_t *im, const int32_t *i1, const int32_t *nr,
                        const int32_t *j1, const int32_t *nc, float *a, const int32_t *lda,
                        int32_t *ierr);

/* Hypermatrix algebra. */
TESSERA_API void hladd(int32_t *ctrl, int32_t *ma, int32_t *mb, const int32_t *op,
                       int32_t *ierr);
TESSERA_API void hlcopm(int32_t *ctrl, const int32_t *ma, const int32_t *mb,
                        const int32_t *mode, int32_t *ierr);
TESSERA_API void hlmult(int32_t *ctrl, const int32_t *ma, const int32_t *mb, const int32_t *mc,
                        const int32_t *ta, const int32_t *tb, int32_t *up, const int32_t *sub,
                        int32_t *ierr);

/* Dense block solver. On entry to crudr, ierr is the global number of the
 * block's first column. */
TESSERA_API void crudr(double *a, double *f, double *g, const int32_t *n, const int32_t *m,
                       int32_t *ierr);
TESSERA_API void fwsdr(const double *u, double *x, const int32_t *n, const int32_t *k,
                       const int32_t *mode, int32_t *ierr);
TESSERA_API void bwsdr(const double *u, double *x, const int32_t *n, const int32_t *k,
                       const int32_t *mode, int32_t *ierr);

#ifdef __cplusplus
}
#endif

#endif /* TESSERA_H */
