// SPDX-License-Identifier: MIT
// See feed_testing.h.
#include "feed_testing.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

#include "text.h"

#if ZODM_JSON_READER
#include <nlohmann/json.hpp>
#endif

namespace zodm::live {

#if ZODM_JSON_READER

// Members in the order the feed wrote them.
using Json = nlohmann::ordered_json;

struct Message::Parsed {
  Json json;
};

namespace {

// A string as the feed writes it: each code point of text (decoded from
// UTF-8 by the reader) is one byte of what the feed escaped.
void writeString(std::string& out, const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      bytes += static_cast<char>(lead);
      ++i;
      continue;
    }
    // The feed writes no code point beyond \u00ff: two bytes, 110000xx.
    const auto next =
        static_cast<unsigned char>(i + 1 < text.size() ? text[i + 1] : 0);
    EXPECT_EQ(0xc0, lead & 0xfc) << "a code point beyond \\u00ff";
    bytes += static_cast<char>((lead & 0x03) << 6 | (next & 0x3f));
    i += 2;
  }
  tools::appendPageString(out, bytes);
}

void write(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::object:
      out += '{';
      for (auto it = value.begin(); it != value.end(); ++it) {
        writeString(out, it.key());
        out += ':';
        write(out, it.value());
        out += ',';
      }
      if (out.back() == ',') out.pop_back();
      out += '}';
      return;
    case Json::value_t::array:
      out += '[';
      for (const Json& element : value) {
        write(out, element);
        out += ',';
      }
      if (out.back() == ',') out.pop_back();
      out += ']';
      return;
    case Json::value_t::string:
      writeString(out, value.get_ref<const std::string&>());
      return;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case Json::value_t::number_integer:
      tools::appendDecimal(out, value.get<int64_t>());
      return;
    case Json::value_t::number_unsigned:
      tools::appendDecimal(out, value.get<uint64_t>());
      return;
    case Json::value_t::number_float: {
      char digits[32];
      std::snprintf(digits, sizeof digits, "%.17g", value.get<double>());
      out += digits;
      return;
    }
    default:
      out += "null";
  }
}

const Json* member(const Json* message, std::string_view name) {
  if (message == nullptr) return nullptr;
  const auto found = message->find(std::string(name));
  return found == message->end() ? nullptr : &*found;
}

}  // namespace

Message::Message(std::string text) : text_(std::move(text)) {
  Json json = Json::parse(text_, nullptr, false);
  if (json.is_discarded() || !json.is_object()) {
    ADD_FAILURE() << "not a JSON object: " << text_.substr(0, 200);
    return;
  }
  parsed_ = std::make_unique<Parsed>(Parsed{std::move(json)});
}

std::string Message::operator[](std::string_view name) const {
  const Json* value = member(parsed_ ? &parsed_->json : nullptr, name);
  if (value == nullptr) return "(missing)";
  std::string out;
  write(out, *value);
  return out;
}

std::map<int, std::string> Message::rows(std::string_view name) const {
  std::map<int, std::string> rows;
  const Json* entries = member(parsed_ ? &parsed_->json : nullptr, name);
  if (entries == nullptr) return rows;
  for (const Json& entry : *entries) {
    std::string row;
    for (std::size_t i = 2; i < entry.size(); ++i) {
      if (i > 2) row += ',';
      write(row, entry[i]);
    }
    for (int y = entry[0].get<int>(); y <= entry[1].get<int>(); ++y)
      rows[y] = row;
  }
  return rows;
}

std::string Message::updates() const {
  std::string out;
  const Json* updates = member(parsed_ ? &parsed_->json : nullptr, "updates");
  if (updates == nullptr) return out;
  for (const Json& u : *updates)
    out += (out.empty() ? "" : " ") + std::to_string(u["id"].get<int>()) + ":" +
           u["state"].get<std::string>();
  return out;
}

#else  // no JSON reader: members found by their text

struct Message::Parsed {};

Message::Message(std::string text) : text_(std::move(text)) {}

// The text after "name": up to the next ',' at the same depth is good
// enough for the members checked here.
std::string Message::operator[](std::string_view name) const {
  const std::string key = "\"" + std::string(name) + "\":";
  const auto start = text_.find(key);
  if (start == std::string::npos) return "(missing)";
  std::size_t end = start + key.size();
  int depth = 0;
  for (; end < text_.size(); ++end) {
    const char c = text_[end];
    if (c == '[' || c == '{') ++depth;
    if (c == ']' || c == '}') {
      if (depth == 0) break;
      --depth;
    }
    if (c == ',' && depth == 0) break;
  }
  return text_.substr(start + key.size(), end - start - key.size());
}

std::map<int, std::string> Message::rows(std::string_view name) const {
  std::map<int, std::string> rows;
  const std::string all = (*this)[name];
  std::size_t at = 1;  // after the outer '['
  while ((at = all.find('[', at)) != std::string::npos) {
    const auto end = all.find(']', at);
    const std::string entry = all.substr(at + 1, end - at - 1);
    const auto first = entry.find(',');
    const auto second = entry.find(',', first + 1);
    const int from = std::stoi(entry.substr(0, first));
    const int to = std::stoi(entry.substr(first + 1, second - first - 1));
    for (int y = from; y <= to; ++y) rows[y] = entry.substr(second + 1);
    at = end;
  }
  return rows;
}

std::string Message::updates() const {
  const std::string all = (*this)["updates"];
  static const std::regex update(R"x("id":(\d+),"state":"(.)")x");
  std::string out;
  for (auto it = std::sregex_iterator(all.begin(), all.end(), update);
       it != std::sregex_iterator(); ++it)
    out += (out.empty() ? "" : " ") + (*it)[1].str() + ":" + (*it)[2].str();
  return out;
}

#endif

Message::~Message() = default;
Message::Message(Message&&) noexcept = default;
Message& Message::operator=(Message&&) noexcept = default;

void PanelFeed::SetUp() {
  char pattern[] = "/tmp/zodm-live-test-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  dir_ = pattern;
  std::string problem;
  framebuffer_ = screen::Framebuffer::open(dir_ + "/framebuffer", problem);
  ASSERT_NE(nullptr, framebuffer_) << problem;
  panel_ = std::make_unique<screen::IdealPanel>(*framebuffer_);
}

void PanelFeed::TearDown() {
  panel_.reset();
  framebuffer_.reset();
  std::filesystem::remove_all(dir_);
}

void PanelFeed::draw(int x0, int y0, int x1, int y1, uint8_t gray) const {
  std::fstream file(dir_ + "/framebuffer",
                    std::ios::in | std::ios::out | std::ios::binary);
  const std::string row(static_cast<std::size_t>(x1 - x0 + 1),
                        static_cast<char>(gray));
  for (int y = y0; y <= y1; ++y) {
    file.seekp(static_cast<std::streamoff>(geometry::pixelIndex(x0, y)));
    file.write(row.data(), static_cast<std::streamsize>(row.size()));
  }
}

std::map<int, std::string> PanelFeed::panelRows() const {
  std::map<int, std::string> rows;
  for (int y = 0; y < kHeight; ++y) appendPixelRow(rows[y], panel_->row(y));
  return rows;
}

}  // namespace zodm::live
