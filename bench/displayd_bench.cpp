// SPDX-License-Identifier: MIT
// zodm-displayd's figures, with the test controller answering at once:
//   zodm_displayd_bench ZODM_DISPLAYD TEST_CONTROLLER PROFILE
// 1. The time from a datagram's send (its arrival on loopback follows
//    within microseconds) to the ioctl that submits its update, as the test
//    controller stamps it on the monotonic clock, at 1,000 requests a
//    second: p50, p99 and the largest. Each request refreshes a tile of its
//    own, apart from the others, so that no two merge while the controller
//    answers at once.
// 2. The highest rate, doubled from 2,000 a second, at which 20,000
//    requests arrive without a kernel drop (the socket's drops in
//    /proc/net/udp), with the socket's default buffer.
// 3. The service's private memory (Private_Clean + Private_Dirty of
//    /proc/PID/smaps_rollup, the test controller's included) once it has
//    served all of that.
// It prints one Markdown table with the targets (p99 under 200 us, memory
// under 4 MiB) and exits 1 when one is missed. Port 50555 must be free.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int kLatencyRequests = 10000;
constexpr int kRateRequests = 20000;

int64_t nowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// Sleeps until ns, or spins for its last 200 us, which a sleep would
// overshoot (the timer slack).
void waitUntil(int64_t ns) {
  if (ns - nowNs() > 200000) {
    const int64_t wake = ns - 200000;
    const timespec at{static_cast<time_t>(wake / 1000000000),
                      static_cast<long>(wake % 1000000000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
  }
  while (nowNs() < ns) {
  }
}

void sleepUntil(int64_t ns) {
  const timespec at{static_cast<time_t>(ns / 1000000000),
                    static_cast<long>(ns % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
  }
}

// Request i's tile: 4 x 4 pixels on an 8-pixel grid of the request area,
// 96 x 128 tiles, so that no two touch.
std::string tile(int i) {
  const int x = i % 96 * 8, y = i / 96 % 128 * 8;
  return "!1,1,0," + std::to_string(x) + "," + std::to_string(y) + "," +
         std::to_string(x + 3) + "," + std::to_string(y + 3);
}

// The service's socket's row of /proc/net/udp: its receive queue and its
// drops.
bool socketRow(unsigned long& queued, unsigned long long& drops) {
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    char local[64], queues[64];
    unsigned long long d = 0;
    if (std::sscanf(line.c_str(),
                    "%*s %63s %*s %*s %63s %*s %*s %*s %*s %*s %*s %*s %llu",
                    local, queues, &d) != 3 ||
        std::strstr(local, ":C57B") == nullptr)  // port 50555
      continue;
    queued = std::strtoul(std::strchr(queues, ':') + 1, nullptr, 16);
    drops = d;
    return true;
  }
  return false;
}

struct Service {
  pid_t pid = -1;
  int err = -1;  // its standard error
};

// Starts the service with the test controller, which logs each update with
// its time when logged, and a receive buffer of buffer bytes unless null;
// waits until it is bound.
Service start(char* argv[], const std::string& dir, bool logged,
              const char* buffer = nullptr) {
  const std::string fb = dir + "/fb0", log = dir + "/log";
  setenv("ZODM_TEST_FB", fb.c_str(), 1);
  setenv("ZODM_TEST_FB_LOG", logged ? log.c_str() : "", 1);
  setenv("ZODM_TEST_FB_STAMP", "1", 1);
  setenv("LD_PRELOAD", argv[2], 1);
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::string fbArg = fb;
  char* args[] = {argv[1],
                  const_cast<char*>("--fb"),
                  fbArg.data(),
                  const_cast<char*>("--profile"),
                  argv[3],
                  const_cast<char*>(buffer ? "--buffer" : nullptr),
                  const_cast<char*>(buffer),
                  nullptr};
  Service s;
  if (posix_spawn(&s.pid, argv[1], &actions, nullptr, args, environ) != 0)
    s.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  unsetenv("LD_PRELOAD");
  close(pipeFds[1]);
  s.err = pipeFds[0];
  std::string seen;
  char chunk[256];
  for (ssize_t n; s.pid > 0 && seen.find("Bound successfully") == seen.npos &&
                  (n = read(s.err, chunk, sizeof chunk)) > 0;)
    seen.append(chunk, static_cast<std::size_t>(n));
  if (seen.find("Bound successfully") == seen.npos) {
    std::fprintf(stderr, "the service did not bind: %s\n", seen.c_str());
    s.pid = -1;
  }
  return s;
}

// Stops the service; true when it ended with status 0.
bool stop(const Service& s) {
  kill(s.pid, SIGTERM);
  int status = 0;
  waitpid(s.pid, &status, 0);
  close(s.err);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Sends count requests at rate a second, the send time of each into sent.
// Returns the rate reached, which the sender's own speed bounds.
double sendAt(int fd, int count, int rate, std::vector<int64_t>* sent) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(50555);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int64_t start = nowNs();
  for (int i = 0; i < count; ++i) {
    const int64_t due = start + int64_t{i} * 1000000000 / rate;
    // Spinning would take a core from the service at the slow rates.
    if (rate > 2000)
      waitUntil(due);
    else
      sleepUntil(due);
    const std::string text = tile(i);
    if (sent != nullptr) sent->push_back(nowNs());
    sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to),
           sizeof to);
  }
  return count * 1e9 / static_cast<double>(nowNs() - start);
}

