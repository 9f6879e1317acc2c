// SPDX-License-Identifier: MIT
/* A small display service: binds UDP port 50555 on 127.0.0.1, receives COUNT
 * datagrams, and prints each valid request. Invalid ones are dropped after
 * the library's diagnostics (stderr and syslog).
 *
 *   example-service COUNT */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#include <zodm.h>

/* Carries out one valid request; here, it only says what it would do. */
static void carryOut(const DmCommand* c) {
  switch (c->code) {
    case DM_CMD_DISPLAY:
      printf("full update: priority %d, quality %d\n", (int)c->priority,
             (int)c->quality);
      break;
    case DM_CMD_DISPLAY_PARTIAL:
      printf("partial update: priority %d, quality %d, (%d,%d)-(%d,%d)\n",
             (int)c->priority, (int)c->quality, (int)c->xUp, (int)c->yUp,
             (int)c->xDown, (int)c->yDown);
      break;
    case DM_CMD_ERASE_TO_WHITE:
      printf("erase to white: priority %d\n", (int)c->priority);
      break;
    default:
      printf("dump request: argument %d\n", (int)c->priority);
      break;
  }
  fflush(stdout);
}

int main(int argc, char* argv[]) {
  char* end = NULL;
  long count = 0;
  if (argc == 2) {
    errno = 0;
    count = strtol(argv[1], &end, 10);
  }
  if (argc != 2 || errno != 0 || end == argv[1] || *end != '\0' || count < 1) {
    fprintf(stderr, "usage: %s COUNT (a number of datagrams, at least 1)\n",
            argv[0]);
    return 2;
  }

  int32_t fd = -1;
  if (initServer(&fd, 1) != 0) {
    /* initServer has printed the reason; the socket is ours to close. */
    if (fd >= 0) close(fd);
    return 1;
  }

  /* A datagram holds at most 65,535 bytes; one more for the NUL. */
  static char text[65536];
  long received = 0;
  while (received < count) {
    const ssize_t length = recv(fd, text, sizeof text - 1, 0);
    if (length < 0) {
      if (errno == EINTR) continue;
      perror("recv");
      close(fd);
      return 1;
    }
    ++received;
    text[length] = '\0'; /* requests arrive without a NUL */
    DmCommand command;
    if (dmMessageParser(text, &command) == 0) carryOut(&command);
  }
  close(fd);
  return 0;
}
