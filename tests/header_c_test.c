// SPDX-License-Identifier: MIT
/* The public header compiles as strict C and its records have the sizes and
 * layouts that the wire and the display service rely on. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "zodm.h"

/* The same layout on every target (x86-64, armhf, aarch64): no padding. */
_Static_assert(sizeof(DmCommand) == 28, "seven 32-bit fields");
_Static_assert(offsetof(DmCommand, code) == 0, "DmCommand.code");
_Static_assert(offsetof(DmCommand, priority) == 4, "DmCommand.priority");
_Static_assert(offsetof(DmCommand, quality) == 8, "DmCommand.quality");
_Static_assert(offsetof(DmCommand, xUp) == 12, "DmCommand.xUp");
_Static_assert(offsetof(DmCommand, yUp) == 16, "DmCommand.yUp");
_Static_assert(offsetof(DmCommand, xDown) == 20, "DmCommand.xDown");
_Static_assert(offsetof(DmCommand, yDown) == 24, "DmCommand.yDown");
_Static_assert(sizeof(DmMessage) == 1672, "128 + 4 + 6 * 256 + 4 bytes");
_Static_assert(offsetof(DmMessage, name) == 0, "DmMessage.name");
_Static_assert(offsetof(DmMessage, code) == 128, "DmMessage.code");
_Static_assert(offsetof(DmMessage, args) == 132, "DmMessage.args");
_Static_assert(offsetof(DmMessage, argc) == 1668, "DmMessage.argc");
_Static_assert(DM_CMD_UNDEFINED == 4 && DM_SERVER_PORT == 50555, "constants");

int main(void) {
  int32_t port = 0;
  char text[DM_FRAME_SIZE];
  const DmCommand command = {
      DM_CMD_DISPLAY_PARTIAL, 3, 3, 0, 0, DM_MAX_X, DM_MAX_Y};
  dmMessageFramer(text, &command);
  if (dmGetServerPort(&port) != 0 || port != DM_SERVER_PORT ||
      strcmp(text, "!1,3,3,0,0,768,1024") != 0) {
    fprintf(stderr, "unexpected: port %d, text %s\n", (int)port, text);
    return 1;
  }
  return 0;
}
