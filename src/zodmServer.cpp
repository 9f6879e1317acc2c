// SPDX-License-Identifier: MIT
// Server module: the service socket, the request tokenizer and the checked
// receive pipeline. The pipeline reads and writes only the caller's records.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

#include "dmLog.h"
#include "zodm.h"

namespace {

constexpr char kDmModule[] = "zodmServer";

// The command tokens: a code is named by its symbolic token or by its own
// digit, and the row of code N is kTokens[N].
struct Token {
  std::string_view symbolic;
  int32_t code;
  int32_t argc;
};

constexpr std::array<Token, 4> kTokens{{
    {"dmDisplay", DM_CMD_DISPLAY, 2},
    {"dmDisplayPartial", DM_CMD_DISPLAY_PARTIAL, 6},
    {"dmDump", DM_CMD_DUMP, 1},
    {"dmEraseToWhite", DM_CMD_ERASE_TO_WHITE, 1},
}};
static_assert(kTokens[0].code == 0 && kTokens[1].code == 1 &&
              kTokens[2].code == 2 && kTokens[3].code == 3);

// Tokens longer than this are refused unseen, and shown cut to this length.
constexpr std::size_t kMaxTokenShown = 1023;

// Reads text as strtol reads base 10 in the C locale (white space, optional
// sign, digits up to the first other character; no digits gives 0), held in
// 32 bits with saturation. Locale-free, and it stops counting digits once the
// value has saturated.
constexpr unsigned digitValue(char c) {
  return static_cast<unsigned char>(c) - unsigned{'0'};  // > 9: no digit
}

constexpr int32_t readInt32(const char* text) {
  bool negative = false;
  // Fields usually start with a digit; only others need the white space and
  // sign rules.
  if (digitValue(*text) > 9) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
  }
  // Nine digits cannot overflow 32 bits unsigned; past them the value is
  // widened and checked against the saturation limit.
  uint32_t head = 0;
  unsigned digit = 0;
  int count = 0;
  for (; count < 9 && (digit = digitValue(*text)) <= 9; ++count, ++text)
    head = head * 10 + digit;
  constexpr uint64_t kLimit = uint64_t{1} << 31;  // |INT32_MIN|
  uint64_t magnitude = head;
  for (; count == 9 && (digit = digitValue(*text)) <= 9; ++text) {
    magnitude = magnitude * 10 + digit;
    if (magnitude > kLimit) break;
  }
  if (negative)
    return magnitude >= kLimit ? std::numeric_limits<int32_t>::min()
                               : -static_cast<int32_t>(magnitude);
  return magnitude >= kLimit ? std::numeric_limits<int32_t>::max()
                             : static_cast<int32_t>(magnitude);
}

static_assert(readInt32(" \t\n+42x") == 42);
static_assert(readInt32("-2147483648") == std::numeric_limits<int32_t>::min());
static_assert(readInt32("2147483648") == std::numeric_limits<int32_t>::max());
static_assert(readInt32("-99999999999999999999") ==
              std::numeric_limits<int32_t>::min());
static_assert(readInt32("- 1") == 0 && readInt32("") == 0);
static_assert(readInt32("999999999") == 999999999 &&
              readInt32("1000000000") == 1000000000);
static_assert(readInt32("00000000000000000000042") == 42);
static_assert(readInt32("-0000000002147483647") == -2147483647);
static_assert(readInt32("4294967296") == std::numeric_limits<int32_t>::max());

// True for ',' and the terminating NUL. Digits and letters, the usual
// content of a field, lie above ',' and are passed by one comparison.
constexpr bool endsField(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte <= ',' && (byte == ',' || byte == '\0');
}

// Length of the run of characters before the next ',' or the end of text.
// Request fields are a few characters long, where a plain loop beats a
// library call; a long (hostile) run goes to strcspn's vectorised scan.
std::size_t fieldLength(const char* text) {
  constexpr std::size_t kShort = 16;
  for (std::size_t i = 0; i < kShort; ++i)
    if (endsField(text[i])) return i;
  return kShort + std::strcspn(text + kShort, ",");
}

