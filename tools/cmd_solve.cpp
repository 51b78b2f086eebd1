// tessera solve: an out-of-core direct solve of a symmetric system. The work
// is libtessera_solve's (solver.h); this file reads the command line, draws
// the progress on standard error, prints the report on standard output and
// turns a failure into a message and an exit status.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "generate.h"
#include "solver.h"

namespace {

namespace ts = tessera::solve;

struct Options {
  std::string matrix_file;
  std::string generate;
  std::vector<std::string> set_files;
  std::string set_matrix;
  int32_t qualifier = 1;
  std::string factor;
  std::string rhs;
  std::string output;
  std::string ordering = "auto";
  int32_t block_order = 0;
  std::string memory;
  bool indefinite = false;
  int32_t refine = 0;
  std::string keep;
  bool resume = false;
  bool force = false;
  std::string tmpdir;
  int32_t checkpoints = 10;
  bool json = false;
  bool quiet = false;
};

// Ctrl-C asks the factorisation to stop at its next tile (it keeps what it
// has done when --keep was given); a second one ends the program at once.
std::atomic<bool> g_stop{false};

extern "C" void on_interrupt(int) {
  if (g_stop.exchange(true)) {
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
  }
}

int exit_status(ts::Failure f) {
  return f == ts::Failure::interrupted ? 130 : static_cast<int>(f);
}

int run(const Options &o) {
  ts::SolveOptions so;
  so.matrix_file = o.matrix_file;
  so.generate = o.generate;
  so.set_files = o.set_files;
  so.set_matrix = o.set_matrix;
  so.set_qualifier = o.qualifier;
  so.factor_file = o.factor;
  so.rhs_file = o.rhs;
  so.output_file = o.output;
  so.block_order = o.block_order;
  so.indefinite = o.indefinite;
  so.refine = o.refine;
  so.keep = o.keep;
  so.resume = o.resume;
  so.force = o.force;
  so.work_dir = o.tmpdir;
  so.checkpoints = o.checkpoints;
  std::unique_ptr<ts::Progress> progress;
  if (!o.quiet) progress = std::make_unique<ts::StreamProgress>(stderr, isatty(STDERR_FILENO) != 0);
  so.progress = progress.get();
  so.stop = [] { return g_stop.load(); };
  try {
    so.ordering = ts::parse_ordering(o.ordering);
    if (!o.memory.empty()) so.memory = ts::parse_size(o.memory);
    std::signal(SIGINT, on_interrupt);
    ts::SolveResult result = ts::run_solve(so);
    std::signal(SIGINT, SIG_DFL);
    progress.reset();
    if (o.json)
      std::printf("%s\n", result.report.json().c_str());
    else
      std::printf("%s", result.report.table().c_str());
    return 0;
  } catch (const ts::SolveError &e) {
    std::signal(SIGINT, SIG_DFL);
    progress.reset();
    std::fprintf(stderr, "tessera solve: %s\n", e.what());
    return exit_status(e.kind);
  } catch (const ts::InputError &e) {
    progress.reset();
    std::fprintf(stderr, "tessera solve: %s\n", e.what());
    return exit_status(ts::Failure::input);
  }
}

std::string kinds_help() {
  std::string s;
  for (const ts::ProblemKind &k : ts::problem_kinds()) {
    std::string syntax = k.syntax;
    syntax.resize(std::max<size_t>(syntax.size() + 1, 22), ' ');
    s += "  " + syntax + k.summary + "\n";
  }
  return s;
}

tessera::tool::Registrar reg(
    "solve", "Solve a large symmetric system out of core", 10, [](CLI::App &cmd) {
      auto o = std::make_shared<Options>();
      cmd.add_option("MATRIX", o->matrix_file,
                     "Matrix Market file: coordinate real or integer symmetric (lower, upper or "
                     "both triangles; duplicate entries are summed, as finite-element assembly "
                     "does), coordinate real general with symmetric values, or array real "
                     "(dense)");
      cmd.add_option("--generate", o->generate, "Solve a generated problem (kinds below)");
      cmd.add_option("--set", o->set_files,
                     "The matrix is in this file set (its files, in the order they were created "
                     "with): a double matrix of storage form 1, read block by block");
      cmd.add_option("--matrix", o->set_matrix, "Name of the matrix in the --set file set");
      cmd.add_option("--qualifier", o->qualifier, "Qualifier of the matrix in --set")
          ->capture_default_str();
      cmd.add_option("--factor", o->factor,
                     "Solve with the factor kept in this file (by --keep) instead of factorising");
      cmd.add_option("--rhs", o->rhs,
                     "Right-hand sides, Matrix Market (array, one or more columns); default "
                     "b = A 1, whose solution is known");
      cmd.add_option("-o,--output", o->output, "Write x here as a Matrix Market array");
      cmd.add_option("--ordering", o->ordering,
                     "auto (the fewest predicted factor flops), nd (nested dissection), rcm "
                     "(reverse Cuthill-McKee) or natural")
          ->capture_default_str();
      cmd.add_option("--block-order", o->block_order,
                     "Block order of the factor (default: chosen by the symbolic step)");
      cmd.add_option("--memory", o->memory,
                     "Working memory the solve may hold, e.g. 512M or 4G (default: a quarter "
                     "of physical memory)");
      cmd.add_flag("--indefinite", o->indefinite,
                   "Accept negative pivots (no pivoting) and report the inertia");
      cmd.add_option("--refine", o->refine, "Steps of iterative refinement")->capture_default_str();
      cmd.add_option("--keep", o->keep,
                     "Keep the factor's file set in this file (for --factor and --resume)");
      cmd.add_flag("--resume", o->resume,
                   "Go on with the interrupted factorisation kept in the --keep file");
      cmd.add_flag("--force", o->force, "Replace an existing --keep file");
      cmd.add_option("--tmpdir", o->tmpdir,
                     "Directory of the factor's file set when it is not kept (default: the "
                     "current directory)");
      cmd.add_option("--checkpoints", o->checkpoints,
                     "Checkpoints to aim for during the factorisation")
          ->capture_default_str();
      cmd.add_flag("--json", o->json, "Print the report as one JSON object");
      cmd.add_flag("-q,--quiet", o->quiet, "No progress on standard error");
      cmd.footer("Generated problems:\n" + kinds_help() +
                 "\nExamples:\n"
                 "  tessera solve --generate laplace3d:40\n"
                 "  tessera solve A.mtx --rhs b.mtx -o x.mtx --memory 2G\n"
                 "  tessera solve A.mtx --keep A.factor      # then, after Ctrl-C or a crash:\n"
                 "  tessera solve A.mtx --keep A.factor --resume\n"
                 "  tessera solve --factor A.factor --rhs b2.mtx -o x2.mtx\n"
                 "  tessera solve --set model.tsf --matrix STIFFNESS --json\n"
                 "\nExit status: 0 solved; 1 bad input; 3 not positive definite (or a refused "
                 "pivot); 4 disk full or a write refused; 5 a factor file that cannot be used; "
                 "6 memory too small; 7 another refusal of the library; 130 interrupted.");
      return [o] { return run(*o); };
    });

}  // namespace
