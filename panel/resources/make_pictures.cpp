// Draws the panel's pictures and writes them as Windows BMP files into the
// directory given on the command line: the lamp strip, the application icon
// in its two sizes and the logo (and the icon at the desktop's other sizes,
// for the package). The build runs it and embeds the results, so the
// pictures live in the repository as this program, not as binaries.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Rgb {
  uint8_t r, g, b;
};

// The standard 16-colour palette in its usual order.
enum Colour : uint8_t {
  Black,
  DarkRed,
  DarkGreen,
  DarkYellow,
  DarkBlue,
  DarkMagenta,
  DarkCyan,
  LightGrey,
  DarkGrey,
  Red,
  Green,
  Yellow,
  Blue,
  Magenta,
  Cyan,
  White,
};

constexpr std::array<Rgb, 16> kPalette = {{
    {0, 0, 0},
    {128, 0, 0},
    {0, 128, 0},
    {128, 128, 0},
    {0, 0, 128},
    {128, 0, 128},
    {0, 128, 128},
    {192, 192, 192},
    {128, 128, 128},
    {255, 0, 0},
    {0, 255, 0},
    {255, 255, 0},
    {0, 0, 255},
    {255, 0, 255},
    {0, 255, 255},
    {255, 255, 255},
}};

// Magenta marks pixels the panel draws as transparent.
constexpr Colour kKey = Magenta;

// A picture is a grid of palette indexes (16-colour files) or of RGB
// triples (24-bit files); both are written by the same BMP writer.
template <typename Pixel> class Picture {
public:
  Picture(int width, int height, Pixel fill)
      : m_width(width), m_height(height), m_pixels(size_t(width) * size_t(height), fill) {}
  int Width() const { return m_width; }
  int Height() const { return m_height; }
  Pixel At(int x, int y) const { return m_pixels[Index(x, y)]; }
  void Set(int x, int y, Pixel p) {
    if (x >= 0 && y >= 0 && x < m_width && y < m_height) m_pixels[Index(x, y)] = p;
  }

private:
  size_t Index(int x, int y) const { return size_t(y) * size_t(m_width) + size_t(x); }
  int m_width;
  int m_height;
  std::vector<Pixel> m_pixels;
};

using IndexedPicture = Picture<Colour>;
using RgbPicture = Picture<Rgb>;

void PutLe16(std::vector<uint8_t> &out, uint32_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}

void PutLe32(std::vector<uint8_t> &out, uint32_t v) {
  PutLe16(out, v & 0xFFFFu);
  PutLe16(out, v >> 16);
}

// File header, BITMAPINFOHEADER and (for 4 bits per pixel) the palette,
// followed by the rows bottom-up, each padded to a multiple of four bytes.
std::vector<uint8_t> BmpHeader(int width, int height, int bitsPerPixel, size_t rowBytes) {
  const uint32_t paletteBytes = bitsPerPixel == 4 ? 16 * 4 : 0;
  const uint32_t dataOffset = 14 + 40 + paletteBytes;
  const uint32_t imageBytes = uint32_t(rowBytes) * uint32_t(height);
  std::vector<uint8_t> out;
  out.push_back('B');
  out.push_back('M');
  PutLe32(out, dataOffset + imageBytes);
  PutLe32(out, 0);
  PutLe32(out, dataOffset);
  PutLe32(out, 40);
  PutLe32(out, uint32_t(width));
  PutLe32(out, uint32_t(height)); // positive: bottom-up
  PutLe16(out, 1);
  PutLe16(out, uint32_t(bitsPerPixel));
  PutLe32(out, 0); // uncompressed
  PutLe32(out, imageBytes);
  PutLe32(out, 2835); // 72 dots per inch
  PutLe32(out, 2835);
  PutLe32(out, bitsPerPixel == 4 ? 16 : 0);
  PutLe32(out, 0);
  if (bitsPerPixel == 4) {
    for (const Rgb &c : kPalette) {
      out.push_back(c.b);
      out.push_back(c.g);
      out.push_back(c.r);
      out.push_back(0);
    }
  }
  return out;
}

