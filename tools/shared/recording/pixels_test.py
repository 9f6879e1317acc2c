# SPDX-License-Identifier: MIT
"""Recordings with pixels (format 2), end to end on loopback port 50555:

    [ZODM_EMULATOR=...] [ZODM_PICTURE=0] pixels_test.py SEND LISTEN SCREEN

- A live zodm-screen --framebuffer --json run of fast A2 updates over a
  square drawn black and white in turn, which leaves residue, is recorded;
  replayed with a white framebuffer of its own and with none, it prints the
  same lines and totals, its closing "panel" object included, and writes
  the same panel picture, byte for byte.
- zodm-listen --framebuffer records what was drawn when each request
  arrived; an erase and a refused text carry no pixels; a file cut short
  gives "pixels_error" and a closing line; its refusals are one line each.
- A format 1 recording (the same, without pixels) still replays.

Each pass is drawn only once the line of the pass before has been printed,
which the recorder does after it read the pixels, and a moment after that,
so that the model, which reads the framebuffer when an update starts, has
started it: the test waits for what happened, and asserts no time."""

import base64
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import zlib

WIDTH, HEIGHT = 769, 1025
SIZE = WIDTH * HEIGHT
emulator = os.environ.get("ZODM_EMULATOR", "").split()
with_picture = os.environ.get("ZODM_PICTURE", "1") == "1"
send_program, listen_program, screen_program = sys.argv[1:4]
failures = []
work = tempfile.TemporaryDirectory()


def fail(message):
    print(f"FAIL: {message}", file=sys.stderr, flush=True)
    failures.append(message)


def check(condition, message):
    if not condition:
        fail(message)


def path(name):
    return os.path.join(work.name, name)


def white(name):
    with open(path(name), "wb") as f:
        f.write(b"\xff" * SIZE)
    return path(name)


def fill(name, x0, y0, x1, y1, gray):
    """Draws as an application does, in place."""
    with open(path(name), "r+b") as f:
        for y in range(y0, y1 + 1):
            f.seek(y * WIDTH + x0)
            f.write(bytes([gray]) * (x1 - x0 + 1))


class Service:
    """A service in the background, its output in a file, once bound."""

    def __init__(self, program, *args, out="out"):
        self.out = path(out)
        self.errors = []
        with open(self.out, "wb") as stdout:
            self.process = subprocess.Popen(
                emulator + [program, *args], stdout=stdout,
                stderr=subprocess.PIPE, text=True, errors="replace")
        self.bound = threading.Event()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.bound.wait(60)
        if not any("Bound successfully" in e for e in self.errors):
            sys.exit(f"{program} did not bind: {self.errors}")

    def _read(self):
        for line in self.process.stderr:
            self.errors.append(line.rstrip("\n"))
            if "Bound successfully" in line:
                self.bound.set()
        self.bound.set()

    def lines(self):
        with open(self.out, "rb") as f:
            text = f.read().decode()
        return text[:text.rfind("\n") + 1].splitlines()

    def requests(self):
        """The datagrams' lines, without zodm-screen's fates."""
        return [line for line in self.lines() if '"fate":' not in line]

    def wait_lines(self, count, timeout=60):
        deadline = time.monotonic() + timeout
        while len(self.requests()) < count and time.monotonic() < deadline:
            time.sleep(0.01)
        check(len(self.requests()) >= count, f"{count} lines never came")

    def wait(self):
        try:
            status = self.process.wait(60)
        except subprocess.TimeoutExpired:
            self.process.send_signal(signal.SIGKILL)
            status = self.process.wait()
        self.reader.join(60)  # the rest of standard error
        return status


def send(*args):
    subprocess.run(emulator + [send_program, *args], check=True, timeout=60)


def run(program, *args):
    done = subprocess.run(emulator + [program, *args], capture_output=True,
                          timeout=120)
    return done.returncode, done.stdout, done.stderr.decode().splitlines()


def panel_line(errors):
    return [e for e in errors if e.startswith("zodm-screen: panel: ")]


# --- A live run that leaves residue, and its replays. Quality 3 is a slow
# waveform here, so that the run, ended by its count, is over long before
# its last update completes: live and replayed runs both end at that
# completion, whatever the machine's speed.
profile = path("slow.toml")
with open(profile, "w") as f:
    f.write('[quality]\n3 = "SLOW"\n[waveform.SLOW]\nduration_ms = 5000\n')
live_fb = white("live-fb")
live_args = ["--framebuffer", live_fb, "--json", "--count", "7",
             "--profile", profile]
if with_picture:
    live_args += ["--panel", path("live.png")]
screen = Service(screen_program, *live_args)
for n in range(6):
    fill("live-fb", 100, 100, 299, 299, 0 if n % 2 == 0 else 255)
    send("partial", "0", "0", "100", "100", "299", "299")
    screen.wait_lines(n + 1)
    time.sleep(0.5)  # the model starts the update on its own thread
fill("live-fb", 400, 600, 449, 649, 90)
send("partial", "0", "3", "449", "649", "400", "600")
check(screen.wait() == 0, f"live run: {screen.errors}")
live = screen.lines()
totals = json.loads(live[-1])
check(totals["format"] == 2, f"live totals: {live[-1]}")
check(totals["panel"]["residue_max"] > 0, f"no residue: {live[-1]}")
live_requests = [line for line in live[:-1] if '"fate":' not in line]
for line in live_requests:
    entry = json.loads(line)
    pixels = zlib.decompress(base64.b64decode(entry["pixels"]))
    x0, y0, x1, y1 = entry["rect"]
    check(len(pixels) == (x1 - x0 + 1) * (y1 - y0 + 1),
          f"pixels of {entry['rect']}: {len(pixels)} bytes")
