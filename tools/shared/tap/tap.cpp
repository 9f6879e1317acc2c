// SPDX-License-Identifier: MIT
// See tap.h: the capture behind --tap, through libpcap. Nothing is bound, so
// the display service that owns the port keeps receiving every datagram;
// the tap sees copies.
#include "tap.h"

#include <linux/if_packet.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "clock.h"
#include "tapFrame.h"

namespace zodm::tools {

namespace {

// The largest IPv4 datagram and any link header before it, so that no
// datagram is ever cut short.
constexpr int kSnapLength = 65535 + 64;

// The kernel's ring of captured frames. In immediate mode every slot holds
// a frame of the snap length, so this keeps a burst of about 120 datagrams
// while the service prints; what does not fit is counted as dropped.
constexpr int kBufferBytes = 8 << 20;

// A tap skips at most this many frames in one call of next(), so a flood of
// frames it does not want still lets the loop see a signal.
constexpr int kSkipsPerCall = 64;

struct PcapClose {
  void operator()(pcap_t* handle) const { pcap_close(handle); }
};
using Pcap = std::unique_ptr<pcap_t, PcapClose>;

// A clock's reading in microseconds.
int64_t microsOf(clockid_t clock) {
  timespec time{};
  clock_gettime(clock, &time);
  return static_cast<int64_t>(time.tv_sec) * 1000000 + time.tv_nsec / 1000;
}

class Tap final : public DatagramSource {
 public:
  Tap(const char* tool, std::string interface, Pcap handle, LinkType link,
      uint16_t port, int fd)
      : tool_(tool),
        interface_(std::move(interface)),
        handle_(std::move(handle)),
        link_(link),
        port_(port),
        fd_(fd),
        // The tool's start on the wall clock, which the capture stamps with.
        startRealtime_(microsOf(CLOCK_REALTIME) - microsSinceStart()) {
    if (const timeval* limit =
            pcap_get_required_select_timeout(handle_.get())) {
      waitLimit_.tv_sec = limit->tv_sec;
      waitLimit_.tv_nsec = limit->tv_usec * 1000L;
      hasWaitLimit_ = true;
    }
  }

  int fd() const override { return fd_; }

  const timespec* waitLimit() const override {
    return hasWaitLimit_ ? &waitLimit_ : nullptr;
  }

  Next next(Datagram& datagram) override {
    for (int skips = 0; skips < kSkipsPerCall; ++skips) {
      pcap_pkthdr* header = nullptr;
      const u_char* data = nullptr;
      const int got = pcap_next_ex(handle_.get(), &header, &data);
      if (got == 0) return Next::kNone;
      if (got != 1) {
        std::fprintf(stderr, "%s: capturing on %s failed: %s\n", tool_,
                     interface_.c_str(), pcap_geterr(handle_.get()));
        return Next::kFailed;
      }
      const Frame frame =
          udpPayload(link_, data, header->caplen, header->len, port_);
      // The payload of an IPv4 datagram is shorter than the buffer.
      if (frame.verdict != FrameVerdict::kPayload ||
          frame.payload.size() >= buffer_.size()) {
        ++skipped_;
        continue;
      }
      std::memcpy(buffer_.data(), frame.payload.data(), frame.payload.size());
      buffer_[frame.payload.size()] = '\0';
      // The capture's own time, from the tool's start on the same clock,
      // never before the datagram before.
      const int64_t captured =
          static_cast<int64_t>(header->ts.tv_sec) * 1000000 +
          header->ts.tv_usec;
      last_ = std::max(captured - startRealtime_, last_);
      datagram.micros = last_;
      datagram.text = {buffer_.data(), frame.payload.size()};
      return Next::kDatagram;
    }
    return Next::kNone;
  }

  unsigned long long dropped(bool fresh) override {
    // libpcap adds up the kernel's counts, which reset on each reading.
    pcap_stat stats{};
    if (fresh && pcap_stats(handle_.get(), &stats) == 0)
      dropped_ = stats.ps_drop;
    return dropped_;
  }

  void close() override {
    if (!handle_) return;
    std::fprintf(stderr, "%s: tapped %s: skipped %llu frames\n", tool_,
                 interface_.c_str(), skipped_);
    handle_.reset();
    fd_ = -1;
  }

