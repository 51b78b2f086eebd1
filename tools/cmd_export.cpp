// tessera export: a matrix of a file set as a Matrix Market file, streaming
// (a panel of columns at a time), read through the self-check's view:
// nothing is written to the set's files.
//
// A symmetric matrix becomes a symmetric file (Hermitian when complex) of
// its lower triangle, every other form a general file; the diagonal form a
// coordinate file of its diagonal, the others an array file unless --sparse
// asks for a coordinate file of the non-zero elements of the stored blocks.
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
  std::string output;
  bool sparse = false;
};

// Panels of columns read at a time stay near this.
constexpr int64_t kPanelBytes = 64LL << 20;

std::string origin(const tessera_matrix_info &m, const std::vector<std::string> &files) {
  std::string text = "matrix " + matrix_label(m) + " of the file set";
  for (const std::string &f : files) text += " " + f;
  return text;
}

int run_export(const Options &o) {
  try {
    SetView view(o.files);
    const int32_t index = view.find(o.matrix, o.qualifier);
    const MatrixValues values(view, index);
    const tessera_matrix_info &m = values.info();
    const bool symmetric = m.form == TESSERA_FORM_SYMMETRIC;

    mm::Header h;
    h.field = field_of(m.type);
    h.symmetry = !symmetric ? mm::Symmetry::general
                            : (is_complex(m.type) ? mm::Symmetry::hermitian : mm::Symmetry::symmetric);
    h.rows = values.rows();
    h.cols = values.cols();
    h.format = o.sparse || m.form == TESSERA_FORM_DIAGONAL ? mm::Format::coordinate
                                                           : mm::Format::array;
    h.entries = -1;  // an array file's count follows from its shape
    if (h.format == mm::Format::array) {
      h.entries = symmetric ? h.rows * (h.rows + 1) / 2 : h.rows * h.cols;
    }
    mm::Writer w(o.output, h, origin(m, o.files));
    int64_t written = 0;
    if (h.format == mm::Format::coordinate) {
      values.stored_nonzeros(1, values.rows(), 1, values.cols(),
                             [&](int32_t i, int32_t j, double re, double im) {
                               if (symmetric && i < j) return;  // the lower triangle is listed
                               w.entry(i, j, re, im);
                               ++written;
                             });
    } else {
      std::vector<double> re, im;
      const int32_t step = values.panel_columns(values.rows(), kPanelBytes);
      for (int32_t j1 = 1; j1 <= values.cols(); j1 += step) {
        const int32_t nc = std::min(step, values.cols() - j1 + 1);
        // A symmetric file lists rows j .. n of column j: rows from j1 on.
        const int32_t i1 = symmetric ? j1 : 1, nr = values.rows() - i1 + 1;
        values.get(i1, nr, j1, nc, re, im);
        for (int32_t j = 0; j < nc; ++j) {
          for (int32_t i = symmetric ? j : 0; i < nr; ++i) {
            const size_t k = static_cast<size_t>(j) * nr + i;
            w.value(re[k], im[k]);
            ++written;
          }
        }
      }
    }
    w.close();
    std::printf("%s: %s, %s %s %s, %lld x %lld, %lld %s\n", o.output.c_str(),
                origin(m, o.files).c_str(), mm::name(h.format), mm::name(h.field),
                mm::name(h.symmetry), static_cast<long long>(h.rows),
                static_cast<long long>(h.cols), static_cast<long long>(written),
                h.format == mm::Format::coordinate ? "entries" : "values");
    return 0;
  } catch (const UserError &e) {
    std::fprintf(stderr, "tessera export: %s\n", e.what());
    return e.status();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "tessera export: %s\n", e.what());
    return 1;
  }
}

Registrar reg("export", "Write a matrix of a file set as a Matrix Market file", 50,
              [](CLI::App &cmd) {
                auto o = std::make_shared<Options>();
                cmd.add_option("FILE", o->files, "The set's files, in the order it was created with")
                    ->required();
                cmd.add_option("--matrix", o->matrix, "Name of the matrix")->required();
                cmd.add_option("--qualifier", o->qualifier,
                               "Qualifier of the matrix, when several matrices share its name");
                cmd.add_option("-o,--output", o->output, "The Matrix Market file to write")
                    ->required();
                cmd.add_flag("--sparse", o->sparse,
                             "A coordinate file of the non-zero elements of the stored blocks");
                cmd.footer(
                    "Integer matrices give integer files, real ones real files, complex ones "
                    "complex files. A symmetric matrix gives a symmetric file (Hermitian when "
                    "complex) of its lower triangle; an upper-triangular or general one a "
                    "general file; a diagonal one a coordinate file of its diagonal. The "
                    "output file appears only when it is complete. Nothing is written to the "
                    "set's files. tessera import reads the file back into the same matrix "
                    "(give --type float and --form upper or diagonal for those).\n\n"
                    "Example:\n  tessera export model1.hm model2.hm --matrix K -o K.mtx");
                return [o] { return run_export(*o); };
              });

}  // namespace
}  // namespace tessera::tool
