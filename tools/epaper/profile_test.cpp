// SPDX-License-Identifier: MIT
// Display profiles: the built-in one read back from its own text, and each
// kind of bad profile refused with its line.
#include "profile.h"

#include <gtest/gtest.h>

#include <string>

namespace zodm::model {
namespace {

TEST(Profile, PrintedDefaultReadsBackTheSame) {
  const Profile builtIn = defaultProfile();
  Profile read;  // empty: every key must come from the text
  read.waveforms.clear();
  const std::string text = printProfile(builtIn);
  ASSERT_EQ("", parseProfile(text, "default.toml", read));
  EXPECT_EQ(text, printProfile(read));
  EXPECT_EQ("A2", read.waveform(read.quality[0]).name);
  EXPECT_EQ("GC16", read.waveform(read.full).name);
  EXPECT_EQ(450000, read.waveform(read.quality[3]).duration);
}

TEST(Profile, KeysOverTheBuiltInOnes) {
  Profile p = defaultProfile();
  ASSERT_EQ("",
            parseProfile("concurrent = 1\npriority = \"highest-first\"\n"
                         "[quality]\n1 = \"A2\"\n"
                         "[waveform.REAGL]\nduration_ms = 365.5\nlevels = 16\n"
                         "residue = 0.02\n"
                         "[waveform.A2]\nresidue = 0.25\n"
                         "[waveform.DU]\nresidue_limit = 0.5\n",
                         "p.toml", p));
  EXPECT_EQ(1, p.concurrent);
  EXPECT_EQ(PriorityOrder::HighestFirst, p.priority);
  EXPECT_EQ("A2", p.waveform(p.quality[1]).name);
  EXPECT_EQ("DU", defaultProfile().waveform(defaultProfile().quality[1]).name);
  EXPECT_EQ(0.25, p.waveform(p.find("A2")).residue);
  EXPECT_EQ(365500, p.waveform(p.find("REAGL")).duration);
  // A built-in waveform keeps its limit; a new one's is 2.5 times its share.
  EXPECT_EQ(0.25, p.waveform(p.find("A2")).residueLimit);
  EXPECT_EQ(0.5, p.waveform(p.find("DU")).residueLimit);
  EXPECT_DOUBLE_EQ(0.05, p.waveform(p.find("REAGL")).residueLimit);
}

// A device's keys, which the emulator reads and keeps, print and read back.
TEST(Profile, DeviceKeysReadBack) {
  Profile p = defaultProfile();
  ASSERT_EQ(
      "", parseProfile("flash_every = 6\ncontroller = \"mxcfb-nxp\"\n"
                       "temp = 24\nmapping = \"scaled\"\nwait = false\n"
                       "[waveform.A2]\nmode = 4\n[waveform.GC16]\nmode = 257\n",
                       "p.toml", p));
  EXPECT_EQ(6, p.flashEvery);
  EXPECT_EQ("mxcfb-nxp", p.device.controller);
  EXPECT_EQ(2U, p.device.controllerLine);
  EXPECT_EQ(24, p.device.temperature);
  EXPECT_EQ(Mapping::Scaled, p.device.mapping);
  EXPECT_FALSE(p.device.wait);
  EXPECT_EQ(4, p.waveform(p.find("A2")).mode);
  EXPECT_EQ(std::nullopt, p.waveform(p.find("DU")).mode);
  Profile read = defaultProfile();
  const std::string text = printProfile(p);
  ASSERT_EQ("", parseProfile(text, "printed.toml", read));
  EXPECT_EQ(text, printProfile(read));
  ASSERT_EQ("", parseProfile("temp = \"ambient\"\n", "p.toml", read));
  EXPECT_EQ(std::nullopt, read.device.temperature);
}

// What the printed profile's comments promise: a new waveform's keys
// default as they say, and INIT serves an erase.
TEST(Profile, NewWaveformDefaultsAndInitAsErase) {
  const std::string printed = printProfile(defaultProfile());
  ASSERT_NE(std::string::npos, printed.find("erase = \"INIT\""));
  ASSERT_NE(std::string::npos,
            printed.find("levels = 16, flash =\n"
                         "# \"never\", flash_ms = 0, residue = 0 and "
                         "residue_limit = 2.5\n# times its residue."));
  Profile p = defaultProfile();
  ASSERT_EQ("", parseProfile("erase = \"INIT\"\n[waveform.NEW]\n"
                             "duration_ms = 300\n",
                             "p.toml", p));
  const Waveform& added = p.waveform(p.find("NEW"));
  EXPECT_EQ(16, added.levels);
  EXPECT_EQ(Flash::Never, added.flash);
  EXPECT_EQ(0, added.flashTime);
  EXPECT_EQ(0.0, added.residue);
  EXPECT_EQ("INIT", p.waveform(p.erase).name);
}

// What a merged update takes: levels first, then the pass, then how often
// it flashes, then the flash.
TEST(Profile, StrongerWaveform) {
  const auto wave = [](int levels, Micros duration, Flash flash,
                       Micros flashTime) {
    Waveform w;
    w.levels = levels;
    w.duration = duration;
    w.flash = flash;
    w.flashTime = flashTime;
    return w;
  };
  const struct {
    Waveform a, b;
    bool aStronger;
  } kCases[] = {
      {wave(16, 100, Flash::Never, 0), wave(2, 900, Flash::Always, 900), true},
      {wave(2, 260, Flash::Never, 0), wave(2, 120, Flash::Never, 80), true},
      {wave(16, 450, Flash::Full, 0), wave(16, 450, Flash::Never, 200), true},
      {wave(16, 450, Flash::Full, 200), wave(16, 450, Flash::Full, 100), true},
      {wave(16, 450, Flash::Full, 200), wave(16, 450, Flash::Full, 200), false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(stronger(c.a, c.b), c.aStronger);
    EXPECT_FALSE(c.aStronger && stronger(c.b, c.a));
  }
}

TEST(Profile, BadProfilesNameTheLine) {
  const struct {
    const char* text;
    const char* problem;
  } kCases[] = {
      {"concurrent = 4\n[quality\n", "p.toml:2: not TOML: "},
      {"full = \"GC17\"\n", "p.toml:1: unknown waveform 'GC17'"},
      {"\n[quality]\n0 = \"A3\"\n", "p.toml:3: unknown waveform 'A3'"},
      {"colour = 1\n", "p.toml:1: unknown key 'colour'"},
      {"[waveform.A2]\nlevels = 2\nspeed = 3\n",
       "p.toml:3: unknown key 'speed' in a waveform"},
      {"[quality]\n4 = \"A2\"\n",
       "p.toml:2: quality level '4' is outside 0..3"},
      {"[quality]\n-1 = \"A2\"\n",
       "p.toml:2: quality level '-1' is outside 0..3"},
      {"[quality]\n01 = \"A2\"\n",
       "p.toml:2: quality level '01' must be one digit: '1'"},
      {"[quality]\nx = \"A2\"\n",
       "p.toml:2: quality level 'x' is not a level: the levels are the digits "
       "0 to 3"},
      {"[quality]\n0 = \"A3\"\n",
       "p.toml:2: unknown waveform 'A3' (the profile has A2, DU, GC4, DU4, "
       "GL16, GC16, INIT)"},
      {"erase = \"X\"\n[waveform.MINE]\nduration_ms = 5\n",
       "p.toml:1: unknown waveform 'X' (the profile has A2, DU, GC4, DU4, "
       "GL16, GC16, INIT, MINE)"},

      {"[waveform.DU]\nduration_ms = 0\n",
       "p.toml:2: 'duration_ms' must be more than zero ms"},
      {"[waveform.DU]\n\nduration_ms = -5\n",
       "p.toml:3: 'duration_ms' must be more than zero ms"},
      {"[waveform.DU]\nflash_ms = -1\n",
       "p.toml:2: 'flash_ms' must be zero or more ms"},
      {"[waveform.DU]\nresidue = 1.5\n",
       "p.toml:2: 'residue' must be a number from 0 to 1"},
      {"[waveform.DU]\nresidue = -0.1\n",
       "p.toml:2: 'residue' must be a number from 0 to 1"},
      {"[waveform.DU]\nresidue = nan\n",
       "p.toml:2: 'residue' must be a number from 0 to 1"},
      {"[waveform.DU]\nresidue_limit = 1.01\n",
       "p.toml:2: 'residue_limit' must be a number from 0 to 1"},
      {"[waveform.DU]\nresidue_limit = \"0.1\"\n",
       "p.toml:2: 'residue_limit' must be a number from 0 to 1"},
      {"[waveform.DU]\nlevels = 1.5\n", "p.toml:2: 'levels' must be a whole"},
      {"[waveform.DU]\nlevels = 0\n", "p.toml:2: 'levels' must be a whole"},
      {"[waveform.DU]\nlevels = 257\n", "p.toml:2: 'levels' must be a whole"},
      {"[waveform.DU]\nduration_ms = 0.0004\n",
       "p.toml:2: 'duration_ms' must be at least 0.001 ms"},
      {"[waveform.\"a b\"]\nduration_ms = 5\n",
       "p.toml:1: a waveform's name is 1 to 32 letters"},
      {"[waveform.NEW]\nlevels = 4\n",
       "p.toml:1: waveform 'NEW' needs 'duration_ms'"},
      {"concurrent = 0\n", "p.toml:1: 'concurrent' must be a whole number"},
      {"priority = 2\n", "p.toml:1: 'priority' must be "},
      {"[waveform.DU]\nflash = true\n", "p.toml:2: 'flash' must be "},
      {"concurrent = 4\n# f\xc3\xbcr Kobo\n",
       "p.toml:2: a profile is ASCII text, and this line holds the byte 0xC3"},
      {"flash_every = -1\n", "p.toml:1: 'flash_every' must be a whole"},
      {"flash_every = 1001\n", "p.toml:1: 'flash_every' must be a whole"},
      {"[waveform.A2]\nmode = 256\n", "p.toml:2: 'mode' must be the"},
      {"[waveform.A2]\nmode = -1\n", "p.toml:2: 'mode' must be the"},
      {"controller = \"mxcfb nxp\"\n", "p.toml:1: 'controller' must name"},
      {"temp = \"cold\"\n", "p.toml:1: 'temp' must be \"ambient\" or"},
      {"temp = 101\n", "p.toml:1: 'temp' must be \"ambient\" or"},
      {"mapping = \"stretched\"\n", "p.toml:1: 'mapping' must be"},
      {"wait = 1\n", "p.toml:1: 'wait' must be true or false"},
      // The topmost of two problems.
      {"[waveform.DU]\nresidue = 2\n[quality]\n0 = \"X\"\n",
       "p.toml:2: 'residue'"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    Profile p = defaultProfile();
    const std::string problem = parseProfile(c.text, "p.toml", p);
    EXPECT_EQ(0U, problem.rfind(c.problem, 0)) << problem;
    EXPECT_EQ(printProfile(defaultProfile()), printProfile(p));  // untouched
  }
}

}  // namespace
}  // namespace zodm::model
