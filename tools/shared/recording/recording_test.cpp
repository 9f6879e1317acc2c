// SPDX-License-Identifier: MIT
// Reading recordings, and a replay's callbacks and closing object, without
// sockets. The refusals, line by line, are tested end to end in
// replay_test.sh.
#include "recording.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "recordingSource.h"
#include "serviceLoop.h"
#ifdef ZODM_HAVE_ZLIB
#include "pixelCodec.h"
#endif

namespace zodm::tools {
namespace {

TEST(ParseRecording, TimesTextsAndTotals) {
  const struct {
    const char* content;
    std::vector<int64_t> micros;
    std::vector<std::string> texts;
  } kCases[] = {
      {"{\"t\":1.234567,\"text\":\"!0,1,2\"}\n", {1234567}, {"!0,1,2"}},
      // A whole number, and a time that a double holds a hair below.
      {"{\"t\":2,\"text\":\"a\"}\n{\"t\":4.35,\"text\":\"b\"}",
       {2000000, 4350000},
       {"a", "b"}},
      // One byte per code point, a NUL included; CRLF line ends.
      {"{\"t\":0,\"text\":\"\\u00ff\\u0000z\"}\r\n",
       {0},
       {std::string("\xff\0z", 3)}},
      // The totals are skipped wherever they are; equal times are in order.
      {"{\"format\":1,\"received\":0}\n{\"t\":1,\"text\":\"a\"}\n"
       "{\"t\":1,\"text\":\"b\",\"accepted\":false}\n{\"received\":2}\n",
       {1000000, 1000000},
       {"a", "b"}},
      {"", {}, {}},
      // zodm-screen's fate lines are skipped; "fate" beside "text" is a
      // request's member like any other.
      {"{\"t\":1,\"text\":\"a\",\"refresh\":1}\n"
       "{\"t\":1.12,\"fate\":1,\"update\":1,\"waveform\":\"A2\"}\n"
       "{\"t\":2,\"text\":\"b\",\"fate\":2}\n",
       {1000000, 2000000},
       {"a", "b"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.content);
    std::vector<RecordedRequest> requests;
    std::string problem;
    ASSERT_TRUE(parseRecording(c.content, requests, problem)) << problem;
    ASSERT_EQ(c.micros.size(), requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
      EXPECT_EQ(c.micros[i], requests[i].micros);
      EXPECT_EQ(c.texts[i], requests[i].text);
    }
  }
}

// Each way a line is not one JSON object, said as what is wrong with it.
TEST(ParseRecording, SaysWhatIsNotOneObject) {
  const struct {
    const char* content;
    const char* problem;
  } kCases[] = {
      {"{\"t\":1,\"text\":\"a\"",
       "line 1: cut short: the line ends "
       "inside its object"},
      {"{\"t\":1,\"text\":\"a\"} x",
       "line 1: text follows the JSON object (a line holds one object and "
       "nothing after it)"},
      {"{\"t\":1}{}", "line 1: text follows the JSON object"},
      {"{\"t\":NaN,\"text\":\"a\"}",
       "line 1: not JSON at column 6: invalid literal (NaN and Infinity are "
       "no JSON numbers)"},
      {"{\"t\":-Infinity,\"text\":\"a\"}", "line 1: not JSON at column 7: "},
      {"{\"t\":1e400,\"text\":\"a\"}",
       "line 1: the number '1e400' is beyond what a double holds"},
      {"{\"t\":1,\"text\":\"a\"}\n\n",
       "line 2: a blank line (each line holds "
       "one JSON object)"},
      {"{\"t\":1,\"text\":\"a\"}\n \r\n", "line 2: a blank line"},
      {"{\"t\":1,\"text\":\"a\",\"t\":2}",
       "line 1: the key \"t\" is given twice"},
      {"{\"t\":1,\"text\":\"a\",\"x\":{\"k\":1,\"k\":2}}",
       "line 1: the key \"k\" is given twice"},
      {"[1,2]", "line 1: not a JSON object but an array"},
      {"7", "line 1: not a JSON object but a single value"},
      {"{'t':1}", "line 1: not JSON at column 2: "},
      {"{\"t\":1,\"text\":\"a\"}\n{\"format\":3,\"received\":1}",
       "line 2: the totals name format 3; this tool reads formats 1 and 2"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.content);
    std::vector<RecordedRequest> requests;
    std::string problem;
    EXPECT_FALSE(parseRecording(c.content, requests, problem));
    EXPECT_EQ(0U, problem.rfind(c.problem, 0)) << problem;
  }
}

// Objects of the emulator's own, with "fate" and no "text", carry no
// datagram; both formats' totals are read.
TEST(ParseRecording, SkipsFateLinesAndReadsEitherFormat) {
  const char* content =
      "{\"t\":1,\"text\":\"a\"}\n{\"fate\":\"merged\",\"t\":0}\n"
      "{\"t\":2,\"text\":\"b\"}\n{\"format\":2,\"received\":2}\n";
  std::vector<RecordedRequest> requests;
  std::string problem;
  RecordingInfo info;
  ASSERT_TRUE(parseRecording(content, requests, problem, &info)) << problem;
  EXPECT_EQ(2U, requests.size());
  EXPECT_EQ(2, info.format);
  EXPECT_FALSE(info.pixels);
  EXPECT_EQ(2, info.replayFormat());
  // "fate" does not excuse a line that carries a text.
  EXPECT_FALSE(
      parseRecording("{\"fate\":1,\"text\":\"a\"}", requests, problem));
  EXPECT_EQ("line 1: no \"t\"", problem);
}

#ifdef ZODM_HAVE_ZLIB
// A line of format 2: the line of a request, with members.
std::string pixelsLine(const std::string& request, const std::string& members) {
  return "{\"t\":1,\"accepted\":true," + request + members +
         ",\"text\":\"!1,0,0,1,2,3,4\"}\n";
}

std::string encoded(int width, int height, uint8_t gray = 9) {
  const std::vector<uint8_t> pixels(
      static_cast<std::size_t>(width) * static_cast<std::size_t>(height), gray);
  return encodePixels(pixels.data(), width, height);
}

// Pixels are read with the rectangle of their own request, decoded to
// check them; every way they can be wrong is refused with its line.
TEST(ParseRecording, PixelsOfTheirRequest) {
  const std::string partial =
      "\"request\":\"partial\",\"xUp\":3,\"yUp\":4,\"xDown\":1,\"yDown\":2";
  const std::string display = "\"request\":\"display\"";
  const std::string good =
      ",\"rect\":[1,2,3,4],\"pixels\":\"" + encoded(3, 3) + "\"";
  const struct {
    std::string line;
    const char* problem;  // "": read
  } kCases[] = {
      {pixelsLine(partial, good), ""},
      {pixelsLine(display, ",\"rect\":[0,0,768,1024],\"pixels\":\"" +
                               encoded(769, 1025) + "\""),
       ""},
      {pixelsLine(partial, ",\"rect\":[1,2,3,4],\"pixels_error\":\"no\""), ""},
      {pixelsLine(partial,
                  ",\"rect\":[1,2,3,4],\"pixels\":\"" + encoded(3, 2) + "\""),
       "\"pixels\": holds 6 bytes, not 3x3"},
      {pixelsLine(partial, ",\"rect\":[1,2,3,4],\"pixels\":\"AAA\""),
       "\"pixels\": not base64"},
      {pixelsLine(partial, ",\"rect\":[1,2,3,4],\"pixels\":7"),
       "\"pixels\" is not a string"},
      {pixelsLine(partial, ",\"rect\":[1,2,3,5]" + good.substr(17)),
       "\"rect\" (1,2)-(3,5) is not the rectangle its request refreshes, "
       "(1,2)-(3,4)"},
      {pixelsLine(partial, ",\"rect\":[3,2,1,4]" + good.substr(17)),
       "\"rect\" must have its corners in order"},
      {pixelsLine(partial, ",\"rect\":[1,2,3]" + good.substr(17)),
       "\"rect\" must be [x0,y0,x1,y1], four whole numbers"},
      {pixelsLine(partial, ",\"rect\":[1,2,-3,4]" + good.substr(17)),
       "\"rect\" must be [x0,y0,x1,y1], four whole numbers inside"},
      {pixelsLine(display, ",\"rect\":[0,0,769,1024]" + good.substr(17)),
       "\"rect\" reaches beyond the display area"},
      {pixelsLine(partial, ",\"rect\":[1,2,3,4]"),
       "\"rect\" without \"pixels\" or \"pixels_error\""},
      {pixelsLine(partial, good.substr(17)), "pixels without their \"rect\""},
      {pixelsLine(partial, good + ",\"pixels_error\":\"no\""),
       "both \"pixels\" and \"pixels_error\""},
      {pixelsLine(partial, ",\"rect\":[1,2,3,4],\"pixels_error\":\"\\n\""),
       "\"pixels_error\" holds a character outside printable ASCII"},
      {pixelsLine("\"request\":\"erase\"", good),
       "pixels with a request other than \"partial\" and \"display\""},
      {pixelsLine("\"request\":\"partial\",\"xUp\":3", good),
       "pixels on a partial update without its corners"},
      {pixelsLine("\"priority\":1", good),
       "pixels on a line without its \"request\""},
      {"{\"t\":1,\"accepted\":false" + good + ",\"text\":\"x\"}",
       "pixels on a line that is no accepted request"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line.substr(0, 200));
    std::vector<RecordedRequest> requests;
    std::string problem;
    RecordingInfo info;
    const bool read = parseRecording(c.line, requests, problem, &info);
    EXPECT_EQ(*c.problem == '\0', read) << problem;
    if (!read) {
      EXPECT_EQ(0U, problem.rfind(std::string("line 1: ") + c.problem, 0))
          << problem;
      continue;
    }
    EXPECT_TRUE(info.pixels);
    EXPECT_EQ(2, info.replayFormat());
    // Written again, they are the members the line carried.
    const std::string members = recordedMembers(requests[0]);
    EXPECT_NE(std::string::npos, c.line.find(members)) << members;
  }
}
#endif

// Runs a replay with standard output in a file; returns what it printed.
std::string replayed(const ServiceOptions& options,
                     const std::vector<RecordedRequest>& requests,
                     const ServiceHooks& hooks, int& status) {
  std::FILE* file = std::tmpfile();
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(fileno(file), STDOUT_FILENO);
  Totals totals;
  status = runService(
      options, [&] { return std::make_unique<RecordingSource>(requests); },
      hooks, totals);
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string out;
  std::rewind(file);
  for (int ch; (ch = std::fgetc(file)) != EOF;) out += static_cast<char>(ch);
  std::fclose(file);
  return out;
}

TEST(RecordingSource, RecordedTimesReachTheHooks) {
  ServiceOptions options;
  options.tool = "recording_test";
  options.json = true;
  const std::vector<RecordedRequest> requests = {
      {5, "!0,1,2", {}}, {7, "!2,3", {}}, {1000009, "!3,1", {}}};
  std::vector<int64_t> times;
  int accepted = 0;
  int64_t end = -1;
  for (const unsigned long long count : {0ULL, 2ULL}) {
    SCOPED_TRACE(count);
    options.count = count;
    times.clear();
    int status = -1;
    ServiceHooks hooks;
    hooks.afterRequest = [&](const Received& received) {
      times.push_back(received.micros);
      accepted += received.accepted.has_value();
      return true;
    };
    hooks.onClose = [&](int64_t endMicros) {
      end = endMicros;
      return std::string(",\"panel\":{\"updates\":1}");
    };
    const std::string out = replayed(options, requests, hooks, status);
    EXPECT_EQ(0, status);
    const std::size_t n = count == 0 ? 3 : 2;
    const std::vector<int64_t> want = count == 0
                                          ? std::vector<int64_t>{5, 7, 1000009}
                                          : std::vector<int64_t>{5, 7};
    EXPECT_EQ(want, times);
    EXPECT_EQ(requests[n - 1].micros, end);
    const std::string last = "{\"format\":1,\"received\":" + std::to_string(n) +
                             ",\"accepted\":" + std::to_string(n) +
                             ",\"refused\":0,\"dropped\":0,\"panel\":{"
                             "\"updates\":1}}\n";
    ASSERT_GE(out.size(), last.size());
    EXPECT_EQ(last, out.substr(out.size() - last.size()));
    EXPECT_EQ(0, out.find("{\"t\":0.000005,\"accepted\":true,"));
  }
  EXPECT_EQ(5, accepted);
}

}  // namespace
}  // namespace zodm::tools
