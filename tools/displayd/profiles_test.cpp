// SPDX-License-Identifier: MIT
// The device profiles of profiles/: each names a controller layout there
// is, its family's waveform codes (checked against a table of this file's
// own for the waveforms that differ most between families), and only
// waveforms that it defines, each with its code once.
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_FORMATTERS 0
#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <set>
#include <string>

#include "controller.h"

namespace zodm::displayd {
namespace {

TEST(Profiles, NameTheirControllerAndItsCodes) {
  const struct {
    const char* file;
    const char* controller;
    int a2, gl16;  // the codes that differ most between families
  } kCases[] = {
      {"kobo-mk7", "mxcfb-nxp", 4, 5},
      {"kobo-ntx", "mxcfb-kobo-ntx", 4, 5},
      {"remarkable1", "mxcfb-nxp", 4, 3},
      {"pocketbook", "mxcfb-v1", 4, 5},
      {"kindle-pw2", "mxcfb-kindle", 4, 5},
      {"kindle-pw4", "mxcfb-kindle-rex", 6, 3},
      {"kindle-oasis2", "mxcfb-kindle-zelda", 6, 3},
      {"kindle-pw5", "mxcfb-kindle-mtk", 6, 3},
      {"kobo-mtk", "hwtcon-kobo", 6, 3},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.file);
    toml::table t;
    try {
      t = toml::parse_file(std::string(ZODM_PROFILES) + "/" + c.file + ".toml");
    } catch (const toml::parse_error& e) {
      FAIL() << e.description();
    }
    const std::string controller = t["controller"].value_or("");
    EXPECT_EQ(controller, c.controller);
    EXPECT_NE(findController(controller), nullptr);
    EXPECT_EQ(t["temp"].value_or(""), std::string("ambient"));
    const std::string mapping = t["mapping"].value_or("");
    EXPECT_TRUE(mapping == "pixels" || mapping == "scaled") << mapping;
    EXPECT_TRUE(t["wait"].is_boolean());
    EXPECT_EQ(t["flash_every"].value_or(-1), 6);
    EXPECT_EQ(t["waveform"]["A2"]["mode"].value_or(-1), c.a2);
    EXPECT_EQ(t["waveform"]["GL16"]["mode"].value_or(-1), c.gl16);
    std::set<int64_t> codes;
    const toml::table* waveforms = t["waveform"].as_table();
    ASSERT_NE(waveforms, nullptr);
    for (const auto& [name, w] : *waveforms) {
      const auto mode = w.as_table() ? (*w.as_table())["mode"].value<int64_t>()
                                     : std::nullopt;
      ASSERT_TRUE(mode.has_value()) << name.str();
      EXPECT_TRUE(*mode >= 0 && *mode <= 255) << name.str();
      EXPECT_TRUE(codes.insert(*mode).second)
          << name.str() << " repeats " << *mode;
    }
    // Every waveform it uses, it defines.
    for (const char* key : {"full", "erase"})
      EXPECT_TRUE(waveforms->contains(t[key].value_or(""))) << key;
    for (const char* level : {"0", "1", "2", "3"})
      EXPECT_TRUE(waveforms->contains(t["quality"][level].value_or("")))
          << "quality " << level;
  }
}

}  // namespace
}  // namespace zodm::displayd
