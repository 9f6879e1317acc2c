// SPDX-License-Identifier: MIT
// The model's part of the feed's messages: a feed with a panel and a model
// that takes requests at the times given (replayed, without a thread).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include "feed.h"
#include "feed_testing.h"
#include "framebufferSource.h"
#include "modelRunner.h"

namespace zodm::live {
namespace {

DmCommand fast(int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  return {DM_CMD_DISPLAY_PARTIAL, 0, 0, x0, y0, x1, y1};  // quality 0: A2
}

class ModelFeed : public PanelFeed {
 protected:
  void SetUp() override {
    PanelFeed::SetUp();
    source_ = std::make_unique<screen::FramebufferSource>(*framebuffer_);
    runner_ = std::make_unique<screen::ModelRunner>(profile_, source_.get(),
                                                    false, tools::toolStart());
    feed_ = std::make_unique<Feed>(heatMap_);
    feed_->showModel(*runner_);
    feed_->showPanel(*panel_);
  }
  void TearDown() override {
    feed_.reset();
    runner_.reset();
    source_.reset();
    PanelFeed::TearDown();
  }
  void submit(model::Micros at, const DmCommand& command) {
    runner_->submit(at, command);
    feed_->record(command, "");
  }
  // Each row of the model's panel, encoded as a message carries it.
  std::map<int, std::string> modelRows() const {
    return runner_->read([](const model::Model& m) {
      std::map<int, std::string> rows;
      for (int y = 0; y < kHeight; ++y) appendPixelRow(rows[y], m.row(y));
      return rows;
    });
  }
  std::string cost() const {
    return "{" + model::summaryJson(runner_->read([](const model::Model& m) {
             return m.summary();
           })) +
           "}";
  }

  const model::Profile profile_ = model::defaultProfile();
  screen::HeatMap heatMap_;
  std::unique_ptr<screen::FramebufferSource> source_;
  std::unique_ptr<screen::ModelRunner> runner_;
  std::unique_ptr<Feed> feed_;
};

TEST_F(ModelFeed, MessagesCarryTheModelsRowsUpdatesAndCost) {
  Cursor cursor;
  const Message first(feed_->nextMessage(cursor));
  EXPECT_EQ(R"(["A2","DU","GC4","DU4","GL16","GC16","INIT"])",
            first["waveforms"]);
  EXPECT_EQ("[[0,1024,255,769]]", first["model"]);
  EXPECT_EQ("[]", first["updates"]);
  EXPECT_EQ(cost(), first["cost"]);
  EXPECT_NE("(missing)", first["now"]);

  draw(100, 100, 199, 149, 0);
  const struct {
    const char* what;
    model::Micros at;  // of the request; -1: the run ends there instead
    DmCommand command;
    const char* updates;  // those the message carries
    const char* model;    // the model's rows it carries
  } kSteps[] = {
      {"an A2 pass starts", 0, fast(100, 100, 199, 149), "1:r", "[]"},
      {"one over it waits", 10000, fast(150, 120, 300, 130), "2:w", "[]"},
      {"one that touches it merges into it", 20000, fast(301, 125, 310, 125),
       "2:w 3:d", "[]"},
      {"a disjoint one runs at once", 30000, fast(0, 900, 9, 909), "4:r", "[]"},
      {"the run ends: every update completes", -1, {}, "1:d 2:d 4:d", "(rows)"},
      {"nothing new", -2, {}, "", "[]"},
  };
  for (const auto& step : kSteps) {
    SCOPED_TRACE(step.what);
    if (step.at >= 0) submit(step.at, step.command);
    if (step.at == -1) runner_->finish(400000);
    const Message message(feed_->nextMessage(cursor));
    EXPECT_EQ(step.updates, message.updates());
    EXPECT_EQ(cost(), message["cost"]);
    if (std::string(step.model) == "(rows)") {
      const std::map<int, std::string> expected = modelRows();
      std::map<int, std::string> sent = message.rows("model");
      ASSERT_FALSE(sent.empty());
      for (const auto& [y, row] : sent) EXPECT_EQ(expected.at(y), row);
      EXPECT_EQ(100, sent.begin()->first);
      EXPECT_EQ(909, sent.rbegin()->first);
    } else {
      EXPECT_EQ(step.model, message["model"]);
    }
  }
  // Times, the merge and the collision as the page draws them.
  Cursor late;
  const Message all(feed_->nextMessage(late));
  EXPECT_EQ(R"([{"id":1,"state":"d","rect":[100,100,199,149],"waveform":0,)"
            R"("flash":0,"erase":false,"collided":false,"requests":1,)"
            R"("arrival":0,"start":0,"end":120000,"merged":0},)"
            R"({"id":2,"state":"d","rect":[150,120,310,130],"waveform":0,)"
            R"("flash":0,"erase":false,"collided":true,"requests":2,)"
            R"("arrival":10000,"start":120000,"end":240000,"merged":0},)"
            R"({"id":3,"state":"d","rect":[301,125,310,125],"waveform":0,)"
            R"("flash":0,"erase":false,"collided":false,"requests":1,)"
            R"("arrival":20000,"start":-1,"end":-1,"merged":2},)"
            R"({"id":4,"state":"d","rect":[0,900,9,909],"waveform":0,)"
            R"("flash":0,"erase":false,"collided":false,"requests":1,)"
            R"("arrival":30000,"start":30000,"end":150000,"merged":0}])",
            all["updates"]);
  EXPECT_EQ(modelRows(), all.rows("model"));
}

TEST_F(ModelFeed, AViewerFarBehindGetsTheHistoryTheModelKeeps) {
  Cursor cursor;
  feed_->nextMessage(cursor);
  // Single pixels two apart: none touches another, so none merges.
  constexpr int kUpdates = 600;
  for (int i = 0; i < kUpdates; ++i)
    submit(i * 1000, fast(i % 300 * 2, i / 300 * 2, i % 300 * 2, i / 300 * 2));
  runner_->finish(kUpdates * 1000);
  const Message message(feed_->nextMessage(cursor));
  const std::string ids = message.updates();
  const auto kept = static_cast<int>(model::Model::kHistory);
  EXPECT_EQ(std::to_string(kUpdates - kept + 1), message["oldest"]);
  EXPECT_EQ(0u, ids.find(std::to_string(kUpdates - kept + 1) + ":d "));
  EXPECT_EQ(static_cast<std::size_t>(kept),
            std::count(ids.begin(), ids.end(), ':'));
  EXPECT_EQ(std::string::npos, ids.find(":r"));
  EXPECT_LT(message.text().size(), kRowBudget);
  EXPECT_EQ(0U, message["cost"].find("{\"updates\":600,"));
  EXPECT_EQ("", Message(feed_->nextMessage(cursor)).updates());
}

}  // namespace
}  // namespace zodm::live
