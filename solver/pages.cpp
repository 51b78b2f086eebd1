// Large working memory (pages.h).
#include "pages.h"

#include <sys/mman.h>

namespace tessera::solve {

void Pages::reset(size_t bytes) {
  release();
  if (bytes == 0) return;
  void *p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  // Advice only: where huge pages are off it changes nothing.
  ::madvise(p, bytes, MADV_HUGEPAGE);
  p_ = p;
  bytes_ = bytes;
}

void Pages::release() noexcept {
  if (p_ != nullptr) ::munmap(p_, bytes_);
  p_ = nullptr;
  bytes_ = 0;
}

}  // namespace tessera::solve
