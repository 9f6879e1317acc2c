#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""An application that draws: it fills the display's framebuffer with a
page (a title bar, lines of text, a picture), refreshes only the top of it,
waits, then refreshes the rest. Run it against zodm-screen:

  zodm-screen --framebuffer /dev/shm/zodm-framebuffer --serve 8050 &
  panel.py [--pause SECONDS] [FRAMEBUFFER]

While it waits, the live page shows the picture as stale: drawn into the
framebuffer, not yet on the panel. FRAMEBUFFER is the file the display
service shares (/dev/shm/zodm-framebuffer unless given); it is created
white when missing. The requests go to 127.0.0.1."""

import argparse
import sys
import time

import zodm


def draw_page(framebuffer):
    """A white page with a black title bar, gray lines of text under it and
    a disc below them. Returns the row where the picture starts."""
    framebuffer.fill(0, 0, zodm.MAX_X, zodm.MAX_Y, 255)
    framebuffer.fill(0, 0, zodm.MAX_X, 79, 0)             # title bar
    framebuffer.fill(24, 28, 300, 52, 255)                # its title
    for line, y in enumerate(range(120, 460, 30)):
        length = 200 + (line * 173) % 480                 # ragged lines
        framebuffer.fill(40, y, 40 + length, y + 12, 64)
    # The picture: a disc shaded from dark at the top to light at the bottom.
    cx, cy, r = 384, 740, 220
    for y in range(cy - r, cy + r + 1):
        half = int((r * r - (y - cy) ** 2) ** 0.5)
        gray = 40 + (y - cy + r) * 160 // (2 * r)
        framebuffer.fill(cx - half, y, cx + half, y, gray)
    return 500


def main(argv):
    # The whole description, as written: its first line alone stops
    # mid-sentence.
    parser = argparse.ArgumentParser(
        description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pause", type=float, default=2.0, metavar="SECONDS",
                        help="time between the two refreshes (default 2)")
    parser.add_argument("framebuffer", nargs="?",
                        default="/dev/shm/zodm-framebuffer")
    arguments = parser.parse_args(argv[1:])
    try:
        framebuffer = zodm.Framebuffer(arguments.framebuffer)
    except (OSError, ValueError) as error:
        print(f"{argv[0]}: {error}", file=sys.stderr)
        return 1
    with framebuffer:
        split = draw_page(framebuffer)
        # Only the title and the text: the picture is left stale...
        zodm.partial(1, 2, 0, 0, zodm.MAX_X, split - 1)
        time.sleep(arguments.pause)
        # ...until the second refresh shows the rest.
        zodm.partial(1, 1, 0, split, zodm.MAX_X, zodm.MAX_Y)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