void drain() {
  unsigned long queued = 1;
  unsigned long long drops = 0;
  while (socketRow(queued, drops) && queued > 0) sleepUntil(nowNs() + 1000000);
  sleepUntil(nowNs() + 200000000);  // the queue's last updates
}

// Microseconds from each request's send to its update's ioctl, by the
// tiles in the log; requests whose tile is not there merged.
std::vector<double> latencies(const std::string& log,
                              const std::vector<int64_t>& sent, int& merged) {
  std::map<std::pair<int, int>, int64_t> at;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    int top = 0, left = 0;
    long long ns = 0;
    const char* stamp = std::strstr(line.c_str(), " at=");
    if (std::sscanf(line.c_str(), "update size=%*d top=%d left=%d", &top,
                    &left) == 2 &&
        stamp != nullptr && std::sscanf(stamp, " at=%lld", &ns) == 1)
      at.emplace(std::make_pair(top, left), ns);
  }
  std::vector<double> out;
  merged = 0;
  for (int i = 0; i < static_cast<int>(sent.size()); ++i) {
    const auto found = at.find({i / 96 % 128 * 8, i % 96 * 8});
    if (found == at.end()) {
      ++merged;
      continue;
    }
    out.push_back(
        static_cast<double>(found->second - sent[static_cast<std::size_t>(i)]) /
        1000);
  }
  std::sort(out.begin(), out.end());
  return out;
}

void row(const std::string& figure, const std::string& measured,
         const char* target = "-", const char* met = "-") {
  std::printf("| zodm-displayd: %s | %s | %s | %s |\n", figure.c_str(),
              measured.c_str(), target, met);
}

double rank(const std::vector<double>& sorted, int percent) {
  if (sorted.empty()) return 0;
  const std::size_t wanted =
      (sorted.size() * static_cast<std::size_t>(percent) + 99) / 100;
  return sorted[std::max<std::size_t>(wanted, 1) - 1];
}

long privateKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  long total = 0;
  for (std::string line; std::getline(in, line);) {
    long kib = 0;
    if (std::sscanf(line.c_str(), "Private_Clean: %ld kB", &kib) == 1 ||
        std::sscanf(line.c_str(), "Private_Dirty: %ld kB", &kib) == 1)
      total += kib;
  }
  return total;
}

// The highest rate that a service (with a receive buffer of buffer bytes,
// unless null) takes without a kernel drop, the slowest that dropped, and
// its private memory after that.
struct Rates {
  double best = 0, dropping = 0;
  unsigned long long dropped = 0;
  long memory = 0;
  bool ok = false;  // it ran and stopped with status 0
};

