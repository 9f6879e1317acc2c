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
      {5, "!0,1,2"}, {7, "!2,3"}, {1000009, "!3,1"}};
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
