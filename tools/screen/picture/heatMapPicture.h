// SPDX-License-Identifier: MIT
// zodm-screen's picture: the heat map drawn with cairo, refresh counts with
// their colour scale, the last partial rectangles and the totals, written
// as PNG. Only --picture needs it (and cairo).
#ifndef ZODM_TOOLS_SCREEN_HEATMAPPICTURE_H
#define ZODM_TOOLS_SCREEN_HEATMAPPICTURE_H

#include <cairo.h>

#include <memory>
#include <string>
#include <vector>

#include "heatMap.h"

namespace zodm::screen {

// Where the display area's cell (0,0) lies in the picture (one pixel per
// cell), and the picture's size.
constexpr int kOriginX = 16;
constexpr int kOriginY = 16;
constexpr int kLegendWidth = 440;
constexpr int kPictureWidth = kOriginX + kWidth + 16 + kLegendWidth;
constexpr int kPictureHeight = kOriginY + kHeight + 16;

struct SurfaceDeleter {
  void operator()(cairo_surface_t* surface) const {
    cairo_surface_destroy(surface);
  }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

// A request number's label on the picture, in the picture's pixels.
struct LabelBox {
  double x, y, width, height;
};

// Where the labels of the recent rectangles (rects, in the display area's
// cells, oldest first; widths their labels' widths, all height high) go,
// so that none hides another: newest first, each at its rectangle's top
// left corner, just inside; where a newer label lies there, the first free
// place down its rectangle's left edge, then along its top edge, then down
// that column of the display area; with none free, the corner, under the
// newer ones. Returned oldest first, as rects.
std::vector<LabelBox> placeLabels(const std::vector<Rect>& rects,
                                  const std::vector<double>& widths,
                                  double height);

// Draws the picture: the heat map of refresh counts with the last partial
// rectangles outlined (newest brightest), a colour scale with its legend and
// the caption.
Surface draw(const HeatMap& heatMap);

// Writes the picture as PNG to path through a temporary file in the same
// directory, renamed over path, so a reader never sees half a picture.
// Returns an empty string, or why it failed.
std::string writePicture(const HeatMap& heatMap, const std::string& path);

// Writes surface as PNG to path in the same way. Returns an empty string,
// or why it failed.
std::string writePng(cairo_surface_t* surface, const std::string& path);

// Frees what cairo and fontconfig keep for the process's lifetime (font
// caches), so a leak checker at exit sees nothing; call it last, after every
// surface is gone.
void releaseStaticData();

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_HEATMAPPICTURE_H
