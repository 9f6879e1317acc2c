// SPDX-License-Identifier: MIT
// See requestLines.h.
#include "requestLines.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "text.h"

namespace zodm::tools {

namespace {

// One named value of an accepted request, for both output forms.
struct Field {
  const char* name;
  int32_t value;
};

// The name of an accepted request and its values, in the order they are
// shown; returns how many values it has.
std::size_t fieldsOf(const DmCommand& c, const char*& name,
                     std::array<Field, 6>& fields) {
  std::size_t count = 0;
  switch (c.code) {
    case DM_CMD_DISPLAY:
      name = "display";
      fields = {{{"priority", c.priority}, {"quality", c.quality}}};
      count = 2;
      break;
    case DM_CMD_DISPLAY_PARTIAL:
      name = "partial";
      fields = {{{"priority", c.priority},
                 {"quality", c.quality},
                 {"xUp", c.xUp},
                 {"yUp", c.yUp},
                 {"xDown", c.xDown},
                 {"yDown", c.yDown}}};
      count = 6;
      break;
    case DM_CMD_DUMP:
      name = "dump";
      fields = {{{"argument", c.priority}}};
      count = 1;
      break;
    case DM_CMD_ERASE_TO_WHITE:
      name = "erase";
      fields = {{{"priority", c.priority}}};
      count = 1;
      break;
  }
  return count;
}

// Appends an accepted request's members after "{": "accepted":true,
// "request" and its values.
void appendAcceptedMembers(std::string& out, const DmCommand& c) {
  const char* name = "";
  std::array<Field, 6> fields{};
  const std::size_t count = fieldsOf(c, name, fields);
  out += "\"accepted\":true,\"request\":\"";
  out += name;
  out += '"';
  for (std::size_t i = 0; i < count; ++i) {
    out += ",\"";
    out += fields[i].name;
    out += "\":";
    appendDecimal(out, fields[i].value);
  }
}

void appendRect(std::string& out, const geometry::Rect& r) {
  out += ",\"rect\":[";
  appendDecimal(out, r.x0);
  out += ',';
  appendDecimal(out, r.y0);
  out += ',';
  appendDecimal(out, r.x1);
  out += ',';
  appendDecimal(out, r.y1);
  out += ']';
}

}  // namespace

// Describes an accepted request as "name key=value ..." or as JSON.
std::string describe(const DmCommand& c, bool json) {
  std::string out;
  if (json) {
    out += '{';
    appendAcceptedMembers(out, c);
    out += '}';
    return out;
  }
  const char* name = "";
  std::array<Field, 6> fields{};
  const std::size_t count = fieldsOf(c, name, fields);
  out = name;
  // A partial update shows its rectangle as one "rect=(x,y)-(x,y)" word.
  const std::size_t named = c.code == DM_CMD_DISPLAY_PARTIAL ? 2 : count;
  for (std::size_t i = 0; i < named; ++i) {
    out += ' ';
    out += fields[i].name;
    out += '=';
    appendDecimal(out, fields[i].value);
  }
  if (c.code == DM_CMD_DISPLAY_PARTIAL) {
    out += " rect=(";
    appendDecimal(out, c.xUp);
    out += ',';
    appendDecimal(out, c.yUp);
    out += ")-(";
    appendDecimal(out, c.xDown);
    out += ',';
    appendDecimal(out, c.yDown);
    out += ')';
  }
  return out;
}

std::string requestLine(const Received& received, bool json) {
  return requestLine(received, json, {});
}

std::string requestLine(const Received& received, bool json,
                        std::string_view members) {
  const std::string_view text = received.text;
  const std::optional<DmCommand>& accepted = received.accepted;
  // The parser read the text up to its first NUL, if it holds one.
  const std::size_t nul = text.find('\0');
  const std::size_t followed =
      nul == std::string_view::npos ? 0 : text.size() - nul - 1;
  std::string out;
  if (!json) {
    out = accepted ? describe(*accepted, false) : describeRefused(text, false);
    if (nul != std::string_view::npos) {
      out += " (cut at a NUL; ";
      appendDecimal(out, followed);
      out += followed == 1 ? " byte followed)" : " bytes followed)";
    }
    return out;
  }
  out.reserve(64 + text.size() + received.members.size() + members.size());
  out = "{\"t\":";
  appendSeconds(out, received.micros);
  out += ',';
  if (accepted)
    appendAcceptedMembers(out, *accepted);
  else
    out += "\"accepted\":false";
  out += received.members;
  out += ",\"text\":";
  appendQuoted(out, text, "\\u00");
  if (nul != std::string_view::npos) {
    out += ",\"after_nul\":";
    appendDecimal(out, followed);
  }
  out += members;
  out += '}';
  return out;
}

std::string describeRefused(std::string_view bytes, bool json) {
  std::string out;
  if (json) {
    out = "{\"accepted\":false,\"text\":";
    appendQuoted(out, bytes, "\\u00");
    out += '}';
  } else {
    out = "refused ";
    appendQuoted(out, bytes, "\\x");
  }
  return out;
}

void appendPixels(std::string& out, const geometry::Rect& rect,
                  std::string_view pixels) {
  appendRect(out, rect);
  // Base64 needs no escaping.
  out += ",\"pixels\":\"";
  out += pixels;
  out += '"';
}

void appendPixelsError(std::string& out, const geometry::Rect& rect,
                       std::string_view reason) {
  appendRect(out, rect);
  out += ",\"pixels_error\":";
  appendQuoted(out, reason, "\\u00");
}

}  // namespace zodm::tools
