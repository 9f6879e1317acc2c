// SPDX-License-Identifier: MIT
// See recording.h. JSON is read with nlohmann-json; this file only checks
// what the parser found.
#include "recording.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "recordedPixels.h"
#include "requestLines.h"
#include "text.h"
#include "wholeFile.h"

namespace zodm::tools {

namespace {

using Json = nlohmann::json;

// The latest time a recording may hold, in seconds: about 31 years, far
// beyond any session, and well within what a double holds to the
// microsecond.
constexpr double kMaxSeconds = 1e9;

// Reads t, a JSON number of seconds, as microseconds; "" or the reason.
std::string readTime(const Json& t, int64_t& micros) {
  if (!t.is_number()) return "\"t\" is not a number";
  // Whole numbers as they are; others rounded to the microsecond, so that
  // "1.234567" is 1234567 although the double is a hair below it.
  double seconds = 0;
  if (t.is_number_unsigned()) {
    const auto whole = t.get<uint64_t>();
    if (whole > static_cast<uint64_t>(kMaxSeconds))
      return "\"t\" is beyond 1e9 seconds";
    micros = static_cast<int64_t>(whole) * 1000000;
    return "";
  }
  if (t.is_number_integer()) return "\"t\" is negative";
  seconds = t.get<double>();
  if (seconds < 0) return "\"t\" is negative";
  if (seconds > kMaxSeconds) return "\"t\" is beyond 1e9 seconds";
  micros = std::llround(seconds * 1e6);
  return "";
}

// Turns the parser's UTF-8 back into the bytes it stands for (each code
// point one byte, as the services write them); "" or the reason.
std::string readText(const Json& text, std::string& bytes) {
  if (!text.is_string()) return "\"text\" is not a string";
  const auto& utf8 = text.get_ref<const std::string&>();
  bytes.clear();
  bytes.reserve(utf8.size());
  // The parser hands over valid UTF-8 only: a byte from 0xc2 on starts a
  // sequence, and a two-byte one led by 0xc2 or 0xc3 is U+0080..U+00FF.
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte < 0x80) {
      bytes += static_cast<char>(byte);
    } else if ((byte == 0xc2 || byte == 0xc3) && i + 1 < utf8.size()) {
      const auto next = static_cast<unsigned char>(utf8[++i]);
      bytes += static_cast<char>(((byte & 0x03) << 6) | (next & 0x3f));
    } else {
      return "\"text\" holds a character beyond \\u00ff, which no byte "
             "stands for";
    }
  }
  if (bytes.size() > kMaxRecordedText)
    return "\"text\" is " + std::to_string(bytes.size()) +
           " bytes, longer than a datagram (65507)";
  return "";
}

// Builds a line's value through nlohmann-json's SAX interface as its own
// parser does, and notes what a parse by value cannot tell: the first key
// that an object holds twice, which the value keeps only once. The parser's
// error is kept, for the line's message.
class LineBuilder final : public nlohmann::json_sax<Json> {
 public:
  Json value;
  std::string twice;   // a key given twice, if any
  std::size_t at = 0;  // where the parser stopped, with an error
  std::string error;   // its message; empty: none
  int errorId = 0;     // 101 syntax, 406 a number out of range

  bool null() override { return put(nullptr); }
  bool boolean(bool v) override { return put(v); }
  bool number_integer(number_integer_t v) override { return put(v); }
  bool number_unsigned(number_unsigned_t v) override { return put(v); }
  bool number_float(number_float_t v, const string_t&) override {
    return put(v);
  }
  bool string(string_t& v) override { return put(std::move(v)); }
#if NLOHMANN_JSON_VERSION_MAJOR > 3 || NLOHMANN_JSON_VERSION_MINOR >= 8
  bool binary(binary_t&) override { return false; }  // JSON text has none
#endif
  bool start_object(std::size_t) override { return open(Json::object()); }
  bool key(string_t& k) override {
    key_ = std::move(k);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Json::array()); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& e) override {
    at = position;
    error = e.what();
    errorId = e.id;
    return false;
  }

 private:
  // Puts v where the parser is: the line's value, the next of an array, or
  // the member of the key just read.
  Json* place(Json&& v) {
    if (stack_.empty()) {
      value = std::move(v);
      return &value;
    }
    Json& top = *stack_.back();
    if (top.is_array()) {
      top.push_back(std::move(v));
      return &top.back();
    }
    auto [member, fresh] =
        top.get_ref<Json::object_t&>().emplace(std::move(key_), std::move(v));
    if (!fresh && twice.empty()) twice = member->first;
    return &member->second;
  }
  bool put(Json&& v) {
    place(std::move(v));
    return true;
  }
  bool open(Json&& v) {
    stack_.push_back(place(std::move(v)));
    return true;
  }
  bool close() {
    stack_.pop_back();
    return true;
  }
  std::vector<Json*> stack_;
  std::string key_;
};