// The table row whose token equals token, or nullptr.
const Token* findToken(std::string_view token) {
  // The digits "0".."3" are what the client writes: they index the table
  // directly, and only longer tokens are compared by name.
  if (token.size() == 1) {
    const auto index = static_cast<unsigned char>(token[0] - '0');
    return index < kTokens.size() ? &kTokens[index] : nullptr;
  }
  for (const Token& row : kTokens)
    if (token == row.symbolic) return &row;
  return nullptr;
}

// Levels and coordinates are compared as unsigned, so negatives are refused.
constexpr bool above(int32_t value, uint32_t limit) {
  return static_cast<uint32_t>(value) > limit;
}

}  // namespace

/* See documentation in header file. */
int32_t dmGetServerPort(int32_t* port) {
  *port = DM_SERVER_PORT;
  return 0;
}

/* See documentation in header file. */
int32_t initServer(int32_t* socketOut, int32_t loopbackOnly) {
  // The descriptor is the caller's from here on, even if binding fails.
  *socketOut = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int socketError = errno;  // the reason, should there be no socket
  int32_t port = 0;
  dmGetServerPort(&port);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  local.sin_addr.s_addr =
      htonl(loopbackOnly == 1 ? INADDR_LOOPBACK : INADDR_ANY);
  if (bind(*socketOut, reinterpret_cast<const sockaddr*>(&local),
           sizeof local) != 0) {
    // Kept past perror: the socket's reason if it failed, else bind's.
    const int error = *socketOut < 0 ? socketError : errno;
    std::perror("Error invoking bind");
    errno = error;
    return -1;
  }
  std::array<char, 17> shown{};
  inet_ntop(AF_INET, &local.sin_addr, shown.data(), shown.size());
  DM_WARN("Bound successfully to %s:%d.\n", shown.data(), port);
  return 0;
}

/* See documentation in header file. */
int32_t dmParseMessage(const char* text, DmMessage* message) {
  message->code = DM_CMD_UNDEFINED;
  for (auto& arg : message->args) arg[0] = '\0';
  if (text[0] != '!') {
    DM_ERROR("Command should start with '!'. (%s)\n", text);
    return -1;
  }
  const char* const start = text + 1;
  const std::string_view token(start, fieldLength(start));
  const char* const arguments =
      start + token.size() + (start[token.size()] == ',' ? 1 : 0);

  const Token* const match = findToken(token);
  if (match == nullptr) {
    std::memcpy(message->name, "Undefined", sizeof "Undefined");
    message->code = DM_CMD_UNDEFINED;
    const int shown = static_cast<int>(std::min(token.size(), kMaxTokenShown));
    DM_ERROR("Command %.*s \n\n", shown, token.data());
    DM_ERROR("Error parsing (%s). Command undefined\n\n", text);
    message->argc = -1;
    return -1;
  }
  // Only the table's tokens reach name, so they always fit.
  std::memcpy(message->name, token.data(), token.size());
  message->name[token.size()] = '\0';
  message->code = match->code;
  message->argc = match->argc;
  zoDmGetArgs(arguments, message, match->argc);
  return 0;
}

/* See documentation in header file. */
void zoDmGetArgs(const char* argumentText, DmMessage* message, int32_t count) {
  const int32_t slots = std::min<int32_t>(count, DM_MAX_ARGS);
  const char* at = argumentText;
  for (int32_t i = 0; i < slots; ++i) {
    // Copy up to the next ',' or the end of the text, in one pass.
    char* const slot = message->args[i];
    std::size_t length = 0;
    for (; length < DM_ARG_SIZE - 1 && !endsField(at[length]); ++length)
      slot[length] = at[length];
    slot[length] = '\0';
    at += length;
    // A field longer than its slot is cut to 255 characters; the rest of it
    // is skipped.
    if (length == DM_ARG_SIZE - 1) at += std::strcspn(at, ",");
    if (*at == ',') ++at;
  }
}

