#include "test_support/host.h"

#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>

namespace tessera::test {

std::string temp_dir() {
  const char *root = std::getenv("TESSERA_TEST_TMP");
  std::string base = root != nullptr ? root : "/tmp";
  ::mkdir(base.c_str(), 0755);
  std::string pattern = base + "/tessera-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
  return pattern;
}

}  // namespace tessera::test
