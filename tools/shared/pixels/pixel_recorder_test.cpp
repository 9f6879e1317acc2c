// SPDX-License-Identifier: MIT
// The recorder of pixels without a service: the loop's side returns while
// the reader is held up, and the lines come out in order, each with the
// pixels read for it, its reader's problem, or none.
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "pixelCodec.h"
#include "pixelRecorder.h"

namespace zodm::tools {
namespace {

// Gray x + y of each pixel; held up until let go; a problem for one
// rectangle.
class FakeReader final : public FrameReader {
 public:
  std::string read(const geometry::Rect& r, uint8_t* out) override {
    std::unique_lock<std::mutex> lock(mutex_);
    released_.wait(lock, [this] { return go_; });
    ++reads_;
    if (r.x0 == 5) return "cannot ask it for its screen: gone";
    for (int y = r.y0; y <= r.y1; ++y)
      for (int x = r.x0; x <= r.x1; ++x) *out++ = static_cast<uint8_t>(x + y);
    return "";
  }
  std::string describe() const override { return "fake"; }
  void letGo() {
    const std::lock_guard<std::mutex> lock(mutex_);
    go_ = true;
    released_.notify_all();
  }
  int reads() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool go_ = false;
  int reads_ = 0;
};

// Standard output into a file while it lives; text() is what went there.
class CapturedOutput {
 public:
  CapturedOutput() : file_(std::tmpfile()), saved_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    dup2(fileno(file_), STDOUT_FILENO);
  }
  ~CapturedOutput() {
    restore();
    std::fclose(file_);
  }
  std::string text() {
    restore();
    std::string out;
    std::rewind(file_);
    for (int c; (c = std::fgetc(file_)) != EOF;) out += static_cast<char>(c);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::FILE* file_;
  int saved_;
};

TEST(PixelRecorder, TheLoopNeverWaitsAndTheLinesKeepTheirOrder) {
  const struct {
    const char* text;
    std::optional<DmCommand> accepted;
    const char* members;  // what the line carries before "text"
  } kCases[] = {
      {"!1,0,0,1,2,3,3", DmCommand{DM_CMD_DISPLAY_PARTIAL, 0, 0, 3, 3, 1, 2},
       ",\"rect\":[1,2,3,3],\"pixels\":\""},
      {"!3,1", DmCommand{DM_CMD_ERASE_TO_WHITE, 1, 0, 0, 0, 0, 0}, ""},
      {"!0,7,9", std::nullopt, ""},
      {"!1,0,0,5,5,6,6", DmCommand{DM_CMD_DISPLAY_PARTIAL, 0, 0, 5, 5, 6, 6},
       ",\"rect\":[5,5,6,6],\"pixels_error\":\"cannot ask it for its screen: "
       "gone\""},
      {"!0,1,2", DmCommand{DM_CMD_DISPLAY, 1, 2, 0, 0, 0, 0},
       ",\"rect\":[0,0,768,1024],\"pixels\":\""},
  };
  FakeReader reader;
  CapturedOutput output;
  PixelRecorder recorder("pixel_recorder_test", reader);
  // The reader is held up: were the loop's side to wait for it, this would
  // never return.
  for (const auto& c : kCases)
    ASSERT_TRUE(recorder.take({1, c.text, c.accepted, {}}, {}));
  EXPECT_EQ(0, reader.reads());
  reader.letGo();
  ASSERT_TRUE(recorder.finish());
  EXPECT_EQ(3, reader.reads());
  const std::string text = output.text();
  std::size_t at = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    const std::size_t end = text.find('\n', at);
    ASSERT_NE(std::string::npos, end);
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const std::size_t members = line.find(",\"rect\"");
    const std::size_t quoted = line.find(",\"text\":\"" + std::string(c.text));
    ASSERT_NE(std::string::npos, quoted) << line;
    if (*c.members == '\0') {
      EXPECT_EQ(std::string::npos, members) << line;
      continue;
    }
    ASSERT_EQ(0U, line.compare(members, std::strlen(c.members), c.members))
        << line;
    if (line.find("\"pixels\"") == std::string::npos) continue;
    // The pixels are those read for the rectangle.
    const std::size_t start = members + std::strlen(c.members);
    const std::string pixels = line.substr(start, quoted - 1 - start);
    const geometry::Rect r = *geometry::refreshedRect(*c.accepted);
    std::vector<uint8_t> gray(static_cast<std::size_t>(r.width()) *
                              static_cast<std::size_t>(r.height()));
    ASSERT_EQ("", decodePixels(pixels, r.width(), r.height(), gray.data()));
    EXPECT_EQ(static_cast<uint8_t>(r.x0 + r.y0), gray.front());
    EXPECT_EQ(static_cast<uint8_t>(r.x1 + r.y1), gray.back());
  }
  EXPECT_EQ(text.size(), at);
}

}  // namespace
}  // namespace zodm::tools
