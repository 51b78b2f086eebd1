// Tests of the spy picture: the cells of a drawn grid show what is stored
// (scale colours ordered by magnitude, grey for stored zeros, white for
// nothing), hyperblock boundaries and text are drawn, a grid larger than
// the size takes several blocks a pixel, and the PNG file reads back as
// drawn; the program writes the picture of a stored matrix.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>

#include <complex>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "picture.h"
#include "test_support/host.h"
#include "test_support/stored_sets.h"

namespace tessera::tool {
namespace {

const Rgb kWhite{255, 255, 255};

// Colour at the middle of block (bi, bj)'s cell.
Rgb cell(const SpyPicture &p, int bi, int bj) {
  const int x = p.grid_x + (bj - 1) / p.blocks_per_pixel * p.pixels_per_block + p.pixels_per_block / 2;
  const int y = p.grid_y + (bi - 1) / p.blocks_per_pixel * p.pixels_per_block + p.pixels_per_block / 2;
  return p.canvas.at(x, y);
}

int ink_in(const Canvas &c, int x0, int y0, int x1, int y1) {
  int ink = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) ink += c.at(x, y) == kWhite ? 0 : 1;
  return ink;
}

TEST(Spy, CellsShowWhatIsStoredAndHowLarge) {
  SpyInput in;
  in.title = {"\"K\" (qualifier 1)", "6 x 4 blocks"};
  in.block_rows = 6;
  in.block_cols = 4;
  in.hyper_order = 2;
  in.size = 120;
  in.blocks = {{1, 1, 1e3}, {2, 3, 1e-2}, {4, 2, 1.0}, {6, 4, 0.0}};
  const SpyPicture p = draw_spy(in);
  ASSERT_EQ(p.pixels_per_block, 20);
  ASSERT_EQ(p.blocks_per_pixel, 1);
  EXPECT_EQ(cell(p, 1, 1), scale_colour(1.0));   // the largest magnitude: the top of the scale
  EXPECT_EQ(cell(p, 2, 3), scale_colour(0.0));   // the smallest: its bottom
  EXPECT_EQ(cell(p, 4, 2), scale_colour(0.4));   // 1 lies 2/5 of the way in log10
  EXPECT_EQ(cell(p, 6, 4), (Rgb{190, 190, 190}));  // stored, all zero
  EXPECT_EQ(cell(p, 3, 1), kWhite);              // never stored
  EXPECT_EQ(cell(p, 5, 4), kWhite);
  // A hyperblock boundary after block column 2 and block row 2.
  EXPECT_EQ(p.canvas.at(p.grid_x + 40, p.grid_y + 70), (Rgb{150, 150, 150}));
  EXPECT_EQ(p.canvas.at(p.grid_x + 70, p.grid_y + 40), (Rgb{150, 150, 150}));
  // The title is written above the grid, the scale beside it.
  EXPECT_GT(ink_in(p.canvas, 0, 0, p.canvas.width(), p.grid_y - 30), 100);
  EXPECT_GT(ink_in(p.canvas, p.grid_x + 81, p.grid_y, p.canvas.width(), p.grid_y + 120), 500);
  // Scale colours grow lighter from bottom to top.
  auto light = [](Rgb c) { return 299 * c.r + 587 * c.g + 114 * c.b; };
  for (double t = 0; t < 1; t += 0.125) EXPECT_LT(light(scale_colour(t)), light(scale_colour(t + 0.125)));
}

TEST(Spy, LargeGridsTakeSeveralBlocksAPixelAndTheLargestShows) {
  SpyInput in;
  in.block_rows = 1000;
  in.block_cols = 10;
  in.size = 100;
  in.blocks = {{995, 3, 2.0}, {996, 3, 50.0}, {11, 1, 1.0}};
  const SpyPicture p = draw_spy(in);
  EXPECT_EQ(p.blocks_per_pixel, 10);
  EXPECT_EQ(p.pixels_per_block, 1);
  EXPECT_EQ(cell(p, 995, 3), scale_colour(1.0));  // shares its pixel with the larger block
  EXPECT_EQ(cell(p, 11, 1), scale_colour(0.0));
  EXPECT_EQ(cell(p, 500, 1), kWhite);
}

TEST(Spy, MagnitudesOfEveryElementKind) {
  const int32_t ints[] = {3, -7, 2};
  EXPECT_EQ(largest_magnitude(ints, 3, 1, 1), 7.0);
  const float complex_floats[] = {3, 4, -1, 0};
  EXPECT_EQ(largest_magnitude(complex_floats, 2, 5, 1), 5.0);
  const double doubles_in_pairs[] = {1, -9, 2, 3};  // two elements of 2 items
  EXPECT_EQ(largest_magnitude(doubles_in_pairs, 2, 8, 2), 9.0);
  const std::complex<double> z[] = {{0, -2}, {1, 1}};
  EXPECT_EQ(largest_magnitude(z, 2, 6, 1), 2.0);
}

// Width, height and the pixel at (x, y) of a PNG file.
bool read_png(const std::string &path, int &w, int &h, int x, int y, Rgb &at) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return false;
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) == 0) return false;
  w = static_cast<int>(image.width);
  h = static_cast<int>(image.height);
  const unsigned char *p = &pixels[(static_cast<size_t>(y) * w + x) * 3];
  at = Rgb{p[0], p[1], p[2]};
  return true;
}

TEST(Spy, ThePictureOfAStoredMatrixIsWrittenAsDrawn) {
  test::HostAreas host;
  test::SetSession s(test::temp_dir(), 2, 128);
  ASSERT_TRUE(s.create("K", 1, 4, 1, 60, 60) && s.put("K", 1, 60, 1, 30) && s.remove());
  const std::string png = test::temp_dir() + "/K.png";
  std::string command = "'" TESSERA_PROGRAM "' spy";
  for (const std::string &f : s.files()) command += " '" + f + "'";
  command += " --matrix K -o '" + png + "' --size 64 >/dev/null";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  // The same picture drawn here: 8 x 8 blocks of 8 rows, the upper
  // triangle of the first 4 block columns stored.
  SpyInput in;
  in.title = {"name", "shape", "blocks"};  // the program writes three lines
  in.block_rows = in.block_cols = 8;
  in.size = 64;
  int w = 0, h = 0;
  Rgb corner, empty;
  ASSERT_TRUE(read_png(png, w, h, 0, 0, corner));
  const SpyPicture ref = draw_spy(in);
  const int x = ref.grid_x + 8 * 6 + 4, y = ref.grid_y + 8 * 1 + 4;  // block (2, 7): not stored
  ASSERT_TRUE(read_png(png, w, h, x, y, empty));
  EXPECT_EQ(empty, kWhite);
  Rgb stored;
  ASSERT_TRUE(read_png(png, w, h, ref.grid_x + 8 * 2 + 4, ref.grid_y + 8 * 1 + 4, stored));  // (2, 3)
  EXPECT_NE(stored, kWhite);
  Rgb lower;
  ASSERT_TRUE(read_png(png, w, h, ref.grid_x + 8 * 0 + 4, ref.grid_y + 8 * 3 + 4, lower));  // (4, 1)
  EXPECT_EQ(lower, kWhite);  // below the diagonal of a symmetric matrix: never stored
  EXPECT_GE(w, ref.canvas.width());
  EXPECT_EQ(corner, kWhite);
}

}  // namespace
}  // namespace tessera::tool
