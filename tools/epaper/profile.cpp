// SPDX-License-Identifier: MIT
// See profile.h. The TOML is read by toml++, header-only.
#include "profile.h"

#ifdef ZODM_HAVE_TOMLPLUSPLUS
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>
#endif

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <sstream>
#include <tuple>

namespace zodm::model {

namespace {

// Generous bounds, so that no sum of durations can overflow.
constexpr double kMaxMs = 3600.0 * 1000;
constexpr int64_t kMaxConcurrent = 64;

// The words a profile says a choice in, in the order of the enum.
constexpr const char* kFlashWords[] = {"never", "full", "always"};
constexpr const char* kPriorityWords[] = {"ignored", "highest-first",
                                          "lowest-first"};
constexpr const char* kMappingWords[] = {"pixels", "scaled"};
// A waveform's residue limit, when a new waveform's table leaves it out, as
// a multiple of its residue share: the built-in waveforms' rule.
constexpr double kResidueLimitPerShare = 2.5;
// The most partial updates between flashes a profile may ask for.
constexpr int64_t kMaxFlashEvery = 1000;
// Temperatures a panel may be driven for, in degrees Celsius.
constexpr int64_t kMinTemperature = -40;
constexpr int64_t kMaxTemperature = 100;

// The keys a message lists when it refuses an unknown one.
constexpr char kProfileKeyNames[] =
    "concurrent, priority, flash_every, full, erase, quality, waveform, "
    "controller, temp, mapping, wait";
constexpr char kWaveformKeyNames[] =
    "levels, duration_ms, flash, flash_ms, residue, residue_limit, mode";

template <typename Enum, std::size_t N>
const char* word(const char* const (&words)[N], Enum value) {
  return words[static_cast<std::size_t>(value)];
}

Waveform waveform(const char* name, int levels, int durationMs, Flash flash,
                  int flashMs, double residue, double residueLimit) {
  Waveform w;
  w.name = name;
  w.levels = levels;
  w.duration = durationMs * kMicrosPerMs;
  w.flash = flash;
  w.flashTime = flashMs * kMicrosPerMs;
  w.residue = residue;
  w.residueLimit = residueLimit;
  return w;
}

// A number as the shortest text that reads back to it.
std::string number(double value) {
  char digits[32];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  std::string out(digits, end);
  return out;
}

#ifdef ZODM_HAVE_TOMLPLUSPLUS
// The first problem found in a document, by line: a document with several
// is reported at its topmost, whatever order the keys are looked at in.
class Problems {
 public:
  void add(const toml::source_region& where, std::string reason) {
    const auto line = static_cast<unsigned long>(where.begin.line);
    if (!reason_.empty() && line >= line_) return;
    line_ = line;
    reason_ = std::move(reason);
  }
  bool any() const { return !reason_.empty(); }
  std::string text(const std::string& name) const {
    return name + ":" + std::to_string(line_) + ": " + reason_;
  }

