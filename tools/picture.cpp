#include "picture.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "set_view.h"

namespace tessera::tool {

static_assert(sizeof(Rgb) == 3, "canvas rows are written to the PNG as they are");

Canvas::Canvas(int width, int height, Rgb background)
    : width_(width), height_(height),
      pixels_(static_cast<size_t>(width) * static_cast<size_t>(height), background) {}

Rgb Canvas::at(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return Rgb{};
  return pixels_[static_cast<size_t>(y) * width_ + x];
}

void Canvas::set(int x, int y, Rgb c) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  pixels_[static_cast<size_t>(y) * width_ + x] = c;
}

void Canvas::fill(int x, int y, int w, int h, Rgb c) {
  const int x0 = std::max(x, 0), y0 = std::max(y, 0);
  const int x1 = std::min(x + w, width_), y1 = std::min(y + h, height_);
  for (int yy = y0; yy < y1; ++yy)
    std::fill(pixels_.begin() + static_cast<ptrdiff_t>(yy) * width_ + x0,
              pixels_.begin() + static_cast<ptrdiff_t>(yy) * width_ + x1, c);
}

int Canvas::text_width(const std::string &s, int scale) {
  return s.empty() ? 0 : static_cast<int>(s.size()) * (kGlyphWidth + 1) * scale - scale;
}

void Canvas::text(int x, int y, const std::string &s, int scale, Rgb c) {
  for (unsigned char ch : s) {
    const char *const *glyph = kGlyphs[(ch >= 32 && ch <= 126 ? ch : '?') - 32];
    for (int row = 0; row < kGlyphRows; ++row)
      for (int col = 0; col < kGlyphWidth; ++col)
        if (glyph[row][col] == '#') fill(x + col * scale, y + row * scale, scale, scale, c);
    x += (kGlyphWidth + 1) * scale;
  }
}

namespace {

// libpng reports errors by longjmp, so nothing with a destructor lives in
// this frame.
bool png_out(FILE *f, int width, int height, const Rgb *pixels) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) {
    png_write_row(png, reinterpret_cast<png_const_bytep>(pixels + static_cast<size_t>(y) * width));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

void Canvas::write_png(const std::string &path) const {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) throw UserError(path + ": " + std::strerror(errno));
  const bool written = png_out(f, width_, height_, pixels_.data());
  if (std::fclose(f) != 0 || !written) {
    std::remove(path.c_str());
    throw UserError(path + ": the picture could not be written");
  }
}

Rgb scale_colour(double t) {
  // Dark blue through teal and green to yellow: lightness grows with t, so
  // the order of the colours reads without the scale, in grey too.
  static const Rgb stops[] = {{68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98},
                              {253, 231, 37}};
  constexpr int kStops = 5;
  if (!(t >= 0)) t = 0;
  if (t > 1) t = 1;
  const double at = t * (kStops - 1);
  const int i = std::min(static_cast<int>(at), kStops - 2);
  const double f = at - i;
  auto mix = [&](uint8_t a, uint8_t b) {
    return static_cast<uint8_t>(std::lround(a + (b - a) * f));
  };
  return Rgb{mix(stops[i].r, stops[i + 1].r), mix(stops[i].g, stops[i + 1].g),
             mix(stops[i].b, stops[i + 1].b)};
}

namespace {

constexpr Rgb kInk{30, 30, 30};
constexpr Rgb kFrame{60, 60, 60};
constexpr Rgb kHyperLine{150, 150, 150};
constexpr Rgb kZeroBlock{190, 190, 190};
constexpr int kScale = 2;        // font pixels of all text
constexpr int kMargin = 16;
constexpr int kLineGap = 8;
constexpr int kBarWidth = 18;
constexpr int kBarGap = 24;
constexpr int kMinBarHeight = 120;
constexpr int kTextHeight = kGlyphHeight * kScale;  // descenders reach into the gap below
constexpr int kLineHeight = kGlyphRows * kScale + kLineGap;

std::string tick_label(double exponent, bool decades) {
  char text[32];
  if (decades) {
    std::snprintf(text, sizeof text, "1e%d", static_cast<int>(std::lround(exponent)));
  } else {
    std::snprintf(text, sizeof text, "%.3g", std::pow(10.0, exponent));
  }
  return text;
}

}  // namespace

