// The subcommands of the tessera program. Each command lives in a file of its
// own (cmd_<name>.cpp) and registers itself with a static Registrar, so that a
// new command is one new file and main.cpp never changes:
//
//   namespace {
//   tessera::tool::Registrar reg("info", "Show a file set's header and matrices", 20,
//       [](CLI::App &cmd) {
//         auto opts = std::make_shared<Options>();
//         cmd.add_option("FILE", opts->files, "...")->required();
//         return [opts] { return run_info(*opts); };
//       });
//   }
//
// The setup function adds the command's options and returns the function that
// runs it once the command line is parsed; that function returns the exit
// status of the program.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

namespace tessera::tool {

using Runner = std::function<int()>;
using Setup = std::function<Runner(CLI::App &cmd)>;

struct Registrar {
  // rank orders the commands in the help text (lowest first).
  Registrar(const char *name, const char *summary, int rank, Setup setup);
};

}  // namespace tessera::tool
