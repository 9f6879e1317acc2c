// SPDX-License-Identifier: MIT
/* libzodm: display-update requests carried in UDP datagrams.
 *
 * The client half turns a request (full update, partial update of a
 * rectangle, erase to white) into one short ASCII text and sends it as one
 * datagram to the display service, by default 127.0.0.1 port 50555. The
 * server half binds the service's socket and turns each received text into a
 * checked DmCommand.
 *
 * Diagnostics go first to syslog (LOG_ERR for "E", LOG_WARNING for "W"),
 * then to standard error, as "(E)module:line,function() message".
 *
 * Results: 0 means success, negative values mean failure. No function
 * checks its pointer arguments. The request and parsing paths never
 * allocate memory; writing a diagnostic may, inside the C library's syslog.
 *
 * Threads, signals, fork and cancellation. The client endpoint takes no
 * lock, so no call ever waits for another thread, for a call it interrupted
 * or for a thread that no longer runs:
 * - dmDisplay, dmDisplayPartial and dmDisplayEraseToWhite are
 *   async-signal-safe: they may be called from signal handlers and in the
 *   child of a multithreaded program after fork. One condition: a process's
 *   first request creates the client's socket, and if that fails it writes
 *   a diagnostic, which is not async-signal-safe; a dmMessageInit or a
 *   request before the handler is installed rules that out. They leave
 *   errno as they found it.
 * - dmMessageInit may run alongside request calls and itself, be
 *   interrupted by a handler that makes requests, and be called in a forked
 *   child (which then gets a socket of its own); it is not
 *   async-signal-safe (inet_pton, and syslog on failure).
 * - Threads may be cancelled (deferred cancellation) in any call: sendto is
 *   the only cancellation point outside the diagnostics, and no call holds
 *   anything there.
 * - dmGetServerPort, and dmMessageFramer with codes 0, 1 and 3, are pure;
 *   the server calls touch only the caller's records and are
 *   async-signal-safe whenever they write no diagnostic.
 * A diagnostic (syslog, then stdio on standard error) can wait for those
 * functions' locks, which in a forked child may belong to a thread that no
 * longer runs.
 */
#ifndef ZODM_H
#define ZODM_H

#include <stdint.h>

#if defined(__GNUC__)
#define ZODM_API __attribute__((visibility("default")))
#else
#define ZODM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Command codes carried in DmCommand.code and DmMessage.code. */
enum {
  DM_CMD_DISPLAY = 0,         /* "!0,priority,quality" */
  DM_CMD_DISPLAY_PARTIAL = 1, /* "!1,priority,quality,xUp,yUp,xDown,yDown" */
  DM_CMD_DUMP = 2,            /* "!2,argument"; received only */
  DM_CMD_ERASE_TO_WHITE = 3,  /* "!3,priority" */
  DM_CMD_UNDEFINED = 4        /* a request whose token matched nothing */
};

/* UDP port of the display service, in host byte order. */
#define DM_SERVER_PORT 50555
/* Largest accepted x coordinate (inclusive). */
#define DM_MAX_X 768
/* Largest accepted y coordinate (inclusive). */
#define DM_MAX_Y 1024
/* Largest accepted priority and quality level (inclusive). */
#define DM_MAX_LEVEL 3
/* Address the client sends to unless dmMessageInit names another. */
#define DM_DEFAULT_SERVER "127.0.0.1"
/* Smallest buffer dmMessageFramer may be given: 74 characters and a NUL. */
#define DM_FRAME_SIZE 75

/* Sizes of the DmMessage fields, terminating NUL included. */
#define DM_NAME_SIZE 128
#define DM_ARG_SIZE 256
#define DM_MAX_ARGS 6

/* A numeric request. Fields a code does not use are never read. */
typedef struct DmCommand {
  int32_t code;     /* DM_CMD_* */
  int32_t priority; /* 0..3; for DM_CMD_DUMP, its uninterpreted argument */
  int32_t quality;  /* 0..3 */
  int32_t xUp;      /* first corner, 0..DM_MAX_X */
  int32_t yUp;      /* first corner, 0..DM_MAX_Y */
  int32_t xDown;    /* opposite corner, 0..DM_MAX_X */
  int32_t yDown;    /* opposite corner, 0..DM_MAX_Y */
} DmCommand;

