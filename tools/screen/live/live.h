// SPDX-License-Identifier: MIT
// The live page's side of zodm-screen, without HTTP: the feed that the
// receive loop hands each datagram to and that the page's viewers read at
// their own pace, the messages they are sent, where the page is served and
// which requests it answers.
//
// The receive loop and the viewers share one mutex, held for one datagram's
// bookkeeping by the loop and, by a viewer, for copying one row of counts or
// the newest events at a time: a slow or stalled viewer never holds up the
// loop for longer than that. Everything a viewer needs is bounded: the last
// kRingSize events are kept; a viewer that falls further behind skips the
// events it missed (they only flash), while its heat map and totals stay
// exact, because rows and totals are sent as they are, not as changes.
//
// With the e-paper model, a viewer reads the model only under the runner's
// lock, and only to copy what its message needs: the rows of the model's
// panel changed since its last look, one at a time, and the updates whose
// state changed since then. The model's history is bounded (its last
// kHistory updates): a viewer that fell further behind misses the updates
// that left it, which only a timeline of the last seconds shows.
#ifndef ZODM_TOOLS_LIVE_H
#define ZODM_TOOLS_LIVE_H

#include <netinet/in.h>

#include <atomic>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "heatMap.h"
#include "idealPanel.h"
#include "model.h"
#include "zodm.h"

namespace zodm::screen {
class ModelRunner;
}

namespace zodm::live {

// How many of the last events the feed keeps for its viewers.
constexpr std::size_t kRingSize = 1024;
// Events in one message at most (the newest), and in a viewer's first one,
// which fills the page's list.
constexpr std::size_t kEventsPerMessage = 256;
constexpr std::size_t kCatchUpEvents = 50;
// A message stops taking rows once it is this long; the other changed rows
// follow in the next one.
constexpr std::size_t kRowBudget = 256 * 1024;
// How much of a refused text an event shows; the rest is counted.
constexpr std::size_t kShownBytes = 120;

enum class EventKind : char {
  Full = 'f',
  Partial = 'p',
  Erase = 'e',
  Dump = 'd',
  Refused = 'r',
};

// One datagram as the page shows it.
struct Event {
  unsigned long long number = 0;  // counted from 1
  EventKind kind = EventKind::Refused;
  geometry::Rect rect{};  // a partial update's cells
  std::string line;       // as zodm-listen prints it, a refused text shortened
};

// The line an event shows for a refused text: zodm-listen's, for the first
// kShownBytes bytes, followed by the whole length when there is more.
std::string refusedLine(std::string_view text);

// Where one viewer stands.
struct Cursor {
  bool started = false;               // its first message, a full state, went
  unsigned long long events = 0;      // number of the last event it was sent
  unsigned long long rowsAt = 0;      // accepted requests at its last scan
  unsigned long long dropped = 0;     // drops in its last message
  std::bitset<screen::kHeight> rows;  // rows changed and not sent yet
  // The same for the panel's rows and the framebuffer's, when the feed
  // shows a panel.
  unsigned long long panelAt = 0;  // the panel's changes at its last scan
  unsigned long long drawnAt = 0;  // the framebuffer's changes seen then
  std::bitset<screen::kHeight> panelRows;
  std::bitset<screen::kHeight> drawnRows;
  // The same for the model, when the feed shows one: the model's news it
  // was told of, the changes of the model's panel at its last scan and the
  // rows not sent yet, the model's version at its last look and the
  // updates of the model's history as it was sent them, by id.
  unsigned long long modelNews = 0;
  unsigned long long modelAt = 0;
  std::bitset<screen::kHeight> modelRows;
  unsigned long long version = 0;
  std::vector<model::Update> updates;

  // Rows are waiting to be sent.
  bool pending() const {
    return rows.any() || panelRows.any() || drawnRows.any() || modelRows.any();
  }
};

// How often the feed looks at the framebuffer for what the application drew.
constexpr auto kDrawnInterval = std::chrono::milliseconds(100);

class Feed {
 public:
  using Clock = std::chrono::steady_clock;

  // The feed owns no state of its own beyond the events: screen is the
  // emulator's, which only the receive loop changes, through record.
  explicit Feed(screen::HeatMap& screen);
  // Stops the feed and waits for its thread, if it has one.
  ~Feed();
  Feed(const Feed&) = delete;
  Feed& operator=(const Feed&) = delete;

  // Shows panel to the viewers too, and the framebuffer it reads: record
  // then applies each accepted request to the panel as well, and a thread
  // of the feed's looks at the framebuffer every kDrawnInterval for rows the
  // application changed. Call once, before the first record or viewer.
  void showPanel(screen::IdealPanel& panel);

  // Shows the e-paper model that runner keeps: each message then carries
  // the model's time, the updates of its history that changed, what the
  // run cost so far and, when the model keeps pixels, the rows of its
  // panel. Call once, before the first viewer; runner must outlive them.
  void showModel(const screen::ModelRunner& runner);
  // The runner's side (its OnChange): the model changed, which wakes the
  // viewers.
  void modelChanged();

  // The receive loop's side: records a datagram, the accepted command or,
  // with nullptr, the refused text, in the screen and in the events.
  void record(const DmCommand* accepted, std::string_view text);
  // Also the receive loop's: the kernel's count of the datagrams it dropped
  // before they could be read, which every message carries.
  void setDropped(unsigned long long dropped);

  // A viewer's side. next builds its next message, JSON on one line: the
  // first one (cursor fresh) holds the whole state, later ones what changed.
  std::string next(Cursor& cursor);
  // Waits until there is news for cursor or the deadline passes; false once
  // the feed is stopped.
  bool waitForNews(const Cursor& cursor, Clock::time_point deadline);
  // Sleeps until the time given, without waking for news; false once the
  // feed is stopped.
  bool sleepUntil(Clock::time_point until);
  // Ends every wait, now and later.
  void stop();
  bool stopped() const { return stopped_; }

