// SPDX-License-Identifier: MIT
// What recording with pixels costs: an hour of a reading session, made up
// here the same way in every run, with each accepted refresh's rectangle
// encoded as a recording stores it (zlib, then base64), beside memcpy of the
// same pixels in the same run. The hour:
//   - a page turn every 20 s: a full update of a page of text (180);
//   - a menu opened every 4 minutes and closed 10 s later: partial updates
//     of its 600 x 400 box, the menu, then the page under it again (30);
//   - 5 minutes of typing at 3 keys a second: partial updates of a 40 x 60
//     key, pressed (inverted) and released (1800).
// Each benchmark's iteration is one hour: its CPU time is the CPU time per
// recorded hour; the counters say how many bytes the hour's texts take and
// how many pixels they hold. Reading the framebuffer (copyGray of the whole
// area from each format) is measured beside memcpy of as many bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "framebufferDevice.h"
#include "pixelCodec.h"

namespace {

using Pixels = std::vector<uint8_t>;
constexpr int kWidth = zodm::tools::kMaxPixelsWidth;
constexpr int kHeight = zodm::tools::kMaxPixelsHeight;

// The same numbers in every run, whatever the C library: a linear
// congruential generator.
struct Random {
  uint32_t state;
  uint32_t next(uint32_t range) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % range;
  }
};

std::size_t at(int x, int y, int width) {
  return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
         static_cast<std::size_t>(x);
}

// A glyph: 2 to 4 strokes in a cell of 11 x 18, drawn with soft edges (a
// pixel's gray grows with its distance from the nearest stroke), as an
// e-reader's antialiased text is.
constexpr int kGlyphWidth = 11;
constexpr int kGlyphHeight = 18;
using Glyph = Pixels;

Glyph makeGlyph(Random& random) {
  struct Stroke {
    float x0, y0, x1, y1;
  };
  static constexpr Stroke kStrokes[] = {
      {2, 3, 2, 15}, {8, 3, 8, 15},  {5, 3, 5, 15}, {2, 3, 8, 3},
      {2, 9, 8, 9},  {2, 15, 8, 15}, {2, 15, 8, 3}, {2, 3, 8, 15},
  };
  Stroke chosen[4];
  const uint32_t count = 2 + random.next(3);
  for (uint32_t i = 0; i < count; ++i) chosen[i] = kStrokes[random.next(8)];
  Glyph glyph(at(0, kGlyphHeight, kGlyphWidth));
  for (int y = 0; y < kGlyphHeight; ++y) {
    for (int x = 0; x < kGlyphWidth; ++x) {
      float nearest = 1e9f;
      for (uint32_t i = 0; i < count; ++i) {
        const Stroke& s = chosen[i];
        const float dx = s.x1 - s.x0, dy = s.y1 - s.y0;
        float t = ((static_cast<float>(x) - s.x0) * dx +
                   (static_cast<float>(y) - s.y0) * dy) /
                  (dx * dx + dy * dy);
        t = t < 0 ? 0 : t > 1 ? 1 : t;
        const float ex = static_cast<float>(x) - (s.x0 + t * dx);
        const float ey = static_cast<float>(y) - (s.y0 + t * dy);
        nearest = std::min(nearest, ex * ex + ey * ey);
      }
      // Ink within a pixel of a stroke, white from two away, gray between.
      const float d = std::sqrt(nearest);
      const float gray = d <= 0.7f ? 0.f : d >= 1.7f ? 255.f : (d - 0.7f) * 255;
      glyph[at(x, y, kGlyphWidth)] = static_cast<uint8_t>(gray);
    }
  }
  return glyph;
}

const std::vector<Glyph>& font() {
  static const std::vector<Glyph> glyphs = [] {
    Random random{99};
    std::vector<Glyph> out;
    for (int i = 0; i < 60; ++i) out.push_back(makeGlyph(random));
    return out;
  }();
  return glyphs;
}

// Glyph g at (x, y) of the page, darkest wins.
void drawGlyph(Pixels& page, int width, const Glyph& g, int x, int y) {
  for (int gy = 0; gy < kGlyphHeight; ++gy)
    for (int gx = 0; gx < kGlyphWidth; ++gx) {
      uint8_t& p = page[at(x + gx, y + gy, width)];
      p = std::min(p, g[at(gx, gy, kGlyphWidth)]);
    }
}

