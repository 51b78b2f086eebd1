// Heap memory and file-system queries for libtessera.
#include "platsvc.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

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
  std::string dir(path);
  const size_t slash = dir.find_last_of('/');
  if (slash == std::string::npos) {
    dir = ".";
  } else if (slash == 0) {
    dir = "/";
  } else {
    dir.resize(slash);
  }
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

}  // extern "C"