/* See documentation in header file. */
int32_t dmParseCommand(const DmMessage* message, DmCommand* command) {
  const auto& args = message->args;
  switch (message->code) {
    case DM_CMD_DISPLAY:
      command->priority = readInt32(args[0]);
      command->quality = readInt32(args[1]);
      break;
    case DM_CMD_DISPLAY_PARTIAL:
      command->priority = readInt32(args[0]);
      command->quality = readInt32(args[1]);
      command->xUp = readInt32(args[2]);
      command->yUp = readInt32(args[3]);
      command->xDown = readInt32(args[4]);
      command->yDown = readInt32(args[5]);
      break;
    case DM_CMD_DUMP:
    case DM_CMD_ERASE_TO_WHITE:
      command->priority = readInt32(args[0]);
      break;
    default:
      // Codes outside 0..3 are refused alike: nothing is converted.
      DM_ERROR("Undefined command\n");
      command->code = DM_CMD_UNDEFINED;
      return -1;
  }
  command->code = message->code;
  return 0;
}

/* See documentation in header file. */
int32_t dmValidateCommand(const DmCommand* command) {
  const DmCommand& c = *command;
  if (c.code == DM_CMD_DISPLAY_PARTIAL) {
    // Checked in this order; the first corner value out of range is named.
    constexpr struct {
      int32_t DmCommand::*field;
      uint32_t limit;
      const char* name;
    } kCorners[] = {{&DmCommand::xUp, DM_MAX_X, "xUp"},
                    {&DmCommand::xDown, DM_MAX_X, "xDown"},
                    {&DmCommand::yUp, DM_MAX_Y, "yUp"},
                    {&DmCommand::yDown, DM_MAX_Y, "yDown"}};
#pragma GCC unroll 4
    for (const auto& corner : kCorners) {
      if (above(c.*corner.field, corner.limit)) {
        DM_ERROR("Invalid coordinate %s (%d)\n", corner.name, c.*corner.field);
        return -1;
      }
    }
    // Corners may come in either order, but the rectangle needs an area.
    if (c.yUp == c.yDown || c.xUp == c.xDown) {
      DM_ERROR("Trying to do a partial update of a line (%d,%d):(%d,%d)\n", c.xUp, c.yUp, c.xDown, c.yDown);
      return -1;
    }
  }
  switch (c.code) {
    case DM_CMD_DISPLAY:
    case DM_CMD_DISPLAY_PARTIAL:
    case DM_CMD_ERASE_TO_WHITE:
      if (above(c.priority, DM_MAX_LEVEL)) {
        DM_ERROR("priority out of range (%d)\n", c.priority);
        return -1;
      }
      // An erase carries no quality.
      if (c.code != DM_CMD_ERASE_TO_WHITE && above(c.quality, DM_MAX_LEVEL)) {
        DM_ERROR("quality out of range (%d)\n", c.quality);
        return -1;
      }
      return 0;
    case DM_CMD_DUMP:
      DM_WARN("Dump command not yet validated\n");
      return 0;
    case DM_CMD_UNDEFINED:
      DM_WARN("Undefined command\n");
      return -1;
    default:
      // The one silent refusal: a code no request can carry.
      return -1;
  }
}

/* See documentation in header file. */
int32_t dmMessageParser(const char* text, DmCommand* command) {
  DmMessage message;  // dmParseMessage writes every field that is read later
  int32_t result = dmParseMessage(text, &message);
  if (result != 0) {
    DM_ERROR("dmParseMessage failed with errorcode %d\n", result);
    return -1;
  }
  result = dmParseCommand(&message, command);
  if (result != 0) {
    DM_ERROR("dmParseCommand failed with errorcode %d\n", result);
    return -1;
  }
  result = dmValidateCommand(command);
  if (result != 0) {
    DM_ERROR("dmValidateCommand failed with errorcode %d\n", result);
    return -1;
  }
  return 0;
}
