// SPDX-License-Identifier: MIT
// A display profile: what a display service makes of a request on an
// e-paper panel. The library only carries a request's priority and quality
// levels; their meaning is the service's, so the same request may be an A2
// pass on one device and a GL16 pass on another. A profile names the
// waveform each quality level selects, what each waveform reaches and
// costs, what a full update and an erase use, how many updates the
// controller runs at once and how priority orders waiting updates.
#ifndef ZODM_TOOLS_EPAPER_PROFILE_H
#define ZODM_TOOLS_EPAPER_PROFILE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "micros.h"

namespace zodm::model {

// When a pass of a waveform flashes (drives its region through black and
// white before it settles).
enum class Flash : uint8_t {
  Never,   // it never does
  Full,    // in a full update and an erase, not in a partial update
  Always,  // in every update, partial ones too
};

struct Waveform {
  std::string name;
  int levels = 16;      // gray levels it reaches: 1 (white only) to 256
  Micros duration = 0;  // a pass that does not flash
  Flash flash = Flash::Never;
  Micros flashTime = 0;  // what a flash adds to a pass, shown inverted
  // Share of a pixel's change that a pass which does not flash leaves
  // behind as residue, 0..1.
  double residue = 0;
  // The share of a change that the residue of a run of such passes levels
  // off at, 0..1: each pass takes the residue residue / residueLimit of
  // the way there (all of it when residue is the larger), and never past
  // the level the pixel showed before.
  double residueLimit = 0;
  // The controller's code for this waveform on a device (its
  // MXCFB_SEND_UPDATE waveform_mode); none: not given.
  std::optional<int> mode;
};

// Whether a is the stronger of two waveforms, which an update merged from
// two takes: more gray levels, then the longer pass, then the one that
// flashes more often (always, then in a full update, then never), then the
// longer flash. The model and the display service's queue merge alike.
bool stronger(const Waveform& a, const Waveform& b);

// The largest waveform code a controller takes: 0..255, or 257, which asks
// the controller to choose (AUTO).
constexpr int kMaxMode = 255;
constexpr int kAutoMode = 257;

// How priority orders waiting updates when a slot frees.
enum class PriorityOrder : uint8_t {
  Ignored,       // arrival order
  HighestFirst,  // level 3 before level 0, then arrival order
  LowestFirst,   // level 0 before level 3, then arrival order
};

// How a request's coordinates reach a device's panel.
enum class Mapping : uint8_t {
  Pixels,  // they are the framebuffer's pixels, cut to the panel
  Scaled,  // the display area is stretched over the panel
};

// What only the display service on a device uses; the emulator reads it
// and leaves it alone.
struct Device {
  // The controller's interface, by name; empty: none named.
  std::string controller;
  unsigned long controllerLine = 0;  // where the profile names it
  // The temperature an update is driven for, in degrees Celsius; none:
  // what the controller measures (ambient).
  std::optional<int> temperature;
  Mapping mapping = Mapping::Pixels;
  // Whether each update's completion is waited for (some kernels' waits
  // time out although the update completed).
  bool wait = true;
};

struct Profile {
  std::vector<Waveform> waveforms;
  std::array<std::size_t, 4> quality{};  // a waveform for each quality level
  std::size_t full = 0;                  // a full update's waveform
  std::size_t erase = 0;                 // an erase to white's
  int concurrent = 16;                   // updates running at once
  PriorityOrder priority = PriorityOrder::Ignored;
  // The Nth partial update since the last flash is carried out flashing,
  // as apps refresh fully every N pages; 0: never.
  int flashEvery = 0;
  Device device;

  const Waveform& waveform(std::size_t i) const { return waveforms[i]; }
  // The waveform called name, or waveforms.size() when there is none.
  std::size_t find(std::string_view name) const;
};

// The built-in profile, after the public documentation of the i.MX
// e-paper controllers: quality 0 A2, 1 DU, 2 GL16, 3 GC16; a full update
// and an erase GC16, flashing; 16 updates at once; priority ignored.
Profile defaultProfile();

// The profile as a TOML file that parseProfile reads back to the same
// profile, with comments that say what each key means.
std::string printProfile(const Profile& profile);

// Reads a profile from text, a TOML document, over the built-in one: keys
// left out keep their built-in values, and a waveform not named there is
// added. Returns an empty string, or what is wrong as "NAME:LINE: reason"
// (NAME names the file in the message), leaving profile as it was.
std::string parseProfile(std::string_view text, const std::string& name,
                         Profile& profile);

}  // namespace zodm::model

#endif  // ZODM_TOOLS_EPAPER_PROFILE_H