/* A received request split into its token and argument texts. */
typedef struct DmMessage {
  char name[DM_NAME_SIZE];             /* token as received, or "Undefined" */
  int32_t code;                        /* DM_CMD_* */
  char args[DM_MAX_ARGS][DM_ARG_SIZE]; /* argument fields, at most 255 chars */
  int32_t argc; /* fields the code takes (2, 6, 1, 1), or -1 */
} DmMessage;

/* ---- Shared ---- */

/* Stores DM_SERVER_PORT into *port. Returns 0; cannot fail. */
ZODM_API int32_t dmGetServerPort(int32_t* port);

/* ---- Client ---- */

/* Writes the request text of *command, NUL-terminated, into buffer (at least
 * DM_FRAME_SIZE bytes). Codes other than 0, 1 and 3 give "error" and an "E"
 * diagnostic "Command Code %d not supported". Values are not checked. */
ZODM_API void dmMessageFramer(char* buffer, const DmCommand* command);

/* Points the client at serverAddress (dotted-decimal IPv4) with a new socket,
 * which replaces the old one under the same descriptor number. Returns 0; -1
 * ("E" diagnostic) if the text is not a dotted-decimal IPv4 address; -2 ("E"
 * diagnostic) if no socket can be created. On failure the client keeps its
 * previous address and socket. */
ZODM_API int32_t dmMessageInit(const char* serverAddress);

/* Sends "!0,priority,quality". Always returns 0; requests are fire-and-forget.
 */
ZODM_API int32_t dmDisplay(int32_t priority, int32_t quality);

/* Sends "!1,priority,quality,xUp,yUp,xDown,yDown". Always returns 0. */
ZODM_API int32_t dmDisplayPartial(int32_t priority, int32_t quality,
                                  int32_t xUp, int32_t yUp, int32_t xDown,
                                  int32_t yDown);

/* Sends "!3,priority" (erase to white). Always returns 0. */
ZODM_API int32_t dmDisplayEraseToWhite(int32_t priority);

/* Not implemented: "E" diagnostic, sends nothing, returns -1. */
ZODM_API int32_t dmDump(void);

/* ---- Server ---- */

/* Creates a UDP socket, stores it in *socketOut and binds it to port
 * DM_SERVER_PORT on 127.0.0.1 (loopbackOnly == 1) or on all addresses.
 * Returns 0 with a "W" diagnostic "Bound successfully to ..."; -1 after
 * perror("Error invoking bind"), leaving the socket open in *socketOut, or
 * -1 there when no socket could be made; errno then holds the socket's
 * reason (EMFILE, say), else bind's. */
ZODM_API int32_t initServer(int32_t* socketOut, int32_t loopbackOnly);

/* Splits the NUL-terminated request text into *message: token, code, argc
 * and argument fields. Returns 0; -1 with "E" diagnostics when the text does
 * not start with "!" or its token is unknown. */
ZODM_API int32_t dmParseMessage(const char* text, DmMessage* message);

/* Copies the first count comma-separated fields of argumentText into
 * message->args (fields cut to 255 characters, count capped at 6). */
ZODM_API void zoDmGetArgs(const char* argumentText, DmMessage* message,
                          int32_t count);

/* Converts the argument fields of *message into *command as strtol reads base
 * 10, saturated to 32 bits. Returns 0; -1 with an "E" diagnostic and
 * command->code set to 4 when the message's code is not 0..3. Fields the
 * code does not carry are untouched. */
ZODM_API int32_t dmParseCommand(const DmMessage* message, DmCommand* command);

/* Checks code, rectangle and levels of *command. Returns 0 when it may be
 * carried out; -1 with a diagnostic when it is refused (none for codes
 * outside 0..4). A dump is accepted with a "W" diagnostic. */
ZODM_API int32_t dmValidateCommand(const DmCommand* command);

/* Runs dmParseMessage, dmParseCommand and dmValidateCommand on text and stops
 * at the first failure. Returns 0 when *command holds a valid request; -1
 * after the stage's diagnostics and an "E" line naming the stage. */
ZODM_API int32_t dmMessageParser(const char* text, DmCommand* command);

#ifdef __cplusplus
}
#endif

#endif /* ZODM_H */
