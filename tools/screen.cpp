// See screen.h.
#include "screen.h"

#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace zodm::screen {

namespace {

constexpr std::size_t kCells = static_cast<std::size_t>(kWidth) * kHeight;

// Light yellow through orange and red to dark red: more refreshes, darker.
constexpr std::array<Rgb, 4> kScale{{{1.0, 237 / 255.0, 160 / 255.0},
                                     {254 / 255.0, 178 / 255.0, 76 / 255.0},
                                     {240 / 255.0, 59 / 255.0, 32 / 255.0},
                                     {128 / 255.0, 0.0, 38 / 255.0}}};

// The recent rectangles' outline colour; older ones are more transparent.
constexpr Rgb kOutline{0.0, 0.35, 1.0};
constexpr Rgb kInk{0.1, 0.1, 0.1};
constexpr Rgb kPaper{0.94, 0.94, 0.94};
constexpr double kFontSize = 15;
constexpr double kLineHeight = 21;

// Colour at t (0..1) along the scale, interpolated between its stops.
Rgb scaleAt(double t) {
  t = std::clamp(t, 0.0, 1.0) * (kScale.size() - 1);
  const auto stop = std::min(static_cast<std::size_t>(t), kScale.size() - 2);
  const double f = t - static_cast<double>(stop);
  const Rgb& a = kScale[stop];
  const Rgb& b = kScale[stop + 1];
  return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
}

// Position of count on the scale, 0 for 1 refresh and 1 for maxCount.
double scalePosition(double count, double maxCount) {
  return maxCount <= 1 ? 0.0 : std::log(count) / std::log(maxCount);
}

uint32_t packed(const Rgb& c) {
  const auto byte = [](double v) {
    return static_cast<uint32_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
  };
  return 0xff000000u | byte(c.r) << 16 | byte(c.g) << 8 | byte(c.b);
}

void setColour(cairo_t* cr, const Rgb& c, double alpha = 1.0) {
  cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

// Fills the display area with the heat map, one pixel per cell. The colours
// of all counts up to the largest are worked out once.
void drawHeatMap(cairo_surface_t* surface, const Screen& screen) {
  std::vector<uint32_t> colours(static_cast<std::size_t>(screen.maxCount()) +
                                1);
  for (std::size_t count = 0; count < colours.size(); ++count)
    colours[count] =
        packed(heatColour(static_cast<unsigned>(count), screen.maxCount()));
  cairo_surface_flush(surface);
  unsigned char* data = cairo_image_surface_get_data(surface);
  const auto stride =
      static_cast<std::size_t>(cairo_image_surface_get_stride(surface));
  for (int y = 0; y < kHeight; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(
        data + static_cast<std::size_t>(y + kOriginY) * stride);
    for (int x = 0; x < kWidth; ++x)
      row[x + kOriginX] = colours[screen.count(x, y)];
  }
  cairo_surface_mark_dirty(surface);
}

// Outlines the recent partial rectangles inside their own cells, oldest
// first so the newest lies on top, and labels each with its request number.
void drawRecent(cairo_t* cr, const Screen& screen) {
  const auto& recent = screen.recent();
  cairo_set_font_size(cr, 12);
  for (std::size_t i = 0; i < recent.size(); ++i) {
    const Rect& r = recent[i];
    const std::size_t age = recent.size() - 1 - i;  // 0: the newest
    const double alpha = recent.size() == 1
                             ? 1.0
                             : 1.0 - 0.75 * static_cast<double>(age) /
                                         static_cast<double>(recent.size() - 1);
    const double width = age == 0 ? 3 : 2;
    setColour(cr, kOutline, alpha);
    cairo_set_line_width(cr, width);
    cairo_rectangle(cr, kOriginX + r.x0 + width / 2,
                    kOriginY + r.y0 + width / 2, r.x1 - r.x0 + 1 - width,
                    r.y1 - r.y0 + 1 - width);
    cairo_stroke(cr);
    // The label stands on white, legible over any colour of the scale.
    // Appended rather than "#" + ..., which GCC 12 at -O3 wrongly flags.
    std::string label = "#";
    label += std::to_string(r.request);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, label.c_str(), &extents);
    const double lx = kOriginX + r.x0 + width + 1;
    const double ly = kOriginY + r.y0 + width + 1;
    cairo_set_source_rgba(cr, 1, 1, 1, alpha);
    cairo_rectangle(cr, lx, ly, extents.x_advance + 4, 15);
    cairo_fill(cr);
    setColour(cr, kOutline, alpha);
    cairo_move_to(cr, lx + 2, ly + 12);
    cairo_show_text(cr, label.c_str());
  }
}

// Writes text at (x, y) and moves y down one line.
void writeLine(cairo_t* cr, double x, double& y, const std::string& text) {
  cairo_move_to(cr, x, y);
  cairo_show_text(cr, text.c_str());
  y += kLineHeight;
}

// Writes a heading in bold at size, then returns to the normal font.
void writeHeading(cairo_t* cr, double x, double& y, const std::string& text,
                  double size = kFontSize) {
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                         CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, size);
  writeLine(cr, x, y, text);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                         CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, kFontSize);
}

