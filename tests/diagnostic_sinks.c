// SPDX-License-Identifier: MIT
/* Writes four diagnostics for tests/syslog_test.py, which receives what
 * syslog sends to /dev/log and compares it with this program's standard
 * error: an error, a warning, a 65,507-byte text (the largest a datagram
 * carries) shown whole, and a 300,000-byte one, longer than syslog carries,
 * cut. */
#include <stdlib.h>
#include <string.h>

#include "zodm.h"

/* A text of length 'x' characters, without the "!" every request starts
 * with, so that dmParseMessage refuses it and shows it. */
static char* filled(size_t length) {
  char* text = malloc(length + 1);
  if (text == NULL) exit(2);
  memset(text, 'x', length);
  text[length] = '\0';
  return text;
}

int main(void) {
  static DmMessage message;
  const DmCommand dump = {DM_CMD_DUMP, 7, 0, 0, 0, 0, 0};
  char* whole = filled(65507);
  char* cut = filled(300000);
  dmParseMessage("no bang", &message);
  dmValidateCommand(&dump);
  dmParseMessage(whole, &message);
  dmParseMessage(cut, &message);
  free(whole);
  free(cut);
  return 0;
}
