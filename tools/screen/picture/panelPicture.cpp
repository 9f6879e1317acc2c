// SPDX-License-Identifier: MIT
// See panelPicture.h.
#include "panelPicture.h"

#include <cstring>

namespace zodm::screen {

Surface drawGray(const uint8_t* pixels) {
  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_A8, kWidth, kHeight));
  // A surface that could not be made (no memory) stays in its error state.
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
    return surface;
  cairo_surface_flush(surface.get());
  unsigned char* data = cairo_image_surface_get_data(surface.get());
  const auto stride =
      static_cast<std::size_t>(cairo_image_surface_get_stride(surface.get()));
  for (int y = 0; y < kHeight; ++y)
    std::memcpy(data + static_cast<std::size_t>(y) * stride,
                pixels + static_cast<std::size_t>(y) * kWidth, kWidth);
  cairo_surface_mark_dirty(surface.get());
  return surface;
}

std::string writeGray(const uint8_t* pixels, const std::string& path) {
  const Surface surface = drawGray(pixels);
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
    return cairo_status_to_string(cairo_surface_status(surface.get()));
  return writePng(surface.get(), path);
}

}  // namespace zodm::screen