// The counts the scale's ticks show: every one for a short scale, else 1,
// 2, 5, 10, 20, 50, ... below the largest, and the largest.
std::vector<unsigned> ticks(unsigned maxCount) {
  std::vector<unsigned> out;
  if (maxCount <= 6) {
    for (unsigned c = 1; c <= maxCount; ++c) out.push_back(c);
    return out;
  }
  for (unsigned decade = 1; decade < maxCount; decade *= 10)
    for (const unsigned step : {1U, 2U, 5U})
      if (decade * step < maxCount * 4 / 5) out.push_back(decade * step);
  out.push_back(maxCount);
  return out;
}

// The side panel: title, colour scale with ticks, outline legend, caption.
void drawPanel(cairo_t* cr, const Screen& screen) {
  const double left = kOriginX + kWidth + 24;
  double y = kOriginY + 20;
  setColour(cr, kInk);
  writeHeading(cr, left, y, "zodm-screen", 20);
  writeLine(cr, left, y,
            std::to_string(kWidth) + " x " + std::to_string(kHeight) +
                " cells, one pixel each");
  y += kLineHeight / 2;

  writeHeading(cr, left, y, "Refreshes per cell");
  // The scale: a bar from the most refreshes (top) down to 1, then a swatch
  // for cells never refreshed.
  const double barLeft = left, barWidth = 36, barTop = y - 8, barHeight = 300;
  const unsigned maxCount = std::max<unsigned>(screen.maxCount(), 1);
  for (int row = 0; row < static_cast<int>(barHeight); ++row) {
    setColour(cr, scaleAt(1.0 - row / (barHeight - 1)));
    cairo_rectangle(cr, barLeft, barTop + row, barWidth, 1);
    cairo_fill(cr);
  }
  setColour(cr, kNeverColour);
  const double swatchTop = barTop + barHeight + 14;
  cairo_rectangle(cr, barLeft, swatchTop, barWidth, 18);
  cairo_fill(cr);
  setColour(cr, kInk);
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, barLeft + 0.5, barTop + 0.5, barWidth - 1, barHeight - 1);
  cairo_rectangle(cr, barLeft + 0.5, swatchTop + 0.5, barWidth - 1, 17);
  cairo_stroke(cr);
  for (const unsigned tick : ticks(maxCount)) {
    const double ty =
        barTop + (1.0 - scalePosition(tick, maxCount)) * (barHeight - 1) + 0.5;
    cairo_move_to(cr, barLeft + barWidth, ty);
    cairo_line_to(cr, barLeft + barWidth + 6, ty);
    cairo_stroke(cr);
    cairo_move_to(cr, barLeft + barWidth + 10, ty + 5);
    cairo_show_text(cr, std::to_string(tick).c_str());
  }
  cairo_move_to(cr, barLeft + barWidth + 10, swatchTop + 14);
  cairo_show_text(cr, "0: never refreshed");
  y = swatchTop + 18 + 2 * kLineHeight;

  // Outline legend.
  writeHeading(
      cr, left, y,
      "Last " + std::to_string(screen.recentCapacity()) + " partial updates");
  for (const double alpha : {1.0, 0.25}) {
    setColour(cr, kOutline, alpha);
    cairo_set_line_width(cr, alpha == 1.0 ? 3 : 2);
    cairo_rectangle(cr, left + 1.5, y - 14, 33, 17);
    cairo_stroke(cr);
    setColour(cr, kInk);
    cairo_move_to(cr, left + 46, y);
    cairo_show_text(cr, alpha == 1.0 ? "newest, with its request number"
                                     : "oldest (fainter with age)");
    y += kLineHeight + 4;
  }
  y += kLineHeight / 2;

  writeHeading(cr, left, y, "Requests");
  for (const std::string& line : screen.caption()) writeLine(cr, left, y, line);
}

std::string joinCounts(const std::array<unsigned long long, 4>& counts) {
  std::string out;
  for (std::size_t level = 0; level < counts.size(); ++level) {
    if (level > 0) out += ", ";
    out += std::to_string(level) + ": " + std::to_string(counts[level]);
  }
  return out;
}

// Where cairo's PNG bytes go, and why writing them failed (0: it did not).
struct PngTarget {
  int fd;
  int error;
};

