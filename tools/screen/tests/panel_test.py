# SPDX-License-Identifier: MIT
"""zodm-screen --framebuffer and --panel end to end: what the reader sees.

    [ZODM_EMULATOR=...] [ZODM_PICTURE=0] [ZODM_REPLAY=0] \\
        panel_test.py ZODM_SCREEN ZODM_SEND

An application's drawing (two shapes written into the framebuffer file) and
its requests (sent by zodm-send) against the panel's PNG: a partial update
that covers one shape shows it and leaves white where the other was drawn;
a full update shows both; an erase makes the panel white and leaves the
file alone; a dump and a refused text change nothing. A missing file is
created white; one of another size is one line and status 1 before the
port is bound. With ZODM_PICTURE=0 (a build without cairo) --panel must be
refused in one line. Last, fast A2 updates over a moving bar, replayed in
recorded time 10 ms apart (not with ZODM_REPLAY=0, a build without
--replay), must collide, merge and leave residue, at any speed of the
machine."""

import json
import os
import re
import sys
import tempfile
import time

from screen_testing import (HEIGHT, WIDTH, Screen, bar, bar_requests, check,
                            expected_pixels, fail, fill, finish, read_gray_png,
                            run, scenario, send, send_raw)

SIZE = WIDTH * HEIGHT


def differences(expected, actual):
    """Where two pictures differ, as a short text."""
    where = [i for i in range(SIZE) if expected[i] != actual[i]]
    return (f"{len(where)} pixels differ, first at "
            f"{(where[0] % WIDTH, where[0] // WIDTH) if where else None}")


class Picture:
    """The panel's PNG, read each time it changed. Each picture is a new
    file renamed over the last, so a file is read only when its inode or
    time changed."""

    def __init__(self, path):
        self.path = path
        self.seen = None

    def after(self, previous=None, timeout=30):
        """The pixels once the PNG differs from previous."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                status = os.stat(self.path)
                inode = (status.st_ino, status.st_mtime_ns)
                if inode != self.seen:
                    self.seen = inode
                    width, height, pixels = read_gray_png(self.path)
                    if pixels != previous:
                        check((width, height) == (WIDTH, HEIGHT),
                              f"{width} x {height}")
                        return pixels
            except FileNotFoundError:
                pass  # not written yet
            time.sleep(0.02)
        fail("the panel's picture did not change")
        return previous


@scenario
def check_refusals(screen_program, work, with_picture):
    """A file of another size: one line, status 1, nothing bound
    (framebuffer_test has the other cases); --panel needs --framebuffer,
    and cairo."""
    short = os.path.join(work, "short")
    with open(short, "wb") as f:
        f.write(b"\xff" * (SIZE - 1))
    status, lines = run(screen_program, "--framebuffer", short, "--count", "1")
    check(status == 1 and lines == [
        f"zodm-screen: cannot use the framebuffer {short}: it is {SIZE - 1} "
        f"bytes long, not {SIZE} (769 x 1025 pixels, one byte each)"],
          f"--framebuffer {short}: status {status}, {lines}")
    panel = os.path.join(work, "panel.png")
    status, lines = run(screen_program, "--panel", panel)
    check(status == 2 and lines[:1] == [
        "zodm-screen: --panel needs --framebuffer FILE, the framebuffer the "
        "application draws into (or a --replay recording with pixels)"],
          f"--panel alone: status {status}, {lines[:1]}")
    if not with_picture:
        framebuffer = os.path.join(work, "framebuffer")
        status, lines = run(screen_program, "--framebuffer", framebuffer,
                            "--panel", panel)
        check(status == 1 and lines == [
            f"zodm-screen: cannot write the panel {panel}: this zodm-screen "
            "was built without cairo"],
              f"--panel without cairo: {status}, {lines}")


@scenario
def check_drawing_and_requests(screen_program, send_program, work):
    """The ideal panel as it changes; the model's, at exit."""
    framebuffer = os.path.join(work, "framebuffer")
    panel = os.path.join(work, "panel.png")
    model_panel = os.path.join(work, "model.png")
    screen = Screen(screen_program, "--framebuffer", framebuffer,
                    "--ideal-panel", panel, "--panel", model_panel)
    if not check(screen.wait_bound(),
                 f"zodm-screen did not start: {screen.lines}"):
        return
    with open(framebuffer, "rb") as f:
        check(f.read() == b"\xff" * SIZE,
              "the framebuffer was not created white")
    picture = Picture(panel)
    white = picture.after()
    check(white == b"\xff" * SIZE, "the panel is not white at start")

    # Two shapes; a partial update, its corners reversed, covers the first.
    A = (40, 60, 300, 400, 0)
    B = (400, 600, 700, 1000, 128)
    fill(framebuffer, *A)
    fill(framebuffer, *B)
    send(send_program, "partial", "1", "1", "300", "400", "40", "60")
    shown = picture.after(white)
    check(shown == expected_pixels(A), "after the partial update: " +
          differences(expected_pixels(A), shown))

    # A dump and a refused text change nothing: the next picture, written
    # after the full update, is the first to differ.
    send_raw(b"!2,0")
    send(send_program, "--force", "display", "7", "9")
    send(send_program, "display", "0", "0")
    both = picture.after(shown)
    check(both == expected_pixels(A, B), "after the full update: " +
          differences(expected_pixels(A, B), both))
    check(len(screen.output) == 4 and screen.output[1] == "dump argument=0",
          f"lines: {screen.output}")

    # Drawn after the full update, and refreshed only in part.
    C = (700, 0, 768, 50, 60)
    fill(framebuffer, *C)
    send(send_program, "partial", "0", "0", "768", "0", "740", "20")
    shown = picture.after(both)
    expected = bytearray(expected_pixels(A, B))
    for y in range(0, 21):
        expected[y * WIDTH + 740:y * WIDTH + 769] = bytes([60]) * 29
    check(shown == bytes(expected), "after the last partial update: " +
          differences(bytes(expected), shown))

    # An erase whites the panel and leaves the framebuffer as it was.
    send(send_program, "erase", "0")
    erased = picture.after(shown)
    check(erased == b"\xff" * SIZE, "after the erase: " +
          differences(b"\xff" * SIZE, erased))
    with open(framebuffer, "rb") as f:
        check(f.read() == expected_pixels(A, B, C),
              "the erase changed the framebuffer")

    check(screen.stop() == 0, "SIGTERM: status not 0")
    stale = sum((x1 - x0 + 1) * (y1 - y0 + 1)
                for x0, y0, x1, y1, _ in (A, B, C))
    check(f"zodm-screen: framebuffer {framebuffer}: {stale} pixels stale in "
          "(40,0)-(768,1000)" in screen.lines and
          f"zodm-screen: ideal panel written to {panel}" in screen.lines and
          f"zodm-screen: panel written to {model_panel}" in screen.lines,
          f"at exit: {screen.lines}")
    # The erase came last: once it has completed, the panel is white again.
    check(read_gray_png(model_panel)[2] == b"\xff" * SIZE,
          "the model's panel is not white after the erase")


