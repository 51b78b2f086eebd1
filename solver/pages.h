// Large working memory straight from the system: anonymous pages, zero until
// written and resident only once touched, with transparent huge pages asked
// for. The tiles and the control area are the solve's largest arrays; with
// 4 KB pages their first touch costs a fault per page, which on a virtual
// machine weighs as much as a pass of the factorisation's copies.
#pragma once

#include <cstddef>
#include <new>

#include "problem.h"

namespace tessera::solve {

class TESSERA_SOLVE_API Pages {
 public:
  Pages() = default;
  explicit Pages(size_t bytes) { reset(bytes); }
  ~Pages() { release(); }
  Pages(const Pages &) = delete;
  Pages &operator=(const Pages &) = delete;
  Pages(Pages &&o) noexcept : p_(o.p_), bytes_(o.bytes_) { o.p_ = nullptr, o.bytes_ = 0; }

  // Throws std::bad_alloc when the system refuses.
  void reset(size_t bytes);
  void release() noexcept;
  void *data() const { return p_; }
  size_t bytes() const { return bytes_; }

 private:
  void *p_ = nullptr;
  size_t bytes_ = 0;
};

}  // namespace tessera::solve
