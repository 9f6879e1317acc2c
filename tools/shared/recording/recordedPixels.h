// SPDX-License-Identifier: MIT
// The pixels a recording's line carries (format 2), read and checked with
// nlohmann-json, for recording.cpp: "rect", and "pixels" or
// "pixels_error".
#ifndef ZODM_TOOLS_RECORDEDPIXELS_H
#define ZODM_TOOLS_RECORDEDPIXELS_H

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "recording.h"

namespace zodm::tools {

// Reads the pixels of a request's line, object, into pixels (left empty
// when it carries none). Returns "" or what is wrong (see parseRecording).
std::string readPixels(const nlohmann::json& object,
                       std::optional<RecordedPixels>& pixels);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_RECORDEDPIXELS_H
