// tessera version: the version of the program and of the libraries it runs on.
#include <cstdio>

#include "command.h"

#ifndef TESSERA_VERSION
#define TESSERA_VERSION "unknown"
#endif

namespace {

tessera::tool::Registrar reg("version", "Print the version", 1000, [](CLI::App &cmd) {
  cmd.footer("Example:\n  tessera version");
  return [] {
    std::printf("tessera %s\n", TESSERA_VERSION);
    return 0;
  };
});

}  // namespace
