// Pictures the tessera program draws: an RGB canvas with rectangles, lines
// and text in the embedded bitmap font, written as PNG through libpng; and
// the spy picture of a matrix's block structure drawn on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessera::tool {

// Glyph rows of the font (font.cpp): character c is kGlyphs[c - 32]; the
// baseline is under row kGlyphHeight, descenders take the rows below it.
inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 7;
inline constexpr int kGlyphRows = 9;
extern const char *const kGlyphs[95][kGlyphRows];

struct Rgb {
  uint8_t r = 255, g = 255, b = 255;
  bool operator==(const Rgb &o) const { return r == o.r && g == o.g && b == o.b; }
};

class Canvas {
 public:
  Canvas(int width, int height, Rgb background = Rgb{});
  int width() const { return width_; }
  int height() const { return height_; }
  Rgb at(int x, int y) const;
  void set(int x, int y, Rgb c);  // outside the canvas: nothing
  void fill(int x, int y, int w, int h, Rgb c);
  // Text in the font, `scale` pixels a font pixel, one pixel between
  // characters; characters outside the font draw as '?'.
  void text(int x, int y, const std::string &s, int scale, Rgb c);
  static int text_width(const std::string &s, int scale);
  // Write as an 8-bit RGB PNG; a failure is a UserError naming the file.
  void write_png(const std::string &path) const;

 private:
  int width_, height_;
  std::vector<Rgb> pixels_;
};

// What a spy picture shows: the block grid of a matrix, the stored blocks
// with the largest magnitude of each, the hyperblock order, and the lines
// of text written above the grid.
struct SpyBlock {
  int32_t bi = 0, bj = 0;  // 1-based
  double largest = 0;      // largest magnitude of the block's elements
};
struct SpyInput {
  std::vector<std::string> title;
  int32_t block_rows = 0, block_cols = 0;
  int32_t hyper_order = 1;
  std::vector<SpyBlock> blocks;
  int size = 512;  // the grid fits a square of this many pixels
};

// The picture and where its grid lies: block (bi, bj) is the cell of
// ppb x ppb pixels at (grid_x + (bj - 1) / bpp * ppb, grid_y + (bi - 1) /
// bpp * ppb), bpp blocks a pixel side when the grid is larger than the size.
struct SpyPicture {
  Canvas canvas;
  int grid_x = 0, grid_y = 0;
  int pixels_per_block = 1, blocks_per_pixel = 1;
};

// One cell per block (several blocks a pixel when the grid is larger than
// the size), white where no block is stored, colour by log10 of the block's
// largest magnitude, stored blocks of zeros in grey; hyperblock boundaries,
// a colour scale and the title.
SpyPicture draw_spy(const SpyInput &in);

// Colour of position t in [0, 1] of the scale (dark blue to yellow).
Rgb scale_colour(double t);

// Largest magnitude of `count` elements of type t with k items at `data`
// (integers and reals by absolute value, complex numbers by modulus, every
// item of a vector element).
double largest_magnitude(const void *data, int64_t count, int32_t t, int32_t k);

}  // namespace tessera::tool