Rates highestRate(char* argv[], const std::string& dir, const char* buffer) {
  Rates r;
  const Service service = start(argv, dir, false, buffer);
  if (service.pid <= 0) return r;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool seen = true;
  // Whether the requests at rate arrive without a drop.
  const auto kept = [&](int rate, double& reached) {
    unsigned long queued = 0;
    unsigned long long before = 0, after = 0;
    seen = socketRow(queued, before) && seen;
    reached = sendAt(fd, kRateRequests, rate, nullptr);
    drain();
    seen = socketRow(queued, after) && seen;
    if (after == before) {
      r.best = std::max(r.best, reached);
      return true;
    }
    if (r.dropping == 0 || reached < r.dropping) {
      r.dropping = reached;
      r.dropped = after - before;
    }
    return false;
  };
  // Doubled until the kernel drops or the sender cannot go faster, then
  // halved three times between the last rate kept and the first dropped.
  int low = 0, high = 0;
  for (int rate = 2000; high == 0; rate *= 2) {
    double reached = 0;
    (kept(rate, reached) ? low : high) = rate;
    if (high == 0 && reached < rate * 0.9) break;  // the sender's limit
  }
  for (int step = 0; high != 0 && step < 3; ++step) {
    const int rate = (low + high) / 2;
    double reached = 0;
    (kept(rate, reached) ? low : high) = rate;
  }
  r.memory = privateKiB(service.pid);
  close(fd);
  r.ok = stop(service) && seen;
  if (!seen) std::fprintf(stderr, "no socket on port 50555 in /proc/net/udp\n");
  return r;
}

std::string rateText(const Rates& r) {
  return std::to_string(std::lround(r.best)) + "/s" +
         (r.dropping != 0
              ? " (at " + std::to_string(std::lround(r.dropping)) +
                    "/s: " + std::to_string(r.dropped) + " of " +
                    std::to_string(kRateRequests) + " dropped)"
              : std::string(", the sender's fastest (none dropped)"));
}

double loadAverage() {
  double load = 0;
  if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = 0;
    std::fclose(f);
  }
  return load;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: zodm_displayd_bench ZODM_DISPLAYD TEST_CONTROLLER "
                 "PROFILE\n");
    return 2;
  }
  prctl(PR_SET_TIMERSLACK, 1UL);  // sleeps end on time, not 50 us late
  // In memory where there is some: the test controller's log is written
  // on the queue's thread, and a disk's journal would stall it.
  char shm[] = "/dev/shm/zodm-displayd-bench-XXXXXX";
  char tmp[] = "/tmp/zodm-displayd-bench-XXXXXX";
  const char* made = mkdtemp(shm);
  if (made == nullptr) made = mkdtemp(tmp);
  if (made == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = made;
  // The latencies, from the test controller's log.
  const Service service = start(argv, dir, true);
  if (service.pid <= 0) return 1;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::vector<int64_t> sent;
  sendAt(fd, kLatencyRequests, 1000, &sent);
  close(fd);
  drain();
  const bool stopped = stop(service);
  int merged = 0;
  const std::vector<double> us = latencies(dir + "/log", sent, merged);
  std::remove((dir + "/log").c_str());
  // The rates, with a controller that logs nothing (its log would take
  // time from the service on two cores): with the socket's default
  // buffer, and with 8 MiB, which a pause of the service's threads for
  // other processes' sake does not fill so soon.
  const Rates plain = highestRate(argv, dir, nullptr);
  const Rates large = highestRate(argv, dir, "8388608");
  rmdir(dir.c_str());

  const double p99 = rank(us, 99);
  const auto micros = [](double value) {
    return std::to_string(std::lround(value)) + " us";
  };
  std::printf("| Figure | Measured | Target | Met |\n|---|---:|---:|:---:|\n");
  row("arrival to ioctl at 1,000/s, p50", micros(rank(us, 50)));
  row("arrival to ioctl at 1,000/s, p99", micros(p99), "< 200 us",
      p99 < 200 ? "yes" : "NO");
  row("arrival to ioctl at 1,000/s, max (" + std::to_string(merged) +
          " merged)",
      micros(us.empty() ? 0 : us.back()));
  row("highest rate without a kernel drop", rateText(plain));
  row("the same with --buffer 8388608", rateText(large));
  row("private memory while serving", std::to_string(plain.memory) + " KiB",
      "< 4096 KiB", plain.memory < 4096 ? "yes" : "NO");
  std::printf("\n(load average %.2f on %ld CPUs while it ran)\n", loadAverage(),
              sysconf(_SC_NPROCESSORS_ONLN));
  return p99 < 200 && plain.memory < 4096 && stopped && plain.ok && large.ok
             ? 0
             : 1;
}
