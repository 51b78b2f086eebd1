// What a host provides before its first call: the three linked areas. Tests
// make one HostAreas and the library's pointers point into it for its life.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tessera.h"

namespace tessera::test {

struct HostAreas {
  int32_t trace[21] = {};
  int32_t cache[64] = {};
  int32_t chosky[600] = {};

  HostAreas() {
    Xerror = reinterpret_cast<char *>(trace);
    Xcache = reinterpret_cast<char *>(cache);
    Xchosky = reinterpret_cast<char *>(chosky);
  }
  ~HostAreas() { Xerror = Xcache = Xchosky = nullptr; }
  HostAreas(const HostAreas &) = delete;
  HostAreas &operator=(const HostAreas &) = delete;

  // Trace codes pushed since the last clear, innermost first (up to 20).
  std::vector<int32_t> trace_codes() const {
    return std::vector<int32_t>(trace + 1, trace + 1 + (trace[0] > 0 ? trace[0] : 0));
  }
};

// A fresh directory for the files of one test, under the build tree.
std::string temp_dir();

}  // namespace tessera::test