 private:
  unsigned long line_ = 0;
  std::string reason_;
};

std::string quoted(std::string_view text) {
  std::string out = "'";
  out += text;
  out += '\'';
  return out;
}

// Reads one of words into value; false when node is none of them.
template <typename Enum, std::size_t N>
bool readChoice(const toml::node& node, const char* const (&words)[N],
                Enum& value) {
  const std::optional<std::string_view> text = node.value<std::string_view>();
  for (std::size_t i = 0; i < N; ++i)
    if (text == words[i]) {
      value = static_cast<Enum>(i);
      return true;
    }
  return false;
}

// Reads a number of milliseconds into micros: above zero, or with
// zeroAllowed at least zero.
bool readMs(const toml::node& node, std::string_view key, bool zeroAllowed,
            Micros& micros, Problems& problems) {
  const std::optional<double> ms = node.value<double>();
  if (!ms || !node.is_number()) {
    problems.add(node.source(), quoted(key) + " must be a number of ms");
    return false;
  }
  if (!std::isfinite(*ms) || *ms < 0 || (*ms == 0 && !zeroAllowed) ||
      *ms > kMaxMs) {
    problems.add(node.source(),
                 quoted(key) + " must be " +
                     (zeroAllowed ? "zero or more" : "more than zero") +
                     " ms, at most an hour, not " + number(*ms));
    return false;
  }
  const auto rounded = static_cast<Micros>(std::llround(*ms * kMicrosPerMs));
  if (rounded == 0 && !zeroAllowed) {
    problems.add(node.source(), quoted(key) + " must be at least 0.001 ms");
    return false;
  }
  micros = rounded;
  return true;
}

// Reads a share, a number from 0 to 1, into share.
void readShare(const toml::node& node, std::string_view key, double& share,
               Problems& problems) {
  const std::optional<double> value = node.value<double>();
  if (!value || !node.is_number() || !(*value >= 0 && *value <= 1))
    problems.add(node.source(), quoted(key) + " must be a number from 0 to 1");
  else
    share = *value;
}

// A waveform named by key, as written; resolved once every waveform is
// read.
struct Reference {
  std::size_t* slot;
  std::string name;
  toml::source_region where;
};

bool readName(const toml::node& node, std::string_view key, std::size_t* slot,
              std::vector<Reference>& references, Problems& problems) {
  const auto* text = node.as_string();
  if (text == nullptr) {
    problems.add(node.source(),
                 quoted(key) + " must name a waveform, as a string");
    return false;
  }
  references.push_back({slot, text->get(), node.source()});
  return true;
}

// What reading a document collects: its first problem, and the waveforms
// that keys name, resolved once every waveform is read.
struct Reading {
  Problems problems;
  std::vector<Reference> references;
};

// One key of a table: its name and what reads its value into the profile
// (a waveform's keys into the waveform).
template <typename Target>
struct Key {
  const char* name;
  void (*read)(const toml::node& node, std::string_view key, Target& target,
               Reading& reading);
};

// Reads each key of table with its row of keys, refusing the keys that
// have none; what names them in a message is known.
template <typename Target, std::size_t N>
void readKeys(const toml::table& table, const Key<Target> (&keys)[N],
              const char* known, const char* where, Target& target,
              Reading& reading) {
  for (const auto& [key, node] : table) {
    const std::string_view k = key.str();
    const auto row =
        std::find_if(std::begin(keys), std::end(keys),
                     [&](const Key<Target>& r) { return k == r.name; });
    if (row == std::end(keys)) {
      reading.problems.add(key.source(), "unknown key " + quoted(k) + where +
                                             " (" + known + ")");
      continue;
    }
    row->read(node, k, target, reading);
  }
}

const Key<Waveform> kWaveformKeys[] = {
    {"levels",
     [](const toml::node& node, std::string_view, Waveform& w, Reading& r) {
       const std::optional<int64_t> levels = node.value_exact<int64_t>();
       if (!levels || *levels < 1 || *levels > 256)
         r.problems.add(node.source(),
                        "'levels' must be a whole number from 1 to 256");
       else
         w.levels = static_cast<int>(*levels);
     }},
    {"duration_ms",
     [](const toml::node& node, std::string_view k, Waveform& w, Reading& r) {
       readMs(node, k, false, w.duration, r.problems);
     }},
    {"flash",
     [](const toml::node& node, std::string_view, Waveform& w, Reading& r) {
       if (!readChoice(node, kFlashWords, w.flash))
         r.problems.add(node.source(),
                        "'flash' must be \"never\", \"full\" or \"always\"");
     }},
    {"flash_ms",
     [](const toml::node& node, std::string_view k, Waveform& w, Reading& r) {
       readMs(node, k, true, w.flashTime, r.problems);
     }},
    {"residue", [](const toml::node& node, std::string_view k, Waveform& w,
                   Reading& r) { readShare(node, k, w.residue, r.problems); }},
    {"residue_limit",
     [](const toml::node& node, std::string_view k, Waveform& w, Reading& r) {
       readShare(node, k, w.residueLimit, r.problems);
     }},
    {"mode",
     [](const toml::node& node, std::string_view, Waveform& w, Reading& r) {
       const std::optional<int64_t> mode = node.value_exact<int64_t>();
       if (!mode || *mode < 0 || (*mode > kMaxMode && *mode != kAutoMode))
         r.problems.add(node.source(),
                        "'mode' must be the controller's waveform code, a "
                        "whole number from 0 to 255 (or 257, AUTO)");
       else
         w.mode = static_cast<int>(*mode);
     }},
};

// Names stay bare TOML keys, so that a profile prints as it reads.
bool bareName(std::string_view name) {
  return !name.empty() && name.size() <= 32 &&
         name.find_first_not_of(
             "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
             "0123456789_-") == std::string_view::npos;
}

// Reads one [waveform.NAME] table: over the waveform of that name, or as
// a new one, which needs its duration.
void readWaveform(const toml::key& name, const toml::node& table,
                  Profile& profile, Reading& reading) {
  const auto* fields = table.as_table();
  if (fields == nullptr) {
    reading.problems.add(table.source(),
                         "waveform " + quoted(name.str()) + " must be a table");
    return;
  }
  if (!bareName(name.str())) {
    reading.problems.add(name.source(),
                         "a waveform's name is 1 to 32 letters, digits, '_' "
                         "or '-'");
    return;
  }
  std::size_t i = profile.find(name.str());
  const bool added = i == profile.waveforms.size();
  if (added) {
    if (!fields->contains("duration_ms"))
      reading.problems.add(name.source(), "waveform " + quoted(name.str()) +
                                              " needs 'duration_ms'");
    Waveform w;
    w.name = std::string(name.str());
    profile.waveforms.push_back(w);
  }
  Waveform& w = profile.waveforms[i];
  readKeys(*fields, kWaveformKeys, kWaveformKeyNames, " in a waveform", w,
           reading);
  // A new waveform's residue levels off as the built-in ones' do, unless
  // the profile says where.
  if (added && !fields->contains("residue_limit"))
    w.residueLimit = std::min(1.0, kResidueLimitPerShare * w.residue);
}

void readWaveforms(const toml::node& node, std::string_view, Profile& profile,
                   Reading& reading) {
  const auto* waveforms = node.as_table();
  if (waveforms == nullptr) {
    reading.problems.add(node.source(),
                         "'waveform' must be a table of waveforms");
    return;
  }
  // In the order of the file, so that new ones are kept in it.
  std::vector<std::pair<const toml::key*, const toml::node*>> inOrder;
  for (const auto& [name, table] : *waveforms)
    inOrder.emplace_back(&name, &table);
  std::stable_sort(
      inOrder.begin(), inOrder.end(), [](const auto& a, const auto& b) {
        return a.first->source().begin.line < b.first->source().begin.line;
      });
  for (const auto& [name, table] : inOrder)
    readWaveform(*name, *table, profile, reading);
}

// Why key is no quality level: a level is one digit, 0 to 3.
std::string qualityLevelProblem(std::string_view key) {
  int value = 0;
  const char* end = key.data() + key.size();
  const auto [at, error] = std::from_chars(key.data(), end, value);
  const std::string level = "quality level " + quoted(key);
  if (error == std::errc() && at == end && value >= 0 && value <= 3)
    return level + " must be one digit: '" + std::to_string(value) + "'";
  if ((error == std::errc() && at == end) ||
      error == std::errc::result_out_of_range)
    return level + " is outside 0..3";
  return level + " is not a level: the levels are the digits 0 to 3";
}

void readQuality(const toml::node& node, std::string_view, Profile& profile,
                 Reading& reading) {
  const auto* levels = node.as_table();
  if (levels == nullptr) {
    reading.problems.add(node.source(), "'quality' must be a table of levels");
    return;
  }
  for (const auto& [level, name] : *levels) {
    const std::string_view l = level.str();
    if (l.size() != 1 || l[0] < '0' || l[0] > '3') {
      reading.problems.add(level.source(), qualityLevelProblem(l));
      continue;
    }
    readName(name, l, &profile.quality[static_cast<std::size_t>(l[0] - '0')],
             reading.references, reading.problems);
  }
}

const Key<Profile> kProfileKeys[] = {
    {"concurrent",
     [](const toml::node& node, std::string_view, Profile& p, Reading& r) {
       const std::optional<int64_t> n = node.value_exact<int64_t>();
       if (!n || *n < 1 || *n > kMaxConcurrent)
         r.problems.add(node.source(),
                        "'concurrent' must be a whole number from 1 to 64");
       else
         p.concurrent = static_cast<int>(*n);
     }},
    {"priority",
     [](const toml::node& node, std::string_view, Profile& p, Reading& r) {
       if (!readChoice(node, kPriorityWords, p.priority))
         r.problems.add(node.source(),
                        "'priority' must be \"ignored\", \"highest-first\" "
                        "or \"lowest-first\"");
     }},
    {"flash_every",
     [](const toml::node& node, std::string_view, Profile& p, Reading& r) {
       const std::optional<int64_t> n = node.value_exact<int64_t>();
       if (!n || *n < 0 || *n > kMaxFlashEvery)
         r.problems.add(node.source(),
                        "'flash_every' must be a whole number from 0 (never) "
                        "to 1000");
       else
         p.flashEvery = static_cast<int>(*n);
     }},
    {"full",
     [](const toml::node& node, std::string_view k, Profile& p, Reading& r) {
       readName(node, k, &p.full, r.references, r.problems);
     }},
    {"erase",
     [](const toml::node& node, std::string_view k, Profile& p, Reading& r) {
       readName(node, k, &p.erase, r.references, r.problems);
     }},
    {"quality", readQuality},
    {"waveform", readWaveforms},
    {"controller",
     [](const toml::node& node, std::string_view, Profile& p, Reading& r) {
       const std::optional<std::string_view> name =
           node.value<std::string_view>();
       if (!name || !bareName(*name)) {
         r.problems.add(node.source(),
                        "'controller' must name the controller's interface, "
                        "as a string of letters, digits, '_' or '-'");
         return;
       }
       p.device.controller = std::string(*name);
       p.device.controllerLine =
           static_cast<unsigned long>(node.source().begin.line);
     }},
    {"temp",
     [](const toml::node& node, std::string_view, Profile& p, Reading& r) {
       if (node.value<std::string_view>() == "ambient") {
         p.device.temperature.reset();
         return;
       }
       const std::optional<int64_t> degrees = node.value_exact<int64_t>();
       if (!degrees || *degrees < kMinTemperature || *degrees > kMaxTemperature)
         r.problems.add(node.source(),
                        "'temp' must be \"ambient\" or whole degrees from "
                        "-40 to 100");
       else
         p.device.temperature = static_cast<int>(*degrees);
     }},
    {"mapping",
     [](const toml::node& node, std::string_view, Profile& p, Reading& r) {
       if (!readChoice(node, kMappingWords, p.device.mapping))
         r.problems.add(node.source(),
                        "'mapping' must be \"pixels\" or \"scaled\"");
     }},
    {"wait",
     [](const toml::node& node, std::string_view, Profile& p, Reading& r) {
       const std::optional<bool> wait = node.value_exact<bool>();
       if (!wait)
         r.problems.add(node.source(), "'wait' must be true or false");
       else
         p.device.wait = *wait;
     }},
};

// The profile's waveforms, "A2, DU, ..., INIT", for a message.
std::string waveformNames(const Profile& profile) {
  std::string names;
  for (const Waveform& w : profile.waveforms)
    names += (names.empty() ? "" : ", ") + w.name;
  return names;
}

void readDocument(const toml::table& document, Profile& profile,
                  Problems& problems) {
  Reading reading;
  readKeys(document, kProfileKeys, kProfileKeyNames, "", profile, reading);
  for (const Reference& ref : reading.references) {
    const std::size_t i = profile.find(ref.name);
    if (i == profile.waveforms.size())
      reading.problems.add(ref.where, "unknown waveform " + quoted(ref.name) +
                                          " (the profile has " +
                                          waveformNames(profile) + ")");
    else
      *ref.slot = i;
  }
  problems = std::move(reading.problems);
}

#endif  // ZODM_HAVE_TOMLPLUSPLUS

}  // namespace

bool stronger(const Waveform& a, const Waveform& b) {
  const auto rank = [](const Waveform& w) {
    return std::make_tuple(w.levels, w.duration, static_cast<int>(w.flash),
                           w.flashTime);
  };
  return rank(a) > rank(b);
}

std::size_t Profile::find(std::string_view name) const {
  for (std::size_t i = 0; i < waveforms.size(); ++i)
    if (waveforms[i].name == name) return i;
  return waveforms.size();
}

Profile defaultProfile() {
  Profile p;
  // Gray levels, durations and flashes after the controllers' public
  // documentation; the flash time after measured flashing updates (a full
  // GC16 update about 650 ms, a flashing A2 about 200 ms). The residue
  // shares and limits are this model's own: no public source gives them.
  // The shares are chosen so that a run of five or six fast passes leaves
  // a visible ghost, as apps that flash every 6 partial updates expect;
  // each limit is 2.5 times its share, so that a run of passes over the
  // same pixels goes 0.4 of the way to the limit each pass (past nine
  // tenths of it after five) and levels off at a faint image of what was
  // shown before: A2 at a quarter of a black-and-white change.
  p.waveforms = {
      waveform("A2", 2, 120, Flash::Never, 80, 0.10, 0.25),
      waveform("DU", 2, 260, Flash::Never, 0, 0.06, 0.15),
      waveform("GC4", 4, 290, Flash::Never, 0, 0.04, 0.10),
      waveform("DU4", 4, 290, Flash::Never, 0, 0.04, 0.10),
      waveform("GL16", 16, 450, Flash::Never, 0, 0.02, 0.05),
      waveform("GC16", 16, 450, Flash::Full, 200, 0.01, 0.025),
      waveform("INIT", 1, 1600, Flash::Always, 400, 0, 0),
  };
  p.quality = {p.find("A2"), p.find("DU"), p.find("GL16"), p.find("GC16")};
  p.full = p.find("GC16");
  p.erase = p.find("GC16");
  p.concurrent = 16;
  p.priority = PriorityOrder::Ignored;
  return p;
}

namespace {

// The keys only a device uses, when the profile names a controller.
void printDevice(std::ostream& out, const Device& d) {
  if (d.controller.empty()) return;
  out << "\n"
         "# On a device (zodm-displayd; the emulator leaves these alone): the\n"
         "# controller's interface, the temperature updates are driven for\n"
         "# (\"ambient\", or degrees), how request coordinates reach the\n"
         "# panel (\"pixels\": as they are, cut to the panel; \"scaled\": the\n"
         "# area stretched over it), and whether each update's completion is\n"
         "# waited for. Each waveform's mode is the controller's code for it.\n"
      << "controller = \"" << d.controller << "\"\n"
      << "temp = ";
  if (d.temperature)
    out << *d.temperature << "\n";
  else
    out << "\"ambient\"\n";
  out << "mapping = \"" << word(kMappingWords, d.mapping) << "\"\n"
      << "wait = " << (d.wait ? "true" : "false") << "\n";
}

}  // namespace

std::string printProfile(const Profile& p) {
  std::ostringstream out;
  out << "# A zodm-screen display profile: what the display service makes of\n"
         "# each request. Give it with --profile FILE; keys left out keep the\n"
         "# built-in values that zodm-screen --print-profile shows.\n"
         "\n"
         "# Updates the controller runs at once, over disjoint regions; an\n"
         "# update that overlaps a running one waits for it.\n"
      << "concurrent = " << p.concurrent << "\n"
      << "# How priority orders waiting updates: \"ignored\" (arrival order),\n"
         "# \"highest-first\" (3 before 0) or \"lowest-first\" (0 before 3).\n"
      << "priority = \"" << word(kPriorityWords, p.priority) << "\"\n"
      << "# The Nth partial update since the last flash is carried out\n"
         "# flashing, as apps refresh fully every N pages (0: never).\n"
      << "flash_every = " << p.flashEvery << "\n"
      << "# The waveforms of a full update and of an erase to white.\n"
      << "full = \"" << p.waveforms[p.full].name << "\"\n"
      << "erase = \"" << p.waveforms[p.erase].name << "\"\n";
  printDevice(out, p.device);
  out << "\n"
         "# The waveform of a partial update, by its quality level.\n"
         "[quality]\n";
  for (std::size_t level = 0; level < p.quality.size(); ++level)
    out << level << " = \"" << p.waveforms[p.quality[level]].name << "\"\n";
  out << "\n"
         "# Each waveform: the gray levels a pass reaches (1: white only, 2:\n"
         "# black and white, up to 256), how long a pass takes, when it\n"
         "# flashes (\"never\"; \"full\": in a full update and an erase;\n"
         "# \"always\"), how long a flash adds to a pass, the share of a\n"
         "# pixel's change that a pass which does not flash leaves behind as\n"
         "# residue (0 to 1), and the share of a change that the residue of\n"
         "# a run of such passes levels off at (0 to 1); a flash clears it.\n"
         "# flash_ms counts only where the pass flashes: flash is not\n"
         "# \"never\", or flash_every makes it flash (A2's 80 ms is what a\n"
         "# flashing A2 pass adds). A waveform of a new name needs\n"
         "# duration_ms; its other keys default to levels = 16, flash =\n"
         "# \"never\", flash_ms = 0, residue = 0 and residue_limit = 2.5\n"
         "# times its residue. Any waveform may serve a full update, an\n"
         "# erase or a quality level: INIT, which always flashes and ends\n"
         "# white, clears the panel as a device's first update does, with\n"
         "# erase = \"INIT\".\n";
  for (const Waveform& w : p.waveforms) {
    out << "\n[waveform." << w.name << "]\n"
        << "levels = " << w.levels << "\n"
        << "duration_ms = " << milliseconds(w.duration) << "\n"
        << "flash = \"" << word(kFlashWords, w.flash) << "\"\n"
        << "flash_ms = " << milliseconds(w.flashTime) << "\n"
        << "residue = " << number(w.residue) << "\n"
        << "residue_limit = " << number(w.residueLimit) << "\n";
    if (w.mode) out << "mode = " << *w.mode << "\n";
  }
  return out.str();
}

std::string parseProfile(std::string_view text, const std::string& name,
                         Profile& profile) {
#ifdef ZODM_HAVE_TOMLPLUSPLUS
  // Every key and value of a profile is ASCII, and so must its comments be:
  // Debian's toml++ 3.3 reaches an unreachable point (undefined behaviour)
  // on some characters beyond ASCII, such as U+FEBF.
  unsigned long line = 1;
  for (const char c : text) {
    if (c == '\n') ++line;
    if (static_cast<unsigned char>(c) < 0x80) continue;
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(c));
    return name + ":" + std::to_string(line) +
           ": a profile is ASCII text, and this line holds the byte " + hex;
  }
  toml::table document;
  try {
    document = toml::parse(text, name);
  } catch (const toml::parse_error& error) {
    return name + ":" + std::to_string(error.source().begin.line) +
           ": not TOML: " + std::string(error.description());
  }
  Profile read = profile;
  Problems problems;
  readDocument(document, read, problems);
  if (problems.any()) return problems.text(name);
  profile = std::move(read);
  return {};
#else
  (void)text;
  (void)profile;
  return name +
         ": this zodm-screen was built without toml++, so it knows "
         "only its built-in profile";
#endif
}

}  // namespace zodm::model
