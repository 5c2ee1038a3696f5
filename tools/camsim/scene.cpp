#include "tools/camsim/scene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <span>
#include <string_view>

namespace kestrel::camsim {

namespace {

// The world is measured in units of which the home view shows 4 x 3 (x right, y down), so round
// things stay round at 4:3 sizes. The world is as large as the view can travel.
constexpr double kViewWidth = 4.0;
constexpr double kViewHeight = 3.0;
constexpr double kPanStep = kViewWidth / kStepsPerView;
constexpr double kTiltStep = kViewHeight / kStepsPerView;
constexpr double kWorldLeft = -kMaxPan * kPanStep;
constexpr double kWorldTop = -kMaxTilt * kTiltStep;

constexpr double kHorizon = 1.6;
// Grid cells of the test-card overlay, labelled A.. from the left and 1.. from the top.
constexpr double kCellWidth = 2.0;
constexpr double kCellHeight = 1.5;

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
};

Rgb mix(Rgb a, Rgb b, double t) {
    const auto lerp = [t](std::uint8_t x, std::uint8_t y) {
        return static_cast<std::uint8_t>(std::lround(x + (y - x) * t));
    };
    return {lerp(a.r, b.r), lerp(a.g, b.g), lerp(a.b, b.b)};
}

Rgb shade(Rgb c, double factor) {
    const auto one = [factor](std::uint8_t x) {
        return static_cast<std::uint8_t>(std::clamp(std::lround(x * factor), 0L, 255L));
    };
    return {one(c.r), one(c.g), one(c.b)};
}

// ---- A tiny 5x7 font: digits, a few signs and capitals. Each row's low five bits, MSB left.

struct Glyph {
    char ch;
    std::array<std::uint8_t, 7> rows;
};

constexpr std::array<Glyph, 45> kGlyphs{{
    {'0', {0b01110, 0b10001, 0b10011, 0b10101, 0b11001, 0b10001, 0b01110}},
    {'1', {0b00100, 0b01100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'2', {0b01110, 0b10001, 0b00001, 0b00010, 0b00100, 0b01000, 0b11111}},
    {'3', {0b11111, 0b00010, 0b00100, 0b00010, 0b00001, 0b10001, 0b01110}},
    {'4', {0b00010, 0b00110, 0b01010, 0b10010, 0b11111, 0b00010, 0b00010}},
    {'5', {0b11111, 0b10000, 0b11110, 0b00001, 0b00001, 0b10001, 0b01110}},
    {'6', {0b00110, 0b01000, 0b10000, 0b11110, 0b10001, 0b10001, 0b01110}},
    {'7', {0b11111, 0b00001, 0b00010, 0b00100, 0b01000, 0b01000, 0b01000}},
    {'8', {0b01110, 0b10001, 0b10001, 0b01110, 0b10001, 0b10001, 0b01110}},
    {'9', {0b01110, 0b10001, 0b10001, 0b01111, 0b00001, 0b00010, 0b01100}},
    {':', {0b00000, 0b01100, 0b01100, 0b00000, 0b01100, 0b01100, 0b00000}},
    {'-', {0b00000, 0b00000, 0b00000, 0b11111, 0b00000, 0b00000, 0b00000}},
    {'+', {0b00000, 0b00100, 0b00100, 0b11111, 0b00100, 0b00100, 0b00000}},
    {'.', {0b00000, 0b00000, 0b00000, 0b00000, 0b00000, 0b01100, 0b01100}},
    {'#', {0b01010, 0b01010, 0b11111, 0b01010, 0b11111, 0b01010, 0b01010}},
    {'/', {0b00001, 0b00010, 0b00010, 0b00100, 0b01000, 0b01000, 0b10000}},
    {' ', {0, 0, 0, 0, 0, 0, 0}},
    {'A', {0b01110, 0b10001, 0b10001, 0b11111, 0b10001, 0b10001, 0b10001}},
    {'B', {0b11110, 0b10001, 0b10001, 0b11110, 0b10001, 0b10001, 0b11110}},
    {'C', {0b01110, 0b10001, 0b10000, 0b10000, 0b10000, 0b10001, 0b01110}},
    {'D', {0b11100, 0b10010, 0b10001, 0b10001, 0b10001, 0b10010, 0b11100}},
    {'E', {0b11111, 0b10000, 0b10000, 0b11110, 0b10000, 0b10000, 0b11111}},
    {'F', {0b11111, 0b10000, 0b10000, 0b11110, 0b10000, 0b10000, 0b10000}},
    {'G', {0b01110, 0b10001, 0b10000, 0b10111, 0b10001, 0b10001, 0b01111}},
    {'H', {0b10001, 0b10001, 0b10001, 0b11111, 0b10001, 0b10001, 0b10001}},
    {'I', {0b01110, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'J', {0b00111, 0b00010, 0b00010, 0b00010, 0b00010, 0b10010, 0b01100}},
    {'K', {0b10001, 0b10010, 0b10100, 0b11000, 0b10100, 0b10010, 0b10001}},
    {'L', {0b10000, 0b10000, 0b10000, 0b10000, 0b10000, 0b10000, 0b11111}},
    {'M', {0b10001, 0b11011, 0b10101, 0b10101, 0b10001, 0b10001, 0b10001}},
    {'N', {0b10001, 0b10001, 0b11001, 0b10101, 0b10011, 0b10001, 0b10001}},
    {'O', {0b01110, 0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01110}},
    {'P', {0b11110, 0b10001, 0b10001, 0b11110, 0b10000, 0b10000, 0b10000}},
    {'Q', {0b01110, 0b10001, 0b10001, 0b10001, 0b10101, 0b10010, 0b01101}},
    {'R', {0b11110, 0b10001, 0b10001, 0b11110, 0b10100, 0b10010, 0b10001}},
    {'S', {0b01111, 0b10000, 0b10000, 0b01110, 0b00001, 0b00001, 0b11110}},
    {'T', {0b11111, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100}},
    {'U', {0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01110}},
    {'V', {0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01010, 0b00100}},
    {'W', {0b10001, 0b10001, 0b10001, 0b10101, 0b10101, 0b10101, 0b01010}},
    {'X', {0b10001, 0b10001, 0b01010, 0b00100, 0b01010, 0b10001, 0b10001}},
    {'Y', {0b10001, 0b10001, 0b10001, 0b01010, 0b00100, 0b00100, 0b00100}},
    {'Z', {0b11111, 0b00001, 0b00010, 0b00100, 0b01000, 0b10000, 0b11111}},
    {'%', {0b11001, 0b11001, 0b00010, 0b00100, 0b01000, 0b10011, 0b10011}},
    {'?', {0b01110, 0b10001, 0b00001, 0b00010, 0b00100, 0b00000, 0b00100}},
}};

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr int kGlyphAdvance = 6;

const Glyph& glyphFor(char ch) {
    if (ch >= 'a' && ch <= 'z') {
        ch = static_cast<char>(ch - 'a' + 'A');
    }
    for (const Glyph& glyph : kGlyphs) {
        if (glyph.ch == ch) {
            return glyph;
        }
    }
    return kGlyphs[kGlyphs.size() - 1];  // '?'
}

int textWidth(std::string_view s, int scale) {
    return static_cast<int>(s.size()) * kGlyphAdvance * scale - scale;
}

// ---- Drawing on the picture, everything clipped to it. Coordinates are pixels, with pixel
// (x, y) covering [x, x+1) x [y, y+1); a shape covers the pixels whose centres it contains.

class Canvas {
public:
    explicit Canvas(RgbImage& image) : image_(image) {}

    int width() const { return image_.width; }
    int height() const { return image_.height; }

    std::span<std::uint8_t> row(int y) {
        return std::span(image_.pixels)
            .subspan(static_cast<std::size_t>(y) * static_cast<std::size_t>(image_.width) * 3,
                     static_cast<std::size_t>(image_.width) * 3);
    }

    void put(int x, int y, Rgb c) {
        if (x < 0 || y < 0 || x >= image_.width || y >= image_.height) {
            return;
        }
        const auto at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(image_.width) +
                         static_cast<std::size_t>(x)) *
                        3;
        image_.pixels[at] = c.r;
        image_.pixels[at + 1] = c.g;
        image_.pixels[at + 2] = c.b;
    }

    // Fills the pixels of row y whose centres lie in [x0, x1]; alpha 1 paints over, less blends.
    void span(int y, double x0, double x1, Rgb c, double alpha = 1.0) {
        if (y < 0 || y >= image_.height) {
            return;
        }
        const int first = std::max(0, static_cast<int>(std::ceil(x0 - 0.5)));
        const int last = std::min(image_.width - 1, static_cast<int>(std::floor(x1 - 0.5)));
        auto pixels = row(y);
        for (int x = first; x <= last; ++x) {
            const auto at = static_cast<std::size_t>(x) * 3;
            if (alpha >= 1.0) {
                pixels[at] = c.r;
                pixels[at + 1] = c.g;
                pixels[at + 2] = c.b;
            } else {
                const Rgb blended = mix({pixels[at], pixels[at + 1], pixels[at + 2]}, c, alpha);
                pixels[at] = blended.r;
                pixels[at + 1] = blended.g;
                pixels[at + 2] = blended.b;
            }
        }
    }

    void rect(double x0, double y0, double x1, double y1, Rgb c, double alpha = 1.0) {
        const int first = std::max(0, static_cast<int>(std::ceil(y0 - 0.5)));
        const int last = std::min(image_.height - 1, static_cast<int>(std::floor(y1 - 0.5)));
        for (int y = first; y <= last; ++y) {
            span(y, x0, x1, c, alpha);
        }
    }

    void ellipse(double cx, double cy, double rx, double ry, Rgb c, double alpha = 1.0) {
        if (rx <= 0 || ry <= 0) {
            return;
        }
        const int first = std::max(0, static_cast<int>(std::ceil(cy - ry - 0.5)));
        const int last = std::min(image_.height - 1, static_cast<int>(std::floor(cy + ry - 0.5)));
        for (int y = first; y <= last; ++y) {
            const double t = (y + 0.5 - cy) / ry;
            if (t * t <= 1.0) {
                const double half = rx * std::sqrt(1.0 - t * t);
                span(y, cx - half, cx + half, c, alpha);
            }
        }
    }

    // A triangle with its apex at (cx, top) and its base from x0 to x1 at bottom.
    void gable(double cx, double top, double x0, double x1, double bottom, Rgb c) {
        const int first = std::max(0, static_cast<int>(std::ceil(top - 0.5)));
        const int last = std::min(image_.height - 1, static_cast<int>(std::floor(bottom - 0.5)));
        for (int y = first; y <= last; ++y) {
            const double t = (y + 0.5 - top) / (bottom - top);
            span(y, cx + (x0 - cx) * t, cx + (x1 - cx) * t, c);
        }
    }

    // Text with its top-left at (x, y), each font dot scale x scale pixels.
    void text(int x, int y, int scale, std::string_view s, Rgb c) {
        for (char ch : s) {
            const Glyph& glyph = glyphFor(ch);
            for (int gy = 0; gy < kGlyphHeight; ++gy) {
                const auto bits = glyph.rows[static_cast<std::size_t>(gy)];
                for (int gx = 0; gx < kGlyphWidth; ++gx) {
                    if ((bits >> (kGlyphWidth - 1 - gx)) & 1) {
                        for (int dy = 0; dy < scale; ++dy) {
                            for (int dx = 0; dx < scale; ++dx) {
                                put(x + gx * scale + dx, y + gy * scale + dy, c);
                            }
                        }
                    }
                }
            }
            x += kGlyphAdvance * scale;
        }
    }

    // Light text on a dark translucent plate, readable on any background.
    void plate(int x, int y, int scale, std::string_view s, Rgb c) {
        rect(x - scale, y - scale, x + textWidth(s, scale) + scale, y + (kGlyphHeight + 1) * scale,
             Rgb{0, 0, 0}, 0.55);
        text(x, y, scale, s, c);
    }

    // Light text with a dark shadow.
    void label(int x, int y, int scale, std::string_view s, Rgb c) {
        text(x + scale, y + scale, scale, s, Rgb{0, 0, 0});
        text(x, y, scale, s, c);
    }

private:
    RgbImage& image_;
};

// Maps world units to pixels for the current view.
struct Projection {
    double left = 0;
    double top = 0;
    double xScale = 1;  // pixels per world unit
    double yScale = 1;

    double x(double wx) const { return (wx - left) * xScale; }
    double y(double wy) const { return (wy - top) * yScale; }
    double worldX(int px) const { return left + (px + 0.5) / xScale; }
    double worldY(int py) const { return top + (py + 0.5) / yScale; }
};

// Height of the mountain ridge above the horizon at world x.
double ridge(double wx) {
    return 0.55 + 0.3 * std::sin(0.9 * wx) + 0.15 * std::sin(2.3 * wx + 1.0) +
           0.06 * std::sin(7.1 * wx + 2.0);
}

// The sky, mountains and fields: everything that fills the picture before objects are drawn.
void drawBackground(Canvas& canvas, const Projection& p) {
    constexpr Rgb kSkyHigh{28, 58, 138};
    constexpr Rgb kSkyLow{172, 202, 236};
    constexpr Rgb kRock{92, 100, 122};
    constexpr Rgb kSnow{236, 238, 244};
    constexpr std::array<Rgb, 6> kFields{{{92, 148, 60},
                                          {126, 170, 72},
                                          {188, 176, 84},
                                          {70, 124, 52},
                                          {150, 120, 76},
                                          {108, 160, 96}}};
    constexpr double kFieldWidth = 1.25;
    constexpr double kFieldDepth = 0.6;

    const int w = canvas.width();
    std::vector<double> ridgeTop(static_cast<std::size_t>(w));
    std::vector<int> fieldColumn(static_cast<std::size_t>(w));
    std::vector<Rgb> rock(static_cast<std::size_t>(w));
    for (int x = 0; x < w; ++x) {
        const double wx = p.worldX(x);
        const auto i = static_cast<std::size_t>(x);
        ridgeTop[i] = kHorizon - ridge(wx);
        fieldColumn[i] = static_cast<int>(std::floor(wx / kFieldWidth));
        // Lit from the left: slopes rising to the right are lighter.
        const double slope = (ridge(wx + 0.01) - ridge(wx - 0.01)) / 0.02;
        rock[i] = shade(kRock, 0.9 + 0.2 * std::clamp(slope, -1.0, 1.0));
    }

    for (int y = 0; y < canvas.height(); ++y) {
        const double wy = p.worldY(y);
        auto pixels = canvas.row(y);
        const auto paint = [&pixels](int x, Rgb c) {
            const auto at = static_cast<std::size_t>(x) * 3;
            pixels[at] = c.r;
            pixels[at + 1] = c.g;
            pixels[at + 2] = c.b;
        };
        if (wy < kHorizon) {
            const double t = std::clamp((wy - kWorldTop) / (kHorizon - kWorldTop), 0.0, 1.0);
            const Rgb sky = mix(kSkyHigh, kSkyLow, t * t);
            for (int x = 0; x < w; ++x) {
                const auto i = static_cast<std::size_t>(x);
                if (wy < ridgeTop[i]) {
                    paint(x, sky);
                } else if (wy < ridgeTop[i] + 0.07 && kHorizon - ridgeTop[i] > 0.75) {
                    paint(x, kSnow);
                } else {
                    paint(x, rock[i]);
                }
            }
        } else {
            // Fields look lighter nearer the camera.
            const double depth = wy - kHorizon;
            const double light = 0.8 + 0.25 * std::min(1.0, depth / 4.0);
            const int fieldRow = static_cast<int>(std::floor(depth / kFieldDepth));
            std::array<Rgb, kFields.size()> lit;
            for (std::size_t k = 0; k < kFields.size(); ++k) {
                lit[k] = shade(kFields[k], light);
            }
            for (int x = 0; x < w; ++x) {
                const auto col = static_cast<unsigned>(fieldColumn[static_cast<std::size_t>(x)]);
                const unsigned hash =
                    (col * 2654435761u) ^ (static_cast<unsigned>(fieldRow) * 40503u);
                paint(x, lit[(hash >> 7) % lit.size()]);
            }
        }
    }
}

void drawTree(Canvas& canvas, const Projection& p, double wx, double baseY, double size) {
    canvas.rect(p.x(wx - 0.04 * size), p.y(baseY - 0.35 * size), p.x(wx + 0.04 * size), p.y(baseY),
                Rgb{96, 64, 36});
    canvas.ellipse(p.x(wx), p.y(baseY - 0.45 * size), 0.2 * size * p.xScale, 0.25 * size * p.yScale,
                   Rgb{38, 96, 40});
}

void drawHouse(Canvas& canvas, const Projection& p, double left, double baseY) {
    const double right = left + 0.8;
    const double eaves = baseY - 0.45;
    canvas.rect(p.x(left), p.y(eaves), p.x(right), p.y(baseY), Rgb{226, 210, 170});
    canvas.gable(p.x(left + 0.4), p.y(eaves - 0.35), p.x(left - 0.08), p.x(right + 0.08),
                 p.y(eaves), Rgb{170, 48, 36});
    canvas.rect(p.x(left + 0.1), p.y(baseY - 0.3), p.x(left + 0.28), p.y(baseY), Rgb{100, 62, 40});
    canvas.rect(p.x(left + 0.45), p.y(eaves + 0.1), p.x(left + 0.68), p.y(eaves + 0.28),
                Rgb{120, 170, 210});
}

// A board with colour bars over a grey ramp, lying on the ground below the home view.
void drawTestCard(Canvas& canvas, const Projection& p, double left, double top) {
    constexpr double kWidth = 3.5;
    constexpr double kBars = 1.0;
    constexpr double kRamp = 0.4;
    constexpr double kBorder = 0.08;
    constexpr std::array<Rgb, 7> kColours{{{235, 235, 235},
                                           {235, 235, 16},
                                           {16, 235, 235},
                                           {16, 235, 16},
                                           {235, 16, 235},
                                           {235, 16, 16},
                                           {16, 16, 235}}};
    canvas.rect(p.x(left - kBorder), p.y(top - kBorder), p.x(left + kWidth + kBorder),
                p.y(top + kBars + kRamp + kBorder), Rgb{20, 20, 20});
    const double bar = kWidth / kColours.size();
    for (std::size_t i = 0; i < kColours.size(); ++i) {
        const double x = left + static_cast<double>(i) * bar;
        canvas.rect(p.x(x), p.y(top), p.x(x + bar), p.y(top + kBars), kColours[i]);
    }
    constexpr int kSteps = 8;
    for (int i = 0; i < kSteps; ++i) {
        const double x = left + i * kWidth / kSteps;
        const auto grey = static_cast<std::uint8_t>(16 + i * 219 / (kSteps - 1));
        canvas.rect(p.x(x), p.y(top + kBars), p.x(x + kWidth / kSteps), p.y(top + kBars + kRamp),
                    Rgb{grey, grey, grey});
    }
}

// Fixed landmarks, so that every part of the world looks different.
void drawLandmarks(Canvas& canvas, const Projection& p) {
    // Sun, top right of the home view.
    canvas.ellipse(p.x(3.1), p.y(0.45), 0.42 * p.xScale, 0.42 * p.yScale, Rgb{255, 236, 150});
    canvas.ellipse(p.x(3.1), p.y(0.45), 0.3 * p.xScale, 0.3 * p.yScale, Rgb{255, 248, 210});
    // A lake far left, a road across the whole world with a dashed middle line.
    canvas.ellipse(p.x(-4.5), p.y(3.9), 2.4 * p.xScale, 0.8 * p.yScale, Rgb{56, 104, 164});
    canvas.ellipse(p.x(-4.9), p.y(3.7), 1.2 * p.xScale, 0.2 * p.yScale, Rgb{110, 156, 200});
    canvas.rect(p.x(kWorldLeft), p.y(2.45), p.x(-kWorldLeft + kViewWidth), p.y(2.7),
                Rgb{84, 84, 88});
    for (double x = kWorldLeft; x < -kWorldLeft + kViewWidth; x += 0.5) {
        canvas.rect(p.x(x), p.y(2.56), p.x(x + 0.25), p.y(2.59), Rgb{230, 230, 220});
    }
    drawHouse(canvas, p, 0.5, 2.35);
    drawHouse(canvas, p, 7.2, 2.2);
    drawTree(canvas, p, 1.7, 2.35, 1.0);
    drawTree(canvas, p, 2.05, 2.3, 0.8);
    drawTree(canvas, p, -1.5, 2.2, 1.2);
    drawTree(canvas, p, 5.3, 2.35, 1.1);
    drawTree(canvas, p, 9.6, 2.3, 0.9);
    // Red and white striped tower on the far right, a tall landmark for tilting.
    for (int i = 0; i < 8; ++i) {
        const double top = 2.3 - 0.4 * (i + 1);
        canvas.rect(p.x(10.6), p.y(top), p.x(10.9), p.y(top + 0.4),
                    i % 2 == 0 ? Rgb{210, 40, 36} : Rgb{245, 245, 245});
    }
    drawTestCard(canvas, p, 0.0, 4.0);
    // A chequered square far below right.
    for (int row = 0; row < 6; ++row) {
        for (int col = 0; col < 6; ++col) {
            const double x = 6.5 + col * 0.4;
            const double y = 4.0 + row * 0.3;
            canvas.rect(p.x(x), p.y(y), p.x(x + 0.4), p.y(y + 0.3),
                        (row + col) % 2 == 0 ? Rgb{235, 235, 235} : Rgb{30, 30, 30});
        }
    }
}

// Drifting clouds and a bouncing ball: the picture changes every frame.
void drawMotion(Canvas& canvas, const Projection& p, double seconds) {
    constexpr double kWorldWidth = 2 * -kWorldLeft + kViewWidth;
    constexpr std::array<std::array<double, 3>, 6> kClouds{{{0.5, 0.3, 1.0},
                                                            {4.0, -0.6, 1.4},
                                                            {-5.0, 0.1, 1.2},
                                                            {9.0, -1.8, 1.6},
                                                            {-2.0, -2.4, 1.1},
                                                            {6.5, 0.7, 0.8}}};
    for (const auto& [startX, y, size] : kClouds) {
        const double travelled = std::fmod(startX - kWorldLeft + 0.12 * seconds, kWorldWidth);
        const double x = kWorldLeft + travelled;
        const Rgb white{242, 244, 248};
        canvas.ellipse(p.x(x), p.y(y), 0.5 * size * p.xScale, 0.16 * size * p.yScale, white);
        canvas.ellipse(p.x(x - 0.2 * size), p.y(y - 0.1 * size), 0.25 * size * p.xScale,
                       0.15 * size * p.yScale, white);
        canvas.ellipse(p.x(x + 0.15 * size), p.y(y - 0.14 * size), 0.22 * size * p.xScale,
                       0.18 * size * p.yScale, white);
    }

    // A striped hot-air balloon high above, rising and sinking slowly.
    const double bx = 1.6 + 0.3 * std::sin(seconds * 0.21);
    const double by = -1.6 + 0.35 * std::sin(seconds * 0.5);
    canvas.rect(p.x(bx - 0.12), p.y(by + 0.62), p.x(bx + 0.12), p.y(by + 0.8), Rgb{120, 80, 40});
    canvas.ellipse(p.x(bx), p.y(by), 0.5 * p.xScale, 0.6 * p.yScale, Rgb{240, 200, 40});
    canvas.ellipse(p.x(bx), p.y(by), 0.3 * p.xScale, 0.6 * p.yScale, Rgb{220, 60, 50});
    canvas.ellipse(p.x(bx), p.y(by), 0.1 * p.xScale, 0.6 * p.yScale, Rgb{240, 200, 40});

    // The ball rolls to and fro across the home view while bouncing.
    constexpr double kRadius = 0.17;
    constexpr double kFloor = 2.95;
    const double phase = std::fmod(seconds / 6.0, 2.0);
    const double x = 0.4 + 3.2 * (phase < 1.0 ? phase : 2.0 - phase);
    const double height = 0.9 * std::abs(std::sin(std::numbers::pi * seconds / 1.3));
    const double y = kFloor - kRadius - height;
    canvas.ellipse(p.x(x), p.y(kFloor), kRadius * (1.0 - 0.4 * height) * p.xScale, 0.05 * p.yScale,
                   Rgb{40, 60, 30}, 0.6);
    canvas.ellipse(p.x(x), p.y(y), kRadius * p.xScale, kRadius * p.yScale, Rgb{214, 36, 40});
    canvas.ellipse(p.x(x - 0.05), p.y(y - 0.05), 0.05 * p.xScale, 0.05 * p.yScale,
                   Rgb{255, 190, 180});
}

// Thin lines every cell with the cell's name in its top-left corner.
void drawGrid(Canvas& canvas, const Projection& p, int scale) {
    const Rgb line{255, 255, 255};
    const double thickness = std::max(1.0, scale / 2.0);
    const double viewRight = p.left + kViewWidth;
    const double viewBottom = p.top + kViewHeight;
    for (int col = 0; kWorldLeft + col * kCellWidth <= viewRight; ++col) {
        const double wx = kWorldLeft + col * kCellWidth;
        if (wx + kCellWidth < p.left) {
            continue;
        }
        canvas.rect(p.x(wx), 0, p.x(wx) + thickness, canvas.height(), line, 0.45);
    }
    for (int row = 0; kWorldTop + row * kCellHeight <= viewBottom; ++row) {
        const double wy = kWorldTop + row * kCellHeight;
        if (wy + kCellHeight < p.top) {
            continue;
        }
        canvas.rect(0, p.y(wy), canvas.width(), p.y(wy) + thickness, line, 0.45);
        for (int col = 0; kWorldLeft + col * kCellWidth <= viewRight; ++col) {
            const double wx = kWorldLeft + col * kCellWidth;
            if (wx + kCellWidth < p.left) {
                continue;
            }
            const std::array<char, 3> name{static_cast<char>('A' + col),
                                           static_cast<char>('1' + row), '\0'};
            // Set in from the corner, clear of the on-screen text at the home view's corners.
            canvas.label(static_cast<int>(std::floor(p.x(wx + 0.2))),
                         static_cast<int>(std::floor(p.y(wy + 0.3))), scale,
                         std::string_view(name.data(), 2), Rgb{255, 255, 255});
        }
    }
}

// Brightness as a gain: a tenth of normal at 0, normal at half, nearly double at the maximum.
void applyBrightness(RgbImage& image, std::uint32_t brightness, std::uint32_t maxBrightness) {
    if (maxBrightness == 0) {
        return;
    }
    const double level = static_cast<double>(std::min(brightness, maxBrightness)) / maxBrightness;
    const double gain = 0.1 + 1.8 * level;
    if (std::abs(gain - 1.0) < 1e-9) {
        return;
    }
    std::array<std::uint8_t, 256> table{};
    for (std::size_t v = 0; v < table.size(); ++v) {
        table[v] =
            static_cast<std::uint8_t>(std::min(255L, std::lround(static_cast<double>(v) * gain)));
    }
    for (auto& v : image.pixels) {
        v = table[v];
    }
}

std::string signedSteps(int steps) {
    return (steps < 0 ? "-" : "+") + std::to_string(std::abs(steps));
}

// On-screen display: not part of the scene, so brightness leaves it readable.
void drawOverlay(Canvas& canvas, const ViewState& view, int scale) {
    const int margin = 3 * scale;
    const Rgb text{255, 255, 255};
    canvas.plate(margin, margin, scale, view.clock, text);
    const std::string frame = "#" + std::to_string(view.frameNumber);
    canvas.plate(margin, canvas.height() - margin - kGlyphHeight * scale, scale, frame, text);
    const std::string position = "P" + signedSteps(view.pan) + " T" + signedSteps(view.tilt);
    canvas.plate(canvas.width() - margin - textWidth(position, scale) - scale,
                 canvas.height() - margin - kGlyphHeight * scale, scale, position, text);

    // The status lamp, top right: a lit green lamp, or a dark red one when off.
    const double radius = 5.0 * scale;
    const double cx = canvas.width() - margin - radius;
    const double cy = margin + radius;
    canvas.ellipse(cx, cy, radius + scale, radius + scale, Rgb{20, 20, 20});
    if (view.lightOn) {
        canvas.ellipse(cx, cy, radius, radius, Rgb{40, 230, 70});
        canvas.ellipse(cx - radius / 3, cy - radius / 3, radius / 3, radius / 3,
                       Rgb{200, 255, 210});
    } else {
        canvas.ellipse(cx, cy, radius, radius, Rgb{110, 20, 20});
    }
}

}  // namespace

bool moveView(ViewState& view, int direction) {
    switch (direction) {
        case kMoveUp:
            view.tilt = std::max(view.tilt - 1, -kMaxTilt);
            return true;
        case kMoveDown:
            view.tilt = std::min(view.tilt + 1, kMaxTilt);
            return true;
        case kMoveLeft:
            view.pan = std::max(view.pan - 1, -kMaxPan);
            return true;
        case kMoveRight:
            view.pan = std::min(view.pan + 1, kMaxPan);
            return true;
        default:
            return false;
    }
}

void resetView(ViewState& view) {
    view.pan = 0;
    view.tilt = 0;
}

void renderScene(const ViewState& view, RgbImage& out) {
    if (out.width < 1 || out.height < 1) {
        out.pixels.clear();
        return;
    }
    out.pixels.resize(static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height) *
                      3);
    Canvas canvas(out);
    const int pan = std::clamp(view.pan, -kMaxPan, kMaxPan);
    const int tilt = std::clamp(view.tilt, -kMaxTilt, kMaxTilt);
    const Projection p{pan * kPanStep, tilt * kTiltStep, out.width / kViewWidth,
                       out.height / kViewHeight};
    // Text and lines grow with the picture: one font dot per pixel at 160 x 120.
    const int scale = std::max(1, std::min(out.width / 160, out.height / 120));

    drawBackground(canvas, p);
    drawLandmarks(canvas, p);
    drawMotion(canvas, p, view.seconds);
    drawGrid(canvas, p, scale);
    applyBrightness(out, view.brightness, view.maxBrightness);
    drawOverlay(canvas, view, scale);
}

}  // namespace kestrel::camsim