cairo_status_t writeBytes(void* closure, const unsigned char* data,
                          unsigned int length) {
  auto& target = *static_cast<PngTarget*>(closure);
  while (length > 0) {
    const ssize_t written = ::write(target.fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      target.error = written < 0 ? errno : EIO;
      return CAIRO_STATUS_WRITE_ERROR;
    }
    data += written;
    length -= static_cast<unsigned int>(written);
  }
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

Screen::Screen(std::size_t recent)
    : counts_(kCells, 0),
      kinds_(kCells, Kind::None),
      requests_(kCells, 0),
      recentCapacity_(std::min(recent, kMaxRecent)) {}

void Screen::refresh(int x0, int y0, int x1, int y1, Kind kind) {
  const unsigned long long request = tally_.accepted;
  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x) {
      const std::size_t i = index(x, y);
      if (counts_[i] < kMaxCount) ++counts_[i];
      maxCount_ = std::max(maxCount_, counts_[i]);
      kinds_[i] = kind;
      requests_[i] = request;
    }
}

void Screen::apply(const DmCommand& command) {
  ++tally_.accepted;
  const auto level = [](int32_t value) {
    return static_cast<std::size_t>(std::clamp(value, 0, DM_MAX_LEVEL));
  };
  switch (command.code) {
    case DM_CMD_DISPLAY:
      ++tally_.byCode[DM_CMD_DISPLAY];
      ++tally_.byPriority[level(command.priority)];
      ++tally_.byQuality[level(command.quality)];
      refresh(0, 0, DM_MAX_X, DM_MAX_Y, Kind::Full);
      break;
    case DM_CMD_DISPLAY_PARTIAL: {
      ++tally_.byCode[DM_CMD_DISPLAY_PARTIAL];
      ++tally_.byPriority[level(command.priority)];
      ++tally_.byQuality[level(command.quality)];
      const auto x = [](int32_t v) { return std::clamp(v, 0, DM_MAX_X); };
      const auto y = [](int32_t v) { return std::clamp(v, 0, DM_MAX_Y); };
      const Rect r{x(std::min(command.xUp, command.xDown)),
                   y(std::min(command.yUp, command.yDown)),
                   x(std::max(command.xUp, command.xDown)),
                   y(std::max(command.yUp, command.yDown)), tally_.accepted};
      refresh(r.x0, r.y0, r.x1, r.y1, Kind::Partial);
      if (recentCapacity_ > 0) {
        if (recent_.size() == recentCapacity_) recent_.pop_front();
        recent_.push_back(r);
      }
      break;
    }
    case DM_CMD_DUMP:
      ++tally_.byCode[DM_CMD_DUMP];
      break;
    case DM_CMD_ERASE_TO_WHITE:
      ++tally_.byCode[DM_CMD_ERASE_TO_WHITE];
      ++tally_.byPriority[level(command.priority)];
      refresh(0, 0, DM_MAX_X, DM_MAX_Y, Kind::Erase);
      break;
    default:
      break;
  }
}

std::vector<std::string> Screen::caption() const {
  const auto n = [](unsigned long long v) { return std::to_string(v); };
  return {
      "accepted " + n(tally_.accepted) + ", refused " + n(tally_.refused),
      "full updates " + n(tally_.byCode[DM_CMD_DISPLAY]) + ", partial " +
          n(tally_.byCode[DM_CMD_DISPLAY_PARTIAL]) + ", erases " +
          n(tally_.byCode[DM_CMD_ERASE_TO_WHITE]) + ", dumps " +
          n(tally_.byCode[DM_CMD_DUMP]),
      "by priority " + joinCounts(tally_.byPriority),
      "by quality " + joinCounts(tally_.byQuality),
      "most refreshed cell: " + n(maxCount_) + " times",
  };
}

Rgb heatColour(unsigned count, unsigned maxCount) {
  if (count == 0) return kNeverColour;
  return scaleAt(scalePosition(count, std::max(maxCount, count)));
}

Surface draw(const Screen& screen) {
  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, kPictureWidth,
                                             kPictureHeight));
  cairo_t* cr = cairo_create(surface.get());
  setColour(cr, kPaper);
  cairo_paint(cr);
  drawHeatMap(surface.get(), screen);
  // The display area's border, just outside its cells.
  setColour(cr, kInk);
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, kOriginX - 0.5, kOriginY - 0.5, kWidth + 1, kHeight + 1);
  cairo_stroke(cr);
  drawRecent(cr, screen);
  drawPanel(cr, screen);
  cairo_destroy(cr);
  cairo_surface_flush(surface.get());
  return surface;
}

std::string writePicture(const Screen& screen, const std::string& path) {
  std::string temporary = path + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  // mkostemp makes the file private; a picture is for anyone to look at.
  fchmod(fd, 0644);
  const Surface surface = draw(screen);
  PngTarget target{fd, 0};
  const cairo_status_t status =
      cairo_surface_write_to_png_stream(surface.get(), writeBytes, &target);
  if (::close(fd) != 0 && target.error == 0) target.error = errno;
  if (status != CAIRO_STATUS_SUCCESS || target.error != 0) {
    unlink(temporary.c_str());
    return target.error != 0 ? std::strerror(target.error)
                             : cairo_status_to_string(status);
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    return std::strerror(error);
  }
  return {};
}

void releaseStaticData() {
  cairo_debug_reset_static_data();
  FcFini();
}

}  // namespace zodm::screen
