// SPDX-License-Identifier: MIT
// Request text to DmMessage: token recognition, refusals and field splitting.
#include <gtest/gtest.h>

#include <cstring>

#include "testSupport.h"
#include "zodm.h"

namespace {

using namespace zodm::test;

constexpr unsigned char kFill = 0x5A;

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

Line parseError(const std::string& message) {
  return error("zodmServer", "dmParseMessage", message);
}

// Runs dmParseMessage on a sentinel-filled record and checks every field
// and both diagnostic sinks. Slots beyond args must come out empty.
void expectParse(const std::string& text, int32_t result, int32_t code,
                 int32_t argc, const std::string& name,
                 const std::vector<std::string>& args, const Lines& lines) {
  SCOPED_TRACE(text.substr(0, 40) + " (length " + std::to_string(text.size()) +
               ")");
  DmMessage message;
  std::memset(&message, kFill, sizeof message);
  std::strcpy(message.name, "sentinel");
  message.argc = 77;
  EXPECT_EQ(lines, diagnosticsOf([&] {
              EXPECT_EQ(result, dmParseMessage(text.c_str(), &message));
            }));
  EXPECT_EQ(code, message.code);
  EXPECT_EQ(argc, message.argc);
  EXPECT_EQ(name, field(message.name));
  for (std::size_t i = 0; i < DM_MAX_ARGS; ++i)
    EXPECT_EQ(i < args.size() ? args[i] : "", field(message.args[i]))
        << "slot " << i;
}

// Codes: 0 display, 1 partial, 2 dump, 3 erase to white.
TEST(ParseMessage, AcceptsKnownTokensAndSplitsFields) {
  const std::vector<std::string> kSix = {"a", "b", "c", "d", "e", "f"};
  const std::string k256 = letters(256);
  const std::string k60000 = letters(60000);
  const std::vector<std::string> kLastCut = {"a", "b", "c",
                                             "d", "e", k60000.substr(0, 255)};
  const struct {
    std::string text;
    int32_t code;
    int32_t argc;
    std::string name;
    std::vector<std::string> args;
  } kCases[] = {
      {"!0,1,2", 0, 2, "0", {"1", "2"}},
      {"!dmDisplay,1,2", 0, 2, "dmDisplay", {"1", "2"}},
      {"!1,a,b,c,d,e,f,g,h", 1, 6, "1", kSix},
      {"!dmDisplayPartial,a,b,c,d,e,f", 1, 6, "dmDisplayPartial", kSix},
      {"!2,7", 2, 1, "2", {"7"}},
      {"!dmDump", 2, 1, "dmDump", {}},
      {"!3,1,2,3", 3, 1, "3", {"1"}},
      {"!dmEraseToWhite,3", 3, 1, "dmEraseToWhite", {"3"}},
      // Missing and empty fields come out empty; fields are not trimmed.
      {"!1,1,2", 1, 6, "1", {"1", "2"}},
      {"!0", 0, 2, "0", {}},
      {"!0,,2", 0, 2, "0", {"", "2"}},
      {std::string("!0") + '\0' + "1,2", 0, 2, "0", {}},  // stops at the NUL
      {"!0, 1,!0", 0, 2, "0", {" 1", "!0"}},
      // Fields are cut to 255 characters, in the last slot too.
      {"!0," + k256 + ",2", 0, 2, "0", {k256.substr(0, 255), "2"}},
      {"!1,a,b,c,d,e," + k60000, 1, 6, "1", kLastCut},
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
    expectParse(
        text, -1, DM_CMD_UNDEFINED, 77, "sentinel", {},
        {parseError("Command should start with '!'. (" + text + ")\n")});
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
      // Compared whole: no trimming, case folding, prefixes or numeric reading.
      {"!00,1,1", "00"},
      {"!dmdisplay,1,1", "dmdisplay"},
      {"! 0,1,1", " 0"},
      {"!0 ,1", "0 "},
      {"!dmDisplayPartia,1", "dmDisplayPartia"},
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
        {parseError("Command " + c.shown + " \n\n"),
         parseError("Error parsing (" + c.text + "). Command undefined\n\n")});
}

// A DmMessage between guard bytes, to catch writes past its ends.
struct Guarded {
  unsigned char before[64];
  DmMessage message;
  unsigned char after[64];
};

TEST(GetArgs, SplitsIntoTheFirstCountSlotsOnly) {
  const std::vector<std::string> kSix = {"a", "b", "c", "d", "e", "f"};
  const std::string kLong = letters(60000);
  const std::string kCut = kLong.substr(0, 255);
  const struct {
    std::string text;
    int32_t count;
    std::vector<std::string> filled;  // every other byte stays untouched
  } kCases[] = {
      {"a,b,c,d,e,f,g,h", 0, {}},
      {"a,b,c,d,e,f,g,h", -1, {}},
      {"a,b,c,d,e,f,g,h", 2, {"a", "b"}},
      {"a,b,c,d,e,f,g,h", 7, kSix},
      {"a,b,c,d,e,f,g,h", INT32_MAX, kSix},
      {"a", 6, {"a", "", "", "", "", ""}},
      {",,", 3, {"", "", ""}},
      {std::string("a") + '\0' + "b", 3, {"a", "", ""}},  // stops at the NUL
      // Long fields are cut to 255 characters and the next field still
      // starts after the comma; a cut in the last slot spills nowhere.
      {letters(255) + ",z", 2, {kCut, "z"}},
      {letters(256) + ",z", 2, {kCut, "z"}},
      {kLong + ",z", 2, {kCut, "z"}},
      {"a,b,c,d,e," + kLong, 100, {"a", "b", "c", "d", "e", kCut}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text.substr(0, 40) + " count " + std::to_string(c.count));
    Guarded expected;
    std::memset(&expected, kFill, sizeof expected);
    for (std::size_t i = 0; i < c.filled.size(); ++i)
      std::strcpy(expected.message.args[i], c.filled[i].c_str());
    Guarded g;
    std::memset(&g, kFill, sizeof g);
    EXPECT_EQ(Lines{}, diagnosticsOf([&] {
                zoDmGetArgs(c.text.c_str(), &g.message, c.count);
              }));
    std::vector<std::string> got;
    for (std::size_t i = 0; i < c.filled.size(); ++i)
      got.push_back(field(g.message.args[i]));
    EXPECT_EQ(c.filled, got);
    EXPECT_EQ(0, std::memcmp(&expected, &g, sizeof g)) << "bytes overwritten";
  }
}

}  // namespace
