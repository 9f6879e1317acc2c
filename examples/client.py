#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A small application: asks the display service for a full update, a
partial update of a rectangle and an erase to white.

  client.py [SERVER-ADDRESS]

SERVER-ADDRESS is dotted-decimal IPv4; without it the library sends to
127.0.0.1. Requests get no reply, so the program cannot tell whether a
service received them. The Python twin of client.c."""

import sys

import zodm


def main(argv):
    if len(argv) > 2:
        print(f"usage: {argv[0]} [SERVER-ADDRESS]", file=sys.stderr)
        return 2
    # Optional: the first request would otherwise pick 127.0.0.1 itself.
    if len(argv) == 2:
        try:
            zodm.init(argv[1])
        except (ValueError, OSError) as error:
            print(f"{argv[0]}: {error}", file=sys.stderr)
            return 1

    zodm.display(1, 2)                  # priority 1, quality 2
    zodm.partial(2, 1, 0, 0, 100, 200)  # rectangle (0,0)-(100,200)
    zodm.erase(3)                       # priority 3
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
