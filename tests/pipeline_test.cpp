// SPDX-License-Identifier: MIT
// DmMessage to checked DmCommand: number conversion, validation and the
// three-stage receive pipeline, including concurrent use with separate records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "testSupport.h"
#include "zodm.h"

namespace {

using namespace zodm::test;

constexpr int32_t kMin = INT32_MIN;
constexpr int32_t kMax = INT32_MAX;

Line serverError(const std::string& function, const std::string& message) {
  return error("zodmServer", function, message);
}
const Line kDumpWarning = warning("zodmServer", "dmValidateCommand",
                                  "Dump command not yet validated\n");
const Line kUndefinedWarning =
    warning("zodmServer", "dmValidateCommand", "Undefined command\n");

DmMessage messageWith(int32_t code, const std::array<const char*, 6>& args) {
  DmMessage message{};
  message.code = code;
  message.argc = 6;
  for (std::size_t i = 0; i < args.size(); ++i)
    std::strcpy(message.args[i], args[i]);
  return message;
}

// Conversions as strtol reads base 10 (the program runs in the C locale),
// saturated to 32 bits.
TEST(ParseCommand, ConvertsLikeStrtolSaturatedTo32Bits) {
  const std::vector<const char*> kTexts[] = {
      {"", "+-1", "- 1", "+12", "0x10", "12abc", "-1.9"},
      // The C locale's white space, and characters just outside it ("\2405"
      // is a Latin-1 no-break space).
      {"\t42", "\r42", " \t\n\v\f\r-42", "\b5", "\0165", "\2405"},
      {"2147483647", "2147483648", "-2147483647", "-2147483648", "-2147483649"},
      // Too large for 32 bits, for 64 bits, and only with leading zeros.
      {"4294967297", "-4294967296", "9223372036854775808",
       "18446744073709551616", "-99999999999999999999999999",
       "000000000000000000000000000000002147483647"}};
  for (const auto& group : kTexts)
    for (const char* text : group) {
      SCOPED_TRACE(testing::PrintToString(text));
      const auto v = static_cast<int32_t>(
          std::clamp<long>(std::strtol(text, nullptr, 10), kMin, kMax));
      const DmMessage message =
          messageWith(1, {text, text, text, text, text, text});
      DmCommand command = kSentinel;
      EXPECT_EQ(0, dmParseCommand(&message, &command));
      EXPECT_EQ(with(1, {v, v, v, v, v, v}), fields(command));
    }
}

// Undefined, and codes dmParseMessage never produces, are refused alike.
TEST(ParseCommand, WritesOnlyTheFieldsItsCodeCarries) {
  const std::pair<int32_t, std::array<int32_t, 7>> kCases[] = {
      {0, with(0, {11, 12})}, {1, with(1, {11, 12, 13, 14, 15, 16})},
      {2, with(2, {11})},     {3, with(3, {11})},
      {4, with(4, {})},       {5, with(4, {})},
      {-1, with(4, {})},
  };
  for (const auto& [code, expected] : kCases) {
    SCOPED_TRACE(code);
    const DmMessage message =
        messageWith(code, {"11", "12", "13", "14", "15", "16"});
    DmCommand command = kSentinel;
    const bool refused = code < 0 || code > 3;
    EXPECT_EQ(refused
                  ? Lines{serverError("dmParseCommand", "Undefined command\n")}
                  : Lines{},
              diagnosticsOf([&] {
                EXPECT_EQ(refused ? -1 : 0, dmParseCommand(&message, &command));
              }));
    EXPECT_EQ(expected, fields(command));
  }
}

// Rules in order: xUp, xDown, yUp, yDown, line, priority, quality. Bounds
// are inclusive; negatives are out of range and printed signed.
TEST(ValidateCommand, RefusesAtTheFirstFailingRule) {
  const struct {
    DmCommand command;
    const char* refusal;  // nullptr when accepted
  } kCases[] = {
      {{1, 0, 0, 0, 0, 768, 1024}, nullptr},
      {{1, 3, 3, 768, 1024, 0, 0}, nullptr},  // corners in either order
      {{0, 3, 3, -1, -1, -1, -1}, nullptr},   // code 0 has no rectangle
      {{3, 3, 99, -1, -1, -1, -1}, nullptr},  // code 3 has no quality either
      {{1, 0, 0, 769, 1025, 769, 1025}, "Invalid coordinate xUp (769)\n"},
      {{1, 0, 0, -1, 0, 10, 10}, "Invalid coordinate xUp (-1)\n"},
      {{1, 0, 0, 0, 1025, 769, 1025}, "Invalid coordinate xDown (769)\n"},
      {{1, 0, 0, 0, 0, -1, 10}, "Invalid coordinate xDown (-1)\n"},
      {{1, 0, 0, 0, 1025, 0, 1025}, "Invalid coordinate yUp (1025)\n"},
      {{1, 0, 0, 0, -5, 10, 10}, "Invalid coordinate yUp (-5)\n"},
      {{1, 9, 9, 5, 5, 5, 1025}, "Invalid coordinate yDown (1025)\n"},
      {{1, 0, 0, 0, 0, 10, kMin}, "Invalid coordinate yDown (-2147483648)\n"},
      {{1, 9, 9, 10, 10, 10, 20},
       "Trying to do a partial update of a line (10,10):(10,20)\n"},
      {{1, 0, 0, 10, 20, 30, 20},
       "Trying to do a partial update of a line (10,20):(30,20)\n"},
      {{1, 9, 9, 0, 0, 10, 10}, "priority out of range (9)\n"},
      {{1, 0, 4, 0, 0, 10, 10}, "quality out of range (4)\n"},
      {{0, 4, 0, 0, 0, 0, 0}, "priority out of range (4)\n"},
      {{0, 0, 4, 0, 0, 0, 0}, "quality out of range (4)\n"},
      {{0, -1, -1, 0, 0, 0, 0}, "priority out of range (-1)\n"},
      {{0, 0, -1, 0, 0, 0, 0}, "quality out of range (-1)\n"},
      {{3, 4, 0, 0, 0, 0, 0}, "priority out of range (4)\n"},
      {{3, kMin, 0, 0, 0, 0, 0}, "priority out of range (-2147483648)\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(fields(c.command)));
    EXPECT_EQ(c.refusal ? Lines{serverError("dmValidateCommand", c.refusal)}
                        : Lines{},
              diagnosticsOf([&] {
                EXPECT_EQ(c.refusal ? -1 : 0, dmValidateCommand(&c.command));
              }));
  }
}

// A dump (2) is accepted, its argument (-1 here) unchecked; an undefined
// command (4) is refused with a warning, codes no request can carry silently.
TEST(ValidateCommand, DumpWarnsUndefinedWarnsOtherCodesAreSilent) {
  for (const int32_t code : {2, 4, -1, 5, kMax}) {
    SCOPED_TRACE(code);
    const DmCommand command{code, -1, -1, -1, -1, -1, -1};
    Lines lines;
    if (code == DM_CMD_DUMP) lines = {kDumpWarning};
    if (code == DM_CMD_UNDEFINED) lines = {kUndefinedWarning};
    EXPECT_EQ(lines, diagnosticsOf([&] {
                EXPECT_EQ(code == DM_CMD_DUMP ? 0 : -1,
                          dmValidateCommand(&command));
              }));
  }
}

// The failed stage's diagnostics, then the pipeline's own line naming it.
Lines failedAt(const std::string& stage, Lines lines) {
  lines.push_back(
      serverError("dmMessageParser", stage + " failed with errorcode -1\n"));
  return lines;
}
Lines invalid(const std::string& message) {
  return failedAt("dmValidateCommand",
                  {serverError("dmValidateCommand", message)});
}

TEST(MessageParser, StagesInOrderWithTheirDiagnostics) {
  const struct {
    std::string text;
    int32_t result;
    std::array<int32_t, 7> expected;  // kSentinel: the command was not touched
    Lines lines;
  } kCases[] = {
      {"!0,2,3", 0, with(0, {2, 3}), {}},
      {"!0", 0, with(0, {0, 0}), {}},
      {"!0, 2,x3,junk", 0, with(0, {2, 0}), {}},
      {"!1,1,2,0,0,768,1024", 0, with(1, {1, 2, 0, 0, 768, 1024}), {}},
      {"!3,1,99", 0, with(3, {1}), {}},
      {"!2,7", 0, with(2, {7}), {kDumpWarning}},
      // Refused by validation: the converted values stay in the command.
      {"!1,0,0,0,0,10,-2147483649", -1, with(1, {0, 0, 0, 0, 10, kMin}),
       invalid("Invalid coordinate yDown (-2147483648)\n")},
      {"!0,99999999999,0", -1, with(0, {kMax, 0}),
       invalid("priority out of range (2147483647)\n")},
      {"!3,4", -1, with(3, {4}), invalid("priority out of range (4)\n")},
      // Refused by the tokenizer: the command is not touched.
      {"!5,1", -1, fields(kSentinel),
       failedAt("dmParseMessage",
                {serverError("dmParseMessage", "Command 5 \n\n"),
                 serverError("dmParseMessage",
                             "Error parsing (!5,1). Command undefined\n\n")})},
      {"0,1,2", -1, fields(kSentinel),
       failedAt("dmParseMessage",
                {serverError("dmParseMessage",
                             "Command should start with '!'. (0,1,2)\n")})},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    DmCommand command = kSentinel;
    EXPECT_EQ(c.lines, diagnosticsOf([&] {
                EXPECT_EQ(c.result, dmMessageParser(c.text.c_str(), &command));
              }));
    EXPECT_EQ(c.expected, fields(command));
  }
}

TEST(MessageParser, SeparateRecordsOnSeveralThreadsDoNotInterfere) {
  // Valid texts only, and no dump: nothing is written to the diagnostics.
  const std::pair<const char*, std::array<int32_t, 7>> kValid[] = {
      {"!0,2,3", with(0, {2, 3})},
      {"!dmDisplay,1,0", with(0, {1, 0})},
      {"!1,0,0,0,0,768,1024", with(1, {0, 0, 0, 0, 768, 1024})},
      {"!dmDisplayPartial,3,2,100,200,50,100",
       with(1, {3, 2, 100, 200, 50, 100})},
      {"!3,3", with(3, {3})},
  };
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 8; ++t)
    threads.emplace_back([&kValid, t] {
      for (std::size_t round = 0; round < 400; ++round) {
        // Each thread starts elsewhere in the table, so different texts
        // are in flight at once.
        const auto& [text, expected] = kValid[(t + round) % std::size(kValid)];
        DmCommand command = kSentinel;
        EXPECT_EQ(0, dmMessageParser(text, &command)) << text;
        EXPECT_EQ(expected, fields(command)) << text;
      }
    });
  for (auto& thread : threads) thread.join();
}

}  // namespace
