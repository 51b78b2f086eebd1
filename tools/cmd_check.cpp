// tessera check: the library's self-check of a stored set, offline and
// read-only. Exit status 0 when the set is sound, 1 when it is damaged (one
// line per finding), 2 when the files cannot be read as a set.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "set_view.h"

namespace tessera::tool {
namespace {

constexpr int kSound = 0;
constexpr int kDamaged = 1;
constexpr int kNotASet = 2;

struct Options {
  std::vector<std::string> files;
  int64_t max_lines = -1;
};

struct Printer {
  int64_t printed = 0;
  int64_t max_lines = -1;
};

void print_finding(void *context, const tessera_finding *f) {
  auto *p = static_cast<Printer *>(context);
  if (p->max_lines >= 0 && p->printed >= p->max_lines) return;
  ++p->printed;
  if (f->record >= 0) {
    std::printf("%s: %s (record %lld)\n", f->where, f->what, static_cast<long long>(f->record));
  } else {
    std::printf("%s: %s\n", f->where, f->what);
  }
}

int run_check(const Options &o) {
  try {
    SetView view(o.files, kNotASet);
    Printer printer;
    printer.max_lines = o.max_lines;
    const int64_t findings = tessera_view_check(view.get(), print_finding, &printer);
    if (findings > 0) {
      if (printer.printed < findings) {
        std::printf("... %lld more not shown\n",
                    static_cast<long long>(findings - printer.printed));
      }
      std::printf("damaged: %lld %s\n", static_cast<long long>(findings),
                  findings == 1 ? "finding" : "findings");
      return kDamaged;
    }
    const tessera_set_info s = view.set();
    int64_t blocks = 0;
    for (const tessera_matrix_info &m : view.matrices()) blocks += m.stored_blocks;
    std::printf("sound: %d records, %zu %s, %lld stored blocks\n", s.end,
                view.matrices().size(), view.matrices().size() == 1 ? "matrix" : "matrices",
                static_cast<long long>(blocks));
    return kSound;
  } catch (const UserError &e) {
    std::fprintf(stderr, "tessera check: %s\n", e.what());
    return e.status();
  }
}

Registrar reg("check", "Check a file set for damage, offline and read-only", 30,
              [](CLI::App &cmd) {
                auto o = std::make_shared<Options>();
                cmd.add_option("FILE", o->files,
                               "The set's files, in the order it was created with")
                    ->required();
                cmd.add_option("--max", o->max_lines, "Print at most this many findings")
                    ->check(CLI::NonNegativeNumber);
                cmd.footer(
                    "Reads every structure of the set and proves it whole: every record below "
                    "the set's end held exactly once (free lists, tables, matrix headers, index "
                    "nodes, packed edge records, blocks), the directory tree balanced and "
                    "ordered, every block index ordered with its leaf chain whole, stored "
                    "headers within range. Each finding is one line: where, what, which "
                    "record. Nothing is written.\n\n"
                    "Exit status: 0 sound, 1 damaged, 2 the files cannot be read as a set.\n\n"
                    "Example:\n  tessera check model1.hm model2.hm");
                return [o] { return run_check(*o); };
              });

}  // namespace
}  // namespace tessera::tool