  // One look at the framebuffer, as the feed's thread takes it every
  // kDrawnInterval: rows that differ from the last look are kept for the
  // viewers. Returns whether any did.
  bool lookAtFramebuffer();

 private:
  // The panel's part of a viewer's message (livePanel.cpp): marks, under
  // the lock, the rows changed since the cursor's last scan...
  void scanPanel(Cursor& cursor, bool first);
  // ...and appends them, the panel's and the framebuffer's, while the
  // message is shorter than kRowBudget.
  void appendPanel(std::string& out, Cursor& cursor);
  // Keeps, under the lock, the framebuffer's pixels that the request just
  // copied to the panel, so that they never show as stale.
  void notePanelCopy(const DmCommand& command);
  // The model's part of a viewer's message (liveModel.cpp): what the
  // cursor has not seen, copied under the runner's lock, then appended.
  void appendModel(std::string& out, Cursor& cursor, bool first);
  void appendModelRows(std::string& out, Cursor& cursor);

  screen::HeatMap& screen_;
  const Clock::time_point start_;
  mutable std::mutex mutex_;  // guards screen_'s changes, ring_, received_,
                              // dropped_
  std::condition_variable news_;
  std::vector<Event> ring_;
  unsigned long long received_ = 0;
  unsigned long long dropped_ = 0;
  std::atomic<bool> stopped_{false};
  std::mutex stopMutex_;
  std::condition_variable stopping_;

  // With a panel (all under mutex_ but the pointer, set before any thread
  // reads it): the framebuffer as last seen, and per row the number of the
  // change that last touched it.
  screen::IdealPanel* panel_ = nullptr;
  std::vector<uint8_t> drawn_;
  std::vector<unsigned long long> drawnChanges_;
  unsigned long long drawnChangeCount_ = 0;
  std::thread watcher_;

  // With a model (the pointer set before any viewer): the news the runner
  // told of (under mutex_), and what the run cost at the model's version
  // and changes of then, shared by the viewers (under summaryMutex_).
  const screen::ModelRunner* runner_ = nullptr;
  unsigned long long modelNews_ = 0;
  std::mutex summaryMutex_;
  bool summaryKept_ = false;
  unsigned long long summaryVersion_ = 0;
  unsigned long long summaryChanges_ = 0;
  model::Summary summary_;
};

// A row of gray levels as the page reads it: runs, "level,length,...", or
// when that is longer, the row's bytes in base64 as one JSON string.
void appendGrayRow(std::string& out, const uint8_t* row, std::size_t width);

// A row of counts as runs, "count,length,count,length...".
void appendRuns(std::string& out, const uint16_t* row, std::size_t width);

// Where the page is served: an IPv4 address and a TCP port.
struct Endpoint {
  in_addr address{};
  uint16_t port = 0;
  bool loopback() const;
  // "127.0.0.1:8050"
  std::string text() const;
};

// Reads "[ADDRESS:]PORT": ADDRESS dotted-decimal IPv4 or "localhost"
// (127.0.0.1 when left out), PORT 1..65535. Returns an empty string, or what
// is wrong with it.
std::string parseEndpoint(std::string_view word, Endpoint& endpoint);

// Opens a TCP socket listening on endpoint (close-on-exec, SO_REUSEADDR).
// Returns its descriptor, or -1 with errno set.
int listenOn(const Endpoint& endpoint);

// The live page's key: 128 random bits, written as 32 lower-case hex
// digits. The page's address carries it (?token=HEX) and, after the first
// visit, a cookie: without one of them nothing is served.
class Key {
 public:
  Key() = default;
  explicit Key(std::string hex) : hex_(std::move(hex)) {}
  // Makes a new key from getrandom. Returns an empty string, or why it
  // cannot.
  static std::string make(Key& key);
  const std::string& hex() const { return hex_; }
  // Whether text (nullptr: none) is the key. Every digit of the key is
  // compared whatever text holds, so the time taken says nothing about how
  // much of text was right.
  bool matches(const char* text) const;

 private:
  std::string hex_;
};

// The cookie that holds the key, named for the page's port: a browser
// keeps cookies per host, not per port, so emulators on two ports of one
// host each keep their own.
std::string cookieName(uint16_t port);

// What the server answers to a request.
enum class Route {
  Page,        // "/": the HTML document
  Script,      // "/page.js"
  Style,       // "/page.css"
  Enter,       // "/?token=KEY": sets the cookie, 303 to "/"
  Events,      // "/events": the event stream
  Viewers,     // "/viewers": how many watch, JSON
  NoIcon,      // "/favicon.ico": 204, nothing
  NotFound,    // 404
  NotAllowed,  // 405: only GET and HEAD
  WrongHost,   // 403: a Host that is not this machine's loopback name
  NoKey,       // 403: neither the key's token nor its cookie
};

// What the route of a request depends on.
struct Request {
  std::string_view method;
  std::string_view path;         // any query removed
  const char* host = nullptr;    // the Host header; nullptr: none
  const char* token = nullptr;   // the query's token; nullptr: none
  const char* cookie = nullptr;  // the key's cookie; nullptr: none
};

// The route for request. With loopbackOnly the Host header must name the
// loopback interface (127.0.0.1, localhost or [::1], any port), so that a
// web site whose name resolves to 127.0.0.1 cannot read the page from a
// browser on this machine. Then the token or the cookie must be key, for
// every path and method; the page with the right token is Enter, so that
// the token leaves the browser's address bar and history.
Route route(const Request& request, const Key& key, bool loopbackOnly);

}  // namespace zodm::live

#endif  // ZODM_TOOLS_LIVE_H
