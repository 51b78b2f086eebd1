// Heap memory and file-system queries for libtessera. Owns no state: each
// routine is a thin layer over the C library and the system, and none of them
// can throw across the C interface.
#include "platsvc.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {

PLATSVC_API void *SM_alloc(size_t nbytes) { return std::malloc(nbytes == 0 ? 1 : nbytes); }

// The product is checked here rather than left to calloc, so an impossible
// request is always a null result, also under allocators that abort on it.
PLATSVC_API void *SM_calloc(size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  return std::calloc(count, size);
}

PLATSVC_API void SM_free(void *p) { std::free(p); }

PLATSVC_API int CFI_ask_file_exist(const char *path) {
  struct stat st;
  return path != nullptr && ::stat(path, &st) == 0 ? 0 : 1;
}

PLATSVC_API int CFI_delete_file(const char *path, int32_t /*flag*/) {
  return path != nullptr && ::unlink(path) == 0 ? 0 : 1;
}

PLATSVC_API int CFI_is_hypermatrix_file(const char *path) {
  if (path == nullptr || path[0] == '\0') return 0;
  struct stat st;
  if (::stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  const size_t length = std::strlen(path);
  if (length >= PATH_MAX) return 0;
  // The directory part is copied into a buffer of our own: no allocation, so
  // nothing can throw across the C interface.
  char dir[PATH_MAX];
  std::memcpy(dir, path, length + 1);
  char *slash = std::strrchr(dir, '/');
  if (slash == nullptr) {
    std::strcpy(dir, ".");
  } else if (slash == dir) {
    dir[1] = '\0';
  } else {
    *slash = '\0';
  }
  return ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

}  // extern "C"