SpyPicture draw_spy(const SpyInput &in) {
  const int64_t rows = std::max<int32_t>(in.block_rows, 1), cols = std::max<int32_t>(in.block_cols, 1);
  const int64_t size = std::max(in.size, 16);
  const int64_t longest = std::max(rows, cols);
  // Pixels a block, or blocks a pixel when the grid is larger than the size.
  const int64_t ppb = longest <= size ? size / longest : 1;
  const int64_t bpp = longest <= size ? 1 : (longest + size - 1) / size;
  const int64_t cells_x = (cols + bpp - 1) / bpp, cells_y = (rows + bpp - 1) / bpp;
  const int gw = static_cast<int>(cells_x * ppb), gh = static_cast<int>(cells_y * ppb);

  // Per cell: the largest log10 magnitude of its stored blocks; stored
  // blocks of zeros only are -inf, cells without a stored block NaN.
  const double kEmpty = std::numeric_limits<double>::quiet_NaN();
  const double kZeros = -std::numeric_limits<double>::infinity();
  std::vector<double> cell(static_cast<size_t>(cells_x * cells_y), kEmpty);
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  bool zeros = false;
  for (const SpyBlock &b : in.blocks) {
    if (b.bi < 1 || b.bj < 1 || b.bi > rows || b.bj > cols) continue;
    const double v = b.largest > 0 && std::isfinite(b.largest) ? std::log10(b.largest) : kZeros;
    if (v == kZeros) {
      zeros = true;
    } else {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    double &c = cell[static_cast<size_t>((b.bi - 1) / bpp * cells_x + (b.bj - 1) / bpp)];
    if (std::isnan(c) || v > c) c = v;
  }
  const bool any = lo <= hi;

  int title_width = 0;
  for (const std::string &t : in.title) title_width = std::max(title_width, Canvas::text_width(t, kScale));
  const int gx = kMargin + 1;
  // Below the title, a line for the scale's caption, clear of the label of
  // the scale's top, which is centred on the grid's first row.
  const int caption_y = kMargin + static_cast<int>(in.title.size()) * kLineHeight + kLineGap;
  const int gy = caption_y + kLineHeight + kTextHeight / 2;
  const int bar_h = std::max(gh, kMinBarHeight);
  const int bx = gx + gw + 1 + kBarGap;
  const std::string caption = "largest |a|";
  int label_width = Canvas::text_width("1e-300", kScale);
  const int width = std::max({bx + kBarWidth + 8 + label_width + kMargin, kMargin + title_width + kMargin,
                              bx + Canvas::text_width(caption, kScale) + kMargin});
  const int legend = zeros ? kLineHeight + kLineGap : 0;
  const int height = gy + std::max(gh + 1, bar_h) + kLineHeight / 2 + legend + kMargin;
  Canvas canvas(width, height);

  int y = kMargin;
  for (const std::string &t : in.title) {
    canvas.text(kMargin, y, t, kScale, kInk);
    y += kLineHeight;
  }

  // The grid, its hyperblock boundaries and its frame.
  for (int64_t cy = 0; cy < cells_y; ++cy)
    for (int64_t cx = 0; cx < cells_x; ++cx) {
      const double v = cell[static_cast<size_t>(cy * cells_x + cx)];
      if (std::isnan(v)) continue;
      const Rgb c = v == kZeros ? kZeroBlock : scale_colour(hi > lo ? (v - lo) / (hi - lo) : 1.0);
      canvas.fill(gx + static_cast<int>(cx * ppb), gy + static_cast<int>(cy * ppb),
                  static_cast<int>(ppb), static_cast<int>(ppb), c);
    }
  const int64_t b1 = std::max<int32_t>(in.hyper_order, 1);
  const double hyper_px = static_cast<double>(b1) * ppb / bpp;
  if (hyper_px >= 4) {
    for (int64_t k = b1; k < cols; k += b1)
      canvas.fill(gx + static_cast<int>(k / bpp * ppb), gy, 1, gh, kHyperLine);
    for (int64_t k = b1; k < rows; k += b1)
      canvas.fill(gx, gy + static_cast<int>(k / bpp * ppb), gw, 1, kHyperLine);
  }
  canvas.fill(gx - 1, gy - 1, gw + 2, 1, kFrame);
  canvas.fill(gx - 1, gy + gh, gw + 2, 1, kFrame);
  canvas.fill(gx - 1, gy - 1, 1, gh + 2, kFrame);
  canvas.fill(gx + gw, gy - 1, 1, gh + 2, kFrame);

  // The scale: the top is the largest magnitude, the bottom the smallest.
  canvas.text(bx, caption_y, caption, kScale, kInk);
  if (any) {
    for (int yy = 0; yy < bar_h; ++yy) {
      const double t = bar_h > 1 ? 1.0 - static_cast<double>(yy) / (bar_h - 1) : 1.0;
      canvas.fill(bx, gy + yy, kBarWidth, 1, scale_colour(hi > lo ? t : 1.0));
    }
    auto tick = [&](double exponent, const std::string &label) {
      const double t = hi > lo ? (exponent - lo) / (hi - lo) : 1.0;
      const int ty = gy + static_cast<int>(std::lround((1.0 - t) * (bar_h - 1)));
      canvas.fill(bx + kBarWidth, ty, 5, 1, kInk);
      const int top = std::clamp(ty - kTextHeight / 2, gy - kTextHeight / 2, gy + bar_h - kTextHeight / 2);
      canvas.text(bx + kBarWidth + 8, top, label, kScale, kInk);
    };
    if (hi - lo >= 1) {
      // Whole decades, at most six of them labelled.
      const int first = static_cast<int>(std::ceil(lo - 1e-9)), last = static_cast<int>(std::floor(hi + 1e-9));
      const int step = std::max(1, (last - first) / 5 + ((last - first) % 5 != 0 ? 1 : 0));
      for (int e = last; e >= first; e -= step) tick(e, tick_label(e, true));
    } else {
      tick(hi, tick_label(hi, false));
      if (hi > lo) tick(lo, tick_label(lo, false));
    }
  } else {
    canvas.fill(bx, gy, kBarWidth, bar_h, Rgb{235, 235, 235});
    canvas.text(bx + kBarWidth + 8, gy, "none", kScale, kInk);
  }
  canvas.fill(bx - 1, gy - 1, kBarWidth + 2, 1, kFrame);
  canvas.fill(bx - 1, gy + bar_h, kBarWidth + 2, 1, kFrame);
  canvas.fill(bx - 1, gy - 1, 1, bar_h + 2, kFrame);
  canvas.fill(bx + kBarWidth, gy - 1, 1, bar_h + 2, kFrame);
  if (zeros) {
    const int ly = gy + std::max(gh + 1, bar_h) + kLineGap * 2;
    canvas.fill(gx, ly, kTextHeight, kTextHeight, kZeroBlock);
    canvas.text(gx + kTextHeight + 8, ly, "stored, all zero", kScale, kInk);
  }
  return SpyPicture{std::move(canvas), gx, gy, static_cast<int>(ppb), static_cast<int>(bpp)};
}

double largest_magnitude(const void *data, int64_t count, int32_t t, int32_t k) {
  const bool vector = t == 3 || (t >= 7 && t <= 10) || t == 12;
  const int64_t n = count * (vector ? std::max(k, 1) : 1);
  double best = 0;
  auto keep = [&](double v) {
    if (v > best) best = v;
  };
  const auto *bytes = static_cast<const unsigned char *>(data);
  for (int64_t i = 0; i < n; ++i) {
    switch (t) {
      case 1: case 3: case 11: case 12: {
        int32_t v;
        std::memcpy(&v, bytes + 4 * i, 4);
        keep(std::fabs(static_cast<double>(v)));
        break;
      }
      case 2: case 7: {
        float v;
        std::memcpy(&v, bytes + 4 * i, 4);
        keep(std::fabs(v));
        break;
      }
      case 4: case 8: {
        double v;
        std::memcpy(&v, bytes + 8 * i, 8);
        keep(std::fabs(v));
        break;
      }
      case 5: case 9: {
        float v[2];
        std::memcpy(v, bytes + 8 * i, 8);
        keep(std::hypot(v[0], v[1]));
        break;
      }
      default: {
        double v[2];
        std::memcpy(v, bytes + 16 * i, 16);
        keep(std::hypot(v[0], v[1]));
        break;
      }
    }
  }
  return best;
}

}  // namespace tessera::tool
