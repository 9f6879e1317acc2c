// Request text to DmMessage: token recognition, refusals and field splitting.
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "testSupport.h"
#include "zodm.h"

namespace {

using zodm::test::DiagnosticCapture;
using zodm::test::withoutLineNumbers;

// (syslog priority, text with the line number replaced by "#").
using Lines = std::vector<std::pair<int, std::string>>;

constexpr unsigned char kFill = 0x5A;

std::pair<int, std::string> error(const std::string& message) {
  return {LOG_ERR, "(E)zodmServer:#,dmParseMessage() " + message};
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

// The text of a fixed-size field; a missing NUL shows as a full-length text.
template <std::size_t N>
std::string field(const char (&chars)[N]) {
  return std::string(chars, strnlen(chars, N));
}

// n letters cycling through the alphabet, so a cut shows where it was made.
std::string letters(std::size_t n) {
  std::string text(n, 'a');
  for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

DmMessage sentinelMessage() {
  DmMessage message;
  std::memset(&message, kFill, sizeof message);
  std::strcpy(message.name, "sentinel");
  message.argc = 77;
  return message;
}

// Runs dmParseMessage on a sentinel-filled record and checks every field
// and both diagnostic sinks. Slots beyond args must come out empty.
void expectParse(const std::string& text, int32_t result, int32_t code,
                 int32_t argc, const std::string& name,
                 const std::vector<std::string>& args, const Lines& lines) {
  SCOPED_TRACE(text.substr(0, 40) + " (length " + std::to_string(text.size()) +
               ")");
  DmMessage message = sentinelMessage();
  DiagnosticCapture capture;
  EXPECT_EQ(result, dmParseMessage(text.c_str(), &message));
  EXPECT_EQ(code, message.code);
  EXPECT_EQ(argc, message.argc);
  EXPECT_EQ(name, field(message.name));
  for (std::size_t i = 0; i < DM_MAX_ARGS; ++i)
    EXPECT_EQ(i < args.size() ? args[i] : "", field(message.args[i]))
        << "slot " << i;
  expectDiagnostics(capture, lines);
}

TEST(ParseMessage, AcceptsKnownTokensAndSplitsFields) {
  const std::string k255 = letters(255);
  const std::string k256 = letters(256);
  const std::string k60000 = letters(60000);
  const struct {
    std::string text;
    int32_t code;
    int32_t argc;
    std::string name;
    std::vector<std::string> args;
  } kCases[] = {
      {"!0,1,2", DM_CMD_DISPLAY, 2, "0", {"1", "2"}},
      {"!dmDisplay,1,2", DM_CMD_DISPLAY, 2, "dmDisplay", {"1", "2"}},
      {"!dmDisplayPartial,1,1,0,0,10,10",
       DM_CMD_DISPLAY_PARTIAL,
       6,
       "dmDisplayPartial",
       {"1", "1", "0", "0", "10", "10"}},
      {"!1,a,b,c,d,e,f,g,h", 1, 6, "1", {"a", "b", "c", "d", "e", "f"}},
      {"!1,1,2", DM_CMD_DISPLAY_PARTIAL, 6, "1", {"1", "2"}},
      {"!2,7", DM_CMD_DUMP, 1, "2", {"7"}},
      {"!dmDump", DM_CMD_DUMP, 1, "dmDump", {}},
      {"!3,1,2,3", DM_CMD_ERASE_TO_WHITE, 1, "3", {"1"}},
      {"!dmEraseToWhite,3", DM_CMD_ERASE_TO_WHITE, 1, "dmEraseToWhite", {"3"}},
      {"!0", DM_CMD_DISPLAY, 2, "0", {}},
      {"!0,", DM_CMD_DISPLAY, 2, "0", {}},
      {"!0,1", DM_CMD_DISPLAY, 2, "0", {"1"}},
      {"!0,,2", DM_CMD_DISPLAY, 2, "0", {"", "2"}},
      {"!0, 1,2", DM_CMD_DISPLAY, 2, "0", {" 1", "2"}},
      {"!0,a,b", DM_CMD_DISPLAY, 2, "0", {"a", "b"}},
      {"!0,!0,1", DM_CMD_DISPLAY, 2, "0", {"!0", "1"}},
      // Long fields are cut to 255 characters and the next field still
      // starts after the comma; a cut in the last slot spills nowhere.
      {"!0," + k255 + ",2", DM_CMD_DISPLAY, 2, "0", {k255, "2"}},
      {"!0," + k256 + ",2", DM_CMD_DISPLAY, 2, "0", {k256.substr(0, 255), "2"}},
      {"!0," + k60000 + ",2",
       DM_CMD_DISPLAY,
       2,
       "0",
       {k60000.substr(0, 255), "2"}},
      {"!1,1,2,3,4,5," + k60000,
       DM_CMD_DISPLAY_PARTIAL,
       6,
       "1",
       {"1", "2", "3", "4", "5", k60000.substr(0, 255)}},
  };
  for (const auto& c : kCases)
    expectParse(c.text, 0, c.code, c.argc, c.name, c.args, {});
}

TEST(ParseMessage, RefusesTextWithoutLeadingBang) {
  // Name and argc keep what they held; the whole text is shown, as a value
  // (never as a format) and however long it is.
  const std::string kTexts[] = {"0,1,2", " !0,1,2", "", "%s%n%d",
                                letters(5000)};
  for (const auto& text : kTexts)
    expectParse(text, -1, DM_CMD_UNDEFINED, 77, "sentinel", {},
                {error("Command should start with '!'. (" + text + ")\n")});
}

TEST(ParseMessage, RefusesUnknownTokens) {
  const std::string k1023 = letters(1023);
  const std::string k1024 = letters(1024);
  const std::string k5000 = letters(5000);
  const struct {
    std::string text;
    std::string shown;  // the token as the first diagnostic shows it
  } kCases[] = {
      {"!", ""},
      {"!,1", ""},
      {"!dmDisplayEraseToWhite,1", "dmDisplayEraseToWhite"},
      // Compared whole: no trimming, case folding or numeric reading.
      {"!00,1,1", "00"},
      {"!DMDISPLAY,1,1", "DMDISPLAY"},
      {"!dmdisplay,1,1", "dmdisplay"},
      {"! 0,1,1", " 0"},
      {"!0 ,1", "0 "},
      {"!dmDisplayPartia,1", "dmDisplayPartia"},
      {"!dmDisplayPartialX,1", "dmDisplayPartialX"},
      {"!4,1", "4"},
      {"!Undefined", "Undefined"},
      {"!%n%s,1", "%n%s"},
      // Over-long tokens are refused and shown cut to 1023 characters.
      {"!" + k1023 + ",1,2", k1023},
      {"!" + k1024 + ",1,2", k1024.substr(0, 1023)},
      {"!" + k5000, k5000.substr(0, 1023)},
  };
  for (const auto& c : kCases)
    expectParse(
        c.text, -1, DM_CMD_UNDEFINED, -1, "Undefined", {},
        {error("Command " + c.shown + " \n\n"),
         error("Error parsing (" + c.text + "). Command undefined\n\n")});
}

// A DmMessage between guard bytes, to catch writes past its ends.
struct Guarded {
  unsigned char before[64];
  DmMessage message;
  unsigned char after[64];
};

bool allFill(const void* bytes, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  return std::all_of(p, p + size, [](unsigned char b) { return b == kFill; });
}

TEST(GetArgs, SplitsIntoTheFirstCountSlotsOnly) {
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  const std::vector<std::string> kSix = {"a", "b", "c", "d", "e", "f"};
  const std::string kLong = letters(60000);
  const std::string kCut = kLong.substr(0, 255);
  const struct {
    std::string text;
    int32_t count;
    std::vector<std::string> filled;  // slots from filled.size() on untouched
  } kCases[] = {
      {"a,b,c,d,e,f,g,h", 0, {}},
      {"a,b,c,d,e,f,g,h", -1, {}},
      {"a,b,c,d,e,f,g,h", kMin, {}},
      {"a,b,c,d,e,f,g,h", 1, {"a"}},
      {"a,b,c,d,e,f,g,h", 2, {"a", "b"}},
      {"a,b,c,d,e,f,g,h", 6, kSix},
      {"a,b,c,d,e,f,g,h", 7, kSix},
      {"a,b,c,d,e,f,g,h", 100, kSix},
      {"a,b,c,d,e,f,g,h", kMax, kSix},
      {"", 3, {"", "", ""}},
      {"a", 6, {"a", "", "", "", "", ""}},
      {",,", 3, {"", "", ""}},
      {"a,,b", 3, {"a", "", "b"}},
      {"a,", 3, {"a", "", ""}},
      {" x ,\ty", 2, {" x ", "\ty"}},
      {letters(255) + ",z", 2, {kCut, "z"}},
      {letters(256) + ",z", 2, {kCut, "z"}},
      {kLong + ",z", 2, {kCut, "z"}},
      {"a,b,c,d,e," + kLong, 100, {"a", "b", "c", "d", "e", kCut}},
  };
  DiagnosticCapture capture;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text.substr(0, 40) + " count " + std::to_string(c.count));
    Guarded g;
    std::memset(&g, kFill, sizeof g);
    zoDmGetArgs(c.text.c_str(), &g.message, c.count);
    EXPECT_TRUE(allFill(g.before, sizeof g.before));
    EXPECT_TRUE(allFill(g.after, sizeof g.after));
    EXPECT_TRUE(allFill(g.message.name, sizeof g.message.name));
    EXPECT_TRUE(allFill(&g.message.code, sizeof g.message.code));
    EXPECT_TRUE(allFill(&g.message.argc, sizeof g.message.argc));
    for (std::size_t i = 0; i < DM_MAX_ARGS; ++i) {
      if (i < c.filled.size())
        EXPECT_EQ(c.filled[i], field(g.message.args[i])) << "slot " << i;
      else
        EXPECT_TRUE(allFill(g.message.args[i], DM_ARG_SIZE)) << "slot " << i;
    }
  }
  expectDiagnostics(capture, {});
}

}  // namespace
