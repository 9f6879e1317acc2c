// SPDX-License-Identifier: MIT
// See heatMapPicture.h.
#include "heatMapPicture.h"

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

// The recent rectangles' outline colour; older ones are more transparent.
constexpr Rgb kOutline{0.0, 0.35, 1.0};
constexpr Rgb kInk{0.1, 0.1, 0.1};
constexpr Rgb kPaper{0.94, 0.94, 0.94};
constexpr double kFontSize = 15;
constexpr double kLineHeight = 21;

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
void drawHeatMap(cairo_surface_t* surface, const HeatMap& heatMap) {
  std::vector<uint32_t> colours(static_cast<std::size_t>(heatMap.maxCount()) +
                                1);
  for (std::size_t count = 0; count < colours.size(); ++count)
    colours[count] =
        packed(heatColour(static_cast<unsigned>(count), heatMap.maxCount()));
  cairo_surface_flush(surface);
  unsigned char* data = cairo_image_surface_get_data(surface);
  const auto stride =
      static_cast<std::size_t>(cairo_image_surface_get_stride(surface));
  for (int y = 0; y < kHeight; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(
        data + static_cast<std::size_t>(y + kOriginY) * stride);
    for (int x = 0; x < kWidth; ++x)
      row[x + kOriginX] = colours[heatMap.count(x, y)];
  }
  cairo_surface_mark_dirty(surface);
}

// A label's height on the picture, and the room between a label and its
// rectangle's outline.
constexpr double kLabelHeight = 15;
constexpr double kLabelInset = 1;

bool apart(const LabelBox& a, const LabelBox& b) {
  return a.x + a.width <= b.x || b.x + b.width <= a.x ||
         a.y + a.height <= b.y || b.y + b.height <= a.y;
}

// The places a label of width w may take for rectangle r, in the order
// they are tried (see placeLabels).
std::vector<LabelBox> candidates(const Rect& r, double w, double h) {
  const double x = kOriginX + r.x0 + 3 + kLabelInset;
  const double y = kOriginY + r.y0 + 3 + kLabelInset;
  const double bottom = kOriginY + kHeight;
  const double right = kOriginX + r.x1 + 1 - 3;
  std::vector<LabelBox> out{{x, y, w, h}};  // the corner, however small
  for (double down = y + h + 1; down + h <= kOriginY + r.y1 + 1 - 3;
       down += h + 1)
    out.push_back({x, down, w, h});
  for (double across = x + w + 2; across + w <= right; across += w + 2)
    out.push_back({across, y, w, h});
  for (double down = std::max(y, kOriginY + r.y1 + 1.0); down + h <= bottom;
       down += h + 1)
    out.push_back({x, down, w, h});
  return out;
}

}  // namespace

std::vector<LabelBox> placeLabels(const std::vector<Rect>& rects,
                                  const std::vector<double>& widths,
                                  double height) {
  std::vector<LabelBox> placed(rects.size());
  std::vector<LabelBox> taken;
  for (std::size_t i = rects.size(); i-- > 0;) {
    const std::vector<LabelBox> tries = candidates(rects[i], widths[i], height);
    const auto free =
        std::find_if(tries.begin(), tries.end(), [&](const LabelBox& box) {
          return std::all_of(taken.begin(), taken.end(),
                             [&](const LabelBox& t) { return apart(box, t); });
        });
    placed[i] = free != tries.end()
                    ? *free
                    : LabelBox{kOriginX + rects[i].x0 + 4.0,
                               kOriginY + rects[i].y0 + 4.0, widths[i], height};
    taken.push_back(placed[i]);
  }
  return placed;
}

namespace {

// Outlines the recent partial rectangles inside their own cells, oldest
// first so the newest lies on top, then labels each with its request
// number where no other label hides it (placeLabels), on white, so that
// each stays legible over any colour of the scale and over the outlines.
void drawRecent(cairo_t* cr, const HeatMap& heatMap) {
  const auto& recent = heatMap.recent();
  cairo_set_font_size(cr, 12);
  std::vector<Rect> rects;
  std::vector<double> widths;
  std::vector<std::string> labels;
  std::vector<double> alphas;
  for (std::size_t i = 0; i < recent.size(); ++i) {
    const Rect& r = recent[i].rect;
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
    // Appended rather than "#" + ..., which GCC 12 at -O3 wrongly flags.
    std::string label = "#";
    label += std::to_string(recent[i].request);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, label.c_str(), &extents);
    rects.push_back(r);
    widths.push_back(extents.x_advance + 4);
    labels.push_back(std::move(label));
    // Older labels fade less than their outlines: they must stay legible.
    alphas.push_back(std::max(alpha, 0.6));
  }
  const std::vector<LabelBox> boxes = placeLabels(rects, widths, kLabelHeight);
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const LabelBox& b = boxes[i];
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, b.x, b.y, b.width, b.height);
    cairo_fill(cr);
    setColour(cr, kOutline, alphas[i]);
    cairo_move_to(cr, b.x + 2, b.y + 12);
    cairo_show_text(cr, labels[i].c_str());
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
void drawLegend(cairo_t* cr, const HeatMap& heatMap) {
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
  const unsigned maxCount = std::max<unsigned>(heatMap.maxCount(), 1);
  for (int row = 0; row < static_cast<int>(barHeight); ++row) {
    setColour(cr, heatScaleAt(1.0 - row / (barHeight - 1)));
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
        barTop + (1.0 - heatPosition(tick, maxCount)) * (barHeight - 1) + 0.5;
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
      "Last " + std::to_string(heatMap.recentCapacity()) + " partial updates");
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
  for (const std::string& line : heatMap.caption())
    writeLine(cr, left, y, line);
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

Surface draw(const HeatMap& heatMap) {
  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, kPictureWidth,
                                             kPictureHeight));
  cairo_t* cr = cairo_create(surface.get());
  setColour(cr, kPaper);
  cairo_paint(cr);
  drawHeatMap(surface.get(), heatMap);
  // The display area's border, just outside its cells.
  setColour(cr, kInk);
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, kOriginX - 0.5, kOriginY - 0.5, kWidth + 1, kHeight + 1);
  cairo_stroke(cr);
  drawRecent(cr, heatMap);
  drawLegend(cr, heatMap);
  cairo_destroy(cr);
  cairo_surface_flush(surface.get());
  return surface;
}

std::string writePicture(const HeatMap& heatMap, const std::string& path) {
  return writePng(draw(heatMap).get(), path);
}

std::string writePng(cairo_surface_t* surface, const std::string& path) {
  std::string temporary = path + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  // mkostemp makes the file private; a picture is for anyone to look at.
  fchmod(fd, 0644);
  PngTarget target{fd, 0};
  const cairo_status_t status =
      cairo_surface_write_to_png_stream(surface, writeBytes, &target);
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
