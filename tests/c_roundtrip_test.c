// SPDX-License-Identifier: MIT
/* A round trip through the C interface, for running against a library built
 * with another C library than the suite's (scripts/check-musl builds both
 * with musl): a request from the client half through the loopback to a
 * socket bound with initServer, parsed back by dmMessageParser; a refused
 * address; the socket-failure diagnostic with its reason; and a long value
 * cut alike on standard error. Binds 127.0.0.1:50555. Prints each failed
 * check and exits 1 if there is one. */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zodm.h"

static int failures = 0;

static void check(int ok, const char* what) {
  if (!ok) {
    printf("FAILED: %s\n", what);
    ++failures;
  }
}

/* Standard error while a call runs goes to a temporary file; its text is
 * then in captured (cut to the buffer's size). */
static char captured[200000];
static FILE* capture;
static int savedStderr;

static void startCapture(void) {
  fflush(stderr);
  capture = tmpfile();
  savedStderr = dup(2);
  dup2(fileno(capture), 2);
}

static void endCapture(void) {
  size_t length;
  fflush(stderr);
  dup2(savedStderr, 2);
  close(savedStderr);
  rewind(capture);
  length = fread(captured, 1, sizeof captured - 1, capture);
  captured[length] = '\0';
  fclose(capture);
}

int main(void) {
  int32_t service = -1;
  char text[128];
  ssize_t length;
  struct pollfd ready;
  DmCommand command;
  char expected[256];
  char* longText;
  struct rlimit saved, none;
  static DmMessage message;

  check(initServer(&service, 1) == 0, "initServer binds 127.0.0.1:50555");

  /* A request through the loopback, parsed back. */
  check(dmMessageInit("127.0.0.1") == 0, "dmMessageInit(\"127.0.0.1\")");
  check(dmDisplayPartial(2, 1, 0, 0, 100, 200) == 0, "dmDisplayPartial");
  ready.fd = service;
  ready.events = POLLIN;
  length = poll(&ready, 1, 2000) == 1
               ? recv(service, text, sizeof text - 1, MSG_DONTWAIT)
               : -1;
  check(length == 18, "the request arrives, 18 bytes");
  text[length > 0 ? length : 0] = '\0';
  check(strcmp(text, "!1,2,1,0,0,100,200") == 0, "its text");
  check(dmMessageParser(text, &command) == 0, "dmMessageParser accepts it");
  check(command.code == DM_CMD_DISPLAY_PARTIAL && command.priority == 2 &&
            command.quality == 1 && command.xUp == 0 && command.yUp == 0 &&
            command.xDown == 100 && command.yDown == 200,
        "the parsed command carries the request's values");

  /* A refused address, with its diagnostic. */
  startCapture();
  check(dmMessageInit("localhost") == -1, "dmMessageInit(\"localhost\") is -1");
  endCapture();
  check(strstr(captured,
               "dmMessageInit() localhost not a presentation IP address (not "
               "in dotted decimal format).\n\n") != NULL,
        "the refused address's diagnostic");

  /* No descriptor can be created: -2, and the reason in the diagnostic. */
  snprintf(expected, sizeof expected,
           "dmMessageInit() Failed to create a datagram socket (%s).\n\n",
           strerror(EMFILE));
  getrlimit(RLIMIT_NOFILE, &saved);
  none = saved;
  none.rlim_cur = 0;
  startCapture();
  setrlimit(RLIMIT_NOFILE, &none);
  check(dmMessageInit("127.0.0.1") == -2, "dmMessageInit without a socket");
  setrlimit(RLIMIT_NOFILE, &saved);
  endCapture();
  check(strstr(captured, expected) != NULL,
        "the socket-failure diagnostic with its reason");

  /* A value longer than syslog carries is cut and the cut marked. */
  longText = malloc(70000);
  if (longText != NULL) {
    memset(longText, 'x', 69999);
    longText[69999] = '\0';
    startCapture();
    check(dmParseMessage(longText, &message) == -1,
          "a text without '!' is refused");
    endCapture();
    check(strstr(captured, "[cut: ") != NULL && strlen(captured) < 69999,
          "a long value is cut, and the cut marked");
    free(longText);
  }

  close(service);
  printf("%s\n", failures == 0 ? "c_roundtrip: all checks passed"
                               : "c_roundtrip: checks failed");
  return failures == 0 ? 0 : 1;
}
