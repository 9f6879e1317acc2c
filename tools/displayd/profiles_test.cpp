// SPDX-License-Identifier: MIT
// The device profiles of profiles/ as the service reads them (over the
// built-in profile, through parseProfile): each names a controller layout
// there is, its family's waveform codes (checked against a table of this
// file's own for the waveforms that differ most between families), a mode
// for every waveform a request selects and for each waveform it defines,
// each code once. And the device profiles the service refuses, each in one
// line with the file and, where there is one, the line.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "deviceProfile.h"
#include "wholeFile.h"

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
  const model::Profile builtIn = model::defaultProfile();
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.file);
    DeviceProfile d;
    ASSERT_EQ(readDeviceProfile(
                  std::string(ZODM_PROFILES) + "/" + c.file + ".toml", d),
              "");
    const model::Profile& p = d.profile;
    EXPECT_EQ(d.controller, findController(c.controller));
    EXPECT_EQ(p.device.temperature, std::nullopt);  // ambient
    EXPECT_EQ(p.device.mapping, model::Mapping::Pixels);
    EXPECT_EQ(p.flashEvery, 6);
    EXPECT_EQ(p.waveform(p.find("A2")).mode, c.a2);
    EXPECT_EQ(p.waveform(p.find("GL16")).mode, c.gl16);
    // Every waveform the file defines has a code of its own; those it
    // leaves out are the built-in ones without a code.
    std::set<int> codes;
    for (const model::Waveform& w : p.waveforms) {
      if (!w.mode) {
        EXPECT_LT(builtIn.find(w.name), builtIn.waveforms.size()) << w.name;
        continue;
      }
      EXPECT_TRUE(*w.mode >= 0 && *w.mode <= 255) << w.name;
      EXPECT_TRUE(codes.insert(*w.mode).second) << w.name << " repeats";
    }
  }
}

// The Kobo Mk7 profile waits for each update's marker, and says on which
// models not to.
TEST(Profiles, KoboMk7WaitsAndSaysWhereNotTo) {
  DeviceProfile d;
  ASSERT_EQ(readDeviceProfile(std::string(ZODM_PROFILES) + "/kobo-mk7.toml", d),
            "");
  EXPECT_TRUE(d.profile.device.wait);
  std::string text;
  ASSERT_EQ(
      tools::readWholeFile(std::string(ZODM_PROFILES) + "/kobo-mk7.toml", text),
      "");
  for (const char* model : {"Libra H2O", "Libra 2", "Clara 2E", "Nia"})
    EXPECT_NE(text.find(model), std::string::npos) << model;
  EXPECT_NE(text.find("wait = false"), std::string::npos);
}

TEST(Profiles, RefusedInOneLine) {
  const std::string known = controllerNames();
  const std::string modes =
      "[waveform.A2]\nmode = 4\n[waveform.DU]\nmode = 1\n"
      "[waveform.GL16]\nmode = 5\n";
  const std::string gc16 = "[waveform.GC16]\nmode = 2\n";
  const struct {
    std::string text;
    std::string problem;
  } kCases[] = {
      {modes + gc16,
       "p.toml: names no controller: add controller = \"NAME\", "
       "the layout of the device's refresh ioctls, one of " +
           known},
      {"\ncontroller = \"mxcfb-foo\"\n" + modes + gc16,
       "p.toml:2: unknown controller 'mxcfb-foo' (known: " + known + ")"},
      {"controller = \"mxcfb-nxp\"\n" + modes,
       "p.toml: waveform 'GC16' (quality 3) has no 'mode', the controller's "
       "code for it: give it one in its [waveform] table, or select another "
       "waveform"},
      {"controller = \"mxcfb-nxp\"\n[quality]\n3 = \"GL16\"\n" + modes,
       "p.toml: waveform 'GC16' (full updates) has no 'mode', the "
       "controller's code for it: give it one in its [waveform] table, or "
       "select another waveform"},
      {"controller = \"mxcfb-nxp\"\nfull = \"GL16\"\n[quality]\n3 = "
       "\"GL16\"\n" +
           modes,
       "p.toml: waveform 'GC16' (erases) has no 'mode', the controller's code "
       "for it: give it one in its [waveform] table, or select another "
       "waveform"},
      {"controller = \"mxcfb-nxp\"\nwait = 2\n", "p.toml:2: 'wait' must be"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    DeviceProfile d;
    const std::string problem = parseDeviceProfile(c.text, "p.toml", d);
    EXPECT_EQ(problem.substr(0, c.problem.size()), c.problem) << problem;
    EXPECT_EQ(d.controller, nullptr);  // untouched
  }
  DeviceProfile d;
  EXPECT_EQ(readDeviceProfile("/nonexistent/p.toml", d),
            "/nonexistent/p.toml: No such file or directory");
  // The waveforms that no request selects need no mode (GC4, DU4, INIT).
  EXPECT_EQ(parseDeviceProfile("controller = \"mxcfb-nxp\"\n" + modes + gc16,
                               "p.toml", d),
            "");
  EXPECT_EQ(d.controller, findController("mxcfb-nxp"));
}

}  // namespace
}  // namespace zodm::displayd