// A page of a book: a running head, paragraphs of justified-looking lines of
// words (the last line of each short), a page number.
Pixels makePage(uint32_t seed) {
  Pixels page(at(0, kHeight, kWidth), 255);
  Random random{seed};
  const auto& glyphs = font();
  const auto word = [&](int x, int y, int letters) {
    for (int i = 0; i < letters; ++i, x += kGlyphWidth - 1)
      drawGlyph(page, kWidth, glyphs[random.next(60)], x, y);
    return x;
  };
  word(kWidth / 2 - 40, 24, 8);  // running head
  int lineInParagraph = 0;
  int paragraphLines = 3 + static_cast<int>(random.next(8));
  for (int y = 70; y + kGlyphHeight < kHeight - 60; y += 30) {
    const bool last = ++lineInParagraph == paragraphLines;
    const int end = last ? 200 + static_cast<int>(random.next(400)) : 730;
    int x = lineInParagraph == 1 ? 70 : 40;  // indented first lines
    while (x < end - 60)
      x = word(x, y, 2 + static_cast<int>(random.next(8))) + 8;
    if (last) {
      lineInParagraph = 0;
      paragraphLines = 3 + static_cast<int>(random.next(8));
    }
  }
  word(kWidth / 2 - 15, kHeight - 40, 3);  // page number
  return page;
}

struct Rect {
  int x0, y0, width, height;
};

// The pixels of r in page (kWidth wide), row after row.
Pixels cut(const Pixels& page, const Rect& r) {
  Pixels out;
  for (int y = r.y0; y < r.y0 + r.height; ++y)
    out.insert(out.end(), page.begin() + static_cast<long>(at(r.x0, y, kWidth)),
               page.begin() + static_cast<long>(at(r.x0 + r.width, y, kWidth)));
  return out;
}

// A menu: a box with a black border and eight items, the second inverted.
Pixels makeMenu(const Rect& r) {
  Pixels menu(at(0, r.height, r.width), 255);
  for (int y = 0; y < r.height; ++y)
    for (int x = 0; x < r.width; ++x)
      if (x < 3 || y < 3 || x >= r.width - 3 || y >= r.height - 3)
        menu[at(x, y, r.width)] = 0;
  Random random{5};
  for (int item = 0; item < 8; ++item) {
    const int top = 20 + item * 46;
    if (item == 1)
      for (int y = top - 8; y < top + kGlyphHeight + 8; ++y)
        std::memset(&menu[at(10, y, r.width)], 0,
                    static_cast<std::size_t>(r.width - 20));
    for (int i = 0, x = 30; i < 12; ++i, x += kGlyphWidth - 1)
      drawGlyph(menu, r.width, font()[random.next(60)], x, top);
  }
  return menu;
}

// A key of 40 x 60: light gray with a darker edge and its letter; pressed,
// inverted.
Pixels makeKey(int letter, bool pressed) {
  Pixels key(at(0, 60, 40), 230);
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 40; ++x)
      if (x < 2 || y < 2 || x >= 38 || y >= 58) key[at(x, y, 40)] = 120;
  drawGlyph(key, 40, font()[static_cast<std::size_t>(letter)], 15, 21);
  if (pressed)
    for (auto& p : key) p = static_cast<uint8_t>(255 - p);
  return key;
}

// One refresh of the hour: its rectangle's pixels as the recorder read them.
struct Refresh {
  const Pixels* pixels;
  int width, height;
};

struct Session {
  std::vector<Pixels> images;  // every distinct rectangle
  std::vector<Refresh> refreshes;
  std::size_t pixels = 0;
};

const Session& hour() {
  static const Session session = [] {
    constexpr int kPages = 8;
    const Rect menu{84, 300, 600, 400};
    Session s;
    s.images.reserve(kPages * 2 + 1 + 26 * 2);
    for (int i = 0; i < kPages; ++i)
      s.images.push_back(makePage(1000u + static_cast<uint32_t>(i)));
    for (int i = 0; i < kPages; ++i)
      s.images.push_back(cut(s.images[static_cast<std::size_t>(i)], menu));
    s.images.push_back(makeMenu(menu));
    for (int letter = 0; letter < 26; ++letter)
      for (const bool pressed : {true, false})
        s.images.push_back(makeKey(letter, pressed));
    const auto add = [&s](std::size_t image, int width, int height) {
      s.refreshes.push_back({&s.images[image], width, height});
      s.pixels += at(0, height, width);
    };
    Random random{77};
    int page = 0;
    // In tenths of a second, so that keys 3 a second fall on whole ticks.
    for (int tick = 0; tick < 36000; ++tick) {
      if (tick % 200 == 0)
        add(static_cast<std::size_t>(page = (page + 1) % kPages), kWidth,
            kHeight);
      if (tick % 2400 == 1200) add(2 * kPages, menu.width, menu.height);
      if (tick % 2400 == 1300)
        add(static_cast<std::size_t>(kPages + page), menu.width, menu.height);
      const bool typing = tick >= 18000 && tick < 21000;
      if (typing && tick % 10 < 3) {  // press, then release
        const std::size_t key = 2 * kPages + 1 + 2 * random.next(26);
        add(key, 40, 60);
        add(key + 1, 40, 60);
      }
    }
    return s;
  }();
  return session;
}