// What is wrong with a line that nlohmann-json refused, from its error: the
// reason it gives, after its own preamble, with the column.
std::string parseProblem(std::string_view line, const LineBuilder& b) {
  const std::string& what = b.error;
  if (b.errorId == 406) {
    // "[json.exception.out_of_range.406] number overflow parsing '1e400'"
    const std::size_t quote = what.find('\'');
    return "the number " +
           (quote == std::string::npos ? std::string("given")
                                       : what.substr(quote)) +
           " is beyond what a double holds";
  }
  if (what.find("; expected end of input") != std::string::npos)
    return "text follows the JSON object (a line holds one object and "
           "nothing after it)";
  if (b.at > line.size()) return "cut short: the line ends inside its object";
  // "[json.exception.parse_error.101] parse error at line 1, column 6:
  // syntax error while parsing value - invalid literal; last read: '...'"
  const std::size_t dash = what.find(" - ");
  std::string reason = dash == std::string::npos ? what : what.substr(dash + 3);
  reason = reason.substr(0, reason.find("; last read"));
  const std::string_view there = line.substr(b.at > 0 ? b.at - 1 : 0);
  if (there.rfind("NaN", 0) == 0 || there.rfind("Infinity", 0) == 0)
    reason += " (NaN and Infinity are no JSON numbers)";
  return "not JSON at column " + std::to_string(b.at) + ": " + reason;
}

// Parses line, which must be one JSON object with no key given twice, into
// object; "" or what is wrong.
std::string parseObject(std::string_view line, Json& object) {
  if (line.find_first_not_of(" \t\r") == std::string_view::npos)
    return "a blank line (each line holds one JSON object)";
  LineBuilder builder;
  if (!Json::sax_parse(line.begin(), line.end(), &builder))
    return parseProblem(line, builder);
  if (!builder.twice.empty()) {
    std::string text;
    appendQuoted(text, builder.twice, "\\u00");
    return "the key " + text + " is given twice";
  }
  object = std::move(builder.value);
  if (!object.is_object())
    return std::string("not a JSON object but ") +
           (object.is_array() ? "an array" : "a single value");
  return "";
}

// Checks the totals object; "" or what is wrong.
std::string readTotals(const Json& object, RecordingInfo& info) {
  const auto format = object.find("format");
  if (format == object.end()) return "";
  if (format->is_number_integer() &&
      (*format == kRecordingFormat || *format == kPixelsRecordingFormat)) {
    info.format = format->get<int>();
    return "";
  }
  return "the totals name format " + format->dump() +
         "; this tool reads formats 1 and 2";
}

// Checks one line and, when it is a request, appends it; "" or the reason.
std::string readLine(std::string_view line,
                     std::vector<RecordedRequest>& requests,
                     RecordingInfo& info) {
  Json object;
  if (std::string problem = parseObject(line, object); !problem.empty())
    return problem;
  if (object.contains("received")) return readTotals(object, info);
  const auto t = object.find("t");
  const auto text = object.find("text");
  // The emulator's own lines, which carry no datagram.
  if (text == object.end() && object.contains("fate")) return "";
  if (t == object.end()) return "no \"t\"";
  if (text == object.end()) return "no \"text\"";
  RecordedRequest request;
  std::string problem = readTime(*t, request.micros);
  if (problem.empty()) problem = readText(*text, request.text);
  if (problem.empty()) problem = readPixels(object, request.pixels);
  if (!problem.empty()) return problem;
  if (!requests.empty() && request.micros < requests.back().micros)
    return "\"t\" is earlier than on the request before";
  info.pixels = info.pixels || request.pixels.has_value();
  requests.push_back(std::move(request));
  return "";
}

}  // namespace

bool parseRecording(std::string_view content,
                    std::vector<RecordedRequest>& requests,
                    std::string& problem, RecordingInfo* info) {
  requests.clear();
  RecordingInfo found;
  std::size_t number = 0;
  while (!content.empty()) {
    ++number;
    const std::size_t end = content.find('\n');
    const std::string_view line = content.substr(0, end);
    content.remove_prefix(end == std::string_view::npos ? content.size()
                                                        : end + 1);
    const std::string reason = readLine(line, requests, found);
    if (!reason.empty()) {
      problem = "line " + std::to_string(number) + ": " + reason;
      return false;
    }
  }
  if (info != nullptr) *info = found;
  return true;
}

bool loadRecording(const char* tool, const std::string& path,
                   std::vector<RecordedRequest>& requests,
                   RecordingInfo* info) {
  const std::string name = path == "-" ? "standard input" : path;
  std::string content;
  if (const std::string why = readWholeFile(path, content, true);
      !why.empty()) {
    std::fprintf(stderr, "%s: cannot read the recording %s: %s\n", tool,
                 name.c_str(), why.c_str());
    return false;
  }
  std::string problem;
  if (parseRecording(content, requests, problem, info)) return true;
  // "line N: REASON" becomes "FILE:N: REASON", as compilers name a line.
  std::fprintf(stderr, "%s: %s:%s\n", tool, name.c_str(),
               problem.c_str() + std::strlen("line "));
  return false;
}

}  // namespace zodm::tools
