// SPDX-License-Identifier: MIT
/* A small application: asks the display service for a full update, a partial
 * update of a rectangle and an erase to white.
 *
 *   example-client [SERVER-ADDRESS]
 *
 * SERVER-ADDRESS is dotted-decimal IPv4; without it the library sends to
 * 127.0.0.1. Requests get no reply, so the program cannot tell whether a
 * service received them. */
#include <stdio.h>
#include <zodm.h>

int main(int argc, char* argv[]) {
  if (argc > 2) {
    fprintf(stderr, "usage: %s [SERVER-ADDRESS]\n", argv[0]);
    return 2;
  }
  /* Optional: the first request would otherwise pick 127.0.0.1 itself. */
  if (argc == 2 && dmMessageInit(argv[1]) != 0) {
    /* The library has already said why, on stderr and in syslog. */
    return 1;
  }

  dmDisplay(1, 2);                        /* priority 1, quality 2 */
  dmDisplayPartial(2, 1, 0, 0, 100, 200); /* rectangle (0,0)-(100,200) */
  dmDisplayEraseToWhite(3);               /* priority 3 */
  return 0;
}
