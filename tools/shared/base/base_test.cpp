// SPDX-License-Identifier: MIT
// The text writers, number readers and whole-file reader that the tools
// share: what a replay must reproduce byte for byte, and what a user's
// arguments and files are refused for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "parse.h"
#include "text.h"
#include "wholeFile.h"

namespace zodm::tools {
namespace {

TEST(Text, SecondsDecimalsAndQuotes) {
  const struct {
    int64_t micros;
    const char* text;
  } kSeconds[] = {{0, "0.000000"},
                  {5, "0.000005"},
                  {1234567, "1.234567"},
                  {1000009, "1.000009"},
                  {174000311000, "174000.311000"}};
  for (const auto& c : kSeconds) {
    std::string out;
    appendSeconds(out, c.micros);
    EXPECT_EQ(c.text, out);
  }
  std::string out;
  appendDecimal(out, -2147483648LL);
  appendDecimal(out, ~0ULL);
  EXPECT_EQ("-214748364818446744073709551615", out);

  const std::string bytes("a\"\\\n\r\t\x01\xff<&", 10);
  const struct {
    const char* name;
    std::string expected;
    void (*write)(std::string&, std::string_view);
  } kQuotes[] = {
      {"recording", "\"a\\\"\\\\\\n\\r\\t\\u0001\\u00ff<&\"",
       [](std::string& o, std::string_view b) { appendQuoted(o, b, "\\u00"); }},
      {"text", "\"a\\\"\\\\\\n\\r\\t\\x01\\xff<&\"",
       [](std::string& o, std::string_view b) { appendQuoted(o, b, "\\x"); }},
      {"page", "\"a\\\"\\\\\\u000a\\u000d\\u0009\\u0001\\u00ff\\u003c\\u0026\"",
       appendPageString},
  };
  for (const auto& c : kQuotes) {
    SCOPED_TRACE(c.name);
    std::string quotedBytes;
    c.write(quotedBytes, bytes);
    EXPECT_EQ(c.expected, quotedBytes);
  }
}

// The page's strings: what an HTML or JSON reader could take for markup or
// for the end of the string is escaped, every byte on its own.
TEST(Text, PageStringsEscapeWhatHtmlOrJsonWouldRead) {
  const struct {
    std::string_view text;
    const char* json;
  } kCases[] = {
      {"", R"("")"},
      {"partial priority=2", R"("partial priority=2")"},
      {R"(refused "a\b")", R"("refused \"a\\b\"")"},
      {"<img src=x onerror=alert(1)>",
       R"("\u003cimg src=x onerror=alert(1)\u003e")"},
      {"a&b", R"("a\u0026b")"},
      {std::string_view("\n\r\t\0\x1f", 5),
       R"("\u000a\u000d\u0009\u0000\u001f")"},
      {"\x7f\x80\xff", R"("\u007f\u0080\u00ff")"},
      {"\xe2\x80\xa8", R"("\u00e2\u0080\u00a8")"},  // U+2028, byte by byte
  };
  for (const auto& c : kCases) {
    std::string out;
    appendPageString(out, c.text);
    EXPECT_EQ(c.json, out);
  }
}

TEST(Parse, WholeNumbersAndInt32) {
  const struct {
    const char* word;
    bool whole;  // within 1..1000
    bool large;
  } kWhole[] = {
      {"1", true, false},   {"1000", true, false},
      {"0", false, false},  {"1001", false, false},
      {"", false, false},   {"+1", false, false},
      {" 1", false, false}, {"1 ", false, false},
      {"-1", false, false}, {"18446744073709551616", false, true},
  };
  for (const auto& c : kWhole) {
    SCOPED_TRACE(c.word);
    unsigned long long value = 7;
    EXPECT_EQ(c.whole, parseWhole(c.word, 1, 1000, value));
    if (!c.whole) {
      EXPECT_EQ(7U, value);  // untouched
    }
    EXPECT_EQ(c.large, tooLarge(c.word));
  }
  const struct {
    const char* word;
    IntWord result;
    int32_t value;
  } kInt[] = {
      {"-2147483648", IntWord::kValue, INT32_MIN},
      {"2147483647", IntWord::kValue, INT32_MAX},
      {"2147483648", IntWord::kOutOfRange, 0},
      {"1x", IntWord::kNotAnInteger, 0},
      {"", IntWord::kNotAnInteger, 0},
      {"+1", IntWord::kNotAnInteger, 0},
  };
  for (const auto& c : kInt) {
    SCOPED_TRACE(c.word);
    int32_t value = 0;
    EXPECT_EQ(c.result, parseInt32(c.word, value));
    EXPECT_EQ(c.value, value);
  }
}

TEST(WholeFile, ReadsOrSaysWhyNot) {
  char path[] = "/tmp/zodm-whole-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string written(70000, 'x');  // more than one read
  ASSERT_TRUE(writeAll(fd, written.data(), written.size()));
  close(fd);
  std::string text = "before";
  EXPECT_EQ("", readWholeFile(path, text));
  EXPECT_EQ(written, text);
  unlink(path);
  EXPECT_EQ("No such file or directory", readWholeFile(path, text));
  EXPECT_EQ("Is a directory", readWholeFile("/", text));
  EXPECT_EQ(written, text);  // untouched by a failure
}

}  // namespace
}  // namespace zodm::tools