gray = [zlib.decompress(base64.b64decode(json.loads(l)["pixels"]))[0]
        for l in live_requests]
check(gray == [0, 255, 0, 255, 0, 255, 90], f"recorded grays {gray}")
with open(path("rec.jsonl"), "w") as f:
    f.write("\n".join(live) + "\n")

replays = [("with a framebuffer of its own",
            ["--framebuffer", white("replay-fb")]), ("without one", [])]
for name, args in replays:
    picture = path("replay.png")
    if with_picture:
        args = args + ["--panel", picture]
    status, out, errors = run(screen_program, "--replay", path("rec.jsonl"),
                              "--json", "--profile", profile, *args)
    check(status == 0, f"replay {name}: status {status}, {errors}")
    check(out.decode().splitlines() == live,
          f"replay {name} printed otherwise:\n{out.decode()}")
    check(panel_line(errors) == panel_line(screen.errors),
          f"replay {name}: {panel_line(errors)}, live "
          f"{panel_line(screen.errors)}")
    if with_picture:
        with open(path("live.png"), "rb") as a, open(picture, "rb") as b:
            check(a.read() == b.read(), f"replay {name}: another panel")
    # The framebuffer file is never written.
    if args and args[0] == "--framebuffer":
        with open(args[1], "rb") as f:
            check(f.read() == b"\xff" * SIZE, "the replay wrote its file")

# --- --compare replays with the pixels too: each run under the live
# run's profile ends with its residue, from the same start.
status, out, errors = run(screen_program, "--replay", path("rec.jsonl"),
                          "--json", "--profile", profile, "--compare",
                          profile)
compared = [json.loads(line)["panel"] for line in out.decode().splitlines()]
check(status == 0 and len(compared) == 2 and all(
    c["residue_max"] == totals["panel"]["residue_max"] and
    c["residue_area"] == totals["panel"]["residue_area"] for c in compared),
      f"--compare: {status} {compared}, the live run "
      f"{totals['panel']['residue_max']}")

# --- The same without pixels, format 1, still replays as before.
old = [re.sub(r',"rect":\[[0-9,]*\],"pixels":"[^"]*"', "", line)
       for line in live[:-1]]
old.append(f'{{"format":1,"received":{totals["received"]}}}')
with open(path("old.jsonl"), "w") as f:
    f.write("\n".join(old) + "\n")
status, out, errors = run(screen_program, "--replay", path("old.jsonl"),
                          "--json", "--profile", profile, "--framebuffer",
                          live_fb)
lines = out.decode().splitlines()
check(status == 0 and lines[:-1] == old[:-1], f"format 1: {status} {errors}")
check(lines and json.loads(lines[-1])["format"] == 1,
      f"format 1 replayed as: {lines[-1:]}")

# --- zodm-listen --framebuffer: what was drawn when each request arrived.
listen_fb = white("listen-fb")
listen = Service(listen_program, "--json", "--count", "5", "--framebuffer",
                 listen_fb, out="listen")
fill("listen-fb", 10, 20, 19, 29, 7)
send("partial", "1", "1", "19", "29", "10", "20")
listen.wait_lines(1)
fill("listen-fb", 10, 20, 19, 29, 200)
send("erase", "1")
send("--force", "display", "1", "9")
send("display", "1", "2")
listen.wait_lines(4)
os.truncate(listen_fb, 0)  # an application writing it anew
send("partial", "1", "1", "0", "0", "9", "9")
check(listen.wait() == 0, f"zodm-listen: {listen.errors}")
lines = [json.loads(line) for line in listen.lines()]
check([line.get("rect") for line in lines[:5]] ==
      [[10, 20, 19, 29], None, None, [0, 0, 768, 1024], [0, 0, 9, 9]],
      f"zodm-listen's rectangles: {lines}")
first = zlib.decompress(base64.b64decode(lines[0].get("pixels", "")))
check(first == bytes([7]) * 100, f"zodm-listen's pixels: {first[:8]}")
full = zlib.decompress(base64.b64decode(lines[3].get("pixels", "")))
check(full[20 * WIDTH + 10] == 200 and full[0] == 255,
      "zodm-listen's full update")
check(lines[4].get("pixels_error") ==
      "the framebuffer file was cut short while it was read",
      f"a file cut short: {lines[4]}")
check(lines[5]["format"] == 2, f"zodm-listen's totals: {lines[5]}")
check("zodm-listen: pixels: 1 of 3 refreshes recorded without their pixels "
      "(the first: the framebuffer file was cut short while it was read)"
      in listen.errors, f"zodm-listen's closing lines: {listen.errors}")

# --- Its refusals, each one line.
missing = path("missing")
for args, want_status, want in [
        (["--framebuffer", missing, "--json"], 1,
         f"zodm-listen: cannot read the framebuffer {missing}: No such file "
         "or directory"),
        (["--framebuffer", white("x")], 2,
         "zodm-listen: --framebuffer records pixels in the --json lines: "
         "give --json too"),
        (["--framebuffer", path("listen-fb"), "--json"], 1,
         f"zodm-listen: cannot read the framebuffer {path('listen-fb')}: it "
         f"is 0 bytes long, not {SIZE} (769 x 1025 pixels, one byte each)")]:
    status, _, errors = run(listen_program, *args, "--count", "1")
    check(status == want_status and errors[:1] == [want],
          f"zodm-listen {args}: {status}, {errors}")

if failures:
    sys.exit(f"{len(failures)} check(s) failed")
print("pixels: all checks passed")
