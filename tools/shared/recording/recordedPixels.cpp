// SPDX-License-Identifier: MIT
// See recordedPixels.h.
#include "recordedPixels.h"

#include <cstdint>
#include <string_view>
#include <vector>

#include "requestLines.h"
#include "text.h"
#include "zodm.h"
#ifdef ZODM_HAVE_ZLIB
#include "pixelCodec.h"
#endif

namespace zodm::tools {

namespace {

using Json = nlohmann::json;
using geometry::Rect;

// Built by appending, as GCC 12 at -O3 wrongly flags "..." + string
// (-Wrestrict).
void appendRectText(std::string& out, const Rect& r) {
  out += '(';
  appendDecimal(out, r.x0);
  out += ',';
  appendDecimal(out, r.y0);
  out += ")-(";
  appendDecimal(out, r.x1);
  out += ',';
  appendDecimal(out, r.y1);
  out += ')';
}

// Reads "rect", [x0,y0,x1,y1] with its corners in order inside the area,
// into r; "" or what is wrong.
std::string readRect(const Json& rect, Rect& r) {
  int corners[4] = {};
  const bool four = rect.is_array() && rect.size() == 4;
  for (std::size_t i = 0; four && i < 4; ++i) {
    if (!rect[i].is_number_unsigned() || rect[i] > DM_MAX_Y)
      return "\"rect\" must be [x0,y0,x1,y1], four whole numbers inside "
             "the display area";
    corners[i] = rect[i].get<int>();
  }
  if (!four) return "\"rect\" must be [x0,y0,x1,y1], four whole numbers";
  r = {corners[0], corners[1], corners[2], corners[3]};
  if (r.x0 > r.x1 || r.y0 > r.y1)
    return "\"rect\" must have its corners in order, x0 <= x1 and y0 <= y1";
  if (r.x1 > DM_MAX_X)
    return std::string("\"rect\" reaches beyond the display area, x 0..")
        .append(std::to_string(DM_MAX_X));
  return "";
}

// The value of a partial update's corner called name; false when the line
// lacks it or it is no 32-bit integer.
bool corner(const Json& object, const char* name, int32_t& value) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_number_integer() ||
      *found < INT32_MIN || *found > INT32_MAX)
    return false;
  value = found->get<int32_t>();
  return true;
}

// The rectangle that the line's own request refreshes, as recorded with it
// ("request" and, for a partial update, its corners) into r; "" or why it
// carries no pixels.
std::string requestRect(const Json& object, Rect& r) {
  const auto accepted = object.find("accepted");
  if (accepted == object.end() || *accepted != true)
    return "pixels on a line that is no accepted request";
  const auto request = object.find("request");
  if (request == object.end() || !request->is_string())
    return "pixels on a line without its \"request\"";
  if (*request == "display") {
    r = geometry::kWholeArea;
    return "";
  }
  if (*request != "partial")
    return "pixels with a request other than \"partial\" and \"display\" "
           "(an erase shows white, a dump refreshes nothing)";
  DmCommand command{DM_CMD_DISPLAY_PARTIAL, 0, 0, 0, 0, 0, 0};
  if (!corner(object, "xUp", command.xUp) ||
      !corner(object, "yUp", command.yUp) ||
      !corner(object, "xDown", command.xDown) ||
      !corner(object, "yDown", command.yDown))
    return "pixels on a partial update without its corners (\"xUp\", "
           "\"yUp\", \"xDown\", \"yDown\")";
  r = geometry::partialRect(command);
  return "";
}

// "pixels_error" is printable ASCII, as the recorder writes it.
std::string readError(const Json& error, std::string& text) {
  if (!error.is_string()) return "\"pixels_error\" is not a string";
  text = error.get<std::string>();
  for (const char c : text)
    if (c < 0x20 || c > 0x7e)
      return "\"pixels_error\" holds a character outside printable ASCII";
  return "";
}

// "pixels" is the text of r's pixels; decoded to check it where zlib is
// found.
std::string readText(const Json& pixels, const Rect& r, std::string& text) {
  if (!pixels.is_string()) return "\"pixels\" is not a string";
  text = pixels.get<std::string>();
#ifdef ZODM_HAVE_ZLIB
  std::vector<uint8_t> decoded(static_cast<std::size_t>(r.width()) *
                               static_cast<std::size_t>(r.height()));
  const std::string problem =
      decodePixels(text, r.width(), r.height(), decoded.data());
  if (!problem.empty()) return std::string("\"pixels\": ").append(problem);
#else
  (void)r;
#endif
  return "";
}

}  // namespace

std::string readPixels(const Json& object,
                       std::optional<RecordedPixels>& pixels) {
  const auto rect = object.find("rect");
  const auto text = object.find("pixels");
  const auto error = object.find("pixels_error");
  const bool carried = text != object.end() || error != object.end();
  if (rect == object.end())
    return carried ? "pixels without their \"rect\"" : "";
  if (!carried) return "\"rect\" without \"pixels\" or \"pixels_error\"";
  if (text != object.end() && error != object.end())
    return "both \"pixels\" and \"pixels_error\"";
  RecordedPixels read;
  std::string problem = readRect(*rect, read.rect);
  Rect refreshed{};
  if (problem.empty()) problem = requestRect(object, refreshed);
  if (problem.empty() && refreshed != read.rect) {
    problem = "\"rect\" ";
    appendRectText(problem, read.rect);
    problem += " is not the rectangle its request refreshes, ";
    appendRectText(problem, refreshed);
  }
  if (problem.empty())
    problem = error != object.end() ? readError(*error, read.error)
                                    : readText(*text, read.rect, read.text);
  if (problem.empty()) pixels = std::move(read);
  return problem;
}

std::string recordedMembers(const RecordedRequest& request) {
  std::string members;
  if (!request.pixels) return members;
  const RecordedPixels& p = *request.pixels;
  if (p.error.empty())
    appendPixels(members, p.rect, p.text);
  else
    appendPixelsError(members, p.rect, p.error);
  return members;
}

}  // namespace zodm::tools