 private:
  const char* tool_;
  std::string interface_;
  Pcap handle_;
  LinkType link_;
  uint16_t port_;
  int fd_;
  int64_t startRealtime_;
  int64_t last_ = 0;  // the time of the datagram next() returned last
  timespec waitLimit_{};
  bool hasWaitLimit_ = false;
  std::vector<char> buffer_ = std::vector<char>(65536);
  unsigned long long skipped_ = 0;
  unsigned long long dropped_ = 0;
};

// The running program's own path, for the setcap command to show.
std::string ownPath(const char* tool) {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return tool;
  return std::string(path, static_cast<std::size_t>(length));
}

// Says in one line why the capture could not start.
void sayCannotTap(const char* tool, const std::string& interface,
                  const std::string& why) {
  std::fprintf(stderr, "%s: cannot tap %s: %s\n", tool, interface.c_str(),
               why.c_str());
}

bool linkTypeOf(int dlt, LinkType& link) {
  switch (dlt) {
    case DLT_EN10MB:
      link = LinkType::kEthernet;
      return true;
    case DLT_LINUX_SLL:
      link = LinkType::kLinuxSll;
      return true;
    case DLT_LINUX_SLL2:
      link = LinkType::kLinuxSll2;
      return true;
    case DLT_RAW:
    case DLT_IPV4:
      link = LinkType::kRawIp;
      return true;
    default:
      return false;
  }
}

// Starts the capture, saying why in one line when it cannot.
bool activate(const char* tool, const std::string& interface, pcap_t* pcap,
              int bufferBytes) {
  pcap_set_snaplen(pcap, kSnapLength);
  pcap_set_promisc(pcap, 0);
  // Each frame is handed over as it comes, not in batches.
  pcap_set_immediate_mode(pcap, 1);
  pcap_set_buffer_size(pcap, bufferBytes > 0 ? bufferBytes : kBufferBytes);
  const int activated = pcap_activate(pcap);
  if (activated >= 0) return true;
  switch (activated) {
    case PCAP_ERROR_PERM_DENIED:
      std::fprintf(stderr,
                   "%s: cannot tap %s: capturing packets needs the "
                   "capability CAP_NET_RAW; run it as root, or grant it "
                   "with: setcap cap_net_raw+ep %s\n",
                   tool, interface.c_str(), ownPath(tool).c_str());
      break;
    case PCAP_ERROR_NO_SUCH_DEVICE:
      sayCannotTap(tool, interface,
                   "there is no such interface ('ip link' lists them; "
                   "'any' taps them all)");
      break;
    case PCAP_ERROR_IFACE_NOT_UP:
      sayCannotTap(tool, interface, "the interface is down");
      break;
    default:
      sayCannotTap(tool, interface,
                   activated == PCAP_ERROR ? pcap_geterr(pcap)
                                           : pcap_statustostr(activated));
  }
  return false;
}

// Lets the kernel pass on only the datagrams to port, coming in; says why in
// one line when it cannot.
bool filter(const char* tool, const std::string& interface, pcap_t* pcap,
            uint16_t port) {
  // udpPayload checks each frame again all the same. (Not "inbound":
  // libpcap checks the first frames after a new filter again in user space,
  // where that test always fails, so the first datagrams would be lost.)
  const std::string expression = "ip and udp dst port " + std::to_string(port);
  bpf_program program{};
  if (pcap_compile(pcap, &program, expression.c_str(), 1,
                   PCAP_NETMASK_UNKNOWN) != 0) {
    sayCannotTap(tool, interface, pcap_geterr(pcap));
    return false;
  }
  const int filtered = pcap_setfilter(pcap, &program);
  pcap_freecode(&program);
  if (filtered != 0) {
    sayCannotTap(tool, interface, pcap_geterr(pcap));
    return false;
  }
  // What the service receives comes in: datagrams this machine sends out
  // are not shown. On loopback each datagram passes twice, out and in;
  // libpcap drops the outgoing copy, and where the kernel can (Linux 4.20
  // and later) it is not even queued, which leaves the ring's slots to
  // the copies that are shown.
  pcap_setdirection(pcap, PCAP_D_IN);
  return true;
}

}  // namespace

std::unique_ptr<DatagramSource> openTap(const char* tool,
                                        const std::string& interface,
                                        uint16_t port, int bufferBytes) {
  char error[PCAP_ERRBUF_SIZE] = "";
  Pcap handle(pcap_create(interface.c_str(), error));
  if (!handle) {
    sayCannotTap(tool, interface, error);
    return nullptr;
  }
  pcap_t* const pcap = handle.get();
  if (!activate(tool, interface, pcap, bufferBytes)) return nullptr;
  LinkType link = LinkType::kEthernet;
  if (!linkTypeOf(pcap_datalink(pcap), link)) {
    const char* name = pcap_datalink_val_to_name(pcap_datalink(pcap));
    sayCannotTap(tool, interface,
                 std::string("its link type ") + (name ? name : "(unknown)") +
                     " is not one a tap reads (Ethernet, Linux cooked, raw "
                     "IP)");
    return nullptr;
  }
  if (!filter(tool, interface, pcap, port)) return nullptr;
  const int fd = pcap_get_selectable_fd(pcap);
#ifdef PACKET_IGNORE_OUTGOING
  const int ignore = 1;
  if (fd >= 0)
    setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &ignore, sizeof ignore);
#endif
  if (pcap_setnonblock(pcap, 1, error) != 0 || fd < 0) {
    sayCannotTap(tool, interface,
                 fd < 0 ? "the capture gives no descriptor to wait on" : error);
    return nullptr;
  }
  // Scripts wait for this line, as they wait for "Bound successfully".
  std::fprintf(stderr, "%s: tapping %s for datagrams to UDP port %u\n", tool,
               interface.c_str(), static_cast<unsigned>(port));
  return std::make_unique<Tap>(tool, interface, std::move(handle), link, port,
                               fd);
}

}  // namespace zodm::tools
