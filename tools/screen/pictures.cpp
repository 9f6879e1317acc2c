// SPDX-License-Identifier: MIT
// See pictures.h.
#include "pictures.h"

#include <cstdio>

#include "screenOptions.h"
#if ZODM_PICTURE
#include "heatMapPicture.h"
#include "panelPicture.h"
#endif

namespace zodm::screen {

namespace {

// Writes a picture of what (kind: "picture" or "panel") to path with
// write, saying in one line why when it cannot.
template <typename Write>
bool save(const char* kind, const std::string& path,
          [[maybe_unused]] const Write& write) {
#if ZODM_PICTURE
  const std::string problem = write();
  if (problem.empty()) return true;
#else
  const std::string problem = "this zodm-screen was built without cairo";
#endif
  std::fprintf(stderr, "%s: cannot write the %s %s: %s\n", kTool, kind,
               path.c_str(), problem.c_str());
  return false;
}

}  // namespace

bool saveHeatMap([[maybe_unused]] const HeatMap& heatMap,
                 const std::string& path) {
  return save("picture", path, [&] {
#if ZODM_PICTURE
    return writePicture(heatMap, path);
#else
    return std::string();
#endif
  });
}

bool saveIdealPanel([[maybe_unused]] const IdealPanel& panel,
                    const std::string& path) {
  return save("panel", path, [&] {
#if ZODM_PICTURE
    return writePanel(panel, path);
#else
    return std::string();
#endif
  });
}

bool saveModelPanel([[maybe_unused]] const uint8_t* pixels,
                    const std::string& path) {
  return save("panel", path, [&] {
#if ZODM_PICTURE
    return writeGray(pixels, path);
#else
    return std::string();
#endif
  });
}

void releasePictures() {
#if ZODM_PICTURE
  releaseStaticData();
#endif
}

}  // namespace zodm::screen
