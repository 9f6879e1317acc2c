// SPDX-License-Identifier: MIT
// See detect.h.
#include "detect.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "panelDevice.h"
#include "usageErrors.h"
#include "wholeFile.h"

namespace zodm::displayd {

namespace {

// Where each family names its model.
constexpr char kKoboVersion[] = "/mnt/onboard/.kobo/version";
constexpr char kKindleSerial[] = "/proc/usid";
constexpr char kRemarkableMachine[] = "/sys/devices/soc0/machine";
constexpr char kDeviceTree[] = "/sys/firmware/devicetree/base/compatible";

// Kobo's device codes, the last three characters of its version file (a
// Tolino's is the Kobo twin's plus 300), and the profile of each; none for
// the devices the service does not cover.
struct KoboModel {
  int code;
  const char* name;
  const char* profile;
  const char* note;
};
constexpr char kSpuriousWaits[] =
    "its kernel's waits time out for no reason: set wait = false in a copy "
    "of the profile";
constexpr char kSunxi[] =
    "an Allwinner sunxi device, whose pixel buffer must belong to the "
    "display service (an ION allocation it hands to /dev/disp): not covered";
constexpr KoboModel kKoboModels[] = {
    {376, "Clara HD", "kobo-mk7", ""},
    {377, "Forma", "kobo-mk7", ""},
    {383, "Sage", nullptr, kSunxi},
    {384, "Libra H2O", "kobo-mk7", kSpuriousWaits},
    {386, "Clara 2E", "kobo-mk7", kSpuriousWaits},
    {387, "Elipsa", nullptr, kSunxi},
    {388, "Libra 2", "kobo-mk7", kSpuriousWaits},
    {389, "Elipsa 2E", "kobo-mtk", ""},
    {390, "Libra Colour", "kobo-mtk", ""},
    {391, "Clara BW", "kobo-mtk", ""},
    {393, "Clara Colour", "kobo-mtk", ""},
};

constexpr char kSameNumber[] =
    "the framebuffer's id names its driver only, and no probe tells the two "
    "72-byte layouts apart: mxcfb-nxp (Kobo Mk7 and later, reMarkable 1) "
    "and mxcfb-kindle (Kindle Touch to PW3) share MXCFB_SEND_UPDATE's "
    "number 0x4048462E, and a kernel takes the wrong one without a word, so "
    "the model decides";

// The first line of text (to its \n or \r), printable, at most 200
// characters; NULs (a device tree's list) as ", ".
std::string shown(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size() && out.size() < 200; ++i) {
    const char c = text[i];
    if (c == '\n' || c == '\r') break;
    if (c == '\0') {
      if (i + 1 < text.size() && text[i + 1] != '\0') out += ", ";
    } else {
      out += c >= 0x20 && c <= 0x7e ? c : '?';
    }
  }
  return out;
}

void readFramebuffer(const std::string& path, Findings& f) {
  std::string error;
  // Any layout: only the geometry is read.
  const auto device = PanelDevice::open(path, kControllers[0], error);
  if (!device) {
    f.framebuffer = error;
    return;
  }
  const Geometry& g = device->geometry();
  f.id = g.id;
  f.framebuffer = "id \"" + g.id + "\", " + std::to_string(g.xres) + " x " +
                  std::to_string(g.yres) + " pixels, " +
                  std::to_string(g.bitsPerPixel) + " bits per pixel";
}

// Kobo: the device code at the end of the version file's first line.
void fromKobo(const std::string& version, Findings& f) {
  const std::string line = shown(version);
  int code = -1;
  if (line.size() >= 3 && std::all_of(line.end() - 3, line.end(), [](char c) {
        return c >= '0' && c <= '9';
      }))
    code = std::stoi(line.substr(line.size() - 3));
  if (code >= 600) code -= 300;  // a Tolino
  f.device = code < 0 ? std::string(
                            "Kobo (its version file ends in no "
                            "device code)")
                      : "Kobo, device code " + std::to_string(code);
  for (const KoboModel& m : kKoboModels) {
    if (m.code != code) continue;
    f.device = std::string("Kobo ") + m.name + " (device code " +
               std::to_string(code) + ")";
    if (m.profile != nullptr) f.profile = m.profile;
    f.note = m.note;
    return;
  }
  if (f.id == "hwtcon") {
    f.profile = "kobo-mtk";
    return;
  }
  f.note =
      "no device code this table knows: kobo-ntx before the Mk7, "
      "kobo-mk7 on i.MX from the Mk7 on, kobo-mtk when the framebuffer's "
      "id is hwtcon";
}

void fromRemarkable(const std::string& machine, Findings& f) {
  f.device = shown(machine);
  if (f.device.rfind("reMarkable 2", 0) == 0) {
    f.note =
        "the reMarkable 2 has no e-paper controller (its framebuffer, "
        "mxs-lcdif, is a plain LCD controller that software drives): not "
        "covered";
    return;
  }
  f.profile = "remarkable1";
}

void fromKindle(Findings& f) {
  f.device = "Kindle";
  if (f.id == "eink_fb") {
    f.note = "the older Kindles' einkfb driver (K2 to K4): not covered";
    return;
  }
  f.note =
      "a Kindle's layout goes by its model, which its serial number names: "
      "kindle-pw2 (Touch to PW3, KT2, KV, Oasis 1), kindle-pw4 (PW4, KT4), "
      "kindle-oasis2 (Oasis 2 and 3) or kindle-pw5 (PW5, KT5, Scribe)";
}

// By the framebuffer's id alone.
void fromId(Findings& f) {
  if (f.id == "hwtcon") {
    f.device = "a MediaTek e-paper controller (hwtcon)";
    f.profile = "kobo-mtk";
  } else if (f.id == "mxc_epdc_fb") {
    f.device = "an NXP i.MX e-paper controller";
    f.note =
        "no model file says which device: kobo-mk7, kobo-ntx, remarkable1, "
        "pocketbook (whose model only libinkview names) or a kindle-* "
        "profile";
  } else if (f.id == "mxs-lcdif") {
    f.device = "a reMarkable 2";
    f.note = "it has no e-paper controller: not covered";
  } else {
    f.device = "no e-paper controller known here";
  }
}

// share/zodm/profiles beside the program's bin/, as installed.
std::string profilesDirectory() {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "share/zodm/profiles";
  std::string path(exe, static_cast<std::size_t>(n));
  for (int up = 0; up < 2; ++up) {
    const std::size_t slash = path.find_last_of('/');
    path.erase(slash == std::string::npos ? 0 : slash);
  }
  return path + "/share/zodm/profiles";
}

// Reads the model file at path under root into text, noting what it says
// in f (a serial number is its owner's: only its presence is shown).
// False when it is not there.
bool readModelFile(const std::string& root, const char* path, bool secret,
                   Findings& f, std::string& text) {
  if (!tools::readWholeFile(root + path, text).empty()) return false;
  f.files.emplace_back(path, secret ? "a serial number" : shown(text));
  return true;
}

}  // namespace

