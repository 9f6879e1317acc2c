// SPDX-License-Identifier: MIT
// zodm-listen: a display service for debugging. Binds the service socket with
// the library, runs every received request through dmMessageParser and prints
// one line per datagram: what was accepted, or the refused text. With
// --framebuffer its --json lines carry the pixels of each refresh, read off
// the receive loop (pixelRecorder.h), in builds with zlib.
#include <getopt.h>

#include <cstdio>
#include <memory>
#include <string>

#include "clock.h"
#include "serviceLoop.h"
#include "serviceOptions.h"
#include "tap.h"
#ifdef ZODM_HAVE_ZLIB
#include "frameReader.h"
#include "pixelRecorder.h"
#endif

namespace {

constexpr char kUsage[] = "Usage: zodm-listen [OPTION]...\n";

constexpr char kHelp[] =
    "Receives display-update requests on UDP port 50555 and prints one line\n"
    "per datagram, as soon as it arrives:\n"
    "  display priority=1 quality=2\n"
    "  partial priority=2 quality=1 rect=(0,0)-(100,200)\n"
    "  erase priority=3\n"
    "  dump argument=7\n"
    "  refused \"!0,7,9\"\n"
    "A refused text shows quotes and backslashes as \\\" and \\\\, and other\n"
    "bytes outside 0x20..0x7e as \\n, \\r, \\t or \\xHH. The parser reads a\n"
    "text up to a NUL; a line says when bytes followed one:\n"
    "  display priority=1 quality=0 (cut at a NUL; 2 bytes followed)\n"
    "The library's own diagnostics go to standard error (and syslog).\n"
    "\n"
    "Options:\n"
    "  -a, --all        listen on every IPv4 address, not only 127.0.0.1\n"
    "  -j, --json       print one JSON object per line instead, a recording\n"
    "                   that zodm-screen --replay and zodm-send --replay run:\n"
    "                   {\"t\":0.412007,\"accepted\":true,\"request\":"
    "\"display\",\n"
    "                   \"priority\":1,\"quality\":2,\"text\":\"!0,1,2\"}\n"
    "                   {\"t\":1.003150,\"accepted\":false,\"text\":"
    "\"!0,7,9\"}\n"
    "                   t: seconds since it started (with --tap, the\n"
    "                   capture's time); text: the datagram as it arrived\n"
    "                   (bytes outside 0x20..0x7e as \\u00HH; a NUL adds\n"
    "                   \"after_nul\":N); the totals last, with \"format\":1\n"
#ifdef ZODM_HAVE_ZLIB
    "      --framebuffer=PATH\n"
    "                   with --json, record the pixels of each refresh from\n"
    "                   PATH as they are when the request arrives: a\n"
    "                   framebuffer device (/dev/fb0: 8-bit gray, RGB565 or\n"
    "                   XRGB8888, read as gray), or else zodm-screen's\n"
    "                   framebuffer file. A partial or full update's line\n"
    "                   gets \"rect\":[x0,y0,x1,y1] and \"pixels\" (zlib, "
    "then\n"
    "                   base64; \"pixels_error\" when they cannot be read),\n"
    "                   and the totals say \"format\":2\n"
#else
    "      --framebuffer=PATH\n"
    "                   not in this build, which was made without zlib\n"
#endif
    "  -c, --count=N    exit after N datagrams\n"
    "  -b, --buffer=BYTES\n"
    "                   set the socket's receive buffer, for bursts (beyond\n"
    "                   net.core.rmem_max only with CAP_NET_ADMIN; it says\n"
    "                   so when the kernel gives less); with --tap, the\n"
    "                   capture buffer (default 8 MiB)\n"
    "      --tap[=IFACE]\n"
    "                   bind nothing: watch the datagrams to port 50555 on\n"
    "                   IFACE (default lo; 'any': all) through libpcap,\n"
    "                   while the display service that holds the port keeps\n"
    "                   receiving them; needs CAP_NET_RAW (root, or setcap\n"
    "                   cap_net_raw+ep on the program)\n"
    "  -h, --help       show this help and exit\n"
    "      --version    show the version and exit\n"
    "\n"
    "SIGINT and SIGTERM end it. On exit it prints how many datagrams it\n"
    "received, accepted and refused, and how many the kernel dropped because\n"
    "they came faster than it read them, to standard error (with --json,\n"
    "also as a last object). Exit status 0; 1 when the port cannot be bound\n"
    "(another service holds it), the tap cannot start (no capability, no\n"
    "such interface, built without libpcap) or output fails; 2 for bad\n"
    "arguments.\n"
    "\n"
    "Examples:\n"
    "  zodm-listen --count 1 2>/dev/null & zodm-send --wait display 1 2\n"
    "      # prints display priority=1 quality=2 (zodm-send --wait waits\n"
    "      # until zodm-listen has bound the port; 2>/dev/null sends away\n"
    "      # the library's line that it bound and the closing summary)\n"
    "  zodm-listen --tap --json >rec.jsonl   # a recording, for --replay\n"
    "  zodm-listen --tap --json --framebuffer /dev/fb0 >rec.jsonl\n"
    "      # the same, with the pixels of each refresh\n";

constexpr char kTool[] = "zodm-listen";
constexpr int kFramebufferOption = 3000;

// Where --framebuffer's pixels are read from and recorded, for the run.
struct Pixels {
#ifdef ZODM_HAVE_ZLIB
  std::unique_ptr<zodm::tools::FrameReader> reader;
  std::unique_ptr<zodm::tools::PixelRecorder> recorder;
#endif
};

// Opens path for --framebuffer and starts recording its pixels into the
// lines. Returns kGoOn, or the status to exit with, having said why.
int recordPixels([[maybe_unused]] const std::string& path,
                 zodm::tools::ServiceOptions& options,
                 [[maybe_unused]] Pixels& pixels,
                 [[maybe_unused]] zodm::tools::ServiceHooks& hooks) {
  if (!options.json)
    return zodm::tools::usageError(
        kTool, kUsage,
        "--framebuffer records pixels in the --json lines: give --json too");
#ifdef ZODM_HAVE_ZLIB
  std::string problem;
  pixels.reader = zodm::tools::openFrameReader(path, problem);
  if (!pixels.reader) {
    std::fprintf(stderr, "%s: cannot read the framebuffer %s: %s\n", kTool,
                 path.c_str(), problem.c_str());
    return zodm::tools::kExitFailure;
  }
  std::fprintf(stderr, "%s: recording the pixels of %s\n", kTool,
               pixels.reader->describe().c_str());
  pixels.recorder =
      std::make_unique<zodm::tools::PixelRecorder>(kTool, *pixels.reader);
  hooks.output = pixels.recorder.get();
  options.recordingFormat = zodm::tools::kPixelsRecordingFormat;
  return zodm::tools::kGoOn;
#else
  std::fprintf(stderr,
               "%s: --framebuffer: this zodm-listen was built without zlib, "
               "so it cannot record pixels (install zlib1g-dev, then "
               "configure and build again)\n",
               kTool);
  return zodm::tools::kExitFailure;
#endif
}

}  // namespace

