// SPDX-License-Identifier: MIT
// See profile.h. The TOML is read by toml++, header-only.
#include "profile.h"

#ifdef ZODM_HAVE_TOMLPLUSPLUS
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>
#endif

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>

namespace zodm::model {

namespace {

constexpr Micros kMicrosPerMs = 1000;
// Generous bounds, so that no sum of durations can overflow.
constexpr double kMaxMs = 3600.0 * 1000;
constexpr int64_t kMaxConcurrent = 64;

// The words a profile says a choice in, in the order of the enum.
constexpr const char* kFlashWords[] = {"never", "full", "always"};
constexpr const char* kPriorityWords[] = {"ignored", "highest-first",
                                          "lowest-first"};

template <typename Enum, std::size_t N>
const char* word(const char* const (&words)[N], Enum value) {
  return words[static_cast<std::size_t>(value)];
}

Waveform waveform(const char* name, int levels, int durationMs, Flash flash,
                  int flashMs, double residue) {
  Waveform w;
  w.name = name;
  w.levels = levels;
  w.duration = durationMs * kMicrosPerMs;
  w.flash = flash;
  w.flashTime = flashMs * kMicrosPerMs;
  w.residue = residue;
  w.residue128 = static_cast<int>(std::lround(residue * 128));
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

void readWaveform(const toml::table& table, Waveform& w, Problems& problems) {
  for (const auto& [key, node] : table) {
    const std::string_view k = key.str();
    if (k == "levels") {
      const std::optional<int64_t> levels = node.value_exact<int64_t>();
      if (!levels || *levels < 1 || *levels > 256)
        problems.add(node.source(),
                     "'levels' must be a whole number from 1 to 256");
      else
        w.levels = static_cast<int>(*levels);
    } else if (k == "duration_ms") {
      readMs(node, k, false, w.duration, problems);
    } else if (k == "flash_ms") {
      readMs(node, k, true, w.flashTime, problems);
    } else if (k == "flash") {
      if (!readChoice(node, kFlashWords, w.flash))
        problems.add(node.source(),
                     "'flash' must be \"never\", \"full\" or \"always\"");
    } else if (k == "residue") {
      const std::optional<double> residue = node.value<double>();
      if (!residue || !node.is_number() || !(*residue >= 0 && *residue <= 1))
        problems.add(node.source(), "'residue' must be a number from 0 to 1");
      else {
        w.residue = *residue;
        w.residue128 = static_cast<int>(std::lround(*residue * 128));
      }
    } else {
      problems.add(key.source(), "unknown key " + quoted(k) +
                                     " in a waveform (levels, duration_ms, "
                                     "flash, flash_ms, residue)");
    }
  }
}

void readDocument(const toml::table& document, Profile& profile,
                  Problems& problems) {
  std::vector<Reference> references;
  for (const auto& [key, node] : document) {
    const std::string_view k = key.str();
    if (k == "concurrent") {
      const std::optional<int64_t> n = node.value_exact<int64_t>();
      if (!n || *n < 1 || *n > kMaxConcurrent)
        problems.add(node.source(),
                     "'concurrent' must be a whole number from 1 to 64");
      else
        profile.concurrent = static_cast<int>(*n);
    } else if (k == "priority") {
      if (!readChoice(node, kPriorityWords, profile.priority))
        problems.add(node.source(),
                     "'priority' must be \"ignored\", \"highest-first\" or "
                     "\"lowest-first\"");
    } else if (k == "full") {
      readName(node, k, &profile.full, references, problems);
    } else if (k == "erase") {
      readName(node, k, &profile.erase, references, problems);
    } else if (k == "quality") {
      const auto* levels = node.as_table();
      if (levels == nullptr) {
        problems.add(node.source(), "'quality' must be a table of levels");
        continue;
      }
      for (const auto& [level, name] : *levels) {
        const std::string_view l = level.str();
        if (l.size() != 1 || l[0] < '0' || l[0] > '3') {
          problems.add(level.source(),
                       "quality level " + quoted(l) + " is outside 0..3");
          continue;
        }
        readName(name, l,
                 &profile.quality[static_cast<std::size_t>(l[0] - '0')],
                 references, problems);
      }
    } else if (k == "waveform") {
      const auto* waveforms = node.as_table();
      if (waveforms == nullptr) {
        problems.add(node.source(), "'waveform' must be a table of waveforms");
        continue;
      }
      // In the order of the file, so that new ones are kept in it.
      std::vector<std::pair<const toml::key*, const toml::node*>> inOrder;
      for (const auto& [name, table] : *waveforms)
        inOrder.emplace_back(&name, &table);
      std::stable_sort(
          inOrder.begin(), inOrder.end(), [](const auto& a, const auto& b) {
            return a.first->source().begin.line < b.first->source().begin.line;
          });
      for (const auto& [namePointer, tablePointer] : inOrder) {
        const toml::key& name = *namePointer;
        const toml::node& table = *tablePointer;
        const auto* fields = table.as_table();
        if (fields == nullptr) {
          problems.add(table.source(),
                       "waveform " + quoted(name.str()) + " must be a table");
          continue;
        }
        // Names stay bare TOML keys, so that a profile prints as it reads.
        const std::string_view n = name.str();
        if (n.empty() || n.size() > 32 ||
            n.find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                "0123456789_-") != std::string_view::npos) {
          problems.add(name.source(),
                       "a waveform's name is 1 to 32 letters, digits, '_' "
                       "or '-'");
          continue;
        }
        std::size_t i = profile.find(name.str());
        if (i == profile.waveforms.size()) {
          // A new waveform needs its duration; the rest has defaults.
          if (!fields->contains("duration_ms"))
            problems.add(name.source(), "waveform " + quoted(name.str()) +
                                            " needs 'duration_ms'");
          Waveform added;
          added.name = std::string(name.str());
          profile.waveforms.push_back(added);
        }
        readWaveform(*fields, profile.waveforms[i], problems);
      }
    } else {
      problems.add(key.source(),
                   "unknown key " + quoted(k) +
                       " (concurrent, priority, full, erase, quality, "
                       "waveform)");
    }
  }
  for (const Reference& r : references) {
    const std::size_t i = profile.find(r.name);
    if (i == profile.waveforms.size())
      problems.add(r.where, "unknown waveform " + quoted(r.name));
    else
      *r.slot = i;
  }
}

#endif  // ZODM_HAVE_TOMLPLUSPLUS

}  // namespace

std::string milliseconds(Micros micros) {
  const Micros m = micros < 0 ? -micros : micros;
  // Built by appending: GCC 12 at -O3 wrongly flags "..." + string here
  // (-Wrestrict).
  std::string out;
  if (micros < 0) out += '-';
  out += std::to_string(m / kMicrosPerMs);
  if (const Micros fraction = m % kMicrosPerMs; fraction != 0) {
    std::string digits = std::to_string(fraction + kMicrosPerMs).substr(1);
    while (digits.back() == '0') digits.pop_back();
    out += '.';
    out += digits;
  }
  return out;
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
  // shares are this model's own, chosen so that a run of five or six fast
  // passes leaves a visible ghost, as apps that flash every 6 partial
  // updates expect.
  p.waveforms = {
      waveform("A2", 2, 120, Flash::Never, 80, 0.10),
      waveform("DU", 2, 260, Flash::Never, 0, 0.06),
      waveform("GC4", 4, 290, Flash::Never, 0, 0.04),
      waveform("DU4", 4, 290, Flash::Never, 0, 0.04),
      waveform("GL16", 16, 450, Flash::Never, 0, 0.02),
      waveform("GC16", 16, 450, Flash::Full, 200, 0.01),
      waveform("INIT", 1, 1600, Flash::Always, 400, 0),
  };
  p.quality = {p.find("A2"), p.find("DU"), p.find("GL16"), p.find("GC16")};
  p.full = p.find("GC16");
  p.erase = p.find("GC16");
  p.concurrent = 16;
  p.priority = PriorityOrder::Ignored;
  return p;
}

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
      << "# The waveforms of a full update and of an erase to white.\n"
      << "full = \"" << p.waveforms[p.full].name << "\"\n"
      << "erase = \"" << p.waveforms[p.erase].name << "\"\n"
      << "\n"
         "# The waveform of a partial update, by its quality level.\n"
         "[quality]\n";
  for (std::size_t level = 0; level < p.quality.size(); ++level)
    out << level << " = \"" << p.waveforms[p.quality[level]].name << "\"\n";
  out << "\n"
         "# Each waveform: the gray levels a pass reaches (1: white only, 2:\n"
         "# black and white, up to 256), how long a pass takes, when it\n"
         "# flashes (\"never\"; \"full\": in a full update and an erase;\n"
         "# \"always\"), how long a flash adds to a pass, and the share of a\n"
         "# pixel's change that a pass which does not flash leaves behind as\n"
         "# residue (0 to 1); a flash clears it.\n";
  for (const Waveform& w : p.waveforms) {
    out << "\n[waveform." << w.name << "]\n"
        << "levels = " << w.levels << "\n"
        << "duration_ms = " << milliseconds(w.duration) << "\n"
        << "flash = \"" << word(kFlashWords, w.flash) << "\"\n"
        << "flash_ms = " << milliseconds(w.flashTime) << "\n"
        << "residue = " << number(w.residue) << "\n";
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

std::string readProfile(const std::string& path, Profile& profile) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return path + ": " + std::strerror(errno);
  std::string text;
  char chunk[65536];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      ::close(fd);
      return path + ": " + std::strerror(error);
    }
    if (got == 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return parseProfile(text, path, profile);
}

}  // namespace zodm::model