Findings detectDevice(const std::string& framebuffer, const std::string& root) {
  Findings f;
  readFramebuffer(framebuffer, f);
  std::string version, serial, machine, tree;
  const bool kobo = readModelFile(root, kKoboVersion, false, f, version);
  const bool kindle = readModelFile(root, kKindleSerial, true, f, serial);
  const bool remarkable =
      readModelFile(root, kRemarkableMachine, false, f, machine);
  readModelFile(root, kDeviceTree, false, f, tree);  // shown only
  if (kobo)
    fromKobo(version, f);
  else if (remarkable)
    fromRemarkable(machine, f);
  else if (kindle)
    fromKindle(f);
  else
    fromId(f);
  return f;
}

std::string describe(const Findings& f, const std::string& framebuffer,
                     const std::string& profiles) {
  std::string out = "framebuffer " + framebuffer + ": " + f.framebuffer + "\n";
  for (const auto& [path, text] : f.files) out += path + ": " + text + "\n";
  out += "device: " + f.device + "\n";
  if (f.profile)
    out += "suggested profile: " + *f.profile + " (" + profiles + "/" +
           *f.profile + ".toml)" + (f.note.empty() ? "" : ", but " + f.note) +
           "\n";
  else
    out += "suggested profile: none for certain" +
           (f.note.empty() ? std::string() : ": " + f.note) + "\n";
  out += std::string("note: ") + kSameNumber + "\n";
  return out;
}

int detect(const DisplaydOptions& options) {
  const Findings f = detectDevice(options.framebuffer, options.root);
  const std::string text =
      describe(f, options.framebuffer, profilesDirectory());
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
      std::fflush(stdout) != 0) {
    std::fprintf(stderr, "%s: cannot write output: %s\n", kTool,
                 std::strerror(errno));
    return tools::kExitFailure;
  }
  return f.profile ? 0 : tools::kExitFailure;
}

}  // namespace zodm::displayd
