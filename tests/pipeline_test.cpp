// DmMessage to checked DmCommand: number conversion, validation and the
// three-stage receive pipeline, including concurrent use with separate records.
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testSupport.h"
#include "zodm.h"

namespace {

using zodm::test::DiagnosticCapture;
using zodm::test::withoutLineNumbers;

// (syslog priority, text with the line number replaced by "#").
using Line = std::pair<int, std::string>;
using Lines = std::vector<Line>;

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

Line error(const std::string& function, const std::string& message) {
  return {LOG_ERR, "(E)zodmServer:#," + function + "() " + message};
}
Line warning(const std::string& function, const std::string& message) {
  return {LOG_WARNING, "(W)zodmServer:#," + function + "() " + message};
}

// Both sinks got exactly these lines, in this order.
void expectDiagnostics(const DiagnosticCapture& capture, const Lines& lines) {
  std::string joined;
  for (const auto& line : lines) joined += line.second;
  EXPECT_EQ(joined, withoutLineNumbers(capture.stderrText()));
  Lines logged;
  for (const auto& entry : capture.syslog())
    logged.emplace_back(entry.priority, withoutLineNumbers(entry.text));
  EXPECT_EQ(lines, logged);
}

// Distinct values no conversion below produces, so an untouched field and a
// field written to the wrong place both show.
constexpr DmCommand kSentinel{-7, -101, -102, -103, -104, -105, -106};

std::array<int32_t, 7> fields(const DmCommand& c) {
  return {c.code, c.priority, c.quality, c.xUp, c.yUp, c.xDown, c.yDown};
}

// kSentinel with code set and the leading value fields (priority, quality,
// xUp, yUp, xDown, yDown, in that order) replaced by values.
DmCommand with(int32_t code, std::vector<int32_t> values) {
  std::array<int32_t, 7> f = fields(kSentinel);
  f[0] = code;
  std::copy(values.begin(), values.end(), f.begin() + 1);
  return {f[0], f[1], f[2], f[3], f[4], f[5], f[6]};
}

DmMessage messageWith(int32_t code, const std::array<const char*, 6>& args) {
  DmMessage message{};
  std::strcpy(message.name, "test");
  message.code = code;
  message.argc = 6;
  for (std::size_t i = 0; i < args.size(); ++i)
    std::strcpy(message.args[i], args[i]);
  return message;
}

// What the conversion must give: strtol base 10 (the program runs in the C
// locale), held in 32 bits with saturation.
int32_t strtolSaturated(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  return static_cast<int32_t>(std::clamp<long>(value, kMin, kMax));
}

TEST(ParseCommand, ConvertsLikeStrtolSaturatedTo32Bits) {
  const std::string k255Digits(255, '9');
  const char* const kTexts[] = {
      "", " ", "+", "-", "+-1", "-+1", "++1", "--1", "- 1", "+ 1",
      // White space of every kind that isspace knows in the C locale.
      " 42", "\t42", "\n42", "\v42", "\f42", "\r42", " \t\n\v\f\r-42",
      "\2405",  // Latin-1 no-break space: no white space in the C locale
      "0x10", "0X1f", "  -0", "-0", "+0", "007", "-007", "+12",
      "000000000000000000000000000000002147483647", "2147483646", "2147483647",
      "2147483648", "-2147483647", "-2147483648", "-2147483649", "4294967295",
      "4294967296", "4294967297", "-4294967296", "9223372036854775807",
      "9223372036854775808", "18446744073709551616", "-9223372036854775809",
      "99999999999999999999999999", "-99999999999999999999999999",
      k255Digits.c_str(), "12abc", "12 34", "3,4", "1e5", "1.9", "-1.9", "a1",
      "x3", "0", "768"};
  for (const char* text : kTexts) {
    SCOPED_TRACE(testing::PrintToString(text));
    const int32_t expected = strtolSaturated(text);
    const DmMessage message = messageWith(DM_CMD_DISPLAY_PARTIAL,
                                          {text, text, text, text, text, text});
    DmCommand command = kSentinel;
    EXPECT_EQ(0, dmParseCommand(&message, &command));
    EXPECT_EQ(
        fields(with(DM_CMD_DISPLAY_PARTIAL, {expected, expected, expected,
                                             expected, expected, expected})),
        fields(command));
  }
}

TEST(ParseCommand, WritesOnlyTheFieldsItsCodeCarries) {
  const struct {
    int32_t code;
    int32_t result;
    DmCommand expected;
  } kCases[] = {
      {DM_CMD_DISPLAY, 0, with(0, {11, 12})},
      {DM_CMD_DISPLAY_PARTIAL, 0, with(1, {11, 12, 13, 14, 15, 16})},
      {DM_CMD_DUMP, 0, with(2, {11})},
      {DM_CMD_ERASE_TO_WHITE, 0, with(3, {11})},
      // Undefined, and codes dmParseMessage never produces, are refused alike.
      {DM_CMD_UNDEFINED, -1, with(DM_CMD_UNDEFINED, {})},
      {5, -1, with(DM_CMD_UNDEFINED, {})},
      {-1, -1, with(DM_CMD_UNDEFINED, {})},
      {kMin, -1, with(DM_CMD_UNDEFINED, {})},
      {kMax, -1, with(DM_CMD_UNDEFINED, {})},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE("code " + std::to_string(c.code));
    const DmMessage message =
        messageWith(c.code, {"11", "12", "13", "14", "15", "16"});
    DmCommand command = kSentinel;
    DiagnosticCapture capture;
    EXPECT_EQ(c.result, dmParseCommand(&message, &command));
    EXPECT_EQ(fields(c.expected), fields(command));
    Lines lines;
    if (c.result != 0)
      lines.push_back(error("dmParseCommand", "Undefined command\n"));
    expectDiagnostics(capture, lines);
  }
}

void expectValidation(const DmCommand& command, int32_t result,
                      const Lines& lines) {
  SCOPED_TRACE(testing::PrintToString(fields(command)));
  DiagnosticCapture capture;
  EXPECT_EQ(result, dmValidateCommand(&command));
  expectDiagnostics(capture, lines);
}

TEST(ValidateCommand, AcceptsInclusiveBoundsAndIgnoresUnusedFields) {
  const DmCommand kAccepted[] = {
      {1, 0, 0, 0, 0, 768, 1024},
      {1, 3, 3, 768, 1024, 0, 0},  // corners in either order
      {1, 0, 0, 100, 200, 50, 100},
      {0, 3, 3, -1, -1, -1, -1},  // code 0 has no rectangle
      {0, 0, 0, 5, 5, 5, 5},
      {3, 3, 99, -1, -1, -1, -1},  // code 3 has no quality either
      {3, 0, -1, 0, 0, 0, 0},
  };
  for (const auto& command : kAccepted) expectValidation(command, 0, {});
}

TEST(ValidateCommand, RefusesAtTheFirstFailingRule) {
  // Rules in order: xUp, xDown, yUp, yDown, line, priority, quality.
  // Negatives are out of range and printed signed.
  const struct {
    DmCommand command;
    std::string message;
  } kCases[] = {
      {{1, 0, 0, 769, 0, 10, 10}, "Invalid coordinate xUp (769)\n"},
      {{1, 0, 0, -1, 0, 10, 10}, "Invalid coordinate xUp (-1)\n"},
      {{1, 0, 0, kMin, 0, 10, 10}, "Invalid coordinate xUp (-2147483648)\n"},
      {{1, 2, 3, 800, 2000, 0, 0}, "Invalid coordinate xUp (800)\n"},
      {{1, 0, 0, 0, 2000, 769, 10}, "Invalid coordinate xDown (769)\n"},
      {{1, 0, 0, 0, 0, -1, 10}, "Invalid coordinate xDown (-1)\n"},
      {{1, 0, 0, 0, 1025, 10, 3000}, "Invalid coordinate yUp (1025)\n"},
      {{1, 0, 0, 0, -5, 10, 10}, "Invalid coordinate yUp (-5)\n"},
      {{1, 0, 0, 5, 5, 5, 1025}, "Invalid coordinate yDown (1025)\n"},
      {{1, 0, 0, 0, 0, 10, kMax}, "Invalid coordinate yDown (2147483647)\n"},
      {{1, 9, 9, 10, 10, 10, 20},
       "Trying to do a partial update of a line (10,10):(10,20)\n"},
      {{1, 0, 0, 10, 20, 30, 20},
       "Trying to do a partial update of a line (10,20):(30,20)\n"},
      {{1, 0, 0, 768, 1024, 768, 1024},
       "Trying to do a partial update of a line (768,1024):(768,1024)\n"},
      {{1, 9, 9, 0, 0, 10, 10}, "priority out of range (9)\n"},
      {{1, 0, 4, 0, 0, 10, 10}, "quality out of range (4)\n"},
      {{0, 4, 0, 0, 0, 0, 0}, "priority out of range (4)\n"},
      {{0, 0, 4, 0, 0, 0, 0}, "quality out of range (4)\n"},
      {{0, -1, -1, 0, 0, 0, 0}, "priority out of range (-1)\n"},
      {{0, 0, -1, 0, 0, 0, 0}, "quality out of range (-1)\n"},
      {{0, kMax, 9, 0, 0, 0, 0}, "priority out of range (2147483647)\n"},
      {{3, 4, 0, 0, 0, 0, 0}, "priority out of range (4)\n"},
      {{3, kMin, 0, 0, 0, 0, 0}, "priority out of range (-2147483648)\n"},
  };
  for (const auto& c : kCases)
    expectValidation(c.command, -1, {error("dmValidateCommand", c.message)});
}

TEST(ValidateCommand, DumpWarnsUndefinedWarnsOtherCodesAreSilent) {
  const Lines kDump = {
      warning("dmValidateCommand", "Dump command not yet validated\n")};
  const Lines kUndefined = {
      warning("dmValidateCommand", "Undefined command\n")};
  expectValidation({2, 7, -1, -1, -1, -1, -1}, 0, kDump);
  expectValidation({2, -1, 0, 0, 0, 0, 0}, 0, kDump);  // argument unchecked
  expectValidation({4, 0, 0, 0, 0, 10, 10}, -1, kUndefined);
  for (const int32_t code : {-1, 5, kMin, kMax})
    expectValidation({code, 0, 0, 0, 0, 10, 10}, -1, {});
}

// The pipeline's own line after a failed stage.
Line stageFailed(const std::string& stage) {
  return error("dmMessageParser", stage + " failed with errorcode -1\n");
}

TEST(MessageParser, StagesInOrderWithTheirDiagnostics) {
  const auto invalid = [](const std::string& message) {
    return Lines{error("dmValidateCommand", message),
                 stageFailed("dmValidateCommand")};
  };
  const Line dumpWarning =
      warning("dmValidateCommand", "Dump command not yet validated\n");
  const struct {
    std::string text;
    int32_t result;
    DmCommand expected;  // kSentinel: the command was not touched
    Lines lines;
  } kCases[] = {
      {"!0,2,3", 0, with(0, {2, 3}), {}},
      {"!dmDisplay,2,3", 0, with(0, {2, 3}), {}},
      {"!0", 0, with(0, {0, 0}), {}},
      {"!0, 2,x3", 0, with(0, {2, 0}), {}},
      {"!0,3,3,junk", 0, with(0, {3, 3}), {}},
      {"!1,0,0,0,0,768,1024", 0, with(1, {0, 0, 0, 0, 768, 1024}), {}},
      {"!dmDisplayPartial,1,1,0,0,10,10", 0, with(1, {1, 1, 0, 0, 10, 10}), {}},
      {"!1,0,0,100,200,50,100", 0, with(1, {0, 0, 100, 200, 50, 100}), {}},
      {"!3,3", 0, with(3, {3}), {}},
      {"!3,1,99", 0, with(3, {1}), {}},
      {"!dmEraseToWhite,0", 0, with(3, {0}), {}},
      {"!2,7", 0, with(2, {7}), {dumpWarning}},
      {"!dmDump", 0, with(2, {0}), {dumpWarning}},
      // Refused by validation: the converted values stay in the command.
      {"!1,0,0,769,0,10,10", -1, with(1, {0, 0, 769, 0, 10, 10}),
       invalid("Invalid coordinate xUp (769)\n")},
      {"!1,0,0,0,1025,10,10", -1, with(1, {0, 0, 0, 1025, 10, 10}),
       invalid("Invalid coordinate yUp (1025)\n")},
      {"!1,0,0,10,10,10,20", -1, with(1, {0, 0, 10, 10, 10, 20}),
       invalid("Trying to do a partial update of a line (10,10):(10,20)\n")},
      {"!1,0,0,10,20,30,20", -1, with(1, {0, 0, 10, 20, 30, 20}),
       invalid("Trying to do a partial update of a line (10,20):(30,20)\n")},
      {"!1,2,3,800,2000,0,0", -1, with(1, {2, 3, 800, 2000, 0, 0}),
       invalid("Invalid coordinate xUp (800)\n")},
      {"!1,0,0,0,0,10,-2147483649", -1, with(1, {0, 0, 0, 0, 10, kMin}),
       invalid("Invalid coordinate yDown (-2147483648)\n")},
      {"!0,4,0", -1, with(0, {4, 0}), invalid("priority out of range (4)\n")},
      {"!0,0,4", -1, with(0, {0, 4}), invalid("quality out of range (4)\n")},
      {"!0,-1,0", -1, with(0, {-1, 0}),
       invalid("priority out of range (-1)\n")},
      {"!0,99999999999,0", -1, with(0, {kMax, 0}),
       invalid("priority out of range (2147483647)\n")},
      {"!3,4", -1, with(3, {4}), invalid("priority out of range (4)\n")},
      // Refused by the tokenizer: the command is not touched.
      {"!5,1",
       -1,
       kSentinel,
       {error("dmParseMessage", "Command 5 \n\n"),
        error("dmParseMessage", "Error parsing (!5,1). Command undefined\n\n"),
        stageFailed("dmParseMessage")}},
      {"!",
       -1,
       kSentinel,
       {error("dmParseMessage", "Command  \n\n"),
        error("dmParseMessage", "Error parsing (!). Command undefined\n\n"),
        stageFailed("dmParseMessage")}},
      {"0,1,2",
       -1,
       kSentinel,
       {error("dmParseMessage", "Command should start with '!'. (0,1,2)\n"),
        stageFailed("dmParseMessage")}},
      {"",
       -1,
       kSentinel,
       {error("dmParseMessage", "Command should start with '!'. ()\n"),
        stageFailed("dmParseMessage")}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    DmCommand command = kSentinel;
    DiagnosticCapture capture;
    EXPECT_EQ(c.result, dmMessageParser(c.text.c_str(), &command));
    EXPECT_EQ(fields(c.expected), fields(command));
    expectDiagnostics(capture, c.lines);
  }
}

TEST(MessageParser, SeparateRecordsOnSeveralThreadsDoNotInterfere) {
  // Valid texts only, and no dump: nothing is written to the diagnostics.
  const struct {
    const char* text;
    DmCommand expected;
  } kValid[] = {
      {"!0,2,3", with(0, {2, 3})},
      {"!dmDisplay,1,0", with(0, {1, 0})},
      {"!0, 3,+1", with(0, {3, 1})},
      {"!1,0,0,0,0,768,1024", with(1, {0, 0, 0, 0, 768, 1024})},
      {"!dmDisplayPartial,3,2,100,200,50,100",
       with(1, {3, 2, 100, 200, 50, 100})},
      {"!1,1,1,1,1,2,2", with(1, {1, 1, 1, 1, 2, 2})},
      {"!3,3", with(3, {3})},
      {"!dmEraseToWhite,0,9", with(3, {0})},
  };
  constexpr std::size_t kThreads = 8;
  constexpr std::size_t kRounds = 400;
  std::vector<std::vector<std::string>> failures(kThreads);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t)
    threads.emplace_back([&kValid, &failures, t] {
      for (std::size_t round = 0; round < kRounds; ++round) {
        // Each thread starts elsewhere in the table, so different texts
        // are in flight at once.
        const auto& c = kValid[(t + round) % std::size(kValid)];
        DmCommand command = kSentinel;
        if (dmMessageParser(c.text, &command) != 0 ||
            fields(command) != fields(c.expected))
          failures[t].push_back(c.text);
      }
    });
  for (auto& thread : threads) thread.join();
  for (std::size_t t = 0; t < kThreads; ++t)
    EXPECT_EQ(std::vector<std::string>{}, failures[t]) << "thread " << t;
}

}  // namespace