@scenario
def check_fast_updates_replayed(screen_program, work):
    """The moving bar's A2 updates (panel_browser_test sends them live),
    10 ms apart in recorded time, over the bar where it ends: A2 takes 120
    ms, so each arrives while one it overlaps runs (a collision) or while
    one it touches waits (a merge), and the first pass, white to black,
    leaves residue. In recorded time the run is the same at any speed."""
    framebuffer = os.path.join(work, "bar")
    with open(framebuffer, "wb") as f:
        f.write(b"\xff" * SIZE)
    fill(framebuffer, 80, bar(0)[0], 688, bar(0)[1], 0)
    recording = os.path.join(work, "bar.jsonl")
    with open(recording, "w") as f:
        for n, text in enumerate(bar_requests()):
            text = json.dumps(text.decode())
            f.write(f'{{"t":{n * 0.01:.6f},"text":{text}}}\n')
    status, lines = run(screen_program, "--replay", recording,
                        "--framebuffer", framebuffer)
    line = next((l for l in lines if "panel: " in l), "")
    closing = re.search(r"panel: (\d+) updates? \((\d+) merged\), (\d+) "
                        r"collisions?, .* largest residue (\d+)", line)
    check(status == 0 and closing, f"the replay: status {status}, {lines}")
    if closing:
        updates, merged, collisions, residue = map(int, closing.groups())
        check(updates + merged == len(bar_requests()) and merged > 0 and
              collisions > 0 and residue > 0,
              f"the fast updates neither collided, merged nor left residue: "
              f"{line}")


def main():
    screen_program, send_program = sys.argv[1:3]
    with_picture = os.environ.get("ZODM_PICTURE", "1") != "0"
    with_replay = os.environ.get("ZODM_REPLAY", "1") != "0"
    with tempfile.TemporaryDirectory() as work:
        check_refusals(screen_program, work, with_picture)
        if with_picture:
            check_drawing_and_requests(screen_program, send_program, work)
        if with_replay:
            check_fast_updates_replayed(screen_program, work)
    finish("panel_end_to_end")


if __name__ == "__main__":
    main()
