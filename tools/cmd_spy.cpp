// tessera spy: a PNG picture of a matrix's block structure, one cell per
// block, coloured by the largest magnitude in the block. Reads through the
// self-check's view: nothing is written to the set's files.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "command.h"
#include "picture.h"
#include "set_view.h"

namespace tessera::tool {
namespace {

struct Options {
  std::vector<std::string> files;
  std::string matrix;
  std::optional<int32_t> qualifier;
  std::string output;
  int size = 512;
};

int run_spy(const Options &o) {
  try {
    SetView view(o.files);
    const int32_t index = view.find(o.matrix, o.qualifier);
    const tessera_matrix_info &m = view.matrices()[static_cast<size_t>(index)];
    const std::vector<std::pair<int32_t, int32_t>> blocks = view.blocks(index);

    SpyInput in;
    in.size = o.size;
    in.block_rows = m.block_rows;
    in.block_cols = m.block_columns;
    in.hyper_order = m.hyper_order;
    const int32_t nb = m.block_order;
    const size_t element = 4 * static_cast<size_t>(element_words(m.type, m.items));
    std::vector<unsigned char> block(static_cast<size_t>(nb) * nb * element);
    for (const auto &[bi, bj] : blocks) {
      const int32_t i1 = (bi - 1) * nb + 1, j1 = (bj - 1) * nb + 1;
      const int32_t nr = std::min(nb, m.rows - i1 + 1), nc = std::min(nb, m.stored_columns - j1 + 1);
      view.get(index, i1, nr, j1, nc, block.data(), nr);
      in.blocks.push_back({bi, bj, largest_magnitude(block.data(), int64_t{nr} * nc, m.type, m.items)});
    }
    in.title.push_back(matrix_label(m));
    in.title.push_back(std::to_string(m.rows) + " x " + std::to_string(m.columns) + " " +
                       type_name(m.type, m.items) + ", " + form_name(m.form) + ", blocks of " +
                       std::to_string(nb) + " x " + std::to_string(nb));
    in.title.push_back(std::to_string(blocks.size()) + " of " + std::to_string(m.possible_blocks) +
                       " blocks stored, hyperblocks of " + std::to_string(m.hyper_order) + " x " +
                       std::to_string(m.hyper_order));
    const Canvas picture = draw_spy(in).canvas;
    picture.write_png(o.output);
    std::printf("%s: %d x %d pixels, %d x %d blocks, %zu stored\n", o.output.c_str(),
                picture.width(), picture.height(), m.block_rows, m.block_columns, blocks.size());
    return 0;
  } catch (const UserError &e) {
    std::fprintf(stderr, "tessera spy: %s\n", e.what());
    return e.status();
  }
}

Registrar reg("spy", "Draw a matrix's block structure as a PNG picture", 60, [](CLI::App &cmd) {
  auto o = std::make_shared<Options>();
  cmd.add_option("FILE", o->files, "The set's files, in the order it was created with")
      ->required();
  cmd.add_option("--matrix", o->matrix, "Name of the matrix")->required();
  cmd.add_option("--qualifier", o->qualifier,
                 "Qualifier of the matrix, when several matrices share its name");
  cmd.add_option("-o,--output", o->output, "The PNG file to write")->required();
  cmd.add_option("--size", o->size, "The block grid fits a square of this many pixels")
      ->check(CLI::Range(16, 8192))
      ->capture_default_str();
  cmd.footer(
      "One cell per block, white where no block is stored, coloured by log10 of the largest "
      "magnitude in the block (grey: stored, all zero); hyperblock boundaries drawn; a colour "
      "scale and the matrix's name and shape written on it. A grid larger than the size shows "
      "several blocks a pixel, the largest of them. Every stored block is read.\n\n"
      "Example:\n  tessera spy model1.hm model2.hm --matrix K -o K.png");
  return [o] { return run_spy(*o); };
});

}  // namespace
}  // namespace tessera::tool
