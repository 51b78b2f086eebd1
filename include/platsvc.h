/*
 * libplatsvc: heap memory and file-system queries for libtessera.
 *
 * Path rule of CFI_is_hypermatrix_file: a path is acceptable for a file of a
 * file set when it is not empty, the directory that would hold it exists, and
 * the path does not name a directory.
 */
#ifndef PLATSVC_H
#define PLATSVC_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define PLATSVC_API __attribute__((visibility("default")))
#else
#define PLATSVC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

PLATSVC_API void *SM_alloc(size_t nbytes);
/* Zeroed memory; null when refused. */
PLATSVC_API void *SM_calloc(size_t count, size_t size);
PLATSVC_API void SM_free(void *p);

/* 0 when the file exists, non-zero otherwise. */
PLATSVC_API int CFI_ask_file_exist(const char *path);
/* Remove the file; 0 for success. flag is accepted as the library passes it (-1). */
PLATSVC_API int CFI_delete_file(const char *path, int32_t flag);
/* Non-zero when the path is acceptable for a file of a file set (rule above). */
PLATSVC_API int CFI_is_hypermatrix_file(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* PLATSVC_H */