size_t PaddedRow(size_t bytes) { return (bytes + 3) / 4 * 4; }

std::vector<uint8_t> Encode(const IndexedPicture &pic) {
  const size_t rowBytes = PaddedRow((size_t(pic.Width()) + 1) / 2);
  std::vector<uint8_t> out = BmpHeader(pic.Width(), pic.Height(), 4, rowBytes);
  for (int y = pic.Height() - 1; y >= 0; --y) {
    std::vector<uint8_t> row(rowBytes, 0);
    for (int x = 0; x < pic.Width(); ++x) {
      // The left pixel of each pair sits in the high nibble.
      row[size_t(x) / 2] |= uint8_t(x % 2 == 0 ? pic.At(x, y) << 4 : pic.At(x, y));
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

std::vector<uint8_t> Encode(const RgbPicture &pic) {
  const size_t rowBytes = PaddedRow(size_t(pic.Width()) * 3);
  std::vector<uint8_t> out = BmpHeader(pic.Width(), pic.Height(), 24, rowBytes);
  for (int y = pic.Height() - 1; y >= 0; --y) {
    std::vector<uint8_t> row(rowBytes, 0);
    for (int x = 0; x < pic.Width(); ++x) {
      const Rgb c = pic.At(x, y);
      row[size_t(x) * 3] = c.b;
      row[size_t(x) * 3 + 1] = c.g;
      row[size_t(x) * 3 + 2] = c.r;
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

bool WriteFile(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && written;
}

// ---- Lamp strip: 3 columns (bright, dark, grey) by 8 rows of 16 x 16 cells.

constexpr int kCell = 16;
constexpr int kStripColumns = 3;
constexpr int kStripRows = 8;
constexpr int kLampCentre = 7; // shapes span pixels 2..12 of a cell

constexpr std::array<std::array<Colour, 2>, 4> kLampColours = {{
    {Red, DarkRed},
    {Green, DarkGreen},
    {Yellow, DarkYellow},
    {Blue, DarkBlue},
}};

// A sunken round lamp: a disc 7 pixels across with a highlight, a light grey
// ring, and an outer edge shadowed at the top left and lit at the bottom right.
Colour RoundLampPixel(int dx, int dy, Colour lamp) {
  const int ex = dx - kLampCentre;
  const int ey = dy - kLampCentre;
  const int d2 = ex * ex + ey * ey;
  if (d2 <= 10) {
    const bool highlight = (dx == 5 && dy == 5) || (dx == 6 && dy == 5) || (dx == 5 && dy == 6);
    return highlight ? White : lamp;
  }
  if (d2 <= 20) return LightGrey;
  if (d2 <= 32) {
    const int side = ex + ey;
    return side < 0 ? DarkGrey : side > 0 ? White : LightGrey;
  }
  return kKey;
}

// A raised square lamp: a 7 x 7 square in a light grey ring, lit along the
// top and left edge, shadowed along the bottom and right edge.
Colour SquareLampPixel(int dx, int dy, Colour lamp) {
  auto within = [&](int lo, int hi) { return dx >= lo && dx <= hi && dy >= lo && dy <= hi; };
  if (within(4, 10)) return lamp;
  if (within(3, 11)) return LightGrey;
  if (within(2, 12)) return (dx == 12 || dy == 12) ? DarkGrey : White;
  return kKey;
}

IndexedPicture LampStrip() {
  IndexedPicture pic(kStripColumns * kCell, kStripRows * kCell, kKey);
  for (int row = 0; row < kStripRows; ++row) {
    const bool round = row < 4;
    for (int column = 0; column < kStripColumns; ++column) {
      const auto &shades = kLampColours[size_t(row % 4)];
      const Colour lamp = column < 2 ? shades[size_t(column)] : DarkGrey;
      for (int dy = 0; dy < kCell; ++dy) {
        for (int dx = 0; dx < kCell; ++dx) {
          const Colour c = round ? RoundLampPixel(dx, dy, lamp) : SquareLampPixel(dx, dy, lamp);
          pic.Set(column * kCell + dx, row * kCell + dy, c);
        }
      }
    }
  }
  return pic;
}

// ---- The wheel: the application icon and the mark in the logo.

constexpr double kPi = 3.14159265358979323846;

// A wheel seen from the side: a treaded tyre, a light grey rim, five blue
// spokes and a red hub with a highlight, on the key colour. The geometry is
// given for a 32-pixel picture and scaled to the requested size.
Colour WheelPixel(int x, int y, int size) {
  const double scale = size / 32.0;
  const double c = (size - 1) / 2.0;
  const double ex = x - c;
  const double ey = y - c;
  const double r = std::sqrt(ex * ex + ey * ey) / scale;
  if (r > 15.6) return kKey;
  if (r > 11.6) {
    if (r <= 13.6) return Black;
    // Sixteen tread blocks around the outside of the tyre.
    const double turn = (std::atan2(ey, ex) + kPi) / (2 * kPi);
    return int(turn * 16) % 2 == 0 ? Black : DarkGrey;
  }
  if (r > 9.8) return LightGrey;
  if (r <= 2.4) return (ex < 0 && ey < 0 && r > 0.9) ? Yellow : Red;
  if (r <= 3.4) return DarkRed;
  const double halfWidth = size >= 32 ? 1.1 * scale : 0.6;
  for (int k = 0; k < 5; ++k) {
    const double angle = -kPi / 2 + k * 2 * kPi / 5;
    const double along = ex * std::cos(angle) + ey * std::sin(angle);
    const double across = std::fabs(ex * std::sin(angle) - ey * std::cos(angle));
    if (along > 0 && across <= halfWidth) return DarkBlue;
  }
  return White;
}

IndexedPicture Wheel(int size) {
  IndexedPicture pic(size, size, kKey);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x)
      pic.Set(x, y, WheelPixel(x, y, size));
  }
  return pic;
}

// ---- The logo: the wheel beside the name, in block letters of our own.

struct Glyph {
  char letter;
  std::array<std::string_view, 7> rows;
};

constexpr std::array<Glyph, 7> kLargeFont = {{
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'K', {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
}};

struct SmallGlyph {
  char letter;
  std::array<std::string_view, 5> rows; // all rows of a glyph are equally wide
};

constexpr std::array<SmallGlyph, 10> kSmallFont = {{
    {'R', {"##.", "#.#", "##.", "#.#", "#.#"}},
    {'O', {".#.", "#.#", "#.#", "#.#", ".#."}},
    {'B', {"##.", "#.#", "##.", "#.#", "##."}},
    {'T', {"###", ".#.", ".#.", ".#.", ".#."}},
    {'P', {"##.", "#.#", "##.", "#..", "#.."}},
    {'A', {".#.", "#.#", "###", "#.#", "#.#"}},
    {'N', {"#..#", "##.#", "#.##", "#..#", "#..#"}},
    {'E', {"###", "#..", "##.", "#..", "###"}},
    {'L', {"#..", "#..", "#..", "#..", "###"}},
    {' ', {"...", "...", "...", "...", "..."}},
}};

constexpr int kLogoWidth = 198;
constexpr int kLogoHeight = 44;
constexpr Rgb kLogoBackground = {255, 255, 255};

void FillBlock(RgbPicture &pic, int x, int y, int size, Rgb colour) {
  for (int dy = 0; dy < size; ++dy) {
    for (int dx = 0; dx < size; ++dx)
      pic.Set(x + dx, y + dy, colour);
  }
}

// Each headline row gets its own shade, from deep blue at the top to teal.
Rgb HeadlineShade(int row) {
  const double t = row / 6.0;
  return {uint8_t(20 * (1 - t)), uint8_t(40 + 80 * t), uint8_t(120 + 20 * t)};
}

RgbPicture Logo() {
  RgbPicture pic(kLogoWidth, kLogoHeight, kLogoBackground);

  constexpr int kWheelSize = 36;
  constexpr int kWheelX = 11;
  constexpr int kWheelY = (kLogoHeight - kWheelSize) / 2;
  for (int y = 0; y < kWheelSize; ++y) {
    for (int x = 0; x < kWheelSize; ++x) {
      const Colour c = WheelPixel(x, y, kWheelSize);
      if (c != kKey) {
        const Rgb rgb = kPalette[c];
        pic.Set(kWheelX + x, kWheelY + y, rgb);
      }
    }
  }

  constexpr int kBlock = 3;
  constexpr int kLetterGap = 4;
  constexpr int kTextX = kWheelX + kWheelSize + 10;
  constexpr int kTextY = 7;
  constexpr Rgb kShadow = {192, 192, 192};
  // Shadow first, so the letters overlap it.
  for (int pass = 0; pass < 2; ++pass) {
    int x = kTextX;
    for (const Glyph &g : kLargeFont) {
      for (int row = 0; row < 7; ++row) {
        for (int col = 0; col < 5; ++col) {
          if (g.rows[size_t(row)][size_t(col)] != '#') continue;
          const int px = x + col * kBlock + (pass == 0 ? 1 : 0);
          const int py = kTextY + row * kBlock + (pass == 0 ? 1 : 0);
          FillBlock(pic, px, py, kBlock, pass == 0 ? kShadow : HeadlineShade(row));
        }
      }
      x += 5 * kBlock + kLetterGap;
    }
  }

  // A letter-spaced subtitle centred under the headline.
  constexpr std::string_view kSubtitle = "ROBOT PANEL";
  constexpr int kSmallGap = 3;
  auto smallGlyph = [](char letter) -> const SmallGlyph & {
    for (const SmallGlyph &g : kSmallFont) {
      if (g.letter == letter) return g;
    }
    return kSmallFont.back();
  };
  int subtitleWidth = -kSmallGap;
  for (char letter : kSubtitle)
    subtitleWidth += int(smallGlyph(letter).rows[0].size()) + kSmallGap;
  constexpr int kHeadlineWidth = 7 * 5 * kBlock + 6 * kLetterGap;
  const int subtitleX = kTextX + (kHeadlineWidth - subtitleWidth) / 2;
  constexpr int kSubtitleY = kTextY + 7 * kBlock + 5;
  constexpr Rgb kSubtitleColour = {96, 96, 96};
  int x = subtitleX;
  for (char letter : kSubtitle) {
    const SmallGlyph &g = smallGlyph(letter);
    const int width = int(g.rows[0].size());
    for (int row = 0; row < 5; ++row) {
      for (int col = 0; col < width; ++col) {
        if (g.rows[size_t(row)][size_t(col)] == '#')
          pic.Set(x + col, kSubtitleY + row, kSubtitleColour);
      }
    }
    x += width + kSmallGap;
  }
  return pic;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "/";
  bool ok = WriteFile(dir + "lamp_strip.bmp", Encode(LampStrip())) &&
            WriteFile(dir + "icon_32.bmp", Encode(Wheel(32))) &&
            WriteFile(dir + "icon_16.bmp", Encode(Wheel(16))) &&
            WriteFile(dir + "logo.bmp", Encode(Logo()));
  // The desktop icons, at the sizes of the hicolor icon theme.
  for (int size : {22, 24, 48, 64, 128, 256})
    ok = ok && WriteFile(dir + "icon_" + std::to_string(size) + ".bmp", Encode(Wheel(size)));
  if (!ok) {
    std::fprintf(stderr, "%s: cannot write the pictures into %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
