// SPDX-License-Identifier: MIT
// See recording.h. JSON is read with nlohmann-json; this file only checks
// what the parser found.
#include "recording.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "requestLines.h"
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

// Checks one line and, when it is a request, appends it; "" or the reason.
std::string readLine(std::string_view line,
                     std::vector<RecordedRequest>& requests) {
  const Json object = Json::parse(line.begin(), line.end(), nullptr,
                                  /*allow_exceptions=*/false);
  if (!object.is_object()) return "not a JSON object";
  if (object.contains("received")) {
    const auto format = object.find("format");
    if (format != object.end() &&
        !(format->is_number_integer() && *format == kRecordingFormat))
      return "the totals name format " + format->dump() +
             "; this tool reads format " + std::to_string(kRecordingFormat);
    return "";
  }
  const auto t = object.find("t");
  const auto text = object.find("text");
  // What became of a request, as zodm-screen follows it with: no request.
  if (text == object.end() && object.contains("fate")) return "";
  if (t == object.end()) return "no \"t\"";
  if (text == object.end()) return "no \"text\"";
  RecordedRequest request;
  std::string problem = readTime(*t, request.micros);
  if (problem.empty()) problem = readText(*text, request.text);
  if (!problem.empty()) return problem;
  if (!requests.empty() && request.micros < requests.back().micros)
    return "\"t\" is earlier than on the request before";
  requests.push_back(std::move(request));
  return "";
}

}  // namespace

bool parseRecording(std::string_view content,
                    std::vector<RecordedRequest>& requests,
                    std::string& problem) {
  requests.clear();
  std::size_t number = 0;
  while (!content.empty()) {
    ++number;
    const std::size_t end = content.find('\n');
    const std::string_view line = content.substr(0, end);
    content.remove_prefix(end == std::string_view::npos ? content.size()
                                                        : end + 1);
    const std::string reason = readLine(line, requests);
    if (!reason.empty()) {
      problem = "line " + std::to_string(number) + ": " + reason;
      return false;
    }
  }
  return true;
}

bool loadRecording(const char* tool, const std::string& path,
                   std::vector<RecordedRequest>& requests) {
  const std::string name = path == "-" ? "standard input" : path;
  std::string content;
  if (const std::string why = readWholeFile(path, content, true);
      !why.empty()) {
    std::fprintf(stderr, "%s: cannot read the recording %s: %s\n", tool,
                 name.c_str(), why.c_str());
    return false;
  }
  std::string problem;
  if (parseRecording(content, requests, problem)) return true;
  // "line N: REASON" becomes "FILE:N: REASON", as compilers name a line.
  std::fprintf(stderr, "%s: %s:%s\n", tool, name.c_str(),
               problem.c_str() + std::strlen("line "));
  return false;
}

}  // namespace zodm::tools