int main(int argc, char* argv[]) {
  zodm::tools::toolStart();  // the lines' times count from here
  const zodm::tools::ToolText text{kTool, kUsage, kHelp};
  const std::string shortOptions = zodm::tools::serviceShortOptions("");
  const auto longOptions = zodm::tools::serviceLongOptions(
      {{"framebuffer", required_argument, nullptr, kFramebufferOption}});
  zodm::tools::ServiceOptions options;
  options.tool = kTool;
  std::string framebuffer;
  opterr = 0;  // errors are reported in this tool's own words
  for (int c; (c = getopt_long(argc, argv, shortOptions.c_str(),
                               longOptions.data(), nullptr)) != -1;) {
    if (c == kFramebufferOption) {
      framebuffer = optarg;
      if (framebuffer.empty())
        return zodm::tools::usageError(kTool, kUsage,
                                       "--framebuffer: the name is empty");
      continue;
    }
    if (const int status = zodm::tools::serviceOption(c, text, options, argv);
        status != zodm::tools::kGoOn)
      return status;
  }
  if (const int status = zodm::tools::serviceOperands(argc, argv, text);
      status != zodm::tools::kGoOn)
    return status;

  zodm::tools::ServiceHooks hooks;
  Pixels pixels;
  if (!framebuffer.empty())
    if (const int status = recordPixels(framebuffer, options, pixels, hooks);
        status != zodm::tools::kGoOn)
      return status;
  zodm::tools::Totals totals;
  return zodm::tools::runService(
      options, [&] { return zodm::tools::openServiceSource(options); }, hooks,
      totals);
}
