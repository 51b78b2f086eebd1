// tessera dump: a region of a matrix as Matrix Market text on standard
// output (or into a file): an array of the region, or the coordinates of the
// non-zero elements of the stored blocks in it. Read through the
// self-check's view: nothing is written to the set's files.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "command.h"
#include "matrix_io.h"
#include "set_view.h"
#include "tessera.h"

namespace tessera::tool {
namespace {

struct Options {
  std::vector<std::string> files;
  std::string matrix;
  std::optional<int32_t> qualifier;
  std::string rows, cols;
  bool sparse = false;
  std::string output;
};

constexpr int64_t kPanelBytes = 64LL << 20;

int run_dump(const Options &o) {
  try {
    SetView view(o.files);
    const int32_t index = view.find(o.matrix, o.qualifier);
    const MatrixValues values(view, index);
    const tessera_matrix_info &m = values.info();
    const auto [r1, r2] = o.rows.empty() ? std::pair<int32_t, int32_t>(1, values.rows())
                                         : parse_range(o.rows, values.rows(), "--rows");
    const auto [c1, c2] = o.cols.empty() ? std::pair<int32_t, int32_t>(1, values.cols())
                                         : parse_range(o.cols, values.cols(), "--cols");
    std::string comment = "rows " + std::to_string(r1) + ":" + std::to_string(r2) + ", columns " +
                          std::to_string(c1) + ":" + std::to_string(c2) + " of matrix " +
                          matrix_label(m) + " (" + form_name(m.form) + ") of the file set";
    for (const std::string &f : o.files) comment += " " + f;

    auto write = [&](const std::string &path) {
      mm::Header h;
      h.format = o.sparse ? mm::Format::coordinate : mm::Format::array;
      h.field = field_of(m.type);
      h.symmetry = mm::Symmetry::general;
      h.rows = r2 - r1 + 1;
      h.cols = c2 - c1 + 1;
      h.entries = o.sparse ? -1 : h.rows * h.cols;
      mm::Writer w(path, h, comment);
      if (o.sparse) {
        values.stored_nonzeros(r1, r2, c1, c2, [&](int32_t i, int32_t j, double re, double im) {
          w.entry(i - r1 + 1, j - c1 + 1, re, im);
        });
      } else {
        std::vector<double> re, im;
        const int32_t nr = r2 - r1 + 1;
        const int32_t step = values.panel_columns(nr, kPanelBytes);
        for (int32_t j = c1; j <= c2; j += step) {
          const int32_t nc = std::min(step, c2 - j + 1);
          values.get(r1, nr, j, nc, re, im);
          for (size_t k = 0; k < re.size(); ++k) w.value(re[k], im[k]);
        }
      }
      w.close();
    };
    if (o.output.empty()) {
      write_to_stdout(write);
    } else {
      write(o.output);
    }
    return 0;
  } catch (const UserError &e) {
    std::fprintf(stderr, "tessera dump: %s\n", e.what());
    return e.status();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "tessera dump: %s\n", e.what());
    return 1;
  }
}

Registrar reg("dump", "Print a region of a matrix as Matrix Market text", 35, [](CLI::App &cmd) {
  auto o = std::make_shared<Options>();
  cmd.add_option("FILE", o->files, "The set's files, in the order it was created with")
      ->required();
  cmd.add_option("--matrix", o->matrix, "Name of the matrix")->required();
  cmd.add_option("--qualifier", o->qualifier,
                 "Qualifier of the matrix, when several matrices share its name");
  cmd.add_option("--rows", o->rows, "Rows A:B (1-based, both included; A: or :B leave an end open)");
  cmd.add_option("--cols", o->cols, "Columns C:D");
  cmd.add_flag("--sparse", o->sparse,
               "Coordinates of the non-zero elements of the stored blocks only");
  cmd.add_option("-o,--output", o->output, "Write to this file instead of standard output");
  cmd.footer(
      "The region is written as a matrix of its own (general, its rows and columns counted "
      "from 1), its place in the matrix in the comment line. Without --sparse, an array of "
      "every element of the region; blocks never stored read as zero, a symmetric matrix reads "
      "whole, a diagonal one has zeros off its diagonal. Nothing is written to the set's "
      "files.\n\n"
      "Example:\n  tessera dump model1.hm model2.hm --matrix K --rows 1:4 --cols 1:4\n"
      "  tessera dump model1.hm model2.hm --matrix K --sparse --cols 1:100");
  return [o] { return run_dump(*o); };
});

}  // namespace
}  // namespace tessera::tool