void setHourCounters(benchmark::State& state, std::size_t bytes) {
  const Session& s = hour();
  state.counters["bytes_per_hour"] = static_cast<double>(bytes);
  state.counters["pixels_per_hour"] = static_cast<double>(s.pixels);
  state.counters["refreshes_per_hour"] =
      static_cast<double>(s.refreshes.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(s.pixels));
}

// The hour's rectangles encoded at the zlib level given: 1, what the
// recorder uses, and 6, zlib's default. (Level 9 saves another 6% of 6's
// bytes in 7 times its time.)
void BM_RecordHour(benchmark::State& state) {
  const Session& s = hour();
  const int level = static_cast<int>(state.range(0));
  std::size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (const Refresh& r : s.refreshes) {
      const std::string text =
          zodm::tools::encodePixels(r.pixels->data(), r.width, r.height, level);
      if (text.empty()) state.SkipWithError("encodePixels failed");
      bytes += text.size();
    }
  }
  setHourCounters(state, bytes);
}
BENCHMARK(BM_RecordHour)->Arg(1)->Arg(6)->Unit(benchmark::kMillisecond);

// The baseline: the same pixels copied as they are.
void BM_RecordHourMemcpy(benchmark::State& state) {
  const Session& s = hour();
  Pixels copy(at(0, kHeight, kWidth));
  for (auto _ : state) {
    for (const Refresh& r : s.refreshes) {
      std::memcpy(copy.data(), r.pixels->data(), r.pixels->size());
      benchmark::DoNotOptimize(copy.data());
      benchmark::ClobberMemory();
    }
  }
  setHourCounters(state, s.pixels);
}
BENCHMARK(BM_RecordHourMemcpy)->Unit(benchmark::kMillisecond);

// What a replay of the hour pays to get the pixels back.
void BM_ReplayHour(benchmark::State& state) {
  const Session& s = hour();
  std::vector<std::string> texts;
  std::size_t bytes = 0;
  for (const Refresh& r : s.refreshes) {
    texts.push_back(
        zodm::tools::encodePixels(r.pixels->data(), r.width, r.height));
    bytes += texts.back().size();
  }
  Pixels out(at(0, kHeight, kWidth));
  for (auto _ : state) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const Refresh& r = s.refreshes[i];
      if (!zodm::tools::decodePixels(texts[i], r.width, r.height, out.data())
               .empty())
        state.SkipWithError("decodePixels failed");
    }
  }
  setHourCounters(state, bytes);
}
BENCHMARK(BM_ReplayHour)->Unit(benchmark::kMillisecond);

// The whole area read as gray from a device's memory of each format (rows
// of 800 pixels, the area at (0, 1024) of a buffer twice as high), against
// memcpy of the area's bytes.
void BM_ReadArea(benchmark::State& state) {
  using zodm::tools::PixelFormat;
  const auto format = static_cast<PixelFormat>(state.range(0));
  const uint32_t size = format == PixelFormat::kGray8    ? 1
                        : format == PixelFormat::kRgb565 ? 2
                                                         : 4;
  const zodm::tools::Layout layout{kWidth, kHeight, 800 * size,
                                   0,      1024,    format};
  Pixels memory(static_cast<std::size_t>(layout.lineLength) * 2048);
  Random random{3};
  for (auto& b : memory) b = static_cast<uint8_t>(random.next(256));
  Pixels out(at(0, kHeight, kWidth));
  for (auto _ : state) {
    zodm::tools::copyGray(layout, memory.data(), memory.size(),
                          {0, 0, kWidth - 1, kHeight - 1}, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(out.size()));
}
BENCHMARK(BM_ReadArea)
    ->ArgName("format")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMicrosecond);

void BM_ReadAreaMemcpy(benchmark::State& state) {
  const Pixels memory(at(0, kHeight, kWidth), 128);
  Pixels out(memory.size());
  for (auto _ : state) {
    std::memcpy(out.data(), memory.data(), memory.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(out.size()));
}
BENCHMARK(BM_ReadAreaMemcpy)->Unit(benchmark::kMicrosecond);

}  // namespace
