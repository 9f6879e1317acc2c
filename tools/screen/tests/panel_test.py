# SPDX-License-Identifier: MIT
"""zodm-screen --framebuffer and --panel end to end: what the reader sees.

    [ZODM_EMULATOR=...] [ZODM_PICTURE=0] panel_test.py ZODM_SCREEN ZODM_SEND

An application's drawing (two shapes written into the framebuffer file) and
its requests (sent by zodm-send) against the panel's PNG: a partial update
that covers one shape shows it and leaves white where the other was drawn;
a full update shows both; an erase makes the panel white and leaves the
file alone; a dump and a refused text change nothing. A missing file is
created white; one of another size is one line and status 1 before the
port is bound. With ZODM_PICTURE=0 (a build without cairo) --panel must be
refused in one line."""

import os
import sys
import tempfile
import time

from screen_testing import (HEIGHT, WIDTH, Screen, check, expected_pixels, fail,
                         fill, finish, read_gray_png, run, send, send_raw)

screen_program, send_program = sys.argv[1:3]
with_picture = os.environ.get("ZODM_PICTURE", "1") != "0"
work = tempfile.TemporaryDirectory()
framebuffer = os.path.join(work.name, "framebuffer")
panel = os.path.join(work.name, "panel.png")
SIZE = WIDTH * HEIGHT

# --- A file of another size: one line, status 1, nothing bound
# (framebuffer_test has the other cases).
short = os.path.join(work.name, "short")
with open(short, "wb") as f:
    f.write(b"\xff" * (SIZE - 1))
status, lines = run(screen_program, "--framebuffer", short, "--count", "1")
check(status == 1 and lines == [
    f"zodm-screen: cannot use the framebuffer {short}: it is {SIZE - 1} "
    f"bytes long, not {SIZE} (769 x 1025 pixels, one byte each)"],
      f"--framebuffer {short}: status {status}, {lines}")
status, lines = run(screen_program, "--panel", panel)
check(status == 2 and lines[:1] == [
    "zodm-screen: --panel needs --framebuffer: the panel shows FILE"],
      f"--panel alone: status {status}, {lines[:1]}")
if not with_picture:
    status, lines = run(screen_program, "--framebuffer", framebuffer,
                        "--panel", panel)
    check(status == 1 and lines == [
        f"zodm-screen: cannot write the panel {panel}: this zodm-screen was "
        "built without cairo"], f"--panel without cairo: {status}, {lines}")
    finish("panel_end_to_end")
    sys.exit(0)


def panel_now(previous=None, timeout=30):
    """The panel's pixels once its PNG has changed from previous. Each
    picture is a new file renamed over the last, so a file is read only
    when its inode or time changed."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            status = os.stat(panel)
            inode = (status.st_ino, status.st_mtime_ns)
            if inode != seen[0]:
                seen[0] = inode
                width, height, pixels = read_gray_png(panel)
                if pixels != previous:
                    check((width, height) == (WIDTH, HEIGHT),
                          f"{width} x {height}")
                    return pixels
        except FileNotFoundError:
            pass  # not written yet
        time.sleep(0.02)
    fail("the panel's picture did not change")
    return previous


seen = [None]


def differences(expected, actual):
    """Where two pictures differ, as a short text."""
    where = [i for i in range(SIZE) if expected[i] != actual[i]]
    return (f"{len(where)} pixels differ, first at "
            f"{(where[0] % WIDTH, where[0] // WIDTH) if where else None}")


# The ideal panel is checked as it changes; the model's, at exit.
model_panel = os.path.join(work.name, "model.png")
screen = Screen(screen_program, "--framebuffer", framebuffer, "--ideal-panel",
                panel, "--panel", model_panel)
if not check(screen.wait_bound(), f"zodm-screen did not start: {screen.lines}"):
    finish("panel_end_to_end")
with open(framebuffer, "rb") as f:
    check(f.read() == b"\xff" * SIZE, "the framebuffer was not created white")
white = panel_now()
check(white == b"\xff" * SIZE, "the panel is not white at start")

# Two shapes; a partial update, its corners reversed, covers the first.
A = (40, 60, 300, 400, 0)
B = (400, 600, 700, 1000, 128)
fill(framebuffer, *A)
fill(framebuffer, *B)
send(send_program, "partial", "1", "1", "300", "400", "40", "60")
shown = panel_now(white)
check(shown == expected_pixels(A), "after the partial update: " +
      differences(expected_pixels(A), shown))

# A dump and a refused text change nothing: the next picture, written after
# the full update, is the first to differ.
send_raw(b"!2,0")
send(send_program, "--force", "display", "7", "9")
send(send_program, "display", "0", "0")
both = panel_now(shown)
check(both == expected_pixels(A, B), "after the full update: " +
      differences(expected_pixels(A, B), both))
check(len(screen.output) == 4 and screen.output[1] == "dump argument=0",
      f"lines: {screen.output}")

# Drawn after the full update, and refreshed only in part.
C = (700, 0, 768, 50, 60)
fill(framebuffer, *C)
send(send_program, "partial", "0", "0", "768", "0", "740", "20")
shown = panel_now(both)
expected = bytearray(expected_pixels(A, B))
for y in range(0, 21):
    expected[y * WIDTH + 740:y * WIDTH + 769] = bytes([60]) * 29
check(shown == bytes(expected), "after the last partial update: " +
      differences(bytes(expected), shown))

# An erase whites the panel and leaves the framebuffer as it was.
send(send_program, "erase", "0")
erased = panel_now(shown)
check(erased == b"\xff" * SIZE, "after the erase: " +
      differences(b"\xff" * SIZE, erased))
with open(framebuffer, "rb") as f:
    check(f.read() == expected_pixels(A, B, C),
          "the erase changed the framebuffer")

check(screen.stop() == 0, "SIGTERM: status not 0")
stale = (A[2] - A[0] + 1) * (A[3] - A[1] + 1) + (B[2] - B[0] + 1) * (
    B[3] - B[1] + 1) + (C[2] - C[0] + 1) * (C[3] - C[1] + 1)
check(f"zodm-screen: framebuffer {framebuffer}: {stale} pixels stale in "
      "(40,0)-(768,1000)" in screen.lines and
      f"zodm-screen: ideal panel written to {panel}" in screen.lines and
      f"zodm-screen: panel written to {model_panel}" in screen.lines,
      f"at exit: {screen.lines}")
# The erase came last: once it has completed, the panel is white again.
check(read_gray_png(model_panel)[2] == b"\xff" * SIZE,
      "the model's panel is not white after the erase")
finish("panel_end_to_end")
