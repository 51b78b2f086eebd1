// tessera: one program, one subcommand per task. The commands register
// themselves (command.h); this file only collects them, parses the command line
// and runs the chosen one.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"

namespace tessera::tool {
namespace {

struct Entry {
  const char *name;
  const char *summary;
  int rank;
  Setup setup;
};

// Function-local, so registrations from other files' static initialisers find
// it constructed whatever order the linker puts them in.
std::vector<Entry> &registry() {
  static std::vector<Entry> entries;
  return entries;
}

}  // namespace

Registrar::Registrar(const char *name, const char *summary, int rank, Setup setup) {
  registry().push_back({name, summary, rank, std::move(setup)});
}

}  // namespace tessera::tool

int main(int argc, char **argv) {
  using namespace tessera::tool;
  CLI::App app{"tessera: out-of-core solves and the file sets of libtessera"};
  app.require_subcommand(1);
  std::vector<Entry> entries = registry();
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry &a, const Entry &b) { return a.rank < b.rank; });
  std::vector<std::pair<CLI::App *, Runner>> commands;
  for (Entry &e : entries) {
    CLI::App *cmd = app.add_subcommand(e.name, e.summary);
    commands.emplace_back(cmd, e.setup(*cmd));
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    return app.exit(e);
  }
  for (auto &[cmd, run] : commands)
    if (cmd->parsed()) return run();
  return 2;
}
